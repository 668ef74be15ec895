// Splitting a trace file line into its fields, and finding text in lines.
#include <memory>
#include <new>

#include "tracefiles/tracefiles.h"

#include "server/tracerow.h"

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define KV_TRC_SSE2 1
#endif

namespace kv::trc {

namespace {

// Widths the writer never exceeds: a "|" farther out belongs to a later field.
constexpr size_t kTimeChars = 31, kTagChars = 4, kProcessChars = 31, kModuleChars = 31, kFunctionChars = 49;

bool IsDigit(wchar_t c) noexcept { return c >= L'0' && c <= L'9'; }

size_t FindBar(const wchar_t* p, size_t from, size_t to) noexcept {
    for (size_t i = from; i < to; ++i)
        if (p[i] == L'|') return i;
    return to;
}

// A decimal number as the writer prints it ("%ld").
bool ReadNumber(const wchar_t* p, size_t n, long long* out) noexcept {
    size_t i = 0;
    bool negative = false;
    if (n && p[0] == L'-') negative = true, i = 1;
    if (i >= n || n - i > 10) return false;
    long long v = 0;
    for (; i < n; ++i) {
        if (!IsDigit(p[i])) return false;
        v = v * 10 + (p[i] - L'0');
    }
    *out = negative ? -v : v;
    return true;
}

Span Trimmed(const wchar_t* p, size_t n) noexcept {
    while (n && p[n - 1] == L' ') --n;
    return Span{p, n};
}

// "name [123]": the name and the number; a field cut before its "]" has no number.
void SplitBracketNumber(const Span& field, Span* name, long long* number) noexcept {
    *name = field;
    *number = -1;
    const wchar_t* p = field.p;
    size_t n = field.n;
    if (n < 4 || p[n - 1] != L']') return;
    size_t i = n - 1;
    while (i > 0 && IsDigit(p[i - 1])) --i;
    if (i == n - 1 || i < 2 || p[i - 1] != L'[' || p[i - 2] != L' ') return;
    long long v = 0;
    if (!ReadNumber(p + i, n - 1 - i, &v)) return;
    *name = Span{p, i - 2};
    *number = v;
}

// The module field ends in " [tid]", or is "KVS:n": a "|" after such an end is the
// likelier separator when the module, function or text hold "|" themselves.
bool LooksLikeModuleEnd(const wchar_t* p, size_t n) noexcept {
    Span name;
    long long number;
    SplitBracketNumber(Span{p, n}, &name, &number);
    if (number >= 0) return true;
    if (n > 4 && p[0] == L'K' && p[1] == L'V' && p[2] == L'S' && p[3] == L':') {
        for (size_t i = 4; i < n; ++i)
            if (!IsDigit(p[i]) && p[i] != L'-') return false;
        return true;
    }
    return false;
}

int LevelOfTag(const Span& tag) noexcept {
    static const short kLevels[6] = {-1, 0, 10, 20, 30, 40};
    for (short level : kLevels)
        if (tag == LevelTagOf(level)) return level;
    return 1000;  // a blank tag: some other level
}

const wchar_t* LowerTable() noexcept {
    static const wchar_t* table = [] {
        static wchar_t t[65536];
        for (unsigned i = 0; i < 65536; ++i) t[i] = static_cast<wchar_t>(i);
        ::CharLowerBuffW(t + 1, 65535);
        // Surrogates are no characters of their own; keep them as they are.
        for (unsigned i = 0xD800; i < 0xE000; ++i) t[i] = static_cast<wchar_t>(i);
        return t;
    }();
    return table;
}

bool SameChars(const wchar_t* a, const wchar_t* b, size_t n, bool matchCase) noexcept {
    if (matchCase) return wmemcmp(a, b, n) == 0;
    const wchar_t* lower = LowerTable();
    for (size_t i = 0; i < n; ++i)
        if (lower[static_cast<uint16_t>(a[i])] != lower[static_cast<uint16_t>(b[i])]) return false;
    return true;
}

// The units a character of the search text meets: itself with matchCase, else every
// unit whose lower case is its lower case (K, k and the Kelvin sign; I, i and the dotted
// capital I) - the very rule SameChars compares by. More than kVariants: any unit.
constexpr int kVariants = 4;
struct Variants {
    wchar_t u[kVariants];
    int n = 1;
    bool any = false;
};
Variants VariantsOf(wchar_t c, bool matchCase) noexcept {
    Variants v;
    int n = 1;
    v.u[0] = c;
    const wchar_t* lower = LowerTable();
    const wchar_t key = lower[static_cast<uint16_t>(c)];
    for (unsigned u = 0; u < 65536 && !matchCase && !v.any; ++u) {
        if (lower[u] != key || u == static_cast<uint16_t>(c)) continue;
        if (n == kVariants) v.any = true;
        else v.u[n++] = static_cast<wchar_t>(u);
    }
    for (int k = n; k < kVariants; ++k) v.u[k] = c;
    v.n = n;
    return v;
}
bool Meets(wchar_t c, const Variants& v) noexcept {
    return v.any || c == v.u[0] || c == v.u[1] || c == v.u[2] || c == v.u[3];
}

#if KV_TRC_SSE2
// Units among p[i, i + 8) that meet v, as a mask of 16-bit lanes; the third and fourth
// forms only where a character has them.
template <bool kFour>
__m128i Hits(const wchar_t* p, const __m128i* v) noexcept {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i two = _mm_or_si128(_mm_cmpeq_epi16(x, v[0]), _mm_cmpeq_epi16(x, v[1]));
    return kFour ? _mm_or_si128(two, _mm_or_si128(_mm_cmpeq_epi16(x, v[2]), _mm_cmpeq_epi16(x, v[3]))) : two;
}
template <bool kFour>
size_t ScanCandidates(const wchar_t* p, size_t i, size_t end, const __m128i* va, const __m128i* vb, bool two) noexcept {
    for (; i + 8 <= end; i += 8) {
        __m128i hit = Hits<kFour>(p + i, va);
        if (two) hit = _mm_and_si128(hit, Hits<kFour>(p + i + 1, vb));
        if (const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit))) return i + kv_lowest_bit(mask) / 2;
    }
    return i;
}
#endif

// First position at or after i whose unit meets a and, when two, whose next unit meets
// b. Returns n when there is none.
size_t NextCandidate(const wchar_t* p, size_t i, size_t n, const Variants& a, const Variants& b, bool two) noexcept {
    const size_t end = two ? (n ? n - 1 : 0) : n;
#if KV_TRC_SSE2
    if (!a.any && !b.any) {
        __m128i va[kVariants], vb[kVariants];
        for (int k = 0; k < kVariants; ++k)
            va[k] = _mm_set1_epi16(static_cast<short>(a.u[k])), vb[k] = _mm_set1_epi16(static_cast<short>(b.u[k]));
        // Stops at a hit or short of the end: the loop below takes it from there.
        i = a.n > 2 || b.n > 2 ? ScanCandidates<true>(p, i, end, va, vb, two) : ScanCandidates<false>(p, i, end, va, vb, two);
    }
#endif
    for (; i < end; ++i)
        if (Meets(p[i], a) && (!two || Meets(p[i + 1], b))) return i;
    return n;
}

}  // namespace

bool Span::operator==(const wchar_t* s) const noexcept {
    size_t i = 0;
    for (; i < n; ++i)
        if (!s[i] || s[i] != p[i]) return false;
    return s[i] == 0;
}

const wchar_t* LevelTagOf(int level) noexcept { return TraceLevelTag(level); }

const char* LevelNameOf(int level) noexcept {
    switch (level) {
    case -1: return "operator";
    case 0: return "server";
    case 10: return "error";
    case 20: return "warning";
    case 30: return "info";
    case 40: return "diagnose";
    default: return "";
    }
}

bool ParseTimeText(const wchar_t* p, size_t n, LineFields* out) noexcept {
    out->hasTime = false;
    out->weekday = WeekdayFromText(p, n);
    size_t i = 0;
    while (i < n && p[i] != L' ') ++i;
    while (i < n && p[i] == L' ') ++i;
    // hh:mm:ss,cc
    if (n - i < 11) return false;
    const wchar_t* t = p + i;
    for (int k : {0, 1, 3, 4, 6, 7, 9, 10})
        if (!IsDigit(t[k])) return false;
    if (t[2] != L':' || t[5] != L':' || (t[8] != L',' && t[8] != L'.')) return false;
    out->hour = (t[0] - L'0') * 10 + (t[1] - L'0');
    out->minute = (t[3] - L'0') * 10 + (t[4] - L'0');
    out->second = (t[6] - L'0') * 10 + (t[7] - L'0');
    out->hundredths = (t[9] - L'0') * 10 + (t[10] - L'0');
    i += 11;
    while (i < n && p[i] == L' ') ++i;
    if (i >= n || p[i] != L'[') return false;
    const size_t digits = ++i;
    unsigned long long seq = 0;
    while (i < n && IsDigit(p[i]) && i - digits < 10) seq = seq * 10 + (p[i++] - L'0');
    if (i == digits || i >= n || p[i] != L']' || seq > 0xFFFFFFFFull) return false;
    out->sequence = static_cast<uint32_t>(seq);
    out->hasTime = out->weekday >= 0;
    return out->hasTime;
}

void ParseLine(const wchar_t* p, size_t n, LineFields* out) noexcept {
    *out = LineFields();
    out->text = Span{p, n};

    // From the left: time, the four-character tag and the process never hold a "|".
    const size_t t1 = FindBar(p, 0, n < kTimeChars + 1 ? n : kTimeChars + 1);
    if (t1 >= n || p[t1] != L'|') return;
    const size_t t2 = t1 + 1 + kTagChars;
    if (t2 >= n || p[t2] != L'|') return;
    const size_t processEnd = FindBar(p, t2 + 1, n < t2 + 2 + kProcessChars ? n : t2 + 2 + kProcessChars);
    if (processEnd >= n || p[processEnd] != L'|') return;

    // From the right: mark and level word, unless the line was cut before them.
    size_t middleEnd = n;
    const size_t r2 = [&] {
        size_t i = n;
        while (i > processEnd + 1 && p[i - 1] != L'|') --i;
        return i - 1;
    }();
    long long level = 0, mark = 0;
    bool rightOk = false;
    const Span tag = Trimmed(p + t1 + 1, kTagChars);
    if (r2 > processEnd && ReadNumber(p + r2 + 1, n - r2 - 1, &level)) {
        size_t r1 = r2;
        while (r1 > processEnd + 1 && p[r1 - 1] != L'|') --r1;
        --r1;
        if (r1 > processEnd && ReadNumber(p + r1 + 1, r2 - r1 - 1, &mark)) {
            // A cut line can still end in digits after a "|" of its text; the level
            // must be the one its tag names.
            const short lv = static_cast<short>(static_cast<uint32_t>(level) & 0xFFFF);
            if (tag == LevelTagOf(lv)) {
                rightOk = true;
                middleEnd = r1;
            }
        }
    }

    // The middle holds module, function and text, each of which may hold a "|".
    const size_t m = processEnd + 1;
    size_t moduleEnd = middleEnd;
    const size_t moduleLimit = m + kModuleChars + 1 < middleEnd ? m + kModuleChars + 1 : middleEnd;
    for (size_t i = FindBar(p, m, moduleLimit); i < moduleLimit; i = FindBar(p, i + 1, moduleLimit)) {
        if (moduleEnd == middleEnd) moduleEnd = i;  // the first "|" unless a better one comes
        if (LooksLikeModuleEnd(p + m, i - m)) {
            moduleEnd = i;
            break;
        }
    }
    if (moduleEnd >= middleEnd) return;
    const size_t functionLimit =
        moduleEnd + kFunctionChars + 2 < middleEnd ? moduleEnd + kFunctionChars + 2 : middleEnd;
    const size_t functionEnd = FindBar(p, moduleEnd + 1, functionLimit);
    if (functionEnd >= functionLimit) return;

    out->split = true;
    out->cut = !rightOk;
    out->time = Span{p, t1};
    out->tag = tag;
    out->process = Span{p + t2 + 1, processEnd - t2 - 1};
    out->module = Span{p + m, moduleEnd - m};
    out->function = Span{p + moduleEnd + 1, functionEnd - moduleEnd - 1};
    out->text = Span{p + functionEnd + 1, middleEnd - functionEnd - 1};
    if (rightOk) {
        out->markFlags = static_cast<uint32_t>(mark);
        out->levelWord = static_cast<uint32_t>(level);
    } else {
        const int lv = LevelOfTag(tag);
        out->levelWord = lv == 1000 ? 0 : static_cast<uint16_t>(lv);
    }
    ParseTimeText(out->time.p, out->time.n, out);
    SplitBracketNumber(out->process, &out->processName, &out->pid);
    SplitBracketNumber(out->module, &out->moduleName, &out->tid);
}

bool CellMatches(const wchar_t* cell, size_t chars, const wchar_t* what, size_t whatChars,
                 const FindOptions& options) noexcept {
    if (whatChars == 0 || chars < whatChars) return false;
    if (!options.wholeWord) {
        for (size_t i = 0; i + whatChars <= chars; ++i)
            if (SameChars(cell + i, what, whatChars, options.matchCase)) return true;
        return false;
    }
    size_t i = 0;
    while (i < chars) {
        size_t j = i;
        while (j < chars && cell[j] != L' ') ++j;
        if (j - i == whatChars && SameChars(cell + i, what, whatChars, options.matchCase)) return true;
        i = j + 1;
    }
    return false;
}

bool LineMatches(const LineFields& f, const wchar_t* what, size_t whatChars, const FindOptions& options) noexcept {
    if (!f.split) return CellMatches(f.text.p, f.text.n, what, whatChars, options);
    for (const Span* s : {&f.time, &f.tag, &f.process, &f.module, &f.function, &f.text})
        if (CellMatches(s->p, s->n, what, whatChars, options)) return true;
    return false;
}

long long FindInFile(TraceFile& file, size_t from, bool down, const wchar_t* what, const FindOptions& options) {
    const size_t lines = file.LineCount();
    const size_t whatChars = what ? wcslen(what) : 0;
    if (whatChars == 0 || lines == 0) return -1;
    if (from >= lines) {
        if (down) return -1;
        from = lines - 1;
    }
    const bool two = whatChars >= 2;
    const Variants a = VariantsOf(what[0], options.matchCase);
    const Variants b = two ? VariantsOf(what[1], options.matchCase) : a;

    // Lines [first, last) of one block, scanned forward; downwards the first hit ends
    // the search, upwards the last hit of the block does.
    constexpr size_t kBlockUnits = 512u << 10;  // 1 MB: the block stays in the cache while it is scanned
    // Kept for the thread's life: a search per file would otherwise pay a page fault for
    // every page of a fresh block.
    static thread_local std::unique_ptr<wchar_t[]> block;
    if (!block) block.reset(new (std::nothrow) wchar_t[kBlockUnits]);
    if (!block) return -1;
    const UniqueHandle pass = file.OpenPass();
    if (!pass) return -1;
    const LineIndex& index = file.index();
    size_t first = down ? from : 0, last = down ? 0 : from + 1;
    for (;;) {
        if (down) {
            if (first >= lines) return -1;
        } else {
            if (last == 0) return -1;
            const uint64_t endOffset = file.LineEnd(last - 1);
            first = endOffset > kBlockUnits * 2 ? index.LineOfOffset(endOffset - kBlockUnits * 2) + 1 : 0;
            if (first >= last) first = last - 1;
        }
        size_t units = 0;
        const size_t got = file.ReadBlock(pass.get(), first, block.get(), kBlockUnits, &units);
        if (got == 0) return -1;
        if (down) last = first + got;
        else if (first + got < last) last = first + got;  // a line too long for the block
        const uint64_t startOffset = file.LineStart(first);
        const wchar_t* p = block.get();
        long long hit = -1;
        size_t i = 0;
        while (i < units) {
            const size_t k = NextCandidate(p, i, units, a, b, two);
            if (k >= units) break;
            if (k + whatChars > units || !SameChars(p + k, what, whatChars, options.matchCase)) {
                i = k + 1;
                continue;
            }
            const size_t line = index.LineOfOffset(startOffset + k * 2);
            if (line >= last) break;
            const size_t ls = static_cast<size_t>((file.LineStart(line) - startOffset) / 2);
            size_t le = static_cast<size_t>((file.LineEnd(line) - startOffset) / 2);
            if (le > units) le = units;
            size_t len = le - ls;
            if (len && p[ls + len - 1] == L'\n') --len;
            if (len && p[ls + len - 1] == L'\r') --len;
            LineFields fields;
            ParseLine(p + ls, len, &fields);
            if (LineMatches(fields, what, whatChars, options)) {
                hit = static_cast<long long>(line);
                if (down) break;
            }
            i = le > k ? le : k + 1;
        }
        if (hit >= 0) return hit;
        if (down) first = last;
        else last = first;
    }
}

}  // namespace kv::trc

// kvtrccat: writes the lines of a trace file or of a directory's daily trace files to
// standard output as UTF-8, as text or as one JSON object per line, optionally limited
// to a time range and following the files as the server writes them.
#include <stdio.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "tracefiles/tracefiles.h"

using namespace kv::trc;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFiles = 1;  // a missing directory or file, an unreadable file, output lost
constexpr int kExitUsage = 2;  // bad arguments
constexpr size_t kOutBytes = 1 << 20;
// Units of text converted at a time: each takes at most 6 bytes of the output buffer.
constexpr size_t kTextPiece = kOutBytes / 8;
static_assert(kTextPiece * 6 <= kOutBytes, "a converted piece fits the output buffer");

const char kUsage[] =
    "usage: kvtrccat [--json] [--since TIME] [--until TIME] [--follow | --new] PATH\n"
    "  PATH     a trace file directory (its daily files TSyymmdd.txt in date order) or one file\n"
    "  --json   one JSON object per line instead of the line's text\n"
    "  --since, --until  YYYY-MM-DD[THH:MM[:SS[.cc]]] local time; --until takes the whole\n"
    "           minute, second or day it names\n"
    "  --follow keep writing new lines as they are written, on into the next day's file\n"
    "  --new    --follow, starting at the current end: only lines written from now on\n";

// Local date and time as one number: hundredths of a second since a fixed origin.
using Stamp = long long;
Stamp MakeStamp(const Date& d, int hour, int minute, int second, int hundredths) {
    return ((static_cast<long long>(d.year) * 13 + d.month) * 32 + d.day) * 8640000LL +
           ((hour * 60LL + minute) * 60 + second) * 100 + hundredths;
}

// "YYYY-MM-DD[( |T)HH:MM[:SS[(.|,)cc]]]". upper: the end of the period the text names.
bool ParseStampArg(const wchar_t* s, bool upper, Stamp* out) {
    // Digits exactly where they belong: a sign or a blank in a number is no time.
    const size_t len = wcslen(s);
    auto number = [&](size_t at, size_t digits, int* v) {
        if (at + digits > len) return false;
        *v = 0;
        for (size_t i = at; i < at + digits; ++i) {
            if (s[i] < L'0' || s[i] > L'9') return false;
            *v = *v * 10 + (s[i] - L'0');
        }
        return true;
    };
    int y, mo, d, h = 0, mi = 0, sec = 0, cc = 0;
    if (!number(0, 4, &y) || s[4] != L'-' || !number(5, 2, &mo) || s[7] != L'-' || !number(8, 2, &d)) return false;
    int precision = 0;  // 0 day, 1 minute, 2 second, 3 hundredth
    size_t at = 10;
    if (len > at) {
        if ((s[10] != L'T' && s[10] != L' ') || !number(11, 2, &h) || s[13] != L':' || !number(14, 2, &mi)) return false;
        precision = 1, at = 16;
        if (len > at) {
            if (s[16] != L':' || !number(17, 2, &sec)) return false;
            precision = 2, at = 19;
            if (len > at) {
                if ((s[19] != L'.' && s[19] != L',') || !number(20, 2, &cc)) return false;
                precision = 3, at = 22;
            }
        }
    }
    if (len != at) return false;
    Date date{y, mo, d};
    wchar_t name[16];
    swprintf(name, 16, L"TS%02d%02d%02d.txt", y % 100, mo, d);
    if (y < 1970 || y > 2069 || !DateFromDailyName(name, nullptr) || h > 23 || mi > 59 || sec > 59) return false;
    Stamp v = MakeStamp(date, h, mi, sec, cc);
    if (upper) v += precision == 0 ? 8640000 - 1 : precision == 1 ? 6000 - 1 : precision == 2 ? 100 - 1 : 0;
    *out = v;
    return true;
}

std::string Utf8(const std::wstring& w) {
    std::string out;
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    out.resize(n > 0 ? n : 0);
    if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &out[0], n, nullptr, nullptr);
    return out;
}

void Error(const char* format, const std::wstring& what, DWORD code = 0) {
    fprintf(stderr, format, Utf8(what).c_str(), static_cast<unsigned long>(code));
    fflush(stderr);
}

// The output buffer, followed by a page that faults on any access: a write past the
// buffer ends the program at once instead of quietly overwriting the heap.
class GuardedBuffer {
public:
    GuardedBuffer() {
        SYSTEM_INFO si;
        ::GetSystemInfo(&si);
        p_ = static_cast<char*>(::VirtualAlloc(nullptr, kOutBytes + si.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old;
        if (!p_ || !::VirtualProtect(p_ + kOutBytes, si.dwPageSize, PAGE_NOACCESS, &old)) throw std::bad_alloc();
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    ~GuardedBuffer() { ::VirtualFree(p_, 0, MEM_RELEASE); }
    char* get() const { return p_; }

private:
    char* p_ = nullptr;
};
static_assert(kOutBytes % 65536 == 0, "the buffer ends where a page begins");

// Standard output through a buffer of its own; UTF-8 conversion and JSON escaping write
// straight into it.
class Output {
public:
    Output() : out_(::GetStdHandle(STD_OUTPUT_HANDLE)) {}
    bool failed() const { return failed_; }

    void Raw(const char* s, size_t n) {
        if (used_ + n > kOutBytes) Flush();
        if (n > kOutBytes) return WriteAll(s, n);
        memcpy(buf_.get() + used_, s, n);
        used_ += n;
    }
    void Raw(const char* s) { Raw(s, strlen(s)); }
    // Numbers by hand: the runtime's formatting costs more than the rest of a line.
    void Number(long long v) {
        char tmp[24];
        char* e = tmp + sizeof tmp;
        char* p = e;
        const bool negative = v < 0;
        unsigned long long u = negative ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        do *--p = static_cast<char>('0' + u % 10); while (u /= 10);
        if (negative) *--p = '-';
        Raw(p, static_cast<size_t>(e - p));
    }
    void Digits(unsigned v, int width) {  // zero-padded
        char tmp[8];
        for (int i = width - 1; i >= 0; --i, v /= 10) tmp[i] = static_cast<char>('0' + v % 10);
        Raw(tmp, static_cast<size_t>(width));
    }

    // UTF-8 of UTF-16 text; a lone surrogate becomes U+FFFD. json: escaped for a string.
    // In pieces, each of which fits the buffer: a line may be half a million units long.
    void Text(const wchar_t* p, size_t n, bool json) {
        while (n > 0) {
            size_t piece = n < kTextPiece ? n : kTextPiece;
            // A surrogate pair stays in one piece.
            if (piece < n && p[piece - 1] >= 0xD800 && p[piece - 1] < 0xDC00) --piece;
            Piece(p, piece, json);
            p += piece;
            n -= piece;
        }
    }
    void String(const Span& s) {
        Raw("\"", 1);
        Text(s.p, s.n, true);
        Raw("\"", 1);
    }

    void Flush() {
        if (used_) WriteAll(buf_.get(), used_);
        used_ = 0;
    }

private:
    void Piece(const wchar_t* p, size_t n, bool json) {
        if (used_ + n * 6 > kOutBytes) Flush();
        char* o = buf_.get() + used_;
        for (size_t i = 0; i < n; ++i) {
            unsigned c = static_cast<uint16_t>(p[i]);
            if (c < 0x80) {
                if (json && (c < 0x20 || c == '"' || c == '\\')) {
                    *o++ = '\\';
                    switch (c) {
                    case '"': *o++ = '"'; break;
                    case '\\': *o++ = '\\'; break;
                    case '\n': *o++ = 'n'; break;
                    case '\r': *o++ = 'r'; break;
                    case '\t': *o++ = 't'; break;
                    default:
                        static const char kHex[] = "0123456789abcdef";
                        *o++ = 'u', *o++ = '0', *o++ = '0', *o++ = kHex[c >> 4], *o++ = kHex[c & 15];
                    }
                } else {
                    *o++ = static_cast<char>(c);
                }
                continue;
            }
            if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] < 0xE000) {
                const unsigned cp = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(p[++i]) - 0xDC00);
                *o++ = static_cast<char>(0xF0 | (cp >> 18));
                *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                *o++ = static_cast<char>(0x80 | (cp & 0x3F));
                continue;
            }
            if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;
            if (c < 0x800) {
                *o++ = static_cast<char>(0xC0 | (c >> 6));
            } else {
                *o++ = static_cast<char>(0xE0 | (c >> 12));
                *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            }
            *o++ = static_cast<char>(0x80 | (c & 0x3F));
        }
        used_ = static_cast<size_t>(o - buf_.get());
    }
    void WriteAll(const char* s, size_t n) {
        while (n && !failed_) {
            DWORD written = 0;
            const DWORD chunk = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
            if (!::WriteFile(out_, s, chunk, &written, nullptr) || written == 0) failed_ = true;
            s += written;
            n -= written;
        }
    }
    GuardedBuffer buf_;
    size_t used_ = 0;
    HANDLE out_;
    bool failed_ = false;
};

struct Options {
    bool json = false, follow = false, fromEnd = false;
    bool hasSince = false, hasUntil = false;
    Stamp since = 0, until = 0;
    std::wstring path;
};

// One file being written out: how far it has been.
struct Source {
    explicit Source(const DayFile& d) : day(d) {}
    DayFile day;
    TraceFile file;
    size_t emitted = 0;
    Stamp last = 0;  // stamp of the last dated line, for lines that carry no time
};

// Writes the files out; as a follower's sink, the followed file's new lines.
class Cat : public FollowSink {
public:
    explicit Cat(const Options& o) : o_(o) {}

    // Reads and writes out what s holds now; the unfinished last line only when final.
    // False (reported) when lines could not be read.
    bool Pass(Source& s, bool final) {
        DWORD error = 0;
        StartOver(s);
        if (!s.file.Open(s.day.path, &error)) {
            Error("kvtrccat: cannot open '%s' (error %lu)\n", s.day.path, error);
            return false;
        }
        if (!s.file.Index()) return CannotRead(s);
        if (o_.fromEnd) {
            s.emitted = s.file.index().size();  // what is there was shipped before
            return true;
        }
        return Emit(s, final) || CannotRead(s);
    }

    bool InRange(const DayFile& d) const {
        if (!o_.hasSince && !o_.hasUntil) return true;
        if (!d.date.known()) return false;
        // A day's file may begin with the last rows of the day before.
        if (o_.hasSince && MakeStamp(d.date, 23, 59, 59, 99) < o_.since) return false;
        if (o_.hasUntil && MakeStamp(AddDays(d.date, -1), 0, 0, 0, 0) > o_.until) return false;
        return true;
    }

    // Follows s (the last file written out) and the days after it.
    void Follow(std::unique_ptr<Source> s) { current_ = std::move(s); }

    bool Lines(TraceFile&, bool startedOver, bool final) override {
        if (startedOver) {
            Error("kvtrccat: '%s' was replaced or cut shorter: reading it again from its start\n", current_->day.path);
            StartOver(*current_);
        }
        return Emit(*current_, final);
    }
    TraceFile* NextDay(const DayFile& d) override {
        if (!InRange(d)) return nullptr;
        current_.reset(new Source(d));
        current_->file.Open(d.path, nullptr);
        StartOver(*current_);
        return &current_->file;
    }
    void Failed(const std::wstring& path, DWORD error) override {
        Error("kvtrccat: cannot read '%s' (error %lu); trying again\n", path, error);
    }

    Output& out() { return out_; }

private:
    void StartOver(Source& s) {
        s.emitted = 0;
        s.last = s.day.date.known() ? MakeStamp(s.day.date, 0, 0, 0, 0) : 0;
    }
    bool CannotRead(Source& s) {
        Error("kvtrccat: cannot read '%s' (error %lu)\n", s.day.path, s.file.error());
        return false;
    }

    // Writes the lines not written yet; the unfinished last line only when final. False
    // when they could not be read (the next pass takes them up again).
    bool Emit(Source& s, bool final) {
        TraceFile& f = s.file;
        const size_t end = final ? f.LineCount() : f.index().size();
        // In pieces, so that a reader that went away ends the pass soon.
        constexpr size_t kPiece = 65536;
        while (s.emitted < end && !out_.failed()) {
            const size_t stop = end - s.emitted > kPiece ? s.emitted + kPiece : end;
            if (!f.ForEachLine(s.emitted, stop, [&](size_t, const wchar_t* text, size_t chars) { Line(s, text, chars); }))
                return false;
            s.emitted = stop;
        }
        return true;
    }

private:
    void Line(Source& s, const wchar_t* p, size_t n) {
        LineFields f;
        ParseLine(p, n, &f);
        Date date = s.day.date;
        bool stamped = false;
        if (f.hasTime && date.known()) {
            date = LineDate(date, f.weekday);
            s.last = MakeStamp(date, f.hour, f.minute, f.second, f.hundredths);
            stamped = true;
        }
        if (o_.hasSince || o_.hasUntil) {
            if (!s.day.date.known()) return;
            if (o_.hasSince && s.last < o_.since) return;
            if (o_.hasUntil && s.last > o_.until) return;
        }
        if (!o_.json) {
            out_.Text(p, n, false);
            out_.Raw("\n", 1);
            return;
        }
        out_.Raw("{\"time\":");
        if (f.hasTime) {
            out_.Raw("\"", 1);
            if (stamped) {
                out_.Digits(static_cast<unsigned>(date.year), 4);
                out_.Raw("-", 1);
                out_.Digits(static_cast<unsigned>(date.month), 2);
                out_.Raw("-", 1);
                out_.Digits(static_cast<unsigned>(date.day), 2);
                out_.Raw("T", 1);
            }
            out_.Digits(static_cast<unsigned>(f.hour), 2);
            out_.Raw(":", 1);
            out_.Digits(static_cast<unsigned>(f.minute), 2);
            out_.Raw(":", 1);
            out_.Digits(static_cast<unsigned>(f.second), 2);
            out_.Raw(".", 1);
            out_.Digits(static_cast<unsigned>(f.hundredths), 2);
            out_.Raw("\",\"seq\":");
            out_.Number(f.sequence);
        } else {
            out_.Raw("null,\"seq\":null");
        }
        if (f.split) {
            const short level = f.level();
            out_.Raw(",\"level\":\"");
            out_.Raw(LevelNameOf(level));
            out_.Raw("\",\"levelNo\":");
            out_.Number(level);
        } else {
            out_.Raw(",\"level\":null,\"levelNo\":null");
        }
        out_.Raw(",\"process\":");
        out_.String(f.processName);
        out_.Raw(",\"pid\":");
        f.pid >= 0 ? out_.Number(f.pid) : out_.Raw("null");
        out_.Raw(",\"module\":");
        out_.String(f.moduleName);
        out_.Raw(",\"tid\":");
        f.tid >= 0 ? out_.Number(f.tid) : out_.Raw("null");
        out_.Raw(",\"function\":");
        out_.String(f.function);
        out_.Raw(",\"text\":");
        out_.String(f.text);
        out_.Raw(f.marked() ? ",\"marked\":true" : ",\"marked\":false");
        if (f.split && !f.cut) {
            const unsigned sw = f.switches();
            out_.Raw(sw & kSwError ? ",\"error\":true" : ",\"error\":false");
            out_.Raw(sw & kSwWarning ? ",\"warning\":true" : ",\"warning\":false");
            out_.Raw(sw & kSwInfo ? ",\"info\":true" : ",\"info\":false");
            out_.Raw(sw & kSwDiag ? ",\"diag\":true}\n" : ",\"diag\":false}\n");
        } else {
            out_.Raw(",\"error\":null,\"warning\":null,\"info\":null,\"diag\":null}\n");
        }
    }

    const Options& o_;
    Output out_;
    std::unique_ptr<Source> current_;
};

bool IsDirectory(const std::wstring& path, DWORD* error) {
    const DWORD a = ::GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) *error = ::GetLastError();
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

int Run(const Options& o) {
    Cat cat(o);
    DWORD error = 0;
    const bool isDir = IsDirectory(o.path, &error);
    if (!isDir && error) {
        Error("kvtrccat: '%s' does not exist (error %lu)\n", o.path, error);
        return kExitFiles;
    }
    // A daily file is followed on into the days after it, like its directory.
    std::wstring dir = o.path;
    DayFile single = DayFileOf(o.path);
    bool byDay = isDir;
    if (!isDir) {
        const size_t slash = o.path.find_last_of(L"\\/");
        dir = slash == std::wstring::npos ? L"." : o.path.substr(0, slash);
        byDay = o.follow && single.date.known();
    }

    std::vector<DayFile> days;
    if (isDir && !ListDayFiles(dir, &days, &error)) {
        Error("kvtrccat: cannot list '%s' (error %lu)\n", dir, error);
        return kExitFiles;
    }
    if (!isDir) days.assign(1, single);

    int result = kExitOk;
    std::unique_ptr<Source> last;
    Date lastDate;
    for (size_t i = 0; i < days.size(); ++i) {
        if (!cat.InRange(days[i])) continue;
        std::unique_ptr<Source> s(new Source(days[i]));
        const bool followed = o.follow && i + 1 == days.size();
        if (!cat.Pass(*s, !followed)) result = kExitFiles;
        if (days[i].date.known()) lastDate = days[i].date;
        if (followed) last = std::move(s);
    }
    cat.out().Flush();
    if (cat.out().failed()) return kExitFiles;
    if (!o.follow) return result;

    Follower follower;
    follower.Follow(last ? &last->file : nullptr, byDay ? dir : std::wstring(), lastDate);
    cat.Follow(std::move(last));
    for (;;) {
        ::Sleep(follower.PauseMs(::GetTickCount64()));
        follower.Poll(cat, ::GetTickCount64());
        cat.out().Flush();
        if (cat.out().failed()) return kExitFiles;  // the reader went away
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (a == L"--json") {
            o.json = true;
        } else if (a == L"--follow" || a == L"-f") {
            o.follow = true;
        } else if (a == L"--new") {
            o.follow = o.fromEnd = true;
        } else if (a == L"--since" || a == L"--until") {
            const bool until = a == L"--until";
            if (i + 1 >= argc || !ParseStampArg(argv[i + 1], until, until ? &o.until : &o.since)) {
                Error("kvtrccat: bad time '%s': expected YYYY-MM-DD[THH:MM[:SS[.cc]]]\n", i + 1 < argc ? argv[i + 1] : L"");
                return kExitUsage;
            }
            (until ? o.hasUntil : o.hasSince) = true;
            ++i;
        } else if (a == L"--help" || a == L"-h" || a == L"/?") {
            fputs(kUsage, stdout);
            return kExitOk;
        } else if (!a.empty() && a[0] == L'-' && a != L"-") {
            Error("kvtrccat: unknown option '%s'\n", a);
            fputs(kUsage, stderr);
            return kExitUsage;
        } else if (o.path.empty()) {
            o.path = a;
        } else {
            Error("kvtrccat: more than one path: '%s'\n", a);
            return kExitUsage;
        }
    }
    if (o.path.empty()) {
        fputs(kUsage, stderr);
        return kExitUsage;
    }
    return Run(o);
}

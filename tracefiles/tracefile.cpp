// One trace file read back: opened shared, indexed by its line feeds, read through a
// mapped window.
#include <algorithm>
#include <new>

#include "client/faultguard.h"
#include "tracefiles/tracefiles.h"

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define KV_TRC_SSE2 1
#endif

namespace kv::trc {

namespace {

constexpr size_t kScanBlock = 1u << 20;  // indexing reads blocks of this size
constexpr uint64_t kGranularity = 64 * 1024;
// A window large enough for many lines per mapping, small enough for a 32-bit process.
constexpr size_t kViewBytes = sizeof(void*) == 8 ? (64u << 20) : (16u << 20);

// Seek and read: Wine serves a read that carries its offset in an OVERLAPPED record
// several times slower than a plain one.
bool ReadAt(HANDLE file, uint64_t offset, void* buffer, DWORD bytes, DWORD* got) noexcept {
    *got = 0;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
    while (*got < bytes) {
        DWORD n = 0;
        if (!::ReadFile(file, static_cast<BYTE*>(buffer) + *got, bytes - *got, &n, nullptr)) return false;
        if (n == 0) break;
        *got += n;
    }
    return true;
}

uint64_t FileSize(HANDLE file) noexcept {
    LARGE_INTEGER size = {};
    return ::GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

}  // namespace

bool LineIndex::Grow() {
    uint16_t* chunk = new (std::nothrow) uint16_t[kChunk];
    if (!chunk) return false;
    try {
        chunks_.emplace_back(chunk);
    } catch (...) {
        delete[] chunk;
        return false;
    }
    return true;
}

bool LineIndex::PushBase(uint64_t v) {
    try {
        bases_.push_back(v);
    } catch (...) {
        return false;
    }
    return true;
}

bool LineIndex::PushLong(uint64_t distance) {
    try {
        longs_.emplace_back(count_, distance);
    } catch (...) {
        return false;
    }
    return true;
}

uint64_t LineIndex::LongDistance(size_t i) const noexcept {
    auto it = std::lower_bound(longs_.begin(), longs_.end(), std::make_pair(i, uint64_t(0)));
    return it != longs_.end() && it->first == i ? it->second : 0;
}

void LineIndex::Decode(size_t first, size_t n, uint64_t* out) const noexcept {
    if (n == 0) return;
    uint64_t v = (*this)[first];
    out[0] = v;
    for (size_t k = 1; k < n; ++k) {
        const size_t i = first + k;
        if ((i & ((size_t(1) << kGroupShift) - 1)) == 0) {
            v = bases_[i >> kGroupShift];
        } else {
            const uint16_t d = chunks_[i >> kChunkShift][i & (kChunk - 1)];
            v += d ? d : LongDistance(i);
        }
        out[k] = v;
    }
}

size_t LineIndex::LineOfOffset(uint64_t offset) const noexcept {
    // The group first, by its whole offset; then the lines of that group.
    const size_t group = static_cast<size_t>(std::upper_bound(bases_.begin(), bases_.end(), offset) - bases_.begin());
    if (group == 0) return 0;  // the first line already ends above offset
    size_t i = (group - 1) << kGroupShift;
    uint64_t v = bases_[group - 1];
    while (++i < count_ && (i >> kGroupShift) == group - 1) {
        const uint16_t d = chunks_[i >> kChunkShift][i & (kChunk - 1)];
        v += d ? d : LongDistance(i);
        if (v > offset) return i;
    }
    return i;
}

bool ScanLineFeeds(const wchar_t* data, size_t units, uint64_t base, LineIndex* index) {
    size_t i = 0;
#if KV_TRC_SSE2
    const __m128i lf = _mm_set1_epi16(10);
    for (; i + 16 <= units; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 8));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(a, lf), _mm_cmpeq_epi16(b, lf))));
        while (mask) {
            if (!index->push(base + (i + kv_lowest_bit(mask) + 1) * 2)) return false;
            mask &= mask - 1;
        }
    }
#else
    // Four units at a time: a unit equal to 10 becomes zero after the xor.
    for (; i + 4 <= units; i += 4) {
        uint64_t v;
        memcpy(&v, data + i, 8);
        v ^= 0x000A000A000A000AULL;
        if (((v - 0x0001000100010001ULL) & ~v & 0x8000800080008000ULL) == 0) continue;
        for (size_t k = 0; k < 4; ++k)
            if (data[i + k] == 10 && !index->push(base + (i + k + 1) * 2)) return false;
    }
#endif
    for (; i < units; ++i)
        if (data[i] == 10 && !index->push(base + (i + 1) * 2)) return false;
    return true;
}

TraceFile::~TraceFile() {
    Unmap();
    if (file_ != INVALID_HANDLE_VALUE) ::CloseHandle(file_);
}

bool TraceFile::Open(const std::wstring& path, DWORD* error) {
    path_ = path;
    // Shared for everything: the server keeps appending, rotates and deletes its files.
    file_ = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) {
        if (error) *error = ::GetLastError();
        return false;
    }
    return true;
}

bool TraceFile::Index(Progress progress, void* ctx) {
    if (file_ == INVALID_HANDLE_VALUE) return false;
    const uint64_t size = FileSize(file_);
    if (!started_) {
        BYTE mark[2] = {};
        DWORD got = 0;
        if (size >= 2 && ReadAt(file_, 0, mark, 2, &got) && got == 2 && mark[0] == 0xFF && mark[1] == 0xFE)
            dataStart_ = 2;
        scanned_ = dataStart_;
        started_ = true;
    }
    if (size < scanned_) {
        // Cut shorter by someone else: the lines beyond the new end are gone.
        LineIndex kept;
        for (size_t i = 0; i < index_.size() && index_[i] <= size; ++i)
            if (!kept.push(index_[i])) return false;
        index_ = std::move(kept);
        scanned_ = lastEnd();
        Unmap();
    }
    // Read, not mapped: a plain read from the page cache costs less than the faults of
    // touching every page of a mapping once.
    // One buffer per thread for good: fresh memory costs a page fault per page, which
    // for a buffer per call would cost more than reading a small file.
    static thread_local std::unique_ptr<wchar_t[]> buffer;
    if (!buffer) buffer.reset(new (std::nothrow) wchar_t[kScanBlock / 2]);
    if (!buffer) return false;
    bool ok = true;
    while (scanned_ + 1 < size) {
        const uint64_t left = size - scanned_;
        const DWORD want = left < kScanBlock ? static_cast<DWORD>(left) : static_cast<DWORD>(kScanBlock);
        DWORD got = 0;
        if (!ReadAt(file_, scanned_, buffer.get(), want, &got)) {
            ok = false;
            break;
        }
        if (got < 2) break;
        if (!ScanLineFeeds(buffer.get(), got / 2, scanned_, &index_)) {
            ok = false;
            break;
        }
        scanned_ += got & ~1u;
        if (progress && !progress(ctx, scanned_, size)) break;
    }
    size_ = scanned_ + 1 == size ? size : scanned_;
    return ok;
}

uint64_t TraceFile::LineStart(size_t line) const noexcept { return line == 0 ? dataStart_ : index_[line - 1]; }

uint64_t TraceFile::LineEnd(size_t line) const noexcept { return line < index_.size() ? index_[line] : size_; }

void TraceFile::Unmap() noexcept {
    if (view_) ::UnmapViewOfFile(view_);
    view_ = nullptr;
    viewBytes_ = 0;
    if (mapping_) ::CloseHandle(mapping_);
    mapping_ = nullptr;
    mappingSize_ = 0;
}

bool TraceFile::Remap(uint64_t offset, size_t bytes) {
    if (mappingSize_ < offset + bytes) {
        Unmap();
        const uint64_t size = FileSize(file_);
        if (size < offset + bytes || size == 0) return false;
        mapping_ = ::CreateFileMappingW(file_, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (!mapping_) return false;
        mappingSize_ = size;
    }
    if (view_) ::UnmapViewOfFile(view_);
    view_ = nullptr;
    const uint64_t aligned = offset & ~(kGranularity - 1);
    uint64_t length = offset + bytes - aligned;
    if (length < kViewBytes) length = kViewBytes;
    if (length > mappingSize_ - aligned) length = mappingSize_ - aligned;
    view_ = static_cast<const BYTE*>(::MapViewOfFile(mapping_, FILE_MAP_READ, static_cast<DWORD>(aligned >> 32),
                                                     static_cast<DWORD>(aligned), static_cast<SIZE_T>(length)));
    if (!view_) return false;
    viewOffset_ = aligned;
    viewBytes_ = static_cast<size_t>(length);
    return true;
}

const BYTE* TraceFile::Map(uint64_t offset, size_t bytes) {
    if (bytes == 0) bytes = 1;
    if (!view_ || offset < viewOffset_ || offset + bytes > viewOffset_ + viewBytes_) {
        if (!Remap(offset, bytes)) return nullptr;
    }
    return view_ + (offset - viewOffset_);
}

size_t TraceFile::ReadBlock(size_t first, wchar_t* buffer, size_t capUnits, size_t* units) {
    *units = 0;
    const size_t lines = LineCount();
    if (first >= lines || capUnits == 0) return 0;
    const uint64_t start = LineStart(first);
    size_t last = index_.LineOfOffset(start + capUnits * 2);  // the first line that does not fit
    if (last > lines) last = lines;
    if (last <= first) last = first + 1;
    uint64_t end = LineEnd(last - 1);
    if (end - start > capUnits * 2) end = start + capUnits * 2;  // one line longer than the buffer
    const DWORD bytes = static_cast<DWORD>(end - start);
    DWORD got = 0;
    if (!ReadAt(file_, start, buffer, bytes, &got) || got != bytes) return 0;
    *units = bytes / 2;
    if (bytes & 1) {
        // A file cut in the middle of a character ends in a lone byte.
        if (*units < capUnits) buffer[(*units)++] = 0xFFFD;
    }
    return last - first;
}

bool TraceFile::ForEachLineImpl(size_t first, size_t last, void (*fn)(void*, size_t, const wchar_t*, size_t),
                                void* ctx) {
    // Kept for the thread's life, like the indexing buffer.
    static thread_local std::unique_ptr<wchar_t[]> block;
    static thread_local std::vector<uint64_t> ends;
    if (!block) block.reset(new (std::nothrow) wchar_t[kScanBlock / 2]);
    if (!block) return false;
    if (last > LineCount()) last = LineCount();
    const size_t complete = index_.size();
    while (first < last) {
        size_t units = 0;
        const size_t got = ReadBlock(first, block.get(), kScanBlock / 2, &units);
        if (got == 0) return false;
        const size_t stop = first + got < last ? first + got : last;
        const uint64_t base = LineStart(first);
        // The ends of the block's complete lines, decoded in one pass.
        const size_t known = stop < complete ? stop - first : (complete > first ? complete - first : 0);
        if (ends.size() < known) ends.resize(known);
        index_.Decode(first, known, ends.data());
        const wchar_t* p = block.get();
        size_t ls = 0;
        for (size_t i = first; i < stop; ++i) {
            size_t le = i + 1 == first + got || i - first >= known ? units : static_cast<size_t>((ends[i - first] - base) / 2);
            if (le > units) le = units;
            const size_t next = le;
            if (le > ls && p[le - 1] == L'\n') --le;
            if (le > ls && p[le - 1] == L'\r') --le;
            fn(ctx, i, p + ls, le - ls);
            ls = next;
        }
        first = stop;
    }
    return true;
}

size_t TraceFile::ReadLine(size_t line, wchar_t* buffer, size_t cap) {
    if (!buffer || cap == 0) return 0;
    buffer[0] = 0;
    if (line >= LineCount()) return 0;
    const uint64_t start = LineStart(line);
    uint64_t end = LineEnd(line);
    if (end <= start) return 0;
    size_t bytes = static_cast<size_t>(end - start);
    const size_t maxBytes = (cap - 1) * 2 + 4;  // room for a CR LF that is dropped
    const bool cutHere = bytes > maxBytes;
    if (cutHere) bytes = maxBytes;
    const BYTE* p = Map(start, bytes);
    if (!p) return 0;
    size_t chars = 0;
    const bool copied = RunGuarded([&] {
        size_t units = bytes / 2;
        const wchar_t* src = reinterpret_cast<const wchar_t*>(p);
        if (!cutHere) {
            if (units && src[units - 1] == L'\n') --units;
            if (units && src[units - 1] == L'\r') --units;
        }
        if (units > cap - 1) units = cap - 1;
        for (size_t i = 0; i < units; ++i) buffer[i] = src[i] ? src[i] : L' ';
        chars = units;
        // A file cut in the middle of a character ends in a lone byte.
        if (!cutHere && (bytes & 1) && chars < cap - 1) buffer[chars++] = 0xFFFD;
    });
    if (!copied) chars = 0;  // the file went away under the mapping
    buffer[chars] = 0;
    return chars;
}

}  // namespace kv::trc

// One trace file read back: opened for each poll or read, indexed by its line feeds,
// single lines read through windows shared by every file.
#include <algorithm>
#include <new>

#include "client/locks.h"
#include "tracefiles/tracefiles.h"

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define KV_TRC_SSE2 1
#endif

namespace kv::trc {

namespace {

constexpr size_t kScanBlock = 1u << 20;  // indexing reads blocks of this size

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

// Asked once a poll, not for every read: under Wine the call also asks for the volume
// and costs a millisecond. False when it cannot be read: an identity taken as 0 would
// look like another file and have the file read again whole.
bool IdentityOf(HANDLE file, TraceFile::Identity* id) noexcept {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(file, &info)) return false;
    id->volume = info.dwVolumeSerialNumber, id->high = info.nFileIndexHigh, id->low = info.nFileIndexLow;
    return true;
}

// Each content a TraceFile indexes gets a number of its own, so that a line window is
// never taken for the content of another file or of the file before it started over.
volatile LONG64 g_lastKey;

// The windows through which single lines are read, shared by every file of the process:
// a viewer of a hundred files keeps a bounded amount of memory, and no file stays open
// between reads. The least recently used window is refilled. Guarded by the lock; the
// copy out of a window and the read into it happen under it.
class LineWindows {
public:
    static constexpr size_t kCount = 8;
    static constexpr size_t kBytes = (kMaxLineChars + 2) * 2;  // the longest line handed out, CR LF included

    // Copies [offset, offset + bytes) of the content named key out through convert; when
    // no window holds them, read(offset, into, n) fills one with up to n bytes from
    // offset (at most `available`) and returns how many it read.
    template <class Read, class Convert>
    bool Get(uint64_t key, uint64_t offset, size_t bytes, uint64_t available, Read&& read, Convert&& convert) {
        SectionLock lock(lock_);
        ++clock_;
        Window* w = nullptr;
        for (Window& c : windows_)
            if (c.key == key && c.offset <= offset && offset + bytes <= c.offset + c.bytes) w = &c;
        if (!w) {
            w = &windows_[0];
            for (Window& c : windows_)
                if (c.used < w->used) w = &c;
            if (!w->data) w->data.reset(new (std::nothrow) BYTE[kBytes]);
            w->key = 0;
            const size_t fill = available < kBytes ? static_cast<size_t>(available) : kBytes;
            const size_t got = w->data ? read(offset, w->data.get(), fill) : 0;
            if (got < bytes) return false;
            w->key = key;
            w->offset = offset;
            w->bytes = got;
        }
        w->used = clock_;
        convert(w->data.get() + (offset - w->offset));
        return true;
    }

private:
    struct Window {
        uint64_t key = 0, offset = 0, used = 0;
        size_t bytes = 0;
        std::unique_ptr<BYTE[]> data;
    };
    RankedSection lock_{LockRank::kLineWindows};  // the line windows lock of client/locks.h
    Window windows_[kCount];
    uint64_t clock_ = 0;
};
LineWindows g_windows;

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

TraceFile::TraceFile() : key_(static_cast<uint64_t>(::InterlockedIncrement64(&g_lastKey))) {}

UniqueHandle TraceFile::OpenShared() {
    // Shared for everything: the server keeps appending, rotates and deletes its files.
    UniqueHandle file(::CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) error_ = ::GetLastError();
    return file;
}

bool TraceFile::Open(const std::wstring& path, DWORD* error) {
    path_ = path;
    UniqueHandle file = OpenShared();
    if (!file && error) *error = error_;
    return file.valid();
}

void TraceFile::StartOver() noexcept {
    index_.clear();
    dataStart_ = scanned_ = size_ = 0;
    markBytes_ = 0;
    started_ = false;
    ++restarts_;
    key_ = static_cast<uint64_t>(::InterlockedIncrement64(&g_lastKey));
}

bool TraceFile::ReadMarks(HANDLE file, BYTE* out, size_t* bytes) {
    const DWORD n = static_cast<DWORD>(scanned_ < kMarkBytes ? scanned_ : kMarkBytes);
    DWORD head = 0, tail = 0;
    *bytes = 0;
    if (n && (!ReadAt(file, 0, out, n, &head) || !ReadAt(file, scanned_ - n, out + n, n, &tail))) {
        error_ = ::GetLastError();
        return false;
    }
    *bytes = head + tail;
    return true;
}

bool TraceFile::Index(Progress progress, void* ctx) {
    UniqueHandle file = OpenShared();
    if (!file) return false;
    Identity id;
    if (!IdentityOf(file.get(), &id)) {
        error_ = ::GetLastError();
        return false;
    }
    const uint64_t size = FileSize(file.get());
    // Replaced (a file system may give a new file the number of a deleted one, so bytes
    // are compared too), cut shorter, or rewritten in place: the lines read are gone, the
    // new content is read from its start.
    BYTE marks[2 * kMarkBytes];
    size_t markBytes = 0;
    const bool compare = started_ && size >= size_ && markBytes_;
    if (compare && !ReadMarks(file.get(), marks, &markBytes)) return false;
    if (started_ && (id != id_ || size < size_ ||
                     (compare && (markBytes != markBytes_ || memcmp(marks, marks_, markBytes) != 0))))
        StartOver();
    if (!started_) {
        BYTE mark[2] = {};
        DWORD got = 0;
        if (size >= 2 && ReadAt(file.get(), 0, mark, 2, &got) && got == 2 && mark[0] == 0xFF && mark[1] == 0xFE)
            dataStart_ = 2;
        scanned_ = dataStart_;
        id_ = id;
        started_ = true;
    }
    // Read, not mapped: a plain read from the page cache costs less than the faults of
    // touching every page of a mapping once.
    // One buffer per thread for good: fresh memory costs a page fault per page, which
    // for a buffer per call would cost more than reading a small file.
    static thread_local std::unique_ptr<wchar_t[]> buffer;
    if (!buffer) buffer.reset(new (std::nothrow) wchar_t[kScanBlock / 2]);
    if (!buffer) {
        error_ = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    const uint64_t before = scanned_;
    bool ok = true;
    while (scanned_ + 1 < size) {
        const uint64_t left = size - scanned_;
        const DWORD want = left < kScanBlock ? static_cast<DWORD>(left) : static_cast<DWORD>(kScanBlock);
        DWORD got = 0;
        if (!ReadAt(file.get(), scanned_, buffer.get(), want, &got)) {
            error_ = ::GetLastError();
            ok = false;
            break;
        }
        if (got < 2) break;
        if (!ScanLineFeeds(buffer.get(), got / 2, scanned_, &index_)) {
            error_ = ERROR_NOT_ENOUGH_MEMORY;
            ok = false;
            break;
        }
        scanned_ += got & ~1u;
        if (progress && !progress(ctx, scanned_, size)) break;
    }
    size_ = scanned_ + 1 == size ? size : scanned_;
    if (scanned_ != before && !ReadMarks(file.get(), marks_, &markBytes_)) ok = false;
    return ok;
}

uint64_t TraceFile::LineStart(size_t line) const noexcept { return line == 0 ? dataStart_ : index_[line - 1]; }

uint64_t TraceFile::LineEnd(size_t line) const noexcept { return line < index_.size() ? index_[line] : size_; }

size_t TraceFile::ReadBlock(HANDLE file, size_t first, wchar_t* buffer, size_t capUnits, size_t* units) {
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
    const bool read = ReadAt(file, start, buffer, bytes, &got);
    if (!read || got != bytes) {
        error_ = read ? ERROR_HANDLE_EOF : ::GetLastError();  // cut shorter since it was indexed
        return 0;
    }
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
    if (first >= last) return true;
    UniqueHandle file = OpenShared();
    if (!file) return false;
    const size_t complete = index_.size();
    while (first < last) {
        size_t units = 0;
        const size_t got = ReadBlock(file.get(), first, block.get(), kScanBlock / 2, &units);
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

bool TraceFile::ReadLine(size_t line, wchar_t* buffer, size_t cap, size_t* chars) {
    *chars = 0;
    if (!buffer || cap == 0) return false;
    buffer[0] = 0;
    if (line >= LineCount()) {
        error_ = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (cap > kMaxLineChars + 1) cap = kMaxLineChars + 1;
    const uint64_t start = LineStart(line);
    // In 64 bits: a line of 4 GiB or more must not wrap to a short one on a 32-bit system.
    const uint64_t length = LineEnd(line) - start;
    const size_t maxBytes = (cap - 1) * 2 + 4;  // room for a CR LF that is dropped
    const bool cut = length > maxBytes;
    const size_t bytes = cut ? maxBytes : static_cast<size_t>(length);
    if (bytes == 0) return true;
    auto read = [&](uint64_t offset, BYTE* into, size_t n) -> size_t {
        UniqueHandle file = OpenShared();
        DWORD got = 0;
        if (!file) return 0;
        if (!ReadAt(file.get(), offset, into, static_cast<DWORD>(n), &got)) error_ = ::GetLastError(), got = 0;
        else if (got < bytes) error_ = ERROR_HANDLE_EOF;  // cut shorter since it was indexed
        return got;
    };
    auto convert = [&](const BYTE* p) {
        size_t units = bytes / 2;
        const wchar_t* src = reinterpret_cast<const wchar_t*>(p);
        if (!cut) {
            if (units && src[units - 1] == L'\n') --units;
            if (units && src[units - 1] == L'\r') --units;
        }
        if (units > cap - 1) units = cap - 1;
        for (size_t i = 0; i < units; ++i) buffer[i] = src[i] ? src[i] : L' ';
        *chars = units;
        // A file cut in the middle of a character ends in a lone byte.
        if (!cut && (bytes & 1) && *chars < cap - 1) buffer[(*chars)++] = 0xFFFD;
    };
    error_ = 0;
    const bool ok = g_windows.Get(key_, start, bytes, size_ - start, read, convert);
    if (!ok && !error_) error_ = ERROR_NOT_ENOUGH_MEMORY;
    buffer[*chars] = 0;
    return ok;
}

}  // namespace kv::trc

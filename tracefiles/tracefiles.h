// Reading trace files back: the daily files of a directory, one file opened shared and
// read through mapped windows, its line index, and the parser that splits a line into
// the fields the server wrote.
#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "client/owners.h"

namespace kv::trc {

// --- dates and names ------------------------------------------------------------------

struct Date {
    int year = 0, month = 0, day = 0;  // year 0: unknown
    bool known() const noexcept { return year != 0; }
};
bool operator<(const Date& a, const Date& b) noexcept;
bool operator==(const Date& a, const Date& b) noexcept;
int WeekdayOf(const Date& d) noexcept;   // 0 Sunday .. 6 Saturday, -1 when unknown
Date AddDays(const Date& d, int days) noexcept;
// Days since 1970-01-01 of a civil date, and back.
long long DaysFromCivil(int y, int m, int d) noexcept;
Date CivilFromDays(long long days) noexcept;
// "TS" + yymmdd + ".txt" (any case) gives its date; yy below 70 is 20yy, else 19yy.
bool DateFromDailyName(const wchar_t* name, Date* out) noexcept;
// "SU", "MO", "TU", "WE", "TH", "FR", "SA" (case-insensitive) at the start of text.
int WeekdayFromText(const wchar_t* text, size_t chars) noexcept;

extern const wchar_t kFallbackName[];  // "riviveda.txt"

struct DayFile {
    std::wstring path;  // full name
    Date date;          // unknown for the fallback file
};
// The daily files of dir in date order, the fallback file (which carries no date) first.
// False with the system error when dir cannot be listed or is no directory.
bool ListDayFiles(const std::wstring& dir, std::vector<DayFile>* out, DWORD* error);
// A single file: the date from its name when it is a daily file.
DayFile DayFileOf(const std::wstring& path);
// The failures that say a file is no longer there (deleted, or its directory): a reader
// has nothing more to wait for in it. Any other failure may pass.
inline bool FileGone(DWORD error) noexcept { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// --- line index -----------------------------------------------------------------------

// Byte offsets just past each line feed. Every 64th offset is kept whole; the others as
// the 16-bit distance from the one before (0 marks a line longer than that, whose
// distance is kept aside). About 2.1 bytes per line: every page of index memory is a
// page fault to pay for while indexing.
class LineIndex {
public:
    static constexpr size_t kGroupShift = 6;
    static constexpr size_t kChunkShift = 14;
    static constexpr size_t kChunk = size_t(1) << kChunkShift;
    size_t size() const noexcept { return count_; }
    uint64_t operator[](size_t i) const noexcept {
        const size_t group = i >> kGroupShift;
        uint64_t v = bases_[group];
        for (size_t k = (group << kGroupShift) + 1; k <= i; ++k) {
            const uint16_t d = chunks_[k >> kChunkShift][k & (kChunk - 1)];
            v += d ? d : LongDistance(k);
        }
        return v;
    }
    bool push(uint64_t v) {  // false when out of memory
        const size_t slot = count_ & (kChunk - 1);
        if (slot == 0 && (count_ >> kChunkShift) == chunks_.size() && !Grow()) return false;
        uint16_t d = 0;
        if ((count_ & ((size_t(1) << kGroupShift) - 1)) == 0) {
            if (!PushBase(v)) return false;
        } else if (v - last_ <= 0xFFFF) {
            d = static_cast<uint16_t>(v - last_);
        } else if (!PushLong(v - last_)) {
            return false;
        }
        chunks_[count_ >> kChunkShift][slot] = d;
        last_ = v;
        ++count_;
        return true;
    }
    void clear() noexcept {
        chunks_.clear();
        bases_.clear();
        longs_.clear();
        count_ = 0;
    }

    size_t bytes() const noexcept {
        return chunks_.size() * kChunk * sizeof(uint16_t) + bases_.capacity() * sizeof(uint64_t) +
               longs_.capacity() * sizeof(longs_[0]);
    }
    // The line whose end (offset past its line feed) is the first above offset.
    size_t LineOfOffset(uint64_t offset) const noexcept;
    // Entries [first, first + n) into out, faster than one by one.
    void Decode(size_t first, size_t n, uint64_t* out) const noexcept;

private:
    bool Grow();
    bool PushBase(uint64_t v);
    bool PushLong(uint64_t distance);
    uint64_t LongDistance(size_t i) const noexcept;
    std::vector<std::unique_ptr<uint16_t[]>> chunks_;
    std::vector<uint64_t> bases_;
    std::vector<std::pair<size_t, uint64_t>> longs_;  // line, distance; in line order
    size_t count_ = 0;
    uint64_t last_ = 0;
};

// Appends to index the end of every line feed found in the UTF-16 units of data; base
// is the file offset of data[0] (even). Returns false when the index ran out of memory.
bool ScanLineFeeds(const wchar_t* data, size_t units, uint64_t base, LineIndex* index);

// --- one trace file --------------------------------------------------------------------

// Longest line text handed out; the rest of a longer line is left off.
constexpr size_t kMaxLineChars = 65536;

// One trace file, read back while the server keeps writing, rotating, deleting and
// rewriting it. The file is opened only for one poll or one read, shared for
// everything, and never held in between: an idle reader must not stand in the way of a
// delete. Single lines are read through a few windows of file content that every file
// of the process shares (the least recently used gives way); passes over many lines
// (indexing, find, ForEachLine) read it in blocks; the whole file is never loaded. Two
// threads may read one file at once (ReadLine, ReadBlock, ForEachLine, FindInFile) while
// neither opens or indexes it; error() then tells the last failure of either.
class TraceFile {
public:
    TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Names the file; false with the system error when it cannot be opened now (later
    // calls of Index try again).
    bool Open(const std::wstring& path, DWORD* error);
    const std::wstring& path() const noexcept { return path_; }
    // The system error of the last failed call.
    DWORD error() const noexcept { return error_.load(std::memory_order_relaxed); }

    // One poll: indexes what was added since the last call (the whole file the first
    // time). A file that was replaced, cut shorter or rewritten since (another identity,
    // a smaller size, other bytes at its start or where the last read ended) is started
    // over: its lines
    // are indexed again from the start and restarts() counts up. progress, when given,
    // receives the bytes indexed so far; returning false from it stops. Returns false on
    // a read error or when memory ran out.
    using Progress = bool (*)(void* ctx, uint64_t done, uint64_t total);
    bool Index(Progress progress = nullptr, void* ctx = nullptr);
    unsigned restarts() const noexcept { return restarts_; }

    // Lines: every line ended by a line feed, plus the unfinished last line when there
    // is one (a file cut short, or a line being written).
    size_t LineCount() const noexcept { return index_.size() + (tailBytes() ? 1 : 0); }
    bool LastLineComplete() const noexcept { return tailBytes() == 0; }
    uint64_t IndexedBytes() const noexcept { return size_; }
    const LineIndex& index() const noexcept { return index_; }
    uint64_t LineStart(size_t line) const noexcept;
    uint64_t LineEnd(size_t line) const noexcept;  // past its line feed

    // Copies the text of a line without CR LF into buffer, at most cap - 1 (and at most
    // kMaxLineChars) characters, terminated, and sets *chars. NUL characters become
    // blanks, and a byte left over at the end of a file cut in the middle of a character
    // becomes U+FFFD. False (an empty text, error() set) when the line cannot be read.
    bool ReadLine(size_t line, wchar_t* buffer, size_t cap, size_t* chars);

    // Opens the file for one pass of many reads (a search); none, with error() set, when
    // it cannot be opened. The pass ends when the handle is closed.
    UniqueHandle OpenPass() { return OpenShared(); }
    // Reads whole lines from `first` on into buffer, as many as fit in capUnits (a single
    // longer line is cut to fit), with their CR LF. Returns the number of lines and sets
    // *units; 0 at the end or on a read error. Line i starts at unit
    // (LineStart(i) - LineStart(first)) / 2. For passes over many lines.
    size_t ReadBlock(HANDLE pass, size_t first, wchar_t* buffer, size_t capUnits, size_t* units);

    // Calls fn(line, text, chars) for the lines [first, last), read in blocks: the way to
    // pass over many lines. The text is without CR LF and valid during the call. Returns
    // false on a read error.
    template <class F>
    bool ForEachLine(size_t first, size_t last, F&& fn) {
        return ForEachLineImpl(first, last, [](void* f, size_t line, const wchar_t* text, size_t chars) {
            (*static_cast<F*>(f))(line, text, chars);
        }, &fn);
    }

    // What tells one file from another under the same name.
    struct Identity {
        DWORD volume = 0, high = 0, low = 0;
        bool operator!=(const Identity& o) const noexcept { return volume != o.volume || high != o.high || low != o.low; }
    };
    // The identity of the file the last Index read.
    const Identity& identity() const noexcept { return id_; }

private:
    bool ForEachLineImpl(size_t first, size_t last, void (*fn)(void*, size_t, const wchar_t*, size_t), void* ctx);
    UniqueHandle OpenShared();  // for one poll or one read; none with error_ set
    // The first and the last bytes indexed (out: 2 * kMarkBytes): a file rewritten in place
    // differs in one of them. False when they cannot be read.
    bool ReadMarks(HANDLE file, BYTE* out, size_t* bytes);
    void StartOver() noexcept;
    uint64_t lastEnd() const noexcept { return index_.size() ? index_[index_.size() - 1] : dataStart_; }
    uint64_t tailBytes() const noexcept { return size_ > lastEnd() ? size_ - lastEnd() : 0; }

    static constexpr size_t kMarkBytes = 64;
    std::wstring path_;
    std::atomic<DWORD> error_{0};
    Identity id_;
    uint64_t key_ = 0;        // names this file's content in the shared line windows
    uint64_t dataStart_ = 0;  // 2 after a byte-order mark
    uint64_t scanned_ = 0;    // bytes looked at by Index (even)
    uint64_t size_ = 0;       // file size at the last Index
    bool started_ = false;
    unsigned restarts_ = 0;
    BYTE marks_[2 * kMarkBytes] = {};  // ReadMarks at the end of the last Index
    size_t markBytes_ = 0;
    LineIndex index_;
};

// --- following the files as the server writes them -----------------------------------

// What a Follower reports, in the order things happened.
class FollowSink {
public:
    // file was polled: lines from the count taken before on are new. startedOver: it was
    // replaced, cut shorter or rewritten, every line taken from it before is gone and its
    // lines count from 0 again. final: a newer day's file exists, so this one is
    // complete, its unfinished last line included. False when the lines could not be
    // read (file.error() says why): the poll failed, and the next one offers them again.
    virtual bool Lines(TraceFile& file, bool startedOver, bool final) = 0;
    // A newer day's file appeared: the file to follow from now on, named by the sink and
    // owned by it; null leaves that day out. The files before it are complete: read to
    // their end, or gone.
    virtual TraceFile* NextDay(const DayFile& day) = 0;
    // A file could not be read, or the directory listed (path names which): said once
    // for a run of failed polls; the follower tries again after a growing pause.
    virtual void Failed(const std::wstring& path, DWORD error) = 0;

protected:
    ~FollowSink() = default;
};

// Follows one file, and with a directory the days' files after it. Every poll reads the
// file afresh (see TraceFile::Index), then lists the directory: when a newer day's file
// is there, the old file is read once more, to its end, and the new one followed. While
// the file cannot be read (and is not gone), the days after it wait.
class Follower {
public:
    static constexpr DWORD kPollMs = 250;
    static constexpr DWORD kLongestPauseMs = 8000;  // after failures in a row

    // file: the file read last (null: none yet); dir: where newer days' files appear
    // (empty: this file only); last: the date of file (unknown for the fallback file).
    void Follow(TraceFile* file, const std::wstring& dir, const Date& last);
    // Polls when a poll is due at now (a tick count in milliseconds); false when not due.
    bool Poll(FollowSink& sink, ULONGLONG now);
    // Milliseconds from now until the next poll is due.
    DWORD PauseMs(ULONGLONG now) const noexcept { return due_ > now ? static_cast<DWORD>(due_ - now) : 0; }

private:
    bool Read(FollowSink& sink, bool final);
    TraceFile* file_ = nullptr;
    std::wstring dir_;
    Date last_;
    unsigned told_ = 0;      // file_->restarts() when the sink last took its lines
    unsigned failures_ = 0;  // polls in a row that failed
    ULONGLONG due_ = 0;
};

// --- the line parser --------------------------------------------------------------------

struct Span {
    const wchar_t* p = nullptr;
    size_t n = 0;
    std::wstring str() const { return std::wstring(p ? p : L"", n); }
    bool operator==(const wchar_t* s) const noexcept;
};

enum LevelSwitch : unsigned { kSwDiag = 1, kSwInfo = 2, kSwWarning = 4, kSwError = 8 };

struct LineFields {
    bool split = false;      // false: the line could not be split; text holds all of it
    bool cut = false;        // the line was cut before its mark and level fields
    Span time, tag, process, module, function, text;
    // From the time text "MO 12:34:56,78 [00042]"; hasTime false when it does not read so.
    bool hasTime = false;
    int weekday = -1;
    int hour = 0, minute = 0, second = 0, hundredths = 0;
    uint32_t sequence = 0;
    // From "name [pid]" and "module [tid]"; -1 when the field carries no number.
    Span processName, moduleName;
    long long pid = -1, tid = -1;
    uint32_t markFlags = 0;
    uint32_t levelWord = 0;  // on a cut line: the level the tag names, no switches
    short level() const noexcept { return static_cast<short>(levelWord & 0xFFFF); }
    unsigned switches() const noexcept { return levelWord >> 16; }
    bool marked() const noexcept { return (markFlags & 1) != 0; }
};

// Splits one line (without CR LF). The spans point into line.
void ParseLine(const wchar_t* line, size_t chars, LineFields* out) noexcept;
// Only the time text: weekday, time of day and sequence number.
bool ParseTimeText(const wchar_t* text, size_t chars, LineFields* out) noexcept;
// Level tag of a level ("OPR", "SVR", "ERR", "WRN", "INF", "DIAG", "") and its name
// ("operator", "server", "error", "warning", "info", "diagnose", "").
const wchar_t* LevelTagOf(int level) noexcept;
const char* LevelNameOf(int level) noexcept;

// Date of a line of a file dated fileDate: a row stamped just before midnight can land
// in the next day's file, which its weekday tells.
Date LineDate(const Date& fileDate, int weekday) noexcept;

// --- finding text -------------------------------------------------------------------

struct FindOptions {
    bool matchCase = false;
    bool wholeWord = false;  // words split at blanks
};
// Whether a cell (one field's text) matches, by the window's find rules.
bool CellMatches(const wchar_t* cell, size_t chars, const wchar_t* what, size_t whatChars,
                 const FindOptions& options) noexcept;
// Whether any field of a parsed line matches.
bool LineMatches(const LineFields& fields, const wchar_t* what, size_t whatChars, const FindOptions& options) noexcept;

// Finds the first line at or after `from` (downwards) or at or before it (upwards) of
// one file whose fields match. Returns the line or -1. Scans blocks of the file for the
// text's first characters and parses only lines that hold the text.
long long FindInFile(TraceFile& file, size_t from, bool down, const wchar_t* what, const FindOptions& options);

}  // namespace kv::trc

namespace kv::trc {

// --- the row of a time text ---------------------------------------------------------------

struct RowRef {
    size_t file = 0;  // index into the files given
    size_t line = 0;
};
// The most recent line whose weekday and sequence number are those of timeText (a row's
// "Day Time [No]" text), searched from the newest file back. files and days run in
// parallel and the files are indexed. False when no line matches or the text reads no
// weekday and number.
bool FindRowByTimeText(const std::vector<TraceFile*>& files, const std::vector<DayFile>& days,
                       const wchar_t* timeText, RowRef* out);

}  // namespace kv::trc

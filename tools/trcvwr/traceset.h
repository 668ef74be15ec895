// The viewer's model: the trace files of a directory (or one file) as one continuous
// list of lines, indexed on a thread of its own, with a view that filters it; several
// stations' directories as one list merged by time.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tracefiles/merge.h"
#include "tracefiles/tracefiles.h"

namespace kv::vwr {

// Messages the indexing thread posts to the owner window.
constexpr UINT WM_VIEWER_PROGRESS = WM_APP + 1;  // wParam: permille indexed
constexpr UINT WM_VIEWER_INDEXED = WM_APP + 2;   // wParam: index of the file now ready, lParam: generation
constexpr UINT WM_VIEWER_MERGED = WM_APP + 3;    // the stations merged anew; lParam: generation

// What the command line asks for: a directory with a row's time text after "/T:", or the
// full name of one file (or a directory) to open at its end.
struct Request {
    std::wstring path;
    std::wstring timeText;  // empty: open at the end
    std::vector<kv::trc::StationArg> stations;  // several (or named) stations: merged by time
};
// Splits the arguments of the command line (the program name already removed). The
// trace window writes them unquoted, and both the directory and the time text may hold
// blanks, so "/T:" decides; text that names no existing path is read as several
// stations, NAME=DIR or DIR each, quoted where they hold blanks.
Request ParseRequest(const wchar_t* args);
// The arguments of a whole command line: what follows the program name.
const wchar_t* SkipProgramName(const wchar_t* commandLine);

struct Filter {
    unsigned levels = 0x7F;  // bit per level: OPR, SVR, ERR, WRN, INF, DIAG; 0x40 any other
    std::wstring process, module, text;  // sub-strings, case-insensitive; empty: any
    bool active() const { return levels != 0x7F || !process.empty() || !module.empty() || !text.empty(); }
};
unsigned LevelBit(int level) noexcept;

// A line by its station and its number among the station's lines: what stays of it when
// the stations are merged anew.
struct LinePlace {
    size_t station = SIZE_MAX, line = 0;
    bool valid() const { return station != SIZE_MAX; }
};

// Owned by the window thread; the indexing thread works on files not yet handed over.
class TraceSet : private kv::trc::FollowSink {
public:
    ~TraceSet() { Stop(); }

    // Lists the files of path (a directory, or one file) and starts indexing them on a
    // thread that posts progress and each finished file to owner. False when the path
    // names nothing readable; *error gets the system error.
    bool Open(const std::wstring& path, HWND owner, DWORD* error);
    // Several stations: their files are indexed, then merged by time on the thread, which
    // posts the whole list once. False when a station's path names nothing readable.
    bool Open(const std::vector<kv::trc::StationArg>& stations, HWND owner, DWORD* error);
    void Stop();
    bool indexing() const { return thread_.joinable() && !published_; }
    // Several stations: the thread merges them anew after a station's file started over.
    bool merging() const { return merging_; }
    bool isDirectory() const { return !stations_.empty() && stations_[0]->isDirectory; }
    const std::wstring& directory() const { return stations_[0]->dir; }
    // Lines say their station: several stations, or one named on the command line.
    bool labelled() const { return labelled_; }
    size_t StationCount() const { return stations_.size(); }

    // On WM_VIEWER_INDEXED: takes over the file; true when every file is ready. A message
    // left from the files opened before (another generation) is ignored.
    bool TakeIndexed(size_t file, LPARAM generation);
    // Follow mode, when a poll is due: new lines of the last file, the file started over
    // when it was replaced or rewritten, files of later days. True when lines changed.
    // Several stations, one of whose files started over: the list keeps the rows before
    // the first one placed from that file while the thread merges every station again;
    // no poll runs until the new list is taken over.
    bool Refresh();
    // On WM_VIEWER_MERGED: the new list replaces the one shown; true when it did. *keep,
    // a line of the list before, becomes invalid when its line started over.
    bool TakeMerged(LPARAM generation, LinePlace* keep);
    // Where a line of the list stands among its station's lines, and back (-1: not listed).
    LinePlace PlaceOf(long long line) const;
    long long LineAt(const LinePlace& at) const;
    // What the last failed poll could not read ("" when the last poll read its file).
    const std::wstring& failure() const { return failure_; }

    // All lines of the ready files, as one list.
    size_t LineCount() const { return total_; }
    size_t FileCount() const;

    // The rows shown: every line, or the lines the filter lets through.
    void SetFilter(const Filter& f);
    const Filter& filter() const { return filter_; }
    size_t RowCount() const { return filter_.active() ? rows_.size() : total_; }
    size_t LineOfRow(size_t row) const { return filter_.active() ? rows_[row] : row; }
    long long RowOfLine(size_t line) const;  // -1 when the filter hides it

    // Reads and parses one line; the spans of *fields point into the set's own buffer
    // and stay valid until the next call. False when there is no such line or it cannot
    // be read (*error, when given, says why: 0 for no such line).
    bool Parse(size_t line, kv::trc::LineFields* fields, kv::trc::Date* date, DWORD* error = nullptr);
    // The name of the station a line comes from.
    const std::wstring& StationOf(size_t line) const;

    // The first line at or after `from` (downwards) or at or before it (upwards) whose
    // fields match, across every station; -1 when none.
    long long FindLine(long long from, bool down, const wchar_t* what, const kv::trc::FindOptions& options);

    // The row of a time text, as the trace window hands it over; -1 when none.
    long long FindTimeText(const wchar_t* timeText);
    // The first row at or after a local date and time (hundredths ignored).
    size_t RowAtOrAfter(const kv::trc::Date& date, int hour, int minute, int second);

private:
    // One station: its days' files, the lines of the ready ones, and its follower. Its
    // lines are numbered from 0 in file order ("station lines").
    struct Station {
        std::wstring name, dir;
        bool isDirectory = false;
        std::vector<kv::trc::DayFile> days;
        std::vector<std::unique_ptr<kv::trc::TraceFile>> files;  // [0, ready) belong to the window thread
        std::vector<size_t> first;                                // first station line of each ready file
        size_t ready = 0;
        size_t total = 0;        // station lines of the ready files
        bool tailOpen = false;   // its last line is still being written
        kv::trc::Follower follower;
        bool following = false;  // follower set to the ready files
        // Merging: lines read for their stamps (placed in the list, or waiting in pending).
        size_t stamped = 0;
        kv::trc::Stamp last = 0;
        kv::trc::LineQueue pending;
    };

    bool OpenStation(Station& st, const std::wstring& path, DWORD* error);
    void Run();
    bool merged() const { return stations_.size() > 1; }
    static bool Passes(const Filter& f, const kv::trc::LineFields& x);
    // Several stations: the first `rows` rows of `order` whose lines pass f, in order.
    void FilterMerged(const kv::trc::MergedOrder& order, size_t rows, const Filter& f, std::vector<uint64_t>* out);
    // Global line -> station, file and line of the file.
    bool Locate(size_t line, size_t* station, size_t* file, size_t* local) const;
    size_t GlobalLine(size_t station, size_t stationLine) const;
    // Adds the lines [from, to) of a ready file of station 0 that pass the filter to the
    // rows shown, reading the file in blocks (a pass over a mapping would fault on every page).
    bool FilterLines(size_t file, size_t from, size_t to);
    void Publish(size_t file);
    // Merging: reads the stamps of station lines [stamped, upTo) into the pending queue.
    bool ReadStamps(Station& st, size_t upTo, ULONGLONG now);
    // Places pending lines in `into`; grow: stations may still write (live), so a quiet
    // one is waited for (at most kMergeHoldMs). Into the list shown (order_), the rows
    // shown follow.
    void Place(kv::trc::MergedOrder& into, bool grow, ULONGLONG now);
    // On the thread: every station's lines merged into next_, and the rows of those that
    // pass nextFilter_ into nextRows_. False when cancelled.
    bool Merge();
    // The thread's merge becomes the list shown.
    void Adopt();
    long long FindInStation(size_t s, long long stationLine, bool down, const wchar_t* what,
                            const kv::trc::FindOptions& options);
    // The follower's news: a station's last file's lines, or a new day's file.
    bool Lines(kv::trc::TraceFile& file, bool startedOver, bool final) override;
    kv::trc::TraceFile* NextDay(const kv::trc::DayFile& day) override;
    void Failed(const std::wstring& path, DWORD error) override;

    std::vector<std::unique_ptr<Station>> stations_;
    Station* polled_ = nullptr;  // the station whose follower is polling
    kv::trc::MergedOrder order_;  // several stations: the station of each line (its first total_ rows shown)
    // The thread's merge. While it runs the thread owns next_, nextRows_, nextFilter_ and
    // the stations' merging fields; the window thread reads the files (no poll indexes them).
    kv::trc::MergedOrder next_;
    std::vector<uint64_t> nextRows_;
    Filter nextFilter_;
    unsigned filterChanges_ = 0, nextFilterChanges_ = 0;  // the filter the thread's rows are of
    bool merging_ = false;
    size_t cut_ = 0;                  // in a poll: the first row placed from a file that started over
    std::vector<size_t> restartAt_;   // per station: its first line that started over (SIZE_MAX: none)
    bool labelled_ = false;
    bool published_ = false;      // the thread's work has been taken over
    bool remerge_ = false;        // in a poll: a station's file started over
    size_t total_ = 0;
    bool changed_ = false;    // in a poll: lines were added or replaced
    std::wstring failure_;
    Filter filter_;
    std::vector<uint64_t> rows_;  // filtered: the lines shown
    std::vector<wchar_t> line_ = std::vector<wchar_t>(kv::trc::kMaxLineChars + 1);

    HWND owner_ = nullptr;
    LPARAM generation_ = 0;  // counts Open calls
    std::thread thread_;
    std::atomic<bool> cancel_{false};
};

}  // namespace kv::vwr

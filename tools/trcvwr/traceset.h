// The viewer's model: the trace files of a directory (or one file) as one continuous
// list of lines, indexed on a thread of its own, with a view that filters it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tracefiles/tracefiles.h"

namespace kv::vwr {

// Messages the indexing thread posts to the owner window.
constexpr UINT WM_VIEWER_PROGRESS = WM_APP + 1;  // wParam: permille indexed
constexpr UINT WM_VIEWER_INDEXED = WM_APP + 2;   // wParam: index of the file now ready, lParam: generation

// What the command line asks for: a directory with a row's time text after "/T:", or the
// full name of one file (or a directory) to open at its end.
struct Request {
    std::wstring path;
    std::wstring timeText;  // empty: open at the end
};
// Splits the arguments of the command line (the program name already removed). The
// trace window writes them unquoted, and both the directory and the time text may hold
// blanks, so "/T:" decides.
Request ParseRequest(const wchar_t* args);
// The arguments of a whole command line: what follows the program name.
const wchar_t* SkipProgramName(const wchar_t* commandLine);

struct Filter {
    unsigned levels = 0x7F;  // bit per level: OPR, SVR, ERR, WRN, INF, DIAG; 0x40 any other
    std::wstring process, module, text;  // sub-strings, case-insensitive; empty: any
    bool active() const { return levels != 0x7F || !process.empty() || !module.empty() || !text.empty(); }
};
unsigned LevelBit(int level) noexcept;

// Owned by the window thread; the indexing thread works on files not yet handed over.
class TraceSet : private kv::trc::FollowSink {
public:
    ~TraceSet() { Stop(); }

    // Lists the files of path (a directory, or one file) and starts indexing them on a
    // thread that posts progress and each finished file to owner. False when the path
    // names nothing readable; *error gets the system error.
    bool Open(const std::wstring& path, HWND owner, DWORD* error);
    void Stop();
    bool indexing() const { return thread_.joinable() && ready_ < days_.size(); }
    bool isDirectory() const { return isDirectory_; }
    const std::wstring& directory() const { return dir_; }

    // On WM_VIEWER_INDEXED: takes over the file; true when every file is ready. A message
    // left from the files opened before (another generation) is ignored.
    bool TakeIndexed(size_t file, LPARAM generation);
    // Follow mode, when a poll is due: new lines of the last file, the file started over
    // when it was replaced or rewritten, files of later days. True when lines changed.
    bool Refresh();
    // What the last failed poll could not read ("" when the last poll read its file).
    const std::wstring& failure() const { return failure_; }

    // All lines of the ready files, as one list.
    size_t LineCount() const { return total_; }
    size_t FileCount() const { return ready_; }
    kv::trc::TraceFile& File(size_t f) { return *files_[f]; }
    const kv::trc::DayFile& Day(size_t f) const { return days_[f]; }
    // Global line -> file and line of the file.
    bool Locate(size_t line, size_t* file, size_t* local) const;
    size_t GlobalLine(size_t file, size_t local) const { return first_[file] + local; }

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

    // The row of a time text, as the trace window hands it over; -1 when none.
    long long FindTimeText(const wchar_t* timeText);
    // The first row at or after a local date and time (hundredths ignored).
    size_t RowAtOrAfter(const kv::trc::Date& date, int hour, int minute, int second);

private:
    void Run();
    bool Passes(const kv::trc::LineFields& x) const;
    // Adds the lines [from, to) of a ready file that pass the filter to the rows shown,
    // reading the file in blocks (a pass over a mapping would fault on every page).
    bool FilterLines(size_t file, size_t from, size_t to);
    void Publish(size_t file);
    // The follower's news: the last ready file's lines, or a new day's file.
    bool Lines(kv::trc::TraceFile& file, bool startedOver, bool final) override;
    kv::trc::TraceFile* NextDay(const kv::trc::DayFile& day) override;
    void Failed(const std::wstring& path, DWORD error) override;

    std::wstring dir_;
    bool isDirectory_ = false;
    std::vector<kv::trc::DayFile> days_;
    std::vector<std::unique_ptr<kv::trc::TraceFile>> files_;  // [0, ready_) belong to the window thread
    std::vector<size_t> first_;                                // first global line of each ready file
    size_t ready_ = 0;
    size_t total_ = 0;
    bool tailOpen_ = false;  // the last line shown is still being written
    kv::trc::Follower follower_;
    bool following_ = false;  // follower_ set to the ready files
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

// Several stations' trace lines as one stream in time order: the station names given on
// a command line, the queues of lines read but not yet written, and the choice of the
// line that goes next, live while the stations keep writing.
#pragma once

#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

#include "tracefiles/tracefiles.h"

namespace kv::trc {

// --- time stamps ------------------------------------------------------------------------

// Local date and time as one number, in hundredths of a second; it orders lines across
// days and stations (every station of a plant keeps the same local time).
using Stamp = long long;
constexpr Stamp kStampsPerDay = 8640000;
Stamp MakeStamp(const Date& d, int hour, int minute, int second, int hundredths) noexcept;
Stamp StampOfLocalTime(const SYSTEMTIME& t) noexcept;
Date DateOfStamp(Stamp s) noexcept;

// --- stations ---------------------------------------------------------------------------

// A station name is at most this long and made of letters, digits, ".", "_" and "-",
// not starting with "." or "-": it is also a host name in syslog and a directory name
// in the central store.
constexpr size_t kMaxStationChars = 48;
bool IsStationName(const std::wstring& name) noexcept;

struct StationArg {
    std::wstring name;  // the label shown beside its lines
    std::wstring path;  // a directory or one file
    bool named = false;  // given as NAME=PATH
};
// "NAME=PATH" when what stands before the first "=" is a station name, else PATH alone,
// named after the last element of its directory. False with the reason in *why when an
// explicit name is not a station name.
bool ParseStationArg(const std::wstring& arg, StationArg* out, std::wstring* why);
// The default name of a path: its directory's last element (of a file, its folder's),
// with characters a station name cannot hold replaced by "_".
std::wstring DefaultStationName(const std::wstring& path);

// --- merging ----------------------------------------------------------------------------

// How long a line waits for a station that has nothing to say before it goes out
// anyway: the server's writer holds a line up to a second in its buffered stream, and a
// follower polls four times a second. A line whose stamp is already that far behind
// the local clock goes out at once, so that the lines written before a follower
// started are merged at full speed.
constexpr DWORD kMergeHoldMs = 2000;

// Lines of one station read but not yet written, in the station's own order. Each
// carries the position it came from, taken when it was read, for a sender that saves
// how far it got: the file may start over or be replaced before the line goes out.
class LineQueue {
public:
    struct Line {
        Stamp stamp;
        bool own;           // the line's own time; else the one of the line before it
        uint64_t arrival;   // tick count (ms) when it was read
        size_t file, line;  // where it came from: the reader's number of the file, the line
        uint64_t end;       // the file offset past it
        TraceFile::Identity identity;  // of the file it was read from
        size_t offset, chars;  // into the queue's text
    };
    bool empty() const noexcept { return next_ == lines_.size(); }
    size_t size() const noexcept { return lines_.size() - next_; }
    void Push(const wchar_t* text, size_t chars, Stamp stamp, bool own, uint64_t arrival, size_t file = 0,
              size_t line = 0, uint64_t end = 0, const TraceFile::Identity& identity = TraceFile::Identity());
    const Line& front() const noexcept { return lines_[next_]; }
    const wchar_t* text(const Line& l) const noexcept { return text_.data() + l.offset; }
    void Pop() noexcept;
    void Clear() noexcept;

private:
    std::vector<Line> lines_;
    std::vector<wchar_t> text_;
    size_t next_ = 0;
};

enum class Pick { kLine, kHold, kNone };

// The station whose front line goes next: the earliest stamp, the lower station index
// among equal stamps, every station's lines in their own order. A station whose queue
// is empty while it may still grow (followed) holds the others back: a line goes out
// only once no such station is left, its stamp is kMergeHoldMs behind nowStamp, or it
// has waited kMergeHoldMs since it was read. kHold gives in *waitMs how long until the
// front line may go; kNone means every queue is empty.
Pick NextStation(const std::vector<const LineQueue*>& queues, const std::vector<bool>& mayGrow, uint64_t nowTick,
                 Stamp nowStamp, size_t* station, DWORD* waitMs) noexcept;

// The merged list of several stations' lines: which station each row comes from, one
// byte a row, and every 64th row each station's count of lines before it, so that a
// row finds its station's line (and back) by a scan of at most 63 bytes.
class MergedOrder {
public:
    static constexpr size_t kMaxStations = 255;
    void Reset(size_t stations);
    size_t size() const noexcept { return rows_.size(); }
    size_t stations() const noexcept { return counts_.size(); }
    size_t Count(size_t station) const noexcept { return counts_[station]; }
    // The next row is the station's next line. False when memory ran out.
    bool Push(size_t station);
    // Row -> station and the station's line; false past the end.
    bool Locate(size_t row, size_t* station, size_t* line) const noexcept;
    // The row of a station's line; size() when it has no row yet.
    size_t RowOf(size_t station, size_t line) const noexcept;
    // The station's lines in the rows before row.
    size_t CountBefore(size_t station, size_t row) const noexcept;
    size_t bytes() const noexcept { return rows_.capacity() + marks_.capacity() * sizeof(marks_[0]); }

private:
    static constexpr size_t kStep = 64;
    std::vector<uint8_t> rows_;
    std::vector<uint64_t> marks_;   // per step: each station's count before its first row
    std::vector<uint64_t> counts_;  // each station's lines so far
};

}  // namespace kv::trc

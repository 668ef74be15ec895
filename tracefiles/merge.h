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
// carries the position it came from, for a sender that saves how far it got.
class LineQueue {
public:
    struct Line {
        Stamp stamp;
        uint64_t arrival;  // tick count (ms) when it was read
        size_t file, line;  // where it came from
        size_t offset, chars;  // into the queue's text
    };
    bool empty() const noexcept { return next_ == lines_.size(); }
    size_t size() const noexcept { return lines_.size() - next_; }
    void Push(const wchar_t* text, size_t chars, Stamp stamp, uint64_t arrival, size_t file, size_t line);
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

}  // namespace kv::trc

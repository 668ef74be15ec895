// kvtrccat: writes the lines of a trace file or of a directory's daily trace files to
// standard output as UTF-8, as text or as one JSON object per line, optionally limited
// to a time range and following the files as the server writes them; several stations'
// directories merged by time; or sends them to a syslog collector, going on after a
// restart where the state file says it stopped.
#include <stdio.h>

#include <deque>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "client/errortext.h"
#include "tools/kvtrccat/collector.h"
#include "tools/kvtrccat/shipper.h"
#include "tools/kvtrccat/utf8.h"
#include "tracefiles/merge.h"
#include "tracefiles/tracefiles.h"

using namespace kv::trc;
using namespace kv::cat;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFiles = 1;  // a missing directory or file, an unreadable file, output lost
constexpr int kExitUsage = 2;  // bad arguments
constexpr int kExitUndelivered = 3;  // without --follow: the collector took nothing for Shipper::kGiveUpMs
constexpr size_t kOutBytes = 1 << 20;
// Units of text converted at a time: each takes at most 6 bytes of the output buffer.
constexpr size_t kTextPiece = kOutBytes / 8;
static_assert(kTextPiece * 6 <= kOutBytes, "a converted piece fits the output buffer");

const char kUsage[] =
    "usage: kvtrccat [--json] [--since TIME] [--until TIME] [--follow | --new]\n"
    "                [--send [relp://|tcp://]HOST:PORT] [--state FILE] [--utc-offset +HH:MM]\n"
    "                [NAME=]PATH...\n"
    "  PATH     a trace file directory (its daily files TSyymmdd.txt in date order) or one file;\n"
    "           several are merged by time, each line led by its station's NAME (default:\n"
    "           the directory's last element)\n"
    "  --json   one JSON object per line instead of the line's text\n"
    "  --since, --until  YYYY-MM-DD[THH:MM[:SS[.cc]]] local time; --until takes the whole\n"
    "           minute, second or day it names\n"
    "  --follow keep writing new lines as they are written, on into the next day's file\n"
    "  --new    --follow, starting at the current end: only lines written from now on\n"
    "  --send   send each line to a syslog collector as an RFC 5424 message, the station as\n"
    "           host: relp:// answers every line (nothing lost), plain TCP confirms batches\n"
    "  --state  keep in FILE how far each station got, and go on from there when started again\n"
    "  --utc-offset  the offset of the stations' clocks from UTC, when it is not this\n"
    "           machine's time zone (sent time stamps carry it)\n";

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

// format has a %s for what and, when code is given, a %s for the error in words.
void Error(const char* format, const std::wstring& what, DWORD code = 0) {
    fprintf(stderr, format, Utf8(what).c_str(), code ? Utf8(kv::ErrorText(code)).c_str() : "");
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
    explicit Output(std::string* memory) : out_(nullptr), memory_(memory) {}
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
        if (memory_) return memory_->append(s, n), void();
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
    std::string* memory_ = nullptr;  // a message being built instead of standard output
};

struct Options {
    bool json = false, follow = false, fromEnd = false, followGiven = false;
    bool hasSince = false, hasUntil = false;
    Stamp since = 0, until = 0;
    std::vector<StationArg> stations;
    bool labelled = false;  // every line says its station
    std::wstring send, state;
    UtcOffsets offsets;
};

bool IsDirectory(const std::wstring& path, DWORD* error) {
    const DWORD a = ::GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) *error = ::GetLastError();
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring FileName(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// One file of a station: how far its lines have been taken into the station's queue.
struct Source {
    Source(const DayFile& d, size_t n) : day(d), name(std::make_shared<const std::wstring>(FileName(d.path))), number(n) {}
    DayFile day;
    std::shared_ptr<const std::wstring> name;  // without the directory, as the state file keeps it
    TraceFile file;
    size_t number;          // counts the station's files: queued lines say where they came from
    bool followed = false;  // its lines become available as the follower polls it
    bool indexed = false;
    bool final = false;     // complete: its unfinished last line is taken too
    size_t queued = 0;      // lines taken into the queue (or skipped)
    size_t available = 0;   // lines that may be taken
    bool skipToEnd = false;  // --new: what the first read finds was shipped before
    bool hasResume = false;  // the file a saved position names: go on after its lines
    Position resume;
    Stamp last = 0;          // stamp of the last dated line, for lines that carry no time
};

// One station: its files, read a piece at a time into a queue of lines that the merge
// takes from, and the follower of its current file.
class Station : public FollowSink {
public:
    // Lines read at a time: a station's backlog is never read into memory whole.
    static constexpr size_t kPiece = 8192;

    Station(const Options& o, const StationArg& a) : o_(o), name_(a.name), path_(a.path), nameUtf8_(Utf8(a.name)) {}
    const std::string& name() const { return nameUtf8_; }
    LineQueue& queue() { return queue_; }
    bool done() const { return chain_.empty() && queue_.empty(); }
    void Poll(ULONGLONG now) { follower_.Poll(*this, now); }
    DWORD PauseMs(ULONGLONG now) const { return follower_.PauseMs(now); }

    // Lists the files, from a saved position on when one is given. False (reported) when
    // the path cannot be read; a follower goes on trying.
    bool Start(const Position* resume) {
        chain_.clear();
        queue_.Clear();
        files_.clear();
        hasEmitted_ = false;
        DWORD error = 0;
        bool ok = true;
        bool isDir = IsDirectory(path_, &error);
        if (!isDir && error) {
            Error("kvtrccat: '%s' does not exist (%s)\n", path_, error);
            if (!o_.follow) return false;
            ok = false, isDir = true;  // followed as the directory it may become
        }
        std::wstring dir = path_;
        const DayFile single = DayFileOf(path_);
        bool byDay = isDir;
        if (!isDir) {
            const size_t slash = path_.find_last_of(L"\\/");
            dir = slash == std::wstring::npos ? L"." : path_.substr(0, slash);
            byDay = o_.follow && single.date.known();  // a daily file goes on into the days after it
        }
        std::vector<DayFile> days;
        if (!isDir) {
            days.assign(1, single);
        } else if (ok && !ListDayFiles(dir, &days, &error)) {
            Error("kvtrccat: cannot list '%s' (%s)\n", dir, error);
            if (!o_.follow) return false;
            ok = false;
        }
        Date lastDate;
        for (const DayFile& d : days)
            if (d.date.known()) lastDate = d.date;

        size_t from = 0;
        bool resumeFound = false;
        if (resume) {
            while (from < days.size() && _wcsicmp(FileName(days[from].path).c_str(), resume->file.c_str()) != 0) ++from;
            resumeFound = from < days.size();
            Date saved;
            if (!resumeFound) {  // gone: the days after it
                from = 0;
                if (DateFromDailyName(resume->file.c_str(), &saved))
                    while (from < days.size() && !(days[from].date.known() && saved < days[from].date)) ++from;
            }
        }
        for (size_t i = from; i < days.size(); ++i) {
            if (!InRange(days[i]) && !(resumeFound && i == from)) continue;
            chain_.emplace_back(new Source(days[i], next_++));
            if (resumeFound && i == from) chain_.back()->hasResume = true, chain_.back()->resume = *resume;
        }
        // --new once: started again after a failure, a station goes on from the end it found.
        if (o_.fromEnd && !resume && !startNamed_) {
            while (chain_.size() > 1) chain_.pop_front();
            if (!chain_.empty()) chain_.back()->skipToEnd = true;
            startNamed_ = chain_.empty();  // nothing there: everything that comes is new
        }
        if (o_.follow && !chain_.empty()) {
            chain_.back()->followed = true;
            chain_.back()->file.Open(chain_.back()->day.path, nullptr);  // the follower's polls read it
        }
        if (o_.follow) {
            follower_.Follow(chain_.empty() ? nullptr : &chain_.back()->file, byDay ? dir : std::wstring(), lastDate);
        }
        return ok;
    }

    // Where --new started: the end the first read found. False while unknown.
    bool StartPosition(Position* out) const {
        if (!startNamed_) return false;
        *out = start_;
        return !start_.file.empty();
    }

    // Takes up to kPiece lines into the queue. False (reported) when lines could not be read.
    bool Refill(ULONGLONG now) {
        bool ok = true;
        while (!chain_.empty() && queue_.size() < kPiece) {
            Source& s = *chain_.front();
            if (!s.followed && !s.indexed) {  // an earlier day's file, or any file when not following: read to its end
                s.final = true;
                if (!s.file.Open(s.day.path, nullptr) || !s.file.Index()) {
                    if (Later(s)) return Failed(s);
                    ok = Drop(s);
                    continue;
                }
                s.indexed = true;
                s.available = s.file.LineCount();
                Begin(s);
            }
            if (s.queued < s.available) {
                const size_t stop = s.queued + (s.available - s.queued < kPiece ? s.available - s.queued : kPiece);
                files_[s.number] = FileRef{s.name, s.day.date.known()};
                size_t next = s.queued;  // a read that fails half-way keeps the lines it gave
                const bool read = s.file.ForEachLine(s.queued, stop, [&](size_t line, const wchar_t* text, size_t chars) {
                    Take(s, line, text, chars, now);
                    next = line + 1;
                });
                s.queued = next;
                if (!read && Later(s)) return Failed(s);
                if (!read) {
                    ok = Drop(s);
                    continue;
                }
                readFailed_ = false;
            }
            if (s.queued < s.available || !s.final || (s.followed && chain_.size() == 1)) break;
            chain_.pop_front();
        }
        return ok;
    }

    void Taken(const LineQueue::Line& l) {
        hasEmitted_ = true;
        emitted_ = l;
        queue_.Pop();
    }
    // The position past the last line taken out of the queue, as it was read (the file
    // may have started over since); false when none was.
    bool Emitted(Mark* out) {
        if (!hasEmitted_) return false;
        auto it = files_.find(emitted_.file);
        if (it == files_.end()) return false;
        files_.erase(files_.begin(), it);  // queued lines are of this file or later ones
        out->file = it->second.name;
        out->identity = emitted_.identity;
        out->lines = emitted_.line + 1;
        out->bytes = emitted_.end;
        return true;
    }
    // Whether the file of a queued line has a date, so that a line without a time of
    // its own has the time of the line before it.
    bool Dated(const LineQueue::Line& l) const {
        auto it = files_.find(l.file);
        return it != files_.end() && it->second.dated;
    }
    // The hour repeated when summer time ends: the highest stamp of it seen, and whether
    // the lines have gone back to its start (the second pass, after the change).
    Stamp repeatHigh = 0;
    bool secondPass = false;

    bool Lines(TraceFile& file, bool startedOver, bool final) override {
        for (auto& p : chain_) {
            Source& s = *p;
            if (&s.file != &file) continue;
            if (startedOver) {
                Error("kvtrccat: '%s' was replaced or cut shorter: reading it again from its start\n", s.day.path);
                s.queued = 0;
                s.last = 0;
            }
            if (!s.indexed) {
                s.indexed = true;
                Begin(s);
            }
            s.available = final ? file.LineCount() : file.index().size();
            s.final = s.final || final;
        }
        return true;
    }
    TraceFile* NextDay(const DayFile& d) override {
        if (!InRange(d)) return nullptr;
        for (auto& p : chain_) p->final = true;  // read to their end, or gone
        chain_.emplace_back(new Source(d, next_++));
        chain_.back()->followed = true;
        chain_.back()->file.Open(d.path, nullptr);
        return &chain_.back()->file;
    }
    void Failed(const std::wstring& path, DWORD error) override {
        Error("kvtrccat: cannot read '%s' (%s); trying again\n", path, error);
    }

private:
    struct FileRef {
        std::shared_ptr<const std::wstring> name;
        bool dated;
    };

    bool InRange(const DayFile& d) const {
        if (!o_.hasSince && !o_.hasUntil) return true;
        if (!d.date.known()) return false;
        // A day's file may begin with the last rows of the day before.
        if (o_.hasSince && MakeStamp(d.date, 23, 59, 59, 99) < o_.since) return false;
        if (o_.hasUntil && MakeStamp(AddDays(d.date, -1), 0, 0, 0, 0) > o_.until) return false;
        return true;
    }

    // The first read of a file: where to start in it.
    void Begin(Source& s) {
        s.last = s.day.date.known() ? MakeStamp(s.day.date, 0, 0, 0, 0) : 0;
        const size_t complete = s.file.index().size();
        if (s.hasResume) {
            const Position& p = s.resume;
            s.hasResume = false;
            if (p.lines == 0) {
            } else if (!(s.file.identity() != p.identity) && p.lines <= s.file.LineCount() &&
                       s.file.LineEnd(static_cast<size_t>(p.lines - 1)) == p.bytes) {
                s.queued = static_cast<size_t>(p.lines);
            } else {
                Error("kvtrccat: '%s' is not the file the state file names (replaced or rewritten): reading it from its start\n",
                      s.day.path);
            }
        }
        if (s.skipToEnd) {
            s.skipToEnd = false;
            s.queued = complete;  // what is there was shipped before
            start_.file = FileName(s.day.path);
            start_.identity = s.file.identity();
            start_.lines = complete;
            start_.bytes = complete ? s.file.LineEnd(complete - 1) : 0;
            startNamed_ = true;
        }
    }

    void Take(Source& s, size_t line, const wchar_t* text, size_t chars, ULONGLONG now) {
        size_t head = 0;
        while (head < chars && head < 64 && text[head] != L'|') ++head;
        LineFields f;
        ParseTimeText(text, head, &f);
        bool own = false;
        if (f.hasTime && s.day.date.known()) {
            s.last = MakeStamp(LineDate(s.day.date, f.weekday), f.hour, f.minute, f.second, f.hundredths);
            own = true;
        }
        if (o_.hasSince || o_.hasUntil) {
            if (!s.day.date.known()) return;
            if (o_.hasSince && s.last < o_.since) return;
            if (o_.hasUntil && s.last > o_.until) return;
        }
        queue_.Push(text, chars, s.last, own, now, s.number, line, s.file.LineEnd(line), s.file.identity());
    }

    bool Drop(Source& s) {  // a file that cannot be read: said, and left out
        Error("kvtrccat: cannot read '%s' (%s)\n", s.day.path, s.file.error());
        chain_.pop_front();
        return false;
    }
    // Following, a file that cannot be read now is tried again and the files after it
    // wait: skipping it would lose its lines for good. A complete one that is gone is left
    // out; the followed one may come back (the server writes it anew).
    bool Later(const Source& s) const { return o_.follow && !(s.final && FileGone(s.file.error())); }
    bool Failed(Source& s) {  // tried again with the next refill
        if (!readFailed_) Error("kvtrccat: cannot read '%s' (%s); trying again\n", s.day.path, s.file.error());
        readFailed_ = true;
        return false;
    }

    const Options& o_;
    std::wstring name_, path_;
    std::string nameUtf8_;
    std::deque<std::shared_ptr<Source>> chain_;  // front: being read; back: followed
    size_t next_ = 0;
    LineQueue queue_;
    std::map<size_t, FileRef> files_;  // the files of the lines queued and of the last one taken
    bool hasEmitted_ = false;
    LineQueue::Line emitted_ = {};
    Position start_;
    bool startNamed_ = false;
    bool readFailed_ = false;
    Follower follower_;
};

// The escaped UTF-8 bytes of text in a JSON string, as Output writes it: how many units
// of p[0, n) fit in budget bytes (a surrogate pair stays whole), and their bytes.
size_t FitJsonText(const wchar_t* p, size_t n, size_t budget, size_t* bytes) {
    size_t used = 0, i = 0;
    while (i < n) {
        const unsigned c = static_cast<uint16_t>(p[i]);
        size_t units = 1, b;
        if (c < 0x80) b = c == '"' || c == '\\' || c == '\n' || c == '\r' || c == '\t' ? 2 : c < 0x20 ? 6 : 1;
        else if (c < 0x800) b = 2;
        else if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] < 0xE000) b = 4, units = 2;
        else b = 3;
        if (used + b > budget) break;
        used += b;
        i += units;
    }
    if (bytes) *bytes = used;
    return i;
}

// The lines of every station, merged by time, written out or sent.
class Cat {
public:
    Cat(const Options& o, Collector* collector)
        : o_(o), sending_(collector != nullptr), shipper_(collector, o.state), line_(&lineBytes_), offsets_(o.offsets) {}

    int Run() {
        std::vector<std::wstring> names;
        for (const StationArg& a : o_.stations) names.push_back(a.name);
        std::wstring why;
        if (!shipper_.Start(names, &why, ::GetTickCount64())) {
            Error("kvtrccat: %s\n", L"'" + o_.state + L"': " + why);
            return kExitFiles;
        }
        int result = kExitOk;
        for (const StationArg& a : o_.stations) {
            stations_.emplace_back(new Station(o_, a));
            queues_.push_back(&stations_.back()->queue());
            Position from;
            if (!stations_.back()->Start(shipper_.Confirmed(stations_.size() - 1, &from) ? &from : nullptr))
                result = kExitFiles;
        }
        const std::vector<bool> grow(stations_.size(), o_.follow);
        for (;;) {
            ULONGLONG now = ::GetTickCount64();
            for (auto& st : stations_) {
                if (o_.follow) st->Poll(now);
                if (st->queue().empty() && !st->Refill(now) && !o_.follow) result = kExitFiles;
            }
            SYSTEMTIME local;
            ::GetLocalTime(&local);
            const Stamp nowStamp = StampOfLocalTime(local);
            Pick pick;
            size_t k = 0, count = 0;
            DWORD hold = INFINITE;
            bool failed = false;
            while ((pick = NextStation(queues_, grow, now, nowStamp, &k, &hold)) == Pick::kLine) {
                Station& st = *stations_[k];
                Emit(st, st.queue().front());
                st.Taken(st.queue().front());
                if (sending_) {
                    Mark after;  // none when the line's file is unknown: its position is not saved
                    st.Emitted(&after);
                    if (!shipper_.Send(k, after, message_.data(), message_.size(), now)) {
                        failed = true;
                        break;
                    }
                }
                if (st.queue().empty() && !st.Refill(now) && !o_.follow) result = kExitFiles;
                if (++count % 1024) continue;
                now = ::GetTickCount64();
                if (!sending_ && out_.failed()) return kExitFiles;  // the reader went away
                // A long backlog saves its position as it goes, like a live follow.
                if (sending_ ? !shipper_.Pump(now, false) : shipper_.Due(now) && !Checkpoint(now)) {
                    failed = true;
                    break;
                }
            }
            const bool end = !failed && !o_.follow && pick == Pick::kNone;
            if (!failed && !sending_) {
                out_.Flush();
                if (out_.failed()) return kExitFiles;
                if ((end || shipper_.Due(now)) && !Checkpoint(now)) return kExitFiles;
                if (end) return result;
            }
            if (!failed && sending_) {
                failed = !shipper_.Pump(now, end);
                if (!failed && end) {
                    Say(shipper_.Summary());
                    return result;
                }
            }
            if (failed) {
                // Everything after the last confirmed line goes again, once the collector answers.
                now = ::GetTickCount64();
                const DWORD pause = shipper_.Retry(now);
                if (!o_.follow && shipper_.GaveUp(now)) {
                    fprintf(stderr, "kvtrccat: the collector took no line for %lu s: giving up\n",
                            static_cast<unsigned long>(Shipper::kGiveUpMs / 1000));
                    Say(shipper_.Summary());
                    return kExitUndelivered;
                }
                ::Sleep(pause);
                for (size_t i = 0; i < stations_.size(); ++i) {
                    Position from;
                    const bool has = shipper_.Confirmed(i, &from) || stations_[i]->StartPosition(&from);
                    stations_[i]->Start(has ? &from : nullptr);
                }
                continue;
            }
            // Until the next poll, the line held for a quiet station, or the batch's confirmation.
            now = ::GetTickCount64();
            DWORD pause = o_.follow ? Follower::kPollMs : 0;
            for (auto& st : stations_)
                if (o_.follow && st->PauseMs(now) < pause) pause = st->PauseMs(now);
            if (pick == Pick::kHold && hold < pause) pause = hold;
            if (pause) ::Sleep(pause);
        }
    }

private:
    void Say(const std::string& text) {  // on standard output, as written (no CR added)
        out_.Raw(text.data(), text.size());
        out_.Flush();
    }

    // Standard output: what was written is out of the buffer, and its positions are saved.
    bool Checkpoint(ULONGLONG now) {
        out_.Flush();
        if (out_.failed()) return false;
        for (size_t i = 0; i < stations_.size(); ++i) {
            Mark m;
            if (stations_[i]->Emitted(&m)) shipper_.Written(i, m);
        }
        return shipper_.Pump(now, false);
    }

    // Writes one line to standard output, or makes its message (message_).
    void Emit(Station& st, const LineQueue::Line& l) {
        const wchar_t* p = st.queue().text(l);
        if (!o_.json && !sending_) {
            if (o_.labelled) {
                out_.Raw(st.name().data(), st.name().size());
                out_.Raw("|", 1);
            }
            out_.Text(p, l.chars, false);
            out_.Raw("\n", 1);
            return;
        }
        LineFields f;
        ParseLine(p, l.chars, &f);
        const Date date = l.own ? DateOfStamp(l.stamp) : Date();
        if (!sending_) return Json(out_, f, date, o_.labelled ? &st.name() : nullptr);
        message_.clear();
        AppendHeader(&message_, SeverityOfLevel(f.split ? f.level() : 30), Timestamp(st, l), st.name());
        Json(line_, f, date, &st.name());
        line_.Flush();
        lineBytes_.pop_back();  // the line feed
        if (message_.size() + lineBytes_.size() > kMaxMessageBytes) {
            // Cut the text to what fits beside the rest and the mark: the lines after it
            // must not depend on how a collector treats an oversized message.
            size_t textBytes = 0;
            FitJsonText(f.text.p, f.text.n, static_cast<size_t>(-1), &textBytes);
            const size_t rest = message_.size() + lineBytes_.size() - textBytes + sizeof kCutMark - 1;
            f.text.n = FitJsonText(f.text.p, f.text.n, rest < kMaxMessageBytes ? kMaxMessageBytes - rest : 0, nullptr);
            lineBytes_.clear();
            Json(line_, f, date, &st.name(), true);
            line_.Flush();
            lineBytes_.pop_back();
        }
        message_ += lineBytes_;
        lineBytes_.clear();
    }

    // The RFC 3339 time of a line sent: its own, or for a line without one the time of
    // the line before it; null when its file has no date.
    const char* Timestamp(Station& st, const LineQueue::Line& l) {
        if (!l.own && !st.Dated(l)) return nullptr;
        const Date d = DateOfStamp(l.stamp);
        const Stamp t = l.stamp - MakeStamp(d, 0, 0, 0, 0);
        const int h = static_cast<int>(t / 360000), m = static_cast<int>(t / 6000 % 60);
        const int sec = static_cast<int>(t / 100 % 60), ms = static_cast<int>(t % 100) * 10;
        bool repeated = false;
        if (!offsets_.Format(d.year, d.month, d.day, h, m, sec, ms, st.secondPass, stamp_, &repeated)) return nullptr;
        if (!repeated) {
            st.repeatHigh = 0, st.secondPass = false;
        } else {
            // Back by more than a minute inside the repeated hour: the clock was put back.
            if (!st.secondPass && st.repeatHigh && l.stamp + 6000 < st.repeatHigh) {
                st.secondPass = true;
                offsets_.Format(d.year, d.month, d.day, h, m, sec, ms, true, stamp_, &repeated);
            }
            if (l.stamp > st.repeatHigh) st.repeatHigh = l.stamp;
        }
        return stamp_;
    }

    // One JSON object and a line feed; date known: the line's own date. cut: the text
    // ends in kCutMark.
    static void Json(Output& out, const LineFields& f, const Date& date, const std::string* station, bool cut = false) {
        out.Raw("{");
        if (station) {
            out.Raw("\"station\":\"");
            out.Raw(station->data(), station->size());  // a station name needs no escaping
            out.Raw("\",");
        }
        out.Raw("\"time\":");
        if (f.hasTime) {
            // "yyyy-mm-dd" and "hh:mm:ss": a first number, then two of two digits each.
            auto three = [&out](int first, int firstDigits, int second, int third, const char* separator) {
                out.Digits(static_cast<unsigned>(first), firstDigits);
                out.Raw(separator, 1);
                out.Digits(static_cast<unsigned>(second), 2);
                out.Raw(separator, 1);
                out.Digits(static_cast<unsigned>(third), 2);
            };
            out.Raw("\"", 1);
            if (date.known()) {
                three(date.year, 4, date.month, date.day, "-");
                out.Raw("T", 1);
            }
            three(f.hour, 2, f.minute, f.second, ":");
            out.Raw(".", 1);
            out.Digits(static_cast<unsigned>(f.hundredths), 2);
            out.Raw("\",\"seq\":");
            out.Number(f.sequence);
        } else {
            out.Raw("null,\"seq\":null");
        }
        if (f.split) {
            const short level = f.level();
            out.Raw(",\"level\":\"");
            out.Raw(LevelNameOf(level));
            out.Raw("\",\"levelNo\":");
            out.Number(level);
        } else {
            out.Raw(",\"level\":null,\"levelNo\":null");
        }
        out.Raw(",\"process\":");
        out.String(f.processName);
        out.Raw(",\"pid\":");
        f.pid >= 0 ? out.Number(f.pid) : out.Raw("null");
        out.Raw(",\"module\":");
        out.String(f.moduleName);
        out.Raw(",\"tid\":");
        f.tid >= 0 ? out.Number(f.tid) : out.Raw("null");
        out.Raw(",\"function\":");
        out.String(f.function);
        out.Raw(",\"text\":\"");
        out.Text(f.text.p, f.text.n, true);
        if (cut) out.Raw(kCutMark);
        out.Raw("\"", 1);
        out.Raw(f.marked() ? ",\"marked\":true" : ",\"marked\":false");
        if (f.split && !f.cut) {
            const unsigned sw = f.switches();
            out.Raw(sw & kSwError ? ",\"error\":true" : ",\"error\":false");
            out.Raw(sw & kSwWarning ? ",\"warning\":true" : ",\"warning\":false");
            out.Raw(sw & kSwInfo ? ",\"info\":true" : ",\"info\":false");
            out.Raw(sw & kSwDiag ? ",\"diag\":true}\n" : ",\"diag\":false}\n");
        } else {
            out.Raw(",\"error\":null,\"warning\":null,\"info\":null,\"diag\":null}\n");
        }
    }

    const Options& o_;
    const bool sending_;
    Shipper shipper_;
    Output out_;
    std::string lineBytes_, message_;
    Output line_;  // one message's JSON, into lineBytes_
    UtcOffsets offsets_;
    char stamp_[40] = {};
    std::vector<std::unique_ptr<Station>> stations_;
    std::vector<const LineQueue*> queues_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (a == L"--json") {
            o.json = true;
        } else if (a == L"--follow" || a == L"-f") {
            o.follow = o.followGiven = true;
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
        } else if (a == L"--send" || a == L"--state" || a == L"--utc-offset") {
            if (i + 1 >= argc || !argv[i + 1][0]) {
                Error("kvtrccat: %s needs a value\n", a);
                return kExitUsage;
            }
            if (a == L"--utc-offset" && !o.offsets.SetFixed(argv[i + 1])) {
                Error("kvtrccat: bad offset '%s': expected +HH:MM or -HH:MM\n", argv[i + 1]);
                return kExitUsage;
            }
            if (a != L"--utc-offset") (a == L"--send" ? o.send : o.state) = argv[i + 1];
            ++i;
        } else if (a == L"--help" || a == L"-h" || a == L"/?") {
            fputs(kUsage, stdout);
            return kExitOk;
        } else if (!a.empty() && a[0] == L'-' && a != L"-") {
            Error("kvtrccat: unknown option '%s'\n", a);
            fputs(kUsage, stderr);
            return kExitUsage;
        } else {
            StationArg s;
            std::wstring why;
            if (!ParseStationArg(a, &s, &why)) {
                Error("kvtrccat: %s\n", why);
                return kExitUsage;
            }
            for (const StationArg& other : o.stations)
                if (_wcsicmp(other.name.c_str(), s.name.c_str()) == 0) {
                    Error("kvtrccat: two stations named '%s': name them as NAME=PATH\n", s.name);
                    return kExitUsage;
                }
            o.labelled = o.labelled || s.named;
            o.stations.push_back(s);
        }
    }
    if (o.stations.empty() || o.stations.size() > MergedOrder::kMaxStations) {
        fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (o.followGiven && o.fromEnd) {
        fputs("kvtrccat: --follow and --new together: --new already follows, from the current end\n", stderr);
        return kExitUsage;
    }
    if (o.hasSince && o.hasUntil && o.since > o.until) {
        fputs("kvtrccat: --since is later than --until: no line can be in that range\n", stderr);
        return kExitUsage;
    }
    std::unique_ptr<Collector> collector;
    if (!o.send.empty()) {
        std::wstring why;
        collector.reset(Collector::Make(o.send, &why));
        if (!collector) {
            Error("kvtrccat: %s\n", why);
            return kExitUsage;
        }
        o.json = true;
    }
    o.labelled = o.labelled || o.stations.size() > 1 || !o.send.empty();
    Cat cat(o, collector.get());
    return cat.Run();
}

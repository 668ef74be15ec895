// The viewer's model: listing, background indexing, follow mode, filtering, lookup.
#include "tools/trcvwr/traceset.h"

#include <algorithm>

#include <shellapi.h>

#include "client/errortext.h"

using namespace kv::trc;

namespace kv::vwr {

namespace {

std::wstring Trim(std::wstring s) {
    while (!s.empty() && (s.back() == L' ' || s.back() == L'\t')) s.pop_back();
    size_t i = 0;
    while (i < s.size() && (s[i] == L' ' || s[i] == L'\t')) ++i;
    s.erase(0, i);
    if (s.size() >= 2 && s.front() == L'"' && s.back() == L'"') s = s.substr(1, s.size() - 2);
    return s;
}

bool ContainsNoCase(const Span& s, const std::wstring& what) {
    return what.empty() || CellMatches(s.p, s.n, what.c_str(), what.size(), FindOptions{});
}

struct ProgressCtx {
    HWND owner;
    std::atomic<bool>* cancel;
    uint64_t before, total;
    DWORD lastTick;
};

bool CALLBACK_Progress(void* p, uint64_t done, uint64_t) {
    auto* c = static_cast<ProgressCtx*>(p);
    const DWORD now = ::GetTickCount();
    if (now - c->lastTick >= 100 && c->total) {
        c->lastTick = now;
        ::PostMessageW(c->owner, WM_VIEWER_PROGRESS, static_cast<WPARAM>((c->before + done) * 1000 / c->total), 0);
    }
    return !c->cancel->load();
}

}  // namespace

const wchar_t* SkipProgramName(const wchar_t* p) {
    if (!p) return L"";
    while (*p == L' ' || *p == L'\t') ++p;
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

Request ParseRequest(const wchar_t* args) {
    Request r;
    std::wstring s = args ? args : L"";
    // The first "/T:" after a blank: a directory name may hold "/", never ":" after it.
    size_t at = std::wstring::npos;
    for (size_t i = s.find(L"/T:"); i != std::wstring::npos; i = s.find(L"/T:", i + 1))
        if (i == 0 || s[i - 1] == L' ' || s[i - 1] == L'"') {
            at = i;
            break;
        }
    if (at == std::wstring::npos) {
        r.path = Trim(s);
        // The trace window names one path that exists; anything else is a list of stations.
        if (!r.path.empty() && ::GetFileAttributesW(r.path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            int n = 0;
            LPWSTR* argv = ::CommandLineToArgvW((L"x " + s).c_str(), &n);
            for (int i = 1; argv && i < n; ++i) {
                kv::trc::StationArg a;
                if (!kv::trc::ParseStationArg(argv[i], &a, nullptr)) continue;
                while (a.path.size() > 3 && (a.path.back() == L'\\' || a.path.back() == L'/')) a.path.pop_back();
                r.stations.push_back(a);
            }
            if (argv) ::LocalFree(argv);
            if (r.stations.size() == 1 && !r.stations[0].named) r.stations.clear();  // one missing path
        }
    } else {
        // "/T:..." quoted as one argument (a shell, a shortcut, a script): the quotes
        // around it belong to neither the directory nor the time text.
        const bool quoted = at > 0 && s[at - 1] == L'"';
        r.path = Trim(s.substr(0, quoted ? at - 1 : at));
        std::wstring time = s.substr(at + 3);
        if (quoted && time.find(L'"') != std::wstring::npos) time.erase(time.find(L'"'));
        r.timeText = Trim(time);
    }
    while (r.path.size() > 3 && (r.path.back() == L'\\' || r.path.back() == L'/')) r.path.pop_back();
    return r;
}

unsigned LevelBit(int level) noexcept {
    switch (level) {
    case -1: return 0x01;
    case 0: return 0x02;
    case 10: return 0x04;
    case 20: return 0x08;
    case 30: return 0x10;
    case 40: return 0x20;
    default: return 0x40;
    }
}

bool TraceSet::OpenStation(Station& st, const std::wstring& path, DWORD* error) {
    const DWORD a = ::GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        if (error) *error = ::GetLastError();
        return false;
    }
    st.isDirectory = (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (st.isDirectory) {
        st.dir = path;
        if (!ListDayFiles(path, &st.days, error)) return false;
    } else {
        const size_t slash = path.find_last_of(L"\\/");
        st.dir = slash == std::wstring::npos ? L"." : path.substr(0, slash);
        st.days.push_back(DayFileOf(path));
    }
    for (const DayFile& d : st.days) {
        st.files.emplace_back(new TraceFile);
        DWORD e = 0;
        if (!st.files.back()->Open(d.path, &e) && st.days.size() == 1) {
            if (error) *error = e;
            return false;
        }
    }
    return true;
}

bool TraceSet::Open(const std::wstring& path, HWND owner, DWORD* error) {
    StationArg one;
    one.path = path;
    return Open(std::vector<StationArg>{one}, owner, error);
}

bool TraceSet::Open(const std::vector<StationArg>& stations, HWND owner, DWORD* error) {
    Stop();
    owner_ = owner;
    ++generation_;
    stations_.clear();
    order_.Reset(0);
    rows_.clear();
    total_ = 0;
    published_ = remerge_ = merging_ = false;
    next_ = MergedOrder();
    nextRows_.clear();
    nextFilter_ = filter_;
    nextFilterChanges_ = filterChanges_;
    failure_.clear();
    labelled_ = stations.size() > 1 || (stations.size() == 1 && stations[0].named);
    if (stations.empty() || stations.size() > MergedOrder::kMaxStations) return false;
    size_t files = 0;
    for (const StationArg& a : stations) {
        stations_.emplace_back(new Station);
        stations_.back()->name = a.name;
        if (!OpenStation(*stations_.back(), a.path, error)) return false;
        files += stations_.back()->days.size();
    }
    order_.Reset(stations_.size());
    restartAt_.assign(stations_.size(), SIZE_MAX);
    cancel_ = false;
    if (files) thread_ = std::thread([this] { Run(); });
    else published_ = true;
    return true;
}

void TraceSet::Stop() {
    cancel_ = true;
    if (thread_.joinable()) thread_.join();
}

size_t TraceSet::FileCount() const {
    size_t n = 0;
    for (const auto& st : stations_) n += st->ready;
    return n;
}

void TraceSet::Run() {
    uint64_t total = 0;
    for (const auto& st : stations_)
        for (const DayFile& d : st->days) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (::GetFileAttributesExW(d.path.c_str(), GetFileExInfoStandard, &data))
                total += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
    ProgressCtx ctx{owner_, &cancel_, 0, total, 0};
    for (auto& st : stations_) {
        for (size_t f = 0; f < st->files.size() && !cancel_; ++f) {
            st->files[f]->Index(&CALLBACK_Progress, &ctx);  // an unreadable file stays empty
            ctx.before += st->files[f]->IndexedBytes();
            // One station: each file is shown as soon as it is ready.
            if (!cancel_ && !merged()) ::PostMessageW(owner_, WM_VIEWER_INDEXED, f, generation_);
        }
    }
    if (cancel_ || !merged()) return;
    // Several: the list exists only merged, which needs every station's lines.
    for (auto& st : stations_) {
        size_t lines = 0;
        for (const auto& f : st->files) {
            st->first.push_back(lines);
            lines += f->LineCount();
        }
        st->total = lines;
    }
    Merge();
    if (!cancel_) ::PostMessageW(owner_, WM_VIEWER_INDEXED, 0, generation_);
}

bool TraceSet::TakeIndexed(size_t file, LPARAM generation) {
    if (generation != generation_ || published_) return false;
    if (merged()) {
        // Everything at once: the thread has ended its work with the merge.
        if (thread_.joinable()) thread_.join();
        for (auto& st : stations_) st->ready = st->files.size();
        published_ = true;
        Adopt();
        return true;
    }
    Station& st = *stations_[0];
    // Files become ready in order; the thread posts them in order.
    while (st.ready <= file && st.ready < st.files.size()) Publish(st.ready);
    published_ = st.ready == st.files.size();
    if (published_ && thread_.joinable()) thread_.join();
    return published_;
}

void TraceSet::Publish(size_t f) {
    Station& st = *stations_[0];
    st.first.push_back(st.total);
    ++st.ready;
    st.tailOpen = false;
    polled_ = &st;
    Lines(*st.files[f], false, false);
}

bool TraceSet::Refresh() {
    if (indexing() || merging_) return false;
    changed_ = remerge_ = false;
    cut_ = total_;
    const ULONGLONG now = ::GetTickCount64();
    for (auto& p : stations_) {
        Station& st = *p;
        if (st.files.empty() && !st.isDirectory) continue;
        if (!st.following) {
            const size_t last = st.ready - (st.ready ? 1 : 0);
            st.follower.Follow(st.ready ? st.files[last].get() : nullptr, st.isDirectory ? st.dir : std::wstring(),
                               st.ready ? st.days[last].date : Date{});
            st.following = true;
        }
        polled_ = &st;
        st.follower.Poll(*this, now);
    }
    polled_ = nullptr;
    if (!merged()) return changed_;
    if (remerge_) {
        // A station's file started over: the rows placed from it are gone, and with them
        // the order of every row after the first of them. The rows before it still read
        // what they read, so they stay while the thread merges a whole history again.
        total_ = cut_;
        while (!rows_.empty() && rows_.back() >= total_) rows_.pop_back();
        nextFilter_ = filter_;
        nextFilterChanges_ = filterChanges_;
        if (thread_.joinable()) thread_.join();
        try {
            const LPARAM generation = generation_;
            thread_ = std::thread([this, generation] {
                if (Merge()) ::PostMessageW(owner_, WM_VIEWER_MERGED, 0, generation);
            });
            merging_ = true;
        } catch (...) {
            // No thread to be had: merged here, with the window waiting.
            Merge();
            Adopt();
            restartAt_.assign(stations_.size(), SIZE_MAX);
        }
        return true;
    }
    for (auto& st : stations_) ReadStamps(*st, st->total - (st->tailOpen ? 1 : 0), now);
    const size_t before = order_.size();
    Place(order_, true, now);
    return changed_ || order_.size() != before;
}

bool TraceSet::Lines(TraceFile& file, bool startedOver, bool) {
    Station& st = *polled_;
    // Only the last ready file is followed.
    const size_t f = st.ready - 1;
    if (&file != st.files[f].get()) return true;
    size_t shown = st.total - st.first[f];
    const size_t lines = file.LineCount();
    if (merged()) {
        // The merge takes the lines in from the stations' counts after the poll.
        remerge_ = remerge_ || startedOver;
        if (startedOver) {
            size_t s = 0;
            while (stations_[s].get() != &st) ++s;
            cut_ = std::min(cut_, order_.RowOf(s, st.first[f]));
            restartAt_[s] = std::min(restartAt_[s], st.first[f]);
        }
        changed_ = changed_ || startedOver || st.first[f] + lines != st.total;
        st.total = st.first[f] + lines;
        st.tailOpen = !file.LastLineComplete();
        failure_.clear();
        return true;
    }
    // A file that started over takes back all it showed; the unfinished line shown as it
    // stood is judged again now that more of it may be there.
    const size_t rows = rows_.size();
    if (startedOver || st.tailOpen) {
        shown = startedOver ? 0 : shown - 1;
        while (!rows_.empty() && rows_.back() >= st.first[f] + shown) rows_.pop_back();
    }
    changed_ = changed_ || startedOver || st.first[f] + lines != st.total;
    st.total = total_ = st.first[f] + shown;
    st.tailOpen = false;
    if (filter_.active() && !FilterLines(f, shown, lines)) {
        // What was not judged is offered again by the next poll.
        while (!rows_.empty() && rows_.back() >= total_) rows_.pop_back();
        return false;
    }
    st.total = total_ = st.first[f] + lines;
    st.tailOpen = !file.LastLineComplete();
    // A line completed since: the filter may take it now, or no longer, with no line added.
    changed_ = changed_ || rows_.size() != rows;
    failure_.clear();
    return true;
}

TraceFile* TraceSet::NextDay(const DayFile& d) {
    Station& st = *polled_;
    st.days.push_back(d);
    st.files.emplace_back(new TraceFile);
    st.files.back()->Open(d.path, nullptr);  // read by the follower, which tries again when it cannot
    st.first.push_back(st.total);
    ++st.ready;
    st.tailOpen = false;
    changed_ = true;
    return st.files.back().get();
}

void TraceSet::Failed(const std::wstring& path, DWORD error) {
    failure_ = L"Cannot read " + path + L" (" + kv::ErrorText(error) + L"), trying again";
}

bool TraceSet::ReadStamps(Station& st, size_t upTo, ULONGLONG now) {
    while (st.stamped < upTo && !cancel_) {
        const size_t f = static_cast<size_t>(std::upper_bound(st.first.begin(), st.first.end(), st.stamped) -
                                             st.first.begin()) - 1;
        const size_t from = st.stamped - st.first[f];
        const size_t end = f + 1 < st.first.size() && st.first[f + 1] < upTo ? st.first[f + 1] : upTo;
        const Date day = st.days[f].date;
        if (from == 0) st.last = day.known() ? MakeStamp(day, 0, 0, 0, 0) : st.last;
        // In pieces: the pending queue never holds a whole backlog.
        const size_t stop = end - st.stamped > 8192 ? st.stamped + 8192 : end;
        size_t next = st.stamped;  // a read that fails half-way keeps the lines it gave
        const bool read = st.files[f]->ForEachLine(from, stop - st.first[f], [&](size_t line, const wchar_t* text, size_t chars) {
            next = st.first[f] + line + 1;
            size_t head = 0;
            while (head < chars && head < 64 && text[head] != L'|') ++head;
            LineFields x;
            ParseTimeText(text, head, &x);
            const bool own = x.hasTime && day.known();
            if (own) st.last = MakeStamp(LineDate(day, x.weekday), x.hour, x.minute, x.second, x.hundredths);
            st.pending.Push(nullptr, 0, st.last, own, now);
        });
        st.stamped = read ? stop : next;
        if (!read) return false;
        if (st.pending.size() >= 8192) return true;  // placed before more is read
    }
    return true;
}

bool TraceSet::TakeMerged(LPARAM generation, LinePlace* keep) {
    if (generation != generation_ || !merging_) return false;
    if (thread_.joinable()) thread_.join();
    merging_ = false;
    Adopt();
    if (keep && keep->valid() && (keep->station >= restartAt_.size() || keep->line >= restartAt_[keep->station]))
        *keep = LinePlace();
    restartAt_.assign(stations_.size(), SIZE_MAX);
    return true;
}

void TraceSet::Adopt() {
    std::swap(order_, next_);
    next_ = MergedOrder();
    total_ = order_.size();
    // The filter changed while the thread worked: the rows shown are chosen here.
    if (nextFilterChanges_ == filterChanges_) rows_.swap(nextRows_);
    else SetFilter(filter_);
    nextRows_.clear();
}

LinePlace TraceSet::PlaceOf(long long line) const {
    LinePlace p;
    if (line < 0 || static_cast<size_t>(line) >= total_) return p;
    if (!merged()) {
        p.station = 0;
        p.line = static_cast<size_t>(line);
    } else if (!order_.Locate(static_cast<size_t>(line), &p.station, &p.line)) {
        p = LinePlace();
    }
    return p;
}

long long TraceSet::LineAt(const LinePlace& at) const {
    if (!at.valid() || at.station >= stations_.size()) return -1;
    const size_t line = GlobalLine(at.station, at.line);
    return line < total_ ? static_cast<long long>(line) : -1;
}

void TraceSet::Place(MergedOrder& into, bool grow, ULONGLONG now) {
    const bool shown = &into == &order_;
    std::vector<const LineQueue*> queues;
    for (const auto& st : stations_) queues.push_back(&st->pending);
    const std::vector<bool> mayGrow(stations_.size(), grow);
    SYSTEMTIME local;
    ::GetLocalTime(&local);
    const kv::trc::Stamp nowStamp = StampOfLocalTime(local);
    while (!cancel_) {
        size_t s = 0;
        DWORD wait = 0;
        if (NextStation(queues, mayGrow, now, nowStamp, &s, &wait) != Pick::kLine) {
            // A queue that ran empty while its station has more read: read on, then place again.
            bool more = false;
            for (auto& st : stations_)
                if (st->pending.empty() && st->stamped < st->total - (grow && st->tailOpen ? 1 : 0)) {
                    ReadStamps(*st, st->total - (grow && st->tailOpen ? 1 : 0), now);
                    more = more || !st->pending.empty();
                }
            if (!more) return;
            continue;
        }
        Station& st = *stations_[s];
        st.pending.Pop();
        const size_t row = into.size();
        if (!into.Push(s)) return;  // out of memory: the list ends here
        if (shown) total_ = order_.size();
        if (shown && filter_.active()) {
            LineFields x;
            if (Parse(row, &x, nullptr) && Passes(filter_, x)) rows_.push_back(row);
        }
        if (st.pending.empty() && st.stamped < st.total - (grow && st.tailOpen ? 1 : 0))
            ReadStamps(st, st.total - (grow && st.tailOpen ? 1 : 0), now);
    }
}

bool TraceSet::Merge() {
    try {
        next_.Reset(stations_.size());
        nextRows_.clear();
        for (auto& st : stations_) {
            st->stamped = 0;
            st->last = 0;
            st->pending.Clear();
            ReadStamps(*st, st->total, 0);
        }
        // Every line there now: no station is waited for.
        Place(next_, false, 0);
        if (!cancel_) FilterMerged(next_, next_.size(), nextFilter_, &nextRows_);
    } catch (...) {
        // Out of memory on the thread: the list ends where the merge stopped.
    }
    return !cancel_;
}

bool TraceSet::Locate(size_t line, size_t* station, size_t* file, size_t* local) const {
    if (line >= total_ || stations_.empty()) return false;
    size_t s = 0, sl = line;
    if (merged() && !order_.Locate(line, &s, &sl)) return false;
    const Station& st = *stations_[s];
    if (st.first.empty() || sl >= st.total) return false;
    const size_t f = static_cast<size_t>(std::upper_bound(st.first.begin(), st.first.end(), sl) - st.first.begin()) - 1;
    *station = s;
    *file = f;
    *local = sl - st.first[f];
    return true;
}

size_t TraceSet::GlobalLine(size_t station, size_t stationLine) const {
    return merged() ? order_.RowOf(station, stationLine) : stationLine;
}

const std::wstring& TraceSet::StationOf(size_t line) const {
    size_t s = 0, sl = 0;
    if (merged()) order_.Locate(line, &s, &sl);
    return stations_[s]->name;
}

long long TraceSet::RowOfLine(size_t line) const {
    if (!filter_.active()) return line < total_ ? static_cast<long long>(line) : -1;
    auto it = std::lower_bound(rows_.begin(), rows_.end(), static_cast<uint64_t>(line));
    return it != rows_.end() && *it == line ? it - rows_.begin() : -1;
}

bool TraceSet::Parse(size_t line, LineFields* fields, Date* date, DWORD* error) {
    size_t s, f, local, n = 0;
    *fields = LineFields();
    if (error) *error = 0;
    if (!Locate(line, &s, &f, &local)) return false;
    Station& st = *stations_[s];
    const bool read = st.files[f]->ReadLine(local, line_.data(), line_.size(), &n);
    if (!read && error) *error = st.files[f]->error();
    ParseLine(line_.data(), n, fields);
    if (date) *date = LineDate(st.days[f].date, fields->hasTime ? fields->weekday : -1);
    return read;
}

bool TraceSet::Passes(const Filter& f, const LineFields& x) {
    if (!(f.levels & LevelBit(x.split ? x.level() : 1000))) return false;
    return ContainsNoCase(x.process, f.process) && ContainsNoCase(x.module, f.module) &&
           (f.text.empty() || LineMatches(x, f.text.c_str(), f.text.size(), FindOptions{}));
}

bool TraceSet::FilterLines(size_t f, size_t from, size_t to) {
    const size_t base = stations_[0]->first[f];
    return stations_[0]->files[f]->ForEachLine(from, to, [&](size_t line, const wchar_t* text, size_t chars) {
        LineFields x;
        ParseLine(text, chars, &x);
        if (Passes(filter_, x)) rows_.push_back(base + line);
    });
}

void TraceSet::SetFilter(const Filter& f) {
    filter_ = f;
    ++filterChanges_;
    rows_.clear();
    if (!filter_.active() || stations_.empty()) return;
    if (!merged()) {
        for (size_t file = 0; file < stations_[0]->ready; ++file) FilterLines(file, 0, stations_[0]->files[file]->LineCount());
        return;
    }
    // Until the thread's first merge is taken over, no row is shown and its files are its own.
    if (published_) FilterMerged(order_, total_, filter_, &rows_);
}

void TraceSet::FilterMerged(const MergedOrder& order, size_t rows, const Filter& f, std::vector<uint64_t>* out) {
    if (!f.active()) return;
    // Station by station in blocks, then the rows in the list's order.
    for (size_t s = 0; s < stations_.size(); ++s) {
        Station& st = *stations_[s];
        for (size_t file = 0; file < st.first.size() && !cancel_; ++file)
            st.files[file]->ForEachLine(0, st.files[file]->LineCount(), [&](size_t line, const wchar_t* text, size_t chars) {
                LineFields x;
                ParseLine(text, chars, &x);
                if (!Passes(f, x)) return;
                const size_t row = order.RowOf(s, st.first[file] + line);
                if (row < rows) out->push_back(row);
            });
    }
    std::sort(out->begin(), out->end());
}

long long TraceSet::FindInStation(size_t s, long long stationLine, bool down, const wchar_t* what,
                                  const FindOptions& options) {
    Station& st = *stations_[s];
    const size_t placed = merged() ? order_.CountBefore(s, total_) : st.total;
    while (stationLine >= 0 && static_cast<size_t>(stationLine) < placed) {
        const size_t f = static_cast<size_t>(std::upper_bound(st.first.begin(), st.first.end(),
                                                              static_cast<size_t>(stationLine)) - st.first.begin()) - 1;
        const long long hit = FindInFile(*st.files[f], static_cast<size_t>(stationLine) - st.first[f], down, what, options);
        if (hit >= 0) {
            const size_t at = st.first[f] + static_cast<size_t>(hit);
            return at < placed ? static_cast<long long>(at) : -1;
        }
        // On to the next file in the search's direction.
        stationLine = down ? static_cast<long long>(st.first[f] + st.files[f]->LineCount())
                           : static_cast<long long>(st.first[f]) - 1;
    }
    return -1;
}

long long TraceSet::FindLine(long long from, bool down, const wchar_t* what, const FindOptions& options) {
    if (from < 0 || static_cast<size_t>(from) >= total_) return -1;
    if (!merged()) return FindInStation(0, from, down, what, options);
    // Each station from the line of its own at or beyond `from`; the nearest hit wins.
    long long best = -1;
    for (size_t s = 0; s < stations_.size(); ++s) {
        const size_t before = order_.CountBefore(s, static_cast<size_t>(from) + (down ? 0 : 1));
        const long long start = down ? static_cast<long long>(before) : static_cast<long long>(before) - 1;
        const long long hit = FindInStation(s, start, down, what, options);
        if (hit < 0) continue;
        const long long row = static_cast<long long>(order_.RowOf(s, static_cast<size_t>(hit)));
        if (best < 0 || (down ? row < best : row > best)) best = row;
    }
    return best;
}

long long TraceSet::FindTimeText(const wchar_t* timeText) {
    // The trace window's row is of the first station (it names one directory).
    Station& st = *stations_[0];
    std::vector<TraceFile*> files;
    for (size_t f = 0; f < st.ready; ++f) files.push_back(st.files[f].get());
    std::vector<DayFile> days(st.days.begin(), st.days.begin() + st.ready);
    RowRef ref;
    if (!FindRowByTimeText(files, days, timeText, &ref)) return -1;
    const size_t row = GlobalLine(0, st.first[ref.file] + ref.line);
    return row < total_ ? static_cast<long long>(row) : -1;
}

size_t TraceSet::RowAtOrAfter(const Date& date, int hour, int minute, int second) {
    const long long want = ((static_cast<long long>(date.year) * 13 + date.month) * 32 + date.day) * 86400LL +
                           hour * 3600 + minute * 60 + second;
    // Rows run in time order: a binary search over the rows shown.
    size_t lo = 0, hi = RowCount();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        LineFields x;
        Date d;
        Parse(LineOfRow(mid), &x, &d);
        const long long at = ((static_cast<long long>(d.year) * 13 + d.month) * 32 + d.day) * 86400LL +
                             (x.hasTime ? x.hour * 3600 + x.minute * 60 + x.second : 0);
        if (at < want) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

}  // namespace kv::vwr

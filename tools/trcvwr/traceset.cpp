// The viewer's model: listing, background indexing, follow mode, filtering, lookup.
#include "tools/trcvwr/traceset.h"

#include <algorithm>

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
    } else {
        r.path = Trim(s.substr(0, at));
        r.timeText = Trim(s.substr(at + 3));
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

bool TraceSet::Open(const std::wstring& path, HWND owner, DWORD* error) {
    Stop();
    owner_ = owner;
    ++generation_;
    days_.clear();
    files_.clear();
    first_.clear();
    rows_.clear();
    ready_ = total_ = 0;
    tailOpen_ = following_ = false;
    failure_.clear();
    const DWORD a = ::GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        if (error) *error = ::GetLastError();
        return false;
    }
    isDirectory_ = (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isDirectory_) {
        dir_ = path;
        if (!ListDayFiles(path, &days_, error)) return false;
    } else {
        const size_t slash = path.find_last_of(L"\\/");
        dir_ = slash == std::wstring::npos ? L"." : path.substr(0, slash);
        days_.push_back(DayFileOf(path));
    }
    for (const DayFile& d : days_) {
        files_.emplace_back(new TraceFile);
        DWORD e = 0;
        if (!files_.back()->Open(d.path, &e) && days_.size() == 1) {
            if (error) *error = e;
            return false;
        }
    }
    cancel_ = false;
    if (!days_.empty()) thread_ = std::thread([this] { Run(); });
    return true;
}

void TraceSet::Stop() {
    cancel_ = true;
    if (thread_.joinable()) thread_.join();
}

void TraceSet::Run() {
    uint64_t total = 0;
    for (const DayFile& d : days_) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (::GetFileAttributesExW(d.path.c_str(), GetFileExInfoStandard, &data))
            total += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    ProgressCtx ctx{owner_, &cancel_, 0, total, 0};
    for (size_t f = 0; f < files_.size() && !cancel_; ++f) {
        files_[f]->Index(&CALLBACK_Progress, &ctx);  // an unreadable file stays empty
        ctx.before += files_[f]->IndexedBytes();
        if (cancel_) break;
        ::PostMessageW(owner_, WM_VIEWER_INDEXED, f, generation_);
    }
}

bool TraceSet::TakeIndexed(size_t file, LPARAM generation) {
    if (generation != generation_) return false;
    // Files become ready in order; the thread posts them in order.
    while (ready_ <= file && ready_ < files_.size()) Publish(ready_);
    const bool done = ready_ == files_.size();
    if (done && thread_.joinable()) thread_.join();
    return done;
}

void TraceSet::Publish(size_t f) {
    first_.push_back(total_);
    ++ready_;
    tailOpen_ = false;
    Lines(*files_[f], false, false);
}

bool TraceSet::Refresh() {
    if (indexing() || (files_.empty() && !isDirectory_)) return false;
    if (!following_) {
        const size_t last = ready_ - (ready_ ? 1 : 0);
        follower_.Follow(ready_ ? files_[last].get() : nullptr, isDirectory_ ? dir_ : std::wstring(),
                         ready_ ? days_[last].date : Date{});
        following_ = true;
    }
    changed_ = false;
    follower_.Poll(*this, ::GetTickCount64());
    return changed_;
}

bool TraceSet::Lines(TraceFile&, bool startedOver, bool) {
    // Only the last ready file is followed.
    const size_t f = ready_ - 1;
    size_t shown = total_ - first_[f];
    // A file that started over takes back all it showed; the unfinished line shown as it
    // stood is judged again now that more of it may be there.
    if (startedOver || tailOpen_) {
        shown = startedOver ? 0 : shown - 1;
        while (!rows_.empty() && rows_.back() >= first_[f] + shown) rows_.pop_back();
    }
    const size_t lines = files_[f]->LineCount();
    changed_ = changed_ || startedOver || first_[f] + lines != total_;
    total_ = first_[f] + shown;
    tailOpen_ = false;
    if (filter_.active() && !FilterLines(f, shown, lines)) {
        // What was not judged is offered again by the next poll.
        while (!rows_.empty() && rows_.back() >= total_) rows_.pop_back();
        return false;
    }
    total_ = first_[f] + lines;
    tailOpen_ = !files_[f]->LastLineComplete();
    failure_.clear();
    return true;
}

TraceFile* TraceSet::NextDay(const DayFile& d) {
    days_.push_back(d);
    files_.emplace_back(new TraceFile);
    files_.back()->Open(d.path, nullptr);  // read by the follower, which tries again when it cannot
    first_.push_back(total_);
    ++ready_;
    tailOpen_ = false;
    changed_ = true;
    return files_.back().get();
}

void TraceSet::Failed(const std::wstring& path, DWORD error) {
    wchar_t text[64];
    swprintf(text, 64, L" (error %lu), trying again", static_cast<unsigned long>(error));
    failure_ = L"Cannot read " + path + text;
}

bool TraceSet::Locate(size_t line, size_t* file, size_t* local) const {
    if (line >= total_ || first_.empty()) return false;
    const size_t f = static_cast<size_t>(std::upper_bound(first_.begin(), first_.end(), line) - first_.begin()) - 1;
    *file = f;
    *local = line - first_[f];
    return true;
}

long long TraceSet::RowOfLine(size_t line) const {
    if (!filter_.active()) return line < total_ ? static_cast<long long>(line) : -1;
    auto it = std::lower_bound(rows_.begin(), rows_.end(), static_cast<uint64_t>(line));
    return it != rows_.end() && *it == line ? it - rows_.begin() : -1;
}

bool TraceSet::Parse(size_t line, LineFields* fields, Date* date, DWORD* error) {
    size_t f, local, n = 0;
    *fields = LineFields();
    if (error) *error = 0;
    if (!Locate(line, &f, &local)) return false;
    const bool read = files_[f]->ReadLine(local, line_.data(), line_.size(), &n);
    if (!read && error) *error = files_[f]->error();
    ParseLine(line_.data(), n, fields);
    if (date) *date = LineDate(days_[f].date, fields->hasTime ? fields->weekday : -1);
    return read;
}

bool TraceSet::Passes(const LineFields& x) const {
    if (!(filter_.levels & LevelBit(x.split ? x.level() : 1000))) return false;
    return ContainsNoCase(x.process, filter_.process) && ContainsNoCase(x.module, filter_.module) &&
           (filter_.text.empty() || LineMatches(x, filter_.text.c_str(), filter_.text.size(), FindOptions{}));
}

bool TraceSet::FilterLines(size_t f, size_t from, size_t to) {
    const size_t base = first_[f];
    return files_[f]->ForEachLine(from, to, [&](size_t line, const wchar_t* text, size_t chars) {
        LineFields x;
        ParseLine(text, chars, &x);
        if (Passes(x)) rows_.push_back(base + line);
    });
}

void TraceSet::SetFilter(const Filter& f) {
    filter_ = f;
    rows_.clear();
    if (!filter_.active()) return;
    for (size_t file = 0; file < ready_; ++file) FilterLines(file, 0, files_[file]->LineCount());
}

long long TraceSet::FindTimeText(const wchar_t* timeText) {
    std::vector<TraceFile*> files;
    for (size_t f = 0; f < ready_; ++f) files.push_back(files_[f].get());
    std::vector<DayFile> days(days_.begin(), days_.begin() + ready_);
    RowRef ref;
    if (!FindRowByTimeText(files, days, timeText, &ref)) return -1;
    return static_cast<long long>(GlobalLine(ref.file, ref.line));
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

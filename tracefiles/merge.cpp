// Station names, line queues and the choice of the next line across stations.
#include "tracefiles/merge.h"

#include <new>

namespace kv::trc {

namespace {

bool IsNameChar(wchar_t c) noexcept {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'.' ||
           c == L'_' || c == L'-';
}

}  // namespace

Stamp MakeStamp(const Date& d, int hour, int minute, int second, int hundredths) noexcept {
    const long long day = d.known() ? DaysFromCivil(d.year, d.month, d.day) : 0;
    return day * kStampsPerDay + ((hour * 60LL + minute) * 60 + second) * 100 + hundredths;
}

Date DateOfStamp(Stamp s) noexcept {
    return CivilFromDays((s >= 0 ? s : s - (kStampsPerDay - 1)) / kStampsPerDay);
}

Stamp StampOfLocalTime(const SYSTEMTIME& t) noexcept {
    return MakeStamp(Date{t.wYear, t.wMonth, t.wDay}, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds / 10);
}

bool IsStationName(const std::wstring& name) noexcept {
    if (name.empty() || name.size() > kMaxStationChars || name[0] == L'.' || name[0] == L'-') return false;
    for (wchar_t c : name)
        if (!IsNameChar(c)) return false;
    return true;
}

std::wstring DefaultStationName(const std::wstring& path) {
    std::wstring p = path;
    const DWORD a = ::GetFileAttributesW(p.c_str());
    const bool file = a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
    while (!p.empty() && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
    if (file) {
        const size_t slash = p.find_last_of(L"\\/");
        p = slash == std::wstring::npos ? L"." : p.substr(0, slash);
    }
    if (p == L"." || p.empty()) {
        wchar_t cwd[MAX_PATH];
        const DWORD n = ::GetCurrentDirectoryW(MAX_PATH, cwd);
        p.assign(cwd, n < MAX_PATH ? n : 0);
        while (!p.empty() && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
    }
    const size_t slash = p.find_last_of(L"\\/:");
    std::wstring name = slash == std::wstring::npos ? p : p.substr(slash + 1);
    if (name.empty() && !p.empty()) name = p.substr(0, 1);  // a drive's root: its letter
    for (wchar_t& c : name)
        if (!IsNameChar(c)) c = L'_';
    while (!name.empty() && (name[0] == L'.' || name[0] == L'-')) name.erase(0, 1);
    if (name.size() > kMaxStationChars) name.resize(kMaxStationChars);
    return name.empty() ? L"station" : name;
}

bool ParseStationArg(const std::wstring& arg, StationArg* out, std::wstring* why) {
    *out = StationArg();
    const size_t eq = arg.find(L'=');
    const size_t sep = arg.find_first_of(L"\\/:");
    // "=" inside a path ("C:\a=b") is part of the path; a name stands before any separator.
    if (eq != std::wstring::npos && eq < sep) {
        out->name = arg.substr(0, eq);
        out->path = arg.substr(eq + 1);
        out->named = true;
        if (!IsStationName(out->name)) {
            if (why)
                *why = L"bad station name '" + out->name +
                       L"': up to 48 letters, digits, '.', '_' and '-', not starting with '.' or '-'";
            return false;
        }
        if (out->path.empty()) {
            if (why) *why = L"no directory after '" + out->name + L"='";
            return false;
        }
        return true;
    }
    out->path = arg;
    out->name = DefaultStationName(arg);
    return true;
}

void LineQueue::Push(const wchar_t* text, size_t chars, Stamp stamp, bool own, uint64_t arrival, size_t file,
                     size_t line, uint64_t end, const TraceFile::Identity& identity) {
    if (empty() && next_) Clear();  // the text buffer starts over once all was taken
    lines_.push_back(Line{stamp, own, arrival, file, line, end, identity, text_.size(), chars});
    text_.insert(text_.end(), text, text + chars);
}

void LineQueue::Pop() noexcept {
    if (!empty()) ++next_;
    if (empty()) Clear();
}

void LineQueue::Clear() noexcept {
    lines_.clear();
    text_.clear();
    next_ = 0;
}

Pick NextStation(const std::vector<const LineQueue*>& queues, const std::vector<bool>& mayGrow, uint64_t nowTick,
                 Stamp nowStamp, size_t* station, DWORD* waitMs) noexcept {
    size_t best = queues.size();
    bool quiet = false;  // a station that may still write an earlier line has nothing queued
    for (size_t i = 0; i < queues.size(); ++i) {
        if (queues[i]->empty()) {
            quiet = quiet || (i < mayGrow.size() && mayGrow[i]);
            continue;
        }
        if (best == queues.size() || queues[i]->front().stamp < queues[best]->front().stamp) best = i;
    }
    if (best == queues.size()) return Pick::kNone;
    *station = best;
    if (!quiet) return Pick::kLine;
    const LineQueue::Line& l = queues[best]->front();
    const Stamp holdStamps = kMergeHoldMs / 10;
    if (nowStamp - l.stamp >= holdStamps) return Pick::kLine;
    const uint64_t waited = nowTick >= l.arrival ? nowTick - l.arrival : 0;
    if (waited >= kMergeHoldMs) return Pick::kLine;
    if (waitMs) *waitMs = static_cast<DWORD>(kMergeHoldMs - waited);
    return Pick::kHold;
}

void MergedOrder::Reset(size_t stations) {
    rows_.clear();
    marks_.clear();
    counts_.assign(stations < kMaxStations ? stations : kMaxStations, 0);
}

bool MergedOrder::Push(size_t station) {
    if (station >= counts_.size()) return false;
    try {
        if (rows_.size() % kStep == 0) marks_.insert(marks_.end(), counts_.begin(), counts_.end());
        rows_.push_back(static_cast<uint8_t>(station));
    } catch (const std::bad_alloc&) {
        marks_.resize(rows_.size() / kStep * counts_.size() + (rows_.size() % kStep ? counts_.size() : 0));
        return false;
    }
    ++counts_[station];
    return true;
}

bool MergedOrder::Locate(size_t row, size_t* station, size_t* line) const noexcept {
    if (row >= rows_.size()) return false;
    const size_t step = row / kStep;
    const uint8_t s = rows_[row];
    uint64_t n = marks_[step * counts_.size() + s];
    for (size_t r = step * kStep; r < row; ++r) n += rows_[r] == s;
    *station = s;
    *line = static_cast<size_t>(n);
    return true;
}

size_t MergedOrder::CountBefore(size_t station, size_t row) const noexcept {
    if (station >= counts_.size()) return 0;
    if (row >= rows_.size()) return static_cast<size_t>(counts_[station]);
    const size_t step = row / kStep;
    uint64_t n = marks_[step * counts_.size() + station];
    for (size_t r = step * kStep; r < row; ++r) n += rows_[r] == station;
    return static_cast<size_t>(n);
}

size_t MergedOrder::RowOf(size_t station, size_t line) const noexcept {
    if (station >= counts_.size() || line >= counts_[station]) return rows_.size();
    const size_t k = counts_.size();
    // The last step that begins with at most `line` lines of the station before it.
    size_t lo = 0, hi = marks_.size() / k;
    while (hi - lo > 1) {
        const size_t mid = lo + (hi - lo) / 2;
        if (marks_[mid * k + station] <= line) lo = mid;
        else hi = mid;
    }
    uint64_t n = marks_[lo * k + station];
    for (size_t r = lo * kStep; r < rows_.size(); ++r) {
        if (rows_[r] != station) continue;
        if (n == line) return r;
        ++n;
    }
    return rows_.size();
}

}  // namespace kv::trc

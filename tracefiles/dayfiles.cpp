// Dates of trace files and rows, and the daily files of a directory.
#include <algorithm>

#include "client/owners.h"
#include "tracefiles/tracefiles.h"

namespace kv::trc {

const wchar_t kFallbackName[] = L"riviveda.txt";

namespace {

bool IsDigit(wchar_t c) noexcept { return c >= L'0' && c <= L'9'; }

bool IsLeap(int y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysInMonth(int y, int m) noexcept {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

long long DaysFromCivil(int y, int m, int d) noexcept {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}
Date CivilFromDays(long long z) noexcept {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    Date out;
    out.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    out.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    out.year = static_cast<int>(yoe + era * 400 + (out.month <= 2));
    return out;
}

bool operator<(const Date& a, const Date& b) noexcept {
    if (a.year != b.year) return a.year < b.year;
    if (a.month != b.month) return a.month < b.month;
    return a.day < b.day;
}
bool operator==(const Date& a, const Date& b) noexcept {
    return a.year == b.year && a.month == b.month && a.day == b.day;
}

int WeekdayOf(const Date& d) noexcept {
    if (!d.known()) return -1;
    const long long z = DaysFromCivil(d.year, d.month, d.day);  // 1970-01-01 was a Thursday
    return static_cast<int>(((z % 7) + 7 + 4) % 7);
}

Date AddDays(const Date& d, int days) noexcept {
    if (!d.known()) return d;
    return CivilFromDays(DaysFromCivil(d.year, d.month, d.day) + days);
}

bool DateFromDailyName(const wchar_t* name, Date* out) noexcept {
    if (!name || wcslen(name) != 12) return false;
    if ((name[0] != L'T' && name[0] != L't') || (name[1] != L'S' && name[1] != L's')) return false;
    for (int i = 2; i < 8; ++i)
        if (!IsDigit(name[i])) return false;
    if (_wcsicmp(name + 8, L".txt") != 0) return false;
    const int yy = (name[2] - L'0') * 10 + (name[3] - L'0');
    Date d;
    d.year = yy < 70 ? 2000 + yy : 1900 + yy;
    d.month = (name[4] - L'0') * 10 + (name[5] - L'0');
    d.day = (name[6] - L'0') * 10 + (name[7] - L'0');
    // The writer never names a day that does not exist.
    if (d.month < 1 || d.month > 12 || d.day < 1 || d.day > DaysInMonth(d.year, d.month)) return false;
    if (out) *out = d;
    return true;
}

int WeekdayFromText(const wchar_t* text, size_t chars) noexcept {
    static const char kNames[7][3] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
    if (!text || chars < 2) return -1;
    // ASCII only: the runtime's case mapping costs more than the whole line's parse.
    const wchar_t a = text[0] >= L'a' && text[0] <= L'z' ? text[0] - 32 : text[0];
    const wchar_t b = text[1] >= L'a' && text[1] <= L'z' ? text[1] - 32 : text[1];
    for (int i = 0; i < 7; ++i)
        if (a == kNames[i][0] && b == kNames[i][1]) return i;
    return -1;
}

Date LineDate(const Date& fileDate, int weekday) noexcept {
    if (!fileDate.known() || weekday < 0) return fileDate;
    // The row is stamped before the writer picks the file; a row of 23:59:59,99 may be
    // written after midnight, into the next day's file.
    if (weekday == (WeekdayOf(fileDate) + 6) % 7) return AddDays(fileDate, -1);
    return fileDate;
}

DayFile DayFileOf(const std::wstring& path) {
    DayFile f;
    f.path = path;
    const size_t slash = path.find_last_of(L"\\/");
    DateFromDailyName(path.c_str() + (slash == std::wstring::npos ? 0 : slash + 1), &f.date);
    return f;
}

bool ListDayFiles(const std::wstring& dir, std::vector<DayFile>* out, DWORD* error) {
    out->clear();
    std::wstring base = dir;
    while (base.size() > 1 && (base.back() == L'\\' || base.back() == L'/') &&
           !(base.size() == 3 && base[1] == L':'))
        base.pop_back();
    const DWORD attributes = ::GetFileAttributesW(base.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (error) *error = attributes == INVALID_FILE_ATTRIBUTES ? ::GetLastError() : ERROR_DIRECTORY;
        return false;
    }
    const std::wstring prefix = base.back() == L'\\' || base.back() == L'/' ? base : base + L"\\";

    WIN32_FIND_DATAW fd;
    UniqueFind find(::FindFirstFileW((prefix + L"*.txt").c_str(), &fd));
    if (!find.valid()) {
        const DWORD e = ::GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_NO_MORE_FILES) return true;
        if (error) *error = e;
        return false;
    }
    bool fallback = false;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        DayFile f;
        if (DateFromDailyName(fd.cFileName, &f.date)) {
            f.path = prefix + fd.cFileName;
            out->push_back(std::move(f));
        } else if (_wcsicmp(fd.cFileName, kFallbackName) == 0) {
            fallback = true;
        }
    } while (::FindNextFileW(find.get(), &fd));
    std::sort(out->begin(), out->end(), [](const DayFile& a, const DayFile& b) {
        if (!(a.date == b.date)) return a.date < b.date;
        return a.path < b.path;
    });
    // Its lines carry no date; they come before every dated day.
    if (fallback) out->insert(out->begin(), DayFile{prefix + kFallbackName, Date{}});
    return true;
}

}  // namespace kv::trc

// History of trace files: deleting expired daily files, reading dates back from file
// names and times from row texts, and creating the directories of a trace file.
#include <limits.h>
#include <stdlib.h>

#include "client/owners.h"
#include "client/region.h"
#include "client/traceapi.h"
#include "server/clock.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"

using namespace kv;

namespace {

constexpr int kPathChars = MAX_PATH + 20;  // FileDir + "\" + a 12-character name
constexpr int kDirPathChars = 1024;        // longest path MakeDirectoryPath works on
constexpr long long kSecondsPerDay = 86400;

bool IsDigit(wchar_t c) noexcept { return c >= L'0' && c <= L'9'; }
bool IsSeparator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }
bool IsDriveSpec(const wchar_t* p) noexcept {
    return ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z')) && p[1] == L':';
}

// The search pattern also meets names it was not meant for ("TS0703.txt", and long
// names whose generated short name fits), so only TS + six digits + ".txt" counts as a
// daily trace file.
bool IsDailyFileName(const wchar_t* name) noexcept {
    if (wcslen(name) != 12) return false;
    if ((name[0] != L'T' && name[0] != L't') || (name[1] != L'S' && name[1] != L's')) return false;
    for (int i = 2; i < 8; ++i)
        if (!IsDigit(name[i])) return false;
    return _wcsicmp(name + 8, L".txt") == 0;
}

size_t SkipComponents(const wchar_t* p, size_t i, int count) noexcept {
    for (int n = 0; n < count; ++n) {
        while (p[i] && !IsSeparator(p[i])) ++i;
        if (p[i]) ++i;
    }
    return i;
}

// Length of the part of a path that names no directory to create: a drive ("C:\"),
// a server share ("\\server\share\"), a device prefix ("\\?\C:\", "\\?\UNC\s\sh\"),
// or the root of the current drive ("\").
size_t RootLength(const wchar_t* p) noexcept {
    if (IsSeparator(p[0]) && IsSeparator(p[1])) {
        if ((p[2] == L'?' || p[2] == L'.') && IsSeparator(p[3])) {
            if (_wcsnicmp(p + 4, L"UNC", 3) == 0 && IsSeparator(p[7])) return SkipComponents(p, 8, 2);
            if (IsDriveSpec(p + 4)) return IsSeparator(p[6]) ? 7 : 6;
            return SkipComponents(p, 4, 1);
        }
        return SkipComponents(p, 2, 2);
    }
    if (IsDriveSpec(p)) return IsSeparator(p[2]) ? 3 : 2;
    if (IsSeparator(p[0])) return 1;
    return 0;
}

}  // namespace

void MakeDirectoryPath(const wchar_t* path) {
    if (!path) return;
    const size_t len = wcslen(path);
    if (len >= kDirPathChars) return;
    wchar_t buf[kDirPathChars];
    wmemcpy(buf, path, len + 1);

    // Each level by its wide name: no code-page conversion may change a character of it.
    for (size_t i = RootLength(buf); i < len; ++i) {
        if (!IsSeparator(buf[i]) || i == 0 || IsSeparator(buf[i - 1])) continue;
        const wchar_t separator = buf[i];
        buf[i] = 0;
        if (::GetFileAttributesW(buf) == INVALID_FILE_ATTRIBUTES) ::CreateDirectoryW(buf, nullptr);
        buf[i] = separator;
    }
}

time_t tracewnd_GetTimeFromName(const wchar_t* name) {
    if (!name || !name[0] || !name[1]) return -1;
    const long number = wcstol(name + 2, nullptr, 10);
    if (number < 1) return -1;
    const long day = number % 100;
    const long month = (number % 10000) / 100;
    long year = number / 10000;
    year += year < 70 ? 2000 : 1900;
    if (day < 1 || month < 1 || year < 0) return -1;

    if (month > 12 || day > 31) return -1;
    // The day's own summer-time rule, so that the end of a winter day is 23:59:59 even
    // when the check runs in summer; a day that does not exist (31 April) is none.
    const SYSTEMTIME end = {static_cast<WORD>(year), static_cast<WORD>(month), 0, static_cast<WORD>(day), 23, 59, 59, 0};
    return ClockLocalToCalendar(end);
}

long tracewnd_GetTimeDiffFromStr(const wchar_t* first, const wchar_t* second) {
    if (!first || !second) return 0;
    const wchar_t* texts[2] = {first, second};
    long long ms[2];
    for (int k = 0; k < 2; ++k) {
        const wchar_t* p = texts[k];
        while (*p && !IsDigit(*p)) ++p;
        if (wcsnlen(p, 11) < 11) return 0;
        ms[k] = wcstol(p, nullptr, 10) * 3600000LL + wcstol(p + 3, nullptr, 10) * 60000LL +
                wcstol(p + 6, nullptr, 10) * 1000LL + wcstol(p + 9, nullptr, 10) * 10LL;
    }
    const long long diff = ms[1] - ms[0];
    if (diff > LONG_MAX) return LONG_MAX;
    if (diff < LONG_MIN) return LONG_MIN;
    return static_cast<long>(diff);
}

void tracewnd_CheckHistDays() {
    const int days = g_settings.HistoryDays;
    if (days <= 0) return;
    SYSTEMTIME local;
    if (!ClockLocalTime(&local)) return;
    const long long now = ClockNow();
    // Up to 32767 days: the limit in seconds does not fit 32 bits.
    const long long limit = days * kSecondsPerDay;

    wchar_t dir[MAX_PATH];
    CopyCut(dir, MAX_PATH, g_settings.FileDir);
    wchar_t func[64];
    FormatCut(func, 64, L"tracewnd_CheckHistDays (%d)", days);
    wchar_t pattern[kPathChars];
    FormatCut(pattern, kPathChars, L"%s\\TS??????.txt", dir);

    WIN32_FIND_DATAW entry;
    UniqueFind find(::FindFirstFileW(pattern, &entry));
    if (!find.valid()) return;
    do {
        if (!IsDailyFileName(entry.cFileName) || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        const time_t endOfDay = tracewnd_GetTimeFromName(entry.cFileName);
        if (endOfDay <= 0 || now - static_cast<long long>(endOfDay) <= limit) continue;

        // Deleted by its full wide name: no command interpreter, no wildcard, no
        // code-page conversion stands between the name and the file.
        wchar_t full[kPathChars];
        FormatCut(full, kPathChars, L"%s\\%s", dir, entry.cFileName);
        if (traceapi_IsEnabled(0, -1)) traceapi_Output1(0, -1, func, L"Delete expired trace file: '%s'", full);
        if (!::DeleteFileW(full)) {
            const DWORD error = ::GetLastError();
            if (traceapi_IsEnabled(0, -1))
                traceapi_Output2(0, -1, func, L"WRN: DeleteFile '%s' failed with: %ld !", full, static_cast<long>(error));
        }
    } while (::FindNextFileW(find.get(), &entry));
}

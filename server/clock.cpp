// Real or test clock.
#include "server/clock.h"

namespace kv {
namespace {
bool g_fixed;
SYSTEMTIME g_fixedTime;
}  // namespace

bool ClockLocalTime(SYSTEMTIME* now) noexcept {
    if (g_fixed) *now = g_fixedTime;
    else ::GetLocalTime(now);
    return true;
}

// The platform's local time takes a process-wide lock (its time zone cache), on which
// intake threads writing line after line queued behind each other. Each thread keeps the
// date it read last with the span of system time in which it holds: up to the next local
// midnight, and at most a second, so that a changed time zone or clock shows at once
// after it.
bool ClockLocalDate(SYSTEMTIME* today) noexcept {
    struct Known {
        ULONGLONG from = 0, until = 0;
        SYSTEMTIME date = {};
    };
    static thread_local Known known;
    constexpr ULONGLONG kSecond = 10000000, kDay = 86400 * kSecond;
    // A fixed clock stands for system time too, so that tests walk the same spans.
    FILETIME ft;
    if (!g_fixed || !::SystemTimeToFileTime(&g_fixedTime, &ft)) ::GetSystemTimeAsFileTime(&ft);
    const ULONGLONG now = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    if (now < known.from || now >= known.until) {
        ClockLocalTime(&known.date);
        const SYSTEMTIME& t = known.date;
        const ULONGLONG intoDay = ((t.wHour * 60ULL + t.wMinute) * 60 + t.wSecond) * kSecond + t.wMilliseconds * 10000ULL;
        known.from = now;
        known.until = now + (kDay - intoDay < kSecond ? kDay - intoDay : kSecond);
    }
    *today = known.date;
    return true;
}

time_t ClockNow() noexcept {
    if (!g_fixed) return time(nullptr);
    struct tm t = {};
    t.tm_year = g_fixedTime.wYear - 1900;
    t.tm_mon = g_fixedTime.wMonth - 1;
    t.tm_mday = g_fixedTime.wDay;
    t.tm_hour = g_fixedTime.wHour;
    t.tm_min = g_fixedTime.wMinute;
    t.tm_sec = g_fixedTime.wSecond;
    t.tm_isdst = -1;
    return mktime(&t);
}

void ClockSetForTesting(const SYSTEMTIME* fixed) noexcept {
    g_fixed = fixed != nullptr;
    if (fixed) g_fixedTime = *fixed;
}

}  // namespace kv

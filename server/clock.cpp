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

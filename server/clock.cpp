// Real, fixed or running test clock.
#include "server/clock.h"

#include <limits.h>
#include <stdio.h>

namespace kv {
namespace {

// The test clock. Set before the threads that read it start (or, in unit tests, while
// they are quiet); read without a lock.
struct TestClock {
    bool on;
    SYSTEMTIME start;
    ULONGLONG startFile;  // start as a file time (local)
    unsigned rate;        // 0: stands still
    LONGLONG origin;      // performance counter at start
    LONGLONG frequency;
};
TestClock g_test;

ULONGLONG Ticks(const FILETIME& ft) noexcept { return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

ULONGLONG ToFile(const SYSTEMTIME& t) noexcept {
    FILETIME ft = {};
    ::SystemTimeToFileTime(&t, &ft);
    return Ticks(ft);
}

// The system time now, as a file time (UTC).
ULONGLONG SystemNow() noexcept {
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    return Ticks(ft);
}

// Seconds since 1970 of a file time (UTC); -1 before.
time_t FileToCalendar(ULONGLONG t) noexcept {
    constexpr ULONGLONG k1970 = 116444736000000000ULL, kSecond = 10000000;
    return t < k1970 ? -1 : static_cast<time_t>((t - k1970) / kSecond);
}

void Set(const SYSTEMTIME* fixed, unsigned rate, LONGLONG origin) noexcept {
    if (!fixed) {
        g_test.on = false;
        return;
    }
    g_test.start = *fixed;
    g_test.startFile = ToFile(*fixed);
    g_test.rate = rate;
    LARGE_INTEGER counter, frequency;
    ::QueryPerformanceCounter(&counter);
    ::QueryPerformanceFrequency(&frequency);
    g_test.origin = origin ? origin : counter.QuadPart;
    g_test.frequency = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
    g_test.on = true;
}

bool ReadEnvironment() noexcept {
#if KV_CLOCK_FROM_ENVIRONMENT
    wchar_t text[96];
    const DWORD n = ::GetEnvironmentVariableW(kSimulatedClockVariable, text, ARRAYSIZE(text));
    SYSTEMTIME start;
    unsigned rate;
    LONGLONG origin;
    if (n > 0 && n < ARRAYSIZE(text) && ParseSimulatedClock(text, &start, &rate, &origin))
        Set(&start, rate, origin);
#endif
    return true;
}

// The environment is read once, before the first reading of the clock.
const TestClock& Test() noexcept {
    static const bool read = ReadEnvironment();
    (void)read;
    return g_test;
}

// The test clock now, as a local file time.
ULONGLONG TestNow(const TestClock& c) noexcept {
    if (!c.rate) return c.startFile;
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    const LONGLONG ticks = counter.QuadPart > c.origin ? counter.QuadPart - c.origin : 0;
    // In two parts, so that days of counter ticks times the rate never overflow.
    const ULONGLONG units = static_cast<ULONGLONG>(ticks / c.frequency) * 10000000ULL +
                            static_cast<ULONGLONG>(ticks % c.frequency) * 10000000ULL / static_cast<ULONGLONG>(c.frequency);
    return c.startFile + units * c.rate;
}

void TestLocalTime(const TestClock& c, SYSTEMTIME* now) noexcept {
    if (!c.rate) {
        *now = c.start;
        return;
    }
    const ULONGLONG t = TestNow(c);
    FILETIME ft = {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    ::FileTimeToSystemTime(&ft, now);
}

}  // namespace

bool ClockLocalTime(SYSTEMTIME* now) noexcept {
    const TestClock& c = Test();
    if (c.on) TestLocalTime(c, now);
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
    // A test clock stands for system time too, so that tests walk the same spans.
    const TestClock& c = Test();
    const ULONGLONG now = c.on ? TestNow(c) : SystemNow();
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
    const TestClock& c = Test();
    if (c.on) {
        SYSTEMTIME now;
        TestLocalTime(c, &now);
        return ClockLocalToCalendar(now);
    }
    return FileToCalendar(SystemNow());
}

// By the platform's zone: the C runtime's mktime reads TZ in a format of its own (a
// zone name such as Europe/Berlin becomes offset 0 with another country's summer time)
// and the clean-up ages came out hours wrong.
time_t ClockLocalToCalendar(const SYSTEMTIME& local) noexcept {
    SYSTEMTIME utc;
    FILETIME ft;
    if (!::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !::SystemTimeToFileTime(&utc, &ft)) return -1;
    return FileToCalendar(Ticks(ft));
}

void ClockSetForTesting(const SYSTEMTIME* fixed, unsigned rate, LONGLONG origin) noexcept {
    Test();  // read first: the environment never overrides a clock a test set
    Set(fixed, rate, origin);
}

// Digits by hand: the C runtimes this library is built with disagree on 64-bit
// conversions.
bool FormatSimulatedClock(wchar_t* out, size_t capacity, const SYSTEMTIME& s, unsigned rate, LONGLONG origin) noexcept {
    wchar_t digits[24];
    size_t n = 0;
    ULONGLONG v = origin < 0 ? 0 : static_cast<ULONGLONG>(origin);
    do digits[n++] = static_cast<wchar_t>(L'0' + v % 10);
    while ((v /= 10) != 0);
    wchar_t head[64];
    const int h = _snwprintf(head, ARRAYSIZE(head), L"%04u-%02u-%02uT%02u:%02u:%02u,%u,", s.wYear, s.wMonth, s.wDay,
                             s.wHour, s.wMinute, s.wSecond, rate);
    if (h <= 0 || static_cast<size_t>(h) + n + 1 > capacity) return false;
    wmemcpy(out, head, static_cast<size_t>(h));
    for (size_t i = 0; i < n; ++i) out[h + i] = digits[n - 1 - i];
    out[h + n] = 0;
    return true;
}

bool ParseSimulatedClock(const wchar_t* text, SYSTEMTIME* start, unsigned* rate, LONGLONG* origin) noexcept {
    if (!text) return false;
    // Nine numbers and the separators between them, each number of its given width (0: any).
    static const wchar_t kSeparators[] = L"--T::,,";
    static const int kWidths[] = {4, 2, 2, 2, 2, 2, 0, 0};
    ULONGLONG numbers[8];
    const wchar_t* p = text;
    for (int i = 0; i < 8; ++i) {
        if (i > 0 && *p++ != kSeparators[i - 1]) return false;
        ULONGLONG v = 0;
        int digits = 0;
        for (; *p >= L'0' && *p <= L'9' && digits < 19; ++p, ++digits) v = v * 10 + static_cast<ULONGLONG>(*p - L'0');
        if (digits == 0 || (kWidths[i] && digits != kWidths[i])) return false;
        numbers[i] = v;
    }
    if (*p || numbers[6] > 1000000 || numbers[7] > static_cast<ULONGLONG>(LLONG_MAX)) return false;
    SYSTEMTIME t = {static_cast<WORD>(numbers[0]), static_cast<WORD>(numbers[1]), 0, static_cast<WORD>(numbers[2]),
                    static_cast<WORD>(numbers[3]), static_cast<WORD>(numbers[4]), static_cast<WORD>(numbers[5]), 0};
    // The day of the week follows from the date; a date that is none is refused.
    FILETIME ft;
    if (!::SystemTimeToFileTime(&t, &ft) || !::FileTimeToSystemTime(&ft, &t)) return false;
    *start = t;
    *rate = static_cast<unsigned>(numbers[6]);
    *origin = static_cast<LONGLONG>(numbers[7]);
    return true;
}

}  // namespace kv

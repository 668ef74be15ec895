// The one place the server reads the clock, so that tests can set date and time
// (midnight, month changes, history ages) and a soak can let a day pass in minutes.
#pragma once

#include <time.h>

#include "client/compat.h"

namespace kv {

// Local date and time now; false when it is not available.
bool ClockLocalTime(SYSTEMTIME* now) noexcept;
// The same for callers that look only at the date (wYear, wMonth, wDay), many times a
// second on several threads; the other fields are those of a moment up to a second ago.
bool ClockLocalDate(SYSTEMTIME* today) noexcept;
// Calendar time (seconds since 1970) of the same clock.
time_t ClockNow() noexcept;
// Calendar time of a local time, by the summer-time rule of its own day; -1 when it is
// no time or before 1970.
time_t ClockLocalToCalendar(const SYSTEMTIME& local) noexcept;

// Tests: a fixed local time (null returns to the real clock). With rate, the clock runs
// from that local time, rate times as fast as the performance counter, which stood at
// origin at that moment (0: now).
void ClockSetForTesting(const SYSTEMTIME* fixed, unsigned rate = 0, LONGLONG origin = 0) noexcept;

// A test host hands the clock to the programs it starts in the environment variable
// KV_SIMULATED_CLOCK, "YYYY-MM-DDThh:mm:ss,rate,origin" (origin a performance counter
// value); every process of the library that reads it runs the same clock. Only a tree
// built with the tests reads it (KV_CLOCK_FROM_ENVIRONMENT): a shipping build has no way
// to leave the real clock.
constexpr wchar_t kSimulatedClockVariable[] = L"KV_SIMULATED_CLOCK";
// The variable's text for this start, rate and origin; false when it does not fit.
bool FormatSimulatedClock(wchar_t* out, size_t capacity, const SYSTEMTIME& start, unsigned rate, LONGLONG origin) noexcept;
// Reads such a text; false when it is not one.
bool ParseSimulatedClock(const wchar_t* text, SYSTEMTIME* start, unsigned* rate, LONGLONG* origin) noexcept;

}  // namespace kv

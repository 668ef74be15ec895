// The one place the server reads the clock, so that tests can set date and time
// (midnight, month changes, history ages).
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

// Tests: a fixed local time (null returns to the real clock).
void ClockSetForTesting(const SYSTEMTIME* fixed) noexcept;

}  // namespace kv

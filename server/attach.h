// Joins the server core to the client interface once the trace window's controls exist:
// from then on output and registration in this process reach the intake and the
// application list directly.
#pragma once

namespace kv {

// Uses the controls named in Server(); the main list must exist.
void AttachServerWindow() noexcept;
void DetachServerWindow() noexcept;

}  // namespace kv

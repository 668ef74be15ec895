// The seam between the client interface and a trace window that runs in the same
// process. While a trace window's main list lives in this process, output and
// registration hand their work straight to the window's intake instead of sending
// window messages to themselves.
#pragma once

#include "client/compat.h"

namespace kv {

struct TraceWindowSink {
    // The message intake: stores its own copy of the texts.
    void (*addMessage)(short handle, const wchar_t* func, const wchar_t* text, short level);
    void (*addApplication)(short handle);
    void (*removeApplication)(short handle);
};

// Called by the trace window when its main list view exists / is about to go.
void AttachTraceWindow(HWND mainList, const TraceWindowSink* sink) noexcept;
void DetachTraceWindow() noexcept;

// The sink of the trace window in this process, or null.
const TraceWindowSink* LocalTraceSink() noexcept;

}  // namespace kv

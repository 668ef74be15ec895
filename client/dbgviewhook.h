// The debug-viewer hook procedure. The exported install and uninstall are declared in
// client/traceapi.h.
#pragma once

#include "client/compat.h"

namespace kv {

// Hook procedure of the kind that runs after a window procedure has returned
// (WH_CALLWNDPROCRET), installed for the whole desktop. Runs in every process whose
// windows are called; always hands the call on to the next hook.
LRESULT CALLBACK DbgViewHookProc(int code, WPARAM wParam, LPARAM lParam) noexcept;

// The road of a viewer's line once the hook has taken it: queued for the library's
// sender thread of this process, which hands the lines to the trace window in order, as
// messages of the thread that queued them. A full queue holds the caller (serving sends)
// until there is room; a line whose viewer's application ended meanwhile is dropped and
// counted as not delivered. DrainViewerLines waits, serving sends, until every queued line
// has been handed on (bounded).
void QueueViewerLine(short handle, const wchar_t* text) noexcept;
void DrainViewerLines() noexcept;

}  // namespace kv

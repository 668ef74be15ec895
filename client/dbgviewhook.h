// The debug-viewer hook procedure. The exported install and uninstall are declared in
// client/traceapi.h.
#pragma once

#include "client/compat.h"

namespace kv {

// Hook procedure of the kind that runs after a window procedure has returned
// (WH_CALLWNDPROCRET), installed for the whole desktop. Runs in every process whose
// windows are called; always hands the call on to the next hook.
LRESULT CALLBACK DbgViewHookProc(int code, WPARAM wParam, LPARAM lParam) noexcept;

}  // namespace kv

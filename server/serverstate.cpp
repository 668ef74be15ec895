// Per-process server state.
#include "server/serverstate.h"

#include "client/owners.h"
#include "client/sendpath.h"

namespace kv {
namespace {
ServerState g_state;
WindowSeams g_seams;
StaticCriticalSection g_listLock;
}  // namespace

ServerState& Server() noexcept { return g_state; }
WindowSeams& Seams() noexcept { return g_seams; }

CRITICAL_SECTION& ListLockSection() noexcept { return g_listLock.get(); }

void SetWindowThread(DWORD threadId) noexcept { SetTraceWindowThread(threadId); }

bool IsWindowThread() noexcept {
    if (OnTraceWindowThread()) return true;
    HWND view = g_state.mainList;
    return view && ::GetWindowThreadProcessId(view, nullptr) == ::GetCurrentThreadId();
}

void EnterListLock() noexcept {
    CRITICAL_SECTION& cs = ListLockSection();
    if (::TryEnterCriticalSection(&cs)) return;
    // Window thread: a holder on another thread may be waiting for us to answer a send.
    if (IsWindowThread())
        EnterServingSent(cs);
    else
        ::EnterCriticalSection(&cs);
}

}  // namespace kv

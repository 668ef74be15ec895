// Per-process server state.
#include "server/serverstate.h"

#include "client/owners.h"

namespace kv {
namespace {
ServerState g_state;
WindowSeams g_seams;
StaticCriticalSection g_listLock;
}  // namespace

ServerState& Server() noexcept { return g_state; }
WindowSeams& Seams() noexcept { return g_seams; }

CRITICAL_SECTION& ListLockSection() noexcept { return g_listLock.get(); }

void EnterListLock() noexcept {
    CRITICAL_SECTION& cs = ListLockSection();
    if (::TryEnterCriticalSection(&cs)) return;
    HWND view = g_state.mainList;
    if (!view || ::GetWindowThreadProcessId(view, nullptr) != ::GetCurrentThreadId()) {
        ::EnterCriticalSection(&cs);
        return;
    }
    // Window thread: a holder on another thread may be waiting for us to answer a send.
    while (!::TryEnterCriticalSection(&cs)) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_SENDMESSAGE);
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace kv

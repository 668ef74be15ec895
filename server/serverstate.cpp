// Per-process server state.
#include "server/serverstate.h"

#include "client/owners.h"
#include "client/sendpath.h"

namespace kv {
namespace {
ServerState g_state;
WindowSeams g_seams;
StaticCriticalSection g_listLock;
volatile LONG g_windowWaiting;  // the window thread waits for the list lock
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

ServerSection::ServerSection(CRITICAL_SECTION& cs) noexcept : cs_(cs) {
    if (::TryEnterCriticalSection(&cs)) return;
    // Window thread: a holder on another thread may be waiting for us to answer a send.
    if (IsWindowThread())
        EnterServingSent(cs);
    else
        ::EnterCriticalSection(&cs);
}

void EnterListLock() noexcept {
    CRITICAL_SECTION& cs = ListLockSection();
    if (!IsWindowThread()) {
        // A critical section is not fair: threads that file rows in a tight loop take it
        // again and again while the window thread waits for it, and the window then
        // stands still for as long as they keep filing. They step back (for a bounded
        // time) while the window thread waits, unless they hold the lock already.
        const bool holding = cs.OwningThread == reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(::GetCurrentThreadId()));
        for (int waited = 0; !holding && g_windowWaiting && waited < 50; ++waited) ::Sleep(1);
        ::EnterCriticalSection(&cs);
        return;
    }
    if (::TryEnterCriticalSection(&cs)) return;
    // Window thread: a holder on another thread may be waiting for us to answer a send.
    ::InterlockedIncrement(&g_windowWaiting);
    EnterServingSent(cs);
    ::InterlockedDecrement(&g_windowWaiting);
}

}  // namespace kv

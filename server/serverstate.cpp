// Per-process server state.
#include "server/serverstate.h"

#include "client/sendpath.h"

namespace kv {
namespace {
ServerState g_state;
WindowSeams g_seams;

// The list lock keeps its own owner and waiter state: the other threads' step-back must
// know whether they hold the lock already (a holder that stepped back for a waiter would
// wait for itself), and a critical section does not say so. Owner and depth are written
// by the holder only: a thread finds its own id in g_listOwner exactly while it holds
// the lock, whoever else reads at the same moment.
RankedSection g_listLock{LockRank::kList};
volatile DWORD g_listOwner;
LONG g_listDepth;
volatile LONG g_windowWaiting;  // the window thread waits for the list lock

// The longest a thread steps back for the waiting window thread, in 1 ms steps.
constexpr int kStepBackMs = 50;
// Tries of a short-hold lock, one processor pause apart, before a thread sleeps for it:
// longer than a line's copy and most flushes of the writer's buffer.
constexpr int kShortHoldSpins = 1024;
}  // namespace

ServerState& Server() noexcept { return g_state; }
WindowSeams& Seams() noexcept { return g_seams; }

void SetWindowThread(DWORD threadId) noexcept { SetTraceWindowThread(threadId); }

bool IsWindowThread() noexcept {
    if (OnTraceWindowThread()) return true;
    HWND view = g_state.mainList;
    return view && ::GetWindowThreadProcessId(view, nullptr) == ::GetCurrentThreadId();
}

ServerSection::ServerSection(RankedSection& section) noexcept : section_(section) {
    if (section.TryEnter()) return;
    // Window thread: a holder on another thread may be waiting for us to answer a send.
    if (IsWindowThread())
        section.EnterServingSent();
    else
        section.Enter();
}

ServerExclusive::ServerExclusive(RankedSrwLock& lock) noexcept : lock_(lock) {
    if (lock.TryLockExclusive()) return;
    if (IsWindowThread()) {
        lock.LockExclusiveServingSent();
        return;
    }
    for (int tries = 0; tries < kShortHoldSpins; ++tries) {
        YieldProcessor();
        if (lock.TryLockExclusive()) return;
    }
    lock.LockExclusive();
}

void EnterListLock() noexcept {
    const DWORD me = ::GetCurrentThreadId();
    if (g_listOwner == me) {
        g_listLock.Enter();  // at once: it is ours
    } else if (!IsWindowThread()) {
        // A critical section is not fair: threads that file rows in a tight loop take it
        // again and again while the window thread waits for it, and the window then
        // stands still for as long as they keep filing. They step back (for a bounded
        // time) while the window thread waits.
        for (int waited = 0; g_windowWaiting && waited < kStepBackMs; ++waited) ::Sleep(1);
        g_listLock.Enter();
    } else if (!g_listLock.TryEnter()) {
        // Window thread: a holder on another thread may be waiting for us to answer a send.
        ::InterlockedIncrement(&g_windowWaiting);
        g_listLock.EnterServingSent();
        ::InterlockedDecrement(&g_windowWaiting);
    }
    g_listOwner = me;
    ++g_listDepth;
}

void LeaveListLock() noexcept {
    if (--g_listDepth == 0) g_listOwner = 0;
    g_listLock.Leave();
}

DWORD ListLockOwner() noexcept { return g_listOwner; }

}  // namespace kv

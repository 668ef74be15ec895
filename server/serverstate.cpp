// Per-process server state.
#include "server/serverstate.h"

#include "client/sendpath.h"

namespace kv {
namespace {
ServerState g_state;
WindowSeams g_seams;

// The list lock keeps its own owner and waiter state: the other threads' step-back must
// know whether they hold the lock already (a holder that stepped back for a waiter would
// wait for itself), and a critical section does not say so.
struct ListLockState {
    RankedSection section{LockRank::kList};
    // The holder's id and entries, written by the holder only: a thread finds its own id
    // here exactly while it holds the lock, whoever else reads at the same moment.
    volatile DWORD owner = 0;
    LONG depth = 0;
    volatile LONG windowWaiting = 0;  // the window thread waits for the lock
};
ListLockState g_list;

// The longest a thread steps back for the waiting window thread, in 1 ms steps.
constexpr int kStepBackMs = 50;
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

void EnterListLock() noexcept {
    const DWORD me = ::GetCurrentThreadId();
    if (g_list.owner == me) {
        g_list.section.Enter();  // at once: it is ours
    } else if (!IsWindowThread()) {
        // A critical section is not fair: threads that file rows in a tight loop take it
        // again and again while the window thread waits for it, and the window then
        // stands still for as long as they keep filing. They step back (for a bounded
        // time) while the window thread waits.
        for (int waited = 0; g_list.windowWaiting && waited < kStepBackMs; ++waited) ::Sleep(1);
        g_list.section.Enter();
    } else if (!g_list.section.TryEnter()) {
        // Window thread: a holder on another thread may be waiting for us to answer a send.
        ::InterlockedIncrement(&g_list.windowWaiting);
        g_list.section.EnterServingSent();
        ::InterlockedDecrement(&g_list.windowWaiting);
    }
    g_list.owner = me;
    ++g_list.depth;
}

void LeaveListLock() noexcept {
    if (--g_list.depth == 0) g_list.owner = 0;
    g_list.section.Leave();
}

DWORD ListLockOwner() noexcept { return g_list.owner; }

}  // namespace kv

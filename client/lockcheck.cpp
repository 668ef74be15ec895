// The lock-order checker of client/locks.h: the locks each thread holds, checked at every
// acquisition and every send to another thread. Built in where KV_LOCK_CHECK is set.
#include "client/locks.h"

#include <stdio.h>
#include <string.h>

namespace kv {

#if defined(KV_LOCK_CHECK) && KV_LOCK_CHECK

namespace {

// Deeper than any path of the system goes: a re-entrant lock taken again counts once more.
constexpr int kMaxHeld = 32;

struct HeldLock {
    const void* lock;
    LockRank rank;
};
struct HeldLocks {
    int depth;
    HeldLock held[kMaxHeld];
};

// The calling thread's locks. The checker runs at every acquisition of every test run, so
// it reads a slot of the thread's own storage and nothing more (with this tool chain the
// compiler's thread_local goes through a library lookup on every access). The record of a
// thread stays when the thread ends: a few hundred bytes, in test builds only. The
// caller's last error is kept, since a lock may be taken between a failed call and the
// reading of its error. Without a slot or a record, the thread goes unchecked.
HeldLocks* Held() noexcept {
    static const DWORD slot = ::TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES) return nullptr;
    const DWORD error = ::GetLastError();
    auto* held = static_cast<HeldLocks*>(::TlsGetValue(slot));
    if (!held) {
        held = static_cast<HeldLocks*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(HeldLocks)));
        if (held && !::TlsSetValue(slot, held)) {
            ::HeapFree(::GetProcessHeap(), 0, held);
            held = nullptr;
        }
    }
    ::SetLastError(error);
    return held;
}

volatile LockReportFn g_report;

void Report(const char* text) noexcept {
    if (LockReportFn report = g_report) {
        report(text);
        return;
    }
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    ::OutputDebugStringA(text);
    // A broken order is a deadlock that has not happened yet: the run must fail here,
    // wherever the thread is, and not only when the second thread comes along.
    ::TerminateProcess(::GetCurrentProcess(), kLockViolationExitCode);
}

void ReportPair(const char* what, LockRank taking, LockRank holding) noexcept {
    char text[256];
    snprintf(text, sizeof(text),
             "lock order violated on thread %lu: %s the %s (rank %d) while holding the %s (rank %d)\n",
             static_cast<unsigned long>(::GetCurrentThreadId()), what, ContractOf(taking).name,
             static_cast<int>(taking), ContractOf(holding).name, static_cast<int>(holding));
    Report(text);
}

}  // namespace

void* LockTaking(LockRank rank, const void* lock) noexcept {
    HeldLocks* held = Held();
    if (!held) return nullptr;
    const HeldLocks& t = *held;
    const HeldLock* highest = nullptr;
    bool again = false;
    for (int i = 0; i < t.depth; ++i) {
        const HeldLock& h = t.held[i];
        if (h.lock == lock) again = true;
        if (!highest || h.rank > highest->rank) highest = &h;
    }
    if (again) {
        if (!ContractOf(rank).reentrant) ReportPair("taking again", rank, rank);
    } else if (highest && rank <= highest->rank) {
        ReportPair("taking", rank, highest->rank);
    }
    return held;
}

void LockTaken(void* record, LockRank rank, const void* lock) noexcept {
    if (!record) return;
    HeldLocks& t = *static_cast<HeldLocks*>(record);
    if (t.depth == kMaxHeld) {
        ReportPair("taking one lock too many with", rank, t.held[t.depth - 1].rank);
        return;
    }
    t.held[t.depth++] = {lock, rank};
}

void LockDropped(const void* lock) noexcept {
    HeldLocks* held = Held();
    if (!held) return;
    HeldLocks& t = *held;
    for (int i = t.depth - 1; i >= 0; --i) {
        if (t.held[i].lock != lock) continue;
        memmove(&t.held[i], &t.held[i + 1], static_cast<size_t>(t.depth - i - 1) * sizeof(HeldLock));
        --t.depth;
        return;
    }
}

void LockCheckSend() noexcept {
    const HeldLocks* held = Held();
    for (int i = 0; held && i < held->depth; ++i) {
        const LockRank rank = held->held[i].rank;
        if (ContractOf(rank).heldAcrossSends) continue;
        char text[256];
        snprintf(text, sizeof(text),
                 "lock order violated on thread %lu: sending to another thread while holding the %s (rank %d)\n",
                 static_cast<unsigned long>(::GetCurrentThreadId()), ContractOf(rank).name, static_cast<int>(rank));
        Report(text);
        return;
    }
}

void LockCheckSendTo(HWND window) noexcept {
    // The window's thread is asked only under a lock that no send may be held across: the
    // question costs a round trip to the window system under Wine, on every line.
    const HeldLocks* held = Held();
    bool forbidden = false;
    for (int i = 0; held && i < held->depth && !forbidden; ++i) forbidden = !ContractOf(held->held[i].rank).heldAcrossSends;
    if (forbidden && window && ::GetWindowThreadProcessId(window, nullptr) != ::GetCurrentThreadId()) LockCheckSend();
}

void SetLockReportForTesting(LockReportFn fn) noexcept { g_report = fn; }

#else

void SetLockReportForTesting(LockReportFn) noexcept {}

#endif

}  // namespace kv

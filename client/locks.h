// Every lock and mutex of the system, in the one order in which a thread may take them,
// and the primitives every one of them is built from. A lock is added here first: the
// primitives take nothing but a rank of this table.
//
// A thread takes locks in rising rank: while it holds a lock it may wait only for one of
// a higher rank, or take again one it holds where the lock allows that. A wait the other
// way round is half of a deadlock. A send counts as a wait: a thread that sends to
// another thread waits for it, and that thread may be waiting for the lock the sender
// holds. Hence the trace window's thread serves the messages sent to it while it waits
// for any lock that other threads hold across a send to it.
//
//  1 slot mutex, the named mutex "traceapi_dll_curdatamutex" (SlotLock, client/sendpath.h)
//    Guards the current message slot. Every sender of every process holds it for one
//    message and across its bounded sends to the trace window and the notification window.
//    Never: taken again by its holder (a trace made inside the handler of its own send is
//    refused and counted as not delivered). Every waiter serves sends.
//  2 trigger lock (TriggerSection, server/trigger.cpp)
//    Guards the claims of the trigger's stop actions; taken by intake threads and the
//    window thread on a hit. Never: a line or a send under it (a line may take the slot
//    mutex). The window thread's wait serves sends.
//  3 data mutex, the named mutex "traceapi_dll_datamutex" (DataLock, client/sendpath.h)
//    Guards the application table, the switches, the server window field, the current
//    profile and the level keys of the settings file; taken by every process. Never: the
//    slot mutex or a send to another thread under it. Re-entrant. The window thread waits
//    30 ms plainly, then serving sends.
//  4 list lock (ListLock, server/serverstate.h)
//    Guards the rows of both lists, the list views and the application list; taken by
//    intake threads, which send to the window thread while they hold it, and by the
//    window thread. Re-entrant. The window thread tries, then waits serving sends; the
//    other threads step back while it waits.
//  5 store lock (StoreLock, server/rowstore.cpp)
//    Guards the store table, the pointer arrays and the rows' fields; every row store
//    operation, any thread. Never: a send or any other wait for a window (timers and posts
//    only). Re-entrant (the sort's comparison reads the sort column). Plain waits.
//  6 filter tables lock, shared and exclusive (g_tablesLock, server/filters.cpp)
//    Guards the five sub-string tables: intake copies one out shared, the window thread
//    publishes a rebuilt set exclusively. Never: anything else under it; not re-entrant.
//    Plain waits.
//  7 writer lock (WriterSection, server/tracefile.cpp)
//    Guards the trace file's name and stream; intake threads and the window thread. Never:
//    a call into the window (seams, sends). The window thread's wait serves sends.
//  8 box lock (BoxLock, server/rowstore.cpp)
//    Guards the pending out-of-memory box; a failing allocation (under the store lock) and
//    the box thread. Nothing under it. Plain waits.
//  9 capture lock (DebugCapture::lock_, tools/dbgview/capture.h)
//    Guards DbgView's captured lines; its capture thread and its window thread. Never: a
//    send (the window is told by a post). Plain waits.
// 10 line windows lock (LineWindows::lock_, tracefiles/tracefile.cpp)
//    Guards a trace file reader's cached windows of file content; the reader's threads
//    (viewer and follower). Only file reads under it. Plain waits.
// 11 hook queue lock (LineQueue::lock_, client/dbgviewhook.cpp)
//    Guards the debug viewer's lines on their way to the trace window, in the viewer's
//    process; the viewer's threads (inside the hook) and the library's sender thread.
//    Never: a send or a line under it (the sender hands lines on after leaving it). Plain
//    waits.
// 12 recorder lock (a RankedSection of the tests)
//    Guards what a test's fake records. Nothing under it. Plain waits.
//
// In builds with KV_LOCK_CHECK (on by default in every tree that builds the tests, off
// in a shipping build) each thread keeps the locks it holds, and a wait against this
// order, a nested take of a lock that is not re-entrant or a send to another thread under
// a lock that must not be held across one is reported with both names and the thread; the
// report ends the process with kLockViolationExitCode. A lock counts as held once its
// wait has returned: what a wait that serves sends runs meanwhile runs under the locks
// held before it, not under the one waited for. Every send that may reach another
// thread goes through SendChecked or SendCheckedTimeout.
#pragma once

#include "client/compat.h"

namespace kv {

enum class LockRank : unsigned char {
    kSlot = 1,
    kTrigger,
    kData,
    kList,
    kStore,
    kFilterTables,
    kWriter,
    kAllocBox,
    kCapture,
    kLineWindows,
    kHookQueue,
    kRecorder,
};

struct LockContract {
    LockRank rank;
    const char* name;
    bool reentrant;        // its holder may take it again
    bool heldAcrossSends;  // may stay held while its holder sends to another thread
};

inline constexpr LockContract kLockContract[] = {
    {LockRank::kSlot, "slot mutex", false, true},
    {LockRank::kTrigger, "trigger lock", true, false},
    {LockRank::kData, "data mutex", true, false},
    {LockRank::kList, "list lock", true, true},
    {LockRank::kStore, "store lock", true, false},
    {LockRank::kFilterTables, "filter tables lock", false, false},
    {LockRank::kWriter, "writer lock", false, false},
    {LockRank::kAllocBox, "box lock", true, false},
    {LockRank::kCapture, "capture lock", true, false},
    {LockRank::kLineWindows, "line windows lock", true, false},
    {LockRank::kHookQueue, "hook queue lock", false, false},
    {LockRank::kRecorder, "recorder lock", true, true},
};

constexpr bool ContractCoversEveryRank() {
    for (size_t i = 0; i < sizeof(kLockContract) / sizeof(kLockContract[0]); ++i)
        if (static_cast<size_t>(kLockContract[i].rank) != i + 1) return false;
    return static_cast<size_t>(LockRank::kRecorder) == sizeof(kLockContract) / sizeof(kLockContract[0]);
}
static_assert(ContractCoversEveryRank(), "every rank has its row, in rank order");

constexpr const LockContract& ContractOf(LockRank rank) { return kLockContract[static_cast<size_t>(rank) - 1]; }

// Exit code of a process that broke the order (check builds).
constexpr UINT kLockViolationExitCode = 0x10CC;

#if defined(KV_LOCK_CHECK) && KV_LOCK_CHECK
// Before a wait for lock (or a try): checks it against the locks this thread holds, and
// returns the thread's record for LockTaken (null: the thread goes unchecked).
void* LockTaking(LockRank rank, const void* lock) noexcept;
// Once the wait returned with the lock: counts it as held until LockDropped.
void LockTaken(void* record, LockRank rank, const void* lock) noexcept;
void LockDropped(const void* lock) noexcept;
// Before a send to a window of another thread or process.
void LockCheckSend() noexcept;
// Before a send to window: checked when the window belongs to another thread.
void LockCheckSendTo(HWND window) noexcept;
#else
inline void* LockTaking(LockRank, const void*) noexcept { return nullptr; }
inline void LockTaken(void*, LockRank, const void*) noexcept {}
inline void LockDropped(const void*) noexcept {}
inline void LockCheckSend() noexcept {}
inline void LockCheckSendTo(HWND) noexcept {}
#endif

// Sends to window, which may belong to another thread: a send to another thread waits for
// it, and is checked as a wait.
inline LRESULT SendChecked(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) noexcept {
    LockCheckSendTo(window);
    return ::SendMessageW(window, msg, wParam, lParam);
}
// The same, waiting at most timeoutMs for the answer (SendMessageTimeoutW's flags and
// result); false when it did not come.
inline bool SendCheckedTimeout(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                               DWORD_PTR* result) noexcept {
    LockCheckSendTo(window);
    return ::SendMessageTimeoutW(window, msg, wParam, lParam, flags, timeoutMs, result) != 0;
}

// Tests: a violation is handed to fn as its report instead of ending the process (null
// restores that). Does nothing where the checker is not built in.
typedef void (*LockReportFn)(const char* report);
void SetLockReportForTesting(LockReportFn fn) noexcept;

// Waits for a critical section, serving the messages other threads send to this one.
void EnterServingSent(CRITICAL_SECTION& cs) noexcept;
void EnterServingSent(SRWLOCK& srw) noexcept;

// Waits for a mutex. A mutex whose owner ended without releasing it (WAIT_ABANDONED) is
// ours all the same: a crashed process must not stall the others. When serveSent is given
// and says so once the mutex turns out to be busy, messages sent to this thread by other
// threads are served while it waits (after a first plain wait of a few milliseconds), so
// that a holder waiting for this thread to answer a send is never waited for in turn.
// True when the mutex is owned.
bool AcquireMutex(HANDLE mutex, bool (*serveSent)() = nullptr) noexcept;

// A critical section of one rank. Of static storage (or living as long as every thread
// that uses it), it initialises itself on first use, so that it serves whatever thread
// gets there first, before or without any start-up call; it is never deleted.
class RankedSection {
public:
    explicit constexpr RankedSection(LockRank rank) noexcept : rank_(rank) {}
    RankedSection(const RankedSection&) = delete;
    RankedSection& operator=(const RankedSection&) = delete;

    void Enter() noexcept {
        void* const record = LockTaking(rank_, this);
        ::EnterCriticalSection(&cs());
        LockTaken(record, rank_, this);
    }
    // For a thread that may be sent to while it waits (the trace window's thread).
    void EnterServingSent() noexcept {
        void* const record = LockTaking(rank_, this);
        kv::EnterServingSent(cs());
        LockTaken(record, rank_, this);
    }
    bool TryEnter() noexcept {
        void* const record = LockTaking(rank_, this);
        if (!::TryEnterCriticalSection(&cs())) return false;
        LockTaken(record, rank_, this);
        return true;
    }
    void Leave() noexcept {
        LockDropped(this);
        ::LeaveCriticalSection(&cs());
    }

private:
    CRITICAL_SECTION& cs() noexcept {
        ::InitOnceExecuteOnce(&once_, &Init, &cs_, nullptr);
        return cs_;
    }
    static BOOL CALLBACK Init(PINIT_ONCE, PVOID cs, PVOID*) {
        ::InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
        return TRUE;
    }
    INIT_ONCE once_ = INIT_ONCE_STATIC_INIT;
    CRITICAL_SECTION cs_ = {};
    const LockRank rank_;
};

// Holds a ranked section for a scope, waiting plainly.
class SectionLock {
public:
    explicit SectionLock(RankedSection& section) noexcept : section_(section) { section_.Enter(); }
    SectionLock(const SectionLock&) = delete;
    SectionLock& operator=(const SectionLock&) = delete;
    ~SectionLock() { section_.Leave(); }
private:
    RankedSection& section_;
};

// A shared/exclusive lock of one rank (never re-entrant).
class RankedSrwLock {
public:
    explicit constexpr RankedSrwLock(LockRank rank) noexcept : rank_(rank) {}
    RankedSrwLock(const RankedSrwLock&) = delete;
    RankedSrwLock& operator=(const RankedSrwLock&) = delete;
    void LockShared() noexcept {
        void* const record = LockTaking(rank_, this);
        ::AcquireSRWLockShared(&srw_);
        LockTaken(record, rank_, this);
    }
    void UnlockShared() noexcept { LockDropped(this); ::ReleaseSRWLockShared(&srw_); }
    void LockExclusive() noexcept {
        void* const record = LockTaking(rank_, this);
        ::AcquireSRWLockExclusive(&srw_);
        LockTaken(record, rank_, this);
    }
    void LockExclusiveServingSent() noexcept {
        void* const record = LockTaking(rank_, this);
        kv::EnterServingSent(srw_);
        LockTaken(record, rank_, this);
    }
    bool TryLockExclusive() noexcept {
        void* const record = LockTaking(rank_, this);
        if (!::TryAcquireSRWLockExclusive(&srw_)) return false;
        LockTaken(record, rank_, this);
        return true;
    }
    void UnlockExclusive() noexcept { LockDropped(this); ::ReleaseSRWLockExclusive(&srw_); }
private:
    SRWLOCK srw_ = SRWLOCK_INIT;
    const LockRank rank_;
};

// Owns one acquisition of a mutex of one rank (see AcquireMutex). A null mutex is never
// owned: callers that must not touch shared state without it check owned().
class RankedMutexLock {
public:
    RankedMutexLock(HANDLE mutex, LockRank rank, bool (*serveSent)() = nullptr) noexcept : m_(mutex) {
        if (!m_) return;
        void* const record = LockTaking(rank, m_);
        owned_ = AcquireMutex(m_, serveSent);
        if (owned_) LockTaken(record, rank, m_);
    }
    // A plain wait of at most timeoutMs.
    RankedMutexLock(HANDLE mutex, LockRank rank, DWORD timeoutMs) noexcept : m_(mutex) {
        if (!m_) return;
        void* const record = LockTaking(rank, m_);
        const DWORD r = ::WaitForSingleObject(m_, timeoutMs);
        owned_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
        if (owned_) LockTaken(record, rank, m_);
    }
    RankedMutexLock(const RankedMutexLock&) = delete;
    RankedMutexLock& operator=(const RankedMutexLock&) = delete;
    ~RankedMutexLock() { unlock(); }
    bool owned() const noexcept { return owned_; }
    void unlock() noexcept {
        if (!owned_) return;
        owned_ = false;
        LockDropped(m_);
        ::ReleaseMutex(m_);
    }
private:
    HANDLE m_;
    bool owned_ = false;
};

}  // namespace kv

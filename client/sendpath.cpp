// Waits that serve sent messages, the slot mutex with its refusal of a notification
// handler's nested trace, bounded sends and the count of undelivered messages.
#include "client/sendpath.h"

#include "client/region.h"

namespace kv {

namespace {

// Who holds the slot and which thread it is sending to right now; thread ids are unique
// across processes, so the pair is shared by all of them.
struct SendState {
    volatile LONG holderThread;
    volatile LONG targetThread;
    volatile LONG undelivered;
};
KV_SHARED_SECTION_BEGIN
KV_SHARED SendState g_send = {0, 0, 0};
KV_SHARED_SECTION_END

DWORD g_sendTimeout = kSendTimeoutMs;
constexpr DWORD kPlainWaitMs = 30;
volatile LONG g_windowThread;
volatile LONG g_busyStart;  // this process's start gave up waiting for the data mutex

// The thread that owns window. The last answer is kept, since the server window stays
// the same for many sends; only holders of the slot mutex ask, one at a time.
DWORD ThreadOfWindow(HWND window) noexcept {
    static HWND s_window;
    static DWORD s_thread;
    if (s_window != window || !s_thread) {
        s_thread = ::GetWindowThreadProcessId(window, nullptr);
        s_window = window;
    }
    return s_thread;
}

void ServePendingSends() noexcept {
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

bool Acquired(DWORD r) noexcept { return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED_0; }

bool ServeAlways() noexcept { return true; }

}  // namespace

bool AcquireMutex(HANDLE mutex, bool (*serveSent)()) noexcept {
    if (!serveSent) return Acquired(::WaitForSingleObject(mutex, INFINITE));
    // Most waits end within a send or two of the holder, and a plain wait costs the
    // system far less than one that watches the message queue: only a longer wait, and
    // only where serveSent says so, serves sends.
    DWORD r = ::WaitForSingleObject(mutex, kPlainWaitMs);
    if (Acquired(r)) return true;
    if (r != WAIT_TIMEOUT) return false;
    if (!serveSent()) return Acquired(::WaitForSingleObject(mutex, INFINITE));
    for (;;) {
        r = ::MsgWaitForMultipleObjectsEx(1, &mutex, INFINITE, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (Acquired(r)) return true;
        if (r != WAIT_OBJECT_0 + 1) return false;
        ServePendingSends();
    }
}

void EnterServingSent(CRITICAL_SECTION& cs) noexcept {
    while (!::TryEnterCriticalSection(&cs)) {
        ::MsgWaitForMultipleObjectsEx(0, nullptr, 1, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        ServePendingSends();
    }
}

void EnterServingSent(SRWLOCK& srw) noexcept {
    while (!::TryAcquireSRWLockExclusive(&srw)) {
        ::MsgWaitForMultipleObjectsEx(0, nullptr, 1, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        ServePendingSends();
    }
}

SlotLock::SlotLock() noexcept {
    HANDLE mutex = g_proc.curDataMutex;
    if (!mutex) return;  // fail closed: nothing touches the slot without its mutex
    const LONG me = static_cast<LONG>(::GetCurrentThreadId());
    const LONG target = g_send.targetThread;
    if ((target == me && ::InSendMessage()) || (target != 0 && g_send.holderThread == me)) {
        // A trace made inside the handler of a send of the slot: a holder waits for this
        // very thread to answer (or this thread is the holder), so the slot is not free.
        CountUndelivered();
        return;
    }
    void* const record = LockTaking(LockRank::kSlot, mutex);
    owned_ = AcquireMutex(mutex, &ServeAlways);
    if (!owned_) return;
    LockTaken(record, LockRank::kSlot, mutex);
    // A holder that ended inside a send may have left its target behind.
    g_send.holderThread = me;
    g_send.targetThread = 0;
}

SlotLock::~SlotLock() {
    if (!owned_) return;
    g_send.targetThread = 0;
    g_send.holderThread = 0;
    LockDropped(g_proc.curDataMutex);
    ::ReleaseMutex(g_proc.curDataMutex);
}

bool SendBounded(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, DWORD_PTR* answer, long lost) noexcept {
    if (!window) return false;
    g_send.targetThread = static_cast<LONG>(ThreadOfWindow(window));
    DWORD_PTR result = 0;
    const bool ok = SendCheckedTimeout(window, msg, wParam, lParam, SMTO_NORMAL | SMTO_ABORTIFHUNG, g_sendTimeout, &result);
    g_send.targetThread = 0;
    if (answer) *answer = ok ? result : 0;
    if (ok) return true;
    // A window that is gone loses the message as before; one that did not answer counts.
    if (::IsWindow(window)) ::InterlockedExchangeAdd(&g_send.undelivered, lost);
    return false;
}

void ReportUndelivered(HWND server) noexcept {
    auto report = [server](const wchar_t* func) {
        CopyCut(g_region.curFunc, kFuncMaxChars + 1, func);
        g_region.curHandle = 0;
        g_region.curLevel = 0;
        g_region.curThreadId = ::GetCurrentThreadId();
        SendBounded(server, WM_TRACE_OUTPUT, 0, 0);
    };
    if (g_send.undelivered != 0) {
        const LONG n = ::InterlockedExchange(&g_send.undelivered, 0);
        if (n > 0) {
            FormatCut(g_region.curText, kTextChars, L"***** %ld trace message(s) could not be delivered *****",
                      static_cast<long>(n));
            report(L"traceapi_Output");
        }
    }
    if (g_busyStart && ::InterlockedExchange(&g_busyStart, 0)) {
        FormatCut(g_region.curText, kTextChars,
                  L"***** process %lu started without the data mutex (busy for %lu ms): server switches kept *****",
                  ::GetCurrentProcessId(), kAttachWaitMs);
        report(L"DllMain");
    }
}

void NoteBusyStart() noexcept { ::InterlockedExchange(&g_busyStart, 1); }

long UndeliveredCount() noexcept { return g_send.undelivered; }
void CountUndelivered() noexcept { ::InterlockedIncrement(&g_send.undelivered); }

DataLock::DataLock() noexcept : RankedMutexLock(g_proc.dataMutex, LockRank::kData, &OnTraceWindowThread) {}

bool LocksAvailable() noexcept { return g_proc.dataMutex && g_proc.curDataMutex; }

void SetTraceWindowThread(DWORD threadId) noexcept { g_windowThread = static_cast<LONG>(threadId); }

bool OnTraceWindowThread() noexcept {
    const DWORD me = ::GetCurrentThreadId();
    if (g_windowThread && static_cast<DWORD>(g_windowThread) == me) return true;
    HWND list = g_proc.localTraceWindow;
    return list && ::GetWindowThreadProcessId(list, nullptr) == me;
}

void SetSendTimeoutForTesting(DWORD ms) noexcept { g_sendTimeout = ms ? ms : kSendTimeoutMs; }

}  // namespace kv

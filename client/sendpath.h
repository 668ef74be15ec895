// The road of a message through the current message slot: the slot mutex, the bounded
// sends to the trace window and the notification window, and the count of what could
// not be delivered. Also the data mutex as the trace window's thread takes it.
#pragma once

#include "client/compat.h"
#include "client/locks.h"

namespace kv {

// Longest wait of a sender for the trace window or the notification window to answer
// one send. The window thread never pauses anywhere near this long.
constexpr DWORD kSendTimeoutMs = 10000;

// Holds the current message slot (the mutex "traceapi_dll_curdatamutex", the slot mutex
// of client/locks.h) for a scope.
// While waiting, messages sent to this thread are served. A thread that a holder is
// sending to right now (a notification handler that traces) is refused at once instead
// of waiting for the holder that waits for it; what it wanted to send counts as not
// delivered.
class SlotLock {
public:
    SlotLock() noexcept;
    SlotLock(const SlotLock&) = delete;
    SlotLock& operator=(const SlotLock&) = delete;
    ~SlotLock();
    bool owned() const noexcept { return owned_; }
private:
    bool owned_ = false;
};

// Under a SlotLock: sends msg to window and waits at most the send bound for the answer.
// A window that does not answer in time (or hangs) loses the message, which is counted
// as `lost` messages. True when the window answered; its answer goes to *answer.
bool SendBounded(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, DWORD_PTR* answer = nullptr,
                 long lost = 1) noexcept;
// Under a SlotLock, after the server window answered a send: a count left by earlier
// failures, and a busy start of this process, go to it as lines of the server entry,
// and are cleared. The slot then holds the last of them.
void ReportUndelivered(HWND server) noexcept;

// Longest wait of the library's start in a process for the data mutex.
constexpr DWORD kAttachWaitMs = 2000;
// The start of this process gave up waiting for the data mutex; the next message this
// process delivers to the trace window is followed by one line that says so.
void NoteBusyStart() noexcept;

// Messages not delivered since the last report (all processes).
long UndeliveredCount() noexcept;
// Counts one message that could not be delivered.
void CountUndelivered() noexcept;

// Both named mutexes are open. A process without them fails closed: it registers
// nothing, emits nothing and changes no switch of the shared region.
bool LocksAvailable() noexcept;

// The data mutex (client/locks.h), waited for so that the trace window's thread keeps
// serving the sends of clients meanwhile.
class DataLock : public RankedMutexLock {
public:
    DataLock() noexcept;
};

// The thread that owns the trace window in this process, 0 when none. The server sets
// it when its window thread starts and clears it when the thread ends.
void SetTraceWindowThread(DWORD threadId) noexcept;
bool OnTraceWindowThread() noexcept;

// The server host that bForceWnd starts, found where the system's search looks for a
// program (the application's directory, the system directories, PATH) except the current
// directory. True with its full path in out.
constexpr wchar_t kServerHostName[] = L"KVTrcSrv.exe";
bool FindServerHost(wchar_t* out, DWORD cap) noexcept;

// Sends texts as they stand (they are no formats) under one hold of the slot, several to
// a send where the trace window takes batches, stopping after the first send the trace
// window did not answer. Each text goes out as a message of its thread, a thread of this
// process that need not be the caller; texts with a handle out of range are skipped.
// Returns how many were handed on (sent, or lost as a send to a window that is gone or
// did not answer is lost); the caller keeps the rest for later.
struct TextFrom {
    DWORD thread;
    short handle;
    const wchar_t* text;
};
int OutputTextsFrom(const TextFrom* texts, int count, short level, const wchar_t* func) noexcept;

// Tests: a shorter bound for the sends (0 restores kSendTimeoutMs).
void SetSendTimeoutForTesting(DWORD ms) noexcept;

}  // namespace kv

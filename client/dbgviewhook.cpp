// The debug-viewer hook: starts the debug viewer DbgView.exe hidden and, through a
// desktop-wide hook on finished window-procedure calls, turns every line the viewer puts
// into its list into a trace line of the application "DBGVIEW".
//
// The viewer's window thread only queues each line; a thread of the library in the
// viewer's process hands the lines to the trace window one by one, in order. A send to
// the trace window is a round trip between processes, and made on the window thread it
// would hold every further line the viewer shows until the trace window has answered.
#include "client/dbgviewhook.h"

#include <commctrl.h>

#include <atomic>

#include "client/faultguard.h"
#include "client/locks.h"
#include "client/owners.h"
#include "client/region.h"
#include "client/sendpath.h"

using namespace kv;

namespace {

const wchar_t kViewerClass[] = L"dbgviewClass";
const wchar_t kViewerExe[] = L"DbgView.exe";
const wchar_t kViewerApp[] = L"DBGVIEW";
const wchar_t kInstallFunc[] = L"traceapi_InstallDbgViewHook";
const wchar_t kUninstallFunc[] = L"traceapi_UninstallDbgViewHook";
const wchar_t kHookFunc[] = L"DbgViewHookProc";

constexpr UINT kSetItemTextW = 0x1074;  // LVM_SETITEMTEXTW
constexpr int kLineSubItem = 2;         // the viewer's text column
constexpr short kViewerLevel = TRACE_LEVEL_INFO;
constexpr DWORD kCloseTimeoutMs = 10000;

// Per-process state, one copy in every process the hook is loaded into. The hook runs on
// any thread of the process, so each field is a single lock-free word: a window procedure
// call never waits for another thread here.
std::atomic<HHOOK> g_hook{nullptr};          // the hook this process installed
std::atomic<HWND> g_viewer{nullptr};         // the viewer's main window as found here
std::atomic<short> g_viewerHandle{0};        // "DBGVIEW" as registered by the viewer's process
// Turns when the viewer's window goes and its application ends (on the viewer's window
// thread; the sender reads it): a line queued under an earlier term names a handle that
// is no longer the viewer's, free or another application's by now.
std::atomic<unsigned> g_viewerTerm{0};

// Lines on their way from the viewer's list to the trace window, in the viewer's process:
// a ring of kQueuedLines lines, filled by the hook on the viewer's threads and emptied by
// one sender thread. A full ring holds the hook (serving sends) instead of losing a line.
constexpr int kQueuedLines = 256;
constexpr DWORD kSenderIdleMs = 5000;   // an idle sender ends; the next line starts one
constexpr DWORD kDrainTimeoutMs = 30000;
constexpr DWORD kRecheckMs = 50;        // waits for a free place look again this often
// Lines handed on under one hold of the slot, in one send to the library's trace window:
// other senders wait at most one send for their turn.
constexpr int kRunLines = kBatchLines;

struct QueuedLine {
    short handle;  // -1 once the line is dropped
    unsigned term;
    DWORD thread;  // the viewer's thread that set the line
    wchar_t text[kTextChars];
};

class LineQueue {
public:
    // Queues a line of the viewer's term; false when there is no ring or no sender (the
    // caller sends it itself).
    bool Push(short handle, unsigned term, const wchar_t* text) noexcept;
    // Waits, serving sends, until every queued line has been handed on (bounded).
    void Drain() noexcept;

private:
    bool StartSender() noexcept;  // under lock_
    static DWORD WINAPI SenderMain(void* self) noexcept;
    void Send() noexcept;
    void WaitServing(HANDLE event, DWORD timeoutMs) noexcept;

    RankedSection lock_{LockRank::kHookQueue};
    // Under lock_: the ring (allocated with the first line), the first queued line, how
    // many are queued (those being sent included) and whether a sender runs.
    QueuedLine* ring_ = nullptr;
    int head_ = 0;
    int count_ = 0;
    bool senderRuns_ = false;
    // Each event is set only while someone waits for it: a set is a call into the system.
    bool senderWaits_ = false;
    int waiters_ = 0;
    UniqueHandle queued_;  // auto-reset: a line was queued
    UniqueHandle freed_;   // auto-reset: a line was handed on
};
LineQueue g_lines;

bool LineQueue::Push(short handle, unsigned term, const wchar_t* text) noexcept {
    for (;;) {
        {
            SectionLock lock(lock_);
            if (!ring_) {
                if (!queued_) queued_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
                if (!freed_) freed_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
                if (!queued_ || !freed_) return false;
                ring_ = static_cast<QueuedLine*>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(QueuedLine) * kQueuedLines));
                if (!ring_) return false;
            }
            // Without a sender nothing is queued, so a line sent at once keeps its place.
            if (!senderRuns_ && !StartSender()) return false;
            if (count_ < kQueuedLines) {
                QueuedLine& line = ring_[(head_ + count_) % kQueuedLines];
                line.handle = handle;
                line.term = term;
                line.thread = ::GetCurrentThreadId();
                CopyCut(line.text, kTextChars, text);
                ++count_;
                if (senderWaits_) {
                    senderWaits_ = false;
                    ::SetEvent(queued_.get());
                }
                return true;
            }
            ++waiters_;
        }
        WaitServing(freed_.get(), kRecheckMs);
        SectionLock lock(lock_);
        --waiters_;
    }
}

bool LineQueue::StartSender() noexcept {
    // The thread keeps the library loaded until it ends, whatever becomes of the hook.
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&SenderMain), &self))
        return false;
    HANDLE thread = ::CreateThread(nullptr, 0, &SenderMain, self, 0, nullptr);
    if (!thread) {
        ::FreeLibrary(self);
        return false;
    }
    ::CloseHandle(thread);
    senderRuns_ = true;
    return true;
}

DWORD WINAPI LineQueue::SenderMain(void* module) noexcept {
    g_lines.Send();
    ::FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}

void LineQueue::Send() noexcept {
    for (;;) {
        TextFrom run[kRunLines];
        int n = 0;
        {
            SectionLock lock(lock_);
            senderWaits_ = count_ == 0;
            const unsigned term = g_viewerTerm.load();
            for (; n < count_ && n < kRunLines; ++n) {
                QueuedLine& line = ring_[(head_ + n) % kQueuedLines];
                // The wait for room in Push serves sends, the viewer's close among them:
                // a line queued after its application ended is lost, not shown as
                // another's.
                if (line.term != term && line.handle != -1) {
                    line.handle = -1;
                    CountUndelivered();
                }
                run[n] = TextFrom{line.thread, line.handle, line.text};
            }
        }
        if (n == 0) {
            if (::WaitForSingleObject(queued_.get(), kSenderIdleMs) == WAIT_OBJECT_0) continue;
            SectionLock lock(lock_);
            if (count_ > 0) continue;
            senderWaits_ = false;
            senderRuns_ = false;
            return;
        }
        // The lines stay in their places while they are sent: the hook fills only free ones.
        const int sent = OutputTextsFrom(run, n, kViewerLevel, kHookFunc);
        bool waited;
        {
            SectionLock lock(lock_);
            head_ = (head_ + sent) % kQueuedLines;
            count_ -= sent;
            waited = waiters_ > 0;
        }
        if (waited) ::SetEvent(freed_.get());
    }
}

void LineQueue::Drain() noexcept {
    const ULONGLONG end = ::GetTickCount64() + kDrainTimeoutMs;
    for (;;) {
        {
            SectionLock lock(lock_);
            if (count_ == 0 || !senderRuns_) return;
        }
        if (::GetTickCount64() >= end) return;
        {
            SectionLock lock(lock_);
            ++waiters_;
        }
        WaitServing(freed_.get(), kRecheckMs);
        SectionLock lock(lock_);
        --waiters_;
    }
}

// The viewer's thread may be sent to meanwhile (by the trace window, to close it).
void LineQueue::WaitServing(HANDLE event, DWORD timeoutMs) noexcept {
    const DWORD r = ::MsgWaitForMultipleObjectsEx(1, &event, timeoutMs, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
    if (r == WAIT_OBJECT_0 + 1) {
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void Trace(short level, const wchar_t* func, const wchar_t* text) noexcept {
    if (traceapi_IsEnabled(0, level)) traceapi_Output(0, level, func, text);
}

// The viewer's main window: the one known here, else a search. The search runs only for
// the few messages the hook acts on, so an ordinary window procedure call never pays for it.
HWND Viewer() noexcept {
    HWND viewer = g_viewer.load(std::memory_order_relaxed);
    if (viewer) return viewer;
    viewer = ::FindWindowW(kViewerClass, nullptr);
    if (viewer) g_viewer.store(viewer, std::memory_order_relaxed);
    return viewer;
}

void OnViewerCall(UINT message) noexcept {
    if (message == WM_CREATE) {
        g_viewerHandle.store(traceapi_Register(kViewerApp, nullptr, FALSE));
    } else if (message == WM_DESTROY) {
        // The viewer's process may end right after its window: its lines go first, and
        // its application ends after them.
        DrainViewerLines();
        const short h = g_viewerHandle.exchange(0);
        g_viewerTerm.fetch_add(1);
        if (h != 0) traceapi_Unregister(h, FALSE);
        // A viewer started later in this process is a window of its own.
        g_viewer.store(nullptr, std::memory_order_relaxed);
    }
}

// A line the viewer set into its list: sub-item 2 of an item of a direct child.
void OnChildSetItemText(LPARAM itemRecord) noexcept {
    // The record is the viewer's own and the call has returned: read it under the guard
    // into a buffer on the stack.
    wchar_t line[kTextChars];
    bool isLine = false;
    const bool readable = RunGuarded([&] {
        const LVITEMW* item = reinterpret_cast<const LVITEMW*>(itemRecord);
        // A text the list asks its owner for later is no line (and no pointer to read).
        isLine = item && item->iSubItem == kLineSubItem && item->pszText != LPSTR_TEXTCALLBACKW;
        if (isLine) CopyCut(line, kTextChars, item->pszText);
    });
    if (!readable || !isLine) return;
    const short h = g_viewerHandle.load(std::memory_order_relaxed);
    if (!traceapi_IsEnabled(h, kViewerLevel)) return;
    // The line is the viewer's text, not a format: it goes out as written, a lone
    // percent sign included.
    QueueViewerLine(h, line);
}

}  // namespace

namespace kv {

void QueueViewerLine(short handle, const wchar_t* text) noexcept {
    if (g_lines.Push(handle, g_viewerTerm.load(), text)) return;
    const TextFrom now = {::GetCurrentThreadId(), handle, text};
    OutputTextsFrom(&now, 1, kViewerLevel, kHookFunc);
}

void DrainViewerLines() noexcept { g_lines.Drain(); }

LRESULT CALLBACK DbgViewHookProc(int code, WPARAM wParam, LPARAM lParam) noexcept {
    if (code >= 0 && lParam) {
        const CWPRETSTRUCT* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        const UINT message = call->message;
        // Every window of the desktop passes here: all but three messages leave after one
        // comparison, without a lookup, a lock or an allocation.
        if (message == WM_CREATE || message == WM_DESTROY || message == kSetItemTextW) {
            if (HWND viewer = Viewer()) {
                if (call->hwnd == viewer)
                    OnViewerCall(message);
                else if (message == kSetItemTextW && ::GetAncestor(call->hwnd, GA_PARENT) == viewer)
                    OnChildSetItemText(call->lParam);
            }
        }
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace kv

extern "C" void __cdecl traceapi_InstallDbgViewHook(void) {
    if (g_hook.load()) {
        Trace(TRACE_LEVEL_OPERATOR, kInstallFunc, L"***** DbgViewHookProc already INSTALLED *****");
        return;
    }
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::SearchPathW(nullptr, kViewerExe, nullptr, MAX_PATH, path, nullptr);
    if (n == 0 || n >= MAX_PATH) {
        Trace(TRACE_LEVEL_SERVER, kInstallFunc, L"***** DbgView.exe NOT found ! *****");
        return;
    }
    if (traceapi_IsEnabled(0, TRACE_LEVEL_SERVER))
        traceapi_Output1(0, TRACE_LEVEL_SERVER, kInstallFunc, L"DbgView found at: '%s'", path);

    // The hook goes in before the viewer starts, so that it sees the viewer's window created.
    HHOOK hook = ::SetWindowsHookExW(WH_CALLWNDPROCRET, &DbgViewHookProc, g_proc.instance, 0);
    if (!hook) {
        Trace(TRACE_LEVEL_OPERATOR, kInstallFunc, L"***** DbgViewHookProc FAILED *****");
        return;
    }
    HHOOK none = nullptr;
    if (!g_hook.compare_exchange_strong(none, hook)) {
        // Another thread of this process installed it meanwhile.
        ::UnhookWindowsHookEx(hook);
        Trace(TRACE_LEVEL_OPERATOR, kInstallFunc, L"***** DbgViewHookProc already INSTALLED *****");
        return;
    }
    Trace(TRACE_LEVEL_OPERATOR, kInstallFunc, L"***** DbgViewHookProc INSTALLED *****");

    // The platform searches for the viewer again; the command line is the bare name.
    wchar_t commandLine[] = L"DbgView.exe";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi = {};
    if (::CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si,
                         &pi)) {
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
        Trace(TRACE_LEVEL_OPERATOR, kInstallFunc, L"***** DbgView.exe STARTED *****");
    } else {
        Trace(TRACE_LEVEL_OPERATOR, kInstallFunc, L"***** DbgView.exe FAILED *****");
    }
}

extern "C" void __cdecl traceapi_UninstallDbgViewHook(void) {
    HWND viewer = g_viewer.exchange(nullptr);
    // While this process holds the hook, the viewer it started counts as known even when
    // no window procedure of this process has run since: the hook would have found it.
    if (!viewer && g_hook.load()) viewer = ::FindWindowW(kViewerClass, nullptr);
    if (viewer && ::IsWindow(viewer)) {
        // Bounded: a hung viewer must not hold the trace window's thread. The viewer's
        // unregistration arrives inside this send.
        DWORD_PTR result = 0;
        kv::SendCheckedTimeout(viewer, WM_CLOSE, 0, 0, SMTO_NORMAL, kCloseTimeoutMs, &result);
        Trace(TRACE_LEVEL_OPERATOR, kUninstallFunc, L"***** DbgView.exe STOPPED *****");
    } else {
        Trace(TRACE_LEVEL_OPERATOR, kUninstallFunc, L"***** DbgView.exe NOT running *****");
    }

    if (HHOOK hook = g_hook.exchange(nullptr)) {
        ::UnhookWindowsHookEx(hook);
        Trace(TRACE_LEVEL_OPERATOR, kUninstallFunc, L"***** DbgViewHookProc UNINSTALLED *****");
    } else {
        Trace(TRACE_LEVEL_OPERATOR, kUninstallFunc, L"***** DbgViewHookProc NOT installed *****");
    }
}

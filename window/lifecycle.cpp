// The trace window's life: traceapi_CreateWnd with its instance marker, the window
// thread with its message loop and ordered shutdown, traceapi_DestroyWnd and the host's
// two message entry points.
#include "client/levels.h"
#include "client/owners.h"
#include "client/region.h"
#include "client/sendpath.h"
#include "resources/resource.h"
#include "server/attach.h"
#include "server/clock.h"
#include "server/registry.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/profiles.h"
#include "settings/serversettings.h"
#include "settings/settingsstore.h"
#include "settings/windowlayout.h"
#include "window/statusbar.h"
#include "window/operator.h"
#include "window/settingsapply.h"
#include "window/tracewnd.h"

using namespace kv;

namespace {

const wchar_t kThreadFunc[] = L"tracewnd_WndThread";

TraceWindowState g_window;
TraceWndMessageBoxFn g_messageBox = &::MessageBoxW;

void StatusSeam() { tracewnd_UpdateStatus(); }
void ToolbarSeam() { tracewnd_SyncToolBar(); }
void DrawSeam(HWND window, const DRAWITEMSTRUCT* item) { tracewnd_DrawItem(window, item); }

// A host that waits for the window serves messages sent to its thread meanwhile, so
// that nothing that sends to it can stall.
void WaitServingSends(HANDLE handle) {
    for (;;) {
        const DWORD r = ::MsgWaitForMultipleObjectsEx(1, &handle, INFINITE, QS_SENDMESSAGE, 0);
        if (r != WAIT_OBJECT_0 + 1) return;
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void BringToFront(const wchar_t* profile) {
    HWND running = ServerWindow();
    if (!running || !::IsWindow(running)) return;
    if (::IsIconic(running)) ::ShowWindow(running, SW_SHOWDEFAULT);
    ::SetForegroundWindow(running);
    if (profile && profile[0]) {
        tracewnd_SetProfile(profile);
        ::PostMessageW(running, WM_TRACE_LOADPROFILE, 0, 0);
    }
}

void EmitLevelMinus1(const wchar_t* text) {
    if (traceapi_IsEnabled(0, -1)) traceapi_Output(0, -1, kThreadFunc, text);
}

HWND CreateTraceWindow() {
    const RECT& r = g_windowLayout.rect;
    int x = r.left < 0 ? 0 : r.left;
    int y = r.top < 0 ? 0 : r.top;
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    if (width < 0) width = 500;
    if (height < 0) height = 300;
    // Held over creation and publication: no client sees a half-made window.
    DataLock lock;
    HWND window = ::CreateWindowExW(0, kTraceWindowClass, kTraceWindowTitle, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, x, y,
                                    width, height, g_window.owner, nullptr, g_proc.instance, nullptr);
    if (window) g_region.serverWindow = FieldFromWindow(window);
    return window;
}

void RunMessageLoop(HWND window) {
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (::WaitForSingleObject(g_window.stopEvent, 0) == WAIT_OBJECT_0) break;
        if (g_window.accelerators && ::TranslateAcceleratorW(window, g_window.accelerators, &msg)) continue;
        if (tracewnd_IsFindDialogMessage(&msg)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

// The line that tells the trace file the server ended, and the write-back of what the
// window keeps in the settings file: the same at the normal end and at logoff.
void EndLineAndSettings() {
    EmitLevelMinus1(L"***** TRACE SERVER SHUT DOWN *****");
    tracewnd_SaveSettings();
}

void Shutdown(HWND window) {
    // The hook's viewer would otherwise go on tracing into a window that is gone.
    traceapi_UninstallDbgViewHook();
    ::KillTimer(window, kTickTimerId);
    EndLineAndSettings();
    traceapi_Unregister(0, 0);

    // Output of this process's threads takes the send path from now on; rows being
    // filed right now finish under the list lock before the views go.
    DetachServerWindow();
    tracewnd_EndOperator();
    ServerState& st = Server();
    short mainStore, filterStore;
    {
        ListLock lock;
        mainStore = st.mainStore;
        filterStore = st.filterStore;
        st.mainList = st.filterList = st.appList = nullptr;
    }
    {
        DataLock lock;
        ::DestroyWindow(window);
        g_region.serverWindow = 0;
    }
    ::UnregisterClassW(kTraceWindowClass, g_proc.instance);
    tracewnd_CloseTraceFile();
    {
        ListLock lock;
        st.mainStore = st.filterStore = -1;
        st.traceWindow = nullptr;
        rowstore_Destroy(mainStore);
        rowstore_Destroy(filterStore);
    }
}

// A host waiting in traceapi_CreateWnd is released whenever the thread ends early.
void EndEarly() {
    if (g_window.stopEvent) ::SetEvent(g_window.stopEvent);
}

}  // namespace

TraceWindowState& TraceWindow() noexcept { return g_window; }

void tracewnd_EndSession() {
    // Nothing after this message runs: the settings, the server entry's switches (which
    // the normal end writes back when it unregisters it) and the lines still buffered
    // for the trace file are written now.
    EndLineAndSettings();
    WriteLevelSwitches(0);
    tracewnd_CloseTraceFile();
}

void tracewnd_SetMessageBox(TraceWndMessageBoxFn fn) { g_messageBox = fn ? fn : &::MessageBoxW; }

int tracewnd_RegisterClass(HINSTANCE instance) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &TrcWndProc;
    wc.hInstance = instance;
    wc.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(IDI_TRACEWND));
    wc.lpszClassName = kTraceWindowClass;
    return ::RegisterClassW(&wc) ? 0 : -1;
}

DWORD WINAPI tracewnd_WndThread(LPVOID) {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&icc);
    g_window.threadId = ::GetCurrentThreadId();
    // From here on this thread serves the sends of clients whenever it waits for a lock
    // that an intake thread or a client may hold.
    SetWindowThread(g_window.threadId);

    if (tracewnd_RegisterClass(g_proc.instance) != 0) {
        g_messageBox(nullptr, L"Window registration failed !", kTraceWindowTitle, MB_ICONEXCLAMATION);
        SetWindowThread(0);
        EndEarly();
        return 0;
    }
    tracewnd_LoadSettings();
    // The reference for a change of the clock is now, not the start of the epoch.
    g_window.lastTime = ClockNow();

    HWND window = CreateTraceWindow();
    if (!window) {
        ::UnregisterClassW(kTraceWindowClass, g_proc.instance);
        SetWindowThread(0);
        EndEarly();
        return 0;
    }
    ::ShowWindow(window, g_windowLayout.iconic ? SW_SHOWMINIMIZED : g_windowLayout.maximized ? SW_SHOWMAXIMIZED : SW_SHOW);
    ::SetWindowPos(window, g_settings.TopMost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);

    g_window.waitCursor = ::LoadCursorW(nullptr, IDC_WAIT);
    g_window.arrowCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    ::SetTimer(window, kTickTimerId, kTickMs, nullptr);
    g_window.lastTick = ::GetTickCount();

    tracewnd_CheckApplications();
    tracewnd_RefillApplications();

    wchar_t profile[kProfileChars];
    {
        DataLock lock;
        CopyCut(profile, kProfileChars, g_region.curProfile);
    }
    if (profile[0]) tracewnd_LoadProfile(window, profile);

    tracewnd_ShowAllSettings();
    tracewnd_SetTitle();
    tracewnd_SyncToolBar();
    tracewnd_UpdateStatus();

    EmitLevelMinus1(g_region.globalEnable ? L"***** TRACE SERVER STARTED - TRACE ON *****"
                                          : L"***** TRACE SERVER STARTED - TRACE OFF *****");
    if (g_settings.EnableFile && traceapi_IsEnabled(0, 0)) {
        wchar_t file[MAX_PATH];
        tracewnd_CopyTraceFileName(file, MAX_PATH);
        traceapi_Output1(0, 0, kThreadFunc, L"***** TRACE TO FILE '%s' ON *****", file);
    }

    g_window.accelerators = ::LoadAcceleratorsW(g_proc.instance, L"ACCELERATORS");
    tracewnd_InitOperator(window);

    RunMessageLoop(window);
    Shutdown(window);
    SetWindowThread(0);
    return 0;
}

extern "C" HWND __cdecl traceapi_CreateWnd(DWORD reserved, HWND owner, DWORD wait, const WCHAR* profile) {
    (void)reserved;
    // The marker is never closed: its name must outlive this call for as long as the
    // process lives, so that no second window opens anywhere meanwhile.
    HANDLE marker = ::CreateEventW(nullptr, FALSE, TRUE, kInstanceMarkerName);
    const DWORD error = ::GetLastError();
    if (!marker || error == ERROR_ALREADY_EXISTS || g_window.started) {
        // Only the creator's handle keeps the name: a second handle kept here would hold
        // the marker after the running window's process had ended.
        if (marker && error == ERROR_ALREADY_EXISTS) ::CloseHandle(marker);
        BringToFront(profile);
        return nullptr;
    }
    g_window.owner = owner;
    g_window.stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WindowSeams& seams = Seams();
    seams.refreshStatusFile = &StatusSeam;
    SetProfileChangedHook(&StatusSeam);
    seams.syncToolbar = &ToolbarSeam;
    seams.drawItem = &DrawSeam;
    // Before the thread starts: the settings load reads LastProfile only when no
    // profile was named here.
    tracewnd_SetProfile(profile ? profile : L"");
    g_window.thread = ::CreateThread(nullptr, 0, &tracewnd_WndThread, nullptr, 0, nullptr);
    if (!g_window.thread) {
        EndEarly();
        return nullptr;
    }
    ::InterlockedExchange(&g_window.started, 1);
    if (wait) WaitServingSends(g_window.stopEvent);
    return ServerWindow();
}

extern "C" void __cdecl traceapi_DestroyWnd(void) {
    if (!::InterlockedExchange(&g_window.started, 0)) return;  // a second call finds 0
    if (g_window.thread) {
        // Also when the window is already gone: its thread may still be saving the
        // settings, and the host must not end the process under it.
        if (g_window.threadId) ::PostThreadMessageW(g_window.threadId, WM_QUIT, 0, 0);
        if (g_window.stopEvent) ::SetEvent(g_window.stopEvent);
        if (!PumpMessagesWhileWaiting(g_window.thread, kDestroyWaitMs)) ::MessageBeep(0xFFFFFFFF);
        ::CloseHandle(g_window.thread);
        g_window.thread = nullptr;
    }
    if (g_window.stopEvent) {
        ::CloseHandle(g_window.stopEvent);
        g_window.stopEvent = nullptr;
    }
}

LRESULT tracewnd_HandleMsg(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_KEYDOWN || msg == WM_TRACE_OUTPUT || msg == kTraceOutputBatch || msg == WM_TRACE_REGISTER ||
        msg == WM_TRACE_UNREGISTER)
        return TrcWndProc(window, msg, wParam, lParam);
    return 0;
}

extern "C" LRESULT __cdecl traceapi_HandleMsg(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    return tracewnd_HandleMsg(window, msg, wParam, lParam);
}

extern "C" void __cdecl traceapi_OnDrawItem(HWND window, const DRAWITEMSTRUCT* item) { tracewnd_DrawItem(window, item); }

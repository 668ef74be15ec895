// TrcWndProc: the tool bar and the two lists at creation, the layout, the client
// notifications, the 1-second housekeeping, the keys and the tool bar commands.
#include "client/faultguard.h"
#include "client/levels.h"
#include "client/owners.h"
#include "client/region.h"
#include "client/sendpath.h"
#include "resources/resource.h"
#include "server/attach.h"
#include "server/clock.h"
#include "server/intake.h"
#include "server/listselection.h"
#include "server/registry.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/profiles.h"
#include "settings/serversettings.h"
#include "window/statusbar.h"
#include "window/operator.h"
#include "window/settingsapply.h"
#include "window/tracewnd.h"

#include <windowsx.h>

using namespace kv;

namespace {

const wchar_t kCommandFunc[] = L"tracewnd_OnCommand";
constexpr DWORD kToggleStyle = WS_CHILD | WS_VISIBLE | BS_PUSHLIKE | BS_AUTOCHECKBOX;
constexpr DWORD kPushStyle = WS_CHILD | WS_VISIBLE;
constexpr DWORD kListStyle = WS_CHILD | LVS_REPORT | LVS_OWNERDRAWFIXED | LVS_OWNERDATA;

struct LevelButton {
    const wchar_t* text;
    int id;
    const wchar_t* name;  // as the switch line names the level
};
const LevelButton kLevelButtons[4] = {
    {L"Diagnose", kIdDiag, L"Process '%s', Module '%s': Level 'Diagnose' = %d"},
    {L"Infos", kIdInfo, L"Process '%s', Module '%s': Level 'Info' = %d"},
    {L"Warnings", kIdWarning, L"Process '%s', Module '%s': Level 'Warning' = %d"},
    {L"Errors", kIdError, L"Process '%s', Module '%s': Level 'Error' = %d"},
};

INT& LevelSwitch(TRACEAPP& slot, int level) {
    INT* fields[4] = {&slot.EnableDiag, &slot.EnableInfo, &slot.EnableWarning, &slot.EnableError};
    return *fields[level];
}

bool KeyDown(int vk) { return ::GetKeyState(vk) < 0; }

void Emit(short level, const wchar_t* text) {
    if (traceapi_IsEnabled(0, level)) traceapi_Output(0, level, kCommandFunc, text);
}

void Check(HWND button, bool on) { ::SendMessageW(button, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0); }

HWND MakeControl(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id, int x, int y, int w, int h) {
    return ::CreateWindowExW(0, cls, text, style, x, y, w, h, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), g_proc.instance, nullptr);
}

bool OnWindowThread() {
    HWND window = Server().traceWindow;
    return window && ::GetWindowThreadProcessId(window, nullptr) == ::GetCurrentThreadId();
}

// ---- commands ----------------------------------------------------------------------

void OnAppListChange(HWND list) {
    TraceWindowState& w = TraceWindow();
    const LRESULT sel = ::SendMessageW(list, CB_GETCURSEL, 0, 0);
    short h = 0;
    if (sel >= 0) {
        const LRESULT data = ::SendMessageW(list, CB_GETITEMDATA, static_cast<WPARAM>(sel), 0);
        if (IsValidHandle(static_cast<int>(data))) h = static_cast<short>(data);
    }
    w.selectedHandle = h;
    TRACEAPP& slot = g_region.apps[h];
    for (int i = 0; i < 4; ++i) Check(w.levels[i], LevelSwitch(slot, i) != 0);
}

void OnOnTop(HWND window) {
    TraceWindowState& w = TraceWindow();
    g_settings.TopMost = !g_settings.TopMost;
    ::SetWindowPos(window, g_settings.TopMost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    Check(w.onTop, g_settings.TopMost != 0);
}

void OnTrace() {
    int on;
    {
        DataLock lock;
        g_region.globalEnable = g_region.globalEnable ? 0 : 1;
        on = g_region.globalEnable;
    }
    Check(TraceWindow().trace, on != 0);
    if (on) {
        Emit(-1, L"***** TRACE STARTED *****");
        tracewnd_ShowAllSettings();
    } else {
        Emit(-1, L"***** TRACE STOPPED *****");
    }
}

void OnScroll() {
    const ServerState& st = Server();
    const BOOL on = rowstore_GetAutoScroll(st.mainStore) ? FALSE : TRUE;
    rowstore_SetAutoScroll(st.mainStore, on);
    rowstore_SetAutoScroll(st.filterStore, on);
    g_settings.AutoScroll = on;
    Check(TraceWindow().scroll, rowstore_GetAutoScroll(st.mainStore) != FALSE);
    if (on) {
        ListLock lock;
        tracewnd_MoveSelection(-1, rowstore_GetCount(st.mainStore) - 1);
    } else if (const int selected = FirstSelected(st.mainList); selected >= 0) {
        tracewnd_RevealRow(selected);
    }
}

void OnFile() {
    tracewnd_SelectTraceFile();
    if (g_settings.EnableFile) Emit(-1, L"***** TRACE TO FILE OFF *****");
    g_settings.EnableFile = g_settings.EnableFile ? 0 : 1;
    if (g_settings.EnableFile) {
        if (traceapi_IsEnabled(0, -1)) {
            wchar_t file[MAX_PATH];
            tracewnd_CopyTraceFileName(file, MAX_PATH);
            traceapi_Output1(0, -1, kCommandFunc, L"***** TRACE TO FILE '%s' ON *****", file);
        }
        tracewnd_ShowAllSettings();
    } else {
        tracewnd_CloseTraceFile();
    }
    Check(TraceWindow().file, g_settings.EnableFile != 0);
    tracewnd_SetProfile(L"");
}

void OnClear() {
    {
        ListLock lock;
        rowstore_Clear(Server().mainStore);
        rowstore_Clear(Server().filterStore);
    }
    Emit(-1, L"***** LIST CLEARED *****");
}

void OnAllOff(HWND window) {
    {
        DataLock lock;
        for (int h = 0; h < kAppSlots; ++h) {
            TRACEAPP& slot = g_region.apps[h];
            for (int i = 0; i < 4; ++i) LevelSwitch(slot, i) = 0;
            WriteLevelSwitchesLocked(h);
        }
    }
    TraceWindowState& w = TraceWindow();
    for (HWND b : w.levels) Check(b, false);
    Emit(-1, L"***** AllOff *****");
    tracewnd_SetProfile(L"");
    HWND apps = Server().appList;
    ::SendMessageW(apps, CB_SETCURSEL, 0, 0);
    ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(0, CBN_SELCHANGE), reinterpret_cast<LPARAM>(apps));
}

void OnLevel(int level) {
    TraceWindowState& w = TraceWindow();
    const short h = w.selectedHandle;
    int value;
    wchar_t process[50], module[50];
    {
        DataLock lock;
        TRACEAPP& slot = g_region.apps[h];
        LevelSwitch(slot, level) = LevelSwitch(slot, level) ? 0 : 1;
        value = LevelSwitch(slot, level);
        WriteLevelSwitchesLocked(h);
        // The server entry stands for every application.
        if (h == 0) {
            for (int i = 0; i < kAppSlots; ++i) {
                LevelSwitch(g_region.apps[i], level) = value;
                WriteLevelSwitchesLocked(i);
            }
        }
        CopyCut(process, 50, slot.szProcess);
        CopyCut(module, 50, slot.szModule);
    }
    Check(w.levels[level], value != 0);
    if (traceapi_IsEnabled(0, -1)) traceapi_Output3(0, -1, kCommandFunc, kLevelButtons[level].name, process, module, value);
    tracewnd_SetProfile(L"");
}

// ---- the 1-second housekeeping and the clock ------------------------------------------

void FollowFilterList(HWND window) {
    HWND filter = Server().filterList;
    if (!filter) return;
    const bool wanted = g_settings.SpecialFilter[0] != 0;
    const bool shown = ::IsWindowVisible(filter) != FALSE;
    if (wanted == shown) return;
    ::ShowWindow(filter, wanted ? SW_SHOW : SW_HIDE);
    ::SendMessageW(window, WM_SIZE, 0, 0);
}

void OnTimeChange() {
    TraceWindowState& w = TraceWindow();
    const time_t now = ClockNow();
    const long d = static_cast<long>(now - w.lastTime);
    if ((d > 5 || d < -5) && traceapi_IsEnabled(0, -1))
        traceapi_Output1(0, -1, L"TrcWndProc", L"***** SYSTEM TIME CHANGED (%+lds) ***** ", d);
    w.lastTime = now;
}

// ---- focus --------------------------------------------------------------------------------

// The list that last had the focus while it is still shown, else the main list.
HWND FocusTarget() {
    const ServerState& st = Server();
    HWND last = TraceWindow().focusList;
    return last == st.filterList && last && ::IsWindowVisible(last) ? last : st.mainList;
}

// ---- window messages --------------------------------------------------------------------

// A sender puts its handle (and level) into the slot before anything else and sends them
// along. A message that does not match the slot is not the slot's: its sender ended inside
// the send (a crash, a kill) and the next sender already filled the slot, which that
// sender's own message files. Taken, the message would file a line twice, or add or remove
// an application that did not ask; the line it stood for is lost, and counted.
bool SlotHolds(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (static_cast<short>(wParam) == g_region.curHandle &&
        (msg != WM_TRACE_OUTPUT || static_cast<short>(lParam) == g_region.curLevel))
        return true;
    if (msg == WM_TRACE_OUTPUT) CountUndelivered();
    return false;
}

LRESULT OnTraceMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_TRACE_OUTPUT:
    case WM_TRACE_REGISTER:
    case WM_TRACE_UNREGISTER:
        if (!SlotHolds(msg, wParam, lParam)) return 0;
        break;
    default:
        break;
    }
    switch (msg) {
    case WM_TRACE_OUTPUT:
        tracewnd_AddMessage(g_region.curHandle, g_region.curFunc, g_region.curText, g_region.curLevel);
        break;
    case kTraceOutputBatch: {
        // Each line as if it came alone; the answer tells the sender the batch was taken.
        const uint32_t lines = g_region.batchCount < kBatchLines ? g_region.batchCount : kBatchLines;
        for (uint32_t i = 0; i < lines; ++i) {
            const BatchLine& line = g_region.batch[i];
            tracewnd_AddMessageFrom(line.handle, line.func, line.text, line.level, line.threadId);
        }
        return static_cast<LRESULT>(lines);
    }
    case WM_TRACE_REGISTER:
        tracewnd_AddApplication(g_region.curHandle);
        break;
    case WM_TRACE_UNREGISTER:
        tracewnd_RemoveApplication(g_region.curHandle);
        if (lParam == 1) {
            if (HANDLE stop = TraceWindow().stopEvent) ::SetEvent(stop);
        }
        break;
    case WM_TRACE_LOADPROFILE: {
        wchar_t profile[kProfileChars];
        {
            DataLock lock;
            CopyCut(profile, kProfileChars, g_region.curProfile);
        }
        tracewnd_LoadProfile(window, profile);
        break;
    }
    case WM_TRACE_SETTINGSCHANGED:
        tracewnd_OnSettingsChanged();
        break;
    default:
        break;
    }
    return ::DefWindowProcW(window, msg, wParam, lParam);
}

}  // namespace

BOOL tracewnd_CreateControls(HWND window) {
    TraceWindowState& w = TraceWindow();
    ServerState& st = Server();
    st.traceWindow = window;

    StatusField fields[5] = {};
    const int weights[5] = {13, 12, 40, 40, 23};
    for (int i = 0; i < 5; ++i) fields[i].weight = weights[i];
    w.statusBar = statusbar_Create(window, fields, 5);

    w.barHeight = 0;
    st.appList = MakeControl(window, L"ComboBox", L"", 0x50202103, kIdAppList, 0, 0, 50, w.barHeight);
    RECT rc = {};
    if (st.appList && ::GetWindowRect(st.appList, &rc)) w.barHeight = rc.bottom - rc.top;
    const int bar = w.barHeight;

    w.onTop = MakeControl(window, L"Button", L"OnTop", kToggleStyle | BS_ICON, kIdOnTop, 0, 0, kOnTopWidth, bar);
    w.onTopIcon = static_cast<HICON>(::LoadImageW(g_proc.instance, MAKEINTRESOURCEW(IDI_ONTOP), IMAGE_ICON, 16, 16, 0));
    if (w.onTop && w.onTopIcon) ::SendMessageW(w.onTop, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(w.onTopIcon));
    w.trace = MakeControl(window, L"Button", L"Trace", kToggleStyle, kIdTrace, 0, 0, 50, bar);
    w.scroll = MakeControl(window, L"Button", L"Scroll", kToggleStyle, kIdScroll, 0, 0, 50, bar);
    w.file = MakeControl(window, L"Button", L"File", kToggleStyle, kIdFile, 0, 0, 50, bar);
    w.clear = MakeControl(window, L"Button", L"Clear", kPushStyle, kIdClear, 0, 0, 50, bar);
    w.allOff = MakeControl(window, L"Button", L"All Off", kPushStyle, kIdAllOff, 0, 0, 50, bar);
    for (int i = 0; i < 4; ++i)
        w.levels[i] = MakeControl(window, L"Button", kLevelButtons[i].text, kToggleStyle, kLevelButtons[i].id, 0, 0, 50, bar);

    HWND main = MakeControl(window, WC_LISTVIEWW, kMainListText, kListStyle | WS_VISIBLE, 0, 0, bar, 0, 0);
    if (!main) return FALSE;
    InstallMainListProc(main);
    const short mainStore = rowstore_Create(main, rowstore_CompareRows);
    rowstore_SetAutoScroll(mainStore, g_settings.AutoScroll);
    tracewnd_InitColumns(main);

    HWND filter = MakeControl(window, WC_LISTVIEWW, kFilterListText, kListStyle, 0, 0, bar, 100, 100);
    if (!filter) return FALSE;
    InstallFilterListProc(filter);
    const short filterStore = rowstore_Create(filter, rowstore_CompareRows);
    rowstore_SetAutoScroll(filterStore, g_settings.AutoScroll);
    tracewnd_InitColumns(filter);

    {
        ListLock lock;
        st.mainList = main;
        st.filterList = filter;
        st.mainStore = mainStore;
        st.filterStore = filterStore;
    }
    // From here on, output and registration of this process's own threads go straight
    // into the intake and the application list.
    AttachServerWindow();
    return TRUE;
}

namespace kv {

WindowLayoutRects ComputeLayout(int W, int H, int bar, int statusHeight, bool filterVisible, int filterListPart) noexcept {
    WindowLayoutRects r = {};
    r.buttonWidth = (W - kToolbarFixed) / 9;
    r.remainder = (W - kToolbarFixed) % 9;
    const int w = r.buttonWidth;
    for (int i = 0; i < 9; ++i) {
        const int x = kOnTopWidth + i * w + (i >= 5 ? kAppListWidth : 0);
        r.buttons[i] = {x, 0, x + w + (i == 8 ? r.remainder : 0), bar};
    }
    const int appX = kOnTopWidth + 5 * w;
    r.appList = {appX, 0, appX + kAppListWidth, 10 * bar};
    if (filterVisible) {
        const int part = filterListPart > 0 ? filterListPart : 5;
        const int f = H / part;
        r.mainList = {0, bar, W, bar + (H - bar - statusHeight - f)};
        r.filterList = {0, H - statusHeight - f, W, H - statusHeight};
    } else {
        r.mainList = {0, bar, W, H - statusHeight};
    }
    return r;
}

}  // namespace kv

void tracewnd_Layout(HWND window) {
    const TraceWindowState& w = TraceWindow();
    const ServerState& st = Server();
    RECT client = {};
    ::GetClientRect(window, &client);
    const bool filterVisible = st.filterList && ::IsWindowVisible(st.filterList);
    const WindowLayoutRects r = ComputeLayout(client.right, client.bottom, w.barHeight, statusbar_Height(), filterVisible,
                                              g_settings.FilterListPart);
    auto move = [](HWND h, const RECT& rc) {
        if (h) ::MoveWindow(h, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, TRUE);
    };
    move(w.onTop, RECT{0, 0, kOnTopWidth, w.barHeight});
    const HWND buttons[9] = {w.trace, w.scroll, w.file, w.clear, w.allOff, w.levels[0], w.levels[1], w.levels[2], w.levels[3]};
    for (int i = 0; i < 9; ++i) move(buttons[i], r.buttons[i]);
    move(st.appList, r.appList);
    move(st.mainList, r.mainList);
    if (filterVisible) move(st.filterList, r.filterList);
    statusbar_Reposition();
}

void tracewnd_OnTimer(HWND window, UINT_PTR timerId) {
    FollowFilterList(window);
    if (timerId != kTickTimerId) return;
    TraceWindowState& w = TraceWindow();
    w.lastTick = ::GetTickCount();
    if (w.appCheckCounter == kAppCheckTicks) {
        w.appCheckCounter = 0;
        tracewnd_CheckApplications();
    } else {
        ++w.appCheckCounter;
    }
    if (w.historyCheckCounter == kHistoryCheckTicks) {
        w.historyCheckCounter = 0;
        tracewnd_CheckHistDays();
    } else {
        ++w.historyCheckCounter;
    }
    rowstore_FlushCount(Server().mainStore);
    // A stream in use right now is closed by a later tick.
    tracewnd_TryCloseTraceFile();
    w.lastTime = ClockNow();
    tracewnd_UpdateStatus();
}

void tracewnd_OnKeyDown(HWND window, UINT key) {
    // Find, marks, the list and profile keys and the context menu's shortcuts.
    if (tracewnd_OnOperatorKey(window, key)) return;
    const ServerState& st = Server();
    const bool ctrl = KeyDown(VK_CONTROL);
    const bool filterVisible = st.filterList && ::IsWindowVisible(st.filterList);
    switch (key) {
    case VK_TAB:
        ::SetFocus(filterVisible && ::GetFocus() == st.mainList ? st.filterList : st.mainList);
        break;
    case 'R':
        if (ctrl) tracewnd_RefillApplications();
        break;
    case 'T':
        if (ctrl) tracewnd_OnCommand(window, kIdTrace, TraceWindow().trace, BN_CLICKED);
        break;
    case VK_ADD:
    case VK_SUBTRACT:
        if (!filterVisible) break;
        if (key == VK_ADD && g_settings.FilterListPart > 2) --g_settings.FilterListPart;
        if (key == VK_SUBTRACT && g_settings.FilterListPart < 10) ++g_settings.FilterListPart;
        ::SendMessageW(window, WM_SIZE, 0, 0);
        break;

    case 'X':
    case 'Y':
        // The debug-viewer hook: Ctrl+Shift+X installs it, Ctrl+Shift+Y removes it.
        if (ctrl && KeyDown(VK_SHIFT)) {
            if (key == 'X')
                traceapi_InstallDbgViewHook();
            else
                traceapi_UninstallDbgViewHook();
        }
        break;
    default:
        break;
    }
}

bool tracewnd_OnSysKeyDown(HWND window, UINT key) { return tracewnd_OnOperatorSysKey(window, key); }

void tracewnd_OnCommand(HWND window, int id, HWND control, int code) {
    if (!control) {
        tracewnd_OnMenuCommand(window, id);
        return;
    }
    const TraceWindowState& w = TraceWindow();
    const ServerState& st = Server();
    if (control == st.appList) {
        if (code == CBN_SELCHANGE) OnAppListChange(control);
    } else if (control == w.onTop) {
        OnOnTop(window);
    } else if (control == w.trace) {
        if (code == BN_CLICKED) OnTrace();
    } else if (control == w.scroll) {
        OnScroll();
    } else if (control == w.file) {
        OnFile();
    } else if (control == w.clear) {
        OnClear();
    } else if (control == w.allOff) {
        OnAllOff(window);
    } else {
        for (int i = 0; i < 4; ++i)
            if (control == w.levels[i]) OnLevel(i);
    }
}

void tracewnd_SyncToolBar() {
    if (!OnWindowThread()) {
        if (HWND window = Server().traceWindow) ::PostMessageW(window, WM_KV_SYNCTOOLBAR, 0, 0);
        return;
    }
    const TraceWindowState& w = TraceWindow();
    const HWND all[11] = {w.onTop, w.trace, w.scroll, w.file, w.clear, w.allOff,
                          w.levels[0], w.levels[1], w.levels[2], w.levels[3], Server().appList};
    for (HWND h : all)
        if (h) ::EnableWindow(h, TRUE);
    Check(w.onTop, g_settings.TopMost != 0);
    Check(w.trace, g_region.globalEnable != 0);
    Check(w.scroll, rowstore_GetAutoScroll(Server().mainStore) != FALSE);
    Check(w.file, g_settings.EnableFile != 0);
    TRACEAPP& slot = g_region.apps[w.selectedHandle];
    for (int i = 0; i < 4; ++i) Check(w.levels[i], LevelSwitch(slot, i) != 0);
}

void tracewnd_OnSettingsChanged() {
    if (g_settings.EnableFile) tracewnd_ShowAllSettings();
    tracewnd_UpdateStatus();
}

LRESULT CALLBACK TrcWndProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) noexcept {
    TraceWindowState& w = TraceWindow();
    switch (msg) {
    case WM_CREATE:
        return tracewnd_CreateControls(window) ? 0 : -1;
    case WM_SIZE:
        tracewnd_Layout(window);
        return 0;
    case WM_CLOSE:
        if (w.stopEvent) ::SetEvent(w.stopEvent);
        return 0;
    case WM_TIMECHANGE:
        OnTimeChange();
        break;
    case WM_DRAWITEM:
        tracewnd_DrawItem(window, reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        break;
    case WM_NOTIFY:
        return tracewnd_OnNotify(window, static_cast<int>(wParam), reinterpret_cast<const NMHDR*>(lParam));
    case WM_SETFOCUS:
        // Activation gives the focus to the frame, where the arrows and page keys do
        // nothing: it goes on to the list the operator last used.
        ::SetFocus(FocusTarget());
        return 0;
    case WM_KEYDOWN:
        tracewnd_OnKeyDown(window, static_cast<UINT>(wParam));
        return 0;
    case WM_SYSKEYDOWN:
        // The keys the window does not claim (Alt+F4, Alt+Space, F10) do what they do
        // in every window.
        if (tracewnd_OnSysKeyDown(window, static_cast<UINT>(wParam))) return 0;
        break;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        if (wParam) tracewnd_EndSession();
        return 0;
    case WM_COMMAND:
        tracewnd_OnCommand(window, LOWORD(wParam), reinterpret_cast<HWND>(lParam), HIWORD(wParam));
        break;
    case WM_TIMER:
        tracewnd_OnTimer(window, wParam);
        break;

    case WM_CONTEXTMENU:
        tracewnd_OnContextMenu(window, wParam, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
        break;
    case WM_LBUTTONDBLCLK:
        tracewnd_OnListDoubleClick(window);
        break;

    case WM_TRACE_OUTPUT:
    case kTraceOutputBatch:
    case WM_TRACE_REGISTER:
    case WM_TRACE_UNREGISTER:
    case WM_TRACE_LOADPROFILE:
    case WM_TRACE_SETTINGSCHANGED: {
        const LRESULT result = OnTraceMessage(window, msg, wParam, lParam);
        // A steady stream of sends starves the timer messages: the status clock and the
        // row count would stand still for as long as the clients keep sending.
        const DWORD now = ::GetTickCount();
        if (now - w.lastTick >= kTickOverdueMs) {
            tracewnd_OnTimer(window, kTickTimerId);
        } else if (now - w.lastStatus >= kTickMs) {
            rowstore_FlushCount(Server().mainStore);
            tracewnd_UpdateStatus();
        }
        return result;
    }
    case WM_KV_REFRESHSTATUS:
        tracewnd_UpdateStatus();
        return 0;
    case WM_KV_SYNCTOOLBAR:
        tracewnd_SyncToolBar();
        return 0;
    case WM_DESTROY:
        if (w.onTopIcon) {
            ::DestroyIcon(w.onTopIcon);
            w.onTopIcon = nullptr;
        }
        break;
    default:
        if (tracewnd_OnFindMsg(window, msg, lParam)) return 0;
        break;
    }
    return ::DefWindowProcW(window, msg, wParam, lParam);
}

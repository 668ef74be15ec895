// The context menu of the trace lists, its commands and the keys that lead to them.
#include "window/operator.h"
#include "window/operator_internal.h"

#include "client/owners.h"
#include "client/region.h"
#include "server/filters.h"
#include "server/listselection.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/profiles.h"
#include "settings/serversettings.h"
#include "telegram/telegram.h"
#include "window/settingsapply.h"

using namespace kv;

namespace {

constexpr wchar_t kMenuCommandFunc[] = L"tracewnd_OnMenuCommand";
constexpr wchar_t kStartFunc[] = L"tracewnd_WndThread";

HMENU g_menu;           // window thread; loaded once, destroyed at the window's end
bool g_viewerMissing;   // "Trace Viewer" stays greyed for the window's life

// The menu as the library's resource describes it, for a library that carries none.
HMENU BuildContextMenu() noexcept {
    struct Item { int id; const wchar_t* text; };
    static const Item kItems[] = {
        {kCmdTraceViewer, L"Trace Viewer"},
        {kCmdTeleEncoder, L"Tele Encoder"},
        {0, nullptr},
        {kCmdLoadProfile, L"Load Profile\tShift+L"},
        {kCmdSaveProfile, L"Save Profile\tShift+S"},
        {0, nullptr},
        {kCmdFind, L"Find\tCtrl+F"},
        {kCmdFindNext, L"Find Next\tF3"},
        {kCmdFindPrev, L"Find Prev\tShift+F3"},
        {0, nullptr},
        {kCmdToggleMark, L"Set/Del Mark\tCtrl+F2"},
        {kCmdNextMark, L"Goto Next Mark\tF2"},
        {kCmdPrevMark, L"Goto Prev Mark\tShift+F2"},
        {kCmdClearMarks, L"Del All Marks\tCtrl+Shift+F2"},
        {0, nullptr},
        {kCmdSaveList, L"Save Traces To File\tCtrl+S"},
        {kCmdDeleteTraceFile, L"Delete Current Trace File\tCtrl+D"},
        {0, nullptr},
        {kCmdSettings, L"Settings And Filters"},
    };
    HMENU bar = ::CreateMenu();
    HMENU popup = ::CreatePopupMenu();
    if (!bar || !popup) {
        if (bar) ::DestroyMenu(bar);
        if (popup) ::DestroyMenu(popup);
        return nullptr;
    }
    for (const Item& item : kItems) {
        if (item.text)
            ::AppendMenuW(popup, MF_STRING, static_cast<UINT_PTR>(item.id), item.text);
        else
            ::AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
    }
    ::AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), L"Context Menu");
    return bar;
}

HMENU ContextMenu() noexcept {
    if (!g_menu) {
        g_menu = ::LoadMenuW(g_proc.instance, kContextMenuName);
        if (!g_menu) g_menu = BuildContextMenu();
    }
    return g_menu ? ::GetSubMenu(g_menu, 0) : nullptr;
}

void Line(short level, const wchar_t* func, const wchar_t* format, const wchar_t* arg) noexcept {
    if (traceapi_IsEnabled(0, level)) traceapi_Output1(0, level, func, format, arg);
}

bool TracingOn() noexcept { return g_region.globalEnable != 0; }

void SaveTraceList(HWND window) noexcept {
    wchar_t file[MAX_PATH] = {};
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = window;
    ofn.lpstrFilter = L"Trace Files (*.txt)\0*.txt\0All Files (*.*)\0*.*\0";
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrInitialDir = g_settings.LastFileDir;
    ofn.lpstrTitle = L"Save Trace List";
    ofn.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY;
    ofn.lpstrDefExt = L"txt";
    if (!op::SaveDialog(&ofn)) return;
    file[MAX_PATH - 1] = 0;
    tracewnd_SaveListToPath(Server().mainList, file);
}

void DeleteTraceFile(HWND window) noexcept {
    wchar_t name[MAX_PATH];
    CopyCut(name, MAX_PATH, tracewnd_CurrentTraceFile());
    wchar_t question[MAX_PATH + 32];
    FormatCut(question, ARRAYSIZE(question), L"Delete file \"%s\" ?", name);
    if (op::Box(window, question, MB_OKCANCEL) != IDOK) return;
    tracewnd_CloseTraceFile();
    const bool deleted = name[0] && ::DeleteFileW(name);
    // Writers on other threads count lines with interlocked increments.
    ::InterlockedExchange(reinterpret_cast<volatile LONG*>(&g_region.apps[0].dwLineCount), 0);
    if (deleted) Line(-1, kMenuCommandFunc, L"Trace file '%s' deleted", name);
}

void ShowSelectedTelegram() noexcept {
    const ServerState& st = Server();
    const int row = FirstSelected(st.mainList);
    if (row < 0) return;
    static RowCopy copy;  // window thread only; too large for the stack of a menu command
    if (rowstore_CopyRow(st.mainStore, row, &copy)) tracewnd_ShowTelegram(copy.text);
}

}  // namespace

void tracewnd_InitOperator(HWND window) {
    tracewnd_FindMessage();
    HMENU menu = ContextMenu();
    wchar_t path[MAX_PATH] = {};
    const DWORD found = ::SearchPathW(nullptr, L"kvtrcvwr.exe", nullptr, MAX_PATH, path, nullptr);
    g_viewerMissing = found == 0 || found >= MAX_PATH;
    if (g_viewerMissing) {
        if (menu) ::EnableMenuItem(menu, kCmdTraceViewer, MF_BYCOMMAND | MF_GRAYED);
        if (traceapi_IsEnabled(0, 0)) traceapi_Output(0, 0, kStartFunc, L"TraceViewer NOT found");
    } else {
        Line(0, kStartFunc, L"TraceViewer found at: '%s'", path);
    }
}

void tracewnd_EndOperator() {
    op::EndFind();
    if (g_menu) ::DestroyMenu(g_menu);
    g_menu = nullptr;
}

HMENU tracewnd_PrepareContextMenu() {
    HMENU menu = ContextMenu();
    if (!menu) return nullptr;
    const UINT fileItems = MF_BYCOMMAND | (TracingOn() ? MF_GRAYED : MF_ENABLED);
    ::EnableMenuItem(menu, kCmdDeleteTraceFile, fileItems);
    ::EnableMenuItem(menu, kCmdSaveList, fileItems);

    const ServerState& st = Server();
    const int row = FirstSelected(st.mainList);
    bool telegram = false;
    if (row >= 0) {
        static RowCopy copy;  // window thread only
        telegram = rowstore_CopyRow(st.mainStore, row, &copy) && tracewnd_GetTeleType(copy.text) > 0;
    }
    ::EnableMenuItem(menu, kCmdTeleEncoder, MF_BYCOMMAND | (telegram ? MF_ENABLED : MF_GRAYED));
    if (g_viewerMissing) ::EnableMenuItem(menu, kCmdTraceViewer, MF_BYCOMMAND | MF_GRAYED);
    return menu;
}

void tracewnd_OnContextMenu(HWND window, WPARAM, int x, int y) {
    HMENU menu = tracewnd_PrepareContextMenu();
    if (!menu) return;
    if (x == -1 && y == -1) {
        // From the keyboard (Shift+F10, the menu key): beside the focused row of the main
        // list, or its top left corner when no row is in view.
        const ServerState& st = Server();
        POINT at = {8, 8};
        const int row = st.mainList ? static_cast<int>(::SendMessageW(st.mainList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED)) : -1;
        RECT rc = {LVIR_BOUNDS, 0, 0, 0};
        if (row >= 0 && ::SendMessageW(st.mainList, LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&rc))) {
            RECT client, header;
            ::GetClientRect(st.mainList, &client);
            // The column header covers the top of the client area: a row behind it is out of view.
            HWND headerWindow = ListView_GetHeader(st.mainList);
            if (headerWindow && ::IsWindowVisible(headerWindow) && ::GetWindowRect(headerWindow, &header))
                client.top += header.bottom - header.top;
            if (rc.bottom > client.top && rc.top < client.bottom) at = {rc.left + 8, rc.bottom};
        }
        if (st.mainList) ::ClientToScreen(st.mainList, &at);
        x = at.x;
        y = at.y;
    }
    ::TrackPopupMenu(menu, TPM_RIGHTBUTTON, x, y, 0, window, nullptr);
}

void tracewnd_OnMenuCommand(HWND window, int id) {
    switch (id) {
    case kCmdSaveList:
        if (TracingOn())
            op::Beep();
        else
            SaveTraceList(window);
        break;
    case kCmdSettings:
        tracewnd_EditSettings(window);
        break;
    case kCmdDeleteTraceFile:
        if (TracingOn())
            op::Beep();
        else
            DeleteTraceFile(window);
        break;
    case kCmdToggleMark:
        op::ToggleMark();
        break;
    case kCmdNextMark:
    case kCmdPrevMark:
        op::GotoMark(id == kCmdNextMark);
        break;
    case kCmdFind:
        tracewnd_StartFind(window);
        break;
    case kCmdFindNext:
    case kCmdFindPrev:
        tracewnd_FindAgain(window, id == kCmdFindNext);
        break;
    case kCmdClearMarks:
        rowstore_ClearMarks(Server().mainStore);
        break;
    case kCmdLoadProfile:
        tracewnd_LoadProfile(window, nullptr);
        break;
    case kCmdSaveProfile:
        tracewnd_SaveProfile(window, nullptr);
        break;
    case kCmdTraceViewer:
        tracewnd_StartViewer();
        break;
    case kCmdTeleEncoder:
        ShowSelectedTelegram();
        break;
    default:
        break;
    }
}

bool tracewnd_OnOperatorKey(HWND window, WPARAM key) {
    const bool control = op::ControlDown();
    const bool shift = op::ShiftDown();
    switch (key) {
    case VK_ESCAPE:
        return op::CloseFindOnEscape();
    case 'D':
        if (!control) return false;
        ::SendMessageW(window, WM_COMMAND, kCmdDeleteTraceFile, 0);
        return true;
    case 'F':
        if (!control) return false;
        tracewnd_StartFind(window);
        return true;
    case 'L':
        if (!shift) return false;
        tracewnd_LoadProfile(window, nullptr);
        return true;
    case 'S':
        if (shift)
            tracewnd_SaveProfile(window, nullptr);
        else if (control)
            ::SendMessageW(window, WM_COMMAND, kCmdSaveList, 0);
        else
            return false;
        return true;
    case 'V':
        if (!control) return false;
        ::SendMessageW(window, WM_COMMAND, kCmdTraceViewer, 0);
        return true;
    case VK_F2:
        tracewnd_OnMarkKey();
        return true;
    case VK_F3:
        tracewnd_FindAgain(window, shift ? FALSE : TRUE);
        return true;
    default:
        return false;
    }
}

bool tracewnd_OnOperatorSysKey(HWND window, WPARAM key) {
    if (key != VK_F3) return false;
    tracewnd_StartFind(window);
    return true;
}

void tracewnd_OnListDoubleClick(HWND window) { tracewnd_EditSettings(window); }

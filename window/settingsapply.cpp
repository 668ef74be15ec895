// What the settings store and the profiles load, applied to the server core and the
// window; what they save, gathered from the window.
#include "window/settingsapply.h"

#include <commctrl.h>

#include "client/region.h"
#include "server/filters.h"
#include "server/registry.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/profiles.h"
#include "settings/serversettings.h"
#include "settings/settingsstore.h"
#include "settings/windowlayout.h"

using namespace kv;

namespace {

constexpr WORD kAppListSelChange = 1;  // the application list's selection-change notification

bool TraceWindowAlive() noexcept {
    HWND window = Server().traceWindow;
    return window && ::IsWindow(window);
}

// The placement and the column widths go into the layout record, which the save writes.
void TakeLayout(HWND window) noexcept {
    WindowLayout& layout = g_windowLayout;
    HWND list = Server().mainList;
    if (list && ::IsWindow(list)) {
        HWND header = ListView_GetHeader(list);
        const int count = header ? Header_GetItemCount(header) : 0;
        for (int i = 0; i < count && i < kListColumns; ++i) layout.columnWidths[i] = ListView_GetColumnWidth(list, i);
        layout.columnCount = count < kListColumns ? count : kListColumns;
    }
    // A minimized or maximized window's rectangle is not where it should come back.
    layout.iconic = ::IsIconic(window) != FALSE;
    layout.maximized = !layout.iconic && ::IsZoomed(window) != FALSE;
    RECT r;
    if (!layout.iconic && !layout.maximized && ::GetWindowRect(window, &r)) layout.rect = r;
}

}  // namespace

void tracewnd_LoadSettings() {
    LoadSettingsRecord();
    tracewnd_SplitFilters();
    tracewnd_SelectTraceFile();
}

void tracewnd_SaveSettings() {
    if (!TraceWindowAlive()) return;
    TakeLayout(Server().traceWindow);
    const short store = Server().mainStore;
    SaveSettingsRecord(store >= 0 ? rowstore_GetAutoScroll(store) : g_settings.AutoScroll);
}

void tracewnd_SetTitle() {
    if (!TraceWindowAlive()) return;
    wchar_t title[kTitleChars];
    tracewnd_FormatTitle(title, kTitleChars);
    ::SetWindowTextW(Server().traceWindow, title);
}

int tracewnd_LoadProfile(HWND owner, const wchar_t* path) {
    wchar_t file[kProfilePathChars];
    if (!ReadProfile(owner, path, file)) return 0;
    tracewnd_SplitFilters();
    if (traceapi_IsEnabled(0, -1)) traceapi_Output1(0, -1, L"tracewnd_LoadProfile", L"New Profile '%s' loaded", file);
    tracewnd_ShowAllSettings();

    // The window shows the selected application's switches again, as after a new pick
    // in the application list.
    const ServerState& server = Server();
    if (TraceWindowAlive())
        kv::SendChecked(server.traceWindow, WM_COMMAND, MAKEWPARAM(0, kAppListSelChange),
                       reinterpret_cast<LPARAM>(server.appList));
    if (auto sync = Seams().syncToolbar) sync();

    tracewnd_SetTitle();
    if (server.mainList) ::InvalidateRect(server.mainList, nullptr, TRUE);
    if (server.filterList) ::InvalidateRect(server.filterList, nullptr, TRUE);
    return 1;
}

void tracewnd_SaveProfile(HWND owner, const wchar_t* path) {
    if (TraceWindowAlive()) WriteProfile(owner, path);
}

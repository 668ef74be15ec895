// The settings edit: runs the settings dialog on the focused row and applies its result
// to the window, the lists and the trace file.
#include "window/operator.h"
#include "window/operator_internal.h"

#include <commctrl.h>

#include "client/owners.h"
#include "client/region.h"
#include "client/sendpath.h"
#include "server/filters.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/profiles.h"
#include "settings/serversettings.h"
#include "settings/settingsdialog.h"
#include "settings/settingsstore.h"
#include "window/settingsapply.h"

using namespace kv;

namespace {
constexpr wchar_t kEditFunc[] = L"tracewnd_EditSettings";
constexpr int kOnTopButtonId = 11;
}  // namespace

void tracewnd_EditSettings(HWND owner) {
    SettingsDialogSeams& seams = SettingsDialogSeam();
    seams.splitFilters = tracewnd_SplitFilters;
    seams.runTrigger = tracewnd_RunTriggerCommand;

    const ServerState& st = Server();
    static RowCopy focused;  // window thread only
    focused.text[0] = 0;
    const int row = st.mainList ? static_cast<int>(::SendMessageW(st.mainList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                                                  LVNI_FOCUSED))
                                : -1;
    if (row < 0 || !rowstore_CopyRow(st.mainStore, row, &focused)) focused.text[0] = 0;

    wchar_t keptFilterList[kFilterChars];
    CopyCut(keptFilterList, kFilterChars, g_settings.SpecialFilter);
    wchar_t file[MAX_PATH];
    {
        DataLock lock;
        CopyCut(file, MAX_PATH, g_proc.settingsPath);
    }
    if (tracewnd_SettingsDialog(g_proc.instance, owner, file, focused.text) != IDOK) return;

    tracewnd_CheckProfile();
    // Extending the filter-list string keeps the rows it collected; any other change
    // would leave rows there that the new string does not select.
    if (!g_settings.SpecialFilter[0] || !wcsstr(g_settings.SpecialFilter, keptFilterList)) {
        ListLock lock;  // intake threads of this process copy rows into it meanwhile
        rowstore_Clear(st.filterStore);
    }

    if (HWND window = st.traceWindow) {
        ::SetWindowPos(window, g_settings.TopMost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        ::CheckDlgButton(window, kOnTopButtonId, g_settings.TopMost ? BST_CHECKED : BST_UNCHECKED);
    }
    tracewnd_SetTitle();
    const ServerSettings& s = g_settings;
    if (traceapi_IsEnabled(0, -1))
        traceapi_Output7(0, -1, kEditFunc,
                         L"New settings 1: AutoStart=%d, AutoStop=%d, TopMost=%d, MaxLines=%ld, MaxDelete=%ld, "
                         L"FileDir='%s', HistDays=%d",
                         s.StartRivivEda, s.StopRivivEda, s.TopMost, static_cast<long>(s.MaxEntries),
                         static_cast<long>(s.MaxDelete), s.FileDir, static_cast<int>(s.HistoryDays));
    if (traceapi_IsEnabled(0, -1))
        traceapi_Output7(0, -1, kEditFunc,
                         L"New settings 2: IncludeFilter='%s', ExcludeFilter='%s', SpecialFilter='%s', Highlight='%s' "
                         L"(Mark=%d), Trigger='%s' (Flags=0x%x)",
                         s.IncludeFilter, s.ExcludeFilter, s.SpecialFilter, s.HighlightFilter, s.MarkHighlight,
                         s.TriggerFilter, static_cast<unsigned>(s.TriggerFlags));
    if (st.mainList) ::InvalidateRect(st.mainList, nullptr, TRUE);
    if (st.filterList) ::InvalidateRect(st.filterList, nullptr, TRUE);
    tracewnd_SelectTraceFile();
    if (st.traceWindow) ::PostMessageW(st.traceWindow, WM_TRACE_SETTINGSCHANGED, 0, 0);
}

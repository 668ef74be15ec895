// The application list of the trace window: one entry "PROCESS - MODULE" per used slot,
// carrying the slot's handle as item data, plus the check for ended processes and the
// settings summary lines.
#include "server/registry.h"

#include "client/faultguard.h"
#include "client/region.h"
#include "server/intake.h"
#include "server/serverstate.h"
#include "settings/serversettings.h"

using namespace kv;

namespace {

bool AppListAlive() noexcept {
    HWND list = Server().appList;
    return list && ::IsWindow(list);
}

// Makes entry index the selection and tells the trace window, as a user's pick would.
void SelectEntry(HWND list, int index) noexcept {
    ::SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    if (HWND owner = Server().traceWindow)
        ::SendMessageW(owner, WM_COMMAND, MAKEWPARAM(0, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

}  // namespace

int tracewnd_AddApplication(int h) {
    if (!IsValidHandle(h) || !AppListAlive()) return 0;
    HWND list = Server().appList;
    ListLock lock;
    const bool ok = RunGuarded([&] {
        const TRACEAPP& slot = g_region.apps[h];
        wchar_t entry[128];
        FormatCut(entry, 128, L"%s - %s", slot.szProcess, slot.szModule);
        LRESULT index = ::SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
        if (index < 0) return;
        ::SendMessageW(list, CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(h));
        if (index == 0) SelectEntry(list, 0);
        if (traceapi_IsEnabled(0, 0))
            traceapi_Output7(0, 0, L"tracewnd_AddApplication",
                             L"Process '%s', Module '%s' registered - Path: '%s', Handle: %d, Thread-ID: %d, Settings: %s - [%s]",
                             slot.szProcess, slot.szModule, slot.szPath, h, static_cast<int>(::GetCurrentThreadId()),
                             g_proc.settingsPath, slot.szSection);
    });
    return ok ? 1 : 0;
}

int tracewnd_RemoveApplication(int h) {
    if (!IsValidHandle(h) || !AppListAlive()) return 0;
    HWND list = Server().appList;
    ListLock lock;
    const bool ok = RunGuarded([&] {
        const LRESULT count = ::SendMessageW(list, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            if (::SendMessageW(list, CB_GETITEMDATA, static_cast<WPARAM>(i), 0) != h) continue;
            ::SendMessageW(list, CB_DELETESTRING, static_cast<WPARAM>(i), 0);
            SelectEntry(list, i > 0 ? static_cast<int>(i - 1) : 0);
            if (g_region.globalEnable) {
                const TRACEAPP& slot = g_region.apps[h];
                wchar_t line[200];
                FormatCut(line, 200, L"Process '%s', Module '%s' unregistered - Handle: %d", slot.szProcess, slot.szModule, h);
                tracewnd_AddMessage(0, L"tracewnd_RemoveApplication", line, 0);
            }
            break;
        }
    });
    return ok ? 1 : 0;
}

void tracewnd_CheckApplications() {
    ListLock lock;
    RunGuarded([] {
        for (int i = kFirstClientSlot; i < kAppSlots; ++i) {
            TRACEAPP& slot = g_region.apps[i];
            const DWORD pid = slot.dwProcessId;
            if (pid == 0) continue;
            if (::GetProcessVersion(pid) != 0) continue;
            const DWORD error = ::GetLastError();
            if (traceapi_IsEnabled(0, 0))
                traceapi_Output3(0, 0, L"tracewnd_CheckApplications",
                                 L"Process '%s', Module '%s' not found (LastError:%ld) - remove from list ",
                                 slot.szProcess, slot.szModule, static_cast<long>(error));
            traceapi_Unregister(static_cast<short>(i), 0);
            ZeroMemory(&slot, sizeof(slot));
        }
    });
}

void tracewnd_RefillApplications() {
    if (!AppListAlive()) return;
    {
        ListLock lock;
        ::SendMessageW(Server().appList, CB_RESETCONTENT, 0, 0);
    }
    for (int i = 0; i < kAppSlots; ++i)
        if (g_region.apps[i].szModule[0]) tracewnd_AddApplication(i);
}

void tracewnd_ShowAllSettings() {
    const wchar_t kFunc[] = L"tracewnd_ShowAllSettings";
    const ServerSettings& s = g_settings;
    if (traceapi_IsEnabled(0, 0))
        traceapi_Output7(0, 0, kFunc,
                         L"Global settings 1: AutoStart=%d, AutoStop=%d, TopMost=%d, MaxLines=%ld, MaxDelete=%ld, FileDir='%s', HistDays=%d",
                         s.StartRivivEda, s.StopRivivEda, s.TopMost, static_cast<long>(s.MaxEntries),
                         static_cast<long>(s.MaxDelete), s.FileDir, static_cast<int>(s.HistoryDays));
    if (traceapi_IsEnabled(0, 0))
        traceapi_Output8(0, 0, kFunc,
                         L"Global settings 2: IncludeFilter='%s', ExcludeFilter='%s', SpecialFilter='%s', Highlight='%s' (Mark=%d), Trigger='%s' (Flags:0x%x, Exec:'%s')",
                         s.IncludeFilter, s.ExcludeFilter, s.SpecialFilter, s.HighlightFilter, s.MarkHighlight,
                         s.TriggerFilter, s.TriggerFlags, s.TriggerExec);
    for (int i = 0; i < kAppSlots; ++i) {
        const TRACEAPP& slot = g_region.apps[i];
        if (!slot.szModule[0] || !traceapi_IsEnabled(0, 0)) continue;
        // Built first and emitted as plain text: a name with a "%" fails the format
        // check and shows as the format error, never as a format.
        wchar_t line[900];
        FormatCut(line, 900,
                  L"Process '%s', Module '%s', Path '%s', Handle %d, Thread-ID %d, Settings: %s - [%s], Dignose=%d, Info=%d, Warning=%d, Error=%d",
                  slot.szProcess, slot.szModule, slot.szPath, i, static_cast<int>(::GetCurrentThreadId()), g_proc.settingsPath,
                  slot.szSection, slot.EnableDiag, slot.EnableInfo, slot.EnableWarning, slot.EnableError);
        traceapi_Output(0, 0, kFunc, line);
    }
}

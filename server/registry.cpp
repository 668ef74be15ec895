// The application list of the trace window: one entry "PROCESS - MODULE" per used slot,
// carrying the slot's handle as item data, plus the check for ended processes and the
// settings summary lines.
#include "server/registry.h"

#include "client/levels.h"
#include "client/owners.h"
#include "client/region.h"
#include "client/sendpath.h"
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
    kv::SendChecked(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    if (HWND owner = Server().traceWindow)
        kv::SendChecked(owner, WM_COMMAND, MAKEWPARAM(0, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

// Copies of a slot's names; the slot lies in the shared region and may change meanwhile,
// so every read of it is bounded and nothing here needs a fault guard.
struct SlotNames {
    wchar_t process[50];
    wchar_t module[50];
    wchar_t path[MAX_PATH];
    wchar_t section[50];
    explicit SlotNames(const TRACEAPP& slot) noexcept {
        CopyCut(process, ARRAYSIZE(process), slot.szProcess);
        CopyCut(module, ARRAYSIZE(module), slot.szModule);
        CopyCut(path, ARRAYSIZE(path), slot.szPath);
        CopyCut(section, ARRAYSIZE(section), slot.szSection);
    }
};

}  // namespace

int tracewnd_AddApplication(int h) {
    if (!IsValidHandle(h) || !AppListAlive()) return 0;
    HWND list = Server().appList;
    const SlotNames names(g_region.apps[h]);
    wchar_t entry[128];
    FormatCut(entry, 128, L"%s - %s", names.process, names.module);
    {
        ListLock lock;
        const LRESULT index = kv::SendChecked(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
        if (index < 0) return 0;  // CB_ERR or CB_ERRSPACE: the application is not listed
        kv::SendChecked(list, CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(h));
        if (index == 0) SelectEntry(list, 0);
    }
    if (traceapi_IsEnabled(0, 0))
        traceapi_Output7(0, 0, L"tracewnd_AddApplication",
                         L"Process '%s', Module '%s' registered - Path: '%s', Handle: %d, Thread-ID: %d, Settings: %s - [%s]",
                         names.process, names.module, names.path, h, static_cast<int>(::GetCurrentThreadId()),
                         g_proc.settingsPath, names.section);
    return 1;
}

int tracewnd_RemoveApplication(int h) {
    if (!IsValidHandle(h) || !AppListAlive()) return 0;
    HWND list = Server().appList;
    bool removed = false;
    {
        ListLock lock;
        const LRESULT count = kv::SendChecked(list, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            if (kv::SendChecked(list, CB_GETITEMDATA, static_cast<WPARAM>(i), 0) != h) continue;
            kv::SendChecked(list, CB_DELETESTRING, static_cast<WPARAM>(i), 0);
            SelectEntry(list, i > 0 ? static_cast<int>(i - 1) : 0);
            removed = true;
            break;
        }
    }
    if (removed && g_region.globalEnable) {
        const SlotNames names(g_region.apps[h]);
        wchar_t line[200];
        FormatCut(line, 200, L"Process '%s', Module '%s' unregistered - Handle: %d", names.process, names.module, h);
        tracewnd_AddMessageFrom(0, L"tracewnd_RemoveApplication", line, 0, ::GetCurrentThreadId());
    }
    return 1;
}

bool tracewnd_ProcessEnded(DWORD versionResult, DWORD versionError, DWORD openError, bool exited) {
    if (versionResult != 0) return false;                       // it answered: it runs
    if (versionError == ERROR_INVALID_PARAMETER) return true;   // no process with that id
    // Any other failure (access denied for an elevated or service process, a process
    // still starting) says nothing by itself: ask the process object.
    if (openError == ERROR_INVALID_PARAMETER) return true;
    return openError == ERROR_SUCCESS && exited;
}

namespace {

bool ProcessEnded(DWORD pid, DWORD& versionError) noexcept {
    const DWORD version = ::GetProcessVersion(pid);
    if (version != 0) return false;
    versionError = ::GetLastError();
    DWORD openError = ERROR_SUCCESS;
    bool exited = false;
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        openError = ::GetLastError();
    } else {
        exited = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        ::CloseHandle(process);
    }
    return tracewnd_ProcessEnded(version, versionError, openError, exited);
}

}  // namespace

void tracewnd_CheckApplications() {
    for (int i = kFirstClientSlot; i < kAppSlots; ++i) {
        TRACEAPP& slot = g_region.apps[i];
        const DWORD pid = slot.dwProcessId;
        DWORD error = 0;
        if (pid == 0 || !ProcessEnded(pid, error)) continue;
        const SlotNames names(slot);
        if (traceapi_IsEnabled(0, 0))
            traceapi_Output3(0, 0, L"tracewnd_CheckApplications",
                             L"Process '%s', Module '%s' not found (LastError:%ld) - remove from list ", names.process,
                             names.module, static_cast<long>(error));
        tracewnd_RemoveApplication(i);
        // Freed only while it still belongs to the ended process: a registration may have
        // claimed the slot since it was looked at.
        DataLock lock;
        if (!lock.owned() || slot.dwProcessId != pid) continue;
        WriteLevelSwitchesLocked(i);
        ZeroMemory(&slot, sizeof(slot));
    }
}

void tracewnd_RefillApplications() {
    if (!AppListAlive()) return;
    {
        ListLock lock;
        kv::SendChecked(Server().appList, CB_RESETCONTENT, 0, 0);
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

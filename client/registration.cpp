// Application registration: claiming and filling a client slot, announcing it to the
// trace window, starting the server host on request, and unregistration.
#include "client/faultguard.h"
#include "client/levels.h"
#include "client/owners.h"
#include "client/region.h"
#include "client/sendpath.h"
#include "client/windowsink.h"
#include "suite/kvdlinkx.h"

#include <string>

using namespace kv;

namespace {

const wchar_t kRegisterFunc[] = L"traceapi_Register";
const wchar_t kUnregisterFunc[] = L"traceapi_Unregister";

// Fills slot h for application szApp; runs guarded, under the data mutex.
void FillSlot(int h, const wchar_t* szApp) {
    TRACEAPP& slot = g_region.apps[h];
    CopyCut(slot.szModule, kModuleMaxChars + 1, szApp);

    wchar_t path[kSlotPathChars] = {};
    DWORD n = ::GetModuleFileNameW(nullptr, path, kSlotPathChars);
    if (n >= kSlotPathChars) path[kSlotPathChars - 1] = 0;
    CopyCut(slot.szPath, MAX_PATH, path);

    // Base name: after the last backslash, cut at its last dot, upper-cased.
    wchar_t* base = wcsrchr(path, L'\\');
    base = base ? base + 1 : path;
    if (wchar_t* dot = wcsrchr(base, L'.')) *dot = 0;
    ::CharUpperW(base);

    slot.dwProcessId = ::GetCurrentProcessId();
    FormatCut(slot.szProcess, 50, L"%s [%d]", base, static_cast<int>(slot.dwProcessId));
    FormatCut(slot.szSection, 50, L"%s_%s", base, szApp);
    ReadLevelSwitchesLocked(h);
}

// True when the caller's text can be read to its end.
bool Readable(const wchar_t* s) noexcept {
    if (!s) return false;
    return RunGuarded([&] {
        volatile size_t n = wcslen(s);
        (void)n;
    });
}

}  // namespace

// Where the server host is looked for: the application's directory, the system
// directories and PATH, in the system's order, but never the current directory, where
// anyone may have placed a program of that name. Empty when it is nowhere.
bool kv::FindServerHost(wchar_t* out, DWORD cap) noexcept {
    if (!out || cap == 0) return false;
    out[0] = 0;
    std::wstring dirs;
    wchar_t dir[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(nullptr, dir, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
        if (wchar_t* slash = wcsrchr(dir, L'\\')) *slash = 0;
        dirs += dir;
    }
    n = ::GetSystemDirectoryW(dir, MAX_PATH);
    if (n > 0 && n < MAX_PATH) (dirs += L';') += dir;
    n = ::GetWindowsDirectoryW(dir, MAX_PATH);
    if (n > 0 && n < MAX_PATH) (dirs += L';') += dir;
    n = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (n > 0) {
        std::wstring path(n, L'\0');
        n = ::GetEnvironmentVariableW(L"PATH", &path[0], n);
        path.resize(n);
        // "." and empty entries would name the current directory again.
        size_t start = 0;
        while (start <= path.size()) {
            size_t end = path.find(L';', start);
            if (end == std::wstring::npos) end = path.size();
            std::wstring entry = path.substr(start, end - start);
            if (!entry.empty() && entry != L"." && entry != L".\\") (dirs += L';') += entry;
            start = end + 1;
        }
    }
    const DWORD found = ::SearchPathW(dirs.c_str(), kServerHostName, nullptr, cap, out, nullptr);
    if (found == 0 || found >= cap) {
        out[0] = 0;
        return false;
    }
    return true;
}

namespace {

void StartServerHost() noexcept {
    wchar_t path[MAX_PATH];
    if (!FindServerHost(path, MAX_PATH)) return;
    wchar_t command[MAX_PATH + 2];
    FormatCut(command, ARRAYSIZE(command), L"\"%s\"", path);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION created = {};
    if (!::CreateProcessW(path, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &created)) return;
    ::CloseHandle(created.hThread);
    ::CloseHandle(created.hProcess);
}

// Tells a window about a registration or unregistration through the current message
// slot, bounded like every send of a client.
void Announce(HWND window, UINT msg, short h, LPARAM lParam) noexcept {
    SlotLock lock;
    if (!lock.owned()) return;
    g_region.curHandle = h;
    SendBounded(window, msg, static_cast<WPARAM>(static_cast<INT_PTR>(h)), lParam);
}

}  // namespace

extern "C" short __cdecl traceapi_Register(const WCHAR* szApp, const WCHAR* pIniFile, BOOL bForceWnd) {
    if (!szApp) {
        if (traceapi_IsEnabled(0, 0)) traceapi_Output(0, 0, kRegisterFunc, L"ERROR: szAppName=NULL !");
        return -1;
    }

    if (!LocksAvailable()) return -1;  // fail closed: no slot is claimed without the locks
    short h = -1;
    bool faulted = false;
    bool ownIni = false;
    {
        DataLock lock;
        if (!lock.owned()) return -1;
        wchar_t suiteDir[259];
        kvdlinkx_GetSuiteDir(suiteDir, 259);

        for (int i = kFirstClientSlot; i < kAppSlots; ++i) {
            if (!g_region.apps[i].szModule[0]) {
                h = static_cast<short>(i);
                break;
            }
        }
        if (h > 0) {
            const short claimed = h;
            faulted = !RunGuarded([&] {
                FillSlot(claimed, szApp);
                ownIni = pIniFile && pIniFile[0];
            });
            if (faulted) {
                // A half-filled slot would stay claimed for good: give it back.
                ZeroMemory(&g_region.apps[claimed], sizeof(TRACEAPP));
                h = -1;
            }
        }
    }

    // The library's own lines go out only after the data mutex is released: no path
    // may hold both mutexes, or a sender waiting for the window could deadlock with us.
    if (faulted) {
        if (traceapi_IsEnabled(0, 0)) {
            if (Readable(szApp))
                traceapi_Output3(0, 0, kRegisterFunc, L"Fatal EXCEPTION: szApp='%s', pIniFile=%x, bForceWnd=%d !", szApp, pIniFile, bForceWnd);
            else
                traceapi_Output3(0, 0, kRegisterFunc, L"Fatal EXCEPTION: szApp=%x, pIniFile=%x, bForceWnd=%d !", szApp, pIniFile, bForceWnd);
        }
        return -1;
    }
    if (h < kFirstClientSlot) return -1;

    if (ownIni && traceapi_IsEnabled(0, 0))
        traceapi_Output3(0, 0, kRegisterFunc, L"Own INI no longer supported: szApp='%s', pIniFile=%x, bForceWnd=%d !", szApp, pIniFile, bForceWnd);

    if (LocalTraceWindowAlive()) {
        if (const TraceWindowSink* sink = LocalTraceSink()) sink->addApplication(h);
    } else if (ServerWindowAlive()) {
        Announce(ServerWindow(), WM_TRACE_REGISTER, h, 0);
    } else if (bForceWnd) {
        // The window picks up every filled slot when it starts.
        StartServerHost();
    }
    if (HWND notify = g_proc.notifyWindow) Announce(notify, WM_TRACE_REGISTER, h, 0);
    return h;
}

extern "C" void __cdecl traceapi_Unregister(short TrcHdl, BOOL ForceShutWnd) {
    if (!IsValidHandle(TrcHdl) || !LocksAvailable()) return;

    if (LocalTraceWindowAlive()) {
        if (const TraceWindowSink* sink = LocalTraceSink()) sink->removeApplication(TrcHdl);
    } else if (ServerWindowAlive()) {
        Announce(ServerWindow(), WM_TRACE_UNREGISTER, TrcHdl, static_cast<LPARAM>(ForceShutWnd));
    }
    if (HWND notify = g_proc.notifyWindow) Announce(notify, WM_TRACE_UNREGISTER, TrcHdl, static_cast<LPARAM>(ForceShutWnd));

    bool ok;
    {
        DataLock lock;
        if (!lock.owned()) return;
        ok = RunGuarded([&] {
            WriteLevelSwitchesLocked(TrcHdl);
            ZeroMemory(&g_region.apps[TrcHdl], sizeof(TRACEAPP));
        });
    }
    if (!ok && traceapi_IsEnabled(0, 0))
        traceapi_Output2(0, 0, kUnregisterFunc, L"Fatal EXCEPTION: TrcHdl=%d, ForceShutWnd=%d !", static_cast<int>(TrcHdl), ForceShutWnd);
}

extern "C" short __stdcall traceapi_Register_VB(const WCHAR* szApp, const WCHAR* pIniFile, BOOL bForceWnd) {
    return traceapi_Register(szApp, pIniFile, bForceWnd);
}

extern "C" void __stdcall traceapi_Unregister_VB(short TrcHdl, BOOL ForceShutWnd) {
    traceapi_Unregister(TrcHdl, ForceShutWnd);
}

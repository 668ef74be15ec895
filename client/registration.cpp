// Application registration: claiming and filling a client slot, announcing it to the
// trace window, starting the server host on request, and unregistration.
#include "client/faultguard.h"
#include "client/levels.h"
#include "client/owners.h"
#include "client/region.h"
#include "client/windowsink.h"
#include "suite/kvdlinkx.h"

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

void StartServerHost() noexcept {
    char cmd[260];
    int n = ::WideCharToMultiByte(CP_ACP, 0, L"KVTrcSrv.exe", -1, cmd, 259, nullptr, nullptr);
    if (n <= 0) return;
    cmd[259] = 0;
    ::WinExec(cmd, SW_SHOWNORMAL);
}

// Tells the trace window (in this process, or through the current message slot)
// about a registration or unregistration.
void Announce(UINT msg, short h, LPARAM lParam) noexcept {
    MutexLock lock(g_proc.curDataMutex);
    g_region.curHandle = h;
    ::SendMessageW(ServerWindow(), msg, static_cast<WPARAM>(static_cast<INT_PTR>(h)), lParam);
}

}  // namespace

extern "C" short __cdecl traceapi_Register(const WCHAR* szApp, const WCHAR* pIniFile, BOOL bForceWnd) {
    if (!szApp) {
        if (traceapi_IsEnabled(0, 0)) traceapi_Output(0, 0, kRegisterFunc, L"ERROR: szAppName=NULL !");
        return -1;
    }

    short h = -1;
    bool faulted = false;
    bool ownIni = false;
    {
        MutexLock lock(g_proc.dataMutex);
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
        Announce(WM_TRACE_REGISTER, h, 0);
    } else if (bForceWnd) {
        // The window picks up every filled slot when it starts.
        StartServerHost();
    }
    if (HWND notify = g_proc.notifyWindow)
        ::SendMessageW(notify, WM_TRACE_REGISTER, static_cast<WPARAM>(static_cast<INT_PTR>(h)), 0);
    return h;
}

extern "C" void __cdecl traceapi_Unregister(short TrcHdl, BOOL ForceShutWnd) {
    if (!IsValidHandle(TrcHdl)) return;

    if (LocalTraceWindowAlive()) {
        if (const TraceWindowSink* sink = LocalTraceSink()) sink->removeApplication(TrcHdl);
    } else if (ServerWindowAlive()) {
        Announce(WM_TRACE_UNREGISTER, TrcHdl, static_cast<LPARAM>(ForceShutWnd));
    }
    if (HWND notify = g_proc.notifyWindow)
        ::SendMessageW(notify, WM_TRACE_UNREGISTER, static_cast<WPARAM>(static_cast<INT_PTR>(TrcHdl)), static_cast<LPARAM>(ForceShutWnd));

    bool ok;
    {
        MutexLock lock(g_proc.dataMutex);
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

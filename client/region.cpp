// The shared trace region, per-process state, liveness checks and text helpers.
#include "client/region.h"

#include "client/faultguard.h"
#include "client/levels.h"
#include "client/locks.h"
#include "client/owners.h"
#include "client/sendpath.h"
#include "client/windowsink.h"
#include "suite/kvdlinkx.h"

namespace kv {

// Every field starts at zero except the global enable switch.
KV_SHARED_SECTION_BEGIN
KV_SHARED SharedRegion g_region = {1};
KV_SHARED_SECTION_END

ProcessState g_proc;

namespace {
const TraceWindowSink* g_sink;
}

bool ServerWindowAlive() noexcept {
    uint32_t field = g_region.serverWindow;
    if (field == 0) return false;
    if (::IsWindow(WindowFromField(field))) return true;
    // Clear only what we looked at: another process may have named a new window meanwhile.
    ::InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&g_region.serverWindow), 0, static_cast<LONG>(field));
    return false;
}

HWND ServerWindow() noexcept { return WindowFromField(g_region.serverWindow); }

bool LocalTraceWindowAlive() noexcept {
    HWND h = g_proc.localTraceWindow;
    if (!h) return false;
    if (::IsWindow(h)) return true;
    g_proc.localTraceWindow = nullptr;
    return false;
}

void AttachTraceWindow(HWND mainList, const TraceWindowSink* sink) noexcept {
    g_sink = sink;
    g_proc.localTraceWindow = mainList;
}

void DetachTraceWindow() noexcept {
    g_proc.localTraceWindow = nullptr;
    g_sink = nullptr;
}

const TraceWindowSink* LocalTraceSink() noexcept { return g_sink; }

void ProcessAttach(HINSTANCE instance) noexcept {
    if (g_proc.dataMutex) return;
    g_proc.instance = instance;
    FaultGuardInstall();

    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    g_proc.dataMutex = ::CreateMutexW(&sa, FALSE, L"traceapi_dll_datamutex");
    g_proc.curDataMutex = ::CreateMutexW(&sa, FALSE, L"traceapi_dll_curdatamutex");

    wchar_t dir[MAX_PATH] = {};
    DWORD n = ::GetModuleFileNameW(nullptr, dir, MAX_PATH);
    if (n >= MAX_PATH) dir[MAX_PATH - 1] = 0;
    if (wchar_t* slash = wcsrchr(dir, L'\\')) *slash = 0;

    FormatCut(g_proc.settingsPath, MAX_PATH, L"%s\\%s", dir, L"KVTRCSRV.ini");
    kvdlinkx_FileToRead(g_proc.settingsPath);
    // This runs under the loader lock, and through the desktop hook in every program
    // that runs a window procedure: a trace window holding the mutex for a while must
    // not freeze them. Past the bound the server entry's switches stay as they stand.
    if (!g_proc.dataMutex) return;  // fails closed: see LocksAvailable
    RankedMutexLock lock(g_proc.dataMutex, LockRank::kData, kAttachWaitMs);
    if (!lock.owned()) {
        NoteBusyStart();
        return;
    }
    // While a trace window runs, the server entry's switches are the operator's (tool
    // bar, the window's settings, profiles); a process that merely loads the library,
    // perhaps through the desktop hook and from anywhere, must not replace them with
    // whatever its own directory's settings file says. With no window they are read.
    if (!ServerWindowAlive()) ReadLevelSwitches(0);
}

void ProcessDetach() noexcept {
    DetachTraceWindow();
    if (g_proc.dataMutex) ::CloseHandle(g_proc.dataMutex);
    if (g_proc.curDataMutex) ::CloseHandle(g_proc.curDataMutex);
    g_proc.dataMutex = nullptr;
    g_proc.curDataMutex = nullptr;
    FaultGuardRemove();
}

void CopyCut(wchar_t* dst, size_t cap, const wchar_t* src) noexcept {
    if (cap == 0) return;
    size_t i = 0;
    if (src) {
        for (; i + 1 < cap && src[i]; ++i) dst[i] = src[i];
    }
    dst[i] = 0;
}

void FormatCutV(wchar_t* dst, size_t cap, const wchar_t* fmt, va_list args) noexcept {
    if (cap == 0) return;
    // The runtime neither terminates nor reports the length when the text is too long,
    // so the last character is reserved for the terminator.
    kv_crt_vsnwprintf(dst, cap - 1, fmt ? fmt : L"", args);
    dst[cap - 1] = 0;
}

void FormatCut(wchar_t* dst, size_t cap, const wchar_t* fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    FormatCutV(dst, cap, fmt, args);
    va_end(args);
}

}  // namespace kv

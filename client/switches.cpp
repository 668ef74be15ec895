// Enable switches and accessors of the shared region.
#include "client/owners.h"
#include "client/region.h"
#include "client/sendpath.h"

using namespace kv;

namespace {
// Getters and setters accept any handle but never reach outside the table.
INT GetSwitch(short h, INT TRACEAPP::*field) noexcept { return IsValidHandle(h) ? g_region.apps[h].*field : 0; }
void SetSwitch(short h, INT TRACEAPP::*field, INT value) noexcept {
    if (!IsValidHandle(h) || !LocksAvailable()) return;
    DataLock lock;
    if (lock.owned()) g_region.apps[h].*field = value;
}
const wchar_t kCurrentUser[] = L"???";
}  // namespace

extern "C" INT __cdecl traceapi_GetEnable(void) { return g_region.globalEnable; }

extern "C" void __cdecl traceapi_SetEnable(INT bEnable) {
    if (!LocksAvailable()) return;
    DataLock lock;
    if (lock.owned()) g_region.globalEnable = bEnable;
}

extern "C" INT __cdecl traceapi_GetEnableDiag(short h) { return GetSwitch(h, &TRACEAPP::EnableDiag); }
extern "C" INT __cdecl traceapi_GetEnableInf(short h) { return GetSwitch(h, &TRACEAPP::EnableInfo); }
extern "C" INT __cdecl traceapi_GetEnableWarn(short h) { return GetSwitch(h, &TRACEAPP::EnableWarning); }
extern "C" INT __cdecl traceapi_GetEnableErr(short h) { return GetSwitch(h, &TRACEAPP::EnableError); }
extern "C" void __cdecl traceapi_SetEnableDiag(short h, INT v) { SetSwitch(h, &TRACEAPP::EnableDiag, v); }
extern "C" void __cdecl traceapi_SetEnableInf(short h, INT v) { SetSwitch(h, &TRACEAPP::EnableInfo, v); }
extern "C" void __cdecl traceapi_SetEnableWarn(short h, INT v) { SetSwitch(h, &TRACEAPP::EnableWarning, v); }
extern "C" void __cdecl traceapi_SetEnableErr(short h, INT v) { SetSwitch(h, &TRACEAPP::EnableError, v); }

extern "C" const WCHAR* __cdecl traceapi_GetCurFuncName(void) { return g_region.curFunc; }
extern "C" const WCHAR* __cdecl traceapi_GetCurTrcTxt(void) { return g_region.curText; }
extern "C" const WCHAR* __cdecl traceapi_GetCurUser(void) { return kCurrentUser; }
extern "C" DWORD __cdecl traceapi_GetCurThreadID(void) { return g_region.curThreadId; }

extern "C" TRACEAPP* __cdecl traceapi_GetTraceApp(short h) {
    return IsValidHandle(h) ? &g_region.apps[h] : nullptr;
}

extern "C" BOOL __cdecl traceapi_SetTraceWindow(HWND hWnd, BOOL bServer) {
    if (bServer) {
        if (!LocksAvailable()) return FALSE;
        DataLock lock;
        if (!lock.owned()) return FALSE;
        g_region.serverWindow = FieldFromWindow(hWnd);
        g_proc.notifyWindow = nullptr;
    } else {
        g_proc.notifyWindow = hWnd;
    }
    return TRUE;
}

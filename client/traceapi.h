/* Exported trace interface of kvtrcifx: registration, output, switches and accessors.
   Usable from C and C++; wide-character strings throughout. */
#ifndef KVTRCIFX_TRACEAPI_H
#define KVTRCIFX_TRACEAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Trace levels. Levels 10..40 are governed by the application's level switches;
   0 (server message) and -1 (operator action) are not. */
#define TRACE_LEVEL_ERROR    10
#define TRACE_LEVEL_WARNING  20
#define TRACE_LEVEL_INFO     30
#define TRACE_LEVEL_DIAG     40
#define TRACE_LEVEL_SERVER    0
#define TRACE_LEVEL_OPERATOR (-1)

/* Window messages between clients and the trace window. */
#define WM_TRACE_OUTPUT          (WM_USER + 100) /* 1124 */
#define WM_TRACE_REGISTER        (WM_USER + 101) /* 1125 */
#define WM_TRACE_UNREGISTER      (WM_USER + 102) /* 1126 */
#define WM_TRACE_LOADPROFILE     (WM_USER + 103) /* 1127 */
#define WM_TRACE_SETTINGSCHANGED (WM_USER + 104) /* 1128 */

#define TRACE_MAX_APPS 512

/* One application slot of the shared trace region, as handed out by
   traceapi_GetTraceApp. The field order and widths are fixed. */
typedef struct TRACEAPP {
    WCHAR szProcess[50];   /* "NAME [pid]" of the executable; "<NAME [pid]>" for the server entry */
    WCHAR szModule[50];    /* application name; empty = free slot */
    WCHAR szPath[260];     /* full path of the executable */
    WCHAR szSection[50];   /* settings section of the level switches */
    DWORD dwLineCount;     /* server entry only: lines in the current trace file */
    INT   EnableDiag;
    INT   EnableInfo;
    INT   EnableWarning;
    INT   EnableError;
    DWORD dwProcessId;     /* owning process; 0 = none */
} TRACEAPP;

/* Registration */
short __cdecl traceapi_Register(const WCHAR* szApp, const WCHAR* pIniFile, BOOL bForceWnd);
void  __cdecl traceapi_Unregister(short TrcHdl, BOOL ForceShutWnd);
short __stdcall traceapi_Register_VB(const WCHAR* szApp, const WCHAR* pIniFile, BOOL bForceWnd);
void  __stdcall traceapi_Unregister_VB(short TrcHdl, BOOL ForceShutWnd);

/* Output. traceapi_OutputN takes exactly N arguments after the format; each is one
   integer, character or pointer ("%s" takes a wide string, "%S" a narrow one).
   The caller tests traceapi_IsEnabled first. */
BOOL __cdecl traceapi_IsEnabled(short TrcHdl, short Level);
void __cdecl traceapi_Output(short TrcHdl, short Level, const WCHAR* szFunc, const WCHAR* szText);
void __cdecl traceapi_Output1(short TrcHdl, short Level, const WCHAR* szFunc, const WCHAR* szFormat, ...);
void __cdecl traceapi_Output2(short TrcHdl, short Level, const WCHAR* szFunc, const WCHAR* szFormat, ...);
void __cdecl traceapi_Output3(short TrcHdl, short Level, const WCHAR* szFunc, const WCHAR* szFormat, ...);
void __cdecl traceapi_Output4(short TrcHdl, short Level, const WCHAR* szFunc, const WCHAR* szFormat, ...);
void __cdecl traceapi_Output5(short TrcHdl, short Level, const WCHAR* szFunc, const WCHAR* szFormat, ...);
void __cdecl traceapi_Output6(short TrcHdl, short Level, const WCHAR* szFunc, const WCHAR* szFormat, ...);
void __cdecl traceapi_Output7(short TrcHdl, short Level, const WCHAR* szFunc, const WCHAR* szFormat, ...);
void __cdecl traceapi_Output8(short TrcHdl, short Level, const WCHAR* szFunc, const WCHAR* szFormat, ...);
void __cdecl traceapi_Output9(short TrcHdl, short Level, const WCHAR* szFunc, const WCHAR* szFormat, ...);
void __stdcall traceapi_Output_VB(short TrcHdl, short Level, const WCHAR* szFunc, const WCHAR* szText);

/* Switches */
INT  __cdecl traceapi_GetEnable(void);
void __cdecl traceapi_SetEnable(INT bEnable);
INT  __cdecl traceapi_GetEnableDiag(short TrcHdl);
INT  __cdecl traceapi_GetEnableInf(short TrcHdl);
INT  __cdecl traceapi_GetEnableWarn(short TrcHdl);
INT  __cdecl traceapi_GetEnableErr(short TrcHdl);
void __cdecl traceapi_SetEnableDiag(short TrcHdl, INT bEnable);
void __cdecl traceapi_SetEnableInf(short TrcHdl, INT bEnable);
void __cdecl traceapi_SetEnableWarn(short TrcHdl, INT bEnable);
void __cdecl traceapi_SetEnableErr(short TrcHdl, INT bEnable);

/* Current message (valid inside the handler of WM_TRACE_OUTPUT) and slots */
const WCHAR* __cdecl traceapi_GetCurFuncName(void);
const WCHAR* __cdecl traceapi_GetCurTrcTxt(void);
const WCHAR* __cdecl traceapi_GetCurUser(void);
DWORD        __cdecl traceapi_GetCurThreadID(void);
TRACEAPP*    __cdecl traceapi_GetTraceApp(short TrcHdl);

/* Windows: a non-zero flag names the server window for all processes; zero names a
   notification window of this process that receives copies of the client messages. */
BOOL __cdecl traceapi_SetTraceWindow(HWND hWnd, BOOL bServer);

/* Debug-viewer hook: starts DbgView.exe hidden and traces each line it captures as
   application "DBGVIEW" at level 30; the uninstall closes the viewer and removes the hook. */
void __cdecl traceapi_InstallDbgViewHook(void);
void __cdecl traceapi_UninstallDbgViewHook(void);

/* Host entry points of the trace window. traceapi_CreateWnd opens the window on a
   thread of its own (one window per machine while its process lives; a second call
   brings it to the front and hands the profile over) and, with bWait non-zero, returns
   only when the window was asked to close. traceapi_DestroyWnd ends the window thread
   and waits for it; further calls do nothing. */
HWND    __cdecl traceapi_CreateWnd(DWORD dwReserved, HWND hOwner, DWORD bWait, const WCHAR* szProfile);
void    __cdecl traceapi_DestroyWnd(void);
LRESULT __cdecl traceapi_HandleMsg(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
void    __cdecl traceapi_OnDrawItem(HWND hWnd, const DRAWITEMSTRUCT* pDis);

#ifdef __cplusplus
}
#endif

#endif /* KVTRCIFX_TRACEAPI_H */

/* A plain C client of kvtrcifx: it includes only the interface header and calls the
   exports through the import library, as a 32-bit client of the suite does. Linking it
   for i686 proves that the import library resolves the decorated stdcall names; the
   generated table kvtrcifx_exports makes it refer to every export of kvtrcifx.def.
   Run (x86_64), it checks each call's effect through a window of its own named as
   server window. Exit code: the number of failed checks. */
#include "client/traceapi.h"

#include <stdio.h>
#include <wchar.h>

typedef void (*kv_export_fn)(void);
extern const kv_export_fn kvtrcifx_exports[];
extern const int kvtrcifx_export_count;

static int g_failures;

#define CHECK(cond) \
    ((cond) ? (void)0 : (void)(++g_failures, fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond)))

/* What the server window saw last; read inside its handler, as a receiver must. */
static WCHAR g_text[1000];
static WCHAR g_func[100];
static DWORD g_thread;
static short g_level;
static int g_outputs, g_registers, g_unregisters;

static LRESULT CALLBACK ServerProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_TRACE_OUTPUT:
        lstrcpynW(g_text, traceapi_GetCurTrcTxt(), 1000);
        lstrcpynW(g_func, traceapi_GetCurFuncName(), 100);
        g_thread = traceapi_GetCurThreadID();
        g_level = (short)lp;
        ++g_outputs;
        return 0;
    case WM_TRACE_REGISTER:
        ++g_registers;
        return 0;
    case WM_TRACE_UNREGISTER:
        ++g_unregisters;
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

static int Sent(const WCHAR* func, const WCHAR* text) {
    return wcscmp(g_func, func) == 0 && wcscmp(g_text, text) == 0 && g_thread == GetCurrentThreadId();
}

typedef INT(__cdecl* GetFn)(short);
typedef void(__cdecl* SetFn)(short, INT);

int main(void) {
    static const struct {
        GetFn get;
        SetFn set;
    } levels[] = {
        {traceapi_GetEnableDiag, traceapi_SetEnableDiag},
        {traceapi_GetEnableInf, traceapi_SetEnableInf},
        {traceapi_GetEnableWarn, traceapi_SetEnableWarn},
        {traceapi_GetEnableErr, traceapi_SetEnableErr},
    };
    WNDCLASSW wc = {0};
    HWND server;
    TRACEAPP* app;
    short h, vb;
    int i;

    for (i = 0; i < kvtrcifx_export_count; ++i) CHECK(kvtrcifx_exports[i] != NULL);

    wc.lpfnWndProc = ServerProc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = L"KvCClientServer";
    RegisterClassW(&wc);
    server = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, wc.hInstance, NULL);
    CHECK(server != NULL);
    CHECK(traceapi_SetTraceWindow(server, TRUE) == 1);
    traceapi_SetEnable(1);
    CHECK(traceapi_GetEnable() == 1);

    h = traceapi_Register(L"CClient", NULL, FALSE);
    CHECK(h > 0);
    CHECK(g_registers == 1);
    app = traceapi_GetTraceApp(h);
    CHECK(app != NULL && wcscmp(app->szModule, L"CClient") == 0 && app->dwProcessId == GetCurrentProcessId());
    CHECK(traceapi_GetTraceApp(TRACE_MAX_APPS) == NULL);
    CHECK(wcscmp(traceapi_GetCurUser(), L"???") == 0);

    for (i = 0; i < 4; ++i) {
        levels[i].set(h, i + 2);
        CHECK(levels[i].get(h) == i + 2);
    }
    CHECK(traceapi_IsEnabled(h, TRACE_LEVEL_DIAG));

    traceapi_Output(h, TRACE_LEVEL_INFO, L"plain", L"100%% as given");
    CHECK(Sent(L"plain", L"100%% as given") && g_level == TRACE_LEVEL_INFO);
    traceapi_Output1(h, TRACE_LEVEL_INFO, L"o1", L"%d", 1);
    CHECK(Sent(L"o1", L"1"));
    traceapi_Output2(h, TRACE_LEVEL_INFO, L"o2", L"%d %s", 1, L"two");
    CHECK(Sent(L"o2", L"1 two"));
    traceapi_Output3(h, TRACE_LEVEL_INFO, L"o3", L"%d%d%d", 1, 2, 3);
    CHECK(Sent(L"o3", L"123"));
    traceapi_Output4(h, TRACE_LEVEL_INFO, L"o4", L"%d%d%d%d", 1, 2, 3, 4);
    CHECK(Sent(L"o4", L"1234"));
    traceapi_Output5(h, TRACE_LEVEL_INFO, L"o5", L"%d%d%d%d%d", 1, 2, 3, 4, 5);
    CHECK(Sent(L"o5", L"12345"));
    traceapi_Output6(h, TRACE_LEVEL_INFO, L"o6", L"%d%d%d%d%d%d", 1, 2, 3, 4, 5, 6);
    CHECK(Sent(L"o6", L"123456"));
    traceapi_Output7(h, TRACE_LEVEL_INFO, L"o7", L"%d%d%d%d%d%d%d", 1, 2, 3, 4, 5, 6, 7);
    CHECK(Sent(L"o7", L"1234567"));
    traceapi_Output8(h, TRACE_LEVEL_INFO, L"o8", L"%d%d%d%d%d%d%d%d", 1, 2, 3, 4, 5, 6, 7, 8);
    CHECK(Sent(L"o8", L"12345678"));
    traceapi_Output9(h, TRACE_LEVEL_INFO, L"o9", L"%d%d%d%d%d%d%d%d%S", 1, 2, 3, 4, 5, 6, 7, 8, "9");
    CHECK(Sent(L"o9", L"123456789"));
    traceapi_Output_VB(h, TRACE_LEVEL_WARNING, L"vb", L"stdcall");
    CHECK(Sent(L"vb", L"stdcall") && g_level == TRACE_LEVEL_WARNING);
    CHECK(g_outputs == 11);

    /* The global switch: off, only operator actions pass. */
    traceapi_SetEnable(0);
    CHECK(traceapi_GetEnable() == 0);
    CHECK(!traceapi_IsEnabled(h, TRACE_LEVEL_ERROR) && traceapi_IsEnabled(h, TRACE_LEVEL_OPERATOR));
    traceapi_SetEnable(1);

    /* The stdcall pair, and a notification window of this process beside the server. */
    CHECK(traceapi_SetTraceWindow(server, FALSE) == 1);
    vb = traceapi_Register_VB(L"CClientVB", NULL, FALSE);
    CHECK(vb > 0 && vb != h);
    CHECK(g_registers == 3);
    traceapi_Unregister_VB(vb, FALSE);
    CHECK(g_unregisters == 2);
    CHECK(traceapi_GetTraceApp(vb)->szModule[0] == 0);
    traceapi_SetTraceWindow(NULL, FALSE);

    for (i = 0; i < 4; ++i) levels[i].set(h, 0);
    traceapi_Unregister(h, FALSE);
    CHECK(g_unregisters == 3);
    CHECK(app->szModule[0] == 0);
    traceapi_SetTraceWindow(NULL, TRUE);
    DestroyWindow(server);

    if (g_failures == 0) printf("c client: %d exports linked, calls checked\n", kvtrcifx_export_count);
    return g_failures;
}

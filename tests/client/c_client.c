/* A plain C client: only the interface header, every export of kvtrcifx.def through the
   import library (linked for i686, the decorated stdcall names resolve), and the calls only
   C and VB callers make. Exit code: the number of failed checks. */
#include "client/traceapi.h"

#include <stdio.h>
#include <wchar.h>

typedef void (*kv_export_fn)(void);
extern const kv_export_fn kvtrcifx_exports[];
extern const int kvtrcifx_export_count;

static int g_failures;
#define CHECK(cond) \
    ((cond) ? (void)0 : (void)(++g_failures, fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond)))

static WCHAR g_text[1000];

static LRESULT CALLBACK ServerProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != WM_TRACE_OUTPUT) return DefWindowProcW(hwnd, msg, wp, lp);
    lstrcpynW(g_text, traceapi_GetCurTrcTxt(), 1000);
    return 0;
}

int main(void) {
    WNDCLASSW wc = {0};
    HWND server;
    short h;
    int i;
    for (i = 0; i < kvtrcifx_export_count; ++i) CHECK(kvtrcifx_exports[i] != NULL);
    wc.lpfnWndProc = ServerProc;
    wc.lpszClassName = L"KvCClientServer";
    RegisterClassW(&wc);
    server = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    CHECK(traceapi_SetTraceWindow(server, TRUE) == 1);
    traceapi_SetEnable(1);
    h = traceapi_Register_VB(L"CClient", NULL, FALSE);
    CHECK(h > 0);
    traceapi_Output9(h, TRACE_LEVEL_INFO, L"o9", L"%d%d%d%d%d%d%d%d%S", 1, 2, 3, 4, 5, 6, 7, 8, "9");
    CHECK(wcscmp(g_text, L"123456789") == 0);
    traceapi_Unregister_VB(h, FALSE);
    CHECK(traceapi_GetTraceApp(h)->szModule[0] == 0);
    traceapi_SetTraceWindow(NULL, TRUE);
    DestroyWindow(server);
    return g_failures;
}

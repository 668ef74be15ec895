// KVTrcSrv.exe: the host of the trace window. "KVTrcSrv.exe [profile path]" opens the
// window with that profile and returns when it has closed; when a window already runs,
// that window comes to the front (and loads the profile) and this host exits at once.
#include <windows.h>

#include "client/traceapi.h"

namespace {

// The rest of the command line after the program name, blanks trimmed at both ends;
// surrounding quotes are dropped by the window's profile handling.
const wchar_t* ProfileArgument(wchar_t* commandLine) {
    wchar_t* p = commandLine;
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    wchar_t* end = p + lstrlenW(p);
    while (end > p && (end[-1] == L' ' || end[-1] == L'\t')) *--end = 0;
    return p;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    wchar_t* commandLine = ::GetCommandLineW();
    const wchar_t* profile = ProfileArgument(commandLine);
    traceapi_CreateWnd(0, nullptr, 1, profile[0] ? profile : nullptr);
    // Returns at once when no window was started here; otherwise waits until the window
    // thread has saved its settings and ended.
    traceapi_DestroyWnd();
    return 0;
}

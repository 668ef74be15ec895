// DbgView.exe: shows the debug output of every process of the session.
//
//   DbgView.exe [/limit N]
//
// One viewer at a time: a second start shows the running viewer instead (or, when it was
// asked to start hidden, simply ends).
#include <windows.h>

#include <shellapi.h>
#include <wchar.h>

#include "viewerwindow.h"

namespace {

dbgview::ViewerOptions ParseOptions(const wchar_t* commandLine) {
    dbgview::ViewerOptions options;
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(commandLine, &argc);
    if (!argv) return options;
    for (int i = 1; i + 1 < argc; ++i) {
        if (_wcsicmp(argv[i], L"/limit") == 0 || _wcsicmp(argv[i], L"-limit") == 0) {
            const long n = wcstol(argv[i + 1], nullptr, 10);
            // Memory stays bounded: at most the largest limit the menu offers.
            if (n > 0) options.lineLimit = n > 100000 ? 100000 : static_cast<int>(n);
            ++i;
        }
    }
    ::LocalFree(argv);
    return options;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    if (HWND running = ::FindWindowW(dbgview::kViewerClass, nullptr)) {
        if (show != SW_HIDE) {
            ::ShowWindow(running, ::IsIconic(running) ? SW_RESTORE : SW_SHOW);
            ::SetForegroundWindow(running);
        }
        return 0;
    }
    if (!dbgview::RegisterViewerClass(instance)) return 1;
    HWND hwnd = dbgview::CreateViewerWindow(instance, ParseOptions(::GetCommandLineW()));
    if (!hwnd) return 2;
    ::ShowWindow(hwnd, show);
    ::UpdateWindow(hwnd);

    HACCEL keys = dbgview::CreateViewerAccelerators();
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (keys && ::TranslateAcceleratorW(hwnd, keys, &msg)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    if (keys) ::DestroyAcceleratorTable(keys);
    return 0;
}

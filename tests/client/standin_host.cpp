// Stand-in for the server host, started by registrations that ask for a trace window.
// It only records how it was started: its command line and the show-window value, into
// the file named by KV_STANDIN_LOG (UTF-16, one line each), then ends.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t log[MAX_PATH];
    DWORD n = ::GetEnvironmentVariableW(L"KV_STANDIN_LOG", log, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    STARTUPINFOW si = {sizeof(si)};
    ::GetStartupInfoW(&si);
    int show = (si.dwFlags & STARTF_USESHOWWINDOW) ? si.wShowWindow : -1;
    wchar_t line[1200];
    int len = wsprintfW(line, L"%d\r\n", show);
    lstrcpynW(line + len, ::GetCommandLineW(), 1100);
    len = lstrlenW(line);
    HANDLE f = ::CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 2;
    DWORD written;
    ::WriteFile(f, line, len * 2, &written, nullptr);
    ::CloseHandle(f);
    return 0;
}

// Stand-in for a trigger command: appends the command line it was started with and the
// show-window value it was asked for to the file named by KV_TRIGGER_RECORD, one line
// per start: "<show>|<command line>" in UTF-8, show -1 when none was given.
#include <windows.h>

#include <stdio.h>

int main() {
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetEnvironmentVariableW(L"KV_TRIGGER_RECORD", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 2;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    ::GetStartupInfoW(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;
    wchar_t line[40000];
    const int chars = _snwprintf(line, 39990, L"%d|%ls\r\n", show, ::GetCommandLineW());
    if (chars < 0) return 3;
    static char bytes[160000];
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, line, chars, bytes, sizeof(bytes), nullptr, nullptr);
    // One write in append mode, so recorders that end at once do not mix their lines.
    HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 4;
    DWORD written = 0;
    ::WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr);
    ::CloseHandle(file);
    return 0;
}

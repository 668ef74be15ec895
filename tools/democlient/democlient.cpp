// democlient.exe: a client process of the demo. It registers under an application name
// and traces a plausible mix of a process-control application for a while: all four
// levels, alarm lines, process telegrams of hexadecimal words. With --debug it writes
// each TEXT as one OutputDebugString line instead, for a debug viewer to capture.
//
//   democlient.exe APPNAME SECONDS [INTERVAL_MS]
//   democlient.exe --debug TEXT...
#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

#include "client/traceapi.h"

namespace {

struct Line {
    short level;
    const wchar_t* func;
    const wchar_t* text;  // one %d: a running number
};

const Line kLines[] = {
    {TRACE_LEVEL_INFO, L"Cycle", L"cycle %d started, 12 units scanned"},
    {TRACE_LEVEL_DIAG, L"ReadTag", L"tag PT-101 = 4.27 bar (quality good, scan %d)"},
    {TRACE_LEVEL_DIAG, L"ReadTag", L"tag TT-204 = 81.6 degC (quality good, scan %d)"},
    {TRACE_LEVEL_INFO, L"RecipeLoad", L"recipe 'BATCH-A7' step %d loaded into unit 3"},
    {TRACE_LEVEL_WARNING, L"PlcLink", L"reply of PLC 2 took 480 ms (limit 500 ms), request %d"},
    {TRACE_LEVEL_DIAG, L"Telegram", L"0305 1A0C 1A09 2A1B 1A03 0042 0101 0007 0003 000C 0002 %04d "},
    {TRACE_LEVEL_INFO, L"Archive", L"%d values written to the archive"},
    {TRACE_LEVEL_ERROR, L"AlarmHandler", L"ALARM level high in tank T-12, alarm number %d"},
    {TRACE_LEVEL_DIAG, L"Router", L"message %d routed to station OP-3"},
    {TRACE_LEVEL_INFO, L"Operator", L"operator acknowledged alarm %d"},
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && wcscmp(argv[1], L"--debug") == 0) {
        for (int i = 2; i < argc; ++i) ::OutputDebugStringW(argv[i]);
        return argc > 2 ? 0 : 2;
    }
    const wchar_t* app = argc > 1 ? argv[1] : L"Demo";
    const int seconds = argc > 2 ? _wtoi(argv[2]) : 5;
    const int interval = argc > 3 ? _wtoi(argv[3]) : 60;
    const short h = traceapi_Register(app, nullptr, FALSE);
    if (h < 0) return 1;
    // Each demo application starts at another line of the mix.
    const int offset = static_cast<int>(::GetCurrentProcessId() % ARRAYSIZE(kLines));
    const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    int n = 0;
    while (::GetTickCount64() < end) {
        const Line& line = kLines[(n + offset) % ARRAYSIZE(kLines)];
        if (traceapi_IsEnabled(h, line.level)) traceapi_Output1(h, line.level, line.func, line.text, n + 1);
        ++n;
        if (interval > 0) ::Sleep(static_cast<DWORD>(interval));
    }
    traceapi_Unregister(h, FALSE);
    return 0;
}

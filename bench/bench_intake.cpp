// End-to-end intake throughput.
//
// 1. 4 client processes x 5,000 messages through the shared message slot into
//    - a receiver that does nothing with a message (the bare round trip),
//    - the message intake with buffered file writing on,
//    and the same senders through the platform's debug-output channel to a reader.
// 2. The direct path: rows per second into the main list from this process with
//    buffered file writing on.
//
//   bench_intake.exe [senders] [messages-per-sender] [direct-rows] [MaxEntries] [MaxDelete] [rounds]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client/region.h"
#include "debugreader.h"
#include "server/rowstore.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"
#include "testserverwindow.h"

namespace {

volatile LONG g_received;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b) {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}

int WINAPI AcceptBox(HWND, LPCWSTR, LPCWSTR, UINT) { return IDOK; }

LRESULT CALLBACK BareProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TRACE_OUTPUT) {
        ::InterlockedIncrement(&g_received);
        return 0;
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

// Counts messages that reach the intake window (it stores them itself).
WNDPROC g_intakeProc;
LRESULT CALLBACK CountingProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT r = ::CallWindowProcW(g_intakeProc, hwnd, msg, wp, lp);
    if (msg == WM_TRACE_OUTPUT) ::InterlockedIncrement(&g_received);
    return r;
}

void Pump() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

int RunClient(const wchar_t* mode, int count) {
    kv::ProcessAttach(::GetModuleHandleW(nullptr));
    HANDLE ready = ::OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, L"kvbench_ready");
    HANDLE go = ::OpenEventW(SYNCHRONIZE, FALSE, L"kvbench_go");
    if (!ready || !go) return 1;
    short h = traceapi_Register(L"Bench", nullptr, 0);
    wchar_t text[128];
    ::ReleaseSemaphore(ready, 1, nullptr);
    ::WaitForSingleObject(go, INFINITE);
    const bool slot = wcscmp(mode, L"slot") == 0;
    for (int i = 0; i < count; ++i) {
        if (slot) {
            traceapi_Output2(h, 30, L"RunClient", L"message %d of %d", i, count);
        } else {
            swprintf(text, 128, L"message %d of %d", i, count);
            ::OutputDebugStringW(text);
        }
    }
    traceapi_Unregister(h, 0);
    return 0;
}

// Starts the senders, lets them go at once, and returns the seconds until `expected`
// messages were counted.
double RunSenders(const wchar_t* mode, int senders, int each, LONG expected) {
    HANDLE ready = ::CreateSemaphoreW(nullptr, 0, senders, L"kvbench_ready");
    HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, L"kvbench_go");
    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::vector<HANDLE> procs;
    for (int i = 0; i < senders; ++i) {
        wchar_t cmd[MAX_PATH + 64];
        swprintf(cmd, MAX_PATH + 64, L"\"%ls\" --client %ls %d", exe, mode, each);
        STARTUPINFOW si = {sizeof(si)};
        PROCESS_INFORMATION pi;
        if (!::CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
        ::CloseHandle(pi.hThread);
        procs.push_back(pi.hProcess);
    }
    for (int i = 0; i < senders; ++i) {
        while (::MsgWaitForMultipleObjects(1, &ready, FALSE, 60000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) Pump();
    }
    g_received = 0;
    LARGE_INTEGER start, end;
    ::QueryPerformanceCounter(&start);
    ::SetEvent(go);
    while (g_received < expected) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        Pump();
    }
    ::QueryPerformanceCounter(&end);
    for (HANDLE p : procs) {
        while (::MsgWaitForMultipleObjects(1, &p, FALSE, 60000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) Pump();
        ::CloseHandle(p);
    }
    ::CloseHandle(ready);
    ::CloseHandle(go);
    return Seconds(start, end);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 4 && wcscmp(argv[1], L"--client") == 0) return RunClient(argv[2], _wtoi(argv[3]));
    const int senders = argc >= 2 ? _wtoi(argv[1]) : 4;
    const int each = argc >= 3 ? _wtoi(argv[2]) : 5000;
    const int directRows = argc >= 4 ? _wtoi(argv[3]) : 200000;
    const int maxEntries = argc >= 5 ? _wtoi(argv[4]) : 10000;
    const int maxDelete = argc >= 6 ? _wtoi(argv[5]) : 100;
    const int rounds = argc >= 7 ? _wtoi(argv[6]) : 3;
    const LONG total = senders * each;

    kv::ProcessAttach(::GetModuleHandleW(nullptr));
    wchar_t temp[MAX_PATH], dir[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    swprintf(dir, MAX_PATH, L"%lskvbench_%lu", temp, ::GetCurrentProcessId());
    ServerSettings_SetDefaults(g_settings, dir);
    g_settings.MaxEntries = maxEntries;
    g_settings.MaxDelete = maxDelete;
    rowstore_SetMessageBox(AcceptBox);

    // The three channels take turns, round after round, so that a passing load on the
    // machine touches all of them; the medians are reported.
    WNDCLASSW wc = {};
    wc.lpfnWndProc = BareProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KvBenchBare";
    ::RegisterClassW(&wc);
    HWND bare = ::CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    DebugOutputReader reader([] { ::InterlockedIncrement(&g_received); });
    const bool haveReader = reader.Start();
    g_settings.EnableFile = 1;
    tracewnd_SelectTraceFile();
    kvtest::TestServerWindow server(false);
    g_intakeProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(server.hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc)));

    std::vector<double> bareSecs, intakeSecs, dbgSecs;
    for (int round = 0; round < rounds; ++round) {
        traceapi_SetTraceWindow(bare, TRUE);
        bareSecs.push_back(RunSenders(L"slot", senders, each, total));
        traceapi_SetTraceWindow(server.hwnd(), TRUE);
        intakeSecs.push_back(RunSenders(L"slot", senders, each, total));
        traceapi_SetTraceWindow(nullptr, TRUE);
        if (haveReader) dbgSecs.push_back(RunSenders(L"debug", senders, each, total));
    }
    reader.Stop();

    // Direct path from this process, against the row store alone: rows built by hand
    // (no filters, no file, no formatting), appended and trimmed at the same limits.
    // Rounds of both take turns.
    short h = traceapi_Register(L"Direct", nullptr, 0);
    std::vector<double> directRates, storeRates;
    int stored = 0;
    for (int round = 0; round < rounds; ++round) {
        LARGE_INTEGER a, b;
        ::QueryPerformanceCounter(&a);
        for (int i = 0; i < directRows; ++i) {
            traceapi_Output2(h, 30, L"direct", L"direct row %d of %d", i, directRows);
            if ((i & 1023) == 0) Pump();  // the window thread's own loop keeps running
        }
        ::QueryPerformanceCounter(&b);
        directRates.push_back(directRows / Seconds(a, b));
        stored = rowstore_GetCount(server.mainStore());

        const short store = server.mainStore();
        ::QueryPerformanceCounter(&a);
        for (int i = 0; i < directRows; ++i) {
            TraceRow* row = rowstore_NewRowWithText(store, 32);
            if (!row) break;
            kv::CopyCut(row->time, 32, L"MO 10:00:00,00 [00001]");
            kv::CopyCut(row->tag, 10, L"INF");
            kv::CopyCut(row->process, 32, L"bench_intake.exe");
            kv::CopyCut(row->module, 32, L"Direct [1]");
            kv::CopyCut(row->function, 50, L"direct");
            kv::CopyCut(row->text, 32, L"direct row");
            const int index = rowstore_Add(store, row);
            if (index > maxEntries && maxDelete > 0 && maxDelete < rowstore_GetCount(store))
                rowstore_DeleteFirst(store, 0, maxDelete);
            if ((i & 1023) == 0) Pump();
        }
        ::QueryPerformanceCounter(&b);
        storeRates.push_back(directRows / Seconds(a, b));
    }
    traceapi_Unregister(h, 0);
    tracewnd_CloseTraceFile();
    g_settings.EnableFile = 0;

    const double bareRate = total / Median(bareSecs), intakeRate = total / Median(intakeSecs);
    const double dbgRate = dbgSecs.empty() ? 0 : total / Median(dbgSecs);
    wprintf(L"senders x messages:          %d x %d, median of %d rounds\n", senders, each, rounds);
    wprintf(L"bare round trip:             %.0f msg/s\n", bareRate);
    wprintf(L"intake with file writing:    %.0f msg/s (%+.1f%% time against the bare round trip)\n", intakeRate,
            (bareRate / intakeRate - 1.0) * 100.0);
    wprintf(L"debug-output channel:        %.0f msg/s\n", dbgRate);
    wprintf(L"intake / debug-output:       %.2f\n", dbgRate > 0 ? intakeRate / dbgRate : 0.0);
    wprintf(L"direct path (in-process):    %.0f rows/s (%d rows, MaxEntries %d, MaxDelete %d, file on, %d kept in the list; "
            L"median of %d rounds)\n", Median(directRates), directRows, maxEntries, maxDelete, stored, rounds);
    wprintf(L"row store alone:             %.0f rows/s (the same limits)\n", Median(storeRates));
    wprintf(L"direct path / row store:     %.2f\n", Median(directRates) / Median(storeRates));
    return 0;
}

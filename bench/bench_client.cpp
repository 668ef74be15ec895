// Client output throughput: 20,000 messages from a client process to a receiving window
// in this process through the shared message slot, against the same count through the
// platform's debug-output channel to a reader in this process.
//
//   bench_client.exe [count]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "client/traceapi.h"
#include "debugreader.h"

namespace {

constexpr wchar_t kSenderArg[] = L"--sender";
constexpr DWORD kTimeoutMs = 600000;

struct Counter {
    LONG expected = 0;
    volatile LONG received = 0;
    LARGE_INTEGER first = {}, last = {};
    void Hit() {
        LARGE_INTEGER now;
        ::QueryPerformanceCounter(&now);
        if (received == 0) first = now;
        last = now;
        ++received;
    }
    double PerSecond() const {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        double secs = static_cast<double>(last.QuadPart - first.QuadPart) / static_cast<double>(f.QuadPart);
        return secs > 0 ? (received - 1) / secs : 0;
    }
};

Counter g_slot;

LRESULT CALLBACK ReceiverProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TRACE_OUTPUT) {
        // Take the message over as a server does: read the slot.
        volatile wchar_t c = traceapi_GetCurTrcTxt()[0];
        (void)c;
        g_slot.Hit();
        return 0;
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

int RunSender(const wchar_t* mode, int count) {
    if (wcscmp(mode, L"slot") == 0) {
        short h = traceapi_Register(L"Bench", nullptr, 0);
        for (int i = 0; i < count; ++i) traceapi_Output2(h, 30, L"RunSender", L"message %d of %d", i, count);
        traceapi_Unregister(h, 0);
    } else {
        wchar_t text[128];
        for (int i = 0; i < count; ++i) {
            swprintf(text, 128, L"message %d of %d", i, count);
            ::OutputDebugStringW(text);
        }
    }
    return 0;
}

HANDLE StartSender(const wchar_t* mode, int count) {
    wchar_t exe[MAX_PATH], cmd[MAX_PATH + 64];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    swprintf(cmd, MAX_PATH + 64, L"\"%ls\" %ls %ls %d", exe, kSenderArg, mode, count);
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi;
    if (!::CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return nullptr;
    ::CloseHandle(pi.hThread);
    return pi.hProcess;
}

void WaitPumping(HANDLE process) {
    for (;;) {
        DWORD w = ::MsgWaitForMultipleObjects(1, &process, FALSE, kTimeoutMs, QS_ALLINPUT);
        if (w != WAIT_OBJECT_0 + 1) break;
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    }
    ::CloseHandle(process);
}

Counter g_dbg;

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 4 && wcscmp(argv[1], kSenderArg) == 0) return RunSender(argv[2], _wtoi(argv[3]));
    const int count = argc >= 2 ? _wtoi(argv[1]) : 20000;

    WNDCLASSW wc = {};
    wc.lpfnWndProc = ReceiverProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KvBenchReceiver";
    ::RegisterClassW(&wc);
    HWND receiver = ::CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    traceapi_SetTraceWindow(receiver, TRUE);
    WaitPumping(StartSender(L"slot", count));
    traceapi_SetTraceWindow(nullptr, TRUE);

    DebugOutputReader reader([] { g_dbg.Hit(); });
    if (!reader.Start()) {
        fwprintf(stderr, L"debug-output channel busy or unavailable\n");
        return 1;
    }
    WaitPumping(StartSender(L"debug", count));
    reader.Stop();

    double slot = g_slot.PerSecond(), dbg = g_dbg.PerSecond();
    wprintf(L"messages: %d\n", count);
    wprintf(L"slot path to a window:  %ld received, %.0f msg/s\n", g_slot.received, slot);
    wprintf(L"debug-output channel:   %ld received, %.0f msg/s\n", g_dbg.received, dbg);
    wprintf(L"ratio slot/debug:       %.2f\n", dbg > 0 ? slot / dbg : 0.0);
    return g_slot.received == count && g_dbg.received == count ? 0 : 2;
}

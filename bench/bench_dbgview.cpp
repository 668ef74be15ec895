// Debug-output capture: writer processes emit OutputDebugStringW lines all at once, read
// in turn by the bare debug-output reader (acknowledges only), by DbgView.exe, and by
// DbgView.exe with the debug-viewer hook installed, the lines arriving as trace rows at a
// stand-in server window of this process. Prints capture rates, ratios and lost lines; the
// hook's figure is its delivery against what the viewer captured in the same round, with
// the stand-in taking several lines to a send as the trace window does, and in rounds
// between those, one line to a send (a window that does not take batches) as a baseline.
//
//   bench_dbgview.exe [lines-per-writer] [writers] [rounds]
#include <windows.h>

#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "client/region.h"
#include "client/traceapi.h"
#include "debugreader.h"

namespace {

constexpr wchar_t kWriterArg[] = L"--writer";
constexpr wchar_t kGoEvent[] = L"KvBenchDbgViewGo";
constexpr wchar_t kViewerClass[] = L"dbgviewClass";
constexpr DWORD kSettleMs = 5000;     // no new line for this long: the rest is lost
constexpr DWORD kBoundMs = 300000;

double Now() {
    LARGE_INTEGER c, f;
    ::QueryPerformanceCounter(&c);
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

int RunWriter(int id, int count) {
    HANDLE go = ::OpenEventW(SYNCHRONIZE, FALSE, kGoEvent);
    if (!go || ::WaitForSingleObject(go, kBoundMs) != WAIT_OBJECT_0) return 1;
    wchar_t text[64];
    for (int i = 0; i < count; ++i) {
        swprintf(text, 64, L"w%d %d", id, i);
        ::OutputDebugStringW(text);
    }
    return 0;
}

void PumpFor(DWORD ms) {
    const double end = Now() + ms / 1000.0;
    for (double left; (left = end - Now()) > 0;) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left * 1000) + 1, QS_ALLINPUT);
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    }
}

// Waits for the processes while dispatching sent messages (the hook's rows arrive so);
// counts those that did not end with 0 (a writer that never got its start signal).
void WaitPumping(std::vector<HANDLE>& processes, long* failed) {
    while (!processes.empty()) {
        DWORD w = ::MsgWaitForMultipleObjects(static_cast<DWORD>(processes.size()), processes.data(), FALSE, kBoundMs,
                                              QS_ALLINPUT);
        if (w < WAIT_OBJECT_0 + processes.size()) {
            DWORD code = 1;
            if (!::GetExitCodeProcess(processes[w - WAIT_OBJECT_0], &code) || code != 0) ++*failed;
            ::CloseHandle(processes[w - WAIT_OBJECT_0]);
            processes.erase(processes.begin() + (w - WAIT_OBJECT_0));
        } else if (w == WAIT_OBJECT_0 + processes.size()) {
            MSG msg;
            while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
        } else {
            for (HANDLE p : processes) ::TerminateProcess(p, 255), ::CloseHandle(p);
            *failed += static_cast<long>(processes.size());
            processes.clear();
        }
    }
}

// Pumps until count() reaches want or stops growing for kSettleMs; returns the time the
// last growth was seen.
template <class F>
double Settle(F count, long want) {
    long last = count();
    double lastChange = Now();
    while (last < want && Now() - lastChange < kSettleMs / 1000.0) {
        PumpFor(5);
        long n = count();
        if (n != last) last = n, lastChange = Now();
    }
    return lastChange;
}

HANDLE Start(const wchar_t* commandLine, bool hidden) {
    wchar_t cmd[MAX_PATH * 2];
    lstrcpynW(cmd, commandLine, MAX_PATH * 2);
    STARTUPINFOW si = {sizeof(si)};
    if (hidden) si.dwFlags = STARTF_USESHOWWINDOW, si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi;
    if (!::CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return nullptr;
    ::CloseHandle(pi.hThread);
    return pi.hProcess;
}

struct Run {
    double start = 0;    // the start signal
    double seconds = 0;  // from the start signal until every writer is done
    double rate() const { return seconds > 0 ? total / seconds : 0; }
    long total = 0;
};

long g_writersFailed;  // writers of every round that did not end with 0

// Starts the writers, lets them go at once and waits until they are done.
Run RunWriters(HANDLE go, int writers, int count) {
    wchar_t exe[MAX_PATH], cmd[MAX_PATH + 64];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::vector<HANDLE> processes;
    ::ResetEvent(go);
    for (int i = 0; i < writers; ++i) {
        swprintf(cmd, MAX_PATH + 64, L"\"%ls\" %ls %d %d", exe, kWriterArg, i, count);
        if (HANDLE p = Start(cmd, false)) processes.push_back(p);
    }
    PumpFor(500);  // the writers reach their wait
    Run r;
    r.total = static_cast<long>(writers) * count;
    r.start = Now();
    ::SetEvent(go);
    g_writersFailed += writers - static_cast<long>(processes.size());  // not started
    WaitPumping(processes, &g_writersFailed);
    r.seconds = Now() - r.start;
    return r;
}

bool ChannelOpen() {
    HANDLE h = ::OpenFileMappingW(FILE_MAP_READ, FALSE, L"DBWIN_BUFFER");
    if (h) ::CloseHandle(h);
    return h != nullptr;
}

HWND WaitForViewer() {
    const double end = Now() + 60;
    HWND viewer = nullptr;
    while (Now() < end && !((viewer = ::FindWindowW(kViewerClass, nullptr)) && ChannelOpen())) PumpFor(20);
    return ChannelOpen() ? viewer : nullptr;
}

long ViewerRows(HWND viewer) {
    HWND list = ::FindWindowExW(viewer, nullptr, WC_LISTVIEWW, nullptr);
    return static_cast<long>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

// Closes the viewer; returns the processor time it used, in seconds.
double CloseViewer(HWND viewer) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(viewer, &pid);
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    ::PostMessageW(viewer, WM_CLOSE, 0, 0);
    if (!process) return 0;
    DWORD w;
    while ((w = ::MsgWaitForMultipleObjects(1, &process, FALSE, kBoundMs, QS_ALLINPUT)) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    }
    FILETIME created, ended, kernel, user;
    double cpu = 0;
    if (::GetProcessTimes(process, &created, &ended, &kernel, &user))
        cpu = ((static_cast<ULONGLONG>(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime) +
               (static_cast<ULONGLONG>(user.dwHighDateTime) << 32 | user.dwLowDateTime)) / 1e7;
    ::CloseHandle(process);
    return cpu;
}

// The stand-in trace server: counts the hook's rows and sends and checks each writer's order.
struct Server {
    short viewerHandle = 0;
    long rows = 0;
    long sends = 0;
    long outOfOrder = 0;
    std::vector<int> next;
    HWND batchTaker = nullptr;  // the stand-in that takes batches; the other one does not
} g_server;

void TakeRow(const wchar_t* func, const wchar_t* text) {
    int writer = -1, line = -1;
    if (lstrcmpW(func, L"DbgViewHookProc") == 0 && swscanf(text, L"w%d %d", &writer, &line) == 2 && writer >= 0 &&
        writer < static_cast<int>(g_server.next.size())) {
        ++g_server.rows;
        if (line != g_server.next[writer]) ++g_server.outOfOrder;
        g_server.next[writer] = line + 1;
    }
}

// The shared region of the library loaded here, found from its application table.
const kv::SharedRegion* Region() {
    return reinterpret_cast<const kv::SharedRegion*>(reinterpret_cast<const char*>(traceapi_GetTraceApp(0)) -
                                                     offsetof(kv::SharedRegion, apps));
}

LRESULT CALLBACK ServerProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TRACE_REGISTER) {
        if (lstrcmpW(traceapi_GetTraceApp(static_cast<short>(wp))->szModule, L"DBGVIEW") == 0)
            g_server.viewerHandle = static_cast<short>(wp);
        return 0;
    }
    if (msg == WM_TRACE_OUTPUT) {
        // Take the row over as the trace window does: read the slot.
        ++g_server.sends;
        TakeRow(traceapi_GetCurFuncName(), traceapi_GetCurTrcTxt());
        return 0;
    }
    if (msg == kv::kTraceOutputBatch && hwnd == g_server.batchTaker) {
        const kv::SharedRegion* region = Region();
        ++g_server.sends;
        for (uint32_t i = 0; i < region->batchCount && i < kv::kBatchLines; ++i)
            TakeRow(region->batch[i].func, region->batch[i].text);
        return region->batchCount;
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

volatile LONG g_bare;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 4 && wcscmp(argv[1], kWriterArg) == 0) return RunWriter(_wtoi(argv[2]), _wtoi(argv[3]));
    const int count = argc >= 2 ? _wtoi(argv[1]) : 5000;
    const int writers = argc >= 3 ? _wtoi(argv[2]) : 4;
    const int rounds = argc >= 4 ? _wtoi(argv[3]) : 3;
    const long total = static_cast<long>(writers) * count;
    HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, kGoEvent);
    if (::FindWindowW(kViewerClass, nullptr) || ChannelOpen()) {
        fwprintf(stderr, L"another debug-output reader runs\n");
        return 1;
    }

    // 1, 2. The bare reader and DbgView.exe on its own (with room for every line) take
    // turns; the faster round of each counts, so that a busy moment of the machine does
    // not decide the ratio.
    Run bare, shown;
    long bareLost = 0, viewerLost = 0;
    double shownRate = 0, viewerCpu = 0;
    for (int round = 0; round < rounds; ++round) {
        g_bare = 0;
        DebugOutputReader reader([] { ::InterlockedIncrement(&g_bare); });
        if (!reader.Start()) {
            fwprintf(stderr, L"debug-output channel busy or unavailable\n");
            return 1;
        }
        Run r = RunWriters(go, writers, count);
        Settle([] { return static_cast<long>(g_bare); }, total);
        reader.Stop();
        bareLost += total - g_bare;
        if (r.rate() > bare.rate()) bare = r;
    }
    for (int round = 0; round < rounds; ++round) {
        wchar_t viewerCmd[] = L"DbgView.exe /limit 100000";
        HANDLE viewerProcess = Start(viewerCmd, true);
        HWND viewer = viewerProcess ? WaitForViewer() : nullptr;
        if (viewerProcess) ::CloseHandle(viewerProcess);
        if (!viewer) {
            fwprintf(stderr, L"DbgView.exe did not start\n");
            return 1;
        }
        Run r = RunWriters(go, writers, count);
        const double shownAt = Settle([&] { return ViewerRows(viewer); }, total);
        const long rows = ViewerRows(viewer);
        viewerLost += total - rows;
        if (r.rate() > shown.rate()) shown = r;
        if (shownAt > r.start && rows / (shownAt - r.start) > shownRate) shownRate = rows / (shownAt - r.start);
        viewerCpu += CloseViewer(viewer);
    }

    // 3. Through the hook into the stand-in trace server.
    WNDCLASSW wc = {};
    wc.lpfnWndProc = ServerProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KvBenchDbgViewServer";
    ::RegisterClassW(&wc);
    HWND server = ::CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    HWND oneByOne = ::CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    g_server.batchTaker = server;
    g_server.next.assign(static_cast<size_t>(writers), 0);
    traceapi_SetTraceWindow(server, TRUE);
    traceapi_SetEnable(1);
    traceapi_InstallDbgViewHook();
    HWND viewer = WaitForViewer();
    const double regEnd = Now() + 60;
    while (!g_server.viewerHandle && Now() < regEnd) PumpFor(20);
    if (!viewer || !g_server.viewerHandle) {
        fwprintf(stderr, L"the hook's viewer did not register\n");
        traceapi_UninstallDbgViewHook();
        return 1;
    }
    traceapi_SetEnableInf(g_server.viewerHandle, 1);
    // Rounds through the same hooked viewer, batches and one line to a send in turn: each
    // round's delivery against its capture.
    struct Way {
        std::vector<double> captured, delivered, ratios;
        long lost = 0, outOfOrder = 0, rows = 0, sends = 0;
    } ways[2];  // batches, one by one
    for (int round = 0; round < 2 * rounds; ++round) {
        Way& way = ways[round % 2];
        traceapi_SetTraceWindow(round % 2 ? oneByOne : server, TRUE);
        g_server.rows = 0;
        g_server.sends = 0;
        g_server.outOfOrder = 0;
        g_server.next.assign(static_cast<size_t>(writers), 0);
        Run hooked = RunWriters(go, writers, count);
        const double deliveredAt = Settle([] { return g_server.rows; }, total);
        way.lost += total - g_server.rows;
        way.outOfOrder += g_server.outOfOrder;
        way.rows += g_server.rows;
        way.sends += g_server.sends;
        way.captured.push_back(hooked.rate());
        way.delivered.push_back(deliveredAt > hooked.start ? g_server.rows / (deliveredAt - hooked.start) : 0.0);
        way.ratios.push_back(way.captured.back() > 0 ? way.delivered.back() / way.captured.back() : 0.0);
    }
    traceapi_SetTraceWindow(server, TRUE);
    traceapi_UninstallDbgViewHook();
    traceapi_SetTraceWindow(nullptr, TRUE);
    ::DestroyWindow(server);
    ::DestroyWindow(oneByOne);

    wprintf(L"lines: %d writers x %d = %ld, best of %d rounds for reader and viewer\n", writers, count, total, rounds);
    wprintf(L"bare reader:           %8.0f lines/s, %ld lost\n", bare.rate(), bareLost);
    wprintf(L"DbgView.exe capture:   %8.0f lines/s, %8.0f rows/s shown, %ld lost\n", shown.rate(), shownRate,
            viewerLost);
    wprintf(L"viewer processor time: %8.1f ms per 1000 lines\n", viewerCpu * 1000 / (static_cast<double>(total) * rounds / 1000));
    wprintf(L"ratio viewer/bare:     %8.2f\n", bare.rate() > 0 ? shown.rate() / bare.rate() : 0.0);
    const wchar_t* const names[2] = {L"several lines to a send", L"one line to a send"};
    long hookLost = 0;
    for (int w = 0; w < 2; ++w) {
        const Way& way = ways[w];
        wprintf(L"through the hook, %ls, median of %d rounds: %8.0f lines/s captured, %8.0f rows/s delivered, "
                L"%.1f lines a send, %ld lost, %ld out of order\n", names[w], rounds, Median(way.captured),
                Median(way.delivered), way.sends ? static_cast<double>(way.rows) / way.sends : 0.0, way.lost,
                way.outOfOrder);
        wprintf(L"  ratio hook capture/bare: %6.2f\n", bare.rate() > 0 ? Median(way.captured) / bare.rate() : 0.0);
        wprintf(L"  ratio delivered/captured in the same round: %.2f%ls\n", Median(way.ratios), w == 0 ? L" (goal 0.9)" : L"");
        hookLost += way.lost + way.outOfOrder;
    }
    wprintf(L"writers that failed to start or to finish: %ld\n", g_writersFailed);
    return bareLost == 0 && viewerLost == 0 && hookLost == 0 && g_writersFailed == 0 ? 0 : 2;
}

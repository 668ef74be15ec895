// The client library linked in: the slot path under stress, where the server host is
// looked for and the lock order.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/dbgviewhook.h"
#include "client/locks.h"
#include "client/region.h"
#include "client/sendpath.h"
#include "kvtest.h"

namespace {

using kv::LockRank;

const kvtest::Accessors kAccessors = {traceapi_GetCurTrcTxt, traceapi_GetCurFuncName, traceapi_GetCurThreadID,
                                      traceapi_GetTraceApp, nullptr};

class SendPath : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kv::ProcessAttach(::GetModuleHandleW(nullptr)); }
    void SetUp() override {
        traceapi_SetEnable(1);
        traceapi_SetTraceWindow(server_.hwnd(), TRUE);
        kv::g_region.apps[0].EnableError = 1;
        while (kv::UndeliveredCount() > 0) traceapi_Output(0, 0, L"f", L"drain");  // reports and clears
        server_.Clear();
    }
    void TearDown() override {
        kv::SetSendTimeoutForTesting(0);
        traceapi_SetTraceWindow(nullptr, FALSE);
        traceapi_SetTraceWindow(nullptr, TRUE);
    }
    kvtest::RecordingWindow server_{kAccessors};
};

// A UI thread owns the notification window, whose handler traces, while a worker traces:
// the worker holds the slot and sends to the UI thread, which waits for the slot. Unless the
// waiter serves the send and the handler's trace skips the held slot, both stop for good.
LRESULT CALLBACK TracingNotifyProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != WM_TRACE_OUTPUT) return ::DefWindowProcW(hwnd, msg, wp, lp);
    traceapi_Output(0, 0, L"notify", L"seen in the handler");
    return 0;
}

TEST_F(SendPath, NotificationHandlerThatTracesDeadlocksNobody) {
    constexpr int kEach = 150;
    std::atomic<int> done{0};
    std::atomic<HWND> notify{nullptr};
    std::thread ui([&] {
        HWND w = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        ::SetWindowLongPtrW(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TracingNotifyProc));
        traceapi_SetTraceWindow(w, FALSE);
        notify = w;
        for (int i = 0; i < kEach; ++i) {
            traceapi_Output1(0, 0, L"ui", L"ui %d", i);
            kvtest::PumpPending();
        }
        ++done;
        kvtest::PumpUntil([&] { return done == 3; }, 120000);
        traceapi_SetTraceWindow(nullptr, FALSE);
        ::DestroyWindow(w);
    });
    ASSERT_TRUE(kvtest::PumpUntil([&] { return notify.load() != nullptr; }));
    std::thread worker([&] {
        for (int i = 0; i < kEach; ++i) traceapi_Output1(0, 0, L"worker", L"worker %d", i);
        ++done;
    });
    const bool finished = kvtest::PumpUntil([&] { return done == 2; }, 60000);
    ++done;
    if (!finished) {
        ADD_FAILURE() << "the senders deadlocked";
        ::ExitProcess(3);  // the threads cannot be joined
    }
    ui.join();
    worker.join();
    // None made inside the handler arrives, whichever thread held the slot.
    std::map<std::wstring, int> from;
    for (const auto& r : server_.OfKind(WM_TRACE_OUTPUT)) ++from[r.func];
    from.erase(L"traceapi_Output");  // the reports of the handler's refused lines
    EXPECT_EQ(from, (std::map<std::wstring, int>{{L"ui", kEach}, {L"worker", kEach}}));
}

// A trace window that stops taking messages holds every sender only as long as the send
// bound; what it missed is counted and reported once it answers again.
TEST_F(SendPath, AWindowThatStopsAnsweringCostsTheBoundAndIsToldWhatItMissed) {
    HANDLE hold = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<kvtest::RecordingWindow*> stuck{nullptr};
    std::atomic<bool> stop{false};
    std::thread owner([&] {  // owns the window, stops pumping while `hold` is not set
        kvtest::RecordingWindow window(kAccessors);
        stuck = &window;
        ::WaitForSingleObject(hold, 60000);
        kvtest::PumpUntil([&] { return stop.load(); }, 120000);
    });
    ASSERT_TRUE(kvtest::PumpUntil([&] { return stuck.load() != nullptr; }));
    traceapi_SetTraceWindow(stuck.load()->hwnd(), TRUE);
    kv::SetSendTimeoutForTesting(200);
    const DWORD start = ::GetTickCount();
    for (int i = 0; i < 3; ++i) traceapi_Output1(0, 0, L"f", L"lost %d", i);
    EXPECT_LT(::GetTickCount() - start, 5000u) << "each send waits at most its bound";
    EXPECT_EQ(kv::UndeliveredCount(), 3);
    ::SetEvent(hold);
    kv::SetSendTimeoutForTesting(0);
    traceapi_Output(0, 0, L"f", L"answered again");
    EXPECT_EQ(kv::UndeliveredCount(), 0);
    EXPECT_TRUE(kvtest::PumpUntil([&] { return stuck.load()->OfKind(WM_TRACE_OUTPUT).size() >= 2; }));
    const auto seen = stuck.load()->OfKind(WM_TRACE_OUTPUT);
    EXPECT_TRUE(seen.size() >= 2 && seen[seen.size() - 2].text + L"|" + seen.back().text + L"|" + seen.back().func == L"answered again|"
                L"***** 3 trace message(s) could not be delivered *****|traceapi_Output" && kv::g_region.curLevel == 0) << "an error line";
    traceapi_SetTraceWindow(server_.hwnd(), TRUE);
    stop = true;
    ::PostMessageW(stuck.load()->hwnd(), WM_NULL, 0, 0);
    owner.join();
    ::CloseHandle(hold);
}

// More viewer lines than the hook's queue holds arrive once each, in order, as written, from
// the thread that queued them, at a trace window that takes them several to a send and at one
// that takes them one by one; the notification window gets each as a line of its own.
TEST_F(SendPath, ViewerLinesArriveOnceEachInOrder) {
    kv::g_region.apps[0].EnableInfo = 1;
    std::vector<std::wstring> lines;
    for (int i = 0; i < 700; ++i) lines.push_back(L"viewer line " + std::to_wstring(i) + (i % 100 ? L"" : L" 100% %s"));
    kvtest::RecordingWindow notify(kAccessors);
    notify.TakeBatches(false);
    traceapi_SetTraceWindow(notify.hwnd(), FALSE);
    for (bool batches : {true, false}) {
        server_.Clear(), notify.Clear(), server_.TakeBatches(batches);
        for (const std::wstring& line : lines) kv::QueueViewerLine(0, line.c_str());
        kv::DrainViewerLines();
        for (const kvtest::RecordingWindow* w : {&server_, &notify}) {
            std::vector<std::wstring> seen;
            for (const auto& r : w->OfKind(WM_TRACE_OUTPUT))
                seen.push_back(r.func == L"DbgViewHookProc" && r.threadId == ::GetCurrentThreadId() && r.lParam == 30 ? r.text : L"?" + r.text);
            EXPECT_EQ(seen, lines) << (w == &notify ? "notified" : batches ? "in batches" : "one by one");
        }
    }
    traceapi_SetTraceWindow(nullptr, FALSE);
}

// A viewer of this thread, as the hook sees it: the hook procedure called after each call.
void Hooked(HWND hwnd, UINT msg, LPARAM lp) {
    CWPRETSTRUCT call = {0, lp, 0, msg, hwnd};
    kv::DbgViewHookProc(HC_ACTION, 0, reinterpret_cast<LPARAM>(&call));
}
HANDLE g_windowBusy;  // the trace window answers once it is set
LRESULT CALLBACK ClosingViewerProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CLOSE) ::SetEvent(g_windowBusy), ::DestroyWindow(hwnd);
    if (msg == WM_DESTROY) Hooked(hwnd, msg, 0);
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

// The viewer's thread waits for room in the hook's queue behind a busy trace window and is
// closed meanwhile: its queued lines arrive, then its application ends, and the line it was
// queueing is dropped and counted instead of arriving under a handle nobody holds.
TEST_F(SendPath, AViewerClosedWhileItWaitsForRoomEndsAfterItsLinesAndDropsTheLineItQueued) {
    g_windowBusy = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> stop{false}, stalled{false};
    std::vector<kvtest::Received> seen;
    std::thread owner([&] {
        kvtest::RecordingWindow w(kAccessors);
        window = w.hwnd();
        kvtest::PumpUntil([&] { return ::WaitForSingleObject(g_windowBusy, 0) != WAIT_OBJECT_0; }, 60000);
        stalled = true;
        ::WaitForSingleObject(g_windowBusy, 60000);
        kvtest::PumpUntil([&] { return stop.load(); }, 120000);
        seen = w.received();
    });
    ASSERT_TRUE(kvtest::PumpUntil([&] { return window.load() != nullptr; }));
    traceapi_SetTraceWindow(window, TRUE);
    kv::SetSendTimeoutForTesting(60000);
    const WNDCLASSW wc = {0, ClosingViewerProc, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, L"dbgviewClass"};
    ::RegisterClassW(&wc);
    HWND viewer = ::CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 9, 9, nullptr, nullptr, nullptr, nullptr);
    HWND list = ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 9, 9, viewer, nullptr, nullptr, nullptr);
    Hooked(viewer, WM_CREATE, 0);
    const short handle = static_cast<short>(kv::g_region.curHandle);
    traceapi_SetEnableInf(handle, 1);
    ::ResetEvent(g_windowBusy);
    while (!stalled) ::Sleep(1);
    std::thread closer([&] { ::SendMessageW(viewer, WM_CLOSE, 0, 0); });
    std::vector<std::wstring> expected = {L"register"};
    for (int i = 0; i <= 256; ++i) {  // the queue holds 256
        std::wstring text = L"line " + std::to_wstring(i);
        LVITEMW item = {LVIF_TEXT, i, 2, 0, 0, &text[0]};
        Hooked(list, LVM_SETITEMTEXTW, reinterpret_cast<LPARAM>(&item));
        if (i < 256) expected.push_back(text);
    }
    closer.join();
    kv::DrainViewerLines();
    stop = true;
    owner.join();
    std::vector<std::wstring> got;
    for (const auto& r : seen)
        got.push_back(static_cast<short>(r.wParam) != handle ? L"?" : r.msg == WM_TRACE_OUTPUT ? r.text : r.msg == WM_TRACE_REGISTER ? L"register" : L"unregister");
    expected.push_back(L"unregister");
    EXPECT_EQ(got, expected) << "the last: " << kvtest::Narrow(got.empty() ? L"" : got.back());
    EXPECT_EQ(kv::UndeliveredCount(), 1);
    ::CloseHandle(g_windowBusy);
}

// Without the named mutexes a process would write the shared region unguarded. The server
// host is looked for where the system looks for programs, never in the current directory.
TEST_F(SendPath, WithoutTheNamedMutexesNothingIsWrittenAndTheHostIsNeverTakenFromTheCurrentDirectory) {
    for (HANDLE* missing : {&kv::g_proc.dataMutex, &kv::g_proc.curDataMutex}) {
        const HANDLE saved = std::exchange(*missing, nullptr);
        const int enable = traceapi_GetEnable();
        traceapi_Output(0, 0, L"f", L"not sent"), traceapi_SetEnable(!enable);
        EXPECT_TRUE(traceapi_Register(L"NoLocks", nullptr, 0) == -1 && !traceapi_IsEnabled(0, 0) && !traceapi_SetTraceWindow(nullptr, TRUE));
        *missing = saved;
        EXPECT_TRUE(traceapi_GetEnable() == enable && traceapi_IsEnabled(0, 0) && server_.received().empty()) << "the server window stays named";
    }
    kvtest::TempDir planted;
    kvtest::WriteBytes(planted.file(L"KVTrcSrv.exe"), "MZ");
    wchar_t oldDir[MAX_PATH], found[MAX_PATH], oldPath[32767];
    ::GetCurrentDirectoryW(MAX_PATH, oldDir), ::SetCurrentDirectoryW(planted.path().c_str());
    const std::wstring standin = kvtest::ExeDir() + L"\\standin", saved(oldPath, ::GetEnvironmentVariableW(L"PATH", oldPath, 32767));
    // The application's directory comes first (the build puts the real host there), else the stand-in's.
    for (const std::wstring& path : {saved, L".;" + saved, L";" + standin + L";" + saved}) {
        ::SetEnvironmentVariableW(L"PATH", path.c_str());
        const bool any = kv::FindServerHost(found, MAX_PATH);
        const std::wstring dir = std::wstring(found).substr(0, std::wstring(found).find_last_of(L'\\'));
        EXPECT_TRUE(_wcsicmp(dir.c_str(), planted.path().c_str()) != 0 && (path[0] != L';' || (any && (dir == standin || dir == kvtest::ExeDir()))))
            << kvtest::Narrow(path) << " found " << kvtest::Narrow(found);
    }
    ::SetEnvironmentVariableW(L"PATH", saved.c_str()), ::SetCurrentDirectoryW(oldDir);
}

kv::RankedSection g_list{LockRank::kList}, g_store{LockRank::kStore}, g_otherStore{LockRank::kStore};
kv::RankedSrwLock g_tables{LockRank::kFilterTables};

// Steps by letter, in the order of kStepNames: lIst, Store, Other store, Filter tables.
const char kStepNames[] = "ISOF";
struct Step { void (*take)(); void (*drop)(); };
const Step kSteps[] = {
    {[] { g_list.Enter(); }, [] { g_list.Leave(); }},
    {[] { g_store.Enter(); }, [] { g_store.Leave(); }},
    {[] { g_otherStore.Enter(); }, [] { g_otherStore.Leave(); }},
    {[] { g_tables.LockShared(); }, [] { g_tables.UnlockShared(); }},
};
const Step& StepOf(char c) { return kSteps[strchr(kStepNames, c) - kStepNames]; }
std::string g_reports;

KVTEST_HELPER(TakeStoreThenList) {
    kv::SectionLock store(g_store);
    kv::SectionLock list(g_list);
    return 0;
}

// A wait against the order of client/locks.h ends a process that takes no report itself.
TEST(LockOrder, WaitsAgainstTheOrderAreReportedWithBothLocksAndTheThreadAndEndTheRun) {
#if !defined(KV_LOCK_CHECK) || !KV_LOCK_CHECK
    GTEST_SKIP() << "built without KV_LOCK_CHECK";
#endif
    struct Case { const char* steps; const char* report; };  // taken in order, released in reverse
    const Case cases[] = {
        {"SI", "taking the list lock (rank 4) while holding the store lock (rank 5)"},
        {"SO", "taking the store lock (rank 5) while holding the store lock (rank 5)"},
        {"FF", "taking again the filter tables lock (rank 6)"},
    };
    kv::SetLockReportForTesting([](const char* report) { g_reports += report; });
    const std::string thread = "on thread " + std::to_string(::GetCurrentThreadId()) + ":";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps);
        g_reports.clear();
        const std::string steps = c.steps;
        for (char s : steps) StepOf(s).take();
        for (auto s = steps.rbegin(); s != steps.rend(); ++s) StepOf(*s).drop();
        EXPECT_TRUE(g_reports.find(c.report) != std::string::npos && g_reports.find(thread) != std::string::npos) << g_reports;
    }
    kv::SetLockReportForTesting(nullptr);
    const kvtest::ProcessResult r = kvtest::RunHelper(L"TakeStoreThenList");  // no report hook
    EXPECT_TRUE(r.finished && r.exitCode == kv::kLockViolationExitCode) << r.exitCode;
}

kv::RankedSection g_trigger{LockRank::kTrigger};
kv::RankedSrwLock g_writer{LockRank::kWriter};
LRESULT CALLBACK TakesTheTriggerLock(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TRACE_OUTPUT) {
        kv::SectionLock trigger(g_trigger);
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

// The window thread serves sends while it waits for a lock, which counts as held only once
// the wait returned: a trace message served meanwhile may take a lock of a lower rank (the
// trigger lock, as intake does on a hit). The debug viewer's close is a checked send.
TEST_F(SendPath, WaitsServeSendsWithoutHoldingTheirLockYetAndTheViewersCloseIsChecked) {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TakesTheTriggerLock));
    kv::SetTraceWindowThread(::GetCurrentThreadId());
    const struct { const char* lock; void (*hold)(bool); void (*waitServing)(); } waits[] = {
        {"writer", [](bool on) { on ? g_writer.LockExclusive() : g_writer.UnlockExclusive(); },
         [] { g_writer.LockExclusiveServingSent(); g_writer.UnlockExclusive(); }},
        {"store", [](bool on) { on ? g_store.Enter() : g_store.Leave(); }, [] { g_store.EnterServingSent(); g_store.Leave(); }},
        {"data", [](bool on) { on ? (void)::WaitForSingleObject(kv::g_proc.dataMutex, INFINITE) : (void)::ReleaseMutex(kv::g_proc.dataMutex); },
         [] { EXPECT_TRUE(kv::DataLock().owned()); }},
    };
    kv::SetLockReportForTesting([](const char* report) { g_reports += report; });
    for (const auto& w : waits) {
        g_reports.clear();
        std::atomic<bool> held{false};
        BOOL sent = FALSE;
        std::thread holder([&] {  // sends as a client would, while the lock is held
            w.hold(true);
            held = true;
            sent = ::SendMessageTimeoutW(window, WM_TRACE_OUTPUT, 0, 0, SMTO_NORMAL, 20000, nullptr) != 0;
            w.hold(false);
        });
        while (!held) ::SwitchToThread();
        w.waitServing();
        holder.join();
        EXPECT_TRUE(sent && g_reports.empty()) << w.lock << ": " << g_reports;
    }
    kv::SetLockReportForTesting(nullptr);
    kv::SetTraceWindowThread(0);
    ::DestroyWindow(window);
    const WNDCLASSW viewerClass = {0, ::DefWindowProcW, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, L"dbgviewClass"};
    ::RegisterClassW(&viewerClass);
    HWND viewer = ::CreateWindowExW(0, L"dbgviewClass", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    CWPRETSTRUCT call = {0, 0, 0, LVM_SETITEMTEXTW, viewer};
    kv::DbgViewHookProc(HC_ACTION, 0, reinterpret_cast<LPARAM>(&call));  // the hook knows the viewer now
    const std::string reports = kvtest::LockReportsUnderTriggerLock([] { traceapi_UninstallDbgViewHook(); });
    EXPECT_TRUE((!kvtest::kLockCheckBuilt || reports.find(kvtest::kSendUnderTriggerLock) != std::string::npos) && !::IsWindow(viewer))
        << reports;
}

}  // namespace

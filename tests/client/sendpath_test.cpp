// The slot path under stress: a notification window whose thread traces, a trace window
// that stops answering, a process without the named mutexes, and where the server host
// is looked for.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "client/dbgviewhook.h"
#include "client/region.h"
#include "client/sendpath.h"
#include "kvtest.h"

namespace {

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

// The notification handler that traces: a client's UI thread owns the notification
// window and traces itself while a worker traces. The worker holds the slot and sends to
// the UI thread, the UI thread waits for the slot: every sender of the machine would
// stop for good unless the waiting thread serves the send and the trace made inside the
// handler does not wait for the slot its sender holds.
LRESULT CALLBACK TracingNotifyProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TRACE_OUTPUT) {
        traceapi_Output(0, 0, L"notify", L"seen in the handler");
        return 0;
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

TEST_F(SendPath, NotificationHandlerThatTracesDeadlocksNobody) {
    constexpr int kEach = 150;
    std::atomic<int> done{0};
    std::atomic<HWND> notify{nullptr};
    std::thread ui([&] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = TracingNotifyProc;
        wc.lpszClassName = L"KvTracingNotify";
        ::RegisterClassW(&wc);
        HWND w = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
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
    // Every message of both threads reached the server window; traces made inside the
    // handler while the slot was held for it were counted, not waited for.
    int fromUi = 0, fromWorker = 0;
    for (const auto& r : server_.OfKind(WM_TRACE_OUTPUT)) {
        fromUi += r.func == L"ui";
        fromWorker += r.func == L"worker";
    }
    EXPECT_EQ(fromUi, kEach);
    EXPECT_EQ(fromWorker, kEach);
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
    if (seen.size() >= 2) {
        EXPECT_EQ(seen[seen.size() - 2].text, L"answered again");
        EXPECT_EQ(seen.back().text, L"***** 3 trace message(s) could not be delivered *****");
        EXPECT_EQ(seen.back().func, L"traceapi_Output");
    }
    traceapi_SetTraceWindow(server_.hwnd(), TRUE);
    stop = true;
    ::PostMessageW(stuck.load()->hwnd(), WM_NULL, 0, 0);
    owner.join();
    ::CloseHandle(hold);
}

// The debug-viewer hook queues the viewer's lines for a thread of the library. More lines
// than the queue holds, queued while the trace window (this thread) answers only as the
// queue makes it wait: every line arrives once, in order, as written, from the thread
// that queued it.
TEST_F(SendPath, ViewerLinesQueuedForTheSenderThreadArriveInOrder) {
    kv::g_region.apps[0].EnableInfo = 1;
    std::vector<std::wstring> lines;
    for (int i = 0; i < 700; ++i) lines.push_back(L"viewer line " + std::to_wstring(i) + (i % 100 ? L"" : L" 100% %s"));
    for (const std::wstring& line : lines) kv::QueueViewerLine(0, line.c_str());
    kv::DrainViewerLines();
    std::vector<std::wstring> seen;
    for (const auto& r : server_.OfKind(WM_TRACE_OUTPUT)) {
        EXPECT_TRUE(r.func == L"DbgViewHookProc" && r.threadId == ::GetCurrentThreadId() && r.lParam == 30);
        seen.push_back(r.text);
    }
    EXPECT_EQ(seen, lines);
}

// A process that could not open the named mutexes neither registers nor emits nor
// changes a switch: without the locks it would write the shared region unguarded.
TEST_F(SendPath, WithoutTheNamedMutexesNothingIsWritten) {
    for (HANDLE* missing : {&kv::g_proc.dataMutex, &kv::g_proc.curDataMutex}) {
        HANDLE saved = *missing;
        *missing = nullptr;
        const int enable = traceapi_GetEnable();
        EXPECT_EQ(traceapi_Register(L"NoLocks", nullptr, 0), -1);
        EXPECT_FALSE(traceapi_IsEnabled(0, 0));
        traceapi_Output(0, 0, L"f", L"not sent");
        traceapi_SetEnable(!enable);
        *missing = saved;
        EXPECT_EQ(traceapi_GetEnable(), enable);
        EXPECT_TRUE(server_.received().empty());
        for (int i = 1; i < kv::kAppSlots; ++i) EXPECT_NE(std::wstring(kv::g_region.apps[i].szModule), L"NoLocks");
    }
}

// The host is looked for where the system looks for programs, but a program of that name
// in the current directory is never the one found.
TEST_F(SendPath, ServerHostIsNeverTakenFromTheCurrentDirectory) {
    kvtest::TempDir planted;
    kvtest::WriteBytes(planted.file(L"KVTrcSrv.exe"), "MZ");
    wchar_t oldDir[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, oldDir);
    ::SetCurrentDirectoryW(planted.path().c_str());
    wchar_t found[MAX_PATH];
    const std::wstring standin = kvtest::ExeDir() + L"\\standin";
    wchar_t oldPath[32767];
    const DWORD n = ::GetEnvironmentVariableW(L"PATH", oldPath, 32767);
    const std::wstring saved(oldPath, n);
    struct Case { std::wstring path; bool standinFound; };
    const Case cases[] = {{saved, false}, {L".;" + saved, false}, {L";" + standin + L";" + saved, true}};
    for (const Case& c : cases) {
        ::SetEnvironmentVariableW(L"PATH", c.path.c_str());
        const bool any = kv::FindServerHost(found, MAX_PATH);
        EXPECT_NE(_wcsicmp(found, planted.file(L"KVTrcSrv.exe").c_str()), 0) << kvtest::Narrow(c.path);
        if (c.standinFound) {
            // The application's directory comes first; the build puts the real host there.
            const std::wstring appDir = kvtest::ExeDir() + L"\\KVTrcSrv.exe";
            EXPECT_TRUE(any);
            EXPECT_TRUE(_wcsnicmp(found, standin.c_str(), standin.size()) == 0 || _wcsicmp(found, appDir.c_str()) == 0)
                << kvtest::Narrow(found);
        }
    }
    ::SetEnvironmentVariableW(L"PATH", saved.c_str());
    ::SetCurrentDirectoryW(oldDir);
}

// The trace window's thread waits for the data mutex while serving sends: a holder that
// sends to it meanwhile (a client registering while the window loads a profile) is
// answered at once instead of running into its time-out.
TEST_F(SendPath, TheWindowThreadServesSendsWhileWaitingForTheDataMutex) {
    kvtest::RecordingWindow window(kAccessors);
    kv::SetTraceWindowThread(::GetCurrentThreadId());
    std::atomic<bool> held{false};
    DWORD_PTR answer = 0;
    BOOL sent = FALSE;
    std::thread holder([&] {
        kv::RankedMutexLock lock(kv::g_proc.dataMutex, kv::LockRank::kData);
        held = true;
        sent = ::SendMessageTimeoutW(window.hwnd(), WM_NULL, 0, 0, SMTO_NORMAL, 20000, &answer) != 0;
    });
    while (!held) ::Sleep(1);
    {
        kv::DataLock lock;
        EXPECT_TRUE(lock.owned());
    }
    holder.join();
    kv::SetTraceWindowThread(0);
    EXPECT_TRUE(sent) << "the holder's send waited for the mutex's waiter";
}

}  // namespace

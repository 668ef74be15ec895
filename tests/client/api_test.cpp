// The exported interface through the real DLL, seen by a window of this process named as
// server window while helper processes (copies of this executable) register and emit.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "client/traceapi.h"
#include "kvtest.h"

using kvtest::Received;

namespace {

const wchar_t kFormatError[] = L"***** !!! ERROR in message format string !!! *****";
const wchar_t* const kBad = reinterpret_cast<const wchar_t*>(static_cast<ULONG_PTR>(0x10));

// The shared region's layout is an interface: the current handle can be reached from slot 0.
short CurrentHandleField() { return *reinterpret_cast<short*>(reinterpret_cast<char*>(traceapi_GetTraceApp(0)) - 2216 + 8); }

const kvtest::Accessors kDllAccessors = {
    traceapi_GetCurTrcTxt, traceapi_GetCurFuncName, traceapi_GetCurThreadID, traceapi_GetTraceApp, CurrentHandleField};

std::wstring Env(const wchar_t* name) {
    wchar_t buf[32767];
    return std::wstring(buf, ::GetEnvironmentVariableW(name, buf, 32767));
}
std::vector<INT> Switches(short h) {
    return {traceapi_GetEnableDiag(h), traceapi_GetEnableInf(h), traceapi_GetEnableWarn(h), traceapi_GetEnableErr(h)};
}
void SetSwitches(short h, std::vector<INT> s) {
    traceapi_SetEnableDiag(h, s[0]), traceapi_SetEnableInf(h, s[1]), traceapi_SetEnableWarn(h, s[2]), traceapi_SetEnableErr(h, s[3]);
}

// Registers args[0] (bForceWnd if args[1] is "force"; else sets the event args[1] names, if
// any), emits the texts that follow as info lines ("long": text and function name one more
// than their fields hold; "tid": its thread id) and unregisters. Exit code: the handle.
KVTEST_HELPER(client) {
    if (args[1].size() > 5) ::SetEvent(::OpenEventW(EVENT_MODIFY_STATE, FALSE, args[1].c_str()));
    short h = traceapi_Register(args[0].c_str(), nullptr, args[1] == L"force");
    for (size_t i = 2; i < args.size(); ++i) {
        if (args[i] == L"diag-on") traceapi_SetEnableDiag(h, 1);
        else if (args[i] == L"long") traceapi_Output(h, 30, (std::wstring(98, L'F') + L"Y").c_str(), (std::wstring(999, L'T') + L"X").c_str());
        else if (args[i] == L"tid") traceapi_Output1(h, 30, L"client", L"%lu", ::GetCurrentThreadId());
        else traceapi_Output(h, 30, L"client", args[i].c_str());
    }
    traceapi_Unregister(h, 0);
    return h;
}

// Only loads the library (the executable links it), which runs its per-process start.
KVTEST_HELPER(load_only) { return 0; }

// Takes one of the library's mutexes and ends without releasing it.
KVTEST_HELPER(die_holding) {
    HANDLE m = ::OpenMutexW(SYNCHRONIZE, FALSE, args[0].c_str());
    if (!m || ::WaitForSingleObject(m, 10000) != WAIT_OBJECT_0) return 1;
    ::ExitProcess(7);
}

class ClientApi : public ::testing::Test {
protected:
    // Copies of this executable find the DLLs through PATH: a copied library has its own region.
    static void SetUpTestSuite() { ::SetEnvironmentVariableW(L"PATH", (kvtest::ExeDir() + L";" + Env(L"PATH")).c_str()); }
    void SetUp() override {
        traceapi_SetTraceWindow(win_.hwnd(), TRUE);
        traceapi_SetEnable(1);
    }
    void TearDown() override {
        traceapi_SetTraceWindow(nullptr, TRUE);
        traceapi_SetTraceWindow(nullptr, FALSE);
    }
    std::vector<Received> Outputs() const { return win_.OfKind(WM_TRACE_OUTPUT); }
    kvtest::RecordingWindow win_{kDllAccessors};
};

// A copy of this executable under another name in its own directory, so that its base
// name and settings file are the test's to choose.
class CopiedClient {
public:
    explicit CopiedClient(const std::wstring& exeName) : exe_(dir_.file(exeName)) {
        ::CopyFileW(kvtest::ExePath().c_str(), exe_.c_str(), FALSE);
    }
    std::wstring ini() const { return dir_.file(L"KVTRCSRV.ini"); }
    short Run(const std::vector<std::wstring>& args) const {
        std::wstring cmd = kvtest::Quote(exe_) + L" --kv-helper";
        for (const auto& a : args) cmd += L" " + kvtest::Quote(a);
        auto r = kvtest::WaitPumping(kvtest::Start(cmd, dir_.path().c_str()));
        EXPECT_TRUE(r.finished);
        return static_cast<short>(r.exitCode);
    }
private:
    kvtest::TempDir dir_;
    std::wstring exe_;
};

TEST_F(ClientApi, SlotsAndAccessors) {
    EXPECT_TRUE(traceapi_GetTraceApp(-1) == nullptr && traceapi_GetTraceApp(TRACE_MAX_APPS) == nullptr);
    // Lowest free slot first; an empty module name marks a free slot. Names cut to their
    // fields: the module at 48 characters, the section at 49.
    EXPECT_EQ(std::vector<short>({traceapi_Register(L"", nullptr, 0), traceapi_Register(L"First", nullptr, 0),
                                 traceapi_Register(L"Second", nullptr, 0)}), std::vector<short>({1, 1, 2}));
    traceapi_Unregister(1, 0);
    ASSERT_EQ(traceapi_Register(std::wstring(60, L'n').c_str(), nullptr, 0), 1) << "the freed lowest slot is handed out again";
    const TRACEAPP* app = traceapi_GetTraceApp(1);
    EXPECT_TRUE(app->szModule == std::wstring(48, L'n') && wcslen(app->szSection) == 49 && app->dwProcessId == ::GetCurrentProcessId());
    // Switch accessors stay inside the table, the last slot included.
    for (short h : {-1, 511, 512, 600}) {
        SetSwitches(h, {1, 1, 1, 1});
        EXPECT_EQ(Switches(h), (std::vector<INT>(4, h == 511))) << h;
    }
    SetSwitches(511, {0, 0, 0, 0});
    std::vector<short> handles = {1, 2};
    for (short h; (h = traceapi_Register(L"Filler", nullptr, 0)) >= 0 && handles.size() < 600;) handles.push_back(h);
    EXPECT_TRUE(handles.size() == 511u && handles.back() == 511) << "511 client slots, slot 0 is never handed out";
    win_.Clear();
    EXPECT_EQ(traceapi_Register(L"OneTooMany", nullptr, 0), -1);
    traceapi_Unregister(512, 1);  // out of range: nothing at all
    traceapi_Unregister(-1, 1);
    EXPECT_TRUE(win_.received().empty()) << "a failed registration announces nothing";
    for (short h : handles) traceapi_Unregister(h, 0);
    EXPECT_EQ(win_.OfKind(WM_TRACE_UNREGISTER).size(), 511u);
    for (short h = 1; h < TRACE_MAX_APPS; ++h) ASSERT_EQ(traceapi_GetTraceApp(h)->szModule[0], 0) << "slot " << h;
    // Unregistering the server entry clears its switches.
    traceapi_Unregister(0, 0);
    EXPECT_EQ(traceapi_GetEnableErr(0), 0);
    traceapi_SetEnableErr(0, 1);
}

// Switches come from the settings file (a non-zero key reads as 1) and are written back as
// "1"/"0" with the switch set at run time; texts are cut to 999 and 98 characters. Asked to,
// a registration starts the server host from the search path when no trace window runs.
TEST_F(ClientApi, RegistrationFromAnotherProcessIsAnnouncedAndSwitchesComeFromItsSettings) {
    CopiedClient client(L"plc.link.exe");  // its own directory holds no host
    ::WritePrivateProfileStringW(L"PLC.LINK_Router", L"EnableInfo", L"1", client.ini().c_str());
    ::WritePrivateProfileStringW(L"PLC.LINK_Router", L"EnableWarning", L"7", client.ini().c_str());
    traceapi_SetEnableErr(0, 0);  // no server override
    kvtest::TempDir logDir;
    const std::wstring log = logDir.file(L"standin.log"), path = Env(L"PATH");
    ::SetEnvironmentVariableW(L"KV_TRIGGER_RECORD", log.c_str());
    ::SetEnvironmentVariableW(L"PATH", (kvtest::ExeDir() + L"\\standin;" + path).c_str());
    const short h = client.Run({L"client", L"Router", L"force", L"diag-on", L"hello", L"long", L"tid"});
    EXPECT_FALSE(kvtest::FileExists(log)) << "with a trace window running nothing is started";
    auto regs = win_.OfKind(WM_TRACE_REGISTER);
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_TRUE(h > 0 && regs[0].wParam == static_cast<WPARAM>(h) && regs[0].lParam == 0 && regs[0].curHandle == h);
    EXPECT_EQ(regs[0].module + L"|" + regs[0].section + L"|" + regs[0].process.substr(0, 10), L"Router|PLC.LINK_Router|PLC.LINK [")
        << "cut at the last dot, upper-cased";
    EXPECT_EQ(std::vector<INT>(regs[0].switches, regs[0].switches + 4), (std::vector<INT>{0, 1, 1, 0}));
    std::vector<INT> stored;
    for (const wchar_t* key : {L"EnableDiag", L"EnableInfo", L"EnableWarning", L"EnableError"})
        stored.push_back(static_cast<INT>(::GetPrivateProfileIntW(L"PLC.LINK_Router", key, -1, client.ini().c_str())));
    EXPECT_EQ(stored, (std::vector<INT>{1, 1, 1, 0}));
    auto outs = Outputs();
    ASSERT_EQ(outs.size(), 3u);
    EXPECT_EQ(outs[0].text + L"|" + outs[0].func, L"hello|client");
    EXPECT_EQ(static_cast<short>(outs[0].lParam), 30);
    EXPECT_TRUE(outs[1].text == std::wstring(999, L'T') && outs[1].func == std::wstring(98, L'F'));
    EXPECT_TRUE(outs[2].text == std::to_wstring(outs[2].threadId) && outs[2].threadId != ::GetCurrentThreadId());
    const auto unregs = win_.OfKind(WM_TRACE_UNREGISTER);
    EXPECT_TRUE(unregs.size() == 1 && unregs[0].module + traceapi_GetTraceApp(h)->szModule == L"Router")
        << "the window is told once, before the slot is cleared";
    win_.Clear();
    traceapi_SetEnableWarn(0, 1);  // the server entry's switches override every client
    CopiedClient(std::wstring(60, L'q') + L".exe").Run({L"client", L"Router", L""});
    traceapi_SetEnableWarn(0, 0), traceapi_SetEnableErr(0, 1);
    regs = win_.OfKind(WM_TRACE_REGISTER);
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_TRUE(regs[0].process.rfind(std::wstring(49, L'Q'), 0) == 0 && regs[0].section == std::wstring(49, L'Q')) << "49 characters";
    EXPECT_EQ(std::vector<INT>(regs[0].switches, regs[0].switches + 4), (std::vector<INT>{0, 0, 1, 0}));
    traceapi_SetTraceWindow(nullptr, TRUE);
    client.Run({L"client", L"Forced", L"force"});
    ::SetEnvironmentVariableW(L"PATH", path.c_str());
    ASSERT_TRUE(kvtest::PumpUntil([&] { return kvtest::ReadBytes(log).find("\r\n") != std::string::npos; }, 20000)) << "no host started";
    const std::string text = kvtest::ReadBytes(log);
    EXPECT_TRUE(text.rfind("1|", 0) == 0 && text.find("KVTrcSrv.exe") != std::string::npos) << "started with a normal window: " << text;
    ::SetEnvironmentVariableW(L"KV_TRIGGER_RECORD", nullptr);
}

TEST_F(ClientApi, ServerEntrySwitchesAreTheRunningWindowsAtStart) {
    traceapi_SetEnableErr(0, 0);
    // The server entry's switches belong to the running window's operator: a loading process
    // leaves them alone. With no window they come from its settings file (here: defaults).
    SetSwitches(0, {1, 1, 0, 0});
    CopiedClient loader(L"loader.exe");
    loader.Run({L"load_only"});
    EXPECT_EQ(Switches(0), (std::vector<INT>{1, 1, 0, 0})) << "the operator's switches survive";
    traceapi_SetTraceWindow(nullptr, TRUE);
    loader.Run({L"load_only"});
    EXPECT_EQ(Switches(0), (std::vector<INT>{0, 0, 0, 1})) << "no window: the defaults of a missing settings file";
    // A start that finds the data mutex held gives up within its bound and leaves the
    // switches alone; the process's first line to reach the window is followed by a note.
    traceapi_SetEnableDiag(0, 1);
    HANDLE started = ::CreateEventW(nullptr, TRUE, FALSE, L"kvtest_busy_start");
    HANDLE mutex = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, L"traceapi_dll_datamutex");
    ASSERT_EQ(::WaitForSingleObject(mutex, 10000), WAIT_OBJECT_0);
    HANDLE busy = kvtest::StartHelper(L"client", {L"Late", L"kvtest_busy_start", L"after a busy start"});
    EXPECT_EQ(::WaitForSingleObject(started, 30000), WAIT_OBJECT_0) << "the start did not return while the mutex was held";
    win_.Clear();
    traceapi_SetTraceWindow(win_.hwnd(), TRUE);
    ::ReleaseMutex(mutex);
    EXPECT_TRUE(kvtest::WaitPumping(busy).finished);
    ::CloseHandle(mutex), ::CloseHandle(started);
    EXPECT_EQ(Switches(0), (std::vector<INT>{1, 0, 0, 1}));
    const std::vector<Received> lines = Outputs();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].text == L"after a busy start" && lines[1].text.find(L"started without the data mutex") != std::wstring::npos)
        << kvtest::Narrow(lines[1].text);
    // Application names cannot write into other sections of this process's settings file; it outlives runs.
    const std::wstring ini = kvtest::ExeDir() + L"\\KVTRCSRV.ini";
    ::WritePrivateProfileStringW(L"RivivEda", L"EnableDiag", nullptr, ini.c_str());
    const short h = traceapi_Register(L"evil]\n[RivivEda", nullptr, 0);
    traceapi_SetEnableDiag(h, 1), traceapi_Unregister(h, 0);
    EXPECT_EQ(::GetPrivateProfileIntW(L"RivivEda", L"EnableDiag", -1, ini.c_str()), -1u);
    traceapi_SetEnableErr(0, 1);
}

TEST_F(ClientApi, LevelTestMatrix) {
    short h = traceapi_Register(L"Levels", nullptr, 0);
    traceapi_SetEnableErr(0, 0);
    SetSwitches(h, {1, 0, 1, 0});
    // Diagnose and warning on; -1 (operator) passes with tracing off; no window, nothing passes.
    enum State { kOn, kOff, kNoWindow };
    struct Case { State state; short handle; int level; bool passes; };
    const Case cases[] = {{kOn, h, 40, true},   {kOn, h, 30, false},  {kOn, h, 20, true},       {kOn, h, 10, false},
                          {kOn, h, 15, false},  {kOn, h, -2, false},  {kOn, h, 0, true},        {kOn, h, -1, true},
                          {kOn, 512, 0, false}, {kOff, h, -1, true},  {kOff, h, 0, false},      {kOff, h, 40, false},
                          {kNoWindow, h, -1, false}, {kNoWindow, h, 40, false}};
    for (const Case& c : cases) {
        traceapi_SetEnable(c.state != kOff);
        traceapi_SetTraceWindow(c.state == kNoWindow ? nullptr : win_.hwnd(), TRUE);
        EXPECT_EQ(traceapi_IsEnabled(c.handle, c.level) != 0, c.passes)
            << "state " << c.state << " handle " << c.handle << " level " << c.level;
    }
    traceapi_SetEnable(1), traceapi_SetTraceWindow(win_.hwnd(), TRUE);
    traceapi_Output_VB(h, 30, L"vb", L"info is off");
    EXPECT_TRUE(Outputs().empty()) << "the VB variant passes the level check too";
    traceapi_SetEnableErr(0, 1), traceapi_Unregister(h, 0);
}

// Plain texts are copied, not formatted; a bad format goes out at level 0; a bad caller
// pointer loses its message. Then a notification window of this process gets copies.
TEST_F(ClientApi, FormatCheckFormattingAndNotificationCopies) {
    struct Case { void (*emit)(short h); const wchar_t* text; LPARAM level; };
    const Case cases[] = {
        {[](short h) { traceapi_Output(h, 30, L"f", L"100%% plain"); }, L"100%% plain", 30},
        {[](short h) { traceapi_Output(h, 30, L"f", L"50%d"); }, kFormatError, 0},
        {[](short h) { traceapi_Output(h, 30, L"f", L"ends with %"); }, kFormatError, 0},
        {[](short h) { traceapi_Output1(h, 20, L"f", L"100%% of %d", 7); }, L"100% of 7", 20},
        {[](short h) { traceapi_Output2(h, 20, L"f", L"only %d", 1, 2); }, kFormatError, 0},
        {[](short h) { traceapi_Output2(h, 20, L"f", L"%*d", 5, 42); }, kFormatError, 0},
        {[](short h) { traceapi_Output3(h, 10, L"f", L"%s|%S|%hs", L"wide", "narrow", "short"); }, L"wide|narrow|short", 10},
        {[](short h) { traceapi_Output(h, 30, nullptr, nullptr); }, L"", 30},
        {[](short h) { traceapi_Output(h, -1, L"op", L"operator"); }, L"operator", -1},
        {[](short) { traceapi_Output(600, 30, L"f", L"out of range"); }, nullptr, 0},
        {[](short h) { traceapi_Output(h, 30, kBad, L"bad function name"); }, nullptr, 0},
        {[](short h) { traceapi_Output1(h, 30, L"f", kBad, 1); }, nullptr, 0},
    };
    short h = traceapi_Register(L"Format", nullptr, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.text ? c.text : L"<none>"));
        win_.Clear();
        c.emit(h);
        auto outs = Outputs();
        ASSERT_EQ(outs.size(), c.text ? 1u : 0u);
        if (!c.text) continue;
        EXPECT_EQ(outs[0].text, c.text);
        EXPECT_TRUE(outs[0].lParam == c.level && outs[0].wParam == static_cast<WPARAM>(h) && outs[0].threadId == ::GetCurrentThreadId());
    }
    traceapi_Unregister(h, 0);
    kvtest::RecordingWindow notify(kDllAccessors);
    EXPECT_TRUE(traceapi_SetTraceWindow(notify.hwnd(), FALSE));
    win_.Clear();
    h = traceapi_Register(L"Notified", nullptr, 0);
    traceapi_Output(h, 0, L"f", L"copy");
    traceapi_Unregister(h, 1);
    const auto& got = notify.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_TRUE(got[0].msg == WM_TRACE_REGISTER && got[1].text == L"copy" && got[2].msg == WM_TRACE_UNREGISTER && got[2].lParam == 1);
    EXPECT_EQ(win_.received().size(), 3u) << "the server window gets them as well";
    traceapi_SetTraceWindow(nullptr, TRUE);
    EXPECT_FALSE(traceapi_IsEnabled(0, 0)) << "naming a server window forgets the notification window";
    traceapi_SetTraceWindow(notify.hwnd(), FALSE);
    EXPECT_TRUE(traceapi_IsEnabled(0, 0)) << "the notification window alone lets messages pass";
}

// Faults, and a client that crashed holding a mutex, leave everyone running. The worker's
// sends wait for this thread.
TEST_F(ClientApi, BadCallersAndCrashedMutexHoldersLeaveEveryoneRunning) {
    EXPECT_TRUE(traceapi_Register(nullptr, nullptr, 0) == -1 && traceapi_Register(kBad, nullptr, 0) == -1);
    EXPECT_EQ(traceapi_GetTraceApp(1)->szModule[0], 0) << "the half-filled slot was given back";
    short h = traceapi_Register(L"Own", L"o", 0);  // the shortest name of an own INI file
    EXPECT_TRUE(h == 1 && win_.OfKind(WM_TRACE_REGISTER).size() == 1u);
    auto outs = Outputs();
    ASSERT_EQ(outs.size(), 3u);
    EXPECT_EQ(outs[0].text + L"|" + outs[0].func, L"ERROR: szAppName=NULL !|traceapi_Register");
    EXPECT_EQ(outs[1].text, L"Fatal EXCEPTION: szApp=10, pIniFile=0, bForceWnd=0 !");
    EXPECT_TRUE(outs[2].text.rfind(L"Own INI no longer supported: szApp='Own', pIniFile=", 0) == 0 &&
                outs[2].text.substr(outs[2].text.size() - 15) == L", bForceWnd=0 !") << kvtest::Narrow(outs[2].text);
    traceapi_Output(h, 30, L"f", kBad);  // faults on this thread: the worker below must still get the mutex
    win_.Clear();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        traceapi_Output1(h, 30, L"f", L"%s", static_cast<INT_PTR>(0x20));
        traceapi_Output(h, 30, L"f", L"ok");
        done = true;
    });
    EXPECT_TRUE(kvtest::PumpUntil([&] { return done.load(); }, 60000));
    worker.join();
    EXPECT_EQ(Outputs().size(), 1u) << "faulting messages are lost, the others arrive";
    traceapi_Unregister(h, 0);
    for (const wchar_t* name : {L"traceapi_dll_curdatamutex", L"traceapi_dll_datamutex"}) {
        SCOPED_TRACE(kvtest::Narrow(name));
        win_.Clear();
        auto r = kvtest::RunHelper(L"die_holding", {name});
        ASSERT_TRUE(r.finished && r.exitCode == 7u);
        const short after = traceapi_Register(L"AfterCrash", nullptr, 0);  // an abandoned mutex waited for: a hang
        traceapi_Output(after, 30, L"f", L"delivered");
        EXPECT_TRUE(after > 0 && Outputs().size() == 1u);
        traceapi_Unregister(after, 0);
    }
}

}  // namespace

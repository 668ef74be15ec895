// The exported client interface through the real DLL: registration, output, switches and
// accessors, seen by a window of this process named as server window while helper
// processes (this executable started with --kv-helper) register and emit.
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

// The shared region's layout is an interface: its fields can be reached from slot 0.
char* RegionBase() { return reinterpret_cast<char*>(traceapi_GetTraceApp(0)) - 2216; }
volatile DWORD& ServerWindowField() { return *reinterpret_cast<volatile DWORD*>(RegionBase() + 4); }
short CurrentHandleField() { return *reinterpret_cast<short*>(RegionBase() + 8); }
wchar_t* ProfileField() { return reinterpret_cast<wchar_t*>(RegionBase() + 2216 + 512 * 844); }

const kvtest::Accessors kDllAccessors = {
    traceapi_GetCurTrcTxt, traceapi_GetCurFuncName, traceapi_GetCurThreadID, traceapi_GetTraceApp, CurrentHandleField};

std::wstring Repeat(wchar_t c, size_t n) { return std::wstring(n, c); }

// ---- helper processes -------------------------------------------------------------

// Registers args[0] (with bForceWnd args[1] when given), emits the texts that follow as
// info lines, and unregisters unless the last argument is "stay". Exit code: the handle.
KVTEST_HELPER(client) {
    BOOL force = args.size() > 1 && args[1] == L"force";
    short h = traceapi_Register(args[0].c_str(), nullptr, force);
    for (size_t i = 2; i < args.size(); ++i) {
        if (args[i] == L"stay") return h;
        if (args[i] == L"diag-on") { traceapi_SetEnableDiag(h, 1); continue; }
        if (args[i] == L"tid") {
            traceapi_Output1(h, 30, L"tid", L"%lu", ::GetCurrentThreadId());
            continue;
        }
        traceapi_Output(h, 30, L"client", args[i].c_str());
    }
    traceapi_Unregister(h, 0);
    return h;
}

// Sends one text of 1200 characters with a function name of 120 characters.
KVTEST_HELPER(long_texts) {
    short h = traceapi_Register(L"LongTexts", nullptr, 0);
    std::wstring text = Repeat(L'T', 1199) + L"X";
    std::wstring func = Repeat(L'F', 119) + L"Y";
    traceapi_Output(h, 30, func.c_str(), text.c_str());
    traceapi_Unregister(h, 0);
    return 0;
}

// Only loads the library (the executable links it), which runs its per-process start.
KVTEST_HELPER(load_only) { return 0; }

// Takes one of the library's mutexes and ends without releasing it.
KVTEST_HELPER(die_holding) {
    HANDLE m = ::OpenMutexW(SYNCHRONIZE, FALSE, args[0].c_str());
    if (!m || ::WaitForSingleObject(m, 10000) != WAIT_OBJECT_0) return 1;
    ::ExitProcess(7);
}

// ---- fixture ------------------------------------------------------------------------

class ClientApi : public ::testing::Test {
protected:
    void SetUp() override {
        win_ = std::make_unique<kvtest::RecordingWindow>(kDllAccessors);
        ASSERT_NE(win_->hwnd(), nullptr);
        traceapi_SetTraceWindow(win_->hwnd(), TRUE);
        traceapi_SetEnable(1);
    }
    void TearDown() override {
        traceapi_SetTraceWindow(nullptr, TRUE);
        traceapi_SetTraceWindow(nullptr, FALSE);
        win_.reset();
    }
    std::vector<Received> Outputs() const { return win_->OfKind(WM_TRACE_OUTPUT); }
    std::unique_ptr<kvtest::RecordingWindow> win_;
};

// A copy of this executable under another name in its own directory, so that its base
// name and settings file are the test's to choose. The DLLs stay where they are (a copy
// of the library would be a region of its own): they are found through PATH.
class CopiedClient {
public:
    explicit CopiedClient(const std::wstring& exeName) : exe_(dir_.file(exeName)) {
        ::CopyFileW(kvtest::ExePath().c_str(), exe_.c_str(), FALSE);
        static bool pathSet = [] {
            wchar_t old[32767];
            DWORD n = ::GetEnvironmentVariableW(L"PATH", old, 32767);
            std::wstring path = kvtest::ExeDir() + L";" + std::wstring(old, n);
            return ::SetEnvironmentVariableW(L"PATH", path.c_str()) != 0;
        }();
        (void)pathSet;
    }
    const std::wstring& dir() const { return dir_.path(); }
    std::wstring ini() const { return dir_.file(L"KVTRCSRV.ini"); }
    void SetIni(const wchar_t* section, const wchar_t* key, const wchar_t* value) const {
        ::WritePrivateProfileStringW(section, key, value, ini().c_str());
    }
    int IniInt(const wchar_t* section, const wchar_t* key, int def = -1) const {
        return static_cast<int>(::GetPrivateProfileIntW(section, key, def, ini().c_str()));
    }
    kvtest::ProcessResult Run(const std::vector<std::wstring>& args) const {
        std::wstring cmd = kvtest::Quote(exe_) + L" --kv-helper";
        for (const auto& a : args) cmd += L" " + kvtest::Quote(a);
        return kvtest::WaitPumping(kvtest::Start(cmd, dir_.path().c_str()));
    }
private:
    kvtest::TempDir dir_;
    std::wstring exe_;
};

// ---- shared region and registration --------------------------------------------------

TEST_F(ClientApi, FreshRegionAndSlotZero) {
    EXPECT_EQ(traceapi_GetEnable(), 1);
    for (short h = 1; h < TRACE_MAX_APPS; ++h) ASSERT_EQ(traceapi_GetTraceApp(h)->szModule[0], 0) << "slot " << h;
    EXPECT_EQ(traceapi_GetTraceApp(512), nullptr);
    EXPECT_EQ(traceapi_GetTraceApp(-1), nullptr);
    EXPECT_EQ(reinterpret_cast<char*>(traceapi_GetTraceApp(1)) - reinterpret_cast<char*>(traceapi_GetTraceApp(0)), 844);
    EXPECT_STREQ(traceapi_GetCurUser(), L"???");
}

TEST_F(ClientApi, LowestFreeSlotFirstAndAllSlotsTaken) {
    short a = traceapi_Register(L"First", nullptr, 0);
    short b = traceapi_Register(L"Second", nullptr, 0);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    traceapi_Unregister(a, 0);
    EXPECT_EQ(traceapi_Register(L"Again", nullptr, 0), 1) << "the freed lowest slot is handed out again";

    std::vector<short> handles = {1, 2};
    for (;;) {
        short h = traceapi_Register(L"Filler", nullptr, 0);
        if (h < 0) break;
        handles.push_back(h);
        ASSERT_LT(handles.size(), 600u);
    }
    EXPECT_EQ(handles.size(), 511u) << "511 client slots, slot 0 is never handed out";
    win_->Clear();
    EXPECT_EQ(traceapi_Register(L"OneTooMany", nullptr, 0), -1);
    EXPECT_TRUE(win_->received().empty()) << "a failed registration announces nothing";
    for (short h : handles) traceapi_Unregister(h, 0);
    EXPECT_EQ(traceapi_GetTraceApp(300)->szModule[0], 0);
}

TEST_F(ClientApi, EmptyNameLeavesTheSlotFreeAndLongNamesAreCut) {
    short empty = traceapi_Register(L"", nullptr, 0);
    ASSERT_GT(empty, 0);
    EXPECT_EQ(traceapi_Register(L"Next", nullptr, 0), empty) << "an empty module name marks a free slot";
    traceapi_Unregister(empty, 0);

    std::wstring longName = Repeat(L'n', 60);
    short h = traceapi_Register(longName.c_str(), nullptr, 0);
    TRACEAPP* app = traceapi_GetTraceApp(h);
    EXPECT_EQ(std::wstring(app->szModule), Repeat(L'n', 48));
    EXPECT_EQ(wcslen(app->szSection), 49u) << "section cut to its field";
    EXPECT_EQ(app->dwProcessId, ::GetCurrentProcessId());
    traceapi_Unregister(h, 0);
}

TEST_F(ClientApi, RegistrationFromAnotherProcessIsAnnounced) {
    CopiedClient client(L"plc.link.exe");
    auto r = client.Run({L"client", L"Router", L"", L"hello"});
    ASSERT_TRUE(r.finished);
    short h = static_cast<short>(r.exitCode);
    ASSERT_GT(h, 0);

    auto regs = win_->OfKind(WM_TRACE_REGISTER);
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs[0].wParam, static_cast<WPARAM>(h));
    EXPECT_EQ(regs[0].lParam, 0);
    EXPECT_EQ(regs[0].curHandle, h) << "the handle travels in the current handle field too";
    EXPECT_EQ(regs[0].module, L"Router");
    EXPECT_EQ(regs[0].section, L"PLC.LINK_Router") << "base name cut at its last dot, upper-cased";
    EXPECT_EQ(regs[0].process.rfind(L"PLC.LINK [", 0), 0u) << kvtest::Narrow(regs[0].process);

    auto outs = Outputs();
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].text, L"hello");
    EXPECT_EQ(outs[0].func, L"client");
    EXPECT_EQ(static_cast<short>(outs[0].lParam), 30);

    auto unregs = win_->OfKind(WM_TRACE_UNREGISTER);
    ASSERT_EQ(unregs.size(), 1u);
    EXPECT_EQ(unregs[0].module, L"Router") << "the window is told before the slot is cleared";
    EXPECT_EQ(traceapi_GetTraceApp(h)->szModule[0], 0);
}

TEST_F(ClientApi, LongExecutableNamesAreCutInProcessNameAndSection) {
    CopiedClient client(Repeat(L'q', 60) + L".exe");
    auto r = client.Run({L"client", L"App", L""});
    ASSERT_TRUE(r.finished);
    auto regs = win_->OfKind(WM_TRACE_REGISTER);
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs[0].process, Repeat(L'Q', 49));
    EXPECT_EQ(regs[0].section, Repeat(L'Q', 49));
}

// ---- level switches -------------------------------------------------------------------

TEST_F(ClientApi, LevelSwitchesComeFromTheSettingsFileAndGoBackAtUnregistration) {
    CopiedClient client(L"plc_link.exe");
    client.SetIni(L"PLC_LINK_Router", L"EnableInfo", L"1");
    client.SetIni(L"PLC_LINK_Router", L"EnableWarning", L"7");
    traceapi_SetEnableErr(0, 0);  // no server override

    auto r = client.Run({L"client", L"Router", L"", L"diag-on"});
    ASSERT_TRUE(r.finished);
    auto regs = win_->OfKind(WM_TRACE_REGISTER);
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs[0].switches[0], 0);  // diag
    EXPECT_EQ(regs[0].switches[1], 1);  // info
    EXPECT_EQ(regs[0].switches[2], 1) << "a non-zero key reads as 1";
    EXPECT_EQ(regs[0].switches[3], 0);

    // Written back as "1"/"0", including the switch set at run time.
    EXPECT_EQ(client.IniInt(L"PLC_LINK_Router", L"EnableDiag"), 1);
    EXPECT_EQ(client.IniInt(L"PLC_LINK_Router", L"EnableInfo"), 1);
    EXPECT_EQ(client.IniInt(L"PLC_LINK_Router", L"EnableWarning"), 1);
    EXPECT_EQ(client.IniInt(L"PLC_LINK_Router", L"EnableError"), 0);
    traceapi_SetEnableErr(0, 1);
}

TEST_F(ClientApi, ServerEntrySwitchesOverrideEveryClient) {
    CopiedClient client(L"overrider.exe");
    traceapi_SetEnableWarn(0, 1);
    traceapi_SetEnableErr(0, 0);
    auto r = client.Run({L"client", L"Any", L""});
    ASSERT_TRUE(r.finished);
    auto regs = win_->OfKind(WM_TRACE_REGISTER);
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs[0].switches[2], 1) << "warning forced on by the server entry";
    EXPECT_EQ(regs[0].switches[3], 0);

    short h = traceapi_Register(L"Local", nullptr, 0);
    EXPECT_EQ(traceapi_GetEnableWarn(h), 1);
    traceapi_Unregister(h, 0);
    traceapi_SetEnableWarn(0, 0);
    traceapi_SetEnableErr(0, 1);
}

TEST_F(ClientApi, CurrentProfileInModeZeroReplacesTheSettingsFile) {
    CopiedClient client(L"profiled.exe");
    client.SetIni(L"PROFILED_App", L"EnableInfo", L"1");
    kvtest::TempDir profileDir;
    std::wstring profile = profileDir.file(L"night.pfl");
    ::WritePrivateProfileStringW(L"Global", L"Mode", L"0", profile.c_str());
    ::WritePrivateProfileStringW(L"PROFILED_App", L"EnableDiag", L"1", profile.c_str());
    wcscpy(ProfileField(), profile.c_str());

    auto r = client.Run({L"client", L"App", L""});
    ASSERT_TRUE(r.finished);
    auto regs = win_->OfKind(WM_TRACE_REGISTER);
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs[0].switches[0], 1) << "diag from the profile";
    EXPECT_EQ(regs[0].switches[1], 0) << "info of the settings file not used";
    EXPECT_EQ(client.IniInt(L"PROFILED_App", L"EnableDiag"), 1) << "written back to the settings file, not the profile";

    // Mode 1: the settings file again.
    ::WritePrivateProfileStringW(L"Global", L"Mode", L"1", profile.c_str());
    client.SetIni(L"PROFILED_App", L"EnableInfo", L"1");
    client.SetIni(L"PROFILED_App", L"EnableDiag", L"0");
    win_->Clear();
    r = client.Run({L"client", L"App", L""});
    regs = win_->OfKind(WM_TRACE_REGISTER);
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs[0].switches[0], 0);
    EXPECT_EQ(regs[0].switches[1], 1);

    // A profile that is gone leaves the settings file in charge.
    ::DeleteFileW(profile.c_str());
    win_->Clear();
    r = client.Run({L"client", L"App", L""});
    regs = win_->OfKind(WM_TRACE_REGISTER);
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs[0].switches[1], 1);
    ProfileField()[0] = 0;
}

// The server entry's switches belong to the running trace window's operator: a process
// that loads the library (from a directory without a settings file) leaves them alone.
// With no window they are read from its settings file, here the defaults.
TEST_F(ClientApi, LoadingTheLibraryLeavesARunningWindowsServerEntryAlone) {
    auto serverEntry = [] {
        return std::vector<INT>{traceapi_GetEnableDiag(0), traceapi_GetEnableInf(0), traceapi_GetEnableWarn(0),
                                traceapi_GetEnableErr(0)};
    };
    traceapi_SetEnableDiag(0, 1);
    traceapi_SetEnableInf(0, 1);
    traceapi_SetEnableErr(0, 0);
    CopiedClient loader(L"loader.exe");
    ASSERT_TRUE(loader.Run({L"load_only"}).finished);
    EXPECT_EQ(serverEntry(), (std::vector<INT>{1, 1, 0, 0})) << "the operator's switches survive";

    traceapi_SetTraceWindow(nullptr, TRUE);
    ASSERT_TRUE(loader.Run({L"load_only"}).finished);
    EXPECT_EQ(serverEntry(), (std::vector<INT>{0, 0, 0, 1})) << "no window: the defaults of a missing settings file";
}

TEST_F(ClientApi, ApplicationNamesCannotWriteIntoOtherSections) {
    short h = traceapi_Register(L"evil]\n[RivivEda", nullptr, 0);
    traceapi_SetEnableDiag(h, 1);
    traceapi_Unregister(h, 0);
    wchar_t ini[MAX_PATH];
    swprintf(ini, MAX_PATH, L"%ls\\KVTRCSRV.ini", kvtest::ExeDir().c_str());
    EXPECT_EQ(::GetPrivateProfileIntW(L"RivivEda", L"EnableDiag", -1, ini), -1u)
        << "no key reached the server entry's section";
}

TEST_F(ClientApi, SwitchAccessorsStayInsideTheTable) {
    short h = traceapi_Register(L"Switches", nullptr, 0);
    traceapi_SetEnableDiag(h, 5);
    EXPECT_EQ(traceapi_GetEnableDiag(h), 5);
    EXPECT_TRUE(traceapi_IsEnabled(h, 40));
    traceapi_SetEnableDiag(600, 1);
    traceapi_SetEnableErr(-3, 1);
    EXPECT_EQ(traceapi_GetEnableDiag(600), 0);
    EXPECT_EQ(traceapi_GetEnableInf(-1), 0);
    traceapi_Unregister(h, 0);
    traceapi_Unregister(512, 1);  // out of range: nothing at all
    traceapi_Unregister(-1, 1);
    EXPECT_TRUE(win_->OfKind(WM_TRACE_UNREGISTER).size() == 1);
}

TEST_F(ClientApi, LevelTestMatrix) {
    short h = traceapi_Register(L"Levels", nullptr, 0);
    traceapi_SetEnableErr(0, 0);
    traceapi_SetEnableErr(h, 1);
    traceapi_SetEnableWarn(h, 0);
    traceapi_SetEnableInf(h, 0);
    traceapi_SetEnableDiag(h, 0);
    EXPECT_TRUE(traceapi_IsEnabled(h, 10));
    EXPECT_FALSE(traceapi_IsEnabled(h, 20));
    EXPECT_FALSE(traceapi_IsEnabled(h, 40));
    EXPECT_FALSE(traceapi_IsEnabled(h, 15)) << "unknown levels never pass";
    EXPECT_FALSE(traceapi_IsEnabled(h, -2));
    EXPECT_TRUE(traceapi_IsEnabled(h, 0));
    EXPECT_TRUE(traceapi_IsEnabled(h, -1));
    EXPECT_FALSE(traceapi_IsEnabled(512, 0));

    traceapi_SetEnable(0);
    EXPECT_TRUE(traceapi_IsEnabled(h, -1)) << "operator lines pass with tracing off";
    EXPECT_FALSE(traceapi_IsEnabled(h, 0));
    EXPECT_FALSE(traceapi_IsEnabled(h, 10));
    traceapi_SetEnable(1);

    // No window at all: nothing passes, not even -1.
    traceapi_SetTraceWindow(nullptr, TRUE);
    EXPECT_FALSE(traceapi_IsEnabled(h, -1));
    EXPECT_FALSE(traceapi_IsEnabled(h, 10));

    // A stale server window is cleared by the first check that meets it.
    HWND gone = ::CreateWindowW(L"STATIC", L"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    traceapi_SetTraceWindow(gone, TRUE);
    EXPECT_TRUE(traceapi_IsEnabled(h, 0));
    ::DestroyWindow(gone);
    EXPECT_FALSE(traceapi_IsEnabled(h, 0));
    EXPECT_EQ(ServerWindowField(), 0u);

    traceapi_SetTraceWindow(win_->hwnd(), TRUE);
    traceapi_SetEnableErr(0, 1);
    traceapi_Unregister(h, 0);
}

// ---- output ----------------------------------------------------------------------------

TEST_F(ClientApi, FormatCheckAndFormatting) {
    short h = traceapi_Register(L"Format", nullptr, 0);
    traceapi_Output(h, 30, L"f", L"100%% plain");
    traceapi_Output(h, 30, L"f", L"50%d");
    traceapi_Output(h, 30, L"f", L"ends with %");
    traceapi_Output1(h, 20, L"f", L"100%% of %d", 7);
    traceapi_Output2(h, 20, L"f", L"only %d", 1, 2);
    traceapi_Output2(h, 20, L"f", L"%*d", 5, 42);
    traceapi_Output3(h, 10, L"f", L"%s|%S|%hs", L"wide", "narrow", "short");
    traceapi_Output9(h, 40, L"f", L"%d%d%d%d%d%d%d%d%d", 1, 2, 3, 4, 5, 6, 7, 8, 9);
    traceapi_Output(h, 30, nullptr, nullptr);

    auto outs = Outputs();
    ASSERT_EQ(outs.size(), 9u);
    EXPECT_EQ(outs[0].text, L"100%% plain") << "plain texts are copied, not formatted";
    EXPECT_EQ(outs[1].text, kFormatError);
    EXPECT_EQ(static_cast<short>(outs[1].lParam), 0) << "a bad format goes out at level 0";
    EXPECT_EQ(outs[2].text, kFormatError) << "a lone % at the end counts";
    EXPECT_EQ(outs[3].text, L"100% of 7");
    EXPECT_EQ(static_cast<short>(outs[3].lParam), 20);
    EXPECT_EQ(outs[4].text, kFormatError);
    EXPECT_EQ(outs[5].text, kFormatError) << "a * width counts once";
    EXPECT_EQ(outs[6].text, L"wide|narrow|short") << "wide runtime conventions";
    EXPECT_EQ(outs[7].text, L"123456789");
    EXPECT_EQ(outs[8].text, L"");
    for (const auto& o : outs) {
        EXPECT_EQ(o.wParam, static_cast<WPARAM>(h));
        EXPECT_EQ(o.threadId, ::GetCurrentThreadId());
    }
    traceapi_Output(600, 30, L"f", L"out of range");
    EXPECT_EQ(Outputs().size(), 9u);
    traceapi_Unregister(h, 0);
}

TEST_F(ClientApi, LevelIsSignExtended) {
    traceapi_Output(0, -1, L"op", L"operator");
    auto outs = Outputs();
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].lParam, static_cast<LPARAM>(-1));
}

TEST_F(ClientApi, TextsAreCutAcrossProcesses) {
    auto r = kvtest::RunHelper(L"long_texts");
    ASSERT_TRUE(r.finished);
    auto outs = Outputs();
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].text, Repeat(L'T', 999));
    EXPECT_EQ(outs[0].func, Repeat(L'F', 98));
}

TEST_F(ClientApi, ThreadIdOfTheSender) {
    auto r = kvtest::RunHelper(L"client", {L"Tid", L"", L"tid"});
    ASSERT_TRUE(r.finished);
    auto outs = Outputs();
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].text, std::to_wstring(outs[0].threadId));
    EXPECT_NE(outs[0].threadId, ::GetCurrentThreadId());
}

TEST_F(ClientApi, VisualBasicVariants) {
    short h = traceapi_Register_VB(L"VbApp", nullptr, 0);
    ASSERT_GT(h, 0);
    traceapi_SetEnableDiag(h, 0);
    traceapi_Output_VB(h, 40, L"vb", L"not wanted");
    traceapi_SetEnableDiag(h, 1);
    traceapi_Output_VB(h, 40, L"vb", L"wanted");
    auto outs = Outputs();
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].text, L"wanted");
    traceapi_Unregister_VB(h, 0);
    EXPECT_EQ(traceapi_GetTraceApp(h)->szModule[0], 0);
}

TEST_F(ClientApi, NotificationWindowGetsCopies) {
    kvtest::RecordingWindow notify(kDllAccessors);
    EXPECT_TRUE(traceapi_SetTraceWindow(notify.hwnd(), FALSE));
    short h = traceapi_Register(L"Notified", nullptr, 0);
    traceapi_Output(h, 0, L"f", L"copy");
    traceapi_Unregister(h, 1);
    ASSERT_EQ(notify.received().size(), 3u);
    EXPECT_EQ(notify.received()[0].msg, static_cast<UINT>(WM_TRACE_REGISTER));
    EXPECT_EQ(notify.received()[1].text, L"copy");
    EXPECT_EQ(notify.received()[2].msg, static_cast<UINT>(WM_TRACE_UNREGISTER));
    EXPECT_EQ(notify.received()[2].lParam, 1);
    EXPECT_EQ(win_->received().size(), 3u) << "the server window gets them as well";

    // Without a server window the notification window alone lets messages pass.
    traceapi_SetTraceWindow(nullptr, TRUE);
    traceapi_SetTraceWindow(notify.hwnd(), FALSE);
    EXPECT_TRUE(traceapi_IsEnabled(0, 0));
    // Naming a server window forgets the notification window of this process.
    traceapi_SetTraceWindow(win_->hwnd(), TRUE);
    notify.Clear();
    traceapi_Output(0, 0, L"f", L"server only");
    EXPECT_TRUE(notify.received().empty());
}

// ---- faults and failures ----------------------------------------------------------------

TEST_F(ClientApi, BadCallerPointersAreContained) {
    const wchar_t* bad = reinterpret_cast<const wchar_t*>(static_cast<ULONG_PTR>(0x10));
    EXPECT_EQ(traceapi_Register(nullptr, nullptr, 0), -1);
    EXPECT_EQ(traceapi_Register(bad, nullptr, 0), -1);
    auto outs = Outputs();
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[0].text, L"ERROR: szAppName=NULL !");
    EXPECT_EQ(outs[0].func, L"traceapi_Register");
    EXPECT_EQ(outs[1].text, L"Fatal EXCEPTION: szApp=10, pIniFile=0, bForceWnd=0 !");
    EXPECT_EQ(traceapi_GetTraceApp(1)->szModule[0], 0) << "the half-filled slot was given back";

    short h = traceapi_Register(L"Faults", nullptr, 0);
    EXPECT_EQ(h, 1);
    win_->Clear();
    traceapi_Output(h, 30, L"f", bad);
    traceapi_Output(h, 30, bad, L"bad function name");
    traceapi_Output1(h, 30, L"f", L"%s", static_cast<INT_PTR>(0x10));
    traceapi_Output1(h, 30, L"f", bad, 1);
    EXPECT_TRUE(Outputs().empty()) << "faulting messages are lost";

    // The current-message mutex was released each time.
    HANDLE m = ::OpenMutexW(SYNCHRONIZE, FALSE, L"traceapi_dll_curdatamutex");
    ASSERT_NE(m, nullptr);
    DWORD w = WAIT_TIMEOUT;
    std::thread([&] { w = ::WaitForSingleObject(m, 0); if (w == WAIT_OBJECT_0) ::ReleaseMutex(m); }).join();
    EXPECT_EQ(w, static_cast<DWORD>(WAIT_OBJECT_0));
    ::CloseHandle(m);

    traceapi_Output(h, 30, L"f", L"still working");
    ASSERT_EQ(Outputs().size(), 1u);
    traceapi_Unregister(h, 0);
}

TEST_F(ClientApi, FaultsFromManyThreadsLeaveEveryoneRunning) {
    short h = traceapi_Register(L"Threads", nullptr, 0);
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 250; ++i) {
                traceapi_Output1(h, 30, L"f", L"%s", static_cast<INT_PTR>(0x20 + i));
                traceapi_Output(h, 30, L"f", reinterpret_cast<const wchar_t*>(static_cast<ULONG_PTR>(0x40)));
                traceapi_Output1(h, 30, L"f", L"ok %d", i);
            }
            ++done;
        });
    }
    // The sends block until this thread dispatches them.
    EXPECT_TRUE(kvtest::PumpUntil([&] { return done == 4; }, 120000));
    for (auto& t : threads) t.join();
    EXPECT_EQ(Outputs().size(), 1000u);
    traceapi_Unregister(h, 0);
}

TEST_F(ClientApi, OwnIniFileIsOnlyReported) {
    short h = traceapi_Register(L"Own", L"own.ini", 0);
    ASSERT_GT(h, 0);
    auto outs = Outputs();
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].text.rfind(L"Own INI no longer supported: szApp='Own', pIniFile=", 0), 0u) << kvtest::Narrow(outs[0].text);
    EXPECT_EQ(outs[0].text.substr(outs[0].text.size() - 15), L", bForceWnd=0 !");
    EXPECT_EQ(win_->OfKind(WM_TRACE_REGISTER).size(), 1u);
    traceapi_Unregister(h, 0);
}

TEST_F(ClientApi, MutexOfACrashedClientCountsAsAcquired) {
    for (const wchar_t* name : {L"traceapi_dll_curdatamutex", L"traceapi_dll_datamutex"}) {
        auto r = kvtest::RunHelper(L"die_holding", {name});
        ASSERT_TRUE(r.finished);
        ASSERT_EQ(r.exitCode, 7u);
        // Run on a worker so that a hang shows as a failure instead of a stuck test.
        std::atomic<bool> finished{false};
        short h = -1;
        std::thread worker([&] {
            h = traceapi_Register(L"AfterCrash", nullptr, 0);
            traceapi_Output(h, 30, L"f", L"delivered");
            finished = true;
        });
        bool ok = kvtest::PumpUntil([&] { return finished.load(); }, 20000);
        EXPECT_TRUE(ok) << kvtest::Narrow(name);
        if (!ok) { worker.detach(); return; }
        worker.join();
        EXPECT_GT(h, 0);
        traceapi_Unregister(h, 0);
    }
    EXPECT_EQ(Outputs().size(), 2u);
}

TEST_F(ClientApi, UnregisteringTheServerEntryClearsIt) {
    traceapi_Unregister(0, 0);
    EXPECT_EQ(traceapi_GetEnableErr(0), 0);
    traceapi_SetEnableErr(0, 1);
}

// ---- starting the server host ----------------------------------------------------------------

TEST_F(ClientApi, ForceWindowStartsTheServerHostFromTheSearchPath) {
    kvtest::TempDir logDir;
    std::wstring log = logDir.file(L"standin.log");
    ::SetEnvironmentVariableW(L"KV_STANDIN_LOG", log.c_str());
    CopiedClient client(L"forcer.exe");  // its own directory holds no host
    wchar_t old[32767];
    DWORD n = ::GetEnvironmentVariableW(L"PATH", old, 32767);
    std::wstring saved(old, n);
    ::SetEnvironmentVariableW(L"PATH", (kvtest::ExeDir() + L"\\standin;" + saved).c_str());

    // With a trace window running nothing is started.
    client.Run({L"client", L"Forced", L"force"});
    EXPECT_FALSE(kvtest::FileExists(log));

    traceapi_SetTraceWindow(nullptr, TRUE);
    client.Run({L"client", L"Forced", L"force"});
    ::SetEnvironmentVariableW(L"PATH", saved.c_str());
    ASSERT_TRUE(kvtest::PumpUntil([&] { return kvtest::ReadBytes(log).size() > 4; }, 20000)) << "stand-in host not started";
    std::string bytes = kvtest::ReadBytes(log);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_EQ(text.substr(0, 3), L"1\r\n") << "started with a normal window";
    EXPECT_NE(text.find(L"KVTrcSrv.exe"), std::wstring::npos) << kvtest::Narrow(text);
    ::SetEnvironmentVariableW(L"KV_STANDIN_LOG", nullptr);
}

}  // namespace

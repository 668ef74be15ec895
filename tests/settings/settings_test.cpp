// The settings store, the window title and trace profiles. The settings file beside the
// executable (in a directory of its own) belongs to these tests alone.
#include "kvtest.h"  // windows.h before commctrl.h

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "client/locks.h"
#include "client/owners.h"
#include "client/region.h"
#include "server/filters.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "settings/inifile.h"
#include "settings/profiles.h"
#include "settings/serversettings.h"
#include "settings/settingsstore.h"
#include "settings/windowlayout.h"
#include "window/settingsapply.h"

namespace {

std::wstring SettingsFile() { return kvtest::ExeDir() + L"\\KVTRCSRV.ini"; }
std::wstring ReadKey(const std::wstring& file, const wchar_t* section, const wchar_t* key) {
    wchar_t buf[2048];
    ::GetPrivateProfileStringW(section, key, L"<absent>", buf, ARRAYSIZE(buf), file.c_str());
    return buf;
}
void WriteKey(const std::wstring& file, const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    EXPECT_TRUE(::WritePrivateProfileStringW(section, key, value, file.c_str())) << kvtest::Narrow(file);
}
std::wstring CurrentProfile() { return kv::g_region.curProfile; }  // one thread: no lock needed
std::wstring TitleOf(HWND window) {
    wchar_t buf[2048] = {};
    ::GetWindowTextW(window, buf, ARRAYSIZE(buf));
    return buf;
}
// "abc...zab...": shows where a cut happened.
std::wstring Counting(size_t n) {
    std::wstring s;
    for (size_t i = 0; i < n; ++i) s += static_cast<wchar_t>(L'a' + i % 26);
    return s;
}
std::vector<INT> SwitchesOf(const TRACEAPP& a) { return {a.EnableDiag, a.EnableInfo, a.EnableWarning, a.EnableError}; }

// Registers args[0]; exit code: its switches as bits (diag 1 ... error 8), 100 on failure.
KVTEST_HELPER(RegisterAndReportSwitches) {
    kv::ProcessAttach(::GetModuleHandleW(nullptr));
    const short h = traceapi_Register(args.empty() ? nullptr : args[0].c_str(), nullptr, FALSE);
    if (h < 1) return 100;
    const TRACEAPP* a = traceapi_GetTraceApp(h);
    const int bits = (a->EnableDiag ? 1 : 0) | (a->EnableInfo ? 2 : 0) | (a->EnableWarning ? 4 : 0) | (a->EnableError ? 8 : 0);
    traceapi_Unregister(h, FALSE);
    return bits;
}

// Window seam calls and application list selection commands seen in the test; the file
// dialogs record their start directory and answer g_answer (empty: cancel).
struct Seen { int statusUpdates, toolbarSyncs, selectionCommands; };
Seen g_seen;
std::vector<std::wstring> g_startDirs;
std::wstring g_answer, g_defExt;
BOOL WINAPI FakeDialog(OPENFILENAMEW* ofn) {
    g_startDirs.push_back(ofn->lpstrInitialDir);
    g_defExt = ofn->lpstrDefExt;
    kv::CopyCut(ofn->lpstrFile, ofn->nMaxFile, g_answer.c_str());
    return !g_answer.empty();
}
LRESULT CALLBACK StandInProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_COMMAND && wp == MAKEWPARAM(0, 1)) ++g_seen.selectionCommands;
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

// Clean shared state around every test, a suite directory in a temporary folder.
class SettingsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kv::ProcessAttach(::GetModuleHandleW(nullptr)); }
    void SetUp() override {
        Reset();
        ::SetEnvironmentVariableW(L"KV_SUITE_DIR", suite_.path().c_str());
        kv::SetProfileChangedHook([] { ++g_seen.statusUpdates; });
        kv::Seams().syncToolbar = [] { ++g_seen.toolbarSyncs; };
        tracewnd_SetProfileDialogs(FakeDialog, FakeDialog);
    }
    void TearDown() override {
        Reset();
        ::SetEnvironmentVariableW(L"KV_SUITE_DIR", nullptr);
    }
    // A stand-in made this process's trace window.
    HWND OpenTraceWindow() {
        window_.reset(::CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 40, 50, 600, 350, nullptr, nullptr, nullptr, nullptr));
        ::SetWindowLongPtrW(window_.get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(StandInProc));
        return kv::Server().traceWindow = window_.get();
    }
    void FillSlot(int h, const wchar_t* module, const wchar_t* section, std::vector<INT> s) {
        TRACEAPP& app = kv::g_region.apps[h];
        kv::CopyCut(app.szModule, 50, module);
        kv::CopyCut(app.szSection, 50, section);
        app.EnableDiag = s[0], app.EnableInfo = s[1], app.EnableWarning = s[2], app.EnableError = s[3];
    }
    kvtest::TempDir suite_, work_;
    kv::UniqueWindow window_;

private:
    void Reset() {
        tracewnd_SetProfile(nullptr);
        tracewnd_SetProfileDialogs(nullptr, nullptr);
        kv::Seams() = kv::WindowSeams{};
        kv::SetProfileChangedHook(nullptr);
        kv::Server() = kv::ServerState{};
        window_.reset();
        g_seen = Seen{};
        g_startDirs.clear();
        g_answer.clear();
        ZeroMemory(&g_settings, sizeof(g_settings));
        ZeroMemory(&g_windowLayout, sizeof(g_windowLayout));
        ZeroMemory(kv::g_region.apps, sizeof(kv::g_region.apps));
        kv::g_region.globalEnable = 1;
        ::DeleteFileW(SettingsFile().c_str());
    }
};

// No file gives every default and writes none. The suite file is read under either spelling
// of its name (the dialog writes "bin\kv_servx.ini", the load reads "BIN\KV_ServX.ini").
TEST_F(SettingsTest, DefaultsSuiteFileNumbersAndProfile) {
    memset(&g_settings, 0x55, sizeof(g_settings));  // an earlier window's values
    kv::g_region.globalEnable = 0;
    tracewnd_LoadSettings();
    ServerSettings expected;
    ServerSettings_SetDefaults(expected, (suite_.path() + L"\\tmp").c_str());
    EXPECT_EQ(memcmp(&expected, &g_settings, sizeof(expected)), 0) << "a field is not at its default";
    EXPECT_EQ(g_settings.MaxEntries + kv::g_region.globalEnable, 10001);
    const WindowLayout& w = g_windowLayout;
    EXPECT_EQ(std::vector<int>({w.rect.left, w.rect.top, w.rect.right, w.rect.bottom}), std::vector<int>({0, 0, 1050, 400}));
    EXPECT_EQ(std::vector<int>(w.columnWidths, w.columnWidths + w.columnCount), (std::vector<int>{120, 50, 100, 100, 250, 700}));
    const TRACEAPP& entry = kv::g_region.apps[0];
    EXPECT_EQ(SwitchesOf(entry), std::vector<INT>({0, 0, 0, 1}));
    EXPECT_EQ(std::wstring(entry.szProcess) + L"|" + entry.szSection,
              L"<SETTINGS_STORE_TEST [" + std::to_wstring(::GetCurrentProcessId()) + L"]>|RivivEda");
    tracewnd_SaveSettings();  // without a live trace window neither the save nor the title does anything
    tracewnd_SetTitle();
    ::DestroyWindow(OpenTraceWindow());  // a handle whose window is gone counts as none
    tracewnd_SaveSettings();
    tracewnd_SetTitle();
    EXPECT_FALSE(kvtest::FileExists(SettingsFile())) << "neither the load nor a save without a live window writes a file";
    ASSERT_TRUE(::CreateDirectoryW((suite_.path() + L"\\bin").c_str(), nullptr));
    const std::wstring suiteFile = suite_.path() + L"\\bin\\kv_servx.ini", f = SettingsFile();
    const std::wstring host = work_.file(L"host.pfl"), last = work_.file(L"last.pfl");
    const wchar_t* const keys[][4] = {{suiteFile.c_str(), L"Global", L"StopRivivEda", L"1"},
                                      {suiteFile.c_str(), L"PC", L"PCNo", L"3"},
                                      {f.c_str(), L"Global", L"HistoryDays", L"-3"},     // no limit
                                      {f.c_str(), L"ListView", L"MaxEntries", L"many"},  // no number: 0
                                      {f.c_str(), L"ListView", L"MaxDelete", L""},       // empty: the default
                                      {f.c_str(), L"Global", L"FilterListPart", L"0"},   // a divisor: never below 1
                                      {f.c_str(), L"Global", L"LastFileDir", L"E:\\lists"},  // not where profiles go
                                      {f.c_str(), L"Global", L"LastProfile", last.c_str()}};
    for (const auto& k : keys) WriteKey(k[0], k[1], k[2], k[3]);
    tracewnd_SetProfile(host.c_str());
    tracewnd_LoadSettings();
    ServerSettings& s = g_settings;
    EXPECT_EQ(std::vector<int>({s.StopRivivEda, s.PCNo, s.HistoryDays, s.MaxEntries, s.MaxDelete, s.FilterListPart}),
              std::vector<int>({1, 3, 0, 0, 100, 5}));
    EXPECT_STREQ(s.LastProfileDir, s.FileDir) << "no LastProfileDir: profiles go where the trace files go";
    EXPECT_EQ(CurrentProfile(), host);
    tracewnd_SetProfile(nullptr);
    tracewnd_LoadSettings();
    EXPECT_EQ(CurrentProfile(), last) << "without a host profile, the last run's comes back";
    HWND window = OpenTraceWindow();
    tracewnd_SaveSettings();
    EXPECT_EQ(ReadKey(f, L"Global", L"HistoryDays"), L"0");
    // The title shows each non-empty filter in order, cut to 125 characters; the fixed part
    // ends in a blank and each part begins with one.
    tracewnd_SetTitle();
    EXPECT_EQ(TitleOf(window), L"VANTORA KV Trace Server");
    kv::CopyCut(s.SpecialFilter, kFilterChars, L"sp");
    kv::CopyCut(s.IncludeFilter, kFilterChars, L"in%s");
    kv::CopyCut(s.HighlightFilter, kFilterChars, L"hi");
    s.MarkHighlight = 1;
    kv::CopyCut(s.TriggerFilter, kFilterChars, Counting(126).c_str());
    s.TriggerFlags = 0x19;
    const std::wstring exec = L"%d" + std::wstring(257, L'x');
    kv::CopyCut(s.TriggerExec, MAX_PATH, exec.c_str());
    tracewnd_SetTitle();
    EXPECT_EQ(TitleOf(window), L"VANTORA KV Trace Server - Filter:  Include='in%s' FilterList='sp' Highlight='hi' (Mark=1)"
                               L" Trigger='" + Counting(125) + L"' (Flags:0x19, Exec:'" + exec + L"')");
}

// Everything saved comes back at the next load, texts the profile reader would trim or
// unquote included; a window saved minimized or maximized leaves the placement as stored.
TEST_F(SettingsTest, EveryKeyComesBackAtTheNextLoad) {
    tracewnd_LoadSettings();
    HWND window = OpenTraceWindow();
    ::SetWindowPos(window, nullptr, 33, 44, 640, 380, SWP_NOZORDER | SWP_NOACTIVATE);
    HWND list = ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | LVS_REPORT | LVS_OWNERDATA, 0, 0, 500, 200, window,
                                  nullptr, nullptr, nullptr);
    const std::vector<int> widths = {90, 40, 80, 81, 200, 333};
    for (int i = 0; i < 6; ++i) {
        LVCOLUMNW col = {LVCF_WIDTH, 0, widths[i]};
        ListView_InsertColumn(list, i, &col);
    }
    kv::Server().mainList = list;
    kv::Server().mainStore = rowstore_Create(list, nullptr);
    rowstore_SetAutoScroll(kv::Server().mainStore, FALSE);
    ServerSettings& s = g_settings;
    kv::g_region.globalEnable = 0;
    s.EnableFile = s.MarkHighlight = s.TopMost = 1;
    s.HistoryDays = 9, s.MaxEntries = 4321, s.MaxDelete = -5, s.TriggerFlags = 0x19, s.FilterListPart = 7;
    const std::pair<wchar_t*, const wchar_t*> texts[] = {
        {s.IncludeFilter, L"lead;ERR "}, {s.ExcludeFilter, L"\"quoted\""}, {s.SpecialFilter, L"'%s%d;x'"},
        {s.TriggerFilter, L"\t"}, {s.TriggerExec, L"notify.cmd \"a b\""}, {s.FileDir, L"E:\\t"},
        {s.LastFileDir, L"E:\\saved lists"}};
    for (const auto& t : texts) wcscpy(t.first, t.second);
    kv::CopyCut(s.HighlightFilter, kFilterChars, Counting(499).c_str());
    tracewnd_SetProfile(L"E:\\p\\night.pfl");
    tracewnd_SaveSettings();
    const std::wstring f = SettingsFile();
    EXPECT_EQ(ReadKey(f, L"ListView", L"AutoScroll"), L"0") << "the main list's state wins over the record";
    EXPECT_EQ(ReadKey(f, L"Global", L"SaveWriting") + ReadKey(f, L"RivivEda", L"EnableError"), L"<absent><absent>")
        << "safe writing is never written back; the level keys belong to registration";
    RECT r;
    ::GetWindowRect(window, &r);
    ServerSettings expected = s;
    expected.AutoScroll = 0;
    rowstore_Destroy(kv::Server().mainStore);
    kv::Server().mainStore = -1;
    memset(&g_windowLayout, 0, sizeof(g_windowLayout));
    memset(&s, 0, sizeof(s));
    kv::g_region.globalEnable = 1;
    tracewnd_SetProfile(nullptr);
    tracewnd_LoadSettings();
    EXPECT_EQ(kv::g_region.globalEnable, 0);
    for (const auto& t : texts) EXPECT_STREQ(t.first, t.second);
    EXPECT_EQ(memcmp(&expected, &s, sizeof(s)), 0) << "a field came back different";
    EXPECT_EQ(CurrentProfile(), L"E:\\p\\night.pfl");
    const WindowLayout& w = g_windowLayout;
    EXPECT_TRUE(w.rect.left == r.left && w.rect.top == r.top && w.rect.right == r.right && w.rect.bottom == r.bottom);
    EXPECT_EQ(w.iconic | w.maximized, 0);
    EXPECT_EQ(std::vector<int>(w.columnWidths, w.columnWidths + 6), widths);
    const wchar_t* const keys[4] = {L"Left", L"Top", L"Right", L"Bottom"};
    for (int show : {SW_MINIMIZE, SW_MAXIMIZE}) {
        SCOPED_TRACE(show == SW_MINIMIZE ? "minimized" : "maximized");
        for (const wchar_t* key : keys) WriteKey(f, L"Global", key, L"11");
        tracewnd_LoadSettings();
        window = OpenTraceWindow();
        ::ShowWindow(window, show);
        ASSERT_TRUE(kvtest::PumpUntil([&] { return show == SW_MINIMIZE ? ::IsIconic(window) : ::IsZoomed(window); }));
        tracewnd_SaveSettings();
        std::wstring stored = ReadKey(f, L"Global", L"Iconic") + ReadKey(f, L"Global", L"Maximized");
        for (const wchar_t* key : keys) stored += L"|" + ReadKey(f, L"Global", key);
        EXPECT_EQ(stored, (show == SW_MINIMIZE ? L"10" : L"01") + std::wstring(L"|11|11|11|11"));
    }
}

// The readers of whole sections and files parse numbers as the key-by-key reads do.
TEST_F(SettingsTest, WholeFileAndSectionReadersParseNumbersLikeSingleKeys) {
    const wchar_t* const values[] = {L"1", L"0", L" 7 ", L"\"3\"", L"'4'", L"0x1F", L"-2", L"+5", L"abc", L"12abc",
                                     L"", L"\"\"", L"99999999999", L"0b101", L"0o17", L"-0x10"};
    const std::wstring file = work_.file(L"values.ini");
    for (int i = 0; i < 16; ++i) WriteKey(file, L"V", (L"K" + std::to_wstring(i)).c_str(), values[i]);
    WriteKey(file, L"Other", L"K1", L"5");
    const kv::IniSectionReader reader(L"V", file.c_str());  // nothing reads a section alone yet
    const kv::IniFileReader all(file.c_str());
    for (int i = 0; i <= 16; ++i) {  // K16 is absent; keys match whatever their case
        const std::wstring key = L"k" + std::to_wstring(i);
        const int32_t expected = kv::IniReadInt(L"V", key.c_str(), 42, file.c_str());
        EXPECT_TRUE(reader.Int(key.c_str(), 42) == expected && all.Int(L"v", key.c_str(), 42) == expected)
            << kvtest::Narrow(i < 16 ? values[i] : L"<absent>");
    }
    EXPECT_EQ(all.Int(L"OTHER", L"K1", 0) + all.Int(L"Missing", L"K1", 9), 14);
}

class Profiles : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        tracewnd_LoadSettings();  // fills the server entry, as at window start
        window = OpenTraceWindow();
    }
    // A profile as another installation would have left it; it has no HighlightFilter.
    std::wstring WriteProfile(const wchar_t* name, const wchar_t* mode) {
        const std::wstring p = work_.file(name);
        const wchar_t* const keys[][3] = {
            {L"Global", L"Mode", mode},           {L"Filter", L"IncludeFilter", L"pin"},
            {L"Filter", L"ExcludeFilter", L"pex"}, {L"Filter", L"SpecialFilter", L"psp"},
            {L"Filter", L"MarkHighlight", L"1"},   {L"Filter", L"TriggerFilter", L"ptr"},
            {L"Filter", L"TriggerFlags", L"6"},    {L"Filter", L"TriggerExec", L"p.cmd"},
            {L"Global", L"EnableTrace", L"0"},     {L"Global", L"EnableFile", L"1"},
            {L"RivivEda", L"EnableWarning", L"1"}, {L"RivivEda", L"EnableError", L"0"},
            {L"OTHER_App", L"EnableDiag", L"1"},   {L"OTHER_App", L"EnableError", L"1"},
        };
        for (const auto& k : keys) WriteKey(p, k[0], k[1], k[2]);
        return p;
    }
    HWND window = nullptr;
};

TEST_F(Profiles, RefusedProfilesAndCancelledDialogsChangeNothingASaveWritesEveryUsedSlotAndBecomesCurrent) {
    kv::CopyCut(g_settings.IncludeFilter, kFilterChars, L"keep");
    kv::CopyCut(g_settings.LastProfileDir, MAX_PATH, work_.path().c_str());
    FillSlot(7, L"App", L"OTHER_App", {0, 5, 1, 0});
    const std::wstring current = work_.file(L"current.pfl");
    tracewnd_SetProfile(current.c_str());
    const ServerSettings before = g_settings;
    const TRACEAPP appBefore = kv::g_region.apps[7];
    EXPECT_EQ(tracewnd_LoadProfile(window, WriteProfile(L"mode1.pfl", L"1").c_str()), 0);
    EXPECT_EQ(tracewnd_LoadProfile(window, work_.file(L"not-there.pfl").c_str()), 0);
    EXPECT_EQ(tracewnd_LoadProfile(window, work_.path().c_str()), 0) << "a directory is no profile";
    EXPECT_EQ(tracewnd_LoadProfile(window, nullptr), 0);
    tracewnd_SaveProfile(window, nullptr);
    EXPECT_EQ(memcmp(&before, &g_settings, sizeof(before)), 0) << "the settings changed";
    EXPECT_EQ(memcmp(&appBefore, &kv::g_region.apps[7], sizeof(TRACEAPP)), 0) << "the level switches changed";
    EXPECT_EQ(kv::g_region.globalEnable + g_seen.selectionCommands, 1);
    EXPECT_EQ(CurrentProfile(), current);
    EXPECT_EQ(g_startDirs, (std::vector<std::wstring>{work_.path(), work_.path()}));
    EXPECT_EQ(g_defExt, L"pfl") << "a name typed without extension must show in the *.pfl filter";
    ServerSettings& s = g_settings;
    wcscpy(s.IncludeFilter, L"in"), wcscpy(s.ExcludeFilter, L" ex"), wcscpy(s.SpecialFilter, L"sp"), wcscpy(s.HighlightFilter, L"hi");
    wcscpy(s.TriggerFilter, L"tr"), wcscpy(s.TriggerExec, L"x.cmd");
    s.TriggerFlags = 0x19, s.MarkHighlight = s.EnableFile = 1;
    kv::g_region.globalEnable = 0;
    FillSlot(3, L"x", L"EVIL_x]\r\n[Global]\r\nMode=1\r\n[y", {1, 1, 1, 1});  // a name with lines of its own
    FillSlot(8, L"", L"FREE_Slot", {1, 1, 1, 1});
    const std::wstring p = suite_.file(L"saved.pfl");  // chosen in the dialog
    WriteKey(p, L"GONE_App", L"EnableDiag", L"1");  // an older profile under the same name
    g_answer = p, g_seen = Seen{};
    tracewnd_SaveProfile(window, nullptr);
    // The whole file: no stale, free or line-breaking section; a text with blanks at its ends quoted.
    EXPECT_EQ(kvtest::ReadBytes(p),
              "[Filter]\r\nIncludeFilter=in\r\nExcludeFilter=\" ex\"\r\nSpecialFilter=sp\r\nHighlightFilter=hi\r\nMarkHighlight=1\r\n"
              "TriggerFilter=tr\r\nTriggerFlags=25\r\nTriggerExec=x.cmd\r\n"
              "[Global]\r\nMode=0\r\nEnableTrace=0\r\nEnableFile=1\r\n"
              "[RivivEda]\r\nEnableDiag=0\r\nEnableInfo=0\r\nEnableWarning=0\r\nEnableError=1\r\n"
              "[OTHER_App]\r\nEnableDiag=0\r\nEnableInfo=1\r\nEnableWarning=1\r\nEnableError=0\r\n");
    EXPECT_EQ(CurrentProfile(), p);
    EXPECT_EQ(std::wstring(g_settings.LastProfileDir), suite_.path()) << "the next dialog opens where it lies";
    EXPECT_GT(g_seen.statusUpdates, 0);
    kv::Server().traceWindow = nullptr;
    tracewnd_SaveProfile(window, work_.file(L"nowindow.pfl").c_str());
    EXPECT_FALSE(kvtest::FileExists(work_.file(L"nowindow.pfl"))) << "saved without a trace window";
}

TEST_F(Profiles, LoadTakesFiltersSwitchesAndLevelsAndStaysCurrentUntilFiltersOrTriggerDiffer) {
    kvtest::RecordingWindow recorder({traceapi_GetCurTrcTxt, traceapi_GetCurFuncName, traceapi_GetCurThreadID,
                                      traceapi_GetTraceApp, nullptr});
    traceapi_SetTraceWindow(recorder.hwnd(), FALSE);
    kv::CopyCut(g_settings.HighlightFilter, kFilterChars, L"old");
    FillSlot(9, L"App", L"OTHER_App", {0, 1, 0, 0});
    const std::wstring p = WriteProfile(L"load.pfl", L"0");
    g_answer = p;  // chosen in the dialog
    ASSERT_EQ(tracewnd_LoadProfile(window, nullptr), 1);
    traceapi_SetTraceWindow(nullptr, FALSE);
    EXPECT_STREQ(g_settings.HighlightFilter, L"") << "a key missing from the profile clears the setting";
    EXPECT_EQ(g_settings.MarkHighlight + g_settings.EnableFile + 10 * kv::g_region.globalEnable, 2);
    EXPECT_STREQ(tracewnd_FirstFilterListEntry(), L"psp") << "the new filters apply at once";
    // Every used slot reads its switches from the profile; the server entry overrides.
    EXPECT_EQ(SwitchesOf(kv::g_region.apps[9]), std::vector<INT>({1, 0, 1, 1}));
    EXPECT_EQ(CurrentProfile(), p);
    EXPECT_EQ(g_seen.selectionCommands, 1);
    EXPECT_GT(g_seen.toolbarSyncs, 0);
    EXPECT_EQ(TitleOf(window), L"VANTORA KV Trace Server - Filter:  Include='pin' Exclude='pex' FilterList='psp'"
                               L" Trigger='ptr' (Flags:0x6, Exec:'p.cmd')");
    int announced = 0;
    for (const auto& r : recorder.OfKind(WM_TRACE_OUTPUT))
        announced += r.text == L"New Profile '" + p + L"' loaded" && static_cast<short>(r.lParam) == -1;
    EXPECT_EQ(announced, 1) << "the load is reported as an operator line";
    // The profile stays current until the filters or the trigger differ from it.
    g_settings.MarkHighlight = g_settings.EnableFile = 0;
    kv::g_region.globalEnable = 1;
    tracewnd_CheckProfile();
    EXPECT_EQ(CurrentProfile(), p) << "Mark and the global switches take no part";
    void (*const changes[])() = {
        [] { kv::CopyCut(g_settings.IncludeFilter, kFilterChars, L"pin2"); },
        [] { g_settings.ExcludeFilter[0] = 0; },
        [] { kv::CopyCut(g_settings.SpecialFilter, kFilterChars, L"PSP"); },
        [] { kv::CopyCut(g_settings.HighlightFilter, kFilterChars, L"h"); },
        [] { kv::CopyCut(g_settings.TriggerFilter, kFilterChars, L"ptr "); },
        [] { g_settings.TriggerFlags = 7; },
        [] { kv::CopyCut(g_settings.TriggerExec, MAX_PATH, L"q.cmd"); },
    };
    for (size_t i = 0; i < ARRAYSIZE(changes); ++i) {
        ASSERT_EQ(tracewnd_LoadProfile(window, p.c_str()), 1);
        changes[i]();
        tracewnd_CheckProfile();
        EXPECT_EQ(CurrentProfile(), L"") << "change " << i;
    }
    // Filters longer than 254 characters load in full; unchanged, they compare equal.
    kv::CopyCut(g_settings.IncludeFilter, kFilterChars, Counting(400).c_str());
    tracewnd_SaveProfile(window, p.c_str());
    ASSERT_EQ(tracewnd_LoadProfile(window, p.c_str()), 1);
    tracewnd_CheckProfile();
    EXPECT_EQ(CurrentProfile(), p);
    // Loaded on another thread under a lock no send may be held across: the send to the window is reported.
    const std::string reports = kvtest::LockReportsUnderTriggerLock([] { tracewnd_LoadProfile(kv::Server().traceWindow, nullptr); });
    EXPECT_TRUE(!kvtest::kLockCheckBuilt || reports.find(kvtest::kSendUnderTriggerLock) != std::string::npos) << reports;
}

TEST_F(Profiles, CurrentProfilePathDropsQuotesKeeps259CharactersIsMadeFullAndServesRegistrationElsewhere) {
    const std::wstring longPath = L"C:\\profiles\\" + Counting(248);  // 260 characters
    struct Case { std::wstring given, current; };
    const Case cases[] = {{L"\"C:\\profiles\\a.pfl\"", L"C:\\profiles\\a.pfl"},
                          {L"C:\\p\\..\\b.pfl", L"C:\\p\\..\\b.pfl"},  // a full path is taken as it is
                          {longPath.substr(0, 259) + L"\"", longPath.substr(0, 259)},
                          {longPath + L"\"", longPath.substr(0, 259)},
                          {L"\"", L""}};
    for (const Case& c : cases) {
        tracewnd_SetProfile(c.given.c_str());
        EXPECT_EQ(CurrentProfile(), c.current) << kvtest::Narrow(c.given);
    }
    EXPECT_STREQ(g_settings.LastProfileDir, L"C:\\profiles") << "no profile leaves the dialogs' directory";
    // A relative name means the current directory, for every process that reads it.
    const std::wstring p = WriteProfile(L"relative.pfl", L"0");
    wchar_t saved[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, saved);
    ::SetCurrentDirectoryW(work_.path().c_str());
    const int loaded = tracewnd_LoadProfile(window, L"\"relative.pfl\"");
    ::SetCurrentDirectoryW(saved);
    ASSERT_EQ(loaded, 1);
    EXPECT_EQ(CurrentProfile(), p);
    // Registration elsewhere reads it: the settings file says diagnose only, the profile info and error, its server entry warning
    // and no error override. In mode 1, or with the profile gone, the settings file is in charge,
    // and the server entry's error switch falls back to on. Mode 0 runs last: unregistration
    // writes the switches back.
    const std::wstring section = L"SETTINGS_STORE_TEST_ProfApp";
    WriteKey(p, section.c_str(), L"EnableInfo", L"1");
    WriteKey(p, section.c_str(), L"EnableError", L"1");
    WriteKey(SettingsFile(), section.c_str(), L"EnableDiag", L"1");
    struct Run { const wchar_t* mode; bool gone; DWORD bits; };
    for (const Run& c : {Run{L"1", false, 1u | 8u}, Run{L"0", true, 1u | 8u}, Run{L"0", false, 2u | 4u | 8u}}) {
        WriteKey(p, L"Global", L"Mode", c.mode);
        if (c.gone) ::MoveFileW(p.c_str(), (p + L".away").c_str());
        const kvtest::ProcessResult r = kvtest::RunHelper(L"RegisterAndReportSwitches", {L"ProfApp"});
        if (c.gone) ::MoveFileW((p + L".away").c_str(), p.c_str());
        EXPECT_TRUE(r.finished && r.exitCode == c.bits) << "mode " << kvtest::Narrow(c.mode) << (c.gone ? " gone: " : ": ") << r.exitCode;
    }
}


}  // namespace

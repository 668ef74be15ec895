// The settings store: load from the settings and suite files, save at window end, and
// the window title.
#include "settings_fixture.h"  // windows.h before commctrl.h

#include <commctrl.h>

#include "server/filters.h"
#include "server/rowstore.h"
#include "settings/inifile.h"
#include "settings/settingsstore.h"

#include <atomic>
#include <thread>

using namespace settingstest;

namespace {

// No file at all gives every default and writes none. Then the suite file under either
// spelling of its name (the settings dialog writes "bin\kv_servx.ini", the load reads
// "BIN\KV_ServX.ini"), defined values for numbers out of range or malformed, and the
// profile named by the host before the last one.
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
              L"<" + ExeBaseUpper() + L" [" + std::to_wstring(::GetCurrentProcessId()) + L"]>|RivivEda");
    EXPECT_FALSE(kvtest::FileExists(SettingsFile())) << "the load writes no file";
    ASSERT_TRUE(::CreateDirectoryW((suite_.path() + L"\\bin").c_str(), nullptr));
    const std::wstring suiteFile = suite_.path() + L"\\bin\\kv_servx.ini", f = SettingsFile();
    const std::wstring host = work_.file(L"host.pfl"), last = work_.file(L"last.pfl");
    const wchar_t* const keys[][4] = {{suiteFile.c_str(), L"Global", L"StopRivivEda", L"1"},
                                      {suiteFile.c_str(), L"PC", L"PCNo", L"3"},
                                      {f.c_str(), L"Global", L"HistoryDays", L"-3"},     // no limit
                                      {f.c_str(), L"ListView", L"MaxEntries", L"many"},  // no number: 0
                                      {f.c_str(), L"ListView", L"MaxDelete", L""},       // empty: the default
                                      {f.c_str(), L"Global", L"FilterListPart", L"0"},   // a divisor: never below 1
                                      {f.c_str(), L"Global", L"LastProfile", last.c_str()}};
    for (const auto& k : keys) WriteKey(k[0], k[1], k[2], k[3]);
    tracewnd_SetProfile(host.c_str());
    tracewnd_LoadSettings();
    const ServerSettings& s = g_settings;
    EXPECT_EQ(std::vector<int>({s.StopRivivEda, s.PCNo, s.HistoryDays, s.MaxEntries, s.MaxDelete, s.FilterListPart}),
              std::vector<int>({1, 3, 0, 0, 100, 5}));
    EXPECT_EQ(CurrentProfile(), host);
    tracewnd_SetProfile(nullptr);
    tracewnd_LoadSettings();
    EXPECT_EQ(CurrentProfile(), last) << "without a host profile, the last run's comes back";
    OpenTraceWindow();
    tracewnd_SaveSettings();
    EXPECT_EQ(ReadKey(f, L"Global", L"HistoryDays"), L"0");
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
        {s.IncludeFilter, L" lead;trail "}, {s.ExcludeFilter, L"\"quoted\""}, {s.SpecialFilter, L"%s%d;'x'"},
        {s.TriggerFilter, L"\t"}, {s.TriggerExec, L"notify.cmd \"a b\""}, {s.FileDir, L"E:\\t"},
        {s.LastFileDir, L"E:\\saved lists"}};
    for (const auto& t : texts) wcscpy(t.first, t.second);
    kv::CopyCut(s.HighlightFilter, kFilterChars, Counting(499).c_str());
    tracewnd_SetProfile(L"E:\\p\\night.pfl");
    tracewnd_SaveSettings();
    const std::wstring f = SettingsFile();
    EXPECT_EQ(ReadKey(f, L"Filter", L"TriggerFlags"), L"25") << "integers are written in decimal";
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

TEST_F(SettingsTest, TitleShowsEachNonEmptyFilterInOrderCutTo125Characters) {
    // Without a live trace window neither the save nor the title does anything.
    tracewnd_LoadSettings();
    kv::CopyCut(g_settings.IncludeFilter, kFilterChars, L"x");
    tracewnd_SaveSettings();
    tracewnd_SetTitle();
    ::DestroyWindow(OpenTraceWindow());  // a handle whose window is gone counts as none
    tracewnd_SaveSettings();
    tracewnd_SetTitle();
    EXPECT_FALSE(kvtest::FileExists(SettingsFile()));
    g_settings.IncludeFilter[0] = 0;
    HWND window = OpenTraceWindow();
    tracewnd_SetTitle();
    EXPECT_EQ(TitleOf(window), L"VANTORA KV Trace Server");
    // The fixed part ends in a blank and each part begins with one.
    ServerSettings& s = g_settings;
    kv::CopyCut(s.SpecialFilter, kFilterChars, L"sp");
    tracewnd_SetTitle();
    EXPECT_EQ(TitleOf(window), L"VANTORA KV Trace Server - Filter:  FilterList='sp'");
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

// A section written and read in one call each gives what key-by-key access gives: the
// same file, and the same integers for every way a value may be spelled.
TEST_F(SettingsTest, WholeFilesAndSectionsReadAndWriteLikeSingleKeys) {
    const std::wstring byFile = work_.file(L"file.ini"), bySection = work_.file(L"section.ini"), byKey = work_.file(L"key.ini");
    const wchar_t* const texts[] = {L"plain", L" blank around ", L"'quoted'", L"", L"semi;colon"};
    kv::IniFileWriter whole;
    kv::IniSectionWriter& filter = whole.Section(L"Filter");
    kv::IniSectionWriter section;
    for (int i = 0; i < 5; ++i) {
        const std::wstring key = L"Text" + std::to_wstring(i);
        filter.String(key.c_str(), texts[i]);
        section.String(key.c_str(), texts[i]);
        kv::IniWriteString(L"Filter", key.c_str(), texts[i], byKey.c_str());
    }
    filter.Int(L"Flags", -25);
    section.Int(L"Flags", -25);
    kv::IniWriteInt(L"Filter", L"Flags", -25, byKey.c_str());
    section.Write(L"Filter", bySection.c_str());
    for (const wchar_t* app : {L"APP_x", L"OTHER_App"}) {
        kv::IniSectionWriter& level = whole.Section(app);
        kv::IniSectionWriter levelSection;
        for (auto* w : {&level, &levelSection}) w->Switch(L"EnableDiag", 1), w->Switch(L"EnableInfo", 0);
        levelSection.Write(app, bySection.c_str());
        kv::IniWriteSwitch(app, L"EnableDiag", 1, byKey.c_str());
        kv::IniWriteSwitch(app, L"EnableInfo", 0, byKey.c_str());
    }
    ASSERT_TRUE(whole.Write(byFile.c_str()));
    EXPECT_EQ(kvtest::ReadBytes(bySection), kvtest::ReadBytes(byKey));
    EXPECT_EQ(kvtest::ReadBytes(byFile), kvtest::ReadBytes(byKey));
    const wchar_t* const values[] = {L"1", L"0", L" 7 ", L"\"3\"", L"'4'", L"0x1F", L"-2", L"+5", L"abc", L"12abc",
                                     L"", L"\"\"", L"99999999999", L"0b101", L"0o17", L"-0x10"};
    const std::wstring file = work_.file(L"values.ini");
    for (int i = 0; i < 16; ++i) WriteKey(file, L"V", (L"K" + std::to_wstring(i)).c_str(), values[i]);
    WriteKey(file, L"Other", L"K1", L"5");
    const kv::IniSectionReader reader(L"V", file.c_str());
    const kv::IniFileReader all(file.c_str());
    for (int i = 0; i <= 16; ++i) {  // K16 is absent; keys match whatever their case
        const std::wstring key = L"k" + std::to_wstring(i);
        const int32_t expected = kv::IniReadInt(L"V", key.c_str(), 42, file.c_str());
        EXPECT_TRUE(reader.Int(key.c_str(), 42) == expected && all.Int(L"v", key.c_str(), 42) == expected)
            << kvtest::Narrow(i < 16 ? values[i] : L"<absent>");
    }
    EXPECT_EQ(all.Int(L"OTHER", L"K1", 0) + all.Int(L"Missing", L"K1", 9), 14);
}

// Clients of the host's directory write their switches into its settings file when they
// unregister, under the data mutex; the host's save waits for it too.
TEST_F(SettingsTest, TheSaveWaitsForTheDataMutex) {
    tracewnd_LoadSettings();
    OpenTraceWindow();
    std::atomic<bool> saved{false}, savedWhileHeld{false}, held{false};
    std::thread holder([&] {
        HANDLE m = ::OpenMutexW(SYNCHRONIZE, FALSE, L"traceapi_dll_datamutex");
        ::WaitForSingleObject(m, INFINITE);
        held = true;
        savedWhileHeld = kvtest::PumpUntil([&] { return saved.load(); }, 300);
        ::ReleaseMutex(m);
        ::CloseHandle(m);
    });
    while (!held) ::Sleep(1);
    tracewnd_SaveSettings();
    saved = true;
    holder.join();
    EXPECT_FALSE(savedWhileHeld) << "the settings file was written while a client held the data mutex";
}

}  // namespace

// The settings store: load from the settings and suite files, save at window end, and
// the window title.
#include "settings_fixture.h"  // windows.h before commctrl.h

#include <commctrl.h>

#include "server/filters.h"
#include "server/rowstore.h"
#include "settings/profiles.h"
#include "settings/settingsstore.h"
#include "settings/windowlayout.h"

using namespace settingstest;

namespace {

std::wstring ExeBaseUpper() {
    std::wstring name = kvtest::ExePath();
    name = name.substr(name.find_last_of(L'\\') + 1);
    name = name.substr(0, name.find_last_of(L'.'));
    for (auto& c : name) c = static_cast<wchar_t>(::towupper(c));
    return name;
}

std::wstring Repeat(wchar_t c, size_t n) { return std::wstring(n, c); }

// A string of n characters that shows where a cut happened.
std::wstring Counting(size_t n) {
    std::wstring s;
    for (size_t i = 0; i < n; ++i) s += static_cast<wchar_t>(L'a' + i % 26);
    return s;
}

class SettingsLoad : public SettingsTest {};
class SettingsSave : public SettingsTest {};
class WindowTitle : public SettingsTest {};

TEST_F(SettingsLoad, NoFileAtAllGivesEveryDefault) {
    // Stale values from an earlier window must all be replaced.
    memset(&g_settings, 0x55, sizeof(g_settings));
    kv::g_region.globalEnable = 0;

    tracewnd_LoadSettings();

    const ServerSettings& s = g_settings;
    EXPECT_EQ(kv::g_region.globalEnable, 1);
    EXPECT_EQ(s.EnableFile, 0);
    EXPECT_EQ(s.HistoryDays, 0);
    EXPECT_EQ(s.AutoScroll, 1);
    EXPECT_EQ(s.MaxEntries, 10000);
    EXPECT_EQ(s.MaxDelete, 100);
    for (const wchar_t* filter : {s.IncludeFilter, s.ExcludeFilter, s.SpecialFilter, s.HighlightFilter, s.TriggerFilter})
        EXPECT_STREQ(filter, L"");
    EXPECT_EQ(s.MarkHighlight, 0);
    EXPECT_EQ(s.TriggerFlags, 0u);
    EXPECT_STREQ(s.TriggerExec, L"");
    EXPECT_EQ(s.StartRivivEda, 0);
    EXPECT_EQ(s.StopRivivEda, 0);
    EXPECT_EQ(s.PCNo, 0);
    const std::wstring tmp = SuiteDir() + L"\\tmp";
    EXPECT_EQ(std::wstring(s.FileDir), tmp);
    EXPECT_EQ(std::wstring(s.LastFileDir), tmp);
    EXPECT_EQ(std::wstring(s.LastProfileDir), tmp);
    EXPECT_EQ(s.FilterListPart, 5);
    EXPECT_EQ(s.TopMost, 0);
    EXPECT_EQ(s.SaveWriting, 0);

    const WindowLayout& w = g_windowLayout;
    EXPECT_EQ(w.rect.left, 0);
    EXPECT_EQ(w.rect.top, 0);
    EXPECT_EQ(w.rect.right, 1050);
    EXPECT_EQ(w.rect.bottom, 400);
    EXPECT_EQ(w.iconic, 0);
    EXPECT_EQ(w.maximized, 0);
    ASSERT_EQ(w.columnCount, 6);
    const int widths[6] = {120, 50, 100, 100, 250, 700};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(w.columnWidths[i], widths[i]) << "column " << i;

    // The server entry: error on, the other three off.
    const TRACEAPP& entry = kv::g_region.apps[0];
    EXPECT_EQ(entry.EnableDiag, 0);
    EXPECT_EQ(entry.EnableInfo, 0);
    EXPECT_EQ(entry.EnableWarning, 0);
    EXPECT_EQ(entry.EnableError, 1);
    const DWORD pid = ::GetCurrentProcessId();
    EXPECT_EQ(entry.dwProcessId, pid);
    EXPECT_EQ(std::wstring(entry.szProcess), L"<" + ExeBaseUpper() + L" [" + std::to_wstring(pid) + L"]>");
    EXPECT_EQ(std::wstring(entry.szModule), L"<ALL [" + std::to_wstring(::GetCurrentThreadId()) + L"]>");
    EXPECT_STREQ(entry.szSection, L"RivivEda");
    EXPECT_EQ(std::wstring(entry.szPath), kvtest::ExePath());

    EXPECT_EQ(CurrentProfile(), L"");
    EXPECT_FALSE(kvtest::FileExists(SettingsFile())) << "the load writes no file";
}

TEST_F(SettingsLoad, ReadsEveryKeyOfTheSettingsFileAndTheSuiteFile) {
    const std::wstring f = SettingsFile();
    WriteKey(f, L"RivivEda", L"EnableDiag", L"1");
    WriteKey(f, L"RivivEda", L"EnableInfo", L"7");  // stored as read
    WriteKey(f, L"RivivEda", L"EnableWarning", L"1");
    WriteKey(f, L"RivivEda", L"EnableError", L"0");
    WriteKey(f, L"Global", L"EnableTrace", L"0");
    WriteKey(f, L"Global", L"EnableFile", L"1");
    WriteKey(f, L"Global", L"HistoryDays", L"14");
    WriteKey(f, L"Global", L"FileDir", L"D:\\trace%s\\files");
    WriteKey(f, L"Global", L"LastFileDir", L"D:\\saved");
    WriteKey(f, L"Global", L"LastProfileDir", L"D:\\profiles");
    WriteKey(f, L"Global", L"FilterListPart", L"3");
    WriteKey(f, L"Global", L"Left", L"-20");
    WriteKey(f, L"Global", L"Top", L"30");
    WriteKey(f, L"Global", L"Right", L"700");
    WriteKey(f, L"Global", L"Bottom", L"500");
    WriteKey(f, L"Global", L"Iconic", L"1");
    WriteKey(f, L"Global", L"Maximized", L"1");
    WriteKey(f, L"Global", L"TopMost", L"1");
    WriteKey(f, L"Global", L"SaveWriting", L"1");
    WriteKey(f, L"ListView", L"AutoScroll", L"0");
    WriteKey(f, L"ListView", L"MaxEntries", L"2500");
    WriteKey(f, L"ListView", L"MaxDelete", L"25");
    WriteKey(f, L"ListView", L"Col5", L"300");
    WriteKey(f, L"Filter", L"IncludeFilter", L"inc1;%s%n");
    WriteKey(f, L"Filter", L"ExcludeFilter", L"exc");
    WriteKey(f, L"Filter", L"SpecialFilter", L"spec");
    WriteKey(f, L"Filter", L"HighlightFilter", L"high");
    WriteKey(f, L"Filter", L"MarkHighlight", L"1");
    WriteKey(f, L"Filter", L"TriggerFilter", L"trig");
    WriteKey(f, L"Filter", L"TriggerFlags", L"25");
    WriteKey(f, L"Filter", L"TriggerExec", L"cmd /c echo %1");
    // The settings dialog writes the suite file under this spelling; the load reads
    // "BIN\KV_ServX.ini". Both must reach one file.
    ASSERT_TRUE(::CreateDirectoryW((SuiteDir() + L"\\bin").c_str(), nullptr));
    const std::wstring suiteFile = SuiteDir() + L"\\bin\\kv_servx.ini";
    WriteKey(suiteFile, L"Global", L"StartRivivEda", L"1");
    WriteKey(suiteFile, L"Global", L"StopRivivEda", L"1");
    WriteKey(suiteFile, L"PC", L"PCNo", L"3");

    tracewnd_LoadSettings();

    const TRACEAPP& entry = kv::g_region.apps[0];
    EXPECT_EQ(entry.EnableDiag, 1);
    EXPECT_EQ(entry.EnableInfo, 7);
    EXPECT_EQ(entry.EnableWarning, 1);
    EXPECT_EQ(entry.EnableError, 0);
    const ServerSettings& s = g_settings;
    EXPECT_EQ(kv::g_region.globalEnable, 0);
    EXPECT_EQ(s.EnableFile, 1);
    EXPECT_EQ(s.HistoryDays, 14);
    EXPECT_STREQ(s.FileDir, L"D:\\trace%s\\files");
    EXPECT_STREQ(s.LastFileDir, L"D:\\saved");
    EXPECT_STREQ(s.LastProfileDir, L"D:\\profiles");
    EXPECT_EQ(s.FilterListPart, 3);
    EXPECT_EQ(s.TopMost, 1);
    EXPECT_EQ(s.SaveWriting, 1);
    EXPECT_EQ(s.AutoScroll, 0);
    EXPECT_EQ(s.MaxEntries, 2500);
    EXPECT_EQ(s.MaxDelete, 25);
    EXPECT_STREQ(s.IncludeFilter, L"inc1;%s%n");
    EXPECT_STREQ(s.ExcludeFilter, L"exc");
    EXPECT_STREQ(s.SpecialFilter, L"spec");
    EXPECT_STREQ(s.HighlightFilter, L"high");
    EXPECT_EQ(s.MarkHighlight, 1);
    EXPECT_STREQ(s.TriggerFilter, L"trig");
    EXPECT_EQ(s.TriggerFlags, 0x19u);
    EXPECT_STREQ(s.TriggerExec, L"cmd /c echo %1");
    EXPECT_EQ(s.StartRivivEda, 1);
    EXPECT_EQ(s.StopRivivEda, 1);
    EXPECT_EQ(s.PCNo, 3);

    const WindowLayout& w = g_windowLayout;
    EXPECT_EQ(w.rect.left, -20);
    EXPECT_EQ(w.rect.top, 30);
    EXPECT_EQ(w.rect.right, 700);
    EXPECT_EQ(w.rect.bottom, 500);
    EXPECT_EQ(w.iconic, 1);
    EXPECT_EQ(w.maximized, 1);
    EXPECT_EQ(w.columnWidths[5], 300);
    EXPECT_EQ(w.columnWidths[0], 120) << "a column without a key keeps its default";

    // The filter tables are built from the loaded strings at once.
    EXPECT_STREQ(tracewnd_FirstFilterListEntry(), L"spec");
}

TEST_F(SettingsLoad, OutOfRangeAndMalformedNumbersGetDefinedValues) {
    const std::wstring f = SettingsFile();
    WriteKey(f, L"Global", L"HistoryDays", L"-3");
    WriteKey(f, L"ListView", L"MaxEntries", L"many");
    WriteKey(f, L"ListView", L"MaxDelete", L"");  // empty: the default
    WriteKey(f, L"Global", L"FilterListPart", L"0");
    WriteKey(f, L"Global", L"FileDir", L"");

    tracewnd_LoadSettings();

    EXPECT_EQ(g_settings.HistoryDays, 0) << "a negative age limit loads as no limit";
    EXPECT_EQ(g_settings.MaxEntries, 0) << "a value that is no number loads as 0";
    EXPECT_EQ(g_settings.MaxDelete, 100);
    EXPECT_EQ(g_settings.FilterListPart, 5) << "a divisor below 1 must never reach the layout";
    EXPECT_EQ(std::wstring(g_settings.FileDir), SuiteDir() + L"\\tmp");

    WriteKey(f, L"Global", L"FilterListPart", L"-4");
    tracewnd_LoadSettings();
    EXPECT_EQ(g_settings.FilterListPart, 5);

    // The corrected age limit is what the save writes back.
    OpenTraceWindow();
    WriteKey(f, L"Global", L"HistoryDays", L"-3");
    tracewnd_LoadSettings();
    tracewnd_SaveSettings();
    EXPECT_EQ(ReadKey(f, L"Global", L"HistoryDays"), L"0");
}

TEST_F(SettingsLoad, ProfileNamedByTheHostBeatsLastProfile) {
    const std::wstring host = work_.file(L"host.pfl");
    const std::wstring last = work_.file(L"last.pfl");
    WriteKey(SettingsFile(), L"Global", L"LastProfile", last.c_str());

    tracewnd_SetProfile(host.c_str());
    tracewnd_LoadSettings();
    EXPECT_EQ(CurrentProfile(), host);

    tracewnd_SetProfile(nullptr);
    const int updatesBefore = StatusUpdates();
    tracewnd_LoadSettings();
    EXPECT_EQ(CurrentProfile(), last) << "without a host profile, the last run's profile comes back";
    EXPECT_EQ(std::wstring(g_settings.LastProfileDir), work_.path()) << "the profile dialogs start where it lies";
    EXPECT_GT(StatusUpdates(), updatesBefore);
}

TEST_F(SettingsLoad, OverlongLastProfileKeepsItsFirst259Characters) {
    const std::wstring longPath = L"C:\\" + Counting(300) + L".pfl";
    WriteKey(SettingsFile(), L"Global", L"LastProfile", longPath.c_str());
    tracewnd_LoadSettings();
    EXPECT_EQ(CurrentProfile(), longPath.substr(0, 259));
}

// A list view with six columns of known widths, as the window's main list.
HWND CreateMainList(HWND parent, const int (&widths)[6]) {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
    ::InitCommonControlsEx(&icc);
    HWND list = ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA, 0, 0, 500,
                                  200, parent, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    for (int i = 0; i < 6; ++i) {
        LVCOLUMNW col = {};
        col.mask = LVCF_WIDTH | LVCF_TEXT;
        col.cx = widths[i];
        col.pszText = const_cast<wchar_t*>(L"c");
        ListView_InsertColumn(list, i, &col);
    }
    return list;
}

TEST_F(SettingsSave, EveryKeyComesBackAtTheNextLoad) {
    tracewnd_LoadSettings();
    HWND window = OpenTraceWindow();
    ASSERT_TRUE(::SetWindowPos(window, nullptr, 33, 44, 640, 380, SWP_NOZORDER | SWP_NOACTIVATE));
    const int widths[6] = {90, 40, 80, 81, 200, 333};
    HWND list = CreateMainList(window, widths);
    kv::Server().mainList = list;
    const short store = rowstore_Create(list, nullptr);
    ASSERT_GE(store, 0);
    kv::Server().mainStore = store;
    rowstore_SetAutoScroll(store, FALSE);  // the main list's state wins over the record

    ServerSettings& s = g_settings;
    kv::g_region.globalEnable = 0;
    s.EnableFile = 1;
    s.HistoryDays = 9;
    s.AutoScroll = 1;
    s.MaxEntries = 4321;
    s.MaxDelete = -5;
    // Texts the profile reader would trim or unquote must come back as they were.
    kv::CopyCut(s.IncludeFilter, kFilterChars, L" lead;trail ");
    kv::CopyCut(s.ExcludeFilter, kFilterChars, L"\"quoted\"");
    kv::CopyCut(s.SpecialFilter, kFilterChars, L"%s%d;'x'");
    kv::CopyCut(s.HighlightFilter, kFilterChars, Counting(499).c_str());
    s.MarkHighlight = 1;
    kv::CopyCut(s.TriggerFilter, kFilterChars, L"\t");
    s.TriggerFlags = 0x19;
    kv::CopyCut(s.TriggerExec, MAX_PATH, L"notify.cmd \"a b\"");
    kv::CopyCut(s.FileDir, MAX_PATH, L"E:\\t");
    kv::CopyCut(s.LastFileDir, MAX_PATH, L"E:\\saved lists");
    kv::CopyCut(s.LastProfileDir, MAX_PATH, L"E:\\p");
    s.FilterListPart = 7;
    s.TopMost = 1;
    tracewnd_SetProfile(L"E:\\p\\night.pfl");

    tracewnd_SaveSettings();

    const std::wstring f = SettingsFile();
    EXPECT_EQ(ReadKey(f, L"Filter", L"TriggerFlags"), L"25") << "integers are written in decimal";
    EXPECT_EQ(ReadKey(f, L"Global", L"EnableTrace"), L"0");
    EXPECT_EQ(ReadKey(f, L"ListView", L"MaxDelete"), L"-5");
    EXPECT_EQ(ReadKey(f, L"Global", L"SaveWriting"), L"<absent>") << "safe writing is never written back";
    EXPECT_EQ(ReadKey(f, L"RivivEda", L"EnableError"), L"<absent>") << "the level keys belong to registration";
    RECT r;
    ::GetWindowRect(window, &r);
    EXPECT_EQ(ReadKey(f, L"Global", L"Left"), std::to_wstring(r.left));
    EXPECT_EQ(ReadKey(f, L"Global", L"Bottom"), std::to_wstring(r.bottom));

    // The next start finds everything as it was left.
    rowstore_Destroy(store);
    kv::Server().mainStore = -1;
    memset(&g_settings, 0, sizeof(g_settings));
    memset(&g_windowLayout, 0, sizeof(g_windowLayout));
    kv::g_region.globalEnable = 1;
    tracewnd_SetProfile(nullptr);
    tracewnd_LoadSettings();

    EXPECT_EQ(kv::g_region.globalEnable, 0);
    EXPECT_EQ(s.EnableFile, 1);
    EXPECT_EQ(s.HistoryDays, 9);
    EXPECT_EQ(s.AutoScroll, 0);
    EXPECT_EQ(s.MaxEntries, 4321);
    EXPECT_EQ(s.MaxDelete, -5);
    EXPECT_STREQ(s.IncludeFilter, L" lead;trail ");
    EXPECT_STREQ(s.ExcludeFilter, L"\"quoted\"");
    EXPECT_STREQ(s.SpecialFilter, L"%s%d;'x'");
    EXPECT_EQ(std::wstring(s.HighlightFilter), Counting(499));
    EXPECT_EQ(s.MarkHighlight, 1);
    EXPECT_STREQ(s.TriggerFilter, L"\t");
    EXPECT_EQ(s.TriggerFlags, 0x19u);
    EXPECT_STREQ(s.TriggerExec, L"notify.cmd \"a b\"");
    EXPECT_STREQ(s.FileDir, L"E:\\t");
    EXPECT_STREQ(s.LastFileDir, L"E:\\saved lists");
    EXPECT_EQ(s.FilterListPart, 7);
    EXPECT_EQ(s.TopMost, 1);
    EXPECT_EQ(CurrentProfile(), L"E:\\p\\night.pfl");
    EXPECT_STREQ(s.LastProfileDir, L"E:\\p");
    const WindowLayout& w = g_windowLayout;
    EXPECT_EQ(w.rect.left, r.left);
    EXPECT_EQ(w.rect.top, r.top);
    EXPECT_EQ(w.rect.right, r.right);
    EXPECT_EQ(w.rect.bottom, r.bottom);
    EXPECT_EQ(w.iconic, 0);
    EXPECT_EQ(w.maximized, 0);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(w.columnWidths[i], widths[i]) << "column " << i;

    // No current profile is saved as an empty LastProfile.
    tracewnd_SetProfile(nullptr);
    tracewnd_SaveSettings();
    EXPECT_EQ(ReadKey(f, L"Global", L"LastProfile"), L"");
}

TEST_F(SettingsSave, MinimizedOrMaximizedWindowLeavesThePlacementAsStored) {
    struct Case {
        int show;
        const wchar_t* iconic;
        const wchar_t* maximized;
    };
    for (const Case& c : {Case{SW_MINIMIZE, L"1", L"0"}, Case{SW_MAXIMIZE, L"0", L"1"}}) {
        SCOPED_TRACE(c.show == SW_MINIMIZE ? "minimized" : "maximized");
        const std::wstring f = SettingsFile();
        ::DeleteFileW(f.c_str());
        WriteKey(f, L"Global", L"Left", L"11");
        WriteKey(f, L"Global", L"Top", L"12");
        WriteKey(f, L"Global", L"Right", L"513");
        WriteKey(f, L"Global", L"Bottom", L"314");
        WriteKey(f, L"Global", L"Iconic", c.show == SW_MINIMIZE ? L"0" : L"1");
        tracewnd_LoadSettings();
        HWND window = OpenTraceWindow();
        ::ShowWindow(window, c.show);
        ASSERT_TRUE(kvtest::PumpUntil([&] { return c.show == SW_MINIMIZE ? ::IsIconic(window) : ::IsZoomed(window); }));

        tracewnd_SaveSettings();

        EXPECT_EQ(ReadKey(f, L"Global", L"Iconic"), c.iconic);
        EXPECT_EQ(ReadKey(f, L"Global", L"Maximized"), c.maximized);
        EXPECT_EQ(ReadKey(f, L"Global", L"Left"), L"11");
        EXPECT_EQ(ReadKey(f, L"Global", L"Top"), L"12");
        EXPECT_EQ(ReadKey(f, L"Global", L"Right"), L"513");
        EXPECT_EQ(ReadKey(f, L"Global", L"Bottom"), L"314");
    }
}

TEST_F(SettingsSave, NothingIsWrittenWithoutALiveTraceWindow) {
    tracewnd_LoadSettings();
    tracewnd_SaveSettings();
    EXPECT_FALSE(kvtest::FileExists(SettingsFile()));

    // A handle whose window is gone counts as no window.
    HWND window = OpenTraceWindow();
    ::DestroyWindow(window);
    tracewnd_SaveSettings();
    EXPECT_FALSE(kvtest::FileExists(SettingsFile()));
}

TEST_F(SettingsSave, WithoutAMainListTheRecordedColumnWidthsAreWritten) {
    tracewnd_LoadSettings();
    OpenTraceWindow();
    g_windowLayout.columnWidths[4] = 321;
    tracewnd_SaveSettings();
    const std::wstring f = SettingsFile();
    EXPECT_EQ(ReadKey(f, L"ListView", L"Col0"), L"120");
    EXPECT_EQ(ReadKey(f, L"ListView", L"Col4"), L"321");
    EXPECT_EQ(ReadKey(f, L"ListView", L"Col5"), L"700");
    EXPECT_EQ(ReadKey(f, L"ListView", L"Col6"), L"<absent>");
}

TEST_F(WindowTitle, WithoutFiltersTheTitleIsTheFixedPart) {
    HWND window = OpenTraceWindow();
    tracewnd_SetTitle();
    EXPECT_EQ(window_->Title(), L"VANTORA KV Trace Server");
    (void)window;
}

TEST_F(WindowTitle, OnlyAFilterListLeavesTwoBlanksAfterTheFixedPart) {
    OpenTraceWindow();
    kv::CopyCut(g_settings.SpecialFilter, kFilterChars, L"abc");
    tracewnd_SetTitle();
    EXPECT_EQ(window_->Title(), L"VANTORA KV Trace Server - Filter:  FilterList='abc'");
}

TEST_F(WindowTitle, EveryPartInOrderWithTheTriggerFlagsInHex) {
    OpenTraceWindow();
    ServerSettings& s = g_settings;
    kv::CopyCut(s.IncludeFilter, kFilterChars, L"in%s");
    kv::CopyCut(s.ExcludeFilter, kFilterChars, L"ex");
    kv::CopyCut(s.SpecialFilter, kFilterChars, L"sp");
    kv::CopyCut(s.HighlightFilter, kFilterChars, L"hi");
    s.MarkHighlight = 1;
    kv::CopyCut(s.TriggerFilter, kFilterChars, L"tr");
    s.TriggerFlags = 0x19;
    kv::CopyCut(s.TriggerExec, MAX_PATH, L"run %d.cmd");
    tracewnd_SetTitle();
    EXPECT_EQ(window_->Title(),
              L"VANTORA KV Trace Server - Filter:  Include='in%s' Exclude='ex' FilterList='sp' Highlight='hi' (Mark=1)"
              L" Trigger='tr' (Flags:0x19, Exec:'run %d.cmd')");
}

TEST_F(WindowTitle, FiltersShowTheirFirst125CharactersAndTheCommandInFull) {
    OpenTraceWindow();
    ServerSettings& s = g_settings;
    const std::wstring longest = Counting(499);
    for (wchar_t* f : {s.IncludeFilter, s.ExcludeFilter, s.SpecialFilter, s.HighlightFilter, s.TriggerFilter})
        kv::CopyCut(f, kFilterChars, longest.c_str());
    const std::wstring exec = Repeat(L'x', 259);
    kv::CopyCut(s.TriggerExec, MAX_PATH, exec.c_str());
    tracewnd_SetTitle();
    const std::wstring cut = Counting(125);
    EXPECT_EQ(window_->Title(), L"VANTORA KV Trace Server - Filter:  Include='" + cut + L"' Exclude='" + cut +
                                    L"' FilterList='" + cut + L"' Highlight='" + cut + L"' (Mark=0) Trigger='" + cut +
                                    L"' (Flags:0x0, Exec:'" + exec + L"')");
}

TEST_F(WindowTitle, NothingHappensWithoutATraceWindow) {
    kv::CopyCut(g_settings.IncludeFilter, kFilterChars, L"x");
    tracewnd_SetTitle();  // must simply return
    StandInWindow other;
    EXPECT_EQ(other.Title(), L"stand-in");
}

}  // namespace

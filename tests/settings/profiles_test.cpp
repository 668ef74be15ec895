// Trace profiles: save, load, the shared current profile, the file dialogs, the check
// after a settings change, and registration in another process reading the profile.
#include "settings_fixture.h"

#include "server/filters.h"
#include "settings/settingsstore.h"

using namespace settingstest;

namespace {

// Registers application args[0]; exits with its switches as bits (diag 1, info 2,
// warning 4, error 8), or 100 when registration failed.
KVTEST_HELPER(RegisterAndReportSwitches) {
    kv::ProcessAttach(::GetModuleHandleW(nullptr));
    const short h = traceapi_Register(args.empty() ? nullptr : args[0].c_str(), nullptr, FALSE);
    if (h < 1) return 100;
    const TRACEAPP* a = traceapi_GetTraceApp(h);
    const int bits = (a->EnableDiag ? 1 : 0) | (a->EnableInfo ? 2 : 0) | (a->EnableWarning ? 4 : 0) | (a->EnableError ? 8 : 0);
    traceapi_Unregister(h, FALSE);
    return bits;
}

// The file dialogs record their start directory and answer g_answer (empty: cancel).
std::vector<std::wstring> g_startDirs;
std::wstring g_answer, g_defExt;
BOOL WINAPI FakeDialog(OPENFILENAMEW* ofn) {
    g_startDirs.push_back(ofn->lpstrInitialDir);
    g_defExt = ofn->lpstrDefExt;
    kv::CopyCut(ofn->lpstrFile, ofn->nMaxFile, g_answer.c_str());
    return !g_answer.empty();
}

class Profiles : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        g_startDirs.clear();
        g_answer.clear();
        tracewnd_SetProfileDialogs(FakeDialog, FakeDialog);
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

TEST_F(Profiles, SaveWritesSettingsAndEveryUsedSlotAndBecomesCurrent) {
    kv::CopyCut(g_settings.ExcludeFilter, kFilterChars, L" ex");
    g_settings.TriggerFlags = 0x19;
    kv::g_region.globalEnable = 0;
    FillSlot(3, L"x", L"EVIL_x]\r\n[Global]\r\nMode=1\r\n[y", {1, 1, 1, 1});  // a name with lines of its own
    FillSlot(7, L"App", L"OTHER_App", {0, 5, 1, 0});
    FillSlot(8, L"", L"FREE_Slot", {1, 1, 1, 1});
    const std::wstring p = work_.file(L"saved.pfl");
    WriteKey(p, L"GONE_App", L"EnableDiag", L"1");  // an older profile under the same name
    g_answer = p;  // chosen in the dialog
    tracewnd_SaveProfile(window, nullptr);
    wchar_t names[1024] = {};
    const DWORD n = ::GetPrivateProfileSectionNamesW(names, ARRAYSIZE(names), p.c_str());
    std::wstring sections;
    for (const wchar_t* s = names; s < names + n && *s; s += wcslen(s) + 1) sections += std::wstring(s) + L"|";
    EXPECT_EQ(sections, L"Filter|Global|RivivEda|OTHER_App|") << "a stale, free or line-breaking section was written";
    const std::pair<const wchar_t*, const wchar_t*> keys[] = {{L"Global", L"Mode"},       {L"Global", L"EnableTrace"},
                                                              {L"Filter", L"ExcludeFilter"}, {L"Filter", L"TriggerFlags"},
                                                              {L"OTHER_App", L"EnableInfo"}, {L"OTHER_App", L"EnableError"}};
    std::wstring written;
    for (const auto& k : keys) written += ReadKey(p, k.first, k.second) + L"|";
    EXPECT_EQ(written, L"0|0| ex|25|1|0|");
    EXPECT_EQ(CurrentProfile(), p);
    EXPECT_EQ(std::wstring(g_settings.LastProfileDir), work_.path()) << "the next dialog opens where it lies";
    EXPECT_GT(g_seen.statusUpdates, 0);
    kv::Server().traceWindow = nullptr;
    tracewnd_SaveProfile(window, work_.file(L"nowindow.pfl").c_str());
    EXPECT_FALSE(kvtest::FileExists(work_.file(L"nowindow.pfl"))) << "saved without a trace window";
}

TEST_F(Profiles, LoadTakesFiltersSwitchesAndLevelsAndTellsTheWindow) {
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
}

TEST_F(Profiles, RefusedProfilesAndCancelledDialogsChangeNothing) {
    kv::CopyCut(g_settings.IncludeFilter, kFilterChars, L"keep");
    kv::CopyCut(g_settings.LastProfileDir, MAX_PATH, work_.path().c_str());
    FillSlot(9, L"App", L"OTHER_App", {0, 1, 1, 0});
    const std::wstring current = work_.file(L"current.pfl");
    tracewnd_SetProfile(current.c_str());
    const ServerSettings before = g_settings;
    const TRACEAPP appBefore = kv::g_region.apps[9];
    EXPECT_EQ(tracewnd_LoadProfile(window, WriteProfile(L"mode1.pfl", L"1").c_str()), 0);
    EXPECT_EQ(tracewnd_LoadProfile(window, work_.file(L"not-there.pfl").c_str()), 0);
    EXPECT_EQ(tracewnd_LoadProfile(window, work_.path().c_str()), 0) << "a directory is no profile";
    EXPECT_EQ(tracewnd_LoadProfile(window, nullptr), 0);
    tracewnd_SaveProfile(window, nullptr);
    EXPECT_EQ(memcmp(&before, &g_settings, sizeof(before)), 0) << "the settings changed";
    EXPECT_EQ(memcmp(&appBefore, &kv::g_region.apps[9], sizeof(TRACEAPP)), 0) << "the level switches changed";
    EXPECT_EQ(kv::g_region.globalEnable + g_seen.selectionCommands, 1);
    EXPECT_EQ(CurrentProfile(), current);
    EXPECT_EQ(g_startDirs, (std::vector<std::wstring>{work_.path(), work_.path()}));
    EXPECT_EQ(g_defExt, L"pfl") << "a name typed without extension must show in the *.pfl filter";
}

TEST_F(Profiles, CurrentProfilePathDropsQuotesKeeps259CharactersAndIsMadeFull) {
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
    EXPECT_EQ(loaded, 1);
    EXPECT_EQ(CurrentProfile(), p);
}

TEST_F(Profiles, CheckDropsTheProfileOnlyWhenFiltersOrTriggerDiffer) {
    const std::wstring p = WriteProfile(L"check.pfl", L"0");
    ASSERT_EQ(tracewnd_LoadProfile(window, p.c_str()), 1);
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
}

TEST_F(Profiles, RegistrationElsewhereReadsLevelSwitchesFromTheCurrentProfile) {
    // The settings file says diagnose only (set again before each run: unregistration
    // writes the helper's switches back); the profile says info and error and turns the
    // server entry's error override off. A profile that may not be read (mode 1) leaves the
    // settings file in charge, and the server entry's error switch falls back to on.
    const std::wstring section = ExeBaseUpper() + L"_ProfApp", p = work_.file(L"levels.pfl");
    WriteKey(p, L"Global", L"Mode", L"0");
    WriteKey(p, L"RivivEda", L"EnableError", L"0");
    WriteKey(p, section.c_str(), L"EnableInfo", L"1");
    WriteKey(p, section.c_str(), L"EnableError", L"1");
    ASSERT_EQ(tracewnd_LoadProfile(window, p.c_str()), 1);
    struct Case { const wchar_t* mode; DWORD bits; };
    for (const Case& c : {Case{L"0", 2u | 8u}, Case{L"1", 1u | 8u}}) {
        WriteKey(p, L"Global", L"Mode", c.mode);
        for (const wchar_t* key : {L"EnableDiag", L"EnableInfo", L"EnableWarning", L"EnableError"})
            WriteKey(SettingsFile(), section.c_str(), key, wcscmp(key, L"EnableDiag") == 0 ? L"1" : L"0");
        const kvtest::ProcessResult r = kvtest::RunHelper(L"RegisterAndReportSwitches", {L"ProfApp"});
        EXPECT_TRUE(r.finished && r.exitCode == c.bits) << "mode " << kvtest::Narrow(c.mode) << ": " << r.exitCode;
    }
}

}  // namespace

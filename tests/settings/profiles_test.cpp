// Trace profiles: save, load, the shared current profile, the file dialogs, the check
// after a settings change, and registration in another process reading the profile.
#include "server/filters.h"
#include "settings/profiles.h"
#include "settings/settingsstore.h"
#include "settings_fixture.h"

using namespace settingstest;

namespace {

// --- helper process ------------------------------------------------------------------

// Registers application args[0] and exits with its four level switches as bits
// (diag 1, info 2, warning 4, error 8); 100 when registration failed.
KVTEST_HELPER(RegisterAndReportSwitches) {
    kv::ProcessAttach(::GetModuleHandleW(nullptr));
    if (args.empty()) return 101;
    const short h = traceapi_Register(args[0].c_str(), nullptr, FALSE);
    if (h < 1) return 100;
    const TRACEAPP* app = traceapi_GetTraceApp(h);
    const int bits = (app->EnableDiag ? 1 : 0) | (app->EnableInfo ? 2 : 0) | (app->EnableWarning ? 4 : 0) |
                     (app->EnableError ? 8 : 0);
    traceapi_Unregister(h, FALSE);
    return bits;
}

std::wstring ExeBaseUpper() {
    std::wstring name = kvtest::ExePath();
    name = name.substr(name.find_last_of(L'\\') + 1);
    name = name.substr(0, name.find_last_of(L'.'));
    for (auto& c : name) c = static_cast<wchar_t>(::towupper(c));
    return name;
}

// --- file dialog stand-in --------------------------------------------------------------

struct DialogCall {
    bool save = false;
    std::wstring initialDir, filter, title, defExt;
    DWORD flags = 0;
    DWORD maxFile = 0;
    HWND owner = nullptr;
};
std::vector<DialogCall> g_dialogCalls;
std::wstring g_dialogAnswer;  // empty: the user cancels

BOOL Answer(OPENFILENAMEW* ofn, bool save) {
    DialogCall call;
    call.save = save;
    call.owner = ofn->hwndOwner;
    call.initialDir = ofn->lpstrInitialDir ? ofn->lpstrInitialDir : L"";
    // The filter is a list of pairs ending in an empty string.
    for (const wchar_t* p = ofn->lpstrFilter; p && *p; p += wcslen(p) + 1) call.filter += std::wstring(p) + L"|";
    call.title = ofn->lpstrTitle ? ofn->lpstrTitle : L"";
    call.defExt = ofn->lpstrDefExt ? ofn->lpstrDefExt : L"";
    call.flags = ofn->Flags;
    call.maxFile = ofn->nMaxFile;
    EXPECT_EQ(ofn->lpstrFile[0], 0) << "the file name starts empty";
    g_dialogCalls.push_back(call);
    if (g_dialogAnswer.empty()) return FALSE;
    kv::CopyCut(ofn->lpstrFile, ofn->nMaxFile, g_dialogAnswer.c_str());
    return TRUE;
}
BOOL WINAPI OpenDialog(OPENFILENAMEW* ofn) { return Answer(ofn, false); }
BOOL WINAPI SaveDialog(OPENFILENAMEW* ofn) { return Answer(ofn, true); }

// --- fixture ---------------------------------------------------------------------------

class Profiles : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        g_dialogCalls.clear();
        g_dialogAnswer.clear();
        tracewnd_SetProfileDialogs(OpenDialog, SaveDialog);
        tracewnd_LoadSettings();  // fills the server entry, as at window start
        OpenTraceWindow();
    }

    void SetFilters(const wchar_t* include, const wchar_t* exclude, const wchar_t* special, const wchar_t* highlight,
                    const wchar_t* trigger, uint32_t flags, const wchar_t* exec) {
        ServerSettings& s = g_settings;
        kv::CopyCut(s.IncludeFilter, kFilterChars, include);
        kv::CopyCut(s.ExcludeFilter, kFilterChars, exclude);
        kv::CopyCut(s.SpecialFilter, kFilterChars, special);
        kv::CopyCut(s.HighlightFilter, kFilterChars, highlight);
        kv::CopyCut(s.TriggerFilter, kFilterChars, trigger);
        s.TriggerFlags = flags;
        kv::CopyCut(s.TriggerExec, MAX_PATH, exec);
    }

    // A profile file written by hand, as another installation would have left it.
    std::wstring WriteProfile(const wchar_t* name, const wchar_t* mode) {
        const std::wstring p = work_.file(name);
        if (mode) WriteKey(p, L"Global", L"Mode", mode);
        WriteKey(p, L"Filter", L"IncludeFilter", L"pin");
        WriteKey(p, L"Filter", L"ExcludeFilter", L"pex");
        WriteKey(p, L"Filter", L"SpecialFilter", L"psp");
        WriteKey(p, L"Filter", L"MarkHighlight", L"1");
        WriteKey(p, L"Filter", L"TriggerFilter", L"ptr");
        WriteKey(p, L"Filter", L"TriggerFlags", L"6");
        WriteKey(p, L"Filter", L"TriggerExec", L"p.cmd");
        WriteKey(p, L"Global", L"EnableTrace", L"0");
        WriteKey(p, L"Global", L"EnableFile", L"1");
        WriteKey(p, L"RivivEda", L"EnableDiag", L"0");
        WriteKey(p, L"RivivEda", L"EnableInfo", L"0");
        WriteKey(p, L"RivivEda", L"EnableWarning", L"1");
        WriteKey(p, L"RivivEda", L"EnableError", L"0");
        WriteKey(p, L"OTHER_App", L"EnableDiag", L"1");
        WriteKey(p, L"OTHER_App", L"EnableInfo", L"0");
        WriteKey(p, L"OTHER_App", L"EnableWarning", L"0");
        WriteKey(p, L"OTHER_App", L"EnableError", L"1");
        return p;
    }
};

// --- saving ----------------------------------------------------------------------------

TEST_F(Profiles, SaveWritesFiltersGlobalSwitchesAndEveryUsedSlot) {
    SetFilters(L"in", L" ex", L"sp", L"hi", L"tr", 0x19, L"go.cmd");
    g_settings.MarkHighlight = 1;
    g_settings.EnableFile = 1;
    kv::g_region.globalEnable = 0;
    {
        kv::MutexLock lock(kv::g_proc.dataMutex);
        kv::g_region.apps[0].EnableDiag = 1;
        kv::g_region.apps[0].EnableError = 0;
    }
    FillClientSlot(7, L"App", L"OTHER_App", 0, 5, 1, 0);
    FillClientSlot(8, L"", L"FREE_Slot", 1, 1, 1, 1);  // a free slot is not saved
    const std::wstring p = work_.file(L"saved.pfl");

    tracewnd_SaveProfile(window_->hwnd(), p.c_str());

    EXPECT_EQ(ReadKey(p, L"Global", L"Mode"), L"0");
    EXPECT_EQ(ReadKey(p, L"Global", L"EnableTrace"), L"0");
    EXPECT_EQ(ReadKey(p, L"Global", L"EnableFile"), L"1");
    EXPECT_EQ(ReadKey(p, L"Filter", L"IncludeFilter"), L"in");
    EXPECT_EQ(ReadKey(p, L"Filter", L"ExcludeFilter"), L" ex");
    EXPECT_EQ(ReadKey(p, L"Filter", L"SpecialFilter"), L"sp");
    EXPECT_EQ(ReadKey(p, L"Filter", L"HighlightFilter"), L"hi");
    EXPECT_EQ(ReadKey(p, L"Filter", L"MarkHighlight"), L"1");
    EXPECT_EQ(ReadKey(p, L"Filter", L"TriggerFilter"), L"tr");
    EXPECT_EQ(ReadKey(p, L"Filter", L"TriggerFlags"), L"25");
    EXPECT_EQ(ReadKey(p, L"Filter", L"TriggerExec"), L"go.cmd");
    EXPECT_EQ(ReadKey(p, L"RivivEda", L"EnableDiag"), L"1");
    EXPECT_EQ(ReadKey(p, L"RivivEda", L"EnableInfo"), L"0");
    EXPECT_EQ(ReadKey(p, L"RivivEda", L"EnableError"), L"0");
    EXPECT_EQ(ReadKey(p, L"OTHER_App", L"EnableDiag"), L"0");
    EXPECT_EQ(ReadKey(p, L"OTHER_App", L"EnableInfo"), L"1") << "switches are written as 1 or 0";
    EXPECT_EQ(ReadKey(p, L"OTHER_App", L"EnableWarning"), L"1");
    EXPECT_EQ(ReadKey(p, L"OTHER_App", L"EnableError"), L"0");
    EXPECT_EQ(ReadKey(p, L"FREE_Slot", L"EnableDiag"), L"<absent>");
    // No placement, limits or directories in a profile.
    EXPECT_EQ(ReadKey(p, L"ListView", L"MaxEntries"), L"<absent>");
    EXPECT_EQ(ReadKey(p, L"Global", L"FileDir"), L"<absent>");

    // The saved file is the current profile at once.
    EXPECT_EQ(CurrentProfile(), p);
    EXPECT_EQ(std::wstring(g_settings.LastProfileDir), work_.path());
    EXPECT_GT(StatusUpdates(), 0);
}

TEST_F(Profiles, SavingOverAnOlderProfileLeavesNoStaleKey) {
    const std::wstring p = work_.file(L"over.pfl");
    WriteKey(p, L"GONE_App", L"EnableDiag", L"1");
    WriteKey(p, L"Filter", L"Obsolete", L"x");
    WriteKey(p, L"Global", L"Mode", L"1");

    tracewnd_SaveProfile(window_->hwnd(), p.c_str());

    EXPECT_EQ(ReadKey(p, L"GONE_App", L"EnableDiag"), L"<absent>");
    EXPECT_EQ(ReadKey(p, L"Filter", L"Obsolete"), L"<absent>");
    EXPECT_EQ(ReadKey(p, L"Global", L"Mode"), L"0");
}

TEST_F(Profiles, AnApplicationNameWithLineBreaksCannotRewriteTheProfile) {
    // Another process registered a name that would add its own lines to the file.
    FillClientSlot(3, L"x", L"EVIL_x]\r\n[Global]\r\nMode=1\r\n[y", 1, 1, 1, 1);
    FillClientSlot(4, L"App", L"OTHER_App", 1, 0, 0, 0);
    const std::wstring p = work_.file(L"guarded.pfl");

    tracewnd_SaveProfile(window_->hwnd(), p.c_str());

    EXPECT_EQ(ReadKey(p, L"Global", L"Mode"), L"0");
    EXPECT_EQ(ReadKey(p, L"OTHER_App", L"EnableDiag"), L"1") << "the other slots are saved as usual";
    wchar_t names[1024] = {};
    const DWORD n = ::GetPrivateProfileSectionNamesW(names, ARRAYSIZE(names), p.c_str());
    std::wstring sections;
    for (const wchar_t* name = names; name < names + n && *name; name += wcslen(name) + 1) sections += std::wstring(name) + L"|";
    EXPECT_EQ(sections, L"Filter|Global|RivivEda|OTHER_App|");
    EXPECT_EQ(tracewnd_LoadProfile(window_->hwnd(), p.c_str()), 1);
}

TEST_F(Profiles, SaveNeedsATraceWindow) {
    kv::Server().traceWindow = nullptr;
    const std::wstring p = work_.file(L"nowindow.pfl");
    tracewnd_SaveProfile(nullptr, p.c_str());
    EXPECT_FALSE(kvtest::FileExists(p));
    EXPECT_EQ(CurrentProfile(), L"");
}

// --- loading ---------------------------------------------------------------------------

TEST_F(Profiles, LoadTakesFiltersSwitchesAndLevelsAndTellsTheWindow) {
    kvtest::Accessors acc = {traceapi_GetCurTrcTxt, traceapi_GetCurFuncName, traceapi_GetCurThreadID,
                             traceapi_GetTraceApp, nullptr};
    kvtest::RecordingWindow recorder(acc);
    traceapi_SetTraceWindow(recorder.hwnd(), FALSE);

    SetFilters(L"old", L"old", L"old", L"old highlight", L"old", 0x1, L"old");
    g_settings.EnableFile = 0;
    FillClientSlot(9, L"App", L"OTHER_App", 0, 1, 1, 0);
    FillClientSlot(10, L"Unnamed", L"OTHER_Unnamed", 1, 1, 1, 1);
    const std::wstring p = WriteProfile(L"load.pfl", L"0");
    const int syncsBefore = ToolbarSyncs();

    ASSERT_EQ(tracewnd_LoadProfile(window_->hwnd(), p.c_str()), 1);
    traceapi_SetTraceWindow(nullptr, FALSE);

    const ServerSettings& s = g_settings;
    EXPECT_STREQ(s.IncludeFilter, L"pin");
    EXPECT_STREQ(s.ExcludeFilter, L"pex");
    EXPECT_STREQ(s.SpecialFilter, L"psp");
    EXPECT_STREQ(s.HighlightFilter, L"") << "a key missing from the profile clears the setting";
    EXPECT_EQ(s.MarkHighlight, 1);
    EXPECT_STREQ(s.TriggerFilter, L"ptr");
    EXPECT_EQ(s.TriggerFlags, 6u);
    EXPECT_STREQ(s.TriggerExec, L"p.cmd");
    EXPECT_EQ(s.EnableFile, 1);
    EXPECT_EQ(kv::g_region.globalEnable, 0);
    EXPECT_STREQ(tracewnd_FirstFilterListEntry(), L"psp") << "the new filters apply at once";

    // Level switches of every used slot come from the profile now; the server entry's
    // switches override the clients' own as at registration.
    const TRACEAPP& server = kv::g_region.apps[0];
    EXPECT_EQ(server.EnableWarning, 1);
    EXPECT_EQ(server.EnableError, 0);
    const TRACEAPP& app = kv::g_region.apps[9];
    EXPECT_EQ(app.EnableDiag, 1);
    EXPECT_EQ(app.EnableInfo, 0);
    EXPECT_EQ(app.EnableWarning, 1) << "the server entry's warning switch overrides";
    EXPECT_EQ(app.EnableError, 1);
    const TRACEAPP& unnamed = kv::g_region.apps[10];
    EXPECT_EQ(unnamed.EnableDiag, 0) << "a section the profile lacks reads as off";
    EXPECT_EQ(unnamed.EnableError, 0);

    EXPECT_EQ(CurrentProfile(), p);
    EXPECT_EQ(std::wstring(s.LastProfileDir), work_.path());

    // The window hears of it: the selection-change command, the tool bar, the title.
    ASSERT_FALSE(window_->commands().empty());
    EXPECT_EQ(window_->commands().back().first, MAKEWPARAM(0, 1));
    EXPECT_GT(ToolbarSyncs(), syncsBefore);
    EXPECT_EQ(window_->Title(),
              L"VANTORA KV Trace Server - Filter:  Include='pin' Exclude='pex' FilterList='psp'"
              L" Trigger='ptr' (Flags:0x6, Exec:'p.cmd')");

    bool announced = false;
    for (const auto& r : recorder.OfKind(WM_TRACE_OUTPUT)) {
        if (r.text == L"New Profile '" + p + L"' loaded") {
            announced = true;
            EXPECT_EQ(r.func, L"tracewnd_LoadProfile");
            EXPECT_EQ(static_cast<short>(r.lParam), -1);
        }
    }
    EXPECT_TRUE(announced) << "the load is reported as an operator line";
}

TEST_F(Profiles, GlobalSwitchesMissingFromTheProfileKeepTheirValues) {
    const std::wstring p = work_.file(L"sparse.pfl");
    WriteKey(p, L"Filter", L"IncludeFilter", L"only");
    g_settings.EnableFile = 1;
    kv::g_region.globalEnable = 1;
    ASSERT_EQ(tracewnd_LoadProfile(window_->hwnd(), p.c_str()), 1);
    EXPECT_EQ(g_settings.EnableFile, 1);
    EXPECT_EQ(kv::g_region.globalEnable, 1);
    EXPECT_EQ(kv::g_region.apps[0].EnableError, 1) << "without RivivEda the server entry falls back to error only";
}

TEST_F(Profiles, ProfileWithModeOneIsRefusedAndNothingChanges) {
    SetFilters(L"keep", L"", L"", L"", L"", 0x4, L"");
    g_settings.EnableFile = 0;
    FillClientSlot(9, L"App", L"OTHER_App", 0, 1, 1, 0);
    const std::wstring current = work_.file(L"current.pfl");
    tracewnd_SetProfile(current.c_str());
    const std::wstring p = WriteProfile(L"mode1.pfl", L"1");
    const ServerSettings before = g_settings;
    const TRACEAPP appBefore = kv::g_region.apps[9];

    EXPECT_EQ(tracewnd_LoadProfile(window_->hwnd(), p.c_str()), 0);

    EXPECT_EQ(memcmp(&before, &g_settings, sizeof(before)), 0) << "the settings changed";
    EXPECT_EQ(memcmp(&appBefore, &kv::g_region.apps[9], sizeof(TRACEAPP)), 0) << "the level switches changed";
    EXPECT_EQ(kv::g_region.globalEnable, 1);
    EXPECT_EQ(CurrentProfile(), current);
    EXPECT_TRUE(window_->commands().empty());
}

TEST_F(Profiles, MissingProfileFileIsRefusedAndNothingChanges) {
    SetFilters(L"keep", L"ex", L"", L"", L"", 0, L"");
    const ServerSettings before = g_settings;
    EXPECT_EQ(tracewnd_LoadProfile(window_->hwnd(), work_.file(L"not-there.pfl").c_str()), 0);
    EXPECT_EQ(tracewnd_LoadProfile(window_->hwnd(), work_.path().c_str()), 0) << "a directory is no profile";
    EXPECT_EQ(memcmp(&before, &g_settings, sizeof(before)), 0);
    EXPECT_EQ(CurrentProfile(), L"");
}

TEST_F(Profiles, QuotedPathIsLoadedFromTheFileBetweenTheQuotes) {
    const std::wstring p = WriteProfile(L"quoted.pfl", L"0");
    ASSERT_EQ(tracewnd_LoadProfile(window_->hwnd(), (L"\"" + p + L"\"").c_str()), 1);
    EXPECT_STREQ(g_settings.IncludeFilter, L"pin");
    EXPECT_EQ(CurrentProfile(), p);
}

// --- the current profile -------------------------------------------------------------

TEST_F(Profiles, CurrentProfileDropsQuotesAndKeepsAtMost259Characters) {
    const std::wstring dir = L"C:\\profiles\\";
    tracewnd_SetProfile((L"\"" + dir + L"a.pfl\"").c_str());
    EXPECT_EQ(CurrentProfile(), dir + L"a.pfl");
    EXPECT_STREQ(g_settings.LastProfileDir, L"C:\\profiles");

    tracewnd_SetProfile((dir + L"b.pfl\"").c_str());
    EXPECT_EQ(CurrentProfile(), dir + L"b.pfl") << "a trailing quote alone is dropped as well";

    std::wstring longPath = dir;
    while (longPath.size() < 300) longPath += L"x";
    tracewnd_SetProfile(longPath.c_str());
    EXPECT_EQ(CurrentProfile(), longPath.substr(0, 259));
    tracewnd_SetProfile((L"\"" + longPath + L"\"").c_str());
    EXPECT_EQ(CurrentProfile(), longPath.substr(0, 259));

    tracewnd_SetProfile(L"\"");
    EXPECT_EQ(CurrentProfile(), L"");
    EXPECT_STREQ(g_settings.LastProfileDir, L"C:\\profiles") << "no profile leaves the dialogs' directory";
    tracewnd_SetProfile(dir.c_str());
    tracewnd_SetProfile(L"");
    EXPECT_EQ(CurrentProfile(), L"");
}

TEST_F(Profiles, RelativeProfileNameMeansTheCurrentDirectory) {
    wchar_t saved[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(::SetCurrentDirectoryW(work_.path().c_str()));
    const std::wstring p = WriteProfile(L"relative.pfl", L"0");
    const int loaded = tracewnd_LoadProfile(window_->hwnd(), L"relative.pfl");
    ::SetCurrentDirectoryW(saved);

    EXPECT_EQ(loaded, 1);
    EXPECT_STREQ(g_settings.IncludeFilter, L"pin");
    // Every process finds the same file through the shared path.
    EXPECT_EQ(CurrentProfile(), p);
}

TEST_F(Profiles, FileDialogsStartInTheProfileDirectoryAndCancelChangesNothing) {
    kv::CopyCut(g_settings.LastProfileDir, MAX_PATH, work_.path().c_str());
    SetFilters(L"mine", L"", L"", L"", L"", 0, L"");

    EXPECT_EQ(tracewnd_LoadProfile(window_->hwnd(), nullptr), 0);
    tracewnd_SaveProfile(window_->hwnd(), nullptr);
    EXPECT_STREQ(g_settings.IncludeFilter, L"mine");
    EXPECT_EQ(CurrentProfile(), L"");

    ASSERT_EQ(g_dialogCalls.size(), 2u);
    const DialogCall& load = g_dialogCalls[0];
    EXPECT_FALSE(load.save);
    EXPECT_EQ(load.owner, window_->hwnd());
    EXPECT_EQ(load.title, L"Load Trace Profile");
    EXPECT_EQ(load.filter, L"Trace Profiles (*.pfl)|*.pfl|");
    EXPECT_EQ(load.initialDir, work_.path());
    EXPECT_EQ(load.defExt, L"pfl") << "a name typed without extension must show in the *.pfl filter";
    EXPECT_EQ(load.maxFile, 260u);
    EXPECT_TRUE(load.flags & OFN_EXPLORER);
    const DialogCall& save = g_dialogCalls[1];
    EXPECT_TRUE(save.save);
    EXPECT_EQ(save.title, L"Save Trace Profile");
    EXPECT_EQ(save.flags & (OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY),
              static_cast<DWORD>(OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY));

    // A save into another directory moves the next dialog there.
    kvtest::TempDir other;
    g_dialogAnswer = other.file(L"picked.pfl");
    tracewnd_SaveProfile(window_->hwnd(), nullptr);
    EXPECT_EQ(ReadKey(g_dialogAnswer, L"Filter", L"IncludeFilter"), L"mine");
    EXPECT_EQ(CurrentProfile(), g_dialogAnswer);
    g_dialogAnswer.clear();
    tracewnd_LoadProfile(window_->hwnd(), nullptr);
    EXPECT_EQ(g_dialogCalls.back().initialDir, other.path());
    EXPECT_EQ(CurrentProfile(), other.file(L"picked.pfl")) << "a cancelled load keeps the current profile";
}

// --- the check after a settings change -----------------------------------------------

TEST_F(Profiles, CheckKeepsTheProfileWhileFiltersAndTriggerMatchIt) {
    const std::wstring p = WriteProfile(L"check.pfl", L"0");
    auto reload = [&] {
        ASSERT_EQ(tracewnd_LoadProfile(window_->hwnd(), p.c_str()), 1);
        ASSERT_EQ(CurrentProfile(), p);
    };

    reload();
    tracewnd_CheckProfile();
    EXPECT_EQ(CurrentProfile(), p) << "nothing changed";

    g_settings.MarkHighlight = 0;
    g_settings.EnableFile = 0;
    kv::g_region.globalEnable = 1;
    tracewnd_CheckProfile();
    EXPECT_EQ(CurrentProfile(), p) << "Mark and the global switches take no part";

    struct Change {
        const char* what;
        void (*apply)();
    };
    const Change changes[] = {
        {"include", [] { kv::CopyCut(g_settings.IncludeFilter, kFilterChars, L"pin2"); }},
        {"exclude", [] { g_settings.ExcludeFilter[0] = 0; }},
        {"filter list", [] { kv::CopyCut(g_settings.SpecialFilter, kFilterChars, L"PSP"); }},
        {"highlight", [] { kv::CopyCut(g_settings.HighlightFilter, kFilterChars, L"h"); }},
        {"trigger", [] { kv::CopyCut(g_settings.TriggerFilter, kFilterChars, L"ptr "); }},
        {"trigger flags", [] { g_settings.TriggerFlags = 7; }},
        {"trigger command", [] { kv::CopyCut(g_settings.TriggerExec, MAX_PATH, L"q.cmd"); }},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        reload();
        c.apply();
        const int updatesBefore = StatusUpdates();
        tracewnd_CheckProfile();
        EXPECT_EQ(CurrentProfile(), L"");
        EXPECT_GT(StatusUpdates(), updatesBefore) << "the status shows the user's own settings";
    }
}

TEST_F(Profiles, CheckKeepsAProfileWithLongFilters) {
    // Filters longer than 254 characters load in full; an unchanged one must compare equal.
    std::wstring longFilter;
    while (longFilter.size() < 400) longFilter += L"abcdefghij;";
    longFilter.resize(400);
    SetFilters(longFilter.c_str(), L"", L"", L"", L"", 0, L"");
    const std::wstring p = work_.file(L"long.pfl");
    tracewnd_SaveProfile(window_->hwnd(), p.c_str());
    ASSERT_EQ(tracewnd_LoadProfile(window_->hwnd(), p.c_str()), 1);
    ASSERT_EQ(std::wstring(g_settings.IncludeFilter), longFilter);

    tracewnd_CheckProfile();
    EXPECT_EQ(CurrentProfile(), p);
}

TEST_F(Profiles, CheckLeavesAProfileItCannotReadAlone) {
    const std::wstring p = WriteProfile(L"mode2.pfl", L"2");
    tracewnd_SetProfile(p.c_str());
    SetFilters(L"different", L"", L"", L"", L"", 0, L"");
    tracewnd_CheckProfile();
    EXPECT_EQ(CurrentProfile(), p);
}

// --- registration in another process -----------------------------------------------------

TEST_F(Profiles, RegistrationElsewhereReadsLevelSwitchesFromTheCurrentProfile) {
    const std::wstring section = ExeBaseUpper() + L"_ProfApp";
    // The settings file says diagnose only; every helper's unregistration writes its
    // switches back there, so it is set again before each run.
    auto settingsSayDiagOnly = [&] {
        const std::wstring f = SettingsFile();
        WriteKey(f, section.c_str(), L"EnableDiag", L"1");
        WriteKey(f, section.c_str(), L"EnableInfo", L"0");
        WriteKey(f, section.c_str(), L"EnableWarning", L"0");
        WriteKey(f, section.c_str(), L"EnableError", L"0");
    };
    // The profile says info and error, and switches the server entry's error override off.
    const std::wstring p = work_.file(L"levels.pfl");
    WriteKey(p, L"Global", L"Mode", L"0");
    WriteKey(p, L"RivivEda", L"EnableError", L"0");
    WriteKey(p, section.c_str(), L"EnableInfo", L"1");
    WriteKey(p, section.c_str(), L"EnableError", L"1");
    ASSERT_EQ(tracewnd_LoadProfile(window_->hwnd(), p.c_str()), 1);

    settingsSayDiagOnly();
    kvtest::ProcessResult r = kvtest::RunHelper(L"RegisterAndReportSwitches", {L"ProfApp"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 2u | 8u) << "info and error from the profile";
    EXPECT_EQ(ReadKey(SettingsFile(), section.c_str(), L"EnableInfo"), L"1")
        << "unregistration writes the switches it had into the settings file";

    // A profile that may not be read leaves the settings file in charge; the server
    // entry's error switch then defaults to on and overrides.
    WriteKey(p, L"Global", L"Mode", L"1");
    settingsSayDiagOnly();
    r = kvtest::RunHelper(L"RegisterAndReportSwitches", {L"ProfApp"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1u | 8u) << "diagnose from the settings file";

    // Without a current profile, the settings file as well.
    WriteKey(p, L"Global", L"Mode", L"0");
    tracewnd_SetProfile(nullptr);
    settingsSayDiagOnly();
    r = kvtest::RunHelper(L"RegisterAndReportSwitches", {L"ProfApp"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1u | 8u);
}

}  // namespace

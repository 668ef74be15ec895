// The settings dialog driven as a user would: it runs on a thread of its own, the test
// finds its controls, types, clicks and reads the results back from the controls, the
// settings record and the settings file.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client/region.h"
#include "kvtest.h"
#include "operator_fixture.h"
#include "resources/settings_dialog.h"
#include "server/filters.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "settings/serversettings.h"
#include "settings/settingsdialog.h"
#include "window/operator.h"

namespace {

// What the dialog's seams saw: written on the dialog thread inside a send the test
// thread waits for, read on the test thread afterwards.
std::vector<std::wstring> g_questions, g_launches;  // "text|title|type"; command lines started
int g_answer, g_splits, g_unlocked;  // g_unlocked: the data mutex was free in the middle of OK's writes
bool g_control;

int WINAPI AnswerQuestion(HWND, LPCWSTR text, LPCWSTR title, UINT type) {
    g_questions.push_back(std::wstring(text) + L"|" + title + L"|" + std::to_wstring(type));
    return g_answer;
}
int RecordLaunch(const wchar_t* command, int) { return g_launches.push_back(command), 1; }
void CountSplit() {
    ++g_splits;
    std::thread([] {
        const DWORD r = ::WaitForSingleObject(kv::g_proc.dataMutex, 0);
        if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) g_unlocked += ::ReleaseMutex(kv::g_proc.dataMutex) ? 1 : 0;
    }).join();
}
SHORT WINAPI KeyState(int key) { return key == VK_CONTROL && g_control ? static_cast<SHORT>(0x8000) : 0; }

class SettingsDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        kv::ProcessAttach(::GetModuleHandleW(nullptr));
        ServerSettings_SetDefaults(g_settings, L"C:\\suite\\tmp");
        g_settings.HistoryDays = 0;
        g_questions.clear();
        g_launches.clear();
        g_splits = g_unlocked = 0;
        g_answer = IDYES;
        g_control = false;
        kv::SettingsDialogSeam() = {CountSplit, nullptr, AnswerQuestion, KeyState};
        tracewnd_SetTriggerLaunchForTesting(RecordLaunch);
        wcscpy(kv::g_proc.settingsPath, ini_.c_str());
    }
    void TearDown() override { tracewnd_SetTriggerLaunchForTesting(nullptr); }
    // The dialog as the window opens it (the server's filters and trigger behind it) on
    // the focused row of the stand-in trace window.
    static int Edit() {
        tracewnd_EditSettings(nullptr);
        return IDOK;
    }
    void Ini(const wchar_t* section, const std::wstring& key, const std::wstring& value) {
        ::WritePrivateProfileStringW(section, key.c_str(), value.c_str(), ini_.c_str());
    }
    std::wstring Read(const wchar_t* section, const std::wstring& key) {
        wchar_t buf[1024];
        ::GetPrivateProfileStringW(section, key.c_str(), L"<absent>", buf, 1024, ini_.c_str());
        return buf;
    }

    // Runs drive on the test thread while the dialog (or what open opens) runs on a
    // thread of its own; a dialog drive left open is cancelled. Returns its result.
    int Run(const std::function<void(HWND)>& drive, const std::function<int()>& open = nullptr) {
        int result = -1;
        bool done = false;
        std::thread runner([&] {
            result = open ? open() : tracewnd_SettingsDialog(::GetModuleHandleW(nullptr), nullptr, ini_.c_str(), L"selected text");
            done = true;
        });
        // The dialog is shown once its initialisation is over.
        kvtest::PumpUntil([&] {
            dialog_ = ::FindWindowW(L"#32770", L"VANTORA Trelvan Trace Server: Settings");
            return done || (dialog_ && ::IsWindowVisible(dialog_));
        }, 30000);
        EXPECT_NE(nullptr, dialog_) << "the dialog did not open";
        if (dialog_) {
            drive(dialog_);
            if (!done && ::IsWindow(dialog_)) ::PostMessageW(dialog_, WM_COMMAND, IDCANCEL, 0);
        }
        kvtest::PumpUntil([&] { return done; }, 30000);
        runner.join();
        return result;
    }

    HWND Item(int id) const { return ::GetDlgItem(dialog_, id); }
    void Click(int id) const { ::SendMessageW(Item(id), BM_CLICK, 0, 0); }
    bool IsChecked(int id) const { return ::SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
    bool IsEnabled(int id) const { return ::IsWindowEnabled(Item(id)) != FALSE; }
    void Type(int id, const wchar_t* text) const { ::SetWindowTextW(Item(id), text); }
    std::wstring Text(int id) const {
        wchar_t buf[1024] = {};
        ::GetWindowTextW(Item(id), buf, 1024);
        return buf;
    }
    std::vector<std::wstring> Entries(int id) const {
        std::vector<std::wstring> out;
        for (int i = 0, n = static_cast<int>(::SendMessageW(Item(id), CB_GETCOUNT, 0, 0)); i < n; ++i) {
            wchar_t buf[1024] = {};
            ::SendMessageW(Item(id), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buf));
            out.push_back(buf);
        }
        return out;
    }

    kvtest::TempDir dir_;
    std::wstring ini_ = dir_.file(L"KVTRCSRV.ini");
    HWND dialog_ = nullptr;
};

using List = std::vector<std::wstring>;

// Test runs the command as typed, as the trigger runs its commands; Cancel writes
// nothing, even after Test.
TEST_F(SettingsDialogTest, HistoriesFieldsAndTheTestButton) {
    wcscpy(g_settings.IncludeFilter, L"cur");
    wcscpy(g_settings.TriggerExec, L"old command");
    g_settings.TriggerFlags = kTriggerExecute;
    tracewnd_SplitFilters();  // "old command" is the trigger's command now
    optest::Fill({L"selected text"});
    optest::Select(optest::MainList(), 0);
    wcscpy(g_settings.HighlightFilter, L"ZZZ");
    g_settings.MaxEntries = 1234;
    g_settings.HistoryDays = 9;
    for (auto [n, v] : {std::pair{1, L"one"}, {2, L"two"}, {4, L"four"}}) Ini(L"Filter", L"LastIncludeFilter" + std::to_wstring(n), v);
    for (int n = 1; n <= 30; ++n) Ini(L"Filter", L"LastExcludeFilter" + std::to_wstring(n), L"e" + std::to_wstring(n));
    int n = 1;
    for (const wchar_t* v : {L"ABC", L"abc", L"Def", L"zzz"}) Ini(L"Filter", L"LastHighlightFilter" + std::to_wstring(n++), v);
    Ini(L"Filter", L"LastTriggerFilter1", std::wstring(300, L'x'));
    const std::string before = kvtest::ReadBytes(ini_);

    Run([&](HWND dialog) {
        EXPECT_EQ((List{L"cur", L"one", L"two"}), Entries(IDC_SET_INCLUDE)) << "key 3 missing ends the history";
        const List exclude = Entries(IDC_SET_EXCLUDE);
        ASSERT_EQ(25u, exclude.size()) << "the current value and 24 history keys";
        EXPECT_EQ(L"", exclude[0]);
        EXPECT_EQ(L"e24", exclude[24]);
        EXPECT_EQ((List{L"ZZZ", L"ABC", L"Def"}), Entries(IDC_SET_HIGHLIGHT)) << "case-insensitive duplicates dropped";
        const List trigger = Entries(IDC_SET_TRIGGER);
        ASSERT_EQ(2u, trigger.size());
        EXPECT_EQ(std::wstring(kHistoryValueChars - 1, L'x'), trigger[1]) << "a long value is cut";
        EXPECT_EQ(L"cur", Text(IDC_SET_INCLUDE));
        EXPECT_EQ(L"selected text", Text(IDC_SET_SELECTED));
        EXPECT_EQ(L"1234", Text(IDC_SET_MAXLINES));
        EXPECT_EQ(L"9", Text(IDC_SET_HISTORY));
        EXPECT_EQ(L"C:\\suite\\tmp", Text(IDC_SET_FILEDIR));
        Type(IDC_SET_EXECCMD, L"new command");
        Click(IDC_SET_TEST);
        EXPECT_TRUE(::IsWindow(dialog)) << "the dialog stays open";
        Click(IDCANCEL);
    }, Edit);
    EXPECT_EQ(before, kvtest::ReadBytes(ini_));
    EXPECT_EQ((std::vector<std::wstring>{L"NEW COMMAND"}), g_launches);
    EXPECT_EQ(L"old command", std::wstring(g_settings.TriggerExec));
}

TEST_F(SettingsDialogTest, OkWritesFiltersHistoriesAndTheTrigger) {
    wcscpy(g_settings.IncludeFilter, L"abc");
    wcscpy(g_settings.TriggerFilter, L"boom");
    wcscpy(g_settings.TriggerExec, L"cmd.exe /c echo");
    g_settings.TriggerFlags = kTriggerStopTrace | kTriggerExecute | kTriggerOnce;
    Ini(L"Filter", L"LastIncludeFilter1", L"abc");
    Ini(L"Filter", L"LastIncludeFilter2", L"def");
    Ini(L"Filter", L"Stale", L"gone");

    EXPECT_EQ(IDOK, Run([&](HWND) {
        EXPECT_TRUE(IsChecked(IDC_SET_ONCE));
        Type(IDC_SET_MAXLINES, L" 25x");
        Type(IDC_SET_FILEDIR, L"");
        Click(IDOK);
    }));
    const struct { const wchar_t* key; const wchar_t* value; } expected[] = {
        {L"LastIncludeFilter1", L"abc"}, {L"LastIncludeFilter2", L"abc"}, {L"LastIncludeFilter3", L"def"},
        {L"LastIncludeFilter4", L"<absent>"}, {L"LastExcludeFilter1", L"<absent>"}, {L"LastTriggerFilter1", L"boom"},
        {L"LastTriggerFilter2", L"boom"}, {L"IncludeFilter", L""}, {L"TriggerFilter", L"boom"}, {L"Stale", L"<absent>"},
        {L"TriggerFlags", L"26"}, {L"TriggerExec", L"cmd.exe /c echo"}, {L"MarkHighlight", L"0"},
    };
    for (const auto& e : expected) EXPECT_EQ(std::wstring(e.value), Read(L"Filter", e.key)) << kvtest::Narrow(e.key);
    EXPECT_EQ(L"abc", std::wstring(g_settings.IncludeFilter));
    EXPECT_EQ(25, g_settings.MaxEntries);
    EXPECT_EQ(1, g_splits);
    EXPECT_EQ(0, g_unlocked) << "the settings file is written under the data mutex";
    EXPECT_EQ(kTriggerStopTrace | kTriggerExecute | kTriggerOnce, g_settings.TriggerFlags);
    EXPECT_NE(std::wstring::npos, std::wstring(g_settings.FileDir).find(L"\\tmp")) << "an empty directory";

    // The next opening shows each value once.
    EXPECT_EQ(IDCANCEL, Run([&](HWND) { EXPECT_EQ((List{L"abc", L"def"}), Entries(IDC_SET_INCLUDE)); }));
}

TEST_F(SettingsDialogTest, OnceRuleResetAndResetWithControl) {
    wcscpy(g_settings.ExcludeFilter, L"ex");
    Ini(L"Filter", L"LastIncludeFilter1", L"old");
    EXPECT_EQ(IDOK, Run([&](HWND) {
        // Once and Test only with Execute; Execute checks Once, a click on Once only toggles it.
        struct Step { int click; bool onceEnabled, onceChecked, execEnabled; };
        const Step steps[] = {{0, false, false, false}, {IDC_SET_STOPTRACE, false, false, false},
                              {IDC_SET_EXECUTE, true, true, true}, {IDC_SET_ONCE, true, false, true},
                              {IDC_SET_EXECUTE, false, false, false}};
        for (const Step& s : steps) {
            if (s.click) Click(s.click);
            EXPECT_EQ(s.onceEnabled, IsEnabled(IDC_SET_ONCE)) << s.click;
            EXPECT_EQ(s.onceChecked, IsChecked(IDC_SET_ONCE)) << s.click;
            EXPECT_EQ(s.execEnabled, IsEnabled(IDC_SET_TEST)) << s.click;
            EXPECT_EQ(s.execEnabled, IsEnabled(IDC_SET_EXECCMD)) << s.click;
        }

        // Reset: edit fields and trigger boxes empty, lists and the General group stay.
        Click(IDC_SET_EXECUTE);
        Click(IDC_SET_MARK);
        Type(IDC_SET_INCLUDE, L"typed");
        Type(IDC_SET_MAXLINES, L"77");
        Click(IDC_SET_RESET);
        EXPECT_EQ(L"", Text(IDC_SET_INCLUDE));
        EXPECT_EQ((List{L"", L"old"}), Entries(IDC_SET_INCLUDE));
        for (int id : {IDC_SET_MARK, IDC_SET_STOPTRACE, IDC_SET_EXECUTE, IDC_SET_ONCE}) EXPECT_FALSE(IsChecked(id)) << id;
        EXPECT_FALSE(IsEnabled(IDC_SET_ONCE) || IsEnabled(IDC_SET_TEST) || IsEnabled(IDC_SET_EXECCMD));
        EXPECT_EQ(L"77", Text(IDC_SET_MAXLINES));

        // With Ctrl the lists go as well; OK then writes each history from its edit alone.
        g_control = true;
        Click(IDC_SET_RESET);
        g_control = false;
        EXPECT_TRUE(Entries(IDC_SET_INCLUDE).empty());
        EXPECT_TRUE(Entries(IDC_SET_EXCLUDE).empty());
        Type(IDC_SET_INCLUDE, L"new");
        Click(IDOK);
    }));
    EXPECT_EQ(L"new", Read(L"Filter", L"LastIncludeFilter1"));
    EXPECT_EQ(L"<absent>", Read(L"Filter", L"LastIncludeFilter2"));
    EXPECT_EQ(L"<absent>", Read(L"Filter", L"LastExcludeFilter1"));
    EXPECT_EQ(L"", std::wstring(g_settings.ExcludeFilter));
    EXPECT_EQ(0u, g_settings.TriggerFlags);
}

TEST_F(SettingsDialogTest, HistoryQuestion) {
    struct Case { short old; const wchar_t* typed; int answer; bool asks; bool accepted; short days; };
    const Case cases[] = {
        {0, L"7", IDYES, true, true, 7},      // switching on asks
        {7, L"10", IDNO, false, true, 10},    // lengthening does not
        {10, L"7", IDYES, true, true, 7},     // shortening asks
        {10, L"7", IDNO, true, false, 10},    // ... and No keeps the dialog open with the old value
        {7, L"0", IDNO, false, true, 0},      // switching off does not ask
        {7, L"-3", IDNO, false, true, 0},     // negative counts as 0
        {7, L"40000", IDYES, false, false, 7},  // beyond the setting's range: refused
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.old) + " -> " + kvtest::Narrow(c.typed));
        SetUp();
        g_settings.HistoryDays = c.old;
        g_answer = c.answer;
        Ini(L"Global", L"HistoryDays", std::to_wstring(c.old));
        const int result = Run([&](HWND dialog) {
            Type(IDC_SET_HISTORY, c.typed);
            Click(IDOK);
            if (c.accepted) return;
            EXPECT_TRUE(::IsWindow(dialog));
            EXPECT_EQ(std::to_wstring(c.old), Text(IDC_SET_HISTORY));
            EXPECT_EQ(Item(IDC_SET_HISTORY), kvtest::FocusOf(dialog));
            DWORD from = 1, to = 0;
            ::SendMessageW(Item(IDC_SET_HISTORY), EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
            EXPECT_EQ(0u, from);
            EXPECT_EQ(std::to_wstring(c.old).size(), to) << "the old value selected";
            Click(IDCANCEL);
        });
        EXPECT_EQ(c.accepted ? IDOK : IDCANCEL, result);
        const std::wstring question = L"New history setting will delete trace files older than " + std::wstring(c.typed) +
                                      L" day(s) - are you sure?|VANTORA VO Vedoz Izodoz|" +
                                      std::to_wstring(MB_YESNO | MB_ICONEXCLAMATION);
        EXPECT_EQ(c.asks ? List{question} : List{}, g_questions);
        EXPECT_EQ(c.days, g_settings.HistoryDays);
        EXPECT_EQ(c.accepted ? std::wstring(c.typed) : std::to_wstring(c.old), Read(L"Global", L"HistoryDays"));
    }
}

// Every count change of the filter list view: whether the list lock was held by the
// thread that made it (the view belongs to the test thread, which serves the send).
std::vector<bool> g_filterCountLocked;
WNDPROC g_filterListProc;
LRESULT CALLBACK WatchFilterCount(HWND list, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == LVM_SETITEMCOUNT) {
        const DWORD owner = kv::ListLockOwner();
        g_filterCountLocked.push_back(owner != 0 && owner != ::GetCurrentThreadId());
    }
    return ::CallWindowProcW(g_filterListProc, list, msg, wp, lp);
}

// tracewnd_EditSettings on the stand-in window: the filter list keeps its rows when its
// string is extended and loses them, under the list lock, on any other change.
TEST_F(SettingsDialogTest, FilterListClearedUnlessExtended) {
    optest::Window();
    g_filterListProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
        optest::FilterList(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WatchFilterCount)));
    struct Case { const wchar_t* before; const wchar_t* after; bool kept; };
    const Case cases[] = {{L"abc", L"abc;def", true}, {L"abc", L"def", false}, {L"abc", L"", false}};
    for (const Case& c : cases) {
        wcscpy(g_settings.SpecialFilter, c.before);
        optest::Fill({L"row", L"row"}, L"row");
        g_filterCountLocked.clear();
        Run([&](HWND) {
            EXPECT_EQ(c.before, Text(IDC_SET_FILTERLIST));
            Type(IDC_SET_FILTERLIST, c.after);
            Click(IDOK);
        }, Edit);
        EXPECT_EQ(std::wstring(c.after), std::wstring(g_settings.SpecialFilter));
        EXPECT_EQ(c.kept ? 1 : 0, rowstore_GetCount(kv::Server().filterStore)) << kvtest::Narrow(c.after);
        EXPECT_EQ(c.kept ? std::vector<bool>{} : std::vector<bool>{true}, g_filterCountLocked);
    }
    ::SetWindowLongPtrW(optest::FilterList(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_filterListProc));
}

}  // namespace

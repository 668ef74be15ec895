// Find, marks, the context menu's commands and the trace viewer launch on a stand-in
// trace window with real owner-data list views and row stores.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>

#include <string>

#include "client/region.h"
#include "kvtest.h"
#include "operator_fixture.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/profiles.h"
#include "settings/serversettings.h"
#include "telegram/telegram.h"
#include "window/operator.h"

using optest::g_boxes;

namespace {

class OperatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_boxes.clear();
        optest::g_boxAnswer = IDOK;
        optest::g_beeps = optest::g_saveDialogs = 0;
        kv::g_region.globalEnable = 1;
    }
    static optest::OperatorWindow& W() { return optest::Window(); }
    static bool Key(WPARAM key, bool control = false, bool shift = false) {
        optest::Keys keys(control, shift);
        return tracewnd_OnOperatorKey(W().hwnd(), key);
    }
    // Closes any find dialog and clears the found flag, as Ctrl+F then Escape do.
    static void ResetFind() {
        Key('F', true);
        Key(VK_ESCAPE);
        g_boxes.clear();
    }
    static std::wstring LastBox() { return g_boxes.empty() ? L"" : g_boxes.back().text; }
};

// Runs first: the find text of the process is still empty here.
TEST_F(OperatorTest, FindDialogAndTheSecondF3) {
    W().Fill({L"alpha", L"beta one", L"gamma", L"beta two", L"delta"});
    // F3 without a find text opens the dialog.
    EXPECT_TRUE(Key(VK_F3));
    HWND dialog = tracewnd_FindDialog();
    ASSERT_NE(nullptr, dialog);
    ::SetDlgItemTextW(dialog, 0x480, L"BETA");  // the dialog's search field
    ::SendMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    EXPECT_EQ(1, W().Selected()) << kvtest::Narrow(LastBox());
    EXPECT_EQ(nullptr, tracewnd_FindDialog()) << "a successful search closes the dialog";
    EXPECT_FALSE(::IsWindow(dialog));
    EXPECT_EQ(W().mainList(), ::GetFocus());

    Key(VK_F3);  // the second F3 continues below the found row
    EXPECT_EQ(3, W().Selected());
    Key(VK_F3);  // no further row: the box, and the selection stays
    EXPECT_EQ(3, W().Selected());
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(L"Cannot find string \"BETA\"", g_boxes[0].text);
    EXPECT_EQ(static_cast<UINT>(MB_ICONEXCLAMATION), g_boxes[0].type);
    EXPECT_EQ(L"VANTORA VO Vedoz Izodoz", g_boxes[0].title);
    Key(VK_F3, false, true);  // Shift+F3 goes back up, no wrap-around
    EXPECT_EQ(1, W().Selected());
    Key(VK_F3, false, true);
    EXPECT_EQ(1, W().Selected());
    EXPECT_EQ(2u, g_boxes.size());

    // Upwards from row 0 after a hit in row 0 fails at once.
    ResetFind();
    W().Fill({L"beta first", L"x", L"beta"});
    W().Select(W().mainList(), 1);
    Key(VK_F3, false, true);
    EXPECT_EQ(0, W().Selected());
    Key(VK_F3, false, true);
    EXPECT_EQ(0, W().Selected());
    EXPECT_EQ(L"Cannot find string \"BETA\"", LastBox());

    // The user closing the dialog clears the found flag (F3 starts at the selected row
    // itself) and keeps its options for the next opening.
    Key('F', true);
    dialog = tracewnd_FindDialog();
    ASSERT_NE(nullptr, dialog);
    EXPECT_FALSE(Key('F', true) && tracewnd_FindDialog() != dialog) << "Ctrl+F keeps the open dialog";
    ::SendMessageW(::GetDlgItem(dialog, 0x411), BM_CLICK, 0, 0);  // Match case
    ::SendMessageW(::GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    EXPECT_EQ(nullptr, tracewnd_FindDialog());
    Key(VK_F3);
    EXPECT_EQ(0, W().Selected());
    tracewnd_OnMenuCommand(W().hwnd(), kCmdFind);
    ASSERT_NE(nullptr, tracewnd_FindDialog());
    EXPECT_EQ(BST_CHECKED, ::SendMessageW(::GetDlgItem(tracewnd_FindDialog(), 0x411), BM_GETCHECK, 0, 0));
    EXPECT_TRUE(Key(VK_ESCAPE));
    EXPECT_EQ(nullptr, tracewnd_FindDialog());
}

TEST_F(OperatorTest, FindCaseWholeWordDirection) {
    W().Fill({L"nothing here", L"xxABCyy", L"12 abcd 34", L"12 abc 34", L"tail", L"xabc abcabc abc"});
    struct Case { const wchar_t* text; DWORD flags; int selected; BOOL down; int expected; };
    const Case cases[] = {
        {L"abc", 0, -1, TRUE, 1},
        {L"abc", FR_MATCHCASE, -1, TRUE, 2},
        {L"abc", FR_WHOLEWORD, -1, TRUE, 3},
        {L"ABC", FR_WHOLEWORD | FR_MATCHCASE, -1, TRUE, -1},
        {L"abc", FR_MATCHCASE, 4, FALSE, 3},     // upwards from the selection
        {L"abc", 0, 2, TRUE, 2},                 // a new text starts at the selected row itself
        {L"12", 0, -1, FALSE, 3},                // upwards without selection: from the last row
        {L"function", 0, 4, TRUE, 4},            // every column counts
        {L"MO", FR_WHOLEWORD | FR_MATCHCASE, -1, TRUE, 0},
        {L"xyz", 0, 1, TRUE, -1},
        {L"abc", FR_WHOLEWORD, 4, TRUE, 5},      // the word after two near misses in one cell
        {L"12 abc", FR_WHOLEWORD, -1, TRUE, -1}, // a word never holds a blank
        {L"12 ABC", 0, -1, TRUE, 2},
    };
    for (const Case& c : cases) {
        ResetFind();
        W().Select(W().mainList(), c.selected);
        wchar_t text[kFindTextChars];
        wcscpy(text, c.text);
        FINDREPLACEW record = {};
        record.lStructSize = sizeof(record);
        record.Flags = c.flags;
        record.lpstrFindWhat = text;
        record.wFindWhatLen = kFindTextChars;
        const int found = tracewnd_FindText(W().hwnd(), &record, c.down);
        const std::string what = kvtest::Narrow(c.text) + " flags " + std::to_string(c.flags);
        EXPECT_EQ(c.expected >= 0 ? 1 : 0, found) << what;
        EXPECT_EQ(c.expected >= 0 ? c.expected : c.selected, W().Selected()) << what;
        EXPECT_EQ(c.expected >= 0 ? L"" : L"Cannot find string \"" + std::wstring(c.text) + L"\"", LastBox()) << what;
    }
    // An empty list has nothing to search.
    ResetFind();
    W().Fill({});
    FINDREPLACEW record = {};
    wchar_t text[kFindTextChars] = L"abc";
    record.lpstrFindWhat = text;
    record.wFindWhatLen = kFindTextChars;
    EXPECT_EQ(0, tracewnd_FindText(W().hwnd(), &record, TRUE));
    EXPECT_EQ(L"No items to search", LastBox());
}

TEST_F(OperatorTest, MarkNavigationWrapsAround) {
    W().Fill({L"0", L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8", L"9"});
    const short store = kv::Server().mainStore;
    for (int row : {2, 5, 8}) {
        W().Select(W().mainList(), row);
        Key(VK_F2, true);  // Ctrl+F2 sets the mark
    }
    EXPECT_TRUE(rowstore_IsMarked(store, 5));
    struct Step { bool shift; int expected; };
    const Step steps[] = {{false, 2}, {false, 5}, {true, 2}, {true, 8}, {true, 5}};
    W().Select(W().mainList(), 8);
    for (const Step& s : steps) {
        Key(VK_F2, false, s.shift);
        EXPECT_EQ(s.expected, W().Selected()) << (s.shift ? "Shift+F2" : "F2");
    }
    // F2 clears only the row it leaves; the menu command clears every row.
    W().Select(W().mainList(), 0);
    ListView_SetItemState(W().mainList(), 6, LVIS_SELECTED, LVIS_SELECTED);
    Key(VK_F2);
    EXPECT_EQ((std::vector<int>{2, 6}), W().SelectedRows());
    tracewnd_OnMenuCommand(W().hwnd(), kCmdNextMark);
    EXPECT_EQ((std::vector<int>{5}), W().SelectedRows());

    Key(VK_F2, true);  // Ctrl+F2 on a marked row unmarks it
    EXPECT_FALSE(rowstore_IsMarked(store, 5));
    Key(VK_F2, true, true);  // Ctrl+Shift+F2: all marks go
    EXPECT_EQ(-1, rowstore_NextMark(store, 0));
    // A single marked row that is selected: nothing happens.
    W().Select(W().mainList(), 4);
    tracewnd_OnMenuCommand(W().hwnd(), kCmdToggleMark);
    Key(VK_F2);
    EXPECT_EQ((std::vector<int>{4}), W().SelectedRows());
}

TEST_F(OperatorTest, ContextMenuGreyingAndTracingOnCommands) {
    W().Fill({L"plain text", L"0D05 0107 0712 1E0A 0F00 0003"});
    auto greyed = [](int id) {
        return (::GetMenuState(tracewnd_PrepareContextMenu(), id, MF_BYCOMMAND) & MF_GRAYED) != 0;
    };
    ASSERT_NE(nullptr, tracewnd_PrepareContextMenu());
    struct Case { int tracing; int selected; bool fileGreyed; bool teleGreyed; };
    const Case cases[] = {{1, -1, true, true}, {0, 0, false, true}, {1, 1, true, false}, {0, -1, false, true}};
    for (const Case& c : cases) {
        kv::g_region.globalEnable = c.tracing;
        W().Select(W().mainList(), c.selected);
        EXPECT_EQ(c.fileGreyed, greyed(kCmdSaveList)) << c.tracing;
        EXPECT_EQ(c.fileGreyed, greyed(kCmdDeleteTraceFile)) << c.tracing;
        EXPECT_EQ(c.teleGreyed, greyed(kCmdTeleEncoder)) << c.selected;
        EXPECT_FALSE(greyed(kCmdTraceViewer)) << "the stand-in viewer lies beside the test";
    }
    // With tracing on, Ctrl+S and Ctrl+D only beep.
    kv::g_region.globalEnable = 1;
    EXPECT_TRUE(Key('S', true));
    EXPECT_TRUE(Key('D', true));
    EXPECT_EQ(2, optest::g_beeps);
    EXPECT_EQ(0, optest::g_saveDialogs);
    EXPECT_TRUE(g_boxes.empty());
    kv::g_region.globalEnable = 0;
    Key('S', true);
    EXPECT_EQ(1, optest::g_saveDialogs);
    EXPECT_FALSE(Key('S'));

    // Tele Encoder decodes the selected row.
    static std::wstring caption;
    struct Rec {
        static int WINAPI Box(HWND, LPCWSTR, LPCWSTR text, UINT) { return caption = text, IDOK; }
    };
    tracewnd_SetTelegramMessageBox(Rec::Box);
    W().Select(W().mainList(), 1);
    tracewnd_OnMenuCommand(W().hwnd(), kCmdTeleEncoder);
    tracewnd_SetTelegramMessageBox(nullptr);
    EXPECT_EQ(L"Tele Encoder: Type 13", caption);
}

// Without the viewer on the search path "Trace Viewer" stays greyed: this executable,
// copied to a directory without the stand-in viewer, reports the item's state.
KVTEST_HELPER(ViewerMenuState) {
    tracewnd_InitOperator(nullptr);
    return (::GetMenuState(tracewnd_PrepareContextMenu(), kCmdTraceViewer, MF_BYCOMMAND) & MF_GRAYED) ? 1 : 0;
}

TEST_F(OperatorTest, TraceViewerGreyedWhenNotFound) {
    kvtest::TempDir dir;
    for (const wchar_t* name : {L"operator_test.exe", L"kvdlinkx.dll"})
        ASSERT_TRUE(::CopyFileW((kvtest::ExeDir() + L"\\" + name).c_str(), dir.file(name).c_str(), FALSE));
    const kvtest::ProcessResult away = kvtest::Run(kvtest::Quote(dir.file(L"operator_test.exe")) + L" --kv-helper ViewerMenuState");
    ASSERT_TRUE(away.finished);
    EXPECT_EQ(1u, away.exitCode);
    EXPECT_EQ(0u, kvtest::RunHelper(L"ViewerMenuState").exitCode) << "found beside the test";
}

// The menu opens at the given point and its loop ends when the menu is dismissed.
bool g_menuSeen;
int g_menuTicks;
void CALLBACK DismissMenu(HWND, UINT, UINT_PTR id, DWORD) {
    HWND menu = ::FindWindowW(L"#32768", nullptr);
    g_menuSeen = menu && ::IsWindowVisible(menu);
    if (!g_menuSeen && ++g_menuTicks < 500) return;  // a menu that never shows must not hang the test
    ::KillTimer(nullptr, id);
    ::EndMenu();
}

TEST_F(OperatorTest, ContextMenuOpensAndCloses) {
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 20, DismissMenu);
    tracewnd_OnContextMenu(W().hwnd(), 0, 100, 100);
    ::KillTimer(nullptr, timer);
    EXPECT_TRUE(g_menuSeen);
}

// The keys that lead to the profile and save dialogs (each answered with Cancel).
int g_opened, g_saved;
BOOL WINAPI OpenDialog(OPENFILENAMEW*) { return ++g_opened, FALSE; }
BOOL WINAPI SaveDialog(OPENFILENAMEW*) { return ++g_saved, FALSE; }

TEST_F(OperatorTest, ProfileAndSaveKeys) {
    tracewnd_SetProfileDialogs(OpenDialog, SaveDialog);
    kv::g_region.globalEnable = 0;
    struct Case { WPARAM key; bool control, shift, handled; int opened, saved, saveList; };
    const Case cases[] = {
        {'L', false, true, true, 1, 0, 0},  {'L', false, false, false, 0, 0, 0}, {'S', false, true, true, 0, 1, 0},
        {'S', true, true, true, 0, 1, 0},   {'S', true, false, true, 0, 0, 1},   {'F', false, false, false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        g_opened = g_saved = optest::g_saveDialogs = 0;
        EXPECT_EQ(c.handled, Key(c.key, c.control, c.shift)) << static_cast<char>(c.key) << c.control << c.shift;
        EXPECT_EQ(c.opened, g_opened);
        EXPECT_EQ(c.saved, g_saved);
        EXPECT_EQ(c.saveList, optest::g_saveDialogs);
    }
    tracewnd_SetProfileDialogs(nullptr, nullptr);
}

TEST_F(OperatorTest, DeleteCurrentTraceFileAsksFirst) {
    kvtest::TempDir dir;
    wcscpy(g_settings.FileDir, dir.path().c_str());
    tracewnd_ResetTraceFileForTesting();
    tracewnd_SelectTraceFile();
    const std::wstring file = tracewnd_CurrentTraceFile();
    ASSERT_FALSE(file.empty());
    kvtest::WriteBytes(file, "\xFF\xFE");
    kv::g_region.apps[0].dwLineCount = 7;
    kv::g_region.globalEnable = 0;

    optest::g_boxAnswer = IDCANCEL;
    Key('D', true);
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(L"Delete file \"" + file + L"\" ?", g_boxes[0].text);
    EXPECT_EQ(static_cast<UINT>(MB_OKCANCEL), g_boxes[0].type);
    EXPECT_TRUE(kvtest::FileExists(file));
    EXPECT_EQ(7u, kv::g_region.apps[0].dwLineCount);

    optest::g_boxAnswer = IDOK;
    Key('D', true);
    EXPECT_FALSE(kvtest::FileExists(file));
    EXPECT_EQ(0u, kv::g_region.apps[0].dwLineCount);
    tracewnd_ResetTraceFileForTesting();
}

// The stand-in viewer beside the test records each command line it was started with.
TEST_F(OperatorTest, ViewerCommandLineBothFormsNeverCut) {
    kvtest::TempDir dir;
    const std::wstring record = dir.file(L"viewer.txt");
    ::SetEnvironmentVariableW(L"KV_TRIGGER_RECORD", record.c_str());
    wcscpy(g_settings.FileDir, dir.path().c_str());
    tracewnd_ResetTraceFileForTesting();
    tracewnd_SelectTraceFile();
    const std::wstring file = tracewnd_CurrentTraceFile();

    W().Fill({L"a", L"b"});
    W().AddFilterRow(L"b", 1);
    W().Select(W().filterList(), 0);
    ::SetFocus(W().filterList());
    ASSERT_EQ(W().filterList(), ::GetFocus());
    Key('V', true);  // Ctrl+V: the filter list has the focus and a selected row
    ::SetFocus(W().hwnd());
    tracewnd_OnMenuCommand(W().hwnd(), kCmdTraceViewer);  // no list focused: the file
    ASSERT_TRUE(kvtest::PumpUntil([&] {
        const std::string s = kvtest::ReadBytes(record);
        return std::count(s.begin(), s.end(), '\n') >= 2;
    }, 30000));
    const std::string lines = kvtest::ReadBytes(record);
    const std::string byTime = "1|KVTrcVwr.exe " + kvtest::Narrow(dir.path()) + " /T:MO 10:00:00,00 [00901]\r\n";
    const std::string byFile = "1|KVTrcVwr.exe " + kvtest::Narrow(file) + "\r\n";
    EXPECT_NE(std::string::npos, lines.find(byTime)) << lines;
    EXPECT_NE(std::string::npos, lines.find(byFile)) << lines;

    // A directory too long for the time form gives the file form; too long for that, the
    // bare program. The line never ends inside a path.
    W().Select(W().mainList(), 0);
    ::SetFocus(W().mainList());
    for (size_t dirChars : {200, 225, 250}) {
        const std::wstring longDir = L"C:\\" + std::wstring(dirChars - 3, L'd');
        wcscpy(g_settings.FileDir, longDir.c_str());
        tracewnd_ResetTraceFileForTesting();
        tracewnd_SelectTraceFile();
        const std::wstring expected = dirChars == 200   ? L"KVTrcVwr.exe " + longDir + L" /T:MO 10:00:00,00 [00000]"
                                      : dirChars == 225 ? L"KVTrcVwr.exe " + std::wstring(tracewnd_CurrentTraceFile())
                                                        : L"KVTrcVwr.exe";
        wchar_t command[kViewerCommandChars];
        EXPECT_EQ(static_cast<int>(expected.size()), tracewnd_ViewerCommandLine(command, kViewerCommandChars));
        EXPECT_EQ(expected, std::wstring(command)) << dirChars;
    }
    ::SetEnvironmentVariableW(L"KV_TRIGGER_RECORD", nullptr);
    tracewnd_ResetTraceFileForTesting();
}

}  // namespace

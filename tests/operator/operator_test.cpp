// Find, marks, the context menu's commands, the keys and the trace viewer launch on the
// stand-in trace window of operator_fixture.h.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client/region.h"
#include "kvtest.h"
#include "operator_fixture.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"
#include "telegram/telegram.h"
#include "window/operator.h"
#include "window/tracewnd.h"

namespace {

using namespace optest;

class OperatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_boxes.clear();
        g_boxAnswer = IDOK;
        g_beeps = g_saveDialogs = g_opened = g_saved = 0;
        kv::g_region.globalEnable = 1;
        Window();
    }
    // Closes any find dialog and clears the found flag, as Ctrl+F then Escape do.
    static void ResetFind() {
        Key('F', true);
        Key(VK_ESCAPE);
        g_boxes.clear();
    }
    static std::wstring LastBox() { return g_boxes.empty() ? L"" : g_boxes.back(); }
    static std::wstring NotFound(const std::wstring& text) {
        return L"Cannot find string \"" + text + L"\"|VANTORA VO Vedoz Izodoz|" + std::to_wstring(MB_ICONEXCLAMATION);
    }
    // Points the trace file at dir and returns its name.
    static std::wstring TraceFileIn(const std::wstring& dir) {
        wcscpy(g_settings.FileDir, dir.c_str());
        tracewnd_ResetTraceFileForTesting();
        tracewnd_SelectTraceFile();
        return tracewnd_CurrentTraceFile();
    }
};

// Declared before the other find tests: the find text of the process is still empty here.
TEST_F(OperatorTest, FindDialogAndTheSecondF3) {
    Fill({L"alpha", L"beta one", L"gamma", L"beta two", L"delta"});
    EXPECT_TRUE(Key(VK_F3)) << "F3 without a find text opens the dialog";
    HWND dialog = tracewnd_FindDialog();
    ASSERT_NE(nullptr, dialog);
    ::SetDlgItemTextW(dialog, 0x480, L"BETA");  // the dialog's search field
    ::SendMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    EXPECT_EQ(1, Selected()) << kvtest::Narrow(LastBox());
    EXPECT_EQ(nullptr, tracewnd_FindDialog()) << "a successful search closes the dialog";
    EXPECT_FALSE(::IsWindow(dialog));
    EXPECT_EQ(MainList(), ::GetFocus());
    // F3 continues below the found row, Shift+F3 above it; no wrap-around: the box, and
    // the selection stays.
    struct Step { bool shift; int selected; size_t boxes; };
    const Step steps[] = {{false, 3, 0}, {false, 3, 1}, {true, 1, 1}, {true, 1, 2}};
    for (const Step& s : steps) {
        Key(VK_F3, false, s.shift);
        EXPECT_EQ(s.selected, Selected());
        EXPECT_EQ(s.boxes, g_boxes.size());
    }
    EXPECT_EQ(NotFound(L"BETA"), LastBox());

    // Upwards from row 0 after a hit in row 0 fails at once.
    ResetFind();
    Fill({L"beta first", L"x", L"beta"});
    Select(MainList(), 1);
    Key(VK_F3, false, true);
    EXPECT_EQ(0, Selected());
    Key(VK_F3, false, true);
    EXPECT_EQ(0, Selected());
    EXPECT_EQ(NotFound(L"BETA"), LastBox());

    // The user closing the dialog clears the found flag (F3 starts at the selected row
    // itself). However the dialog closes (Cancel, Escape, a hit), its options (Match
    // case, Match whole word, Up) are there at the next opening.
    Key('F', true);
    dialog = tracewnd_FindDialog();
    ASSERT_NE(nullptr, dialog);
    EXPECT_FALSE(Key('F', true) && tracewnd_FindDialog() != dialog) << "Ctrl+F keeps the open dialog";
    ::SendMessageW(::GetDlgItem(dialog, 0x411), BM_CLICK, 0, 0);
    ::SendMessageW(::GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    EXPECT_EQ(nullptr, tracewnd_FindDialog());
    Key(VK_F3);
    EXPECT_EQ(0, Selected());
    std::vector<int> kept = {0x411};
    for (int option : {0x410, 0x420, 0}) {
        tracewnd_OnMenuCommand(Window(), kCmdFind);
        dialog = tracewnd_FindDialog();
        ASSERT_NE(nullptr, dialog);
        for (int id : kept) EXPECT_EQ(BST_CHECKED, ::IsDlgButtonChecked(dialog, id)) << std::hex << id << " " << option;
        if (!option) break;
        ::SendMessageW(::GetDlgItem(dialog, option), BM_CLICK, 0, 0);
        kept.push_back(option);
        if (option == 0x410) {
            EXPECT_TRUE(Key(VK_ESCAPE));
        } else {
            ::SetDlgItemTextW(dialog, 0x480, L"beta");  // upwards from row 0, whole word, case: row 0
            ::SendMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
        }
        EXPECT_EQ(nullptr, tracewnd_FindDialog()) << option;
    }
    EXPECT_TRUE(Key(VK_ESCAPE));
}

// Rows that reached the store between two updates of the view's count (a flood moves
// the count on once a second) are where Scroll, a click in the filter list and F2 select.
TEST_F(OperatorTest, SelectionLandsOnRowsTheViewDoesNotCountYet) {
    const kv::ServerState& st = kv::Server();
    struct Case { const char* what; void (*act)(); };
    const Case cases[] = {
        {"Scroll on", [] {
             rowstore_SetAutoScroll(kv::Server().mainStore, FALSE);
             ::SendMessageW(Window(), WM_COMMAND, MAKEWPARAM(3, BN_CLICKED), reinterpret_cast<LPARAM>(TraceWindow().scroll));
         }},
        {"click in the filter list", [] { ::SetFocus(FilterList()); Select(FilterList(), 0); }},
        {"F2", [] { rowstore_SetMark(kv::Server().mainStore, 5, TRUE); Select(MainList(), 0); Key(VK_F2); }},
    };
    for (const Case& c : cases) {
        Fill({L"0", L"1", L"2", L"3", L"new 4", L"new 5"}, L"new 5", 2);
        ASSERT_EQ(4, ListView_GetItemCount(MainList()));
        c.act();
        EXPECT_EQ(std::vector<int>{5}, SelectedRows()) << c.what;
    }
    rowstore_SetAutoScroll(st.mainStore, FALSE);
    ::SetFocus(Window());
}

TEST_F(OperatorTest, FindCaseWholeWordDirection) {
    const std::vector<std::wstring> rows = {L"nothing here", L"xxABCyy", L"12 abcd 34", L"12 abc 34", L"tail", L"xabc abcabc abc"};
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
        {L"abc", 0, -1, TRUE, -2},               // an empty list has nothing to search
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.text) + " flags " + std::to_string(c.flags));
        ResetFind();
        Fill(c.expected == -2 ? std::vector<std::wstring>{} : rows);
        Select(MainList(), c.selected);
        wchar_t text[kFindTextChars];
        wcscpy(text, c.text);
        FINDREPLACEW record = {sizeof(record)};
        record.Flags = c.flags;
        record.lpstrFindWhat = text;
        record.wFindWhatLen = kFindTextChars;
        EXPECT_EQ(c.expected >= 0 ? 1 : 0, tracewnd_FindText(Window(), &record, c.down));
        EXPECT_EQ(c.expected >= 0 ? c.expected : c.selected, Selected());
        EXPECT_EQ(c.expected >= 0    ? L""
                  : c.expected == -1 ? NotFound(c.text)
                                     : L"No items to search|VANTORA VO Vedoz Izodoz|" + std::to_wstring(MB_ICONEXCLAMATION),
                  LastBox());
    }
}

TEST_F(OperatorTest, MarkNavigationWrapsAround) {
    Fill({L"0", L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8", L"9"});
    const short store = kv::Server().mainStore;
    for (int row : {2, 5, 8}) {
        Select(MainList(), row);
        Key(VK_F2, true);  // Ctrl+F2 sets the mark
    }
    EXPECT_TRUE(rowstore_IsMarked(store, 5));
    struct Step { bool shift; int expected; };
    const Step steps[] = {{false, 2}, {false, 5}, {true, 2}, {true, 8}, {true, 5}};
    Select(MainList(), 8);
    for (const Step& s : steps) {
        Key(VK_F2, false, s.shift);
        EXPECT_EQ(s.expected, Selected()) << (s.shift ? "Shift+F2" : "F2");
    }
    // F2 clears only the row it leaves; the menu command clears every row.
    Select(MainList(), 0);
    ListView_SetItemState(MainList(), 6, LVIS_SELECTED, LVIS_SELECTED);
    Key(VK_F2);
    EXPECT_EQ((std::vector<int>{2, 6}), SelectedRows());
    tracewnd_OnMenuCommand(Window(), kCmdNextMark);
    EXPECT_EQ((std::vector<int>{5}), SelectedRows());

    Key(VK_F2, true);  // Ctrl+F2 on a marked row unmarks it
    EXPECT_FALSE(rowstore_IsMarked(store, 5));
    Key(VK_F2, true, true);  // Ctrl+Shift+F2: all marks go
    EXPECT_EQ(-1, rowstore_NextMark(store, 0));
    // A single marked row that is selected: nothing happens.
    Select(MainList(), 4);
    tracewnd_OnMenuCommand(Window(), kCmdToggleMark);
    Key(VK_F2);
    EXPECT_EQ((std::vector<int>{4}), SelectedRows());
}

int WINAPI RecordTelegram(HWND, LPCWSTR, LPCWSTR caption, UINT) { return g_boxes.push_back(caption), IDOK; }

TEST_F(OperatorTest, ContextMenuGreyingAndTheTeleEncoder) {
    Fill({L"plain text", L"0D05 0107 0712 1E0A 0F00 0003"});
    auto greyed = [](int id) { return (::GetMenuState(tracewnd_PrepareContextMenu(), id, MF_BYCOMMAND) & MF_GRAYED) != 0; };
    ASSERT_NE(nullptr, tracewnd_PrepareContextMenu());
    struct Case { int tracing; int selected; bool fileGreyed; bool teleGreyed; };
    const Case cases[] = {{1, -1, true, true}, {0, 0, false, true}, {1, 1, true, false}, {0, -1, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE("tracing " + std::to_string(c.tracing) + " row " + std::to_string(c.selected));
        kv::g_region.globalEnable = c.tracing;
        Select(MainList(), c.selected);
        EXPECT_EQ(c.fileGreyed, greyed(kCmdSaveList));
        EXPECT_EQ(c.fileGreyed, greyed(kCmdDeleteTraceFile));
        EXPECT_EQ(c.teleGreyed, greyed(kCmdTeleEncoder));
    }
    // Tele Encoder decodes the selected row.
    tracewnd_SetTelegramMessageBox(RecordTelegram);
    Select(MainList(), 1);
    tracewnd_OnMenuCommand(Window(), kCmdTeleEncoder);
    tracewnd_SetTelegramMessageBox(nullptr);
    EXPECT_EQ(L"Tele Encoder: Type 13", LastBox());
}

// The keys that lead to the profile and save dialogs (each answered with Cancel); with
// tracing on Ctrl+S and Ctrl+D only beep.
TEST_F(OperatorTest, ProfileSaveAndDeleteKeys) {
    struct Case { WPARAM key; bool control, shift; int tracing; bool handled; int opened, saved, saveList, beeps; };
    const Case cases[] = {
        {'L', false, true, 0, true, 1, 0, 0, 0},   {'L', false, false, 0, false, 0, 0, 0, 0},
        {'S', false, true, 0, true, 0, 1, 0, 0},   {'S', true, true, 0, true, 0, 1, 0, 0},
        {'S', true, false, 0, true, 0, 0, 1, 0},   {'F', false, false, 0, false, 0, 0, 0, 0},
        {'S', false, false, 0, false, 0, 0, 0, 0}, {'S', true, false, 1, true, 0, 0, 0, 1},
        {'D', true, false, 1, true, 0, 0, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(1, static_cast<char>(c.key)) + " ctrl " + std::to_string(c.control) + " shift " +
                     std::to_string(c.shift) + " tracing " + std::to_string(c.tracing));
        g_opened = g_saved = g_saveDialogs = g_beeps = 0;
        kv::g_region.globalEnable = c.tracing;
        EXPECT_EQ(c.handled, Key(c.key, c.control, c.shift));
        EXPECT_EQ(c.opened, g_opened);
        EXPECT_EQ(c.saved, g_saved);
        EXPECT_EQ(c.saveList, g_saveDialogs);
        EXPECT_EQ(c.beeps, g_beeps);
    }
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(OperatorTest, DeleteCurrentTraceFileAsksFirst) {
    kvtest::TempDir dir;
    const std::wstring file = TraceFileIn(dir.path());
    ASSERT_FALSE(file.empty());
    kvtest::WriteBytes(file, "\xFF\xFE");
    kv::g_region.apps[0].dwLineCount = 7;
    kv::g_region.globalEnable = 0;
    for (int answer : {IDCANCEL, IDOK}) {
        g_boxAnswer = answer;
        Key('D', true);
        EXPECT_EQ(L"Delete file \"" + file + L"\" ?|VANTORA VO Vedoz Izodoz|" + std::to_wstring(MB_OKCANCEL), LastBox());
        EXPECT_EQ(answer == IDCANCEL, kvtest::FileExists(file)) << answer;
        EXPECT_EQ(answer == IDCANCEL ? 7u : 0u, kv::g_region.apps[0].dwLineCount) << answer;
    }
    tracewnd_ResetTraceFileForTesting();
}

// Without the viewer on the search path "Trace Viewer" stays greyed: this executable,
// copied to a directory without the stand-in viewer, reports the item's state.
KVTEST_HELPER(ViewerMenuState) {
    tracewnd_InitOperator(nullptr);
    return (::GetMenuState(tracewnd_PrepareContextMenu(), kCmdTraceViewer, MF_BYCOMMAND) & MF_GRAYED) ? 1 : 0;
}

// The stand-in viewer beside the test records each command line it was started with.
TEST_F(OperatorTest, ViewerFoundOrGreyedAndItsCommandLineNeverCut) {
    kvtest::TempDir dir;
    for (const wchar_t* name : {L"operator_test.exe", L"kvdlinkx.dll"})
        ASSERT_TRUE(::CopyFileW((kvtest::ExeDir() + L"\\" + name).c_str(), dir.file(name).c_str(), FALSE));
    const kvtest::ProcessResult away = kvtest::Run(kvtest::Quote(dir.file(L"operator_test.exe")) + L" --kv-helper ViewerMenuState");
    EXPECT_TRUE(away.finished && away.exitCode == 1) << "greyed without the viewer";
    EXPECT_EQ(0u, kvtest::RunHelper(L"ViewerMenuState").exitCode) << "found beside the test";

    const std::wstring record = dir.file(L"viewer.txt");
    ::SetEnvironmentVariableW(L"KV_TRIGGER_RECORD", record.c_str());
    const std::wstring file = TraceFileIn(dir.path());
    Fill({L"a", L"b"}, L"b");
    Select(FilterList(), 0);
    ::SetFocus(FilterList());
    ASSERT_EQ(FilterList(), ::GetFocus());
    Key('V', true);  // Ctrl+V: the filter list has the focus and a selected row
    ::SetFocus(Window());
    tracewnd_OnMenuCommand(Window(), kCmdTraceViewer);  // no list focused: the file
    ASSERT_TRUE(kvtest::PumpUntil([&] {
        const std::string s = kvtest::ReadBytes(record);
        return std::count(s.begin(), s.end(), '\n') >= 2;
    }, 30000));
    const std::string lines = kvtest::ReadBytes(record);
    EXPECT_NE(std::string::npos, lines.find("1|KVTrcVwr.exe " + kvtest::Narrow(dir.path()) + " /T:MO 10:00:00,00 [00901]\r\n"))
        << lines;
    EXPECT_NE(std::string::npos, lines.find("1|KVTrcVwr.exe " + kvtest::Narrow(file) + "\r\n")) << lines;
    ::SetEnvironmentVariableW(L"KV_TRIGGER_RECORD", nullptr);

    // A directory too long for the time form gives the file form; too long for that, the
    // bare program. The line never ends inside a path: 220 characters are the most the
    // time form of 259 holds.
    Select(MainList(), 0);
    ::SetFocus(MainList());
    for (size_t dirChars : {220, 221, 250}) {
        const std::wstring longDir = L"C:\\" + std::wstring(dirChars - 3, L'd');
        const std::wstring longFile = TraceFileIn(longDir);
        const std::wstring expected = dirChars == 220   ? L"KVTrcVwr.exe " + longDir + L" /T:MO 10:00:00,00 [00000]"
                                      : dirChars == 221 ? L"KVTrcVwr.exe " + longFile
                                                        : L"KVTrcVwr.exe";
        wchar_t command[kViewerCommandChars];
        EXPECT_EQ(static_cast<int>(expected.size()), tracewnd_ViewerCommandLine(command, kViewerCommandChars));
        EXPECT_EQ(expected, std::wstring(command)) << dirChars;
    }
    tracewnd_ResetTraceFileForTesting();
}

}  // namespace

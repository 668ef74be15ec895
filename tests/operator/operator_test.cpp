// Operator functions, the settings dialog and edges the real window never reaches, on a stand-in window of this
// process with the two lists and row stores, routed as the trace window routes them; boxes, beeps, dialogs recorded.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include "client/region.h"
#include "kvtest.h"
#include "resources/settings_dialog.h"
#include "server/clock.h"
#include "server/filters.h"
#include "server/intake.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "serverkit.h"
#include "settings/profiles.h"
#include "settings/serversettings.h"
#include "settings/settingsdialog.h"
#include "telegram/telegram.h"
#include "window/operator.h"
#include "window/statusbar.h"
#include "window/tracewnd.h"

namespace {

using List = std::vector<std::wstring>;
const std::wstring kBoxTitle = L"|VANTORA VO Vedoz Izodoz|";

List g_boxes, g_beeps, g_saveDialogs;  // "text|title|type"; the beep's type; "directory|extension|title"
int g_boxAnswer, g_opened, g_saved;
std::wstring g_saveAnswer;  // the file the list's save dialog answers; empty: Cancel
std::unique_ptr<kvtest::RecordingWindow> g_lines;  // receives the lines the functions trace
RECT g_menuAt;  // where the last menu showed; it closes as soon as it waits for input

int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR title, UINT type) {
    return g_boxes.push_back(text + (L"|" + std::wstring(title)) + L"|" + std::to_wstring(type)), g_boxAnswer;
}
BOOL WINAPI RecordBeep(UINT type) { return g_beeps.push_back(std::to_wstring(type)), TRUE; }
BOOL WINAPI RecordSaveDialog(OPENFILENAMEW* ofn) {
    g_saveDialogs.push_back(std::wstring(ofn->lpstrInitialDir) + L"|" + ofn->lpstrDefExt + L"|" + ofn->lpstrTitle);
    return wcscpy(ofn->lpstrFile, g_saveAnswer.c_str()), !g_saveAnswer.empty();
}
BOOL WINAPI OpenDialog(OPENFILENAMEW*) { return ++g_opened, FALSE; }
BOOL WINAPI SaveDialog(OPENFILENAMEW*) { return ++g_saved, FALSE; }

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_ENTERIDLE && wp == MSGF_MENU) return ::GetWindowRect(reinterpret_cast<HWND>(lp), &g_menuAt), ::EndMenu(), 0;
    if (msg == WM_COMMAND) tracewnd_OnCommand(hwnd, LOWORD(wp), reinterpret_cast<HWND>(lp), HIWORD(wp));
    if (msg == WM_NOTIFY) return tracewnd_OnNotify(hwnd, static_cast<int>(wp), reinterpret_cast<NMHDR*>(lp));
    return msg == WM_COMMAND || tracewnd_OnFindMsg(hwnd, msg, lp) ? 0 : ::DefWindowProcW(hwnd, msg, wp, lp);
}

HWND MakeList(HWND parent, int y) {  // rows only: their texts are read from the stores
    return ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA, 0, y, 600, 200, parent, nullptr,
                             nullptr, nullptr);
}

HWND Window() {
    static HWND window = [] {  // lives until the process ends
        kv::ProcessAttach(::GetModuleHandleW(nullptr));
        kv::g_region.globalEnable = 1;
        g_lines = std::make_unique<kvtest::RecordingWindow>(kvtest::Accessors{
            traceapi_GetCurTrcTxt, traceapi_GetCurFuncName, traceapi_GetCurThreadID, traceapi_GetTraceApp, nullptr});
        traceapi_SetTraceWindow(g_lines->hwnd(), FALSE);
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
        ::InitCommonControlsEx(&icc);
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.lpszClassName = L"KvOperatorTestWindow";
        HWND hwnd = ::CreateWindowExW(0, MAKEINTATOM(::RegisterClassW(&wc)), L"operator", WS_OVERLAPPEDWINDOW, 0, 0, 640, 480,
                                      nullptr, nullptr, nullptr, nullptr);
        kv::ServerState& st = kv::Server();
        st.traceWindow = hwnd;
        st.mainStore = rowstore_Create(st.mainList = MakeList(hwnd, 0), rowstore_CompareRows);
        InstallMainListProc(st.mainList);  // the news of trims reaches the store
        st.filterStore = rowstore_Create(st.filterList = MakeList(hwnd, 220), rowstore_CompareRows);
        TraceWindow().scroll =
            ::CreateWindowExW(0, L"Button", L"", WS_CHILD | BS_AUTOCHECKBOX, 0, 440, 50, 20, hwnd, nullptr, nullptr, nullptr);
        ::ShowWindow(hwnd, SW_SHOW);
        ::SetForegroundWindow(hwnd);
        tracewnd_SetOperatorSeams(RecordBox, RecordBeep, RecordSaveDialog);
        tracewnd_SetProfileDialogs(OpenDialog, SaveDialog);
        tracewnd_InitOperator(hwnd);
        return hwnd;
    }();
    return window;
}
HWND MainList() { return kv::Server().mainList; }
HWND FilterList() { return kv::Server().filterList; }

// Main-list rows (time "MO 10:00:00,00 [row]"), the filter list's copy of the last ("[00901]"), uncounted rows last.
void Fill(const List& texts, const std::wstring& filterRow = L"", int uncounted = 0) {
    const kv::ServerState& st = kv::Server();
    auto add = [](short store, const std::wstring& text, int id, int source, bool counted) {
        TraceRow* row = rowstore_NewRow(store);
        wcscpy(row->text = rowstore_NewText(store, static_cast<int>(text.size()) + 1), text.c_str());
        swprintf(row->time, 32, L"MO 10:00:00,00 [%05d]", id);
        wcscpy(row->tag, L"INF"), wcscpy(row->function, L"Function");
        row->sourceIndex = source;
        rowstore_Add(store, row);
        if (counted) rowstore_FlushCount(store);
    };
    rowstore_Clear(st.mainStore), rowstore_Clear(st.filterStore);
    const int n = static_cast<int>(texts.size());
    for (int i = 0; i < n; ++i) add(st.mainStore, texts[i], i, -1, i < n - uncounted);
    if (!filterRow.empty()) add(st.filterStore, filterRow, 901, n - 1, true);
}

std::vector<int> SelectedRows() {
    std::vector<int> rows;
    for (int i = -1; (i = static_cast<int>(::SendMessageW(MainList(), LVM_GETNEXTITEM, i, LVNI_SELECTED))) >= 0;) rows.push_back(i);
    return rows;
}
int Selected() { return static_cast<int>(::SendMessageW(MainList(), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED)); }
void Select(HWND list, int row, bool add = false) {  // only this row selected and focused (-1: none)
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    if (!add) ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    if (row >= 0) ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

// The operator key with Ctrl and Shift held in this thread's key state: true if handled.
bool Key(WPARAM key, bool control = false, bool shift = false) {
    BYTE state[256];
    ::GetKeyboardState(state);
    state[VK_CONTROL] = control ? 0x80 : 0, state[VK_SHIFT] = shift ? 0x80 : 0;
    ::SetKeyboardState(state);
    const bool handled = tracewnd_OnOperatorKey(Window(), key);
    state[VK_CONTROL] = state[VK_SHIFT] = 0;
    return ::SetKeyboardState(state), handled;
}
void Command(int id) { tracewnd_OnMenuCommand(Window(), id); }
std::wstring NotFound(const std::wstring& text) { return L"Cannot find string \"" + text + L"\"" + kBoxTitle + L"48"; }
std::wstring TraceFileIn(const std::wstring& dir) {  // points the trace file at dir and returns its name
    wcscpy(g_settings.FileDir, dir.c_str());
    tracewnd_ResetTraceFileForTesting(), tracewnd_SelectTraceFile();
    return tracewnd_CurrentTraceFile();
}

class OperatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        Select((Window(), MainList()), -1);
        g_boxes.clear(), g_beeps.clear(), g_saveDialogs.clear(), g_saveAnswer.clear(), g_lines->Clear();
        g_boxAnswer = IDOK, g_opened = g_saved = 0, kv::g_region.globalEnable = 1;
    }
};

// First in the file: the find text of the process is still empty here.
TEST_F(OperatorTest, FindDialogF3AndTheOptionsKeptAcrossClosings) {
    Fill({L"alpha", L"beta one", L"gamma", L"beta two", L"delta"});
    HWND dialog = nullptr;
    ASSERT_TRUE(Key(VK_F3) && (dialog = tracewnd_FindDialog()) != nullptr) << "F3 without a find text opens the dialog";
    ::SetDlgItemTextW(dialog, 0x480, L"BETA");  // the dialog's search field
    ::SendMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    EXPECT_EQ(1, Selected());
    EXPECT_TRUE(tracewnd_FindDialog() == nullptr && !::IsWindow(dialog) && MainList() == ::GetFocus()) << "a hit closes the dialog";
    // F3 / Find Next below, Shift+F3 / Find Prev above, no wrap-around (a box, the selection and the focus stay).
    struct Step { std::function<void()> act; int selected; size_t boxes; };
    const Step steps[] = {{[] { Key(VK_F3); }, 3, 0}, {[] { Command(kCmdFindNext); }, 3, 1},
                          {[] { Key(VK_F3, false, true); }, 1, 1}, {[] { ::SetFocus(Window()), Command(kCmdFindPrev); }, 1, 2},
                          {[] { Fill({L"beta first", L"x", L"beta"}), Select(MainList(), 2), Key(VK_F3, false, true); }, 0, 2},
                          {[] { Key(VK_F3, false, true); }, 0, 3}, {[] { Select(MainList(), -1), Key(VK_F3, false, true); }, -1, 4}};
    for (const Step& s : steps) {
        s.act();
        EXPECT_EQ((std::vector<size_t>{size_t(s.selected + 1), s.boxes}), (std::vector<size_t>{size_t(Selected() + 1), g_boxes.size()}))
            << &s - steps;
    }
    EXPECT_TRUE(g_boxes.back() == NotFound(L"BETA") && MainList() == ::GetFocus());
    // Closing the dialog clears the found flag; however it closes, its options are there next time.
    Select(MainList(), 0);
    ASSERT_TRUE(Key('F', true) && (dialog = tracewnd_FindDialog()) != nullptr);
    ::SendMessageW(::GetDlgItem(dialog, 0x411), BM_CLICK, 0, 0);
    ::SendMessageW(::GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    EXPECT_EQ(nullptr, tracewnd_FindDialog());
    Key(VK_F3);
    EXPECT_EQ(0, Selected());
    std::vector<int> kept = {0x411};
    Select(MainList(), 1);
    for (int option : {0x410, 0x420, 0}) {
        Command(kCmdFind);
        ASSERT_NE(nullptr, dialog = tracewnd_FindDialog());
        for (int id : kept) EXPECT_EQ(BST_CHECKED, ::IsDlgButtonChecked(dialog, id)) << std::hex << id << " " << option;
        if (!option) break;
        ::SendMessageW(::GetDlgItem(dialog, option), BM_CLICK, 0, 0);
        kept.push_back(option);
        if (option == 0x410) {
            EXPECT_TRUE(Key(VK_ESCAPE));
        } else {
            ::SetDlgItemTextW(dialog, 0x480, L"beta");  // upwards from row 1, whole word, case: row 0
            ::SendMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
            EXPECT_EQ(0, Selected());
        }
        EXPECT_EQ(nullptr, tracewnd_FindDialog()) << option;
    }
    EXPECT_TRUE(Key(VK_ESCAPE));
    EXPECT_FALSE(Key(VK_ESCAPE)) << "Escape without a dialog is not the operator's";
}

TEST_F(OperatorTest, FindCaseWholeWordDirectionAndTheLimits) {
    // A cell is searched in its first 999 characters (rows 6 and 7), the find text keeps 255 (row 8).
    const List rows = {L"nothing here", L"xxABCyy", L"12 abcd 34", L"12 abc 34", L"tail Ärger", L"xabc abcabc abc",
                       std::wstring(995, L'x') + L"abcd", std::wstring(996, L'x') + L"abcd", std::wstring(255, L'y')};
    const std::wstring longText(300, L'y');
    struct Case { const wchar_t* text; DWORD flags; int selected; BOOL down; int expected; };
    const Case cases[] = {
        {L"abc", 0, -1, TRUE, 1}, {L"abc", FR_MATCHCASE, -1, TRUE, 2}, {L"abc", FR_WHOLEWORD, -1, TRUE, 3},
        {L"ABC", FR_WHOLEWORD | FR_MATCHCASE, -1, TRUE, -1},
        {L"abc", FR_MATCHCASE, 4, FALSE, 3},  // upwards from the selection
        {L"abc", 0, 2, TRUE, 2},              // a new text starts at the selected row itself
        {L"12", 0, -1, FALSE, 3},             // upwards without selection: from the last row
        {L"function", 0, 4, TRUE, 4},         // every column counts
        {L"MO", FR_WHOLEWORD | FR_MATCHCASE, -1, TRUE, 0}, {L"xyz", 0, 1, TRUE, -1},
        {L"abc", FR_WHOLEWORD, 4, TRUE, 5},       // the word after two near misses in one cell
        {L"12 abc", FR_WHOLEWORD, -1, TRUE, -1},  // a word never holds a blank
        {L"12 ABC", 0, -1, TRUE, 2}, {L"bcab", 0, -1, TRUE, 5}, {L"ärger", 0, -1, TRUE, 4},
        {L"ärger", FR_MATCHCASE, -1, TRUE, -1}, {L"xabcd", FR_MATCHCASE, 5, TRUE, 6}, {L"xabcd", FR_MATCHCASE, 7, FALSE, 6},
        {longText.c_str(), 0, 1, TRUE, 8}, {L"abc", 0, -1, TRUE, -2},  // an empty list has nothing to search
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.text) + " flags " + std::to_string(c.flags));
        Key('F', true), Key(VK_ESCAPE), g_boxes.clear();  // no dialog, the found flag cleared
        Fill(c.expected == -2 ? List{} : rows), Select(MainList(), c.selected);
        wchar_t text[400];
        FINDREPLACEW record = {sizeof(record), nullptr, nullptr, c.flags, wcscpy(text, c.text), nullptr, 400};
        EXPECT_EQ(c.expected >= 0 ? 1 : 0, tracewnd_FindText(Window(), &record, c.down));
        EXPECT_EQ(c.expected >= 0 ? c.expected : c.selected, Selected());
        EXPECT_EQ(c.expected >= 0 ? List{} : List{c.expected == -1 ? NotFound(c.text) : L"No items to search" + kBoxTitle + L"48"},
                  g_boxes);
    }
    List many(100, L"x");  // a hit below the page is shown with a quarter page below it
    many[90] = L"far down";
    Fill(many);
    wchar_t text[] = L"far";
    FINDREPLACEW record = {sizeof(record), nullptr, nullptr, 0, text, nullptr, 4};
    ASSERT_EQ(1, tracewnd_FindText(Window(), &record, TRUE));
    const int page = ListView_GetCountPerPage(MainList());
    EXPECT_EQ(90 + page / 4, ListView_GetTopIndex(MainList()) + page - 1) << page;
}

// Rows not yet in the view's count (a flood moves it once a second) are where Scroll, the filter list and F2 select;
// through trims the view hears of later, a copy selected in the focused filter list keeps its row selected.
// Stopped, a header click sorts the main list and empties the filter list; while tracing, nothing.
TEST_F(OperatorTest, SelectionOnRowsTheViewDoesNotCountYetScrollAndSort) {
    const std::function<void()> acts[] = {
        [] { rowstore_SetAutoScroll(kv::Server().mainStore, FALSE), ::SendMessageW(TraceWindow().scroll, BM_CLICK, 0, 0); },
        [] { ::SetFocus(FilterList()), Select(FilterList(), 0); },
        [] { rowstore_SetMark(kv::Server().mainStore, 5, TRUE), Select(MainList(), 0), Key(VK_F2); }};
    for (const auto& act : acts) {
        Fill({L"0", L"1", L"2", L"3", L"new 4", L"new 5"}, L"new 5", 2);
        ASSERT_EQ(4, ListView_GetItemCount(MainList()));
        act();
        EXPECT_EQ(std::vector<int>{5}, SelectedRows()) << &act - acts;
    }
    const short stores[] = {kv::Server().mainStore, kv::Server().filterStore};
    const ServerSettings kept = g_settings;
    g_settings.MaxEntries = 30, g_settings.MaxDelete = 2, wcscpy(g_settings.SpecialFilter, L"LINK"), tracewnd_SplitFilters();
    Fill({});
    auto flood = [](int n, const wchar_t* text) {  // lines taken in on this thread, news delivered as before a paint
        for (int i = 0; i < n; ++i) tracewnd_AddMessage(0, L"Flood", text, 30), kvtest::PumpPending();
    };
    flood(28, L"row"), flood(2, L"LINK"), rowstore_FlushCount(stores[1]), ::SetFocus(FilterList()), Select(FilterList(), 0);
    std::wstring shown;  // the selected main row's time, each time the list is trimmed
    for (int trim = 0; trim < 12; ++trim) {
        flood(2, trim % 3 ? L"row" : L"LINK more");
        RowCopy main, copy;
        rowstore_CopyRow(stores[0], Selected(), &main), rowstore_CopyRow(stores[1], 0, &copy);
        shown += main.row.time == std::wstring(copy.row.time) ? L"=" : L"x";
    }
    EXPECT_EQ(std::wstring(12, L'='), shown) << "the selected copy's row, at every trim";
    g_settings = kept, tracewnd_SplitFilters();
    for (BOOL on : {TRUE, FALSE}) {  // Scroll is one switch for both lists
        EXPECT_EQ(on * 2, rowstore_GetAutoScroll(stores[0]) + rowstore_GetAutoScroll(stores[1]));
        ::SendMessageW(TraceWindow().scroll, BM_CLICK, 0, 0);
    }
    rowstore_SetAutoScroll(stores[0], FALSE);
    ::SetFocus(Window());
    Fill({L"b", L"c", L"a"}, L"a");
    for (int tracing : {1, 0}) {
        kv::g_region.globalEnable = tracing;
        NMLISTVIEW click = {{MainList(), 0, LVN_COLUMNCLICK}, -1, kColText};
        tracewnd_OnNotify(Window(), 0, &click.hdr);
        wchar_t first[8];
        rowstore_GetColumnText(stores[0], 0, kColText, first, 8);
        EXPECT_EQ(tracing ? L"b|1" : L"a|0", first + (L"|" + std::to_wstring(rowstore_GetCount(stores[1]))));
    }
}

// F2 and Shift+F2 clear only the row they leave, the Goto commands every row.
TEST_F(OperatorTest, MarksWrapAroundAndTheWaysToThem) {
    Fill({L"0", L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8", L"9"});
    const short store = kv::Server().mainStore;
    struct Step { std::function<void()> act; std::vector<int> selected; const char* marks; };
    const Step steps[] = {
        {[] { Key(VK_F2, true); }, {}, "----------"},  // no row selected: nothing to mark
        {[] { Select(MainList(), 2), Key(VK_F2, true), Select(MainList(), 5), Key(VK_F2, true); }, {5}, "--M--M----"},
        {[] { Select(MainList(), 8), Command(kCmdToggleMark); }, {8}, "--M--M--M-"},
        {[] { Key(VK_F2); }, {2}, nullptr}, {[] { Key(VK_F2); }, {5}, nullptr},
        {[] { Key(VK_F2, false, true); }, {2}, nullptr}, {[] { Key(VK_F2, false, true); }, {8}, nullptr},
        {[] { Select(MainList(), 0), Select(MainList(), 6, true), Key(VK_F2); }, {2, 6}, nullptr},
        {[] { Command(kCmdNextMark); }, {5}, nullptr},
        {[] { Key(VK_F2, true); }, {5}, "--M-----M-"},
        {[] { Key(VK_F2, true, true); }, {5}, "----------"},
        {[] { rowstore_SetMark(kv::Server().mainStore, 3, TRUE), Command(kCmdClearMarks); }, {5}, "----------"},
        // A single marked row that is selected: nothing happens; without a selection neither.
        {[] { Select(MainList(), 4), Command(kCmdToggleMark), Key(VK_F2), Command(kCmdPrevMark); }, {4}, "----M-----"},
        {[] { Select(MainList(), -1), Key(VK_F2), Command(kCmdNextMark), Command(kCmdToggleMark); }, {}, "----M-----"},
        // Marks on the first and the last row, reached from either side.
        {[] { Command(kCmdClearMarks), Select(MainList(), 0), Key(VK_F2, true), Select(MainList(), 9), Key(VK_F2, true), Select(MainList(), 5), Key(VK_F2); },
         {9}, "M--------M"},
        {[] { Key(VK_F2); }, {0}, nullptr}, {[] { Key(VK_F2, false, true); }, {9}, nullptr},
        {[] { Select(MainList(), 5), Key(VK_F2, false, true); }, {0}, nullptr},
    };
    for (const Step& s : steps) {
        s.act();
        std::string marks;
        for (int row = 0; row < 10; ++row) marks += rowstore_IsMarked(store, row) ? 'M' : '-';
        EXPECT_TRUE(s.selected == SelectedRows() && (!s.marks || marks == s.marks)) << &s - steps << " " << marks;
    }
}

// The application check every 6th tick, the history clean-up every 61st; clock jumps beyond five seconds; + and -.
TEST_F(OperatorTest, TicksClockChangesAndTheListKeys) {
    kvtest::TempDir dir;
    const std::wstring old = dir.file(L"TS200101.txt");
    kvtest::WriteBytes(old, "\xFF\xFE");
    wcscpy(g_settings.FileDir, dir.path().c_str());
    g_settings.HistoryDays = 1, g_settings.SpecialFilter[0] = 0;
    kv::g_region.apps[7].dwProcessId = 0x7FFFFFF0;  // no such process
    TraceWindow().appCheckCounter = TraceWindow().historyCheckCounter = 0;
    for (int tick = 1; tick <= 61; ++tick) {
        tracewnd_OnTimer(Window(), kTickTimerId);
        EXPECT_EQ((std::vector<bool>{tick < 6, tick < 61}), (std::vector<bool>{kv::g_region.apps[7].dwProcessId != 0, kvtest::FileExists(old)}))
            << tick;
    }
    const bool hidden = !::IsWindowVisible(FilterList());  // no filter string; with one, any timer shows the list
    wcscpy(g_settings.SpecialFilter, L"x"), tracewnd_OnTimer(Window(), 1);
    EXPECT_TRUE(hidden && ::IsWindowVisible(FilterList()));
    g_lines->Clear();
    struct Jump { WORD hour, minute, second; bool entry; const wchar_t* line; };
    const Jump jumps[] = {{10, 0, 5, false, nullptr}, {9, 59, 55, false, nullptr}, {10, 0, 6, false, L"+6"},
                          {9, 59, 54, false, L"-6"}, {11, 0, 0, false, L"+3600"}, {11, 0, 0, true, nullptr}};
    List expected;
    for (const Jump& j : jumps) {
        kvtest::SetClock(2026, 3, 2, 10, 0, 0), tracewnd_OnTimer(Window(), kTickTimerId);  // the reference time
        kvtest::SetClock(2026, 3, 2, j.hour, j.minute, j.second);
        if (j.entry) tracewnd_HandleMsg(Window(), WM_TIMECHANGE, 0, 0);
        else TrcWndProc(Window(), WM_TIMECHANGE, 0, 0);
        if (j.line) expected.push_back(L"TrcWndProc|***** SYSTEM TIME CHANGED (" + std::wstring(j.line) + L"s) ***** ");
    }
    kv::ClockSetForTesting(nullptr);
    List lines;  // the traced lines as "function|text"
    for (const auto& r : g_lines->OfKind(WM_TRACE_OUTPUT)) lines.push_back(r.func + L"|" + r.text);
    EXPECT_EQ(expected, lines);
    struct Press { UINT key; int part, after; bool shown; HWND focus, next; };
    const Press presses[] = {{VK_ADD, 3, 2, true}, {VK_ADD, 2, 2, true}, {VK_SUBTRACT, 9, 10, true}, {VK_SUBTRACT, 10, 10, true},
                             {VK_ADD, 5, 5, false}, {VK_SUBTRACT, 5, 5, false}, {VK_TAB, 5, 5, true, MainList(), FilterList()},
                             {VK_TAB, 5, 5, true, FilterList(), MainList()}, {VK_TAB, 5, 5, false, Window(), MainList()},
                             {VK_TAB, 5, 5, false, MainList(), MainList()}};
    for (const Press& p : presses) {
        g_settings.FilterListPart = static_cast<short>(p.part);
        ::ShowWindow(FilterList(), p.shown ? SW_SHOW : SW_HIDE);
        ::SetFocus(p.focus ? p.focus : Window());
        tracewnd_HandleMsg(Window(), WM_KEYDOWN, p.key, 0);
        EXPECT_TRUE(p.after == g_settings.FilterListPart && (p.next ? p.next : ::GetFocus()) == ::GetFocus()) << &p - presses;
    }
    ::ShowWindow(FilterList(), SW_SHOW);
}

// The menu shows at the mouse, or from the keyboard beside the focused row or at the list's corner.
TEST_F(OperatorTest, ContextMenuGreyingPlaceAndTheTeleEncoder) {
    Fill({L"plain text", L"0D05 0107 0712 1E0A 0F00 0003"});
    auto greyed = [](int id) { return (::GetMenuState(tracewnd_PrepareContextMenu(), id, MF_BYCOMMAND) & MF_GRAYED) != 0; };
    struct Case { int tracing, selected; bool fileGreyed, teleGreyed; };
    for (const Case& c : {Case{1, -1, true, true}, {0, 0, false, true}, {1, 1, true, false}, {0, -1, false, true}}) {
        kv::g_region.globalEnable = c.tracing;
        Select(MainList(), c.selected);
        EXPECT_EQ((std::vector<bool>{c.fileGreyed, c.fileGreyed, c.teleGreyed, false, false, false}),
                  (std::vector<bool>{greyed(kCmdSaveList), greyed(kCmdDeleteTraceFile), greyed(kCmdTeleEncoder),
                                     greyed(kCmdTraceViewer), greyed(kCmdFind), greyed(kCmdSettings)})) << c.tracing << c.selected;
    }
    ASSERT_TRUE(kvtest::BringToFront(Window()));
    kvtest::PumpPending();
    Select(MainList(), 1);
    RECT item = {LVIR_BOUNDS};
    ::SendMessageW(MainList(), LVM_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&item));
    POINT row = {item.left + 8, item.bottom}, corner = {8, 8};
    ::ClientToScreen(MainList(), &row), ::ClientToScreen(MainList(), &corner);
    for (POINT at : {POINT{300, 200}, POINT{-1, -1}, POINT{-2, -2}}) {
        if (at.x == -2) Select(MainList(), -1), at = {-1, -1};
        g_menuAt = {};
        tracewnd_OnContextMenu(Window(), 0, at.x, at.y);
        const POINT want = at.x >= 0 ? at : Selected() >= 0 ? row : corner;
        EXPECT_EQ((std::vector<LONG>{want.x, want.y}), (std::vector<LONG>{g_menuAt.left, g_menuAt.top}));
    }
    // Tele Encoder decodes the selected row.
    tracewnd_SetTelegramMessageBox(RecordBox);
    Select(MainList(), 1), Command(kCmdTeleEncoder);
    tracewnd_SetTelegramMessageBox(nullptr);
    EXPECT_EQ(0u, g_boxes.at(0).find(L"Type:\tUnit Update V3\n")) << kvtest::Narrow(g_boxes[0]);
    Fill(List(60, L"x"));
    for (auto [focused, shown] : {std::pair{0, 59}, {19, 20}, {59, 0}}) {  // far above the view, just above it, below it
        Select(MainList(), focused), ListView_EnsureVisible(MainList(), 59, FALSE), ListView_EnsureVisible(MainList(), shown, FALSE);
        g_menuAt = {}, tracewnd_OnContextMenu(Window(), 0, -1, -1);
        EXPECT_EQ((std::vector<LONG>{corner.x, corner.y}), (std::vector<LONG>{g_menuAt.left, g_menuAt.top})) << focused;
    }
}

// With tracing on the file commands beep; the list's save dialog opens where the last list went.
TEST_F(OperatorTest, KeysAndCommandsOfTheDialogsAndTheFileCommands) {
    kvtest::TempDir dir;
    Fill({L"first row", L"second row"});
    wcscpy(g_settings.LastFileDir, dir.path().c_str());
    struct Case { WPARAM key; int control, shift, tracing, handled, opened, saved, saveList, beeps; };
    const Case cases[] = {
        {'L', 0, 1, 0, 1, 1, 0, 0, 0}, {'L', 0, 0, 0, 0, 0, 0, 0, 0}, {'S', 0, 1, 0, 1, 0, 1, 0, 0}, {'S', 1, 1, 0, 1, 0, 1, 0, 0},
        {'S', 1, 0, 0, 1, 0, 0, 1, 0}, {'F', 0, 0, 0, 0, 0, 0, 0, 0}, {'S', 0, 0, 0, 0, 0, 0, 0, 0}, {'S', 1, 0, 1, 1, 0, 0, 0, 1},
        {'D', 1, 0, 1, 1, 0, 0, 0, 1}, {'D', 0, 0, 0, 0, 0, 0, 0, 0}, {'V', 0, 0, 0, 0, 0, 0, 0, 0}, {'X', 1, 1, 0, 0, 0, 0, 0, 0},
        {0, kCmdLoadProfile, 0, 0, 1, 1, 0, 0, 0}, {0, kCmdSaveProfile, 0, 0, 1, 0, 1, 0, 0}, {0, kCmdSaveList, 0, 0, 1, 0, 0, 1, 0},
        {0, kCmdSaveList, 0, 1, 1, 0, 0, 0, 1}, {0, kCmdDeleteTraceFile, 0, 1, 1, 0, 0, 0, 1}, {0, kCmdNone32774, 0, 0, 1, 0, 0, 0, 0},
        {0, kCmdNone32786, 0, 0, 1, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        g_opened = g_saved = 0, g_beeps.clear(), g_saveDialogs.clear(), kv::g_region.globalEnable = c.tracing;
        g_saveAnswer = dir.file(L"list" + std::to_wstring(&c - cases) + L".txt");
        if (c.key) EXPECT_EQ(c.handled != 0, Key(c.key, c.control != 0, c.shift != 0));
        else Command(c.control);
        EXPECT_EQ((std::vector<List>{{std::to_wstring(c.opened) + std::to_wstring(c.saved)}, c.beeps ? List{L"4294967295"} : List{},
                                     c.saveList ? List{dir.path() + L"|txt|Save Trace List"} : List{}}),
                  (std::vector<List>{{std::to_wstring(g_opened) + std::to_wstring(g_saved)}, g_beeps, g_saveDialogs}));
        const List saved = kvtest::ReadLines(g_saveAnswer);
        EXPECT_TRUE(c.saveList ? saved.size() == 2 && saved[1].find(L"second row") != std::wstring::npos : saved.empty());
    }
    EXPECT_TRUE(g_boxes.empty());
}

// Ctrl+V starts the viewer (the recorder beside the test) at the focused list's row; a form too long gives way.
TEST_F(OperatorTest, ViewerCommandLineNeverCut) {
    kvtest::TempDir dir;
    const std::wstring record = dir.file(L"viewer.txt");
    ::SetEnvironmentVariableW(L"KV_TRIGGER_RECORD", record.c_str());
    TraceFileIn(dir.path());
    Fill({L"a", L"b"}, L"b");
    Select(FilterList(), 0), ::SetFocus(FilterList());
    EXPECT_TRUE(Key('V', true));
    const std::string want = "1|KVTrcVwr.exe " + kvtest::Narrow(dir.path()) + " /T:MO 10:00:00,00 [00901]\r\n";
    EXPECT_TRUE(kvtest::PumpUntil([&] { return kvtest::ReadBytes(record) == want; }, 30000)) << kvtest::ReadBytes(record);
    ::SetEnvironmentVariableW(L"KV_TRIGGER_RECORD", nullptr);
    Select(MainList(), 0);
    for (size_t dirChars : {220, 221, 250, 0}) {
        ::SetFocus(dirChars ? MainList() : Window());  // no list focused: the file
        const std::wstring longDir = L"C:\\" + std::wstring(dirChars ? dirChars - 3 : 217, L'd'), longFile = TraceFileIn(longDir);
        const std::wstring expected = dirChars == 220   ? L"KVTrcVwr.exe " + longDir + L" /T:MO 10:00:00,00 [00000]"
                                      : dirChars != 250 ? L"KVTrcVwr.exe " + longFile
                                                        : L"KVTrcVwr.exe";
        wchar_t command[kViewerCommandChars];
        EXPECT_EQ(static_cast<int>(expected.size()), tracewnd_ViewerCommandLine(command, kViewerCommandChars));
        EXPECT_EQ(expected, std::wstring(command)) << dirChars;
    }
    tracewnd_ResetTraceFileForTesting();
}

TEST(WindowParts, LayoutRevealAndStatusTexts) {
    EXPECT_EQ(kv::ComputeLayout(800, 600, 21, 24, true, 4).appList.bottom, 210) << "the application list drops ten bar heights";
    struct Reveal { int row, top, count, perPage, want; };
    static const Reveal reveal[] = {
        {95, 0, 100, 20, 99},  // beyond the third quarter: a quarter page below, cut at the end
        {50, 40, 100, 20, 50}, {55, 40, 100, 20, 55},  // the middle half to the last row of the third quarter: no scrolling
        {41, 40, 100, 20, 36}, {45, 40, 100, 20, 40},   // first quarter, to its last row: a quarter page above
        {2, 0, 100, 20, 0}, {10, 0, 0, 20, 0},          // cut at the start; an empty list
    };
    for (const Reveal& c : reveal) EXPECT_EQ(kv::RevealTarget(c.row, c.top, c.count, c.perPage), c.want) << c.row;
    wchar_t out[kv::kStatusFieldChars];
    SYSTEMTIME t = {2026, 12, 0, 5, 9, 25, 7, 0};
    const std::wstring path = L"C:\\t\\TS261205.txt", longDir = L"C:\\" + std::wstring(200, L'd');
    struct Case { std::function<void()> format; std::wstring want; };
    const Case cases[] = {
        {[&] { kv::FormatClockField(out, t, 3); }, L"KVS 3  05.12.26  09:25:07"},
        {[&] { kv::FormatClockField(out, t, -1); }, L"KVS 65535  05.12.26  09:25:07"},  // the PC number is unsigned
        {[&] { kv::FormatFileField(out, path.c_str(), false, true, 7); }, L"File: " + path + L"(!) (max:7)"},
        {[&] { kv::FormatRowField(out, 0, 0x50000); }, L"1 [1010]"},
        // A path too long for the field's 125 characters is cut in front and keeps its file name.
        {[&] { kv::FormatFileField(out, (longDir + L"\\TS261205.txt").c_str(), true, false, 7); },
         L"File: ..." + std::wstring(94, L'd') + L"\\TS261205.txt* (max:7)"},
        {[&] { kv::FormatProfileField(out, (longDir + L"\\night.pfl").c_str()); }, L"Profile: ..." + std::wstring(103, L'd') + L"\\night.pfl"},
    };
    for (const Case& c : cases) {
        c.format();
        EXPECT_EQ(std::wstring(out), c.want);
    }
}

// What the dialog's seams saw, written inside a send the test thread waits for.
List g_questions, g_launches;  // "text|title|type"; command lines started
int g_answer, g_splits, g_unlocked;  // g_unlocked: the data mutex was free in the middle of OK's writes

int WINAPI AnswerQuestion(HWND, LPCWSTR text, LPCWSTR title, UINT type) {
    return g_questions.push_back(text + (L"|" + std::wstring(title)) + L"|" + std::to_wstring(type)), g_answer;
}
int RecordLaunch(const wchar_t* command, int) { return g_launches.push_back(command), 1; }
void CountSplit() {
    ++g_splits;
    std::thread([] {
        const DWORD r = ::WaitForSingleObject(kv::g_proc.dataMutex, 0);
        if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) g_unlocked += ::ReleaseMutex(kv::g_proc.dataMutex) ? 1 : 0;
    }).join();
}

class SettingsDialogTest : public OperatorTest {
protected:
    void SetUp() override {
        OperatorTest::SetUp();
        ::SetEnvironmentVariableW(L"KV_SUITE_DIR", suite_.path().c_str());
        ::CreateDirectoryW(suite_.file(L"bin").c_str(), nullptr);
        ServerSettings_SetDefaults(g_settings, suite_.file(L"tmp").c_str());
        g_questions.clear(), g_launches.clear(), g_splits = g_unlocked = 0, g_answer = IDYES;
        kv::SettingsDialogSeam() = {CountSplit, nullptr, AnswerQuestion, nullptr};
        tracewnd_SetTriggerLaunchForTesting(RecordLaunch);
        wcscpy(kv::g_proc.settingsPath, ini_.c_str());
    }
    void TearDown() override { tracewnd_SetTriggerLaunchForTesting(nullptr), ::SetEnvironmentVariableW(L"KV_SUITE_DIR", nullptr); }
    void Ini(const wchar_t* section, const std::wstring& key, const std::wstring& value) {
        ::WritePrivateProfileStringW(section, key.c_str(), value.c_str(), ini_.c_str());
    }
    std::wstring Read(const wchar_t* section, const wchar_t* key, const std::wstring& file = L"") {
        wchar_t buf[1024];
        ::GetPrivateProfileStringW(section, key, L"<absent>", buf, 1024, (file.empty() ? ini_ : file).c_str());
        return buf;
    }
    // drive runs while the dialog runs on a thread of its own (the window's edit, or "selected text"); left open, cancelled.
    int Run(const std::function<void(HWND)>& drive, bool edit = false) {
        int result = -1;
        bool done = false;
        std::thread runner([&] {
            result = edit ? (tracewnd_EditSettings(nullptr), IDOK)
                          : tracewnd_SettingsDialog(::GetModuleHandleW(nullptr), nullptr, ini_.c_str(), L"selected text");
            done = true;
        });
        kvtest::PumpUntil([&] {  // the dialog is shown once its initialisation is over
            dialog_ = ::FindWindowW(L"#32770", L"VANTORA Trelvan Trace Server: Settings");
            return done || (dialog_ && ::IsWindowVisible(dialog_));
        }, 30000);
        EXPECT_NE(nullptr, dialog_) << "the dialog did not open";
        if (dialog_) drive(dialog_);
        if (dialog_ && !done && ::IsWindow(dialog_)) ::PostMessageW(dialog_, WM_COMMAND, IDCANCEL, 0);
        kvtest::PumpUntil([&] { return done; }, 30000);
        runner.join();
        return result;
    }
    HWND Item(int id) const { return ::GetDlgItem(dialog_, id); }
    void Click(int id) const { ::SendMessageW(Item(id), BM_CLICK, 0, 0); }
    void Type(int id, const std::wstring& text) const { ::SetWindowTextW(Item(id), text.c_str()); }
    std::wstring Text(int id) const { wchar_t buf[1024] = {}; return ::GetWindowTextW(Item(id), buf, 1024), buf; }
    List Entries(int id) const {
        List out(::SendMessageW(Item(id), CB_GETCOUNT, 0, 0));
        wchar_t buf[1024];
        for (size_t i = 0; i < out.size(); ++i) out[i] = (::SendMessageW(Item(id), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buf)), buf);
        return out;
    }
    // The check boxes and whether each is enabled, as "id:checked enabled" for these ids.
    std::wstring Boxes(std::initializer_list<int> ids) const {
        std::wstring out;
        for (int id : ids)
            out += std::to_wstring(id) + (::SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED ? L":1" : L":0") +
                   (::IsWindowEnabled(Item(id)) ? L"e " : L"- ");
        return out;
    }
    kvtest::TempDir dir_, suite_;
    std::wstring ini_ = dir_.file(L"KVTRCSRV.ini");
    HWND dialog_ = nullptr;
};

// OK writes every key of both files; the filter string keeps 498 characters, a history value 126, 24 history keys.
TEST_F(SettingsDialogTest, OpensWithEverySettingAndOkWritesEveryKey) {
    ServerSettings& s = g_settings;
    wcscpy(s.IncludeFilter, L"cur"), wcscpy(s.HighlightFilter, L"ZZZ"), wcscpy(s.TriggerFilter, L"boom");
    wcscpy(s.TriggerExec, L"old command"), wcscpy(s.FileDir, L"C:\\trace\\files");
    s.TriggerFlags = kTriggerStopScroll | kTriggerStopFile;
    s.StopRivivEda = s.TopMost = 1;
    s.MaxEntries = 1234, s.MaxDelete = -5, s.HistoryDays = 9;
    for (auto [n, v] : {std::pair{1, L"one"}, {2, L"two"}, {4, L"four"}}) Ini(L"Filter", L"LastIncludeFilter" + std::to_wstring(n), v);
    for (int n = 1; n <= 30; ++n) Ini(L"Filter", L"LastExcludeFilter" + std::to_wstring(n), L"e" + std::to_wstring(n));
    int n = 1;
    for (const wchar_t* v : {L"ABC", L"abc", L"Def", L"zzz"}) Ini(L"Filter", L"LastHighlightFilter" + std::to_wstring(n++), v);
    Ini(L"Filter", L"LastTriggerFilter1", std::wstring(300, L'x'));
    Ini(L"Filter", L"Stale", L"gone");
    EXPECT_EQ(IDOK, Run([&](HWND) {
        // Key 3 missing ends a history, case-insensitive duplicates are dropped, a long value is cut.
        EXPECT_EQ((std::vector<List>{{L"cur", L"one", L"two"}, {L"ZZZ", L"ABC", L"Def"}, {L"boom", std::wstring(kHistoryValueChars - 1, L'x')}, {L""}}),
                  (std::vector<List>{Entries(IDC_SET_INCLUDE), Entries(IDC_SET_HIGHLIGHT), Entries(IDC_SET_TRIGGER), Entries(IDC_SET_FILTERLIST)}));
        const List exclude = Entries(IDC_SET_EXCLUDE);
        EXPECT_TRUE(exclude.size() == 25 && exclude[0].empty() && exclude[24] == L"e24") << "the value and 24 history keys";
        EXPECT_EQ((List{L"cur", L"ZZZ", L"selected text", L"1234", L"-5", L"9", L"C:\\trace\\files", L"old command"}),
                  (List{Text(IDC_SET_INCLUDE), Text(IDC_SET_HIGHLIGHT), Text(IDC_SET_SELECTED), Text(IDC_SET_MAXLINES), Text(IDC_SET_DELLINES),
                        Text(IDC_SET_HISTORY), Text(IDC_SET_FILEDIR), Text(IDC_SET_EXECCMD)}));
        EXPECT_EQ(L"1003:0e 1004:1e 1005:1e 1030:0e 1034:1e 1033:0e 1035:1e 1036:0e 1038:0- 1032:0- 1028:0- ",
                  Boxes({IDC_SET_AUTOSTART, IDC_SET_AUTOSTOP, IDC_SET_TOPMOST, IDC_SET_MARK, IDC_SET_STOPSCROLL, IDC_SET_STOPTRACE,
                         IDC_SET_STOPFILE, IDC_SET_EXECUTE, IDC_SET_ONCE, IDC_SET_TEST, IDC_SET_EXECCMD}));
        const std::pair<int, const wchar_t*> typed[] = {{IDC_SET_INCLUDE, L"new"}, {IDC_SET_HIGHLIGHT, L""}, {IDC_SET_MAXLINES, L" 25x"},
            {IDC_SET_DELLINES, L"-7"}, {IDC_SET_FILEDIR, L""}, {IDC_SET_HISTORY, L"12"}, {IDC_SET_EXECCMD, L"run.cmd"}};
        for (const auto& t : typed) Type(t.first, t.second);
        Type(IDC_SET_FILTERLIST, std::wstring(520, L'f'));
        for (int id : {IDC_SET_AUTOSTART, IDC_SET_AUTOSTOP, IDC_SET_TOPMOST, IDC_SET_MARK, IDC_SET_EXECUTE}) Click(id);
        Click(IDOK);
    }));
    const std::wstring suiteFile = suite_.file(L"bin\\kv_servx.ini"), tmp = suite_.file(L"tmp");
    const struct { const wchar_t *section, *key; std::wstring value, file; } keys[] = {
        {L"Filter", L"IncludeFilter", L""}, {L"Filter", L"ExcludeFilter", L""}, {L"Filter", L"SpecialFilter", L""},
        {L"Filter", L"HighlightFilter", L"ZZZ"}, {L"Filter", L"TriggerFilter", L"boom"}, {L"Filter", L"MarkHighlight", L"1"},
        {L"Filter", L"LastIncludeFilter1", L"new"}, {L"Filter", L"LastIncludeFilter2", L"cur"},
        {L"Filter", L"LastIncludeFilter4", L"two"}, {L"Filter", L"LastIncludeFilter5", L"<absent>"},
        {L"Filter", L"LastExcludeFilter24", L"e24"}, {L"Filter", L"LastExcludeFilter25", L"<absent>"},
        {L"Filter", L"LastSpecialFilter1", std::wstring(498, L'f')}, {L"Filter", L"LastSpecialFilter2", L"<absent>"},
        {L"Filter", L"LastHighlightFilter1", L"ZZZ"}, {L"Filter", L"Stale", L"<absent>"}, {L"Filter", L"TriggerFlags", L"29"},
        {L"Filter", L"TriggerExec", L"run.cmd"},
        {L"ListView", L"MaxEntries", L"25x"}, {L"ListView", L"MaxDelete", L"-7"}, {L"Global", L"FileDir", tmp},
        {L"Global", L"HistoryDays", L"12"}, {L"Global", L"StartRivivEda", L"1", suiteFile}, {L"Global", L"StopRivivEda", L"0", suiteFile},
    };
    for (const auto& k : keys) EXPECT_EQ(k.value, Read(k.section, k.key, k.file)) << kvtest::Narrow(k.key);
    EXPECT_EQ(L"new|" + std::wstring(498, L'f') + L"||boom|run.cmd|" + tmp, std::wstring(s.IncludeFilter) + L"|" + s.SpecialFilter + L"|" +
                                                                           s.HighlightFilter + L"|" + s.TriggerFilter + L"|" + s.TriggerExec + L"|" + s.FileDir);
    EXPECT_EQ((std::vector<int>{25, -7, 12, 0x1D, 1, 0, 0, 1, 1, 0, 0}),
              (std::vector<int>{s.MaxEntries, s.MaxDelete, s.HistoryDays, static_cast<int>(s.TriggerFlags), s.StartRivivEda, s.StopRivivEda,
                                s.TopMost, s.MarkHighlight, g_splits, g_unlocked, static_cast<int>(g_questions.size())}))
        << "one split, the settings file written under the data mutex, a longer history asks nothing";
}

TEST_F(SettingsDialogTest, OnceRuleAndReset) {
    wcscpy(g_settings.ExcludeFilter, L"ex");
    Ini(L"Filter", L"LastIncludeFilter1", L"old");
    EXPECT_EQ(IDOK, Run([&](HWND) {
        // Once and Test only with Execute and a stop action; Once is checked when it becomes possible.
        const wchar_t *off = L"1038:0- 1032:0- 1028:0- ", *offOnce = L"1038:0- 1032:0e 1028:0e ", *on = L"1038:1e 1032:0e 1028:0e ";
        const std::pair<int, const wchar_t*> steps[] = {
            {0, off}, {IDC_SET_STOPTRACE, off}, {IDC_SET_EXECUTE, on}, {IDC_SET_ONCE, L"1038:0e 1032:0e 1028:0e "},
            {IDC_SET_STOPTRACE, offOnce}, {IDC_SET_STOPSCROLL, on}, {IDC_SET_STOPSCROLL, offOnce}, {IDC_SET_STOPFILE, on},
            {IDC_SET_EXECUTE, off}};
        for (const auto& s : steps) {
            if (s.first) Click(s.first);
            EXPECT_EQ(s.second, Boxes({IDC_SET_ONCE, IDC_SET_TEST, IDC_SET_EXECCMD})) << s.first;
        }
        // Reset: edit fields and trigger boxes empty, lists and the General group stay.
        for (int id : {IDC_SET_EXECUTE, IDC_SET_MARK, IDC_SET_STOPSCROLL, IDC_SET_TOPMOST}) Click(id);
        Type(IDC_SET_INCLUDE, L"typed");
        Type(IDC_SET_MAXLINES, L"77");
        Click(IDC_SET_RESET);
        EXPECT_EQ(L"|77", Text(IDC_SET_INCLUDE) + Text(IDC_SET_EXCLUDE) + L"|" + Text(IDC_SET_MAXLINES));
        EXPECT_EQ((List{L"", L"old"}), Entries(IDC_SET_INCLUDE));
        EXPECT_EQ(L"1030:0e 1034:0e 1033:0e 1035:0e 1036:0e 1038:0- 1032:0- 1028:0- 1005:1e ",
                  Boxes({IDC_SET_MARK, IDC_SET_STOPSCROLL, IDC_SET_STOPTRACE, IDC_SET_STOPFILE, IDC_SET_EXECUTE, IDC_SET_ONCE, IDC_SET_TEST,
                         IDC_SET_EXECCMD, IDC_SET_TOPMOST}));
        Click(IDOK);
    }));
    EXPECT_EQ(L"|0", g_settings.ExcludeFilter + (L"|" + std::to_wstring(g_settings.TriggerFlags))) << "OK writes what Reset left";
}

TEST_F(SettingsDialogTest, HistoryQuestion) {
    struct Case { short old; const wchar_t* typed; int answer; bool asks, accepted; short days; };
    const Case cases[] = {
        {0, L"7", IDYES, true, true, 7},    {7, L"10", IDNO, false, true, 10},  // switching on asks, lengthening not
        {7, L"7", IDNO, false, true, 7},    {10, L"7", IDYES, true, true, 7},   // nor keeping it; shortening asks
        {10, L"7", IDNO, true, false, 10},  // ... and No keeps the dialog open with the old value
        {7, L"0", IDNO, false, true, 0},    {7, L"-3", IDNO, false, true, 0},  // off asks nothing; negative is 0
        {7, L"32767", IDNO, false, true, 32767}, {7, L"32768", IDYES, false, false, 7},  // beyond the range: refused
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.old) + " -> " + kvtest::Narrow(c.typed));
        SetUp(), g_settings.HistoryDays = c.old, g_answer = c.answer;
        Ini(L"Global", L"HistoryDays", std::to_wstring(c.old));
        EXPECT_EQ(c.accepted ? IDOK : IDCANCEL, Run([&](HWND dialog) {
            Type(IDC_SET_HISTORY, c.typed);
            Click(IDOK);
            EXPECT_TRUE(c.accepted || (::IsWindow(dialog) && Item(IDC_SET_HISTORY) == kvtest::FocusOf(dialog) &&
                                       Text(IDC_SET_HISTORY) == std::to_wstring(c.old))) << "the old value back in the focused field";
        }));
        EXPECT_EQ(c.asks ? List{L"New history setting will delete trace files older than " + std::wstring(c.typed) +
                                L" day(s) - are you sure?" + kBoxTitle + std::to_wstring(MB_YESNO | MB_ICONEXCLAMATION)}
                         : List{}, g_questions);
        EXPECT_EQ(std::to_wstring(c.days) + L"|" + (c.accepted ? std::wstring(c.typed) : std::to_wstring(c.old)),
                  std::to_wstring(g_settings.HistoryDays) + L"|" + Read(L"Global", L"HistoryDays"));
    }
}

// At each count change of the filter list, whether another thread held the lock.
std::vector<bool> g_filterCountLocked;
LRESULT CALLBACK WatchList(HWND list, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
    const DWORD owner = msg == LVM_SETITEMCOUNT ? kv::ListLockOwner() : 0;
    if (msg == LVM_SETITEMCOUNT) g_filterCountLocked.push_back(owner != 0 && owner != ::GetCurrentThreadId());
    return ::DefSubclassProc(list, msg, wp, lp);
}

// Test runs the command as typed, Cancel writes nothing; after OK the filter list keeps its rows only when its string grew.
TEST_F(SettingsDialogTest, TheWindowsEditTestCancelAndOk) {
    wcscpy(g_settings.TriggerExec, L"old command"), g_settings.TriggerFlags = kTriggerExecute;
    tracewnd_SplitFilters();  // "old command" is the trigger's command now
    Fill({L"other row", L"focused row"});
    Select(MainList(), 1);
    const std::string before = kvtest::ReadBytes(ini_);
    Run([&](HWND dialog) {
        EXPECT_EQ(L"focused row", Text(IDC_SET_SELECTED));
        Type(IDC_SET_EXECCMD, L"new command");
        Click(IDC_SET_TEST);
        EXPECT_TRUE(::IsWindow(dialog)) << "the dialog stays open";
    }, true);
    EXPECT_EQ(before, kvtest::ReadBytes(ini_));
    EXPECT_EQ((List{L"NEW COMMAND"}), g_launches);
    EXPECT_EQ(L"old command", std::wstring(g_settings.TriggerExec));
    ::SetWindowSubclass(FilterList(), WatchList, 1, 0);
    HWND onTop = ::CreateWindowExW(0, L"Button", L"", WS_CHILD | BS_AUTOCHECKBOX, 0, 0, 20, 20, Window(), reinterpret_cast<HMENU>(11),
                                   nullptr, nullptr);
    TraceFileIn(dir_.path());
    ServerSettings_SetDefaults(g_settings, suite_.file(L"tmp").c_str());
    struct Case { const wchar_t *before, *after; bool kept; };
    for (const Case& c : {Case{L"abc", L"abc;def", true}, {L"abc", L"def", false}, {L"abc", L"", false}}) {
        wcscpy(g_settings.SpecialFilter, c.before);
        g_settings.TopMost = c.kept ? 0 : 1;
        Fill({L"row", L"row"}, L"row");
        g_filterCountLocked.clear();
        Run([&](HWND) {
            EXPECT_EQ(c.before + std::wstring(L"|"), Text(IDC_SET_FILTERLIST) + L"|" + Text(IDC_SET_SELECTED)) << "no row focused";
            Type(IDC_SET_FILTERLIST, c.after);
            Click(IDC_SET_TOPMOST);
            Click(IDOK);
        }, true);
        EXPECT_EQ(0u, std::wstring(tracewnd_CurrentTraceFile()).find(suite_.file(L"tmp\\TS"))) << "the trace file in the new directory";
        EXPECT_EQ(std::wstring(c.after), std::wstring(g_settings.SpecialFilter));
        EXPECT_EQ(c.kept ? 1 : 0, rowstore_GetCount(kv::Server().filterStore)) << kvtest::Narrow(c.after);
        EXPECT_EQ(c.kept ? std::vector<bool>{} : std::vector<bool>{true}, g_filterCountLocked);
        const bool top = (::GetWindowLongW(Window(), GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
        EXPECT_EQ(c.kept ? 3 : 0, top + 2 * (::IsDlgButtonChecked(Window(), 11) == BST_CHECKED));
        wchar_t title[200] = {};
        ::GetWindowTextW(Window(), title, 200);
        EXPECT_EQ(c.after[0] ? L"VANTORA KV Trace Server - Filter:  FilterList='" + std::wstring(c.after) + L"'" : L"VANTORA KV Trace Server",
                  title);
    }
    ::RemoveWindowSubclass(FilterList(), WatchList, 1);
    tracewnd_ResetTraceFileForTesting();
    ::SetWindowPos(Window(), HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ::DestroyWindow(onTop);
}

}  // namespace

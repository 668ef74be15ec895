// Row stores on a real owner-data list view, the filter list's procedure and pumping waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "client/locks.h"
#include "client/owners.h"
#include "kvtest.h"
#include "serverkit.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "testserverwindow.h"

namespace {

// While g_boxRelease is set, a box stays open until it is signalled.
HANDLE g_boxRelease;
volatile LONG g_boxesOpen;
int WINAPI RecordBox(HWND owner, LPCWSTR text, LPCWSTR title, UINT type) {
    ::InterlockedIncrement(&g_boxesOpen);
    kvtest::RecordBox(owner, text, title, type);
    if (g_boxRelease) ::WaitForSingleObject(g_boxRelease, 30000);
    ::InterlockedDecrement(&g_boxesOpen);
    return IDOK;
}
// Shows what the store noted and waits until the boxes are closed again.
std::vector<std::wstring> ReportedBoxes() {
    rowstore_ReportAllocFailures();
    kvtest::PumpUntil([] { return !rowstore_AllocBoxBusyForTesting(); });
    return kvtest::TakeBoxes();
}
const std::wstring kSmallBox = L"VO Vedoz Izodoz|0|Running out of memory !";
const std::wstring kLargeBox = L"VO Vedoz Izodoz|" + std::to_wstring(MB_ICONEXCLAMATION) + L"|Running out of memory !!!";

int ViewCount(HWND list) { return static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); }

// A row whose text is `text` and whose sourceIndex and time carry an identity.
TraceRow* MakeRow(short store, const std::wstring& text, int id = 0) {
    TraceRow* row = rowstore_NewRow(store);
    row->text = rowstore_NewText(store, static_cast<int>(text.size()) + 1);
    wcscpy(row->text, text.c_str());
    row->sourceIndex = id;
    swprintf(row->time, 32, L"MO 10:00:00,00 [%05d]", id);
    wcscpy(row->function, L"Function");
    return row;
}

// The sort must hold the list lock: when asked, the first comparison looks who holds it.
bool g_checkLock, g_lockHeldDuringCompare;
int __cdecl CompareCheckingLock(const void* a, const void* b) {
    if (g_checkLock) g_lockHeldDuringCompare = kv::ListLockOwner() == ::GetCurrentThreadId();
    g_checkLock = false;
    return rowstore_CompareRows(a, b);
}

class RowStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvtest::TakeBoxes();
        rowstore_SetMessageBox(&RecordBox);
    }
    bool PassedOn(UINT msg) const { return std::count(win_.passedOn.begin(), win_.passedOn.end(), msg) > 0; }
    int AddRows(int n, int firstId = 0) {
        int last = -1;
        for (int i = firstId; i < firstId + n; ++i)
            last = rowstore_Add(store_, MakeRow(store_, L"row " + std::to_wstring(i), i));
        return last;
    }
    std::vector<int> Ids() const {
        std::vector<int> ids;
        for (int i = 0; i < rowstore_GetCount(store_); ++i) {
            const TraceRow* row = rowstore_Get(store_, i);
            ids.push_back(row ? row->sourceIndex : -1);
        }
        return ids;
    }
    static std::vector<int> Range(int first, int n) {
        std::vector<int> ids(n);
        std::iota(ids.begin(), ids.end(), first);
        return ids;
    }
    void Click(int column, short store = -1) {
        NMLISTVIEW click = {};
        click.iSubItem = column;
        rowstore_Sort(store < 0 ? store_ : store, &click);
    }
    kvtest::TestServerWindow win_{false, false};
    HWND list_ = win_.mainList(), filter_ = win_.filterList();
    short store_ = win_.mainStore(), filterStore_ = win_.filterStore();
};

// Trims walk the head round a full ring many times, with no growth to lay it out again.
TEST_F(RowStoreTest, GrowthTrimsDeletesAndSortsWhileTheRingWrapsKeepOrder) {
    AddRows(9000, 0);
    rowstore_DeleteFirst(store_, 0, 5000);  // the oldest row now sits in slot 5000
    AddRows(6000, 9000);                    // the newest rows wrap round to slot 0
    rowstore_SetAllocFailuresForTesting(kRowStoreFailGrow);
    TraceRow* row = MakeRow(store_, L"one too many", 15000);
    EXPECT_EQ(rowstore_Add(store_, row), -1);
    EXPECT_EQ(ReportedBoxes(), std::vector<std::wstring>{kLargeBox});
    EXPECT_EQ(rowstore_GetCount(store_), kRowStoreGrowth);
    rowstore_SetAllocFailuresForTesting(0);
    EXPECT_EQ(rowstore_Add(store_, row), 10000) << "the same row fits once memory is back";
    ASSERT_EQ(Ids(), Range(5000, 10001));
    rowstore_Clear(store_);
    AddRows(kRowStoreGrowth, 0);  // exactly full: no growth from here on
    std::vector<int> model = Range(0, kRowStoreGrowth);
    for (int lap = 0, next = kRowStoreGrowth; lap < 40; ++lap) {
        const int n = 700 + lap * 13, at = (lap * 7919) % (kRowStoreGrowth - n - 3);
        rowstore_DeleteFirst(store_, 0, n);
        rowstore_Delete(store_, at);
        rowstore_DeleteFirst(store_, at, 2);
        model.erase(model.begin() + at + n, model.begin() + at + n + 3);
        model.erase(model.begin(), model.begin() + n);
        AddRows(n + 3, next);
        for (int i = 0; i < n + 3; ++i) model.push_back(next++);
        ASSERT_EQ(Ids(), model) << "lap " << lap;
    }
    for (int column : {kColText, kColTime, kColTime}) Click(column);  // the time holds the id, zero-padded
    EXPECT_EQ(Ids(), std::vector<int>(model.rbegin(), model.rend())) << "sorted across the ring's end";
}

TEST_F(RowStoreTest, CountReachesTheViewOncePerBurstByItsTimerAndOnFlush) {
    AddRows(10);
    const DWORD lastAdd = ::GetTickCount();
    EXPECT_EQ(ViewCount(list_), 0) << "adding does not touch the view";
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ViewCount(list_) == 10; }, 5000));
    ASSERT_EQ(win_.countUpdates.size(), 1u) << "one update for the burst";
    EXPECT_EQ(win_.countUpdates[0].second, static_cast<LPARAM>(LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL));
    EXPECT_GE(win_.countUpdates[0].first - lastAdd, kRowStoreAddDelayMs - 5) << "pushed too early";
    // The count timer's transitions, one event at a time: the updates the view has seen.
    enum Op { kAdd, kAddElsewhere, kTick, kFlush, kPump };
    const struct { Op op; size_t updates; const char* what; } steps[] = {
        {kAdd, 1, "adding arms the timer"},
        {kTick, 1, "a tick before the due time re-arms instead of pushing"},
        {kFlush, 2, "a flush pushes at once"},
        {kTick, 2, "a tick with nothing owed pushes nothing"},
        {kFlush, 2, "nothing owed, nothing pushed"},
        {kAddElsewhere, 2, "another thread posts a tick"},
        {kFlush, 3, "pushed while the posted tick is on its way"},
        {kAddElsewhere, 3, "the tick on its way will arm the timer"},
        {kPump, 4, "the tick arms the timer, which pushes"},
    };
    int id = 10;
    for (const auto& s : steps) {
        if (s.op == kAdd) AddRows(1, id++);
        if (s.op == kAddElsewhere) std::thread([&] { kv::ListLock lock; AddRows(1, id++); }).join();
        if (s.op == kTick) rowstore_OnTimer(store_, kRowStoreTimerId);
        if (s.op == kFlush) rowstore_FlushCount(store_);
        if (s.op == kPump) kvtest::PumpUntil([&] { return ViewCount(list_) == id; }, 5000);
        EXPECT_EQ(win_.countUpdates.size(), s.updates) << s.what;
        if (s.op == kFlush || s.op == kPump) { EXPECT_EQ(ViewCount(list_), id) << s.what; }
    }
    rowstore_Delete(store_, 4);
    EXPECT_EQ(ViewCount(list_), id) << "a single delete is pushed by the timer";
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ViewCount(list_) == id - 1; }, 5000));
    win_.countUpdates.clear();
    rowstore_DeleteFirst(store_, 0, 2);
    rowstore_DeleteFirst(store_, 0, 1);
    EXPECT_TRUE(win_.countUpdates.empty()) << "trims reach the view by a post";
    kvtest::PumpPending();  // before any paint
    EXPECT_EQ(ViewCount(list_), id - 4);
    ASSERT_EQ(win_.countUpdates.size(), 1u) << "trims in a burst cost one update of the view";
    EXPECT_EQ(win_.countUpdates[0].second, static_cast<LPARAM>(LVSICF_NOSCROLL));
    win_.countUpdates.clear();
    const int left = rowstore_GetCount(store_);
    for (auto [first, n] : {std::pair{0, left}, {2, left - 2}, {-1, 2}, {0, -2}}) rowstore_DeleteFirst(store_, first, n);
    EXPECT_EQ(rowstore_GetCount(store_), left) << "a trim must leave a row and stay in range";
    EXPECT_TRUE(win_.countUpdates.empty()) << "refused trims leave the view alone";
    rowstore_Clear(store_);
    EXPECT_EQ(ViewCount(list_), 0) << "a clear reaches the view at once";
}

TEST_F(RowStoreTest, ColumnTextsAreCutBadRequestsAnswerNothingAndFreedEntriesAreClaimedAgain) {
    ASSERT_EQ(rowstore_Add(store_, MakeRow(store_, L"the message", 7)), 0);  // every column as shown: the intake's rows
    ASSERT_EQ(rowstore_Add(store_, rowstore_NewRow(store_)), 1);  // no text block
    wchar_t buf[64];
    EXPECT_EQ(rowstore_GetColumnText(store_, 0, kColText, buf, 4), 1);
    EXPECT_STREQ(buf, L"the") << "cut to capacity - 1";
    RowCopy copy;
    for (int i : {1, 0}) EXPECT_EQ(rowstore_CopyRow(store_, i, &copy), TRUE) << i;
    EXPECT_EQ(std::make_tuple(std::wstring(copy.text), std::wstring(copy.row.text), copy.row.sourceIndex),
              std::make_tuple(std::wstring(L"the message"), std::wstring(L"the message"), 7)) << "a whole copy";
    EXPECT_EQ(rowstore_CopyRow(store_, 2, &copy), FALSE);
    EXPECT_EQ(copy.row.sourceIndex + copy.text[0], 0) << "an empty row";
    for (auto [index, column] : {std::pair{0, 6}, {0, -1}, {1, int(kColText)}, {2, 0}, {-1, 0}}) {
        wcscpy(buf, L"stale");
        EXPECT_EQ(rowstore_GetColumnText(store_, index, column, buf, 64), 0) << index << "/" << column;
        EXPECT_STREQ(buf, L"") << index << "/" << column;
    }
    buf[0] = L'x';
    EXPECT_EQ(rowstore_GetColumnText(store_, 0, 0, buf, 0), 0);
    EXPECT_EQ(buf[0], L'x') << "a zero capacity writes nothing";
    EXPECT_EQ(rowstore_GetLevelWord(store_, 5) + rowstore_GetSourceIndex(store_, 5), 0u);
    NMLVDISPINFOW info = {{}, {LVIF_TEXT, 2, 0, 0, 0, buf}};  // a row the view's late count still shows
    rowstore_OnGetDispInfo(store_, &info);
    EXPECT_EQ(info.item.pszText, buf) << "a missing row's request is left alone";
    const short gone = rowstore_Create(list_, rowstore_CompareRows);
    rowstore_Destroy(gone);
    EXPECT_EQ(rowstore_Create(list_, rowstore_CompareRows), gone);
    rowstore_Destroy(gone);
    EXPECT_EQ(rowstore_Create(nullptr, rowstore_CompareRows), -1) << "a store needs a view";
    TraceRow* row = MakeRow(store_, L"x");
    for (short bad : {short(-1), short(255), gone}) {
        EXPECT_EQ(rowstore_Add(bad, row), -1) << bad;
        EXPECT_EQ(rowstore_Get(bad, 0), nullptr) << bad;
        rowstore_Delete(bad, 0);
        rowstore_Clear(bad);
    }
    EXPECT_EQ(rowstore_NewRow(255), nullptr);
    EXPECT_EQ(rowstore_Add(store_, nullptr), -1) << "a missing row is not stored";
    rowstore_FreeRow(row);
}

TEST_F(RowStoreTest, MarkingRedrawsTheRowAndNavigationWrapsAround) {
    ::SetWindowPos(win_.hwnd(), nullptr, -2000, -2000, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::ShowWindow(win_.hwnd(), SW_SHOWNOACTIVATE);
    AddRows(20);
    rowstore_FlushCount(store_);
    ::UpdateWindow(list_);
    kvtest::PumpPending();
    RECT dirty, item = {LVIR_BOUNDS}, common;
    ASSERT_FALSE(::GetUpdateRect(list_, &dirty, FALSE)) << "painted before the mark";
    rowstore_SetMark(store_, 3, TRUE);
    ASSERT_TRUE(::SendMessageW(list_, LVM_GETITEMRECT, 3, reinterpret_cast<LPARAM>(&item)));
    ASSERT_TRUE(::GetUpdateRect(list_, &dirty, FALSE)) << "the marked row must be redrawn";
    EXPECT_TRUE(::IntersectRect(&common, &dirty, &item));
    rowstore_DeleteFirst(store_, 0, 10);  // the ten rows left start in the ring's slot 10
    for (int i : {3, 5, 8}) rowstore_SetMark(store_, i, TRUE);
    EXPECT_FALSE(rowstore_IsMarked(store_, 4));
    const struct { int from, next, prev; } steps[] = {
        {0, 3, 8}, {3, 5, 8}, {5, 8, 3}, {8, 3, 5}, {9, 3, 8}, {-1, -1, -1}, {10, -1, -1}};
    for (const auto& s : steps) {
        EXPECT_EQ(rowstore_NextMark(store_, s.from), s.next) << "from " << s.from;
        EXPECT_EQ(rowstore_PrevMark(store_, s.from), s.prev) << "from " << s.from;
    }
    rowstore_SetMark(store_, 10, TRUE);  // no such row: nothing happens
    EXPECT_FALSE(rowstore_IsMarked(store_, 10));
}

// The main list sorts by sort keys, in CompareStringW's order also beyond the key bytes kept.
TEST_F(RowStoreTest, SortKeepsTheLocaleOrderTogglesAndHoldsTheListLock) {
    const std::wstring longer(400, L'x');
    std::vector<std::wstring> texts = {L"", L" ", L"!", L"a", L"A", L"\u00e1", L"\u00c1", L"a\u0308", L"ae", L"\u00c6",
        L"resume", L"r\u00e9sum\u00e9", L"RESUME", L"co-op", L"coop", L"Co-Op", L"10", L"9", L"stra\u00dfe", L"strasse",
        L"Zebra", L"zebra", L"\u0416", L"\u65e5\u672c", longer + L"A", longer + L"a", longer + L"b", longer + L"\u00e1", longer,
        L"qqqqsamez", L"qqqrsamea", L"wwwwwwwwsamesamez", L"wwwwwwwxsamesamea"};  // neighbours alike in their middles
    std::shuffle(texts.begin(), texts.end(), std::mt19937(7));
    const int n = static_cast<int>(texts.size()) + 1;
    for (int i = 0; i < n; ++i) {
        TraceRow* row = i + 1 < n ? MakeRow(store_, texts[i], i) : rowstore_NewRow(store_);  // the last without text
        row->sourceIndex = i;
        swprintf(row->process, 32, L"p%03d", n - i);  // reverse order
        rowstore_Add(store_, row);
    }
    texts.push_back(L"");  // a row without text sorts as the empty text
    const struct { int click, column; BOOL ascending; } clicks[] = {
        {kColText, kColText, TRUE}, {kColText, kColText, FALSE}, {kColProcess, kColProcess, TRUE}};
    for (const auto& c : clicks) {
        Click(c.click);
        EXPECT_EQ(std::make_pair(int(rowstore_GetSortColumn(store_)), rowstore_GetSortAscending(store_)),
                  std::make_pair(c.column, c.ascending)) << c.click;
        std::vector<int> ids = Ids();
        for (size_t i = 1; i < ids.size(); ++i) {
            const std::wstring &a = texts[ids[i - 1]], &b = texts[ids[i]];
            if (c.column == kColProcess) EXPECT_GT(ids[i - 1], ids[i]) << c.click;
            else EXPECT_NE(::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1),
                           c.ascending ? CSTR_GREATER_THAN : CSTR_LESS_THAN) << "row " << i << " ascending " << c.ascending;
        }
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(ids, Range(0, n));
    }
    rowstore_Sort(store_, nullptr);
    const short other = rowstore_Create(filter_, CompareCheckingLock);  // its own comparison, under the lock too
    rowstore_Add(other, MakeRow(other, L"b"));
    rowstore_Add(other, MakeRow(other, L"a"));
    g_checkLock = true;
    g_lockHeldDuringCompare = false;
    Click(kColText, other);
    rowstore_Destroy(other);
    EXPECT_TRUE(g_lockHeldDuringCompare) << "another thread could take the list lock during the sort";
}

// Boxes show later on a thread of their own, so that nobody waits for a click holding a lock.
TEST_F(RowStoreTest, FailedAllocationsAreReportedOnceLaterAndWithoutWaiting) {
    AddRows(5);  // rows for the failing clear to release
    struct Case { unsigned mask; void (*op)(short store, HWND list); const char* what; bool smallBox; };
    const Case cases[] = {
        {kRowStoreFailRow, [](short s, HWND) { EXPECT_EQ(rowstore_NewRow(s), nullptr); }, "row", true},
        {kRowStoreFailText, [](short s, HWND) { EXPECT_EQ(rowstore_NewText(s, 10), nullptr); }, "text", true},
        {kRowStoreFailHeap, [](short, HWND l) { rowstore_Destroy(rowstore_Create(l, rowstore_CompareRows)); }, "heap", false},
        {kRowStoreFailArray, [](short s, HWND) { rowstore_Clear(s); }, "array", false},
        {0, [](short s, HWND) { TraceRow* row = MakeRow(s, L"x");
                                EXPECT_EQ(rowstore_Add(s, row), -1) << "a store without an array refuses rows";
                                rowstore_FreeRow(row); }, "add", false},
        {kRowStoreFailRow, [](short s, HWND) { EXPECT_EQ(rowstore_NewRow(s), nullptr);  // the box is open meanwhile
                                               rowstore_ReportAllocFailures();
                                               kvtest::PumpUntil([] { return g_boxesOpen == 1; }); }, "open", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Boxes stay open until both failures are in: a box closed in between would rightly let the second show.
        g_boxRelease = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        rowstore_SetAllocFailuresForTesting(c.mask);
        for (int i = 0; i < 2; ++i) {  // a second failure while the first is noted or shown adds no box
            c.op(store_, list_);
            rowstore_ReportAllocFailures();  // and the box of the first keeps nobody waiting
        }
        rowstore_SetAllocFailuresForTesting(0);
        ::SetEvent(g_boxRelease);
        EXPECT_EQ(ReportedBoxes(), std::vector<std::wstring>{c.smallBox ? kSmallBox : kLargeBox});
        ::CloseHandle(g_boxRelease);
        g_boxRelease = nullptr;
        if (c.mask == 0) { EXPECT_EQ(rowstore_GetCount(store_), 0) << "the failed clear emptied the store"; }
    }
    rowstore_Clear(store_);
    EXPECT_EQ(AddRows(2), 1) << "a clear restores the store";
}

using Msg = std::tuple<UINT, WPARAM, LPARAM>;
std::vector<Msg>* g_input;
void DrawItemSeam(HWND window, const DRAWITEMSTRUCT* item) {
    g_input->emplace_back(WM_DRAWITEM, reinterpret_cast<WPARAM>(window), reinterpret_cast<LPARAM>(item));
}

TEST_F(RowStoreTest, FilterListPassesInputToTheTraceWindowPaintsGreyAndServesItsStore) {
    EXPECT_EQ(::SendMessageW(filter_, WM_KEYDOWN, VK_ESCAPE, 0x00010001), 0);
    EXPECT_FALSE(PassedOn(WM_KEYDOWN)) << "Escape is swallowed";
    const WPARAM filter = reinterpret_cast<WPARAM>(filter_);
    DRAWITEMSTRUCT item = {ODT_LISTVIEW};
    const std::vector<Msg> input = {{WM_KEYDOWN, 'A', 0x001E0001}, {WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(5, 5)},
                                    {WM_CONTEXTMENU, filter, MAKELPARAM(10, 20)}};
    for (auto [m, wp, lp] : input) ::SendMessageW(filter_, m, wp, lp);
    for (auto [m, wp, lp] : input) EXPECT_TRUE(PassedOn(m)) << "the list keeps its handling of " << m;
    ASSERT_TRUE(kvtest::PumpUntil([&] { return win_.input.size() >= 4; }, 5000));
    ::SendMessageW(filter_, WM_DRAWITEM, 1, reinterpret_cast<LPARAM>(&item));  // no routine yet
    g_input = &win_.input;
    kv::Seams().drawItem = &DrawItemSeam;
    ::SendMessageW(filter_, WM_DRAWITEM, 1, reinterpret_cast<LPARAM>(&item));
    std::vector<Msg> expected = input;
    expected.insert(expected.begin(), input[2]);  // the list's own handling hands it to its parent at once
    expected.emplace_back(WM_DRAWITEM, filter, reinterpret_cast<LPARAM>(&item));
    EXPECT_EQ(win_.input, expected);
    // The whole ground is grey, from the first corner to the last.
    RECT rc;
    ::GetClientRect(filter_, &rc);
    HDC screen = ::GetDC(nullptr), dc = ::CreateCompatibleDC(screen);
    HGDIOBJ old = ::SelectObject(dc, ::CreateCompatibleBitmap(screen, rc.right, rc.bottom));
    ::ReleaseDC(nullptr, screen);
    ::PatBlt(dc, 0, 0, rc.right, rc.bottom, BLACKNESS);
    ::SendMessageW(filter_, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    EXPECT_EQ(std::vector<COLORREF>({::GetPixel(dc, 0, 0), ::GetPixel(dc, rc.right - 1, rc.bottom - 1)}),
              std::vector<COLORREF>(2, kFilterListGrey));
    ::DeleteObject(::SelectObject(dc, old));
    ::DeleteDC(dc);
    rowstore_Add(filterStore_, MakeRow(filterStore_, L"copy"));
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ViewCount(filter_) == 1; }, 5000))
        << "the count timer of the filter list must reach its store";
    EXPECT_TRUE(PassedOn(WM_TIMER));
}

// Waits on the window thread serve sends, the list lock's also without a main list (window creation and teardown).
TEST_F(RowStoreTest, WaitsOnTheWindowThreadServeSendsAndKeepWMQuit) {
    kv::Server().mainList = nullptr;
    kv::SetWindowThread(::GetCurrentThreadId());
    std::atomic<bool> held{false};
    DWORD_PTR answer = 0;
    std::thread holder([&] {
        kv::ListLock lock;
        held = true;
        ::SendMessageTimeoutW(win_.hwnd(), kvtest::kPing, 0, 0, SMTO_NORMAL, 20000, &answer);
    });
    while (!held) ::Sleep(1);
    { kv::ListLock lock; }
    holder.join();
    kv::SetWindowThread(0);
    EXPECT_EQ(answer, 42u) << "the holder's send waited for the lock's waiter";
    // A pumping wait: the thread waited for may send to this thread's window first.
    kv::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ::PostQuitMessage(3);
    ::PostMessageW(list_, LVM_SETITEMCOUNT, 5, 0);
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(PumpMessagesWhileWaiting(event.get(), 60), 0);
    EXPECT_GE(::GetTickCount() - start, 55u) << "returned before the time-out";
    MSG msg;
    ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the caller's loop must see WM_QUIT";
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(ViewCount(list_), 5) << "a posted message waits for no one";
    answer = 0;
    std::thread worker([&answer, window = win_.hwnd(), e = event.get()] {
        answer = ::SendMessageW(window, kvtest::kPing, 0, 0);
        ::SetEvent(e);
    });
    EXPECT_EQ(PumpMessagesWhileWaiting(event.get(), 30000), 1);
    worker.join();
    EXPECT_EQ(answer, 42u);
}

}  // namespace

// Row stores on a real owner-data list view: growth, the ring against a simple model,
// the batched count updates as the view sees them, column texts, marks, sorting, the
// out-of-memory paths, the filter list's procedure and waiting while pumping.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/owners.h"
#include "kvtest.h"
#include "server/rowstore.h"
#include "server/serverstate.h"

namespace {

// --- out-of-memory boxes ----------------------------------------------------------------

struct Box {
    std::wstring text, title;
    UINT type;
};
std::vector<Box> g_boxes;

int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR title, UINT type) {
    g_boxes.push_back({text ? text : L"", title ? title : L"", type});
    return IDOK;
}

// --- a list view as the trace window would hold it --------------------------------------

struct ItemCountUpdate {
    DWORD tick;
    WPARAM count;
    LPARAM flags;
};

const wchar_t kStoreProp[] = L"KvTestStore";
const wchar_t kPrevProp[] = L"KvTestPrevProc";
std::vector<ItemCountUpdate> g_updates;

short StoreOf(HWND list) { return static_cast<short>(reinterpret_cast<INT_PTR>(::GetPropW(list, kStoreProp)) - 1); }

// Stands in for the main list's procedure: hands timers to the store and records the
// item counts the view is given.
LRESULT CALLBACK TestListProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == LVM_SETITEMCOUNT) g_updates.push_back({::GetTickCount(), wp, lp});
    if (msg == WM_TIMER) rowstore_OnTimer(StoreOf(hwnd), wp);
    auto prev = reinterpret_cast<WNDPROC>(::GetPropW(hwnd, kPrevProp));
    return ::CallWindowProcW(prev, hwnd, msg, wp, lp);
}

LRESULT CALLBACK TestParentProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NOTIFY) {
        auto* hdr = reinterpret_cast<NMHDR*>(lp);
        if (hdr->code == LVN_GETDISPINFOW)
            rowstore_OnGetDispInfo(StoreOf(hdr->hwndFrom), reinterpret_cast<NMLVDISPINFOW*>(lp));
        return 0;
    }
    // The default would open the system menu, whose loop eats the queued test messages.
    if (msg == WM_CONTEXTMENU) return 0;
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

HWND CreateParent() {
    static ATOM cls = [] {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
        ::InitCommonControlsEx(&icc);
        WNDCLASSW wc = {};
        wc.lpfnWndProc = TestParentProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KvRowStoreTestParent";
        return ::RegisterClassW(&wc);
    }();
    (void)cls;
    return ::CreateWindowExW(0, L"KvRowStoreTestParent", L"rows", WS_OVERLAPPEDWINDOW, 0, 0, 640, 400, nullptr,
                             nullptr, ::GetModuleHandleW(nullptr), nullptr);
}

HWND CreateList(HWND parent) {
    HWND list = ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA, 0, 0, 600,
                                  300, parent, reinterpret_cast<HMENU>(1), ::GetModuleHandleW(nullptr), nullptr);
    for (int i = 0; i < kColumnCount; ++i) {
        LVCOLUMNW col = {};
        col.mask = LVCF_WIDTH | LVCF_SUBITEM;
        col.cx = 90;
        col.iSubItem = i;
        ::SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&col));
    }
    return list;
}

void Subclass(HWND list, short store) {
    ::SetPropW(list, kStoreProp, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(store) + 1));
    ::SetPropW(list, kPrevProp, reinterpret_cast<HANDLE>(::GetWindowLongPtrW(list, GWLP_WNDPROC)));
    ::SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TestListProc));
}

int ViewCount(HWND list) { return static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); }

// A row whose text is `text` and whose sourceIndex carries an identity for the checks.
TraceRow* MakeRow(short store, const std::wstring& text, int id = 0) {
    TraceRow* row = rowstore_NewRow(store);
    if (!row) return nullptr;
    row->text = rowstore_NewText(store, static_cast<int>(text.size()) + 1);
    if (row->text) wcscpy(row->text, text.c_str());
    row->sourceIndex = id;
    swprintf(row->time, 32, L"MO 10:00:00,00 [%05d]", id);
    wcscpy(row->function, L"Function");
    return row;
}

class RowStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_boxes.clear();
        g_updates.clear();
        rowstore_SetMessageBox(&RecordBox);
        parent_ = CreateParent();
        list_ = CreateList(parent_);
        ASSERT_TRUE(list_);
        store_ = rowstore_Create(list_, rowstore_CompareRows);
        ASSERT_GE(store_, 0);
        Subclass(list_, store_);
        kv::Server().mainStore = store_;
    }
    void TearDown() override {
        rowstore_SetAllocFailuresForTesting(0);
        rowstore_Destroy(store_);
        kv::Server().mainStore = -1;
        ::DestroyWindow(parent_);
        rowstore_SetMessageBox(nullptr);
    }
    int AddRows(int n, int firstId = 0) {
        int last = -1;
        for (int i = 0; i < n; ++i) last = rowstore_Add(store_, MakeRow(store_, L"row " + std::to_wstring(firstId + i), firstId + i));
        return last;
    }
    std::vector<int> Ids() const {
        std::vector<int> ids;
        for (int i = 0; i < rowstore_GetCount(store_); ++i) {
            TraceRow* row = rowstore_Get(store_, i);
            ids.push_back(row ? row->sourceIndex : -999);
        }
        return ids;
    }
    std::vector<std::wstring> Texts() const {
        std::vector<std::wstring> texts;
        for (int i = 0; i < rowstore_GetCount(store_); ++i) texts.push_back(rowstore_Get(store_, i)->text);
        return texts;
    }
    void Click(int column) {
        NMLISTVIEW click = {};
        click.hdr.hwndFrom = list_;
        click.hdr.code = LVN_COLUMNCLICK;
        click.iItem = -1;
        click.iSubItem = column;
        rowstore_Sort(store_, &click);
    }

    HWND parent_ = nullptr;
    HWND list_ = nullptr;
    short store_ = -1;
};

// --- the store table ----------------------------------------------------------------------

TEST_F(RowStoreTest, TableHas255EntriesAndReusesFreedOnes) {
    std::vector<short> claimed;
    for (;;) {
        short s = rowstore_Create(list_, rowstore_CompareRows);
        if (s < 0) break;
        claimed.push_back(s);
        ASSERT_LT(claimed.size(), 300u) << "the table must be bounded";
    }
    EXPECT_EQ(claimed.size() + 1, 255u) << "together with the fixture's store";
    EXPECT_EQ(rowstore_Create(list_, rowstore_CompareRows), -1) << "the 256th store";
    rowstore_Destroy(claimed[10]);
    EXPECT_EQ(rowstore_Create(list_, rowstore_CompareRows), claimed[10]) << "a freed entry is claimed again";
    for (short s : claimed) rowstore_Destroy(s);
    EXPECT_EQ(rowstore_Create(nullptr, rowstore_CompareRows), -1) << "a store needs a view";
}

TEST_F(RowStoreTest, BadStoreIndicesAnswerNone) {
    TraceRow* row = MakeRow(store_, L"x");
    for (short bad : {short(-1), short(255)}) {
        EXPECT_EQ(rowstore_Add(bad, row), -1);
        EXPECT_EQ(rowstore_Get(bad, 0), nullptr);
        EXPECT_EQ(rowstore_NewRow(bad), nullptr);
        rowstore_Delete(bad, 0);
        rowstore_Clear(bad);
    }
    EXPECT_EQ(rowstore_Add(store_, nullptr), -1) << "a missing row is not stored";
    rowstore_FreeRow(row);
    EXPECT_TRUE(g_boxes.empty()) << "bad indices show no box";
}

// --- growth and the order of rows -------------------------------------------------------

TEST_F(RowStoreTest, ArrayGrowsPastItsFirst10000Slots) {
    EXPECT_EQ(AddRows(10000), 9999);
    TraceRow* next = MakeRow(store_, L"row 10000", 10000);
    EXPECT_EQ(rowstore_Add(store_, next), 10000);
    EXPECT_EQ(rowstore_Get(store_, 10000), next);
    EXPECT_EQ(rowstore_GetCount(store_), 10001);
    std::vector<int> ids = Ids();
    for (int i = 0; i <= 10000; ++i) ASSERT_EQ(ids[i], i) << "row " << i << " after growth";
    EXPECT_EQ(rowstore_Get(store_, 10001), nullptr);
    EXPECT_EQ(rowstore_Get(store_, -1), nullptr);
}

TEST_F(RowStoreTest, GrowthWhileTheRingWrapsKeepsOrder) {
    AddRows(9000, 0);
    rowstore_DeleteFirst(store_, 0, 5000);  // the oldest row now sits in slot 5000
    AddRows(6000, 9000);                    // the newest rows wrap round to slot 0
    EXPECT_EQ(rowstore_GetCount(store_), 10000);
    AddRows(2, 15000);                      // full: grows while wrapped
    std::vector<int> ids = Ids();
    ASSERT_EQ(ids.size(), 10002u);
    for (int i = 0; i < 10002; ++i) ASSERT_EQ(ids[i], 5000 + i) << "row " << i;
}

// Adds, trims and single deletes in random order, with the occasional sort, must keep
// exactly the order a plain double-ended queue keeps.
TEST_F(RowStoreTest, RandomOperationsMatchAQueueModel) {
    std::mt19937 rng(20261206);
    std::deque<int> model;
    int nextId = 0;
    auto check = [&](int step) {
        ASSERT_EQ(rowstore_GetCount(store_), static_cast<int>(model.size())) << "step " << step;
        for (size_t i = 0; i < model.size(); ++i) {
            TraceRow* row = rowstore_Get(store_, static_cast<int>(i));
            ASSERT_TRUE(row) << "step " << step << " row " << i;
            ASSERT_EQ(row->sourceIndex, model[i]) << "step " << step << " row " << i;
        }
    };
    for (int step = 0; step < 60000; ++step) {
        const int op = std::uniform_int_distribution<int>(0, 999)(rng);
        const int count = static_cast<int>(model.size());
        if (op < 700) {
            // Ids are zero-padded in the text so that a sort by text is a sort by id.
            wchar_t text[16];
            swprintf(text, 16, L"%08d", nextId);
            ASSERT_EQ(rowstore_Add(store_, MakeRow(store_, text, nextId)), count);
            model.push_back(nextId++);
        } else if (op < 800) {
            const int n = std::uniform_int_distribution<int>(0, 600)(rng);
            rowstore_DeleteFirst(store_, 0, n);
            if (n < count) model.erase(model.begin(), model.begin() + n);
        } else if (op < 830) {
            const int first = std::uniform_int_distribution<int>(0, 50)(rng);
            const int n = std::uniform_int_distribution<int>(0, 50)(rng);
            rowstore_DeleteFirst(store_, first, n);
            if (first + n < count) model.erase(model.begin() + first, model.begin() + first + n);
        } else if (op < 998) {
            const int index = std::uniform_int_distribution<int>(-1, count)(rng);
            rowstore_Delete(store_, index);
            if (index >= 0 && index < count) model.erase(model.begin() + index);
        } else {
            Click(kColText);
            if (rowstore_GetSortAscending(store_))
                std::sort(model.begin(), model.end());
            else
                std::sort(model.begin(), model.end(), std::greater<int>());
        }
        if (step % 1000 == 0) check(step);
        if (HasFatalFailure()) return;
    }
    check(60000);
}

TEST_F(RowStoreTest, ClearEmptiesTheStoreAndTheViewAtOnce) {
    AddRows(20);
    rowstore_FlushCount(store_);
    ASSERT_EQ(ViewCount(list_), 20);
    rowstore_Clear(store_);
    EXPECT_EQ(rowstore_GetCount(store_), 0);
    EXPECT_EQ(ViewCount(list_), 0);
    EXPECT_EQ(rowstore_Get(store_, 0), nullptr);
    EXPECT_EQ(AddRows(3), 2) << "a cleared store takes rows again";
}

// --- the count pushed to the view -----------------------------------------------------

TEST_F(RowStoreTest, BurstOfAddsGivesOneCountUpdateAfterTheLastAdd) {
    AddRows(10);
    const DWORD lastAdd = ::GetTickCount();
    EXPECT_EQ(ViewCount(list_), 0) << "adding does not touch the view";
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ViewCount(list_) == 10; }, 5000));
    ASSERT_EQ(g_updates.size(), 1u) << "one update for the burst";
    EXPECT_EQ(g_updates[0].count, 10u);
    EXPECT_EQ(g_updates[0].flags, static_cast<LPARAM>(LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL));
    EXPECT_GE(g_updates[0].tick - lastAdd, kRowStoreAddDelayMs - 5) << "pushed too early";
}

// Adds closer together than the delay keep postponing the update: the timer that fires
// too early must re-arm itself rather than push the count.
TEST_F(RowStoreTest, SpacedAddsPostponeTheUpdate) {
    std::vector<DWORD> addTicks;
    for (int i = 0; i < 8; ++i) {
        if (i > 0) {
            const DWORD since = ::GetTickCount();
            kvtest::PumpUntil([&] { return ::GetTickCount() - since >= 35; }, 1000);
        }
        AddRows(1, i);
        addTicks.push_back(::GetTickCount());
    }
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ViewCount(list_) == 8; }, 5000));
    DWORD longestGap = 0;
    for (size_t i = 1; i < addTicks.size(); ++i) longestGap = std::max(longestGap, addTicks[i] - addTicks[i - 1]);
    for (const ItemCountUpdate& u : g_updates) {
        // The add last before each update.
        DWORD before = 0;
        for (DWORD t : addTicks)
            if (static_cast<LONG>(t - u.tick) <= 0) before = t;
        EXPECT_GE(u.tick - before, kRowStoreAddDelayMs - 5) << "an update came sooner than the delay after an add";
    }
    if (longestGap < kRowStoreAddDelayMs - 10) {
        EXPECT_EQ(g_updates.size(), 1u) << "no gap between adds reached the delay";
    }
}

TEST_F(RowStoreTest, DeleteUpdatesTheViewShortlyAndDeleteFirstAtOnce) {
    AddRows(10);
    rowstore_FlushCount(store_);
    ASSERT_EQ(ViewCount(list_), 10);
    g_updates.clear();

    rowstore_Delete(store_, 4);
    EXPECT_EQ(rowstore_GetCount(store_), 9);
    EXPECT_EQ(ViewCount(list_), 10) << "a single delete is pushed by the timer";
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ViewCount(list_) == 9; }, 5000));
    EXPECT_EQ(Ids(), (std::vector<int>{0, 1, 2, 3, 5, 6, 7, 8, 9}));

    g_updates.clear();
    rowstore_DeleteFirst(store_, 0, 3);
    EXPECT_EQ(ViewCount(list_), 6) << "trimming sets the count at once";
    ASSERT_EQ(g_updates.size(), 1u);
    EXPECT_EQ(g_updates[0].flags, static_cast<LPARAM>(LVSICF_NOSCROLL));
    EXPECT_EQ(Ids(), (std::vector<int>{3, 5, 6, 7, 8, 9}));

    g_updates.clear();
    rowstore_DeleteFirst(store_, 0, 6);  // first + n must stay below the count
    rowstore_DeleteFirst(store_, 2, 4);
    rowstore_DeleteFirst(store_, -1, 2);
    rowstore_DeleteFirst(store_, 0, -2);
    EXPECT_EQ(rowstore_GetCount(store_), 6);
    EXPECT_TRUE(g_updates.empty()) << "refused trims leave the view alone";
}

TEST_F(RowStoreTest, FlushPushesAPendingCountAndScrollsWhenAsked) {
    rowstore_FlushCount(store_);
    EXPECT_TRUE(g_updates.empty()) << "nothing pending, nothing pushed";

    AddRows(200);
    rowstore_FlushCount(store_);
    ASSERT_EQ(g_updates.size(), 1u);
    EXPECT_EQ(ViewCount(list_), 200);
    EXPECT_EQ(::SendMessageW(list_, LVM_GETTOPINDEX, 0, 0), 0) << "no auto-scroll: the view stays at the top";

    rowstore_SetAutoScroll(store_, TRUE);
    EXPECT_TRUE(rowstore_GetAutoScroll(store_));
    AddRows(100, 200);
    rowstore_FlushCount(store_);
    const LRESULT top = ::SendMessageW(list_, LVM_GETTOPINDEX, 0, 0);
    const LRESULT perPage = ::SendMessageW(list_, LVM_GETCOUNTPERPAGE, 0, 0);
    EXPECT_GT(top, 0);
    EXPECT_GE(top + perPage, 300) << "the last row is visible";

    // The timer of the flushed update must not push again.
    g_updates.clear();
    rowstore_OnTimer(store_, kRowStoreTimerId);
    rowstore_OnTimer(store_, kRowStoreTimerId + 1);
    EXPECT_TRUE(g_updates.empty());
}

// --- texts ------------------------------------------------------------------------------------

TEST_F(RowStoreTest, ColumnTextIsCutAndBadRequestsLeaveAnEmptyBuffer) {
    TraceRow* row = MakeRow(store_, L"the message", 7);
    wcscpy(row->tag, L"INF");
    wcscpy(row->process, L"proc.exe");
    wcscpy(row->module, L"mod [12]");
    row->levelWord = MakeLevelWord(30, kLevelSwitchInfo);
    ASSERT_EQ(rowstore_Add(store_, row), 0);
    TraceRow* bare = rowstore_NewRow(store_);  // no text block
    ASSERT_EQ(rowstore_Add(store_, bare), 1);

    wchar_t buf[64];
    const wchar_t* expected[kColumnCount] = {row->time, L"INF", L"proc.exe", L"mod [12]", L"Function", L"the message"};
    for (int c = 0; c < kColumnCount; ++c) {
        EXPECT_EQ(rowstore_GetColumnText(store_, 0, c, buf, 64), 1) << "column " << c;
        EXPECT_STREQ(buf, expected[c]) << "column " << c;
    }
    EXPECT_EQ(rowstore_GetColumnText(store_, 0, kColText, buf, 4), 1);
    EXPECT_STREQ(buf, L"the") << "cut to capacity - 1";

    auto refused = [&](int index, int column) {
        wcscpy(buf, L"stale");
        EXPECT_EQ(rowstore_GetColumnText(store_, index, column, buf, 64), 0) << index << "/" << column;
        EXPECT_STREQ(buf, L"") << index << "/" << column;
    };
    refused(0, 6);
    refused(0, -1);
    refused(1, kColText);  // a row without text
    refused(2, 0);
    refused(-1, 0);
    EXPECT_EQ(rowstore_GetColumnText(store_, 0, 0, nullptr, 64), 0);
    buf[0] = L'x';
    EXPECT_EQ(rowstore_GetColumnText(store_, 0, 0, buf, 0), 0);
    EXPECT_EQ(buf[0], L'x') << "a zero capacity writes nothing";

    EXPECT_EQ(rowstore_GetLevelWord(store_, 0), MakeLevelWord(30, kLevelSwitchInfo));
    EXPECT_EQ(rowstore_GetSourceIndex(store_, 0), 7);
    EXPECT_EQ(rowstore_GetLevelWord(store_, 5), 0u);
    EXPECT_EQ(rowstore_GetSourceIndex(store_, 5), 0);
}

TEST_F(RowStoreTest, ViewReadsTextsStraightFromTheRows) {
    AddRows(3);
    rowstore_FlushCount(store_);
    wchar_t buf[64] = L"";
    LVITEMW item = {};
    item.iSubItem = kColText;
    item.pszText = buf;
    item.cchTextMax = 64;
    ::SendMessageW(list_, LVM_GETITEMTEXTW, 1, reinterpret_cast<LPARAM>(&item));
    EXPECT_STREQ(buf, L"row 1") << "the view's text request is answered by the store";

    NMLVDISPINFOW info = {};
    info.item.mask = LVIF_TEXT;
    info.item.iItem = 2;
    info.item.iSubItem = kColFunction;
    info.item.pszText = buf;
    rowstore_OnGetDispInfo(store_, &info);
    EXPECT_EQ(info.item.pszText, rowstore_Get(store_, 2)->function) << "pointed at the row's field, not copied";

    info.item.iItem = 3;  // no such row: left alone
    info.item.pszText = buf;
    rowstore_OnGetDispInfo(store_, &info);
    EXPECT_EQ(info.item.pszText, buf);
    rowstore_OnGetDispInfo(store_, nullptr);
}

// --- marks ------------------------------------------------------------------------------------

TEST_F(RowStoreTest, MarkNavigationWrapsAround) {
    AddRows(10);
    for (int i : {2, 5, 8}) rowstore_SetMark(store_, i, TRUE);
    EXPECT_TRUE(rowstore_IsMarked(store_, 5));
    EXPECT_FALSE(rowstore_IsMarked(store_, 4));
    EXPECT_EQ(rowstore_NextMark(store_, 0), 2);
    EXPECT_EQ(rowstore_NextMark(store_, 2), 5);
    EXPECT_EQ(rowstore_NextMark(store_, 8), 2) << "from the last mark to the first";
    EXPECT_EQ(rowstore_NextMark(store_, 9), 2);
    EXPECT_EQ(rowstore_PrevMark(store_, 9), 8);
    EXPECT_EQ(rowstore_PrevMark(store_, 5), 2);
    EXPECT_EQ(rowstore_PrevMark(store_, 2), 8) << "from the first mark to the last";
    EXPECT_EQ(rowstore_PrevMark(store_, 0), 8);
    for (int bad : {-1, 10}) {
        EXPECT_EQ(rowstore_NextMark(store_, bad), -1);
        EXPECT_EQ(rowstore_PrevMark(store_, bad), -1);
    }

    rowstore_SetMark(store_, 2, FALSE);
    rowstore_SetMark(store_, 8, FALSE);
    EXPECT_EQ(rowstore_NextMark(store_, 5), -1) << "the only mark is never its own next";
    EXPECT_EQ(rowstore_PrevMark(store_, 5), -1);
    EXPECT_EQ(rowstore_NextMark(store_, 7), 5);
    EXPECT_EQ(rowstore_PrevMark(store_, 3), 5);

    rowstore_SetMark(store_, 1, TRUE);
    rowstore_ClearMarks(store_);
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(rowstore_IsMarked(store_, i)) << i;
    EXPECT_EQ(rowstore_NextMark(store_, 0), -1);
    rowstore_SetMark(store_, 10, TRUE);  // no such row: nothing happens
    EXPECT_FALSE(rowstore_IsMarked(store_, 10));
}

TEST_F(RowStoreTest, MarkingRedrawsThatRowOnly) {
    ::SetWindowPos(parent_, nullptr, -2000, -2000, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::ShowWindow(parent_, SW_SHOWNOACTIVATE);
    AddRows(20);
    rowstore_FlushCount(store_);
    ::UpdateWindow(list_);
    kvtest::PumpPending();
    RECT none;
    ASSERT_FALSE(::GetUpdateRect(list_, &none, FALSE)) << "painted before the mark";

    rowstore_SetMark(store_, 3, TRUE);
    RECT item = {};
    item.left = LVIR_BOUNDS;
    ASSERT_TRUE(::SendMessageW(list_, LVM_GETITEMRECT, 3, reinterpret_cast<LPARAM>(&item)));
    RECT dirty;
    ASSERT_TRUE(::GetUpdateRect(list_, &dirty, FALSE)) << "the marked row must be redrawn";
    RECT common;
    EXPECT_TRUE(::IntersectRect(&common, &dirty, &item));
    EXPECT_LE(dirty.bottom - dirty.top, item.bottom - item.top) << "only the row, not the whole list";
    EXPECT_TRUE(rowstore_IsMarked(store_, 3));
    EXPECT_EQ(rowstore_Get(store_, 3)->markFlags, kRowMarked);
}

// --- sorting ----------------------------------------------------------------------------------

bool g_lockHeldDuringCompare;
bool g_lockChecked;
int __cdecl CompareCheckingLock(const void* a, const void* b) {
    if (!g_lockChecked) {
        g_lockChecked = true;
        bool entered = true;
        std::thread other([&] {
            entered = ::TryEnterCriticalSection(&kv::ListLockSection()) != FALSE;
            if (entered) ::LeaveCriticalSection(&kv::ListLockSection());
        });
        other.join();
        g_lockHeldDuringCompare = !entered;
    }
    return rowstore_CompareRows(a, b);
}

TEST_F(RowStoreTest, SortTogglesDirectionOnTheSameColumnAndIgnoresCase) {
    const std::vector<std::wstring> texts = {L"banana", L"Cherry", L"apple", L"BANANA split", L"Apricot"};
    for (size_t i = 0; i < texts.size(); ++i) {
        TraceRow* row = MakeRow(store_, texts[i], static_cast<int>(i));
        swprintf(row->process, 32, L"p%d", static_cast<int>(texts.size() - i));  // reverse order
        rowstore_Add(store_, row);
    }
    Click(kColText);
    EXPECT_EQ(rowstore_GetSortColumn(store_), kColText);
    EXPECT_TRUE(rowstore_GetSortAscending(store_)) << "a new column sorts ascending first";
    EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"apple", L"Apricot", L"banana", L"BANANA split", L"Cherry"}));

    Click(kColText);
    EXPECT_FALSE(rowstore_GetSortAscending(store_)) << "the same column again reverses";
    EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"Cherry", L"BANANA split", L"banana", L"Apricot", L"apple"}));

    Click(kColProcess);
    EXPECT_EQ(rowstore_GetSortColumn(store_), kColProcess);
    EXPECT_TRUE(rowstore_GetSortAscending(store_));
    EXPECT_EQ(Ids(), (std::vector<int>{4, 3, 2, 1, 0}));

    Click(kColumnCount);
    Click(-1);
    EXPECT_EQ(rowstore_GetSortColumn(store_), kColProcess) << "no such column: nothing changes";
    EXPECT_TRUE(rowstore_GetSortAscending(store_));
    rowstore_Sort(store_, nullptr);
}

TEST_F(RowStoreTest, SortHoldsTheListLockAndCompareToleratesMissingRows) {
    short other = rowstore_Create(list_, CompareCheckingLock);
    ASSERT_GE(other, 0);
    for (int i = 0; i < 5; ++i) rowstore_Add(other, MakeRow(other, std::to_wstring(5 - i), i));
    g_lockChecked = false;
    NMLISTVIEW click = {};
    click.iSubItem = kColText;
    rowstore_Sort(other, &click);
    EXPECT_TRUE(g_lockChecked);
    EXPECT_TRUE(g_lockHeldDuringCompare) << "another thread could take the list lock during the sort";
    rowstore_Destroy(other);

    TraceRow* row = MakeRow(store_, L"x");
    TraceRow* none = nullptr;
    EXPECT_EQ(rowstore_CompareRows(&row, &none), 0);
    EXPECT_EQ(rowstore_CompareRows(&none, &row), 0);
    EXPECT_EQ(rowstore_CompareRows(nullptr, &row), 0);
    TraceRow* bare = rowstore_NewRow(store_);
    Click(kColText);  // sorted by text: a row without text counts as empty
    EXPECT_NE(rowstore_CompareRows(&row, &bare), 0);
    rowstore_FreeRow(row);
    rowstore_FreeRow(bare);
}

// --- out of memory ---------------------------------------------------------------------------

TEST_F(RowStoreTest, FailedRowAndTextAllocationsShowTheSmallBox) {
    rowstore_SetAllocFailuresForTesting(kRowStoreFailRow | kRowStoreFailText);
    EXPECT_EQ(rowstore_NewRow(store_), nullptr);
    EXPECT_EQ(rowstore_NewText(store_, 10), nullptr);
    ASSERT_EQ(g_boxes.size(), 2u);
    for (const Box& b : g_boxes) {
        EXPECT_EQ(b.text, L"Running out of memory !");
        EXPECT_EQ(b.title, L"VO Vedoz Izodoz");
        EXPECT_EQ(b.type, static_cast<UINT>(MB_OK)) << "no icon";
    }
    rowstore_SetAllocFailuresForTesting(0);
    EXPECT_EQ(rowstore_NewText(store_, 0), nullptr) << "no room for even the terminator";
    EXPECT_EQ(g_boxes.size(), 2u) << "a bad size is not a memory shortage";
}

TEST_F(RowStoreTest, ArrayThatCannotGrowRefusesTheRowAndKeepsTheStore) {
    AddRows(10000);
    rowstore_SetAllocFailuresForTesting(kRowStoreFailGrow);
    TraceRow* row = MakeRow(store_, L"one too many", 10000);
    EXPECT_EQ(rowstore_Add(store_, row), -1);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0].text, L"Running out of memory !!!");
    EXPECT_EQ(g_boxes[0].title, L"VO Vedoz Izodoz");
    EXPECT_EQ(g_boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_EQ(rowstore_GetCount(store_), 10000);
    EXPECT_EQ(rowstore_Get(store_, 9999)->sourceIndex, 9999);
    rowstore_SetAllocFailuresForTesting(0);
    EXPECT_EQ(rowstore_Add(store_, row), 10000) << "the same row fits once memory is back";
}

TEST_F(RowStoreTest, StoreWithoutArrayRefusesAddsUntilAClearSucceeds) {
    rowstore_SetAllocFailuresForTesting(kRowStoreFailHeap);
    short bare = rowstore_Create(list_, rowstore_CompareRows);
    EXPECT_GE(bare, 0) << "the entry is claimed all the same";
    rowstore_Destroy(bare);
    AddRows(5);
    rowstore_SetAllocFailuresForTesting(kRowStoreFailArray);
    rowstore_Clear(store_);
    rowstore_SetAllocFailuresForTesting(0);
    TraceRow* row = MakeRow(store_, L"x");
    EXPECT_EQ(rowstore_Add(store_, row), -1);
    EXPECT_EQ(rowstore_GetCount(store_), 0);
    ASSERT_EQ(g_boxes.size(), 3u) << "heap, array, add";
    for (const Box& b : g_boxes) {
        EXPECT_EQ(b.text, L"Running out of memory !!!");
        EXPECT_EQ(b.type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    }
    rowstore_FreeRow(row);
    rowstore_Clear(store_);
    EXPECT_EQ(AddRows(2), 1);
}

// --- the filter list's procedure ------------------------------------------------------------

std::vector<MSG> g_traceWindowMessages;
std::vector<UINT> g_previousProcMessages;
const DRAWITEMSTRUCT* g_drawn;
HWND g_drawnBy;

LRESULT CALLBACK RecordingTraceProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_KEYDOWN || msg == WM_LBUTTONDBLCLK || msg == WM_CONTEXTMENU) {
        MSG m = {hwnd, msg, wp, lp};
        g_traceWindowMessages.push_back(m);
        return 0;
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

// Sits below FilterListWndProc to see what it passes on.
LRESULT CALLBACK RecordingListProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    g_previousProcMessages.push_back(msg);
    auto prev = reinterpret_cast<WNDPROC>(::GetPropW(hwnd, kPrevProp));
    return ::CallWindowProcW(prev, hwnd, msg, wp, lp);
}

void DrawItemSeam(HWND window, const DRAWITEMSTRUCT* item) {
    g_drawnBy = window;
    g_drawn = item;
}

class FilterListTest : public RowStoreTest {
protected:
    void SetUp() override {
        RowStoreTest::SetUp();
        static ATOM cls = [] {
            WNDCLASSW wc = {};
            wc.lpfnWndProc = RecordingTraceProc;
            wc.hInstance = ::GetModuleHandleW(nullptr);
            wc.lpszClassName = L"KvRowStoreTestTrace";
            return ::RegisterClassW(&wc);
        }();
        (void)cls;
        trace_ = ::CreateWindowExW(0, L"KvRowStoreTestTrace", L"trace", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                   nullptr, ::GetModuleHandleW(nullptr), nullptr);
        kv::Server().traceWindow = trace_;
        filter_ = CreateList(parent_);
        filterStore_ = rowstore_Create(filter_, rowstore_CompareRows);
        kv::Server().filterStore = filterStore_;
        ::SetPropW(filter_, kPrevProp, reinterpret_cast<HANDLE>(::GetWindowLongPtrW(filter_, GWLP_WNDPROC)));
        ::SetWindowLongPtrW(filter_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RecordingListProc));
        InstallFilterListProc(filter_);
        g_traceWindowMessages.clear();
        g_previousProcMessages.clear();
    }
    void TearDown() override {
        kv::Seams().drawItem = nullptr;
        kv::Server().traceWindow = nullptr;
        kv::Server().filterStore = -1;
        rowstore_Destroy(filterStore_);
        ::DestroyWindow(trace_);
        RowStoreTest::TearDown();
    }
    bool PassedOn(UINT msg) const {
        return std::find(g_previousProcMessages.begin(), g_previousProcMessages.end(), msg) != g_previousProcMessages.end();
    }
    HWND trace_ = nullptr;
    HWND filter_ = nullptr;
    short filterStore_ = -1;
};

TEST_F(FilterListTest, KeysAndClicksReachTheTraceWindowButEscapeGoesNowhere) {
    EXPECT_EQ(::SendMessageW(filter_, WM_KEYDOWN, VK_ESCAPE, 0x00010001), 0);
    EXPECT_FALSE(PassedOn(WM_KEYDOWN)) << "Escape is swallowed";
    ::SendMessageW(filter_, WM_KEYDOWN, 'A', 0x001E0001);
    ::SendMessageW(filter_, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(5, 5));
    ::SendMessageW(filter_, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(filter_), MAKELPARAM(10, 20));
    EXPECT_TRUE(PassedOn(WM_KEYDOWN)) << "the list keeps its own key handling";
    EXPECT_TRUE(PassedOn(WM_LBUTTONDBLCLK));
    EXPECT_TRUE(PassedOn(WM_CONTEXTMENU));
    ASSERT_TRUE(kvtest::PumpUntil([] { return g_traceWindowMessages.size() >= 3; }, 5000))
        << g_traceWindowMessages.size() << " of 3 arrived";
    ASSERT_EQ(g_traceWindowMessages.size(), 3u);
    EXPECT_EQ(g_traceWindowMessages[0].message, static_cast<UINT>(WM_KEYDOWN));
    EXPECT_EQ(g_traceWindowMessages[0].wParam, static_cast<WPARAM>('A'));
    EXPECT_EQ(g_traceWindowMessages[0].lParam, 0x001E0001);
    EXPECT_EQ(g_traceWindowMessages[1].message, static_cast<UINT>(WM_LBUTTONDBLCLK));
    EXPECT_EQ(g_traceWindowMessages[2].message, static_cast<UINT>(WM_CONTEXTMENU));
    EXPECT_EQ(g_traceWindowMessages[2].lParam, MAKELPARAM(10, 20));
}

TEST_F(FilterListTest, BackgroundIsGreyAndNotPassedOn) {
    HDC screen = ::GetDC(nullptr);
    HDC dc = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, 50, 50);
    ::ReleaseDC(nullptr, screen);
    HGDIOBJ old = ::SelectObject(dc, bitmap);
    RECT all = {0, 0, 50, 50};
    ::FillRect(dc, &all, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
    for (int round = 0; round < 2; ++round) {  // the second round uses the kept brush
        EXPECT_EQ(::SendMessageW(filter_, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0), 0);
        EXPECT_EQ(::GetPixel(dc, 20, 20), kFilterListGrey);
    }
    EXPECT_FALSE(PassedOn(WM_ERASEBKGND));
    ::SelectObject(dc, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(dc);
}

TEST_F(FilterListTest, TimerReachesTheFilterStore) {
    rowstore_Add(filterStore_, MakeRow(filterStore_, L"copy"));
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ViewCount(filter_) == 1; }, 5000))
        << "the count timer of the filter list must reach its store";
    EXPECT_TRUE(PassedOn(WM_TIMER));
}

TEST_F(FilterListTest, DrawItemGoesToTheTraceWindowsRoutine) {
    DRAWITEMSTRUCT item = {};
    item.CtlType = ODT_LISTVIEW;
    item.hwndItem = filter_;
    ::SendMessageW(filter_, WM_DRAWITEM, 1, reinterpret_cast<LPARAM>(&item));  // no routine yet
    EXPECT_EQ(g_drawn, nullptr);
    kv::Seams().drawItem = &DrawItemSeam;
    ::SendMessageW(filter_, WM_DRAWITEM, 1, reinterpret_cast<LPARAM>(&item));
    EXPECT_EQ(g_drawn, &item);
    EXPECT_EQ(g_drawnBy, filter_);
}

// --- waiting while pumping -------------------------------------------------------------------

const UINT kPing = WM_APP + 7;
int g_pings;

LRESULT CALLBACK PingProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kPing) {
        ++g_pings;
        return 42;
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

class PumpWaitTest : public ::testing::Test {
protected:
    void SetUp() override {
        static ATOM cls = [] {
            WNDCLASSW wc = {};
            wc.lpfnWndProc = PingProc;
            wc.hInstance = ::GetModuleHandleW(nullptr);
            wc.lpszClassName = L"KvPumpWaitTest";
            return ::RegisterClassW(&wc);
        }();
        (void)cls;
        window_ = ::CreateWindowExW(0, L"KvPumpWaitTest", L"", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr,
                                    ::GetModuleHandleW(nullptr), nullptr);
        event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        g_pings = 0;
    }
    void TearDown() override { ::DestroyWindow(window_); }
    HWND window_ = nullptr;
    kv::UniqueHandle event_;
};

TEST_F(PumpWaitTest, SignalledHandleGivesOneAndTimeOutZero) {
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(PumpMessagesWhileWaiting(event_.get(), 60), 0);
    EXPECT_GE(::GetTickCount() - start, 55u) << "returned before the time-out";
    ::SetEvent(event_.get());
    EXPECT_EQ(PumpMessagesWhileWaiting(event_.get(), 5000), 1);
    EXPECT_EQ(PumpMessagesWhileWaiting(event_.get(), 0), 1) << "a zero time-out still looks at the handle";
}

TEST_F(PumpWaitTest, WithoutHandleMessagesAreDispatchedUntilTheTimeOut) {
    ::PostMessageW(window_, kPing, 0, 0);
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(PumpMessagesWhileWaiting(nullptr, 60), 0);
    EXPECT_GE(::GetTickCount() - start, 55u);
    EXPECT_EQ(g_pings, 1) << "a posted message waits for no one";
}

// The thread being waited for sends to this thread's window first: without dispatching,
// the two threads would wait for each other until the time-out.
TEST_F(PumpWaitTest, ThreadThatSendsToTheWaiterCanFinish) {
    LRESULT answer = 0;
    HWND window = window_;
    HANDLE event = event_.get();
    std::thread worker([&answer, window, event] {
        answer = ::SendMessageW(window, kPing, 0, 0);
        ::SetEvent(event);
    });
    const int result = PumpMessagesWhileWaiting(event_.get(), 30000);
    worker.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(answer, 42);
    EXPECT_EQ(g_pings, 1);
}

TEST_F(PumpWaitTest, QuitMessageOutlivesTheWait) {
    ::PostQuitMessage(3);
    ::PostMessageW(window_, kPing, 0, 0);
    EXPECT_EQ(PumpMessagesWhileWaiting(nullptr, 30), 0);
    EXPECT_EQ(g_pings, 1);
    MSG msg;
    ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the caller's loop must still see WM_QUIT";
    EXPECT_EQ(msg.wParam, 3u);
}

TEST_F(PumpWaitTest, AbandonedMutexCountsAsAcquired) {
    kv::UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, nullptr));
    HANDLE m = mutex.get();
    std::thread owner([m] { ::WaitForSingleObject(m, INFINITE); });  // ends holding it
    owner.join();
    EXPECT_EQ(PumpMessagesWhileWaiting(mutex.get(), 5000), 1);
    EXPECT_TRUE(::ReleaseMutex(mutex.get())) << "the waiter owns the mutex";
}

}  // namespace

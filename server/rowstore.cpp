// Row stores: the rows behind the two owner-data list views, their pointer arrays and
// the batched push of the row count to the views.
#include "server/rowstore.h"

#include <algorithm>
#include <limits.h>
#include <stdlib.h>

#include "client/locks.h"
#include "client/region.h"
#include "server/listselection.h"
#include "server/rowsort.h"
#include "server/serverstate.h"

namespace {

const wchar_t kBoxTitle[] = L"VO Vedoz Izodoz";
const wchar_t kArrayOutOfMemory[] = L"Running out of memory !!!";
const wchar_t kRowOutOfMemory[] = L"Running out of memory !";

// The count timer: how a store's row count reaches its view, so that a burst of adds
// costs one count push and about one window-system call, from whichever thread adds.
// It rests on these facts of the platform:
//  - a SetTimer timer fires again and again until it is killed, and SetTimer on a running
//    timer only sets its time anew;
//  - SetTimer and KillTimer work only on the thread that owns the window: from any other
//    thread they fail, so such a thread posts instead, and a timer it could not kill
//    fires once more;
//  - a WM_TIMER posted to the view reaches rowstore_OnTimer through the list's window
//    procedure, which passes every WM_TIMER on, exactly as a tick of the timer does;
//  - the tick count wraps, so due times are compared by their signed difference.
// Every transition is made by StepCount, under the store lock.
enum class CountState : unsigned char {
    kIdle,     // nothing owed, no tick on its way
    kArmed,    // count owed; the timer fires at armedTick, and re-arms itself for the rest
               // when that is before dueTick
    kTickDue,  // count owed; a tick the store did not time is on its way (a posted
               // WM_TIMER, or a timer another thread could not kill): it arms the timer
    kUnarmed,  // count owed; neither timer nor post could be had: the window's 1-second
               // tick pushes it (rowstore_FlushCount)
    kStray,    // nothing owed; a tick is still on its way, and it kills its timer
};
enum class CountEvent : unsigned char {
    kChanged,  // rows were added or deleted: the count is owed delayMs from now
    kTick,     // a WM_TIMER of the store's id reached the view (its thread)
    kFlush,    // the count is pushed now (any thread)
    kDestroy,  // the store goes
};
struct CountTimer {
    CountState state;
    DWORD dueTick;    // when the count is owed
    DWORD armedTick;  // kArmed: when the timer fires
};

// One entry of the store table. The pointer array is a ring: row i lives in slot
// (head + i) mod capacity, so that trimming the oldest rows of a long list moves no
// pointers. Growth and sorting lay it out from slot 0 again.
struct StoreEntry {
    DWORD sortAscending;
    DWORD autoScroll;
    short sortColumn;
    int capacity;
    int count;
    HWND listView;     // null: the entry is free
    RowCompareFn compare;
    TraceRow** slots;
    HANDLE heap;
    int head;
    CountTimer timer;
    DWORD viewThread;   // the thread that owns the view: only it can time the view's timer
    // Rows dropped from the front that the view has not been told of, and whether the
    // post that tells it is on its way.
    int dropOwed;
    bool dropPosted;
};

StoreEntry g_stores[kRowStoreEntries];
MessageBoxFn g_messageBox;
unsigned g_failures;

// The store lock (client/locks.h): the table, every pointer array and the rows' fields.
// Short: it is never held across a window message or a message box, and nothing that
// waits for the window thread is done under it.
kv::RankedSection g_storeLock{kv::LockRank::kStore};
class StoreLock {
public:
    StoreLock() noexcept : lock_(g_storeLock) {}
private:
    kv::SectionLock lock_;
};

// Allocation failures are reported by one box at a time, shown on a thread of its own
// after the caller has left its locks, so that no intake waits for a user's click.
kv::RankedSection g_boxLock{kv::LockRank::kAllocBox};
class BoxLock {
public:
    BoxLock() noexcept : lock_(g_boxLock) {}
private:
    kv::SectionLock lock_;
};
const wchar_t* g_boxText;
UINT g_boxType;
enum BoxState : LONG { kBoxIdle, kBoxPending, kBoxShowing };
volatile LONG g_boxState = kBoxIdle;

void ShowBox(const wchar_t* text, UINT type) {
    BoxLock lock;
    if (g_boxState != kBoxIdle) return;
    g_boxText = text;
    g_boxType = type;
    g_boxState = kBoxPending;
}

DWORD WINAPI BoxThread(LPVOID) {
    const wchar_t* text;
    UINT type;
    {
        BoxLock lock;
        text = g_boxText;
        type = g_boxType;
    }
    MessageBoxFn box = g_messageBox ? g_messageBox : &::MessageBoxW;
    box(nullptr, text, kBoxTitle, type);
    ::InterlockedExchange(&g_boxState, kBoxIdle);
    return 0;
}

StoreEntry* Entry(short store) {
    if (store < 0 || store >= kRowStoreEntries) return nullptr;
    StoreEntry* e = &g_stores[store];
    return e->listView ? e : nullptr;
}

inline int Slot(const StoreEntry& e, int index) {
    int p = e.head + index;
    return p >= e.capacity ? p - e.capacity : p;
}

TraceRow* RowAt(const StoreEntry& e, int index) {
    if (index < 0 || index >= e.count) return nullptr;
    return e.slots[Slot(e, index)];
}

// Moves the rows to slots 0 .. count - 1 without changing their order.
void Linearise(StoreEntry& e) {
    if (e.head == 0 || !e.slots) return;
    std::rotate(e.slots, e.slots + e.head, e.slots + e.capacity);
    e.head = 0;
}

bool BuildArray(StoreEntry& e) {
    const SIZE_T bytes = kRowStoreGrowth * sizeof(TraceRow*);
    HANDLE heap = (g_failures & kRowStoreFailHeap) ? nullptr : ::HeapCreate(0, bytes, 0);
    if (!heap) {
        ShowBox(kArrayOutOfMemory, MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    void* slots = (g_failures & kRowStoreFailArray) ? nullptr : ::HeapAlloc(heap, HEAP_ZERO_MEMORY, bytes);
    if (!slots) {
        // A heap without its array is of no use to anyone: the store stays empty.
        ::HeapDestroy(heap);
        ShowBox(kArrayOutOfMemory, MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    e.heap = heap;
    e.slots = static_cast<TraceRow**>(slots);
    e.capacity = kRowStoreGrowth;
    e.count = 0;
    e.head = 0;
    return true;
}

bool GrowArray(StoreEntry& e) {
    const bool fits = e.heap && e.slots && e.capacity <= INT_MAX - kRowStoreGrowth &&
                      static_cast<size_t>(e.capacity) + kRowStoreGrowth <= SIZE_MAX / sizeof(TraceRow*);
    if (!fits || (g_failures & kRowStoreFailGrow)) return false;
    const int newCapacity = e.capacity + kRowStoreGrowth;
    // The array is full, so laying it out from slot 0 leaves the new slots at the end.
    Linearise(e);
    void* slots = ::HeapReAlloc(e.heap, HEAP_ZERO_MEMORY, e.slots, static_cast<SIZE_T>(newCapacity) * sizeof(TraceRow*));
    if (!slots) return false;
    e.slots = static_cast<TraceRow**>(slots);
    e.capacity = newCapacity;
    return true;
}

void ReleaseAll(StoreEntry& e) {
    while (e.count > 0) {
        --e.count;
        const int slot = Slot(e, e.count);
        rowstore_FreeRow(e.slots[slot]);
        e.slots[slot] = nullptr;
    }
    if (e.heap) ::HeapDestroy(e.heap);
    e.heap = nullptr;
    e.slots = nullptr;
    e.capacity = 0;
    e.count = 0;
    e.head = 0;
}

// Every transition of the count timer (see CountState). True when the count must be
// pushed to the view now, which the caller does once the store lock is left.
bool StepCount(StoreEntry& e, CountEvent event, UINT delayMs = 0) {
    CountTimer& t = e.timer;
    const bool viewThread = e.viewThread == ::GetCurrentThreadId();
    auto arm = [&](UINT ms, DWORD due) {
        t.state = ::SetTimer(e.listView, kRowStoreTimerId, ms, nullptr) ? CountState::kArmed : CountState::kUnarmed;
        t.armedTick = due;
    };
    switch (event) {
    case CountEvent::kChanged: {
        const DWORD due = ::GetTickCount() + delayMs;
        t.dueTick = due;
        // A timer that fires no later than the new due time re-arms itself then.
        if (t.state == CountState::kArmed && static_cast<LONG>(t.armedTick - due) <= 0) return false;
        if (viewThread) {
            arm(delayMs, due);
        } else if (t.state == CountState::kIdle || t.state == CountState::kUnarmed) {
            const bool posted = ::PostMessageW(e.listView, WM_TIMER, kRowStoreTimerId, 0) != FALSE;
            t.state = posted ? CountState::kTickDue : CountState::kUnarmed;
        } else if (t.state == CountState::kStray) {
            t.state = CountState::kTickDue;  // the tick on its way arms the timer
        }
        // kArmed on another thread: it fires later than due, by less than one delay.
        return false;
    }
    case CountEvent::kTick: {
        if (t.state == CountState::kIdle || t.state == CountState::kStray) {
            // Nothing owed: a tick of a timer that another thread could not kill.
            ::KillTimer(e.listView, kRowStoreTimerId);
            t.state = CountState::kIdle;
            return false;
        }
        const LONG remaining = static_cast<LONG>(t.dueTick - ::GetTickCount());
        if (remaining > 0) {
            arm(static_cast<UINT>(remaining), t.dueTick);
            if (t.state == CountState::kArmed) return false;
        }
        ::KillTimer(e.listView, kRowStoreTimerId);
        t.state = CountState::kIdle;
        return true;
    }
    case CountEvent::kFlush:
        switch (t.state) {
        case CountState::kIdle:
        case CountState::kStray:
            return false;
        case CountState::kArmed:
            t.state = ::KillTimer(e.listView, kRowStoreTimerId) ? CountState::kIdle : CountState::kStray;
            return true;
        case CountState::kTickDue:
            t.state = CountState::kStray;  // that tick must still come: it kills what it finds
            return true;
        case CountState::kUnarmed:
            t.state = CountState::kIdle;
            return true;
        }
        return false;
    case CountEvent::kDestroy:
        if (t.state != CountState::kIdle && ::IsWindow(e.listView)) ::KillTimer(e.listView, kRowStoreTimerId);
        t.state = CountState::kIdle;
        return false;
    }
    return false;
}

// The count as StepCount wants it pushed: taken under the store lock, sent after it.
struct CountPush {
    HWND view;
    int count;
    bool scroll;
    bool otherThread;

    void Take(const StoreEntry& e) {
        view = e.listView;
        count = e.count;
        scroll = e.autoScroll && e.count > 0;
        otherThread = e.viewThread != ::GetCurrentThreadId();
    }
    void Send() const {
        if (otherThread) kv::LockCheckSend();
        ::SendMessageW(view, LVM_SETITEMCOUNT, static_cast<WPARAM>(count), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
        if (scroll) ::SendMessageW(view, LVM_ENSUREVISIBLE, count - 1, FALSE);
    }
};


void SetItemState(HWND list, int item, UINT state, UINT mask) noexcept {
    LVITEMW lvi = {};
    lvi.stateMask = mask;
    lvi.state = state;
    ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&lvi));
}

}  // namespace

// Tells the view of the rows dropped from the front since it last heard: its count, and
// its top row and selection moved down with their rows (an item whose row went is the
// first one then); the whole view is drawn again.
void rowstore_TellDrop(short store) {
    HWND view;
    int dropped;
    bool autoScroll;
    bool otherThread;
    {
        StoreLock lock;
        StoreEntry* e = Entry(store);
        if (!e || e->dropOwed == 0) return;
        view = e->listView;
        dropped = e->dropOwed;
        e->dropOwed = 0;
        autoScroll = e->autoScroll != 0;
        otherThread = e->viewThread != ::GetCurrentThreadId();
    }
    if (otherThread) kv::LockCheckSend();
    int sel = kv::FirstSelected(view);
    kv::ClearSelection(view);
    int top = autoScroll ? -1 : static_cast<int>(::SendMessageW(view, LVM_GETTOPINDEX, 0, 0)) - dropped;
    // The count as it stands when the view hears: rows added since are shown with it.
    const int count = rowstore_GetCount(store);
    ::SendMessageW(view, LVM_SETITEMCOUNT, static_cast<WPARAM>(count), LVSICF_NOSCROLL);
    if (autoScroll) top = count - 1;
    ::SendMessageW(view, LVM_ENSUREVISIBLE, static_cast<WPARAM>(top < 0 ? 0 : top), FALSE);
    if (sel >= 0) {
        sel = sel - dropped < 0 ? 0 : sel - dropped;
        SetItemState(view, sel, LVIS_FOCUSED | LVIS_SELECTED, LVIS_FOCUSED | LVIS_SELECTED | LVIS_CUT | LVIS_DROPHILITED);
    }
    ::InvalidateRect(view, nullptr, TRUE);
}

void rowstore_SetMessageBox(MessageBoxFn fn) { g_messageBox = fn; }

void rowstore_SetAllocFailuresForTesting(unsigned mask) { g_failures = mask; }

void rowstore_ReportAllocFailures() {
    if (g_boxState != kBoxPending) return;
    if (::InterlockedCompareExchange(&g_boxState, kBoxShowing, kBoxPending) != kBoxPending) return;
    HANDLE thread = ::CreateThread(nullptr, 0, BoxThread, nullptr, 0, nullptr);
    if (thread)
        ::CloseHandle(thread);
    else
        ::InterlockedExchange(&g_boxState, kBoxIdle);
}

BOOL rowstore_AllocBoxBusyForTesting() { return g_boxState != kBoxIdle; }

short rowstore_Create(HWND listView, RowCompareFn compare) {
    // A null view would leave the entry looking free while it holds an array.
    if (!listView) return -1;
    const DWORD viewThread = ::GetWindowThreadProcessId(listView, nullptr);
    short created = -1;
    {
        StoreLock lock;
        for (short i = 0; i < kRowStoreEntries; ++i) {
            StoreEntry& e = g_stores[i];
            if (e.listView) continue;
            e = StoreEntry{};
            e.listView = listView;
            e.viewThread = viewThread;
            if (BuildArray(e)) e.compare = compare;
            created = i;
            break;
        }
    }
    rowstore_ReportAllocFailures();
    return created;
}

void rowstore_Destroy(short store) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    if (!e) return;
    StepCount(*e, CountEvent::kDestroy);
    ReleaseAll(*e);
    *e = StoreEntry{};
}

void rowstore_Clear(short store) {
    HWND view;
    {
        StoreLock lock;
        StoreEntry* e = Entry(store);
        if (!e) return;
        ReleaseAll(*e);
        BuildArray(*e);
        view = e->listView;
    }
    ::SendMessageW(view, LVM_SETITEMCOUNT, 0, 0);
    rowstore_ReportAllocFailures();
}

TraceRow* rowstore_NewRow(short store) {
    if (store < 0 || store >= kRowStoreEntries) return nullptr;
    void* row = (g_failures & kRowStoreFailRow) ? nullptr : ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(TraceRow));
    if (!row) ShowBox(kRowOutOfMemory, MB_OK);
    return static_cast<TraceRow*>(row);
}

wchar_t* rowstore_NewText(short store, int chars) {
    if (store < 0 || store >= kRowStoreEntries || chars <= 0) return nullptr;
    void* text = (g_failures & kRowStoreFailText)
                     ? nullptr
                     : ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(chars) * sizeof(wchar_t));
    if (!text) ShowBox(kRowOutOfMemory, MB_OK);
    return static_cast<wchar_t*>(text);
}

TraceRow* rowstore_NewRowWithText(short store, int chars) {
    if (store < 0 || store >= kRowStoreEntries || chars <= 0 || chars > kRowTextMax + 1) return nullptr;
    // One block per message instead of two: intake makes one for every row it stores.
    void* block = (g_failures & (kRowStoreFailRow | kRowStoreFailText))
                      ? nullptr
                      : ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY,
                                    sizeof(TraceRow) + static_cast<SIZE_T>(chars) * sizeof(wchar_t));
    if (!block) {
        ShowBox(kRowOutOfMemory, MB_OK);
        return nullptr;
    }
    TraceRow* row = static_cast<TraceRow*>(block);
    row->text = reinterpret_cast<wchar_t*>(row + 1);
    return row;
}

void rowstore_FreeRow(TraceRow* row) {
    if (!row) return;
    // A text in the row's own block goes with the row.
    if (row->text && row->text != reinterpret_cast<wchar_t*>(row + 1)) ::HeapFree(::GetProcessHeap(), 0, row->text);
    ::HeapFree(::GetProcessHeap(), 0, row);
}

int rowstore_Add(short store, TraceRow* row) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    if (!e || !row) return -1;
    if (e->count >= e->capacity && !GrowArray(*e)) {
        ShowBox(kArrayOutOfMemory, MB_OK | MB_ICONEXCLAMATION);
        return -1;
    }
    e->slots[Slot(*e, e->count)] = row;
    ++e->count;
    StepCount(*e, CountEvent::kChanged, kRowStoreAddDelayMs);
    return e->count - 1;
}

TraceRow* rowstore_Get(short store, int index) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    return e ? RowAt(*e, index) : nullptr;
}

BOOL rowstore_CopyRow(short store, int index, RowCopy* out) {
    if (!out) return FALSE;
    out->row = TraceRow{};
    out->text[0] = 0;
    out->row.text = out->text;
    StoreLock lock;
    StoreEntry* e = Entry(store);
    TraceRow* row = e ? RowAt(*e, index) : nullptr;
    if (!row) return FALSE;
    out->row = *row;
    out->row.text = out->text;
    kv::CopyCut(out->text, kRowTextMax + 1, row->text ? row->text : L"");
    return TRUE;
}

uint32_t rowstore_GetLevelWord(short store, int index) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    TraceRow* row = e ? RowAt(*e, index) : nullptr;
    return row ? row->levelWord : 0;
}

int32_t rowstore_GetSourceIndex(short store, int index) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    TraceRow* row = e ? RowAt(*e, index) : nullptr;
    return row ? row->sourceIndex : 0;
}

void rowstore_SetSourceIndex(short store, int index, int32_t source) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    if (TraceRow* row = e ? RowAt(*e, index) : nullptr) row->sourceIndex = source;
}

int rowstore_GetColumnText(short store, int index, int column, wchar_t* buffer, int capacity) {
    if (!buffer || capacity <= 0) return 0;
    buffer[0] = 0;
    StoreLock lock;
    StoreEntry* e = Entry(store);
    TraceRow* row = e ? RowAt(*e, index) : nullptr;
    if (!row) return 0;
    const wchar_t* field = RowColumnText(row, column);
    if (!field) return 0;
    kv::CopyCut(buffer, static_cast<size_t>(capacity), field);
    return 1;
}

void rowstore_Delete(short store, int index) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    if (!e || index < 0 || index >= e->count) return;
    rowstore_FreeRow(e->slots[Slot(*e, index)]);
    // Close the gap from whichever end is nearer; the ring allows both.
    if (index < e->count / 2) {
        for (int i = index; i > 0; --i) e->slots[Slot(*e, i)] = e->slots[Slot(*e, i - 1)];
        e->slots[e->head] = nullptr;
        e->head = Slot(*e, 1);
    } else {
        for (int i = index; i < e->count - 1; ++i) e->slots[Slot(*e, i)] = e->slots[Slot(*e, i + 1)];
        e->slots[Slot(*e, e->count - 1)] = nullptr;
    }
    --e->count;
    if (e->count == 0) e->head = 0;
    StepCount(*e, CountEvent::kChanged, kRowStoreDeleteDelayMs);
}

void rowstore_DeleteFirst(short store, int first, int n) {
    HWND view;
    int count;
    bool told = false;
    TraceRow** gone = nullptr;  // the rows taken out, released once the store lock is left
    {
        StoreLock lock;
        StoreEntry* e = Entry(store);
        if (!e || first < 0 || n < 0) return;
        if (static_cast<long long>(first) + n >= e->count) return;
        // The view's thread reads rows under this lock while it paints: a long trim must
        // not hold it for a release of every row.
        if (n > 0) gone = static_cast<TraceRow**>(::HeapAlloc(::GetProcessHeap(), 0, static_cast<SIZE_T>(n) * sizeof(TraceRow*)));
        for (int i = first; i < first + n; ++i) {
            const int slot = Slot(*e, i);
            if (gone)
                gone[i - first] = e->slots[slot];
            else
                rowstore_FreeRow(e->slots[slot]);
            e->slots[slot] = nullptr;
        }
        if (n > 0) {
            if (first == 0) {
                e->head = Slot(*e, n);
            } else {
                for (int i = first; i + n < e->count; ++i) {
                    const int to = Slot(*e, i), from = Slot(*e, i + n);
                    e->slots[to] = e->slots[from];
                    e->slots[from] = nullptr;
                }
            }
            e->count -= n;
        }
        view = e->listView;
        count = e->count;
        // Setting the view's count is the dearest call of a trim. On the view's own thread
        // the view hears of a drop from the front by a post, which reaches it before it
        // paints or takes input again, and the drops until then go with it. Any other
        // thread tells the view at once and waits for it: threads that trim in a tight
        // loop would otherwise keep the window thread doing nothing but catching up.
        if (first == 0 && n > 0) {
            e->dropOwed += n;
            if (e->viewThread == ::GetCurrentThreadId()) {
                if (!e->dropPosted) e->dropPosted = ::PostMessageW(view, WM_TIMER, kRowStoreDropTimerId, 0) != FALSE;
                told = e->dropPosted;
            }
        }
    }
    if (gone) {
        for (int i = 0; i < n; ++i) rowstore_FreeRow(gone[i]);
        ::HeapFree(::GetProcessHeap(), 0, gone);
    }
    if (told) return;
    if (first == 0 && n > 0)
        rowstore_TellDrop(store);
    else
        ::SendMessageW(view, LVM_SETITEMCOUNT, static_cast<WPARAM>(count), LVSICF_NOSCROLL);
}

int rowstore_GetCount(short store) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    return e ? e->count : 0;
}

void rowstore_SetAutoScroll(short store, BOOL on) {
    StoreLock lock;
    if (StoreEntry* e = Entry(store)) e->autoScroll = on ? 1 : 0;
}

BOOL rowstore_GetAutoScroll(short store) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    return e ? static_cast<BOOL>(e->autoScroll) : FALSE;
}

short rowstore_GetSortColumn(short store) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    return e ? e->sortColumn : 0;
}

BOOL rowstore_GetSortAscending(short store) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    return e ? static_cast<BOOL>(e->sortAscending) : FALSE;
}

void rowstore_FlushCount(short store) {
    // A drop the view has not heard of goes first: its selection moves with the rows
    // before a new count could cut it off.
    rowstore_TellDrop(store);
    CountPush push;
    {
        StoreLock lock;
        StoreEntry* e = Entry(store);
        if (!e || !StepCount(*e, CountEvent::kFlush)) return;
        push.Take(*e);
    }
    push.Send();
}

void rowstore_OnTimer(short store, UINT_PTR timerId) {
    if (timerId == kRowStoreDropTimerId) {
        {
            StoreLock lock;
            StoreEntry* e = Entry(store);
            if (!e) return;
            e->dropPosted = false;
        }
        rowstore_TellDrop(store);
        return;
    }
    if (timerId != kRowStoreTimerId) return;
    // As for a flush: a smaller count first would cut off a selection that moves with a
    // drop the view has not heard of yet.
    rowstore_TellDrop(store);
    CountPush push;
    {
        StoreLock lock;
        StoreEntry* e = Entry(store);
        if (!e || !StepCount(*e, CountEvent::kTick)) return;
        push.Take(*e);
    }
    push.Send();
}

void rowstore_Sort(short store, const NMLISTVIEW* columnClick) {
    if (!columnClick) return;
    const int column = columnClick->iSubItem;
    if (column < 0 || column >= kColumnCount) return;
    // Messages of other threads of this process may still arrive while tracing is
    // stopped; none may be added or trimmed while the array is being reordered.
    kv::ListLock listLock;
    StoreLock lock;
    StoreEntry* e = Entry(store);
    if (!e) return;
    if (column != e->sortColumn) {
        e->sortColumn = static_cast<short>(column);
        e->sortAscending = 1;
    } else {
        e->sortAscending = e->sortAscending ? 0 : 1;
    }
    if (!e->compare || e->count < 2) return;
    Linearise(*e);
    // The trace lists' own comparison goes by sort keys, made once per row; it reads the
    // main list's column and direction, so the keys do too.
    if (e->compare == rowstore_CompareRows) {
        const StoreEntry* main = Entry(kv::Server().mainStore);
        const int keyColumn = main ? main->sortColumn : 0;
        if (kv::SortRowsByKey(e->slots, e->count, keyColumn, main && main->sortAscending)) return;
    }
    qsort(e->slots, static_cast<size_t>(e->count), sizeof(TraceRow*), e->compare);
}

int __cdecl rowstore_CompareRows(const void* a, const void* b) {
    const TraceRow* ra = a ? *static_cast<const TraceRow* const*>(a) : nullptr;
    const TraceRow* rb = b ? *static_cast<const TraceRow* const*>(b) : nullptr;
    if (!ra || !rb) return 0;
    const short mainStore = kv::Server().mainStore;
    const int column = rowstore_GetSortColumn(mainStore);
    const wchar_t* ta = RowColumnText(ra, column);
    const wchar_t* tb = RowColumnText(rb, column);
    const int r = ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, ta ? ta : L"", -1, tb ? tb : L"", -1);
    const int order = r ? r - CSTR_EQUAL : 0;
    return rowstore_GetSortAscending(mainStore) ? order : -order;
}

void rowstore_OnGetDispInfo(short store, NMLVDISPINFOW* info) {
    if (!info || !(info->item.mask & LVIF_TEXT) || !info->item.pszText || info->item.cchTextMax <= 0) return;
    // Copied into the view's own buffer: the row may be trimmed away by another thread
    // before the view reads it.
    rowstore_GetColumnText(store, info->item.iItem, info->item.iSubItem, info->item.pszText, info->item.cchTextMax);
}

void rowstore_SetMark(short store, int index, BOOL on) {
    HWND view;
    {
        StoreLock lock;
        StoreEntry* e = Entry(store);
        TraceRow* row = e ? RowAt(*e, index) : nullptr;
        if (!row) return;
        if (on)
            row->markFlags |= kRowMarked;
        else
            row->markFlags &= ~kRowMarked;
        view = e->listView;
    }
    RECT rc = {};
    rc.left = LVIR_BOUNDS;
    if (::SendMessageW(view, LVM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&rc)))
        ::InvalidateRect(view, &rc, TRUE);
}

BOOL rowstore_IsMarked(short store, int index) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    TraceRow* row = e ? RowAt(*e, index) : nullptr;
    return row && (row->markFlags & kRowMarked) ? TRUE : FALSE;
}

int rowstore_NextMark(short store, int from) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    if (!e || from < 0 || from >= e->count) return -1;
    for (int i = from + 1; i < e->count; ++i)
        if (RowAt(*e, i)->markFlags & kRowMarked) return i;
    for (int i = 0; i < from; ++i)
        if (RowAt(*e, i)->markFlags & kRowMarked) return i;
    return -1;
}

int rowstore_PrevMark(short store, int from) {
    StoreLock lock;
    StoreEntry* e = Entry(store);
    if (!e || from < 0 || from >= e->count) return -1;
    for (int i = from - 1; i >= 0; --i)
        if (RowAt(*e, i)->markFlags & kRowMarked) return i;
    for (int i = e->count - 1; i > from; --i)
        if (RowAt(*e, i)->markFlags & kRowMarked) return i;
    return -1;
}

void rowstore_ClearMarks(short store) {
    for (int i = 0, n = rowstore_GetCount(store); i < n; ++i)
        if (rowstore_IsMarked(store, i)) rowstore_SetMark(store, i, FALSE);
}

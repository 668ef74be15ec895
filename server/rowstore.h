// Row stores: the rows behind the trace window's two owner-data list views. A store is
// addressed by a small index into a fixed table; it owns its rows and their texts and
// pushes its row count to its list view by a short timer, so that a burst of adds costs
// one view update.
//
// Every operation takes the store lock, a short lock of the store table's own that is
// never held across a window message; readers copy what they need under it. A row added
// on a thread other than the view's cannot arm the view's timer: the store then posts
// the view a WM_TIMER with wParam kRowStoreTimerId, and the view's window procedure
// passes every WM_TIMER on to rowstore_OnTimer (as it does for the timer itself), which
// arms the timer on the view's thread.
#pragma once

#include "client/compat.h"  // windows.h before commctrl.h

#include <commctrl.h>

#include "server/tracerow.h"

constexpr int kRowStoreEntries = 255;
constexpr int kRowStoreGrowth = 10000;        // slots, initial size and growth step
constexpr UINT_PTR kRowStoreTimerId = 99;
// Posted as a WM_TIMER to a view whose first rows were dropped (rowstore_DeleteFirst):
// the view hears of the drop before it next paints or takes input.
constexpr UINT_PTR kRowStoreDropTimerId = 98;
constexpr UINT kRowStoreAddDelayMs = 100;
constexpr UINT kRowStoreDeleteDelayMs = 10;
constexpr COLORREF kFilterListGrey = RGB(235, 235, 235);  // the filter list's ground

// Row comparison used by rowstore_Sort: two pointers to row pointers.
typedef int(__cdecl* RowCompareFn)(const void* a, const void* b);

short rowstore_Create(HWND listView, RowCompareFn compare);
void rowstore_Destroy(short store);
void rowstore_Clear(short store);
TraceRow* rowstore_NewRow(short store);
wchar_t* rowstore_NewText(short store, int chars);
// A zero-filled row and its zero-filled text block of chars characters in one allocation
// (row->text points at the block), or none; released as any row (rowstore_FreeRow).
TraceRow* rowstore_NewRowWithText(short store, int chars);
int rowstore_Add(short store, TraceRow* row);
// The row itself: only for the writers of the store, which hold the list lock (no other
// writer can free the row meanwhile). Every other reader uses the copying readers below.
TraceRow* rowstore_Get(short store, int index);

// A reader's copy of one row: the fixed fields and the whole text (rows hold at most
// 999 characters). row.text points into the copy's own buffer.
constexpr int kRowTextMax = 999;
struct RowCopy {
    TraceRow row;
    wchar_t text[kRowTextMax + 1];
};
// Copies row index of the store into out: 1, or 0 when there is no such row (out then
// holds an empty row). This, the column text, level word, source index and mark readers
// are the only way the window reads rows: intake threads may trim the store at any
// moment, so no reader keeps a pointer into a row across a window message.
BOOL rowstore_CopyRow(short store, int index, RowCopy* out);
uint32_t rowstore_GetLevelWord(short store, int index);
int32_t rowstore_GetSourceIndex(short store, int index);
int rowstore_GetColumnText(short store, int index, int column, wchar_t* buffer, int capacity);
void rowstore_SetSourceIndex(short store, int index, int32_t source);
void rowstore_Delete(short store, int index);
// Removes n rows from first on (first + n must leave a row). When the first rows go, the
// view's count, its top row and its selection move with the rows (the top to the last
// row while auto-scroll is on): on the view's own thread by a post, so that trims in a
// burst cost one update of the view, on any other thread at once. Rows further in set
// the view's count at once.
void rowstore_DeleteFirst(short store, int first, int n);
int rowstore_GetCount(short store);
void rowstore_SetAutoScroll(short store, BOOL on);
BOOL rowstore_GetAutoScroll(short store);
// Pushes a pending count; a drop the view has not heard of goes first.
void rowstore_FlushCount(short store);
// Tells the view now of the rows dropped from the front that its post has not told yet
// (rowstore_DeleteFirst): its count, top row and selection follow their rows. Whoever sets
// a selection by a store index does this first, or the post would move it a second time.
void rowstore_TellDrop(short store);
void rowstore_OnTimer(short store, UINT_PTR timerId);
void rowstore_Sort(short store, const NMLISTVIEW* columnClick);
void rowstore_OnGetDispInfo(short store, NMLVDISPINFOW* info);
void rowstore_SetMark(short store, int index, BOOL on);
BOOL rowstore_IsMarked(short store, int index);
int rowstore_NextMark(short store, int from);
int rowstore_PrevMark(short store, int from);
void rowstore_ClearMarks(short store);
short rowstore_GetSortColumn(short store);
BOOL rowstore_GetSortAscending(short store);

// Releases a row and its text block (for rows that never reached a store).
void rowstore_FreeRow(TraceRow* row);

// The compare function both trace lists use: case-insensitive by the main list's sort
// column and direction.
int __cdecl rowstore_CompareRows(const void* a, const void* b);

// Window procedure of the filter list view (subclassed after creation).
LRESULT CALLBACK FilterListWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Subclasses a list view with FilterListWndProc, keeping its previous procedure.
void InstallFilterListProc(HWND list);

// Waits for a handle (or only for the time-out when handle is null) while dispatching
// this thread's messages: 1 when the handle became signalled, 0 on time-out or failure.
int PumpMessagesWhileWaiting(HANDLE handle, DWORD timeoutMs);

// An allocation failure is reported by one box at a time ("Running out of memory"),
// shown on a thread of its own so that nobody waits for it. The failing operation only
// notes it; this shows what was noted and is called once the caller's locks are left
// (create and clear call it themselves, the intake after the list lock).
void rowstore_ReportAllocFailures();
// Tests: TRUE while a failure is noted or its box is open.
BOOL rowstore_AllocBoxBusyForTesting();

// The out-of-memory boxes go through this function; tests replace it so they never wait
// at a box. Same arguments and result as MessageBoxW.
typedef int(WINAPI* MessageBoxFn)(HWND, LPCWSTR, LPCWSTR, UINT);
void rowstore_SetMessageBox(MessageBoxFn fn);  // null restores MessageBoxW

// Tests: makes the named allocations fail as if memory were exhausted (0 ends it).
constexpr unsigned kRowStoreFailHeap = 0x1;   // the private heap
constexpr unsigned kRowStoreFailArray = 0x2;  // the initial pointer array
constexpr unsigned kRowStoreFailGrow = 0x4;   // growing the pointer array
constexpr unsigned kRowStoreFailRow = 0x8;    // rowstore_NewRow
constexpr unsigned kRowStoreFailText = 0x10;  // rowstore_NewText
void rowstore_SetAllocFailuresForTesting(unsigned mask);

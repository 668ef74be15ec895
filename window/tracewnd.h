// The trace window: its window thread and lifecycle, the window procedure with the tool
// bar and commands, the list views' drawing and notifications, and the status texts.
// Everything here runs on the window thread unless a comment says otherwise.
#pragma once

#include "client/compat.h"  // windows.h before commctrl.h
#include "client/traceapi.h"

#include <commctrl.h>
#include <commdlg.h>
#include <stdint.h>
#include <time.h>

constexpr wchar_t kTraceWindowClass[] = L"VANTORA VO Vedoz Izodoz";
constexpr wchar_t kTraceWindowTitle[] = L"VANTORA VO Vedoz Izodoz";
constexpr wchar_t kMainListText[] = L"VANTORA VO Vedoz Izodoz";
constexpr wchar_t kFilterListText[] = L"RIVIVEDA FILTER";
constexpr wchar_t kInstanceMarkerName[] = L"KVTRCSRV";

constexpr UINT_PTR kTickTimerId = 65535;
constexpr UINT kTickMs = 1000;
constexpr int kAppCheckTicks = 5;    // the application check runs on every 6th tick
constexpr int kHistoryCheckTicks = 60;  // the history clean-up on every 61st
constexpr DWORD kDestroyWaitMs = 600000;
// While client sends keep the thread busy, no timer message comes through; the tick's
// work then runs from the client message handlers once it is this late.
constexpr DWORD kTickOverdueMs = kTickMs + 200;

// Control ids of the tool bar.
constexpr int kIdAppList = 1;
constexpr int kIdTrace = 2;
constexpr int kIdScroll = 3;
constexpr int kIdFile = 4;
constexpr int kIdClear = 5;
constexpr int kIdAllOff = 6;
constexpr int kIdDiag = 7;
constexpr int kIdInfo = 8;
constexpr int kIdWarning = 9;
constexpr int kIdError = 10;
constexpr int kIdOnTop = 11;

// Tool bar geometry: OnTop is 24 wide, the application list 275; the nine other
// buttons share the rest.
constexpr int kOnTopWidth = 24;
constexpr int kAppListWidth = 275;
constexpr int kToolbarFixed = kOnTopWidth + kAppListWidth;  // 299

// Row colours (0x00BBGGRR).
constexpr COLORREF kColorOperator = RGB(0, 125, 0);
constexpr COLORREF kColorServer = RGB(0, 0, 125);
constexpr COLORREF kColorError = RGB(255, 0, 0);
constexpr COLORREF kColorWarning = RGB(0, 0, 255);
constexpr COLORREF kColorInfo = RGB(0, 0, 0);
constexpr COLORREF kColorDiag = RGB(127, 127, 127);
constexpr COLORREF kColorMarkCell = RGB(128, 255, 255);
constexpr COLORREF kColorFilterLinked = RGB(235, 235, 235);
constexpr COLORREF kColorFilterOrphan = RGB(205, 205, 205);
constexpr COLORREF kColorFrameFocus = RGB(0, 0, 127);
constexpr COLORREF kColorFrameNoFocus = RGB(127, 127, 127);
constexpr int kCellChars = 256;  // a cell shows at most 255 characters

// Private messages: other threads ask the window thread to refresh what it shows.
constexpr UINT WM_KV_REFRESHSTATUS = WM_APP + 1;
constexpr UINT WM_KV_SYNCTOOLBAR = WM_APP + 2;

// Per-process state of the trace window. The host thread fills the first block in
// traceapi_CreateWnd before the window thread starts; everything else belongs to the
// window thread.
struct TraceWindowState {
    LONG started;           // the window thread was started
    HWND owner;             // parent argument of the trace window
    HANDLE stopEvent;       // manual reset; asks the loop to end, releases a waiting host
    HANDLE thread;
    volatile DWORD threadId;  // written by the window thread as its first act
    HACCEL accelerators;      // none: the library carries no table
    HCURSOR waitCursor, arrowCursor;
    HICON onTopIcon;

    HWND statusBar;
    HWND focusList;          // the list that last had the keyboard focus, or null
    HWND onTop, trace, scroll, file, clear, allOff;
    HWND levels[4];          // Diagnose, Infos, Warnings, Errors
    int barHeight;           // height of the tool bar row
    short selectedHandle;    // slot shown by the level buttons; 0 = all
    time_t lastTime;         // for WM_TIMECHANGE
    DWORD lastTick;          // tick count of the last tick's work
    DWORD lastStatus;        // tick count of the last status refresh
    int appCheckCounter, historyCheckCounter;
};
TraceWindowState& TraceWindow() noexcept;

// Lifecycle.
// (the exported entry points traceapi_CreateWnd, traceapi_DestroyWnd,
// traceapi_HandleMsg and traceapi_OnDrawItem are declared in client/traceapi.h)
LRESULT tracewnd_HandleMsg(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
DWORD WINAPI tracewnd_WndThread(LPVOID);
// WM_ENDSESSION with TRUE: the system ends the process as soon as the message returns.
void tracewnd_EndSession();
int tracewnd_RegisterClass(HINSTANCE instance);

// The failure box of the class registration goes through this function; tests replace
// it so that they never wait at a box. Null restores MessageBoxW.
typedef int(WINAPI* TraceWndMessageBoxFn)(HWND, LPCWSTR, LPCWSTR, UINT);
void tracewnd_SetMessageBox(TraceWndMessageBoxFn fn);

// Window procedure, tool bar and commands.
LRESULT CALLBACK TrcWndProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) noexcept;
BOOL tracewnd_CreateControls(HWND window);
void tracewnd_Layout(HWND window);
void tracewnd_OnTimer(HWND window, UINT_PTR timerId);
void tracewnd_OnKeyDown(HWND window, UINT key);
bool tracewnd_OnSysKeyDown(HWND window, UINT key);  // true when the window claimed the key
void tracewnd_OnCommand(HWND window, int id, HWND control, int code);
void tracewnd_SyncToolBar();
void tracewnd_OnSettingsChanged();

// List views.
LRESULT CALLBACK ListWndProc(HWND list, UINT msg, WPARAM wParam, LPARAM lParam) noexcept;
void InstallMainListProc(HWND list);  // subclasses the main list with ListWndProc
void tracewnd_DrawItem(HWND window, const DRAWITEMSTRUCT* item);
// The answer to the notification (-1 to an owner-data list's find request, else 0).
LRESULT tracewnd_OnNotify(HWND window, int id, const NMHDR* header);
int tracewnd_InitColumns(HWND list);
void tracewnd_RevealRow(int row);  // the quarter-page reveal of a main-list row
// The one way a key, button or click moves the main list's selection: clears the
// selection and focus of clearItem (of every item with -1), then selects and focuses
// row (none when it is -1) and reveals it by the quarter-page rule.
void tracewnd_MoveSelection(int clearItem, int row);

// Status texts. Safe on any thread: off the window thread it asks the window thread.
void tracewnd_UpdateStatus();

namespace kv {

// Text colour of a row by its level.
COLORREF LevelColor(short level) noexcept;

// Where the tool bar, the lists and the filter list go for a client area of W x H.
struct WindowLayoutRects {
    int buttonWidth, remainder;
    RECT buttons[9];  // Trace, Scroll, File, Clear, All Off, Diagnose, Infos, Warnings, Errors
    RECT appList;
    RECT mainList;
    RECT filterList;  // empty when the filter list is hidden
};
WindowLayoutRects ComputeLayout(int width, int height, int barHeight, int statusHeight, bool filterVisible,
                                int filterListPart) noexcept;

// The quarter-page reveal: the row to make visible for row r.
int RevealTarget(int row, int top, int count, int perPage) noexcept;

// Status field texts (each at most 125 characters).
constexpr int kStatusFieldChars = 126;
void FormatClockField(wchar_t* out, const SYSTEMTIME& now, int pcNo) noexcept;
void FormatCountField(wchar_t* out, long rows, long maxRows) noexcept;
void FormatRowField(wchar_t* out, int selected, uint32_t levelWord) noexcept;  // selected < 0: ""
void FormatFileField(wchar_t* out, const wchar_t* file, bool open, bool safeWriting, int historyDays) noexcept;
void FormatProfileField(wchar_t* out, const wchar_t* profile) noexcept;

}  // namespace kv

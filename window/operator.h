// The operator's functions of the trace window: the context menu and its commands, the
// modeless find dialog, marks, the trace viewer launch, the settings edit and the keys
// that lead to them. Everything here runs on the window thread and reads rows only
// through the row store's copying readers.
//
// Wiring into the window (window thread):
//   start, after the window and its lists exist:  tracewnd_InitOperator(window);
//   message loop, before TranslateMessage:       if (tracewnd_IsFindDialogMessage(&msg)) continue;
//   TrcWndProc WM_KEYDOWN:     if (tracewnd_OnOperatorKey(window, wParam)) return 0;  (then Tab, Ctrl+R, ...)
//   TrcWndProc WM_SYSKEYDOWN:  tracewnd_OnOperatorSysKey(window, wParam);
//   TrcWndProc WM_CONTEXTMENU: tracewnd_OnContextMenu(window, wParam, LOWORD(lParam), HIWORD(lParam));
//   TrcWndProc WM_LBUTTONDBLCLK: tracewnd_OnListDoubleClick(window);
//   tracewnd_OnCommand with no control (menu command): tracewnd_OnMenuCommand(window, id);
//   TrcWndProc default branch: if (tracewnd_OnFindMsg(window, msg, lParam)) return 0;
//   shut-down, before the window is destroyed:   tracewnd_EndOperator();
#pragma once

#include "client/compat.h"

#include <commdlg.h>

#include "resources/resource.h"

// Command ids of the context menu "IDR_MAIN" (its first sub-menu, "Context Menu"); the
// numbers live in the resource header the menu script uses.
constexpr int kCmdSaveList = IDM_SAVELIST;            // "Save Traces To File\tCtrl+S"
constexpr int kCmdNone32774 = IDM_NOTHING;            // no action
constexpr int kCmdSettings = IDM_SETTINGS;            // "Settings And Filters"
constexpr int kCmdDeleteTraceFile = IDM_DELETEFILE;   // "Delete Current Trace File\tCtrl+D"
constexpr int kCmdToggleMark = IDM_MARK;              // "Set/Del Mark\tCtrl+F2"
constexpr int kCmdNextMark = IDM_NEXTMARK;            // "Goto Next Mark\tF2"
constexpr int kCmdPrevMark = IDM_PREVMARK;            // "Goto Prev Mark\tShift+F2"
constexpr int kCmdFind = IDM_FIND;                    // "Find\tCtrl+F"
constexpr int kCmdFindNext = IDM_FINDNEXT;            // "Find Next\tF3"
constexpr int kCmdFindPrev = IDM_FINDPREV;            // "Find Prev\tShift+F3"
constexpr int kCmdClearMarks = IDM_DELMARKS;          // "Del All Marks\tCtrl+Shift+F2"
constexpr int kCmdLoadProfile = IDM_LOADPROFILE;      // "Load Profile\tShift+L"
constexpr int kCmdSaveProfile = IDM_SAVEPROFILE;      // "Save Profile\tShift+S"
constexpr int kCmdNone32786 = 32786;                  // no action
constexpr int kCmdTraceViewer = IDM_VIEWER;           // "Trace Viewer"
constexpr int kCmdTeleEncoder = IDM_TELEGRAM;         // "Tele Encoder"

constexpr wchar_t kOperatorBoxTitle[] = L"VANTORA VO Vedoz Izodoz";
constexpr wchar_t kContextMenuName[] = L"IDR_MAIN";
constexpr wchar_t kViewerProgram[] = L"KVTrcVwr.exe";
constexpr int kViewerCommandChars = 260;  // the command line keeps at most 259 characters
constexpr int kFindTextChars = 256;
constexpr int kFindCellChars = 1000;      // a cell is searched in its first 999 characters

// Registers the find message, loads the context menu (the library's "IDR_MAIN", or the
// same menu built in code when the library carries none) and greys "Trace Viewer" for the
// window's life when "kvtrcvwr.exe" is not on the search path (with the line "TraceViewer
// NOT found", else "TraceViewer found at: '%s'"). Once, on the window thread at start.
void tracewnd_InitOperator(HWND window);
// Closes the find dialog and releases the menu. At window shut-down.
void tracewnd_EndOperator();

// The number of the registered find message ("commdlg_FindReplace").
UINT tracewnd_FindMessage();
// Offers a message of the loop to the open find dialog: true when the dialog took it.
bool tracewnd_IsFindDialogMessage(MSG* msg);
// The open find dialog, or null.
HWND tracewnd_FindDialog();

// WM_KEYDOWN of the trace window (also posted by the list views): Escape, Ctrl+D, Ctrl+F,
// Shift+L, Shift+S, Ctrl+S, Ctrl+V, F2 (with Ctrl/Shift), F3 (with Shift). Reads Ctrl and
// Shift from the key state. True when the key was one of these.
bool tracewnd_OnOperatorKey(HWND window, WPARAM key);
// WM_SYSKEYDOWN: Alt+F3 opens the find dialog. True when the key was F3.
bool tracewnd_OnOperatorSysKey(HWND window, WPARAM key);
// WM_LBUTTONDBLCLK of the trace window: the settings dialog.
void tracewnd_OnListDoubleClick(HWND window);

// WM_CONTEXTMENU: greys the items by the current state and shows the menu at (x, y).
void tracewnd_OnContextMenu(HWND window, WPARAM wParam, int x, int y);
// The context menu with its items greyed or enabled as tracewnd_OnContextMenu would
// show it now (tests and the context-menu handler).
HMENU tracewnd_PrepareContextMenu();
void tracewnd_OnMenuCommand(HWND window, int id);

// Find: opens the modeless find dialog; handles the find message (1 when msg was it);
// searches the main list with the record's text and options (1 found); continues the
// last search (F3 / Shift+F3).
void tracewnd_OpenFind(HWND window);
int tracewnd_OnFindMsg(HWND window, UINT msg, LPARAM lParam);
int tracewnd_FindText(HWND window, FINDREPLACEW* record, BOOL down);
void tracewnd_FindAgain(HWND window, BOOL down);
// Ctrl+F and Alt+F3: clears the found flag and opens the find dialog unless it is open.
void tracewnd_StartFind(HWND window);

// F2 with the current Ctrl and Shift states: mark, unmark, next, previous, clear all.
void tracewnd_OnMarkKey();

// The trace viewer's command line for the list with the keyboard focus and its
// selected row, or for the current trace file; never cut inside an argument (a form
// that does not fit gives way to a shorter one). Returns its length.
int tracewnd_ViewerCommandLine(wchar_t* buffer, int capacity);
void tracewnd_StartViewer();

// The settings dialog on the focused main-list row, and the application of its result.
void tracewnd_EditSettings(HWND owner);

// Seams for tests: message boxes (same as MessageBoxW), the default beep and the save
// dialog of the trace list (same as GetSaveFileNameW). Null restores the platform's.
typedef int(WINAPI* OperatorBoxFn)(HWND, LPCWSTR, LPCWSTR, UINT);
typedef BOOL(WINAPI* OperatorBeepFn)(UINT);
typedef BOOL(WINAPI* OperatorSaveDialogFn)(OPENFILENAMEW*);
void tracewnd_SetOperatorSeams(OperatorBoxFn box, OperatorBeepFn beep, OperatorSaveDialogFn saveDialog);

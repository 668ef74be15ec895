// The main window of the debug viewer: a report list of the captured lines (number,
// time, process id, text), a status bar, a menu and a context menu.
#pragma once

#include <windows.h>

namespace dbgview {

// The main window's class; the trace library finds the viewer by it.
constexpr wchar_t kViewerClass[] = L"dbgviewClass";

// Sub-items of a row. The text is sub-item 2 and is set last, with LVM_SETITEMTEXTW;
// the process id is shown before it (column order), so the columns read number, time,
// process id, text.
enum SubItem { kSubNumber = 0, kSubTime = 1, kSubText = 2, kSubPid = 3 };

// Line limits the operator can choose; the oldest rows go first.
constexpr int kLineLimits[] = {1000, 10000, 100000};
constexpr int kDefaultLineLimit = 10000;

// Menu commands of the main window (WM_COMMAND identifiers).
enum Command {
    IDM_EXIT = 1000,
    IDM_COPY,
    IDM_SELECTALL,
    IDM_CLEAR,
    IDM_AUTOSCROLL,
    IDM_LIMIT_FIRST,  // + index into kLineLimits
};

struct ViewerOptions {
    int lineLimit = kDefaultLineLimit;
    bool autoScroll = true;
};

bool RegisterViewerClass(HINSTANCE instance);
HWND CreateViewerWindow(HINSTANCE instance, const ViewerOptions& options);
// Keyboard shortcuts of the main window (copy, select all, clear, auto-scroll).
HACCEL CreateViewerAccelerators();

}  // namespace dbgview

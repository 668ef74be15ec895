// Per-process state of the trace server that the server core works on: the two row
// stores, the list lock, and the seams through which the core calls into the trace
// window. The window fills it when it creates its controls; until then the stores are
// -1 and the seams do nothing.
#pragma once

#include "client/compat.h"

namespace kv {

struct ServerState {
    short mainStore = -1;     // row store of the main list
    short filterStore = -1;   // row store of the filter list
    HWND traceWindow = nullptr;
    HWND mainList = nullptr;
    HWND filterList = nullptr;
};
ServerState& Server() noexcept;

// The list lock: row stores, list views and the application list. Re-entrant.
CRITICAL_SECTION& ListLockSection() noexcept;
class ListLock {
public:
    ListLock() noexcept { ::EnterCriticalSection(&ListLockSection()); }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;
    ~ListLock() { ::LeaveCriticalSection(&ListLockSection()); }
};

// Calls from the server core into the trace window. Each may be null.
struct WindowSeams {
    void (*syncToolbar)();        // a trigger changed file, trace or scroll state
    void (*refreshStatusFile)();  // a trace file was opened
    // Owner drawing of one list row; the window is the one that received WM_DRAWITEM.
    void (*drawItem)(HWND window, const DRAWITEMSTRUCT* item);
};
WindowSeams& Seams() noexcept;

}  // namespace kv

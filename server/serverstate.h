// Per-process state of the trace server that the server core works on: the two row
// stores, the list lock, and the seams through which the core calls into the trace
// window. The window fills it when it creates its controls; until then the stores are
// -1 and the seams do nothing.
#pragma once

#include "client/compat.h"
#include "client/locks.h"

namespace kv {

struct ServerState {
    short mainStore = -1;     // row store of the main list
    short filterStore = -1;   // row store of the filter list
    HWND traceWindow = nullptr;
    HWND mainList = nullptr;
    HWND filterList = nullptr;
    HWND appList = nullptr;   // sorted, upper-case drop-down list of the registered applications
};
ServerState& Server() noexcept;

// The list lock (client/locks.h): row stores, list views and the application list.
// Re-entrant.
//
// Threads of the server process other than the window thread change the lists under this
// lock and send list-view messages to the window thread while they hold it. The window
// thread therefore never blocks on the lock without serving those sends: it waits with a
// loop that dispatches sent messages only. And since a critical section is not fair, the
// other threads step back for a while when they find the window thread waiting.
void EnterListLock() noexcept;
void LeaveListLock() noexcept;
class ListLock {
public:
    ListLock() noexcept { EnterListLock(); }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;
    ~ListLock() { LeaveListLock(); }
};
// The thread that holds the list lock, 0 when none.
DWORD ListLockOwner() noexcept;

// The trace window's thread. The window thread calls SetWindowThread(GetCurrentThreadId())
// when it starts, before it creates the window, and SetWindowThread(0) when it ends.
// Every lock the server core takes on that thread (list lock, trigger lock, trace file
// writer, data mutex) is then waited for while serving the messages other threads send
// to it, so that a client inside its send is never waited for in turn.
void SetWindowThread(DWORD threadId) noexcept;
bool IsWindowThread() noexcept;

// Owns one entry into a section of the server core that threads other than the window
// thread may hold while they send to it; on the window thread the wait serves those sends.
class ServerSection {
public:
    explicit ServerSection(RankedSection& section) noexcept;
    ServerSection(const ServerSection&) = delete;
    ServerSection& operator=(const ServerSection&) = delete;
    ~ServerSection() { section_.Leave(); }

private:
    RankedSection& section_;
};

// The same for a lock held only for a few hundred nanoseconds at a time. A thread that
// finds it taken tries again for a moment before it sleeps, and takes it whenever it is
// free, even while another thread waits for it.
class ServerExclusive {
public:
    explicit ServerExclusive(RankedSrwLock& lock) noexcept;
    ServerExclusive(const ServerExclusive&) = delete;
    ServerExclusive& operator=(const ServerExclusive&) = delete;
    ~ServerExclusive() { lock_.UnlockExclusive(); }

private:
    RankedSrwLock& lock_;
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

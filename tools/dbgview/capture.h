// Capture of the platform's debug-output channel on a thread of its own: the shared
// 4 KiB buffer "DBWIN_BUFFER" (the writer's process id, then its ANSI text), the event
// "DBWIN_DATA_READY" a writer sets when it has filled the buffer and the event
// "DBWIN_BUFFER_READY" by which the reader hands the buffer to the next writer. Writers
// serialise among themselves on the mutex "DBWinMutex" and wait (boundedly) for the
// reader, so the reader copies each string out and hands the buffer back at once; the
// window takes the copied lines in batches.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "client/locks.h"
#include "client/owners.h"

namespace dbgview {

struct CapturedLine {
    uint64_t number;    // running number of the captured line, from 1
    DWORD pid;          // the writing process
    SYSTEMTIME time;    // local time of the capture
    std::wstring text;  // one line of the string, without its line break
};

// Splits a captured string into the lines it holds: one trailing line break ends the
// string rather than starting an empty line, and a carriage return before a line feed
// is dropped. An empty string is one empty line.
std::vector<std::wstring> SplitLines(const std::wstring& text);

class DebugCapture {
public:
    // Waiting: another program reads the debug output. Failing: the channel cannot be
    // made for another reason, error() says which; both try again every second.
    enum class State { Starting, Waiting, Failing, Capturing, Stopped };

    // notifyWindow receives notifyMessage (posted) whenever lines wait to be taken and
    // the window has not been told yet, and when the state changes. At most
    // maxPendingChars characters wait at a time; lines beyond that are counted as dropped.
    DebugCapture(HWND notifyWindow, UINT notifyMessage, size_t maxPendingChars);
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    bool Start();
    void Stop();

    // Moves every waiting line to out (which it clears first). Any thread.
    void Take(std::vector<CapturedLine>& out);
    uint64_t captured() const;
    uint64_t dropped() const;
    State state() const;
    DWORD error() const;  // Failing: the system error

private:
    static DWORD WINAPI ThreadMain(void* self);
    void Run();
    bool OpenChannel(DWORD* error);
    void CloseChannel();
    void CaptureUntilStopped();
    void Queue(DWORD pid, const char* text, size_t length) noexcept;
    void QueueLines(DWORD pid, const char* text, size_t length);
    void SetState(State s, DWORD error = 0);
    void Notify();

    const HWND notifyWindow_;
    const UINT notifyMessage_;
    const size_t maxPendingChars_;

    kv::UniqueHandle stop_, thread_;
    // Channel objects: owned by the capture thread while it runs.
    kv::UniqueHandle mapping_, bufferReady_, dataReady_;
    const void* view_ = nullptr;

    // Guarded by lock_ (the capture lock of client/locks.h): the lines waiting for the
    // window, their size, the counters and whether the window has been told about them.
    mutable kv::RankedSection lock_{kv::LockRank::kCapture};
    std::vector<CapturedLine> pending_;
    size_t pendingChars_ = 0;
    uint64_t captured_ = 0;
    uint64_t dropped_ = 0;
    bool notified_ = false;
    State state_ = State::Starting;
    DWORD error_ = 0;
};

}  // namespace dbgview

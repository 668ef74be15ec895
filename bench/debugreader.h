// A reader of the platform's debug-output protocol (a shared 4 KiB buffer and two
// events), the baseline the trace channel is measured against. Each string that arrives
// calls onString on the reader's own thread.
#pragma once

#include <windows.h>

#include <initializer_list>

class DebugOutputReader {
public:
    explicit DebugOutputReader(void (*onString)()) : onString_(onString) {}
    DebugOutputReader(const DebugOutputReader&) = delete;
    DebugOutputReader& operator=(const DebugOutputReader&) = delete;
    ~DebugOutputReader() {
        Stop();
        if (view_) ::UnmapViewOfFile(view_);
        for (HANDLE h : {bufferReady_, dataReady_, mapping_, stop_})
            if (h) ::CloseHandle(h);
    }

    // False when the objects cannot be made or another reader already owns them.
    bool Start() {
        bufferReady_ = ::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
        dataReady_ = ::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
        mapping_ = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER");
        if (!mapping_ || ::GetLastError() == ERROR_ALREADY_EXISTS) return false;
        stop_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        view_ = ::MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 4096);
        if (!bufferReady_ || !dataReady_ || !stop_ || !view_) return false;
        thread_ = ::CreateThread(nullptr, 0, Loop, this, 0, nullptr);
        return thread_ != nullptr;
    }

    void Stop() {
        if (!thread_) return;
        ::SetEvent(stop_);
        ::WaitForSingleObject(thread_, INFINITE);
        ::CloseHandle(thread_);
        thread_ = nullptr;
    }

private:
    static DWORD WINAPI Loop(void* p) {
        auto* r = static_cast<DebugOutputReader*>(p);
        HANDLE waits[2] = {r->dataReady_, r->stop_};
        ::SetEvent(r->bufferReady_);
        for (;;) {
            if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return 0;
            volatile char c = static_cast<const char*>(r->view_)[4];  // the text, after the process id
            (void)c;
            r->onString_();
            ::SetEvent(r->bufferReady_);
        }
    }

    void (*onString_)();
    HANDLE bufferReady_ = nullptr, dataReady_ = nullptr, mapping_ = nullptr, stop_ = nullptr, thread_ = nullptr;
    void* view_ = nullptr;
};

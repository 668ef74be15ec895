// Small typed owners for Win32 handles, GDI objects and locks: whatever is opened
// is closed on every path.
#pragma once

#include "client/compat.h"

namespace kv {

// A kernel handle closed with CloseHandle; null and INVALID_HANDLE_VALUE are empty.
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE h) noexcept : h_(h) {}
    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept { reset(o.release()); return *this; }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const noexcept { return h_; }
    bool valid() const noexcept { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const noexcept { return valid(); }
    HANDLE release() noexcept { HANDLE h = h_; h_ = nullptr; return h; }
    void reset(HANDLE h = nullptr) noexcept {
        if (valid()) ::CloseHandle(h_);
        h_ = h;
    }
    HANDLE* put() noexcept { reset(); return &h_; }

private:
    HANDLE h_ = nullptr;
};

// A find handle closed with FindClose.
class UniqueFind {
public:
    explicit UniqueFind(HANDLE h) noexcept : h_(h) {}
    UniqueFind(const UniqueFind&) = delete;
    UniqueFind& operator=(const UniqueFind&) = delete;
    ~UniqueFind() { if (valid()) ::FindClose(h_); }
    HANDLE get() const noexcept { return h_; }
    bool valid() const noexcept { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
private:
    HANDLE h_;
};

// A window destroyed with DestroyWindow.
class UniqueWindow {
public:
    UniqueWindow() noexcept = default;
    explicit UniqueWindow(HWND h) noexcept : h_(h) {}
    UniqueWindow(UniqueWindow&& o) noexcept : h_(o.release()) {}
    UniqueWindow& operator=(UniqueWindow&& o) noexcept { reset(o.release()); return *this; }
    UniqueWindow(const UniqueWindow&) = delete;
    UniqueWindow& operator=(const UniqueWindow&) = delete;
    ~UniqueWindow() { reset(); }
    HWND get() const noexcept { return h_; }
    HWND release() noexcept { HWND h = h_; h_ = nullptr; return h; }
    void reset(HWND h = nullptr) noexcept {
        if (h_ && ::IsWindow(h_)) ::DestroyWindow(h_);
        h_ = h;
    }
private:
    HWND h_ = nullptr;
};

// A GDI object (font, brush, pen) deleted with DeleteObject.
template <class T>
class UniqueGdi {
public:
    UniqueGdi() noexcept = default;
    explicit UniqueGdi(T h) noexcept : h_(h) {}
    UniqueGdi(const UniqueGdi&) = delete;
    UniqueGdi& operator=(const UniqueGdi&) = delete;
    ~UniqueGdi() { reset(); }
    T get() const noexcept { return h_; }
    void reset(T h = nullptr) noexcept {
        if (h_) ::DeleteObject(h_);
        h_ = h;
    }
private:
    T h_ = nullptr;
};
using UniqueFont = UniqueGdi<HFONT>;
using UniqueBrush = UniqueGdi<HBRUSH>;
using UniquePen = UniqueGdi<HPEN>;

// Undoes a SelectObject when it goes out of scope.
class SelectGuard {
public:
    SelectGuard(HDC dc, HGDIOBJ obj) noexcept : dc_(dc), old_(::SelectObject(dc, obj)) {}
    SelectGuard(const SelectGuard&) = delete;
    SelectGuard& operator=(const SelectGuard&) = delete;
    ~SelectGuard() { if (old_ && old_ != HGDI_ERROR) ::SelectObject(dc_, old_); }
private:
    HDC dc_;
    HGDIOBJ old_;
};

// A critical section of static storage that initialises itself on first use, so that it
// serves whatever thread gets there first, before or without any start-up call.
class StaticCriticalSection {
public:
    CRITICAL_SECTION& get() noexcept {
        ::InitOnceExecuteOnce(&once_, &Init, &cs_, nullptr);
        return cs_;
    }

private:
    static BOOL CALLBACK Init(PINIT_ONCE, PVOID cs, PVOID*) {
        ::InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
        return TRUE;
    }
    INIT_ONCE once_ = INIT_ONCE_STATIC_INIT;
    CRITICAL_SECTION cs_;
};

// Holds a critical section for its scope.
class CritSecLock {
public:
    explicit CritSecLock(CRITICAL_SECTION& cs) noexcept : cs_(cs) { ::EnterCriticalSection(&cs_); }
    CritSecLock(const CritSecLock&) = delete;
    CritSecLock& operator=(const CritSecLock&) = delete;
    ~CritSecLock() { ::LeaveCriticalSection(&cs_); }
private:
    CRITICAL_SECTION& cs_;
};

// Waits for a mutex. A mutex whose owner ended without releasing it (WAIT_ABANDONED) is
// ours all the same: a crashed process must not stall the others. When serveSent is given
// and says so once the mutex turns out to be busy, messages sent to this thread by other
// threads are served while it waits (after a first plain wait of a few milliseconds), so that a holder waiting for this thread to answer
// a send is never waited for in turn. True when the mutex is owned.
bool AcquireMutex(HANDLE mutex, bool (*serveSent)() = nullptr) noexcept;

// Waits for a critical section, serving sent messages meanwhile (see AcquireMutex).
void EnterServingSent(CRITICAL_SECTION& cs) noexcept;

// Owns one acquisition of a mutex (see AcquireMutex). A null mutex is never owned:
// callers that must not touch shared state without it check owned().
class MutexLock {
public:
    explicit MutexLock(HANDLE mutex, bool (*serveSent)() = nullptr) noexcept : m_(mutex) {
        owned_ = m_ && AcquireMutex(m_, serveSent);
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    ~MutexLock() { unlock(); }
    bool owned() const noexcept { return owned_; }
    void unlock() noexcept {
        if (owned_) { ::ReleaseMutex(m_); owned_ = false; }
    }
private:
    HANDLE m_;
    bool owned_ = false;
};

}  // namespace kv

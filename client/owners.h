// Small typed owners for Win32 handles and GDI objects: whatever is opened is closed on
// every path. The locks and their guards are in client/locks.h.
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

}  // namespace kv

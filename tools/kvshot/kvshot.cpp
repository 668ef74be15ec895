// kvshot.exe: takes a PNG picture of the trace window from the screen (through the
// platform's GDI+ encoder) and closes the window when asked.
//
//   kvshot.exe [--rows N] [--menu] [--png FILE] [--close] [--timeout SECONDS]
//
// --rows N waits until the main list holds at least N rows. --menu clicks a row of the
// main list and opens the context menu over it before the picture is taken, and closes
// the menu afterwards. Exit code 0 on success,
// 1 when no trace window runs, 2 when the picture could not be written.
#include <windows.h>

#include <commctrl.h>
#include <objidl.h>  // before gdiplus.h, which the lean windows.h leaves without it
#include <gdiplus.h>
#include <stdio.h>
#include <wchar.h>

namespace {

const wchar_t kTraceWindowClass[] = L"VANTORA VO Vedoz Izodoz";
const wchar_t kMainListText[] = L"VANTORA VO Vedoz Izodoz";
const CLSID kPngEncoder = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};

HWND FindTraceWindow(DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        HWND w = ::FindWindowW(kTraceWindowClass, nullptr);
        if (w && ::IsWindowVisible(w)) return w;
        if (::GetTickCount64() >= end) return nullptr;
        ::Sleep(50);
    }
}

int ItemCount(HWND window) {
    HWND list = ::FindWindowExW(window, nullptr, WC_LISTVIEWW, kMainListText);
    DWORD_PTR count = 0;
    if (!list || !::SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, 5000, &count)) return -1;
    return static_cast<int>(count);
}

// Clicks a row near the middle of the main list and opens the context menu there, as a
// right click would. The menu runs its own loop on the window thread, so the window is
// only posted to; the menu's popup window tells when it is up. Returns the popup or null.
HWND OpenContextMenu(HWND window, DWORD timeoutMs) {
    HWND list = ::FindWindowExW(window, nullptr, WC_LISTVIEWW, kMainListText);
    if (!list) return nullptr;
    RECT rc;
    ::GetClientRect(list, &rc);
    POINT at = {rc.right / 3, rc.bottom / 2};
    ::PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));
    ::PostMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
    ::ClientToScreen(list, &at);
    ::PostMessageW(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(list), MAKELPARAM(at.x, at.y));
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        HWND popup = ::FindWindowW(L"#32768", nullptr);
        if (popup && ::IsWindowVisible(popup)) return popup;
        if (::GetTickCount64() >= end) return nullptr;
        ::Sleep(50);
    }
}

bool SavePng(HWND window, HWND popup, const wchar_t* path) {
    DWORD_PTR ignored;
    if (!popup) {
        ::SetForegroundWindow(window);
        ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        // Two round trips through the window's queue: the repaint above has been handled.
        ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored);
    }
    ::Sleep(300);
    if (!popup) ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored);
    RECT rc;
    if (!::GetWindowRect(window, &rc)) return false;
    RECT menu;
    if (popup && ::GetWindowRect(popup, &menu)) ::UnionRect(&rc, &rc, &menu);
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    HDC screen = ::GetDC(nullptr);
    HDC mem = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = ::SelectObject(mem, bitmap);
    ::BitBlt(mem, 0, 0, w, h, screen, rc.left, rc.top, SRCCOPY);
    ::SelectObject(mem, old);
    ::DeleteDC(mem);
    ::ReleaseDC(nullptr, screen);

    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    bool ok = false;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok) {
        Gdiplus::GpBitmap* image = nullptr;
        if (Gdiplus::DllExports::GdipCreateBitmapFromHBITMAP(bitmap, nullptr, &image) == Gdiplus::Ok) {
            ok = Gdiplus::DllExports::GdipSaveImageToFile(image, path, &kPngEncoder, nullptr) == Gdiplus::Ok;
            Gdiplus::DllExports::GdipDisposeImage(image);
        }
        Gdiplus::GdiplusShutdown(token);
    }
    ::DeleteObject(bitmap);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int rows = 0;
    const wchar_t* png = nullptr;
    bool close = false;
    bool menu = false;
    int timeout = 30;
    for (int i = 1; i < argc; ++i) {
        if (!wcscmp(argv[i], L"--rows") && i + 1 < argc) rows = _wtoi(argv[++i]);
        else if (!wcscmp(argv[i], L"--png") && i + 1 < argc) png = argv[++i];
        else if (!wcscmp(argv[i], L"--close")) close = true;
        else if (!wcscmp(argv[i], L"--menu")) menu = true;
        else if (!wcscmp(argv[i], L"--timeout") && i + 1 < argc) timeout = _wtoi(argv[++i]);
    }
    HWND window = FindTraceWindow(static_cast<DWORD>(timeout) * 1000);
    if (!window) {
        fwprintf(stderr, L"kvshot: no trace window\n");
        return 1;
    }
    const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(timeout) * 1000;
    while (rows > 0 && ItemCount(window) < rows && ::GetTickCount64() < end) ::Sleep(100);
    int result = 0;
    HWND popup = nullptr;
    if (menu) {
        ::SetForegroundWindow(window);
        popup = OpenContextMenu(window, 10000);
        if (!popup) fwprintf(stderr, L"kvshot: the context menu did not open\n");
    }
    if (png && !SavePng(window, popup, png)) {
        fwprintf(stderr, L"kvshot: could not write %ls\n", png);
        result = 2;
    }
    // Cancelling the mode ends the menu's loop without choosing an item.
    if (popup) ::PostMessageW(window, WM_CANCELMODE, 0, 0);
    if (close) ::PostMessageW(window, WM_CLOSE, 0, 0);
    return result;
}

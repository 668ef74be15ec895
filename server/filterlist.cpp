// The filter list view's window procedure: the list keeps its own handling while the
// trace window sees its keys and clicks, and its ground is grey.
#include "server/rowstore.h"

#include "client/owners.h"
#include "server/serverstate.h"

namespace {

const wchar_t kPrevProcProp[] = L"KvFilterListPrevProc";

// One filter list exists per process; the brush lives until that view is destroyed.
kv::UniqueBrush g_ground;

LRESULT PassOn(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto prev = reinterpret_cast<WNDPROC>(::GetPropW(hwnd, kPrevProcProp));
    return prev ? ::CallWindowProcW(prev, hwnd, msg, wParam, lParam) : ::DefWindowProcW(hwnd, msg, wParam, lParam);
}

void PostToTraceWindow(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (HWND trace = kv::Server().traceWindow) ::PostMessageW(trace, msg, wParam, lParam);
}

LRESULT OnEraseBackground(HWND hwnd, HDC dc) {
    if (!g_ground.get()) g_ground.reset(::CreateSolidBrush(kFilterListGrey));
    RECT rc;
    if (dc && g_ground.get() && ::GetClientRect(hwnd, &rc)) ::FillRect(dc, &rc, g_ground.get());
    return 0;
}

}  // namespace

void InstallFilterListProc(HWND list) {
    if (!list || ::GetPropW(list, kPrevProcProp)) return;
    // The previous procedure is in place before the first message can reach ours.
    auto prev = reinterpret_cast<HANDLE>(::GetWindowLongPtrW(list, GWLP_WNDPROC));
    if (!::SetPropW(list, kPrevProcProp, prev)) return;
    ::SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FilterListWndProc));
}

LRESULT CALLBACK FilterListWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_KEYDOWN:
        // Escape in the trace window closes the find dialog; from the filter list it
        // does nothing at all.
        if (wParam == VK_ESCAPE) return 0;
        PostToTraceWindow(msg, wParam, lParam);
        break;
    case WM_TIMER:
        rowstore_OnTimer(kv::Server().filterStore, wParam);
        break;
    case WM_LBUTTONDBLCLK:
    case WM_CONTEXTMENU:
        PostToTraceWindow(msg, wParam, lParam);
        break;
    case WM_ERASEBKGND:
        return OnEraseBackground(hwnd, reinterpret_cast<HDC>(wParam));
    case WM_DRAWITEM:
        if (auto draw = kv::Seams().drawItem) draw(hwnd, reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        break;
    case WM_DESTROY:
        g_ground.reset();
        break;
    case WM_NCDESTROY: {
        LRESULT r = PassOn(hwnd, msg, wParam, lParam);
        ::RemovePropW(hwnd, kPrevProcProp);
        return r;
    }
    default:
        break;
    }
    return PassOn(hwnd, msg, wParam, lParam);
}

// The status bar control: a bar window with a black and a white line along its top and
// its fields, each a sunken frame with one line of text.
#include "window/statusbar.h"

#include "client/owners.h"
#include "client/region.h"

namespace {

const wchar_t kBarClass[] = L"StatusClass";
const wchar_t kFieldClass[] = L"StatusItemClass";
constexpr COLORREF kSunkenGrey = 0x808080;

// One bar per process, owned by the window thread that created it.
struct BarState {
    HWND bar = nullptr;
    HWND parent = nullptr;
    HWND fields[kStatusMaxFields] = {};
    StatusField table[kStatusMaxFields] = {};
    int count = 0;
    int height = kStatusBarHeight;
    bool visible = false;
    kv::UniqueFont font;
};
BarState g_bar;

void LayoutFields(HWND bar) {
    RECT rc;
    if (!::GetClientRect(bar, &rc)) return;
    for (int i = 0; i < g_bar.count; ++i) {
        int left = 0, width = 0;
        kv::StatusFieldSpan(g_bar.table, g_bar.count, rc.right, i, &left, &width);
        if (width == 0 && left == 0 && i > 0) return;  // no weights at all
        if (g_bar.fields[i]) ::MoveWindow(g_bar.fields[i], left + 3, 3, width - 6, 20, TRUE);
    }
}

LRESULT CALLBACK BarProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) noexcept {
    switch (msg) {
    case WM_CREATE: {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        for (int i = 0; i < g_bar.count; ++i) {
            g_bar.fields[i] = ::CreateWindowExW(0, kFieldClass, g_bar.table[i].text, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0,
                                                hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kStatusFirstFieldId + i)),
                                                cs->hInstance, nullptr);
        }
        return 0;
    }
    case WM_SIZE:
        LayoutFields(hwnd);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = ::BeginPaint(hwnd, &ps);
        RECT rc;
        ::GetClientRect(hwnd, &rc);
        RECT line = {0, 0, rc.right, 1};
        ::FillRect(dc, &line, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
        line = {0, 1, rc.right, 2};
        ::FillRect(dc, &line, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
        ::EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_DESTROY:
        g_bar.font.reset();
        g_bar.visible = false;
        g_bar.bar = nullptr;
        for (HWND& f : g_bar.fields) f = nullptr;
        return 0;
    default:
        return ::DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

void PaintField(HWND hwnd) {
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(hwnd, &ps);
    RECT rc;
    ::GetClientRect(hwnd, &rc);
    {
        kv::UniqueBrush face(::CreateSolidBrush(::GetSysColor(COLOR_BTNFACE)));
        kv::UniquePen grey(::CreatePen(PS_SOLID, 1, kSunkenGrey));
        ::SetBkMode(dc, TRANSPARENT);
        {
            kv::SelectGuard b(dc, face.get());
            kv::SelectGuard p(dc, ::GetStockObject(WHITE_PEN));
            ::Rectangle(dc, rc.left, rc.top, rc.right, rc.bottom);
        }
        kv::SelectGuard p(dc, grey.get());
        ::MoveToEx(dc, rc.left, rc.bottom - 1, nullptr);
        ::LineTo(dc, rc.left, rc.top);
        ::LineTo(dc, rc.right, rc.top);
    }
    wchar_t text[kStatusTextChars + 1] = {};
    ::GetWindowTextW(hwnd, text, kStatusTextChars + 1);
    RECT inner = {rc.left + 2, rc.top + 1, rc.right - 2, rc.bottom - 1};
    {
        // The font leaves the device context before EndPaint releases it: a font still
        // selected into a released context cannot be deleted when the bar ends.
        kv::SelectGuard f(dc, g_bar.font.get());
        // A path wider than its field gives up its middle, never its end: the file name
        // stays readable.
        const UINT cut = wcschr(text, L'\\') ? DT_PATH_ELLIPSIS : 0;
        ::DrawTextW(dc, text, -1, &inner, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_INTERNAL | cut);
    }
    ::EndPaint(hwnd, &ps);
}

LRESULT CALLBACK FieldProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) noexcept {
    switch (msg) {
    case WM_CREATE:
        return 0;
    case WM_ERASEBKGND: {
        RECT rc;
        ::GetClientRect(hwnd, &rc);
        ::FillRect(reinterpret_cast<HDC>(wParam), &rc, ::GetSysColorBrush(COLOR_BTNFACE));
        return 1;
    }
    case WM_PAINT:
        PaintField(hwnd);
        return 0;
    default:
        return ::DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

void RegisterClasses(HINSTANCE instance) {
    WNDCLASSW wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_BYTEALIGNWINDOW;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.hInstance = instance;
    wc.lpfnWndProc = &BarProc;
    wc.lpszClassName = kBarClass;
    ::RegisterClassW(&wc);  // a class left from an earlier bar is fine
    wc.lpfnWndProc = &FieldProc;
    wc.lpszClassName = kFieldClass;
    ::RegisterClassW(&wc);
}

bool BarAlive() { return g_bar.bar && ::IsWindow(g_bar.bar); }

}  // namespace

namespace kv {
void StatusFieldSpan(const StatusField* fields, int count, int barWidth, int index, int* left, int* width) noexcept {
    *left = 0;
    *width = 0;
    long long total = 0;
    for (int i = 0; i < count; ++i) total += fields[i].weight;
    if (total == 0 || index < 0 || index >= count) return;
    long long x = 0;
    for (int i = 0; i <= index; ++i) {
        const long long w = static_cast<long long>(barWidth) * fields[i].weight / total;
        if (i == index) {
            *left = static_cast<int>(x);
            *width = static_cast<int>(w);
        }
        x += w;
    }
}
}  // namespace kv

HWND statusbar_Create(HWND parent, const StatusField* fields, int count) {
    // The bar keeps room for ten fields; a longer table would write past it.
    if (!parent || !fields || count < 0 || count > kStatusMaxFields) return nullptr;
    if (BarAlive()) ::DestroyWindow(g_bar.bar);
    for (int i = 0; i < count; ++i) {
        g_bar.table[i].weight = fields[i].weight;
        kv::CopyCut(g_bar.table[i].text, kStatusTextChars, fields[i].text);
    }
    g_bar.count = count;
    g_bar.parent = parent;
    g_bar.height = kStatusBarHeight;
    g_bar.font.reset(::CreateFontW(16, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, 0, OUT_DEFAULT_PRECIS,
                                   CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, 50, L"MS Sans Serif"));
    auto instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(parent, GWLP_HINSTANCE));
    RegisterClasses(instance);
    RECT rc = {};
    ::GetClientRect(parent, &rc);
    g_bar.bar = ::CreateWindowExW(0, kBarClass, L"", WS_CHILD | WS_VISIBLE, 0, rc.bottom - kStatusBarHeight, rc.right,
                                  kStatusBarHeight, parent, nullptr, instance, nullptr);
    g_bar.visible = g_bar.bar != nullptr;
    if (!g_bar.bar) g_bar.font.reset();
    return g_bar.bar;
}

int statusbar_Height() { return g_bar.visible ? g_bar.height : 0; }

int statusbar_Reposition() {
    if (!BarAlive()) return 0;
    RECT rc = {};
    ::GetClientRect(g_bar.parent, &rc);
    ::MoveWindow(g_bar.bar, 0, rc.bottom - kStatusBarHeight, rc.right, kStatusBarHeight, TRUE);
    return 1;
}

int statusbar_SetText(int index, const wchar_t* text) {
    if (!BarAlive() || index < 0 || index >= g_bar.count) return 0;
    HWND field = g_bar.fields[index];
    if (!field) return 0;
    wchar_t cut[kStatusTextChars + 1];
    kv::CopyCut(cut, kStatusTextChars + 1, text);
    ::SetWindowTextW(field, cut);
    RECT rc;
    ::GetClientRect(field, &rc);
    rc.left += 1;
    rc.top += 1;
    rc.bottom -= 1;
    ::InvalidateRect(field, &rc, TRUE);
    ::UpdateWindow(field);
    return 1;
}

// The debug viewer's main window. The capture thread queues lines; this window takes
// them in batches (a posted message arms a short timer; the status timer is the
// fallback) and appends them to its list with redrawing off, so a flood costs one
// repaint per batch.
#include "viewerwindow.h"

#include <commctrl.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "capture.h"

namespace dbgview {

namespace {

constexpr UINT WM_LINES_WAITING = WM_APP + 1;
constexpr UINT_PTR kStatusTimer = 1;
constexpr UINT kStatusMs = 250;
// Lines that arrive close together go into the list together: the first waiting line
// arms this timer, and the window takes everything that waits when it fires.
constexpr UINT_PTR kBatchTimer = 2;
constexpr UINT kBatchMs = 40;
constexpr int kListId = 100;
constexpr int kStatusId = 101;
// Lines that may wait for the window before the capture counts them as dropped.
constexpr size_t kMaxPendingChars = 16u * 1024 * 1024;

constexpr int kLimitCount = static_cast<int>(sizeof(kLineLimits) / sizeof(kLineLimits[0]));

// Per-window state, owned by the window (freed on WM_NCDESTROY); touched only by the
// window's thread. The capture thread reaches it only through DebugCapture.
struct Viewer {
    HWND hwnd = nullptr;
    HWND list = nullptr;
    HWND status = nullptr;
    HMENU menu = nullptr;
    ViewerOptions options;
    std::unique_ptr<DebugCapture> capture;
    std::vector<CapturedLine> batch;  // reused between batches
    bool batchArmed = false;
    std::wstring lastStatus;
};

Viewer* From(HWND hwnd) { return reinterpret_cast<Viewer*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA)); }

int ItemCount(HWND list) { return static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); }

void SetSubItem(HWND list, int item, int sub, const wchar_t* text) {
    LVITEMW lv = {};
    lv.iSubItem = sub;
    lv.pszText = const_cast<wchar_t*>(text);
    ::SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&lv));
}

void AddColumn(HWND list, int sub, const wchar_t* title, int width, int format = LVCFMT_LEFT) {
    LVCOLUMNW col = {};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM | LVCF_FMT;
    col.fmt = format;
    col.cx = width;
    col.iSubItem = sub;
    col.pszText = const_cast<wchar_t*>(title);
    ::SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(sub), reinterpret_cast<LPARAM>(&col));
}

HMENU BuildMenu(const ViewerOptions& options) {
    HMENU file = ::CreatePopupMenu();
    ::AppendMenuW(file, MF_STRING, IDM_EXIT, L"E&xit");
    HMENU edit = ::CreatePopupMenu();
    ::AppendMenuW(edit, MF_STRING, IDM_COPY, L"&Copy\tCtrl+C");
    ::AppendMenuW(edit, MF_STRING, IDM_SELECTALL, L"Select &all\tCtrl+A");
    ::AppendMenuW(edit, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(edit, MF_STRING, IDM_CLEAR, L"C&lear\tCtrl+X");
    HMENU limits = ::CreatePopupMenu();
    for (int i = 0; i < kLimitCount; ++i) {
        wchar_t text[32];
        swprintf(text, 32, L"%d lines", kLineLimits[i]);
        ::AppendMenuW(limits, MF_STRING, IDM_LIMIT_FIRST + i, text);
    }
    HMENU opts = ::CreatePopupMenu();
    ::AppendMenuW(opts, MF_STRING | (options.autoScroll ? MF_CHECKED : 0), IDM_AUTOSCROLL, L"&Auto scroll\tCtrl+S");
    ::AppendMenuW(opts, MF_POPUP, reinterpret_cast<UINT_PTR>(limits), L"&Line limit");
    HMENU bar = ::CreateMenu();
    ::AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"&File");
    ::AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(edit), L"&Edit");
    ::AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(opts), L"&Options");
    return bar;
}

void CheckLimit(Viewer& v) {
    for (int i = 0; i < kLimitCount; ++i)
        ::CheckMenuItem(v.menu, IDM_LIMIT_FIRST + i,
                        MF_BYCOMMAND | (kLineLimits[i] == v.options.lineLimit ? MF_CHECKED : MF_UNCHECKED));
}

// Drops the oldest rows above the limit.
void Trim(Viewer& v, int keep) {
    for (int n = ItemCount(v.list); n > keep; --n) ::SendMessageW(v.list, LVM_DELETEITEM, 0, 0);
}

void AppendLine(Viewer& v, const CapturedLine& line, int at) {
    wchar_t number[24], time[16], pid[16];
    swprintf(number, 24, L"%llu", static_cast<unsigned long long>(line.number));
    swprintf(time, 16, L"%02u:%02u:%02u.%03u", line.time.wHour, line.time.wMinute, line.time.wSecond,
             line.time.wMilliseconds);
    swprintf(pid, 16, L"%lu", static_cast<unsigned long>(line.pid));
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = at;
    item.pszText = number;
    const int index = static_cast<int>(::SendMessageW(v.list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    if (index < 0) return;
    SetSubItem(v.list, index, kSubTime, time);
    SetSubItem(v.list, index, kSubPid, pid);
    SetSubItem(v.list, index, kSubText, line.text.c_str());
}

// Takes every waiting line into the list: one redraw per batch, the oldest rows going
// first once the limit is reached.
void TakeLines(Viewer& v) {
    v.capture->Take(v.batch);
    if (v.batch.empty()) return;
    ::SendMessageW(v.list, WM_SETREDRAW, FALSE, 0);
    const int limit = v.options.lineLimit;
    int count = ItemCount(v.list);
    for (const CapturedLine& line : v.batch) {
        if (count >= limit) {
            Trim(v, limit - 1);
            count = limit - 1;
        }
        AppendLine(v, line, count);
        ++count;
    }
    v.batch.clear();
    // Redrawing back on first: a list that does not redraw may not update its scroll
    // range, and the scroll to the newest row would stop at the old end.
    ::SendMessageW(v.list, WM_SETREDRAW, TRUE, 0);
    if (v.options.autoScroll && count > 0) ::SendMessageW(v.list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(count - 1), FALSE);
    ::InvalidateRect(v.list, nullptr, FALSE);
}

void UpdateStatus(Viewer& v) {
    wchar_t text[200];
    switch (v.capture->state()) {
    case DebugCapture::State::Waiting:
        swprintf(text, 200, L"Waiting: another program reads the debug output");
        break;
    case DebugCapture::State::Stopped:
        swprintf(text, 200, L"Capture stopped");
        break;
    default:
        swprintf(text, 200, L"Captured %llu lines, %d shown (limit %d), %llu dropped",
                 static_cast<unsigned long long>(v.capture->captured()), ItemCount(v.list), v.options.lineLimit,
                 static_cast<unsigned long long>(v.capture->dropped()));
        break;
    }
    if (v.lastStatus == text) return;
    v.lastStatus = text;
    ::SendMessageW(v.status, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(text));
}

// Copies the selected rows, one line each with tab-separated columns in the order shown.
void CopySelection(Viewer& v) {
    std::wstring out;
    const int subs[] = {kSubNumber, kSubTime, kSubPid, kSubText};
    for (int i = -1; (i = static_cast<int>(::SendMessageW(v.list, LVM_GETNEXTITEM, static_cast<WPARAM>(i),
                                                          LVNI_SELECTED))) >= 0;) {
        for (int s = 0; s < 4; ++s) {
            wchar_t buf[4200] = {};
            LVITEMW item = {};
            item.iSubItem = subs[s];
            item.pszText = buf;
            item.cchTextMax = 4200;
            ::SendMessageW(v.list, LVM_GETITEMTEXTW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
            if (s > 0) out += L'\t';
            out += buf;
        }
        out += L"\r\n";
    }
    if (out.empty() || !::OpenClipboard(v.hwnd)) return;
    ::EmptyClipboard();
    const size_t bytes = (out.size() + 1) * sizeof(wchar_t);
    if (HGLOBAL mem = ::GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        if (void* p = ::GlobalLock(mem)) {
            memcpy(p, out.c_str(), bytes);
            ::GlobalUnlock(mem);
            if (!::SetClipboardData(CF_UNICODETEXT, mem)) ::GlobalFree(mem);
        } else {
            ::GlobalFree(mem);
        }
    }
    ::CloseClipboard();
}

void ShowContextMenu(Viewer& v, POINT at) {
    HMENU menu = ::CreatePopupMenu();
    ::AppendMenuW(menu, MF_STRING, IDM_COPY, L"&Copy");
    ::AppendMenuW(menu, MF_STRING, IDM_SELECTALL, L"Select &all");
    ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(menu, MF_STRING, IDM_CLEAR, L"C&lear");
    ::TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, v.hwnd, nullptr);
    ::DestroyMenu(menu);
}

void Layout(Viewer& v) {
    RECT rc;
    ::GetClientRect(v.hwnd, &rc);
    ::SendMessageW(v.status, WM_SIZE, 0, 0);
    RECT sb = {};
    ::GetWindowRect(v.status, &sb);
    const int statusHeight = sb.bottom - sb.top;
    ::MoveWindow(v.list, 0, 0, rc.right, rc.bottom > statusHeight ? rc.bottom - statusHeight : 0, TRUE);
}

bool OnCreate(HWND hwnd, const CREATESTRUCTW* cs) {
    auto* v = new Viewer;
    v->hwnd = hwnd;
    v->options = *static_cast<const ViewerOptions*>(cs->lpCreateParams);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(v));

    v->menu = BuildMenu(v->options);
    ::SetMenu(hwnd, v->menu);
    CheckLimit(*v);
    // The list is a direct child of the main window, as the trace library expects.
    v->list = ::CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                                WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER, 0, 0, 0, 0,
                                hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListId)), cs->hInstance, nullptr);
    v->status = ::CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, hwnd,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(kStatusId)), cs->hInstance, nullptr);
    if (!v->list || !v->status) return false;
    ::SendMessageW(v->list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    AddColumn(v->list, kSubNumber, L"#", 70, LVCFMT_RIGHT);
    AddColumn(v->list, kSubTime, L"Time", 100);
    AddColumn(v->list, kSubText, L"Debug output", 700);
    AddColumn(v->list, kSubPid, L"PID", 70, LVCFMT_RIGHT);
    int order[] = {kSubNumber, kSubTime, kSubPid, kSubText};
    ::SendMessageW(v->list, LVM_SETCOLUMNORDERARRAY, 4, reinterpret_cast<LPARAM>(order));

    v->capture = std::make_unique<DebugCapture>(hwnd, WM_LINES_WAITING, kMaxPendingChars);
    if (!v->capture->Start()) return false;
    ::SetTimer(hwnd, kStatusTimer, kStatusMs, nullptr);
    return true;
}

void OnCommand(Viewer& v, int id) {
    switch (id) {
    case IDM_EXIT:
        ::PostMessageW(v.hwnd, WM_CLOSE, 0, 0);
        break;
    case IDM_COPY:
        CopySelection(v);
        break;
    case IDM_SELECTALL: {
        LVITEMW item = {};
        item.stateMask = LVIS_SELECTED;
        item.state = LVIS_SELECTED;
        ::SendMessageW(v.list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
        break;
    }
    case IDM_CLEAR:
        ::SendMessageW(v.list, LVM_DELETEALLITEMS, 0, 0);
        break;
    case IDM_AUTOSCROLL:
        v.options.autoScroll = !v.options.autoScroll;
        ::CheckMenuItem(v.menu, IDM_AUTOSCROLL, MF_BYCOMMAND | (v.options.autoScroll ? MF_CHECKED : MF_UNCHECKED));
        break;
    default:
        if (id >= IDM_LIMIT_FIRST && id < IDM_LIMIT_FIRST + kLimitCount) {
            v.options.lineLimit = kLineLimits[id - IDM_LIMIT_FIRST];
            CheckLimit(v);
            ::SendMessageW(v.list, WM_SETREDRAW, FALSE, 0);
            Trim(v, v.options.lineLimit);
            ::SendMessageW(v.list, WM_SETREDRAW, TRUE, 0);
            ::InvalidateRect(v.list, nullptr, TRUE);
        }
        break;
    }
    UpdateStatus(v);
}

LRESULT HandleMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CREATE) return OnCreate(hwnd, reinterpret_cast<const CREATESTRUCTW*>(lp)) ? 0 : -1;
    Viewer* v = From(hwnd);
    if (!v) return ::DefWindowProcW(hwnd, msg, wp, lp);
    switch (msg) {
    case WM_LINES_WAITING:
        if (!v->batchArmed) v->batchArmed = ::SetTimer(hwnd, kBatchTimer, kBatchMs, nullptr) != 0;
        if (!v->batchArmed) TakeLines(*v);
        return 0;
    case WM_TIMER:
        if (wp == kBatchTimer) {
            ::KillTimer(hwnd, kBatchTimer);
            v->batchArmed = false;
            TakeLines(*v);
        } else if (wp == kStatusTimer) {
            TakeLines(*v);
            UpdateStatus(*v);
        }
        return 0;
    case WM_SIZE:
        Layout(*v);
        return 0;
    case WM_SETFOCUS:
        ::SetFocus(v->list);
        return 0;
    case WM_COMMAND:
        OnCommand(*v, LOWORD(wp));
        return 0;
    case WM_CONTEXTMENU:
        if (reinterpret_cast<HWND>(wp) == v->list) {
            POINT at = {static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
            if (at.x == -1 && at.y == -1) {
                at = {0, 0};
                ::ClientToScreen(v->list, &at);
            }
            ShowContextMenu(*v, at);
            return 0;
        }
        break;
    case WM_DESTROY:
        ::KillTimer(hwnd, kStatusTimer);
        ::KillTimer(hwnd, kBatchTimer);
        if (v->capture) v->capture->Stop();
        ::PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        delete v;
        break;
    default:
        break;
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK ViewerWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) noexcept {
    try {
        return HandleMessage(hwnd, msg, wp, lp);
    } catch (...) {
        // Out of memory while taking a batch: the lines are lost, the viewer goes on.
        return msg == WM_CREATE ? -1 : 0;
    }
}

}  // namespace

bool RegisterViewerClass(HINSTANCE instance) {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&icc);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &ViewerWndProc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kViewerClass;
    return ::RegisterClassExW(&wc) != 0;
}

HWND CreateViewerWindow(HINSTANCE instance, const ViewerOptions& options) {
    ViewerOptions copy = options;
    return ::CreateWindowExW(0, kViewerClass, L"DbgView - debug output", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                             CW_USEDEFAULT, 1000, 600, nullptr, nullptr, instance, &copy);
}

HACCEL CreateViewerAccelerators() {
    ACCEL keys[] = {
        {FVIRTKEY | FCONTROL, 'C', IDM_COPY},
        {FVIRTKEY | FCONTROL, 'A', IDM_SELECTALL},
        {FVIRTKEY | FCONTROL, 'X', IDM_CLEAR},
        {FVIRTKEY | FCONTROL, 'S', IDM_AUTOSCROLL},
    };
    return ::CreateAcceleratorTableW(keys, static_cast<int>(sizeof(keys) / sizeof(keys[0])));
}

}  // namespace dbgview

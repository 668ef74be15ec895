// The debug viewer's main window. The capture thread queues lines; this window takes
// them in batches (a posted message arms a short timer; the status timer is the
// fallback) into rows of its own that an owner-data list shows, so a flood costs one
// count change and one repaint per batch, and the oldest rows past the limit go in one
// step instead of one list deletion (which moves the whole list) per new line.
#include "viewerwindow.h"

#include <commctrl.h>
#include <stdio.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "capture.h"
#include "client/errortext.h"

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
    std::deque<CapturedLine> rows;    // what the list shows, oldest first
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

// Tells the list how many rows there are; the rows shown all moved when old ones went.
void ShowCount(Viewer& v, bool trimmed) {
    if (trimmed && ::SendMessageW(v.list, LVM_GETSELECTEDCOUNT, 0, 0) > 0) {
        LVITEMW none = {};
        none.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        ::SendMessageW(v.list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&none));
    }
    ::SendMessageW(v.list, LVM_SETITEMCOUNT, v.rows.size(), LVSICF_NOSCROLL | LVSICF_NOINVALIDATEALL);
    if (v.options.autoScroll && !v.rows.empty())
        ::SendMessageW(v.list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(v.rows.size() - 1), FALSE);
    ::InvalidateRect(v.list, nullptr, FALSE);
}

// Drops the oldest rows above the limit, all in one step; true when any went.
bool Trim(Viewer& v, size_t keep) {
    if (v.rows.size() <= keep) return false;
    v.rows.erase(v.rows.begin(), v.rows.begin() + static_cast<std::ptrdiff_t>(v.rows.size() - keep));
    return true;
}

// Takes every waiting line into the rows: one count change per batch, the oldest rows
// going first once the limit is reached.
void TakeLines(Viewer& v) {
    v.capture->Take(v.batch);
    if (v.batch.empty()) return;
    for (CapturedLine& line : v.batch) {
        v.rows.push_back(std::move(line));
        // The text is also set as sub-item 2 of its row with the set-item-text message:
        // the trace library's hook takes each line from that message.
        SetSubItem(v.list, static_cast<int>(v.rows.size() - 1), kSubText, v.rows.back().text.c_str());
    }
    v.batch.clear();
    ShowCount(v, Trim(v, static_cast<size_t>(v.options.lineLimit)));
}

// The texts of a row, asked for by the list as it draws or copies.
void OnDispInfo(Viewer& v, NMLVDISPINFOW* di) {
    LVITEMW& item = di->item;
    if (!(item.mask & LVIF_TEXT) || !item.pszText || item.cchTextMax <= 0) return;
    item.pszText[0] = 0;
    if (item.iItem < 0 || static_cast<size_t>(item.iItem) >= v.rows.size()) return;
    const CapturedLine& line = v.rows[static_cast<size_t>(item.iItem)];
    const int n = item.cchTextMax;
    switch (item.iSubItem) {
    case kSubNumber: swprintf(item.pszText, n, L"%llu", static_cast<unsigned long long>(line.number)); break;
    case kSubTime:
        swprintf(item.pszText, n, L"%02u:%02u:%02u.%03u", line.time.wHour, line.time.wMinute, line.time.wSecond,
                 line.time.wMilliseconds);
        break;
    case kSubPid: swprintf(item.pszText, n, L"%lu", static_cast<unsigned long>(line.pid)); break;
    case kSubText: {
        const size_t chars = line.text.size() < static_cast<size_t>(n) ? line.text.size() : static_cast<size_t>(n) - 1;
        wmemcpy(item.pszText, line.text.data(), chars);
        item.pszText[chars] = 0;
        break;
    }
    default: break;
    }
}

void UpdateStatus(Viewer& v) {
    wchar_t counts[200];
    std::wstring text;
    switch (v.capture->state()) {
    case DebugCapture::State::Waiting:
        text = L"Waiting: another program reads the debug output";
        break;
    case DebugCapture::State::Failing:
        text = L"Cannot read the debug output (" + kv::ErrorText(v.capture->error()) + L"), trying again";
        break;
    case DebugCapture::State::Stopped:
        text = L"Capture stopped";
        break;
    default:
        swprintf(counts, 200, L"Captured %llu lines, %d shown (limit %d), %llu dropped",
                 static_cast<unsigned long long>(v.capture->captured()), ItemCount(v.list), v.options.lineLimit,
                 static_cast<unsigned long long>(v.capture->dropped()));
        text = counts;
        break;
    }
    if (v.lastStatus == text) return;
    v.lastStatus = text;
    ::SendMessageW(v.status, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(text.c_str()));
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
                                WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER,
                                0, 0, 0, 0,
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
        v.rows.clear();
        ShowCount(v, true);
        break;
    case IDM_AUTOSCROLL:
        v.options.autoScroll = !v.options.autoScroll;
        ::CheckMenuItem(v.menu, IDM_AUTOSCROLL, MF_BYCOMMAND | (v.options.autoScroll ? MF_CHECKED : MF_UNCHECKED));
        break;
    default:
        if (id >= IDM_LIMIT_FIRST && id < IDM_LIMIT_FIRST + kLimitCount) {
            v.options.lineLimit = kLineLimits[id - IDM_LIMIT_FIRST];
            CheckLimit(v);
            ShowCount(v, Trim(v, static_cast<size_t>(v.options.lineLimit)));
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
    case WM_NOTIFY: {
        auto* h = reinterpret_cast<NMHDR*>(lp);
        if (h->hwndFrom == v->list && h->code == LVN_GETDISPINFOW) OnDispInfo(*v, reinterpret_cast<NMLVDISPINFOW*>(h));
        break;
    }
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

// Stand-in trace window for server tests.
#include "testserverwindow.h"

#include <commctrl.h>

#include "client/region.h"
#include "server/attach.h"
#include "server/clock.h"
#include "server/filters.h"
#include "server/intake.h"
#include "server/registry.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"

namespace kvtest {
namespace {
WNDPROC g_listDefault;
TestServerWindow* g_current;

HWND MakeList(HWND parent, int id) {
    HWND list = ::CreateWindowExW(0, WC_LISTVIEWW, L"",
                                  WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA | LVS_OWNERDRAWFIXED | LVS_SHOWSELALWAYS,
                                  0, 0, 600, 300, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                  ::GetModuleHandleW(nullptr), nullptr);
    for (int i = 0; i < kColumnCount; ++i) {
        LVCOLUMNW col = {LVCF_WIDTH | LVCF_SUBITEM, 0, 90, nullptr, 0, i};
        ::SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&col));
    }
    return list;
}
}  // namespace

TestServerWindow::TestServerWindow(bool asServer, bool storeLines) : storeLines_(storeLines), saved_(g_settings) {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
    ::InitCommonControlsEx(&icc);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &TestServerWindow::Proc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KvTestServerWindow";
    ::RegisterClassW(&wc);  // refused harmlessly by every window after the first
    g_current = this;
    hwnd_ = ::CreateWindowExW(0, L"KvTestServerWindow", L"trace", WS_OVERLAPPEDWINDOW, 0, 0, 800, 600, nullptr,
                              nullptr, ::GetModuleHandleW(nullptr), nullptr);
    apps_ = ::CreateWindowExW(0, WC_COMBOBOXW, L"",
                              WS_CHILD | WS_VISIBLE | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_SORT | CBS_UPPERCASE, 0, 0,
                              300, 200, hwnd_, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    main_ = MakeList(hwnd_, 1);
    filter_ = MakeList(hwnd_, 2);
    for (HWND list : {main_, filter_})
        g_listDefault = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ListProc)));
    InstallFilterListProc(filter_);
    kv::ServerState& st = kv::Server();
    st.traceWindow = hwnd_;
    st.mainList = main_;
    st.filterList = filter_;
    st.appList = apps_;
    st.mainStore = rowstore_Create(main_, rowstore_CompareRows);
    st.filterStore = rowstore_Create(filter_, rowstore_CompareRows);
    if (storeLines) kv::AttachServerWindow();
    if (asServer) traceapi_SetTraceWindow(hwnd_, TRUE);
}

TestServerWindow::~TestServerWindow() {
    if (storeLines_) kv::DetachServerWindow();
    traceapi_SetTraceWindow(nullptr, TRUE);
    kv::ServerState& st = kv::Server();
    rowstore_Destroy(st.mainStore);
    rowstore_Destroy(st.filterStore);
    st = kv::ServerState{};
    ::DestroyWindow(hwnd_);
    g_current = nullptr;
    tracewnd_ResetTraceFileForTesting();
    g_settings = saved_;
    traceapi_SetEnable(1);
    kv::ClockSetForTesting(nullptr);
    kv::Seams() = kv::WindowSeams{};
    rowstore_SetAllocFailuresForTesting(0);
    rowstore_SetMessageBox(nullptr);
    tracewnd_SetSaveListMessageBox(nullptr);
    tracewnd_SetTriggerLaunchForTesting(nullptr);
}

std::vector<std::wstring> TestServerWindow::AppEntries() const {
    std::vector<std::wstring> out;
    const int n = static_cast<int>(::SendMessageW(apps_, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        wchar_t buf[256] = {};
        ::SendMessageW(apps_, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buf));
        out.emplace_back(buf);
    }
    return out;
}

// Below the lists' procedures: it records what the filter list's procedure passes on.
LRESULT CALLBACK TestServerWindow::ListProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (g_current && hwnd != g_current->main_) g_current->passedOn.push_back(msg);
    else if (g_current && msg == LVM_SETITEMCOUNT) g_current->countUpdates.emplace_back(::GetTickCount(), lp);
    else if (msg == WM_TIMER) rowstore_OnTimer(kv::Server().mainStore, wp);
    return ::CallWindowProcW(g_listDefault, hwnd, msg, wp, lp);
}

LRESULT CALLBACK TestServerWindow::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    TestServerWindow* self = g_current;
    switch (msg) {
    // As the trace window does: the message travels in the current message slot.
    case WM_TRACE_OUTPUT:
        if (self && !self->storeLines_) {
            self->lines.push_back({kv::g_region.curFunc, kv::g_region.curText, static_cast<short>(wp), static_cast<short>(lp),
                                   g_settings.EnableFile, kv::g_region.globalEnable,
                                   rowstore_GetAutoScroll(kv::Server().mainStore)});
            return 0;
        }
        tracewnd_AddMessage(kv::g_region.curHandle, kv::g_region.curFunc, kv::g_region.curText, kv::g_region.curLevel);
        return 0;
    case WM_TRACE_REGISTER:
        tracewnd_AddApplication(kv::g_region.curHandle);
        return 0;
    case WM_TRACE_UNREGISTER:
        tracewnd_RemoveApplication(kv::g_region.curHandle);
        return 0;
    case kPing:
        return 42;
    // The default would open the system menu, whose loop eats queued messages.
    case WM_KEYDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_CONTEXTMENU:
        if (self) self->input.emplace_back(msg, wp, lp);
        return 0;
    case WM_COMMAND:
        if (HIWORD(wp) == CBN_SELCHANGE && self) {
            HWND list = reinterpret_cast<HWND>(lp);
            LRESULT sel = ::SendMessageW(list, CB_GETCURSEL, 0, 0);
            self->selectedHandle = sel < 0 ? -1 : static_cast<int>(::SendMessageW(list, CB_GETITEMDATA, static_cast<WPARAM>(sel), 0));
        }
        return 0;
    case WM_NOTIFY: {
        auto* hdr = reinterpret_cast<NMHDR*>(lp);
        if (hdr->code == LVN_GETDISPINFOW) {
            short store = hdr->hwndFrom == kv::Server().mainList ? kv::Server().mainStore : kv::Server().filterStore;
            rowstore_OnGetDispInfo(store, reinterpret_cast<NMLVDISPINFOW*>(lp));
        }
        return 0;
    }
    default:
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    }
}

}  // namespace kvtest

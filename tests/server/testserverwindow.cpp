// Stand-in trace window for server tests.
#include "testserverwindow.h"

#include <commctrl.h>

#include <string>

#include "client/region.h"
#include "server/attach.h"
#include "server/intake.h"
#include "server/registry.h"
#include "server/rowstore.h"
#include "server/serverstate.h"

namespace kvtest {
namespace {
WNDPROC g_mainListDefault;
TestServerWindow* g_current;

HWND MakeList(HWND parent, int id) {
    return ::CreateWindowExW(0, WC_LISTVIEWW, L"",
                             WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA | LVS_OWNERDRAWFIXED | LVS_SHOWSELALWAYS,
                             0, 0, 600, 300, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                             ::GetModuleHandleW(nullptr), nullptr);
}
}  // namespace

TestServerWindow::TestServerWindow(bool asServer) {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
    ::InitCommonControlsEx(&icc);
    static ATOM cls = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = &TestServerWindow::Proc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KvTestServerWindow";
        return ::RegisterClassW(&wc);
    }();
    (void)cls;
    g_current = this;
    hwnd_ = ::CreateWindowExW(0, L"KvTestServerWindow", L"trace", WS_OVERLAPPEDWINDOW, 0, 0, 800, 600, nullptr,
                              nullptr, ::GetModuleHandleW(nullptr), nullptr);
    apps_ = ::CreateWindowExW(0, WC_COMBOBOXW, L"",
                              WS_CHILD | WS_VISIBLE | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_SORT | CBS_UPPERCASE, 0, 0,
                              300, 200, hwnd_, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    main_ = MakeList(hwnd_, 1);
    filter_ = MakeList(hwnd_, 2);
    g_mainListDefault = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(main_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TestServerWindow::MainListProc)));
    InstallFilterListProc(filter_);

    kv::ServerState& st = kv::Server();
    st.traceWindow = hwnd_;
    st.mainList = main_;
    st.filterList = filter_;
    st.appList = apps_;
    st.mainStore = rowstore_Create(main_, rowstore_CompareRows);
    st.filterStore = rowstore_Create(filter_, rowstore_CompareRows);
    kv::AttachServerWindow();
    if (asServer) traceapi_SetTraceWindow(hwnd_, TRUE);
}

TestServerWindow::~TestServerWindow() {
    kv::DetachServerWindow();
    traceapi_SetTraceWindow(nullptr, TRUE);
    kv::ServerState& st = kv::Server();
    rowstore_Destroy(st.mainStore);
    rowstore_Destroy(st.filterStore);
    st = kv::ServerState{};
    ::DestroyWindow(hwnd_);
    g_current = nullptr;
}

short TestServerWindow::mainStore() const { return kv::Server().mainStore; }
short TestServerWindow::filterStore() const { return kv::Server().filterStore; }

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

int TestServerWindow::SelectedApp() const { return static_cast<int>(::SendMessageW(apps_, CB_GETCURSEL, 0, 0)); }

LRESULT CALLBACK TestServerWindow::MainListProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TIMER) rowstore_OnTimer(kv::Server().mainStore, wp);
    return ::CallWindowProcW(g_mainListDefault, hwnd, msg, wp, lp);
}

LRESULT CALLBACK TestServerWindow::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    // As the trace window does: the message travels in the current message slot.
    case WM_TRACE_OUTPUT:
        tracewnd_AddMessage(kv::g_region.curHandle, kv::g_region.curFunc, kv::g_region.curText, kv::g_region.curLevel);
        return 0;
    case WM_TRACE_REGISTER:
        tracewnd_AddApplication(kv::g_region.curHandle);
        return 0;
    case WM_TRACE_UNREGISTER:
        tracewnd_RemoveApplication(kv::g_region.curHandle);
        return 0;
    case WM_COMMAND:
        if (HIWORD(wp) == CBN_SELCHANGE && g_current) {
            HWND list = reinterpret_cast<HWND>(lp);
            LRESULT sel = ::SendMessageW(list, CB_GETCURSEL, 0, 0);
            g_current->selections_.push_back(
                sel < 0 ? -1 : static_cast<int>(::SendMessageW(list, CB_GETITEMDATA, static_cast<WPARAM>(sel), 0)));
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

// The stand-in trace window of the operator tests.
#include "operator_fixture.h"

#include <commctrl.h>

#include "client/region.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "window/operator.h"

namespace optest {

std::vector<Box> g_boxes;
int g_boxAnswer = IDOK;
int g_beeps;
int g_saveDialogs;

namespace {

int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR title, UINT type) {
    g_boxes.push_back({text, title, type});
    return g_boxAnswer;
}
BOOL WINAPI RecordBeep(UINT) {
    ++g_beeps;
    return TRUE;
}
BOOL WINAPI RecordSaveDialog(OPENFILENAMEW*) {
    ++g_saveDialogs;
    return FALSE;
}

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_COMMAND:
        if (lp == 0) tracewnd_OnMenuCommand(hwnd, LOWORD(wp));
        return 0;
    case WM_NOTIFY: {
        auto* info = reinterpret_cast<NMLVDISPINFOW*>(lp);
        if (info->hdr.code == LVN_GETDISPINFOW) {
            const kv::ServerState& st = kv::Server();
            rowstore_OnGetDispInfo(info->hdr.hwndFrom == st.mainList ? st.mainStore : st.filterStore, info);
        }
        return 0;
    }
    default:
        if (tracewnd_OnFindMsg(hwnd, msg, lp)) return 0;
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    }
}

HWND MakeList(HWND parent, int id, int y) {
    HWND list = ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA, 0, y, 600,
                                  200, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    for (int i = 0; i < 6; ++i) {
        LVCOLUMNW col = {LVCF_WIDTH | LVCF_SUBITEM, 0, 90, nullptr, 0, i};
        ::SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&col));
    }
    return list;
}

TraceRow* MakeRow(short store, const std::wstring& text, int id) {
    TraceRow* row = rowstore_NewRow(store);
    row->text = rowstore_NewText(store, static_cast<int>(text.size()) + 1);
    wcscpy(row->text, text.c_str());
    swprintf(row->time, 32, L"MO 10:00:00,00 [%05d]", id);
    wcscpy(row->tag, L"INF");
    wcscpy(row->process, L"Proc [1]");
    wcscpy(row->module, L"Mod [2]");
    wcscpy(row->function, L"Function");
    return row;
}

}  // namespace

OperatorWindow::OperatorWindow() {
    kv::ProcessAttach(::GetModuleHandleW(nullptr));
    static ATOM cls = [] {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
        ::InitCommonControlsEx(&icc);
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.lpszClassName = L"KvOperatorTestWindow";
        return ::RegisterClassW(&wc);
    }();
    hwnd_ = ::CreateWindowExW(0, MAKEINTATOM(cls), L"operator", WS_OVERLAPPEDWINDOW, 0, 0, 640, 480, nullptr, nullptr,
                              nullptr, nullptr);
    kv::ServerState& st = kv::Server();
    st.traceWindow = hwnd_;
    st.mainList = MakeList(hwnd_, 1, 0);
    st.filterList = MakeList(hwnd_, 2, 220);
    st.mainStore = rowstore_Create(st.mainList, rowstore_CompareRows);
    st.filterStore = rowstore_Create(st.filterList, rowstore_CompareRows);
    ::ShowWindow(hwnd_, SW_SHOW);
    ::SetForegroundWindow(hwnd_);
    tracewnd_SetOperatorSeams(RecordBox, RecordBeep, RecordSaveDialog);
    tracewnd_InitOperator(hwnd_);
}

OperatorWindow::~OperatorWindow() {
    tracewnd_EndOperator();
    tracewnd_SetOperatorSeams(nullptr, nullptr, nullptr);
    kv::ServerState& st = kv::Server();
    rowstore_Destroy(st.mainStore);
    rowstore_Destroy(st.filterStore);
    st = kv::ServerState{};
    ::DestroyWindow(hwnd_);
}

OperatorWindow& Window() {
    static OperatorWindow* window = new OperatorWindow;  // lives until the process ends
    return *window;
}

HWND OperatorWindow::mainList() const { return kv::Server().mainList; }
HWND OperatorWindow::filterList() const { return kv::Server().filterList; }

void OperatorWindow::Fill(const std::vector<std::wstring>& texts) {
    const kv::ServerState& st = kv::Server();
    rowstore_Clear(st.mainStore);
    rowstore_Clear(st.filterStore);
    for (size_t i = 0; i < texts.size(); ++i) rowstore_Add(st.mainStore, MakeRow(st.mainStore, texts[i], static_cast<int>(i)));
    rowstore_FlushCount(st.mainStore);
    Select(st.mainList, -1);
}

void OperatorWindow::AddFilterRow(const std::wstring& text, int source) {
    const kv::ServerState& st = kv::Server();
    TraceRow* row = MakeRow(st.filterStore, text, 900 + source);
    row->sourceIndex = source;
    rowstore_Add(st.filterStore, row);
    rowstore_FlushCount(st.filterStore);
}

int OperatorWindow::Selected() const {
    return static_cast<int>(::SendMessageW(mainList(), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

std::vector<int> OperatorWindow::SelectedRows() const {
    std::vector<int> rows;
    for (int i = -1; (i = static_cast<int>(::SendMessageW(mainList(), LVM_GETNEXTITEM, static_cast<WPARAM>(i), LVNI_SELECTED))) >= 0;)
        rows.push_back(i);
    return rows;
}

void OperatorWindow::Select(HWND list, int row) {
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
    if (row < 0) return;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

Keys::Keys(bool control, bool shift) {
    BYTE state[256];
    ::GetKeyboardState(state);
    state[VK_CONTROL] = control ? 0x80 : 0;
    state[VK_SHIFT] = shift ? 0x80 : 0;
    ::SetKeyboardState(state);
}

Keys::~Keys() {
    BYTE state[256];
    ::GetKeyboardState(state);
    state[VK_CONTROL] = state[VK_SHIFT] = 0;
    ::SetKeyboardState(state);
}

}  // namespace optest

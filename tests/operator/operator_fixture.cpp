// The stand-in trace window of the operator tests.
#include "operator_fixture.h"

#include <commctrl.h>

#include "client/region.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "settings/profiles.h"
#include "window/operator.h"
#include "window/tracewnd.h"

namespace optest {

std::vector<std::wstring> g_boxes;
int g_boxAnswer = IDOK, g_beeps, g_saveDialogs, g_opened, g_saved;

namespace {

int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR title, UINT type) {
    g_boxes.push_back(std::wstring(text) + L"|" + title + L"|" + std::to_wstring(type));
    return g_boxAnswer;
}
BOOL WINAPI RecordBeep(UINT) { return ++g_beeps, TRUE; }
BOOL WINAPI RecordSaveDialog(OPENFILENAMEW*) { return ++g_saveDialogs, FALSE; }
BOOL WINAPI OpenDialog(OPENFILENAMEW*) { return ++g_opened, FALSE; }
BOOL WINAPI SaveDialog(OPENFILENAMEW*) { return ++g_saved, FALSE; }

// Commands (the Scroll button among the controls), list notifications and the find
// message go where the trace window sends them.
LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_COMMAND) tracewnd_OnCommand(hwnd, LOWORD(wp), reinterpret_cast<HWND>(lp), HIWORD(wp));
    if (msg == WM_NOTIFY) return tracewnd_OnNotify(hwnd, static_cast<int>(wp), reinterpret_cast<NMHDR*>(lp));
    if (msg == WM_COMMAND || tracewnd_OnFindMsg(hwnd, msg, lp)) return 0;
    return ::DefWindowProcW(hwnd, msg, wp, lp);
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

// A row of text with function "Function" and time "MO 10:00:00,00 [id]".
void AddRow(short store, const std::wstring& text, int id, int source = -1, bool counted = true) {
    TraceRow* row = rowstore_NewRow(store);
    row->text = rowstore_NewText(store, static_cast<int>(text.size()) + 1);
    wcscpy(row->text, text.c_str());
    swprintf(row->time, 32, L"MO 10:00:00,00 [%05d]", id);
    wcscpy(row->tag, L"INF");
    wcscpy(row->process, L"Proc [1]");
    wcscpy(row->module, L"Mod [2]");
    wcscpy(row->function, L"Function");
    if (source >= 0) row->sourceIndex = source;
    rowstore_Add(store, row);
    if (counted) rowstore_FlushCount(store);
}

}  // namespace

HWND MainList() { return kv::Server().mainList; }
HWND FilterList() { return kv::Server().filterList; }

HWND Window() {
    static HWND window = [] {  // lives until the process ends
        kv::ProcessAttach(::GetModuleHandleW(nullptr));
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
        ::InitCommonControlsEx(&icc);
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.lpszClassName = L"KvOperatorTestWindow";
        HWND hwnd = ::CreateWindowExW(0, MAKEINTATOM(::RegisterClassW(&wc)), L"operator", WS_OVERLAPPEDWINDOW, 0, 0,
                                      640, 480, nullptr, nullptr, nullptr, nullptr);
        kv::ServerState& st = kv::Server();
        st.traceWindow = hwnd;
        st.mainList = MakeList(hwnd, 1, 0);
        st.filterList = MakeList(hwnd, 2, 220);
        st.mainStore = rowstore_Create(st.mainList, rowstore_CompareRows);
        st.filterStore = rowstore_Create(st.filterList, rowstore_CompareRows);
        TraceWindow().scroll = ::CreateWindowExW(0, L"Button", L"Scroll", WS_CHILD | BS_AUTOCHECKBOX, 0, 440, 50, 20,
                                                 hwnd, nullptr, nullptr, nullptr);
        ::ShowWindow(hwnd, SW_SHOW);
        ::SetForegroundWindow(hwnd);
        tracewnd_SetOperatorSeams(RecordBox, RecordBeep, RecordSaveDialog);
        tracewnd_SetProfileDialogs(OpenDialog, SaveDialog);
        tracewnd_InitOperator(hwnd);
        return hwnd;
    }();
    return window;
}

void Fill(const std::vector<std::wstring>& texts, const std::wstring& filterRow, size_t uncounted) {
    Window();
    const kv::ServerState& st = kv::Server();
    rowstore_Clear(st.mainStore);
    rowstore_Clear(st.filterStore);
    Select(st.mainList, -1);
    const int n = static_cast<int>(texts.size());
    for (int i = 0; i < n; ++i) AddRow(st.mainStore, texts[i], i, -1, i < n - static_cast<int>(uncounted));
    if (!filterRow.empty()) AddRow(st.filterStore, filterRow, 901, n - 1);
}

std::vector<int> SelectedRows() {
    std::vector<int> rows;
    for (int i = -1; (i = static_cast<int>(::SendMessageW(MainList(), LVM_GETNEXTITEM, i, LVNI_SELECTED))) >= 0;)
        rows.push_back(i);
    return rows;
}
int Selected() { return SelectedRows().empty() ? -1 : SelectedRows()[0]; }

void Select(HWND list, int row) {
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    if (row >= 0) ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

bool Key(WPARAM key, bool control, bool shift) {
    BYTE state[256];
    ::GetKeyboardState(state);
    state[VK_CONTROL] = control ? 0x80 : 0;
    state[VK_SHIFT] = shift ? 0x80 : 0;
    ::SetKeyboardState(state);
    const bool handled = tracewnd_OnOperatorKey(Window(), key);
    state[VK_CONTROL] = state[VK_SHIFT] = 0;
    ::SetKeyboardState(state);
    return handled;
}

}  // namespace optest

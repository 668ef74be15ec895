// The two list views: columns, owner drawing of rows from copies taken out of the row
// stores, the main list's window procedure, list notifications and the quarter-page
// reveal.
#include "client/faultguard.h"
#include "client/owners.h"
#include "client/region.h"
#include "server/filters.h"
#include "server/intake.h"
#include "server/listselection.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "settings/windowlayout.h"
#include "window/tracewnd.h"

using namespace kv;

namespace {

const wchar_t* const kColumnHeaders[kListColumns] = {L"Day Time [No]", L"LEV", L"Process [PID]",
                                                     L"Module [TID]", L"Function", L"Message"};

WNDPROC g_mainListPrev;  // the main list's own procedure; window thread

// Only the window thread draws, so one copy buffer serves every row.
RowCopy g_drawCopy;

const wchar_t* CellText(const TraceRow& row, int column) {
    const wchar_t* text = RowColumnText(&row, column);
    return text ? text : L"";
}

void DrawCell(HDC dc, const wchar_t* text, int length, int left, int right, const RECT& item) {
    RECT cell = {left, item.top, right, item.bottom};
    ::DrawTextW(dc, text, length, &cell, DT_NOPREFIX);
}

void OnColumnClick(HWND window, const NMLISTVIEW* click) {
    const ServerState& st = Server();
    // Sorting reorders the main list; while messages stream in, it would fight them.
    if (g_region.globalEnable != 0 || click->hdr.hwndFrom != st.mainList) return;
    const int selected = FirstSelected(st.mainList);
    TraceWindowState& w = TraceWindow();
    HCURSOR previous = ::SetCursor(w.waitCursor);
    rowstore_Sort(st.mainStore, click);
    if (selected >= 0) tracewnd_RevealRow(selected);
    ::InvalidateRect(st.mainList, nullptr, TRUE);
    // The filter list's links to main-list rows no longer hold.
    {
        ListLock lock;
        rowstore_Clear(st.filterStore);
    }
    ::SetCursor(w.arrowCursor ? w.arrowCursor : previous);
}

// A row chosen in the filter list shows its source row in the main list; a row chosen
// in the main list leaves no filter-list row selected. Only the list with the keyboard
// focus leads: the other one's changes are the echo of this.
void OnSelectionChange(const NMHDR* header, int item) {
    const ServerState& st = Server();
    HWND focus = ::GetFocus();
    if (header->hwndFrom == st.filterList && focus == st.filterList) {
        if (item < 0) return;
        const UINT state = static_cast<UINT>(::SendMessageW(st.filterList, LVM_GETITEMSTATE, static_cast<WPARAM>(item), LVIS_SELECTED));
        if (!(state & LVIS_SELECTED)) return;
        tracewnd_MoveSelection(-1, rowstore_GetSourceIndex(st.filterStore, item));
    } else if (header->hwndFrom == st.mainList && focus == st.mainList) {
        ClearSelection(st.filterList);
    }
}

}  // namespace

namespace kv {

COLORREF LevelColor(short level) noexcept {
    switch (level) {
    case -1: return kColorOperator;
    case 0: return kColorServer;
    case 10: return kColorError;
    case 20: return kColorWarning;
    case 40: return kColorDiag;
    default: return kColorInfo;
    }
}

int RevealTarget(int r, int top, int count, int perPage) noexcept {
    const int q = perPage / 4;
    int t = r;
    if (r <= top + q) t = r - q;
    if (r > top + 3 * q) t = r + q;
    if (t >= count) t = count - 1;
    if (t < 0) t = 0;
    return t;
}

}  // namespace kv

void tracewnd_RevealRow(int row) {
    HWND list = Server().mainList;
    if (!list || !::IsWindow(list)) return;
    const int top = static_cast<int>(::SendMessageW(list, LVM_GETTOPINDEX, 0, 0));
    const int count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    const int perPage = static_cast<int>(::SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0));
    ::SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(RevealTarget(row, top, count, perPage)), FALSE);
}

void tracewnd_MoveSelection(int clearItem, int row) {
    const ServerState& st = Server();
    HWND list = st.mainList;
    if (!list) return;
    if (clearItem >= 0) {
        LVITEMW item = {};
        item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(clearItem), reinterpret_cast<LPARAM>(&item));
    } else {
        ClearSelection(list);
    }
    if (row < 0) return;
    SelectRow(list, st.mainStore, row);
    tracewnd_RevealRow(row);
}

LRESULT CALLBACK ListWndProc(HWND list, UINT msg, WPARAM wParam, LPARAM lParam) noexcept {
    switch (msg) {
    case WM_SYSKEYDOWN:
        // Only the one system key the window claims (Alt+F3): the others have their
        // default processing here, and a copy would have it twice (two context menus).
        if (wParam != VK_F3) break;
        [[fallthrough]];
    case WM_CONTEXTMENU:
    case WM_KEYDOWN:
    case WM_COMMAND:
    case WM_LBUTTONDBLCLK:
        if (HWND server = ServerWindow()) ::PostMessageW(server, msg, wParam, lParam);
        break;
    case WM_TIMER:
        rowstore_OnTimer(Server().mainStore, wParam);
        break;
    default:
        break;
    }
    return g_mainListPrev ? ::CallWindowProcW(g_mainListPrev, list, msg, wParam, lParam)
                          : ::DefWindowProcW(list, msg, wParam, lParam);
}

void InstallMainListProc(HWND list) {
    g_mainListPrev = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ListWndProc)));
}

void tracewnd_DrawItem(HWND window, const DRAWITEMSTRUCT* item) {
    if (!item || item->CtlType != ODT_LISTVIEW) return;
    const ServerState& st = Server();
    const bool isMain = item->hwndItem == st.mainList;
    if (!isMain && item->hwndItem != st.filterList) return;
    const short store = isMain ? st.mainStore : st.filterStore;
    const int index = static_cast<int>(item->itemID);
    HDC dc = item->hDC;

    // One copy of the whole row: intake threads may trim the store between any two
    // reads, and a copy cannot change under the drawing.
    RowCopy& copy = g_drawCopy;
    const BOOL have = rowstore_CopyRow(store, index, &copy);
    const TraceRow& row = copy.row;
    const bool marked = isMain && have && (row.markFlags & kRowMarked);

    COLORREF ground = have ? tracewnd_GetHighlightColor(store, index) : kNoHighlight;
    if (!isMain && ground == kNoHighlight) ground = row.sourceIndex >= 0 ? kColorFilterLinked : kColorFilterOrphan;
    const COLORREF ink = LevelColor(LevelOfWord(row.levelWord));

    UniqueBrush brush(::CreateSolidBrush(ground));
    ::FillRect(dc, &item->rcItem, brush.get());
    const COLORREF oldBk = ::SetBkColor(dc, ground);
    const COLORREF oldInk = ::SetTextColor(dc, ink);

    if (have) {
        int x = item->rcItem.left;
        wchar_t cell[kCellChars];
        for (int column = 0; column < kListColumns; ++column) {
            const int width = static_cast<int>(::SendMessageW(item->hwndItem, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
            CopyCut(cell, kCellChars, CellText(row, column));
            const int right = x + width;
            if (column == kColTime && marked && cell[0] && cell[1]) {
                SIZE size = {};
                ::GetTextExtentPoint32W(dc, cell, 2, &size);
                RECT mark = {x, item->rcItem.top, x + size.cx, item->rcItem.bottom};
                UniqueBrush markBrush(::CreateSolidBrush(kColorMarkCell));
                ::FillRect(dc, &mark, markBrush.get());
                ::SetBkColor(dc, kColorMarkCell);
                DrawCell(dc, cell, 2, x, x + size.cx, item->rcItem);
                ::SetBkColor(dc, ground);
                DrawCell(dc, cell + 2, -1, x + size.cx, right, item->rcItem);
            } else {
                DrawCell(dc, cell, -1, x, right, item->rcItem);
            }
            x = right;
        }
    }

    if (item->itemState & (ODS_SELECTED | ODS_GRAYED)) {
        UniqueBrush frame(::CreateSolidBrush(::GetFocus() == item->hwndItem ? kColorFrameFocus : kColorFrameNoFocus));
        RECT rc = item->rcItem;
        ::FrameRect(dc, &rc, frame.get());
        ::InflateRect(&rc, -1, -1);
        ::FrameRect(dc, &rc, frame.get());
    }
    ::SetTextColor(dc, oldInk);
    ::SetBkColor(dc, oldBk);
}

LRESULT tracewnd_OnNotify(HWND window, int id, const NMHDR* header) {
    if (!header) return 0;
    const ServerState& st = Server();
    switch (header->code) {
    case LVN_GETDISPINFOW:
        rowstore_OnGetDispInfo(header->hwndFrom == st.filterList ? st.filterStore : st.mainStore,
                               reinterpret_cast<NMLVDISPINFOW*>(const_cast<NMHDR*>(header)));
        break;
    case LVN_COLUMNCLICK:
        OnColumnClick(window, reinterpret_cast<const NMLISTVIEW*>(header));
        break;
    case LVN_ITEMCHANGED:
        OnSelectionChange(header, reinterpret_cast<const NMLISTVIEW*>(header)->iItem);
        break;
    case NM_CLICK:
        OnSelectionChange(header, reinterpret_cast<const NMITEMACTIVATE*>(header)->iItem);
        break;
    case NM_SETFOCUS:
        if (header->hwndFrom == st.mainList || header->hwndFrom == st.filterList) TraceWindow().focusList = header->hwndFrom;
        break;
    case LVN_ODFINDITEMW:
        // A typed character asks the owner for a matching row; the default answer, 0,
        // would select and scroll to the first row. No row matches: the operator keeps
        // their place.
        return -1;
    default:
        break;
    }
    return 0;
}

int tracewnd_InitColumns(HWND list) {
    if (!list || !::IsWindow(list)) return 0;
    ListLock lock;
    const WindowLayout& layout = g_windowLayout;
    for (int i = 0; i < kListColumns; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.cx = i < layout.columnCount ? layout.columnWidths[i] : kDefaultColumnWidths[i];
        column.pszText = const_cast<wchar_t*>(kColumnHeaders[i]);
        column.iSubItem = i;
        if (::SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column)) < 0) break;
    }
    return 1;
}

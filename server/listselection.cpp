// The selection of the trace lists.
#include "server/listselection.h"

#include <commctrl.h>

#include "client/locks.h"
#include "server/rowstore.h"

namespace kv {

namespace {

void SetItemState(HWND list, int item, UINT state, UINT mask) noexcept {
    LVITEMW lvi = {};
    lvi.stateMask = mask;
    lvi.state = state;
    kv::SendChecked(list, LVM_SETITEMSTATE, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&lvi));
}

int SelectedCount(HWND list) noexcept { return static_cast<int>(kv::SendChecked(list, LVM_GETSELECTEDCOUNT, 0, 0)); }

}  // namespace

int FirstSelected(HWND list) noexcept {
    // The count is kept by the view; the search walks every item of an owner-data list.
    if (!list || SelectedCount(list) == 0) return -1;
    return static_cast<int>(kv::SendChecked(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void ClearSelection(HWND list) noexcept {
    if (!list) return;
    const UINT mask = LVIS_FOCUSED | LVIS_SELECTED;
    const int focused = static_cast<int>(kv::SendChecked(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
    if (focused >= 0) SetItemState(list, focused, 0, mask);
    if (SelectedCount(list) > 8) {
        SetItemState(list, -1, 0, mask);
        return;
    }
    for (int item = FirstSelected(list); item >= 0 && SelectedCount(list) > 0;) {
        SetItemState(list, item, 0, mask);
        item = static_cast<int>(kv::SendChecked(list, LVM_GETNEXTITEM, static_cast<WPARAM>(item), LVNI_SELECTED));
    }
}

void SelectRow(HWND list, short store, int row) noexcept {
    if (!list || row < 0) return;
    // row counts the rows the store has dropped; the view must have heard of them too, or
    // their news, arriving later, would move this selection a second time.
    rowstore_TellDrop(store);
    if (row >= static_cast<int>(kv::SendChecked(list, LVM_GETITEMCOUNT, 0, 0))) rowstore_FlushCount(store);
    SetItemState(list, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

}  // namespace kv

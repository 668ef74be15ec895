// Helpers shared by the operator's functions: seams, key states, selection moves.
#include "window/operator.h"
#include "window/operator_internal.h"

#include <commctrl.h>

#include "server/rowstore.h"
#include "server/serverstate.h"

namespace {
OperatorBoxFn g_box = &::MessageBoxW;
OperatorBeepFn g_beep = &::MessageBeep;
OperatorSaveDialogFn g_saveDialog = &::GetSaveFileNameW;
}  // namespace

void tracewnd_SetOperatorSeams(OperatorBoxFn box, OperatorBeepFn beep, OperatorSaveDialogFn saveDialog) {
    g_box = box ? box : &::MessageBoxW;
    g_beep = beep ? beep : &::MessageBeep;
    g_saveDialog = saveDialog ? saveDialog : &::GetSaveFileNameW;
}

namespace kv {
namespace op {

int Box(HWND owner, const wchar_t* text, UINT type) noexcept { return g_box(owner, text, kOperatorBoxTitle, type); }
void Beep() noexcept { g_beep(0xFFFFFFFF); }
BOOL SaveDialog(OPENFILENAMEW* ofn) noexcept { return g_saveDialog(ofn); }
bool ControlDown() noexcept { return ::GetKeyState(VK_CONTROL) < 0; }
bool ShiftDown() noexcept { return ::GetKeyState(VK_SHIFT) < 0; }

int FirstSelected(HWND list) noexcept {
    if (!list) return -1;
    return static_cast<int>(::SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void MoveSelection(int clearItem, int row) noexcept {
    const ServerState& st = Server();
    HWND list = st.mainList;
    if (!list) return;
    // The view learns new rows by a timer; a row it does not count yet cannot be selected.
    if (row >= static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0))) rowstore_FlushCount(st.mainStore);
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = 0;
    if (clearItem >= 0) {
        ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(clearItem), reinterpret_cast<LPARAM>(&item));
    } else {
        // Only the selected rows and the focused one carry state; clearing them one by one
        // spares the view a walk over every row of a long list.
        for (int i; (i = static_cast<int>(::SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                                        LVNI_SELECTED))) >= 0;) {
            if (!::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item))) break;
        }
        const int focused = static_cast<int>(::SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
        if (focused >= 0) ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(focused), reinterpret_cast<LPARAM>(&item));
    }
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    RevealMainRow(row);
}

void RevealMainRow(int row) noexcept {
    HWND list = Server().mainList;
    if (!list) return;
    const int top = static_cast<int>(::SendMessageW(list, LVM_GETTOPINDEX, 0, 0));
    const int n = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    const int q = static_cast<int>(::SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0)) / 4;
    int t = row <= top + q ? row - q : row;
    if (row > top + 3 * q) t = row + q;
    if (t >= n) t = n - 1;
    if (t < 0) t = 0;
    ::SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(t), FALSE);
}

}  // namespace op
}  // namespace kv

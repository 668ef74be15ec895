// Marks: bookmarks on main-list rows, set by hand or by the highlight, and the
// wrap-around walk from one to the next.
#include "window/operator.h"
#include "window/operator_internal.h"

#include "server/listselection.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "window/tracewnd.h"

using namespace kv;

void kv::op::ToggleMark() noexcept {
    const ServerState& st = Server();
    const int row = FirstSelected(st.mainList);
    if (row >= 0) rowstore_SetMark(st.mainStore, row, !rowstore_IsMarked(st.mainStore, row));
}

void kv::op::GotoMark(bool next) noexcept {
    const ServerState& st = Server();
    const int from = FirstSelected(st.mainList);
    if (from < 0) return;
    const int to = next ? rowstore_NextMark(st.mainStore, from) : rowstore_PrevMark(st.mainStore, from);
    if (to >= 0) tracewnd_MoveSelection(-1, to);
}

void tracewnd_OnMarkKey() {
    const ServerState& st = Server();
    const bool control = op::ControlDown();
    const bool shift = op::ShiftDown();
    if (control && shift) {
        rowstore_ClearMarks(st.mainStore);
        return;
    }
    if (control) {
        op::ToggleMark();
        return;
    }
    const int from = FirstSelected(st.mainList);
    if (from < 0) return;
    const int to = shift ? rowstore_PrevMark(st.mainStore, from) : rowstore_NextMark(st.mainStore, from);
    // Only the row moved from loses its state: other selected rows stay selected.
    if (to >= 0) tracewnd_MoveSelection(from, to);
}

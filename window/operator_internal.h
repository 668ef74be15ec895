// Helpers shared by the operator's functions of the trace window (window thread only).
#pragma once

#include "client/compat.h"

#include <commdlg.h>

namespace kv {
namespace op {

int Box(HWND owner, const wchar_t* text, UINT type) noexcept;  // titled kOperatorBoxTitle
void Beep() noexcept;
BOOL SaveDialog(OPENFILENAMEW* ofn) noexcept;
bool ControlDown() noexcept;
bool ShiftDown() noexcept;

// First selected item of a list view, or -1.
int FirstSelected(HWND list) noexcept;
// Clears the selection and focus of one item (or of all items with -1), then selects and
// focuses row and brings it into view by the quarter-page rule.
void MoveSelection(int clearItem, int row) noexcept;
// The quarter-page reveal of a main-list row.
void RevealMainRow(int row) noexcept;

// Escape: closes an open find dialog (true) and gives the main list the focus.
bool CloseFindOnEscape() noexcept;
void EndFind() noexcept;
// The menu commands of marks: toggle the first selected row's mark; go to the next or
// previous mark, clearing the selection of every row.
void ToggleMark() noexcept;
void GotoMark(bool next) noexcept;

}  // namespace op
}  // namespace kv

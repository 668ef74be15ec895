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

// Escape: closes an open find dialog (true) and gives the main list the focus.
bool CloseFindOnEscape() noexcept;
void EndFind() noexcept;
// The menu commands of marks: toggle the first selected row's mark; go to the next or
// previous mark, clearing the selection of every row.
void ToggleMark() noexcept;
void GotoMark(bool next) noexcept;

}  // namespace op
}  // namespace kv

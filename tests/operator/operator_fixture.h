// The stand-in trace window of the operator tests: a top-level window with the two
// owner-data list views and their row stores, named as the server's window state. Its
// procedure routes menu commands, the find message and list notifications the way the
// trace window does. Boxes, beeps, the save dialog and the profile dialogs go to recorders.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace optest {

extern std::vector<std::wstring> g_boxes;  // "text|title|type" of each box
extern int g_boxAnswer;                    // what every box answers
extern int g_beeps, g_saveDialogs, g_opened, g_saved;

// The one stand-in window of the process, made on first use, and its lists.
HWND Window();
HWND MainList();
HWND FilterList();
// Empties both stores and fills the main list with rows of these texts (function
// "Function", time "MO 10:00:00,00 [row]"), the filter list with one copy of the last
// row (time "[00901]") unless filterRow is empty. No row is selected. The last uncounted
// rows are not yet in the main list view's count, as between two ticks of a flood.
void Fill(const std::vector<std::wstring>& texts, const std::wstring& filterRow = L"", size_t uncounted = 0);
std::vector<int> SelectedRows();      // of the main list
int Selected();                       // first selected main-list row, -1 for none
void Select(HWND list, int row);      // only this row selected and focused (-1: none)
// The operator key with Ctrl and Shift held in this thread's key state: true if handled.
bool Key(WPARAM key, bool control = false, bool shift = false);

}  // namespace optest

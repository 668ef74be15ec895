// The stand-in trace window of the operator tests: a top-level window with the two
// owner-data list views and their row stores, named as the server's window state. Its
// window procedure routes menu commands, the find message and list notifications the
// way the trace window does. Boxes, beeps and the save dialog go to recorders.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "client/compat.h"

namespace optest {

struct Box { std::wstring text, title; UINT type; };
extern std::vector<Box> g_boxes;
extern int g_boxAnswer;     // what every box answers
extern int g_beeps;
extern int g_saveDialogs;

class OperatorWindow {
public:
    OperatorWindow();
    ~OperatorWindow();
    HWND hwnd() const { return hwnd_; }
    HWND mainList() const;
    HWND filterList() const;
    // Empties both stores and fills the main list with rows of these texts (function
    // "Function", time "MO 10:00:00,00 [0000i]").
    void Fill(const std::vector<std::wstring>& texts);
    void AddFilterRow(const std::wstring& text, int source);
    int Selected() const;                 // first selected main-list row, -1 for none
    std::vector<int> SelectedRows() const;
    void Select(HWND list, int row);      // only this row selected and focused (-1: none)
private:
    HWND hwnd_ = nullptr;
};

// The one stand-in window of the process, made on first use.
OperatorWindow& Window();

// Holds Ctrl and/or Shift in this thread's key state for its scope.
class Keys {
public:
    Keys(bool control, bool shift);
    ~Keys();
};

}  // namespace optest

// The status bar of the trace window: a child window of class "StatusClass" holding a
// row of up to ten sunken text fields ("StatusItemClass") whose widths are shares of
// the bar's width. One bar per process; every operation runs on the window thread.
#pragma once

#include "client/compat.h"

constexpr int kStatusMaxFields = 10;
constexpr int kStatusTextChars = 128;
constexpr int kStatusBarHeight = 24;
constexpr int kStatusFirstFieldId = 4;  // control id of field i is 4 + i

struct StatusField {
    wchar_t text[kStatusTextChars];  // initial text
    int weight;                      // share of the bar width
};

// Creates the bar along the parent's bottom edge with one field per table entry. A
// table of more than ten entries (or none, or a negative count) is refused: null.
HWND statusbar_Create(HWND parent, const StatusField* fields, int count);
// 24 while the bar exists, else 0.
int statusbar_Height();
// Moves the bar to the parent's bottom edge at full width: 1, or 0 without a bar.
int statusbar_Reposition();
// Sets and repaints one field's text (at most 128 characters shown): 1, or 0 without a
// bar or when the index is negative or not below the field count.
int statusbar_SetText(int index, const wchar_t* text);

namespace kv {
// Left edge and width of field i for a bar of the given width (before the 3-pixel
// inset on each side); used by the layout and the tests.
void StatusFieldSpan(const StatusField* fields, int count, int barWidth, int index, int* left, int* width) noexcept;
}  // namespace kv

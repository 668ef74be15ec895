// The selection of the two trace lists, found, cleared and set one way for every key,
// button, click and trim. The lists are owner-data views of the row stores.
#pragma once

#include "client/compat.h"

namespace kv {

// First selected item of a list view, or -1.
int FirstSelected(HWND list) noexcept;
// Clears the selected and focused states of every item. Setting them on item -1 walks
// every item of an owner-data list (milliseconds for a full list); clearing the few
// items that hold them has the same result.
void ClearSelection(HWND list) noexcept;
// Selects and focuses row of the store's list. The view learns new rows by a timer and
// dropped rows by a post; both are brought up to date first, for a row it does not count
// yet cannot be selected, and a drop told later would move the selection again.
void SelectRow(HWND list, short store, int row) noexcept;

}  // namespace kv

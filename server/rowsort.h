// Sorting a store's rows by the text of one column, the way the trace lists compare
// them: case-insensitive by the user's locale rules.
#pragma once

#include "server/tracerow.h"

namespace kv {

// Reorders rows[0, count) by column (0 to 5) ascending or descending, in the order that
// CompareStringW with NORM_IGNORECASE gives (rows it finds equal in any order). Each row's
// text is mapped to a sort key once and the keys are compared byte by byte. False, with
// the rows untouched, when the keys do not fit into memory or a row is missing; the caller
// then sorts by comparing the texts.
bool SortRowsByKey(TraceRow** rows, int count, int column, bool ascending) noexcept;

}  // namespace kv

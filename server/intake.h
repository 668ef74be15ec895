// Message intake: every trace message becomes a filtered, numbered trace row of the
// main list, a trace file line and a trigger test.
#pragma once

#include "server/tracerow.h"

int tracewnd_AddMessage(int handle, const wchar_t* func, const wchar_t* text, short level);
void tracewnd_CopyToFilterList(const TraceRow* row, int mainIndex);
void tracewnd_AdjustFilterList(int dropped);

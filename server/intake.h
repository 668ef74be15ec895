// Message intake: every trace message becomes a filtered, numbered trace row of the
// main list, a trace file line and a trigger test.
#pragma once

#include "server/tracerow.h"

// A message that came through the current message slot (the trace window's handler of
// WM_TRACE_OUTPUT): the module column shows the sender's thread id from the slot.
int tracewnd_AddMessage(int handle, const wchar_t* func, const wchar_t* text, short level);
// A message of the emitting thread threadId (the direct path in the server's process).
// Texts longer than a row holds (999 characters) are cut. 1 when stored.
int tracewnd_AddMessageFrom(int handle, const wchar_t* func, const wchar_t* text, short level, DWORD threadId);
// Tests: the running number the next stored message continues from.
void tracewnd_SetSequenceForTesting(unsigned long last);
void tracewnd_CopyToFilterList(const TraceRow* row, int mainIndex);
void tracewnd_AdjustFilterList(int dropped);

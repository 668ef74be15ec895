// Trace files: the daily UTF-16 trace file that every stored row is appended to, the
// saved list, the history clean-up and the time functions that read dates and times
// back from file names and rows.
#pragma once

#include <time.h>

#include "server/tracerow.h"
#include "server/rowstore.h"  // after tracerow.h: commctrl.h needs windows.h first

constexpr int kLiveLineChars = 999;   // live-file line, CR LF included
constexpr int kSavedLineChars = 1000; // saved-list line, CR LF included

// Sets the current file name from the date and FileDir (see tracefile.cpp).
void tracewnd_SelectTraceFile();
// Appends a row to the current trace file when file writing is on.
void tracewnd_WriteFileLine(const TraceRow* row);
// Closes the open stream, if any; the next line reopens it.
void tracewnd_CloseTraceFile();
// The same unless a line is being written at this moment (then 0 and nothing closed):
// the window's tick must not queue behind intake threads that write line after line.
BOOL tracewnd_TryCloseTraceFile();
// The current file name ("" before the settings are loaded).
const wchar_t* tracewnd_CurrentTraceFile();
// A copy of the current file name and whether the stream is open at this moment:
// snapshots for the status bar, taken without the writer's lock.
void tracewnd_CopyTraceFileName(wchar_t* buffer, int capacity);
BOOL tracewnd_IsTraceFileOpen();

// Writes the whole main list into path (FF FE, then one line per row). Returns 1 on
// success; when the file cannot be opened shows "Could not open file '%s' !" owned by
// owner and returns 0.
int tracewnd_SaveListToPath(HWND owner, const wchar_t* path);
// The saved-list failure box goes through this function; tests replace it so they never
// wait at a box. Null restores MessageBoxW.
void tracewnd_SetSaveListMessageBox(MessageBoxFn fn);

// Deletes daily trace files older than HistoryDays.
void tracewnd_CheckHistDays();

// Calendar time of 23:59:59 local on the day named by TSyymmdd.txt, or -1.
time_t tracewnd_GetTimeFromName(const wchar_t* name);
// Milliseconds from the first time text to the second, 0 when either is unusable.
long tracewnd_GetTimeDiffFromStr(const wchar_t* first, const wchar_t* second);
// Creates every missing directory of path up to its last backslash.
void MakeDirectoryPath(const wchar_t* path);

// Formats the file line of a row into buffer (capacity characters, CR LF included).
// Returns the number of characters written.
int tracewnd_FormatFileLine(const TraceRow* row, wchar_t* buffer, int capacity);
// The terminator takes one of the capacity characters: a live line is formatted with
// kLiveLineChars + 1, a saved-list line with kSavedLineChars + 1.

// Tests: closes the stream and forgets the current name and the date it was built for.
void tracewnd_ResetTraceFileForTesting();
// Tests: stop runs on every thread that hands a line in without the writer lock, in the
// middle of its copy (null: nothing runs).
void tracewnd_SetSlotCopyStopForTesting(void (*stop)());

// Sub-string filters (include, exclude, filter list, highlight, trigger), highlight
// colours and the trigger actions.
#pragma once

#include "server/tracerow.h"
#include "settings/serversettings.h"

constexpr int kSubStrings = 10;
constexpr int kSubStringChars = 50;   // 48 characters kept + terminator
constexpr COLORREF kHighlightColors[3] = {0x009BFFFF, 0x009BFF9B, 0x009B9BFF};
constexpr COLORREF kNoHighlight = 0x00FFFFFF;

// Rebuilds the tables from the settings strings and publishes them, together with the
// trigger's filter and command, for the threads that read them while the window thread
// rewrites the settings record in place.
void tracewnd_SplitFilters();
// The trigger filter and command as last published by tracewnd_SplitFilters.
void tracewnd_CopyTriggerTexts(wchar_t (&filter)[kFilterChars], wchar_t (&exec)[MAX_PATH]);
// Splits one settings line into a table: at most 511 characters count, pieces between
// ";" that are not empty, the first 10 of them, each cut to 48 characters. Returns the
// number of entries; the rest of the table is emptied.
int tracewnd_SplitSubStrings(const wchar_t* line, wchar_t (*table)[kSubStringChars]);
int tracewnd_CheckInclude(short handle, const wchar_t* func, const wchar_t* text, const wchar_t* tag, short level);
int tracewnd_CheckExclude(short handle, const wchar_t* func, const wchar_t* text, const wchar_t* tag, short level);
int tracewnd_CheckFilterList(const wchar_t* process, const wchar_t* module, const wchar_t* func, const wchar_t* text, const wchar_t* tag);
int tracewnd_CheckTrigger(short handle, const wchar_t* func, const wchar_t* text, const wchar_t* tag, short level);
// First entry of the filter-list table (intake copies rows only when it is set).
const wchar_t* tracewnd_FirstFilterListEntry();
int tracewnd_IsHighlighted(int row);
COLORREF tracewnd_GetHighlightColor(short store, int row);

void tracewnd_ExecTrigger();
// Runs the trigger command as last published by tracewnd_SplitFilters.
void tracewnd_TGExcecute();
// Runs the given trigger command the same way (the settings dialog's Test).
void tracewnd_RunTriggerCommand(const wchar_t* command);
int ExecCommandAnsi(const wchar_t* commandLine, int showWindow);
int LaunchProcess(const wchar_t* commandLine, int showWindow);

// Tests: replaces the process start of the trigger command (same arguments and result as
// LaunchProcess); null restores LaunchProcess.
typedef int (*LaunchFn)(const wchar_t* commandLine, int showWindow);
void tracewnd_SetTriggerLaunchForTesting(LaunchFn fn);

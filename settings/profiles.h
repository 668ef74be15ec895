// Trace profiles: named sets of filters, trigger, global switches and the level
// switches of every registered application, kept in files of their own; and the
// current profile, whose path all processes share.
#pragma once

#include "client/compat.h"

#include <commdlg.h>

constexpr wchar_t kProfileDefaultExt[] = L"pfl";
constexpr int kProfilePathChars = 260;      // at most 259 characters are kept
constexpr int kProfileMaxPathChars = 259;

// Writes the current filters, trigger, global switches and the level switches of every
// used application slot to path (null: the user picks the file), and makes it the
// current profile. Nothing without a trace window.
void tracewnd_SaveProfile(HWND owner, const wchar_t* path);
// Reads a profile into the settings and makes it current. 1 when loaded; 0 when the
// user cancelled, the file does not exist or its Global/Mode is not 0 (then nothing
// changes).
int tracewnd_LoadProfile(HWND owner, const wchar_t* path);
// Makes path the current profile (one pair of enclosing quotes dropped, at most 259
// characters); null or empty leaves no current profile.
void tracewnd_SetProfile(const wchar_t* path);
// Drops the current profile when the filters or the trigger no longer match it.
void tracewnd_CheckProfile();

// The file dialogs go through these functions; tests replace them so that no dialog
// ever waits for a user. Same argument and result as GetOpenFileNameW and
// GetSaveFileNameW; null restores the platform's.
typedef BOOL(WINAPI* ProfileDialogFn)(OPENFILENAMEW*);
void tracewnd_SetProfileDialogs(ProfileDialogFn open, ProfileDialogFn save);

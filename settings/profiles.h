// Trace profiles: named sets of filters, trigger, global switches and the level
// switches of every registered application, kept in files of their own; and the
// current profile, whose path all processes share.
#pragma once

#include "client/compat.h"

#include <commdlg.h>

constexpr wchar_t kProfileDefaultExt[] = L"pfl";
constexpr int kProfilePathChars = 260;      // at most 259 characters are kept
constexpr int kProfileMaxPathChars = 259;

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

// Saving and loading as the trace window does it, with what the window applies and
// gathers around them, are tracewnd_SaveProfile and tracewnd_LoadProfile
// (window/settingsapply.h).
namespace kv {
// Writes the current filters, trigger, global switches and the level switches of every
// used application slot to path (null: the user picks the file), and makes it the
// current profile.
void WriteProfile(HWND owner, const wchar_t* path);
// Reads a profile into the settings record and the switches of the used slots and makes
// it current; file receives its path. 1 when loaded; 0 when the user cancelled, the file
// does not exist or its Global/Mode is not 0 (then nothing changes).
int ReadProfile(HWND owner, const wchar_t* path, wchar_t (&file)[kProfilePathChars]);
// Called after every change of the current profile (the status bar shows it).
void SetProfileChangedHook(void (*hook)()) noexcept;
}  // namespace kv

// The settings and profiles as the trace window uses them: what the store and the
// profile files load is applied to the server core and the window, and what they save
// is gathered from them first.
#pragma once

#include "client/compat.h"

// Loads the settings (settings/settingsstore.h) and applies them: filter tables, trace
// file. Window thread, before the window is created.
void tracewnd_LoadSettings();
// Writes the settings with the window's placement, the main list's column widths and
// its auto-scroll. Does nothing when the trace window no longer exists.
void tracewnd_SaveSettings();
// Sets the trace window's title from the filter strings; nothing without a window.
void tracewnd_SetTitle();
// Loads a profile (settings/profiles.h) and applies it: filter tables, the settings
// lines, the tool bar, the switches of the selected application, title and lists. 1 when
// loaded; 0 when the user cancelled, the file does not exist or its Global/Mode is not 0.
int tracewnd_LoadProfile(HWND owner, const wchar_t* path);
// Saves the current settings as a profile (null path: the user picks the file); nothing
// without a trace window.
void tracewnd_SaveProfile(HWND owner, const wchar_t* path);

// The server settings store: the load of the settings record (and of the server entry
// and the global switch) from KVTRCSRV.ini and the suite file, its save at window end,
// and the window title that shows the active filters. What the trace window makes of
// them is in window/settingsapply.h.
#pragma once

#include "client/compat.h"

constexpr wchar_t kSettingsFileName[] = L"KVTRCSRV.ini";
constexpr wchar_t kSuiteFileName[] = L"KV_ServX.ini";
constexpr wchar_t kServerSectionName[] = L"RivivEda";
constexpr wchar_t kTitleProduct[] = L"VANTORA KV";
constexpr int kSuiteDirChars = 259;
constexpr int kTitleFilterChars = 125;  // characters of each filter string shown in the title
constexpr int kTitleChars = 2048;       // room for every part of the longest title

// The title of the trace window, formed from g_settings.
void tracewnd_FormatTitle(wchar_t* buffer, size_t capacity);

namespace kv {
// Fills g_settings, g_windowLayout, the server entry and the global enable switch from
// the settings file beside the executable and the suite file, and makes the profile of
// the last run current when none is. Window thread, before the window is created.
void LoadSettingsRecord();
// Writes g_settings, g_windowLayout, the global enable switch, the main list's
// auto-scroll and the current profile to the settings file.
void SaveSettingsRecord(BOOL autoScroll);
}  // namespace kv

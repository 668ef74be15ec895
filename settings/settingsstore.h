// The server settings store: the load of the settings record (and of the server entry
// and the global switch) from KVTRCSRV.ini and the suite file, its save at window end,
// and the window title that shows the active filters.
#pragma once

#include "client/compat.h"

constexpr wchar_t kSettingsFileName[] = L"KVTRCSRV.ini";
constexpr wchar_t kSuiteFileName[] = L"KV_ServX.ini";
constexpr wchar_t kServerSectionName[] = L"RivivEda";
constexpr wchar_t kTitleProduct[] = L"VANTORA KV";
constexpr int kSuiteDirChars = 259;
constexpr int kTitleFilterChars = 125;  // characters of each filter string shown in the title
constexpr int kTitleChars = 2048;       // room for every part of the longest title

// Fills g_settings, g_windowLayout, the server entry and the global enable switch from
// the settings file beside the executable and the suite file. Window thread, before
// the window is created.
void tracewnd_LoadSettings();
// Writes the record, the window's placement and the main list's column widths to the
// settings file. Does nothing when the trace window no longer exists.
void tracewnd_SaveSettings();
// Sets the trace window's title from the filter strings; nothing without a window.
void tracewnd_SetTitle();
// The title tracewnd_SetTitle sets, formed from g_settings.
void tracewnd_FormatTitle(wchar_t* buffer, size_t capacity);

// Sections of the settings file (a profile uses the first three as well).
constexpr wchar_t kSectionGlobal[] = L"Global";
constexpr wchar_t kSectionFilter[] = L"Filter";
constexpr wchar_t kSectionListView[] = L"ListView";
constexpr wchar_t kSectionPC[] = L"PC";

namespace kv {
// Reads the Filter section (five filter strings, Mark, trigger flags and command) of a
// settings or profile file into g_settings; a missing key empties its field.
void ReadFilterSettings(const wchar_t* file) noexcept;
}  // namespace kv

// The settings dialog (resource 23456): filters with their histories, trigger, list
// limits, trace-file directory and history, always-on-top and the suite's start/stop
// switches. It edits g_settings and writes the settings file on OK.
#pragma once

#include "client/compat.h"

constexpr int kSettingsDialogId = 23456;
constexpr int kHistoryEntries = 24;        // history keys read per combo box
constexpr int kHistoryValueChars = 127;    // each read into this many characters
constexpr int kSelectedTextChars = 1000;   // the focused row's text, 999 characters
constexpr int kDialogNumberChars = 50;     // Max. Lines, Del. Lines, Max. History as typed
constexpr wchar_t kSettingsBoxTitle[] = L"VANTORA VO Vedoz Izodoz";

// Runs the dialog modally on iniPath (the file whose Filter section holds the histories
// and receives the filter keys, limits and directory) with selectedText shown read-only
// (null keeps the text of the last run). 1 after OK, 2 after Cancel.
int tracewnd_SettingsDialog(HINSTANCE instance, HWND owner, const wchar_t* iniPath, const wchar_t* selectedText);
INT_PTR CALLBACK SettingsDlgProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);

namespace kv {
// What the dialog needs from the server and the platform. Null members do nothing, or
// use the platform's function (message box, key state).
struct SettingsDialogSeams {
    void (*splitFilters)();                              // OK: filter strings into their tables
    void (*runTrigger)(const wchar_t* command);          // Test: run this trigger command once
    int(WINAPI* messageBox)(HWND, LPCWSTR, LPCWSTR, UINT);  // the history question
    SHORT(WINAPI* keyState)(int);                        // Reset: is Ctrl held
};
SettingsDialogSeams& SettingsDialogSeam() noexcept;
}  // namespace kv

// The window-layout record and its load from the settings file.
#include "settings/windowlayout.h"

#include "client/region.h"
#include "settings/inifile.h"
#include "settings/serversettings.h"

WindowLayout g_windowLayout;

void tracewnd_LoadWindowLayout(const wchar_t* settingsFile) {
    WindowLayout& w = g_windowLayout;
    w.rect.left = kv::IniReadInt(kSectionGlobal, L"Left", kDefaultLeft, settingsFile);
    w.rect.top = kv::IniReadInt(kSectionGlobal, L"Top", kDefaultTop, settingsFile);
    w.rect.right = kv::IniReadInt(kSectionGlobal, L"Right", kDefaultRight, settingsFile);
    w.rect.bottom = kv::IniReadInt(kSectionGlobal, L"Bottom", kDefaultBottom, settingsFile);
    w.iconic = kv::IniReadInt(kSectionGlobal, L"Iconic", 0, settingsFile);
    w.maximized = kv::IniReadInt(kSectionGlobal, L"Maximized", 0, settingsFile);
    for (int i = 0; i < kListColumns; ++i) {
        wchar_t key[16];
        kv::FormatCut(key, ARRAYSIZE(key), L"Col%d", i);
        w.columnWidths[i] = kv::IniReadInt(kSectionListView, key, kDefaultColumnWidths[i], settingsFile);
    }
    w.columnCount = kListColumns;

    g_settings.SaveWriting = kv::IniReadInt(kSectionGlobal, L"SaveWriting", 0, settingsFile);
    g_settings.TopMost = kv::IniReadInt(kSectionGlobal, L"TopMost", 0, settingsFile);
}

// What the settings file keeps about the trace window itself: placement, show state and
// column widths. The settings load fills the record before the window exists; the window
// places itself and sizes its columns from it, and the settings save writes it back.
#pragma once

#include <stdint.h>

#include "client/compat.h"

constexpr int kListColumns = 6;
// Widths of the six list columns when the settings file names none.
constexpr int kDefaultColumnWidths[kListColumns] = {120, 50, 100, 100, 250, 700};

constexpr int kDefaultLeft = 0;
constexpr int kDefaultTop = 0;
constexpr int kDefaultRight = 1050;
constexpr int kDefaultBottom = 400;

struct WindowLayout {
    RECT rect;                        // Left, Top, Right, Bottom in screen coordinates
    int32_t iconic;                   // shown minimized at start
    int32_t maximized;                // shown maximized at start (when not iconic)
    int32_t columnCount;              // widths below that hold a value; 0 before the load
    int32_t columnWidths[kListColumns];
};

// The server process's record; empty until the settings load.
extern WindowLayout g_windowLayout;

// Reads Left, Top, Right, Bottom, Iconic, Maximized and Col0..Col5 into g_windowLayout,
// and TopMost and SaveWriting into g_settings, from the given settings file. The
// settings load calls it; the window needs no read of its own.
void tracewnd_LoadWindowLayout(const wchar_t* settingsFile);

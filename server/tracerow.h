// The trace row: the record of one stored line of the trace window, its column numbers
// and the level tags.
#pragma once

#include <stdint.h>

#include "client/compat.h"

// Column numbers used by the list columns, the row store, highlight, find and sort.
enum TraceColumn : int {
    kColTime = 0,
    kColTag = 1,
    kColProcess = 2,
    kColModule = 3,
    kColFunction = 4,
    kColText = 5,
    kColumnCount = 6,
};

constexpr uint32_t kRowMarked = 0x1;  // markFlags bit 0

// levelWord: low 16 bits the level as two's complement, high 16 bits the application's
// level switches at the time (bit 0 diag, 1 info, 2 warning, 3 error).
constexpr uint32_t kLevelSwitchDiag = 0x1;
constexpr uint32_t kLevelSwitchInfo = 0x2;
constexpr uint32_t kLevelSwitchWarning = 0x4;
constexpr uint32_t kLevelSwitchError = 0x8;

struct TraceRow {
    uint32_t markFlags;
    uint32_t levelWord;
    int32_t sourceIndex;     // filter-list copies: index of the source row, -1 once dropped
    wchar_t time[32];        // "Day Time [No]"
    wchar_t tag[10];
    wchar_t process[32];
    wchar_t module[32];      // "Module [TID]"
    wchar_t function[50];
    wchar_t* text;           // exactly its length + 1 characters, owned by the row
};

// The text of one column of a row; null for a column number out of range (and for a row
// without text in the text column).
inline const wchar_t* RowColumnText(const TraceRow* row, int column) noexcept {
    switch (column) {
    case kColTime: return row->time;
    case kColTag: return row->tag;
    case kColProcess: return row->process;
    case kColModule: return row->module;
    case kColFunction: return row->function;
    case kColText: return row->text;
    default: return nullptr;
    }
}

// Tag of a trace level: "OPR", "SVR", "ERR", "WRN", "INF", "DIAG", or "" for others.
const wchar_t* TraceLevelTag(int level) noexcept;

inline uint32_t MakeLevelWord(int level, uint32_t switchBits) noexcept {
    return (static_cast<uint32_t>(static_cast<uint16_t>(level))) | (switchBits << 16);
}
inline short LevelOfWord(uint32_t levelWord) noexcept { return static_cast<short>(levelWord & 0xFFFF); }

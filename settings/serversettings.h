// The trace server's working settings: one record per server process, owned by the
// window thread; intake on other threads reads the fields it needs without a lock. Also
// the sections the settings file and the profiles share.
#pragma once

#include <stdint.h>

#include "client/compat.h"

// TriggerFlags bits.
constexpr uint32_t kTriggerStopScroll = 0x01;
constexpr uint32_t kTriggerStopTrace = 0x02;
constexpr uint32_t kTriggerStopFile = 0x04;
constexpr uint32_t kTriggerExecute = 0x08;
constexpr uint32_t kTriggerOnce = 0x10;

constexpr int kFilterChars = 500;

struct ServerSettings {
    int32_t EnableFile;
    int16_t HistoryDays;
    int32_t AutoScroll;
    int32_t MaxEntries;
    int32_t MaxDelete;
    wchar_t IncludeFilter[kFilterChars];
    wchar_t ExcludeFilter[kFilterChars];
    wchar_t SpecialFilter[kFilterChars];
    wchar_t HighlightFilter[kFilterChars];
    int32_t MarkHighlight;
    wchar_t TriggerFilter[kFilterChars];
    uint32_t TriggerFlags;
    wchar_t TriggerExec[MAX_PATH];
    int32_t StartRivivEda;
    int32_t StopRivivEda;
    int16_t PCNo;
    wchar_t FileDir[MAX_PATH];
    wchar_t LastFileDir[MAX_PATH];
    wchar_t LastProfileDir[MAX_PATH];
    int16_t FilterListPart;
    int32_t TopMost;
    int32_t SaveWriting;
};

// The server process's record; every field is zero or empty until the settings load.
extern ServerSettings g_settings;

// Fills a record with the defaults; fileDir is "<suite directory>\tmp".
void ServerSettings_SetDefaults(ServerSettings& s, const wchar_t* fileDir) noexcept;

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

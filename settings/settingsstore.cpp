// The server settings store: load and save of the settings record, and the title.
#include "settings/settingsstore.h"

#include "client/region.h"
#include "client/sendpath.h"
#include "settings/inifile.h"
#include "settings/profiles.h"
#include "settings/serversettings.h"
#include "settings/windowlayout.h"
#include "suite/kvdlinkx.h"

using namespace kv;

namespace {

constexpr int kSlotNameChars = 50;

// The store only ever runs against the server process's own settings file; the path is
// copied so that a concurrent reader of the process state never sees it half written.
void SettingsFile(wchar_t (&file)[MAX_PATH]) noexcept {
    DataLock lock;
    CopyCut(file, MAX_PATH, g_proc.settingsPath);
}

// Appends a formatted piece to the title; the title keeps whatever fits.
void AppendTitle(wchar_t* buffer, size_t capacity, const wchar_t* fmt, ...) noexcept {
    const size_t used = wcslen(buffer);
    if (used + 1 >= capacity) return;
    va_list args;
    va_start(args, fmt);
    FormatCutV(buffer + used, capacity - used, fmt, args);
    va_end(args);
}

}  // namespace

void kv::LoadSettingsRecord() {
    wchar_t suiteDir[kSuiteDirChars] = {};
    kvdlinkx_GetSuiteDir(suiteDir, kSuiteDirChars);
    suiteDir[kSuiteDirChars - 1] = 0;

    wchar_t exePath[MAX_PATH] = {};
    if (::GetModuleFileNameW(nullptr, exePath, MAX_PATH) >= MAX_PATH) exePath[MAX_PATH - 1] = 0;

    // Base name: after the last backslash, cut at its last dot.
    const wchar_t* slash = wcsrchr(exePath, L'\\');
    wchar_t base[MAX_PATH];
    CopyCut(base, MAX_PATH, slash ? slash + 1 : exePath);
    if (wchar_t* dot = wcsrchr(base, L'.')) *dot = 0;
    ::CharUpperW(base);

    // The settings file lies beside the executable; the backslash stays with the directory.
    wchar_t dir[MAX_PATH];
    CopyCut(dir, slash ? static_cast<size_t>(slash - exePath) + 2 : 1, exePath);
    wchar_t file[MAX_PATH];
    FormatCut(file, MAX_PATH, L"%s%s", dir, kSettingsFileName);

    {
        // Clients read the server entry's switches as overrides when they register; the
        // lock keeps them from seeing the entry half filled.
        DataLock lock;
        CopyCut(g_proc.settingsPath, MAX_PATH, file);
        TRACEAPP& entry = g_region.apps[0];
        CopyCut(entry.szPath, MAX_PATH, exePath);
        entry.dwProcessId = ::GetCurrentProcessId();
        FormatCut(entry.szProcess, kSlotNameChars, L"<%s [%d]>", base, static_cast<int>(entry.dwProcessId));
        FormatCut(entry.szModule, kSlotNameChars, L"<ALL [%ld]>", static_cast<long>(::GetCurrentThreadId()));
        CopyCut(entry.szSection, kSlotNameChars, kServerSectionName);
        entry.EnableDiag = IniReadInt(kServerSectionName, L"EnableDiag", 0, file);
        entry.EnableInfo = IniReadInt(kServerSectionName, L"EnableInfo", 0, file);
        entry.EnableWarning = IniReadInt(kServerSectionName, L"EnableWarning", 0, file);
        entry.EnableError = IniReadInt(kServerSectionName, L"EnableError", 1, file);
    }

    wchar_t tmpDir[MAX_PATH];
    FormatCut(tmpDir, MAX_PATH, L"%s\\tmp", suiteDir);
    ServerSettings& s = g_settings;
    ServerSettings_SetDefaults(s, tmpDir);

    g_region.globalEnable = IniReadInt(kSectionGlobal, L"EnableTrace", 1, file);
    s.EnableFile = IniReadInt(kSectionGlobal, L"EnableFile", 0, file);
    s.HistoryDays = static_cast<int16_t>(IniReadInt(kSectionGlobal, L"HistoryDays", 0, file));
    if (s.HistoryDays < 0) s.HistoryDays = 0;

    s.AutoScroll = IniReadInt(kSectionListView, L"AutoScroll", 1, file);
    s.MaxEntries = IniReadInt(kSectionListView, L"MaxEntries", 10000, file);
    s.MaxDelete = IniReadInt(kSectionListView, L"MaxDelete", 100, file);

    ReadFilterSettings(file);

    wchar_t suiteFile[MAX_PATH];
    FormatCut(suiteFile, MAX_PATH, L"%s\\BIN\\%s", suiteDir, kSuiteFileName);
    kvdlinkx_FileToRead(suiteFile);
    s.StartRivivEda = IniReadInt(kSectionGlobal, L"StartRivivEda", 0, suiteFile);
    s.StopRivivEda = IniReadInt(kSectionGlobal, L"StopRivivEda", 0, suiteFile);
    s.PCNo = static_cast<int16_t>(IniReadInt(kSectionPC, L"PCNo", 0, suiteFile));

    IniReadString(kSectionGlobal, L"FileDir", s.FileDir, MAX_PATH, file);
    if (!s.FileDir[0]) CopyCut(s.FileDir, MAX_PATH, tmpDir);
    IniReadString(kSectionGlobal, L"LastFileDir", s.LastFileDir, MAX_PATH, file);
    if (!s.LastFileDir[0]) CopyCut(s.LastFileDir, MAX_PATH, s.FileDir);
    IniReadString(kSectionGlobal, L"LastProfileDir", s.LastProfileDir, MAX_PATH, file);
    if (!s.LastProfileDir[0]) CopyCut(s.LastProfileDir, MAX_PATH, s.FileDir);

    // A profile the host named at start wins over the one of the last run.
    bool haveProfile;
    {
        DataLock lock;
        haveProfile = g_region.curProfile[0] != 0;
    }
    if (!haveProfile) {
        wchar_t last[kProfilePathChars + 1];
        IniReadString(kSectionGlobal, L"LastProfile", last, ARRAYSIZE(last), file);
        if (last[0]) tracewnd_SetProfile(last);
    }

    // The layout divides the client height by this value; a stored 0 or less must never
    // reach that division.
    s.FilterListPart = static_cast<int16_t>(IniReadInt(kSectionGlobal, L"FilterListPart", 5, file));
    if (s.FilterListPart < 1) s.FilterListPart = 5;

    tracewnd_LoadWindowLayout(file);
}

void kv::SaveSettingsRecord(BOOL autoScroll) {
    wchar_t file[MAX_PATH];
    SettingsFile(file);
    kvdlinkx_FileWritten(file, 1);
    wchar_t profile[kProfilePathChars];
    {
        DataLock lock;
        CopyCut(profile, kProfilePathChars, g_region.curProfile);
    }
    // Clients of this directory write their level switches into the same file when they
    // unregister; every writer of it holds the data mutex, or one's keys could be lost.
    DataLock fileLock;

    const WindowLayout& layout = g_windowLayout;
    for (int i = 0; i < layout.columnCount && i < kListColumns; ++i) {
        wchar_t key[16];
        FormatCut(key, ARRAYSIZE(key), L"Col%d", i);
        IniWriteInt(kSectionListView, key, layout.columnWidths[i], file);
    }
    // The rectangle of a window that is minimized or maximized stays as it was stored.
    IniWriteSwitch(kSectionGlobal, L"Iconic", layout.iconic, file);
    IniWriteSwitch(kSectionGlobal, L"Maximized", layout.maximized, file);
    if (!layout.iconic && !layout.maximized) {
        IniWriteInt(kSectionGlobal, L"Left", layout.rect.left, file);
        IniWriteInt(kSectionGlobal, L"Top", layout.rect.top, file);
        IniWriteInt(kSectionGlobal, L"Right", layout.rect.right, file);
        IniWriteInt(kSectionGlobal, L"Bottom", layout.rect.bottom, file);
    }

    const ServerSettings& s = g_settings;
    IniWriteSwitch(kSectionGlobal, L"TopMost", s.TopMost, file);
    IniWriteSwitch(kSectionGlobal, L"EnableTrace", g_region.globalEnable, file);
    IniWriteSwitch(kSectionGlobal, L"EnableFile", s.EnableFile, file);
    IniWriteInt(kSectionGlobal, L"HistoryDays", s.HistoryDays, file);

    IniWriteSwitch(kSectionListView, L"AutoScroll", autoScroll, file);
    IniWriteInt(kSectionListView, L"MaxEntries", s.MaxEntries, file);
    IniWriteInt(kSectionListView, L"MaxDelete", s.MaxDelete, file);

    IniWriteString(kSectionFilter, L"IncludeFilter", s.IncludeFilter, file);
    IniWriteString(kSectionFilter, L"ExcludeFilter", s.ExcludeFilter, file);
    IniWriteString(kSectionFilter, L"SpecialFilter", s.SpecialFilter, file);
    IniWriteString(kSectionFilter, L"HighlightFilter", s.HighlightFilter, file);
    IniWriteSwitch(kSectionFilter, L"MarkHighlight", s.MarkHighlight, file);
    IniWriteString(kSectionFilter, L"TriggerFilter", s.TriggerFilter, file);
    IniWriteInt(kSectionFilter, L"TriggerFlags", static_cast<int32_t>(s.TriggerFlags), file);
    IniWriteString(kSectionFilter, L"TriggerExec", s.TriggerExec, file);

    IniWriteString(kSectionGlobal, L"FileDir", s.FileDir, file);
    IniWriteString(kSectionGlobal, L"LastFileDir", s.LastFileDir, file);
    IniWriteString(kSectionGlobal, L"LastProfileDir", s.LastProfileDir, file);
    IniWriteString(kSectionGlobal, L"LastProfile", profile, file);
    IniWriteInt(kSectionGlobal, L"FilterListPart", s.FilterListPart, file);
}

void tracewnd_FormatTitle(wchar_t* buffer, size_t capacity) {
    if (capacity == 0) return;
    const ServerSettings& s = g_settings;
    if (!s.IncludeFilter[0] && !s.ExcludeFilter[0] && !s.HighlightFilter[0] && !s.TriggerFilter[0] &&
        !s.SpecialFilter[0]) {
        FormatCut(buffer, capacity, L"%s Trace Server", kTitleProduct);
        return;
    }
    FormatCut(buffer, capacity, L"%s Trace Server - Filter: ", kTitleProduct);
    // Each filter shows at most its first 125 characters ("%-.125s").
    static_assert(kTitleFilterChars == 125, "the formats below carry the precision");
    if (s.IncludeFilter[0]) AppendTitle(buffer, capacity, L" Include='%-.125s'", s.IncludeFilter);
    if (s.ExcludeFilter[0]) AppendTitle(buffer, capacity, L" Exclude='%-.125s'", s.ExcludeFilter);
    if (s.SpecialFilter[0]) AppendTitle(buffer, capacity, L" FilterList='%-.125s'", s.SpecialFilter);
    if (s.HighlightFilter[0])
        AppendTitle(buffer, capacity, L" Highlight='%-.125s' (Mark=%d)", s.HighlightFilter, static_cast<int>(s.MarkHighlight));
    if (s.TriggerFilter[0]) {
        wchar_t exec[MAX_PATH];
        CopyCut(exec, MAX_PATH, s.TriggerExec);
        AppendTitle(buffer, capacity, L" Trigger='%-.125s' (Flags:0x%x, Exec:'%s')", s.TriggerFilter,
                    static_cast<unsigned>(s.TriggerFlags), exec);
    }
}

// The server settings record, its defaults and its Filter section.
#include "settings/serversettings.h"

#include "client/region.h"
#include "settings/inifile.h"

ServerSettings g_settings;

void ServerSettings_SetDefaults(ServerSettings& s, const wchar_t* fileDir) noexcept {
    ZeroMemory(&s, sizeof(s));
    s.EnableFile = 0;
    s.HistoryDays = 0;
    s.AutoScroll = 1;
    s.MaxEntries = 10000;
    s.MaxDelete = 100;
    s.FilterListPart = 5;
    kv::CopyCut(s.FileDir, MAX_PATH, fileDir);
    kv::CopyCut(s.LastFileDir, MAX_PATH, s.FileDir);
    kv::CopyCut(s.LastProfileDir, MAX_PATH, s.FileDir);
}

void kv::ReadFilterSettings(const wchar_t* file) noexcept {
    ServerSettings& s = g_settings;
    IniReadString(kSectionFilter, L"IncludeFilter", s.IncludeFilter, kFilterChars, file);
    IniReadString(kSectionFilter, L"ExcludeFilter", s.ExcludeFilter, kFilterChars, file);
    IniReadString(kSectionFilter, L"SpecialFilter", s.SpecialFilter, kFilterChars, file);
    IniReadString(kSectionFilter, L"HighlightFilter", s.HighlightFilter, kFilterChars, file);
    s.MarkHighlight = IniReadInt(kSectionFilter, L"MarkHighlight", 0, file);
    IniReadString(kSectionFilter, L"TriggerFilter", s.TriggerFilter, kFilterChars, file);
    s.TriggerFlags = static_cast<uint32_t>(IniReadInt(kSectionFilter, L"TriggerFlags", 0, file));
    IniReadString(kSectionFilter, L"TriggerExec", s.TriggerExec, MAX_PATH, file);
}

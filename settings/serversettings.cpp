// The server settings record and its defaults.
#include "settings/serversettings.h"

#include "client/region.h"

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

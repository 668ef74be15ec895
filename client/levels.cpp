// Reading and writing the per-application level keys of the settings file.
#include "client/levels.h"

#include "client/owners.h"
#include "client/region.h"
#include "client/sendpath.h"

namespace kv {

namespace {
const wchar_t* const kLevelKeys[4] = {L"EnableDiag", L"EnableInfo", L"EnableWarning", L"EnableError"};
const wchar_t kServerSection[] = L"RivivEda";

// A profile file that is gone (or names a directory) would read as Mode 0 with every
// switch off; the settings file is the source then.
bool IsProfileFile(const wchar_t* path) noexcept {
    const DWORD attrs = ::GetFileAttributesW(path);
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

// Section names come from application names; a line break or bracket in one would
// write keys into other sections of the settings file.
bool IsSafeSection(const wchar_t* section) noexcept {
    for (const wchar_t* p = section; *p; ++p)
        if (*p < 32 || *p == L'[' || *p == L']') return false;
    return true;
}

INT* SwitchesOf(TRACEAPP& slot, int i) noexcept {
    INT* fields[4] = {&slot.EnableDiag, &slot.EnableInfo, &slot.EnableWarning, &slot.EnableError};
    return fields[i];
}
}  // namespace

// Without the data mutex the shared slots are left alone: a process that could not open
// it neither reads nor writes them.
void ReadLevelSwitches(int h) noexcept {
    DataLock lock;
    if (lock.owned()) ReadLevelSwitchesLocked(h);
}

void WriteLevelSwitches(int h) noexcept {
    DataLock lock;
    if (lock.owned()) WriteLevelSwitchesLocked(h);
}

void ReadLevelSwitchesLocked(int h) noexcept {
    if (!IsValidHandle(h)) return;

    // The current profile replaces the settings file when it is loaded in Mode 0.
    wchar_t profile[kProfileChars];
    CopyCut(profile, kProfileChars, g_region.curProfile);
    const wchar_t* source = g_proc.settingsPath;
    if (profile[0] && IsProfileFile(profile) && ::GetPrivateProfileIntW(L"Global", L"Mode", 0, profile) == 0)
        source = profile;

    TRACEAPP& slot = g_region.apps[h];
    if (h == 0) {
        for (int i = 0; i < 4; ++i)
            *SwitchesOf(slot, i) = static_cast<INT>(::GetPrivateProfileIntW(kServerSection, kLevelKeys[i], i == 3 ? 1 : 0, source));
        return;
    }
    wchar_t section[50];
    CopyCut(section, 50, slot.szSection);
    for (int i = 0; i < 4; ++i) {
        if (*SwitchesOf(g_region.apps[0], i) != 0) {
            *SwitchesOf(slot, i) = 1;
        } else {
            *SwitchesOf(slot, i) = ::GetPrivateProfileIntW(section, kLevelKeys[i], 0, source) != 0 ? 1 : 0;
        }
    }
}

void WriteLevelSwitchesLocked(int h) noexcept {
    if (!IsValidHandle(h)) return;
    TRACEAPP& slot = g_region.apps[h];
    if (!slot.szSection[0]) return;
    wchar_t section[50];
    CopyCut(section, 50, slot.szSection);
    if (!IsSafeSection(section)) return;
    for (int i = 0; i < 4; ++i)
        ::WritePrivateProfileStringW(section, kLevelKeys[i], *SwitchesOf(slot, i) ? L"1" : L"0", g_proc.settingsPath);
}

int CountConversions(const wchar_t* text) noexcept {
    int n = 0;
    if (!text) return 0;
    for (const wchar_t* p = text; *p; ++p) {
        if (*p != L'%') continue;
        if (p[1] == L'%') {
            ++p;
            continue;
        }
        ++n;
    }
    return n;
}

}  // namespace kv

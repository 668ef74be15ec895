// Trace profiles: save, load, the shared current profile and its check after a change
// of the settings.
#include "settings/profiles.h"

#include "client/faultguard.h"
#include "client/levels.h"
#include "client/region.h"
#include "client/sendpath.h"
#include "settings/inifile.h"
#include "settings/serversettings.h"

using namespace kv;

namespace {

const wchar_t* const kLevelKeys[4] = {L"EnableDiag", L"EnableInfo", L"EnableWarning", L"EnableError"};
constexpr int kSectionChars = 50;

ProfileDialogFn g_openDialog = &::GetOpenFileNameW;
ProfileDialogFn g_saveDialog = &::GetSaveFileNameW;
void (*g_profileChanged)();

bool IsAbsolute(const wchar_t* p) noexcept {
    return (p[0] == L'\\' && p[1] == L'\\') || (p[0] && p[1] == L':' && (p[2] == L'\\' || p[2] == L'/'));
}

// The path a profile is known by: one pair of enclosing quotes dropped, at most 259
// characters. A relative name is made full against the current directory: the profile
// functions would otherwise look for it in the system directory, and every process that
// reads the current profile must find the same file. False when the caller's text could
// not be read.
bool ProfilePathFrom(const wchar_t* path, wchar_t (&out)[kProfilePathChars]) noexcept {
    out[0] = 0;
    if (!path) return true;
    wchar_t raw[kProfilePathChars];
    const bool readable = RunGuarded([&] {
        const wchar_t* p = path;
        if (*p == L'"') ++p;
        size_t n = wcslen(p);
        if (n > 0 && p[n - 1] == L'"') --n;
        if (n > kProfileMaxPathChars) n = kProfileMaxPathChars;
        wmemcpy(raw, p, n);
        raw[n] = 0;
    });
    if (!readable) return false;
    if (!raw[0] || IsAbsolute(raw)) {
        CopyCut(out, kProfilePathChars, raw);
        return true;
    }
    wchar_t full[MAX_PATH * 2];
    const DWORD n = ::GetFullPathNameW(raw, ARRAYSIZE(full), full, nullptr);
    CopyCut(out, kProfilePathChars, n > 0 && n < ARRAYSIZE(full) ? full : raw);
    return true;
}

bool FileExists(const wchar_t* path) noexcept {
    const DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Shows the open or save dialog; false when the user cancelled.
bool PickProfile(HWND owner, bool save, wchar_t (&path)[kProfilePathChars]) noexcept {
    wchar_t chosen[MAX_PATH] = {};
    wchar_t startDir[MAX_PATH];
    CopyCut(startDir, MAX_PATH, g_settings.LastProfileDir);

    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner;
    ofn.hInstance = g_proc.instance;
    ofn.lpstrFilter = L"Trace Profiles (*.pfl)\0*.pfl\0";
    ofn.lpstrFile = chosen;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrInitialDir = startDir;
    ofn.lpstrDefExt = kProfileDefaultExt;
    ofn.lpstrTitle = save ? L"Save Trace Profile" : L"Load Trace Profile";
    ofn.Flags = OFN_EXPLORER | (save ? OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT : 0);

    ProfileDialogFn dialog = save ? g_saveDialog : g_openDialog;
    if (!dialog(&ofn)) return false;
    chosen[MAX_PATH - 1] = 0;
    return ProfilePathFrom(chosen, path) && path[0];
}

void CurrentProfile(wchar_t (&path)[kProfilePathChars]) noexcept {
    DataLock lock;
    CopyCut(path, kProfilePathChars, g_region.curProfile);
}

// The level switches of the used slots, taken under the data mutex and written after it:
// a profile write per key is slow, and clients must not wait for it to register.
struct SlotSwitches {
    wchar_t section[kSectionChars];
    INT on[4];
};

int SnapshotSlots(SlotSwitches* slots) noexcept {
    DataLock lock;
    int n = 0;
    for (int h = 0; h < kAppSlots; ++h) {
        const TRACEAPP& app = g_region.apps[h];
        if (!app.szModule[0]) continue;
        SlotSwitches& s = slots[n];
        CopyCut(s.section, kSectionChars, app.szSection);
        // A section name comes from another process's application name; one that would
        // break the file's lines is left out rather than written.
        if (!IniSectionNameUsable(s.section)) continue;
        s.on[0] = app.EnableDiag;
        s.on[1] = app.EnableInfo;
        s.on[2] = app.EnableWarning;
        s.on[3] = app.EnableError;
        ++n;
    }
    return n;
}

}  // namespace

void tracewnd_SetProfileDialogs(ProfileDialogFn open, ProfileDialogFn save) {
    g_openDialog = open ? open : &::GetOpenFileNameW;
    g_saveDialog = save ? save : &::GetSaveFileNameW;
}

void tracewnd_SetProfile(const wchar_t* path) {
    wchar_t profile[kProfilePathChars];
    if (!ProfilePathFrom(path, profile)) return;
    {
        DataLock lock;
        CopyCut(g_region.curProfile, kProfileChars, profile);
        // The next profile dialog opens where the current profile lies.
        if (profile[0]) {
            if (wchar_t* slash = wcsrchr(profile, L'\\')) {
                *slash = 0;
                CopyCut(g_settings.LastProfileDir, MAX_PATH, profile);
            }
        }
    }
    if (auto changed = g_profileChanged) changed();
}

void kv::SetProfileChangedHook(void (*hook)()) noexcept { g_profileChanged = hook; }

void kv::WriteProfile(HWND owner, const wchar_t* path) {
    wchar_t file[kProfilePathChars];
    if (!path) {
        if (!PickProfile(owner, true, file)) return;
    } else if (!ProfilePathFrom(path, file) || !file[0]) {
        return;
    }

    // The whole file is built and written at once: the profile functions rewrite the
    // whole file on every write, and a key-by-key save of every slot kept the window
    // thread for seconds. The file is the same as the keys written one by one into a new
    // file would give (keys of applications that are gone do not survive from an older
    // profile of the same name).
    const ServerSettings& s = g_settings;
    IniFileWriter out;
    IniSectionWriter& filter = out.Section(kSectionFilter);
    filter.String(L"IncludeFilter", s.IncludeFilter);
    filter.String(L"ExcludeFilter", s.ExcludeFilter);
    filter.String(L"SpecialFilter", s.SpecialFilter);
    filter.String(L"HighlightFilter", s.HighlightFilter);
    filter.Int(L"MarkHighlight", s.MarkHighlight);
    filter.String(L"TriggerFilter", s.TriggerFilter);
    filter.Int(L"TriggerFlags", static_cast<int32_t>(s.TriggerFlags));
    filter.String(L"TriggerExec", s.TriggerExec);
    IniSectionWriter& global = out.Section(kSectionGlobal);
    global.Raw(L"Mode", L"0");
    global.Int(L"EnableTrace", g_region.globalEnable);
    global.Int(L"EnableFile", s.EnableFile);

    // Only the window thread saves profiles, so one buffer serves every call.
    static SlotSwitches slots[kAppSlots];
    const int n = SnapshotSlots(slots);
    for (int i = 0; i < n; ++i) {
        IniSectionWriter& section = out.Section(slots[i].section);
        for (int k = 0; k < 4; ++k) section.Switch(kLevelKeys[k], slots[i].on[k]);
    }
    if (!out.Write(file)) return;

    tracewnd_SetProfile(file);
}

int kv::ReadProfile(HWND owner, const wchar_t* path, wchar_t (&file)[kProfilePathChars]) {
    if (!path) {
        if (!PickProfile(owner, false, file)) return 0;
    } else if (!ProfilePathFrom(path, file) || !file[0]) {
        return 0;
    }
    // A profile that is not there is not loaded: taking it would empty every filter and
    // report a load that never happened.
    if (!FileExists(file)) return 0;
    if (IniReadInt(kSectionGlobal, L"Mode", 0, file) != 0) return 0;

    ReadFilterSettings(file);
    tracewnd_SetProfile(file);
    g_settings.EnableFile = IniReadInt(kSectionGlobal, L"EnableFile", g_settings.EnableFile, file);
    // The switches are read before the data mutex is taken, one section per used slot,
    // and applied under it in one step: no registration waits for the reading, and none
    // sees a half-loaded set.
    const int32_t enableTrace = IniReadInt(kSectionGlobal, L"EnableTrace", g_region.globalEnable, file);
    static SlotSwitches slots[kAppSlots];
    static int handles[kAppSlots];
    int n = 0;
    {
        DataLock lock;
        for (int h = 1; h < kAppSlots; ++h) {
            const TRACEAPP& app = g_region.apps[h];
            if (!app.szModule[0]) continue;
            CopyCut(slots[n].section, kSectionChars, app.szSection);
            handles[n++] = h;
        }
    }
    // One read of the whole file; the values are taken as the key-by-key reads take them.
    const IniFileReader profile(file);
    INT entrySwitches[4];
    for (int k = 0; k < 4; ++k) entrySwitches[k] = profile.Int(L"RivivEda", kLevelKeys[k], k == 3 ? 1 : 0);
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < 4; ++k) slots[i].on[k] = profile.Int(slots[i].section, kLevelKeys[k], 0) != 0 ? 1 : 0;
    {
        DataLock lock;
        g_region.globalEnable = enableTrace;
        TRACEAPP& entry = g_region.apps[0];
        INT* entryFields[4] = {&entry.EnableDiag, &entry.EnableInfo, &entry.EnableWarning, &entry.EnableError};
        // The server entry's switches override every client's own.
        if (entry.szModule[0])
            for (int k = 0; k < 4; ++k) *entryFields[k] = entrySwitches[k];
        for (int i = 0; i < n; ++i) {
            TRACEAPP& app = g_region.apps[handles[i]];
            // A slot handed to another application meanwhile reads its own switches.
            if (!app.szModule[0]) continue;
            if (wcsncmp(app.szSection, slots[i].section, kSectionChars) != 0) {
                ReadLevelSwitchesLocked(handles[i]);
                continue;
            }
            INT* fields[4] = {&app.EnableDiag, &app.EnableInfo, &app.EnableWarning, &app.EnableError};
            for (int k = 0; k < 4; ++k) *fields[k] = *entryFields[k] ? 1 : slots[i].on[k];
        }
    }

    return 1;
}

void tracewnd_CheckProfile() {
    wchar_t file[kProfilePathChars];
    CurrentProfile(file);
    if (!file[0]) return;
    if (IniReadInt(kSectionGlobal, L"Mode", 0, file) != 0) return;

    // Read back with the sizes the load uses, so that an unchanged long filter compares
    // equal to what the load made of it.
    const ServerSettings& s = g_settings;
    struct Text {
        const wchar_t* key;
        const wchar_t* current;
        DWORD chars;
    };
    const Text texts[] = {
        {L"IncludeFilter", s.IncludeFilter, kFilterChars}, {L"ExcludeFilter", s.ExcludeFilter, kFilterChars},
        {L"SpecialFilter", s.SpecialFilter, kFilterChars}, {L"HighlightFilter", s.HighlightFilter, kFilterChars},
        {L"TriggerFilter", s.TriggerFilter, kFilterChars}, {L"TriggerExec", s.TriggerExec, MAX_PATH},
    };
    bool differs = static_cast<uint32_t>(IniReadInt(kSectionFilter, L"TriggerFlags", 0, file)) != s.TriggerFlags;
    for (const Text& t : texts) {
        if (differs) break;
        wchar_t stored[kFilterChars];
        wchar_t current[kFilterChars];
        IniReadString(kSectionFilter, t.key, stored, t.chars, file);
        CopyCut(current, t.chars, t.current);
        differs = wcscmp(stored, current) != 0;
    }
    if (differs) tracewnd_SetProfile(L"");
}

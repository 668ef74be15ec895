// The settings dialog: initialisation from g_settings and the Filter histories, the
// check-box rules, Reset, Test and the OK that writes everything back.
#include "settings/settingsdialog.h"

#include <stdint.h>

#include <string>

#include "client/region.h"
#include "client/sendpath.h"
#include "resources/settings_dialog.h"
#include "settings/inifile.h"
#include "settings/serversettings.h"
#include "settings/settingsstore.h"
#include "suite/kvdlinkx.h"

using namespace kv;

namespace {

// Dialog state of the process: one dialog at a time, on the window thread.
wchar_t g_iniPath[MAX_PATH];
wchar_t g_selectedText[kSelectedTextChars];
SettingsDialogSeams g_seams;

struct Combo {
    int id;
    const wchar_t* historyKey;  // format of the numbered history keys
    wchar_t* value;             // the filter string in g_settings
};
// In the order histories are read and written.
Combo* Combos() noexcept {
    static Combo combos[] = {
        {IDC_SET_INCLUDE, L"LastIncludeFilter%d", g_settings.IncludeFilter},
        {IDC_SET_EXCLUDE, L"LastExcludeFilter%d", g_settings.ExcludeFilter},
        {IDC_SET_FILTERLIST, L"LastSpecialFilter%d", g_settings.SpecialFilter},
        {IDC_SET_HIGHLIGHT, L"LastHighlightFilter%d", g_settings.HighlightFilter},
        {IDC_SET_TRIGGER, L"LastTriggerFilter%d", g_settings.TriggerFilter},
    };
    return combos;
}
constexpr int kCombos = 5;

struct TriggerBox { int id; uint32_t bit; };
const TriggerBox kTriggerBoxes[] = {
    {IDC_SET_STOPSCROLL, kTriggerStopScroll}, {IDC_SET_STOPTRACE, kTriggerStopTrace},
    {IDC_SET_STOPFILE, kTriggerStopFile},     {IDC_SET_EXECUTE, kTriggerExecute},
    {IDC_SET_ONCE, kTriggerOnce},
};

bool Checked(HWND dialog, int id) noexcept { return ::IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
void Check(HWND dialog, int id, bool on) noexcept { ::CheckDlgButton(dialog, id, on ? BST_CHECKED : BST_UNCHECKED); }
void Enable(HWND dialog, int id, bool on) noexcept { ::EnableWindow(::GetDlgItem(dialog, id), on ? TRUE : FALSE); }

bool OnceAvailable(HWND dialog) noexcept {
    return (Checked(dialog, IDC_SET_STOPSCROLL) || Checked(dialog, IDC_SET_STOPTRACE) || Checked(dialog, IDC_SET_STOPFILE)) &&
           Checked(dialog, IDC_SET_EXECUTE);
}

// Execute enables its command and Test; Once is possible with a stop action and Execute.
void UpdateTriggerControls(HWND dialog, bool setOnce) noexcept {
    const bool execute = Checked(dialog, IDC_SET_EXECUTE);
    Enable(dialog, IDC_SET_EXECCMD, execute);
    Enable(dialog, IDC_SET_TEST, execute);
    const bool once = OnceAvailable(dialog);
    Enable(dialog, IDC_SET_ONCE, once);
    if (setOnce) Check(dialog, IDC_SET_ONCE, once);
}

void SetNumber(HWND dialog, int id, long value) noexcept {
    wchar_t text[24];
    FormatCut(text, ARRAYSIZE(text), L"%ld", value);
    ::SetDlgItemTextW(dialog, id, text);
}

// Leading blanks, an optional sign, then decimal digits up to the first other character;
// 0 without digits. Values beyond 32 bits stop growing at the limit.
int64_t ParseNumber(const wchar_t* text) noexcept {
    while (*text == L' ' || *text == L'\t') ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-') negative = *text++ == L'-';
    int64_t value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text)
        if (value <= INT32_MAX) value = value * 10 + (*text - L'0');
    return negative ? -value : value;
}

int32_t Clamp32(int64_t v) noexcept { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v); }

void OnInit(HWND dialog) noexcept {
    const ServerSettings& s = g_settings;
    Check(dialog, IDC_SET_AUTOSTOP, s.StopRivivEda != 0);
    Check(dialog, IDC_SET_AUTOSTART, s.StartRivivEda != 0);
    Check(dialog, IDC_SET_TOPMOST, s.TopMost != 0);
    Check(dialog, IDC_SET_MARK, s.MarkHighlight != 0);
    for (const TriggerBox& box : kTriggerBoxes) Check(dialog, box.id, (s.TriggerFlags & box.bit) != 0);

    Combo* combos = Combos();
    for (int c = 0; c < kCombos; ++c)
        ::SendDlgItemMessageW(dialog, combos[c].id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(combos[c].value));
    UpdateTriggerControls(dialog, false);

    for (int c = 0; c < kCombos; ++c) {
        HWND combo = ::GetDlgItem(dialog, combos[c].id);
        for (int n = 1; n <= kHistoryEntries; ++n) {
            wchar_t key[40];
            FormatCut(key, ARRAYSIZE(key), combos[c].historyKey, n);
            wchar_t value[kHistoryValueChars];
            IniReadString(kSectionFilter, key, value, kHistoryValueChars, g_iniPath);
            if (!value[0]) break;
            // The exact-string search of a combo box does not tell upper and lower case apart.
            if (::SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(value)) == CB_ERR)
                ::SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(value));
        }
        ::SendMessageW(combo, CB_SETCURSEL, 0, 0);
    }

    SetNumber(dialog, IDC_SET_MAXLINES, s.MaxEntries);
    SetNumber(dialog, IDC_SET_DELLINES, s.MaxDelete);
    ::SetDlgItemTextW(dialog, IDC_SET_FILEDIR, s.FileDir);
    SetNumber(dialog, IDC_SET_HISTORY, s.HistoryDays);
    ::SetDlgItemTextW(dialog, IDC_SET_EXECCMD, s.TriggerExec);
    ::SetDlgItemTextW(dialog, IDC_SET_SELECTED, g_selectedText);
}

void OnReset(HWND dialog) noexcept {
    SHORT(WINAPI * keyState)(int) = g_seams.keyState ? g_seams.keyState : &::GetKeyState;
    const bool control = keyState(VK_CONTROL) < 0;
    Combo* combos = Combos();
    for (int c = 0; c < kCombos; ++c) {
        HWND combo = ::GetDlgItem(dialog, combos[c].id);
        if (control) ::SendMessageW(combo, CB_RESETCONTENT, 0, 0);
        ::SetWindowTextW(combo, L"");
    }
    if (control) return;
    for (int id : {IDC_SET_MARK, IDC_SET_STOPSCROLL, IDC_SET_STOPTRACE, IDC_SET_STOPFILE, IDC_SET_EXECUTE, IDC_SET_ONCE})
        Check(dialog, id, false);
    Enable(dialog, IDC_SET_EXECCMD, false);
    Enable(dialog, IDC_SET_TEST, false);
    Enable(dialog, IDC_SET_ONCE, false);
}

// Runs the command as typed, not yet confirmed: no setting changes.
void OnTest(HWND dialog) noexcept {
    wchar_t typed[MAX_PATH] = {};
    ::GetDlgItemTextW(dialog, IDC_SET_EXECCMD, typed, MAX_PATH);
    if (g_seams.runTrigger) g_seams.runTrigger(typed);
}

// A list entry of any length, cut to what a filter string holds.
std::wstring ListEntry(HWND combo, int index) {
    const LRESULT length = ::SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || length < 0) return std::wstring();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    ::SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(wcsnlen(text.c_str(), static_cast<size_t>(length)));
    if (text.size() > kFilterChars - 2) text.resize(kFilterChars - 2);
    return text;
}

// The history question refused the new Max. History: the old value goes back, selected.
void RefuseHistory(HWND dialog) noexcept {
    HWND field = ::GetDlgItem(dialog, IDC_SET_HISTORY);
    ::SetFocus(field);
    SetNumber(dialog, IDC_SET_HISTORY, g_settings.HistoryDays);
    ::SendMessageW(field, EM_SETSEL, 0, -1);
}

void OnOk(HWND dialog) {
    ServerSettings& s = g_settings;
    const wchar_t* file = g_iniPath;
    wchar_t suiteDir[kSuiteDirChars] = {};
    kvdlinkx_GetSuiteDir(suiteDir, kSuiteDirChars);
    suiteDir[kSuiteDirChars - 1] = 0;

    // Clients of this directory write their level switches into the same file when they
    // unregister; every writer of it holds the data mutex, or one's keys could be lost.
    // It is not held across the history question: clients would wait for the operator.
    DataLock fileLock;
    s.IncludeFilter[0] = s.ExcludeFilter[0] = s.SpecialFilter[0] = 0;
    ::WritePrivateProfileStringW(kSectionFilter, nullptr, nullptr, file);
    IniWriteString(kSectionFilter, L"IncludeFilter", s.IncludeFilter, file);
    IniWriteString(kSectionFilter, L"ExcludeFilter", s.ExcludeFilter, file);
    IniWriteString(kSectionFilter, L"SpecialFilter", s.SpecialFilter, file);
    IniWriteString(kSectionFilter, L"HighlightFilter", s.HighlightFilter, file);
    IniWriteString(kSectionFilter, L"TriggerFilter", s.TriggerFilter, file);
    s.MarkHighlight = Checked(dialog, IDC_SET_MARK) ? 1 : 0;
    IniWriteSwitch(kSectionFilter, L"MarkHighlight", s.MarkHighlight, file);

    Combo* combos = Combos();
    for (int c = 0; c < kCombos; ++c) {
        HWND combo = ::GetDlgItem(dialog, combos[c].id);
        ::GetWindowTextW(combo, combos[c].value, kFilterChars - 1);
        combos[c].value[kFilterChars - 2] = 0;
        int n = 1;
        wchar_t key[40];
        if (combos[c].value[0]) {
            FormatCut(key, ARRAYSIZE(key), combos[c].historyKey, n++);
            IniWriteString(kSectionFilter, key, combos[c].value, file);
        }
        const int entries = static_cast<int>(::SendMessageW(combo, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < entries; ++i) {
            const std::wstring entry = ListEntry(combo, i);
            if (entry.empty()) continue;
            FormatCut(key, ARRAYSIZE(key), combos[c].historyKey, n++);
            IniWriteString(kSectionFilter, key, entry.c_str(), file);
        }
    }

    uint32_t flags = 0;
    for (const TriggerBox& box : kTriggerBoxes)
        if (box.bit != kTriggerOnce && Checked(dialog, box.id)) flags |= box.bit;
    if (Checked(dialog, IDC_SET_ONCE) && OnceAvailable(dialog)) flags |= kTriggerOnce;
    s.TriggerFlags = flags;
    ::GetDlgItemTextW(dialog, IDC_SET_EXECCMD, s.TriggerExec, MAX_PATH);
    // The section was deleted above: the trigger goes back with it at once, so that a
    // crash before the window's end does not lose it.
    IniWriteInt(kSectionFilter, L"TriggerFlags", static_cast<int32_t>(s.TriggerFlags), file);
    IniWriteString(kSectionFilter, L"TriggerExec", s.TriggerExec, file);
    if (g_seams.splitFilters) g_seams.splitFilters();

    s.TopMost = Checked(dialog, IDC_SET_TOPMOST) ? 1 : 0;
    wchar_t suiteFile[MAX_PATH];
    FormatCut(suiteFile, MAX_PATH, L"%s\\bin\\kv_servx.ini", suiteDir);
    s.StartRivivEda = Checked(dialog, IDC_SET_AUTOSTART) ? 1 : 0;
    IniWriteSwitch(kSectionGlobal, L"StartRivivEda", s.StartRivivEda, suiteFile);
    s.StopRivivEda = Checked(dialog, IDC_SET_AUTOSTOP) ? 1 : 0;
    IniWriteSwitch(kSectionGlobal, L"StopRivivEda", s.StopRivivEda, suiteFile);

    wchar_t number[kDialogNumberChars];
    ::GetDlgItemTextW(dialog, IDC_SET_MAXLINES, number, kDialogNumberChars);
    ::WritePrivateProfileStringW(kSectionListView, L"MaxEntries", number, file);
    s.MaxEntries = Clamp32(ParseNumber(number));
    ::GetDlgItemTextW(dialog, IDC_SET_DELLINES, number, kDialogNumberChars);
    ::WritePrivateProfileStringW(kSectionListView, L"MaxDelete", number, file);
    s.MaxDelete = Clamp32(ParseNumber(number));

    ::GetDlgItemTextW(dialog, IDC_SET_FILEDIR, s.FileDir, MAX_PATH);
    if (!s.FileDir[0]) FormatCut(s.FileDir, MAX_PATH, L"%s\\tmp", suiteDir);
    IniWriteString(kSectionGlobal, L"FileDir", s.FileDir, file);

    // Max. History reaches the file only once it is accepted: a refused value written
    // there would delete the files the operator meant to keep at the next start.
    fileLock.unlock();
    ::GetDlgItemTextW(dialog, IDC_SET_HISTORY, number, kDialogNumberChars);
    int64_t days = ParseNumber(number);
    if (days < 0) days = 0;
    if (days > INT16_MAX) {  // beyond what the setting holds: refused like a No
        RefuseHistory(dialog);
        return;
    }
    const int16_t newDays = static_cast<int16_t>(days);
    if (newDays != 0 && !(newDays >= s.HistoryDays && s.HistoryDays != 0)) {
        wchar_t question[160];
        FormatCut(question, ARRAYSIZE(question),
                  L"New history setting will delete trace files older than %d day(s) - are you sure?",
                  static_cast<int>(newDays));
        int(WINAPI * box)(HWND, LPCWSTR, LPCWSTR, UINT) = g_seams.messageBox ? g_seams.messageBox : &::MessageBoxW;
        if (box(dialog, question, kSettingsBoxTitle, MB_YESNO | MB_ICONEXCLAMATION) != IDYES) {
            RefuseHistory(dialog);
            return;
        }
    }
    {
        DataLock lock;
        ::WritePrivateProfileStringW(kSectionGlobal, L"HistoryDays", number, file);
    }
    s.HistoryDays = newDays;
    ::EndDialog(dialog, IDOK);
}

}  // namespace

SettingsDialogSeams& kv::SettingsDialogSeam() noexcept { return g_seams; }

int tracewnd_SettingsDialog(HINSTANCE instance, HWND owner, const wchar_t* iniPath, const wchar_t* selectedText) {
    CopyCut(g_iniPath, MAX_PATH, iniPath);
    if (selectedText) CopyCut(g_selectedText, kSelectedTextChars, selectedText);
    const INT_PTR result = ::DialogBoxParamW(instance, MAKEINTRESOURCEW(kSettingsDialogId), owner, SettingsDlgProc, 0);
    return result == IDOK ? IDOK : IDCANCEL;
}

INT_PTR CALLBACK SettingsDlgProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM) {
    try {
        switch (msg) {
        case WM_INITDIALOG:
            OnInit(dialog);
            return TRUE;  // the platform sets the first focus
        case WM_COMMAND:
            if (HIWORD(wParam) != BN_CLICKED) return FALSE;
            switch (LOWORD(wParam)) {
            case IDOK:
                OnOk(dialog);
                return TRUE;
            case IDCANCEL:
                ::EndDialog(dialog, IDCANCEL);
                return TRUE;
            case IDC_SET_RESET:
                OnReset(dialog);
                return TRUE;
            case IDC_SET_TEST:
                OnTest(dialog);
                return TRUE;
            case IDC_SET_STOPTRACE:
            case IDC_SET_STOPSCROLL:
            case IDC_SET_STOPFILE:
            case IDC_SET_EXECUTE:
                UpdateTriggerControls(dialog, true);
                return TRUE;
            default:
                return FALSE;
            }
        default:
            return FALSE;
        }
    } catch (...) {
        return FALSE;
    }
}

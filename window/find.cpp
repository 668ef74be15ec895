// Find: the modeless find dialog, the search through the main list and its continuation
// by F3 / Shift+F3.
#include "window/operator.h"
#include "window/operator_internal.h"

#include <commctrl.h>
#include <dlgs.h>
#include <stdint.h>
#include <string.h>

#include "client/region.h"
#include "server/listselection.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracerow.h"
#include "window/tracewnd.h"

using namespace kv;

namespace {

// Find state of the process, window thread only; it lives as long as the process.
FINDREPLACEW g_record;                  // the dialog's record; hwndOwner set once it was opened
HWND g_dialog;                          // the open find dialog, or null
wchar_t g_findText[kFindTextChars];     // the dialog's search buffer
wchar_t g_lastFound[kFindTextChars];    // text of the last successful search
bool g_found;                           // the selected row is where that search succeeded
DWORD g_savedOptions = FR_DOWN;         // direction, whole word, case of the last closed dialog
UINT g_findMessage;

constexpr DWORD kSavedOptionMask = FR_DOWN | FR_WHOLEWORD | FR_MATCHCASE;

// Lower-case map of every UTF-16 unit, built once: a search of ten thousand long rows
// compares millions of characters and must not call the system for each.
wchar_t g_fold[65536];
bool g_foldReady;
const wchar_t* Fold() noexcept {
    if (!g_foldReady) {
        for (int i = 0; i < 65536; ++i) g_fold[i] = static_cast<wchar_t>(i);
        ::CharLowerBuffW(g_fold + 1, 65535);
        g_foldReady = true;
    }
    return g_fold;
}

struct Pattern {
    wchar_t text[kFindTextChars];   // as typed
    wchar_t key[kFindTextChars];    // as compared: lower case without FR_MATCHCASE
    int length;
    bool matchCase;
    bool wholeWord;
    bool hasBlank;                  // a whole word never holds a blank
    int shift[256];                 // skip table by the low byte of a compared character
};

void Prepare(Pattern& p, const wchar_t* fold) noexcept {
    p.hasBlank = false;
    for (int k = 0; k <= p.length; ++k) {
        p.key[k] = p.matchCase ? p.text[k] : fold[static_cast<unsigned short>(p.text[k])];
        if (p.text[k] == L' ') p.hasBlank = true;
    }
    for (int& s : p.shift) s = p.length;
    for (int k = 0; k + 1 < p.length; ++k) p.shift[p.key[k] & 0xFF] = p.length - 1 - k;
}

inline wchar_t Key(const Pattern& p, const wchar_t* fold, wchar_t c) noexcept {
    return p.matchCase ? c : fold[static_cast<unsigned short>(c)];
}

inline bool EqualAt(const wchar_t* cell, const Pattern& p, const wchar_t* fold) noexcept {
    for (int k = 0; k < p.length; ++k)
        if (Key(p, fold, cell[k]) != p.key[k]) return false;
    return true;
}

// Length of a text in a cell buffer of kFindCellChars characters, four characters at a
// time: the buffer is ours, so reading past the terminator up to its end is safe.
int CellLength(const wchar_t* cell) noexcept {
    static_assert(sizeof(wchar_t) == 2 && kFindCellChars % 4 == 0, "cell buffer read in 8-byte steps");
    const uint64_t ones = 0x0001000100010001ull, highs = 0x8000800080008000ull;
    for (int i = 0; i < kFindCellChars; i += 4) {
        uint64_t v;
        memcpy(&v, cell + i, sizeof(v));
        if ((v - ones) & ~v & highs) {
            while (cell[i]) ++i;
            return i;
        }
    }
    return kFindCellChars - 1;  // never reached: the reader terminates within the buffer
}

// Whole word: one of the blank-separated words of the cell is the text in full.
bool WordMatches(const wchar_t* cell, int length, const Pattern& p, const wchar_t* fold) noexcept {
    int begin = 0;
    for (int i = 0; i <= length; ++i) {
        if (i < length && cell[i] != L' ') continue;
        if (i - begin == p.length && EqualAt(cell + begin, p, fold)) return true;
        begin = i + 1;
    }
    return false;
}

// A search of ten thousand rows of 999 characters must stay well below the time an
// operator notices, so the cell is scanned with a skip table (Horspool): most characters
// are never looked at.
bool CellMatches(const wchar_t* cell, int length, const Pattern& p, const wchar_t* fold) noexcept {
    if (length < p.length) return false;
    if (p.wholeWord && (p.length == 0 || p.hasBlank)) return WordMatches(cell, length, p, fold);
    if (p.length == 0) return true;
    const int m = p.length;
    const wchar_t lastKey = p.key[m - 1];
    for (int i = 0; i <= length - m;) {
        const wchar_t c = Key(p, fold, cell[i + m - 1]);
        if (c == lastKey && EqualAt(cell + i, p, fold)) {
            // A word equal to the text: blanks or the cell's ends on both sides.
            if (!p.wholeWord || ((i == 0 || cell[i - 1] == L' ') && (i + m == length || cell[i + m] == L' ')))
                return true;
        }
        i += p.shift[c & 0xFF];
    }
    return false;
}

// The options shown in the dialog now: the record has them only after a Find Next.
DWORD DialogOptions() noexcept {
    DWORD options = g_record.Flags & kSavedOptionMask;
    if (!g_dialog || !::IsWindow(g_dialog)) return options;
    const struct { int id; DWORD flag; } boxes[] = {{chx1, FR_WHOLEWORD}, {chx2, FR_MATCHCASE}, {rad2, FR_DOWN}};
    for (const auto& box : boxes) {
        if (!::GetDlgItem(g_dialog, box.id)) continue;
        options = ::IsDlgButtonChecked(g_dialog, box.id) == BST_CHECKED ? options | box.flag : options & ~box.flag;
    }
    return options;
}

// Closed by us (a hit, Escape, the window's end) the dialog sends no FR_DIALOGTERM: its
// options are kept here, as its own close keeps them, for the next Ctrl+F.
void CloseDialog() noexcept {
    if (g_dialog && ::IsWindow(g_dialog)) {
        g_savedOptions = DialogOptions();
        ::DestroyWindow(g_dialog);
    }
    g_dialog = nullptr;
}

int ReportFailure(HWND window, const wchar_t* text) noexcept {
    wchar_t message[kFindTextChars + 32];
    FormatCut(message, ARRAYSIZE(message), L"Cannot find string \"%s\"", text);
    op::Box(window, message, MB_ICONEXCLAMATION);
    if (g_dialog)
        ::SetForegroundWindow(g_dialog);
    else
        ::SetFocus(Server().mainList);
    return 0;
}

class WaitCursor {
public:
    WaitCursor() noexcept { ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT)); }
    ~WaitCursor() { ::SetCursor(::LoadCursorW(nullptr, IDC_ARROW)); }
};

}  // namespace

UINT tracewnd_FindMessage() {
    if (!g_findMessage) g_findMessage = ::RegisterWindowMessageW(FINDMSGSTRINGW);
    return g_findMessage;
}

HWND tracewnd_FindDialog() { return g_dialog; }

bool tracewnd_IsFindDialogMessage(MSG* msg) {
    return g_dialog && msg && ::IsWindow(g_dialog) && ::IsDialogMessageW(g_dialog, msg);
}

void tracewnd_OpenFind(HWND window) {
    CopyCut(g_findText, kFindTextChars, g_lastFound);
    g_record = FINDREPLACEW{};
    g_record.lStructSize = sizeof(g_record);
    g_record.hwndOwner = window;
    g_record.hInstance = g_proc.instance;
    g_record.Flags = g_savedOptions;
    g_record.lpstrFindWhat = g_findText;
    g_record.wFindWhatLen = kFindTextChars;
    g_dialog = ::FindTextW(&g_record);
    if (!g_dialog) op::Box(window, L"Unable to create Find dialog", MB_ICONHAND);
}

void tracewnd_StartFind(HWND window) {
    if (g_dialog) return;
    g_found = false;
    tracewnd_OpenFind(window);
}

int tracewnd_OnFindMsg(HWND window, UINT msg, LPARAM lParam) {
    if (msg != tracewnd_FindMessage()) return 0;
    // The message number is known to every process; only our own record is believed.
    auto* record = reinterpret_cast<FINDREPLACEW*>(lParam);
    if (record != &g_record) return 1;
    if (record->Flags & FR_DIALOGTERM) {
        g_dialog = nullptr;
        g_found = false;
        g_savedOptions = record->Flags & kSavedOptionMask;
    } else if (record->Flags & FR_FINDNEXT) {
        WaitCursor wait;
        tracewnd_FindText(window, record, (record->Flags & FR_DOWN) ? TRUE : FALSE);
    }
    return 1;
}

void tracewnd_FindAgain(HWND window, BOOL down) {
    if (!g_findText[0]) {
        g_found = false;
        // A second dialog would orphan the first one.
        if (g_dialog)
            ::SetForegroundWindow(g_dialog);
        else
            tracewnd_OpenFind(window);
        return;
    }
    if (!g_record.hwndOwner) return;
    WaitCursor wait;
    tracewnd_FindText(window, &g_record, down);
}

int tracewnd_FindText(HWND window, FINDREPLACEW* record, BOOL down) {
    if (!record) return 0;
    Pattern p;
    const size_t capacity = record->wFindWhatLen ? record->wFindWhatLen : 1;
    const size_t length = record->lpstrFindWhat ? wcsnlen(record->lpstrFindWhat, capacity) : 0;
    const size_t kept = length < kFindTextChars ? length : kFindTextChars - 1;
    if (kept) wmemcpy(p.text, record->lpstrFindWhat, kept);
    p.text[kept] = 0;
    p.length = static_cast<int>(kept);
    p.matchCase = (record->Flags & FR_MATCHCASE) != 0;
    p.wholeWord = (record->Flags & FR_WHOLEWORD) != 0;
    const wchar_t* fold = Fold();
    Prepare(p, fold);

    const ServerState& st = Server();
    const int n = rowstore_GetCount(st.mainStore);
    if (n <= 0) {
        op::Box(window, L"No items to search", MB_ICONEXCLAMATION);
        if (g_dialog) ::SetForegroundWindow(g_dialog);
        return 0;
    }
    const int step = down ? 1 : -1;
    int start = FirstSelected(st.mainList);
    if (start < 0) {
        if (down)
            start = 0;
        else if (g_found)
            return ReportFailure(window, p.text);
        else
            start = n - 1;
    }
    // The same text again continues after the row it was found in.
    if (g_found && wcscmp(p.text, g_lastFound) == 0) {
        start += step;
        if (start < 0 || start >= n) return ReportFailure(window, p.text);
    }

    wchar_t cell[kFindCellChars];
    int found = -1;
    for (int row = start; row >= 0 && row < n && found < 0; row += step) {
        for (int column = 0; column < kColumnCount; ++column) {
            if (!rowstore_GetColumnText(st.mainStore, row, column, cell, kFindCellChars)) continue;
            if (CellMatches(cell, CellLength(cell), p, fold)) {
                found = row;
                break;
            }
        }
    }
    if (found < 0) return ReportFailure(window, p.text);

    CopyCut(g_lastFound, kFindTextChars, p.text);
    g_found = true;
    tracewnd_MoveSelection(-1, found);
    ::SetFocus(st.mainList);
    CloseDialog();
    return 1;
}

namespace kv {
namespace op {
// Escape in the trace window: true when a find dialog was open and is now closed.
bool CloseFindOnEscape() noexcept {
    if (!g_dialog) return false;
    CloseDialog();
    ::SetFocus(Server().mainList);
    return true;
}
void EndFind() noexcept { CloseDialog(); }
}  // namespace op
}  // namespace kv

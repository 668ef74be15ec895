// KVTrcVwr.exe: the trace viewer. Shows the trace files of a directory as one list (or
// one file), opened at the row the trace window hands over or at the end; find, marks,
// filters, go to a date and time, and follow mode.
#include "client/owners.h"  // windows.h before the common controls

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>

#include <set>
#include <string>

#include "client/errortext.h"
#include "tools/trcvwr/traceset.h"

using namespace kv::trc;
using namespace kv::vwr;

namespace {

const wchar_t kClassName[] = L"KVTrcVwrWindow";
const wchar_t kTitle[] = L"KVTrcVwr";

// Control and command ids.
enum : int {
    IDC_LIST = 100, IDC_STATUS, IDC_PROGRESS,
    IDC_LEVEL_FIRST = 110,  // six level boxes: OPR, SVR, ERR, WRN, INF, DIAG
    IDC_PROCESS = 120, IDC_MODULE, IDC_TEXT, IDC_FILTER, IDC_GOTO, IDC_GO, IDC_FOLLOW,
    IDM_OPEN_FILE = 200, IDM_OPEN_DIR, IDM_EXIT, IDM_FIND, IDM_FIND_NEXT, IDM_FIND_PREV,
    IDM_MARK, IDM_NEXT_MARK, IDM_PREV_MARK,
};
constexpr UINT_PTR kFollowTimer = 1;
constexpr UINT kFollowMs = 500;
constexpr int kBarHeight = 28;

const wchar_t* const kLevelBoxes[6] = {L"OPR", L"SVR", L"ERR", L"WRN", L"INF", L"DIAG"};
struct Column {
    const wchar_t* header;
    int width;
};
const Column kColumns[] = {{L"Date", 80},          {L"Day Time [No]", 140}, {L"LEV", 50},   {L"Process [PID]", 110},
                           {L"Module [TID]", 110}, {L"Function", 200},      {L"Message", 700}};
constexpr int kColumnCount = 7;
constexpr int kTimeColumn = 1;
// Several stations: a column of their names, kept last among the list's columns so the
// others keep their numbers, and shown first.
constexpr int kStationColumn = kColumnCount;
constexpr int kStationWidth = 90;
const COLORREF kMarkColour = RGB(128, 255, 255);

COLORREF LevelColour(int level) {
    switch (level) {
    case -1: return RGB(0, 125, 0);
    case 0: return RGB(0, 0, 125);
    case 10: return RGB(255, 0, 0);
    case 20: return RGB(0, 0, 255);
    case 40: return RGB(127, 127, 127);
    default: return RGB(0, 0, 0);
    }
}

// One row's texts, kept for the several requests the list makes per row.
struct CachedRow {
    long long row = -1;
    std::wstring col[kColumnCount + 1];
    int level = 30;
    bool fileMark = false;
};

class Viewer {
public:
    HWND hwnd = nullptr;
    HWND list = nullptr, status = nullptr, progress = nullptr, findDialog = nullptr;
    HWND levelBox[6] = {}, process = nullptr, module = nullptr, text = nullptr, gotoEdit = nullptr, follow = nullptr;
    TraceSet set;
    CachedRow cache;
    std::set<size_t> toggled;  // lines whose mark differs from the one written in the file
    std::wstring pendingTime;  // "/T:" text to select once indexing ends
    bool atEnd = false;        // select the last row once indexing ends
    LinePlace held;            // the selected line, to select again once the stations are merged anew
    FINDREPLACEW find = {};
    wchar_t findText[256] = {};
    UINT findMessage = 0;

    void Create(HWND h);
    void Layout();
    void Open(const std::wstring& path, const std::wstring& timeText);
    void Open(const std::vector<StationArg>& stations);
    void OnIndexed(size_t file, LPARAM generation);
    void OnMerged(LPARAM generation);
    void OnProgress(unsigned permille);
    void OnTimer();
    void OnCommand(int id);
    LRESULT OnNotify(NMHDR* h);
    bool OnKey(WPARAM key);
    void OnFindMessage(FINDREPLACEW* fr);

private:
    const CachedRow& Row(size_t row);
    bool Marked(size_t line);
    long long Selected() const;
    void Select(size_t row);
    void Reveal(size_t row);
    void SetCount(bool keepEnd);
    void Opened(const std::wstring& what, bool ok, DWORD error);
    void StationColumn(bool shown);
    void ApplyFilter();
    void GoTo();
    void Find(bool down);
    void NextMark(bool down);
    void Status(const std::wstring& s) { ::SendMessageW(status, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(s.c_str())); }
    std::wstring WindowText(HWND h) {
        wchar_t buf[512];
        ::GetWindowTextW(h, buf, 512);
        return buf;
    }
};

Viewer g_viewer;

HWND Child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id) {
    HWND h = ::CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    return h;
}

void Viewer::Create(HWND h) {
    hwnd = h;
    for (int i = 0; i < 6; ++i) {
        levelBox[i] = Child(h, L"BUTTON", kLevelBoxes[i], BS_AUTOCHECKBOX, IDC_LEVEL_FIRST + i);
        ::SendMessageW(levelBox[i], BM_SETCHECK, BST_CHECKED, 0);
    }
    Child(h, L"STATIC", L"Process", 0, -1);
    process = Child(h, L"EDIT", L"", WS_BORDER | ES_AUTOHSCROLL, IDC_PROCESS);
    Child(h, L"STATIC", L"Module", 0, -1);
    module = Child(h, L"EDIT", L"", WS_BORDER | ES_AUTOHSCROLL, IDC_MODULE);
    Child(h, L"STATIC", L"Text", 0, -1);
    text = Child(h, L"EDIT", L"", WS_BORDER | ES_AUTOHSCROLL, IDC_TEXT);
    Child(h, L"BUTTON", L"Filter", BS_PUSHBUTTON, IDC_FILTER);
    gotoEdit = Child(h, L"EDIT", L"", WS_BORDER | ES_AUTOHSCROLL, IDC_GOTO);
    Child(h, L"BUTTON", L"Go to", BS_PUSHBUTTON, IDC_GO);
    follow = Child(h, L"BUTTON", L"Follow", BS_AUTOCHECKBOX, IDC_FOLLOW);
    list = Child(h, WC_LISTVIEWW, L"", WS_BORDER | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS, IDC_LIST);
    ::SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    for (int i = 0; i < kColumnCount; ++i) {
        LVCOLUMNW c = {};
        c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM | LVCF_FMT;
        c.pszText = const_cast<wchar_t*>(kColumns[i].header);
        c.cx = kColumns[i].width;
        c.iSubItem = i;
        ::SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&c));
    }
    status = Child(h, STATUSCLASSNAMEW, L"", SBARS_SIZEGRIP, IDC_STATUS);
    int parts[2] = {500, -1};
    ::SendMessageW(status, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
    progress = ::CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD, 0, 0, 10, 10, status,
                                 reinterpret_cast<HMENU>(IDC_PROGRESS), nullptr, nullptr);
    ::SendMessageW(progress, PBM_SETRANGE32, 0, 1000);
    ::DragAcceptFiles(h, TRUE);
    ::SetTimer(h, kFollowTimer, kFollowMs, nullptr);
    findMessage = ::RegisterWindowMessageW(FINDMSGSTRINGW);
    find.Flags = FR_DOWN;
}

void Viewer::Layout() {
    RECT rc;
    ::GetClientRect(hwnd, &rc);
    ::SendMessageW(status, WM_SIZE, 0, 0);
    RECT sr;
    ::GetWindowRect(status, &sr);
    const int statusHeight = sr.bottom - sr.top;
    RECT part;
    ::SendMessageW(status, SB_GETRECT, 1, reinterpret_cast<LPARAM>(&part));
    ::MoveWindow(progress, part.left + 2, part.top + 2, part.right - part.left - 24, part.bottom - part.top - 4, TRUE);
    int x = 4;
    auto place = [&](HWND h, int w) {
        ::MoveWindow(h, x, 4, w, kBarHeight - 8, TRUE);
        x += w + 4;
    };
    for (HWND b : levelBox) place(b, 48);
    HWND c = ::GetWindow(levelBox[5], GW_HWNDNEXT);  // the labels and edits in creation order
    const int widths[] = {44, 90, 44, 90, 30, 120, 50, 130, 50, 60};
    for (int w : widths) {
        if (!c || c == list) break;
        place(c, w);
        c = ::GetWindow(c, GW_HWNDNEXT);
    }
    ::MoveWindow(list, 0, kBarHeight, rc.right, rc.bottom - kBarHeight - statusHeight, TRUE);
}

void Viewer::Open(const std::wstring& path, const std::wstring& timeText) {
    cache.row = -1;
    toggled.clear();
    held = LinePlace();
    ::SendMessageW(list, LVM_SETITEMCOUNT, 0, 0);
    DWORD error = 0;
    pendingTime = timeText;
    atEnd = timeText.empty();
    const bool ok = set.Open(path, hwnd, &error);
    Opened(path, ok, error);
}

void Viewer::Open(const std::vector<StationArg>& stations) {
    cache.row = -1;
    toggled.clear();
    held = LinePlace();
    ::SendMessageW(list, LVM_SETITEMCOUNT, 0, 0);
    DWORD error = 0;
    pendingTime.clear();
    atEnd = true;
    std::wstring what;
    for (const StationArg& a : stations) what += (what.empty() ? L"" : L" ") + a.name + L"=" + a.path;
    const bool ok = set.Open(stations, hwnd, &error);
    Opened(what, ok, error);
}

void Viewer::Opened(const std::wstring& what, bool ok, DWORD error) {
    StationColumn(ok && set.labelled());
    if (!ok) {
        Status(L"Cannot open '" + what + L"' (" + kv::ErrorText(error) + L")");
        return;
    }
    ::SetWindowTextW(hwnd, (std::wstring(kTitle) + L" - " + what).c_str());
    ::SendMessageW(progress, PBM_SETPOS, 0, 0);
    if (!set.indexing()) {
        Status(L"No trace files in " + what);  // follow mode picks up the first one
        return;
    }
    ::ShowWindow(progress, SW_SHOW);
    Status(L"Indexing " + what);
}

void Viewer::StationColumn(bool shown) {
    HWND header = reinterpret_cast<HWND>(::SendMessageW(list, LVM_GETHEADER, 0, 0));
    const bool present = ::SendMessageW(header, HDM_GETITEMCOUNT, 0, 0) > kColumnCount;
    if (shown == present) return;
    if (!shown) {
        ::SendMessageW(list, LVM_DELETECOLUMN, kStationColumn, 0);
        return;
    }
    LVCOLUMNW c = {};
    c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    c.pszText = const_cast<wchar_t*>(L"Station");
    c.cx = kStationWidth;
    c.iSubItem = kStationColumn;
    ::SendMessageW(list, LVM_INSERTCOLUMNW, kStationColumn, reinterpret_cast<LPARAM>(&c));
    int order[kColumnCount + 1];
    order[0] = kStationColumn;
    for (int i = 0; i < kColumnCount; ++i) order[i + 1] = i;
    ::SendMessageW(list, LVM_SETCOLUMNORDERARRAY, kColumnCount + 1, reinterpret_cast<LPARAM>(order));
}

void Viewer::OnProgress(unsigned permille) { ::SendMessageW(progress, PBM_SETPOS, permille, 0); }

void Viewer::SetCount(bool keepEnd) {
    const size_t n = set.RowCount();
    ::SendMessageW(list, LVM_SETITEMCOUNT, n, LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
    if (keepEnd && n) ::SendMessageW(list, LVM_ENSUREVISIBLE, n - 1, FALSE);
    ::InvalidateRect(list, nullptr, FALSE);
    wchar_t msg[200];
    swprintf(msg, 200, L"%zu rows of %zu lines in %zu files%ls", n, set.LineCount(), set.FileCount(),
             set.indexing() ? L", indexing..." : set.merging() ? L", merging again..." : L"");
    Status(set.failure().empty() ? std::wstring(msg) : set.failure());
}

void Viewer::OnIndexed(size_t file, LPARAM generation) {
    const bool done = set.TakeIndexed(file, generation);
    cache.row = -1;
    SetCount(false);
    if (!done) return;
    ::ShowWindow(progress, SW_HIDE);
    if (!pendingTime.empty()) {
        const long long line = set.FindTimeText(pendingTime.c_str());
        const long long row = line >= 0 ? set.RowOfLine(static_cast<size_t>(line)) : -1;
        if (row >= 0) Select(static_cast<size_t>(row));
        else Status(L"No row \"" + pendingTime + L"\" in " + set.directory());
    } else if (atEnd && set.RowCount()) {
        Select(set.RowCount() - 1);
    }
    pendingTime.clear();
    atEnd = false;
    SetCount(false);
}

void Viewer::OnTimer() {
    if (::SendMessageW(follow, BM_GETCHECK, 0, 0) != BST_CHECKED) return;
    cache.row = -1;
    const bool failing = !set.failure().empty(), merging = set.merging();
    const long long sel = Selected();
    const LinePlace at = set.PlaceOf(sel >= 0 ? static_cast<long long>(set.LineOfRow(static_cast<size_t>(sel))) : -1);
    if (set.Refresh() || failing != !set.failure().empty()) {
        // The list keeps only the rows before the file that started over until the merge
        // is done: a selected row after them is selected again then.
        if (!merging && set.merging()) held = at;
        SetCount(true);
    } else {
        ::InvalidateRect(list, nullptr, FALSE);  // the last line may have been completed
    }
}

void Viewer::OnMerged(LPARAM generation) {
    const long long sel = Selected();
    LinePlace at = sel >= 0 ? set.PlaceOf(static_cast<long long>(set.LineOfRow(static_cast<size_t>(sel)))) : held;
    held = LinePlace();
    if (!set.TakeMerged(generation, &at)) return;
    cache.row = -1;
    const long long line = set.LineAt(at);
    const long long row = line >= 0 ? set.RowOfLine(static_cast<size_t>(line)) : -1;
    SetCount(row < 0);
    if (row >= 0) Select(static_cast<size_t>(row));
}

const CachedRow& Viewer::Row(size_t row) {
    if (cache.row == static_cast<long long>(row)) return cache;
    cache = CachedRow();
    cache.row = static_cast<long long>(row);
    if (row >= set.RowCount()) return cache;
    LineFields x;
    Date d;
    DWORD error = 0;
    if (!set.Parse(set.LineOfRow(row), &x, &d, &error) && error) {
        // Never an empty row for a line that is there but cannot be read.
        cache.col[kColumnCount - 1] = L"<this line cannot be read from its file (" + kv::ErrorText(error) + L")>";
        return cache;
    }
    if (d.known()) {
        wchar_t date[16];
        swprintf(date, 16, L"%04d-%02d-%02d", d.year, d.month, d.day);
        cache.col[0] = date;
    }
    const Span* spans[6] = {&x.time, &x.tag, &x.process, &x.module, &x.function, &x.text};
    for (int i = 0; i < 6; ++i) cache.col[i + 1] = spans[i]->str();
    if (set.labelled()) cache.col[kStationColumn] = set.StationOf(set.LineOfRow(row));
    cache.level = x.split ? x.level() : 30;
    cache.fileMark = x.marked();
    return cache;
}

bool Viewer::Marked(size_t row) {
    const bool fileMark = Row(row).fileMark;
    return toggled.count(set.LineOfRow(row)) ? !fileMark : fileMark;
}

void Viewer::Reveal(size_t r) {
    // The trace window's rule: a quarter page of context above or below the row.
    const long long top = ::SendMessageW(list, LVM_GETTOPINDEX, 0, 0);
    const long long n = static_cast<long long>(set.RowCount());
    const long long q = ::SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0) / 4;
    long long t = static_cast<long long>(r);
    if (t <= top + q) t = t - q;
    if (static_cast<long long>(r) > top + 3 * q) t = static_cast<long long>(r) + q;
    if (t >= n) t = n - 1;
    if (t < 0) t = 0;
    ::SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(t), FALSE);
}

// A list view may walk every row before the first selected one, and every row to clear
// them all: with a history of a million rows that is seconds. The selection mark (where
// a click or this window last selected) names the usual single selected row at once.
long long Viewer::Selected() const {
    const LRESULT count = ::SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0);
    if (count <= 0) return -1;
    const LRESULT mark = ::SendMessageW(list, LVM_GETSELECTIONMARK, 0, 0);
    if (count == 1 && mark >= 0 && (::SendMessageW(list, LVM_GETITEMSTATE, mark, LVIS_SELECTED) & LVIS_SELECTED)) return mark;
    return ::SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
}

void Viewer::Select(size_t row) {
    LVITEMW clear = {};
    clear.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    const long long old = Selected();
    if (::SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0) > 1) {
        ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&clear));
    } else if (old >= 0) {
        ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(old), reinterpret_cast<LPARAM>(&clear));
    }
    LVITEMW item = {};
    item.state = item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
    ::SendMessageW(list, LVM_SETSELECTIONMARK, 0, static_cast<LPARAM>(row));
    Reveal(row);
}

void Viewer::ApplyFilter() {
    Filter f;
    f.levels = 0x40;
    for (int i = 0; i < 6; ++i)
        if (::SendMessageW(levelBox[i], BM_GETCHECK, 0, 0) == BST_CHECKED) f.levels |= 1u << i;
    f.process = WindowText(process);
    f.module = WindowText(module);
    f.text = WindowText(text);
    const long long sel = Selected();
    const size_t line = sel >= 0 ? set.LineOfRow(static_cast<size_t>(sel)) : 0;
    HCURSOR old = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    set.SetFilter(f);  // the index stays; only the rows shown are chosen again
    ::SetCursor(old);
    cache.row = -1;
    SetCount(false);
    if (sel >= 0) {
        const long long row = set.RowOfLine(line);
        if (row >= 0) Select(static_cast<size_t>(row));
    }
}

void Viewer::GoTo() {
    // "YYYY-MM-DD HH:MM[:SS]", "YYYY-MM-DD", or "HH:MM[:SS]" on the selected row's day.
    const std::wstring s = WindowText(gotoEdit);
    Date d;
    int h = 0, m = 0, sec = 0;
    const long long sel = Selected();
    if (swscanf(s.c_str(), L"%d-%d-%d %d:%d:%d", &d.year, &d.month, &d.day, &h, &m, &sec) < 3) {
        d = Date();
        if (swscanf(s.c_str(), L"%d:%d:%d", &h, &m, &sec) < 2) {
            Status(L"Go to: YYYY-MM-DD HH:MM[:SS] or HH:MM[:SS]");
            return;
        }
        if (!set.RowCount()) return;
        LineFields x;
        set.Parse(set.LineOfRow(sel >= 0 ? static_cast<size_t>(sel) : set.RowCount() - 1), &x, &d);
    }
    size_t row = set.RowAtOrAfter(d, h, m, sec);
    if (row >= set.RowCount() && row) row = set.RowCount() - 1;
    if (set.RowCount()) Select(row);
    ::SetFocus(list);
}

void Viewer::Find(bool down) {
    const size_t whatChars = wcslen(findText);
    if (!whatChars || !set.RowCount()) return;
    FindOptions options;
    options.matchCase = (find.Flags & FR_MATCHCASE) != 0;
    options.wholeWord = (find.Flags & FR_WHOLEWORD) != 0;
    const long long sel = Selected();
    long long line = sel < 0 ? (down ? 0 : static_cast<long long>(set.LineCount()) - 1)
                             : static_cast<long long>(set.LineOfRow(static_cast<size_t>(sel))) + (down ? 1 : -1);
    HCURSOR old = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    long long found = -1;
    while (line >= 0 && static_cast<size_t>(line) < set.LineCount()) {
        line = set.FindLine(line, down, findText, options);
        if (line < 0) break;
        if (set.RowOfLine(static_cast<size_t>(line)) >= 0) {
            found = line;
            break;
        }
        line += down ? 1 : -1;  // hidden by the filter
    }
    ::SetCursor(old);
    if (found < 0) {
        ::MessageBoxW(hwnd, (L"Cannot find string \"" + std::wstring(findText) + L"\"").c_str(), kTitle,
                      MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    Select(static_cast<size_t>(set.RowOfLine(static_cast<size_t>(found))));
    if (findDialog) ::DestroyWindow(findDialog), findDialog = nullptr;
    ::SetFocus(list);
}

void Viewer::NextMark(bool down) {
    const size_t n = set.RowCount();
    const long long sel = Selected();
    if (sel < 0 || n == 0) return;
    // Wraps around; the selected row itself is never the result.
    for (size_t k = 1; k < n; ++k) {
        const size_t r = down ? (static_cast<size_t>(sel) + k) % n : (static_cast<size_t>(sel) + n - k) % n;
        if (Marked(r)) {
            Select(r);
            return;
        }
    }
}

void Viewer::OnFindMessage(FINDREPLACEW* fr) {
    if (fr->Flags & FR_DIALOGTERM) {
        findDialog = nullptr;
        return;
    }
    if (fr->Flags & FR_FINDNEXT) Find((fr->Flags & FR_DOWN) != 0);
}

void Viewer::OnCommand(int id) {
    switch (id) {
    case IDM_OPEN_FILE: {
        wchar_t name[MAX_PATH] = {};
        OPENFILENAMEW ofn = {sizeof(ofn)};
        ofn.hwndOwner = hwnd;
        ofn.lpstrFilter = L"Trace Files (*.txt)\0*.txt\0All Files (*.*)\0*.*\0";
        ofn.lpstrFile = name;
        ofn.nMaxFile = MAX_PATH;
        ofn.Flags = OFN_FILEMUSTEXIST | OFN_EXPLORER;
        if (::GetOpenFileNameW(&ofn)) Open(name, L"");
        break;
    }
    case IDM_OPEN_DIR: {
        BROWSEINFOW bi = {};
        bi.hwndOwner = hwnd;
        bi.lpszTitle = L"Trace file directory";
        bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
        if (PIDLIST_ABSOLUTE pidl = ::SHBrowseForFolderW(&bi)) {
            wchar_t path[MAX_PATH];
            if (::SHGetPathFromIDListW(pidl, path)) Open(path, L"");
            ::CoTaskMemFree(pidl);
        }
        break;
    }
    case IDM_EXIT: ::DestroyWindow(hwnd); break;
    case IDM_FIND:
        if (!findDialog) {
            find.lStructSize = sizeof(find);
            find.hwndOwner = hwnd;
            find.lpstrFindWhat = findText;
            find.wFindWhatLen = 256;
            findDialog = ::FindTextW(&find);
        }
        break;
    case IDM_FIND_NEXT:
    case IDM_FIND_PREV:
        if (!findText[0]) OnCommand(IDM_FIND);
        else Find(id == IDM_FIND_NEXT);
        break;
    case IDM_MARK: {
        const long long sel = Selected();
        if (sel < 0) break;
        const size_t line = set.LineOfRow(static_cast<size_t>(sel));
        if (!toggled.erase(line)) toggled.insert(line);
        ::SendMessageW(list, LVM_REDRAWITEMS, sel, sel);
        break;
    }
    case IDM_NEXT_MARK: NextMark(true); break;
    case IDM_PREV_MARK: NextMark(false); break;
    case IDC_FILTER: ApplyFilter(); break;
    case IDC_GO: GoTo(); break;
    default:
        if (id >= IDC_LEVEL_FIRST && id < IDC_LEVEL_FIRST + 6) ApplyFilter();
        break;
    }
}

bool Viewer::OnKey(WPARAM key) {
    const bool ctrl = ::GetKeyState(VK_CONTROL) < 0, shift = ::GetKeyState(VK_SHIFT) < 0;
    int id = 0;
    if (key == 'F' && ctrl) id = IDM_FIND;
    else if (key == VK_F3) id = shift ? IDM_FIND_PREV : IDM_FIND_NEXT;
    else if (key == VK_F2) id = ctrl ? IDM_MARK : shift ? IDM_PREV_MARK : IDM_NEXT_MARK;
    else if (key == 'O' && ctrl) id = IDM_OPEN_FILE;
    else if (key == 'G' && ctrl) return ::SetFocus(gotoEdit), true;
    else if (key == VK_RETURN) {
        HWND focus = ::GetFocus();
        if (focus == gotoEdit) id = IDC_GO;
        else if (focus == process || focus == module || focus == text) id = IDC_FILTER;
    }
    if (!id) return false;
    OnCommand(id);
    return true;
}

LRESULT Viewer::OnNotify(NMHDR* h) {
    if (h->hwndFrom != list) return 0;
    if (h->code == LVN_GETDISPINFOW) {
        auto* di = reinterpret_cast<NMLVDISPINFOW*>(h);
        if ((di->item.mask & LVIF_TEXT) && di->item.pszText && di->item.cchTextMax > 0) {
            const CachedRow& r = Row(static_cast<size_t>(di->item.iItem));
            const int c = di->item.iSubItem;
            const std::wstring& t = c >= 0 && c <= kStationColumn ? r.col[c] : r.col[0];
            const size_t n = t.size() < static_cast<size_t>(di->item.cchTextMax) ? t.size() : di->item.cchTextMax - 1u;
            wmemcpy(di->item.pszText, t.data(), n);
            di->item.pszText[n] = 0;
        }
        return 0;
    }
    if (h->code == NM_CUSTOMDRAW) {
        auto* cd = reinterpret_cast<NMLVCUSTOMDRAW*>(h);
        switch (cd->nmcd.dwDrawStage) {
        case CDDS_PREPAINT: return CDRF_NOTIFYITEMDRAW;
        case CDDS_ITEMPREPAINT: return CDRF_NOTIFYSUBITEMDRAW;
        case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
            const size_t row = static_cast<size_t>(cd->nmcd.dwItemSpec);
            cd->clrText = LevelColour(Row(row).level);
            cd->clrTextBk = cd->iSubItem == kTimeColumn && Marked(row) ? kMarkColour : RGB(255, 255, 255);
            return CDRF_NEWFONT;
        }
        }
    }
    return 0;
}

LRESULT CALLBACK ViewerWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) noexcept {
    Viewer& v = g_viewer;
    try {
        switch (msg) {
        case WM_CREATE: v.Create(hwnd); return 0;
        case WM_SIZE: v.Layout(); return 0;
        case WM_COMMAND: v.OnCommand(LOWORD(wp)); return 0;
        case WM_NOTIFY: return v.OnNotify(reinterpret_cast<NMHDR*>(lp));
        case WM_TIMER: v.OnTimer(); return 0;
        case WM_VIEWER_PROGRESS: v.OnProgress(static_cast<unsigned>(wp)); return 0;
        case WM_VIEWER_INDEXED: v.OnIndexed(static_cast<size_t>(wp), lp); return 0;
        case WM_VIEWER_MERGED: v.OnMerged(lp); return 0;
        case WM_DROPFILES: {
            // Several directories dropped at once: their stations merged.
            HDROP drop = reinterpret_cast<HDROP>(wp);
            const UINT n = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
            std::vector<StationArg> stations;
            wchar_t path[MAX_PATH];
            for (UINT i = 0; i < n && i < MergedOrder::kMaxStations; ++i) {
                StationArg a;
                if (!::DragQueryFileW(drop, i, path, MAX_PATH)) continue;
                a.path = path;
                a.name = DefaultStationName(path);
                for (const StationArg& b : stations)
                    if (b.name == a.name) a.name += L"_" + std::to_wstring(i + 1);
                stations.push_back(a);
            }
            ::DragFinish(drop);
            if (stations.size() == 1) v.Open(stations[0].path, L"");
            else if (!stations.empty()) v.Open(stations);
            return 0;
        }
        case WM_DESTROY:
            v.set.Stop();
            ::PostQuitMessage(0);
            return 0;
        default:
            if (msg == v.findMessage && v.findMessage) {
                v.OnFindMessage(reinterpret_cast<FINDREPLACEW*>(lp));
                return 0;
            }
        }
    } catch (...) {
        // Out of memory while reading or filtering: the window stays, the action ends.
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

HMENU BuildMenu() {
    HMENU bar = ::CreateMenu();
    HMENU file = ::CreatePopupMenu();
    ::AppendMenuW(file, MF_STRING, IDM_OPEN_FILE, L"Open &File...\tCtrl+O");
    ::AppendMenuW(file, MF_STRING, IDM_OPEN_DIR, L"Open &Directory...");
    ::AppendMenuW(file, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(file, MF_STRING, IDM_EXIT, L"E&xit");
    HMENU edit = ::CreatePopupMenu();
    ::AppendMenuW(edit, MF_STRING, IDM_FIND, L"Find\tCtrl+F");
    ::AppendMenuW(edit, MF_STRING, IDM_FIND_NEXT, L"Find Next\tF3");
    ::AppendMenuW(edit, MF_STRING, IDM_FIND_PREV, L"Find Prev\tShift+F3");
    ::AppendMenuW(edit, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(edit, MF_STRING, IDM_MARK, L"Set/Del Mark\tCtrl+F2");
    ::AppendMenuW(edit, MF_STRING, IDM_NEXT_MARK, L"Goto Next Mark\tF2");
    ::AppendMenuW(edit, MF_STRING, IDM_PREV_MARK, L"Goto Prev Mark\tShift+F2");
    ::AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"&File");
    ::AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(edit), L"&Edit");
    return bar;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&icc);
    ::CoInitialize(nullptr);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &ViewerWndProc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    wc.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
    if (!::RegisterClassW(&wc)) return 1;
    HWND hwnd = ::CreateWindowExW(0, kClassName, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 1200, 700,
                                  nullptr, BuildMenu(), instance, nullptr);
    if (!hwnd) return 1;
    ::ShowWindow(hwnd, show ? show : SW_SHOWNORMAL);
    ::UpdateWindow(hwnd);

    const Request r = ParseRequest(SkipProgramName(::GetCommandLineW()));
    if (!r.stations.empty()) g_viewer.Open(r.stations);
    else if (!r.path.empty()) g_viewer.Open(r.path, r.timeText);

    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (g_viewer.findDialog && ::IsDialogMessageW(g_viewer.findDialog, &msg)) continue;
        if (msg.message == WM_KEYDOWN && g_viewer.OnKey(msg.wParam)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    ::CoUninitialize();
    return 0;
}

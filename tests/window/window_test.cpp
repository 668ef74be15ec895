// The trace window through the real DLL and its host entry points. Each window lives in
// a helper process (this executable started as "host"), because the instance marker
// lives as long as the process that opened the window; the tests drive it as a user
// would and read it back through the platform.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/traceapi.h"
#include "kvtest.h"
#include "../tools/viewerprocess.h"

namespace {

const wchar_t kClass[] = L"VANTORA VO Vedoz Izodoz";
enum { kIdAppList = 1, kIdTrace, kIdScroll, kIdFile, kIdClear, kIdAllOff, kIdDiag, kIdInfo, kIdWarning, kIdError, kIdOnTop };

std::wstring SettingsFile() { return kvtest::ExeDir() + L"\\KVTRCSRV.ini"; }
std::wstring ReadKey(const wchar_t* section, const wchar_t* key) {
    wchar_t buf[512];
    ::GetPrivateProfileStringW(section, key, L"<absent>", buf, ARRAYSIZE(buf), SettingsFile().c_str());
    return buf;
}
LRESULT Send(HWND h, UINT msg, WPARAM wp = 0, LPARAM lp = 0) {
    DWORD_PTR r = 0;
    ::SendMessageTimeoutW(h, msg, wp, lp, SMTO_NORMAL, 10000, &r);
    return static_cast<LRESULT>(r);
}
std::wstring TextOf(HWND h) {
    wchar_t buf[512] = {};
    Send(h, WM_GETTEXT, ARRAYSIZE(buf), reinterpret_cast<LPARAM>(buf));
    return buf;
}
bool WindowUp() { return ::FindWindowW(kClass, nullptr) != nullptr; }
// A window rectangle in the client coordinates of parent.
RECT RectIn(HWND h, HWND parent) {
    RECT r = {};
    ::GetWindowRect(h, &r);
    ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// ---- helper processes ----------------------------------------------------------------

// Opens the trace window and waits until it is asked to close. args[0], when given, is
// the profile argument. Exit code 0 when CreateWnd returned the window, 3 when it
// returned none; closing twice is harmless.
KVTEST_HELPER(host) {
    HWND w = traceapi_CreateWnd(0, nullptr, 1, args.empty() ? nullptr : args[0].c_str());
    traceapi_DestroyWnd();
    traceapi_DestroyWnd();
    return w ? 0 : 3;
}

// Opens the window without waiting and tells it of a clock change at once, before its
// first tick; then waits until the test ends it.
KVTEST_HELPER(early_host) {
    traceapi_CreateWnd(0, nullptr, 0, nullptr);
    HWND w = nullptr;
    if (!kvtest::PumpUntil([&w] { return (w = ::FindWindowW(kClass, nullptr)) != nullptr; }, 30000)) return 10;
    ::SendMessageW(w, WM_TIMECHANGE, 0, 0);
    kvtest::PumpUntil([] { return !WindowUp(); }, 300000);
    traceapi_DestroyWnd();
    return 0;
}

// Opens the window without waiting, closes it, and tries again in the same process:
// exit code 0 when the second call opened nothing and returned 0.
KVTEST_HELPER(reopen) {
    traceapi_CreateWnd(0, nullptr, 0, nullptr);
    if (!kvtest::PumpUntil(WindowUp, 30000)) return 10;
    ::PostMessageW(::FindWindowW(kClass, nullptr), WM_CLOSE, 0, 0);
    traceapi_DestroyWnd();
    if (WindowUp()) return 11;
    if (traceapi_CreateWnd(0, nullptr, 0, nullptr) != nullptr) return 12;
    return kvtest::PumpUntil(WindowUp, 1500) ? 13 : 0;
}

// Opens the window and floods its direct path from three threads of this process
// (4000 lines each), then waits until the window is gone.
KVTEST_HELPER(flood_host) {
    traceapi_CreateWnd(0, nullptr, 0, nullptr);
    if (!kvtest::PumpUntil(WindowUp, 30000)) return 10;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&stop, t] {
            for (int n = 0; !stop && n < 4000; ++n)
                traceapi_Output2(0, static_cast<short>(10 * (1 + n % 4)), L"Flood", L"thread %d line %d MARKME FILTERME", t, n);
        });
    kvtest::PumpUntil([] { return !WindowUp(); }, 120000);
    stop = true;
    for (auto& t : threads) t.join();
    traceapi_DestroyWnd();
    return 0;
}

// ---- one window process ---------------------------------------------------------------

const char kBaseSettings[] =
    "[Global]\r\nEnableTrace=1\r\nEnableFile=1\r\nHistoryDays=7\r\nTopMost=1\r\n"
    "Left=0\r\nTop=0\r\nRight=1000\r\nBottom=620\r\nFilterListPart=4\r\n"
    "[ListView]\r\nMaxEntries=10000\r\nMaxDelete=100\r\nAutoScroll=1\r\n"
    "[Filter]\r\nHighlightFilter=MARKME\r\nMarkHighlight=1\r\nSpecialFilter=FILTERME\r\n"
    "[RivivEda]\r\nEnableDiag=0\r\nEnableInfo=0\r\nEnableWarning=0\r\nEnableError=0\r\n";

// overrides: section, key, value triples written over the base settings.
void WriteSettings(const std::wstring& fileDir, const std::vector<const wchar_t*>& overrides = {}) {
    ::DeleteFileW(SettingsFile().c_str());
    kvtest::WriteBytes(SettingsFile(), kBaseSettings);
    ::WritePrivateProfileStringW(L"Global", L"FileDir", fileDir.c_str(), SettingsFile().c_str());
    for (size_t i = 0; i + 2 < overrides.size(); i += 3)
        ::WritePrivateProfileStringW(overrides[i], overrides[i + 1], overrides[i + 2], SettingsFile().c_str());
}

struct WindowProcess {
    explicit WindowProcess(const std::wstring& fileDir, const std::vector<const wchar_t*>& overrides = {},
                           const wchar_t* helper = L"host") {
        WriteSettings(fileDir, overrides);
        process = kvtest::StartHelper(helper);
        kvtest::PumpUntil([this] {
            window = ::FindWindowW(kClass, nullptr);
            return window && ::IsWindowVisible(window) && Send(window, WM_NULL) == 0 && TextOf(Field(3)).size() > 0;
        }, 60000);
        main = ::FindWindowExW(window, nullptr, WC_LISTVIEWW, kClass);
        filter = ::FindWindowExW(window, nullptr, WC_LISTVIEWW, L"RIVIVEDA FILTER");
    }
    ~WindowProcess() { Close(); }
    HWND Field(int i) const { return ::GetDlgItem(::FindWindowExW(window, nullptr, L"StatusClass", nullptr), 4 + i); }
    HWND Control(int id) const { return ::GetDlgItem(window, id); }
    int Rows(HWND list) const { return static_cast<int>(Send(list, LVM_GETITEMCOUNT)); }
    // Closes the window as the user does, with Alt+F4 (a system key the window leaves to
    // default processing); the host must end by itself with exit code 0.
    kvtest::ProcessResult Close() {
        kvtest::ProcessResult r;
        if (!process) return r;
        if (window) ::PostMessageW(window, WM_SYSKEYDOWN, VK_F4, 1 | (0x3E << 16) | (1 << 29));
        r = kvtest::WaitPumping(process, 60000);
        process = nullptr;
        return r;
    }

    HANDLE process = nullptr;
    HWND window = nullptr, main = nullptr, filter = nullptr;
};

// The colours found in a screen rectangle (0x00BBGGRR).
std::set<COLORREF> ColoursIn(HWND h) {
    RECT r;
    ::GetWindowRect(h, &r);
    const int w = r.right - r.left, ht = r.bottom - r.top;
    BITMAPINFO bi = {};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -ht, 1, 32, BI_RGB};
    void* bits = nullptr;
    HDC screen = ::GetDC(nullptr), mem = ::CreateCompatibleDC(screen);
    HBITMAP dib = ::CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(mem, dib);
    ::BitBlt(mem, 0, 0, w, ht, screen, r.left, r.top, SRCCOPY);
    ::GdiFlush();
    std::set<COLORREF> out;
    for (int i = 0; bits && i < w * ht; ++i) {
        const DWORD p = static_cast<const DWORD*>(bits)[i];
        out.insert(RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF));
    }
    ::SelectObject(mem, old);
    ::DeleteObject(dib);
    ::DeleteDC(mem);
    ::ReleaseDC(nullptr, screen);
    return out;
}

// ---- the window under use: tool bar, layout, status texts, drawing, operator functions ----

class TraceWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new kvtest::TempDir;
        win_ = new WindowProcess(dir_->path());
        handle_ = traceapi_Register(L"Pump", nullptr, FALSE);
    }
    static void TearDownTestSuite() {
        traceapi_Unregister(handle_, FALSE);
        const kvtest::ProcessResult r = win_->Close();
        EXPECT_TRUE(r.finished && r.exitCode == 0) << "the host ends with 0 once the window closed: " << r.exitCode;
        delete win_;
        delete dir_;
    }
    void SetUp() override { ASSERT_NE(win_->window, nullptr) << "the trace window opens"; }

    // Empties the lists with the Clear button (the "LIST CLEARED" line remains) and
    // emits count lines; true once they all arrived.
    static bool ClearAndEmit(int count, short level, const wchar_t* text) {
        Send(win_->Control(kIdClear), BM_CLICK);
        kvtest::PumpUntil([] { return win_->Rows(win_->main) <= 1; });
        for (int i = 0; i < count; ++i) traceapi_Output(handle_, level, L"Pumping", text);
        return kvtest::PumpUntil([count] { return win_->Rows(win_->main) >= count + 1; });
    }
    static bool FieldBecomes(int field, const std::wstring& text) {
        return kvtest::PumpUntil([&] { return TextOf(win_->Field(field)) == text; }, 5000);
    }

    static kvtest::TempDir* dir_;
    static WindowProcess* win_;
    static short handle_;
};
kvtest::TempDir* TraceWindowTest::dir_;
WindowProcess* TraceWindowTest::win_;
short TraceWindowTest::handle_;

TEST_F(TraceWindowTest, ClientLinesReachTheListAndTheStatusFields) {
    traceapi_SetEnableDiag(handle_, 0);
    traceapi_SetEnableInf(handle_, 0);
    traceapi_SetEnableWarn(handle_, 1);
    traceapi_SetEnableErr(handle_, 1);
    ASSERT_TRUE(ClearAndEmit(30, 20, L"a line")) << win_->Rows(win_->main);
    EXPECT_TRUE(FieldBecomes(0, L"31 / 10000")) << kvtest::Narrow(TextOf(win_->Field(0)));
    EXPECT_EQ(TextOf(win_->Field(3)), L"Profile: USER");
    EXPECT_EQ(TextOf(win_->Field(1)), L"") << "no row selected";
    // A selected row shows its number and the switches of its application. Whenever the
    // window is activated (at start, after the Clear button had the focus, after another
    // window) the keyboard works without a click: the arrows move the selection, and a
    // typed letter keeps it.
    kvtest::RecordingWindow other({});
    ::ShowWindow(other.hwnd(), SW_SHOW);
    ASSERT_TRUE(kvtest::BringToFront(other.hwnd()) && kvtest::BringToFront(win_->window));
    EXPECT_TRUE(kvtest::PumpUntil([] { return kvtest::FocusOf(win_->window) == win_->main; })) << "the focus is on the list";
    kvtest::Press(VK_HOME);
    for (int i = 0; i < 16; ++i) kvtest::Press(VK_DOWN);
    EXPECT_TRUE(FieldBecomes(1, L"17 [0011]")) << kvtest::Narrow(TextOf(win_->Field(1)));
    kvtest::Press('L');
    kvtest::Press(VK_UP);
    EXPECT_TRUE(FieldBecomes(1, L"16 [0011]")) << "a typed letter moved the selection: " << kvtest::Narrow(TextOf(win_->Field(1)));
}

TEST_F(TraceWindowTest, ToolBarButtonsChangeSwitchesAndSettingsFile) {
    HWND apps = win_->Control(kIdAppList);
    const std::wstring entry = std::wstring(traceapi_GetTraceApp(handle_)->szProcess) + L" - PUMP";
    Send(apps, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(entry.c_str()));
    Send(win_->window, WM_COMMAND, MAKEWPARAM(kIdAppList, CBN_SELCHANGE), reinterpret_cast<LPARAM>(apps));
    struct Case {
        int id;
        int (*read)();
        const wchar_t* key;  // the level key written at once into the application's section, or null
    };
    static const Case cases[] = {
        {kIdTrace, [] { return traceapi_GetEnable() ? 1 : 0; }, nullptr},
        {kIdDiag, [] { return traceapi_GetEnableDiag(handle_); }, L"EnableDiag"},
        {kIdInfo, [] { return traceapi_GetEnableInf(handle_); }, L"EnableInfo"},
        {kIdWarning, [] { return traceapi_GetEnableWarn(handle_); }, L"EnableWarning"},
        {kIdError, [] { return traceapi_GetEnableErr(handle_); }, L"EnableError"},
        {kIdOnTop, [] { return (::GetWindowLongW(win_->window, GWL_EXSTYLE) & WS_EX_TOPMOST) ? 1 : 0; }, nullptr},
        {kIdScroll, [] { return Send(win_->Control(kIdScroll), BM_GETCHECK) == BST_CHECKED ? 1 : 0; }, nullptr},
    };
    const std::wstring section = traceapi_GetTraceApp(handle_)->szSection;
    for (const Case& c : cases) {
        HWND button = win_->Control(c.id);
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE("button " + std::to_string(c.id) + " round " + std::to_string(round));
            const int before = c.read();
            Send(button, BM_CLICK);
            const int after = c.read();
            EXPECT_EQ(after, before ? 0 : 1);
            EXPECT_EQ(Send(button, BM_GETCHECK), after ? BST_CHECKED : BST_UNCHECKED);
            if (c.key) {
                EXPECT_EQ(ReadKey(section.c_str(), c.key), after ? L"1" : L"0");
            }
        }
    }
    // All Off clears every switch of every application.
    traceapi_SetEnableInf(handle_, 1);
    Send(win_->Control(kIdAllOff), BM_CLICK);
    EXPECT_EQ(traceapi_GetEnableInf(handle_), 0);
    EXPECT_EQ(ReadKey(section.c_str(), L"EnableInfo"), L"0");
    EXPECT_EQ(Send(win_->Control(kIdInfo), BM_GETCHECK), BST_UNCHECKED);
}

TEST_F(TraceWindowTest, FileButtonAndTheFileField) {
    HWND file = win_->Control(kIdFile);
    ASSERT_EQ(Send(file, BM_GETCHECK), BST_CHECKED) << "EnableFile=1 in the settings";
    traceapi_Output(handle_, 30, L"Pumping", L"written to the file");
    auto fieldHas = [](const wchar_t* part) {
        return kvtest::PumpUntil([part] { return TextOf(win_->Field(2)).find(part) != std::wstring::npos; }, 5000);
    };
    EXPECT_TRUE(fieldHas(L"* (max:7)")) << kvtest::Narrow(TextOf(win_->Field(2)));
    EXPECT_TRUE(fieldHas(L".txt (max:7)")) << "a second after the last line the stream is closed";
    // The file button leaves the profile and turns writing off, and on again.
    auto* profile = reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(traceapi_GetTraceApp(0)) + 512 * 844);
    wcscpy(profile, L"C:\\profiles\\night.pfl");
    Send(file, BM_CLICK);
    EXPECT_EQ(Send(file, BM_GETCHECK), BST_UNCHECKED);
    EXPECT_EQ(profile[0], L'\0');
    Send(file, BM_CLICK);
    EXPECT_EQ(Send(file, BM_GETCHECK), BST_CHECKED);
}

TEST_F(TraceWindowTest, LayoutFollowsTheClientWidth) {
    // Client area 1000 wide: buttons 77 wide, the Errors button 85 and ending at 1000.
    RECT want = {0, 0, 1000, 600};
    ::AdjustWindowRectEx(&want, WS_OVERLAPPEDWINDOW, FALSE, 0);
    ::SetWindowPos(win_->window, nullptr, 0, 0, want.right - want.left, want.bottom - want.top, SWP_NOMOVE | SWP_NOZORDER);
    RECT client;
    ::GetClientRect(win_->window, &client);
    ASSERT_EQ(client.right, 1000) << "the window could not be sized";
    struct Case { HWND h; int left, width; };
    const Case cases[] = {
        {win_->Control(kIdOnTop), 0, 24}, {win_->Control(kIdTrace), 24, 77}, {win_->Control(kIdAllOff), 24 + 4 * 77, 77},
        {win_->Control(kIdAppList), 24 + 5 * 77, 275}, {win_->Control(kIdDiag), 24 + 5 * 77 + 275, 77},
        {win_->Control(kIdError), 24 + 8 * 77 + 275, 85},
        {win_->Field(1), 1000 * 13 / 128 + 3, 1000 * 12 / 128 - 6},  // status weights 13, 12, 40, 40, 23 of 128
    };
    for (const Case& c : cases) {
        const RECT r = RectIn(c.h, win_->window);
        EXPECT_EQ(r.left, c.left) << c.left;
        EXPECT_EQ(r.right - r.left, c.width) << c.left;
    }
    // The filter list takes a quarter of the height above the 24-pixel status bar.
    const RECT f = RectIn(win_->filter, win_->window);
    EXPECT_TRUE(::IsWindowVisible(win_->filter)) << "SpecialFilter is set";
    EXPECT_EQ(f.bottom, client.bottom - 24);
    EXPECT_EQ(f.bottom - f.top, client.bottom / 4);
}

TEST_F(TraceWindowTest, RowsAreDrawnInTheirLevelColoursWithTheMarkCell) {
    struct Case { short level; COLORREF ink; };
    static const Case cases[] = {
        {10, RGB(255, 0, 0)}, {20, RGB(0, 0, 255)}, {40, RGB(127, 127, 127)}, {-1, RGB(0, 125, 0)}, {0, RGB(0, 0, 125)},
    };
    ClearAndEmit(0, 0, L"");
    for (const Case& c : cases) traceapi_Output(handle_, c.level, L"Pumping", L"WWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW");
    traceapi_Output(handle_, 30, L"Pumping", L"MARKME FILTERME row");
    ASSERT_TRUE(kvtest::PumpUntil([] { return win_->Rows(win_->main) >= 7 && win_->Rows(win_->filter) >= 1; }));
    ::SetWindowPos(win_->window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ::RedrawWindow(win_->window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Send(win_->window, WM_NULL);
    const std::set<COLORREF> seen = ColoursIn(win_->main), filterSeen = ColoursIn(win_->filter);
    for (const Case& c : cases) EXPECT_TRUE(seen.count(c.ink)) << "level " << c.level << " ink " << std::hex << c.ink;
    EXPECT_TRUE(seen.count(RGB(128, 255, 255))) << "the mark cell of the marked row";
    EXPECT_TRUE(seen.count(0x009BFFFF)) << "the highlight ground of the marked row";
    EXPECT_TRUE(filterSeen.count(0x009BFFFF)) << "the copy keeps its highlight";
    EXPECT_FALSE(filterSeen.count(RGB(128, 255, 255))) << "the filter list shows no mark cell";
}

// Keys (typed with the window in front), the find dialog's messages, the context menu
// and the double click on the main list reach the operator functions: each case opens
// its window on the window thread and closes it again the way a user would.
TEST_F(TraceWindowTest, OperatorKeysMenuAndDoubleClickOpenTheirWindows) {
    ASSERT_TRUE(ClearAndEmit(3, 30, L"row to find"));
    const DWORD thread = ::GetWindowThreadProcessId(win_->window, nullptr);
    HWND main = win_->main, window = win_->window;
    auto shown = [thread](const wchar_t* cls, const wchar_t* caption) {  // a visible window of the window thread
        HWND h = nullptr;
        do h = ::FindWindowExW(nullptr, h, cls, caption);
        while (h && !(::IsWindowVisible(h) && ::GetWindowThreadProcessId(h, nullptr) == thread));
        return h;
    };
    auto press = [](WORD key, std::vector<WORD> held = {}) { return [=](HWND) { kvtest::Press(key, held); }; };
    auto post = [](HWND to, UINT msg, WPARAM wp, LPARAM lp = 0) { return [=](HWND) { ::PostMessageW(to, msg, wp, lp); }; };
    auto toEdit = [](HWND dialog) { ::PostMessageW(::GetDlgItem(dialog, 0x480), WM_KEYDOWN, VK_ESCAPE, 0); };
    auto findRow = [](HWND dialog) {  // Find Next: the find message reaches the window; a hit closes the dialog
        Send(::GetDlgItem(dialog, 0x480), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"to find"));
        ::PostMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    };
    struct Case {
        const char* what;
        std::function<void(HWND)> open;
        const wchar_t* cls; const wchar_t* caption;
        std::function<void(HWND)> close;
    };
    const Case cases[] = {
        {"F3 without a find text, Escape", press(VK_F3), L"#32770", nullptr, post(main, WM_KEYDOWN, VK_ESCAPE)},
        {"Ctrl+F, Escape in the dialog", press('F', {VK_CONTROL}), L"#32770", nullptr, toEdit},
        {"Alt+F3, Find Next", press(VK_F3, {VK_MENU}), L"#32770", nullptr, findRow},
        {"context menu, cancel mode", post(main, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(main), MAKELPARAM(100, 100)),
         L"#32768", nullptr, post(window, WM_CANCELMODE, 0)},
        {"Shift+F10 opens the context menu over the list", press(VK_F10, {VK_SHIFT}), L"#32768", nullptr,
         [main, window](HWND popup) {
             RECT menu, list;
             ::GetWindowRect(popup, &menu);
             ::GetWindowRect(main, &list);
             EXPECT_TRUE(menu.left >= list.left && menu.top >= list.top && menu.top < list.bottom)
                 << "menu at " << menu.left << "," << menu.top;
             ::PostMessageW(window, WM_CANCELMODE, 0, 0);
         }},
        {"double click, Cancel", post(main, WM_LBUTTONDBLCLK, 0, MAKELPARAM(100, 100)), L"#32770",
         L"VANTORA Trelvan Trace Server: Settings", [](HWND dialog) { ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); }},
    };
    // The Clear button took the focus; a click on the list gives it back, and it stays
    // there while the cases' windows come and go.
    ::PostMessageW(main, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(100, 30));
    ::PostMessageW(main, WM_LBUTTONUP, 0, MAKELPARAM(100, 30));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(kvtest::BringToFront(window) && kvtest::PumpUntil([&] { return kvtest::FocusOf(window) == main; }));
        c.open(main);
        HWND found = nullptr;
        EXPECT_TRUE(kvtest::PumpUntil([&] { return (found = shown(c.cls, c.caption)) != nullptr; })) << "opens";
        if (!found) continue;
        if (!wcscmp(c.cls, L"#32770")) {
            EXPECT_EQ(::GetWindow(found, GW_OWNER), window);
        }
        c.close(found);
        EXPECT_TRUE(kvtest::PumpUntil([&] { return !::IsWindowVisible(found); })) << "closes";
    }
}

// Delete Current Trace File while kvtrccat and the viewer follow the file: the delete
// takes the file at once, the next rows start a new one, and both readers go on with it.
TEST_F(TraceWindowTest, DeleteCurrentTraceFileWhileReadersFollowIt) {
    ASSERT_TRUE(ClearAndEmit(1, 30, L"before the delete"));
    auto has = [](const std::string& bytes, const wchar_t* text) {
        return bytes.find(std::string(reinterpret_cast<const char*>(text), wcslen(text) * 2)) != std::string::npos;
    };
    std::wstring file;
    ASSERT_TRUE(kvtest::PumpUntil([&] {
        WIN32_FIND_DATAW fd;
        const HANDLE find = ::FindFirstFileW((dir_->path() + L"\\TS*.txt").c_str(), &fd);
        if (find != INVALID_HANDLE_VALUE) ::FindClose(find), file = dir_->file(fd.cFileName);
        return !file.empty() && has(kvtest::ReadBytes(file), L"before the delete");
    }, 10000)) << "the stream is closed within a second";
    const std::wstring tools = kvtest::ExeDir() + L"\\..";
    kvtest::CapturedProcess cat(kvtest::Quote(tools + L"\\kvtrccat.exe") + L" --follow " + kvtest::Quote(file));
    ViewerProcess viewer(file, tools);
    viewer.Click(L"Follow");
    ASSERT_TRUE(kvtest::PumpUntil([&] {
        return cat.Out().find("before the delete") != std::string::npos && viewer.Count() > 0;
    }, 30000)) << cat.Err();

    traceapi_SetEnable(0);  // the menu deletes only while tracing is off
    ::PostMessageW(win_->window, WM_COMMAND, 32776, 0);
    HWND box = nullptr;
    ASSERT_TRUE(kvtest::PumpUntil([&] {
        box = ::FindWindowW(L"#32770", kClass);
        return box && ::GetWindow(box, GW_OWNER) == win_->window;
    })) << "Delete file ... ?";
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(kvtest::PumpUntil([&] { return !::IsWindow(box); }));
    traceapi_SetEnable(1);
    traceapi_Output(handle_, 30, L"Pumping", L"after the delete");
    EXPECT_TRUE(kvtest::PumpUntil([&] { return has(kvtest::ReadBytes(file), L"after the delete"); }, 10000));
    EXPECT_FALSE(has(kvtest::ReadBytes(file), L"before the delete")) << "a new file";
    EXPECT_TRUE(kvtest::PumpUntil([&] { return cat.Out().find("after the delete") != std::string::npos; }, 30000))
        << cat.Out() << cat.Err();
    EXPECT_TRUE(kvtest::PumpUntil([&] {
        const std::string bytes = kvtest::ReadBytes(file);
        long long lines = 0;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) lines += bytes[i] == '\n' && bytes[i + 1] == 0;
        return viewer.Count() == lines;
    }, 30000)) << "the viewer shows the new file's lines only: " << viewer.Count();
}

// ---- lifecycle --------------------------------------------------------------------------

TEST(WindowLifecycle, ForcedUnregistrationReleasesTheWaitingHostAndNoSecondWindowOpens) {
    kvtest::TempDir dir;
    WindowProcess win(dir.path());
    ASSERT_NE(win.window, nullptr);
    HANDLE host = win.process;
    win.process = nullptr;
    traceapi_Unregister(traceapi_Register(L"Closer", nullptr, FALSE), TRUE);
    const kvtest::ProcessResult r = kvtest::WaitPumping(host, 30000);
    EXPECT_TRUE(r.finished && r.exitCode == 0) << "CreateWnd returned when the client asked the window to close";
    EXPECT_FALSE(WindowUp());
    EXPECT_EQ(ReadKey(L"Global", L"Right"), L"1000") << "the settings were saved before the host ended";

    WriteSettings(dir.path());
    const kvtest::ProcessResult again = kvtest::RunHelper(L"reopen", {}, 60000);
    EXPECT_TRUE(again.finished && again.exitCode == 0) << "10 no window, 11 window left, 12/13 a second window opened: "
                                                       << again.exitCode;
}

// A second host hands its profile to the running window. Logoff ends the process right
// after WM_ENDSESSION: what the operator changed during the day and the trace file's
// last lines are kept all the same. The clock change the host reported before the first
// tick is no jump.
TEST(WindowLifecycle, SecondHostsProfileAndSessionEnd) {
    kvtest::TempDir dir;
    WindowProcess win(dir.path(), {}, L"early_host");
    ASSERT_NE(win.window, nullptr);
    const std::wstring profile = dir.file(L"night.pfl");
    kvtest::WriteBytes(profile, "[Global]\r\nMode=0\r\nEnableTrace=1\r\n[Filter]\r\nIncludeFilter=NIGHT\r\nSpecialFilter=FILTERME\r\n");
    const kvtest::ProcessResult second = kvtest::RunHelper(L"host", {L"\"" + profile + L"\""}, 30000);
    EXPECT_TRUE(second.finished && second.exitCode == 3) << "the second host returns at once without a window";
    EXPECT_TRUE(kvtest::PumpUntil([&] { return TextOf(win.Field(3)) == L"Profile: " + profile; }, 10000))
        << kvtest::Narrow(TextOf(win.Field(3)));
    EXPECT_NE(TextOf(win.window).find(L"NIGHT"), std::wstring::npos) << "the running window loaded it";
    EXPECT_EQ(::FindWindowExW(nullptr, win.window, kClass, nullptr), nullptr) << "still one window";

    ASSERT_TRUE(kvtest::PumpUntil([&] { return ::IsWindowVisible(win.filter) != FALSE; })) << "FILTERME shows the filter list";
    ::SetWindowPos(win.window, nullptr, 40, 30, 900, 560, SWP_NOZORDER | SWP_NOACTIVATE);
    Send(win.main, LVM_SETCOLUMNWIDTH, 5, 333);
    Send(win.window, WM_KEYDOWN, VK_ADD);
    for (int id : {kIdScroll, kIdOnTop, kIdTrace}) Send(win.Control(id), BM_CLICK);
    EXPECT_EQ(Send(win.window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    Send(win.window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    ::TerminateProcess(win.process, 1);
    ::WaitForSingleObject(win.process, 30000);
    ::CloseHandle(win.process);
    win.process = nullptr;

    const struct { const wchar_t *section, *key, *value; } keys[] = {
        {L"Global", L"Left", L"40"}, {L"Global", L"Right", L"940"}, {L"Global", L"Bottom", L"590"},
        {L"Global", L"FilterListPart", L"3"}, {L"Global", L"TopMost", L"0"}, {L"Global", L"EnableTrace", L"0"},
        {L"ListView", L"Col5", L"333"}, {L"ListView", L"AutoScroll", L"0"}, {L"Global", L"LastProfile", profile.c_str()},
    };
    for (const auto& k : keys) EXPECT_EQ(ReadKey(k.section, k.key), k.value) << kvtest::Narrow(k.key);
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW(dir.file(L"TS*.txt").c_str(), &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE) << "no trace file";
    ::FindClose(find);
    const std::string bytes = kvtest::ReadBytes(dir.file(found.cFileName));
    const std::wstring lines(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_NE(lines.find(L"***** TRACE STOPPED *****"), std::wstring::npos);
    EXPECT_NE(lines.find(L"***** TRACE SERVER SHUT DOWN *****"), std::wstring::npos) << "written at the session's end";
    EXPECT_EQ(lines.find(L"SYSTEM TIME CHANGED"), std::wstring::npos);
}

// A flood from threads of the host process while the window paints.
TEST(WindowFlood, DirectPathFloodWhilePaintingNeitherCrashesNorDeadlocks) {
    kvtest::TempDir dir;
    WindowProcess win(dir.path(), {L"ListView", L"MaxEntries", L"2000", L"ListView", L"MaxDelete", L"300"}, L"flood_host");
    ASSERT_NE(win.window, nullptr);
    ::SetWindowPos(win.window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    const ULONGLONG end = ::GetTickCount64() + 4000;
    for (int answered = 0; ::GetTickCount64() < end; ++answered) {
        ::RedrawWindow(win.main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE);
        ::RedrawWindow(win.filter, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE);
        ::PostMessageW(win.main, WM_KEYDOWN, (answered % 2) ? VK_PRIOR : VK_NEXT, 0);
        DWORD_PTR r;
        ASSERT_TRUE(::SendMessageTimeoutW(win.window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &r)) << "the window answers";
        kvtest::PumpPending();
    }
    // Once the flood is over the rows settle below the limit and the status shows them.
    EXPECT_TRUE(kvtest::PumpUntil([&] {
        const int rows = win.Rows(win.main);
        return rows > 0 && rows <= 2000 && TextOf(win.Field(0)) == std::to_wstring(rows) + L" / 2000";
    }, 120000)) << win.Rows(win.main) << " " << kvtest::Narrow(TextOf(win.Field(0)));
    const kvtest::ProcessResult r = win.Close();
    EXPECT_TRUE(r.finished && r.exitCode == 0) << "the host ends and did not crash";
}

}  // namespace

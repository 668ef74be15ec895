// The trace window through the real DLL, driven as a user would and read back through the platform, the screen
// and the trace file; each window lives in a helper process, as the instance marker lives with its process.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include "client/region.h"
#include "client/traceapi.h"
#include "kvtest.h"

namespace {

using Longs = std::vector<LONG>;
using Sets = std::vector<std::set<COLORREF>>;
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
    return Send(h, WM_GETTEXT, ARRAYSIZE(buf), reinterpret_cast<LPARAM>(buf)), buf;
}
bool WindowUp() { return ::FindWindowW(kClass, nullptr) != nullptr; }
// Lines sent as the library sends its debug viewer's lines to its own trace window: one send, each line its own
// level. The window's answer: the lines it took.
LRESULT SendBatch(HWND window, short handle, std::initializer_list<short> levels, const wchar_t* text) {
    HANDLE slot = ::OpenMutexW(SYNCHRONIZE, FALSE, L"traceapi_dll_curdatamutex");
    ::WaitForSingleObject(slot, 10000);
    auto* region = reinterpret_cast<kv::SharedRegion*>(reinterpret_cast<char*>(traceapi_GetTraceApp(0)) - offsetof(kv::SharedRegion, apps));
    region->batchCount = 0;
    for (short level : levels) {
        kv::BatchLine& line = region->batch[region->batchCount++];
        line = {handle, level, ::GetCurrentThreadId()};
        wcscpy(line.func, L"Pumping"), wcscpy(line.text, text);
    }
    const LRESULT taken = Send(window, kv::kTraceOutputBatch);
    return ::ReleaseMutex(slot), ::CloseHandle(slot), taken;
}
RECT RectIn(HWND h, HWND parent) {  // a window rectangle in the client coordinates of parent
    RECT r = {};
    ::GetWindowRect(h, &r);
    ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}
// The daily trace file of dir (its name in name) as text.
std::wstring TraceFile(const std::wstring& dir, std::wstring* name = nullptr) {
    WIN32_FIND_DATAW fd;
    const HANDLE find = ::FindFirstFileW((dir + L"\\TS*.txt").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return L"";
    ::FindClose(find);
    if (name) *name = dir + L"\\" + fd.cFileName;
    const std::string bytes = kvtest::ReadBytes(dir + L"\\" + fd.cFileName);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
}

// Opens the trace window (args[0]: the profile) and waits until it is asked to close; 3 when none opened.
KVTEST_HELPER(host) {
    HWND w = traceapi_CreateWnd(0, nullptr, 1, args.empty() ? nullptr : args[0].c_str());
    return traceapi_DestroyWnd(), traceapi_DestroyWnd(), w ? 0 : 3;
}
// Opens the window without waiting and tells it of a clock change before its first tick; with "flood"
// floods its direct path from three threads of this process.
KVTEST_HELPER(early_host) {
    traceapi_CreateWnd(0, nullptr, 0, nullptr);
    HWND w = nullptr;
    if (!kvtest::PumpUntil([&w] { return (w = ::FindWindowW(kClass, nullptr)) != nullptr; }, 30000)) return 10;
    ::SendMessageW(w, WM_TIMECHANGE, 0, 0);
    std::vector<std::thread> threads;
    for (int t = 0; !args.empty() && t < 3; ++t)
        threads.emplace_back([t] {
            for (int n = 0; n < 4000; ++n)
                traceapi_Output2(0, static_cast<short>(10 * (1 + n % 4)), L"Flood", L"thread %d line %d MARKME FILTERME", t, n);
        });
    kvtest::PumpUntil([] { return !WindowUp(); }, 300000);
    for (auto& t : threads) t.join();
    return traceapi_DestroyWnd(), 0;
}
// Registers "Quitter", switches its diagnose and warning levels on and ends without unregistering.
KVTEST_HELPER(quitter) {
    const short h = traceapi_Register(L"Quitter", nullptr, FALSE);
    return traceapi_SetEnableDiag(h, 1), traceapi_SetEnableWarn(h, 1), h > 0 ? 0 : 1;
}
const char kBaseSettings[] =
    "[Global]\r\nEnableTrace=1\r\nEnableFile=1\r\nHistoryDays=7\r\nTopMost=1\r\n"
    "Left=12\r\nTop=34\r\nRight=1012\r\nBottom=654\r\nFilterListPart=4\r\n"
    "[ListView]\r\nMaxEntries=10000\r\nMaxDelete=100\r\nAutoScroll=1\r\nCol5=300\r\n"
    "[Filter]\r\nHighlightFilter=MARKME\r\nMarkHighlight=1\r\nSpecialFilter=FILTERME;CLEARED\r\n"
    "[RivivEda]\r\nEnableDiag=0\r\nEnableInfo=0\r\nEnableWarning=0\r\nEnableError=0\r\n";

struct WindowProcess {
    // overrides: section, key, value triples written over the base settings.
    explicit WindowProcess(const std::wstring& fileDir, const std::vector<const wchar_t*>& overrides = {},
                           const std::vector<std::wstring>& helper = {L"host"}) {
        ::DeleteFileW(SettingsFile().c_str());
        kvtest::WriteBytes(SettingsFile(), kBaseSettings);
        ::WritePrivateProfileStringW(L"Global", L"FileDir", fileDir.c_str(), SettingsFile().c_str());
        for (size_t i = 0; i + 2 < overrides.size(); i += 3)
            ::WritePrivateProfileStringW(overrides[i], overrides[i + 1], overrides[i + 2], SettingsFile().c_str());
        process = kvtest::StartHelper(helper[0], {helper.begin() + 1, helper.end()});
        kvtest::PumpUntil([this] {
            window = ::FindWindowW(kClass, nullptr);
            return window && ::IsWindowVisible(window) && Send(window, WM_NULL) == 0 && TextOf(Field(3)).size() > 0;
        }, 60000);
        main = ::FindWindowExW(window, nullptr, WC_LISTVIEWW, kClass);
        filter = ::FindWindowExW(window, nullptr, WC_LISTVIEWW, L"RIVIVEDA FILTER");
    }
    ~WindowProcess() { Close(); }
    HWND Bar() const { return ::FindWindowExW(window, nullptr, L"StatusClass", nullptr); }
    HWND Field(int i) const { return ::GetDlgItem(Bar(), 4 + i); }
    HWND Control(int id) const { return ::GetDlgItem(window, id); }
    int Rows(HWND list) const { return static_cast<int>(Send(list, LVM_GETITEMCOUNT)); }
    // Alt+F4, a system key the window leaves to default processing; the host must end by itself with 0.
    kvtest::ProcessResult Close() {
        if (!process) return {};
        if (window) ::PostMessageW(window, WM_SYSKEYDOWN, VK_F4, 1 | (0x3E << 16) | (1 << 29));
        return kvtest::WaitPumping(std::exchange(process, nullptr), 60000);
    }
    HANDLE process = nullptr;
    HWND window = nullptr, main = nullptr, filter = nullptr;
};

// Inks and grounds as the operator sees them (0x00BBGGRR).
const COLORREF kRed = RGB(255, 0, 0), kBlue = RGB(0, 0, 255), kGrey = RGB(127, 127, 127), kGreen = RGB(0, 125, 0),
               kDarkBlue = RGB(0, 0, 125), kBlack = 0, kFrame = RGB(0, 0, 127), kHighlight = 0x009BFFFF,
               kMarkCell = RGB(128, 255, 255), kLinked = RGB(235, 235, 235), kOrphan = RGB(205, 205, 205);
const std::set<COLORREF> kInks = {kRed, kBlue, kGrey, kGreen, kDarkBlue, kBlack, kFrame}, kMainGrounds = {kHighlight, kMarkCell},
                         kFilterGrounds = {kHighlight, kLinked, kOrphan, kMarkCell};

// The first count rows of another process's list as the screen shows them: inks and grounds in each row's
// rectangle and its middle, in client coordinates.
struct Band { std::set<COLORREF> inks, grounds; int middle; };
std::vector<Band> RowsOf(HWND list, int count, const std::set<COLORREF>& grounds = kMainGrounds) {
    RECT r;
    POINT at = {0, 0};
    ::GetClientRect(list, &r), ::ClientToScreen(list, &at);
    // The first rows follow the header, each as high as the view's estimate grows with one more row.
    const int top = RectIn(::FindWindowExW(list, nullptr, WC_HEADERW, nullptr), list).bottom;
    const int height = HIWORD(Send(list, LVM_APPROXIMATEVIEWRECT, 2, MAKELPARAM(-1, -1))) -
                       HIWORD(Send(list, LVM_APPROXIMATEVIEWRECT, 1, MAKELPARAM(-1, -1)));
    BITMAPINFO bi = {};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), r.right, -r.bottom, 1, 32, BI_RGB};
    void* bits = nullptr;
    HDC screen = ::GetDC(nullptr), mem = ::CreateCompatibleDC(screen);
    HBITMAP dib = ::CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(mem, dib);
    ::BitBlt(mem, 0, 0, r.right, r.bottom, screen, at.x, at.y, SRCCOPY);
    ::GdiFlush();
    std::vector<Band> rows;
    for (int row = 0; bits && row < count; ++row) {
        Band band = {{}, {}, top + row * height + height / 2};
        for (int y = top + row * height; y < std::min<int>(r.bottom, top + (row + 1) * height); ++y)
            for (int x = 0; x < r.right; ++x) {
                const DWORD p = static_cast<const DWORD*>(bits)[y * r.right + x];
                const COLORREF c = RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
                if (kInks.count(c)) band.inks.insert(c);
                if (grounds.count(c)) band.grounds.insert(c);
            }
        rows.push_back(band);
    }
    ::SelectObject(mem, old), ::DeleteObject(dib), ::DeleteDC(mem), ::ReleaseDC(nullptr, screen);
    return rows;
}
Sets InksOf(const std::vector<Band>& rows, bool grounds = false) {
    Sets out;
    for (const Band& b : rows) out.push_back(grounds ? b.grounds : b.inks);
    return out;
}

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
    // Empties the lists with the Clear button ("LIST CLEARED" remains) and emits count lines.
    static bool ClearAndEmit(int count, short level, const wchar_t* text) {
        Send(win_->Control(kIdClear), BM_CLICK);
        kvtest::PumpUntil([] { return win_->Rows(win_->main) <= 1; });
        for (int i = 0; i < count; ++i) traceapi_Output(handle_, level, L"Pumping", text);
        return kvtest::PumpUntil([count] { return win_->Rows(win_->main) >= count + 1; });
    }
    static void Paint() {  // the window on top of everything, painted
        ::SetWindowPos(win_->window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        ::RedrawWindow(win_->window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Send(win_->window, WM_NULL);
    }
    // A click into a list, and its outcome: the row selected in selects and the list focused.
    static bool Click(HWND list, int y, HWND selects, int row) {
        ::PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(200, y));
        ::PostMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(200, y));
        return kvtest::PumpUntil([=] {
            return Send(selects, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED) == row && kvtest::FocusOf(list) == list;
        });
    }
    static kvtest::TempDir* dir_;
    static WindowProcess* win_;
    static short handle_;
};
kvtest::TempDir* TraceWindowTest::dir_;
WindowProcess* TraceWindowTest::win_;
short TraceWindowTest::handle_;

// On every activation the keyboard works without a click; a typed letter keeps the selection.
TEST_F(TraceWindowTest, ClientLinesStatusFieldsAndTheKeyboard) {
    traceapi_SetEnableWarn(handle_, 1), traceapi_SetEnableErr(handle_, 1);
    ASSERT_TRUE(ClearAndEmit(30, 20, L"a line")) << win_->Rows(win_->main);
    EXPECT_EQ(TextOf(win_->Field(3)) + L"|" + TextOf(win_->Field(1)), L"Profile: USER|") << "no row selected";
    kvtest::RecordingWindow other({});
    auto activate = [&other] {  // from another window, hidden again at once: a late notice of its focus takes nothing back
        const bool away = (::ShowWindow(other.hwnd(), SW_SHOW), kvtest::BringToFront(other.hwnd()));
        return ::ShowWindow(other.hwnd(), SW_HIDE), away && kvtest::BringToFront(win_->window);
    };
    ASSERT_TRUE(activate());
    const std::pair<std::vector<WORD>, const wchar_t*> steps[] = {
        {{VK_HOME}, L"1 [0000]"}, {std::vector<WORD>(16, VK_DOWN), L"17 [0011]"}, {{'L', VK_UP}, L"16 [0011]"}, {{VK_END}, L"31 [0011]"}};
    for (const auto& [keys, field] : steps) {
        for (WORD key : keys) kvtest::Press(key);
        EXPECT_TRUE(kvtest::PumpUntil([&] { return TextOf(win_->Field(1)) == field; })) << kvtest::Narrow(TextOf(win_->Field(1)));
    }
    std::wstring file, shown;  // the whole bar once the file is closed, a second after the last line
    TraceFile(dir_->path(), &file);
    EXPECT_TRUE(kvtest::PumpUntil([&] { return TextOf(win_->Field(2)) == L"File: " + file + L" (max:7)"; }));
    for (int i = 0; i < 5; ++i) shown += TextOf(win_->Field(i)).substr(0, i == 4 ? 11 : 999) + L"|";
    EXPECT_EQ(shown, L"31 / 10000|31 [0011]|File: " + file + L" (max:7)|Profile: USER|KV-Client  |");
    kvtest::Press(VK_TAB);  // Tab, and an activation goes back to the list used last
    EXPECT_TRUE(kvtest::PumpUntil([] { return kvtest::FocusOf(win_->window) == win_->filter; })) << "Tab";
    ASSERT_TRUE(activate());
    EXPECT_TRUE(kvtest::PumpUntil([] { return kvtest::FocusOf(win_->window) == win_->filter; })) << "activation";
    for (int on : {0, 1}) {
        kvtest::Press('T', {VK_CONTROL});
        EXPECT_TRUE(kvtest::PumpUntil([on] { return traceapi_GetEnable() == on; })) << "Ctrl+T";
    }
    EXPECT_TRUE(kvtest::PumpUntil([] {
        const std::wstring text = TraceFile(dir_->path());
        const size_t on = text.rfind(L"***** TRACE STARTED *****");
        return on != std::wstring::npos && text.find(L"Global settings 1:", on) != std::wstring::npos;
    }, 5000)) << "tracing on again lists the settings";
}

// Each button flips its switch, check and settings key; All Off chooses the server entry; operator lines in the file.
TEST_F(TraceWindowTest, ToolBarButtonsSwitchesSettingsAndTraceFile) {
    HWND apps = win_->Control(kIdAppList);
    const TRACEAPP* app = traceapi_GetTraceApp(handle_);
    const std::wstring entry = std::wstring(app->szProcess) + L" - PUMP", section = app->szSection;
    Send(apps, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(entry.c_str()));
    Send(win_->window, WM_COMMAND, MAKEWPARAM(kIdAppList, CBN_SELCHANGE), reinterpret_cast<LPARAM>(apps));
    struct Case { int id; int (*read)(); const wchar_t* key; };
    static const Case cases[] = {
        {kIdTrace, [] { return traceapi_GetEnable() ? 1 : 0; }, nullptr},
        {kIdDiag, [] { return traceapi_GetEnableDiag(handle_); }, L"EnableDiag"},
        {kIdInfo, [] { return traceapi_GetEnableInf(handle_); }, L"EnableInfo"},
        {kIdWarning, [] { return traceapi_GetEnableWarn(handle_); }, L"EnableWarning"},
        {kIdError, [] { return traceapi_GetEnableErr(handle_); }, L"EnableError"},
        {kIdOnTop, [] { return (::GetWindowLongW(win_->window, GWL_EXSTYLE) & WS_EX_TOPMOST) ? 1 : 0; }, nullptr},
        {kIdScroll, [] { return Send(win_->Control(kIdScroll), BM_GETCHECK) == BST_CHECKED ? 1 : 0; }, nullptr},
        {kIdFile, [] { return Send(win_->Control(kIdFile), BM_GETCHECK) == BST_CHECKED ? 1 : 0; }, nullptr},
    };
    for (const Case& c : cases)
        for (int round = 0; round < 2; ++round) {
            const int after = c.read() ? 0 : 1;
            Send(win_->Control(c.id), BM_CLICK);
            EXPECT_EQ(std::to_wstring(c.read()) + std::to_wstring(Send(win_->Control(c.id), BM_GETCHECK)) +
                          (c.key ? ReadKey(section.c_str(), c.key) : std::to_wstring(after)),
                      std::wstring(3, static_cast<wchar_t>(L'0' + after))) << "button " << c.id << " round " << round;
        }
    traceapi_SetEnableInf(handle_, 1);
    Send(win_->Control(kIdAllOff), BM_CLICK);
    EXPECT_EQ(std::to_wstring(traceapi_GetEnableInf(handle_)) + ReadKey(section.c_str(), L"EnableInfo") +
                  std::to_wstring(Send(win_->Control(kIdInfo), BM_GETCHECK)), L"000");
    Send(win_->Control(kIdWarning), BM_CLICK);
    EXPECT_EQ(std::to_wstring(traceapi_GetEnableWarn(handle_) + traceapi_GetEnableWarn(0)) + ReadKey(section.c_str(), L"EnableWarning"),
              L"21") << "All Off chose the server entry, which switches and writes every application";
    Send(win_->Control(kIdWarning), BM_CLICK);
    EXPECT_EQ(traceapi_GetEnableWarn(handle_), 0);
    for (std::wstring line : {L"***** TRACE STOPPED *****|", L"***** AllOff *****|", L"***** TRACE TO FILE OFF *****|", L"***** TRACE TO FILE '"})
        EXPECT_TRUE(kvtest::PumpUntil([&] {  // each with the operator's tag
            const std::wstring text = TraceFile(dir_->path());
            const size_t at = text.find(L"|tracewnd_OnCommand|" + line), start = text.rfind(L'\n', at);
            return at != std::wstring::npos && text.find(L"|OPR |", start) < at;
        }, 5000)) << kvtest::Narrow(line);
    // A client that changed its switches and ended without unregistering: the check for ended processes keeps them.
    ASSERT_EQ(kvtest::RunHelper(L"quitter").exitCode, 0u);
    EXPECT_TRUE(kvtest::PumpUntil([] {
        std::wstring kept;
        for (const wchar_t* key : {L"EnableDiag", L"EnableInfo", L"EnableWarning", L"EnableError"}) kept += ReadKey(L"WINDOW_TEST_Quitter", key);
        return kept == L"1010";
    }, 20000)) << kvtest::Narrow(ReadKey(L"WINDOW_TEST_Quitter", L"EnableDiag"));
}

// The window where the settings put it; where every control sits 1000 wide; the column width the settings hold.
TEST_F(TraceWindowTest, LayoutFollowsTheClientSize) {
    const RECT placed = RectIn(win_->window, nullptr);
    EXPECT_EQ((Longs{placed.left, placed.top, placed.right, placed.bottom}), (Longs{12, 34, 1012, 654})) << "as stored";
    RECT want = {0, 0, 1000, 600}, client;
    ::AdjustWindowRectEx(&want, WS_OVERLAPPEDWINDOW, FALSE, 0);
    ::SetWindowPos(win_->window, nullptr, 0, 0, want.right - want.left, want.bottom - want.top, SWP_NOMOVE | SWP_NOZORDER);
    ::GetClientRect(win_->window, &client);
    ASSERT_EQ(client.right, 1000) << "the window could not be sized";
    Longs spans;  // left and width of tool bar controls and status fields
    for (HWND h : {win_->Control(kIdOnTop), win_->Control(kIdTrace), win_->Control(kIdAllOff), win_->Control(kIdAppList),
                   win_->Control(kIdDiag), win_->Control(kIdError), win_->Field(0), win_->Field(1), win_->Field(4)}) {
        const RECT r = RectIn(h, win_->window);
        spans.insert(spans.end(), {r.left, r.right - r.left});
    }
    EXPECT_EQ(spans, (Longs{0, 24, 24, 77, 332, 77, 409, 275, 684, 77, 915, 85, 3, 95, 104, 87, 821, 173}));
    const RECT f = RectIn(win_->filter, win_->window), m = RectIn(win_->main, win_->window), bar = RectIn(win_->Bar(), win_->window);
    const RECT field = RectIn(win_->Field(1), win_->window);
    EXPECT_EQ((Longs{client.bottom - 24, client.bottom / 4, f.top, 1000, m.top, client.bottom - 24, 1000, 3, 20, 300}),
              (Longs{f.bottom, f.bottom - f.top, m.bottom, m.right, RectIn(win_->Control(kIdTrace), win_->window).bottom,
                     bar.top, bar.right, field.top - bar.top, field.bottom - field.top, Send(win_->main, LVM_GETCOLUMNWIDTH, 5)}));
    ::SetWindowPos(win_->window, nullptr, 0, 0, 1000, 620, SWP_NOMOVE | SWP_NOZORDER);
}

// Rows in their inks and grounds, the selected one framed as its list's focus says; a click on a copy selects
// its row, a click on the main list leaves the copy.
TEST_F(TraceWindowTest, RowsByInkGroundAndMark) {
    for (auto set : {traceapi_SetEnableDiag, traceapi_SetEnableInf, traceapi_SetEnableWarn, traceapi_SetEnableErr}) set(handle_, 1);
    ClearAndEmit(0, 0, L"");  // "LIST CLEARED" in operator green
    EXPECT_EQ(SendBatch(win_->window, handle_, {10, 20, 40, -1, 0}, L"WWWWWWWWWWWWWWWWWWWWWWWW"), 5);
    traceapi_Output(handle_, 30, L"Pumping", L"WWWWWWWW MARKME FILTERME");
    traceapi_Output(handle_, 30, L"Pumping", L"WWWWWWWW FILTERME");
    ASSERT_TRUE(kvtest::PumpUntil([] {
        return win_->Rows(win_->main) == 8 && win_->Rows(win_->filter) == 3 && ::IsWindowVisible(win_->filter);
    })) << win_->Rows(win_->main) << " " << win_->Rows(win_->filter);
    ASSERT_TRUE(Click(win_->main, RowsOf(win_->main, 2)[1].middle, win_->main, 1));
    Paint();
    const std::vector<Band> main = RowsOf(win_->main, 8), filter = RowsOf(win_->filter, 3, kFilterGrounds);
    EXPECT_EQ(InksOf(main), (Sets{{kGreen}, {kRed, kFrame}, {kBlue}, {kGrey}, {kGreen}, {kDarkBlue}, {kBlack}, {kBlack}}))
        << "rows in their inks, the selected one framed";
    EXPECT_EQ(InksOf(main, true), (Sets{{}, {}, {}, {}, {}, {}, {kHighlight, kMarkCell}, {}}));
    EXPECT_EQ(InksOf(filter), (Sets{{kGreen}, {kBlack}, {kBlack}}));
    EXPECT_EQ(InksOf(filter, true), (Sets{{kLinked}, {kHighlight}, {kLinked}})) << "the first a copy of row 0";
    // The copy of the marked row: its row selected, framed grey while the filter list has the focus.
    EXPECT_TRUE(Click(win_->filter, filter[1].middle, win_->main, 6));
    Paint();
    EXPECT_EQ(RowsOf(win_->main, 7)[6].inks, (std::set<COLORREF>{kBlack, kGrey}));
    EXPECT_TRUE(Click(win_->main, main[2].middle, win_->main, 2));
    EXPECT_TRUE(kvtest::PumpUntil([] { return Send(win_->filter, LVM_GETSELECTEDCOUNT) == 0; }));
}

// Keys, menus and the double click open their windows on the window thread, opened and closed by posted messages
// only their loops take. The menu comes first: a window that has just lost the focus to a dialog of its own is told
// so (WM_CANCELMODE) a moment after the dialog closed, and that ends any menu open by then.
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
    auto escape = [](HWND to) { ::PostMessageW(to, WM_KEYDOWN, VK_ESCAPE, 0); };
    struct Case { const char* what; std::function<void(HWND)> open; const wchar_t *cls, *caption; std::function<void(HWND)> close; };
    const Case cases[] = {
        {"the context menu", [main](HWND) { ::PostMessageW(main, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(main), MAKELPARAM(300, 200)); },
         L"#32768", nullptr, escape},
        {"F3 without a find text, Escape", press(VK_F3), L"#32770", nullptr, [main, escape](HWND) { escape(main); }},
        {"Alt+F3, Find Next: a hit closes the dialog", press(VK_F3, {VK_MENU}), L"#32770", nullptr, [](HWND dialog) {
             Send(::GetDlgItem(dialog, 0x480), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"to find"));
             ::PostMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
         }},
        {"double click, Cancel", [main](HWND) { ::PostMessageW(main, WM_LBUTTONDBLCLK, 0, MAKELPARAM(100, 100)); }, L"#32770",
         L"VANTORA Trelvan Trace Server: Settings", [](HWND dialog) { ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); }},
    };
    Click(main, 30, main, 0);  // the focus back from the Clear button; it stays on the list while the windows come and go
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(kvtest::PumpUntil([&] {  // asked again while the last window's deactivation still comes in
            if (::GetForegroundWindow() != window) ::SetForegroundWindow(window);
            return ::GetForegroundWindow() == window && kvtest::FocusOf(window) == main;
        })) << "the window in front, its list focused";
        c.open(main);
        HWND found = nullptr;
        ASSERT_TRUE(kvtest::PumpUntil([&] { return (found = shown(c.cls, c.caption)) != nullptr; })) << "opens";
        EXPECT_TRUE(wcscmp(c.cls, L"#32770") || ::GetWindow(found, GW_OWNER) == window);
        c.close(found);
        ASSERT_TRUE(kvtest::PumpUntil([&] { return !::IsWindow(found); })) << "closes";
    }
}

// Delete Current Trace File asks first; the server entry's line count starts again with the new file.
TEST_F(TraceWindowTest, DeleteCurrentTraceFile) {
    ASSERT_TRUE(ClearAndEmit(1, 30, L"before the delete"));
    std::wstring file;
    ASSERT_TRUE(kvtest::PumpUntil([&] { return TraceFile(dir_->path(), &file).find(L"before the delete") != std::wstring::npos; }, 10000))
        << "the stream is closed within a second";
    traceapi_SetEnable(0);  // the menu deletes only while tracing is off
    for (WPARAM answer : {IDCANCEL, IDOK}) {  // Cancel keeps the file
        ::PostMessageW(win_->window, WM_COMMAND, 32776, 0);
        HWND box = nullptr;
        ASSERT_TRUE(kvtest::PumpUntil([&] { return (box = ::FindWindowW(L"#32770", kClass)) && ::GetWindow(box, GW_OWNER) == win_->window; }));
        ::PostMessageW(box, WM_COMMAND, answer, 0);
        EXPECT_TRUE(kvtest::PumpUntil([&] {
            return !::IsWindow(box) && (TraceFile(dir_->path()).find(L"before the delete") != std::wstring::npos) == (answer == IDCANCEL);
        }));
    }
    traceapi_SetEnable(1);
    traceapi_Output(handle_, 30, L"Pumping", L"after the delete");
    EXPECT_TRUE(kvtest::PumpUntil([&] {
        const std::wstring text = TraceFile(dir_->path());
        return text.find(L"Trace file '" + file + L"' deleted") != std::wstring::npos && text.find(L"after the delete") != std::wstring::npos &&
               static_cast<DWORD>(std::count(text.begin(), text.end(), L'\n')) == traceapi_GetTraceApp(0)->dwLineCount;
    }, 30000)) << traceapi_GetTraceApp(0)->dwLineCount << kvtest::Narrow(TraceFile(dir_->path()));
}

// A sender that ended inside its send (a crash, a kill) left its message queued while the next sender filled the slot:
// a message that does not match the slot files no line twice, adds or removes no application, and is counted.
TEST_F(TraceWindowTest, AMessageThatDoesNotMatchTheSlotIsNotTheSlots) {
    ASSERT_TRUE(ClearAndEmit(1, 30, L"the slot's own line"));
    const WPARAM other = static_cast<WPARAM>(handle_ + 1);
    const std::pair<UINT, WPARAM> stale[] = {{WM_TRACE_OUTPUT, other}, {WM_TRACE_OUTPUT, handle_}, {WM_TRACE_REGISTER, other},
                                             {WM_TRACE_UNREGISTER, other}};
    std::vector<LRESULT> apps;
    for (const auto& [msg, wp] : stale)  // the slot holds the line at level 30; these come at level 20
        Send(win_->window, msg, wp, msg == WM_TRACE_OUTPUT ? 20 : 0), apps.push_back(Send(win_->Control(kIdAppList), CB_GETCOUNT));
    EXPECT_EQ(apps, std::vector<LRESULT>(4, apps[0]));
    traceapi_Output(handle_, 30, L"Pumping", L"the next line");
    EXPECT_TRUE(kvtest::PumpUntil([] {
        const std::wstring text = TraceFile(dir_->path());
        const size_t first = text.find(L"|the slot's own line|"), next = text.find(L"|the next line|");
        return first != std::wstring::npos && next > first && text.find(L"|the slot's own line|", first + 1) == std::wstring::npos &&
               text.find(L"|***** 2 trace message(s) could not be delivered *****|", next) != std::wstring::npos;
    }, 10000)) << kvtest::Narrow(TraceFile(dir_->path()).substr(TraceFile(dir_->path()).rfind(L"LIST CLEARED")));
}

// A second host restores the window saved minimized and hands it its profile. Logoff ends the process after
// WM_ENDSESSION: the day's changes and last lines are kept. A clock change before the first tick is no jump.
TEST(WindowLifecycle, SecondHostsProfileAndSessionEnd) {
    kvtest::TempDir dir;
    WindowProcess win(dir.path(), {L"Global", L"Iconic", L"1"}, {L"early_host"});
    ASSERT_TRUE(win.window && ::IsIconic(win.window));
    const std::wstring profile = dir.file(L"night.pfl");
    kvtest::WriteBytes(profile, "[Global]\r\nMode=0\r\nEnableTrace=1\r\n[Filter]\r\nIncludeFilter=NIGHT\r\nSpecialFilter=FILTERME\r\n");
    const kvtest::ProcessResult second = kvtest::RunHelper(L"host", {L"\"" + profile + L"\""}, 30000);
    EXPECT_TRUE(second.finished && second.exitCode == 3) << "the second host returns at once without a window";
    EXPECT_TRUE(kvtest::PumpUntil([&] { return TextOf(win.Field(3)) == L"Profile: " + profile; }, 10000))
        << kvtest::Narrow(TextOf(win.Field(3)));
    EXPECT_FALSE(::IsIconic(win.window)) << "restored";
    EXPECT_NE(TextOf(win.window).find(L"NIGHT"), std::wstring::npos) << "the running window loaded it";
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ::IsWindowVisible(win.filter) != FALSE; })) << "FILTERME shows the filter list";
    auto settled = [&win] {  // two ticks of the clock field: the list counts are up to date
        for (int tick = 0; tick < 2; ++tick) kvtest::PumpUntil([&, clock = TextOf(win.Field(4))] { return TextOf(win.Field(4)) != clock; }, 5000);
        return std::vector<int>{win.Rows(win.main), win.Rows(win.filter)};
    };
    const std::vector<int> before = settled();
    const short night = traceapi_Register(L"Night", nullptr, FALSE);
    traceapi_SetEnableWarn(night, 1), traceapi_SetEnableErr(night, 1);
    for (const wchar_t* text : {L"DAY FILTERME", L"NIGHT FILTERME"}) traceapi_Output(night, 20, L"Pumping", text);
    EXPECT_EQ(settled(), (std::vector<int>{before[0] + 1, before[1] + 1})) << "the profile's filters at work: only the NIGHT line";
    ::SetWindowPos(win.window, nullptr, 40, 30, 900, 560, SWP_NOZORDER | SWP_NOACTIVATE);
    Send(win.main, LVM_SETCOLUMNWIDTH, 5, 333);
    Send(win.window, WM_KEYDOWN, VK_ADD);
    for (int id : {kIdScroll, kIdOnTop, kIdTrace}) Send(win.Control(id), BM_CLICK);
    EXPECT_EQ(Send(win.window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    Send(win.window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    ::TerminateProcess(win.process, 1), ::WaitForSingleObject(win.process, 30000), ::CloseHandle(std::exchange(win.process, nullptr));
    std::wstring saved = ReadKey(L"ListView", L"Col5") + L"|" + ReadKey(L"ListView", L"AutoScroll");
    for (const wchar_t* key : {L"Left", L"Right", L"Bottom", L"FilterListPart", L"TopMost", L"EnableTrace", L"Iconic", L"LastProfile"})
        saved += L"|" + ReadKey(L"Global", key);
    EXPECT_EQ(saved, L"333|0|40|940|590|3|0|0|0|" + profile);
    const std::wstring lines = TraceFile(dir.path());
    for (const wchar_t* line : {L"***** TRACE STOPPED *****", L"***** TRACE SERVER SHUT DOWN *****", L"TraceViewer NOT found"})
        EXPECT_NE(lines.find(line), std::wstring::npos) << kvtest::Narrow(line);
    EXPECT_EQ(lines.find(L"SYSTEM TIME CHANGED"), std::wstring::npos);
}

// A flood from the host's threads into a window saved maximized, off the screen and without size: it
// opens over 0, 0, 500 by 300. A forced unregistration closes it.
TEST(WindowLifecycle, FloodMaximizedAndForcedUnregistration) {
    kvtest::TempDir dir;
    WindowProcess win(dir.path(), {L"ListView", L"MaxEntries", L"2000", L"ListView", L"MaxDelete", L"300", L"Global", L"Left",
                                   L"-40", L"Global", L"Top", L"-30", L"Global", L"Right", L"-100", L"Global", L"Bottom", L"-99",
                                   L"Global", L"Maximized", L"1"},
                      {L"early_host", L"flood"});
    ASSERT_TRUE(win.window && ::IsZoomed(win.window));
    ::ShowWindow(win.window, SW_RESTORE);
    const RECT placed = RectIn(win.window, nullptr);
    EXPECT_EQ((Longs{placed.left, placed.top, placed.right, placed.bottom}), (Longs{0, 0, 500, 300}));
    ::ShowWindow(win.window, SW_MAXIMIZE);
    RECT client;
    ::GetClientRect(win.window, &client);
    EXPECT_TRUE(kvtest::PumpUntil([&] { return ::IsWindowVisible(win.filter) && RectIn(win.filter, win.window).bottom == client.bottom - 24; }))
        << "the layout follows the maximized window";
    EXPECT_TRUE(kvtest::PumpUntil([&] {  // the whole flood is in the file, its rows trimmed in the list
        const int rows = win.Rows(win.main);
        return traceapi_GetTraceApp(0)->dwLineCount >= 12000 && rows > 0 && rows <= 2000 &&
               TextOf(win.Field(0)) == std::to_wstring(rows) + L" / 2000";
    }, 120000)) << win.Rows(win.main) << " " << kvtest::Narrow(TextOf(win.Field(0)));
    traceapi_Unregister(traceapi_Register(L"Closer", nullptr, FALSE), TRUE);
    const kvtest::ProcessResult r = kvtest::WaitPumping(std::exchange(win.process, nullptr), 30000);
    EXPECT_TRUE(r.finished && r.exitCode == 0 && !WindowUp()) << "the window closed as the client asked, the host did not crash";
    EXPECT_EQ(ReadKey(L"Global", L"Maximized") + ReadKey(L"Global", L"Right") + ReadKey(L"Global", L"Bottom"), L"1-100-99")
        << "the settings were saved before the host ended, with the placement from before";
}

}  // namespace

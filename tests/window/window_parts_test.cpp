// The trace window's arithmetic and texts without a trace window: tool bar layout, the
// quarter-page reveal, the status field texts, and the status bar control on a plain
// window of this process.
#include <gtest/gtest.h>

#include <string>

#include "kvtest.h"
#include "window/statusbar.h"
#include "window/tracewnd.h"

namespace {

TEST(WindowLayoutArithmetic, ButtonsShareWhatOnTopAndTheApplicationListLeave) {
    struct Case { int width; int button; int rest; int errorsLeft; };
    static const Case cases[] = {
        {1000, 77, 8, 24 + 8 * 77 + 275},  // 1000 - 299 = 701 = 9 * 77 + 8
        {299, 0, 0, 24 + 275},
        {200, -11, 0, 24 - 88 + 275},      // below 299 the buttons vanish
    };
    for (const Case& c : cases) {
        const kv::WindowLayoutRects r = kv::ComputeLayout(c.width, 600, 21, 24, false, 5);
        EXPECT_EQ(r.buttonWidth, c.button) << c.width;
        EXPECT_EQ(r.buttons[8].left, c.errorsLeft) << c.width;
        if (c.width == 1000) {
            EXPECT_EQ(r.buttons[8].right, 1000) << "the Errors button takes the remainder";
            EXPECT_EQ(r.appList.left, 24 + 5 * 77);
            EXPECT_EQ(r.appList.bottom, 210) << "ten bar heights of drop-down";
        }
    }
}

TEST(WindowLayoutArithmetic, FilterListTakesItsPartAboveTheStatusBar) {
    const kv::WindowLayoutRects shown = kv::ComputeLayout(800, 600, 21, 24, true, 4);
    EXPECT_EQ(shown.filterList.top, 600 - 24 - 150);
    EXPECT_EQ(shown.filterList.bottom, 576);
    EXPECT_EQ(shown.mainList.top, 21);
    EXPECT_EQ(shown.mainList.bottom, shown.filterList.top);
    const kv::WindowLayoutRects hidden = kv::ComputeLayout(800, 600, 21, 24, false, 4);
    EXPECT_EQ(hidden.mainList.bottom, 576);
    const kv::WindowLayoutRects zeroPart = kv::ComputeLayout(800, 600, 21, 24, true, 0);
    EXPECT_EQ(zeroPart.filterList.bottom - zeroPart.filterList.top, 120) << "a part of 0 never divides";
}

TEST(WindowReveal, RowComesIntoViewWithAQuarterPageAroundIt) {
    struct Case { int row, top, count, perPage, want; };
    static const Case cases[] = {
        {95, 0, 100, 20, 99},   // beyond the third quarter: a quarter page below, cut at the end
        {50, 40, 100, 20, 50},  // middle half: no scrolling
        {41, 40, 100, 20, 36},  // first quarter: a quarter page above
        {2, 0, 100, 20, 0},     // cut at the start
        {10, 0, 0, 20, 0},      // empty list
    };
    for (const Case& c : cases) EXPECT_EQ(kv::RevealTarget(c.row, c.top, c.count, c.perPage), c.want) << c.row;
}

TEST(WindowStatusTexts, FieldsReadAsTheOperatorExpects) {
    wchar_t out[kv::kStatusFieldChars];
    SYSTEMTIME t = {};
    t.wYear = 2026; t.wMonth = 12; t.wDay = 5; t.wHour = 9; t.wMinute = 25; t.wSecond = 7;
    kv::FormatClockField(out, t, 3);
    EXPECT_STREQ(out, L"KVS 3  05.12.26  09:25:07");
    kv::FormatClockField(out, t, 0);
    EXPECT_STREQ(out, L"KV-Client  05.12.26  09:25:07");
    kv::FormatClockField(out, t, -1);
    EXPECT_STREQ(out, L"KVS 65535  05.12.26  09:25:07") << "the PC number is unsigned";
    kv::FormatCountField(out, 1234, 10000);
    EXPECT_STREQ(out, L"1234 / 10000");
    kv::FormatRowField(out, 16, 0x000C001E);
    EXPECT_STREQ(out, L"17 [0011]");
    kv::FormatRowField(out, -1, 0);
    EXPECT_STREQ(out, L"");
    kv::FormatFileField(out, L"C:\\t\\TS261205.txt", true, true, 7);
    EXPECT_STREQ(out, L"File: C:\\t\\TS261205.txt* (max:7)");
    kv::FormatFileField(out, L"C:\\t\\TS261205.txt", false, true, 7);
    EXPECT_STREQ(out, L"File: C:\\t\\TS261205.txt(!) (max:7)");
    kv::FormatFileField(out, L"C:\\t\\TS261205.txt", false, false, 7);
    EXPECT_STREQ(out, L"File: C:\\t\\TS261205.txt (max:7)");
    kv::FormatProfileField(out, L"");
    EXPECT_STREQ(out, L"Profile: USER");
    kv::FormatProfileField(out, L"C:\\p\\a.pfl");
    EXPECT_STREQ(out, L"Profile: C:\\p\\a.pfl");
}

TEST(WindowStatusTexts, LongPathsKeepTheirFileName) {
    const std::wstring dir = L"C:\\" + std::wstring(200, L'd');
    wchar_t out[kv::kStatusFieldChars];
    kv::FormatFileField(out, (dir + L"\\TS261205.txt").c_str(), true, false, 7);
    std::wstring s = out;
    EXPECT_LE(s.size(), 125u);
    EXPECT_EQ(s.substr(0, 9), L"File: ...");
    EXPECT_EQ(s.substr(s.size() - 22), L"\\TS261205.txt* (max:7)");
    kv::FormatProfileField(out, (dir + L"\\night.pfl").c_str());
    s = out;
    EXPECT_LE(s.size(), 125u);
    EXPECT_EQ(s.substr(s.size() - 10), L"\\night.pfl");
}

TEST(WindowLevelColours, EachLevelHasItsInk) {
    struct Case { short level; COLORREF ink; };
    static const Case cases[] = {{-1, 0x007D00}, {0, 0x7D0000}, {10, 0x0000FF}, {20, 0xFF0000},
                                 {30, 0}, {40, 0x7F7F7F}, {55, 0}};
    for (const Case& c : cases) EXPECT_EQ(kv::LevelColor(c.level), c.ink) << c.level;
}

// The status bar control on a plain parent window of this process.
class StatusBarTest : public ::testing::Test {
protected:
    void SetUp() override {
        static ATOM cls = [] {
            WNDCLASSW wc = {};
            wc.lpfnWndProc = &::DefWindowProcW;
            wc.hInstance = ::GetModuleHandleW(nullptr);
            wc.lpszClassName = L"KvStatusParent";
            return ::RegisterClassW(&wc);
        }();
        (void)cls;
        RECT r = {0, 0, 640, 200};
        ::AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
        parent_ = ::CreateWindowW(L"KvStatusParent", L"p", WS_OVERLAPPEDWINDOW, 0, 0, r.right - r.left, r.bottom - r.top,
                                  nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
        const int weights[5] = {13, 12, 40, 40, 23};
        for (int i = 0; i < 5; ++i) fields_[i].weight = weights[i];
    }
    void TearDown() override { ::DestroyWindow(parent_); }
    HWND parent_ = nullptr;
    StatusField fields_[11] = {};
};

TEST_F(StatusBarTest, FieldsShareTheWidthByWeight) {
    HWND bar = statusbar_Create(parent_, fields_, 5);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(statusbar_Height(), 24);
    RECT pc, br;
    ::GetClientRect(parent_, &pc);
    ASSERT_EQ(pc.right, 640);
    ::GetWindowRect(bar, &br);
    ::MapWindowPoints(nullptr, parent_, reinterpret_cast<POINT*>(&br), 2);
    EXPECT_EQ(br.top, pc.bottom - 24);
    const int widths[5] = {65, 60, 200, 200, 115};
    int x = 0;
    for (int i = 0; i < 5; ++i) {
        RECT f;
        ::GetWindowRect(::GetDlgItem(bar, 4 + i), &f);
        ::MapWindowPoints(nullptr, bar, reinterpret_cast<POINT*>(&f), 2);
        EXPECT_EQ(f.left, x + 3) << i;
        EXPECT_EQ(f.right - f.left, widths[i] - 6) << i;
        EXPECT_EQ(f.top, 3);
        EXPECT_EQ(f.bottom - f.top, 20);
        x += widths[i];
    }
    ::DestroyWindow(bar);
    EXPECT_EQ(statusbar_Height(), 0) << "after the bar is gone";
}

TEST_F(StatusBarTest, SetTextRefusesBadIndexesAndCutsAt128) {
    HWND bar = statusbar_Create(parent_, fields_, 5);
    ASSERT_NE(bar, nullptr);
    struct Case { int index; int result; };
    static const Case cases[] = {{0, 1}, {4, 1}, {5, 0}, {-1, 0}};
    for (const Case& c : cases) EXPECT_EQ(statusbar_SetText(c.index, L"x"), c.result) << c.index;
    const std::wstring text(300, L'a');
    statusbar_SetText(2, text.c_str());
    wchar_t buf[400] = {};
    ::GetWindowTextW(::GetDlgItem(bar, 6), buf, 400);
    EXPECT_EQ(wcslen(buf), 128u);
    EXPECT_EQ(statusbar_Create(parent_, fields_, 11), nullptr) << "more than ten fields are refused";
    EXPECT_EQ(statusbar_Create(parent_, fields_, -1), nullptr);
}

}  // namespace

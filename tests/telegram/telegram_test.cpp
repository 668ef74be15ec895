// Telegram decoder: the box each kind shows, the word reading rules and short texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kvtest.h"
#include "telegram/telegram.h"

namespace {

struct Box { std::wstring text, caption; UINT type; };
std::vector<Box> g_boxes;
int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
    g_boxes.push_back({text, caption, type});
    return IDOK;
}

// The Unit Update example: words 0 to 14 separated by single blanks.
const wchar_t kUnitUpdate[] = L"0D05 0107 0712 1E0A 0F00 0003 0004 0005 0106 0002 0003 0032 00FF 0001 0102";

class TelegramTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_boxes.clear();
        tracewnd_SetTelegramMessageBox(RecordBox);
    }
    void TearDown() override { tracewnd_SetTelegramMessageBox(nullptr); }
    // The box shown for text, or "" when none was.
    static std::wstring Show(const std::wstring& text, std::wstring* caption = nullptr) {
        g_boxes.clear();
        tracewnd_ShowTelegram(text.c_str());
        if (g_boxes.empty()) return L"";
        EXPECT_EQ(1u, g_boxes.size());
        EXPECT_EQ(static_cast<UINT>(MB_OK), g_boxes[0].type);
        if (caption) *caption = g_boxes[0].caption;
        return g_boxes[0].text;
    }
    static std::wstring Header(const wchar_t* pcu = L"05") {
        return std::wstring(L"PCU:\t") + pcu + L"\nDate:\t01.07.07\nTime:\t18:30:10\n";
    }
};

TEST_F(TelegramTest, UnitUpdateVersionFiveAndThree) {
    std::wstring caption;
    EXPECT_EQ(L"Type:\tUnit Update V5\n" + Header() +
                  L"BYear:\t15\nRecType:\t00\nRecipe:\t03\nOrder:\t04\nBatch:\t05\nSequ:\t01\nStepOld:\t02\n"
                  L"StepNew:\t03\nEOP:\t05\nStat0:\t00FF\nStat2:\t0001\nSync/Alt:\t01\nAltErg:\t02\n",
              Show(kUnitUpdate, &caption));
    EXPECT_EQ(L"Tele Encoder: Type 13", caption);

    std::wstring v3 = kUnitUpdate;
    v3.replace(40, 4, L"0006");
    const std::wstring shown = Show(v3);
    EXPECT_NE(std::wstring::npos, shown.find(L"Unit Update V3\n")) << shown;
    EXPECT_NE(std::wstring::npos, shown.find(L"\nSequ:\t06\n")) << shown;
}

TEST_F(TelegramTest, KindsShowTheirFields) {
    // Words 4 to 14 of one telegram, the type byte varied; Recipe FFFF prints in full.
    const std::wstring tail = L" 0107 0712 1E0A 0F00 FFFF 0004 0005 0106 0002 0003 0032 00FF 0001 0102";
    const std::wstring shared = L"BYear:\t15\nRecType:\t00\nRecipe:\t65535\nOrder:\t04\nBatch:\t05\n";
    struct Case { const wchar_t* word0; std::wstring expected; };
    const Case cases[] = {
        {L"0305", L"Type:\tAlarm Tele\n" + Header() + shared +
                      L"MldT:\t262\nMldN:\t02\nSysT:\t03\nSequ:\t50\n"},
        {L"0505", L"Type:\tStep Tele\n" + Header() + shared + L"Sequ:\t262\n"},
        {L"0805", L"Type:\tRecipe Request\n" + Header() + shared + L"Sequ:\t262\n"},
        {L"0905", L"Type:\tCAS Update\n" + Header() + shared +
                      L"Sequ:\t262\nStartMd:\t02\nStartTm:\t"},
        {L"0105", L"Type:\t01\n" + Header()},
        {L"0E05", L"Type:\t14\n" + Header()},
        {L"8005", L"Type:\t128\n" + Header()},
    };
    for (const Case& c : cases) {
        const std::wstring shown = Show(c.word0 + tail);
        // CAS Update: compared up to its StartTm field, whose forms are checked below.
        const bool prefix = c.expected.back() == L'\t';
        EXPECT_EQ(c.expected, prefix ? shown.substr(0, c.expected.size()) : shown) << kvtest::Narrow(c.word0);
    }
}

TEST_F(TelegramTest, CasUpdateStartTimeAndTail) {
    const std::wstring head = L"0905 0107 0712 1E0A 0F00 0003 0004 0005 0106 0002 ";
    struct Case { const wchar_t* words; const wchar_t* expected; };
    const Case cases[] = {
        {L"0000 0000 ABCD 0007 FFFF", L"StartTm:\t-\nCTRL:\tABCD\nMsg:\t07\nRecord:\t65535"},
        {L"4000 0000 000A 0001 0002", L"StartTm:\tSat Jan 10 13:37:04 2004\nCTRL:\t000A\nMsg:\t01\nRecord:\t2"},
        {L"8000 0000 0000 0000 0000", L"StartTm:\t-\n"},  // negative as a signed 32-bit time
    };
    for (const Case& c : cases) {
        const std::wstring shown = Show(head + c.words);
        const size_t at = shown.find(L"StartTm:");
        ASSERT_NE(std::wstring::npos, at) << c.words;
        EXPECT_EQ(std::wstring(c.expected), shown.substr(at, wcslen(c.expected))) << c.words;
    }
}

TEST_F(TelegramTest, TypeAndNothingShown) {
    struct Case { const wchar_t* text; short type; bool shown; };
    const Case cases[] = {
        {L"FF01 0000", 255, false},  // offered by the menu, shown by nobody
        {L"0001 0000", 0, false},
        {L"hello world", 0, false},
        {L"", 0, false},
        {L" 0D05", 13, true},        // leading blanks skipped by the conversion
        {L"0D", 0, false},           // "0D" is the word 0x0D: high byte 0
        {L"0D05", 13, true},         // everything past word 0 missing
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.type, tracewnd_GetTeleType(c.text)) << kvtest::Narrow(c.text);
        EXPECT_EQ(c.shown, !Show(c.text).empty()) << kvtest::Narrow(c.text);
    }
    EXPECT_EQ(0, tracewnd_GetTeleType(nullptr));
    g_boxes.clear();
    tracewnd_ShowTelegram(nullptr);
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(TelegramTest, ShortTextReadsMissingWordsAsZero) {
    // Words past the end read 0; the word cut short reads the digits that are there.
    EXPECT_EQ(L"Type:\tUnit Update V3\nPCU:\t05\nDate:\t01.07.00\nTime:\t00:00:00\n"
              L"BYear:\t00\nRecType:\t00\nRecipe:\t00\nOrder:\t00\nBatch:\t00\nSequ:\t00\nStepOld:\t00\n"
              L"StepNew:\t00\nEOP:\t00\nStat0:\t0000\nStat2:\t0000\nSync/Alt:\t00\nAltErg:\t00\n",
              Show(L"0D05 0107 0"));
    // The text ends exactly where word 2 would begin, and inside the blank before it.
    EXPECT_EQ(0, kv::TelegramWord(L"0D05 0107 ", 2));
    EXPECT_EQ(0, kv::TelegramWord(L"0D05 0107", 2));
    EXPECT_EQ(0x107, kv::TelegramWord(L"0D05 0107", 1));
    EXPECT_EQ(0, kv::TelegramWord(L"0D05 zz07", 1));
    // A page-end text: the decoder must stop at its terminator, never read beyond it.
    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    auto* page = static_cast<wchar_t*>(::VirtualAlloc(nullptr, si.dwPageSize * 2, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, page);
    DWORD old;
    ::VirtualProtect(reinterpret_cast<BYTE*>(page) + si.dwPageSize, si.dwPageSize, PAGE_NOACCESS, &old);
    wchar_t* text = page + si.dwPageSize / sizeof(wchar_t) - 6;
    wcscpy(text, L"0D05 ");
    EXPECT_NE(L"", Show(text));
    ::VirtualFree(page, 0, MEM_RELEASE);
}

}  // namespace

// Telegram decoder: the box each kind shows, the word reading rules and short texts.
#include <gtest/gtest.h>

#include <string>

#include "kvtest.h"
#include "telegram/telegram.h"

namespace {

int g_boxes;
std::wstring g_text, g_caption;
int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
    ++g_boxes;
    g_text = text;
    g_caption = caption;
    EXPECT_EQ(static_cast<UINT>(MB_OK), type);
    return IDOK;
}

// The box shown for text, "" when none was.
std::wstring Show(const wchar_t* text) {
    tracewnd_SetTelegramMessageBox(RecordBox);
    g_boxes = 0;
    g_text.clear();
    tracewnd_ShowTelegram(text);
    tracewnd_SetTelegramMessageBox(nullptr);
    EXPECT_LE(g_boxes, 1);
    return g_text;
}

const std::wstring kHeader = L"PCU:\t05\nDate:\t01.07.07\nTime:\t18:30:10\n";

TEST(Telegram, UnitUpdateVersionFiveAndThree) {
    EXPECT_EQ(L"Type:\tUnit Update V5\n" + kHeader +
                  L"BYear:\t15\nRecType:\t00\nRecipe:\t03\nOrder:\t04\nBatch:\t05\nSequ:\t01\nStepOld:\t02\n"
                  L"StepNew:\t03\nEOP:\t05\nStat0:\t00FF\nStat2:\t0001\nSync/Alt:\t01\nAltErg:\t02\n",
              Show(L"0D05 0107 0712 1E0A 0F00 0003 0004 0005 0106 0002 0003 0032 00FF 0001 0102"));
    EXPECT_EQ(L"Tele Encoder: Type 13", g_caption);
    const std::wstring v3 = Show(L"0D05 0107 0712 1E0A 0F00 0003 0004 0005 0006 0002");
    EXPECT_EQ(0u, v3.find(L"Type:\tUnit Update V3\n" + kHeader)) << kvtest::Narrow(v3);
    EXPECT_NE(std::wstring::npos, v3.find(L"\nSequ:\t06\nStepOld:\t02\nStepNew:\t00\n")) << "missing words read 0";
}

TEST(Telegram, KindsShowTheirFields) {
    // Words 1 to 11 shared by all cases; Recipe FFFF prints its full value.
    const std::wstring words = L" 0107 0712 1E0A 0F00 FFFF 0004 0005 0106 0002 ";
    const std::wstring shared = kHeader + L"BYear:\t15\nRecType:\t00\nRecipe:\t65535\nOrder:\t04\nBatch:\t05\n";
    struct Case { const wchar_t* word0; const wchar_t* tail; std::wstring expected; };
    const Case cases[] = {
        {L"0305", L"0003 0032", L"Type:\tAlarm Tele\n" + shared + L"MldT:\t262\nMldN:\t02\nSysT:\t03\nSequ:\t50\n"},
        {L"0505", L"", L"Type:\tStep Tele\n" + shared + L"Sequ:\t262\n"},
        {L"0805", L"", L"Type:\tRecipe Request\n" + shared + L"Sequ:\t262\n"},
        {L"0905", L"0000 0000 ABCD 0007 FFFF",
         L"Type:\tCAS Update\n" + shared + L"Sequ:\t262\nStartMd:\t02\nStartTm:\t-\nCTRL:\tABCD\nMsg:\t07\nRecord:\t65535"},
        {L"0905", L"4000 0000", L"Type:\tCAS Update\n" + shared +
                                    L"Sequ:\t262\nStartMd:\t02\nStartTm:\tSat Jan 10 13:37:04 2004\nCTRL:\t0000\nMsg:\t00\nRecord:\t0"},
        {L"0905", L"8000 0000", L"Type:\tCAS Update\n" + shared +  // negative as a signed time
                                    L"Sequ:\t262\nStartMd:\t02\nStartTm:\t-\nCTRL:\t0000\nMsg:\t00\nRecord:\t0"},
        {L"0105", L"", L"Type:\t01\n" + kHeader},
        {L"0E05", L"", L"Type:\t14\n" + kHeader},
        {L"8005", L"", L"Type:\t128\n" + kHeader},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, Show((c.word0 + words + c.tail).c_str())) << kvtest::Narrow(c.word0);
}

TEST(Telegram, TypeShortTextsAndNonTelegrams) {
    struct Case { const wchar_t* text; short type; bool shown; };
    const Case cases[] = {
        {L"FF01 0000", 255, false},  // offered by the menu, shown by nobody
        {L"0001 0000", 0, false}, {L"hello world", 0, false}, {L"", 0, false},
        {L" 0D05", 13, true},        // leading blanks skipped by the conversion
        {L"0D", 0, false},           // the word 0x000D: high byte 0
        {L"0D05", 13, true},         // every word after word 0 missing
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.type, tracewnd_GetTeleType(c.text)) << kvtest::Narrow(c.text);
        EXPECT_EQ(c.shown, !Show(c.text).empty()) << kvtest::Narrow(c.text);
    }
    EXPECT_EQ(0, tracewnd_GetTeleType(nullptr));
    EXPECT_EQ(L"", Show(nullptr));
    EXPECT_EQ(0, kv::TelegramWord(L"0D05 0107 ", 2)) << "the text ends where word 2 begins";
    EXPECT_EQ(0x107, kv::TelegramWord(L"0D05 0107", 1));
    EXPECT_EQ(0, kv::TelegramWord(L"0D05 zz07", 1));

    // A text at the very end of readable memory: nothing past its terminator is read.
    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    auto* pages = static_cast<BYTE*>(::VirtualAlloc(nullptr, si.dwPageSize * 2, MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    ASSERT_TRUE(::VirtualProtect(pages + si.dwPageSize, si.dwPageSize, PAGE_NOACCESS, &old));
    auto* text = reinterpret_cast<wchar_t*>(pages + si.dwPageSize) - 6;
    wcscpy(text, L"0D05 ");
    EXPECT_EQ(0u, Show(text).find(L"Type:\tUnit Update V3\nPCU:\t05\nDate:\t00.00.00\n"));
    ::VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace

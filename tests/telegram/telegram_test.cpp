// Telegram decoder: the box each kind shows, the word reading rules and short texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kvtest.h"
#include "telegram/telegram.h"

namespace {

// The box shown for text as "caption|text", "" when none was.
std::wstring g_box;
int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
    EXPECT_TRUE(g_box.empty() && type == MB_OK);
    g_box = std::wstring(caption) + L"|" + text;
    return IDOK;
}
std::wstring Show(const wchar_t* text) {
    g_box.clear();
    tracewnd_SetTelegramMessageBox(RecordBox);
    tracewnd_ShowTelegram(text);
    tracewnd_SetTelegramMessageBox(nullptr);
    return g_box;
}

TEST(Telegram, EachKindShowsItsFields) {
    const std::wstring head = L"PCU:\t05\nDate:\t01.07.07\nTime:\t18:30:10\n";
    // Words 1 to 11 shared by most cases; Recipe FFFF prints its full value.
    const std::wstring words = L" 0107 0712 1E0A 0F00 FFFF 0004 0005 0106 0002 ";
    const std::wstring shared = head + L"BYear:\t15\nRecType:\t00\nRecipe:\t65535\nOrder:\t04\nBatch:\t05\n";
    const std::wstring zeroTail = L"EOP:\t00\nStat0:\t0000\nStat2:\t0000\nSync/Alt:\t00\nAltErg:\t00\n";
    const std::wstring cas = L"CAS Update\n" + shared + L"Sequ:\t262\nStartMd:\t02\nStartTm:\t";
    struct Case { std::wstring text; short type; std::wstring box; };  // box without "Type:\t", "" for none
    const Case cases[] = {
        {L"0D05 0107 0712 1E0A 0F00 0003 0004 0005 0106 0002 0003 0032 00FF 0001 0102", 13,
         L"Unit Update V5\n" + head + L"BYear:\t15\nRecType:\t00\nRecipe:\t03\nOrder:\t04\nBatch:\t05\nSequ:\t01\n"
         L"StepOld:\t02\nStepNew:\t03\nEOP:\t05\nStat0:\t00FF\nStat2:\t0001\nSync/Alt:\t01\nAltErg:\t02\n"},
        {L"0D05 0107 0712 1E0A 0F00 0003 0004 0005 0006 0002", 13,  // missing words read 0
         L"Unit Update V3\n" + head + L"BYear:\t15\nRecType:\t00\nRecipe:\t03\nOrder:\t04\nBatch:\t05\nSequ:\t06\n"
         L"StepOld:\t02\nStepNew:\t00\n" + zeroTail},
        {L"0305" + words + L"0003 0032", 3, L"Alarm Tele\n" + shared + L"MldT:\t262\nMldN:\t02\nSysT:\t03\nSequ:\t50\n"},
        {L"0505" + words, 5, L"Step Tele\n" + shared + L"Sequ:\t262\n"},
        {L"0805" + words, 8, L"Recipe Request\n" + shared + L"Sequ:\t262\n"},
        {L"0905" + words + L"0000 0000 ABCD 0007 FFFF", 9, cas + L"-\nCTRL:\tABCD\nMsg:\t07\nRecord:\t65535"},
        {L"0905" + words + L"4000 0000", 9, cas + L"Sat Jan 10 13:37:04 2004\nCTRL:\t0000\nMsg:\t00\nRecord:\t0"},
        {L"0905" + words + L"8000 0000", 9, cas + L"-\nCTRL:\t0000\nMsg:\t00\nRecord:\t0"},  // negative time
        {L"0105" + words, 1, L"01\n" + head},
        {L"8005" + words, 128, L"128\n" + head},
        // Leading blanks skipped; every word after word 0 missing.
        {L" 0D05", 13, L"Unit Update V3\nPCU:\t05\nDate:\t00.00.00\nTime:\t00:00:00\nBYear:\t00\nRecType:\t00\n"
         L"Recipe:\t00\nOrder:\t00\nBatch:\t00\nSequ:\t00\nStepOld:\t00\nStepNew:\t00\n" + zeroTail},
        {L"FF01 0000", 255, L""},      // offered by the menu, shown by nobody
        {L"0001 0000", 0, L""}, {L"hello world", 0, L""}, {L"", 0, L""},
        {L"0D", 0, L""},               // the word 0x000D: high byte 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.text));
        EXPECT_EQ(c.type, tracewnd_GetTeleType(c.text.c_str()));
        EXPECT_EQ(c.box.empty() ? L"" : L"Tele Encoder: Type " + std::to_wstring(c.type) + L"|Type:\t" + c.box, Show(c.text.c_str()));
    }
}

TEST(Telegram, WordsAndTheEndOfReadableMemory) {
    EXPECT_TRUE(tracewnd_GetTeleType(nullptr) == 0 && Show(nullptr).empty());
    // The text ends where word 2 begins; a word must be hexadecimal.
    EXPECT_EQ(std::vector<long>({kv::TelegramWord(L"0D05 0107 ", 2), kv::TelegramWord(L"0D05 0107", 1), kv::TelegramWord(L"0D05 zz07", 1)}),
              std::vector<long>({0, 0x107, 0}));
    // A text at the very end of readable memory: nothing past its terminator is read.
    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    auto* pages = static_cast<BYTE*>(::VirtualAlloc(nullptr, si.dwPageSize * 2, MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    ASSERT_TRUE(::VirtualProtect(pages + si.dwPageSize, si.dwPageSize, PAGE_NOACCESS, &old));
    auto* text = reinterpret_cast<wchar_t*>(pages + si.dwPageSize) - 6;
    wcscpy(text, L"0D05 ");
    EXPECT_NE(Show(text).find(L"|Type:\tUnit Update V3\nPCU:\t05\nDate:\t00.00.00\n"), std::wstring::npos);
    ::VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace

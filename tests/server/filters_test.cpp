// Sub-string tables, the include/exclude/trigger/filter-list checks and the highlight rules.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "client/region.h"
#include "kvtest.h"
#include "serverkit.h"
#include "server/filters.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/substring.h"
#include "settings/serversettings.h"

namespace {

class ClientEnvironment : public ::testing::Environment {
public:
    void SetUp() override { kv::ProcessAttach(::GetModuleHandleW(nullptr)); }
};
::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new ClientEnvironment);

std::vector<std::wstring> Split(const wchar_t* line) {
    wchar_t table[kSubStrings][kSubStringChars];
    memset(table, 0x55, sizeof(table));  // a stale table must be emptied
    const int n = tracewnd_SplitSubStrings(line, table);
    std::vector<std::wstring> out;  // every used entry, and any left over after them
    for (int i = 0; i < kSubStrings; ++i)
        if (i < n || table[i][0]) out.push_back(table[i]);
    return out;
}

using Entries = std::vector<std::wstring>;

void SetFilters(const wchar_t* include, const wchar_t* exclude, const wchar_t* special, const wchar_t* highlight,
                const wchar_t* trigger) {
    kv::CopyCut(g_settings.IncludeFilter, kFilterChars, include);
    kv::CopyCut(g_settings.ExcludeFilter, kFilterChars, exclude);
    kv::CopyCut(g_settings.SpecialFilter, kFilterChars, special);
    kv::CopyCut(g_settings.HighlightFilter, kFilterChars, highlight);
    kv::CopyCut(g_settings.TriggerFilter, kFilterChars, trigger);
    tracewnd_SplitFilters();
}

class FilterChecks : public ::testing::Test {
protected:
    static constexpr short kApp = 7;
    void SetUp() override {
        saved_ = kv::g_region.apps[kApp];
        kv::CopyCut(kv::g_region.apps[kApp].szProcess, 50, L"PLANTCTL [4711]");
        kv::CopyCut(kv::g_region.apps[kApp].szModule, 50, L"Conveyor");
    }
    void TearDown() override {
        kv::g_region.apps[kApp] = saved_;
        SetFilters(L"", L"", L"", L"", L"");
    }
    TRACEAPP saved_;
};

// An include of ERR also stores every error; operator lines pass and, like server lines, never fire.
TEST_F(FilterChecks, LevelRulesCaseAndEachOfTheFiveTexts) {
    const auto inc = &tracewnd_CheckInclude, exc = &tracewnd_CheckExclude, trg = &tracewnd_CheckTrigger;
    // The line is set as include, exclude and trigger alike.
    const struct { const wchar_t* line; decltype(inc) check; const wchar_t *text, *tag; short level; int hit; const char* why; }
        cases[] = {
        {L"ERR", inc, L"all fine", L"ERR", 10, 1, "error level"},
        {L"ERR", inc, L"all fine", L"INF", 30, 0, "info without ERR"},
        {L"ERR", inc, L"error", L"DIAG", 40, 0, "matching is case-sensitive"},
        {L"ERR", inc, L"fine", L"OPR", -1, 1, "operator lines always pass"},
        {L"ERR", inc, L"fine", L"SVR", 0, 0, "server lines are filtered"},
        {L";", inc, L"fine", L"SVR", 0, 1, "an empty table passes everything"},
        {L"Timer", exc, L"tick", L"SVR", 0, 1, "exclude in the function"},
        {L"Timer", exc, L"tick", L"OPR", -1, 0, "operator lines are kept"},
        {L"Timer", trg, L"tick", L"", 15, 1, "trigger in the function"},
        {L"Timer", trg, L"tick", L"SVR", 0, 0, "server lines never fire"},
        {L"Timer", trg, L"tick", L"OPR", -1, 0, "operator lines never fire"},
    };
    for (const auto& c : cases) {  // the function holds "Timer"
        SetFilters(c.line, c.line, L"", L"", c.line);
        EXPECT_EQ(c.check(kApp, L"OnTimer", c.text, c.tag, c.level), c.hit) << c.why;
    }
    // The slot's names are searched in full, longer than a trace row keeps them, also for the filter list.
    const struct { const wchar_t *process, *module, *func, *text, *tag; } senders[] = {
        {L"PROCESS-NAME-LONGER-THAN-THIRTY-ONE-zq [1]", L"mod", L"fn", L"txt", L"INF"},
        {L"P [1]", L"module-zq", L"fn", L"txt", L"INF"},
        {L"P [1]", L"mod", L"Onzq", L"txt", L"INF"},
        {L"P [1]", L"mod", L"fn", L"a zq b", L"INF"},
        {L"P [1]", L"mod", L"fn", L"txt", L"zq"},
        {L"P [1]", L"mod", L"fn", L"txt", L"INF"},  // no hit
    };
    SetFilters(L"nothing;zq", L"nothing;zq", L";nothing;zq", L"", L"nothing;zq");
    EXPECT_STREQ(tracewnd_FirstFilterListEntry(), L"nothing");
    for (int i = 0; i < 6; ++i) {
        const auto& c = senders[i];
        kv::CopyCut(kv::g_region.apps[kApp].szProcess, 50, c.process);
        kv::CopyCut(kv::g_region.apps[kApp].szModule, 50, c.module);
        const int hits = tracewnd_CheckFilterList(c.process, c.module, c.func, c.text, c.tag) * 1000 +
                         tracewnd_CheckInclude(kApp, c.func, c.text, c.tag, 30) * 100 +
                         tracewnd_CheckExclude(kApp, c.func, c.text, c.tag, 30) * 10 +
                         tracewnd_CheckTrigger(kApp, c.func, c.text, c.tag, 30);
        EXPECT_EQ(hits, i < 5 ? 1111 : 0) << "filter list, include, exclude, trigger; case " << i;
    }
    // A handle outside the table has no names to search; the other texts still count.
    EXPECT_EQ(tracewnd_CheckInclude(512, L"f", L"zq", L"INF", 30), 1);
    SetFilters(L"", L"", L"", L"", L"");
    EXPECT_STREQ(tracewnd_FirstFilterListEntry(), L"");
    EXPECT_EQ(tracewnd_CheckFilterList(L"zq", L"zq", L"zq", L"zq", L"zq"), 0) << "an empty table matches nothing";
}

// Any mixture of the two lines' entries misses one of the texts: no reader sees half a table.
TEST_F(FilterChecks, ReadersNeverSeeAHalfRebuiltTable) {
    const wchar_t *lineA = L"alpha;beta", *lineB = L"gamma;delta";
    SetFilters(lineA, L"", L"", L"", L"");
    std::atomic<bool> stop{false};
    std::atomic<int> misses{0};
    auto reader = [&](const wchar_t* text) {
        while (!stop) misses += !tracewnd_CheckInclude(kApp, L"f", text, L"INF", 30);
    };
    std::thread r1(reader, L"alpha delta"), r2(reader, L"gamma beta");
    for (int i = 0; i < 200000; ++i) SetFilters(i % 2 ? lineA : lineB, L"", L"", L"", L"");
    stop = true;
    r1.join();
    r2.join();
    EXPECT_EQ(misses.load(), 0);
}

// Lines split into literal, non-empty, cut pieces; the search finds the lowest entry in any text, wherever it
// stands: both sides of the eight-character steps.
TEST(SubStrings, SplitIntoLiteralPiecesAndFoundAsWcsstrFindsThem) {
    EXPECT_EQ(Split(L"abc;;def;"), (Entries{L"abc", L"def"}));
    EXPECT_EQ(Split(L"abc; def "), (Entries{L"abc", L" def "})) << "blanks are kept";
    EXPECT_EQ(Split(L";"), Entries{});
    EXPECT_EQ(Split(L";;;;;;;;;;;;p0;p1;p2;p3;p4;p5;p6;p7;p8;p9;p10"),
              (Entries{L"p0", L"p1", L"p2", L"p3", L"p4", L"p5", L"p6", L"p7", L"p8", L"p9"}))
        << "ten pieces; empty ones do not use up places";
    const std::wstring sixty = std::wstring(48, L'k') + L"0123456789AB";
    EXPECT_EQ(Split((sixty + L";x").c_str()), (Entries{std::wstring(48, L'k'), L"x"}));
    // The second piece starts at character 506 of the line, so 5 of its characters count.
    const std::wstring line = std::wstring(505, L'x') + L";ABCDEFGHIJ";
    EXPECT_EQ(Split(line.c_str()), (Entries{std::wstring(48, L'x'), L"ABCDE"}));
    const std::wstring entries[] = {L"Valve", L"valve", L"V", L"\u00e9t\u00e9", L"\u00c9T\u00c9", L"aab",
                                    L"ab", std::wstring(48, L'k') + L"", L"\xFFFF\xD800", L"b|"};
    const int n = static_cast<int>(ARRAYSIZE(entries));
    std::vector<std::wstring> texts = {L"", L"a", L"aaab", L"VALVE", L"Valv", L"xValvex", std::wstring(49, L'k')};
    for (const std::wstring& e : entries) {
        for (size_t at = 0; at < 19; ++at) {
            std::wstring filler(at, L'a' + static_cast<wchar_t>(at % 3));
            texts.push_back(filler + e);
            texts.push_back(filler + e.substr(0, e.size() - 1));
            std::wstring upper = filler + e + L"tail";
            ::CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
            texts.push_back(upper);
        }
    }
    for (unsigned searched : {0x3FFu, 0x3F0u, 0x001u, 0x204u}) {
        const wchar_t* list[ARRAYSIZE(entries)];
        for (int i = 0; i < n; ++i) list[i] = entries[i].c_str();
        kv::SubStringSearch search;
        search.Build(list, n, searched);
        for (size_t t = 0; t + 1 < texts.size(); ++t) {
            const wchar_t* both[] = {texts[t].c_str(), texts[t + 1].c_str()};
            const size_t lengths[] = {texts[t].size(), texts[t + 1].size()};
            int expected = -1;
            for (int i = 0; i < n && expected < 0; ++i)
                if ((searched & (1u << i)) && (wcsstr(both[0], list[i]) || wcsstr(both[1], list[i]))) expected = i;
            ASSERT_EQ(search.Find(both, lengths, 2), expected) << "entries " << std::hex << searched << ", text " << std::dec << t;
        }
    }
}

// A gap rule hits rows later than its limit after their predecessor and keeps its place in the colours.
TEST_F(FilterChecks, EachRowCarriesTheInkOfItsFirstMatchingEntry) {
    kvtest::ListStore store_(&kv::Server().mainStore);  // rows whose columns hold none of the capitals A to D
    const COLORREF none = kNoHighlight, yellow = kHighlightColors[0], green = kHighlightColors[1],
                   red = kHighlightColors[2];
    const struct { const wchar_t *time, *text, *process; } rows[] = {
        {L"MO 10:00:00,00 [00001]", L"only D", L"plant [1]"},
        {L"MO 10:00:00,50 [00002]", L"only B", L"plant [1]"},           // 500 ms after its predecessor
        {L"MO 10:00:02,00 [00003]", L"only C", L"plant [1]"},           // 1500 ms
        {L"MO 10:00:03,00 [00004]", L"D then B", L"plant [1]"},         // exactly 1000 ms: not more
        {L"MO 23:59:59,00 [00005]", L"nothing", L"plant [1]"},          // hours later
        {L"TU 00:00:05,00 [00006]", L"nothing", L"plant-C [1]"},        // across midnight: negative
        {L"TU 00:00:20,00 [00007]", L"", L"plant [1]"},                 // 15 s
    };
    for (const auto& r : rows) store_.Add(r.text, r.time, r.process);
    const std::wstring early = std::wstring(254, L'.') + L"D", late = std::wstring(255, L'.') + L"D";
    store_.Add(early.c_str(), L"TU 00:00:20,00 [00008]");
    store_.Add(late.c_str(), L"TU 00:00:20,00 [00009]");
    const struct { const wchar_t* table; std::vector<COLORREF> inks; } cases[] = {
        {L"A;B;C;D", {yellow, green, red, green, none, red, none, yellow, none}},
        {L"$TD1000", {none, none, yellow, none, yellow, none, yellow, none, none}},
        {L"$TD;never;$TD500", {none, none, red, red, red, none, red, none, none}},
        {L"$TDx", {none, yellow, yellow, yellow, yellow, none, yellow, none, none}},  // no number: 0 ms
    };
    for (const auto& c : cases) {
        SetFilters(L"", L"", L"", c.table, L"");
        std::vector<COLORREF> inks;
        for (int row = 0; row < 9; ++row) {
            inks.push_back(tracewnd_GetHighlightColor(store_, row));
            EXPECT_EQ(tracewnd_IsHighlighted(row), inks.back() != none) << kvtest::Narrow(c.table) << " row " << row;
        }
        EXPECT_EQ(inks, c.inks) << kvtest::Narrow(c.table);
    }
    EXPECT_EQ(tracewnd_IsHighlighted(9), 0) << "row that does not exist";
}

}  // namespace

// Trace files read back where the programs do not show it whole: find, merge holds, station names.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kvtest.h"
#include "serverlines.h"
#include "tracefiles/merge.h"

using namespace kv::trc;

namespace {

std::unique_ptr<TraceFile> Indexed(const std::wstring& path) {
    auto f = std::make_unique<TraceFile>();
    DWORD error = 0;
    EXPECT_TRUE(f->Open(path, &error) && f->Index()) << kvtest::Narrow(path) << " error " << error;
    return f;
}

using TraceFilesTest = ServerLinesTest;

// Find: field by field, never across a field's end; letters beyond ASCII fold too.
TEST_F(TraceFilesTest, FindLooksFieldByField) {
    const wchar_t* mo = L"MO 10:00:00,00 [00001]";
    WriteRows(dir_.path(), 2007, 3, 12, {Row(mo, L"line 4 opened"), Row(mo, L"***** \x00C4rger *****"), Row(mo, L"needle in \x212A" L"elvin"),
                                         Row(mo, L"a|b", L"Mod|ule [42]", L"F"), Row(mo, L"ne|edle split by a bar", L"m [2]", L"Needle"),
                                         Row(mo, L"|")});
    auto f = Indexed(dir_.file(L"TS070312.txt"));
    const struct {
        size_t from;
        bool down;
        const wchar_t* what;
        FindOptions options;
        long long hit;
    } finds[] = {
        {0, true, L"needle", {}, 2},          {3, true, L"needle", {}, 4},    {3, true, L"needle", {true, false}, -1},
        {5, false, L"needle", {}, 4},         {3, false, L"needle", {}, 2},   {0, true, L"ne|edle", {}, 4},
        {4, false, L"needle", {}, 4},  // upwards, the row it starts from counts
        {0, true, L"e|ne", {}, -1},           {0, true, L"opened", {false, true}, 0},
        {0, true, L"open", {false, true}, -1}, {0, true, L"\x00E4RGER", {}, 1},  {0, true, L"\x00E4rger", {true, false}, -1},
        {0, true, L"kelvin", {true, false}, -1}, {5, true, L"needle", {}, -1}, {6, true, L"|", {}, -1},  // past the last row
    };
    for (const auto& c : finds)
        EXPECT_EQ(FindInFile(*f, c.from, c.down, c.what, c.options), c.hit) << kvtest::Narrow(c.what) << " from " << c.from;
}

// The night the clock goes back (2026-10-25): the hour from 02:00 comes twice in one daily file. Merged by
// their local times with a station that wrote in both hours, each station's lines keep their file order.
TEST_F(TraceFilesTest, TheHourThatComesTwiceKeepsEachStationsFileOrder) {
    const std::wstring dirs[] = {dir_.file(L"north"), dir_.file(L"south")};
    WriteRows(dirs[0], 2026, 10, 25, {Row(L"SU 01:59:59,00 [00001]", L"n1"), Row(L"SU 02:30:00,00 [00002]", L"n2"),
                                      Row(L"SU 02:59:59,99 [00003]", L"n3"), Row(L"SU 02:00:00,00 [00004]", L"n4"),
                                      Row(L"SU 02:30:00,00 [00005]", L"n5")});
    WriteRows(dirs[1], 2026, 10, 25, {Row(L"SU 02:45:00,00 [00001]", L"s1"), Row(L"SU 02:15:00,00 [00002]", L"s2")});
    LineQueue queues[2];
    for (size_t s = 0; s < 2; ++s) {
        std::vector<DayFile> days;
        DWORD error = 0;
        ASSERT_TRUE(ListDayFiles(dirs[s], &days, &error) && days.size() == 1) << error;
        auto f = Indexed(days[0].path);
        f->ForEachLine(0, f->LineCount(), [&](size_t, const wchar_t* text, size_t chars) {
            LineFields x;
            ParseLine(text, chars, &x);
            queues[s].Push(x.text.p, x.text.n, MakeStamp(LineDate(days[0].date, x.weekday), x.hour, x.minute, x.second, x.hundredths), true, 0);
        });
    }
    std::wstring merged;
    size_t s = 0;
    while (NextStation({&queues[0], &queues[1]}, {false, false}, 0, 0, &s, nullptr) == Pick::kLine) {
        merged += std::wstring(queues[s].text(queues[s].front()), queues[s].front().chars) + L" ";
        queues[s].Pop();
    }
    EXPECT_EQ(kvtest::Narrow(merged), "n1 n2 s1 s2 n3 n4 n5 ");
}

// Which station's line goes next while some station is quiet.
TEST(Merge, NextLineWaitsForAQuietStationOnlyAsLongAsTheHold) {
    const Stamp now = 1000000, hold = kMergeHoldMs / 10;
    const struct {
        Stamp a, b;          // the fronts of stations 0 and 1; -1: empty
        bool growA, growB;   // followed: an empty queue may still fill
        uint64_t arrived;    // tick of the fronts' reading; now is tick 10000
        Pick pick;
        size_t station;
        DWORD wait;
    } cases[] = {
        {5, 3, true, true, 10000, Pick::kLine, 1},                   // the earlier stamp
        {3, 3, true, true, 10000, Pick::kLine, 0},                   // equal: the first station
        {-1, -1, true, true, 10000, Pick::kNone},
        {-1, now, false, true, 10000, Pick::kLine, 1},               // the other one has ended
        {-1, now, true, true, 10000, Pick::kHold, 1, kMergeHoldMs},  // fresh: it waits
        {-1, now, true, true, 10000 - kMergeHoldMs + 1, Pick::kHold, 1, 1},
        {-1, now, true, true, 10000 - kMergeHoldMs, Pick::kLine, 1},     // waited long enough
        {now - hold, -1, true, true, 10000, Pick::kLine, 0},             // stamped long enough ago
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << " " << c.b << " arrived " << c.arrived);
        LineQueue qa, qb;
        if (c.a >= 0) qa.Push(L"a", 1, c.a, true, c.arrived);
        if (c.b >= 0) qb.Push(L"b", 1, c.b, true, c.arrived);
        size_t station = 99;
        DWORD wait = 0;
        EXPECT_EQ(NextStation({&qa, &qb}, {c.growA, c.growB}, 10000, now, &station, &wait), c.pick);
        EXPECT_EQ(c.pick == Pick::kNone ? 0 : station, c.station);
        EXPECT_EQ(c.pick == Pick::kHold ? wait : 0, c.wait);
    }
}

TEST(Merge, StationNamesFromTheCommandLine) {
    kvtest::TempDir dir;
    const std::wstring file = dir.file(L"TS070312.txt");
    kvtest::WriteBytes(file, "");
    const std::pair<std::wstring, std::wstring> cases[] = {  // the argument; its name, path and whether named, or "bad"
        {L"press1=C:\\Suite\\tmp", L"press1 C:\\Suite\\tmp named"},
        {L"a.b_c-9=x", L"a.b_c-9 x named"},
        {L"C:\\Suite\\tmp", L"tmp C:\\Suite\\tmp"},
        {L"C:\\Suite\\a=b\\", L"a_b C:\\Suite\\a=b\\"},  // "=" after a separator: a path
        {L"\\\\pc2\\trace$", L"trace_ \\\\pc2\\trace$"},
        {L"C:\\", L"C C:\\"},
        {L"C:\\.-trace\\", L"trace C:\\.-trace\\"},  // a name never begins with "." or "-"
        {file, dir.path().substr(dir.path().find_last_of(L'\\') + 1) + L" " + file},  // a file: its folder
        {L"..=y", L"bad"}, {L".hidden=x", L"bad"}, {L"-x=y", L"bad"}, {L"p=", L"bad"},
        {std::wstring(kMaxStationChars + 1, L'a') + L"=x", L"bad"},
    };
    for (const auto& c : cases) {
        StationArg s;
        std::wstring why;
        const bool ok = ParseStationArg(c.first, &s, &why);
        EXPECT_EQ(kvtest::Narrow(ok ? s.name + L" " + s.path + (s.named ? L" named" : L"") : why.empty() ? L"no reason" : L"bad"),
                  kvtest::Narrow(c.second)) << kvtest::Narrow(c.first);
    }
}

}  // namespace

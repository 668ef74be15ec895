// Merging stations: which station's line goes next while some station is quiet, and the
// station names a command line gives.
#include <gtest/gtest.h>

#include "kvtest.h"
#include "tracefiles/merge.h"

using namespace kv::trc;

namespace {

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
        {now - hold + 1, -1, true, true, 10000, Pick::kHold, 0, kMergeHoldMs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << " " << c.b << " arrived " << c.arrived);
        LineQueue qa, qb;
        if (c.a >= 0) qa.Push(L"a", 1, c.a, true, c.arrived);
        if (c.b >= 0) qb.Push(L"b", 1, c.b, true, c.arrived);
        size_t station = 99;
        DWORD wait = 0;
        EXPECT_EQ(NextStation({&qa, &qb}, {c.growA, c.growB}, 10000, now, &station, &wait), c.pick);
        if (c.pick != Pick::kNone) { EXPECT_EQ(station, c.station); }
        if (c.pick == Pick::kHold) { EXPECT_EQ(wait, c.wait); }
    }
}

TEST(Merge, StationNamesFromTheCommandLine) {
    kvtest::TempDir dir;
    const std::wstring file = dir.file(L"TS070312.txt");
    kvtest::WriteBytes(file, "");
    const struct {
        std::wstring arg;
        bool ok, named;
        std::wstring name, path;
    } cases[] = {
        {L"press1=C:\\Suite\\tmp", true, true, L"press1", L"C:\\Suite\\tmp"},
        {L"a.b_c-9=x", true, true, L"a.b_c-9", L"x"},
        {L"C:\\Suite\\tmp", true, false, L"tmp", L"C:\\Suite\\tmp"},
        {L"C:\\Suite\\a=b\\", true, false, L"a_b", L"C:\\Suite\\a=b\\"},     // "=" after a separator: a path
        {L"\\\\pc2\\trace$", true, false, L"trace_", L"\\\\pc2\\trace$"},
        {L"C:\\", true, false, L"C", L"C:\\"},
        {file, true, false, dir.path().substr(dir.path().find_last_of(L'\\') + 1), file},  // a file: its folder
        {L"..=y", false}, {L".hidden=x", false}, {L"-x=y", false}, {L"p=", false},
        {std::wstring(kMaxStationChars + 1, L'a') + L"=x", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.arg));
        StationArg s;
        std::wstring why;
        ASSERT_EQ(ParseStationArg(c.arg, &s, &why), c.ok);
        if (!c.ok) {
            EXPECT_FALSE(why.empty());
            continue;
        }
        EXPECT_EQ(kvtest::Narrow(s.name + L" " + s.path), kvtest::Narrow(c.name + L" " + c.path));
        EXPECT_EQ(s.named, c.named);
        EXPECT_TRUE(IsStationName(s.name));
    }
}

}  // namespace

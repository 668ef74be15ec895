// KVTrcVwr.exe started with the trace window's two command lines: the row it selects,
// read back from its list view through the platform.
#include <gtest/gtest.h>

#include <string>

#include "kvtest.h"
#include "viewerprocess.h"
#include "../tracefiles/serverlines.h"

namespace {

class Viewer : public ServerLinesTest {
protected:
    const std::wstring trace_ = dir_.file(L"trace files");  // a blank: the trace window writes it unquoted
    void SetUp() override {
        // Two Mondays and the Tuesday between, numbered from 1 each day.
        WriteRows(trace_, 2007, 3, 5, Day(L"MO", 1, 40));
        WriteRows(trace_, 2007, 3, 6, Day(L"TU", 1, 40));
        WriteRows(trace_, 2007, 3, 12, Day(L"MO", 1, 3));
    }
};

TEST_F(Viewer, BothCommandLinesSelectTheirRow) {
    const struct {
        const wchar_t* file;  // null: the directory, "/T:" and the time text, unquoted
        const wchar_t* time;
        long long count, row;
        const wchar_t* date;
    } cases[] = {
        {nullptr, L"MO 10:00:01,00 [00002]", 83, 81, L"2007-03-12"},  // the most recent matching row
        {nullptr, L"MO 10:00:29,00 [00030]", 83, 29, L"2007-03-05"},
        {nullptr, L"TU 10:00:04,00 [00005]", 83, 44, L"2007-03-06"},
        {L"TS070306.txt", L"TU 10:00:39,00 [00040]", 40, 39, L"2007-03-06"},  // a file: at its end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.time));
        ViewerProcess v(c.file ? trace_ + L"\\" + c.file : trace_ + L" /T:" + c.time);
        ASSERT_NE(v.list(), nullptr);
        EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Selected() >= 0; }, 30000));
        EXPECT_EQ(v.Count(), c.count);
        EXPECT_EQ(v.Selected(), c.row);
        const long long s = v.Selected();
        EXPECT_EQ(v.Cell(s, 0) + L"|" + v.Cell(s, 1) + L"|" + v.Cell(s, 2) + L"|" + v.Cell(s, 6),
                  std::wstring(c.date) + L"|" + c.time + L"|INF|t");
        if (!c.file) continue;
        // Go to a time of the selected row's day.
        v.Type(v.Control(L"BUTTON", L"Filter"), L"10:00:05");
        v.Click(L"Go to");
        EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Selected() == 5; }, 30000)) << v.Selected();
    }
}

// Following with a filter on: rows of the day, the next day's file, and that file
// written anew, shorter; the filter chosen again without reading the files again.
TEST_F(Viewer, FollowsTheFilesAcrossMidnightAndRewritesWithAFilterOn) {
    ViewerProcess v(trace_);
    ASSERT_NE(v.list(), nullptr);
    ASSERT_TRUE(kvtest::PumpUntil([&] { return v.Selected() == 82; }, 30000)) << v.Selected();
    auto count = [&](long long n) { return kvtest::PumpUntil([&] { return v.Count() == n; }, 30000); };
    // Only the rows of the first ten seconds of each day, whose time holds "10:00:0".
    v.Click(L"Follow");
    v.Type(v.Control(L"STATIC", L"Text"), L"10:00:0");
    v.Click(L"Filter");
    EXPECT_TRUE(count(10 + 10 + 3)) << v.Count();
    WriteRows(trace_, 2007, 3, 12, Day(L"MO", 4, 1));
    EXPECT_TRUE(count(24)) << v.Count();
    // Midnight: the server's next line goes to the Tuesday's file.
    WriteRows(trace_, 2007, 3, 13, Day(L"TU", 1, 2));
    EXPECT_TRUE(count(26)) << v.Count();
    EXPECT_EQ(v.Cell(25, 0) + L" " + v.Cell(25, 1), L"2007-03-13 TU 10:00:01,00 [00002]");
    kvtest::WriteBytes(trace_ + L"\\TS070313.txt", "");
    WriteRows(trace_, 2007, 3, 13, Day(L"TU", 9, 1));
    EXPECT_TRUE(count(25)) << v.Count();
    EXPECT_EQ(v.Cell(24, 1), L"TU 10:00:00,00 [00009]");
    v.Click(L"INF");  // info rows off: none left
    EXPECT_TRUE(count(0)) << v.Count();
}

// The viewer holds no file between reads: the server's history clean-up deletes a file
// at once, and the rows of that file that were never shown then say they cannot be read.
TEST_F(Viewer, IdleFilesAreNotHeldAndUnreadableRowsSaySo) {
    WriteRows(trace_, 2007, 3, 1, Day(L"TH", 1, 3000));
    ViewerProcess v(trace_);
    ASSERT_TRUE(kvtest::PumpUntil([&] { return v.Count() == 3083 && v.Selected() == 3082; }, 30000)) << v.Count();
    const std::wstring first = trace_ + L"\\TS070301.txt";
    EXPECT_TRUE(::DeleteFileW(first.c_str()));
    EXPECT_FALSE(kvtest::FileExists(first)) << "gone at once: no reader holds it";
    EXPECT_NE(v.Cell(2500, 6).find(L"cannot be read"), std::wstring::npos) << kvtest::Narrow(v.Cell(2500, 6));
}

TEST_F(Viewer, SeveralStationsAsOneListByTimeWhileTheyWrite) {
    const std::wstring north = dir_.file(L"n"), south = dir_.file(L"s");
    auto row = [](const wchar_t* time, const wchar_t* text) {
        return RowSpec{time, 30, L"p.exe [1]", L"m [2]", L"f", text, 0, 0};
    };
    WriteRows(north, 2007, 3, 12, {row(L"MO 10:00:00,00 [00001]", L"n1"), row(L"MO 10:00:01,00 [00002]", L"n2"),
                                   row(L"MO 23:59:59,99 [00003]", L"n3")});
    WriteRows(north, 2007, 3, 13, {row(L"MO 23:59:59,99 [00004]", L"n4"), row(L"TU 00:00:01,00 [00005]", L"n5")});
    WriteRows(south, 2007, 3, 12, {row(L"MO 09:59:59,00 [00001]", L"s1"), row(L"MO 10:00:01,00 [00002]", L"s2")});
    WriteRows(south, 2007, 3, 13, {row(L"TU 00:00:00,50 [00003]", L"s3")});
    ViewerProcess v(L"north=" + north + L" " + kvtest::Quote(L"south=" + south));
    ASSERT_NE(v.list(), nullptr);
    auto list = [&] {
        std::wstring s;
        for (long long r = 0; r < v.Count(); ++r) s += v.Cell(r, 7) + L":" + v.Cell(r, 6) + L" ";
        return s;
    };
    // By time across the midnight; equal stamps in the stations' order; each station's own order kept
    // (n3 and n4 share a stamp, one in each day's file).
    const std::wstring merged = L"south:s1 north:n1 north:n2 south:s2 north:n3 north:n4 south:s3 north:n5 ";
    EXPECT_TRUE(kvtest::PumpUntil([&] { return list() == merged; }, 30000)) << kvtest::Narrow(list());
    EXPECT_EQ(v.Selected(), 7);
    v.Click(L"Follow");
    // Lines stamped long ago go in at once, in the order they come.
    WriteRows(north, 2007, 3, 13, {row(L"TU 00:00:01,50 [00006]", L"n6")});
    WriteRows(south, 2007, 3, 13, {row(L"TU 00:00:02,00 [00004]", L"s4")});
    EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Count() == 10; }, 30000)) << v.Count();
    EXPECT_EQ(list(), merged + L"north:n6 south:s4 ");
}

}  // namespace

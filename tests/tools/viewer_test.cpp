// KVTrcVwr.exe with the trace window's two command lines and with stations: its rows read back as a table.
#include <gtest/gtest.h>

#include <string>

#include "client/errortext.h"
#include "kvtest.h"
#include "viewerprocess.h"
#include "../tracefiles/serverlines.h"

namespace {

std::wstring Shown(const wchar_t* date, const wchar_t* weekday, int first, int count) {
    std::wstring s;
    for (const RowSpec& r : Day(weekday, first, count)) s += std::wstring(date) + L"|" + r.time + L"|INF|t\n";
    return s;
}
enum { kFind = 203, kFindNext, kFindPrev, kMark, kNextMark, kPrevMark };  // the viewer's menu commands
// Appended as the server's writer appends: a file rewritten whole could be seen empty, as a file that started over.
void Append(const std::wstring& path, const std::wstring& text) {
    HANDLE f = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD n = 0;
    ::WriteFile(f, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &n, nullptr);
    ::CloseHandle(f);
}

class Viewer : public ServerLinesTest {
protected:
    const std::wstring trace_ = dir_.file(L"trace files");  // a blank: the trace window writes it unquoted
    void SetUp() override {
        // Two Mondays and the Tuesday between, led by a marked late Monday row; the last Monday's first row marked.
        std::vector<RowSpec> tuesday = Day(L"TU", 1, 40), monday = Day(L"MO", 1, 3);
        tuesday.insert(tuesday.begin(), {L"MO 23:59:59,99 [00041]", 10, L"q.exe [7]", L"m [2]", L"f", L"late", 1, 0});
        monday[0].mark = 1;
        WriteRows(trace_, 2007, 3, 5, Day(L"MO", 1, 40));
        WriteRows(trace_, 2007, 3, 6, tuesday);
        WriteRows(trace_, 2007, 3, 12, monday);
    }
    void Shows(const ViewerProcess& v, const std::vector<int>& columns, const std::wstring& want) {
        EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Table(columns) == want; }, 30000)) << kvtest::Narrow(v.Table(columns));
    }
};

TEST_F(Viewer, CommandLinesSelectTheirRowAndIdleFilesAreNotHeld) {
    const struct {
        const wchar_t *file, *time;  // file null: the directory, "/T:" and the time text, unquoted as the trace window writes them
        const wchar_t *shown, *go;  // rows, the row selected, and its date, time, level and text
        long long goRow;
        int quoted;  // 1: "/T:..." quoted as one argument (a shell, a shortcut, a script); 2: the directory too
    } cases[] = {
        {nullptr, L"MO 10:00:01,00 [00002]", L"84|82|2007-03-12|MO 10:00:01,00 [00002]|INF|t", L"2007-03-06 10:00:05", 46},  // the most recent
        {nullptr, L"MO 10:00:29,00 [00030]", L"84|29|2007-03-05|MO 10:00:29,00 [00030]|INF|t", L"2007-03-13", 83},  // after all: the last
        {nullptr, L"MO 23:59:59,99 [00041]", L"84|40|2007-03-05|MO 23:59:59,99 [00041]|ERR|late"},  // in the Tuesday's file
        {L"TS070306.txt", nullptr, L"41|40|2007-03-06|TU 10:00:39,00 [00040]|INF|t", L"10:00:05", 6},  // a file: at its end
        {nullptr, L"MO 23:59:59,99 [00041]", L"84|40|2007-03-05|MO 23:59:59,99 [00041]|ERR|late", nullptr, 0, 1},
        {nullptr, L"MO 10:00:29,00 [00030]", L"84|29|2007-03-05|MO 10:00:29,00 [00030]|INF|t", nullptr, 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.shown));
        const std::wstring t = L"/T:" + std::wstring(c.time ? c.time : L"");
        ViewerProcess v(c.file ? trace_ + L"\\" + c.file : c.quoted ? (c.quoted > 1 ? kvtest::Quote(trace_) : trace_) + L" " + kvtest::Quote(t) : trace_ + L" " + t);
        ASSERT_NE(v.list(), nullptr);
        EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Selected() >= 0; }, 30000));
        const long long s = v.Selected();
        EXPECT_EQ(std::to_wstring(v.Count()) + L"|" + std::to_wstring(s) + L"|" + v.Cell(s, 0) + L"|" + v.Cell(s, 1) + L"|" + v.Cell(s, 2) +
                  L"|" + v.Cell(s, 6), c.shown);
        if (!c.go) continue;
        v.Type(v.Control(L"BUTTON", L"Filter"), c.go);
        v.Click(L"Go to");
        EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Selected() == c.goRow; }, 30000)) << v.Selected();
    }
    // A path that is not there: the status bar says so, with the system's reason.
    ViewerProcess missing(dir_.file(L"missing"));
    ASSERT_NE(missing.list(), nullptr);
    const std::wstring why = L"Cannot open '" + dir_.file(L"missing") + L"' (" + kv::ErrorText(ERROR_FILE_NOT_FOUND) + L")";
    EXPECT_TRUE(kvtest::PumpUntil([&] { return missing.Status() == why; }, 30000)) << kvtest::Narrow(missing.Status());
    // No file held between reads: the history clean-up deletes one at once; its unshown rows say they cannot be read.
    WriteRows(trace_, 2007, 3, 1, Day(L"TH", 1, 3000));
    ViewerProcess v(trace_);
    ASSERT_TRUE(kvtest::PumpUntil([&] { return v.Count() == 3084 && v.Selected() == 3083; }, 30000)) << v.Count();
    const std::wstring first = trace_ + L"\\TS070301.txt";
    EXPECT_TRUE(::DeleteFileW(first.c_str()));
    EXPECT_FALSE(kvtest::FileExists(first)) << "gone at once: no reader holds it";
    EXPECT_EQ(v.Cell(2500, 6), L"<this line cannot be read from its file (" + kv::ErrorText(ERROR_FILE_NOT_FOUND) + L")>");
}

// Filters, marks, and following filtered: the next day's file, a line written in two parts, the file written anew.
TEST_F(Viewer, FiltersMarksAndFollowingAcrossMidnightAndRewrites) {
    ViewerProcess v(trace_);
    ASSERT_NE(v.list(), nullptr);
    ASSERT_TRUE(kvtest::PumpUntil([&] { return v.Selected() == 83; }, 30000)) << v.Selected();
    // Marks from the files (rows 40 and 81), wrapping round, never the selected row; taken off.
    const int marks[][2] = {{kNextMark, 40}, {kPrevMark, 81}, {kMark, 81}, {kNextMark, 40}, {kPrevMark, 40}, {kMark, 40}, {kNextMark, 40}};
    for (const auto& m : marks) {
        v.Command(m[0]);
        EXPECT_EQ(v.Selected(), m[1]) << m[0];
    }
    v.Type(v.Control(L"STATIC", L"Process"), L"Q.E");
    v.Click(L"Filter");
    EXPECT_EQ(v.Table({0, 1, 2, 3, 6}), L"2007-03-05|MO 23:59:59,99 [00041]|ERR|q.exe [7]|late\n");
    v.Type(v.Control(L"STATIC", L"Process"), L"");
    v.Type(v.Control(L"STATIC", L"Module"), L"x");
    v.Click(L"Filter");
    EXPECT_EQ(v.Count(), 0);
    v.Type(v.Control(L"STATIC", L"Module"), L"");
    // Only the rows of the first ten seconds of each day, whose time holds "10:00:0".
    v.Click(L"Follow");
    v.Type(v.Control(L"STATIC", L"Text"), L"10:00:0");
    v.Click(L"Filter");
    const std::wstring before = Shown(L"2007-03-05", L"MO", 1, 10) + Shown(L"2007-03-06", L"TU", 1, 10);
    Shows(v, {0, 1, 2, 6}, before + Shown(L"2007-03-12", L"MO", 1, 3));
    WriteRows(trace_, 2007, 3, 12, Day(L"MO", 4, 1));
    const std::wstring monday = Shown(L"2007-03-12", L"MO", 1, 3) + Shown(L"2007-03-12", L"MO", 4, 1);
    Shows(v, {0, 1, 2, 6}, before + monday);
    // Midnight: the server's next line goes to the Tuesday's file, the one after it in two parts; so the next, which
    // passes the filter only once whole.
    const std::wstring tuesday = trace_ + L"\\TS070313.txt", half = L"TU 10:00:09,00 [00003]|INF |p.exe [1]|m [2]|f|",
                       other = L"TU 10:00:19,00 [00004]|INF |p.exe [1]|m [2]|f|";
    WriteRows(trace_, 2007, 3, 13, Day(L"TU", 1, 2));
    const std::string written = kvtest::ReadBytes(tuesday);
    kvtest::WriteBytes(tuesday, written + Utf16(half));
    Shows(v, {0, 1, 2, 6}, before + monday + Shown(L"2007-03-13", L"TU", 1, 2) + L"2007-03-13|TU 10:00:09,00 [00003]|INF|\n");
    kvtest::WriteBytes(tuesday, written + Utf16(half + L"t|0|30\r\n" + other));
    EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Status() == L"27 rows of 89 lines in 4 files"; }, 30000)) << kvtest::Narrow(v.Status());
    kvtest::WriteBytes(tuesday, written + Utf16(half + L"t|0|30\r\n" + other + L"at 10:00:05|0|30\r\n"));
    Shows(v, {0, 1, 2, 6}, before + monday + Shown(L"2007-03-13", L"TU", 1, 2) + L"2007-03-13|TU 10:00:09,00 [00003]|INF|t\n2007-03-13|TU 10:00:19,00 [00004]|INF|at 10:00:05\n");
    kvtest::WriteBytes(tuesday, "");
    WriteRows(trace_, 2007, 3, 13, Day(L"TU", 9, 1));
    Shows(v, {0, 1, 2, 6}, before + monday + Shown(L"2007-03-13", L"TU", 9, 1));
    v.Click(L"INF");  // info rows off: none left
    EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Count() == 0; }, 30000)) << v.Count();
}

// Three stations as one list by time, past the merge's 64-row steps; found, filtered and followed across them.
TEST_F(Viewer, SeveralStationsAsOneListByTimeWhileTheyWrite) {
    const std::wstring north = dir_.file(L"n"), south = dir_.file(L"s"), west = dir_.file(L"w");
    WriteStations(north, south);
    WriteRows(west, 2007, 3, 12, Day(L"MO", 1, 60));
    ViewerProcess v(L"north=" + north + L" " + kvtest::Quote(L"south=" + south) + L" west=" + west);
    ASSERT_NE(v.list(), nullptr);
    // By time past midnight; equal stamps in the stations' order, each station's own kept.
    std::wstring merged = L"south|s1\nnorth|n1\nwest|t\nnorth|n2\nsouth|s2\n";
    for (int i = 0; i < 59; ++i) merged += L"west|t\n";
    merged += L"north|n3\nnorth|n4\nsouth|s3\nnorth|n5\nsouth|s4\n";
    Shows(v, {7, 6}, merged);
    EXPECT_EQ(v.Selected(), 68);
    // Go to the first row; find across the stations ("[00004]" in w4, n4 and s4) and back.
    v.Type(v.Control(L"BUTTON", L"Filter"), L"2007-03-12 00:00");
    v.Click(L"Go to");
    EXPECT_EQ(v.Selected(), 0);
    v.Command(kFind);
    HWND find = nullptr;
    ASSERT_TRUE(kvtest::PumpUntil([&] { return (find = ::FindWindowW(L"#32770", nullptr)) && ::GetWindow(find, GW_OWNER) == v.main(); }));
    v.Send(::GetDlgItem(find, 1152), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"[00004]"));
    v.Send(::GetDlgItem(find, IDOK), BM_CLICK);
    EXPECT_EQ(v.Selected(), 7);
    for (const auto& step : {std::pair<int, int>{kFindNext, 65}, {kFindNext, 68}, {kFindPrev, 65}}) {
        v.Command(step.first);
        EXPECT_EQ(v.Selected(), step.second) << step.first;
    }
    // Filtered to the rows numbered 4, 14, ..., also while they write (stamped long ago: at once).
    v.Type(v.Control(L"STATIC", L"Text"), L"4]");
    v.Click(L"Filter");
    const std::wstring fours = L"west|t\nwest|t\nwest|t\nwest|t\nwest|t\nwest|t\nnorth|n4\nsouth|s4\n";
    Shows(v, {7, 6}, fours);
    v.Click(L"Follow");
    // South's next line half-written behind a whole one: placed once whole, and filtered on its whole text.
    const std::wstring tuesday = south + L"\\TS070313.txt", head = L"|INF |p [1]|m [2]|f|";
    Append(tuesday, L"TU 00:00:01,00 [00024]" + head + L"s5|0|30\r\nTU 00:00:02,00 [00025]" + head);
    WriteRows(north, 2007, 3, 13, {Row(L"TU 00:00:01,50 [00014]", L"n6")});
    Shows(v, {7, 6}, fours + L"south|s5\nnorth|n6\n");
    Append(tuesday, L"s6 4]|0|30\r\n");
    const std::wstring more = fours + L"south|s5\nnorth|n6\nsouth|s6 4]\nsouth|s7 4]\n";
    Shows(v, {7, 6}, more.substr(0, more.size() - 12));
    // So again past the merge's read-ahead of 8192 lines in one poll.
    std::wstring lines;
    for (int i = 0; i < 8200; ++i) lines += L"TU 00:00:03,00 [00030]" + head + (i < 8199 ? L"x" : L"s7 4]") + L"|0|30\r\n";
    Append(tuesday, lines + L"TU 00:00:04,00 [00031]" + head);
    Shows(v, {7, 6}, more);
    Append(tuesday, L"s8 4]|0|30\r\n");
    Shows(v, {7, 6}, more + L"south|s8 4]\n");
    v.Type(v.Control(L"STATIC", L"Text"), L"");
    v.Click(L"Filter");
    EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Count() == 8273; }, 30000)) << v.Count();
}

// A large history of four stations, one of whose files is written anew while followed: the window answers
// throughout the merge of every station again, the list ends in the new order, and the selected line stays selected.
// The new file is of the night the clock goes back an hour: its lines keep their file order.
TEST_F(Viewer, AStationsFileWrittenAnewIsMergedAgainWhileTheWindowAnswers) {
    const int stations = 4, n = 100000;
    std::wstring args, line(80, L' ');
    for (int k = 0; k < stations; ++k) {
        const std::wstring name = L"s" + std::to_wstring(k), dir = dir_.file(name), time = L"SU 10:00:0" + std::to_wstring(k) + L",00 [00001]";
        WriteRows(dir, 2007, 10, 28, {Row(time.c_str(), (name + L" today").c_str())});
        std::wstring history;
        for (int i = 0, t = k; i < n; ++i, t += stations)  // hundredths: the stations' lines alternate
            history.append(line.c_str(), swprintf(&line[0], 80, L"SA %02d:%02d:%02d,%02d [%05d]|INF |p [1]|m [2]|f|h|0|30\r\n",
                                                  t / 360000, t / 6000 % 60, t / 100 % 60, t % 100, i));
        kvtest::WriteBytes(dir + L"\\TS071027.txt", Utf16(history));
        args += L" " + name + L"=" + dir;
    }
    ViewerProcess v(args);
    ASSERT_NE(v.list(), nullptr);
    const long long rows = stations * (n + 1) + 1, cut = stations * n + 1;  // s1's first line today was row `cut`
    ASSERT_TRUE(kvtest::PumpUntil([&] { return v.Count() == rows - 1 && v.Selected() == rows - 2; }, 120000)) << v.Count();
    v.Type(v.Control(L"STATIC", L"Process"), L"P");  // every line passes: the rows shown are chosen on the thread too
    v.Click(L"Filter");
    v.Click(L"Follow");
    // s1's file replaced at once by one whose two lines, before and after 03:00 became 02:00, come before s0's.
    const std::wstring file = dir_.file(L"s1") + L"\\TS071028.txt", head = L"|INF |p.exe [1]|m [2]|f|";
    kvtest::WriteBytes(file + L".new", Utf16(L"SU 02:30:00,00 [00001]" + head + L"summer|0|30\r\nSU 02:10:00,00 [00002]" + head + L"winter|0|30\r\n"));
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ::MoveFileExW((file + L".new").c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING); })) << "not while a poll reads it";
    auto shown = [&] { std::wstring s; for (long long r = cut - 2; r < rows; ++r) s += v.Cell(r, 7) + L"|" + v.Cell(r, 6) + L"\n"; return s; };
    // While it merges (when the test happens to look), the rows before s1's file stay, and the status says why.
    const std::wstring merging = std::to_wstring(cut) + L" rows of " + std::to_wstring(cut) + L" lines in 8 files, merging again...";
    int late = 0, odd = 0;
    EXPECT_TRUE(kvtest::PumpUntil([&] {
        const std::wstring status = v.Status(2000);
        late += status == L"<no answer>", odd += status.find(L"merging") != std::wstring::npos && status != merging;
        return v.Count() == rows && shown() == L"s3|h\ns1|summer\ns1|winter\ns0|s0 today\ns2|s2 today\ns3|s3 today\n";
    }, 120000)) << kvtest::Narrow(shown());
    EXPECT_EQ(late + odd, 0) << late << " answers later than 2 s, " << odd << " other texts while merging";
    EXPECT_EQ(v.Selected(), rows - 1) << "the last station's line, selected again";
}

}  // namespace

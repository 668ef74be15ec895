// Reading trace files back: lines written by the server's own writer split into their
// fields, "|" inside fields, damaged files, the daily files of a directory, the day
// change, the row of a time text and find.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/region.h"
#include "kvtest.h"
#include "serverlines.h"
#include "tracefiles/tracefiles.h"

using namespace kv::trc;

namespace {

std::wstring Line(TraceFile& f, size_t i) {
    std::vector<wchar_t> buf(kMaxLineChars + 1);
    const size_t n = f.ReadLine(i, buf.data(), buf.size());
    return std::wstring(buf.data(), n);
}

void OpenIndexed(TraceFile& f, const std::wstring& path) {
    DWORD error = 0;
    ASSERT_TRUE(f.Open(path, &error)) << kvtest::Narrow(path) << " error " << error;
    ASSERT_TRUE(f.Index());
}

void WriteWide(const std::wstring& path, const std::wstring& text, const std::string& extra = "") {
    std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    kvtest::WriteBytes(path, bytes + extra);
}

// Appends as the server does, beside readers.
void AppendWide(const std::wstring& path, const std::wstring& text) {
    HANDLE h = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n;
    ::WriteFile(h, text.data(), static_cast<DWORD>(text.size() * 2), &n, nullptr);
    ::CloseHandle(h);
}

const std::wstring kPipeText = L"a|b||c|0|30";

// One row for every way a field can look; the parser must give each back.
std::vector<RowSpec> Rows() {
    return {
        {L"MO 10:00:00,00 [00001]", 30, L"router.exe [1234]", L"Router [5678]", L"OpenLine", L"line 4 opened", 0, 0xF},
        {L"MO 10:00:00,01 [00002]", -1, L"KVTrcSrv.exe [99]", L"KVS:7", L"tracewnd_OnMenuCommand", L"***** X *****", 1, 0},
        {L"MO 10:00:00,02 [00003]", 0, L"KVTrcSrv.exe [99]", L"KVTrcSrv", L"tracewnd_Start", L"server", 0, 0x3},
        {L"MO 10:00:00,03 [00004]", 20, L"p.exe [1]", L"Mod|ule [42]", L"F", kPipeText, 0, 0x4},
        {L"MO 10:00:00,04 [00005]", 15, L"p.exe [1]", L"M [2]", L"F", L"level fifteen", 0, 0},
        {L"MO 10:00:00,05 [00006]", 10, L"averyveryverylongprocessname.exe [4242]", L"M [2]", L"F", L"|", 1, 0x8},
        {L"MO 10:00:00,06 [00007]", 40, L"averyveryverylongprocessname.exe [1]", L"ModuleModuleModuleMod [1234567]",
         L"ggggggggggggggggggggggggggggggggggggggggggggggggg", std::wstring(1000, L'x'), 0, 0x1},
        {L"MO 10:00:00,07 [123456]", 30, L"p.exe [1]", L"M [2]", L"", L"", 0, 0},
    };
}

class TraceFilesTest : public ::testing::Test {
protected:
    kvtest::TempDir dir_;
    ServerSettings saved_ = g_settings;
    void TearDown() override { g_settings = saved_; }
};

TEST_F(TraceFilesTest, SplitsEveryLineTheServerWrites) {
    const std::vector<RowSpec> rows = Rows();
    WriteRows(dir_.path(), 2007, 3, 12, rows);
    TraceFile f;
    OpenIndexed(f, dir_.file(L"TS070312.txt"));
    ASSERT_EQ(f.LineCount(), rows.size());
    EXPECT_TRUE(f.LastLineComplete());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        const RowSpec& r = rows[i];
        const std::wstring line = Line(f, i);
        LineFields x;
        ParseLine(line.data(), line.size(), &x);
        ASSERT_TRUE(x.split) << kvtest::Narrow(line);
        EXPECT_EQ(x.time.str(), r.time);
        EXPECT_EQ(x.tag.str(), LevelTagOf(r.level));
        EXPECT_EQ(x.process.str(), std::wstring(r.process).substr(0, 31));
        EXPECT_EQ(x.module.str(), r.module);
        EXPECT_EQ(x.function.str(), r.function);
        EXPECT_TRUE(x.hasTime);
        EXPECT_EQ(x.weekday, 1);
        EXPECT_EQ(x.hundredths, static_cast<int>(i));
        if (i == 6) {
            // 1000 characters of text: cut to 900, and the line's end cut further.
            EXPECT_TRUE(x.cut);
            EXPECT_EQ(x.text.str(), std::wstring(x.text.n, L'x'));
            EXPECT_EQ(x.level(), 40);
            EXPECT_EQ(line.size(), static_cast<size_t>(kLiveLineChars - 2));
            continue;
        }
        EXPECT_FALSE(x.cut);
        EXPECT_EQ(x.text.str(), r.text);
        EXPECT_EQ(x.markFlags, r.mark);
        EXPECT_EQ(x.level(), static_cast<short>(r.level));
        EXPECT_EQ(x.switches(), r.switches);
    }
    LineFields x;
    std::wstring line = Line(f, 0);
    ParseLine(line.data(), line.size(), &x);
    EXPECT_EQ(x.processName.str(), L"router.exe");
    EXPECT_EQ(x.pid, 1234);
    EXPECT_EQ(x.moduleName.str(), L"Router");
    EXPECT_EQ(x.tid, 5678);
    EXPECT_EQ(x.sequence, 1u);
    line = Line(f, 1);
    ParseLine(line.data(), line.size(), &x);
    EXPECT_EQ(x.tid, -1);
    EXPECT_EQ(x.level(), -1);
    line = Line(f, 5);  // the process cut before its number
    ParseLine(line.data(), line.size(), &x);
    EXPECT_EQ(x.pid, -1);
    line = Line(f, 7);
    ParseLine(line.data(), line.size(), &x);
    EXPECT_EQ(x.sequence, 123456u);
}

TEST_F(TraceFilesTest, LinesThatCannotBeSplitKeepTheirWholeText) {
    const wchar_t* const cases[] = {
        L"", L"just text", L"MO 10:00:00,00 [1]|INF|p|m|f|t|0|30", L"a|b|c", L"|||||||",
        L"MO 10:00:00,00 [1]|INF |p [1]|m [2]",
    };
    for (const wchar_t* c : cases) {
        LineFields x;
        ParseLine(c, wcslen(c), &x);
        EXPECT_FALSE(x.split) << kvtest::Narrow(c);
        EXPECT_EQ(x.text.str(), c);
    }
    // A level that is not the one the tag names: the digits are text of a cut line.
    const wchar_t* cut = L"MO 10:00:00,00 [1]|ERR |p [1]|m [2]|f|abc|0|30";
    LineFields x;
    ParseLine(cut, wcslen(cut), &x);
    EXPECT_TRUE(x.split && x.cut);
    EXPECT_EQ(x.text.str(), L"abc|0|30");
    EXPECT_EQ(x.level(), 10);
}

TEST_F(TraceFilesTest, DamagedFilesKeepEveryLine) {
    const std::wstring good = L"MO 10:00:00,00 [1]|INF |p [1]|m [2]|f|one|0|30\r\n";
    struct Case {
        const char* name;
        std::wstring wide;
        std::string extra;
        std::vector<std::wstring> lines;
    } cases[] = {
        {"truncated last line", good + L"MO 10:00", "", {good.substr(0, good.size() - 2), L"MO 10:00"}},
        {"cut in a character", good + L"ab", "\x41", {good.substr(0, good.size() - 2), L"ab\xFFFD"}},
        {"nul and lone cr", std::wstring(L"a\0b\rc\n", 6) + L"d\n", "", {L"a b\rc", L"d"}},
        {"byte-order mark", L"\xFEFF" + good, "", {good.substr(0, good.size() - 2)}},
        {"long line", std::wstring(40000, L'y') + L"\r\n" + good, "", {std::wstring(40000, L'y'), good.substr(0, good.size() - 2)}},
        {"empty lines", L"\r\n\r\n", "", {L"", L""}},
        {"empty file", L"", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring path = dir_.file(L"x.txt");
        WriteWide(path, c.wide, c.extra);
        TraceFile f;
        OpenIndexed(f, path);
        ASSERT_EQ(f.LineCount(), c.lines.size());
        for (size_t i = 0; i < c.lines.size(); ++i) EXPECT_EQ(Line(f, i), c.lines[i]) << i;
    }
}

TEST_F(TraceFilesTest, GrowingFileIsIndexedOnwards) {
    const std::wstring path = dir_.file(L"TS070312.txt");
    WriteWide(path, L"one\r\ntw");
    TraceFile f;
    OpenIndexed(f, path);
    EXPECT_EQ(f.LineCount(), 2u);
    EXPECT_FALSE(f.LastLineComplete());
    AppendWide(path, L"o\r\nthree\r\n");
    ASSERT_TRUE(f.Index());
    ASSERT_EQ(f.LineCount(), 3u);
    EXPECT_EQ(Line(f, 1), L"two");
    EXPECT_EQ(Line(f, 2), L"three");
    // Hundreds of lines, one of them longer than the index's short distances.
    std::wstring more;
    for (int i = 0; i < 300; ++i) more += (i == 100 ? std::wstring(40000, L'z') : L"line " + std::to_wstring(i)) + L"\r\n";
    AppendWide(path, more);
    ASSERT_TRUE(f.Index());
    ASSERT_EQ(f.LineCount(), 303u);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(Line(f, 3 + i), i == 100 ? std::wstring(40000, L'z') : L"line " + std::to_wstring(i)) << i;
    EXPECT_EQ(FindInFile(f, 0, true, L"LINE 250", {}), 253);
    EXPECT_EQ(FindInFile(f, 302, false, L"line 99", {}), 102);
    EXPECT_EQ(FindInFile(f, 0, true, L"zzz", {}), 103);
    // Deleting the file while it is open: the server may, and the lines stay readable.
    EXPECT_TRUE(::DeleteFileW(path.c_str()));
    EXPECT_EQ(Line(f, 0), L"one");
}

TEST_F(TraceFilesTest, DailyFilesComeInDateOrderWithTheFallbackFirst) {
    for (const wchar_t* name : {L"TS000101.txt", L"TS991231.txt", L"ts070315.TXT", L"riviveda.txt", L"TS0703.txt",
                                L"TS071399.txt", L"TS070315.txt.bak", L"notes.txt"})
        kvtest::WriteBytes(dir_.file(name), "");
    ::CreateDirectoryW(dir_.file(L"TS070316.txt").c_str(), nullptr);
    std::vector<DayFile> days;
    DWORD error = 0;
    ASSERT_TRUE(ListDayFiles(dir_.path() + L"\\", &days, &error));
    std::vector<std::wstring> names;
    for (const DayFile& d : days) names.push_back(d.path.substr(d.path.find_last_of(L'\\') + 1));
    EXPECT_EQ(names, (std::vector<std::wstring>{L"riviveda.txt", L"TS991231.txt", L"TS000101.txt", L"ts070315.TXT"}));
    EXPECT_FALSE(days[0].date.known());
    EXPECT_EQ(days[3].date.year, 2007);
    EXPECT_EQ(WeekdayOf(days[3].date), 4);  // 15 March 2007 was a Thursday
    EXPECT_FALSE(ListDayFiles(dir_.file(L"missing"), &days, &error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(TraceFilesTest, RowsBeforeMidnightInTheNextDaysFileKeepTheirDay) {
    const Date thu15{2007, 3, 15};
    EXPECT_TRUE(LineDate(thu15, WeekdayFromText(L"WE", 2)) == (Date{2007, 3, 14}));
    EXPECT_TRUE(LineDate(thu15, WeekdayFromText(L"th", 2)) == thu15);
    EXPECT_TRUE(LineDate(Date{2007, 1, 1}, 0) == (Date{2006, 12, 31}));  // a Monday's file, a Sunday row
    EXPECT_TRUE(LineDate(Date{}, 3) == Date{});
}

TEST_F(TraceFilesTest, TimeTextFindsTheMostRecentRowOfItsWeekday) {
    // Two Mondays and the Tuesday between, each with sequence numbers from 1; the
    // Tuesday's file starts with a Monday row written after midnight.
    auto day = [](const wchar_t* wd, int first, int count) {
        std::vector<RowSpec> rows;
        for (int i = 0; i < count; ++i) {
            wchar_t time[32];
            swprintf(time, 32, L"%ls 10:00:00,00 [%05d]", wd, first + i);
            rows.push_back({_wcsdup(time), 30, L"p [1]", L"m [2]", L"f", L"t", 0, 0});
        }
        return rows;
    };
    WriteRows(dir_.path(), 2007, 3, 5, day(L"MO", 1, 5));
    std::vector<RowSpec> tuesday = day(L"MO", 6, 1);
    for (const RowSpec& r : day(L"TU", 1, 5)) tuesday.push_back(r);
    WriteRows(dir_.path(), 2007, 3, 6, tuesday);
    WriteRows(dir_.path(), 2007, 3, 12, day(L"MO", 1, 3));
    std::vector<DayFile> days;
    ASSERT_TRUE(ListDayFiles(dir_.path(), &days, nullptr));
    ASSERT_EQ(days.size(), 3u);
    std::vector<std::unique_ptr<TraceFile>> owned;
    std::vector<TraceFile*> files;
    for (const DayFile& d : days) {
        owned.emplace_back(new TraceFile);
        OpenIndexed(*owned.back(), d.path);
        files.push_back(owned.back().get());
    }
    struct {
        const wchar_t* text;
        bool found;
        size_t file, line;
    } cases[] = {
        {L"MO 10:00:00,00 [00002]", true, 2, 1},   // the later Monday wins
        {L"MO 09:00:00,00 [00004]", true, 0, 3},   // only the first Monday has it
        {L"MO 23:59:59,99 [00006]", true, 1, 0},   // in the Tuesday's file
        {L"TU 10:00:00,00 [00005]", true, 1, 5},
        {L"WE 10:00:00,00 [00001]", false, 0, 0},
        {L"no time", false, 0, 0},
    };
    for (const auto& c : cases) {
        RowRef ref;
        EXPECT_EQ(FindRowByTimeText(files, days, c.text, &ref), c.found) << kvtest::Narrow(c.text);
        if (c.found) {
            EXPECT_TRUE(ref.file == c.file && ref.line == c.line) << kvtest::Narrow(c.text) << " " << ref.file << ":" << ref.line;
        }
    }
}

TEST_F(TraceFilesTest, FindFollowsTheWindowsRules) {
    struct {
        const wchar_t* cell;
        const wchar_t* what;
        bool matchCase, wholeWord, hit;
    } cells[] = {
        {L"xxABCyy", L"abc", false, false, true}, {L"xxABCyy", L"abc", true, false, false},
        {L"12 abc 34", L"abc", false, true, true}, {L"12 abcd 34", L"abc", false, true, false},
        {L"ab", L"abc", false, false, false},      {L"\x00C4rger", L"\x00E4rger", false, false, true},
    };
    for (const auto& c : cells)
        EXPECT_EQ(CellMatches(c.cell, wcslen(c.cell), c.what, wcslen(c.what), {c.matchCase, c.wholeWord}), c.hit)
            << kvtest::Narrow(c.cell);

    std::vector<RowSpec> rows = Rows();
    rows[2].text = L"needle in text";
    rows[4].function = L"Needle";
    rows[5].text = L"ne|edle split by a bar";
    WriteRows(dir_.path(), 2007, 3, 12, rows);
    TraceFile f;
    OpenIndexed(f, dir_.file(L"TS070312.txt"));
    EXPECT_EQ(FindInFile(f, 0, true, L"needle", {}), 2);
    EXPECT_EQ(FindInFile(f, 3, true, L"needle", {}), 4);
    EXPECT_EQ(FindInFile(f, 3, true, L"needle", {true, false}), -1);
    EXPECT_EQ(FindInFile(f, 7, false, L"needle", {}), 4);
    EXPECT_EQ(FindInFile(f, 3, false, L"needle", {}), 2);
    EXPECT_EQ(FindInFile(f, 0, true, L"ne|edle", {}), 5);
    EXPECT_EQ(FindInFile(f, 0, true, L"F|ne", {}), -1);  // only across a field's end
    EXPECT_EQ(FindInFile(f, 0, true, L"opened", {false, true}), 0);
    EXPECT_EQ(FindInFile(f, 0, true, L"open", {false, true}), -1);
}

}  // namespace

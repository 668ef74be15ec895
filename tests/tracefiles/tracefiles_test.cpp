// Reading trace files back: lines written by the server's own writer split into their
// fields, "|" inside fields, damaged files, the daily files of a directory, the day
// change, the row of a time text and find.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/owners.h"
#include "kvtest.h"
#include "serverlines.h"

using namespace kv::trc;

namespace {

std::wstring Line(TraceFile& f, size_t i) {
    std::vector<wchar_t> buf(kMaxLineChars + 1);
    size_t n = 0;
    EXPECT_TRUE(f.ReadLine(i, buf.data(), buf.size(), &n)) << "line " << i << " error " << f.error();
    return std::wstring(buf.data(), n);
}
LineFields Parse(const std::wstring& line) {  // spans point into line
    LineFields x;
    ParseLine(line.data(), line.size(), &x);
    return x;
}
std::unique_ptr<TraceFile> Indexed(const std::wstring& path) {
    auto f = std::make_unique<TraceFile>();
    DWORD error = 0;
    const bool ok = f->Open(path, &error) && f->Index();
    EXPECT_TRUE(ok) << kvtest::Narrow(path) << " error " << error;
    return ok ? std::move(f) : nullptr;
}
// Appends as the server does, beside readers; extra bytes after the text.
void Append(const std::wstring& path, const std::wstring& text, const std::string& extra = "") {
    const std::string bytes = std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2) + extra;
    HANDLE h = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD n;
    ASSERT_TRUE(h != INVALID_HANDLE_VALUE && ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr));
    ::CloseHandle(h);
}

using TraceFilesTest = ServerLinesTest;

TEST_F(TraceFilesTest, SplitsAndFindsInEveryLineTheServerWrites) {
    // One row for every way a field can look, with pid, tid and sequence number to read back.
    const std::vector<RowSpec> rows = {
        {L"MO 10:00:00,00 [00001]", 30, L"router.exe [1234]", L"Router [5678]", L"OpenLine", L"line 4 opened", 0, 0xF},
        {L"MO 10:00:00,01 [00002]", -1, L"KVTrcSrv.exe [99]", L"KVS:7", L"tracewnd_OnMenuCommand", L"***** \x00C4rger *****", 1, 0},
        {L"MO 10:00:00,02 [00003]", 0, L"KVTrcSrv.exe [99]", L"KVTrcSrv", L"tracewnd_Start", L"needle in \x212A" L"elvin", 0, 0x3},
        {L"MO 10:00:00,03 [00004]", 20, L"p.exe [1]", L"Mod|ule [42]", L"F", L"a|b||c|0|30", 0, 0x4},
        {L"MO 10:00:00,04 [00005]", 15, L"p.exe [1]", L"M [2]", L"Needle", L"ne|edle split by a bar", 0, 0},
        {L"MO 10:00:00,05 [00006]", 10, L"averyveryverylongprocessname.exe [4242]", L"M [2]", L"F", L"|", 1, 0x8},
        {L"MO 10:00:00,06 [00007]", 40, L"averyveryverylongprocessname.exe [1]", L"ModuleModuleModuleMod [1234567]",
         L"ggggggggggggggggggggggggggggggggggggggggggggggggg", std::wstring(1000, L'x'), 0, 0x1},
        {L"MO 10:00:00,07 [123456]", 30, L"p.exe [1]", L"M [2]", L"", L"", 0, 0},
    };
    const long long ids[][3] = {{1234, 5678, 1}, {99, -1, 2},  {99, -1, 3}, {1, 42, 4},
                                {1, 2, 5},       {-1, 2, 6},   {-1, 1234567, 7}, {1, 2, 123456}};
    WriteRows(dir_.path(), 2007, 3, 12, rows);
    auto f = Indexed(dir_.file(L"TS070312.txt"));
    ASSERT_TRUE(f);
    ASSERT_EQ(f->LineCount(), rows.size());
    EXPECT_TRUE(f->LastLineComplete());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        const RowSpec& r = rows[i];
        const std::wstring line = Line(*f, i);
        const LineFields x = Parse(line);
        ASSERT_TRUE(x.split) << kvtest::Narrow(line);
        EXPECT_EQ(x.time.str() + L"|" + x.tag.str() + L"|" + x.process.str() + L"|" + x.module.str() + L"|" + x.function.str(),
                  r.time + L"|" + LevelTagOf(r.level) + L"|" + std::wstring(r.process).substr(0, 31) + L"|" + r.module + L"|" + r.function);
        EXPECT_TRUE(x.hasTime && x.weekday == 1 && x.hundredths == static_cast<int>(i));
        EXPECT_EQ((std::vector<long long>{x.pid, x.tid, x.sequence}), (std::vector<long long>(ids[i], ids[i] + 3)));
        EXPECT_EQ(x.level(), static_cast<short>(r.level));
        if (i == 6) {  // 1000 characters of text: cut to 900, and the line's end cut further
            EXPECT_TRUE(x.cut);
            EXPECT_EQ(x.text.str(), std::wstring(x.text.n, L'x'));
            EXPECT_EQ(line.size(), static_cast<size_t>(kLiveLineChars - 2));
            continue;
        }
        EXPECT_FALSE(x.cut);
        EXPECT_EQ(x.text.str(), r.text);
        EXPECT_EQ(x.markFlags, r.mark);
        EXPECT_EQ(x.switches(), r.switches);
    }
    const std::wstring first = Line(*f, 0);
    const LineFields x = Parse(first);
    EXPECT_TRUE(x.processName == L"router.exe" && x.moduleName == L"Router");

    // Find: field by field, never across a field's end; letters beyond ASCII fold too.
    const struct {
        size_t from;
        bool down;
        const wchar_t* what;
        FindOptions options;
        long long hit;
    } finds[] = {
        {0, true, L"needle", {}, 2},          {3, true, L"needle", {}, 4},    {3, true, L"needle", {true, false}, -1},
        {7, false, L"needle", {}, 4},         {3, false, L"needle", {}, 2},   {0, true, L"ne|edle", {}, 4},
        {0, true, L"e|ne", {}, -1},           {0, true, L"opened", {false, true}, 0},
        {0, true, L"open", {false, true}, -1}, {0, true, L"\x00E4RGER", {}, 1},  {0, true, L"\x00E4rger", {true, false}, -1},
        {0, true, L"kelvin", {true, false}, -1},
    };
    for (const auto& c : finds)
        EXPECT_EQ(FindInFile(*f, c.from, c.down, c.what, c.options), c.hit) << kvtest::Narrow(c.what) << " from " << c.from;
    // Where the case tables give the Kelvin sign the lower case k (they do on Windows), the
    // quick scan for a text's first characters finds what the comparison of a cell finds.
    const std::wstring kelvin = L"needle in \x212A" L"elvin";
    for (const wchar_t* what : {L"KELVIN", L"N kelvin"}) {
        const bool folds = CellMatches(kelvin.c_str(), kelvin.size(), what, wcslen(what), {});
        EXPECT_EQ(FindInFile(*f, 0, true, what, {}), folds ? 2 : -1) << kvtest::Narrow(what);
    }
}

TEST_F(TraceFilesTest, LinesThatCannotBeSplitKeepTheirWholeText) {
    const struct {
        std::wstring line, text;
        bool split;
    } cases[] = {
        {L""}, {L"just text"}, {L"MO 10:00:00,00 [1]|INF|p|m|f|t|0|30"}, {L"a|b|c"}, {L"|||||||"},
        {L"MO 10:00:00,00 [1]|INF |p [1]|m [2]"},
        // A level that is not the one the tag names: the digits are text of a cut line.
        {L"MO 10:00:00,00 [1]|ERR |p [1]|m [2]|f|abc|0|30", L"abc|0|30", true},
    };
    for (const auto& c : cases) {
        const LineFields x = Parse(c.line);
        EXPECT_EQ(x.split, c.split) << kvtest::Narrow(c.line);
        EXPECT_EQ(x.text.str(), c.split ? c.text : c.line);
        EXPECT_TRUE(!c.split || (x.cut && x.level() == 10)) << kvtest::Narrow(c.line);
    }
}

TEST_F(TraceFilesTest, DamagedAndGrowingFilesKeepEveryLine) {
    const std::wstring good = L"MO 10:00:00,00 [1]|INF |p [1]|m [2]|f|one|0|30", y(40000, L'y');
    std::vector<DamagedFile> cases = DamagedFiles();
    for (const auto& c : std::vector<std::pair<const wchar_t*, std::wstring>>{
             {L"truncated last line", good + L"\r\nMO 10:00"},
             {L"nul and lone cr", std::wstring(L"a\0b\rc\n", 6) + L"d\n"},
             {L"byte-order mark", L"\xFEFF" + good + L"\r\n"},
             {L"long line", y + L"\r\n" + good + L"\r\n"},
             {L"empty lines", L"\r\n\r\n"},
             {L"empty file", L""}})
        cases.push_back({c.first, Utf16(c.second)});
    for (const DamagedFile& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.name));
        const std::wstring path = dir_.file(L"x.txt");
        kvtest::WriteBytes(path, c.bytes);
        std::vector<std::wstring> lines = LinesOf(c.bytes);
        if (c.bytes.compare(0, 2, "\xFF\xFE") == 0) lines[0].erase(0, 1);  // the mark is no text
        auto f = Indexed(path);
        ASSERT_TRUE(f);
        ASSERT_EQ(f->LineCount(), lines.size());
        std::vector<std::wstring> passed;
        EXPECT_TRUE(f->ForEachLine(0, lines.size(), [&](size_t, const wchar_t* t, size_t n) { passed.emplace_back(t, n); }));
        EXPECT_TRUE(passed == lines) << "a pass hands out exactly what the file holds";
        for (size_t i = 0; i < lines.size(); ++i) {
            std::wstring shown = lines[i].substr(0, kMaxLineChars);
            for (wchar_t& ch : shown) ch = ch ? ch : L' ';
            EXPECT_TRUE(Line(*f, i) == shown) << i;
        }
    }

    // A line of 4 GiB and more (a file left sparse, then ended): cut like any long line,
    // never wrapped to a short one. Only 32-bit sizes can wrap: elsewhere the reading of
    // 4 GiB is spared.
    if (sizeof(size_t) == 4) {
        const std::wstring path = dir_.file(L"huge.txt");
        kv::UniqueHandle h(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        LARGE_INTEGER at;
        at.QuadPart = 0x100000000LL;
        DWORD n = 0;
        ASSERT_TRUE(::SetFilePointerEx(h.get(), at, nullptr, FILE_BEGIN) && ::WriteFile(h.get(), "\r\0\n\0", 4, &n, nullptr));
        h.reset();
        auto f = Indexed(path);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->LineCount(), 1u);
        EXPECT_TRUE(Line(*f, 0) == std::wstring(kMaxLineChars, L' '));
        ::DeleteFileW(path.c_str());
    }

    // Growing: indexed onwards from an unfinished line, hundreds of lines, one longer
    // than the index's short distances.
    const std::wstring path = dir_.file(L"TS070312.txt");
    Append(path, L"one\r\ntw");
    auto f = Indexed(path);
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->LineCount() == 2 && !f->LastLineComplete());
    std::wstring more = L"o\r\nthree\r\n";
    auto nth = [](int i) { return i == 100 ? std::wstring(40000, L'z') : L"line " + std::to_wstring(i); };
    for (int i = 0; i < 300; ++i) more += nth(i) + L"\r\n";
    Append(path, more);
    ASSERT_TRUE(f->Index());
    ASSERT_EQ(f->LineCount(), 303u);
    EXPECT_TRUE(Line(*f, 1) == L"two" && Line(*f, 2) == L"three");
    for (int i = 0; i < 300; ++i) ASSERT_EQ(Line(*f, 3 + i), nth(i)) << i;
    EXPECT_EQ(FindInFile(*f, 0, true, L"LINE 250", {}), 253);
    EXPECT_EQ(FindInFile(*f, 302, false, L"line 99", {}), 102);
    EXPECT_EQ(FindInFile(*f, 0, true, L"zzz", {}), 103);

    // Idle, the file is not held: the server's delete takes it at once, and a read says
    // it could not read.
    EXPECT_TRUE(::DeleteFileW(path.c_str()));
    EXPECT_FALSE(kvtest::FileExists(path)) << "not held open by the reader";
    EXPECT_FALSE(f->OpenPass());
    EXPECT_FALSE(f->Index());
    EXPECT_EQ(f->error(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// The follower: the day change read to the old file's end, a file that starts over, and
// polls that fail, reported once and tried again after growing pauses.
class Recorder : public FollowSink {
public:
    std::vector<std::wstring> events;
    std::vector<std::unique_ptr<TraceFile>> files;
    std::function<void()> onLines;  // once, inside the next report of lines
    bool Lines(TraceFile& f, bool startedOver, bool final) override {
        events.push_back(Name(f) + L" " + std::to_wstring(f.LineCount()) + (startedOver ? L" over" : L"") +
                         (final ? L" final" : L""));
        if (auto once = std::move(onLines)) onLines = nullptr, once();
        return true;
    }
    TraceFile* NextDay(const DayFile& d) override {
        files.push_back(std::make_unique<TraceFile>());
        files.back()->Open(d.path, nullptr);
        events.push_back(L"next " + Name(*files.back()));
        return files.back().get();
    }
    void Failed(const std::wstring& path, DWORD) override { events.push_back(L"failed " + path.substr(path.size() - 12)); }
    static std::wstring Name(const TraceFile& f) { return f.path().substr(f.path().size() - 12); }
    std::vector<std::wstring> Take() { return std::move(events); }
};

TEST_F(TraceFilesTest, FollowerReadsTheOldDayToItsEndStartsOverAndBacksOff) {
    using Events = std::vector<std::wstring>;
    WriteRows(dir_.path(), 2007, 3, 12, Day(L"MO", 1, 2));
    Recorder sink;
    auto first = Indexed(dir_.file(L"TS070312.txt"));
    Follower follower;
    follower.Follow(first.get(), dir_.path(), Date{2007, 3, 12});
    ULONGLONG now = 1000;
    // The server writes a last Monday row and moves on to Tuesday between the follower's
    // read of the Monday file and its look at the directory.
    sink.onLines = [&] {
        WriteRows(dir_.path(), 2007, 3, 12, Day(L"MO", 3, 1));
        WriteRows(dir_.path(), 2007, 3, 13, Day(L"TU", 1, 1));
    };
    EXPECT_TRUE(follower.Poll(sink, now));
    EXPECT_EQ(sink.Take(), (Events{L"TS070312.txt 2", L"TS070312.txt 3 final", L"next TS070313.txt", L"TS070313.txt 1"}));
    EXPECT_FALSE(follower.Poll(sink, now + Follower::kPollMs - 1)) << "not due yet";

    // Cut short and written again, longer than before.
    const std::wstring tuesday = dir_.file(L"TS070313.txt");
    kvtest::WriteBytes(tuesday, "");
    WriteRows(dir_.path(), 2007, 3, 13, Day(L"TU", 7, 4));
    EXPECT_TRUE(follower.Poll(sink, now += Follower::kPollMs));
    EXPECT_EQ(sink.Take(), Events{L"TS070313.txt 4 over"});

    // Held by another program: said once, tried again after 2, 4, 8 and at most 8 s.
    kv::UniqueHandle held(::CreateFileW(tuesday.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    for (DWORD pause : {500u, 1000u, 2000u, 4000u, 8000u, 8000u}) {
        EXPECT_TRUE(follower.Poll(sink, now += follower.PauseMs(now)));
        EXPECT_EQ(follower.PauseMs(now), pause);
    }
    EXPECT_EQ(sink.Take(), Events{L"failed TS070313.txt"});
    held.reset();
    WriteRows(dir_.path(), 2007, 3, 13, Day(L"TU", 5, 1));
    EXPECT_TRUE(follower.Poll(sink, now += follower.PauseMs(now)));
    EXPECT_EQ(sink.Take(), Events{L"TS070313.txt 5"});
    EXPECT_EQ(follower.PauseMs(now), Follower::kPollMs);
}

TEST_F(TraceFilesTest, DailyFilesComeInDateOrderAndRowsKeepTheirDay) {
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
    EXPECT_TRUE(days[3].date.year == 2007 && WeekdayOf(days[3].date) == 4);  // 15 March 2007 was a Thursday
    EXPECT_FALSE(ListDayFiles(dir_.file(L"missing"), &days, &error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // Rows before midnight in the next day's file keep their day.
    const Date thu15{2007, 3, 15};
    EXPECT_TRUE(LineDate(thu15, WeekdayFromText(L"WE", 2)) == (Date{2007, 3, 14}));
    EXPECT_TRUE(LineDate(thu15, WeekdayFromText(L"th", 2)) == thu15);
    EXPECT_TRUE(LineDate(Date{2007, 1, 1}, 0) == (Date{2006, 12, 31}));  // a Monday's file, a Sunday row
    EXPECT_TRUE(LineDate(Date{}, 3) == Date{});
}

TEST_F(TraceFilesTest, TimeTextFindsTheMostRecentRowOfItsWeekday) {
    // Two Mondays and the Tuesday between, each numbered from 1; the Tuesday's file starts
    // with a Monday row written after midnight.
    std::vector<RowSpec> tuesday = Day(L"MO", 6, 1), tu = Day(L"TU", 1, 5);
    tuesday.insert(tuesday.end(), tu.begin(), tu.end());
    WriteRows(dir_.path(), 2007, 3, 5, Day(L"MO", 1, 5));
    WriteRows(dir_.path(), 2007, 3, 6, tuesday);
    WriteRows(dir_.path(), 2007, 3, 12, Day(L"MO", 1, 3));
    std::vector<DayFile> days;
    ASSERT_TRUE(ListDayFiles(dir_.path(), &days, nullptr));
    std::vector<std::unique_ptr<TraceFile>> owned;
    std::vector<TraceFile*> files;
    for (const DayFile& d : days) {
        owned.push_back(Indexed(d.path));
        ASSERT_TRUE(owned.back());
        files.push_back(owned.back().get());
    }
    const struct {
        const wchar_t* text;
        const char* row;  // file:line
    } cases[] = {
        {L"MO 10:00:00,00 [00002]", "2:1"},  // the later Monday wins
        {L"MO 09:00:00,00 [00004]", "0:3"},  // only the first Monday has it
        {L"MO 23:59:59,99 [00006]", "1:0"},  // in the Tuesday's file
        {L"TU 10:00:00,00 [00005]", "1:5"},  {L"WE 10:00:00,00 [00001]", "none"}, {L"no time", "none"},
    };
    for (const auto& c : cases) {
        RowRef ref;
        const bool found = FindRowByTimeText(files, days, c.text, &ref);
        EXPECT_EQ(found ? std::to_string(ref.file) + ":" + std::to_string(ref.line) : "none", c.row) << kvtest::Narrow(c.text);
    }
}

}  // namespace

// Reading trace files back where the programs around the library do not show it whole:
// find, single lines of damaged and growing files, and the follower's day change and
// pauses. (kvtrccat's tests compare the fields, dates and file order of whole directories.)
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
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
std::unique_ptr<TraceFile> Indexed(const std::wstring& path) {
    auto f = std::make_unique<TraceFile>();
    DWORD error = 0;
    const bool ok = f->Open(path, &error) && f->Index();
    EXPECT_TRUE(ok) << kvtest::Narrow(path) << " error " << error;
    return ok ? std::move(f) : nullptr;
}
// Appends as the server does, beside readers.
void Append(const std::wstring& path, const std::wstring& text) {
    HANDLE h = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD n;
    ASSERT_TRUE(h != INVALID_HANDLE_VALUE && ::WriteFile(h, text.data(), static_cast<DWORD>(text.size() * 2), &n, nullptr));
    ::CloseHandle(h);
}

using TraceFilesTest = ServerLinesTest;

// Find: field by field, never across a field's end; letters beyond ASCII fold too.
TEST_F(TraceFilesTest, FindLooksFieldByField) {
    auto row = [](const wchar_t* module, const wchar_t* function, const wchar_t* text) {
        return RowSpec{L"MO 10:00:00,00 [00001]", 30, L"p.exe [1]", module, function, text, 0, 0};
    };
    WriteRows(dir_.path(), 2007, 3, 12, {row(L"M [2]", L"f", L"line 4 opened"), row(L"M [2]", L"f", L"***** \x00C4rger *****"),
                                         row(L"M [2]", L"f", L"needle in \x212A" L"elvin"), row(L"Mod|ule [42]", L"F", L"a|b"),
                                         row(L"M [2]", L"Needle", L"ne|edle split by a bar"), row(L"M [2]", L"f", L"|")});
    auto f = Indexed(dir_.file(L"TS070312.txt"));
    ASSERT_TRUE(f);
    const struct {
        size_t from;
        bool down;
        const wchar_t* what;
        FindOptions options;
        long long hit;
    } finds[] = {
        {0, true, L"needle", {}, 2},          {3, true, L"needle", {}, 4},    {3, true, L"needle", {true, false}, -1},
        {5, false, L"needle", {}, 4},         {3, false, L"needle", {}, 2},   {0, true, L"ne|edle", {}, 4},
        {0, true, L"e|ne", {}, -1},           {0, true, L"opened", {false, true}, 0},
        {0, true, L"open", {false, true}, -1}, {0, true, L"\x00E4RGER", {}, 1},  {0, true, L"\x00E4rger", {true, false}, -1},
        {0, true, L"kelvin", {true, false}, -1}, {5, true, L"needle", {}, -1},
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

TEST_F(TraceFilesTest, DamagedAndGrowingFilesKeepEveryLine) {
    std::vector<DamagedFile> cases = DamagedFiles();
    const std::wstring good = L"MO 10:00:00,00 [1]|INF |p [1]|m [2]|f|one|0|30";
    cases.push_back({L"", Utf16(good + L"\r\nMO 10:00")});
    cases.push_back({L"", Utf16(L"\xFEFF" + good + L"\r\n")});
    for (const DamagedFile& c : cases) {
        SCOPED_TRACE(c.bytes.size());
        kvtest::WriteBytes(dir_.file(L"x.txt"), c.bytes);
        std::vector<std::wstring> lines = LinesOf(c.bytes);
        if (c.bytes.compare(0, 2, "\xFF\xFE") == 0) lines[0].erase(0, 1);  // the mark is no text
        auto f = Indexed(dir_.file(L"x.txt"));
        ASSERT_TRUE(f);
        ASSERT_EQ(f->LineCount(), lines.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            std::wstring shown = lines[i].substr(0, kMaxLineChars);
            for (wchar_t& ch : shown) ch = ch ? ch : L' ';
            EXPECT_TRUE(Line(*f, i) == shown) << i;
        }
    }
    // A line of 4 GiB (a file left sparse, then ended): cut like any long line, never
    // wrapped to a short one. Only 32-bit sizes can wrap: elsewhere the 4 GiB are spared.
    if (sizeof(size_t) == 4) {
        kv::UniqueHandle h(::CreateFileW(dir_.file(L"huge.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        LARGE_INTEGER at;
        at.QuadPart = 0x100000000LL;
        DWORD n = 0;
        ASSERT_TRUE(::SetFilePointerEx(h.get(), at, nullptr, FILE_BEGIN) && ::WriteFile(h.get(), "\r\0\n\0", 4, &n, nullptr));
        h.reset();
        auto f = Indexed(dir_.file(L"huge.txt"));
        ASSERT_TRUE(f && f->LineCount() == 1u);
        EXPECT_TRUE(Line(*f, 0) == std::wstring(kMaxLineChars, L' '));
        ::DeleteFileW(dir_.file(L"huge.txt").c_str());
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
    EXPECT_TRUE(f->LastLineComplete() && Line(*f, 1) == L"two" && Line(*f, 2) == L"three");
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
struct Recorder : FollowSink {
    std::wstring events;
    std::vector<std::unique_ptr<TraceFile>> files;
    std::function<void()> onLines;  // once, inside the next report of lines
    static std::wstring Name(const std::wstring& path) { return path.substr(path.size() - 12); }
    bool Lines(TraceFile& f, bool over, bool final) override {
        events += Name(f.path()) + L" " + std::to_wstring(f.LineCount()) + (over ? L" over" : L"") + (final ? L" final" : L"") + L"; ";
        if (auto once = std::move(onLines)) onLines = nullptr, once();
        return true;
    }
    TraceFile* NextDay(const DayFile& d) override {
        files.push_back(std::make_unique<TraceFile>());
        files.back()->Open(d.path, nullptr);
        events += L"next " + Name(d.path) + L"; ";
        return files.back().get();
    }
    void Failed(const std::wstring& path, DWORD) override { events += L"failed " + Name(path) + L"; "; }
    std::string Take() { return kvtest::Narrow(std::exchange(events, std::wstring())); }
};

TEST_F(TraceFilesTest, FollowerReadsTheOldDayToItsEndStartsOverAndBacksOff) {
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
    EXPECT_EQ(sink.Take(), "TS070312.txt 2; TS070312.txt 3 final; next TS070313.txt; TS070313.txt 1; ");
    EXPECT_FALSE(follower.Poll(sink, now + Follower::kPollMs - 1)) << "not due yet";

    // Cut short and written again, longer than before.
    const std::wstring tuesday = dir_.file(L"TS070313.txt");
    kvtest::WriteBytes(tuesday, "");
    WriteRows(dir_.path(), 2007, 3, 13, Day(L"TU", 7, 4));
    EXPECT_TRUE(follower.Poll(sink, now += Follower::kPollMs));
    EXPECT_EQ(sink.Take(), "TS070313.txt 4 over; ");

    // Held by another program: said once, tried again after 2, 4, 8 and at most 8 s.
    kv::UniqueHandle held(::CreateFileW(tuesday.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    for (DWORD pause : {500u, 1000u, 2000u, 4000u, 8000u, 8000u}) {
        EXPECT_TRUE(follower.Poll(sink, now += follower.PauseMs(now)));
        EXPECT_EQ(follower.PauseMs(now), pause);
    }
    EXPECT_EQ(sink.Take(), "failed TS070313.txt; ");
    held.reset();
    WriteRows(dir_.path(), 2007, 3, 13, Day(L"TU", 5, 1));
    EXPECT_TRUE(follower.Poll(sink, now += follower.PauseMs(now)));
    EXPECT_EQ(sink.Take(), "TS070313.txt 5; ");
    EXPECT_EQ(follower.PauseMs(now), Follower::kPollMs);
}

}  // namespace

// Trace files: lines, writing, daily files, directories, the saved list and the history clean-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client/owners.h"
#include "client/region.h"
#include "kvtest.h"
#include "serverkit.h"
#include "server/clock.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"
#include "testserverwindow.h"

namespace {

// A row that owns its text; time, process, module and function are fixed.
struct Row {
    TraceRow row = {};
    std::wstring text;
    explicit Row(std::wstring body, const wchar_t* tag = L"INF", uint32_t mark = 0,
                 uint32_t levelWord = MakeLevelWord(30, 0xF))
        : text(std::move(body)) {
        wcscpy(row.time, L"Wed 10:00:00,00 [1]");
        kv::CopyCut(row.tag, 10, tag);
        wcscpy(row.process, L"p [1]"), wcscpy(row.module, L"M [2]"), wcscpy(row.function, L"F");
        row.markFlags = mark, row.levelWord = levelWord, row.text = &text[0];
    }
    Row(const Row&) = delete;  // row.text points into this very object
};
// Every field at its longest.
void Lengthen(Row& r) {
    wmemset(r.row.time, L't', 31), wmemset(r.row.process, L'p', 31), wmemset(r.row.module, L'm', 31);
    wmemset(r.row.function, L'f', 49);
    r.row.text = &r.text.assign(950, L'x')[0];
}

std::wstring FormatLine(const Row& r, int capacity = kLiveLineChars + 1) {
    std::vector<wchar_t> buf(capacity + 8, L'#');
    return std::wstring(buf.data(), tracewnd_FormatFileLine(&r.row, buf.data(), capacity));
}

using kvtest::ReadWide;
using kvtest::SetClock;

std::atomic<int> g_refreshCalls;
void CountRefresh() { ++g_refreshCalls; }

// File writing on, a fresh directory, no current name, 15 March 2007 at noon.
class TraceFile : public ::testing::Test {
protected:
    void SetUp() override {
        ServerSettings_SetDefaults(g_settings, dir_.path().c_str());
        g_settings.EnableFile = 1;
        tracewnd_ResetTraceFileForTesting();
        SetClock(2007, 3, 15, 12, 0, 0);
        g_refreshCalls = 0;
        kv::Seams().refreshStatusFile = &CountRefresh;
    }
    std::wstring In(const std::wstring& name) const { return dir_.file(name); }
    void Touch(const std::wstring& name) { kvtest::WriteBytes(In(name), "x"); }
    bool Exists(const std::wstring& name) { return kvtest::FileExists(In(name)); }
    // The trace lines the server got, as "function: text", sorted.
    std::vector<std::wstring> ServerLines() {
        std::vector<std::wstring> out;
        for (const auto& l : server_.lines) out.push_back(l.func + L": " + l.text);
        std::sort(out.begin(), out.end());
        server_.lines.clear();
        return out;
    }
    kvtest::TempDir dir_;
    kvtest::TestServerWindow server_{true, false};
};

TEST(FileLine, FieldsTagsLevelWordsAndCutsThatKeepCrLf) {
    const struct { const wchar_t* tag; uint32_t mark, levelWord; const wchar_t* end; } cases[] = {
        {L"WRN", 0, MakeLevelWord(20, 0xF), L"|WRN |p [1]|M [2]|F|a | b|0|983060\r\n"},
        {L"ERR", 1, MakeLevelWord(10, kLevelSwitchError), L"|ERR |p [1]|M [2]|F|a | b|1|524298\r\n"},
        {L"DIAG", 0, MakeLevelWord(40, kLevelSwitchDiag), L"|DIAG|p [1]|M [2]|F|a | b|0|65576\r\n"},
        {L"", 0, MakeLevelWord(15, 0), L"|    |p [1]|M [2]|F|a | b|0|15\r\n"},
        {L"OPR", 0, MakeLevelWord(-1, 0), L"|OPR |p [1]|M [2]|F|a | b|0|65535\r\n"},
        {L"LONGTAG", 0, 0, L"|LONG|p [1]|M [2]|F|a | b|0|0\r\n"},
    };
    for (const auto& c : cases) {
        Row r(L"a | b", c.tag, c.mark, c.levelWord);
        EXPECT_EQ(FormatLine(r), std::wstring(L"Wed 10:00:00,00 [1]") + c.end) << kvtest::Narrow(c.tag);
    }
    Row none(L"");
    none.row.text = nullptr;
    EXPECT_EQ(FormatLine(none), L"Wed 10:00:00,00 [1]|INF |p [1]|M [2]|F||0|983070\r\n");
    // Line breaks in the names a client chose: still one line.
    Row broken(L"a\tb");
    wcscpy(broken.row.function, L"F\r\nX");
    wcscpy(broken.row.module, L"M\n");
    EXPECT_EQ(FormatLine(broken), L"Wed 10:00:00,00 [1]|INF |p [1]|M |F  X|a b|0|983070\r\n");
    for (int n : {899, 900, 901}) {  // the text contributes at most 900 characters
        const std::wstring line = FormatLine(Row(std::wstring(n, L'y')));
        EXPECT_EQ(std::count(line.begin(), line.end(), L'y'), std::min(n, 900)) << n;
        EXPECT_EQ(line.substr(line.size() - 11), L"|0|983070\r\n") << n;
    }
    Row big(L"");
    Lengthen(big);
    const std::wstring full = FormatLine(big, 4000);
    EXPECT_EQ(FormatLine(big, kLiveLineChars + 1), full.substr(0, 997) + L"\r\n");
    EXPECT_EQ(FormatLine(big, kSavedLineChars + 1), full.substr(0, 998) + L"\r\n");
}

// Buffered writing keeps a shared stream open until closed, safe writing nothing after a line.
TEST_F(TraceFile, BufferedAndSafeWritingLoseOnlyAFaultingRowOrWhatCannotBeOpened) {
    Row a(L"first"), b(L"second"), bad(L""), big(L"");
    bad.row.text = reinterpret_cast<wchar_t*>(static_cast<ULONG_PTR>(0x10));
    Lengthen(big);  // a line at the live file's limit
    const std::wstring path = In(L"TS070315.txt");
    const DWORD before = kv::g_region.apps[0].dwLineCount;
    tracewnd_WriteFileLine(&a.row);  // no name before the settings are loaded: lost
    tracewnd_SelectTraceFile();
    g_settings.EnableFile = 0;
    tracewnd_WriteFileLine(&a.row);
    EXPECT_FALSE(Exists(L"TS070315.txt"));
    g_settings.EnableFile = 1;
    for (const Row* r : {&bad, &a, &big, &b}) tracewnd_WriteFileLine(&r->row);
    EXPECT_EQ(g_refreshCalls, 1) << "the status field is refreshed when the stream opens";
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(path), FormatLine(a) + FormatLine(big) + FormatLine(b)) << "no byte-order mark, nothing lost";
    g_settings.SaveWriting = 1;
    for (const Row* r : {&bad, &a}) tracewnd_WriteFileLine(&r->row);
    EXPECT_TRUE(::DeleteFileW(path.c_str())) << "safe writing left the file open; error " << ::GetLastError();
    tracewnd_WriteFileLine(&b.row);
    g_settings.SaveWriting = 0;
    for (const Row* r : {&bad, &a}) tracewnd_WriteFileLine(&r->row);
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(path), FormatLine(b) + FormatLine(a));
    EXPECT_EQ(g_refreshCalls, 2) << "safe lines refresh nothing, the buffered stream once per opening";
    EXPECT_EQ(kv::g_region.apps[0].dwLineCount, before + 6);
    // A missing directory is made again; a file that cannot be opened is said once, and again with the lines lost.
    const std::wstring day = In(L"day"), dayFile = day + L"\\TS070315.txt";
    kv::CopyCut(g_settings.FileDir, MAX_PATH, day.c_str());
    tracewnd_SelectTraceFile();
    Row lost(L"lost");
    tracewnd_WriteFileLine(&a.row);
    tracewnd_CloseTraceFile();
    kvtest::RemoveTree(day);
    ASSERT_FALSE(kvtest::FileExists(day));
    tracewnd_WriteFileLine(&b.row);
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(dayFile), FormatLine(b));
    const std::wstring said = L"tracewnd_WriteFileLine: ***** Trace file '" + dayFile + L"' ";
    for (int safe : {0, 1}) {
        g_settings.SaveWriting = safe;
        ServerLines();
        {
            kv::UniqueHandle held(::CreateFileW(dayFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(held.valid());
            for (int i = 0; i < 3; ++i) tracewnd_WriteFileLine(&lost.row);
        }
        tracewnd_WriteFileLine(&a.row);
        tracewnd_CloseTraceFile();
        EXPECT_EQ(ServerLines(), (std::vector<std::wstring>{said + L"cannot be opened (error 32): lines are lost *****",
                                                            said + L"written again; 3 line(s) lost *****"}));
    }
    EXPECT_EQ(ReadWide(dayFile), FormatLine(b) + FormatLine(a) + FormatLine(a));
}

TEST_F(TraceFile, LinesFromManyThreadsStayWholeWhileTheStreamIsClosedBetween) {
    tracewnd_SelectTraceFile();
    constexpr int kThreads = 4, kLines = 1500;
    auto text = [](int t, int i) { return std::to_wstring(t) + L"/" + std::to_wstring(i) + std::wstring(200, L'.'); };
    std::atomic<bool> done{false};
    std::thread ticker([&] {  // the window's tick timer
        for (; !done; ::SwitchToThread()) tracewnd_CloseTraceFile();
    });
    // Line i of every thread is written once all threads wrote line i - 1: the file must
    // hold the rounds in order, whichever thread's buffer each line went through.
    std::atomic<int> written{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t, &text, &written] {
            for (int i = 0; i < kLines; ++i) {
                while (written < i * kThreads) ::SwitchToThread();
                Row r(text(t, i));
                tracewnd_WriteFileLine(&r.row);
                ++written;
            }
        });
    for (auto& w : writers) w.join();
    done = true;
    ticker.join();
    tracewnd_CloseTraceFile();
    const std::vector<std::wstring> lines = kvtest::ReadLines(In(L"TS070315.txt"));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (size_t i = 0, round = 0; i < lines.size(); ++i) {
        const size_t at = lines[i].find(L"|F|");
        const int t = at == std::wstring::npos ? -1 : _wtoi(lines[i].c_str() + at + 3);
        ASSERT_TRUE(t >= 0 && t < kThreads) << "line " << i;
        ASSERT_GE(static_cast<size_t>(next[t]), round) << "line " << i << " comes before a line of an earlier round";
        round = static_cast<size_t>(next[t]);
        ASSERT_EQ(lines[i] + L"\r\n", FormatLine(Row(text(t, next[t]++)))) << "line " << i << " is whole and in order";
    }
}

std::atomic<int> g_step;
std::atomic<DWORD> g_stopInCopy;
// Moves the test on to step (0: stays), then waits until another thread moves it to awaited.
void Step(int step, int awaited) {
    if (step) g_step = step;
    for (const ULONGLONG start = ::GetTickCount64(); g_step < awaited && ::GetTickCount64() - start < 60000;) ::SwitchToThread();
}

// A writer that stops in the middle of its copy (suspended, starved) is given up when the
// tick turns the pages: its line never reaches the file, not even when it comes back, and
// the loss is said; every other line is written once, in order.
TEST_F(TraceFile, AWriterStoppedInItsCopyIsGivenUpAndEveryOtherLineIsWrittenOnce) {
    tracewnd_SelectTraceFile();
    g_step = 0;
    tracewnd_SetSlotCopyStopForTesting([] {
        if (g_stopInCopy.exchange(0) == ::GetCurrentThreadId()) Step(3, 4);
    });
    std::wstring expected;
    auto write = [&expected](const wchar_t* text, bool kept = true) {
        Row r(text);
        tracewnd_WriteFileLine(&r.row);
        if (kept) expected += FormatLine(r);
    };
    write(L"m0");
    std::thread writer([&write] {
        write(L"w0");
        Step(1, 2);
        g_stopInCopy = ::GetCurrentThreadId();
        write(L"w1", false);  // on the page that held w0 two turns ago
        write(L"w2");
    });
    Step(0, 1);
    for (const wchar_t* text : {L"m1", L"m2"}) {
        tracewnd_CloseTraceFile();
        write(text);
    }
    Step(2, 3);
    write(L"m3");
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ServerLines(), std::vector<std::wstring>{L"tracewnd_WriteFileLine: ***** Trace file '" + In(L"TS070315.txt") +
                                                      L"' written again; 1 line(s) lost *****"});
    Step(4, 0);
    writer.join();
    write(L"m4");
    tracewnd_CloseTraceFile();
    tracewnd_SetSlotCopyStopForTesting(nullptr);
    EXPECT_EQ(ReadWide(In(L"TS070315.txt")), expected);
}

TEST_F(TraceFile, TheWholeDateAndTheDirectoryNameTheFile) {
    const struct { WORD year, month, day, hour, minute, second, ms; const wchar_t* file; } lines[] = {
        {2007, 3, 14, 23, 59, 59, 900, L"TS070314.txt"},  // the last second of a day
        {2007, 3, 15, 0, 0, 0, 100, L"TS070315.txt"},     // the first of the next, within a second
        {2007, 3, 15, 23, 59, 59, 0, L"TS070315.txt"},
        {2007, 4, 15, 9, 0, 0, 0, L"TS070415.txt"},       // the same day of the next month
        {2008, 4, 15, 9, 0, 0, 0, L"TS080415.txt"},       // and of the next year
        {2008, 4, 14, 12, 0, 0, 0, L"TS080415.txt"},      // a clock running a day in 4 s, started 4 s ago
    };
    std::map<std::wstring, std::wstring> expected;
    for (const auto& l : lines) {
        SetClock(l.year, l.month, l.day, l.hour, l.minute, l.second, l.ms);
        if (&l == lines + 5) {
            LARGE_INTEGER now, second;
            ::QueryPerformanceCounter(&now), ::QueryPerformanceFrequency(&second);
            const SYSTEMTIME noon = {l.year, l.month, 0, l.day, l.hour};
            kv::ClockSetForTesting(&noon, 21600, now.QuadPart - 4 * second.QuadPart);
        }
        if (&l == lines) tracewnd_SelectTraceFile();
        Row r(L"at " + std::to_wstring(l.year * 10000 + l.month * 100 + l.day) + L" " + std::to_wstring(l.hour));
        tracewnd_WriteFileLine(&r.row);
        expected[l.file] += FormatLine(r);
    }
    tracewnd_CloseTraceFile();
    for (const auto& [file, text] : expected) EXPECT_EQ(ReadWide(In(file)), text) << kvtest::Narrow(file);
    int posts = 0;
    for (MSG m; ::PeekMessageW(&m, server_.hwnd(), WM_TRACE_SETTINGSCHANGED, WM_TRACE_SETTINGSCHANGED, PM_REMOVE);) ++posts;
    EXPECT_EQ(posts, 4) << "one per new file, so that each starts with the settings";
    SetClock(2008, 4, 15, 9, 0, 0);
    Row april(L"april");
    // Empty directory: the fallback name; the same directory back on the same day: the daily name again.
    g_settings.FileDir[0] = 0;
    tracewnd_SelectTraceFile();
    EXPECT_STREQ(tracewnd_CurrentTraceFile(), L"\\riviveda.txt");
    kv::CopyCut(g_settings.FileDir, MAX_PATH, dir_.path().c_str());
    tracewnd_SelectTraceFile();
    EXPECT_EQ(tracewnd_CurrentTraceFile(), In(L"TS080415.txt"));
    // A new directory several levels deep, with characters of no one code page and for a command interpreter.
    const std::wstring deep = In(L"Gr\u00f6\u00dfe\\\u0416\u0443\u0440\u043d\u0430\u043b\\a&b %PATH%");
    // The record is rewritten in place on the window thread: lines follow the directory
    // only once the window publishes it by selecting the file again.
    kv::CopyCut(g_settings.FileDir, MAX_PATH, deep.c_str());
    tracewnd_WriteFileLine(&april.row);
    EXPECT_EQ(tracewnd_CurrentTraceFile(), In(L"TS080415.txt")) << "not yet published";
    tracewnd_SelectTraceFile();
    tracewnd_WriteFileLine(&april.row);
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(deep + L"\\TS080415.txt"), FormatLine(april));
}

TEST_F(TraceFile, SavedListIsTheMarkAndOneLinePerRowOrABoxNamingTheFile) {
    kvtest::TakeBoxes();
    tracewnd_SetSaveListMessageBox(&kvtest::RecordBox);
    const short store = server_.mainStore();
    const std::wstring path = In(L"saved list.txt");
    EXPECT_EQ(tracewnd_SaveListToPath(nullptr, path.c_str()), 1);
    EXPECT_EQ(ReadWide(path), L"\xFEFF") << "an empty list";
    Row rows[] = {Row(L"one"), Row(L"two", L"ERR", 1, 10), Row(L"")};
    Lengthen(rows[2]);
    for (const Row& r : rows) {
        TraceRow* row = rowstore_NewRow(store);
        *row = r.row;
        row->text = rowstore_NewText(store, static_cast<int>(r.text.size()) + 1);
        wmemcpy(row->text, r.text.c_str(), r.text.size() + 1);
        EXPECT_GE(rowstore_Add(store, row), 0);
    }
    kvtest::WriteBytes(path, std::string(5000, 'z'));  // replaced, not appended to
    EXPECT_EQ(tracewnd_SaveListToPath(nullptr, path.c_str()), 1);
    // A saved line may be one character longer than a live one.
    EXPECT_EQ(ReadWide(path),
              L"\xFEFF" + FormatLine(rows[0]) + FormatLine(rows[1]) + FormatLine(rows[2], kSavedLineChars + 1));
    EXPECT_EQ(std::wstring(g_settings.LastFileDir), dir_.path());
    const std::wstring missing = In(L"missing\\100%s%n%d.txt");
    EXPECT_EQ(tracewnd_SaveListToPath(server_.hwnd(), missing.c_str()), 0);
    EXPECT_EQ(kvtest::TakeBoxes(), std::vector<std::wstring>{L"Trace Server - Save List|" + std::to_wstring(MB_ICONINFORMATION) +
                                                 L"|Could not open file '" + missing + L"' !"});
    EXPECT_EQ(std::wstring(g_settings.LastFileDir), In(L"missing"));
}
// The clock a test host hands to the programs it starts; anything else leaves the real clock.
TEST(SimulatedClock, TheEnvironmentTextAndWhatIsRefused) {
    const SYSTEMTIME start = {2026, 6, 0, 15, 23, 30, 5};
    wchar_t text[64];
    ASSERT_TRUE(kv::FormatSimulatedClock(text, 64, start, 96, 1234567890123LL));
    EXPECT_STREQ(text, L"2026-06-15T23:30:05,96,1234567890123");
    EXPECT_FALSE(kv::FormatSimulatedClock(text, 36, start, 96, 1234567890123LL)) << "does not fit";
    SYSTEMTIME t = {};
    unsigned rate = 0;
    LONGLONG origin = 0;
    ASSERT_TRUE(kv::ParseSimulatedClock(text, &t, &rate, &origin));
    EXPECT_EQ((std::vector<LONGLONG>{t.wYear, t.wMonth, t.wDay, t.wDayOfWeek, t.wHour, t.wMinute, t.wSecond, rate, origin}),
              (std::vector<LONGLONG>{2026, 6, 15, 1, 23, 30, 5, 96, 1234567890123LL}));
    for (const wchar_t* bad : {L"2026-02-30T10:00:00,96,1", L"2026-06-15T23:30:00,96,1x", L"2026-06-15 23:30:00,96,1",
                               L"2026-6-15T23:30:00,96,1", L"2026-06-15T23:30:00,96", L"2026-06-15T24:00:00,96,1", L""})
        EXPECT_FALSE(kv::ParseSimulatedClock(bad, &t, &rate, &origin)) << kvtest::Narrow(bad);
}

// Ages count from the end of a file's day.
TEST_F(TraceFile, HistoryDeletesExpiredDailyFilesByTheExactNameAndReportsFailures) {
    const wchar_t* daily[] = {L"TS070310.txt", L"TS070314.txt", L"TS070315.txt", L"TS070316.txt", L"TS710102.txt"};
    // Not daily names, or days that do not exist, or 2069; a directory with a daily name is left alone.
    const wchar_t* others[] = {L"TS070315.txt.bak", L"TS0703.txt", L"TSabcdef.txt", L"TS07031x.txt", L"riviveda.txt",
                               L"TS000000.txt", L"TS070300.txt", L"TS070015.txt", L"TS690101.txt", L"TS070101.txt\\inside.txt"};
    ASSERT_TRUE(::CreateDirectoryW(In(L"TS070101.txt").c_str(), nullptr));
    for (const wchar_t* n : daily) Touch(n);
    for (const wchar_t* n : others) Touch(n);
    // Held open without delete sharing, yesterday's file stays when it expires, and the failure is said.
    kv::UniqueHandle held(::CreateFileW(In(daily[2]).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    const struct { WORD day, hour, minute, second; int16_t days; const char* left; } steps[] = {
        {16, 23, 59, 59, 0, "11111"},      // no limit
        {16, 23, 59, 59, 30000, "11111"},  // a limit beyond 32 bits in seconds
        {12, 0, 30, 0, 1, "01110"},        // a day and a half hour, in a zone whose summer time begins later
        {16, 23, 59, 59, 1, "00110"},      // yesterday is one day old only at its end; today is kept
        {17, 0, 0, 0, 1, "00110"},
    };
    for (const auto& s : steps) {
        SetClock(2007, 3, s.day, s.hour, s.minute, s.second);
        g_settings.HistoryDays = s.days;
        tracewnd_CheckHistDays();
        std::string left;
        for (const wchar_t* n : daily) left += Exists(n) ? '1' : '0';
        EXPECT_EQ(left, s.left) << s.days << " days on the " << s.day << "th";
    }
    for (const wchar_t* n : others) EXPECT_TRUE(Exists(n)) << kvtest::Narrow(n);
    const std::wstring func = L"tracewnd_CheckHistDays (1): ", deleted = func + L"Delete expired trace file: '";
    const std::wstring warning = func + L"WRN: DeleteFile '" + In(daily[2]) + L"' failed with: ";
    std::vector<std::wstring> lines = ServerLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[4], warning + L"0 !") << "the error is named";
    lines[4].resize(std::min(lines[4].size(), warning.size()));
    EXPECT_EQ(lines, (std::vector<std::wstring>{deleted + In(daily[0]) + L"'", deleted + In(daily[1]) + L"'", deleted + In(daily[2]) + L"'",
                                                deleted + In(daily[4]) + L"'", warning}));
}

}  // namespace

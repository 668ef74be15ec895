// Trace files: the exact bytes of a line, buffered and safe writing, the daily file
// across midnight and months, directories, the saved list, the history clean-up and
// the two time functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "client/owners.h"
#include "client/region.h"
#include "kvtest.h"
#include "server/clock.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"

namespace {

class ProcessEnvironment : public ::testing::Environment {
public:
    void SetUp() override { kv::ProcessAttach(::GetModuleHandleW(nullptr)); }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new ProcessEnvironment);

struct Row {
    TraceRow row = {};
    std::wstring text;
    Row(const wchar_t* time, const wchar_t* tag, const wchar_t* process, const wchar_t* module, const wchar_t* function,
        std::wstring body, uint32_t mark, uint32_t levelWord)
        : text(std::move(body)) {
        kv::CopyCut(row.time, 32, time);
        kv::CopyCut(row.tag, 10, tag);
        kv::CopyCut(row.process, 32, process);
        kv::CopyCut(row.module, 32, module);
        kv::CopyCut(row.function, 50, function);
        row.markFlags = mark;
        row.levelWord = levelWord;
        row.text = &text[0];
    }
};
Row SimpleRow(const std::wstring& text) {
    return Row(L"Wed 10:00:00,00 [1]", L"INF", L"proc.exe [7]", L"Mod [9]", L"Func", text, 0, MakeLevelWord(30, 0xF));
}
// A row whose fields are all at their longest.
Row LongRow() {
    return Row(std::wstring(31, L't').c_str(), L"", std::wstring(31, L'p').c_str(), std::wstring(31, L'm').c_str(),
               std::wstring(49, L'f').c_str(), std::wstring(950, L'x'), 0, MakeLevelWord(-1, 0));
}

std::wstring FormatLine(const TraceRow& row, int capacity = kLiveLineChars + 1) {
    std::vector<wchar_t> buf(capacity + 8, L'#');
    return std::wstring(buf.data(), tracewnd_FormatFileLine(&row, buf.data(), capacity));
}

std::wstring ReadWide(const std::wstring& path) {
    const std::string bytes = kvtest::ReadBytes(path);
    std::wstring out(bytes.size() / 2, L'\0');
    if (!out.empty()) memcpy(&out[0], bytes.data(), out.size() * 2);
    return out;
}

void SetClock(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME st = {};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    st.wMinute = minute;
    st.wSecond = second;
    kv::ClockSetForTesting(&st);
}

DWORD LineCount() { return kv::g_region.apps[0].dwLineCount; }

// Named as server window, it receives the writer's posts and the history lines.
class ServerWindowProbe {
public:
    ServerWindowProbe() {
        static ATOM cls = [] {
            WNDCLASSW wc = {};
            wc.lpfnWndProc = &Proc;
            wc.lpszClassName = L"KvTraceFileProbe";
            return ::RegisterClassW(&wc);
        }();
        hwnd_ = ::CreateWindowExW(0, MAKEINTATOM(cls), L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        settingsChanged = 0;
        lines.clear();
        traceapi_SetTraceWindow(hwnd_, TRUE);
    }
    ~ServerWindowProbe() {
        traceapi_SetTraceWindow(nullptr, TRUE);
        ::DestroyWindow(hwnd_);
    }
    static int settingsChanged;
    static std::vector<std::wstring> lines;  // "function: text"

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == WM_TRACE_SETTINGSCHANGED) ++settingsChanged;
        if (msg == WM_TRACE_OUTPUT) lines.push_back(std::wstring(traceapi_GetCurFuncName()) + L": " + traceapi_GetCurTrcTxt());
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    }
    HWND hwnd_;
};
int ServerWindowProbe::settingsChanged;
std::vector<std::wstring> ServerWindowProbe::lines;

std::atomic<int> g_refreshCalls;
void CountRefresh() { ++g_refreshCalls; }

// File writing on, a fresh directory, no current name, 15 March 2007 at noon.
class TraceFile : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = g_settings;
        ServerSettings_SetDefaults(g_settings, dir_.path().c_str());
        g_settings.EnableFile = 1;
        tracewnd_ResetTraceFileForTesting();
        SetClock(2007, 3, 15, 12, 0, 0);
        g_refreshCalls = 0;
        kv::Seams().refreshStatusFile = &CountRefresh;
    }
    void TearDown() override {
        tracewnd_ResetTraceFileForTesting();
        kv::Seams().refreshStatusFile = nullptr;
        kv::ClockSetForTesting(nullptr);
        g_settings = saved_;
    }
    std::wstring In(const std::wstring& name) const { return dir_.file(name); }
    void Touch(const std::wstring& name) { kvtest::WriteBytes(In(name), "x"); }
    bool Exists(const std::wstring& name) { return kvtest::FileExists(In(name)); }

    kvtest::TempDir dir_;
    ServerSettings saved_;
};

// --- the file line -----------------------------------------------------------------

TEST(FileLine, FieldsTagsAndLevelWords) {
    const struct {
        const wchar_t* tag;
        uint32_t mark, levelWord;
        const wchar_t* end;
    } cases[] = {
        {L"WRN", 0, MakeLevelWord(20, 0xF), L"|WRN |p [1]|M [2]|F|a | b|0|983060\r\n"},
        {L"ERR", 1, MakeLevelWord(10, kLevelSwitchError), L"|ERR |p [1]|M [2]|F|a | b|1|524298\r\n"},
        {L"DIAG", 0, MakeLevelWord(40, kLevelSwitchDiag), L"|DIAG|p [1]|M [2]|F|a | b|0|65576\r\n"},
        {L"", 0, MakeLevelWord(15, 0), L"|    |p [1]|M [2]|F|a | b|0|15\r\n"},
        {L"OPR", 0, MakeLevelWord(-1, 0), L"|OPR |p [1]|M [2]|F|a | b|0|65535\r\n"},
        {L"LONGTAG", 0, 0, L"|LONG|p [1]|M [2]|F|a | b|0|0\r\n"},
    };
    for (const auto& c : cases) {
        Row r(L"Wed 10:00:00,00 [1]", c.tag, L"p [1]", L"M [2]", L"F", L"a | b", c.mark, c.levelWord);
        EXPECT_EQ(FormatLine(r.row), std::wstring(L"Wed 10:00:00,00 [1]") + c.end) << kvtest::Narrow(c.tag);
    }
    Row none = SimpleRow(L"");
    none.row.text = nullptr;
    EXPECT_EQ(FormatLine(none.row), L"Wed 10:00:00,00 [1]|INF |proc.exe [7]|Mod [9]|Func||0|983070\r\n");
}

TEST(FileLine, CutsKeepCrLfWithinTheLimits) {
    Row r = SimpleRow(std::wstring(1000, L'y'));
    const std::wstring line = FormatLine(r.row);
    EXPECT_EQ(std::count(line.begin(), line.end(), L'y'), 900) << "the text contributes 900 characters";
    EXPECT_EQ(line.substr(line.size() - 11), L"|0|983070\r\n");

    Row big = LongRow();
    const std::wstring full = FormatLine(big.row, 4000);
    ASSERT_GT(full.size(), 1002u);
    EXPECT_EQ(FormatLine(big.row, kLiveLineChars + 1), full.substr(0, 997) + L"\r\n");
    EXPECT_EQ(FormatLine(big.row, kSavedLineChars + 1), full.substr(0, 998) + L"\r\n");

    wchar_t tiny[2] = {L'#', L'#'};
    EXPECT_EQ(tracewnd_FormatFileLine(&r.row, tiny, 2), 0);
    EXPECT_EQ(tiny[0], L'\0') << "no room for CR LF: an empty, terminated buffer";
    EXPECT_EQ(tracewnd_FormatFileLine(nullptr, tiny, 2), 0);
}

// --- writing -----------------------------------------------------------------------

TEST_F(TraceFile, BufferedWritingKeepsASharedStreamOpenUntilClosed) {
    Row a = SimpleRow(L"first"), b = SimpleRow(L"second"), c = SimpleRow(L"third");
    const DWORD before = LineCount();
    tracewnd_WriteFileLine(&a.row);  // no name before the settings are loaded: lost
    EXPECT_STREQ(tracewnd_CurrentTraceFile(), L"");
    tracewnd_SelectTraceFile();
    g_settings.EnableFile = 0;
    tracewnd_WriteFileLine(&a.row);
    EXPECT_EQ(LineCount(), before);
    EXPECT_FALSE(Exists(L"TS070315.txt"));

    g_settings.EnableFile = 1;
    const std::wstring path = In(L"TS070315.txt");
    EXPECT_EQ(tracewnd_CurrentTraceFile(), path);
    tracewnd_WriteFileLine(&a.row);
    tracewnd_WriteFileLine(&b.row);
    EXPECT_EQ(LineCount(), before + 2);
    EXPECT_EQ(g_refreshCalls, 1) << "the status field is refreshed when the stream opens";
    kv::UniqueHandle other(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(other.valid()) << "others may read and write the open file; error " << ::GetLastError();
    other.reset();

    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(path), FormatLine(a.row) + FormatLine(b.row)) << "no byte-order mark, nothing lost";
    tracewnd_WriteFileLine(&c.row);
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(path), FormatLine(a.row) + FormatLine(b.row) + FormatLine(c.row));
    EXPECT_EQ(g_refreshCalls, 2);
}

TEST_F(TraceFile, SafeWritingLeavesNothingOpenAfterALine) {
    g_settings.SaveWriting = 1;
    tracewnd_SelectTraceFile();
    const std::wstring path = In(L"TS070315.txt");
    Row a = SimpleRow(L"first"), b = SimpleRow(L"second");
    tracewnd_WriteFileLine(&a.row);
    EXPECT_EQ(ReadWide(path), FormatLine(a.row));
    EXPECT_TRUE(::DeleteFileW(path.c_str())) << "error " << ::GetLastError();
    tracewnd_WriteFileLine(&b.row);
    EXPECT_EQ(ReadWide(path), FormatLine(b.row));
    EXPECT_EQ(g_refreshCalls, 0);
}

TEST_F(TraceFile, AFaultingRowLosesOnlyItsOwnLine) {
    tracewnd_SelectTraceFile();
    Row bad = SimpleRow(L""), good = SimpleRow(L"after");
    bad.row.text = reinterpret_cast<wchar_t*>(static_cast<ULONG_PTR>(0x10));
    const DWORD before = LineCount();
    for (int safe = 0; safe < 2; ++safe) {
        g_settings.SaveWriting = safe;
        tracewnd_WriteFileLine(&bad.row);
        tracewnd_WriteFileLine(&good.row);
    }
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(In(L"TS070315.txt")), FormatLine(good.row) + FormatLine(good.row));
    EXPECT_EQ(LineCount(), before + 2);
}

TEST_F(TraceFile, LinesFromManyThreadsStayWholeWhileTheStreamIsClosedBetween) {
    tracewnd_SelectTraceFile();
    constexpr int kThreads = 4, kLines = 1500;
    auto text = [](int t, int i) { return std::to_wstring(t) + L"/" + std::to_wstring(i) + std::wstring(200, L'.'); };
    std::atomic<bool> done{false};
    std::thread ticker([&] {  // the window's tick timer
        while (!done) {
            tracewnd_CloseTraceFile();
            ::SwitchToThread();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t, &text] {
            for (int i = 0; i < kLines; ++i) {
                Row r = SimpleRow(text(t, i));
                tracewnd_WriteFileLine(&r.row);
            }
        });
    for (auto& w : writers) w.join();
    done = true;
    ticker.join();
    tracewnd_CloseTraceFile();

    const std::wstring all = ReadWide(In(L"TS070315.txt"));
    std::vector<int> next(kThreads, 0);
    size_t pos = 0, lines = 0;
    while (pos < all.size()) {
        const size_t at = all.find(L"|Func|", pos) + 6;
        ASSERT_GT(at, 6u) << "line " << lines;
        const int t = _wtoi(all.c_str() + at);
        ASSERT_TRUE(t >= 0 && t < kThreads) << "line " << lines;
        const std::wstring expected = FormatLine(SimpleRow(text(t, next[t]++)).row);
        ASSERT_EQ(all.compare(pos, expected.size(), expected), 0) << "line " << lines << " is whole and in order";
        pos += expected.size();
        ++lines;
    }
    EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
}

// --- the daily file ------------------------------------------------------------------

TEST_F(TraceFile, MidnightMovesTheNextLineToTheNewDaysFile) {
    ServerWindowProbe probe;
    SetClock(2007, 3, 14, 23, 59, 59);
    Row late = SimpleRow(L"late"), early = SimpleRow(L"early"), more = SimpleRow(L"more");
    tracewnd_SelectTraceFile();
    tracewnd_WriteFileLine(&late.row);
    EXPECT_TRUE(kvtest::PumpUntil([] { return ServerWindowProbe::settingsChanged == 1; }));

    SetClock(2007, 3, 15, 0, 0, 0);
    tracewnd_WriteFileLine(&early.row);
    EXPECT_EQ(ReadWide(In(L"TS070314.txt")), FormatLine(late.row)) << "closed with the change of day";
    EXPECT_TRUE(kvtest::PumpUntil([] { return ServerWindowProbe::settingsChanged == 2; }));
    tracewnd_WriteFileLine(&more.row);
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(In(L"TS070315.txt")), FormatLine(early.row) + FormatLine(more.row));
    kvtest::PumpPending();
    EXPECT_EQ(ServerWindowProbe::settingsChanged, 2) << "the same day in the same directory is no new file";
}

TEST_F(TraceFile, TheWholeDateAndTheDirectoryNameTheFile) {
    tracewnd_SelectTraceFile();
    Row march = SimpleRow(L"march"), april = SimpleRow(L"april");
    tracewnd_WriteFileLine(&march.row);
    SetClock(2007, 4, 15, 9, 0, 0);
    tracewnd_WriteFileLine(&april.row);
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(In(L"TS070315.txt")), FormatLine(march.row));
    EXPECT_EQ(ReadWide(In(L"TS070415.txt")), FormatLine(april.row));
    SetClock(2008, 4, 15, 9, 0, 0);
    tracewnd_SelectTraceFile();
    EXPECT_EQ(tracewnd_CurrentTraceFile(), In(L"TS080415.txt"));

    // Empty directory: the fallback name; the same directory back on the same day: the
    // daily name again.
    g_settings.FileDir[0] = 0;
    tracewnd_SelectTraceFile();
    EXPECT_STREQ(tracewnd_CurrentTraceFile(), L"\\riviveda.txt");
    kv::CopyCut(g_settings.FileDir, MAX_PATH, dir_.path().c_str());
    tracewnd_SelectTraceFile();
    EXPECT_EQ(tracewnd_CurrentTraceFile(), In(L"TS080415.txt"));

    // A new directory, several levels deep, with characters outside any one code page
    // and characters a command interpreter would act on.
    const std::wstring deep = In(L"Gr\u00f6\u00dfe\\\u0416\u0443\u0440\u043d\u0430\u043b\\a&b %PATH%");
    kv::CopyCut(g_settings.FileDir, MAX_PATH, deep.c_str());
    tracewnd_WriteFileLine(&april.row);
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(deep + L"\\TS080415.txt"), FormatLine(april.row));
}

TEST(MakeDirectoryPath, CreatesEveryLevelUpToTheLastBackslash) {
    kvtest::TempDir dir;
    MakeDirectoryPath((dir.path() + L"\\one\\two\\file.txt").c_str());
    EXPECT_TRUE(::GetFileAttributesW((dir.path() + L"\\one\\two").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(kvtest::FileExists(dir.path() + L"\\one\\two\\file.txt"));
    MakeDirectoryPath((dir.path() + L"\\three\\\\four\\").c_str());
    EXPECT_TRUE(kvtest::FileExists(dir.path() + L"\\three\\four"));
    MakeDirectoryPath((L"\\\\?\\" + dir.path() + L"\\five\\six\\x").c_str());
    EXPECT_TRUE(kvtest::FileExists(dir.path() + L"\\five\\six"));
    MakeDirectoryPath(nullptr);
    MakeDirectoryPath(L"");
}

// --- the saved list ----------------------------------------------------------------

std::vector<std::wstring> g_boxes;  // "title|type|text"
int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR title, UINT type) {
    g_boxes.push_back(std::wstring(title) + L"|" + std::to_wstring(type & MB_ICONMASK) + L"|" + text);
    return IDOK;
}

class SaveList : public TraceFile {
protected:
    void SetUp() override {
        TraceFile::SetUp();
        g_boxes.clear();
        tracewnd_SetSaveListMessageBox(&RecordBox);
        view_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        kv::Server().mainStore = store_ = rowstore_Create(view_, &rowstore_CompareRows);
        ASSERT_GE(store_, 0);
    }
    void TearDown() override {
        kv::Server().mainStore = -1;
        rowstore_Destroy(store_);
        ::DestroyWindow(view_);
        tracewnd_SetSaveListMessageBox(nullptr);
        TraceFile::TearDown();
    }
    void Add(const Row& r) {
        TraceRow* row = rowstore_NewRow(store_);
        ASSERT_NE(row, nullptr);
        *row = r.row;
        row->text = rowstore_NewText(store_, static_cast<int>(r.text.size()) + 1);
        wmemcpy(row->text, r.text.c_str(), r.text.size() + 1);
        ASSERT_GE(rowstore_Add(store_, row), 0);
    }
    HWND view_ = nullptr;
    short store_ = -1;
};

TEST_F(SaveList, WritesTheMarkAndOneLinePerRow) {
    const std::wstring path = In(L"saved list.txt");
    EXPECT_EQ(tracewnd_SaveListToPath(nullptr, path.c_str()), 1);
    EXPECT_EQ(kvtest::ReadBytes(path), "\xFF\xFE") << "an empty list";

    Row a = SimpleRow(L"one"), b(L"Thu 11:00:00,00 [2]", L"ERR", L"p", L"m", L"f", L"two", 1, 10), c = LongRow();
    Add(a);
    Add(b);
    Add(c);
    kvtest::WriteBytes(path, std::string(5000, 'z'));  // replaced, not appended to
    EXPECT_EQ(tracewnd_SaveListToPath(nullptr, path.c_str()), 1);
    const std::string bytes = kvtest::ReadBytes(path);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    const std::wstring third = FormatLine(c.row, kSavedLineChars + 1);
    EXPECT_EQ(third.size(), 1000u) << "a saved line may be one character longer than a live one";
    EXPECT_EQ(ReadWide(path).substr(1), FormatLine(a.row) + FormatLine(b.row) + third);
    EXPECT_EQ(std::wstring(g_settings.LastFileDir), dir_.path());
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(SaveList, AFileThatCannotBeOpenedIsReportedWithItsNameAsText) {
    const std::wstring path = In(L"missing\\100%s%n%d.txt");
    EXPECT_EQ(tracewnd_SaveListToPath(view_, path.c_str()), 0);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0], L"Trace Server - Save List|" + std::to_wstring(MB_ICONINFORMATION) +
                              L"|Could not open file '" + path + L"' !");
    EXPECT_EQ(std::wstring(g_settings.LastFileDir), In(L"missing"));
}

// --- history -----------------------------------------------------------------------

TEST_F(TraceFile, HistoryAgeCountsFromTheLastSecondOfTheDayInTheName) {
    ServerWindowProbe probe;
    g_settings.HistoryDays = 1;
    for (const wchar_t* n : {L"TS070314.txt", L"TS070315.txt", L"TS070316.txt"}) Touch(n);
    SetClock(2007, 3, 16, 23, 59, 59);
    tracewnd_CheckHistDays();
    EXPECT_FALSE(Exists(L"TS070314.txt")) << "the day before yesterday has expired";
    EXPECT_TRUE(Exists(L"TS070315.txt")) << "yesterday is one day old only at 23:59:59";
    EXPECT_TRUE(Exists(L"TS070316.txt")) << "today's file is never deleted";
    EXPECT_EQ(ServerWindowProbe::lines, std::vector<std::wstring>{L"tracewnd_CheckHistDays (1): Delete expired trace file: '" +
                                                                  In(L"TS070314.txt") + L"'"});
    SetClock(2007, 3, 17, 0, 0, 0);
    tracewnd_CheckHistDays();
    EXPECT_FALSE(Exists(L"TS070315.txt"));
    EXPECT_TRUE(Exists(L"TS070316.txt"));
}

TEST_F(TraceFile, HistoryTouchesOnlyExpiredDailyFiles) {
    SetClock(2007, 6, 1, 12, 0, 0);
    const wchar_t* keep[] = {L"TS070315.txt.bak", L"TS0703.txt", L"TSabcdef.txt", L"TS07031x.txt", L"riviveda.txt"};
    for (const wchar_t* n : keep) Touch(n);
    ASSERT_TRUE(::CreateDirectoryW(In(L"TS070101.txt").c_str(), nullptr));
    Touch(L"TS070101.txt\\inside.txt");
    Touch(L"TS710102.txt");  // 36 years old

    g_settings.HistoryDays = 0;
    tracewnd_CheckHistDays();
    EXPECT_TRUE(Exists(L"TS710102.txt")) << "no limit, no clean-up";
    g_settings.HistoryDays = 30000;  // in seconds beyond 32 bits
    tracewnd_CheckHistDays();
    EXPECT_TRUE(Exists(L"TS710102.txt"));
    g_settings.HistoryDays = 1;
    tracewnd_CheckHistDays();
    EXPECT_FALSE(Exists(L"TS710102.txt"));
    for (const wchar_t* n : keep) EXPECT_TRUE(Exists(n)) << kvtest::Narrow(n);
    EXPECT_TRUE(Exists(L"TS070101.txt\\inside.txt")) << "a directory with a daily name is left alone";
}

TEST_F(TraceFile, HistoryDeletesByTheExactNameAndReportsFailures) {
    ServerWindowProbe probe;
    SetClock(2007, 6, 1, 12, 0, 0);
    const std::wstring odd = In(L"a&b %CD% \u0416");
    ASSERT_TRUE(::CreateDirectoryW(odd.c_str(), nullptr));
    kv::CopyCut(g_settings.FileDir, MAX_PATH, odd.c_str());
    g_settings.HistoryDays = 2;
    for (const wchar_t* n : {L"\\TS070101.txt", L"\\TS070301.txt", L"\\TS070601.txt"}) kvtest::WriteBytes(odd + n, "x");
    Touch(L"TS070101.txt");  // the same name one level up
    kv::UniqueHandle held(::CreateFileW((odd + L"\\TS070301.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());

    tracewnd_CheckHistDays();
    EXPECT_FALSE(kvtest::FileExists(odd + L"\\TS070101.txt"));
    EXPECT_TRUE(kvtest::FileExists(odd + L"\\TS070301.txt")) << "held open without delete sharing";
    EXPECT_TRUE(kvtest::FileExists(odd + L"\\TS070601.txt"));
    EXPECT_TRUE(Exists(L"TS070101.txt"));
    std::vector<std::wstring>& lines = ServerWindowProbe::lines;
    std::sort(lines.begin(), lines.end());
    ASSERT_EQ(lines.size(), 3u);
    const std::wstring func = L"tracewnd_CheckHistDays (2): ";
    EXPECT_EQ(lines[0], func + L"Delete expired trace file: '" + odd + L"\\TS070101.txt'");
    EXPECT_EQ(lines[1], func + L"Delete expired trace file: '" + odd + L"\\TS070301.txt'");
    const std::wstring warning = func + L"WRN: DeleteFile '" + odd + L"\\TS070301.txt' failed with: ";
    EXPECT_EQ(lines[2].substr(0, warning.size()), warning);
    EXPECT_NE(lines[2], warning + L"0 !");
}

// --- time functions ----------------------------------------------------------------

TEST(TimeFunctions, TimeFromNameIsTheEndOfTheNamedDay) {
    auto endOfDay = [](int year, int month, int day) {
        struct tm t = {};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = 23;
        t.tm_min = 59;
        t.tm_sec = 59;
        t.tm_isdst = -1;
        return mktime(&t);
    };
    const time_t y2k = tracewnd_GetTimeFromName(L"TS991231.txt");
    const struct tm* t = localtime(&y2k);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ((t->tm_year + 1900) * 10000 + (t->tm_mon + 1) * 100 + t->tm_mday, 19991231);
    EXPECT_EQ(t->tm_hour * 3600 + t->tm_min * 60 + t->tm_sec, 86399);
    EXPECT_EQ(tracewnd_GetTimeFromName(L"TS000229.txt"), endOfDay(2000, 2, 29));
    EXPECT_EQ(tracewnd_GetTimeFromName(L"TS690101.txt"), endOfDay(2069, 1, 1));
    EXPECT_EQ(tracewnd_GetTimeFromName(L"TS070230.txt"), endOfDay(2007, 3, 2)) << "days roll over";
    EXPECT_EQ(tracewnd_GetTimeFromName(L"TS071301.txt"), endOfDay(2008, 1, 1)) << "months roll over";
    for (const wchar_t* name : {L"TSabcdef.txt", L"TS000000.txt", L"TS070300.txt", L"TS070015.txt", L"TS-70315.txt", L"T"})
        EXPECT_EQ(tracewnd_GetTimeFromName(name), -1) << kvtest::Narrow(name);
    EXPECT_EQ(tracewnd_GetTimeFromName(nullptr), -1);
}

TEST(TimeFunctions, TimeDiffFromStrInMilliseconds) {
    const wchar_t* ten = L"Wed 10:00:00,00 [1]";
    EXPECT_EQ(tracewnd_GetTimeDiffFromStr(ten, L"Wed 10:00:01,50 [2]"), 1500);
    EXPECT_EQ(tracewnd_GetTimeDiffFromStr(L"Wed 10:00:01,50 [2]", ten), -1500);
    EXPECT_EQ(tracewnd_GetTimeDiffFromStr(L"Mo 09:59:59,99", L"Mo 11:01:02,03"), 3662040);
    EXPECT_EQ(tracewnd_GetTimeDiffFromStr(L"Wed 23:59:59,00 [9]", L"Thu 00:00:01,00 [10]"), -86398000) << "across midnight";
    for (const wchar_t* bad : {L"", L"Wed", L"Wed 10:00:00", L"Wed 1:00:00,0"}) {
        EXPECT_EQ(tracewnd_GetTimeDiffFromStr(ten, bad), 0) << kvtest::Narrow(bad);
        EXPECT_EQ(tracewnd_GetTimeDiffFromStr(bad, ten), 0) << kvtest::Narrow(bad);
    }
    EXPECT_EQ(tracewnd_GetTimeDiffFromStr(nullptr, ten), 0);
    EXPECT_EQ(tracewnd_GetTimeDiffFromStr(L"0:00:00,00000", L"99999999999:00:00,00"), LONG_MAX) << "no overflow";
}

}  // namespace

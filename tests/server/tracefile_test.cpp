// Trace files: the exact bytes of a line, buffered and safe writing, the choice of the
// daily file across midnight and months, directory creation, the saved list, the
// history clean-up and the two time functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "client/owners.h"
#include "client/region.h"
#include "client/traceapi.h"
#include "kvtest.h"
#include "server/clock.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"

namespace {

class ProcessEnvironment : public ::testing::Environment {
public:
    void SetUp() override { kv::ProcessAttach(::GetModuleHandleW(nullptr)); }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new ProcessEnvironment);

// --- helpers -------------------------------------------------------------------------

struct Row {
    TraceRow row = {};
    std::wstring text;
    Row(const wchar_t* time, const wchar_t* tag, const wchar_t* process, const wchar_t* module,
        const wchar_t* function, std::wstring body, uint32_t mark, uint32_t levelWord)
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

std::wstring FormatLine(const TraceRow& row, int capacity = kLiveLineChars + 1) {
    std::vector<wchar_t> buf(capacity + 8, L'#');
    const int n = tracewnd_FormatFileLine(&row, buf.data(), capacity);
    return std::wstring(buf.data(), n);
}

std::wstring ReadWide(const std::wstring& path) {
    const std::string bytes = kvtest::ReadBytes(path);
    std::wstring out(bytes.size() / 2, L'\0');
    if (!out.empty()) memcpy(&out[0], bytes.data(), out.size() * 2);
    return out;
}

std::vector<std::wstring> SplitLines(const std::wstring& s) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t p; (p = s.find(L"\r\n", start)) != std::wstring::npos; start = p + 2) lines.push_back(s.substr(start, p - start));
    if (start < s.size()) lines.push_back(s.substr(start));  // an unterminated rest
    return lines;
}

void SetClock(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms = 0) {
    SYSTEMTIME st = {};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    st.wMinute = minute;
    st.wSecond = second;
    st.wMilliseconds = ms;
    kv::ClockSetForTesting(&st);
}

time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

DWORD LineCount() { return kv::g_region.apps[0].dwLineCount; }

// Stands in for the trace window: it is named server window, so the writer's posts and
// the history lines reach it.
class ServerWindowProbe {
public:
    ServerWindowProbe() {
        static ATOM cls = [] {
            WNDCLASSW wc = {};
            wc.lpfnWndProc = &ServerWindowProbe::Proc;
            wc.hInstance = ::GetModuleHandleW(nullptr);
            wc.lpszClassName = L"KvTraceFileProbe";
            return ::RegisterClassW(&wc);
        }();
        (void)cls;
        hwnd_ = ::CreateWindowExW(0, L"KvTraceFileProbe", L"probe", WS_OVERLAPPEDWINDOW, 0, 0, 50, 50, nullptr, nullptr,
                                  ::GetModuleHandleW(nullptr), this);
        traceapi_SetTraceWindow(hwnd_, TRUE);
    }
    ~ServerWindowProbe() {
        traceapi_SetTraceWindow(nullptr, TRUE);
        ::DestroyWindow(hwnd_);
    }
    int settingsChanged = 0;
    std::vector<std::wstring> lines;  // "function: text" of each trace line
    std::vector<std::wstring> Texts() const {
        std::vector<std::wstring> out;
        for (const auto& l : lines) out.push_back(l.substr(l.find(L": ") + 2));
        return out;
    }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == WM_NCCREATE)
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
        auto* self = reinterpret_cast<ServerWindowProbe*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self && msg == WM_TRACE_SETTINGSCHANGED) {
            ++self->settingsChanged;
            return 0;
        }
        if (self && msg == WM_TRACE_OUTPUT) {
            self->lines.push_back(std::wstring(traceapi_GetCurFuncName()) + L": " + traceapi_GetCurTrcTxt());
            return 0;
        }
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    }
    HWND hwnd_ = nullptr;
};

std::atomic<int> g_refreshCalls;
void CountRefresh() { ++g_refreshCalls; }

// Every test starts with file writing on, a fresh directory, no current name and the
// clock fixed at 15 March 2007, noon.
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
    std::wstring Daily(const wchar_t* name) const { return dir_.file(name); }

    kvtest::TempDir dir_;
    ServerSettings saved_;
};

// --- the file line -----------------------------------------------------------------

TEST(FileLine, FieldsTagsAndLevelWords) {
    struct Case {
        const wchar_t* tag;
        uint32_t mark;
        uint32_t levelWord;
        const wchar_t* expected;
    } cases[] = {
        {L"WRN", 0, MakeLevelWord(20, 0xF), L"Wed 10:00:00,00 [1]|WRN |p [1]|M [2]|F|a | b|0|983060\r\n"},
        {L"ERR", 1, MakeLevelWord(10, kLevelSwitchError), L"Wed 10:00:00,00 [1]|ERR |p [1]|M [2]|F|a | b|1|524298\r\n"},
        {L"DIAG", 0, MakeLevelWord(40, kLevelSwitchDiag), L"Wed 10:00:00,00 [1]|DIAG|p [1]|M [2]|F|a | b|0|65576\r\n"},
        {L"", 0, MakeLevelWord(15, 0), L"Wed 10:00:00,00 [1]|    |p [1]|M [2]|F|a | b|0|15\r\n"},
        {L"OPR", 0, MakeLevelWord(-1, 0), L"Wed 10:00:00,00 [1]|OPR |p [1]|M [2]|F|a | b|0|65535\r\n"},
        {L"LONGTAG", 0, 0, L"Wed 10:00:00,00 [1]|LONG|p [1]|M [2]|F|a | b|0|0\r\n"},
    };
    for (const auto& c : cases) {
        Row r(L"Wed 10:00:00,00 [1]", c.tag, L"p [1]", L"M [2]", L"F", L"a | b", c.mark, c.levelWord);
        EXPECT_EQ(FormatLine(r.row), c.expected) << "tag '" << kvtest::Narrow(c.tag) << "'";
    }
}

TEST(FileLine, TextIsCutTo900AndTheLineKeepsItsEnd) {
    Row r = SimpleRow(std::wstring(1000, L'y'));
    const std::wstring line = FormatLine(r.row);
    EXPECT_EQ(std::count(line.begin(), line.end(), L'y'), 900);
    EXPECT_EQ(line.substr(line.size() - 11), L"|0|983070\r\n");
}

TEST(FileLine, LongFieldsAreCutSoThatCrLfStillFits) {
    Row r(std::wstring(31, L't').c_str(), L"DIAG", std::wstring(31, L'p').c_str(), std::wstring(31, L'm').c_str(),
          std::wstring(49, L'f').c_str(), std::wstring(950, L'x'), 0, MakeLevelWord(40, 0xF));
    const std::wstring full = FormatLine(r.row, 4000);
    ASSERT_GT(full.size(), 1002u) << "the uncut line must be longer than both limits";

    const std::wstring live = FormatLine(r.row, kLiveLineChars + 1);
    EXPECT_EQ(live.size(), 999u);
    EXPECT_EQ(live, full.substr(0, 997) + L"\r\n");

    const std::wstring saved = FormatLine(r.row, kSavedLineChars + 1);
    EXPECT_EQ(saved.size(), 1000u);
    EXPECT_EQ(saved, full.substr(0, 998) + L"\r\n");
}

TEST(FileLine, NoRowOrNoRoomGivesAnEmptyTerminatedBuffer) {
    wchar_t buf[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(tracewnd_FormatFileLine(nullptr, buf, 4), 0);
    EXPECT_EQ(buf[0], L'\0');
    Row r = SimpleRow(L"t");
    buf[0] = L'#';
    EXPECT_EQ(tracewnd_FormatFileLine(&r.row, buf, 2), 0);
    EXPECT_EQ(buf[0], L'\0');
    EXPECT_EQ(tracewnd_FormatFileLine(&r.row, nullptr, 100), 0);
    r.row.text = nullptr;
    EXPECT_EQ(FormatLine(r.row), L"Wed 10:00:00,00 [1]|INF |proc.exe [7]|Mod [9]|Func||0|983070\r\n");
}

// --- writing -----------------------------------------------------------------------

TEST_F(TraceFile, NothingIsWrittenBeforeANameExistsOrWithFileWritingOff) {
    Row r = SimpleRow(L"lost");
    const DWORD before = LineCount();
    tracewnd_WriteFileLine(&r.row);  // no name selected yet
    EXPECT_STREQ(tracewnd_CurrentTraceFile(), L"");
    tracewnd_SelectTraceFile();
    g_settings.EnableFile = 0;
    tracewnd_WriteFileLine(&r.row);
    tracewnd_CloseTraceFile();
    EXPECT_FALSE(kvtest::FileExists(Daily(L"TS070315.txt")));
    EXPECT_EQ(LineCount(), before);
}

TEST_F(TraceFile, BufferedWritingKeepsTheStreamOpenAndSharedUntilClosed) {
    tracewnd_SelectTraceFile();
    const std::wstring path = Daily(L"TS070315.txt");
    ASSERT_EQ(std::wstring(tracewnd_CurrentTraceFile()), path);

    const DWORD before = LineCount();
    Row a = SimpleRow(L"first"), b = SimpleRow(L"second");
    tracewnd_WriteFileLine(&a.row);
    tracewnd_WriteFileLine(&b.row);
    EXPECT_EQ(LineCount(), before + 2);
    EXPECT_EQ(g_refreshCalls, 1) << "the status field is refreshed once, when the stream opens";

    // Others may read and write the file while the writer holds it.
    HANDLE other = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(other, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
    if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);

    tracewnd_CloseTraceFile();
    const std::string bytes = kvtest::ReadBytes(path);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_NE(bytes.substr(0, 2), std::string("\xFF\xFE")) << "live files carry no byte-order mark";
    EXPECT_EQ(ReadWide(path), FormatLine(a.row) + FormatLine(b.row));

    // The next line reopens and appends.
    Row c = SimpleRow(L"third");
    tracewnd_WriteFileLine(&c.row);
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(path), FormatLine(a.row) + FormatLine(b.row) + FormatLine(c.row));
    EXPECT_EQ(g_refreshCalls, 2);
}

TEST_F(TraceFile, SafeWritingLeavesNothingOpenAfterALine) {
    g_settings.SaveWriting = 1;
    tracewnd_SelectTraceFile();
    const std::wstring path = Daily(L"TS070315.txt");
    const DWORD before = LineCount();

    Row a = SimpleRow(L"first");
    tracewnd_WriteFileLine(&a.row);
    EXPECT_EQ(ReadWide(path), FormatLine(a.row)) << "the line is on disk without a close";
    EXPECT_TRUE(::DeleteFileW(path.c_str())) << "no handle may stay open; error " << ::GetLastError();

    Row b = SimpleRow(L"second");
    tracewnd_WriteFileLine(&b.row);
    EXPECT_EQ(ReadWide(path), FormatLine(b.row)) << "the deleted file is created anew";
    EXPECT_EQ(LineCount(), before + 2);
    EXPECT_EQ(g_refreshCalls, 0);
}

TEST_F(TraceFile, AFaultingRowLosesOnlyItsOwnLine) {
    tracewnd_SelectTraceFile();
    Row bad = SimpleRow(L"");
    bad.row.text = reinterpret_cast<wchar_t*>(static_cast<ULONG_PTR>(0x10));
    Row good = SimpleRow(L"after");
    const DWORD before = LineCount();
    for (int safe = 0; safe < 2; ++safe) {
        g_settings.SaveWriting = safe;
        tracewnd_WriteFileLine(&bad.row);
        tracewnd_WriteFileLine(&good.row);
    }
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(Daily(L"TS070315.txt")), FormatLine(good.row) + FormatLine(good.row));
    EXPECT_EQ(LineCount(), before + 2);
}

TEST_F(TraceFile, LinesFromManyThreadsStayWholeAndNoneIsLost) {
    tracewnd_SelectTraceFile();
    constexpr int kThreads = 4, kLines = 1500;
    const DWORD before = LineCount();
    std::atomic<bool> done{false};
    // The tick timer closes the stream while intake threads write.
    std::thread ticker([&] {
        while (!done) {
            tracewnd_CloseTraceFile();
            ::SwitchToThread();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                Row r = SimpleRow(L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(i) + std::wstring(200, L'.'));
                tracewnd_WriteFileLine(&r.row);
            }
        });
    }
    for (auto& w : writers) w.join();
    done = true;
    ticker.join();
    tracewnd_CloseTraceFile();

    EXPECT_EQ(LineCount(), before + kThreads * kLines);
    const std::vector<std::wstring> lines = SplitLines(ReadWide(Daily(L"TS070315.txt")));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines) {
        int t = -1, i = -1;
        const size_t at = line.find(L"|thread ");
        ASSERT_NE(at, std::wstring::npos) << kvtest::Narrow(line);
        ASSERT_EQ(swscanf(line.c_str() + at, L"|thread %d line %d", &t, &i), 2) << kvtest::Narrow(line);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++) << "lines of one thread keep their order";
        Row expected = SimpleRow(L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(i) + std::wstring(200, L'.'));
        EXPECT_EQ(line + L"\r\n", FormatLine(expected.row));
    }
}

// --- the daily file ------------------------------------------------------------------

TEST_F(TraceFile, MidnightMovesTheNextLineToTheNewDaysFile) {
    ServerWindowProbe probe;
    SetClock(2007, 3, 14, 23, 59, 59, 990);
    Row late = SimpleRow(L"late");
    tracewnd_SelectTraceFile();
    tracewnd_WriteFileLine(&late.row);
    ASSERT_TRUE(kvtest::PumpUntil([&] { return probe.settingsChanged == 1; })) << probe.settingsChanged;

    SetClock(2007, 3, 15, 0, 0, 0);
    Row early = SimpleRow(L"early");
    tracewnd_WriteFileLine(&early.row);
    EXPECT_EQ(std::wstring(tracewnd_CurrentTraceFile()), Daily(L"TS070315.txt"));
    // The old file was closed with the change: its line is complete on disk already.
    EXPECT_EQ(ReadWide(Daily(L"TS070314.txt")), FormatLine(late.row));
    EXPECT_TRUE(kvtest::PumpUntil([&] { return probe.settingsChanged == 2; })) << probe.settingsChanged;

    Row more = SimpleRow(L"more");
    tracewnd_WriteFileLine(&more.row);
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(Daily(L"TS070315.txt")), FormatLine(early.row) + FormatLine(more.row));
    kvtest::PumpPending();
    EXPECT_EQ(probe.settingsChanged, 2) << "the same day in the same directory is no new file";
}

TEST_F(TraceFile, TheSameDayOfTheNextMonthIsANewFile) {
    SetClock(2007, 3, 15, 18, 0, 0);
    tracewnd_SelectTraceFile();
    Row march = SimpleRow(L"march");
    tracewnd_WriteFileLine(&march.row);

    SetClock(2007, 4, 15, 9, 0, 0);
    Row april = SimpleRow(L"april");
    tracewnd_WriteFileLine(&april.row);
    tracewnd_CloseTraceFile();
    EXPECT_EQ(ReadWide(Daily(L"TS070315.txt")), FormatLine(march.row));
    EXPECT_EQ(ReadWide(Daily(L"TS070415.txt")), FormatLine(april.row));

    SetClock(2008, 4, 15, 9, 0, 0);
    tracewnd_SelectTraceFile();
    EXPECT_EQ(std::wstring(tracewnd_CurrentTraceFile()), Daily(L"TS080415.txt"));
}

TEST_F(TraceFile, ANewDirectoryIsCreatedWithAllItsLevels) {
    tracewnd_SelectTraceFile();
    // Characters outside any single code page, and characters the command interpreter
    // would act on.
    const std::wstring deep = dir_.path() + L"\\Gr\u00f6\u00dfe\\\u0416\u0443\u0440\u043d\u0430\u043b\\a&b %PATH%";
    kv::CopyCut(g_settings.FileDir, MAX_PATH, deep.c_str());
    Row r = SimpleRow(L"moved");
    tracewnd_WriteFileLine(&r.row);
    tracewnd_CloseTraceFile();
    EXPECT_EQ(std::wstring(tracewnd_CurrentTraceFile()), deep + L"\\TS070315.txt");
    EXPECT_EQ(ReadWide(deep + L"\\TS070315.txt"), FormatLine(r.row));
}

TEST_F(TraceFile, AnEmptyDirectoryUsesTheFallbackNameUntilADirectoryIsBack) {
    tracewnd_SelectTraceFile();
    g_settings.FileDir[0] = 0;
    tracewnd_SelectTraceFile();
    EXPECT_STREQ(tracewnd_CurrentTraceFile(), L"\\riviveda.txt");

    // Back to the same directory on the same day: the daily name again.
    kv::CopyCut(g_settings.FileDir, MAX_PATH, dir_.path().c_str());
    tracewnd_SelectTraceFile();
    EXPECT_EQ(std::wstring(tracewnd_CurrentTraceFile()), Daily(L"TS070315.txt"));
}

// --- directories -------------------------------------------------------------------

TEST(MakeDirectoryPath, CreatesEveryLevelUpToTheLastBackslash) {
    kvtest::TempDir dir;
    const std::wstring levels = dir.path() + L"\\one\\\u0414\u0432\u0430\\dr\u00fci & 100%";
    MakeDirectoryPath((levels + L"\\file.txt").c_str());
    const DWORD attr = ::GetFileAttributesW(levels.c_str());
    EXPECT_NE(attr, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attr & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(kvtest::FileExists(levels + L"\\file.txt")) << "the last part is a file name";

    // A trailing backslash names a directory; doubled separators and the long-path
    // prefix are no levels of their own.
    MakeDirectoryPath((dir.path() + L"\\two\\\\three\\").c_str());
    EXPECT_TRUE(kvtest::FileExists(dir.path() + L"\\two\\three"));
    MakeDirectoryPath((L"\\\\?\\" + dir.path() + L"\\four\\five\\x").c_str());
    EXPECT_TRUE(kvtest::FileExists(dir.path() + L"\\four\\five"));

    MakeDirectoryPath(nullptr);
    MakeDirectoryPath(L"");
    MakeDirectoryPath(L"nofolder");
    EXPECT_FALSE(kvtest::FileExists(L"nofolder"));
}

// --- the saved list ----------------------------------------------------------------

struct BoxCall {
    std::wstring text, title;
    UINT type = 0;
    HWND owner = nullptr;
};
std::vector<BoxCall> g_boxes;
int WINAPI RecordBox(HWND owner, LPCWSTR text, LPCWSTR title, UINT type) {
    g_boxes.push_back({text, title, type, owner});
    return IDOK;
}

class SaveList : public TraceFile {
protected:
    void SetUp() override {
        TraceFile::SetUp();
        g_boxes.clear();
        tracewnd_SetSaveListMessageBox(&RecordBox);
        view_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        store_ = rowstore_Create(view_, &rowstore_CompareRows);
        ASSERT_GE(store_, 0);
        kv::Server().mainStore = store_;
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
        ASSERT_NE(row->text, nullptr);
        wmemcpy(row->text, r.text.c_str(), r.text.size() + 1);
        ASSERT_GE(rowstore_Add(store_, row), 0);
    }
    HWND view_ = nullptr;
    short store_ = -1;
};

TEST_F(SaveList, WritesTheMarkAndOneLinePerRow) {
    Row a = SimpleRow(L"one");
    Row b(L"Thu 11:00:00,00 [2]", L"ERR", L"p", L"m", L"f", L"two", 1, MakeLevelWord(10, 0xF));
    Row c(std::wstring(31, L't').c_str(), L"", std::wstring(31, L'p').c_str(), std::wstring(31, L'm').c_str(),
          std::wstring(49, L'f').c_str(), std::wstring(950, L'x'), 0, MakeLevelWord(-1, 0));
    Add(a);
    Add(b);
    Add(c);
    const std::wstring path = dir_.file(L"saved list.txt");
    kvtest::WriteBytes(path, std::string(5000, 'z'));  // replaced, not appended to

    EXPECT_EQ(tracewnd_SaveListToPath(nullptr, path.c_str()), 1);
    const std::string bytes = kvtest::ReadBytes(path);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE"));
    const std::wstring third = FormatLine(c.row, kSavedLineChars + 1);
    EXPECT_EQ(third.size(), 1000u) << "a saved line may be one character longer than a live one";
    EXPECT_EQ(ReadWide(path).substr(1), FormatLine(a.row) + FormatLine(b.row) + third);
    EXPECT_EQ(std::wstring(g_settings.LastFileDir), dir_.path());
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(SaveList, AnEmptyListGivesTheMarkAlone) {
    const std::wstring path = dir_.file(L"empty.txt");
    EXPECT_EQ(tracewnd_SaveListToPath(nullptr, path.c_str()), 1);
    EXPECT_EQ(kvtest::ReadBytes(path), std::string("\xFF\xFE"));
}

TEST_F(SaveList, AFileThatCannotBeOpenedIsReportedWithItsNameAsText) {
    Add(SimpleRow(L"kept"));
    const std::wstring path = dir_.path() + L"\\missing\\100%s%n%d.txt";
    EXPECT_EQ(tracewnd_SaveListToPath(view_, path.c_str()), 0);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0].text, L"Could not open file '" + path + L"' !");
    EXPECT_EQ(g_boxes[0].title, L"Trace Server - Save List");
    EXPECT_EQ(g_boxes[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(g_boxes[0].owner, view_);
    EXPECT_EQ(std::wstring(g_settings.LastFileDir), dir_.path() + L"\\missing");
    EXPECT_EQ(rowstore_GetCount(store_), 1) << "the list is untouched";
}

// --- history -----------------------------------------------------------------------

class History : public TraceFile {
protected:
    void Touch(const std::wstring& name) { kvtest::WriteBytes(dir_.file(name), "x"); }
    bool Exists(const std::wstring& name) { return kvtest::FileExists(dir_.file(name)); }
};

TEST_F(History, AgeCountsFromTheLastSecondOfTheDayInTheName) {
    ServerWindowProbe probe;
    g_settings.HistoryDays = 1;
    for (const wchar_t* n : {L"TS070314.txt", L"TS070315.txt", L"TS070316.txt"}) Touch(n);

    SetClock(2007, 3, 16, 23, 59, 59);
    tracewnd_CheckHistDays();
    EXPECT_FALSE(Exists(L"TS070314.txt")) << "the day before yesterday has expired";
    EXPECT_TRUE(Exists(L"TS070315.txt")) << "yesterday is one day old only at 23:59:59";
    EXPECT_TRUE(Exists(L"TS070316.txt")) << "today's file is never deleted";
    ASSERT_EQ(probe.lines.size(), 1u);
    EXPECT_EQ(probe.lines[0], L"tracewnd_CheckHistDays (1): Delete expired trace file: '" + dir_.file(L"TS070314.txt") + L"'");

    SetClock(2007, 3, 17, 0, 0, 0);
    tracewnd_CheckHistDays();
    EXPECT_FALSE(Exists(L"TS070315.txt"));
    EXPECT_TRUE(Exists(L"TS070316.txt"));
}

TEST_F(History, OnlyDailyTraceFilesAreTouched) {
    SetClock(2007, 6, 1, 12, 0, 0);
    g_settings.HistoryDays = 1;
    const wchar_t* keep[] = {L"TS070315.txt.bak", L"TS0703.txt", L"TSabcdef.txt", L"TS07031x.txt", L"XTS070315.txt",
                             L"riviveda.txt"};
    for (const wchar_t* n : keep) Touch(n);
    ASSERT_TRUE(::CreateDirectoryW(dir_.file(L"TS070101.txt").c_str(), nullptr));
    Touch(L"TS070101.txt\\inside.txt");
    Touch(L"TS070102.txt");

    tracewnd_CheckHistDays();
    for (const wchar_t* n : keep) EXPECT_TRUE(Exists(n)) << kvtest::Narrow(n);
    EXPECT_TRUE(Exists(L"TS070101.txt\\inside.txt")) << "a directory with a daily name is left alone";
    EXPECT_FALSE(Exists(L"TS070102.txt"));
}

TEST_F(History, NothingIsDeletedWithoutALimitOrWithinALongOne) {
    SetClock(2007, 6, 1, 12, 0, 0);
    Touch(L"TS710102.txt");  // 36 years old
    g_settings.HistoryDays = 0;
    tracewnd_CheckHistDays();
    EXPECT_TRUE(Exists(L"TS710102.txt"));
    // 30000 days in seconds no longer fits 32 bits.
    g_settings.HistoryDays = 30000;
    tracewnd_CheckHistDays();
    EXPECT_TRUE(Exists(L"TS710102.txt"));
    g_settings.HistoryDays = 10000;
    tracewnd_CheckHistDays();
    EXPECT_FALSE(Exists(L"TS710102.txt"));
}

TEST_F(History, NamesTheCommandInterpreterWouldActOnAreDeletedExactly) {
    ServerWindowProbe probe;
    const std::wstring odd = dir_.path() + L"\\a&b %CD% \u0416";
    ASSERT_TRUE(::CreateDirectoryW(odd.c_str(), nullptr));
    kv::CopyCut(g_settings.FileDir, MAX_PATH, odd.c_str());
    kvtest::WriteBytes(odd + L"\\TS070101.txt", "x");
    kvtest::WriteBytes(odd + L"\\TS070601.txt", "x");
    kvtest::WriteBytes(dir_.file(L"TS070101.txt"), "x");  // same name one level up
    SetClock(2007, 6, 1, 12, 0, 0);
    g_settings.HistoryDays = 2;

    tracewnd_CheckHistDays();
    EXPECT_FALSE(kvtest::FileExists(odd + L"\\TS070101.txt"));
    EXPECT_TRUE(kvtest::FileExists(odd + L"\\TS070601.txt"));
    EXPECT_TRUE(kvtest::FileExists(dir_.file(L"TS070101.txt")));
    ASSERT_EQ(probe.Texts().size(), 1u);
    EXPECT_EQ(probe.Texts()[0], L"Delete expired trace file: '" + odd + L"\\TS070101.txt'");
}

TEST_F(History, AFileThatCannotBeDeletedIsReported) {
    ServerWindowProbe probe;
    SetClock(2007, 6, 1, 12, 0, 0);
    g_settings.HistoryDays = 5;
    Touch(L"TS070301.txt");
    const std::wstring path = dir_.file(L"TS070301.txt");
    kv::UniqueHandle held(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());

    tracewnd_CheckHistDays();
    EXPECT_TRUE(kvtest::FileExists(path));
    const std::vector<std::wstring> texts = probe.Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], L"Delete expired trace file: '" + path + L"'");
    const std::wstring prefix = L"WRN: DeleteFile '" + path + L"' failed with: ";
    EXPECT_EQ(texts[1].substr(0, prefix.size()), prefix);
    EXPECT_EQ(texts[1].substr(texts[1].size() - 2), L" !");
    EXPECT_NE(texts[1], prefix + L"0 !");
}

// --- time functions ----------------------------------------------------------------

TEST(TimeFromName, EndOfTheNamedDayInLocalTime) {
    const time_t y2k = tracewnd_GetTimeFromName(L"TS991231.txt");
    ASSERT_NE(y2k, -1);
    const struct tm* t = localtime(&y2k);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->tm_year, 99);
    EXPECT_EQ(t->tm_mon, 11);
    EXPECT_EQ(t->tm_mday, 31);
    EXPECT_EQ(t->tm_hour * 3600 + t->tm_min * 60 + t->tm_sec, 86399);
    EXPECT_EQ(tracewnd_GetTimeFromName(L"TS000229.txt"), LocalTime(2000, 2, 29, 23, 59, 59));
    EXPECT_EQ(tracewnd_GetTimeFromName(L"TS070315.txt"), LocalTime(2007, 3, 15, 23, 59, 59));
    EXPECT_EQ(tracewnd_GetTimeFromName(L"TS690101.txt"), LocalTime(2069, 1, 1, 23, 59, 59));
    // Days and months beyond their range roll over.
    EXPECT_EQ(tracewnd_GetTimeFromName(L"TS070230.txt"), LocalTime(2007, 3, 2, 23, 59, 59));
    EXPECT_EQ(tracewnd_GetTimeFromName(L"TS071301.txt"), LocalTime(2008, 1, 1, 23, 59, 59));
    EXPECT_EQ(tracewnd_GetTimeFromName(L"TS010229.txt"), LocalTime(2001, 3, 1, 23, 59, 59));
}

TEST(TimeFromName, UnusableNamesGiveMinusOne) {
    for (const wchar_t* name : {L"TSabcdef.txt", L"TS000000.txt", L"TS070300.txt", L"TS070015.txt", L"TS-70315.txt",
                                L"TS", L"T", L""}) {
        EXPECT_EQ(tracewnd_GetTimeFromName(name), -1) << kvtest::Narrow(name);
    }
    EXPECT_EQ(tracewnd_GetTimeFromName(nullptr), -1);
}

TEST(TimeDiffFromStr, MillisecondsBetweenTwoRowTimes) {
    EXPECT_EQ(tracewnd_GetTimeDiffFromStr(L"Wed 10:00:00,00 [1]", L"Wed 10:00:01,50 [2]"), 1500);
    EXPECT_EQ(tracewnd_GetTimeDiffFromStr(L"Wed 10:00:01,50 [2]", L"Wed 10:00:00,00 [1]"), -1500);
    EXPECT_EQ(tracewnd_GetTimeDiffFromStr(L"Mo 09:59:59,99", L"Mo 11:01:02,03"), 3662040);
    EXPECT_EQ(tracewnd_GetTimeDiffFromStr(L"Wed 23:59:59,00 [9]", L"Thu 00:00:01,00 [10]"), -86398000)
        << "across midnight the second time is the earlier one";
}

TEST(TimeDiffFromStr, UnusableTextsGiveZero) {
    const wchar_t* good = L"Wed 10:00:00,00 [1]";
    for (const wchar_t* bad : {L"", L"Wed", L"Wed 10:00:00", L"no digits here at all", L"Wed 1:00:00,0"}) {
        EXPECT_EQ(tracewnd_GetTimeDiffFromStr(good, bad), 0) << kvtest::Narrow(bad);
        EXPECT_EQ(tracewnd_GetTimeDiffFromStr(bad, good), 0) << kvtest::Narrow(bad);
    }
    EXPECT_EQ(tracewnd_GetTimeDiffFromStr(nullptr, good), 0);
    EXPECT_EQ(tracewnd_GetTimeDiffFromStr(good, nullptr), 0);
    // Absurd numbers give a defined result, not an overflow.
    EXPECT_EQ(tracewnd_GetTimeDiffFromStr(L"0:00:00,00000", L"99999999999:00:00,00"), LONG_MAX);
}

}  // namespace

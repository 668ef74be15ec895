// KVTrcVwr.exe started with the trace window's two command lines: the row it selects,
// read back from its list view through the platform.
#include <gtest/gtest.h>

#include <string>

#include "kvtest.h"
#include "../tracefiles/serverlines.h"

#include <commctrl.h>  // after windows.h

namespace {

std::vector<RowSpec> Day(const wchar_t* weekday, int first, int count) {
    static std::vector<std::wstring> times;  // RowSpec keeps pointers
    std::vector<RowSpec> rows;
    for (int i = 0; i < count; ++i) {
        wchar_t time[32];
        swprintf(time, 32, L"%ls 10:00:%02d,00 [%05d]", weekday, i, first + i);
        times.push_back(time);
    }
    for (int i = 0; i < count; ++i)
        rows.push_back({times[times.size() - count + i].c_str(), 30, L"p.exe [1]", L"m [2]", L"f", L"t", 0, 0});
    return rows;
}

struct Found {
    DWORD pid;
    HWND hwnd;
};
BOOL CALLBACK FindViewer(HWND hwnd, LPARAM lp) {
    auto* f = reinterpret_cast<Found*>(lp);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    wchar_t cls[64];
    ::GetClassNameW(hwnd, cls, 64);
    if (pid == f->pid && wcscmp(cls, L"KVTrcVwrWindow") == 0) {
        f->hwnd = hwnd;
        return FALSE;
    }
    return TRUE;
}

// A viewer process, its list view, and the text of a cell read through the list view.
class ViewerProcess {
public:
    explicit ViewerProcess(const std::wstring& args) {
        STARTUPINFOW si = {sizeof(si)};
        std::wstring cmd = kvtest::Quote(kvtest::ExeDir() + L"\\KVTrcVwr.exe") + L" " + args;
        ok_ = ::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_) != 0;
        if (!ok_) return;
        Found f{pi_.dwProcessId, nullptr};
        // The window shows up while it is still creating its children.
        kvtest::PumpUntil([&] {
            ::EnumWindows(&FindViewer, reinterpret_cast<LPARAM>(&f));
            if (f.hwnd) list_ = ::FindWindowExW(f.hwnd, nullptr, WC_LISTVIEWW, nullptr);
            return list_ != nullptr;
        }, 30000);
        main_ = f.hwnd;
    }
    ~ViewerProcess() {
        if (!ok_) return;
        if (main_) ::PostMessageW(main_, WM_CLOSE, 0, 0);
        if (::WaitForSingleObject(pi_.hProcess, 20000) != WAIT_OBJECT_0) ::TerminateProcess(pi_.hProcess, 1);
        ::CloseHandle(pi_.hProcess);
        ::CloseHandle(pi_.hThread);
    }
    HWND list() const { return list_; }
    HWND Control(const wchar_t* cls, const wchar_t* text) const { return ::FindWindowExW(main_, nullptr, cls, text); }
    long long Selected() const {
        return list_ ? ::SendMessageW(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED) : -1;
    }
    long long Count() const { return list_ ? ::SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0) : 0; }
    // The item record and its text buffer live in the viewer's memory.
    std::wstring Cell(long long row, int column) const {
        struct Remote {
            LVITEMW item;
            wchar_t text[256];
        };
        void* mem = ::VirtualAllocEx(pi_.hProcess, nullptr, sizeof(Remote), MEM_COMMIT, PAGE_READWRITE);
        if (!mem) return L"<no memory>";
        Remote r = {};
        r.item.iSubItem = column;
        r.item.cchTextMax = 256;
        r.item.pszText = reinterpret_cast<Remote*>(mem)->text;
        SIZE_T n = 0;
        ::WriteProcessMemory(pi_.hProcess, mem, &r, sizeof(r), &n);
        ::SendMessageW(list_, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(mem));
        ::ReadProcessMemory(pi_.hProcess, mem, &r, sizeof(r), &n);
        ::VirtualFreeEx(pi_.hProcess, mem, 0, MEM_RELEASE);
        r.text[255] = 0;
        return r.text;
    }

private:
    PROCESS_INFORMATION pi_ = {};
    bool ok_ = false;
    HWND main_ = nullptr, list_ = nullptr;
};

// The trace directory holds a blank: the trace window writes it unquoted.
class TraceDir {
public:
    std::wstring path() const { return root_.file(L"trace files"); }
    std::wstring file(const std::wstring& name) const { return path() + L"\\" + name; }
private:
    kvtest::TempDir root_;
};

class Viewer : public ::testing::Test {
protected:
    TraceDir dir_;
    ServerSettings saved_ = g_settings;
    void SetUp() override {
        // Two Mondays and the Tuesday between, numbered from 1 each day.
        WriteRows(dir_.path(), 2007, 3, 5, Day(L"MO", 1, 40));
        WriteRows(dir_.path(), 2007, 3, 6, Day(L"TU", 1, 40));
        WriteRows(dir_.path(), 2007, 3, 12, Day(L"MO", 1, 3));
    }
    void TearDown() override { g_settings = saved_; }
};

TEST_F(Viewer, DirectoryAndTimeTextSelectTheMostRecentMatchingRow) {
    struct {
        const wchar_t* time;
        long long row;
        const wchar_t* date;
    } cases[] = {
        {L"MO 10:00:01,00 [00002]", 81, L"2007-03-12"},
        {L"MO 10:00:29,00 [00030]", 29, L"2007-03-05"},
        {L"TU 10:00:04,00 [00005]", 44, L"2007-03-06"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.time));
        // As the trace window writes it: directory, "/T:" and the time text, unquoted.
        ViewerProcess v(dir_.path() + L" /T:" + c.time);
        ASSERT_NE(v.list(), nullptr);
        EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Selected() >= 0; }, 30000));
        EXPECT_EQ(v.Count(), 83);
        EXPECT_EQ(v.Selected(), c.row);
        EXPECT_EQ(v.Cell(v.Selected(), 0), c.date);
        EXPECT_EQ(v.Cell(v.Selected(), 1), c.time);
    }
}

TEST_F(Viewer, FileNameOpensThatFileAtItsEnd) {
    ViewerProcess v(dir_.file(L"TS070306.txt"));
    ASSERT_NE(v.list(), nullptr);
    EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Selected() >= 0; }, 30000));
    EXPECT_EQ(v.Count(), 40);
    EXPECT_EQ(v.Selected(), 39);
    EXPECT_EQ(v.Cell(39, 1), L"TU 10:00:39,00 [00040]");
    EXPECT_EQ(v.Cell(39, 2), L"INF");
    EXPECT_EQ(v.Cell(39, 6), L"t");

    // Go to a time of the selected row's day.
    ::SendMessageW(::GetWindow(v.Control(L"BUTTON", L"Filter"), GW_HWNDNEXT), WM_SETTEXT, 0,
                   reinterpret_cast<LPARAM>(L"10:00:05"));
    ::SendMessageW(v.Control(L"BUTTON", L"Go to"), BM_CLICK, 0, 0);
    EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Selected() == 5; }, 30000)) << v.Selected();
}

TEST_F(Viewer, FollowsTheFilesAcrossMidnightAndFiltersWithoutReloading) {
    ViewerProcess v(dir_.path());
    ASSERT_NE(v.list(), nullptr);
    ASSERT_TRUE(kvtest::PumpUntil([&] { return v.Selected() == 82; }, 30000)) << v.Selected();
    HWND follow = v.Control(L"BUTTON", L"Follow");
    ASSERT_NE(follow, nullptr);
    ::SendMessageW(follow, BM_CLICK, 0, 0);
    WriteRows(dir_.path(), 2007, 3, 12, Day(L"MO", 4, 1));
    EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Count() == 84; }, 30000)) << v.Count();
    // Midnight: the server's next line goes to the Tuesday's file.
    WriteRows(dir_.path(), 2007, 3, 13, Day(L"TU", 1, 2));
    EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Count() == 86; }, 30000)) << v.Count();
    EXPECT_EQ(v.Cell(85, 0), L"2007-03-13");
    EXPECT_EQ(v.Cell(85, 1), L"TU 10:00:01,00 [00002]");

    // Only the rows of the first ten seconds of each day, whose time holds "10:00:0".
    ::SendMessageW(follow, BM_CLICK, 0, 0);
    HWND edit = ::GetWindow(v.Control(L"STATIC", L"Text"), GW_HWNDNEXT);
    ::SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"10:00:0"));
    ::SendMessageW(v.Control(L"BUTTON", L"Filter"), BM_CLICK, 0, 0);
    EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Count() == 10 + 10 + 4 + 2; }, 30000)) << v.Count();
    ::SendMessageW(v.Control(L"BUTTON", L"INF"), BM_CLICK, 0, 0);  // info rows off: none left
    EXPECT_TRUE(kvtest::PumpUntil([&] { return v.Count() == 0; }, 30000)) << v.Count();
}

}  // namespace

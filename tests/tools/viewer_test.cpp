// KVTrcVwr.exe started with the trace window's two command lines: the row it selects,
// read back from its list view through the platform.
#include <gtest/gtest.h>

#include <string>

#include "kvtest.h"
#include "../tracefiles/serverlines.h"

#include <commctrl.h>  // after windows.h

namespace {

// A viewer process, its list view, and the text of a cell read through the list view.
class ViewerProcess {
public:
    explicit ViewerProcess(const std::wstring& args)
        : process_(kvtest::Start(kvtest::Quote(kvtest::ExeDir() + L"\\KVTrcVwr.exe") + L" " + args)) {
        // The window shows up while it is still creating its children.
        kvtest::PumpUntil([&] {
            for (HWND w = nullptr; process_ && !main_ && (w = ::FindWindowExW(nullptr, w, L"KVTrcVwrWindow", nullptr));) {
                DWORD pid = 0;
                ::GetWindowThreadProcessId(w, &pid);
                if (pid == ::GetProcessId(process_)) main_ = w;
            }
            return main_ && (list_ = ::FindWindowExW(main_, nullptr, WC_LISTVIEWW, nullptr)) != nullptr;
        }, 30000);
    }
    ~ViewerProcess() {
        if (main_) ::PostMessageW(main_, WM_CLOSE, 0, 0);
        if (process_ && ::WaitForSingleObject(process_, 20000) != WAIT_OBJECT_0) ::TerminateProcess(process_, 1);
        if (process_) ::CloseHandle(process_);
    }
    HWND list() const { return list_; }
    HWND Control(const wchar_t* cls, const wchar_t* text) const { return ::FindWindowExW(main_, nullptr, cls, text); }
    void Click(const wchar_t* button) const { ::SendMessageW(Control(L"BUTTON", button), BM_CLICK, 0, 0); }
    // Types into the edit that follows a control.
    void Type(HWND before, const wchar_t* text) const {
        ::SendMessageW(::GetWindow(before, GW_HWNDNEXT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    }
    long long Selected() const { return ::SendMessageW(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED); }
    long long Count() const { return ::SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0); }
    // The item record and its text buffer live in the viewer's memory.
    std::wstring Cell(long long row, int column) const {
        struct Remote {
            LVITEMW item;
            wchar_t text[256];
        } r = {};
        auto* mem = static_cast<Remote*>(::VirtualAllocEx(process_, nullptr, sizeof(Remote), MEM_COMMIT, PAGE_READWRITE));
        if (!mem) return L"<no memory>";
        r.item.iSubItem = column;
        r.item.cchTextMax = 256;
        r.item.pszText = mem->text;
        SIZE_T n = 0;
        ::WriteProcessMemory(process_, mem, &r, sizeof(r), &n);
        ::SendMessageW(list_, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(mem));
        ::ReadProcessMemory(process_, mem, &r, sizeof(r), &n);
        ::VirtualFreeEx(process_, mem, 0, MEM_RELEASE);
        r.text[255] = 0;
        return r.text;
    }

private:
    HANDLE process_;
    HWND main_ = nullptr, list_ = nullptr;
};

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

TEST_F(Viewer, FollowsTheFilesAcrossMidnightAndFiltersWithoutReloading) {
    ViewerProcess v(trace_);
    ASSERT_NE(v.list(), nullptr);
    ASSERT_TRUE(kvtest::PumpUntil([&] { return v.Selected() == 82; }, 30000)) << v.Selected();
    auto count = [&](long long n) { return kvtest::PumpUntil([&] { return v.Count() == n; }, 30000); };
    v.Click(L"Follow");
    WriteRows(trace_, 2007, 3, 12, Day(L"MO", 4, 1));
    EXPECT_TRUE(count(84)) << v.Count();
    // Midnight: the server's next line goes to the Tuesday's file.
    WriteRows(trace_, 2007, 3, 13, Day(L"TU", 1, 2));
    EXPECT_TRUE(count(86)) << v.Count();
    EXPECT_EQ(v.Cell(85, 0) + L" " + v.Cell(85, 1), L"2007-03-13 TU 10:00:01,00 [00002]");

    // Only the rows of the first ten seconds of each day, whose time holds "10:00:0".
    v.Click(L"Follow");
    v.Type(v.Control(L"STATIC", L"Text"), L"10:00:0");
    v.Click(L"Filter");
    EXPECT_TRUE(count(10 + 10 + 4 + 2)) << v.Count();
    v.Click(L"INF");  // info rows off: none left
    EXPECT_TRUE(count(0)) << v.Count();
}

}  // namespace

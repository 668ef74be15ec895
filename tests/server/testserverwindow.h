// A stand-in trace window with the real control kinds and row stores, as the server's window state.
// When it goes, the settings, the clock, the trace file, the seams and the test hooks are as before.
#pragma once

#include <windows.h>

#include <string>
#include <tuple>
#include <vector>

#include "server/serverstate.h"
#include "settings/serversettings.h"

namespace kvtest {

// Answered with 42 by the stand-in window.
constexpr UINT kPing = WM_APP + 7;

class TestServerWindow {
public:
    // asServer: also name it as the server window of all processes. storeLines: trace
    // lines become rows of the main list as in the trace window; else they are only kept.
    explicit TestServerWindow(bool asServer = true, bool storeLines = true);
    ~TestServerWindow();
    TestServerWindow(const TestServerWindow&) = delete;
    TestServerWindow& operator=(const TestServerWindow&) = delete;
    HWND hwnd() const { return hwnd_; }
    HWND mainList() const { return main_; }
    HWND filterList() const { return filter_; }
    HWND appList() const { return apps_; }
    short mainStore() const { return kv::Server().mainStore; }
    short filterStore() const { return kv::Server().filterStore; }
    // Texts of the application list, top to bottom, and its selected entry.
    std::vector<std::wstring> AppEntries() const;
    int SelectedApp() const { return static_cast<int>(::SendMessageW(apps_, CB_GETCURSEL, 0, 0)); }
    int selectedHandle = -2;  // picked up from the application list's last selection-change notification
    // A trace line as it arrived, with the file, trace and main scroll switches then.
    struct Line {
        std::wstring func, text;
        short handle, level;
        int enableFile, globalEnable, scroll;
    };
    std::vector<Line> lines;
    std::vector<std::pair<DWORD, LPARAM>> countUpdates;  // tick and flags of the main list's LVM_SETITEMCOUNT
    std::vector<UINT> passedOn;                           // what the filter list's procedure passed on
    std::vector<std::tuple<UINT, WPARAM, LPARAM>> input;  // keys and clicks the filter list handed over

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK ListProc(HWND, UINT, WPARAM, LPARAM);
    HWND hwnd_ = nullptr, main_ = nullptr, filter_ = nullptr, apps_ = nullptr;
    bool storeLines_;
    ServerSettings saved_;
};

}  // namespace kvtest

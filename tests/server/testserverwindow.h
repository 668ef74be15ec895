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
    // Handles picked up from the application list's selection-change notifications.
    const std::vector<int>& selections() const { return selections_; }
    void Clear() { selections_.clear(); }
    // Texts of the application list, top to bottom.
    std::vector<std::wstring> AppEntries() const;
    int SelectedApp() const;
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
    int pings = 0;
    int settingsPosts = 0;  // WM_TRACE_SETTINGSCHANGED

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK ListProc(HWND, UINT, WPARAM, LPARAM);
    HWND hwnd_ = nullptr, main_ = nullptr, filter_ = nullptr, apps_ = nullptr;
    bool storeLines_;
    ServerSettings saved_;
    std::vector<int> selections_;
};

}  // namespace kvtest

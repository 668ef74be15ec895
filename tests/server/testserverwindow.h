// A stand-in for the trace window in tests of the server core: a top-level window with
// the real control kinds (the sorted upper-case drop-down list of applications and two
// owner-data report list views with their row stores), registered as the server's
// window state and joined to the client interface. Its window procedure passes the
// client notifications on as the trace window does.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kvtest {

class TestServerWindow {
public:
    // asServer: also name it as the server window of all processes.
    explicit TestServerWindow(bool asServer = true);
    ~TestServerWindow();
    TestServerWindow(const TestServerWindow&) = delete;
    TestServerWindow& operator=(const TestServerWindow&) = delete;

    HWND hwnd() const { return hwnd_; }
    HWND mainList() const { return main_; }
    HWND filterList() const { return filter_; }
    HWND appList() const { return apps_; }
    short mainStore() const;
    short filterStore() const;

    // Handles picked up from the application list's selection-change notifications.
    const std::vector<int>& selections() const { return selections_; }
    void Clear() { selections_.clear(); }
    // Texts of the application list, top to bottom.
    std::vector<std::wstring> AppEntries() const;
    int SelectedApp() const;

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK MainListProc(HWND, UINT, WPARAM, LPARAM);
    HWND hwnd_ = nullptr, main_ = nullptr, filter_ = nullptr, apps_ = nullptr;
    std::vector<int> selections_;
};

}  // namespace kvtest

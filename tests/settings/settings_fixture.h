// Common ground of the settings and profile tests: a settings file of their own beside
// the executable, a suite directory in a temporary folder, a stand-in trace window that
// records its commands, and clean shared state before and after every test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/owners.h"
#include "client/region.h"
#include "kvtest.h"
#include "server/serverstate.h"
#include "settings/serversettings.h"

namespace settingstest {

// The settings file every process of this executable uses (KVTRCSRV.ini beside it).
std::wstring SettingsFile();

// Reads a key as text; "<absent>" when the file has no such key.
std::wstring ReadKey(const std::wstring& file, const wchar_t* section, const wchar_t* key);
void WriteKey(const std::wstring& file, const wchar_t* section, const wchar_t* key, const wchar_t* value);
std::wstring CurrentProfile();

// A top-level window standing in for the trace window; records WM_COMMAND.
class StandInWindow {
public:
    StandInWindow();
    ~StandInWindow();
    StandInWindow(const StandInWindow&) = delete;
    StandInWindow& operator=(const StandInWindow&) = delete;
    HWND hwnd() const { return hwnd_; }
    std::wstring Title() const;
    const std::vector<std::pair<WPARAM, LPARAM>>& commands() const;
private:
    HWND hwnd_ = nullptr;
};

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Makes a stand-in the trace window of this process.
    HWND OpenTraceWindow();
    // Fills a client slot as a registration in another process would.
    void FillClientSlot(int h, const wchar_t* module, const wchar_t* section, INT diag, INT info, INT warn, INT err);

    std::wstring SuiteDir() const { return suite_.path(); }

    kvtest::TempDir suite_;
    kvtest::TempDir work_;
    std::unique_ptr<StandInWindow> window_;
};

// How often the window seams were called since the test began.
int StatusUpdates();
int ToolbarSyncs();

}  // namespace settingstest

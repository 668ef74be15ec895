// Common ground of the settings and profile tests.
#include "settings_fixture.h"

#include "settings/profiles.h"
#include "settings/windowlayout.h"

namespace settingstest {

namespace {

class ClientEnvironment : public ::testing::Environment {
public:
    void SetUp() override { kv::ProcessAttach(::GetModuleHandleW(nullptr)); }
};
::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new ClientEnvironment);

const wchar_t kStandInClass[] = L"SettingsTestTraceWindow";
std::vector<std::pair<WPARAM, LPARAM>> g_commands;
int g_statusUpdates;
int g_toolbarSyncs;

LRESULT CALLBACK StandInProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COMMAND) g_commands.emplace_back(wParam, lParam);
    return ::DefWindowProcW(hwnd, msg, wParam, lParam);
}

void CountStatusUpdate() { ++g_statusUpdates; }
void CountToolbarSync() { ++g_toolbarSyncs; }

}  // namespace

int StatusUpdates() { return g_statusUpdates; }
int ToolbarSyncs() { return g_toolbarSyncs; }

std::wstring SettingsFile() { return kvtest::ExeDir() + L"\\KVTRCSRV.ini"; }

std::wstring ReadKey(const std::wstring& file, const wchar_t* section, const wchar_t* key) {
    wchar_t buf[4096];
    ::GetPrivateProfileStringW(section, key, L"<absent>", buf, ARRAYSIZE(buf), file.c_str());
    return buf;
}

void WriteKey(const std::wstring& file, const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    ASSERT_TRUE(::WritePrivateProfileStringW(section, key, value, file.c_str())) << kvtest::Narrow(file);
}

std::wstring CurrentProfile() {
    kv::MutexLock lock(kv::g_proc.dataMutex);
    return kv::g_region.curProfile;
}

StandInWindow::StandInWindow() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = StandInProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kStandInClass;
    ::RegisterClassW(&wc);  // fails harmlessly from the second window on
    hwnd_ = ::CreateWindowExW(0, kStandInClass, L"stand-in", WS_OVERLAPPEDWINDOW, 40, 50, 600, 350, nullptr,
                              nullptr, ::GetModuleHandleW(nullptr), nullptr);
    g_commands.clear();
}

StandInWindow::~StandInWindow() {
    if (hwnd_) ::DestroyWindow(hwnd_);
}

std::wstring StandInWindow::Title() const {
    wchar_t buf[4096] = {};
    ::GetWindowTextW(hwnd_, buf, ARRAYSIZE(buf));
    return buf;
}

const std::vector<std::pair<WPARAM, LPARAM>>& StandInWindow::commands() const { return g_commands; }

void SettingsTest::SetUp() {
    ::DeleteFileW(SettingsFile().c_str());
    ::SetEnvironmentVariableW(L"KV_SUITE_DIR", suite_.path().c_str());
    tracewnd_SetProfile(nullptr);
    {
        kv::MutexLock lock(kv::g_proc.dataMutex);
        ZeroMemory(kv::g_region.apps, sizeof(kv::g_region.apps));
        kv::g_region.globalEnable = 1;
    }
    ZeroMemory(&g_settings, sizeof(g_settings));
    ZeroMemory(&g_windowLayout, sizeof(g_windowLayout));
    kv::Server() = kv::ServerState{};
    g_statusUpdates = 0;
    g_toolbarSyncs = 0;
    kv::Seams().updateStatus = CountStatusUpdate;
    kv::Seams().syncToolbar = CountToolbarSync;
}

void SettingsTest::TearDown() {
    kv::Seams().updateStatus = nullptr;
    kv::Seams().syncToolbar = nullptr;
    tracewnd_SetProfileDialogs(nullptr, nullptr);
    kv::Server() = kv::ServerState{};
    window_.reset();
    tracewnd_SetProfile(nullptr);
    {
        kv::MutexLock lock(kv::g_proc.dataMutex);
        ZeroMemory(kv::g_region.apps, sizeof(kv::g_region.apps));
        kv::g_region.globalEnable = 1;
    }
    ::SetEnvironmentVariableW(L"KV_SUITE_DIR", nullptr);
    ::DeleteFileW(SettingsFile().c_str());
}

HWND SettingsTest::OpenTraceWindow() {
    window_ = std::make_unique<StandInWindow>();
    kv::Server().traceWindow = window_->hwnd();
    return window_->hwnd();
}

void SettingsTest::FillClientSlot(int h, const wchar_t* module, const wchar_t* section, INT diag, INT info, INT warn,
                                  INT err) {
    kv::MutexLock lock(kv::g_proc.dataMutex);
    TRACEAPP& app = kv::g_region.apps[h];
    kv::CopyCut(app.szModule, 50, module);
    kv::CopyCut(app.szSection, 50, section);
    kv::CopyCut(app.szProcess, 50, L"OTHER [1]");
    app.EnableDiag = diag;
    app.EnableInfo = info;
    app.EnableWarning = warn;
    app.EnableError = err;
    app.dwProcessId = 1;
}

}  // namespace settingstest

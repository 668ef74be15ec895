// Common ground of the settings and profile tests: the settings file beside the
// executable (theirs alone), a suite directory in a temporary folder, a stand-in trace
// window, and clean shared state around every test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "client/locks.h"
#include "client/owners.h"
#include "client/region.h"
#include "kvtest.h"
#include "server/serverstate.h"
#include "settings/profiles.h"
#include "settings/serversettings.h"
#include "settings/windowlayout.h"
#include "window/settingsapply.h"

namespace settingstest {

inline std::wstring SettingsFile() { return kvtest::ExeDir() + L"\\KVTRCSRV.ini"; }

inline std::wstring ReadKey(const std::wstring& file, const wchar_t* section, const wchar_t* key) {
    wchar_t buf[2048];
    ::GetPrivateProfileStringW(section, key, L"<absent>", buf, ARRAYSIZE(buf), file.c_str());
    return buf;
}

inline void WriteKey(const std::wstring& file, const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    EXPECT_TRUE(::WritePrivateProfileStringW(section, key, value, file.c_str())) << kvtest::Narrow(file);
}

inline std::wstring CurrentProfile() {
    kv::RankedMutexLock lock(kv::g_proc.dataMutex, kv::LockRank::kData);
    return kv::g_region.curProfile;
}

inline std::wstring TitleOf(HWND window) {
    wchar_t buf[2048] = {};
    ::GetWindowTextW(window, buf, ARRAYSIZE(buf));
    return buf;
}

// This executable's name without extension, upper-cased, as in its settings sections.
inline std::wstring ExeBaseUpper() {
    std::wstring name = kvtest::ExePath().substr(kvtest::ExeDir().size() + 1);
    name = name.substr(0, name.find_last_of(L'.'));
    for (auto& c : name) c = static_cast<wchar_t>(::towupper(c));
    return name;
}

// "abc...zab...": shows where a cut happened.
inline std::wstring Counting(size_t n) {
    std::wstring s;
    for (size_t i = 0; i < n; ++i) s += static_cast<wchar_t>(L'a' + i % 26);
    return s;
}

// Window seam calls and selection-change commands seen since the test began.
struct SeamCounts {
    int statusUpdates, toolbarSyncs, selectionCommands;
};
inline SeamCounts g_seen;

class SettingsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kv::ProcessAttach(::GetModuleHandleW(nullptr)); }
    void SetUp() override {
        Reset();
        ::SetEnvironmentVariableW(L"KV_SUITE_DIR", suite_.path().c_str());
        kv::SetProfileChangedHook([] { ++g_seen.statusUpdates; });
        kv::Seams().syncToolbar = [] { ++g_seen.toolbarSyncs; };
    }
    void TearDown() override {
        Reset();
        ::SetEnvironmentVariableW(L"KV_SUITE_DIR", nullptr);
    }

    // A stand-in that counts the application list's selection-change commands, made
    // this process's trace window.
    HWND OpenTraceWindow() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = StandInProc;
        wc.lpszClassName = L"SettingsTestTraceWindow";
        ::RegisterClassW(&wc);  // already there from the second test on
        window_.reset(::CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 40, 50, 600, 350, nullptr,
                                        nullptr, nullptr, nullptr));
        kv::Server().traceWindow = window_.get();
        return window_.get();
    }

    void FillSlot(int h, const wchar_t* module, const wchar_t* section, INT diag, INT info, INT warn, INT err) {
        kv::RankedMutexLock lock(kv::g_proc.dataMutex, kv::LockRank::kData);
        TRACEAPP& app = kv::g_region.apps[h];
        kv::CopyCut(app.szModule, 50, module);
        kv::CopyCut(app.szSection, 50, section);
        app.EnableDiag = diag;
        app.EnableInfo = info;
        app.EnableWarning = warn;
        app.EnableError = err;
    }

    kvtest::TempDir suite_, work_;
    kv::UniqueWindow window_;

private:
    static LRESULT CALLBACK StandInProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == WM_COMMAND && wp == MAKEWPARAM(0, 1)) ++g_seen.selectionCommands;
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    }
    void Reset() {
        tracewnd_SetProfile(nullptr);
        tracewnd_SetProfileDialogs(nullptr, nullptr);
        kv::Seams() = kv::WindowSeams{};
        kv::SetProfileChangedHook(nullptr);
        kv::Server() = kv::ServerState{};
        window_.reset();
        g_seen = SeamCounts{};
        ZeroMemory(&g_settings, sizeof(g_settings));
        ZeroMemory(&g_windowLayout, sizeof(g_windowLayout));
        kv::RankedMutexLock lock(kv::g_proc.dataMutex, kv::LockRank::kData);
        ZeroMemory(kv::g_region.apps, sizeof(kv::g_region.apps));
        kv::g_region.globalEnable = 1;
        ::DeleteFileW(SettingsFile().c_str());
    }
};

}  // namespace settingstest

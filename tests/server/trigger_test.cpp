// Trigger actions, the command the trigger runs, and the two ways of starting a process.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "client/locks.h"
#include "client/owners.h"
#include "client/region.h"
#include "kvtest.h"
#include "serverkit.h"
#include "server/filters.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "settings/serversettings.h"
#include "testserverwindow.h"

namespace {

// Trace, main scroll and file switches as the tool bar was told of them.
std::vector<std::tuple<int, BOOL, int>> g_toolbar;
void SyncToolbar() {
    g_toolbar.emplace_back(kv::g_region.globalEnable, rowstore_GetAutoScroll(kv::Server().mainStore), g_settings.EnableFile);
}

using Launches = std::vector<std::pair<std::wstring, int>>;  // command lines and show values
Launches g_launches;
int RecordLaunch(const wchar_t* command, int show) {
    static kv::RankedSection lock{kv::LockRank::kRecorder};
    kv::SectionLock hold(lock);
    g_launches.emplace_back(command, show);
    return 1;
}

constexpr wchar_t kTrigger[] = L"ALARM";

class Trigger : public ::testing::Test {
protected:
    void SetUp() override {
        kv::CopyCut(g_settings.TriggerFilter, kFilterChars, kTrigger);
        g_settings.TriggerExec[0] = 0;
        tracewnd_SplitFilters();
        kv::Seams().syncToolbar = SyncToolbar;
        tracewnd_SetTriggerLaunchForTesting(RecordLaunch);
        SwitchAllOn();
        g_toolbar.clear();
        g_launches.clear();
    }
    void SwitchAllOn() {
        g_settings.EnableFile = 1;
        traceapi_SetEnable(1);
        rowstore_SetAutoScroll(win_.mainStore(), TRUE);
        rowstore_SetAutoScroll(win_.filterStore(), TRUE);
    }
    kvtest::TempDir temp_;
    kvtest::TestServerWindow win_{true, false};
    std::vector<kvtest::TestServerWindow::Line>& lines_ = win_.lines;
};

std::wstring TriggerText(const wchar_t* flags, const wchar_t* what) {
    return std::wstring(L"Trigger='") + kTrigger + L"' (Flags=" + flags + L") -> ***** " + what + L" *****";
}

TEST_F(Trigger, StopActionsAndTheCommandFireOnlyOnTheHitsTheyShouldAlsoTwoAtOnce) {
    g_settings.TriggerFlags = 0x07;
    tracewnd_ExecTrigger();
    // The file and scroll lines are written before their switch goes off, the trace line after.
    const struct { const wchar_t* what; int enableFile, globalEnable; BOOL mainScroll; } expected[] = {
        {L"TRACE TO FILE OFF", 1, 1, TRUE}, {L"TRACE STOPPED", 0, 0, TRUE}, {L"SCROLL STOPPED", 0, 0, TRUE}};
    ASSERT_EQ(lines_.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const auto& l = lines_[i];
        const auto& e = expected[i];
        EXPECT_EQ(std::make_tuple(l.text, l.func, l.handle, l.level, l.enableFile, l.globalEnable, l.scroll),
                  std::make_tuple(TriggerText(L"0x7", e.what), std::wstring(L"tracewnd_ExecTrigger"), short(0), short(-1),
                                  e.enableFile, e.globalEnable, e.mainScroll)) << i;
    }
    EXPECT_EQ(std::make_tuple(g_settings.EnableFile, traceapi_GetEnable(), rowstore_GetAutoScroll(win_.mainStore()),
                              rowstore_GetAutoScroll(win_.filterStore())), std::make_tuple(0, 0, FALSE, FALSE));
    EXPECT_EQ(g_toolbar, (std::vector<std::tuple<int, BOOL, int>>{{0, FALSE, 0}})) << "told once, after the changes";
    tracewnd_ExecTrigger();
    EXPECT_EQ(lines_.size(), 3u) << "a second hit finds everything off and writes nothing";
    // Execute and Once decide on which hits the command runs.
    kv::CopyCut(g_settings.TriggerExec, MAX_PATH, L"notepad.exe");
    tracewnd_SplitFilters();
    struct Case { uint32_t flags; size_t firstHit, secondHit; /* commands started */ } cases[] = {
        {0x08, 1, 1},  // Execute: every hit
        {0x0A, 1, 1},  // Execute with Stop Trace, no Once: every hit
        {0x18, 0, 0},  // Once without a stop action: never
        {0x19, 1, 0},  // Once: only the hit that stopped scrolling
        {0x12, 1, 0},  // Once without Execute still runs on the hit that stopped the trace
        {0x14, 1, 0},  // ... or stopped the file
        {0x07, 0, 0},
    };
    for (const Case& c : cases) {
        SwitchAllOn();
        g_settings.TriggerFlags = c.flags;
        g_launches.clear();
        tracewnd_ExecTrigger();
        const size_t first = g_launches.size();
        tracewnd_ExecTrigger();
        EXPECT_EQ(std::make_pair(first, g_launches.size() - first), std::make_pair(c.firstHit, c.secondHit))
            << "flags 0x" << std::hex << c.flags << ": commands on the first and the second hit";
    }
    g_settings.TriggerFlags = 0x08;
    lines_.clear();
    g_launches.clear();
    // The record is rewritten in place on the window thread; intake threads run the
    // command as last published with the filters.
    kv::CopyCut(g_settings.TriggerExec, MAX_PATH, L"half written");
    tracewnd_ExecTrigger();
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(std::make_tuple(lines_[0].text, lines_[0].func, lines_[0].level),
              std::make_tuple(TriggerText(L"0x8", L"EXEC:'notepad.exe'"), std::wstring(L"tracewnd_TGExcecute"), short(-1)));
    EXPECT_EQ(g_launches, (Launches{{L"NOTEPAD.EXE", SW_SHOWDEFAULT}}));
    // Two hits at once: each stop action is written and done once, and with Once the command runs once.
    kv::Seams().syncToolbar = nullptr;
    g_settings.TriggerFlags = kTriggerStopScroll | kTriggerStopTrace | kTriggerStopFile | kTriggerExecute | kTriggerOnce;
    for (int round = 0; round < 25; ++round) {
        SwitchAllOn();
        lines_.clear();
        g_launches.clear();
        kv::UniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::atomic<int> done{0};
        auto hit = [&] {
            ::WaitForSingleObject(go.get(), 10000);
            tracewnd_ExecTrigger();
            ++done;
        };
        std::thread a(hit), b(hit);
        ::SetEvent(go.get());
        ASSERT_TRUE(kvtest::PumpUntil([&] { return done == 2; }, 30000));
        a.join();
        b.join();
        EXPECT_EQ(std::make_pair(lines_.size(), g_launches.size()), std::make_pair(size_t(4), size_t(1)))
            << "three stop lines and the command's, round " << round;
    }
}

TEST_F(Trigger, CommandLinesOfTheTriggerCommand) {
    const std::wstring spaced = temp_.path() + L"\\my tools";
    ASSERT_TRUE(::CreateDirectoryW(spaced.c_str(), nullptr));
    kvtest::WriteBytes(spaced + L"\\run me.exe", "MZ");
    kvtest::WriteBytes(spaced + L"\\Save Now.bat", "@echo off\r\n");
    std::wstring upper = spaced;
    ::CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    const std::wstring longBatch = L"C:\\" + std::wstring(MAX_PATH - 10, L'x') + L"\\a.bat";
    ASSERT_EQ(longBatch.size(), static_cast<size_t>(MAX_PATH - 1));
    kvtest::SetClock(2000, 1, 2, 3, 4, 5);  // every part of the stamp has two digits
    const struct { std::wstring typed, command; int show; } cases[] = {
        {L"notepad.exe", L"NOTEPAD.EXE", SW_SHOWDEFAULT},
        {L"cmd /c copy a b", L"CMD /C COPY A B", SW_HIDE},
        {L"C:\\Tools\\Save.bat", L"C:\\Tools\\Save.bat 000102_030405", SW_HIDE},
        {L"cmd /c C:\\Tools\\Save.bat", L"cmd /c C:\\Tools\\Save.bat 000102_030405", SW_HIDE},
        {longBatch, longBatch + L" 000102_030405", SW_HIDE},
        {spaced + L"\\run me.exe", L"\"" + upper + L"\\RUN ME.EXE\"", SW_SHOWDEFAULT},
        {spaced + L"\\Save Now.bat", L"\"" + spaced + L"\\Save Now.bat\" 000102_030405", SW_HIDE},
        {L"\"" + spaced + L"\\run me.exe\" -x", L"\"" + upper + L"\\RUN ME.EXE\" -X", SW_SHOWDEFAULT},
        {L"", L"", 0},  // the line is written even without a command
    };
    for (const auto& c : cases) {
        kv::CopyCut(g_settings.TriggerExec, MAX_PATH, c.typed.c_str());
        tracewnd_SplitFilters();
        g_launches.clear();
        lines_.clear();
        tracewnd_TGExcecute();
        EXPECT_EQ(std::make_pair(lines_.size(), g_launches),
                  std::make_pair(size_t(1), c.typed.empty() ? Launches{} : Launches{{c.command, c.show}})) << kvtest::Narrow(c.typed);
    }
    // The show value reaches the process started: a batch file's console stays hidden.
    const std::wstring record = temp_.file(L"record.txt"), recorder = kvtest::Quote(kvtest::ExeDir() + L"\\kv_trigger_recorder.exe");
    ::SetEnvironmentVariableW(L"KV_TRIGGER_RECORD", record.c_str());
    ASSERT_NE(LaunchProcess(recorder.c_str(), SW_SHOWMINNOACTIVE), 0);
    EXPECT_TRUE(kvtest::PumpUntil([&] { return kvtest::ReadBytes(record) == "7|" + kvtest::Narrow(recorder) + "\r\n"; }, 60000));
}

}  // namespace

// Trace file lines written by the server's own file writer, for the tests of the
// programs that read them back, and their fixture.
#pragma once

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "client/region.h"
#include "kvtest.h"
#include "server/clock.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"
#include "tracefiles/tracefiles.h"

namespace {

struct RowSpec {
    std::wstring time;
    int level;
    const wchar_t* process;
    const wchar_t* module;
    const wchar_t* function;
    std::wstring text;
    uint32_t mark;
    uint32_t switches;
};

// Rows of one day, numbered from first, one second apart from 10:00:00.
inline std::vector<RowSpec> Day(const wchar_t* weekday, int first, int count) {
    std::vector<RowSpec> rows;
    for (int i = 0; i < count; ++i) {
        wchar_t time[32];
        swprintf(time, 32, L"%ls 10:00:%02d,00 [%05d]", weekday, i, first + i);
        rows.push_back({time, 30, L"p.exe [1]", L"m [2]", L"f", L"t", 0, 0});
    }
    return rows;
}

// Writes rows through the server's file writer into dir, on the given day.
void WriteRows(const std::wstring& dir, WORD year, WORD month, WORD day, const std::vector<RowSpec>& rows) {
    ServerSettings_SetDefaults(g_settings, dir.c_str());
    g_settings.EnableFile = 1;
    SYSTEMTIME st = {year, month, 0, day, 12, 0, 0, 0};
    kv::ClockSetForTesting(&st);
    tracewnd_ResetTraceFileForTesting();
    tracewnd_SelectTraceFile();
    for (const RowSpec& r : rows) {
        TraceRow row = {};
        kv::CopyCut(row.time, 32, r.time.c_str());
        kv::CopyCut(row.tag, 10, kv::trc::LevelTagOf(r.level));
        kv::CopyCut(row.process, 32, r.process);
        kv::CopyCut(row.module, 32, r.module);
        kv::CopyCut(row.function, 50, r.function);
        std::wstring text = r.text;
        row.text = &text[0];
        row.markFlags = r.mark;
        row.levelWord = MakeLevelWord(r.level, r.switches);
        tracewnd_WriteFileLine(&row);
    }
    tracewnd_ResetTraceFileForTesting();
    kv::ClockSetForTesting(nullptr);
}

// A directory of the test's own; the server's settings the writer changes come back after.
class ServerLinesTest : public ::testing::Test {
protected:
    kvtest::TempDir dir_;
    ServerSettings saved_ = g_settings;
    void TearDown() override { g_settings = saved_; }
};

}  // namespace

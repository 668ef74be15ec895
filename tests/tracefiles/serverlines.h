// Lines written by the server's own file writer for the readers' tests, and their fixture.
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
    const wchar_t *process, *module, *function;
    std::wstring text;
    uint32_t mark, switches;
};
inline RowSpec Row(const wchar_t* time, const wchar_t* text, const wchar_t* module = L"m [2]", const wchar_t* function = L"f") {
    return RowSpec{time, 30, L"p.exe [1]", module, function, text, 0, 0};
}

// Rows of one day, numbered from first, one second apart from 10:00:00.
inline std::vector<RowSpec> Day(const wchar_t* weekday, int first, int count) {
    std::vector<RowSpec> rows;
    for (int i = 0; i < count; ++i) {
        wchar_t time[32];
        swprintf(time, 32, L"%ls 10:00:%02d,00 [%05d]", weekday, i, first + i);
        rows.push_back(Row(time, L"t"));
    }
    return rows;
}

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

// Two stations: interleaved, equal stamps (n2 and s2; n3 and n4 in two days' files; n5 and s4).
inline void WriteStations(const std::wstring& north, const std::wstring& south) {
    WriteRows(north, 2007, 3, 12, {Row(L"MO 10:00:00,00 [00001]", L"n1"), Row(L"MO 10:00:01,00 [00002]", L"n2"),
                                   Row(L"MO 23:59:59,99 [00003]", L"n3")});
    WriteRows(north, 2007, 3, 13, {Row(L"MO 23:59:59,99 [00004]", L"n4"), Row(L"TU 00:00:01,00 [00005]", L"n5")});
    WriteRows(south, 2007, 3, 12, {Row(L"MO 09:59:59,00 [00001]", L"s1"), Row(L"MO 10:00:01,00 [00002]", L"s2")});
    WriteRows(south, 2007, 3, 13, {Row(L"TU 00:00:00,50 [00003]", L"s3"), Row(L"TU 00:00:01,00 [00004]", L"s4")});
}

inline std::string Utf16(const std::wstring& s) { return std::string(reinterpret_cast<const char*>(s.data()), s.size() * 2); }

// A directory of the test's own; the server's settings the writer changes come back after.
class ServerLinesTest : public ::testing::Test {
protected:
    kvtest::TempDir dir_;
    ServerSettings saved_ = g_settings;
    void TearDown() override { g_settings = saved_; }
};

}  // namespace

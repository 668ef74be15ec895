// Trace file writing throughput: rows per second with the stream kept open (buffered)
// and with open, write, flush and close for every row (safe), from one thread and from
// two intake threads at once. Buffered rounds of one and two threads take turns; the
// medians are reported.
#include <stdio.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "client/region.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Now() {
    LARGE_INTEGER f, c;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

struct BenchRow {
    TraceRow row = {};
    std::wstring text;
    explicit BenchRow(int n) {
        kv::FormatCut(row.time, 32, L"Wed 10:%02d:%02d,%02d [%d]", n / 6000 % 60, n / 100 % 60, n % 100, n);
        kv::CopyCut(row.tag, 10, L"INF");
        kv::CopyCut(row.process, 32, L"KVSERVX.EXE [4711]");
        kv::CopyCut(row.module, 32, L"Dispatcher [1234]");
        kv::CopyCut(row.function, 50, L"CDispatcher::OnTelegram");
        text = L"Telegram 0815 from line 3 accepted, 12 fields, state READY -> RUNNING, sequence " + std::to_wstring(n);
        row.text = &text[0];
        row.levelWord = MakeLevelWord(30, 0xF);
    }
};

// Writes rows split over the given number of threads; returns rows per second,
// including the final close that puts the last buffered lines on disk.
double Run(int rows, int threads, const std::vector<BenchRow>& pool) {
    tracewnd_CloseTraceFile();
    const double start = Now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = t; i < rows; i += threads) tracewnd_WriteFileLine(&pool[i % pool.size()].row);
        });
    }
    for (auto& w : workers) w.join();
    tracewnd_CloseTraceFile();
    const double seconds = Now() - start;
    return seconds > 0 ? rows / seconds : 0;
}

long long FileBytes(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

int main() {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    wchar_t dir[MAX_PATH];
    kv::FormatCut(dir, MAX_PATH, L"%skvbench_tracefile_%lu", temp, ::GetCurrentProcessId());

    ServerSettings_SetDefaults(g_settings, dir);
    g_settings.EnableFile = 1;
    tracewnd_SelectTraceFile();

    std::vector<BenchRow> pool;
    for (int i = 0; i < 1000; ++i) pool.emplace_back(i);
    wchar_t line[kLiveLineChars + 1];
    const int lineChars = tracewnd_FormatFileLine(&pool[0].row, line, kLiveLineChars + 1);

    const int bufferedRows = 200000, safeRows = 3000;
    printf("trace file writing, line of %d characters (%d bytes)\n", lineChars, lineChars * 2);

    g_settings.SaveWriting = 0;
    Run(10000, 1, pool);  // warm-up: file created, caches filled
    const int kRounds = 5;
    std::vector<double> one, two, ratios;
    for (int round = 0; round < kRounds; ++round) {
        one.push_back(Run(bufferedRows, 1, pool));
        two.push_back(Run(bufferedRows, 2, pool));
        ratios.push_back(one.back() > 0 ? two.back() / one.back() : 0);
    }
    const double buffered1 = Median(one), buffered2 = Median(two);
    g_settings.SaveWriting = 1;
    const double safe1 = Run(safeRows, 1, pool);
    const double safe2 = Run(safeRows, 2, pool);

    printf("buffered, 1 thread : %10.0f rows/s  (%d rows, median of %d rounds)\n", buffered1, bufferedRows, kRounds);
    printf("buffered, 2 threads: %10.0f rows/s  (%d rows, median of %d rounds)\n", buffered2, bufferedRows, kRounds);
    printf("safe,     1 thread : %10.0f rows/s  (%d rows)\n", safe1, safeRows);
    printf("safe,     2 threads: %10.0f rows/s  (%d rows)\n", safe2, safeRows);
    if (safe1 > 0) printf("buffered / safe (1 thread): %.1f x\n", buffered1 / safe1);
    // Every round, so that a run disturbed by other work on the machine shows as such.
    printf("rounds, 1 thread / 2 threads (M rows/s):");
    for (int round = 0; round < kRounds; ++round) printf(" %.2f/%.2f", one[round] / 1e6, two[round] / 1e6);
    printf("\n2 threads / 1 thread (buffered), median of %d rounds: %.2f (goal 1.0)\n", kRounds, Median(ratios));

    const std::wstring file = tracewnd_CurrentTraceFile();
    const long long expected = static_cast<long long>(10000 + 2 * kRounds * bufferedRows + 2 * safeRows) * lineChars * 2;
    const long long actual = FileBytes(file.c_str());
    printf("file size %lld bytes, %s\n", actual, actual >= expected ? "no line lost" : "LINES LOST");

    tracewnd_ResetTraceFileForTesting();
    ::DeleteFileW(file.c_str());
    ::RemoveDirectoryW(dir);
    return actual >= expected ? 0 : 1;
}

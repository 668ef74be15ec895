// Trace profiles with a typical and with a full application table: the time to save and
// to load a profile of 32 and of 512 slots, and how long a registration in another thread waits for the
// data mutex meanwhile. The save takes the mutex only to copy the slots; the load holds
// it across the re-read of every slot's switches, so that no registration sees a
// half-loaded set.
//
//   bench_profiles.exe [rounds]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <initializer_list>
#include <thread>

#include "client/owners.h"
#include "client/region.h"
#include "client/sendpath.h"
#include "server/serverstate.h"
#include "settings/profiles.h"
#include "settings/serversettings.h"
#include "window/settingsapply.h"

namespace {

double Now() {
    static LARGE_INTEGER f = [] {
        LARGE_INTEGER v;
        ::QueryPerformanceFrequency(&v);
        return v;
    }();
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

// A thread that takes and releases the data mutex as registrations do, and records the
// longest wait.
class MutexProbe {
public:
    MutexProbe() : thread_([this] { Run(); }) {}
    ~MutexProbe() {
        stop_ = true;
        thread_.join();
    }
    double LongestWaitMs() const { return longest_ * 1000.0; }
    void Reset() {
        longest_ = 0;
    }

private:
    void Run() {
        while (!stop_) {
            const double t0 = Now();
            {
                kv::DataLock lock;
                const double waited = Now() - t0;
                if (waited > longest_) longest_ = waited;
            }
            ::Sleep(0);
        }
    }
    std::atomic<bool> stop_{false};
    std::atomic<double> longest_{0};
    std::thread thread_;
};

void FillTable(int used) {
    kv::DataLock lock;
    ZeroMemory(kv::g_region.apps, sizeof(kv::g_region.apps));
    for (int h = 0; h < used; ++h) {
        TRACEAPP& app = kv::g_region.apps[h];
        kv::FormatCut(app.szModule, 50, L"App%d", h);
        kv::FormatCut(app.szSection, 50, h == 0 ? L"RivivEda" : L"BENCH_App%d", h);
        app.EnableDiag = h % 2;
        app.EnableInfo = h % 3 == 0;
        app.EnableWarning = 1;
        app.EnableError = 1;
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int rounds = argc > 1 ? _wtoi(argv[1]) : 3;
    kv::ProcessAttach(::GetModuleHandleW(nullptr));

    wchar_t dir[MAX_PATH], path[MAX_PATH];
    ::GetTempPathW(MAX_PATH, dir);
    kv::FormatCut(path, MAX_PATH, L"%sbench_profile_%lu.pfl", dir, ::GetCurrentProcessId());

    HWND window = ::CreateWindowExW(0, L"STATIC", L"bench", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                                    ::GetModuleHandleW(nullptr), nullptr);
    kv::Server().traceWindow = window;
    kv::CopyCut(g_settings.IncludeFilter, kFilterChars, L"alpha;beta;gamma");
    for (int used : {32, kv::kAppSlots}) {
        FillTable(used);
        double saveTotal = 0, loadTotal = 0, saveWait = 0, loadWait = 0;
        {
            MutexProbe probe;
            for (int r = 0; r < rounds; ++r) {
                probe.Reset();
                double t0 = Now();
                tracewnd_SaveProfile(window, path);
                saveTotal += Now() - t0;
                if (probe.LongestWaitMs() > saveWait) saveWait = probe.LongestWaitMs();

                probe.Reset();
                t0 = Now();
                if (tracewnd_LoadProfile(window, path) != 1) {
                    fwprintf(stderr, L"profile did not load\n");
                    return 1;
                }
                loadTotal += Now() - t0;
                if (probe.LongestWaitMs() > loadWait) loadWait = probe.LongestWaitMs();
            }
        }
        const double saveMs = saveTotal * 1000.0 / rounds;
        const double loadMs = loadTotal * 1000.0 / rounds;
        wprintf(L"profile with %3d used slots (%d rounds)\n", used, rounds);
        wprintf(L"  save: %8.1f ms; longest registration wait %8.2f ms (%5.1f%% of the save)\n", saveMs, saveWait,
                saveMs > 0 ? 100.0 * saveWait / saveMs : 0.0);
        wprintf(L"  load: %8.1f ms; longest registration wait %8.2f ms (%5.1f%% of the load)\n", loadMs, loadWait,
                loadMs > 0 ? 100.0 * loadWait / loadMs : 0.0);
    }

    tracewnd_SetProfile(nullptr);
    ::DeleteFileW(path);
    ::DestroyWindow(window);
    return 0;
}

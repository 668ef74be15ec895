// The lock-order checker: a wait against the order of client/locks.h is reported with
// both locks and the thread, and ends a process that does not take the report itself.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "client/locks.h"
#include "kvtest.h"

namespace {

using kv::LockRank;

kv::RankedSection g_trigger{LockRank::kTrigger}, g_list{LockRank::kList}, g_store{LockRank::kStore},
    g_otherStore{LockRank::kStore};
kv::RankedSrwLock g_tables{LockRank::kFilterTables};
HANDLE g_dataMutex = ::CreateMutexW(nullptr, FALSE, nullptr), g_slotMutex = ::CreateMutexW(nullptr, FALSE, nullptr);
std::optional<kv::RankedMutexLock> g_data, g_slot;

// Steps by letter: Trigger, Data, sLot, List, Store, Other store, filter Tables, sEnd.
struct Step { char name; void (*take)(); void (*drop)(); };
const Step kSteps[] = {
    {'T', [] { g_trigger.Enter(); }, [] { g_trigger.Leave(); }},
    {'D', [] { g_data.emplace(g_dataMutex, LockRank::kData); }, [] { g_data.reset(); }},
    {'L', [] { g_slot.emplace(g_slotMutex, LockRank::kSlot); }, [] { g_slot.reset(); }},
    {'I', [] { g_list.Enter(); }, [] { g_list.Leave(); }},
    {'S', [] { g_store.Enter(); }, [] { g_store.Leave(); }},
    {'O', [] { g_otherStore.Enter(); }, [] { g_otherStore.Leave(); }},
    {'F', [] { g_tables.LockShared(); }, [] { g_tables.UnlockShared(); }},
    {'E', [] { kv::LockCheckSend(); }, [] {}},
};
const Step& StepOf(char c) {
    for (const Step& s : kSteps)
        if (s.name == c) return s;
    return kSteps[7];
}

std::string g_reports;

KVTEST_HELPER(TakeStoreThenList) {
    kv::SectionLock store(g_store);
    kv::SectionLock list(g_list);
    return 0;
}

TEST(LockOrder, WaitsAgainstTheOrderAreReportedWithBothLocksAndTheThreadAndEndTheRun) {
#if !defined(KV_LOCK_CHECK) || !KV_LOCK_CHECK
    GTEST_SKIP() << "built without KV_LOCK_CHECK";
#endif
    struct Case { const char* steps; const char* report; };  // taken in order, released in reverse; null: none
    const Case cases[] = {
        {"TDISSI", nullptr},  // rising ranks and re-entries
        {"IE", nullptr},      // a send under the list lock
        {"SI", "taking the list lock (rank 4) while holding the store lock (rank 5)"},
        {"SO", "taking the store lock (rank 5) while holding the store lock (rank 5)"},
        {"DL", "taking the slot mutex (rank 1) while holding the data mutex (rank 3)"},
        {"FF", "taking again the filter tables lock (rank 6)"},
        {"ISE", "sending to another thread while holding the store lock (rank 5)"},
    };
    kv::SetLockReportForTesting([](const char* report) { g_reports += report; });
    const std::string thread = "on thread " + std::to_string(::GetCurrentThreadId()) + ":";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps);
        g_reports.clear();
        const std::string steps = c.steps;
        for (char s : steps) StepOf(s).take();
        for (auto s = steps.rbegin(); s != steps.rend(); ++s) StepOf(*s).drop();
        if (!c.report) EXPECT_EQ(g_reports, "");
        else EXPECT_TRUE(g_reports.find(c.report) != std::string::npos && g_reports.find(thread) != std::string::npos) << g_reports;
    }
    kv::SetLockReportForTesting(nullptr);
    // Without a report hook a violation ends the process.
    const kvtest::ProcessResult r = kvtest::RunHelper(L"TakeStoreThenList");
    EXPECT_TRUE(r.finished && r.exitCode == kv::kLockViolationExitCode) << r.exitCode;
}

}  // namespace

// The lock-order checker: a wait against the order of client/locks.h is reported with
// both locks and the thread, and ends a process that does not take the report itself.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "client/locks.h"
#include "kvtest.h"

namespace {

using kv::LockRank;

kv::RankedSection g_trigger{LockRank::kTrigger}, g_list{LockRank::kList}, g_store{LockRank::kStore},
    g_otherStore{LockRank::kStore};
kv::RankedSrwLock g_tables{LockRank::kFilterTables};
HANDLE g_dataMutex = ::CreateMutexW(nullptr, FALSE, nullptr);
HANDLE g_slotMutex = ::CreateMutexW(nullptr, FALSE, nullptr);
std::optional<kv::RankedMutexLock> g_data, g_slot;

enum Step { kTrigger, kData, kSlot, kList, kStore, kOtherStore, kTables, kSend };

void Take(Step s) {
    switch (s) {
    case kTrigger: g_trigger.Enter(); break;
    case kData: g_data.emplace(g_dataMutex, LockRank::kData); break;
    case kSlot: g_slot.emplace(g_slotMutex, LockRank::kSlot); break;
    case kList: g_list.Enter(); break;
    case kStore: g_store.Enter(); break;
    case kOtherStore: g_otherStore.Enter(); break;
    case kTables: g_tables.LockShared(); break;
    case kSend: kv::LockCheckSend(); break;
    }
}

void Drop(Step s) {
    switch (s) {
    case kTrigger: g_trigger.Leave(); break;
    case kData: g_data.reset(); break;
    case kSlot: g_slot.reset(); break;
    case kList: g_list.Leave(); break;
    case kStore: g_store.Leave(); break;
    case kOtherStore: g_otherStore.Leave(); break;
    case kTables: g_tables.UnlockShared(); break;
    case kSend: break;
    }
}

std::string g_reports;
void Record(const char* report) { g_reports += report; }

#if defined(KV_LOCK_CHECK) && KV_LOCK_CHECK
constexpr bool kChecked = true;
#else
constexpr bool kChecked = false;
#endif

TEST(LockOrder, WaitsAgainstTheOrderAreReportedWithBothLocksAndTheThread) {
    if (!kChecked) GTEST_SKIP() << "built without KV_LOCK_CHECK";
    struct Case {
        const char* name;
        std::vector<Step> steps;  // taken in this order, released in the reverse
        const char* report;       // null: none
    };
    const Case cases[] = {
        {"rising ranks and re-entries", {kTrigger, kData, kList, kStore, kStore, kList}, nullptr},
        {"a send under the list lock", {kList, kSend}, nullptr},
        {"store lock, then list lock", {kStore, kList},
         "taking the list lock (rank 4) while holding the store lock (rank 5)"},
        {"two locks of one rank", {kStore, kOtherStore},
         "taking the store lock (rank 5) while holding the store lock (rank 5)"},
        {"slot mutex under the data mutex", {kData, kSlot},
         "taking the slot mutex (rank 1) while holding the data mutex (rank 3)"},
        {"a lock that is not re-entrant, again", {kTables, kTables}, "taking again the filter tables lock (rank 6)"},
        {"a send under the store lock", {kList, kStore, kSend},
         "sending to another thread while holding the store lock (rank 5)"},
    };
    kv::SetLockReportForTesting(&Record);
    const std::string thread = "on thread " + std::to_string(::GetCurrentThreadId()) + ":";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_reports.clear();
        for (Step s : c.steps) Take(s);
        for (auto s = c.steps.rbegin(); s != c.steps.rend(); ++s) Drop(*s);
        if (!c.report) {
            EXPECT_EQ(g_reports, "");
            continue;
        }
        EXPECT_NE(g_reports.find(c.report), std::string::npos) << g_reports;
        EXPECT_NE(g_reports.find(thread), std::string::npos) << g_reports;
    }
    kv::SetLockReportForTesting(nullptr);
}

KVTEST_HELPER(TakeStoreThenList) {
    kv::SectionLock store(g_store);
    kv::SectionLock list(g_list);
    return 0;
}

TEST(LockOrder, AViolationEndsTheProcess) {
    if (!kChecked) GTEST_SKIP() << "built without KV_LOCK_CHECK";
    const kvtest::ProcessResult r = kvtest::RunHelper(L"TakeStoreThenList");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, kv::kLockViolationExitCode);
}

}  // namespace

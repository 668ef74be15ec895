// The lock checker's reports of what a function does on a thread of its own.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "client/locks.h"
#include "kvtest.h"

namespace kvtest {

#if defined(KV_LOCK_CHECK) && KV_LOCK_CHECK
constexpr bool kLockCheckBuilt = true;
#else
constexpr bool kLockCheckBuilt = false;  // nothing is reported
#endif
constexpr char kSendUnderTriggerLock[] = "sending to another thread while holding the trigger lock (rank 2)";

// Runs fn on a thread of its own while it holds the trigger lock, which no send may be
// held across, and serves on this thread what fn sends to this thread's windows.
inline std::string LockReportsUnderTriggerLock(void (*fn)()) {
    static std::string reports;
    reports.clear();
    kv::SetLockReportForTesting([](const char* report) { reports += report; });
    std::atomic<bool> done{false};
    std::thread worker([fn, &done] {
        static kv::RankedSection trigger{kv::LockRank::kTrigger};
        kv::SectionLock lock(trigger);
        fn();
        done = true;
    });
    PumpUntil([&done] { return done.load(); }, 60000);
    worker.join();
    kv::SetLockReportForTesting(nullptr);
    return reports;
}

}  // namespace kvtest

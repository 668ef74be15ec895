// The fault guard against real bad pointers, nesting, threads and exceptions that are
// not processor faults.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "client/faultguard.h"

namespace {

// Addresses in the never-mapped first page, hidden from the optimiser.
volatile ULONG_PTR g_badAddress = 0x10;
volatile int g_zero = 0;

KV_NOINLINE int ReadBad() { return *reinterpret_cast<volatile int*>(g_badAddress); }

// A later vectored handler that continues after one chosen software exception.
std::atomic<int> g_softwareSeen{0};
LONG CALLBACK ContinueAfterSoftwareException(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != 0xE0001234u) return EXCEPTION_CONTINUE_SEARCH;
    ++g_softwareSeen;
    return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(FaultGuard, FaultsAreCaughtCodeAfterThemDoesNotRunAndTheCallerKeepsItsRegisters) {
    struct Case { const char* name; void (*fault)(); DWORD code; };
    const Case cases[] = {
        {"read", [] { ReadBad(); }, EXCEPTION_ACCESS_VIOLATION},
        {"write", [] { *reinterpret_cast<volatile int*>(g_badAddress + 0x10) = 7; }, EXCEPTION_ACCESS_VIOLATION},
        {"copy", [] { wchar_t b[8]; wcscpy(b, reinterpret_cast<const wchar_t*>(g_badAddress + 0x20)); }, EXCEPTION_ACCESS_VIOLATION},
        {"divide", [] { volatile int r = 10 / g_zero; (void)r; }, EXCEPTION_INT_DIVIDE_BY_ZERO},
    };
    // Values the caller holds in call-preserved registers must be intact after each jump.
    volatile unsigned seed = 12345;
    unsigned a = seed * 3, b = seed * 5, c = seed * 7, d = seed * 11, e = seed * 13, f = seed * 17;
    for (int round = 0; round < 25; ++round) {
        for (const Case& k : cases) {
            SCOPED_TRACE(k.name);
            int before = 0, after = 0;
            EXPECT_FALSE(kv::RunGuarded([&] { before = 1; k.fault(); after = 1; }));
            EXPECT_TRUE(before == 1 && after == 0 && kv::LastGuardedFault() == k.code);
            a += 1; b += 2; c += 3; d += 4; e += 5; f += 6;
        }
    }
    EXPECT_EQ(std::vector<unsigned>({a, b, c, d, e, f}), std::vector<unsigned>({seed * 3 + 100, seed * 5 + 200, seed * 7 + 300,
                                                                                 seed * 11 + 400, seed * 13 + 500, seed * 17 + 600}));
}

TEST(FaultGuard, GuardsNestAndOtherExceptionsPassThrough) {
    bool innerResult = true, afterInner = false;
    EXPECT_FALSE(kv::RunGuarded([&] {
        innerResult = kv::RunGuarded([] { ReadBad(); });
        afterInner = true;
        ReadBad();  // caught by the outer guard
    }));
    EXPECT_TRUE(!innerResult && afterInner);
    // With no guard left, the chain must be empty again: a nested success still works.
    EXPECT_TRUE(kv::RunGuarded([] { EXPECT_TRUE(kv::RunGuarded([] {})); }));
    // Debug output raises an exception of its own that must reach the system untouched;
    // C++ exceptions caught inside a guard are no faults; a software exception that a later
    // handler continues goes on where it was raised.
    EXPECT_TRUE(kv::RunGuarded([] { ::OutputDebugStringW(L"fault guard test\n"); }));
    int caught = 0, after = 0;
    EXPECT_TRUE(kv::RunGuarded([&] { try { throw 42; } catch (int v) { caught = v; } }));
    PVOID later = ::AddVectoredExceptionHandler(0, ContinueAfterSoftwareException);
    EXPECT_TRUE(kv::RunGuarded([&] { ::RaiseException(0xE0001234u, 0, 0, nullptr); after = 1; }));
    ::RemoveVectoredExceptionHandler(later);
    EXPECT_EQ(std::vector<int>({caught, g_softwareSeen.load(), after}), std::vector<int>({42, 1, 1}));
}

// Removing the guard (library unload) gives its thread-local indices back; a guard set up
// again takes new ones and still catches faults. Without the indices freed the process
// runs out of them long before the last round. (Faults from many threads at once: the
// client interface test.)
TEST(FaultGuard, RepeatedRemovalAndInstall) {
    for (int round = 0; round < 1200; ++round) {
        kv::FaultGuardRemove();
        kv::FaultGuardInstall();
        ASSERT_FALSE(kv::RunGuarded([] { ReadBad(); })) << "round " << round;
    }
    const DWORD index = ::TlsAlloc();  // a thread-local index is still to be had
    EXPECT_NE(index, static_cast<DWORD>(TLS_OUT_OF_INDEXES));
    ::TlsFree(index);
}

}  // namespace

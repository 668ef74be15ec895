// Per-process server state.
#include "server/serverstate.h"

namespace kv {
namespace {
ServerState g_state;
WindowSeams g_seams;
CRITICAL_SECTION g_listLock;
INIT_ONCE g_listLockOnce = INIT_ONCE_STATIC_INIT;
BOOL CALLBACK InitListLock(PINIT_ONCE, PVOID, PVOID*) {
    ::InitializeCriticalSection(&g_listLock);
    return TRUE;
}
}  // namespace

ServerState& Server() noexcept { return g_state; }
WindowSeams& Seams() noexcept { return g_seams; }

CRITICAL_SECTION& ListLockSection() noexcept {
    ::InitOnceExecuteOnce(&g_listLockOnce, InitListLock, nullptr, nullptr);
    return g_listLock;
}

}  // namespace kv

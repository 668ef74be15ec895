// Fault guard: runs a piece of code so that a processor fault inside it (an invalid
// pointer from a caller, a "%s" given an integer) ends that piece instead of the process.
//
// Code inside a guarded call must not own resources through destructors: when a fault
// is caught the stack is abandoned without unwinding. Take locks and handles outside
// the guarded call and release them after it returns, whatever it returned.
#pragma once

#include "client/compat.h"

namespace kv {

// Installs the process-wide handler; safe to call more than once. Called on library
// load; GuardedCall also installs it on first use.
void FaultGuardInstall() noexcept;
// Removes the handler and frees the thread-local indices (library unload).
void FaultGuardRemove() noexcept;

// Runs fn(ctx). Returns true when it ran to its end; false when no guard could be set
// up (fn then does not run at all) or when a processor fault
// (access violation, in-page error, misalignment, integer division by zero, illegal
// or privileged instruction) was caught inside it. Other exceptions (debug output,
// C++ exceptions, breakpoints) pass by untouched. Guards nest.
bool GuardedCall(void (*fn)(void*), void* ctx) noexcept;

// Exception code of the last fault caught on this thread.
DWORD LastGuardedFault() noexcept;

template <class F>
bool RunGuarded(F&& f) noexcept {
    return GuardedCall([](void* p) { (*static_cast<decltype(&f)>(p))(); }, &f);
}

}  // namespace kv

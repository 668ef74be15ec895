// Fault guard built on a vectored exception handler and a per-thread recovery point.
//
// The handler does not jump out of the exception dispatch itself: it points the faulting
// thread's context at a small recovery routine and lets the system resume the thread
// there. The routine then jumps to the innermost guard's recovery point, on the thread's
// own stack, as if the guarded function had returned.
#include "client/faultguard.h"

namespace kv {

#if defined(_MSC_VER)

// MSVC has structured exception handling of its own.
namespace {
DWORD g_lastFault;  // per process is enough for diagnostics under MSVC builds
int FaultFilter(DWORD code) noexcept {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT: case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_INT_DIVIDE_BY_ZERO: case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION: case EXCEPTION_PRIV_INSTRUCTION:
        g_lastFault = code;
        return EXCEPTION_EXECUTE_HANDLER;
    default:
        return EXCEPTION_CONTINUE_SEARCH;
    }
}
}  // namespace
void FaultGuardInstall() noexcept {}
void FaultGuardRemove() noexcept {}
bool GuardedCall(void (*fn)(void*), void* ctx) noexcept {
    __try {
        fn(ctx);
        return true;
    } __except (FaultFilter(GetExceptionCode())) {
        return false;
    }
}
DWORD LastGuardedFault() noexcept { return g_lastFault; }

#else

namespace {

struct GuardScope {
    kv_jmp_buf resume;
    GuardScope* outer;
};

INIT_ONCE g_installOnce = INIT_ONCE_STATIC_INIT;
DWORD g_tlsScope = TLS_OUT_OF_INDEXES;
DWORD g_tlsLastFault = TLS_OUT_OF_INDEXES;
PVOID g_handler = nullptr;

bool IsProcessorFault(DWORD code) noexcept {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
        return true;
    default:
        return false;  // debug output, C++ exceptions, breakpoints, stack overflow...
    }
}

// Runs on the faulting thread in its normal context, never inside the dispatcher.
KV_NOINLINE void RecoverFromFault() {
    auto* scope = static_cast<GuardScope*>(::TlsGetValue(g_tlsScope));
    KV_LONGJMP(scope->resume);
}

LONG CALLBACK FaultHandler(EXCEPTION_POINTERS* info) {
    if (g_tlsScope == TLS_OUT_OF_INDEXES || !IsProcessorFault(info->ExceptionRecord->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    DWORD savedError = ::GetLastError();
    void* scope = ::TlsGetValue(g_tlsScope);
    ::SetLastError(savedError);
    if (!scope) return EXCEPTION_CONTINUE_SEARCH;

    ::TlsSetValue(g_tlsLastFault, reinterpret_cast<void*>(static_cast<ULONG_PTR>(info->ExceptionRecord->ExceptionCode)));
    CONTEXT* ctx = info->ContextRecord;
    // Enter the recovery routine as if it had been called: an aligned stack below the
    // faulting frame with room for a return address.
#if defined(_M_X64) || defined(__x86_64__)
    ctx->Rsp = ((ctx->Rsp - 256) & ~static_cast<DWORD64>(15)) - 8;
    ctx->Rip = reinterpret_cast<DWORD64>(&RecoverFromFault);
#elif defined(_M_IX86) || defined(__i386__)
    ctx->Esp = ((ctx->Esp - 256) & ~static_cast<DWORD>(15)) - 4;
    ctx->Eip = reinterpret_cast<DWORD>(&RecoverFromFault);
#else
#error unsupported processor
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

BOOL CALLBACK InstallOnce(PINIT_ONCE, PVOID, PVOID*) {
    g_tlsScope = ::TlsAlloc();
    g_tlsLastFault = ::TlsAlloc();
    if (g_tlsScope != TLS_OUT_OF_INDEXES && g_tlsLastFault != TLS_OUT_OF_INDEXES)
        g_handler = ::AddVectoredExceptionHandler(1, FaultHandler);
    return TRUE;  // without the handler every guarded call refuses; see GuardedCall
}

// Kept out of line so that the recovery point's frame is this function's own.
KV_NOINLINE bool GuardedCallInner(GuardScope* scope, void (*fn)(void*), void* ctx) {
    if (KV_SETJMP(scope->resume) != 0) {
        // Resumed after a fault: the inner frames are gone, restore the scope chain.
        ::TlsSetValue(g_tlsScope, scope->outer);
        return false;
    }
    fn(ctx);
    ::TlsSetValue(g_tlsScope, scope->outer);
    return true;
}

}  // namespace

void FaultGuardInstall() noexcept {
    ::InitOnceExecuteOnce(&g_installOnce, InstallOnce, nullptr, nullptr);
}

void FaultGuardRemove() noexcept {
    if (g_handler) {
        ::RemoveVectoredExceptionHandler(g_handler);
        g_handler = nullptr;
    }
    // The indices go back to the system with the library; a later install takes new ones.
    const DWORD scope = g_tlsScope, last = g_tlsLastFault;
    g_tlsScope = g_tlsLastFault = TLS_OUT_OF_INDEXES;
    if (scope != TLS_OUT_OF_INDEXES) ::TlsFree(scope);
    if (last != TLS_OUT_OF_INDEXES) ::TlsFree(last);
    ::InitOnceInitialize(&g_installOnce);
}

bool GuardedCall(void (*fn)(void*), void* ctx) noexcept {
    FaultGuardInstall();
    // Without a guard the code is not run at all: a fault there would end the process.
    if (g_tlsScope == TLS_OUT_OF_INDEXES || g_tlsLastFault == TLS_OUT_OF_INDEXES || !g_handler) return false;
    GuardScope scope;
    scope.outer = static_cast<GuardScope*>(::TlsGetValue(g_tlsScope));
    ::TlsSetValue(g_tlsScope, &scope);
    return GuardedCallInner(&scope, fn, ctx);
}

DWORD LastGuardedFault() noexcept {
    if (g_tlsLastFault == TLS_OUT_OF_INDEXES) return 0;
    return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(::TlsGetValue(g_tlsLastFault)));
}

#endif  // _MSC_VER

}  // namespace kv

// Compiler differences between mingw-w64 GCC and MSVC, kept in one place.
#pragma once

#include <windows.h>
#include <stdarg.h>
#include <wchar.h>

// Data shared by every process that maps the image: a named, read/write/shared
// section. The name is part of the interface (at most 8 characters).
#if defined(_MSC_VER)
#define KV_SHARED_SECTION_BEGIN __pragma(data_seg(push, "SEG_KVS_"))
#define KV_SHARED_SECTION_END   __pragma(data_seg(pop)) __pragma(comment(linker, "/SECTION:SEG_KVS_,RWS"))
#define KV_SHARED
#else
#define KV_SHARED_SECTION_BEGIN
#define KV_SHARED_SECTION_END
#define KV_SHARED __attribute__((section("SEG_KVS_"), shared))
#endif

#if defined(_MSC_VER)
#define KV_NOINLINE __declspec(noinline)
#else
#define KV_NOINLINE __attribute__((noinline))
#endif

// Non-unwinding jump used by the fault guard under GCC, which has no __try: the
// builtins save only frame, stack and resume address, and the function that sets the
// point saves every call-preserved register itself. MSVC builds use __try/__except.
#if !defined(_MSC_VER)
typedef void* kv_jmp_buf[5];
#define KV_SETJMP(b) __builtin_setjmp(b)
#define KV_LONGJMP(b) __builtin_longjmp(b, 1)
#endif

// Wide formatting with the Microsoft C runtime's conventions: in wide functions
// "%s" is a wide string and "%S"/"%hs" a narrow one. mingw's C99 replacement
// (__USE_MINGW_ANSI_STDIO, which libstdc++ switches on) treats "%s" differently,
// so trace texts are always formatted by msvcrt's own _vsnwprintf.
#if defined(_MSC_VER)
#define kv_crt_vsnwprintf _vsnwprintf
#else
extern "C" int __cdecl kv_msvcrt_vsnwprintf(wchar_t*, size_t, const wchar_t*, va_list)
    __asm__(
#if defined(_WIN64)
        "_vsnwprintf"
#else
        "__vsnwprintf"
#endif
    );
#define kv_crt_vsnwprintf kv_msvcrt_vsnwprintf
#endif

// Index of the lowest set bit of a non-zero value.
#if defined(_MSC_VER)
#include <intrin.h>
inline unsigned kv_lowest_bit(unsigned v) {
    unsigned long i;
    _BitScanForward(&i, v);
    return static_cast<unsigned>(i);
}
#else
inline unsigned kv_lowest_bit(unsigned v) { return static_cast<unsigned>(__builtin_ctz(v)); }
#endif

// SSE2 is part of every x86_64 target; 32-bit builds use it only when told to.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define KV_HAVE_SSE2 1
#else
#define KV_HAVE_SSE2 0
#endif

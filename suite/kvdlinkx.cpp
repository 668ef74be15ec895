// Stand-in for the suite support library: reports the suite directory and accepts
// the file notifications without doing anything with them.
//
// The suite directory is the value of the environment variable KV_SUITE_DIR when it is
// set; otherwise it is derived from where this DLL lies: the parent of its directory
// when that directory is called "bin" (the suite keeps its binaries in <suite>\bin),
// else the DLL's own directory.
#include "suite/kvdlinkx.h"

#include <wchar.h>

namespace {
HMODULE g_self;

void CopyOut(WCHAR* buf, int cap, const WCHAR* src, size_t len) {
    if (len >= static_cast<size_t>(cap)) len = static_cast<size_t>(cap) - 1;
    wmemcpy(buf, src, len);
    buf[len] = 0;
}
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_self = inst;
        ::DisableThreadLibraryCalls(inst);
    }
    return TRUE;
}

extern "C" int WINAPI kvdlinkx_GetSuiteDir(WCHAR* buf, int cap) {
    if (!buf || cap <= 0) return 0;
    WCHAR dir[MAX_PATH * 2];
    DWORD n = ::GetEnvironmentVariableW(L"KV_SUITE_DIR", dir, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2) {
        n = ::GetModuleFileNameW(g_self, dir, MAX_PATH * 2);
        if (n == 0 || n >= MAX_PATH * 2) { buf[0] = 0; return 0; }
        WCHAR* slash = wcsrchr(dir, L'\\');
        if (slash) *slash = 0;
        slash = wcsrchr(dir, L'\\');
        if (slash && _wcsicmp(slash + 1, L"bin") == 0) *slash = 0;
    }
    size_t len = wcslen(dir);
    while (len > 0 && (dir[len - 1] == L'\\' || dir[len - 1] == L'/') && !(len == 3 && dir[1] == L':')) --len;
    CopyOut(buf, cap, dir, len);
    return 1;
}

extern "C" int WINAPI kvdlinkx_FileWritten(const WCHAR*, int) { return 1; }
extern "C" int WINAPI kvdlinkx_FileToRead(const WCHAR*) { return 1; }

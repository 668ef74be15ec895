// The three operations of the suite support library that the trace library uses.
// They are imported by ordinal only (100, 101, 102).
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Ordinal 100: writes the suite's installation directory (no trailing backslash,
// zero-terminated, at most cap-1 characters) into buf.
int WINAPI kvdlinkx_GetSuiteDir(WCHAR* buf, int cap);
// Ordinal 101: told about a file the caller has written or is about to write.
int WINAPI kvdlinkx_FileWritten(const WCHAR* path, int flag);
// Ordinal 102: told about a file the caller is about to read.
int WINAPI kvdlinkx_FileToRead(const WCHAR* path);

#ifdef __cplusplus
}
#endif

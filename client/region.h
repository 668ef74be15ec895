// The shared trace region (one copy for every process that maps this image) and the
// small per-process state beside it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "client/compat.h"
#include "client/traceapi.h"

namespace kv {

constexpr int kAppSlots = TRACE_MAX_APPS;
constexpr int kFirstClientSlot = 1;
constexpr int kTextChars = 1000;      // current text: 999 characters + terminator
constexpr int kFuncChars = 100;       // current function name field
constexpr int kFuncMaxChars = 98;     // characters kept of a function name
constexpr int kModuleMaxChars = 48;   // characters kept of an application name
constexpr int kSlotPathChars = 150;   // buffer for a client's executable path
constexpr int kProfileChars = 260;
constexpr int kBatchLines = 32;       // lines of one batch send

// One line of a batch: what the current message slot holds for a single line.
struct BatchLine {
    int16_t handle;
    int16_t level;
    uint32_t threadId;
    wchar_t func[kFuncChars];
    wchar_t text[kTextChars];
};

// Several lines to a send, between the library and its own trace window in another
// process. The sender, holding the slot mutex, fills batchCount lines and sends
// kTraceOutputBatch (wParam: the count); the trace window takes each line as it takes a
// single one and answers the count. Any other window answers 0, and the lines then go
// one by one through the current message slot, as always.
constexpr UINT kTraceOutputBatch = WM_USER + 105;

struct SharedRegion {
    int32_t globalEnable;
    uint32_t serverWindow;  // 32-bit window handle, 0 = none
    int16_t curHandle;
    int16_t curLevel;
    uint32_t curThreadId;
    wchar_t curText[kTextChars];
    wchar_t curFunc[kFuncChars];
    TRACEAPP apps[kAppSlots];
    wchar_t curProfile[kProfileChars];
    // Under the slot mutex, like the current message slot.
    uint32_t batchCount;
    BatchLine batch[kBatchLines];
};

// The layout is an interface (slots are handed out by pointer): no gaps, fixed widths.
static_assert(sizeof(wchar_t) == 2, "UTF-16 wide characters");
static_assert(offsetof(TRACEAPP, szModule) == 100, "slot layout");
static_assert(offsetof(TRACEAPP, szPath) == 200, "slot layout");
static_assert(offsetof(TRACEAPP, szSection) == 720, "slot layout");
static_assert(offsetof(TRACEAPP, dwLineCount) == 820, "slot layout");
static_assert(offsetof(TRACEAPP, EnableDiag) == 824, "slot layout");
static_assert(offsetof(TRACEAPP, EnableInfo) == 828, "slot layout");
static_assert(offsetof(TRACEAPP, EnableWarning) == 832, "slot layout");
static_assert(offsetof(TRACEAPP, EnableError) == 836, "slot layout");
static_assert(offsetof(TRACEAPP, dwProcessId) == 840, "slot layout");
static_assert(sizeof(TRACEAPP) == 844, "slot layout");
static_assert(offsetof(SharedRegion, serverWindow) == 4, "region layout");
static_assert(offsetof(SharedRegion, curHandle) == 8, "region layout");
static_assert(offsetof(SharedRegion, curLevel) == 10, "region layout");
static_assert(offsetof(SharedRegion, curThreadId) == 12, "region layout");
static_assert(offsetof(SharedRegion, curText) == 16, "region layout");
static_assert(offsetof(SharedRegion, curFunc) == 2016, "region layout");
static_assert(offsetof(SharedRegion, apps) == 2216, "region layout");
static_assert(offsetof(SharedRegion, curProfile) == 2216 + 512 * 844, "region layout");
static_assert(offsetof(BatchLine, threadId) == 4 && offsetof(BatchLine, func) == 8 && offsetof(BatchLine, text) == 208 &&
              sizeof(BatchLine) == 2208, "batch line layout");
// The batch comes after every field the one-line protocol reads.
static_assert(offsetof(SharedRegion, batchCount) == 2216 + 512 * 844 + 520, "region layout");
static_assert(offsetof(SharedRegion, batch) == offsetof(SharedRegion, batchCount) + 4, "region layout");
static_assert(sizeof(SharedRegion) == offsetof(SharedRegion, batch) + kBatchLines * sizeof(BatchLine), "region layout");

extern SharedRegion g_region;

struct ProcessState {
    HANDLE dataMutex;
    HANDLE curDataMutex;
    wchar_t settingsPath[MAX_PATH];
    HINSTANCE instance;
    HWND localTraceWindow;  // the trace window's main list view, when it runs in this process
    HWND notifyWindow;
};
extern ProcessState g_proc;

inline bool IsValidHandle(int h) noexcept { return h >= 0 && h < kAppSlots; }

// Window handles are 32 bits wide in the region whatever the process's bitness;
// widening sign-extends as the system does.
inline HWND WindowFromField(uint32_t v) noexcept { return reinterpret_cast<HWND>(static_cast<LONG_PTR>(static_cast<LONG>(v))); }
inline uint32_t FieldFromWindow(HWND h) noexcept { return static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(h)); }

// Liveness checks: a stored handle counts only while it still names a window; a stale
// one is cleared by whoever meets it.
bool ServerWindowAlive() noexcept;
HWND ServerWindow() noexcept;
bool LocalTraceWindowAlive() noexcept;

// Per-process initialisation and shut-down; the DLL calls them from its load and
// unload notifications, an executable that links the client library statically calls
// ProcessAttach itself before anything else.
void ProcessAttach(HINSTANCE instance) noexcept;
void ProcessDetach() noexcept;

// Copies at most cap-1 characters of src and terminates; a null src gives "".
void CopyCut(wchar_t* dst, size_t cap, const wchar_t* src) noexcept;
// Formats with the runtime's wide conventions into dst, cut to cap-1 characters and
// always terminated. Only for the library's own formats and a caller's format string
// given to traceapi_OutputN.
void FormatCut(wchar_t* dst, size_t cap, const wchar_t* fmt, ...) noexcept;
void FormatCutV(wchar_t* dst, size_t cap, const wchar_t* fmt, va_list args) noexcept;

}  // namespace kv

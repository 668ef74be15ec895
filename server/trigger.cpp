// The trigger actions (stop file, stop trace, stop scroll, run a command) and the two
// ways the server starts other programs.
#include <memory>
#include <new>

#include "client/owners.h"
#include "client/region.h"
#include "client/sendpath.h"
#include "server/clock.h"
#include "server/filters.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"

using namespace kv;

namespace {

constexpr int kCommandChars = MAX_PATH;             // TriggerExec as typed
constexpr int kProgramChars = kCommandChars + 2;    // room for quotes around it
constexpr int kBatchArgumentChars = 14;             // " yymmdd_hhmmss"
constexpr int kBatchCommandChars = kProgramChars + kBatchArgumentChars;
constexpr int kAnsiCommandBytes = 259;              // WinExec buffer, terminator included
constexpr size_t kMaxCommandLine = 32767;           // CreateProcess limit, terminator included

const wchar_t kExecTriggerFunc[] = L"tracewnd_ExecTrigger";
const wchar_t kExecuteFunc[] = L"tracewnd_TGExcecute";

LaunchFn g_launch = LaunchProcess;

// Writes one trigger line as an operator action of the server entry.
void TriggerLine(const wchar_t* what) noexcept {
    if (!traceapi_IsEnabled(0, -1)) return;
    wchar_t filter[kFilterChars];
    wchar_t exec[MAX_PATH];
    tracewnd_CopyTriggerTexts(filter, exec);
    traceapi_Output2(0, -1, kExecTriggerFunc, what, filter, g_settings.TriggerFlags);
}

// The stop actions under way. Each action is a test of a state and its change, and two
// threads that hit the trigger together must not both find the state on; but its line
// may travel through the current message slot (when the trace window is not in this
// process), and a wait for the slot mutex under a lock that the window thread takes
// inside a client's send would close a circle. So the trigger lock (client/locks.h)
// covers only the claim of an action; the line and the change follow outside it, and a
// hit meanwhile finds the action claimed.
struct Stopping {
    bool file, trace, scroll;
};
Stopping g_stopping;  // under g_triggerLock
kv::RankedSection g_triggerLock{kv::LockRank::kTrigger};
class TriggerSection : public ServerSection {
public:
    TriggerSection() noexcept : ServerSection(g_triggerLock) {}
};

bool Contains(const wchar_t* text, const wchar_t* part) noexcept { return wcsstr(text, part) != nullptr; }

// The command as typed, quoted when it is the path of an existing file with blanks in
// it: unquoted, the system would first try to start each blank-separated prefix of it.
void ProgramFromCommand(const wchar_t* command, wchar_t* out) noexcept {
    const DWORD attributes = ::GetFileAttributesW(command);
    const bool isFile = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (command[0] != L'"' && wcschr(command, L' ') && isFile)
        FormatCut(out, kProgramChars, L"\"%s\"", command);
    else
        CopyCut(out, kProgramChars, command);
}

// Writes the EXEC line and starts the command: upper-cased, and a batch file with the
// time of the hit as its argument.
void RunTrigger(const wchar_t* filter, const wchar_t* typed) noexcept {
    if (traceapi_IsEnabled(0, -1)) {
        traceapi_Output3(0, -1, kExecuteFunc, L"Trigger='%s' (Flags=0x%x) -> ***** EXEC:'%s' *****", filter,
                         g_settings.TriggerFlags, typed);
    }
    if (!typed[0]) return;

    wchar_t program[kProgramChars];
    ProgramFromCommand(typed, program);
    wchar_t upper[kProgramChars];
    CopyCut(upper, ARRAYSIZE(upper), program);
    ::CharUpperBuffW(upper, static_cast<DWORD>(wcslen(upper)));

    const bool batch = Contains(upper, L".BAT");
    if (!batch && !Contains(upper, L"CMD /C")) {
        g_launch(upper, SW_SHOWDEFAULT);
        return;
    }

    // A batch file is handed the time of the hit as one argument, yymmdd_hhmmss; the
    // buffer has room for it after the longest command, so the argument is never cut.
    wchar_t command[kBatchCommandChars];
    SYSTEMTIME now;
    if (batch && ClockLocalTime(&now)) {
        FormatCut(command, ARRAYSIZE(command), L"%s %2.2d%2.2d%2.2d_%2.2d%2.2d%2.2d", program, now.wYear % 100,
                  static_cast<int>(now.wMonth), static_cast<int>(now.wDay), static_cast<int>(now.wHour),
                  static_cast<int>(now.wMinute), static_cast<int>(now.wSecond));
    } else {
        CopyCut(command, ARRAYSIZE(command), upper);
    }
    g_launch(command, SW_HIDE);
}

}  // namespace

void tracewnd_ExecTrigger() {
    const uint32_t flags = g_settings.TriggerFlags;
    const short mainStore = Server().mainStore;
    Stopping mine = {};
    {
        TriggerSection lock;
        Stopping& busy = g_stopping;
        mine.file = (flags & kTriggerStopFile) && g_settings.EnableFile && !busy.file;
        mine.trace = (flags & kTriggerStopTrace) && g_region.globalEnable && !busy.trace;
        mine.scroll = (flags & kTriggerStopScroll) && rowstore_GetAutoScroll(mainStore) && !busy.scroll;
        busy.file |= mine.file;
        busy.trace |= mine.trace;
        busy.scroll |= mine.scroll;
    }
    // The line comes first so that it still reaches the file it announces the end of.
    if (mine.file) {
        TriggerLine(L"Trigger='%s' (Flags=0x%x) -> ***** TRACE TO FILE OFF *****");
        g_settings.EnableFile = 0;
        tracewnd_CloseTraceFile();
    }
    // Level -1 lines pass with the global enable off, so this line follows the switch.
    if (mine.trace) {
        {
            DataLock dataLock;
            g_region.globalEnable = 0;
        }
        TriggerLine(L"Trigger='%s' (Flags=0x%x) -> ***** TRACE STOPPED *****");
    }
    if (mine.scroll) {
        TriggerLine(L"Trigger='%s' (Flags=0x%x) -> ***** SCROLL STOPPED *****");
        // The rows that arrived up to the hit are shown before the view stops following.
        rowstore_FlushCount(mainStore);
        rowstore_SetAutoScroll(mainStore, FALSE);
        rowstore_SetAutoScroll(Server().filterStore, FALSE);
    }
    const int fired = mine.file || mine.trace || mine.scroll;
    if (fired) {
        TriggerSection lock;
        g_stopping.file &= !mine.file;
        g_stopping.trace &= !mine.trace;
        g_stopping.scroll &= !mine.scroll;
    }

    const bool execute = (flags & kTriggerExecute) != 0;
    const bool once = (flags & kTriggerOnce) != 0;
    if ((execute && !once) || (once && fired)) tracewnd_TGExcecute();

    if (auto sync = Seams().syncToolbar) sync();
}

void tracewnd_TGExcecute() {
    wchar_t filter[kFilterChars];
    wchar_t published[kCommandChars];
    tracewnd_CopyTriggerTexts(filter, published);
    RunTrigger(filter, published);
}

void tracewnd_RunTriggerCommand(const wchar_t* text) {
    wchar_t filter[kFilterChars];
    wchar_t published[kCommandChars];
    tracewnd_CopyTriggerTexts(filter, published);
    wchar_t typed[kCommandChars];
    CopyCut(typed, kCommandChars, text);
    RunTrigger(filter, typed);
}
void tracewnd_SetTriggerLaunchForTesting(LaunchFn fn) { g_launch = fn ? fn : LaunchProcess; }

int LaunchProcess(const wchar_t* commandLine, int showWindow) {
    if (!commandLine) return 0;
    // CreateProcessW may write into the command line, so it gets a copy of its own.
    const size_t length = wcsnlen(commandLine, kMaxCommandLine);
    if (length == 0 || length >= kMaxCommandLine) return 0;
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[length + 1]);
    if (!buffer) return 0;
    wmemcpy(buffer.get(), commandLine, length);
    buffer[length] = 0;

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(showWindow);
    PROCESS_INFORMATION created = {};
    if (!::CreateProcessW(nullptr, buffer.get(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                          &startup, &created))
        return 0;
    UniqueHandle process(created.hProcess);
    UniqueHandle thread(created.hThread);
    return 1;
}

int ExecCommandAnsi(const wchar_t* commandLine, int showWindow) {
    if (!commandLine) return 0;
    // A character the code page lacks would be replaced by a look-alike or "?" and a
    // different command would run; such a command is refused like one that is too long.
    char command[kAnsiCommandBytes];
    const UINT codePage = ::GetACP();
    BOOL replaced = FALSE;
    int bytes;
    if (codePage == CP_UTF8)
        bytes = ::WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, command, sizeof(command), nullptr, nullptr);
    else
        bytes = ::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, commandLine, -1, command, sizeof(command),
                                      nullptr, &replaced);
    if (bytes <= 0 || replaced) return 0;
    return static_cast<int>(::WinExec(command, static_cast<UINT>(showWindow)));
}

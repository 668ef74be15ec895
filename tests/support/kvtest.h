// Shared helpers of the test executables: processes, message pumping, temporary
// directories and a window that records the trace messages it receives.
#pragma once

#include <windows.h>

#include "client/traceapi.h"

#include <functional>
#include <string>
#include <vector>

namespace kvtest {

// --- processes -------------------------------------------------------------------

// A test executable can act as its own helper process: main() runs the helper named by
// "--kv-helper NAME" instead of the tests. Register helpers from a static initialiser.
using HelperFn = int (*)(const std::vector<std::wstring>& args);
bool RegisterHelper(const wchar_t* name, HelperFn fn);
#define KVTEST_HELPER(name)                                                              \
    static int name(const std::vector<std::wstring>& args);                              \
    static const bool name##_registered = ::kvtest::RegisterHelper(L## #name, name);     \
    static int name(const std::vector<std::wstring>& args)

// Directory of the running executable (no trailing backslash).
std::wstring ExeDir();
std::wstring ExePath();
// Quotes one command-line argument for CreateProcess.
std::wstring Quote(const std::wstring& arg);

struct ProcessResult {
    bool started = false;
    bool finished = false;  // false: still running at the time-out (it is then killed)
    DWORD exitCode = 0;
};

// Starts a command line; returns the process handle (caller closes) or null.
HANDLE Start(const std::wstring& commandLine, const wchar_t* currentDir = nullptr);
// Starts this executable as helper NAME with arguments.
HANDLE StartHelper(const std::wstring& name, const std::vector<std::wstring>& args = {});
// Waits for a process while dispatching this thread's messages (sent messages from the
// child reach our windows meanwhile). Kills the process at the time-out.
ProcessResult WaitPumping(HANDLE process, DWORD timeoutMs = 60000);
ProcessResult Run(const std::wstring& commandLine, DWORD timeoutMs = 60000);
ProcessResult RunHelper(const std::wstring& name, const std::vector<std::wstring>& args = {}, DWORD timeoutMs = 60000);

// Dispatches messages until pred() holds or the time-out passes; returns pred().
bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs = 10000);
void PumpPending();

// --- keyboard ----------------------------------------------------------------------

// Makes window the foreground window and waits until it is.
bool BringToFront(HWND window, DWORD timeoutMs = 10000);
// Presses and releases key through the platform's input, the modifiers (VK_CONTROL,
// VK_SHIFT, VK_MENU) held around it. The keys go to the foreground window's focus.
void Press(WORD key, std::vector<WORD> modifiers = {});
// The keyboard focus of the thread that owns window.
HWND FocusOf(HWND window);

// --- files -------------------------------------------------------------------------

// A fresh directory under the temporary directory, removed with its content at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }
private:
    std::wstring path_;
};
// A process whose standard output and error go to files of a directory of its own,
// ended (if still running) when the object goes.
struct CapturedProcess {
    explicit CapturedProcess(const std::wstring& commandLine);
    ~CapturedProcess();
    CapturedProcess(const CapturedProcess&) = delete;
    CapturedProcess& operator=(const CapturedProcess&) = delete;
    DWORD Finish(DWORD timeoutMs = 60000);  // its exit code; 999 when it did not end in time
    std::string Out() const;
    std::string Err() const;
    PROCESS_INFORMATION pi = {};
private:
    TempDir dir_;
};

void RemoveTree(const std::wstring& dir);
bool FileExists(const std::wstring& path);
std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string Narrow(const std::wstring& s);  // UTF-8, for messages

// --- recording window ----------------------------------------------------------------

// One trace message as a receiving window saw it, read inside the handler.
struct Received {
    UINT msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::wstring text;      // WM_TRACE_OUTPUT: current text
    std::wstring func;      // WM_TRACE_OUTPUT: current function name
    DWORD threadId = 0;     // WM_TRACE_OUTPUT: current thread id
    short curHandle = 0;    // current handle field
    std::wstring module;    // REGISTER/UNREGISTER: slot's module name at that time
    std::wstring process;   // REGISTER/UNREGISTER: slot's process name
    std::wstring section;   // REGISTER/UNREGISTER: slot's settings section
    INT switches[4] = {};   // REGISTER: diag, info, warning, error
};

// A top-level window that records WM_TRACE_OUTPUT/REGISTER/UNREGISTER through the
// exported accessors. The accessors are passed in so that the same window serves tests
// that use the DLL and tests that link the client library statically.
struct Accessors {
    const wchar_t* (*curText)();
    const wchar_t* (*curFunc)();
    DWORD (*curThreadId)();
    TRACEAPP* (*traceApp)(short);
    short (*curHandle)();      // may be null
};

class RecordingWindow {
public:
    explicit RecordingWindow(const Accessors& acc);
    ~RecordingWindow();
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;
    HWND hwnd() const { return hwnd_; }
    std::vector<Received>& received() { return received_; }
    std::vector<Received> OfKind(UINT msg) const;
    void Clear() { received_.clear(); }
private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    HWND hwnd_ = nullptr;
    Accessors acc_;
    std::vector<Received> received_;
};

}  // namespace kvtest

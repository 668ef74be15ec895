// Shared helpers of the tests: processes, message pumping, the keyboard, temporary
// directories and a window that records the trace messages it receives.
#pragma once

#include <windows.h>

#include "client/locks.h"
#include "client/traceapi.h"

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kvtest {

// A test executable is its own helper process: "--kv-helper NAME" runs helper NAME.
using HelperFn = int (*)(const std::vector<std::wstring>& args);
bool RegisterHelper(const wchar_t* name, HelperFn fn);
#define KVTEST_HELPER(name)                                                              \
    static int name(const std::vector<std::wstring>& args);                              \
    static const bool name##_registered = ::kvtest::RegisterHelper(L## #name, name);     \
    static int name(const std::vector<std::wstring>& args)

std::wstring ExeDir();  // no trailing backslash
std::wstring ExePath();
std::wstring Quote(const std::wstring& arg);  // one command-line argument for CreateProcess

struct ProcessResult {
    bool finished = false;  // not started, or killed at the time-out
    DWORD exitCode = 0;
};

HANDLE Start(const std::wstring& commandLine, const wchar_t* currentDir = nullptr);
HANDLE StartHelper(const std::wstring& name, const std::vector<std::wstring>& args = {});
// Waits for (and closes) a process, dispatching this thread's messages meanwhile so that
// the child's sent messages reach our windows.
ProcessResult WaitPumping(HANDLE process, DWORD timeoutMs = 60000);
inline ProcessResult Run(const std::wstring& commandLine, DWORD timeoutMs = 60000) { return WaitPumping(Start(commandLine), timeoutMs); }
inline ProcessResult RunHelper(const std::wstring& name, const std::vector<std::wstring>& args = {}, DWORD timeoutMs = 60000) {
    return WaitPumping(StartHelper(name, args), timeoutMs);
}

// Dispatches messages until pred() holds or the time-out passes; returns pred().
bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs = 10000);
void PumpPending();

bool BringToFront(HWND window, DWORD timeoutMs = 10000);
void Press(WORD key, std::vector<WORD> modifiers = {});  // through the platform's input, modifiers held around
HWND FocusOf(HWND window);  // the keyboard focus of the thread that owns window

void RemoveTree(const std::wstring& dir);

// A fresh temporary directory, removed with its content at the end.
class TempDir {
public:
    TempDir();
    ~TempDir() { RemoveTree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }
private:
    std::wstring path_;
};

// A process whose standard output and error go to files, ended when the object goes.
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

bool FileExists(const std::wstring& path);
std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string Narrow(const std::wstring& s);  // UTF-8, for messages

// One trace message as a receiving window saw it, read inside the handler.
struct Received {
    UINT msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::wstring text, func;  // WM_TRACE_OUTPUT: current text and function name
    DWORD threadId = 0;       // WM_TRACE_OUTPUT: current thread id
    short curHandle = 0;      // current handle field
    std::wstring module, process, section;  // REGISTER/UNREGISTER: the slot's at that time
    INT switches[4] = {};                   // REGISTER: diag, info, warning, error
};

// The accessors the recording window reads through: the DLL's or the static library's.
struct Accessors {
    const wchar_t* (*curText)();
    const wchar_t* (*curFunc)();
    DWORD (*curThreadId)();
    TRACEAPP* (*traceApp)(short);
    short (*curHandle)();  // may be null
};

// A top-level window that records WM_TRACE_OUTPUT/REGISTER/UNREGISTER, and takes batches
// of lines as the trace window does (each recorded as a WM_TRACE_OUTPUT) unless told not to.
class RecordingWindow {
public:
    explicit RecordingWindow(const Accessors& acc);
    ~RecordingWindow() { ::DestroyWindow(hwnd_); }
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;
    HWND hwnd() const { return hwnd_; }
    std::vector<Received>& received() { return received_; }
    std::vector<Received> OfKind(UINT msg) const;
    void Clear() { received_.clear(); }
    void TakeBatches(bool on) { batches_ = on; }
private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    HWND hwnd_ = nullptr;
    Accessors acc_;
    std::vector<Received> received_;
    bool batches_ = true;
};

#if defined(KV_LOCK_CHECK) && KV_LOCK_CHECK
constexpr bool kLockCheckBuilt = true;
#else
constexpr bool kLockCheckBuilt = false;  // nothing is reported
#endif
constexpr char kSendUnderTriggerLock[] = "sending to another thread while holding the trigger lock (rank 2)";

// The lock checker's reports while fn runs on a thread of its own that holds the trigger
// lock, which no send may be held across; this thread serves what fn sends to its windows.
inline std::string LockReportsUnderTriggerLock(void (*fn)()) {
    static std::string reports;
    reports.clear();
    kv::SetLockReportForTesting([](const char* report) { reports += report; });
    std::atomic<bool> done{false};
    std::thread worker([fn, &done] {
        static kv::RankedSection trigger{kv::LockRank::kTrigger};
        kv::SectionLock lock(trigger);
        fn();
        done = true;
    });
    PumpUntil([&done] { return done.load(); }, 60000);
    worker.join();
    kv::SetLockReportForTesting(nullptr);
    return reports;
}

}  // namespace kvtest

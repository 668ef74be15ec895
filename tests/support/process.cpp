// Processes, message pumping and files for the tests.
#include <algorithm>

#include "kvtest.h"

namespace kvtest {

std::wstring ExePath() {
    wchar_t buf[MAX_PATH];
    return std::wstring(buf, ::GetModuleFileNameW(nullptr, buf, MAX_PATH));
}
std::wstring ExeDir() { return ExePath().substr(0, ExePath().find_last_of(L'\\')); }

std::wstring Quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') { ++backslashes; continue; }
        if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
        else out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

namespace {
PROCESS_INFORMATION Spawn(std::wstring cmd, const wchar_t* dir, STARTUPINFOW si = {sizeof(STARTUPINFOW)}) {
    PROCESS_INFORMATION pi = {};
    const bool inherit = (si.dwFlags & STARTF_USESTDHANDLES) != 0;
    ::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, inherit, inherit ? CREATE_NO_WINDOW : 0, nullptr, dir, &si, &pi);
    return pi;
}
}  // namespace

HANDLE Start(const std::wstring& commandLine, const wchar_t* currentDir) {
    const PROCESS_INFORMATION pi = Spawn(commandLine, currentDir);
    if (pi.hThread) ::CloseHandle(pi.hThread);
    return pi.hProcess;
}

HANDLE StartHelper(const std::wstring& name, const std::vector<std::wstring>& args) {
    std::wstring cmd = Quote(ExePath()) + L" --kv-helper " + name;
    for (const auto& a : args) cmd += L" " + Quote(a);
    return Start(cmd);
}

ProcessResult WaitPumping(HANDLE process, DWORD timeoutMs) {
    ProcessResult r;
    if (!process) return r;
    // Waits on the process itself: it wakes the moment the process ends.
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    DWORD w;
    while ((w = ::MsgWaitForMultipleObjects(1, &process, FALSE, static_cast<DWORD>(std::max<LONGLONG>(0, deadline - ::GetTickCount64())),
                                            QS_ALLINPUT)) == WAIT_OBJECT_0 + 1)
        PumpPending();
    if ((r.finished = w == WAIT_OBJECT_0)) ::GetExitCodeProcess(process, &r.exitCode);
    else ::TerminateProcess(process, 255), ::WaitForSingleObject(process, 5000);
    ::CloseHandle(process);
    return r;
}

CapturedProcess::CapturedProcess(const std::wstring& commandLine) {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    STARTUPINFOW si = {sizeof(si)};
    si.dwFlags = STARTF_USESTDHANDLES;
    for (HANDLE* h : {&si.hStdOutput, &si.hStdError})
        *h = ::CreateFileW(dir_.file(h == &si.hStdError ? L"err" : L"out").c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS, 0, nullptr);
    pi = Spawn(commandLine, nullptr, si);
    ::CloseHandle(si.hStdOutput), ::CloseHandle(si.hStdError);
}

CapturedProcess::~CapturedProcess() {
    if (!pi.hProcess) return;
    ::TerminateProcess(pi.hProcess, 0), ::WaitForSingleObject(pi.hProcess, 10000);
    ::CloseHandle(pi.hProcess), ::CloseHandle(pi.hThread);
}

DWORD CapturedProcess::Finish(DWORD timeoutMs) {
    DWORD code = 999;
    if (pi.hProcess && ::WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) ::GetExitCodeProcess(pi.hProcess, &code);
    return code;
}

std::string CapturedProcess::Out() const { return ReadBytes(dir_.file(L"out")); }
std::string CapturedProcess::Err() const { return ReadBytes(dir_.file(L"err")); }

void PumpPending() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::TranslateMessage(&msg), ::DispatchMessageW(&msg);
}

bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (ULONGLONG now; PumpPending(), !pred();) {
        if ((now = ::GetTickCount64()) >= deadline) return pred();
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20)), QS_ALLINPUT);
    }
    return true;
}

TempDir::TempDir() {
    wchar_t base[MAX_PATH], name[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    static LONG counter;
    do swprintf(name, MAX_PATH, L"%lskvt_%lu_%ld", base, ::GetCurrentProcessId(), ::InterlockedIncrement(&counter));
    while (!::CreateDirectoryW(name, nullptr));
    path_ = name;
}

void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE f = ::FindFirstFileW((dir + L"\\*").c_str(), &fd);
    for (bool more = f != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(f, &fd)) {
        const std::wstring name = fd.cFileName, full = dir + L"\\" + name;
        if (name == L"." || name == L"..") continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(full);
        else ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL), ::DeleteFileW(full.c_str());
    }
    if (f != INVALID_HANDLE_VALUE) ::FindClose(f);
    ::RemoveDirectoryW(dir.c_str());
}

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
std::string ReadBytes(const std::wstring& path) {
    std::string out;
    HANDLE f = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return out;
    char buf[65536];
    for (DWORD n; ::ReadFile(f, buf, sizeof(buf), &n, nullptr) && n;) out.append(buf, n);
    ::CloseHandle(f);
    return out;
}
void WriteBytes(const std::wstring& path, const std::string& bytes) {
    // Shared: readers of trace files may be polling the file at this moment.
    HANDLE f = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             CREATE_ALWAYS, 0, nullptr);
    DWORD n;
    if (f != INVALID_HANDLE_VALUE) ::WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr), ::CloseHandle(f);
}
std::string Narrow(const std::wstring& s) {
    std::string out(s.size() * 4, '\0');  // UTF-8 takes at most three bytes per UTF-16 unit
    out.resize(::WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], static_cast<int>(out.size()), nullptr, nullptr));
    return out;
}

}  // namespace kvtest

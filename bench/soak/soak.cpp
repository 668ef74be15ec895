// A plant's day in minutes: the trace window on a simulated clock under clients that come, trace and go,
// host threads, an operator and faults, one line per simulated hour and a verdict at the end.
//
//   soak.exe [--hours N] [--rate R] [--rows N] [--real-rows M] [--timing on]
//
// R simulated seconds per real second (default: 24 hours in 15 minutes, at least 40), N rows handed in per
// simulated second (default 1000) or as many as the machine takes, with --real-rows M no more than M per real
// second (a plant's own rate, say). With --timing on the window's answer times, beyond an idle window's, count
// in the verdict; the short form (one hour, a test of the suite) only reports them.
//
// The window lives in a helper process that does what KVTrcSrv.exe does and traces from two threads of its own
// (the direct path). Every line a producer hands in carries its producer and number. Each hour the producers
// pause, tracing stops, the daily files are read back line by line and the current file is deleted through the
// menu, which keeps the disk to about an hour of lines.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <winternl.h>
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "client/traceapi.h"
#include "kvtest.h"
#include "resources/resource.h"
#include "resources/settings_dialog.h"

namespace {

const wchar_t kClass[] = L"VANTORA VO Vedoz Izodoz", kSettingsCaption[] = L"VANTORA Trelvan Trace Server: Settings";
enum { kIdAppList = 1, kIdTrace = 2, kIdScroll = 3, kIdClear = 5 };
constexpr int kProducers = 4096, kHostThreads = 2, kMaxEntries = 20000, kMaxDelete = 1000, kLongText = 400, kDebugLines = 20;
// Shares of the rows per simulated second: each of the two host threads, each of the about five clients.
constexpr double kHostShare = 0.3, kClientShare = 0.08;
// The window's process after the first hour: handles and threads within these of where it stood then, and no
// more private bytes than a full list of the longest rows (text and the row's own fields) explains.
constexpr DWORD kHandleBand = 16, kThreadBand = 2;
constexpr SIZE_T kListBytes = static_cast<SIZE_T>(kMaxEntries) * (kLongText + 200) * 2;

// ---- the board every role shares: the simulated clock, the producers' counts, the conductor's requests ----
struct Producer {
    volatile LONG64 begun, done;  // numbers of the last line begun and handed in
    volatile LONG parked, alive;
};
struct Board {
    ULONGLONG startFile;  // the simulated clock: local file time at origin, rate times the counter
    LONGLONG origin, frequency;
    LONG rate, rows;   // simulated seconds per real second; rows handed in per simulated second
    DWORD conductor;   // process id: every role ends with it
    volatile LONG go, pause, quit, special, stuckHolding;
    Producer p[kProducers];
};
enum Special { kTrigger = 1, kFind = 2 };

Board* OpenBoard(const std::wstring& name, bool create) {
    HANDLE m = create ? ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Board), name.c_str())
                      : ::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    return m ? static_cast<Board*>(::MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Board))) : nullptr;  // lives with the process
}
LONGLONG Counter() {
    LARGE_INTEGER c;
    return ::QueryPerformanceCounter(&c), c.QuadPart;
}
// Simulated seconds since the start, as the server's clock reckons.
double SimSeconds(const Board& b) { return static_cast<double>(Counter() - b.origin) / static_cast<double>(b.frequency) * b.rate; }
SYSTEMTIME SimTime(const Board& b, double seconds) {
    const ULONGLONG t = b.startFile + static_cast<ULONGLONG>(seconds * 1e7);
    FILETIME ft = {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    SYSTEMTIME st;
    return ::FileTimeToSystemTime(&ft, &st), st;
}

// The n-th line of producer id: its text with the words the filters look for.
bool Dropped(int id, LONG64 n) { return id == 1 && n % 1000 == 999; }  // excluded by "SOAKDROP"
bool Marked(LONG64 n) { return n % 97 == 0; }                         // highlighted and marked by "SOAKMARK"
std::wstring LineText(int id, LONG64 n, LONG special) {
    wchar_t head[64];
    swprintf(head, 64, L"P%04d N%010lld ", id, static_cast<long long>(n));
    std::wstring text = head;
    if (Dropped(id, n)) text += L"SOAKDROP ";
    if (Marked(n)) text += L"SOAKMARK ";
    if (n % 50 == 0) text += L"SOAKFILTER ";
    if (special & kTrigger) text += L"SOAKTRIGGER ";
    if (special & kFind) text += L"SOAKFIND ";
    return text + std::wstring(n % 500 == 0 ? kLongText : 8 + n % 24, L'x');
}

// Hands in lines at rate per simulated second until untilSim, parking while the conductor pauses; ends with the
// conductor. False when the conductor is gone.
bool Produce(Board& b, int id, short handle, double rate, double untilSim) {
    Producer& me = b.p[id];
    me.alive = 1;
    double base = SimSeconds(b);
    LONG64 baseCount = me.begun;
    static HANDLE conductor = ::OpenProcess(SYNCHRONIZE, FALSE, b.conductor);
    auto wait = [](DWORD ms) { return ::WaitForSingleObject(conductor, ms) == WAIT_TIMEOUT; };
    bool alive = true;
    for (double now; !b.quit && (now = SimSeconds(b)) < untilSim && ((me.begun & 255) || (alive = wait(0)));) {
        if (b.pause) {
            me.parked = 1;
            while (b.pause && !b.quit && (alive = wait(5))) {
            }
            me.parked = 0, base = SimSeconds(b), baseCount = me.begun;
        } else if (static_cast<double>(me.begun - baseCount) >= (now - base) * rate) {
            if (!(alive = wait(2))) break;
        } else {
            const LONG64 n = me.begun + 1;
            const std::wstring text = LineText(id, n, id == 0 ? ::InterlockedExchange(&b.special, 0) : 0);
            const short level = static_cast<short>(10 * (1 + n % 4));
            me.begun = n;
            if (traceapi_IsEnabled(handle, level)) traceapi_Output(handle, level, L"Produce", text.c_str());
            else --me.begun;  // not handed in: tracing is off
            me.done = me.begun;
        }
    }
    me.alive = 0;
    return alive;
}

// ---- the roles in other processes ----------------------------------------------------------------------------
// The window, as KVTrcSrv.exe opens it, and two threads of this process tracing by the direct path.
KVTEST_HELPER(host) {
    Board* b = OpenBoard(args[0], false);
    if (!b) return 2;
    std::vector<std::thread> threads;
    for (int t = 0; t < kHostThreads; ++t)
        threads.emplace_back([b, t] {
            while (!b->go && !b->quit) ::Sleep(10);
            if (!Produce(*b, t, traceapi_Register(L"SoakHost", nullptr, FALSE), kHostShare * b->rows, 1e12))
                ::PostMessageW(::FindWindowW(kClass, nullptr), WM_CLOSE, 0, 0);  // the conductor is gone
        });
    HWND w = traceapi_CreateWnd(0, nullptr, 1, nullptr);
    traceapi_DestroyWnd();
    b->quit = 1;
    for (auto& t : threads) t.join();
    return w ? 0 : 3;
}
// A client process by the slot: args board, producer id, end of life in simulated seconds.
KVTEST_HELPER(client) {
    Board* b = OpenBoard(args[0], false);
    const int id = _wtoi(args[1].c_str());
    const short h = traceapi_Register((L"Line" + std::to_wstring(id % 8)).c_str(), nullptr, FALSE);
    Produce(*b, id, h, kClientShare * b->rows, _wtof(args[2].c_str()));
    traceapi_Unregister(h, FALSE);
    return 0;
}
// A client that takes the message slot and stops answering until it is killed.
KVTEST_HELPER(stuck) {
    Board* b = OpenBoard(args[0], false);
    HANDLE slot = ::OpenMutexW(SYNCHRONIZE, FALSE, L"traceapi_dll_curdatamutex");
    if (!b || !slot || ::WaitForSingleObject(slot, 60000) == WAIT_TIMEOUT) return 2;
    b->stuckHolding = 1;
    return ::Sleep(INFINITE), 0;
}

// A window that only answers, in a process of its own: its answer times are what the machine's load alone costs.
KVTEST_HELPER(idle) {
    Board* b = OpenBoard(args[0], false);
    HANDLE conductor = b ? ::OpenProcess(SYNCHRONIZE, FALSE, b->conductor) : nullptr;
    ::CreateWindowW(L"STATIC", args[0].c_str(), 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    for (MSG m; conductor && ::MsgWaitForMultipleObjects(1, &conductor, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0;)
        while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&m);
    return 0;
}

// ---- the conductor's view of the window -----------------------------------------------------------------------
LRESULT Send(HWND h, UINT msg, WPARAM wp = 0, LPARAM lp = 0, DWORD timeoutMs = 10000) {
    DWORD_PTR r = 0;
    ::SendMessageTimeoutW(h, msg, wp, lp, SMTO_NORMAL, timeoutMs, &r);
    return static_cast<LRESULT>(r);
}
std::wstring TextOf(HWND h) {
    wchar_t buf[512] = {};
    return Send(h, WM_GETTEXT, ARRAYSIZE(buf), reinterpret_cast<LPARAM>(buf)), buf;
}
// A shown window of this class (and caption) of the thread of window, or null.
HWND Shown(HWND window, const wchar_t* cls, const wchar_t* caption = nullptr) {
    const DWORD thread = ::GetWindowThreadProcessId(window, nullptr);
    HWND h = nullptr;
    while ((h = ::FindWindowExW(nullptr, h, cls, caption)) && !(::IsWindowVisible(h) && ::GetWindowThreadProcessId(h, nullptr) == thread)) {
    }
    return h;
}
HANDLE OpenShared(const std::wstring& path) {
    return ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// What the process of the window holds: handles, threads, private bytes, GDI and USER objects (0: not reported);
// apart, the registry keys Wine's file dialog leaves open, one each time it shows.
struct Usage { DWORD handles = 0, threads = 0, gdi = 0, user = 0, dialogKeys = 0; SIZE_T privateBytes = 0; };
// Handles from the system's list of every process's handles, since Wine does not count them per process; private
// bytes from PagefileUsage, where Wine keeps them (Windows keeps them there too).
Usage Measure(DWORD pid) {
    Usage u;
    HANDLE p = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE, FALSE, pid);
    if (!p) return u;
    struct Entry { PVOID object; ULONG_PTR process, value; ULONG access; USHORT trace, type; ULONG attributes, reserved; };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    using QueryObject = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    static const auto query = reinterpret_cast<Query>(::GetProcAddress(ntdll, "NtQuerySystemInformation"));
    static const auto queryObject = reinterpret_cast<QueryObject>(::GetProcAddress(ntdll, "NtQueryObject"));
    std::vector<ULONG_PTR> list(1 << 16);
    ULONG need = 0;
    while (query && query(64 /* extended handle information */, list.data(), static_cast<ULONG>(list.size() * sizeof(ULONG_PTR)), &need) ==
                        static_cast<LONG>(0xC0000004))
        list.resize(list.size() * 2);
    const auto* e = reinterpret_cast<const Entry*>(list.data() + 2);
    for (ULONG_PTR i = 0; i < list[0]; ++i) {
        if (e[i].process != pid) continue;
        HANDLE h = nullptr;
        wchar_t info[1024];  // a counted string and its text
        const auto* name = reinterpret_cast<const UNICODE_STRING*>(info);
        const bool dialogKey = ::DuplicateHandle(p, reinterpret_cast<HANDLE>(e[i].value), ::GetCurrentProcess(), &h, 0, FALSE, DUPLICATE_SAME_ACCESS) &&
                               queryObject(h, 1 /* name */, info, sizeof(info) - 2, &need) == 0 && name->Buffer &&
                               std::wstring(name->Buffer, name->Length / 2).find(L"\\ComDlg32\\LastVisitedMRU") != std::wstring::npos;
        if (h) ::CloseHandle(h);
        ++(dialogKey ? u.dialogKeys : u.handles);
    }
    PROCESS_MEMORY_COUNTERS_EX pmc = {sizeof(pmc)};
    if (::GetProcessMemoryInfo(p, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof(pmc))) u.privateBytes = pmc.PagefileUsage;
    u.gdi = ::GetGuiResources(p, GR_GDIOBJECTS), u.user = ::GetGuiResources(p, GR_USEROBJECTS);
    ::CloseHandle(p);
    HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te = {sizeof(te)};
    for (BOOL more = ::Thread32First(snap, &te); more; more = ::Thread32Next(snap, &te)) u.threads += te.th32OwnerProcessID == pid;
    ::CloseHandle(snap);
    return u;
}

// Every producer's lines as the daily files hold them: in its order, none twice, none missing but those the
// window's notices count as lost, marked when highlighted, none of the excluded ones, on the day of their file.
struct Ledger {
    std::vector<LONG64> last = std::vector<LONG64>(kProducers, 0);
    std::map<std::wstring, ULONGLONG> read;  // bytes of each daily file already read
    ULONGLONG bytes = 0;                     // read in all
    LONG64 lines = 0, missing = 0, twice = 0, misplaced = 0, badMarks = 0, dropsSeen = 0, noticedLost = 0, dbgLines = 0, expired = 0;

    // One line of a file whose day has the weekday tag day (and the day before it, before).
    void Line(const wchar_t* s, size_t n, const wchar_t* day, const wchar_t* before) {
        const wchar_t* bar[5];  // the separators after time, tag, process, module and function
        const wchar_t* p = s;
        for (int i = 0; i < 5; ++i, ++p)
            if ((bar[i] = p = std::find(p, s + n, L'|')) == s + n) return;
        size_t mark = n;  // the separator before the mark
        for (int i = 0; i < 2 && mark > 0;) i += s[--mark] == L'|';
        if (s + mark <= bar[4]) return;
        // A row stamped before midnight and written after it has the day before's weekday (a real second late is a
        // simulated minute or more).
        if (wcsncmp(s, day, 2) && (wcsncmp(s, before, 2) || wcsncmp(s + 3, L"23:", 3)) && ++misplaced < 4)
            printf("  misplaced: %s\n", kvtest::Narrow(std::wstring(s, std::min<size_t>(n, 100))).c_str());
        const wchar_t* text = bar[4] + 1;
        const std::wstring body(text, s + mark);
        // The window's notices of lines lost: a trace file that could not be opened, and messages not delivered.
        if (const size_t at = body.find(L"written again; "); at != std::wstring::npos) noticedLost += _wtoi64(body.c_str() + at + 15);
        if (body.find(L"trace message(s) could not be delivered") != std::wstring::npos) noticedLost += _wtoi64(body.c_str() + 6);
        expired += !body.compare(0, 25, L"Delete expired trace file");
        dbgLines += !body.compare(0, 8, L"SOAKDBG ");
        if (body.size() < 17 || text[0] != L'P' || text[5] != L' ' || text[6] != L'N') return;
        const int id = _wtoi(text + 1);
        const LONG64 num = _wtoi64(text + 7);
        if (id < 0 || id >= kProducers) return;
        ++lines;
        dropsSeen += Dropped(id, num);
        badMarks += (s[mark + 1] == L'1') != Marked(num);
        if (num > last[id]) missing += Gap(id, last[id], num - 1), last[id] = num;
        else if (++twice < 4) printf("  twice or out of order (after %lld): %s\n", last[id], kvtest::Narrow(std::wstring(s, std::min<size_t>(n, 100))).c_str());
    }
    static LONG64 Gap(int id, LONG64 after, LONG64 upTo) {  // lines after..upTo that belong in the files
        LONG64 n = 0;
        for (LONG64 k = after + 1; k <= upTo; ++k) n += !Dropped(id, k);
        return n;
    }
    // Reads what the daily files of dir hold beyond what was read, in pieces of whole lines (an hour of lines is
    // a gigabyte); returns the bytes the files hold.
    ULONGLONG ReadFiles(const std::wstring& dir) {
        static const wchar_t kDays[] = L"SUMOTUWETHFRSA", kCrLf[] = L"\r\n";
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW fd;
        HANDLE find = ::FindFirstFileW((dir + L"\\TS??????.txt").c_str(), &fd);
        for (bool more = find != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(find, &fd)) names.push_back(fd.cFileName);
        if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
        std::sort(names.begin(), names.end());
        std::vector<wchar_t> buf(1 << 22);
        ULONGLONG held = 0;
        for (const auto& name : names) {
            SYSTEMTIME d = {static_cast<WORD>(2000 + _wtoi(name.substr(2, 2).c_str())), static_cast<WORD>(_wtoi(name.substr(4, 2).c_str())), 0,
                            static_cast<WORD>(_wtoi(name.substr(6, 2).c_str()))};
            FILETIME ft;
            ::SystemTimeToFileTime(&d, &ft), ::FileTimeToSystemTime(&ft, &d);
            HANDLE f = OpenShared(dir + L"\\" + name);
            LARGE_INTEGER size = {}, at = {};
            ::GetFileSizeEx(f, &size);
            held += size.QuadPart;
            at.QuadPart = static_cast<LONGLONG>(read[name]);
            DWORD n = 0;
            while (::SetFilePointerEx(f, at, nullptr, FILE_BEGIN) && ::ReadFile(f, buf.data(), static_cast<DWORD>(buf.size() * 2), &n, nullptr) &&
                   n >= 4) {
                const wchar_t *p = buf.data(), *const end = p + n / 2;
                for (const wchar_t* e; (e = std::search(p, end, kCrLf, kCrLf + 2)) != end; p = e + 2)
                    Line(p, e - p, kDays + 2 * d.wDayOfWeek, kDays + 2 * ((d.wDayOfWeek + 6) % 7));
                if (p == buf.data()) break;  // no whole line
                at.QuadPart += (p - buf.data()) * 2;
            }
            if (f != INVALID_HANDLE_VALUE) ::CloseHandle(f);
            bytes += at.QuadPart - read[name], read[name] = at.QuadPart;
        }
        return held;
    }
};

std::wstring Option(const wchar_t* name, const wchar_t* fallback) {
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    std::wstring value = fallback;
    for (int i = 1; i + 1 < argc; ++i)
        if (!wcscmp(argv[i], name)) value = argv[i + 1];
    ::LocalFree(argv);
    return value;
}

class Soak {
public:
    Soak(int hours, int rate, int rows, bool timing) : hours_(hours), rate_(rate), rows_(rows), timing_(timing) {}
    ~Soak() {
        probing_ = false;
        if (probe_.joinable()) probe_.join();
    }
    void Run();

private:
    void Setup();
    void Clients(double now);
    void Operate(int hour, int minute);
    void Checkpoint(int hour, bool last);
    void Finish(ULONGLONG realStart);
    void SettingsDialog(int hour);
    bool FileDialog(int command, const wchar_t* caption, const std::wstring& path);
    void Hook(int hour);
    void LostShare(bool away);
    std::wstring Tail(LONGLONG& from);
    bool Pause(bool on);
    void Unstick() {
        if (stuck_ && SimSeconds(*b_) >= stuckUntil_)
            ::TerminateProcess(stuck_, 9), ::WaitForSingleObject(stuck_, 10000), ::CloseHandle(std::exchange(stuck_, nullptr));
    }

    // Clients and the debug viewer wait for the slot as long as the stuck client holds it: a step that waits on them
    // (the steps of a loaded machine run back to back) ends it when due.
    bool WaitFor(const std::function<bool()>& pred, DWORD ms = 30000) {
        return kvtest::PumpUntil([&] { return Unstick(), pred(); }, ms);
    }
    HWND Field(int i) const { return ::GetDlgItem(::FindWindowExW(window_, nullptr, L"StatusClass", nullptr), 4 + i); }
    void Click(int id) { Send(::GetDlgItem(window_, id), BM_CLICK); }
    bool Checked(int id) { return Send(::GetDlgItem(window_, id), BM_GETCHECK) == BST_CHECKED; }
    void Command(int id) { ::PostMessageW(window_, WM_COMMAND, id, 0); }
    void Dismiss() {  // closes the boxes and dialogs an operator's step left open
        for (HWND d; (d = Shown(window_, L"#32770")) != nullptr && WaitFor([d] { return ::PostMessageW(d, WM_COMMAND, IDCANCEL, 0), !::IsWindow(d); });) {
        }
    }
    std::wstring CurrentFile() {  // as the status bar names it, without its mark of an open file or of safe writing
        const std::wstring field = TextOf(Field(2));
        const size_t from = std::min<size_t>(6, field.size());
        std::wstring name = field.substr(from, field.find(L" (max") - from);
        for (const std::wstring mark : {L"*", L"(!)"})
            if (name.size() > mark.size() && !name.compare(name.size() - mark.size(), mark.size(), mark)) name.resize(name.size() - mark.size());
        return name;
    }
    bool Running(int id) {  // the process of producer id has not ended
        const auto c = clients_.find(id);
        const HANDLE p = id < kHostThreads ? host_ : c == clients_.end() ? nullptr : c->second.first;
        return p && ::WaitForSingleObject(p, 0) == WAIT_TIMEOUT;
    }
    void Problem(const std::string& what) { problems_.push_back(what), printf("  ! %s\n", what.c_str()), fflush(stdout); }

    const int hours_, rate_, rows_;
    const bool timing_;  // the answer times count in the verdict
    kvtest::TempDir temp_;
    std::wstring dir_, share_, settings_, boardName_;
    Board* b_ = nullptr;
    HANDLE host_ = nullptr, stuck_ = nullptr, idle_ = nullptr;
    HWND window_ = nullptr, main_ = nullptr, filter_ = nullptr, idleWindow_ = nullptr;
    std::map<int, std::pair<HANDLE, double>> clients_;  // producer id: process, end of life (negative: killed then)
    int nextId_ = kHostThreads, nextMinute_ = 0;
    double nextClient_ = 0, stuckUntil_ = -1, lastCheck_ = 0;
    std::mutex answersLock_;
    std::vector<double> answers_[2];  // ms since the last checkpoint: the window's, the idle window's
    std::atomic<bool> probing_{true};
    std::thread probe_;
    Ledger ledger_;
    LONG64 handedAtHour_ = 0, linesAtHour_ = 0, missingAtHour_ = 0, noticedAtHour_ = 0;
    Usage first_;
    ULONGLONG peakDisk_ = 0;
    std::vector<std::string> problems_;
};

void Soak::Setup() {
    dir_ = temp_.path(), share_ = dir_ + L"\\share";
    settings_ = kvtest::ExeDir() + L"\\KVTRCSRV.ini";
    const std::wstring trace = share_ + L"\\trace", bat = dir_ + L"\\ontrigger.bat";
    ::CreateDirectoryW(share_.c_str(), nullptr), ::CreateDirectoryW(trace.c_str(), nullptr);
    kvtest::WriteBytes(bat, "@echo %1>>\"" + kvtest::Narrow(dir_) + "\\triggers.txt\"\r\n");
    // The clock starts before midnight; the files of the two days before it expire, the second only after midnight.
    SYSTEMTIME start = {2026, 6, 0, 15, static_cast<WORD>(hours_ > 1 ? 21 : 23), 30};
    FILETIME ft;
    ::SystemTimeToFileTime(&start, &ft);
    b_ = OpenBoard(boardName_ = L"KvSoakBoard" + std::to_wstring(::GetCurrentProcessId()), true);
    b_->startFile = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    for (double back : {-2 * 86400.0, -86400.0}) {
        const SYSTEMTIME d = SimTime(*b_, back);
        wchar_t name[32];
        swprintf(name, 32, L"\\TS%02d%02d%02d.txt", d.wYear % 100, d.wMonth, d.wDay);
        kvtest::WriteBytes(trace + name, std::string("o\0l\0d\0\r\0\n\0", 10));
    }
    // Every application's levels on, through the server entry's.
    kvtest::WriteBytes(settings_, "[Global]\r\nEnableTrace=1\r\nEnableFile=1\r\nHistoryDays=1\r\nTopMost=1\r\nLeft=0\r\nTop=0\r\nRight=1000\r\n"
                                  "Bottom=700\r\nFilterListPart=4\r\nFileDir=" + kvtest::Narrow(trace) + "\r\n[ListView]\r\nMaxEntries=" +
                                  std::to_string(kMaxEntries) + "\r\nMaxDelete=" + std::to_string(kMaxDelete) + "\r\nAutoScroll=1\r\n"
                                  "[Filter]\r\nExcludeFilter=SOAKDROP\r\nHighlightFilter=SOAKMARK\r\nMarkHighlight=1\r\nSpecialFilter=SOAKFILTER\r\n"
                                  "TriggerFilter=SOAKTRIGGER\r\nTriggerFlags=25\r\nTriggerExec=" + kvtest::Narrow(bat) + "\r\n"
                                  "[RivivEda]\r\nEnableDiag=1\r\nEnableInfo=1\r\nEnableWarning=1\r\nEnableError=1\r\n");
    b_->conductor = ::GetCurrentProcessId();
    b_->frequency = [] { LARGE_INTEGER f; return ::QueryPerformanceFrequency(&f), f.QuadPart; }();
    b_->rate = rate_, b_->rows = rows_, b_->origin = Counter();
    // The server's clock, for every process started from here on (server/clock.h).
    wchar_t clock[96];
    swprintf(clock, 96, L"%04u-%02u-%02uT%02u:%02u:%02u,%d,%lld", start.wYear, start.wMonth, start.wDay, start.wHour, start.wMinute,
             start.wSecond, rate_, static_cast<long long>(b_->origin));
    ::SetEnvironmentVariableW(L"KV_SIMULATED_CLOCK", clock);
}

bool Soak::Pause(bool on) {
    b_->pause = on ? 1 : 0;
    return !on || WaitFor([this] {
        for (int id = 0; id < nextId_; ++id)
            if (b_->p[id].alive && !b_->p[id].parked && Running(id)) return false;
        return true;
    }, 60000) || (Problem("the producers did not pause"), false);
}

// Clients by the slot: a new one every two simulated minutes, each living 4 to 16 minutes; every fourth is killed
// instead of ending, without Unregister.
void Soak::Clients(double now) {
    for (auto it = clients_.begin(); it != clients_.end();) {
        auto& [process, end] = it->second;
        const bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0, kill = end < 0 && now >= -end && b_->p[it->first].done > 0;
        if (kill) ::TerminateProcess(process, 9), ::WaitForSingleObject(process, 10000), b_->p[it->first].alive = 0;
        if (!ended && !kill) {
            ++it;
            continue;
        }
        ::CloseHandle(process), it = clients_.erase(it);
    }
    if (now < nextClient_ || nextId_ >= kProducers) return;
    const int id = nextId_++;
    const double end = now + 240 + (id * 7919 % 720);
    const bool kill = id % 4 == 0;
    clients_[id] = {kvtest::StartHelper(L"client", {boardName_, std::to_wstring(id), std::to_wstring(kill ? 1e12 : end)}), kill ? -end : end};
    nextClient_ = now + 120;
}

// Tracing off, the files read back to here, the current file deleted through the menu, the figures of the hour.
void Soak::Checkpoint(int hour, bool last) {
    const double simAt = SimSeconds(*b_);
    Pause(true);
    LONG64 handed = 0, owed = 0;
    for (int id = 0; id < nextId_; ++id) handed += b_->p[id].done;
    Click(kIdTrace);
    if (!WaitFor([this] { return !Checked(kIdTrace) && TextOf(Field(2)).find(L"* (max") == std::wstring::npos; }))
        Problem("the trace file was not closed after tracing stopped");
    const ULONGLONG held = ledger_.ReadFiles(share_ + L"\\trace");
    peakDisk_ = std::max(peakDisk_, held);
    // Lines still owed: every producer's up to the last it handed in (a killed one's line in hand was not).
    for (int id = 0; id < nextId_; ++id) owed += Ledger::Gap(id, ledger_.last[id], b_->p[id].done);
    const LONG64 missing = ledger_.missing + owed;
    const std::wstring current = CurrentFile(), name = current.substr(current.rfind(L'\\') + 1);
    Command(IDM_DELETEFILE);
    HWND box = nullptr;
    if (!WaitFor([&] { return (box = Shown(window_, L"#32770", kClass)) != nullptr; })) Problem("Delete Current Trace File asked nothing");
    else ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    // Gone, or begun again by the line that says it was deleted.
    if (!WaitFor([&] { return kvtest::ReadBytes(current).size() < ledger_.read[name]; })) Problem("the current trace file was not deleted");
    ledger_.read.erase(name);
    // The status clock shows the simulated date (it refreshes once a real second, minutes of the simulated clock).
    const std::wstring clock = TextOf(Field(4));
    for (double back : {0.0, 300.0}) {
        const SYSTEMTIME d = SimTime(*b_, SimSeconds(*b_) - back);
        wchar_t date[16];
        swprintf(date, 16, L"%02u.%02u.%02u", d.wDay, d.wMonth, d.wYear % 100);
        if (clock.find(date) != std::wstring::npos) break;
        if (back > 0) Problem("the status clock shows " + kvtest::Narrow(clock));
    }
    const Usage u = Measure(::GetProcessId(host_));
    const LONG64 listed = Send(main_, LVM_GETITEMCOUNT), filtered = Send(filter_, LVM_GETITEMCOUNT);
    // A client killed just before leaves the list with the window's next check for ended processes (every sixth second).
    LONG64 apps = 0;
    WaitFor([&] { return (apps = Send(::GetDlgItem(window_, kIdAppList), CB_GETCOUNT)) <= static_cast<LONG64>(clients_.size()) + 4; }, 15000);
    double p50[2] = {}, p99[2] = {}, max[2] = {};
    for (int k = 0; k < 2; ++k) {
        std::vector<double> a;
        {
            std::lock_guard<std::mutex> lock(answersLock_);
            a.swap(answers_[k]);
        }
        std::sort(a.begin(), a.end());
        if (!a.empty()) p50[k] = a[a.size() / 2], p99[k] = a[a.size() * 99 / 100], max[k] = a.back();
    }
    if (last) b_->quit = 1;
    Click(kIdTrace);
    Pause(false);
    const SYSTEMTIME st = SimTime(*b_, simAt);
    const LONG64 lost = missing - missingAtHour_, noticed = ledger_.noticedLost - noticedAtHour_;
    printf("hour %2d  %02u.%02u. %02u:%02u  rows %4.0f/s  handed %9lld  in files %9lld  missing %lld (noticed lost %lld)  list %lld/%lld  "
           "apps %lld  handles %lu (and %lu of Wine's file dialog)  threads %lu  private %.1f MB  GDI/USER %s  answer p50 %.1f p99 %.1f max %.0f ms (idle window's %.1f %.1f %.0f)  file %.0f MB\n",
           hour, st.wDay, st.wMonth, st.wHour, st.wMinute, (handed - handedAtHour_) / (simAt - lastCheck_), handed - handedAtHour_,
           ledger_.lines - linesAtHour_, lost, noticed, listed, filtered, apps, u.handles, u.dialogKeys, u.threads, u.privateBytes / 1048576.0,
           u.gdi || u.user ? (std::to_string(u.gdi) + "/" + std::to_string(u.user)).c_str() : "not reported by Wine", p50[0], p99[0], max[0], p50[1],
           p99[1], max[1],
           held / 1048576.0);
    fflush(stdout);
    const std::string at = "hour " + std::to_string(hour) + ": ";
    // Beyond what the same send to the idle window took: the load of a shared machine is not the window's.
    if (timing_ && (p99[0] > 50 + p99[1] || max[0] > 1000 + max[1])) Problem(at + "the window answered late");
    if (lost > noticed) Problem(at + "lines missing from the files that no notice counts");
    // Slots of clients killed without Unregister come back: the list holds the live clients, the server entry, the
    // host's threads' application and the debug viewer's.
    if (apps > static_cast<LONG64>(clients_.size()) + 4) Problem(at + "the application list keeps ended clients");
    if (hour == 1) first_ = u;
    else if (u.handles > first_.handles + kHandleBand || u.threads > first_.threads + kThreadBand || u.privateBytes > first_.privateBytes + kListBytes)
        Problem(at + "the window's process holds more than after the first hour");
    handedAtHour_ = handed, linesAtHour_ = ledger_.lines, missingAtHour_ = missing, noticedAtHour_ = ledger_.noticedLost;
    lastCheck_ = SimSeconds(*b_);
}

void Soak::SettingsDialog(int hour) {
    Command(IDM_SETTINGS);
    HWND d = nullptr;
    if (!WaitFor([&] { return (d = Shown(window_, L"#32770", kSettingsCaption)) != nullptr; })) return Problem("no settings dialog");
    ::SetDlgItemTextW(d, IDC_SET_INCLUDE, hour % 2 ? L"INF;WRN;ERR;DIAG;SVR" : L"");  // passes every line of the soak
    ::SetDlgItemTextW(d, IDC_SET_FILTERLIST, hour % 2 ? L"SOAKFILTER;LINE" : L"SOAKFILTER");
    ::SetDlgItemTextW(d, IDC_SET_HIGHLIGHT, hour % 2 ? L"SOAKMARK;ALARM-7" : L"SOAKMARK");
    ::PostMessageW(d, WM_COMMAND, IDOK, 0);
    if (!WaitFor([d] { return !::IsWindow(d); })) Problem("the settings dialog did not close with OK"), Dismiss();
}

// Save Profile and Load Profile through the file dialogs, the file's name typed.
bool Soak::FileDialog(int command, const wchar_t* caption, const std::wstring& path) {
    Command(command);
    HWND d = nullptr;
    if (!WaitFor([&] { return (d = Shown(window_, L"#32770", caption)) != nullptr; })) return Problem(kvtest::Narrow(caption) + ": no dialog"), false;
    for (int id : {0x47c, 0x480}) ::SetDlgItemTextW(d, id, path.c_str());
    ::PostMessageW(d, WM_COMMAND, IDOK, 0);
    return WaitFor([d] { return !::IsWindow(d); }) || (Problem(kvtest::Narrow(caption) + ": the dialog did not close"), Dismiss(), false);
}

// The current trace file from byte from (-1: its size now, returned in from).
std::wstring Soak::Tail(LONGLONG& from) {
    HANDLE f = OpenShared(CurrentFile());
    if (f == INVALID_HANDLE_VALUE) return from = 0, L"";
    LARGE_INTEGER size = {}, at = {};
    ::GetFileSizeEx(f, &size);
    at.QuadPart = (from = from < 0 || from > size.QuadPart ? size.QuadPart : from) & ~1LL;
    std::wstring text(static_cast<size_t>(std::min<LONGLONG>(size.QuadPart - at.QuadPart, 1 << 26) / 2), L'\0');
    DWORD n = 0;
    if (!text.empty() && ::SetFilePointerEx(f, at, nullptr, FILE_BEGIN)) ::ReadFile(f, &text[0], static_cast<DWORD>(text.size() * 2), &n, nullptr);
    ::CloseHandle(f);
    return text.substr(0, n / 2);
}

void Soak::Hook(int hour) {
    if (!kvtest::BringToFront(window_)) return Problem("the window does not come to the front for Ctrl+Shift+X");
    kvtest::Press('X', {VK_CONTROL, VK_SHIFT});
    // The viewer reads the debug output once its capture made the buffer's events.
    if (!WaitFor([] {
            HANDLE ready = ::OpenEventW(SYNCHRONIZE, FALSE, L"DBWIN_BUFFER_READY");
            return ready && ::FindWindowW(L"dbgviewClass", nullptr) && ::CloseHandle(ready);
        }))
        return Problem("Ctrl+Shift+X started no viewer");
    wchar_t text[64];
    LONGLONG from = -1;
    Tail(from);
    for (int i = 0; i < kDebugLines; ++i) swprintf(text, 64, L"SOAKDBG %d %d", hour, i), ::OutputDebugStringW(text);
    // Read on from what was searched: a busy file outgrows one read within the wait.
    if (!WaitFor([&] {
            const std::wstring t = Tail(from);
            if (t.find(text) != std::wstring::npos) return true;
            from += static_cast<LONGLONG>(t.size() > 64 ? t.size() - 64 : 0) * 2;
            return false;
        }))
        Problem("the debug viewer's lines did not reach the trace file");
    kvtest::BringToFront(window_);
    kvtest::Press('Y', {VK_CONTROL, VK_SHIFT});
    if (!WaitFor([] { return ::FindWindowW(L"dbgviewClass", nullptr) == nullptr; })) Problem("Ctrl+Shift+Y left the viewer running");
}

// The share of the trace directory goes, and a file in its place keeps anything from making it again.
void Soak::LostShare(bool away) {
    const std::wstring gone = share_ + L".away";
    if (!away) {
        ::DeleteFileW(share_.c_str());
        if (!::MoveFileW(gone.c_str(), share_.c_str())) Problem("the share would not come back");
    } else if (!WaitFor([&] { return ::MoveFileW(share_.c_str(), gone.c_str()) != FALSE; })) {
        Problem("the share would not go");
    } else {
        kvtest::WriteBytes(share_, "");
    }
}

// The operator's and the faults' steps of each hour, by simulated minute.
void Soak::Operate(int hour, int minute) {
    const bool faults = hour == 1 || hour == hours_ / 2;
    switch (minute) {
    // The window thread waits for the writer lock after these; a trace message it serves meanwhile makes the lock
    // checker end the process for an order that cannot deadlock (being mended): no producer sends meanwhile.
    case 5: return Pause(true), SettingsDialog(hour), (void)Pause(false);
    case 10: case 25: case 40: case 55:  // a trigger: Stop Scroll and the batch file told the simulated time
        ::InterlockedOr(&b_->special, kTrigger);
        if (!WaitFor([this] { return !Checked(kIdScroll); })) Problem("the trigger did not stop the scroll");
        return Click(kIdScroll);
    case 12:
        ::InterlockedOr(&b_->special, kFind);
        Command(IDM_FIND);
        if (HWND d = nullptr; WaitFor([&] { return (d = Shown(window_, L"#32770", L"Find")) != nullptr; })) {
            ::SetDlgItemTextW(d, 0x480, L"SOAK");
            ::PostMessageW(d, WM_COMMAND, IDOK, 0);  // a hit closes the dialog
            WaitFor([d] { return !::IsWindow(d); }, 5000);
        }
        return Dismiss(), Command(IDM_FINDNEXT), Dismiss();
    case 15:
        ::PostMessageW(main_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(200, 60)), ::PostMessageW(main_, WM_LBUTTONUP, 0, MAKELPARAM(200, 60));
        for (int id : {IDM_MARK, IDM_NEXTMARK, IDM_PREVMARK, IDM_MARK, IDM_DELMARKS}) Command(id);
        return;
    case 20: case 30: return faults ? LostShare(minute == 20) : void();
    case 33: return Click(kIdScroll), Click(kIdScroll), Click(kIdClear);
    case 35:  // for three simulated minutes from when it holds the slot
        if (!faults) return;
        b_->stuckHolding = 0, stuck_ = kvtest::StartHelper(L"stuck", {boardName_}), stuckUntil_ = 1e300;
        if (!WaitFor([this] { return b_->stuckHolding != 0; })) Problem("the stuck client did not take the slot");
        stuckUntil_ = SimSeconds(*b_) + 180;
        return;
    case 45: {
        Pause(true);
        const std::wstring profile = dir_ + L"\\hour" + std::to_wstring(hour) + L".pfl";
        // The window writes the profile once its dialog has gone.
        if (!FileDialog(IDM_SAVEPROFILE, L"Save Trace Profile", profile) || !WaitFor([&] { return kvtest::FileExists(profile); }))
            Problem("Save Profile wrote no profile");
        if (!FileDialog(IDM_LOADPROFILE, L"Load Trace Profile", profile) || !WaitFor([&] { return TextOf(Field(3)) == L"Profile: " + profile; }))
            Problem("Load Profile did not load " + kvtest::Narrow(profile));
        ::DeleteFileW((dir_ + L"\\hour" + std::to_wstring(hour - 1) + L".pfl").c_str());
        return (void)Pause(false);
    }
    case 50: return Hook(hour);
    default: return;
    }
}

void Soak::Run() {
    Setup();
    host_ = kvtest::StartHelper(L"host", {boardName_});
    ASSERT_TRUE(WaitFor([this] {
        window_ = ::FindWindowW(kClass, nullptr);
        return window_ && ::IsWindowVisible(window_) && !TextOf(Field(3)).empty();
    }, 60000)) << "the trace window opens";
    main_ = ::FindWindowExW(window_, nullptr, WC_LISTVIEWW, kClass), filter_ = ::FindWindowExW(window_, nullptr, WC_LISTVIEWW, L"RIVIVEDA FILTER");
    idle_ = kvtest::StartHelper(L"idle", {boardName_});
    ASSERT_TRUE(WaitFor([this] { return (idleWindow_ = ::FindWindowExW(HWND_MESSAGE, nullptr, L"Static", boardName_.c_str())) != nullptr; }));
    probe_ = std::thread([this] {  // the window's and the idle window's answers to a sent message, every 20 ms
        while (probing_) {
            for (int k = 0; k < 2; ++k) {
                const LONGLONG t0 = Counter();
                Send(k ? idleWindow_ : window_, WM_NULL, 0, 0, 5000);
                const double ms = static_cast<double>(Counter() - t0) * 1000.0 / static_cast<double>(b_->frequency);
                std::lock_guard<std::mutex> lock(answersLock_);
                answers_[k].push_back(ms);
            }
            ::Sleep(20);
        }
    });
    const ULONGLONG realStart = ::GetTickCount64();
    printf("soak: %d simulated hour(s) at %d simulated seconds per real second, %d rows per simulated second asked (%lld per real second); "
           "leak bands: %lu handles, %lu threads, %.0f MB\n", hours_, rate_, rows_, static_cast<long long>(rows_) * rate_, kHandleBand,
           kThreadBand, kListBytes / 1048576.0);
    fflush(stdout);
    b_->go = 1;
    for (int hour = 1; hour <= hours_; ++hour) {
        for (double now; (now = SimSeconds(*b_)) < hour * 3600.0;) {
            if (::WaitForSingleObject(host_, 0) == WAIT_OBJECT_0) return Problem("the window's process ended"), Finish(realStart);
            Clients(now);
            // Every step runs, a late one as soon as the one before it ends.
            for (const int minute = static_cast<int>(now / 60) % 60; nextMinute_ <= minute;) Operate(hour, nextMinute_++);
            Unstick();
            kvtest::PumpUntil([] { return false; }, 10);
        }
        while (nextMinute_ < 60) Operate(hour, nextMinute_++);
        nextMinute_ = 0;
        Checkpoint(hour, hour == hours_);
    }
    Finish(realStart);
}

// Alt+F4 and the verdict.
void Soak::Finish(ULONGLONG realStart) {
    const double realSeconds = static_cast<double>(::GetTickCount64() - realStart) / 1000.0, simSeconds = SimSeconds(*b_);
    b_->quit = 1;
    for (auto& [id, c] : clients_) kvtest::WaitPumping(c.first, 30000);
    clients_.clear();
    ::WritePrivateProfileStringW(L"Global", L"Left", nullptr, settings_.c_str());
    ::PostMessageW(window_, WM_SYSKEYDOWN, VK_F4, 1 | (0x3E << 16) | (1 << 29));  // Alt+F4
    const kvtest::ProcessResult end = kvtest::WaitPumping(host_, 120000);
    std::string triggers;  // the batch files of the last triggers may still be running
    WaitFor([&] { return triggers = kvtest::ReadBytes(dir_ + L"\\triggers.txt"), std::count(triggers.begin(), triggers.end(), '\n') >= 4 * hours_; });
    const LONG64 fired = std::count(triggers.begin(), triggers.end(), '\n');
    const bool simulated = fired > 0 && std::count(triggers.begin(), triggers.end(), '\n') == std::count(triggers.begin(), triggers.end(), '_') &&
                           triggers.compare(0, 4, "2606") == 0;
    // What this machine takes: the rate at which the rows asked for per simulated second would still all be handed in.
    const double perReal = static_cast<double>(handedAtHour_) / realSeconds;
    printf("verdict after %.0f real seconds (%.1f simulated seconds per real second; %.0f rows handed in per real second, so %d rows per "
           "simulated second would need at most %.1f): %lld lines in files, %lld missing, %lld noticed lost, %lld twice or out of order, %lld "
           "misplaced by day, %lld wrong marks, %lld excluded lines written; %lld trigger runs; %lld expired files deleted; %lld debug-viewer "
           "lines; disk at most %.0f MB, %.1f GB written\n",
           realSeconds, simSeconds / realSeconds, perReal, rows_, rows_ ? perReal / rows_ : 0.0, ledger_.lines, missingAtHour_,
           ledger_.noticedLost, ledger_.twice, ledger_.misplaced, ledger_.badMarks, ledger_.dropsSeen, fired, ledger_.expired, ledger_.dbgLines,
           peakDisk_ / 1048576.0, ledger_.bytes / 1073741824.0);
    EXPECT_TRUE(end.finished && end.exitCode == 0) << "Alt+F4 ends the window's process cleanly: " << end.exitCode;
    wchar_t left[16];
    ::GetPrivateProfileStringW(L"Global", L"Left", L"", left, 16, settings_.c_str());
    EXPECT_STREQ(L"0", left) << "the settings file written at the end";
    EXPECT_EQ(0, ledger_.twice + ledger_.misplaced + ledger_.badMarks + ledger_.dropsSeen);
    EXPECT_TRUE(fired >= 4 * hours_ && simulated) << "the trigger's batch file ran, told the simulated time:\n" << triggers;
    EXPECT_EQ(2, ledger_.expired) << "the history clean-up on the simulated clock";
    EXPECT_EQ(kDebugLines * hours_, ledger_.dbgLines) << "the debug viewer's lines, once each";
    EXPECT_EQ(std::vector<std::string>{}, problems_);
}

TEST(Soak, PlantDayOnASimulatedClock) {
    const int hours = _wtoi(Option(L"--hours", L"1").c_str());
    const int rate = std::max(1, _wtoi(Option(L"--rate", std::to_wstring(std::max(40, hours * 4)).c_str()).c_str()));
    const int rows = _wtoi(Option(L"--rows", L"1000").c_str()), perReal = _wtoi(Option(L"--real-rows", L"0").c_str());
    Soak(hours, rate, perReal > 0 ? std::min(rows, std::max(1, perReal / rate)) : rows, Option(L"--timing", L"") == L"on").Run();
}

}  // namespace

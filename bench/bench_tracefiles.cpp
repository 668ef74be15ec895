// Reading trace files back: indexing a directory of daily files from the page cache
// against a plain read of the same bytes, finding a string that only the last line
// holds, kvtrccat --json, and what the line index costs per line.
//   bench_tracefiles [megabytes]   (default 1024)
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "client/region.h"
#include "server/tracefile.h"
#include "tracefiles/tracefiles.h"

using namespace kv::trc;

namespace {

double Now() {
    LARGE_INTEGER f, c;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

const wchar_t* const kFunctions[] = {L"OnTelegram", L"CDispatcher::Run", L"OpenLine", L"Poll"};
const wchar_t* const kTexts[] = {L"state READY -> RUNNING", L"line 3 open", L"12 fields, seq ok", L"poll 17 ms"};

// Lines as the server's writer formats them, about 100 characters each.
std::wstring MakeLines(size_t bytes, unsigned* seq, const wchar_t* lastText) {
    std::wstring out;
    out.reserve(bytes / 2 + 1024);
    wchar_t line[kLiveLineChars + 1];
    while (out.size() * 2 < bytes) {
        const unsigned n = ++*seq;
        TraceRow row = {};
        kv::FormatCut(row.time, 32, L"WE %02u:%02u:%02u,%02u [%05u]", n / 360000 % 24, n / 6000 % 60, n / 100 % 60,
                      n % 100, n);
        kv::CopyCut(row.tag, 10, n % 7 ? L"INF" : L"WRN");
        kv::CopyCut(row.process, 32, L"KVSERVX.EXE [4711]");
        kv::CopyCut(row.module, 32, L"Disp [1234]");
        kv::CopyCut(row.function, 50, kFunctions[n % 4]);
        std::wstring text = kTexts[n / 4 % 4];
        row.text = &text[0];
        row.levelWord = MakeLevelWord(n % 7 ? 30 : 20, 0xF);
        out.append(line, static_cast<size_t>(tracewnd_FormatFileLine(&row, line, kLiveLineChars + 1)));
    }
    if (lastText) {
        TraceRow row = {};
        kv::CopyCut(row.time, 32, L"WE 23:59:59,99 [99999]");
        kv::CopyCut(row.tag, 10, L"ERR");
        std::wstring text = lastText;
        row.text = &text[0];
        out.append(line, static_cast<size_t>(tracewnd_FormatFileLine(&row, line, kLiveLineChars + 1)));
    }
    return out;
}

bool WriteFileBytes(const std::wstring& path, const std::wstring& text) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    const bool ok = ::WriteFile(h, text.data(), static_cast<DWORD>(text.size() * 2), &n, nullptr) != 0;
    ::CloseHandle(h);
    return ok;
}

// CPU time of this thread: the machine may be shared, and the ratio of CPU times is what
// the code decides.
double Cpu() {
    FILETIME c, e, k, u;
    ::GetThreadTimes(::GetCurrentThread(), &c, &e, &k, &u);
    auto v = [](FILETIME f) { return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 1e7; };
    return v(k) + v(u);
}

double PlainRead(const std::vector<std::wstring>& paths, uint64_t* bytes) {
    std::unique_ptr<char[]> buf(new char[1 << 20]);
    const double start = Now();
    *bytes = 0;
    for (const auto& p : paths) {
        HANDLE h = ::CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        DWORD got = 0;
        while (::ReadFile(h, buf.get(), 1 << 20, &got, nullptr) && got) *bytes += got;
        ::CloseHandle(h);
    }
    return Now() - start;
}

double IndexAll(const std::vector<std::wstring>& paths, std::vector<std::unique_ptr<TraceFile>>* files) {
    files->clear();
    const double start = Now();
    for (const auto& p : paths) {
        files->emplace_back(new TraceFile);
        files->back()->Open(p, nullptr);
        files->back()->Index();
    }
    return Now() - start;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t megabytes = argc > 1 ? static_cast<size_t>(atoi(argv[1])) : 1024;
    const int kFiles = 8;
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring dir = std::wstring(temp) + L"kv_bench_tracefiles";
    ::CreateDirectoryW(dir.c_str(), nullptr);

    std::vector<std::wstring> paths;
    unsigned seq = 0;
    const double genStart = Now();
    for (int i = 0; i < kFiles; ++i) {
        wchar_t name[32];
        swprintf(name, 32, L"\\TS0703%02d.txt", 10 + i);
        paths.push_back(dir + name);
        const std::wstring text = MakeLines(megabytes * (1u << 20) / kFiles, &seq, i + 1 == kFiles ? L"the Needle at the end" : nullptr);
        if (!WriteFileBytes(paths.back(), text)) {
            printf("cannot write %ls\n", paths.back().c_str());
            return 1;
        }
    }
    printf("generated %zu MB in %d files, %u lines, in %.1f s\n", megabytes, kFiles, seq + 1, Now() - genStart);

    uint64_t bytes = 0;
    std::vector<std::unique_ptr<TraceFile>> files;
    PlainRead(paths, &bytes);  // into the page cache
    double read = 1e9, index = 1e9, readCpu = 0, indexCpu = 0;
    for (int round = 0; round < 3; ++round) {
        double c = Cpu();
        const double r = PlainRead(paths, &bytes);
        readCpu += Cpu() - c;
        c = Cpu();
        const double x = IndexAll(paths, &files);
        indexCpu += Cpu() - c;
        if (r < read) read = r;
        if (x < index) index = x;
    }
    size_t lines = 0, indexBytes = 0;
    for (const auto& f : files) lines += f->LineCount(), indexBytes += f->index().bytes();
    const double gb = static_cast<double>(bytes) / (1u << 30);
    printf("plain read      %8.2f GB/s\n", gb / read);
    printf("index           %8.2f GB/s  %.2fx the plain read  (%zu lines, %.0f Mlines/s)\n", gb / index, read / index,
           lines, lines / index / 1e6);
    printf("index CPU time  %8.2fx the plain read's CPU time (3 rounds each)\n", readCpu / indexCpu);
    printf("index memory    %8.2f bytes per line\n", static_cast<double>(indexBytes) / static_cast<double>(lines));

    // Find, case-insensitive, over every file from the first line down.
    double find = 1e9;
    long long hit = -1;
    size_t hitFile = 0;
    for (int round = 0; round < 3; ++round) {
        const double start = Now();
        for (size_t f = 0; f < files.size(); ++f) {
            hit = FindInFile(*files[f], 0, true, L"needle AT", {});
            if (hit >= 0) {
                hitFile = f;
                break;
            }
        }
        const double t = Now() - start;
        if (t < find) find = t;
    }
    printf("find            %8.1f Mlines/s  %.2f GB/s  (hit in file %zu line %lld of %zu)\n", lines / find / 1e6,
           gb / find, hitFile, hit, files.empty() ? 0 : files.back()->LineCount());

    // kvtrccat --json over the directory, output thrown away.
    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring cat = exe;
    cat = cat.substr(0, cat.find_last_of(L'\\')) + L"\\kvtrccat.exe";
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE nul = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si = {sizeof(si)};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = nul;
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + cat + L"\" --json \"" + dir + L"\"";
    const double catStart = Now();
    if (::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        ::WaitForSingleObject(pi.hProcess, INFINITE);
        const double t = Now() - catStart;
        DWORD code = 0;
        ::GetExitCodeProcess(pi.hProcess, &code);
        printf("kvtrccat --json %8.2f Mlines/s  (%.2f s, exit %lu, process start included)\n", lines / t / 1e6, t,
               static_cast<unsigned long>(code));
        ::CloseHandle(pi.hProcess);
        ::CloseHandle(pi.hThread);
    } else {
        printf("kvtrccat --json: cannot start %ls\n", cat.c_str());
    }
    ::CloseHandle(nul);

    files.clear();
    for (const auto& p : paths) ::DeleteFileW(p.c_str());
    ::RemoveDirectoryW(dir.c_str());
    return 0;
}

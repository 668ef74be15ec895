// Shared scaffolding of the server and settings tests.
#include "serverkit.h"

#include <string.h>

#include "client/owners.h"
#include "kvtest.h"
#include "server/clock.h"

namespace kvtest {

void SetClock(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
    SYSTEMTIME st = {year, month, 0, day, hour, minute, second, ms};
    // The day of the week follows from the date.
    FILETIME ft;
    if (::SystemTimeToFileTime(&st, &ft)) ::FileTimeToSystemTime(&ft, &st);
    kv::ClockSetForTesting(&st);
}

void ResetClock() { kv::ClockSetForTesting(nullptr); }

namespace {
kv::StaticCriticalSection g_boxLock;
std::vector<std::wstring> g_boxes;
}  // namespace

int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR title, UINT type) {
    kv::CritSecLock lock(g_boxLock.get());
    g_boxes.push_back(std::wstring(title ? title : L"") + L"|" + std::to_wstring(type & MB_ICONMASK) + L"|" +
                      (text ? text : L""));
    return IDOK;
}

std::vector<std::wstring> TakeBoxes() {
    kv::CritSecLock lock(g_boxLock.get());
    std::vector<std::wstring> boxes;
    boxes.swap(g_boxes);
    return boxes;
}

std::wstring ReadWide(const std::wstring& path) {
    const std::string bytes = ReadBytes(path);
    std::wstring out(bytes.size() / 2, L'\0');
    if (!out.empty()) memcpy(&out[0], bytes.data(), out.size() * 2);
    return out;
}

std::vector<std::wstring> ReadLines(const std::wstring& path) {
    std::wstring text = ReadWide(path);
    if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

}  // namespace kvtest

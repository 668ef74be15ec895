// Shared scaffolding of the server and settings tests.
#include "serverkit.h"

#include <string.h>

#include <utility>

#include <commctrl.h>

#include "client/locks.h"
#include "client/owners.h"
#include "client/region.h"
#include "kvtest.h"
#include "server/clock.h"
#include "server/rowstore.h"
#include "server/serverstate.h"

namespace kvtest {

void SetClock(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
    SYSTEMTIME st = {year, month, 0, day, hour, minute, second, ms};
    // The day of the week follows from the date.
    FILETIME ft;
    if (::SystemTimeToFileTime(&st, &ft)) ::FileTimeToSystemTime(&ft, &st);
    kv::ClockSetForTesting(&st);
}

namespace {
kv::RankedSection g_boxLock{kv::LockRank::kRecorder};
std::vector<std::wstring> g_boxes;
}  // namespace

int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR title, UINT type) {
    kv::SectionLock lock(g_boxLock);
    g_boxes.push_back(std::wstring(title ? title : L"") + L"|" + std::to_wstring(type & MB_ICONMASK) + L"|" +
                      (text ? text : L""));
    return IDOK;
}

std::vector<std::wstring> TakeBoxes() {
    kv::SectionLock lock(g_boxLock);
    return std::exchange(g_boxes, {});
}

std::wstring ReadWide(const std::wstring& path) {
    const std::string bytes = ReadBytes(path);
    std::wstring out(bytes.size() / 2, L'\0');
    return out.empty() ? out : (memcpy(&out[0], bytes.data(), out.size() * 2), out);
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

ListStore::ListStore(short* serverField) : field_(serverField) {
    static const INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
    [[maybe_unused]] static const BOOL classes = ::InitCommonControlsEx(&icc);
    list_ = ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_OVERLAPPEDWINDOW | LVS_REPORT | LVS_OWNERDATA, 0, 0, 400, 300,
                              nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    store_ = rowstore_Create(list_, rowstore_CompareRows);
    if (field_) *field_ = store_;
}

ListStore::~ListStore() {
    if (field_) *field_ = -1;
    rowstore_Destroy(store_);
    if (list_) ::DestroyWindow(list_);
}

int ListStore::Add(const wchar_t* text, const wchar_t* time, const wchar_t* process) {
    TraceRow* row = rowstore_NewRow(store_);
    if (!row) return -1;
    kv::CopyCut(row->time, 32, time), kv::CopyCut(row->tag, 10, L"INF"), kv::CopyCut(row->process, 32, process);
    kv::CopyCut(row->module, 32, L"conveyor [12]"), kv::CopyCut(row->function, 50, L"run");
    const size_t n = wcslen(text);
    row->text = rowstore_NewText(store_, static_cast<int>(n + 1));
    if (row->text) wmemcpy(row->text, text, n + 1);
    return rowstore_Add(store_, row);
}

}  // namespace kvtest

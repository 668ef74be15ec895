// Cost of the sub-string checks that intake makes for every message (include, exclude,
// filter list, trigger) with full tables, against the same searches made with wcsstr, and
// the cost of the highlight colour that the owner-draw code asks for every visible row,
// against reading each cell and searching it with wcsstr for every entry. Rounds take
// turns; the medians are reported.
//
//   bench_filters.exe [messages]
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "client/region.h"
#include "server/filters.h"
#include "server/rowstore.h"
#include "settings/serversettings.h"

namespace {

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(f.QuadPart);
}

template <class F>
double NanosecondsPer(int count, F&& f) {
    LARGE_INTEGER start, end;
    ::QueryPerformanceCounter(&start);
    for (int i = 0; i < count; ++i) f(i);
    ::QueryPerformanceCounter(&end);
    return Seconds(start, end) * 1e9 / count;
}

const wchar_t kTenEntries[] = L"entry-0a;entry-1b;entry-2c;entry-3d;entry-4e;entry-5f;entry-6g;entry-7h;entry-8i;entry-9j";
volatile int g_sink;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    int count = 200000;
    int argc = 0;
    if (LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc)) {
        if (argc > 1) count = _wtoi(argv[1]);
        ::LocalFree(argv);
    }
    if (count < 1000) count = 1000;
    kv::ProcessAttach(::GetModuleHandleW(nullptr));
    kv::CopyCut(kv::g_region.apps[3].szProcess, 50, L"PLANTCONTROL [4242]");
    kv::CopyCut(kv::g_region.apps[3].szModule, 50, L"ConveyorBeltSupervisor");

    wchar_t text[201];
    for (int i = 0; i < 200; ++i) text[i] = static_cast<wchar_t>(L'a' + i % 26);
    text[200] = 0;
    const wchar_t* func = L"CConveyor::OnMotorStateChanged";

    // Every entry is searched in every text: the most a message can cost.
    kv::CopyCut(g_settings.IncludeFilter, kFilterChars, L"");
    kv::CopyCut(g_settings.ExcludeFilter, kFilterChars, kTenEntries);
    kv::CopyCut(g_settings.SpecialFilter, kFilterChars, kTenEntries);
    kv::CopyCut(g_settings.TriggerFilter, kFilterChars, kTenEntries);
    kv::CopyCut(g_settings.HighlightFilter, kFilterChars, kTenEntries);
    tracewnd_SplitFilters();

    // The same searches with wcsstr, without tables, lock or slot copy.
    wchar_t entries[kSubStrings][kSubStringChars];
    tracewnd_SplitSubStrings(kTenEntries, entries);
    const wchar_t* texts[] = {L"PLANTCONTROL [4242]", L"ConveyorBeltSupervisor", func, text, L"INF"};

    // Highlight colours over a store of 10,000 rows.
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
    ::InitCommonControlsEx(&icc);
    HWND list = ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_OVERLAPPEDWINDOW | LVS_REPORT | LVS_OWNERDATA, 0, 0, 300, 200,
                                  nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    const short store = rowstore_Create(list, rowstore_CompareRows);
    const int rows = 10000;
    for (int i = 0; i < rows; ++i) {
        TraceRow* row = rowstore_NewRow(store);
        if (!row) return 1;
        kv::FormatCut(row->time, 32, L"MO 10:%02d:%02d,%02d [%5.5d]", i / 6000 % 60, i / 100 % 60, i % 100, i + 1);
        kv::CopyCut(row->tag, 10, L"INF");
        kv::CopyCut(row->process, 32, L"PLANTCONTROL [4242]");
        kv::CopyCut(row->module, 32, L"ConveyorBeltSup [1234]");
        kv::CopyCut(row->function, 50, func);
        row->text = rowstore_NewText(store, 201);
        if (row->text) wmemcpy(row->text, text, 201);
        rowstore_Add(store, row);
    }

    const int kRounds = 5;
    std::vector<double> checks, bare, textRule, cellRule, gapRule;
    for (int round = 0; round < kRounds; ++round) {
        kv::CopyCut(g_settings.HighlightFilter, kFilterChars, kTenEntries);
        tracewnd_SplitFilters();
        checks.push_back(NanosecondsPer(count, [&](int) {
            int r = tracewnd_CheckInclude(3, func, text, L"INF", 30);
            r += tracewnd_CheckExclude(3, func, text, L"INF", 30);
            r += tracewnd_CheckFilterList(L"PLANTCONTROL [4242]", L"ConveyorBeltSupervisor", func, text, L"INF");
            r += tracewnd_CheckTrigger(3, func, text, L"INF", 30);
            g_sink = r;
        }));
        bare.push_back(NanosecondsPer(count, [&](int) {
            int r = 0;
            for (int pass = 0; pass < 3; ++pass)
                for (const auto& e : entries)
                    for (const wchar_t* t : texts) r += wcsstr(t, e) != nullptr;
            g_sink = r;
        }));
        textRule.push_back(NanosecondsPer(rows, [&](int i) { g_sink = static_cast<int>(tracewnd_GetHighlightColor(store, i)); }));
        // Each cell read from the store and searched for each entry in turn.
        cellRule.push_back(NanosecondsPer(rows, [&](int i) {
            wchar_t cell[256];
            int hit = -1;
            for (int e = 0; e < kSubStrings && hit < 0; ++e)
                for (int column = 0; column < kColumnCount && hit < 0; ++column)
                    if (rowstore_GetColumnText(store, i, column, cell, 256) && wcsstr(cell, entries[e])) hit = e;
            g_sink = hit;
        }));
        kv::CopyCut(g_settings.HighlightFilter, kFilterChars, L"$TD1000");
        tracewnd_SplitFilters();
        gapRule.push_back(NanosecondsPer(rows, [&](int i) { g_sink = static_cast<int>(tracewnd_GetHighlightColor(store, i)); }));
    }

    printf("filter checks per message (exclude, filter list, trigger: 10 entries, all missed), median of %d rounds\n", kRounds);
    printf("  checks:                %8.0f ns/message\n", Median(checks));
    printf("  the searches by wcsstr: %7.0f ns/message\n", Median(bare));
    printf("  ratio checks/wcsstr: %.2f\n", Median(checks) / Median(bare));
    printf("highlight colour per row (%d rows), median of %d rounds\n", rows, kRounds);
    printf("  10 text entries, all missed:          %8.0f ns/row\n", Median(textRule));
    printf("  the same, cell by cell with wcsstr:   %8.0f ns/row\n", Median(cellRule));
    printf("  one time-gap entry:                   %8.0f ns/row\n", Median(gapRule));
    printf("  ratio text entries / cell by cell: %.2f\n", Median(textRule) / Median(cellRule));

    rowstore_Destroy(store);
    ::DestroyWindow(list);
    return 0;
}

// Sub-string tables of the five filter kinds, the message checks and the highlight
// rules over stored rows.
#include "server/filters.h"

#include <string.h>

#include "client/locks.h"
#include "client/region.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/substring.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"

using namespace kv;

namespace {

enum FilterKind { kInclude, kExclude, kFilterList, kHighlight, kTrigger, kKinds };

typedef wchar_t SubStringTable[kSubStrings][kSubStringChars];

// One kind's table as the checks use it: the entries as split, and the same entries
// prepared for searching (for highlight, without the time-gap rules).
struct KindTable {
    SubStringTable entries;
    unsigned gapRules;  // highlight: bit i set when entry i is a time-gap rule
    SubStringSearch search;
};

// The live tables. The window thread rebuilds them while intake on other threads reads
// them, so a rebuild happens aside and is copied in under the exclusive lock; readers
// hold the lock shared only while they copy a table out (the filter tables lock of
// client/locks.h).
KindTable g_tables[kKinds];
RankedSrwLock g_tablesLock{LockRank::kFilterTables};
// The trigger's texts as last published with the tables, under the same lock.
wchar_t g_triggerFilter[kFilterChars];
wchar_t g_triggerExec[MAX_PATH];

class SharedTables {
public:
    SharedTables() noexcept { g_tablesLock.LockShared(); }
    SharedTables(const SharedTables&) = delete;
    SharedTables& operator=(const SharedTables&) = delete;
    ~SharedTables() { g_tablesLock.UnlockShared(); }
};

constexpr size_t kLineMaxChars = 511;    // characters of a settings line that count
constexpr size_t kColumnTextChars = 255; // characters of a cell that highlight searches
constexpr int kNoHit = -1;
const wchar_t kTimeGapMark[] = L"$TD";

const wchar_t* OrEmpty(const wchar_t* s) noexcept { return s ? s : L""; }

void BuildTable(const wchar_t* line, FilterKind kind, KindTable& out) noexcept {
    const int used = tracewnd_SplitSubStrings(line, out.entries);
    const wchar_t* entries[kSubStrings];
    unsigned searched = 0;
    out.gapRules = 0;
    for (int i = 0; i < used; ++i) {
        entries[i] = out.entries[i];
        if (kind == kHighlight && wcsstr(out.entries[i], kTimeGapMark))
            out.gapRules |= 1u << i;
        else
            searched |= 1u << i;
    }
    out.search.Build(entries, used, searched);
}

// Copies one live table's search out; false when the table is empty. Searches then run
// on the copy with no lock held, so that a fault while reading a caller's text (the
// intake runs inside a fault guard) can never leave the tables locked.
bool CopySearch(int kind, SubStringSearch& out) noexcept {
    SharedTables lock;
    if (!g_tables[kind].entries[0][0]) return false;
    out = g_tables[kind].search;
    return true;
}

// Whether an entry of the kind's table occurs in one of the five texts of a message.
bool FindInTexts(int kind, const wchar_t* const (&texts)[5]) noexcept {
    SubStringSearch search;
    if (!CopySearch(kind, search)) return false;
    size_t lengths[5];
    for (int t = 0; t < 5; ++t) lengths[t] = wcslen(texts[t]);
    return search.Find(texts, lengths, 5) != kNoHit;
}

// Matches a message against one table: the slot's process and module names in full,
// then function, text and level tag. The slot is copied first because another process
// may be rewriting it; a handle outside the table has empty names.
bool MatchMessage(FilterKind kind, short handle, const wchar_t* func, const wchar_t* text, const wchar_t* tag) noexcept {
    wchar_t process[kSubStringChars] = {};
    wchar_t module[kSubStringChars] = {};
    if (IsValidHandle(handle)) {
        const TRACEAPP& slot = g_region.apps[handle];
        CopyCut(process, ARRAYSIZE(process), slot.szProcess);
        CopyCut(module, ARRAYSIZE(module), slot.szModule);
    }
    const wchar_t* const texts[5] = {process, module, OrEmpty(func), OrEmpty(text), OrEmpty(tag)};
    return FindInTexts(kind, texts);
}

// The threshold of a time-gap entry: the integer from its fourth character on, leading
// digits after an optional sign, 0 when there are none. Clamped instead of overflowing.
long TimeGapThreshold(const wchar_t* entry) noexcept {
    const wchar_t* p = entry + 3;
    bool negative = false;
    if (*p == L'+' || *p == L'-') negative = *p++ == L'-';
    long long value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        if (value < 0x80000000LL) value = value * 10 + (*p - L'0');
    }
    if (negative) value = -value;
    if (value > 0x7FFFFFFFLL) value = 0x7FFFFFFFLL;
    if (value < -0x7FFFFFFFLL - 1) value = -0x7FFFFFFFLL - 1;
    return static_cast<long>(value);
}

bool TimeGapHits(short store, int row, const wchar_t* time, const wchar_t* entry) noexcept {
    if (row < 1 || wcslen(entry) < 4) return false;
    wchar_t previous[kColumnTextChars + 1];
    if (!rowstore_GetColumnText(store, row - 1, kColTime, previous, ARRAYSIZE(previous))) return false;
    return tracewnd_GetTimeDiffFromStr(previous, time) > TimeGapThreshold(entry);
}

size_t CellLength(const wchar_t* cell, size_t capacity) noexcept {
    const size_t n = wcsnlen(cell, capacity);
    return n < kColumnTextChars ? n : kColumnTextChars;
}

// Index of the first highlight entry that hits the row, or kNoHit. The row is copied
// once; the text rules search its six cells (each cut to 255 characters) in one go, and
// a time-gap rule counts only when it stands before the first text entry that hits.
int HighlightEntry(short store, int row) noexcept {
    KindTable table;
    {
        SharedTables lock;
        if (!g_tables[kHighlight].entries[0][0]) return kNoHit;
        table = g_tables[kHighlight];
    }
    RowCopy copy;
    if (!rowstore_CopyRow(store, row, &copy)) return kNoHit;
    const TraceRow& r = copy.row;
    const wchar_t* const cells[kColumnCount] = {r.time, r.tag, r.process, r.module, r.function, copy.text};
    const size_t lengths[kColumnCount] = {
        CellLength(r.time, ARRAYSIZE(r.time)),           CellLength(r.tag, ARRAYSIZE(r.tag)),
        CellLength(r.process, ARRAYSIZE(r.process)),     CellLength(r.module, ARRAYSIZE(r.module)),
        CellLength(r.function, ARRAYSIZE(r.function)),   CellLength(copy.text, ARRAYSIZE(copy.text))};
    const int textHit = table.search.Find(cells, lengths, kColumnCount);
    const int end = textHit == kNoHit ? kSubStrings : textHit;
    for (int i = 0; i < end; ++i) {
        if ((table.gapRules & (1u << i)) && TimeGapHits(store, row, r.time, table.entries[i])) return i;
    }
    return textHit;
}

}  // namespace

int tracewnd_SplitSubStrings(const wchar_t* line, wchar_t (*table)[kSubStringChars]) {
    for (int i = 0; i < kSubStrings; ++i) table[i][0] = 0;
    if (!line) return 0;
    const size_t length = wcsnlen(line, kLineMaxChars);
    int used = 0;
    size_t start = 0;
    while (start < length && used < kSubStrings) {
        size_t end = start;
        while (end < length && line[end] != L';') ++end;
        if (end > start) {
            const size_t kept = end - start < kSubStringChars - 2 ? end - start : kSubStringChars - 2;
            wmemcpy(table[used], line + start, kept);
            table[used][kept] = 0;
            ++used;
        }
        start = end + 1;
    }
    return used;
}

void tracewnd_SplitFilters() {
    // The settings fields are fixed arrays; a line is never read past its field.
    const wchar_t* const lines[kKinds] = {g_settings.IncludeFilter, g_settings.ExcludeFilter, g_settings.SpecialFilter,
                                          g_settings.HighlightFilter, g_settings.TriggerFilter};
    KindTable built[kKinds];
    for (int kind = 0; kind < kKinds; ++kind) {
        wchar_t line[kFilterChars + 1];
        CopyCut(line, ARRAYSIZE(line), lines[kind]);
        BuildTable(line, static_cast<FilterKind>(kind), built[kind]);
    }
    wchar_t triggerFilter[kFilterChars];
    wchar_t triggerExec[MAX_PATH];
    CopyCut(triggerFilter, kFilterChars, g_settings.TriggerFilter);
    CopyCut(triggerExec, MAX_PATH, g_settings.TriggerExec);
    g_tablesLock.LockExclusive();
    for (int kind = 0; kind < kKinds; ++kind) g_tables[kind] = built[kind];
    memcpy(g_triggerFilter, triggerFilter, sizeof(g_triggerFilter));
    memcpy(g_triggerExec, triggerExec, sizeof(g_triggerExec));
    g_tablesLock.UnlockExclusive();
}

void tracewnd_CopyTriggerTexts(wchar_t (&filter)[kFilterChars], wchar_t (&exec)[MAX_PATH]) {
    SharedTables lock;
    memcpy(filter, g_triggerFilter, sizeof(filter));
    memcpy(exec, g_triggerExec, sizeof(exec));
}

int tracewnd_CheckInclude(short handle, const wchar_t* func, const wchar_t* text, const wchar_t* tag, short level) {
    if (level == -1) return 1;
    {
        SharedTables lock;
        if (!g_tables[kInclude].entries[0][0]) return 1;
    }
    return MatchMessage(kInclude, handle, func, text, tag) ? 1 : 0;
}

int tracewnd_CheckExclude(short handle, const wchar_t* func, const wchar_t* text, const wchar_t* tag, short level) {
    if (level == -1) return 0;
    return MatchMessage(kExclude, handle, func, text, tag) ? 1 : 0;
}

int tracewnd_CheckTrigger(short handle, const wchar_t* func, const wchar_t* text, const wchar_t* tag, short level) {
    if (level == 0 || level == -1) return 0;
    return MatchMessage(kTrigger, handle, func, text, tag) ? 1 : 0;
}

int tracewnd_CheckFilterList(const wchar_t* process, const wchar_t* module, const wchar_t* func, const wchar_t* text,
                             const wchar_t* tag) {
    const wchar_t* const texts[5] = {OrEmpty(process), OrEmpty(module), OrEmpty(func), OrEmpty(text), OrEmpty(tag)};
    return FindInTexts(kFilterList, texts) ? 1 : 0;
}

const wchar_t* tracewnd_FirstFilterListEntry() {
    // Intake only asks whether the entry is set; a rebuild replaces it in place.
    return g_tables[kFilterList].entries[0];
}

int tracewnd_IsHighlighted(int row) {
    return HighlightEntry(Server().mainStore, row) != kNoHit ? 1 : 0;
}

COLORREF tracewnd_GetHighlightColor(short store, int row) {
    const int entry = HighlightEntry(store, row);
    return entry == kNoHit ? kNoHighlight : kHighlightColors[entry % 3];
}

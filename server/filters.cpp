// Sub-string tables of the five filter kinds, the message checks and the highlight
// rules over stored rows.
#include "server/filters.h"

#include <string.h>

#include "client/locks.h"
#include "client/region.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"

using namespace kv;

namespace {

enum FilterKind { kInclude, kExclude, kFilterList, kHighlight, kTrigger, kKinds };

typedef wchar_t SubStringTable[kSubStrings][kSubStringChars];

// The live tables. The window thread rebuilds them while intake on other threads reads
// them, so a rebuild happens aside and is copied in under the exclusive lock; readers
// hold the lock shared only while they copy a table out (the filter tables lock of
// client/locks.h).
SubStringTable g_tables[kKinds];
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
constexpr int kColumnTextChars = 256;    // 255 characters of a cell + terminator
constexpr int kNoHit = -1;
const wchar_t kTimeGapMark[] = L"$TD";

const wchar_t* OrEmpty(const wchar_t* s) noexcept { return s ? s : L""; }

// Copies one live table out; false when it is empty. Searches then run on the copy with
// no lock held, so that a fault while reading a caller's text (the intake runs inside a
// fault guard) can never leave the tables locked.
bool CopyTable(int kind, SubStringTable& out) noexcept {
    SharedTables lock;
    if (!g_tables[kind][0][0]) return false;
    memcpy(out, g_tables[kind], sizeof(out));
    return true;
}

// Index of the first used entry found in one of the texts, or kNoHit. Used entries are
// always the first ones, so the first empty entry ends the table.
int FindEntry(const SubStringTable& table, const wchar_t* const* texts, int textCount) noexcept {
    for (int i = 0; i < kSubStrings && table[i][0]; ++i) {
        for (int t = 0; t < textCount; ++t) {
            if (wcsstr(texts[t], table[i])) return i;
        }
    }
    return kNoHit;
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
    const wchar_t* texts[] = {process, module, OrEmpty(func), OrEmpty(text), OrEmpty(tag)};
    SubStringTable table;
    if (!CopyTable(kind, table)) return false;
    return FindEntry(table, texts, ARRAYSIZE(texts)) != kNoHit;
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

bool TimeGapHits(short store, int row, const wchar_t* entry) noexcept {
    if (row < 1 || wcslen(entry) < 4) return false;
    wchar_t previous[kColumnTextChars];
    wchar_t current[kColumnTextChars];
    if (!rowstore_GetColumnText(store, row - 1, kColTime, previous, kColumnTextChars)) return false;
    if (!rowstore_GetColumnText(store, row, kColTime, current, kColumnTextChars)) return false;
    return tracewnd_GetTimeDiffFromStr(previous, current) > TimeGapThreshold(entry);
}

bool TextHits(short store, int row, const wchar_t* entry) noexcept {
    wchar_t cell[kColumnTextChars];
    for (int column = 0; column < kColumnCount; ++column) {
        if (rowstore_GetColumnText(store, row, column, cell, kColumnTextChars) && wcsstr(cell, entry)) return true;
    }
    return false;
}

// Index of the first highlight entry that hits the row, or kNoHit. Works on a copy of
// the table so that no lock is held while the row store is read.
int HighlightEntry(short store, int row) noexcept {
    SubStringTable table;
    if (!CopyTable(kHighlight, table)) return kNoHit;
    for (int i = 0; i < kSubStrings && table[i][0]; ++i) {
        const bool hit = wcsstr(table[i], kTimeGapMark) ? TimeGapHits(store, row, table[i]) : TextHits(store, row, table[i]);
        if (hit) return i;
    }
    return kNoHit;
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
    SubStringTable built[kKinds];
    for (int kind = 0; kind < kKinds; ++kind) {
        wchar_t line[kFilterChars + 1];
        CopyCut(line, ARRAYSIZE(line), lines[kind]);
        tracewnd_SplitSubStrings(line, built[kind]);
    }
    wchar_t triggerFilter[kFilterChars];
    wchar_t triggerExec[MAX_PATH];
    CopyCut(triggerFilter, kFilterChars, g_settings.TriggerFilter);
    CopyCut(triggerExec, MAX_PATH, g_settings.TriggerExec);
    g_tablesLock.LockExclusive();
    memcpy(g_tables, built, sizeof(g_tables));
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
        if (!g_tables[kInclude][0][0]) return 1;
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
    const wchar_t* texts[] = {OrEmpty(process), OrEmpty(module), OrEmpty(func), OrEmpty(text), OrEmpty(tag)};
    SubStringTable table;
    if (!CopyTable(kFilterList, table)) return 0;
    return FindEntry(table, texts, ARRAYSIZE(texts)) != kNoHit ? 1 : 0;
}

const wchar_t* tracewnd_FirstFilterListEntry() {
    // Intake only asks whether the entry is set; a rebuild replaces it in place.
    return g_tables[kFilterList][0];
}

int tracewnd_IsHighlighted(int row) {
    return HighlightEntry(Server().mainStore, row) != kNoHit ? 1 : 0;
}

COLORREF tracewnd_GetHighlightColor(short store, int row) {
    const int entry = HighlightEntry(store, row);
    return entry == kNoHit ? kNoHighlight : kHighlightColors[entry % 3];
}

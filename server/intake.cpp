// Message intake: filters, numbers and stamps each message, builds its trace row, keeps
// the main list within its limit, copies matches into the filter list, and hands the row
// to the trace file and the trigger.
#include "server/intake.h"

#include "client/faultguard.h"
#include "client/region.h"
#include "server/clock.h"
#include "server/fieldtext.h"
#include "server/filters.h"
#include "server/listselection.h"
#include "server/rowstore.h"
#include "server/serverstate.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"

using namespace kv;

namespace {

volatile LONG g_sequence;  // running number of stored messages; never reset

const wchar_t* const kWeekdays[7] = {L"SU", L"MO", L"TU", L"WE", L"TH", L"FR", L"SA"};

bool MainListAlive() noexcept {
    HWND list = Server().mainList;
    return list && Server().mainStore >= 0 && ::IsWindow(list);
}

uint32_t SwitchBits(const TRACEAPP& slot) noexcept {
    return (slot.EnableDiag ? kLevelSwitchDiag : 0) | (slot.EnableInfo ? kLevelSwitchInfo : 0) |
           (slot.EnableWarning ? kLevelSwitchWarning : 0) | (slot.EnableError ? kLevelSwitchError : 0);
}

void SetItemState(HWND list, int item, UINT state, UINT mask) noexcept {
    LVITEMW lvi = {};
    lvi.stateMask = mask;
    lvi.state = state;
    kv::SendChecked(list, LVM_SETITEMSTATE, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&lvi));
}

void FocusAndSelect(HWND list, int item) noexcept {
    SetItemState(list, item, LVIS_FOCUSED | LVIS_SELECTED, LVIS_FOCUSED | LVIS_SELECTED | LVIS_CUT | LVIS_DROPHILITED);
}

// Drops the first MaxDelete rows of the main list; the view hears of it before it next
// paints or takes input, its top row and selection moving with their rows
// (rowstore_DeleteFirst), and the filter list's copies follow their sources at once.
void TrimMainList() noexcept {
    const int drop = g_settings.MaxDelete;
    rowstore_DeleteFirst(Server().mainStore, 0, drop);
    tracewnd_AdjustFilterList(drop);
}

// What the file writer and the trigger need of a stored row once the list lock is left,
// when another thread may already have trimmed the row away.
struct RowSnapshot {
    TraceRow row;
    wchar_t text[kRowTextMax + 1];

    void Take(const TraceRow& stored) {
        row = stored;
        CopyCut(text, ARRAYSIZE(text), stored.text);
        row.text = text;
    }
};

// The caller's texts, read once: the text cut to the row's limit, the function name to
// the longest a client can send.
struct CallerTexts {
    wchar_t func[kFuncChars];
    wchar_t text[kRowTextMax + 1];
    size_t length;
};

}  // namespace

int tracewnd_AddMessage(int handle, const wchar_t* func, const wchar_t* text, short level) {
    // Through the current message slot: the sender's thread id travels with the message.
    return tracewnd_AddMessageFrom(handle, func, text, level, g_region.curThreadId);
}

int tracewnd_AddMessageFrom(int handle, const wchar_t* func, const wchar_t* text, short level, DWORD threadId) {
    if (handle < 0 || handle >= kAppSlots || !MainListAlive()) return 0;

    // The only reading of the caller's memory, and the only guarded code: a fault ends the
    // message here, before any lock, allocation or window message.
    CallerTexts in;
    if (!RunGuarded([&] {
            CopyCut(in.func, ARRAYSIZE(in.func), func);
            CopyCut(in.text, ARRAYSIZE(in.text), text);
        }))
        return 0;
    in.length = wcslen(in.text);

    const ServerState& st = Server();
    const TRACEAPP& slot = g_region.apps[handle];
    const wchar_t* tag = TraceLevelTag(level);
    if (!tracewnd_CheckInclude(static_cast<short>(handle), in.func, in.text, tag, level)) return 0;
    if (tracewnd_CheckExclude(static_cast<short>(handle), in.func, in.text, tag, level)) return 0;

    RowSnapshot snapshot;
    bool stored = false;
    {
        ListLock lock;
        const unsigned long seq = static_cast<unsigned long>(::InterlockedIncrement(&g_sequence));
        SYSTEMTIME now;
        const bool haveTime = ClockLocalTime(&now);

        TraceRow* row = rowstore_NewRowWithText(st.mainStore, static_cast<int>(in.length + 1));
        if (row) {
            if (haveTime) {
                // "WD hh:mm:ss,cc [nnnnn]": hundredths, the number in at least five digits.
                FieldText(row->time, ARRAYSIZE(row->time))
                    .Text(kWeekdays[now.wDayOfWeek % 7], 2).Char(L' ')
                    .Number(now.wHour, 2).Char(L':').Number(now.wMinute, 2).Char(L':').Number(now.wSecond, 2)
                    .Char(L',').Number(now.wMilliseconds / 10u, 2).Text(L" [", 2).Number(seq, 5).Char(L']');
            } else {
                CopyCut(row->time, ARRAYSIZE(row->time), L"---");
            }
            // The slot's fields are fixed arrays of the shared region: every read of them
            // here is bounded.
            FieldText module(row->module, ARRAYSIZE(row->module));
            if (level == -1)
                module.Text(L"KVS:", 4).Signed(static_cast<long>(g_settings.PCNo));
            else if (handle == 0)
                module.Text(slot.szModule, 31);
            else
                module.Text(slot.szModule, 27).Text(L" [", 2).Number(threadId).Char(L']');
            wchar_t* copy = row->text;
            for (size_t i = 0; i < in.length; ++i) copy[i] = in.text[i] < 32 ? L' ' : in.text[i];
            copy[in.length] = 0;
            row->levelWord = MakeLevelWord(level, SwitchBits(slot));
            CopyCut(row->tag, ARRAYSIZE(row->tag), tag);
            CopyCut(row->process, ARRAYSIZE(row->process), slot.szProcess);
            CopyCut(row->function, ARRAYSIZE(row->function), in.func);
            // Taken before the add: another thread may trim the row away as soon as the
            // lock is left.
            snapshot.Take(*row);
            stored = true;

            const int index = rowstore_Add(st.mainStore, row);
            if (index < 0) {
                rowstore_FreeRow(row);  // not stored; the file and the trigger still see it
            } else {
                if (g_settings.MarkHighlight && tracewnd_IsHighlighted(index)) {
                    rowstore_SetMark(st.mainStore, index, TRUE);
                    snapshot.row.markFlags |= kRowMarked;
                }
                const wchar_t* first = tracewnd_FirstFilterListEntry();
                if (first && first[0]) {
                    // The slot's names in full, as the include and exclude checks see them.
                    wchar_t process[50], moduleName[50];
                    CopyCut(process, ARRAYSIZE(process), slot.szProcess);
                    CopyCut(moduleName, ARRAYSIZE(moduleName), slot.szModule);
                    if (tracewnd_CheckFilterList(process, moduleName, snapshot.row.function, snapshot.row.text,
                                                 snapshot.row.tag))
                        tracewnd_CopyToFilterList(&snapshot.row, rowstore_GetCount(st.mainStore) - 1);
                }
                if (index > g_settings.MaxEntries && g_settings.MaxDelete > 0 &&
                    g_settings.MaxDelete < rowstore_GetCount(st.mainStore))
                    TrimMainList();
            }
        }
    }
    rowstore_ReportAllocFailures();
    if (!stored) return 0;

    tracewnd_WriteFileLine(&snapshot.row);
    if (tracewnd_CheckTrigger(static_cast<short>(handle), snapshot.row.function, snapshot.row.text, snapshot.row.tag, level))
        tracewnd_ExecTrigger();
    return 1;
}

void tracewnd_SetSequenceForTesting(unsigned long last) { g_sequence = static_cast<LONG>(last); }

void tracewnd_CopyToFilterList(const TraceRow* row, int mainIndex) {
    const short store = Server().filterStore;
    if (!row || store < 0) return;
    TraceRow* copy = rowstore_NewRow(store);
    if (!copy) return;
    *copy = *row;
    const size_t len = row->text ? wcslen(row->text) : 0;
    copy->text = rowstore_NewText(store, static_cast<int>(len + 1));
    if (!copy->text) {
        rowstore_FreeRow(copy);
        return;
    }
    if (row->text) wmemcpy(copy->text, row->text, len);
    copy->text[len] = 0;
    copy->sourceIndex = mainIndex;
    if (rowstore_Add(store, copy) < 0) rowstore_FreeRow(copy);
}

void tracewnd_AdjustFilterList(int dropped) {
    const ServerState& st = Server();
    const short store = st.filterStore;
    HWND list = st.filterList;
    int count = rowstore_GetCount(store);
    if (count <= 0) return;
    const int last = count - 1;
    const int sel = list ? FirstSelected(list) : -1;
    if (sel >= 0) SetItemState(list, sel, 0, LVIS_FOCUSED | LVIS_SELECTED);
    int top = last;
    if (!rowstore_GetAutoScroll(store) && list) top = static_cast<int>(kv::SendChecked(list, LVM_GETTOPINDEX, 0, 0));

    int removed = 0, unlinked = 0;
    for (int i = 0; i < count;) {
        const int32_t source = rowstore_GetSourceIndex(store, i);
        if (source >= dropped) {
            rowstore_SetSourceIndex(store, i, source - dropped);
        } else if (count > g_settings.MaxEntries) {
            rowstore_Delete(store, i);
            ++removed;
            --count;
            continue;
        } else if (source > -1) {
            rowstore_SetSourceIndex(store, i, -1);
            ++unlinked;
        }
        ++i;
    }
    if (list) {
        top = top - removed < 0 ? 0 : top - removed;
        kv::SendChecked(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(top), FALSE);
        if (sel >= 0 && sel >= removed) FocusAndSelect(list, sel - removed);
    }
    if (removed == 0 && unlinked == 0) return;
    if (list) ::InvalidateRect(list, nullptr, TRUE);
    rowstore_FlushCount(store);
}

// Message intake and the application registry: messages from this process and from helper processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "client/region.h"
#include "kvtest.h"
#include "serverkit.h"
#include "server/clock.h"
#include "server/filters.h"
#include "server/intake.h"
#include "server/listselection.h"
#include "server/registry.h"
#include "server/rowstore.h"
#include "server/tracefile.h"
#include "settings/serversettings.h"
#include "testserverwindow.h"

#include <commctrl.h>

namespace {

class Intake : public ::testing::Test {
protected:
    void SetUp() override {
        ServerSettings_SetDefaults(g_settings, files_.path().c_str());
        tracewnd_SplitFilters();
        rowstore_SetMessageBox(&kvtest::RecordBox);
        traceapi_SetEnable(1);
        // Every slot but the server entry starts free.
        for (int i = 1; i < kv::kAppSlots; ++i) ZeroMemory(&kv::g_region.apps[i], sizeof(TRACEAPP));
        kv::CopyCut(kv::g_region.apps[0].szModule, 50, L"<ALL [1]>");
        kv::CopyCut(kv::g_region.apps[0].szProcess, 50, L"<TEST [1]>");
    }
    void TearDown() override {
        ZeroMemory(&kv::g_region.apps[0].szModule, sizeof(kv::g_region.apps[0].szModule));
    }
    int Count() const { return rowstore_GetCount(win_.mainStore()); }
    TraceRow* Row(int i) const { return rowstore_Get(win_.mainStore(), i); }
    std::wstring Text(int i) const { TraceRow* r = Row(i); return r && r->text ? r->text : L"<none>"; }
    void SetFilter(wchar_t* field, const wchar_t* value) {
        kv::CopyCut(field, kFilterChars, value);
        tracewnd_SplitFilters();
    }
    static unsigned long SeqOf(const TraceRow* r) {
        const wchar_t* open = wcschr(r->time, L'[');
        return open ? wcstoul(open + 1, nullptr, 10) : 0;
    }
    kvtest::TempDir files_;
    kvtest::TestServerWindow win_;
};

// The server entry shows its module name, operator lines name the PC.
TEST_F(Intake, RowColumnsForEveryKindOfSenderAndTheDirectPath) {
    SYSTEMTIME monday = {2007, 3, 1, 12, 10, 20, 30, 456};  // Monday 12 March 2007
    kv::ClockSetForTesting(&monday);
    g_settings.PCNo = 3;
    kvtest::Registered h(std::wstring(40, L'm').c_str());
    TRACEAPP& slot = kv::g_region.apps[h];
    kv::CopyCut(slot.szProcess, 50, std::wstring(45, L'P').c_str());
    slot.EnableDiag = slot.EnableInfo = slot.EnableWarning = slot.EnableError = 1;
    kv::g_region.curThreadId = 123456789;
    const int before = Count();
    const unsigned long seq = SeqOf(Row(before - 1)) + 1;
    EXPECT_EQ(tracewnd_AddMessage(h, std::wstring(60, L'f').c_str(), L"tab\there\r\nend\nlf\rcr", 20), 1);
    EXPECT_EQ(tracewnd_AddMessage(0, L"server", L"server line", 0), 1);
    EXPECT_EQ(tracewnd_AddMessage(h, L"op", L"operator", -1), 1);
    EXPECT_EQ(tracewnd_AddMessage(h, L"odd", L"odd level", 15), 1);
    EXPECT_EQ(tracewnd_AddMessage(512, L"f", L"bad handle", 30), 0);
    EXPECT_EQ(tracewnd_AddMessage(-1, L"f", L"bad handle", 30), 0);
    const std::wstring process(31, L'P'), module = std::wstring(27, L'm') + L" [12";
    const std::wstring rows[] = {L"WRN|" + process + L"|" + module + L"|" + std::wstring(49, L'f') + L"|tab here  end lf cr",
                                 L"SVR|<TEST [1]>|<ALL [1]>|server|server line", L"OPR|" + process + L"|KVS:3|op|operator",
                                 L"|" + process + L"|" + module + L"|odd|odd level"};
    ASSERT_EQ(Count(), before + 4);
    std::vector<std::wstring> expected, shown;  // every column as the list shows it, "|" between
    std::vector<uint32_t> levels;
    for (const std::wstring& row : rows) {
        const int i = before + static_cast<int>(shown.size());
        wchar_t time[32], cell[kRowTextMax + 1];
        swprintf(time, 32, L"MO 10:20:30,45 [%05lu]|", seq + expected.size());
        expected.push_back(time + row);
        levels.push_back(Row(i)->levelWord & 0xFFFF);
        shown.emplace_back();
        for (int c = 0; c < kColumnCount; ++c) {
            rowstore_GetColumnText(win_.mainStore(), i, c, cell, kRowTextMax + 1);
            shown.back() += (c ? L"|" : L"") + std::wstring(cell);
        }
    }
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(levels, (std::vector<uint32_t>{20, 0, 0xFFFF, 15}));
    EXPECT_EQ(std::make_tuple(Row(before)->levelWord, Row(before)->markFlags, Row(before)->sourceIndex),
              std::make_tuple(20u + 15u * 65536u, 0u, 0));
    // Direct rows name their thread, not whatever thread id another process left in the message slot.
    kvtest::Registered direct(L"Direct");
    const int first = Count();
    traceapi_Output1(direct, 30, L"direct", L"value %d", 42);
    ASSERT_EQ(Count(), first + 1) << "stored before the call returned";
    EXPECT_EQ(Text(first) + L"|" + Row(first)->function, L"value 42|direct");
    SetFilter(g_settings.SpecialFilter, L"xxx");  // the filter list's copies are as long as their rows
    DWORD emitter = 0;
    std::thread([&] {
        emitter = ::GetCurrentThreadId();
        for (size_t n : {kRowTextMax - 1, kRowTextMax, kRowTextMax + 1})
            traceapi_Output(direct, 30, L"f", std::wstring(n, L'x').c_str());
    }).join();
    ASSERT_EQ(Count(), first + 4);
    EXPECT_EQ(std::wstring(Row(first + 1)->module), L"Direct [" + std::to_wstring(emitter) + L"]");
    for (int i : {1, 2, 3}) {
        EXPECT_EQ(Text(first + i).size(), std::min<size_t>(kRowTextMax - 2 + i, kRowTextMax)) << i;
        EXPECT_EQ(wcslen(rowstore_Get(win_.filterStore(), i - 1)->text), Text(first + i).size()) << i;
    }
    tracewnd_SetSequenceForTesting(0x7FFFFFFFul);
    traceapi_Output(direct, 30, L"f", L"numbered");
    EXPECT_NE(wcsstr(Row(first + 4)->time, L"[2147483648]"), nullptr) << kvtest::Narrow(Row(first + 4)->time);
}

// An unreadable text must leave the filter tables free: the next rebuild on this thread would hang.
TEST_F(Intake, FilteredFailedAndUnreadableMessagesNumberWithoutGaps) {
    kvtest::Registered h(L"Numbers");
    const wchar_t* bad = reinterpret_cast<const wchar_t*>(static_cast<ULONG_PTR>(0x10));
    EXPECT_EQ(tracewnd_AddMessage(h, L"f", bad, 30), 0);
    SetFilter(g_settings.IncludeFilter, L"keep");
    SetFilter(g_settings.ExcludeFilter, L"drop");
    const int before = Count();
    for (auto [text, level, stored] : {std::tuple{L"keep 1", 30, 1}, {L"other", 30, 0}, {L"keep but drop", 30, 0},
                                        {L"operator passes", -1, 1}, {bad, 30, 0}})
        EXPECT_EQ(tracewnd_AddMessage(h, L"f", text, level), stored) << kvtest::Narrow(text == bad ? L"bad" : text);
    for (unsigned failure : {kRowStoreFailRow, kRowStoreFailText}) {
        rowstore_SetAllocFailuresForTesting(failure);
        EXPECT_EQ(tracewnd_AddMessage(h, L"f", L"keep lost", 30), 0);
        rowstore_SetAllocFailuresForTesting(0);
    }
    EXPECT_EQ(tracewnd_AddMessage(h, L"f", L"keep 2", 30), 1);
    ASSERT_EQ(Count(), before + 3);
    EXPECT_EQ(SeqOf(Row(before + 1)), SeqOf(Row(before)) + 1);
    EXPECT_EQ(SeqOf(Row(before + 2)), SeqOf(Row(before)) + 4) << "each failed message used its number";
    kvtest::PumpUntil([] { return !rowstore_AllocBoxBusyForTesting(); });  // shown while the stand-in box is set
    SetFilter(g_settings.IncludeFilter, L"");
}

// An elevated or service client may not be opened and still runs.
TEST(EndedProcess, OnlyAMissingOrExitedProcessHasEnded) {
    const struct { DWORD version, versionError, openError; bool exited, ended; } cases[] = {
        {0x0A0000, 0, ERROR_SUCCESS, false, false},
        {0, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER, false, true},
        {0, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, false, false},
        {0, ERROR_ACCESS_DENIED, ERROR_SUCCESS, false, false},
        {0, ERROR_PARTIAL_COPY, ERROR_SUCCESS, true, true},
        {0, ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER, false, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tracewnd_ProcessEnded(c.version, c.versionError, c.openError, c.exited), c.ended) << &c - cases;
}

// The filter list sheds unlinked copies once over the limit.
TEST_F(Intake, TrimmingKeepsSelectionAndCopiesOnTheirRows) {
    g_settings.MaxEntries = 10;
    g_settings.MaxDelete = 3;
    SetFilter(g_settings.SpecialFilter, L"copy");
    kvtest::Registered h(L"Trim");
    rowstore_Clear(win_.mainStore());
    const short fs = win_.filterStore();
    rowstore_Clear(fs);
    for (int i = 0; i < 11; ++i)
        tracewnd_AddMessage(h, L"f", ((i % 2 ? L"copy " : L"main ") + std::to_wstring(i)).c_str(), 30);
    // Each copy as (its source row, its text); a copy's source row must hold its text.
    auto copies = [&] {
        std::vector<std::pair<int, std::wstring>> out;
        for (int i = 0; i < rowstore_GetCount(fs); ++i) {
            out.emplace_back(rowstore_GetSourceIndex(fs, i), rowstore_Get(fs, i)->text);
            if (out.back().first >= 0) { EXPECT_EQ(Text(out.back().first), out.back().second) << "copy " << i; }
        }
        return out;
    };
    using Copies = std::vector<std::pair<int, std::wstring>>;
    ASSERT_EQ(Count(), 11) << "MaxEntries + 1 rows are kept";
    EXPECT_EQ(copies(), (Copies{{1, L"copy 1"}, {3, L"copy 3"}, {5, L"copy 5"}, {7, L"copy 7"}, {9, L"copy 9"}}));
    EXPECT_NE(rowstore_Get(fs, 0)->text, Row(1)->text) << "copies own their texts";
    rowstore_FlushCount(win_.mainStore());
    LVITEMW sel = {};
    sel.stateMask = sel.state = LVIS_SELECTED | LVIS_FOCUSED;
    ::SendMessageW(win_.mainList(), LVM_SETITEMSTATE, 5, reinterpret_cast<LPARAM>(&sel));
    tracewnd_AddMessage(h, L"f", L"main 11", 30);  // drops main rows 0..2
    ASSERT_EQ(Count(), 9);
    EXPECT_EQ(Text(0) + L"/" + Text(8), L"copy 3/main 11") << "the first and the last row";
    kvtest::PumpPending();  // the view hears before it paints
    EXPECT_EQ(::SendMessageW(win_.mainList(), LVM_GETITEMCOUNT, 0, 0), 9);
    EXPECT_EQ(::SendMessageW(win_.mainList(), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 2)
        << "the selection moved with its row";
    EXPECT_EQ(copies(), (Copies{{-1, L"copy 1"}, {0, L"copy 3"}, {2, L"copy 5"}, {4, L"copy 7"}, {6, L"copy 9"}}))
        << "a copy whose source was dropped keeps its text";
    for (int i = 12; i < 40; ++i) tracewnd_AddMessage(h, L"f", (L"copy " + std::to_wstring(i)).c_str(), 30);
    EXPECT_LE(copies().size(), 11u);
    // No trimming when nothing could be dropped.
    g_settings.MaxDelete = 0;
    const int kept = Count();
    for (int i = 0; i < 5; ++i) tracewnd_AddMessage(h, L"f", L"grow", 30);
    EXPECT_EQ(Count(), kept + 5);
    g_settings.MaxDelete = 50;
    tracewnd_AddMessage(h, L"f", L"grow", 30);
    EXPECT_EQ(Count(), kept + 6);
}

TEST_F(Intake, ApplicationListSortsMovesItsSelectionAndLosesEndedProcesses) {
    tracewnd_RefillApplications();  // the server entry
    ASSERT_EQ(win_.AppEntries().size(), 1u);
    EXPECT_EQ(win_.AppEntries()[0], L"<TEST [1]> - <ALL [1]>");
    EXPECT_EQ(win_.SelectedApp(), 0);
    short b = traceapi_Register(L"bravo", nullptr, 0);
    short c = traceapi_Register(L"charlie", nullptr, 0);
    short d = traceapi_Register(L"delta", nullptr, 0);
    auto entries = win_.AppEntries();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_NE(entries[1].find(L" - BRAVO"), std::wstring::npos) << "upper-cased: " << kvtest::Narrow(entries[1]);
    EXPECT_EQ(win_.SelectedApp(), 0) << "entries sorting below leave the selection";
    // Remove the selected entry at index 3: index 2 becomes selected.
    ::SendMessageW(win_.appList(), CB_SETCURSEL, 3, 0);
    traceapi_Unregister(d, 0);
    EXPECT_EQ(win_.SelectedApp(), 2);
    EXPECT_EQ(win_.selectedHandle, c) << "the window takes the selected handle";
    EXPECT_NE(Text(Count() - 1).find(L"Module 'delta' unregistered - Handle: "), std::wstring::npos);
    // With tracing off the list still follows, without a line.
    traceapi_SetEnable(0);
    const int rows = Count();
    traceapi_Unregister(c, 0);
    EXPECT_EQ(win_.AppEntries().size(), 2u);
    EXPECT_EQ(Count(), rows);
    traceapi_SetEnable(1);
    // Removing entry 0 selects the new entry 0.
    ::SendMessageW(win_.appList(), CB_SETCURSEL, 0, 0);
    tracewnd_RemoveApplication(0);
    EXPECT_EQ(win_.SelectedApp(), 0);
    EXPECT_NE(win_.AppEntries()[0].find(L"BRAVO"), std::wstring::npos);
    traceapi_Unregister(b, 0);
    EXPECT_EQ(tracewnd_AddApplication(512), 0);
    // A slot whose process is gone is freed by the check, its entry leaves the list, and a line says why.
    const short h = traceapi_Register(L"Orphan", nullptr, 0);
    kv::g_region.apps[h].dwProcessId = 0x7FFFFFF0;  // no such process
    const std::wstring process = kv::g_region.apps[h].szProcess;
    ASSERT_EQ(win_.AppEntries().size(), 1u);
    tracewnd_CheckApplications();
    EXPECT_EQ(std::make_tuple(kv::g_region.apps[h].szModule[0], kv::g_region.apps[h].dwProcessId, win_.AppEntries().size()),
              std::make_tuple(L'\0', 0ul, size_t(0)));
    EXPECT_EQ(Text(Count() - 2), L"Process '" + process + L"', Module 'Orphan' not found (LastError:87) - remove from list ")
        << "before the line of the unregistration";
}

// The selection, the filter list's trim and the application list send to the window's
// thread: from another thread, under a lock no send may be held across, that is reported.
TEST_F(Intake, SendsToTheWindowThreadFromEachPathAreChecked) {
    SetFilter(g_settings.SpecialFilter, L"copy");
    tracewnd_AddMessage(0, L"f", L"copy", 0);  // a filter list row for the trim
    void (*const paths[])() = {[] { kv::ClearSelection(kv::Server().mainList); }, [] { tracewnd_AdjustFilterList(0); },
                               [] { tracewnd_RefillApplications(); }};
    for (int i = 0; i < 3; ++i) {
        const std::string reports = kvtest::LockReportsUnderTriggerLock(paths[i]);
        EXPECT_TRUE(!kvtest::kLockCheckBuilt || reports.find(kvtest::kSendUnderTriggerLock) != std::string::npos) << i;
    }
}

TEST_F(Intake, SettingsLinesAndThePercentSign) {
    kvtest::Registered h(L"100% sure");
    const int before = Count();
    tracewnd_ShowAllSettings();
    ASSERT_GE(Count(), before + 3);
    EXPECT_EQ(Text(before).rfind(L"Global settings 1: AutoStart=0, AutoStop=0, TopMost=0, MaxLines=10000, MaxDelete=100, FileDir='", 0), 0u);
    EXPECT_EQ(Text(before + 1).rfind(L"Global settings 2: IncludeFilter='', ExcludeFilter='', SpecialFilter='', Highlight='' (Mark=0), Trigger='' (Flags:0x0, Exec:'')", 0), 0u);
    bool serverLine = false, formatError = false;
    for (int i = before + 2; i < Count(); ++i) {
        serverLine |= Text(i).rfind(L"Process '<TEST [1]>', Module '<ALL [1]>', Path '", 0) == 0;
        formatError |= Text(i) == L"***** !!! ERROR in message format string !!! *****" && (Row(i)->levelWord & 0xFFFF) == 0;
    }
    EXPECT_TRUE(serverLine) << "the server entry is listed";
    EXPECT_TRUE(formatError) << "a name with a percent sign fails the format check";
}

}  // namespace

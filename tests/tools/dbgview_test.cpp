// The debug viewer and the debug-viewer hook, with real processes: writers (this
// executable as a helper) emit debug output, DbgView.exe captures it, and the hook
// installed from this process traces the viewer's lines into a recording window of this
// process named as the server window.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <string>
#include <vector>

#include "client/traceapi.h"
#include "kvtest.h"
#include "tools/dbgview/viewerwindow.h"

namespace {

using kvtest::Received;

const wchar_t kHookFunc[] = L"DbgViewHookProc";

char* RegionBase() { return reinterpret_cast<char*>(traceapi_GetTraceApp(0)) - 2216; }
short CurrentHandleField() { return *reinterpret_cast<short*>(RegionBase() + 8); }
wchar_t* ProfileField() { return reinterpret_cast<wchar_t*>(RegionBase() + 2216 + 512 * 844); }
const kvtest::Accessors kDllAccessors = {
    traceapi_GetCurTrcTxt, traceapi_GetCurFuncName, traceapi_GetCurThreadID, traceapi_GetTraceApp, CurrentHandleField};

// A token of this run, so that debug output of other programs (or of an earlier process
// with the same id) never counts as ours.
std::wstring Token() {
    return L"dv" + std::to_wstring(::GetCurrentProcessId()) + L"." + std::to_wstring(::GetTickCount64()) + L" ";
}

// ---- helper processes -----------------------------------------------------------------

// Writes each argument as one debug string; "|" stands for a line break.
KVTEST_HELPER(writer) {
    for (std::wstring text : args) {
        for (auto& c : text)
            if (c == L'|') c = L'\n';
        ::OutputDebugStringW(text.c_str());
    }
    return 0;
}

// Sets a text as sub-item 2 of list views that are not the viewer's: one in a window of
// this process, one a grandchild of the viewer's main window (args[0]); then sets no
// text at all into a direct child of the viewer.
KVTEST_HELPER(foreign_lists) {
    HWND viewer = reinterpret_cast<HWND>(static_cast<INT_PTR>(std::stoll(args[0])));
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
    ::InitCommonControlsEx(&icc);
    HWND own = ::CreateWindowExW(0, L"STATIC", L"own", WS_OVERLAPPEDWINDOW, 0, 0, 200, 200, nullptr, nullptr, nullptr, nullptr);
    HWND middle = ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 100, 100, viewer, nullptr, nullptr, nullptr);
    if (!own || !middle) return 1;
    for (HWND parent : {own, middle}) {
        HWND list = ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | LVS_REPORT, 0, 0, 100, 100, parent, nullptr, nullptr, nullptr);
        LVCOLUMNW col = {};
        for (int i = 0; i < 3; ++i) ::SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&col));
        LVITEMW item = {};
        ::SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        wchar_t text[] = L"foreign line";
        item.iSubItem = 2;
        item.pszText = text;
        ::SendMessageW(list, LVM_SETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&item));
    }
    // A direct child of the viewer given no record, and a text to be asked for later: the
    // hook must not fault in this process.
    HWND direct = ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | LVS_REPORT, 0, 0, 100, 100, viewer, nullptr, nullptr, nullptr);
    ::SendMessageW(direct, LVM_SETITEMTEXTW, 0, 0);
    LVITEMW callback = {};
    callback.iSubItem = 2;
    callback.pszText = LPSTR_TEXTCALLBACKW;
    ::SendMessageW(direct, LVM_SETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&callback));
    ::DestroyWindow(direct);
    ::DestroyWindow(middle);
    ::DestroyWindow(own);
    return 0;
}

// ---- fixture ------------------------------------------------------------------------------

HWND FindViewer() { return ::FindWindowW(dbgview::kViewerClass, nullptr); }

// The viewer's window, once the viewer reads the debug-output channel: writers skip
// their output while no reader has made the channel's buffer.
HWND WaitForViewer() {
    HWND viewer = nullptr;
    kvtest::PumpUntil([&] {
        HANDLE buffer = ::OpenFileMappingW(FILE_MAP_READ, FALSE, L"DBWIN_BUFFER");
        if (buffer) ::CloseHandle(buffer);
        return buffer && (viewer = FindViewer()) != nullptr;
    }, 30000);
    return viewer;
}

int ListCount(HWND viewer) {
    HWND list = ::FindWindowExW(viewer, nullptr, WC_LISTVIEWW, nullptr);
    return static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

DWORD Write(const std::vector<std::wstring>& texts) {
    HANDLE p = kvtest::StartHelper(L"writer", texts);
    DWORD pid = ::GetProcessId(p);
    EXPECT_TRUE(kvtest::WaitPumping(p).finished);
    return pid;
}

class DbgViewChain : public ::testing::Test {
protected:
    void SetUp() override {
        win_ = std::make_unique<kvtest::RecordingWindow>(kDllAccessors);
        ASSERT_NE(win_->hwnd(), nullptr);
        traceapi_SetTraceWindow(win_->hwnd(), TRUE);
        traceapi_SetEnable(1);
        // Every process the hook loads the library into reads the server entry's switches
        // on load: a profile of the test's own keeps them where the test wants them.
        WriteProfile(L"Global", L"Mode", L"0");
        WriteProfile(L"DBGVIEW_DBGVIEW", L"EnableInfo", L"1");
        SetServerInfo(false);
        wcscpy(ProfileField(), profile_.c_str());
    }
    void TearDown() override {
        traceapi_UninstallDbgViewHook();
        if (HWND viewer = FindViewer()) ::PostMessageW(viewer, WM_CLOSE, 0, 0);
        EXPECT_TRUE(kvtest::PumpUntil([] { return !FindViewer(); }, 30000));
        ProfileField()[0] = 0;
        traceapi_SetTraceWindow(nullptr, TRUE);
        win_.reset();
    }

    void WriteProfile(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
        ::WritePrivateProfileStringW(section, key, value, profile_.c_str());
    }
    void SetServerInfo(bool on) {
        WriteProfile(L"RivivEda", L"EnableInfo", on ? L"1" : L"0");
        traceapi_SetEnableInf(0, on);
    }

    // The library's own lines (server entry, functions of the hook), as "level text".
    std::vector<std::wstring> ServerLines() const {
        std::vector<std::wstring> out;
        for (const Received& r : win_->OfKind(WM_TRACE_OUTPUT))
            if (static_cast<short>(r.wParam) == 0 && r.func.rfind(L"traceapi_", 0) == 0)
                out.push_back(std::to_wstring(static_cast<short>(r.lParam)) + L" " + r.text);
        return out;
    }
    // Rows the hook emitted.
    std::vector<Received> HookRows() const {
        std::vector<Received> out;
        for (const Received& r : win_->OfKind(WM_TRACE_OUTPUT))
            if (r.func == kHookFunc) out.push_back(r);
        return out;
    }
    // Texts of the hook's rows that carry this run's token, without it.
    std::vector<std::wstring> OurLines() const {
        std::vector<std::wstring> out;
        for (const Received& r : HookRows())
            if (r.text.rfind(token_, 0) == 0) out.push_back(r.text.substr(token_.size()));
        return out;
    }
    bool WaitForLine(const std::wstring& line) {
        return kvtest::PumpUntil([&] {
            for (const auto& l : OurLines())
                if (l == line) return true;
            return false;
        }, 60000);
    }
    short ViewerHandle() const {
        for (const Received& r : win_->OfKind(WM_TRACE_REGISTER))
            if (r.module == L"DBGVIEW") return static_cast<short>(r.wParam);
        return 0;
    }

    std::unique_ptr<kvtest::RecordingWindow> win_;
    kvtest::TempDir dir_;
    std::wstring profile_ = dir_.file(L"dbgview.pfl");
    std::wstring token_ = Token();
};

TEST_F(DbgViewChain, TheHiddenViewersLinesArriveInOrderAndNothingElse) {
    traceapi_InstallDbgViewHook();
    HWND viewer = WaitForViewer();
    ASSERT_NE(viewer, nullptr) << "the viewer was started";
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ViewerHandle() > 0; }, 30000)) << "the viewer registered as DBGVIEW";
    const short handle = ViewerHandle();
    EXPECT_FALSE(::IsWindowVisible(viewer));
    traceapi_InstallDbgViewHook();
    EXPECT_EQ(ServerLines(), (std::vector<std::wstring>{
                                 L"0 DbgView found at: '" + kvtest::ExeDir() + L"\\DbgView.exe'",
                                 L"-1 ***** DbgViewHookProc INSTALLED *****",
                                 L"-1 ***** DbgView.exe STARTED *****",
                                 L"-1 ***** DbgViewHookProc already INSTALLED *****",
                             }));

    // Sub-item 2 of lists that are not the viewer's direct children: not traced. The
    // helper survives records without a text.
    // (The helper never saw the viewer created: what it traced would go out under the
    // server entry, whose info switch is on meanwhile.)
    SetServerInfo(true);
    EXPECT_EQ(kvtest::RunHelper(L"foreign_lists", {std::to_wstring(reinterpret_cast<INT_PTR>(viewer))}).exitCode, 0u);
    SetServerInfo(false);

    std::vector<std::wstring> written, expected;
    for (int i = 1; i <= 40; ++i) expected.push_back(L"line " + std::to_wstring(i));
    expected.insert(expected.end(), {L"100% done", L"%d and %s stay as written", L"two", L"lines", L"last"});
    for (const auto& e : expected)
        if (e != L"lines") written.push_back(token_ + (e == L"two" ? L"two|" + token_ + L"lines|" : e));
    const DWORD writerPid = Write(written);
    ASSERT_TRUE(WaitForLine(L"last"));
    EXPECT_EQ(OurLines(), expected) << "in order, as written, one row per line";
    for (const Received& r : HookRows()) {
        EXPECT_EQ(static_cast<short>(r.wParam), handle) << kvtest::Narrow(r.text);
        EXPECT_EQ(static_cast<short>(r.lParam), 30) << kvtest::Narrow(r.text);
        EXPECT_NE(r.text, std::to_wstring(writerPid)) << "the process id column is not traced";
        EXPECT_FALSE(r.text.size() == 12 && r.text[2] == L':' && r.text[8] == L'.') << "the time column is not traced";
        EXPECT_EQ(r.text.find(L"foreign"), std::wstring::npos);
    }

    win_->Clear();
    traceapi_UninstallDbgViewHook();
    EXPECT_EQ(ServerLines(), (std::vector<std::wstring>{L"-1 ***** DbgView.exe STOPPED *****",
                                                        L"-1 ***** DbgViewHookProc UNINSTALLED *****"}));
    EXPECT_TRUE(kvtest::PumpUntil([] { return !FindViewer(); })) << "the uninstall closed the viewer";
    const auto gone = win_->OfKind(WM_TRACE_UNREGISTER);
    ASSERT_EQ(gone.size(), 1u) << "the viewer's application ended with its window";
    EXPECT_EQ(static_cast<short>(gone[0].wParam), handle);
}

TEST_F(DbgViewChain, AViewerStartedBeforeTheHookGoesOutUnderTheServerEntry) {
    SetServerInfo(true);
    HANDLE byHand = kvtest::Start(kvtest::Quote(kvtest::ExeDir() + L"\\DbgView.exe"));
    HWND viewer = WaitForViewer();
    ASSERT_NE(viewer, nullptr);

    // Nothing installed: the uninstall says so and leaves the viewer alone.
    traceapi_UninstallDbgViewHook();
    EXPECT_EQ(ServerLines(), (std::vector<std::wstring>{L"-1 ***** DbgView.exe NOT running *****",
                                                        L"-1 ***** DbgViewHookProc NOT installed *****"}));
    EXPECT_TRUE(::IsWindow(viewer));

    // The hook misses the viewer's creation: its lines go out with the server entry's
    // handle, gated by the server entry's info switch. The second viewer the install
    // starts gives way to the running one.
    traceapi_InstallDbgViewHook();
    Write({token_ + L"seen 1"});
    ASSERT_TRUE(WaitForLine(L"seen 1"));
    SetServerInfo(false);
    const int shown = ListCount(viewer);
    Write({token_ + L"gated"});
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ListCount(viewer) > shown; }, 30000));
    DWORD_PTR ignored;
    ::SendMessageTimeoutW(viewer, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &ignored);  // its batch is done
    SetServerInfo(true);
    Write({token_ + L"seen 2"});
    ASSERT_TRUE(WaitForLine(L"seen 2"));
    EXPECT_EQ(OurLines(), (std::vector<std::wstring>{L"seen 1", L"seen 2"}));
    for (const Received& r : HookRows()) EXPECT_EQ(static_cast<short>(r.wParam), 0);
    EXPECT_EQ(ViewerHandle(), 0) << "no registration";
    EXPECT_EQ(::FindWindowExW(nullptr, viewer, dbgview::kViewerClass, nullptr), nullptr) << "one viewer";

    traceapi_UninstallDbgViewHook();
    EXPECT_TRUE(kvtest::WaitPumping(byHand, 30000).finished) << "the hook had found the viewer: the uninstall closed it";
}

// Started by hand the viewer is a program of its own: a line limit, select all and copy,
// clear, auto-scroll.
TEST(DbgViewByHand, LimitCopyClearAndAutoScroll) {
    const std::wstring token = Token();
    HANDLE process = kvtest::Start(kvtest::Quote(kvtest::ExeDir() + L"\\DbgView.exe") + L" /limit 40");
    HWND viewer = WaitForViewer();
    ASSERT_NE(viewer, nullptr);
    HWND list = ::FindWindowExW(viewer, nullptr, WC_LISTVIEWW, nullptr);
    auto command = [&](int id) { ::SendMessageW(viewer, WM_COMMAND, id, 0); };
    if (::OpenClipboard(nullptr)) {
        ::EmptyClipboard();
        ::CloseClipboard();
    }
    auto copied = [&] {
        command(dbgview::IDM_SELECTALL);
        command(dbgview::IDM_COPY);
        std::wstring text;
        if (::OpenClipboard(nullptr)) {
            if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
                if (auto* p = static_cast<const wchar_t*>(::GlobalLock(data))) text = p;
                ::GlobalUnlock(data);
            }
            ::CloseClipboard();
        }
        return text;
    };

    std::vector<std::wstring> lines;
    for (int i = 1; i <= 60; ++i) lines.push_back(token + std::to_wstring(i));
    const DWORD writer = Write(lines);
    std::wstring text;
    ASSERT_TRUE(kvtest::PumpUntil([&] { return (text = copied()).find(token + L"60\r\n") != std::wstring::npos; }, 30000));
    EXPECT_EQ(ListCount(viewer), 40) << "the oldest rows went";
    // Rows: number, time, process id, text.
    std::vector<std::wstring> rows;
    for (size_t at = 0, nl; (nl = text.find(L"\r\n", at)) != std::wstring::npos; at = nl + 2) rows.push_back(text.substr(at, nl - at));
    ASSERT_EQ(rows.size(), 40u);
    const std::wstring last = rows.back();
    EXPECT_EQ(last.substr(last.find(L'\t', last.find(L'\t') + 1) + 1), std::to_wstring(writer) + L"\t" + token + L"60");
    EXPECT_EQ(rows.front().substr(rows.front().rfind(L'\t') + 1), token + L"21");
    EXPECT_GT(::SendMessageW(list, LVM_GETTOPINDEX, 0, 0), 0) << "scrolled to the newest row";

    command(dbgview::IDM_CLEAR);
    EXPECT_EQ(ListCount(viewer), 0);
    command(dbgview::IDM_AUTOSCROLL);
    Write(std::vector<std::wstring>(40, token + L"again"));
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ListCount(viewer) == 40; }, 30000));
    EXPECT_EQ(::SendMessageW(list, LVM_GETTOPINDEX, 0, 0), 0) << "auto-scroll off";

    ::PostMessageW(viewer, WM_CLOSE, 0, 0);
    EXPECT_TRUE(kvtest::WaitPumping(process, 30000).finished);
}

}  // namespace

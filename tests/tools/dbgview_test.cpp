// DbgView.exe and the debug-viewer hook with writers as real processes, a recording window as the server's.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "client/errortext.h"
#include "client/owners.h"
#include "client/traceapi.h"
#include "kvtest.h"
#include "tools/dbgview/viewerwindow.h"

namespace {

using kvtest::Received;
using Lines = std::vector<std::wstring>;

char* RegionBase() { return reinterpret_cast<char*>(traceapi_GetTraceApp(0)) - 2216; }
short CurrentHandleField() { return *reinterpret_cast<short*>(RegionBase() + 8); }
wchar_t* ProfileField() { return reinterpret_cast<wchar_t*>(RegionBase() + 2216 + 512 * 844); }
const kvtest::Accessors kDllAccessors = {
    traceapi_GetCurTrcTxt, traceapi_GetCurFuncName, traceapi_GetCurThreadID, traceapi_GetTraceApp, CurrentHandleField};

// Writes each argument as one debug string; "|" stands for a line feed, "^" for a carriage return.
KVTEST_HELPER(writer) {
    for (std::wstring text : args) {
        std::replace(text.begin(), text.end(), L'|', L'\n');
        std::replace(text.begin(), text.end(), L'^', L'\r');
        ::OutputDebugStringW(text.c_str());
    }
    return 0;
}

// args[1] lines of 200 characters, twenty to a string (the channel's cost is per string).
KVTEST_HELPER(flood) {
    std::wstring text;
    for (long n = 0, total = std::stol(args[1]); n < total; ++n) {
        const std::wstring line = args[0] + L" " + std::to_wstring(n) + L" ";
        text += line + std::wstring(200 - line.size(), L'.') + L"\n";
        if (n + 1 == total || n % 20 == 19) ::OutputDebugStringW(text.c_str()), text.clear();
    }
    return 0;
}

// Not the hook's: sub-item 2 set on windows not the viewer's direct children; a direct child's call without a record or text.
void SetForeignTexts(HWND viewer) {
    auto create = [](HWND parent) {
        return ::CreateWindowExW(0, L"STATIC", L"", parent ? WS_CHILD : WS_OVERLAPPEDWINDOW, 0, 0, 9, 9, parent, nullptr, nullptr, nullptr);
    };
    HWND own = create(nullptr), middle = create(viewer), direct = create(viewer);
    wchar_t text[] = L"foreign line";
    LVITEMW line = {0, 0, 2, 0, 0, text}, callback = {0, 0, 2, 0, 0, LPSTR_TEXTCALLBACKW};
    for (HWND list : {create(own), create(middle)}) ::SendMessageW(list, LVM_SETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&line));
    ::SendMessageW(direct, LVM_SETITEMTEXTW, 0, 0);
    ::SendMessageW(direct, LVM_SETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&callback));
    for (HWND w : {direct, middle, own}) ::DestroyWindow(w);
}

HWND FindViewer() { return ::FindWindowW(dbgview::kViewerClass, nullptr); }
HWND List(HWND viewer) { return ::FindWindowExW(viewer, nullptr, WC_LISTVIEWW, nullptr); }
int ListCount(HWND viewer) { return static_cast<int>(::SendMessageW(List(viewer), LVM_GETITEMCOUNT, 0, 0)); }
// The viewer, once it reads: writers skip their output while no reader has made the buffer. One that reads
// nothing holds each writer's string for seconds: unless a first line shows at once, the test ends there.
HWND WaitForViewer() {
    HWND viewer = nullptr;
    kvtest::PumpUntil([&] {
        kv::UniqueHandle buffer(::OpenFileMappingW(FILE_MAP_READ, FALSE, L"DBWIN_BUFFER"));
        return buffer && (viewer = FindViewer()) != nullptr;
    }, 30000);
    if (viewer) kvtest::RunHelper(L"writer", {L"first"}, 10000);
    return viewer && kvtest::PumpUntil([&] { return ListCount(viewer) > 0; }) ? viewer : nullptr;
}
DWORD Write(const Lines& texts) {
    HANDLE p = kvtest::StartHelper(L"writer", texts);
    const DWORD pid = ::GetProcessId(p);
    EXPECT_TRUE(kvtest::WaitPumping(p, 20000).finished) << "the viewer read every string";
    return pid;
}

class DbgViewChain : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(win_.hwnd(), nullptr);
        traceapi_SetTraceWindow(win_.hwnd(), TRUE);
        traceapi_SetEnable(1);
        // The processes the hook loads the library into read their switches from this profile.
        ::WritePrivateProfileStringW(L"Global", L"Mode", L"0", profile_.c_str());
        ::WritePrivateProfileStringW(L"DBGVIEW_DBGVIEW", L"EnableInfo", L"1", profile_.c_str());
        SetServerInfo(false);
        wcscpy(ProfileField(), profile_.c_str());
    }
    void TearDown() override {
        traceapi_UninstallDbgViewHook();
        if (HWND viewer = FindViewer()) ::PostMessageW(viewer, WM_CLOSE, 0, 0);
        EXPECT_TRUE(kvtest::PumpUntil([] { return !FindViewer(); }, 30000));
        ProfileField()[0] = 0;
        traceapi_SetTraceWindow(nullptr, TRUE);
    }
    void SetServerInfo(bool on) {
        ::WritePrivateProfileStringW(L"RivivEda", L"EnableInfo", on ? L"1" : L"0", profile_.c_str());
        traceapi_SetEnableInf(0, on);
    }
    // The library's own lines (server entry, functions of the hook), as "level text".
    Lines ServerLines() const {
        Lines out;
        for (const Received& r : win_.OfKind(WM_TRACE_OUTPUT))
            if (static_cast<short>(r.wParam) == 0 && r.func.rfind(L"traceapi_", 0) == 0)
                out.push_back(std::to_wstring(static_cast<short>(r.lParam)) + L" " + r.text);
        return out;
    }
    // The hook's rows; their texts that carry this run's token, without it, into ours.
    std::vector<Received> HookRows(Lines* ours = nullptr) const {
        std::vector<Received> out;
        for (const Received& r : win_.OfKind(WM_TRACE_OUTPUT))
            if (r.func == L"DbgViewHookProc" && (out.push_back(r), ours) && r.text.rfind(token_, 0) == 0)
                ours->push_back(r.text.substr(token_.size()));
        return out;
    }
    Lines OurLines() const {
        Lines ours;
        HookRows(&ours);
        return ours;
    }
    bool WaitForLine(const std::wstring& line) {
        return kvtest::PumpUntil([&] { const Lines l = OurLines(); return std::find(l.begin(), l.end(), line) != l.end(); }, 20000);
    }
    short ViewerHandle() const {
        for (const Received& r : win_.OfKind(WM_TRACE_REGISTER))
            if (r.module == L"DBGVIEW") return static_cast<short>(r.wParam);
        return 0;
    }

    kvtest::RecordingWindow win_{kDllAccessors};
    kvtest::TempDir dir_;
    // Other programs' debug output (or an earlier process's) never carries this run's token.
    const std::wstring profile_ = dir_.file(L"dbgview.pfl"),
                       token_ = L"dv" + std::to_wstring(::GetCurrentProcessId()) + L"." + std::to_wstring(::GetTickCount64()) + L" ";
};

TEST_F(DbgViewChain, TheHiddenViewersLinesArriveInOrderAndNothingElse) {
    traceapi_InstallDbgViewHook();
    HWND viewer = WaitForViewer();
    ASSERT_NE(viewer, nullptr) << "the viewer was started";
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ViewerHandle() > 0; }, 30000)) << "the viewer registered as DBGVIEW";
    const short handle = ViewerHandle();
    EXPECT_FALSE(::IsWindowVisible(viewer));
    traceapi_InstallDbgViewHook();
    EXPECT_EQ(ServerLines(), (Lines{L"0 DbgView found at: '" + kvtest::ExeDir() + L"\\DbgView.exe'",
                                    L"-1 ***** DbgViewHookProc INSTALLED *****", L"-1 ***** DbgView.exe STARTED *****",
                                    L"-1 ***** DbgViewHookProc already INSTALLED *****"}));
    // Foreign lists are not traced, though the server entry's info switch is on meanwhile.
    SetServerInfo(true);
    SetForeignTexts(viewer);
    SetServerInfo(false);
    Lines written, expected = {L"100% done", L"%d and %s stay as written", L"lf", L"cr lf", L"two", L"lines"};
    for (int i = 1; i <= 40; ++i) expected.push_back(L"line " + std::to_wstring(i));
    expected.push_back(L"last");
    for (const auto& e : expected)
        if (e != L"lines") written.push_back(token_ + (e == L"two" ? L"two^|" + token_ + L"lines|" : e == L"lf" ? L"lf|" : e == L"cr lf" ? L"cr lf^|" : e));
    const std::wstring writerPid = std::to_wstring(Write(written));
    ASSERT_TRUE(WaitForLine(L"last"));
    EXPECT_EQ(OurLines(), expected) << "in order, as written, one row per line";
    for (const Received& r : HookRows()) {
        EXPECT_TRUE(static_cast<short>(r.wParam) == handle && static_cast<short>(r.lParam) == 30) << kvtest::Narrow(r.text);
        // Neither the process id nor the time column, nor foreign lines, nor an empty row after a line break.
        EXPECT_FALSE(r.text.empty() || r.text == writerPid || (r.text.size() == 12 && r.text[2] == L':' && r.text[8] == L'.') ||
                     r.text.find(L"foreign") != std::wstring::npos) << kvtest::Narrow(r.text);
    }
    // The README's debug line: the demo's client writes it.
    EXPECT_EQ(kvtest::Run(kvtest::Quote(kvtest::ExeDir() + L"\\democlient.exe") + L" --debug " + kvtest::Quote(token_ + L"a debug line")).exitCode, 0u);
    EXPECT_TRUE(WaitForLine(L"a debug line"));
    win_.Clear();
    traceapi_UninstallDbgViewHook();
    EXPECT_EQ(ServerLines(), (Lines{L"-1 ***** DbgView.exe STOPPED *****", L"-1 ***** DbgViewHookProc UNINSTALLED *****"}));
    EXPECT_TRUE(kvtest::PumpUntil([] { return !FindViewer(); })) << "the uninstall closed the viewer";
    const auto gone = win_.OfKind(WM_TRACE_UNREGISTER);
    ASSERT_EQ(gone.size(), 1u) << "the viewer's application ended with its window";
    EXPECT_EQ(static_cast<short>(gone[0].wParam), handle);
    // The demo's client with its warnings off: every other line of its mix, in a repeating order, each numbered.
    for (const wchar_t* key : {L"EnableDiag", L"EnableInfo", L"EnableWarning", L"EnableError"})
        ::WritePrivateProfileStringW(L"DEMOCLIENT_Mixer", key, wcscmp(key, L"EnableWarning") ? L"1" : L"0", profile_.c_str());
    win_.Clear();
    EXPECT_EQ(kvtest::Run(kvtest::Quote(kvtest::ExeDir() + L"\\democlient.exe") + L" Mixer 1 10").exitCode, 0u);
    const auto reg = win_.OfKind(WM_TRACE_REGISTER), out = win_.OfKind(WM_TRACE_OUTPUT), unreg = win_.OfKind(WM_TRACE_UNREGISTER);
    ASSERT_TRUE(reg.size() == 1 && reg[0].section == L"DEMOCLIENT_Mixer" && unreg.size() == 1 && unreg[0].wParam == reg[0].wParam);
    ASSERT_GE(out.size(), 27u);
    std::set<std::wstring> pairs;
    for (size_t i = 0; i < out.size(); ++i) {
        pairs.insert(std::to_wstring(static_cast<short>(out[i].lParam)) + L" " + out[i].func);
        const Received& was = out[i % 9];
        EXPECT_TRUE(out[i].wParam == reg[0].wParam && out[i].func == was.func && out[i].lParam == was.lParam && (i < 9 || out[i].text != was.text)) << i;
    }
    EXPECT_EQ(pairs, (std::set<std::wstring>{L"10 AlarmHandler", L"30 Archive", L"30 Cycle", L"30 Operator", L"30 RecipeLoad", L"40 ReadTag", L"40 Router", L"40 Telegram"}));
    // A picture of the trace window, which it then closes; none without a window or a writable path.
    WNDCLASSW wc = {0, ::DefWindowProcW, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, L"VANTORA VO Vedoz Izodoz"};
    ::RegisterClassW(&wc);
    HWND shown = ::CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 321, 123, nullptr, nullptr, nullptr, nullptr);
    HWND list = ::CreateWindowExW(0, WC_LISTVIEWW, wc.lpszClassName, WS_CHILD, 0, 0, 100, 100, shown, nullptr, nullptr, nullptr);
    LVITEMW item = {};
    ::SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    const std::wstring shot = kvtest::Quote(kvtest::ExeDir() + L"\\kvshot.exe") + L" --rows 1 --png ", png = dir_.file(L"shot.png");
    EXPECT_EQ(kvtest::Run(shot + kvtest::Quote(dir_.file(L"no\\shot.png"))).exitCode, 2u);
    EXPECT_EQ(kvtest::Run(shot + kvtest::Quote(png) + L" --close").exitCode, 0u);
    EXPECT_EQ(kvtest::ReadBytes(png).substr(0, 24), std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x01\x41\0\0\0\x7b", 24)) << "321 by 123";
    EXPECT_TRUE(kvtest::PumpUntil([&] { return !::IsWindow(shown); }));
    EXPECT_EQ(kvtest::Run(shot + kvtest::Quote(png) + L" --timeout 0").exitCode, 1u);
}

// Started by hand, a program of its own (limit, copy, clear, auto-scroll); a later hook traces its lines as the server's.
TEST_F(DbgViewChain, AViewerStartedByHandThenHooked) {
    HANDLE byHand = kvtest::Start(kvtest::Quote(kvtest::ExeDir() + L"\\DbgView.exe") + L" /limit 40");
    HWND viewer = WaitForViewer();
    ASSERT_NE(viewer, nullptr);
    auto command = [&](int id) { ::SendMessageW(viewer, WM_COMMAND, id, 0); };
    auto top = [&] { return ::SendMessageW(List(viewer), LVM_GETTOPINDEX, 0, 0); };
    auto copied = [&] {
        command(dbgview::IDM_SELECTALL);
        command(dbgview::IDM_COPY);
        std::wstring text;
        if (!::OpenClipboard(nullptr)) return text;
        HANDLE data = ::GetClipboardData(CF_UNICODETEXT);
        if (auto* p = data ? static_cast<const wchar_t*>(::GlobalLock(data)) : nullptr) text = p, ::GlobalUnlock(data);
        ::CloseClipboard();
        return text;
    };
    Lines lines;
    for (int i = 1; i <= 60; ++i) lines.push_back(token_ + std::to_wstring(i));
    const std::wstring last = L"\t" + std::to_wstring(Write(lines)) + L"\t" + token_ + L"60\r\n";
    std::wstring text;
    ASSERT_TRUE(kvtest::PumpUntil([&] { return (text = copied()).find(token_ + L"60\r\n") != std::wstring::npos; }, 30000));
    // The oldest rows went; rows of number, time, process id, text; scrolled to the newest.
    EXPECT_EQ(std::count(text.begin(), text.end(), L'\n'), 40);
    const std::wstring first = text.substr(0, text.find(L"\r\n"));
    EXPECT_EQ(first.substr(first.rfind(L'\t') + 1), token_ + L"21");
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), last.size())), last);
    EXPECT_GT(top(), 0);
    command(dbgview::IDM_CLEAR);
    EXPECT_EQ(ListCount(viewer), 0);
    command(dbgview::IDM_AUTOSCROLL);
    Write(Lines(40, token_ + L"again"));
    ASSERT_TRUE(kvtest::PumpUntil([&] { return ListCount(viewer) == 40; }, 30000));
    EXPECT_EQ(top(), 0) << "auto-scroll off";
    command(dbgview::IDM_CLEAR);
    // Nothing installed: the uninstall says so and leaves the viewer alone.
    SetServerInfo(true);
    traceapi_UninstallDbgViewHook();
    EXPECT_EQ(ServerLines(), (Lines{L"-1 ***** DbgView.exe NOT running *****", L"-1 ***** DbgViewHookProc NOT installed *****"}));
    EXPECT_TRUE(::IsWindow(viewer));
    // A hook that missed the viewer's creation: its lines as the server's, under its info switch; one viewer only.
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
    EXPECT_EQ(OurLines(), (Lines{L"seen 1", L"seen 2"}));
    for (const Received& r : HookRows()) EXPECT_EQ(static_cast<short>(r.wParam), 0);
    EXPECT_EQ(ViewerHandle(), 0) << "no registration";
    EXPECT_EQ(::FindWindowExW(nullptr, viewer, dbgview::kViewerClass, nullptr), nullptr) << "one viewer";
    traceapi_UninstallDbgViewHook();
    EXPECT_TRUE(kvtest::WaitPumping(byHand, 30000).finished) << "the hook had found the viewer: the uninstall closed it";
}

// A flood of 40,000 lines in a viewer of 20,000 rows: none dropped; a close still ends a viewer under a steady flood.
TEST_F(DbgViewChain, AFloodLosesNothingAndCloseStillWins) {
    auto status = [](HWND viewer) {
        wchar_t text[200] = {};
        DWORD_PTR n = 0;
        ::SendMessageTimeoutW(::FindWindowExW(viewer, nullptr, STATUSCLASSNAMEW, nullptr), WM_GETTEXT, 200,
                              reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 10000, &n);
        return std::wstring(text);
    };
    auto captured = [&](HWND viewer) { return _wtoi(status(viewer).c_str() + wcslen(L"Captured ")); };
    const std::wstring viewerExe = kvtest::Quote(kvtest::ExeDir() + L"\\DbgView.exe");
    // The buffer's name held by an object of another kind: the viewer says why it cannot read, and reads once it is gone.
    kv::UniqueHandle taken(::CreateEventW(nullptr, TRUE, FALSE, L"DBWIN_BUFFER"));
    HANDLE first = kvtest::Start(viewerExe + L" /limit 20000");
    const std::wstring why = L"Cannot read the debug output (" + kv::ErrorText(ERROR_INVALID_HANDLE) + L"), trying again";
    EXPECT_TRUE(kvtest::PumpUntil([&] { return FindViewer() && status(FindViewer()) == why; }, 30000)) << kvtest::Narrow(status(FindViewer()));
    taken.reset();
    HWND viewer = WaitForViewer();
    ASSERT_NE(viewer, nullptr);
    std::vector<HANDLE> writers;
    for (int w = 0; w < 4; ++w) writers.push_back(kvtest::StartHelper(L"flood", {token_ + std::to_wstring(w), L"10000"}));
    const ULONGLONG end = ::GetTickCount64() + 60000;  // together, as for Write()
    for (HANDLE w : writers) EXPECT_TRUE(kvtest::WaitPumping(w, static_cast<DWORD>(std::max<LONGLONG>(0, end - ::GetTickCount64()))).finished);
    EXPECT_TRUE(kvtest::PumpUntil([&] {
        return status(viewer).find(L" lines, 20000 shown (limit 20000), 0 dropped") != std::wstring::npos && captured(viewer) >= 40000;
    }, 30000)) << kvtest::Narrow(status(viewer));
    ::PostMessageW(viewer, WM_CLOSE, 0, 0);
    ASSERT_TRUE(kvtest::WaitPumping(first, 30000).finished);
    // A viewer waits while another program reads the debug output, and reads once it is gone.
    kv::UniqueHandle held(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER"));
    HANDLE second = kvtest::Start(viewerExe + L" /limit 1000");
    EXPECT_TRUE(kvtest::PumpUntil([&] { return FindViewer() && status(FindViewer()) == L"Waiting: another program reads the debug output"; }));
    held.reset();
    kv::UniqueHandle ready(::CreateEventW(nullptr, TRUE, TRUE, L"DBWIN_DATA_READY"));
    viewer = WaitForViewer();
    ASSERT_NE(viewer, nullptr);
    kv::UniqueHandle buffer(::OpenFileMappingW(FILE_MAP_WRITE, FALSE, L"DBWIN_BUFFER"));
    if (char* view = buffer ? static_cast<char*>(::MapViewOfFile(buffer.get(), FILE_MAP_WRITE, 0, 0, 4096)) : nullptr) {
        memset(view + sizeof(DWORD), 'f', 4000);  // one long line, again and again
        ::UnmapViewOfFile(view);
    }
    EXPECT_TRUE(kvtest::PumpUntil([&] { return ListCount(viewer) == 1000; }, 30000)) << ListCount(viewer);
    ::PostMessageW(viewer, WM_CLOSE, 0, 0);
    EXPECT_TRUE(kvtest::WaitPumping(second, 30000).finished) << "closed under the flood";
}

}  // namespace

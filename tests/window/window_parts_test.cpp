// The trace window's parts at the edges the real window never reaches (window_test shows
// the rest): a filter-list divisor of 0, the reveal rule, the status texts, and the status
// bar control on a plain window of this process.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "kvtest.h"
#include "window/statusbar.h"
#include "window/tracewnd.h"

namespace {

// Points this executable's import of module!name (the window code is linked in) at
// hook, keeping the previous target in original; the same call with original undoes it.
template <class Fn>
void PatchImport(const char* module, const char* name, Fn hook, Fn& original) {
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name; ++imp) {
        if (_stricmp(reinterpret_cast<char*>(base + imp->Name), module)) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        for (auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk); names->u1.AddressOfData; ++names, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
                strcmp(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name, name))
                continue;
            DWORD old;
            ::VirtualProtect(&slot->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
            if (hook != original) original = reinterpret_cast<Fn>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            ::VirtualProtect(&slot->u1.Function, sizeof(void*), old, &old);
        }
    }
}

// Device contexts EndPaint released (until BeginPaint hands them out again), and the
// selections made into one of them.
std::set<HDC> g_released;
int g_selectsAfterRelease;
decltype(&::BeginPaint) g_beginPaint;
decltype(&::EndPaint) g_endPaint;
decltype(&::SelectObject) g_selectObject;
HDC WINAPI WatchBeginPaint(HWND w, PAINTSTRUCT* ps) { HDC dc = g_beginPaint(w, ps); return g_released.erase(dc), dc; }
BOOL WINAPI WatchEndPaint(HWND w, const PAINTSTRUCT* ps) { return g_released.insert(ps->hdc), g_endPaint(w, ps); }
HGDIOBJ WINAPI WatchSelectObject(HDC dc, HGDIOBJ o) { return g_selectsAfterRelease += g_released.count(dc), g_selectObject(dc, o); }

TEST(WindowParts, LayoutAndRevealEdges) {
    // A filter part of 0 never divides; the application list drops ten bar heights.
    const kv::WindowLayoutRects zeroPart = kv::ComputeLayout(800, 600, 21, 24, true, 0);
    EXPECT_EQ((std::vector<LONG>{456, 576, 21, 210}), (std::vector<LONG>{zeroPart.filterList.top, zeroPart.filterList.bottom,
                                                                        zeroPart.mainList.top, zeroPart.appList.bottom}));
    struct Case { int row, top, count, perPage, want; };
    static const Case reveal[] = {
        {95, 0, 100, 20, 99},   // beyond the third quarter: a quarter page below, cut at the end
        {50, 40, 100, 20, 50},  // middle half: no scrolling
        {41, 40, 100, 20, 36},  // first quarter: a quarter page above
        {55, 40, 100, 20, 55},  // the last row of the third quarter
        {2, 0, 100, 20, 0},     // cut at the start
        {10, 0, 0, 20, 0},      // empty list
    };
    for (const Case& c : reveal) EXPECT_EQ(kv::RevealTarget(c.row, c.top, c.count, c.perPage), c.want) << c.row;
}

TEST(WindowParts, StatusTexts) {
    wchar_t out[kv::kStatusFieldChars];
    SYSTEMTIME t = {2026, 12, 0, 5, 9, 25, 7, 0};
    const std::wstring path = L"C:\\t\\TS261205.txt", longDir = L"C:\\" + std::wstring(200, L'd');
    struct Case { std::function<void()> format; std::wstring want; bool endOnly; };
    const Case cases[] = {
        {[&] { kv::FormatClockField(out, t, 3); }, L"KVS 3  05.12.26  09:25:07"},
        {[&] { kv::FormatClockField(out, t, 0); }, L"KV-Client  05.12.26  09:25:07"},
        {[&] { kv::FormatClockField(out, t, -1); }, L"KVS 65535  05.12.26  09:25:07"},  // the PC number is unsigned
        {[&] { kv::FormatFileField(out, path.c_str(), false, true, 7); }, L"File: " + path + L"(!) (max:7)"},
        {[&] { kv::FormatFileField(out, path.c_str(), false, false, 7); }, L"File: " + path + L" (max:7)"},
        {[&] { kv::FormatRowField(out, 0, 0x50000); }, L"1 [1010]"},
        // A path too long for the field is cut in front and keeps its file name.
        {[&] { kv::FormatFileField(out, (longDir + L"\\TS261205.txt").c_str(), true, false, 7); },
         L"\\TS261205.txt* (max:7)", true},
        {[&] { kv::FormatProfileField(out, (longDir + L"\\night.pfl").c_str()); }, L"\\night.pfl", true},
    };
    for (const Case& c : cases) {
        c.format();
        const std::wstring s = out;
        SCOPED_TRACE(kvtest::Narrow(c.want));
        if (c.endOnly) {
            EXPECT_EQ(125u, s.size());
            EXPECT_EQ(s.find(L"..."), s.find(L"Profile: ...") == 0 ? 9u : 6u);
            EXPECT_EQ(s.substr(s.size() - c.want.size()), c.want);
        } else {
            EXPECT_EQ(s, c.want);
        }
    }
}

TEST(WindowParts, StatusBarFieldsAndTexts) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &::DefWindowProcW;
    wc.lpszClassName = L"KvStatusParent";
    ::RegisterClassW(&wc);
    // Small and at the screen's lower right, away from the trace windows other tests read.
    HWND parent = ::CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, L"KvStatusParent", L"p", WS_POPUP | WS_VISIBLE,
                                    1000, 900, 240, 60, nullptr, nullptr, nullptr, nullptr);
    StatusField fields[11] = {};
    for (int i = 0; i < 5; ++i) fields[i].weight = 1;
    EXPECT_EQ(statusbar_Create(parent, fields, 11), nullptr) << "more than ten fields are refused";
    EXPECT_EQ(statusbar_Create(parent, fields, -1), nullptr);
    HWND bar = statusbar_Create(parent, fields, 10);
    ASSERT_NE(bar, nullptr) << "ten are not";
    EXPECT_EQ(statusbar_Height(), 24);
    for (int index : {-1, 0, 9, 10}) EXPECT_EQ(statusbar_SetText(index, L"x"), index == 0 || index == 9) << index;
    statusbar_SetText(2, std::wstring(300, L'a').c_str());
    wchar_t buf[400] = {};
    ::GetWindowTextW(::GetDlgItem(bar, 6), buf, 400);
    EXPECT_EQ(wcslen(buf), 128u) << "a text is cut at 128";
    ::DestroyWindow(bar);
    EXPECT_EQ(statusbar_Height(), 0) << "after the bar is gone";
    EXPECT_EQ(statusbar_SetText(0, L"x"), 0);

    // Bars made, painted and destroyed again and again leave no GDI object behind: a
    // font still selected into a released device context cannot be deleted. (Where the
    // system counts no GDI objects, the selections into released contexts are counted.)
    PatchImport("user32.dll", "BeginPaint", &WatchBeginPaint, g_beginPaint);
    PatchImport("user32.dll", "EndPaint", &WatchEndPaint, g_endPaint);
    PatchImport("gdi32.dll", "SelectObject", &WatchSelectObject, g_selectObject);
    ASSERT_TRUE(g_beginPaint && g_endPaint && g_selectObject);
    const DWORD before = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
    for (int cycle = 0; cycle < 20; ++cycle) {
        ASSERT_NE(bar = statusbar_Create(parent, fields, 5), nullptr);
        for (int i = 0; i < 5; ++i) statusbar_SetText(i, L"C:\\t\\TS261205.txt");  // each paints its field at once
        ::DestroyWindow(bar);
    }
    EXPECT_GT(g_released.size(), 0u) << "the fields were not painted";
    EXPECT_EQ(g_selectsAfterRelease, 0) << "selections into a device context after EndPaint released it";
    EXPECT_LE(::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS), before);
    ::DestroyWindow(parent);
    PatchImport("user32.dll", "BeginPaint", g_beginPaint, g_beginPaint);
    PatchImport("user32.dll", "EndPaint", g_endPaint, g_endPaint);
    PatchImport("gdi32.dll", "SelectObject", g_selectObject, g_selectObject);
}

}  // namespace

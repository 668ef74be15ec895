// KVTrcVwr.exe driven as a process: its list view, buttons and edits, and its rows read back as a table.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvtest.h"

#include <commctrl.h>  // after windows.h

class ViewerProcess {
public:
    explicit ViewerProcess(const std::wstring& args, const std::wstring& exeDir = kvtest::ExeDir())
        : process_(kvtest::Start(kvtest::Quote(exeDir + L"\\KVTrcVwr.exe") + L" " + args)) {
        // A Wine process start on a loaded machine takes its time; one that ended is not waited for.
        kvtest::PumpUntil([&] { return Find() || Ended(); }, 60000);
        EXPECT_NE(list_, nullptr) << (!process_ ? "the viewer did not start" : Ended() ? "the viewer ended without a window"
                                                                                  : "no viewer window within 60 s");
    }
    ~ViewerProcess() {
        // A window found only now is closed too (a viewer left running would hold the test's
        // directory); a viewer without one is ended.
        if (Find() || main_) ::PostMessageW(main_, WM_CLOSE, 0, 0);
        else if (process_) ::TerminateProcess(process_, 255);
        if (process_) {
            EXPECT_TRUE(kvtest::WaitPumping(process_, 20000).finished) << "the viewer ends when its window is closed";
        }
    }
    // Bounded: a viewer that hangs fails the test instead of holding it past every time limit.
    LRESULT Send(HWND w, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        DWORD_PTR result = 0;
        ::SendMessageTimeoutW(w, message, wParam, lParam, SMTO_NORMAL, 10000, &result);
        return static_cast<LRESULT>(result);
    }
    // The status bar's text, or "<no answer>" when the viewer does not answer within the bound.
    std::wstring Status(UINT bound = 10000) const {
        wchar_t text[300] = {};
        DWORD_PTR n = 0;
        const HWND bar = ::FindWindowExW(main_, nullptr, STATUSCLASSNAMEW, nullptr);
        return ::SendMessageTimeoutW(bar, WM_GETTEXT, 300, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, bound, &n) ? text : L"<no answer>";
    }
    HWND list() const { return list_; }
    HWND main() const { return main_; }
    HWND Control(const wchar_t* cls, const wchar_t* text) const { return ::FindWindowExW(main_, nullptr, cls, text); }
    void Click(const wchar_t* button) const { Send(Control(L"BUTTON", button), BM_CLICK); }
    void Command(int id) const { Send(main_, WM_COMMAND, id); }
    // Types into the edit that follows a control.
    void Type(HWND before, const wchar_t* text) const {
        Send(::GetWindow(before, GW_HWNDNEXT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    }
    long long Selected() const { return Send(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED); }
    long long Count() const { return Send(list_, LVM_GETITEMCOUNT); }
    // The item record and its text buffer live in the viewer's memory.
    std::wstring Cell(long long row, int column) const {
        struct Remote {
            LVITEMW item;
            wchar_t text[256];
        } r = {};
        auto* mem = static_cast<Remote*>(::VirtualAllocEx(process_, nullptr, sizeof(Remote), MEM_COMMIT, PAGE_READWRITE));
        if (!mem) return L"<no memory>";
        r.item.iSubItem = column;
        r.item.cchTextMax = 256;
        r.item.pszText = mem->text;
        SIZE_T n = 0;
        ::WriteProcessMemory(process_, mem, &r, sizeof(r), &n);
        Send(list_, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(mem));
        ::ReadProcessMemory(process_, mem, &r, sizeof(r), &n);
        ::VirtualFreeEx(process_, mem, 0, MEM_RELEASE);
        r.text[255] = 0;
        return r.text;
    }
    std::wstring Table(const std::vector<int>& columns) const {
        std::wstring s;
        for (long long r = 0, n = Count(); r < n; ++r)
            for (size_t c = 0; c < columns.size(); ++c) s += Cell(r, columns[c]) + (c + 1 < columns.size() ? L"|" : L"\n");
        return s;
    }

private:
    // The viewer's window and its list, once both are there (the window shows up while it
    // is still creating its children).
    bool Find() {
        for (HWND w = nullptr; process_ && !main_ && (w = ::FindWindowExW(nullptr, w, L"KVTrcVwrWindow", nullptr));) {
            DWORD pid = 0;
            ::GetWindowThreadProcessId(w, &pid);
            if (pid == ::GetProcessId(process_)) main_ = w;
        }
        return main_ && (list_ || (list_ = ::FindWindowExW(main_, nullptr, WC_LISTVIEWW, nullptr)) != nullptr);
    }
    bool Ended() const { return !process_ || ::WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; }
    HANDLE process_;
    HWND main_ = nullptr, list_ = nullptr;
};

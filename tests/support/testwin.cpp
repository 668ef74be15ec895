// A window that records the trace notifications it receives, and the operator's keyboard.
#include "kvtest.h"

#include "client/region.h"

#include <algorithm>
#include <iterator>

namespace kvtest {

RecordingWindow::RecordingWindow(const Accessors& acc) : acc_(acc) {
    const WNDCLASSW wc = {0, &RecordingWindow::Proc, 0, 0, ::GetModuleHandleW(nullptr), nullptr, nullptr, nullptr, nullptr,
                          L"KvTestRecordingWindow"};
    ::RegisterClassW(&wc);  // fails harmlessly from the second window on
    hwnd_ = ::CreateWindowExW(0, L"KvTestRecordingWindow", L"recorder", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                              nullptr, nullptr, ::GetModuleHandleW(nullptr), this);
}

std::vector<Received> RecordingWindow::OfKind(UINT msg) const {
    std::vector<Received> out;
    std::copy_if(received_.begin(), received_.end(), std::back_inserter(out), [msg](const Received& r) { return r.msg == msg; });
    return out;
}

LRESULT CALLBACK RecordingWindow::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<RecordingWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self && self->batches_ && msg == kv::kTraceOutputBatch) {  // as the trace window takes them
        const auto* region = reinterpret_cast<const kv::SharedRegion*>(
            reinterpret_cast<const char*>(self->acc_.traceApp(0)) - offsetof(kv::SharedRegion, apps));
        for (uint32_t i = 0; i < region->batchCount && i < kv::kBatchLines; ++i) {
            const kv::BatchLine& line = region->batch[i];
            Received r{WM_TRACE_OUTPUT, static_cast<WPARAM>(static_cast<INT_PTR>(line.handle)), line.level};
            r.text = line.text, r.func = line.func, r.threadId = line.threadId, r.curHandle = line.handle;
            self->received_.push_back(r);
        }
        return region->batchCount;
    }
    if (self && (msg == WM_TRACE_OUTPUT || msg == WM_TRACE_REGISTER || msg == WM_TRACE_UNREGISTER)) {
        Received r{msg, wp, lp};
        const Accessors& a = self->acc_;
        if (a.curHandle) r.curHandle = a.curHandle();
        if (msg == WM_TRACE_OUTPUT) {
            r.text = a.curText(), r.func = a.curFunc(), r.threadId = a.curThreadId();
        } else if (TRACEAPP* app = a.traceApp(static_cast<short>(wp))) {
            r.module = app->szModule, r.process = app->szProcess, r.section = app->szSection;
            const INT switches[4] = {app->EnableDiag, app->EnableInfo, app->EnableWarning, app->EnableError};
            std::copy(switches, switches + 4, r.switches);
        }
        self->received_.push_back(r);
        return 0;
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

bool BringToFront(HWND window, DWORD timeoutMs) {
    return PumpUntil([window] {
        if (::GetForegroundWindow() == window) return true;
        ::SetForegroundWindow(window);
        return false;
    }, timeoutMs);
}

void Press(WORD key, std::vector<WORD> modifiers) {
    modifiers.push_back(key);
    std::vector<INPUT> in(modifiers.size() * 2, INPUT{INPUT_KEYBOARD});
    for (size_t i = 0; i < in.size(); ++i) {  // all down in order, then up in reverse
        const WORD vk = modifiers[i < modifiers.size() ? i : in.size() - 1 - i];
        in[i].ki = {vk, static_cast<WORD>(::MapVirtualKeyW(vk, MAPVK_VK_TO_VSC)), i < modifiers.size() ? 0u : KEYEVENTF_KEYUP};
    }
    ::SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
}

HWND FocusOf(HWND window) {
    GUITHREADINFO info = {sizeof(info)};
    return ::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

}  // namespace kvtest

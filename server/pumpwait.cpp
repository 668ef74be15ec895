// Waiting for a handle on a thread that owns windows: the thread keeps dispatching its
// messages, so that the thread being waited for can still send to it.
#include "server/rowstore.h"

namespace {

constexpr DWORD kPumpSliceMs = 10;

bool Acquired(DWORD waitResult, DWORD first) {
    // An abandoned mutex is ours all the same.
    return waitResult == first || waitResult == WAIT_ABANDONED_0;
}

}  // namespace

int PumpMessagesWhileWaiting(HANDLE handle, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    auto remaining = [&]() -> DWORD {
        if (timeoutMs == INFINITE) return INFINITE;
        const DWORD spent = ::GetTickCount() - start;
        return spent >= timeoutMs ? 0 : timeoutMs - spent;
    };
    // A WM_QUIT meant for this thread's own loop must outlive the wait.
    bool quit = false;
    WPARAM quitCode = 0;
    int result = -1;
    // The first round always looks at the handle, so that a time-out of 0 still polls it.
    for (bool first = true; result < 0; first = false) {
        const DWORD left = remaining();
        if (left == 0 && !first) {
            result = 0;
            break;
        }
        const DWORD slice = left < kPumpSliceMs ? left : kPumpSliceMs;
        if (handle) {
            const DWORD r = ::MsgWaitForMultipleObjects(1, &handle, FALSE, slice, QS_ALLINPUT);
            if (Acquired(r, WAIT_OBJECT_0)) {
                result = 1;
                break;
            }
            if (r != WAIT_OBJECT_0 + 1 && r != WAIT_TIMEOUT) {
                result = 0;
                break;
            }
        } else {
            // Nothing to wait for but the time: sleep until input arrives or the slice
            // ends instead of spinning.
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
        }
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                quitCode = msg.wParam;
            } else {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
            if (handle && Acquired(::WaitForSingleObject(handle, 0), WAIT_OBJECT_0)) {
                result = 1;
                break;
            }
            if (remaining() == 0) {
                result = 0;
                break;
            }
        }
    }
    if (quit) ::PostQuitMessage(static_cast<int>(quitCode));
    return result;
}

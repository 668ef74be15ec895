// The server's side of the direct path.
#include "server/attach.h"

#include "client/windowsink.h"
#include "server/intake.h"
#include "server/registry.h"
#include "server/serverstate.h"

namespace kv {
namespace {

void AddMessageSink(short handle, const wchar_t* func, const wchar_t* text, short level) {
    tracewnd_AddMessageFrom(handle, func, text, level, ::GetCurrentThreadId());
}
void AddApplicationSink(short handle) { tracewnd_AddApplication(handle); }
void RemoveApplicationSink(short handle) { tracewnd_RemoveApplication(handle); }

const TraceWindowSink kSink = {AddMessageSink, AddApplicationSink, RemoveApplicationSink};

}  // namespace

void AttachServerWindow() noexcept {
    AttachTraceWindow(Server().mainList, &kSink);
    if (HWND list = Server().mainList) SetWindowThread(::GetWindowThreadProcessId(list, nullptr));
}
void DetachServerWindow() noexcept { DetachTraceWindow(); }

}  // namespace kv

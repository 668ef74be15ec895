// The capture thread of the debug viewer.
#include "capture.h"

#include <sddl.h>
#include <string.h>

namespace dbgview {

namespace {
constexpr DWORD kBufferBytes = 4096;
constexpr DWORD kTextBytes = kBufferBytes - sizeof(DWORD);
// While another reader owns the channel, try again this often.
constexpr DWORD kRetryMs = 1000;
// Access for every process of the session to the channel's objects, those of a low
// integrity level included: they write the buffer and set the data event.
const wchar_t* const kChannelAccess[] = {L"D:(A;;GA;;;WD)S:(ML;;NW;;;LW)", L"D:(A;;GA;;;WD)"};

// Security attributes for the channel's objects, or default security when none of the
// descriptors can be built.
class ChannelSecurity {
public:
    ChannelSecurity() {
        for (const wchar_t* sddl : kChannelAccess)
            if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd_, nullptr)) break;
        sa_.lpSecurityDescriptor = sd_;
    }
    ~ChannelSecurity() {
        if (sd_) ::LocalFree(sd_);
    }
    ChannelSecurity(const ChannelSecurity&) = delete;
    ChannelSecurity& operator=(const ChannelSecurity&) = delete;
    SECURITY_ATTRIBUTES* get() { return &sa_; }

private:
    PSECURITY_DESCRIPTOR sd_ = nullptr;
    SECURITY_ATTRIBUTES sa_ = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

}  // namespace

std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t end = text.size();
    if (end > 0 && text[end - 1] == L'\n') --end;
    size_t start = 0;
    for (;;) {
        size_t nl = text.find(L'\n', start);
        if (nl == std::wstring::npos || nl >= end) nl = end;
        size_t stop = nl;
        if (stop > start && text[stop - 1] == L'\r') --stop;
        lines.emplace_back(text, start, stop - start);
        if (nl >= end) break;
        start = nl + 1;
    }
    return lines;
}

DebugCapture::DebugCapture(HWND notifyWindow, UINT notifyMessage, size_t maxPendingChars)
    : notifyWindow_(notifyWindow), notifyMessage_(notifyMessage), maxPendingChars_(maxPendingChars) {}

DebugCapture::~DebugCapture() {
    Stop();
}

bool DebugCapture::Start() {
    if (thread_) return true;
    stop_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_) return false;
    thread_.reset(::CreateThread(nullptr, 0, &DebugCapture::ThreadMain, this, 0, nullptr));
    return static_cast<bool>(thread_);
}

void DebugCapture::Stop() {
    if (!thread_) return;
    ::SetEvent(stop_.get());
    ::WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
}

void DebugCapture::Take(std::vector<CapturedLine>& out) {
    out.clear();
    kv::SectionLock lock(lock_);
    out.swap(pending_);
    pendingChars_ = 0;
    notified_ = false;
}

uint64_t DebugCapture::captured() const {
    kv::SectionLock lock(lock_);
    return captured_;
}

uint64_t DebugCapture::dropped() const {
    kv::SectionLock lock(lock_);
    return dropped_;
}

DebugCapture::State DebugCapture::state() const {
    kv::SectionLock lock(lock_);
    return state_;
}

DWORD DebugCapture::error() const {
    kv::SectionLock lock(lock_);
    return error_;
}

DWORD WINAPI DebugCapture::ThreadMain(void* self) {
    static_cast<DebugCapture*>(self)->Run();
    return 0;
}

void DebugCapture::Run() {
    for (;;) {
        DWORD error = 0;
        if (OpenChannel(&error)) {
            SetState(State::Capturing);
            CaptureUntilStopped();
            CloseChannel();
            break;
        }
        // Another reader holds the channel: the viewer waits its turn instead of sharing
        // the buffer, which would split the strings between two readers.
        SetState(error ? State::Failing : State::Waiting, error);
        if (::WaitForSingleObject(stop_.get(), kRetryMs) != WAIT_TIMEOUT) break;
    }
    SetState(State::Stopped);
}

bool DebugCapture::OpenChannel(DWORD* error) {
    ChannelSecurity security;
    mapping_.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, security.get(), PAGE_READWRITE, 0, kBufferBytes, L"DBWIN_BUFFER"));
    const DWORD made = ::GetLastError();
    if (!mapping_ || made == ERROR_ALREADY_EXISTS) {
        // A buffer another reader made, or one it keeps from us: that reader's turn.
        *error = mapping_ || made == ERROR_ACCESS_DENIED ? 0 : made;
        mapping_.reset();
        return false;
    }
    bufferReady_.reset(::CreateEventW(security.get(), FALSE, FALSE, L"DBWIN_BUFFER_READY"));
    if (!bufferReady_) *error = ::GetLastError();
    dataReady_.reset(::CreateEventW(security.get(), FALSE, FALSE, L"DBWIN_DATA_READY"));
    if (!dataReady_ && !*error) *error = ::GetLastError();
    view_ = ::MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, kBufferBytes);
    if (!view_ && !*error) *error = ::GetLastError();
    if (*error) {
        CloseChannel();
        return false;
    }
    return true;
}

void DebugCapture::CloseChannel() {
    if (view_) ::UnmapViewOfFile(view_);
    view_ = nullptr;
    bufferReady_.reset();
    dataReady_.reset();
    mapping_.reset();
}

void DebugCapture::CaptureUntilStopped() {
    // The stop event first: a wait reports the first of its objects that is set, and
    // under a flood the data event is set at nearly every wait.
    const HANDLE waits[2] = {stop_.get(), dataReady_.get()};
    const char* buffer = static_cast<const char*>(view_);
    char text[kTextBytes + 1];
    ::SetEvent(bufferReady_.get());
    for (;;) {
        if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
        // Copy the string out and hand the buffer back before anything else: a writer
        // waits for it, holding the writers' mutex, so every other writer waits too.
        DWORD pid;
        memcpy(&pid, buffer, sizeof(pid));
        const char* src = buffer + sizeof(DWORD);
        size_t length = 0;
        while (length < kTextBytes && src[length]) ++length;
        memcpy(text, src, length);
        ::SetEvent(bufferReady_.get());
        Queue(pid, text, length);
    }
}

void DebugCapture::Queue(DWORD pid, const char* text, size_t length) noexcept {
    try {
        QueueLines(pid, text, length);
    } catch (...) {
        // Out of memory: the string is lost and counted, the capture goes on.
        kv::SectionLock lock(lock_);
        ++captured_;
        ++dropped_;
    }
}

void DebugCapture::QueueLines(DWORD pid, const char* text, size_t length) {
    std::wstring wide;
    if (length > 0) {
        const int n = ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
        if (n > 0) {
            wide.resize(static_cast<size_t>(n));
            ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), &wide[0], n);
        }
    }
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    std::vector<std::wstring> lines = SplitLines(wide);

    bool tell = false;
    {
        kv::SectionLock lock(lock_);
        for (auto& line : lines) {
            const uint64_t number = ++captured_;
            // The window is behind: keep memory bounded and count what is lost.
            if (pendingChars_ + line.size() > maxPendingChars_ && !pending_.empty()) {
                ++dropped_;
                continue;
            }
            pendingChars_ += line.size() + 1;
            pending_.push_back(CapturedLine{number, pid, now, std::move(line)});
        }
        if (!pending_.empty() && !notified_) tell = notified_ = true;
    }
    // One posted message per batch: the window takes everything that waits when it runs.
    if (tell) Notify();
}

void DebugCapture::SetState(State s, DWORD error) {
    {
        kv::SectionLock lock(lock_);
        if (state_ == s && error_ == error) return;
        state_ = s;
        error_ = error;
    }
    Notify();
}

void DebugCapture::Notify() { ::PostMessageW(notifyWindow_, notifyMessage_, 0, 0); }

}  // namespace dbgview

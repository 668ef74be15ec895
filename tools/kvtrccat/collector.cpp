// The syslog framing of a line and the connection to the collector.
#include "tools/kvtrccat/collector.h"

#include <stdio.h>
#include <string.h>

namespace kv::cat {

namespace {

std::string Narrow(const std::wstring& w) {
    std::string out;
    for (wchar_t c : w) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

// A socket that closes itself.
struct SocketOwner {
    SOCKET s = INVALID_SOCKET;
    ~SocketOwner() {
        if (s != INVALID_SOCKET) ::closesocket(s);
    }
    SOCKET release() noexcept {
        const SOCKET r = s;
        s = INVALID_SOCKET;
        return r;
    }
};

// Waits until s is ready for the kind of access asked; false at the bound.
bool WaitReady(SOCKET s, bool write, DWORD ms) {
    fd_set set, errors;
    FD_ZERO(&set);
    FD_ZERO(&errors);
    FD_SET(s, &set);
    FD_SET(s, &errors);
    timeval tv = {static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    const int n = ::select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &tv);
    return n > 0 && FD_ISSET(s, &set);
}

}  // namespace

int SeverityOfLevel(int level) noexcept {
    switch (level) {
    case 10: return 3;   // error
    case 20: return 4;   // warning
    case 40: return 7;   // debug
    case 0:              // the server's own lines
    case -1: return 5;   // operator actions: notice
    default: return 6;   // informational
    }
}

void AppendFrame(std::string* out, int severity, const char* timestamp, const std::string& host, const char* msg,
                 size_t msgBytes) {
    char head[160];
    const int n = snprintf(head, sizeof head, "<%d>1 %s %s %s - - - ", kFacility * 8 + severity,
                           timestamp && *timestamp ? timestamp : "-", host.empty() ? "-" : host.c_str(), kAppName);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof head) return;
    char len[24];
    const int m = snprintf(len, sizeof len, "%zu ", static_cast<size_t>(n) + msgBytes);
    out->append(len, static_cast<size_t>(m));
    out->append(head, static_cast<size_t>(n));
    out->append(msg, msgBytes);
}

bool LocalTimestamp(int year, int month, int day, int hour, int minute, int second, int millis, char out[40]) {
    // The offset changes only at a daylight-saving switch: kept per minute.
    static thread_local long long cachedMinute = -1;
    static thread_local int cachedOffset = 0;
    const long long minuteKey = ((((year * 13LL + month) * 32 + day) * 24 + hour) * 60) + minute;
    if (minuteKey != cachedMinute) {
        SYSTEMTIME local = {static_cast<WORD>(year), static_cast<WORD>(month), 0, static_cast<WORD>(day),
                            static_cast<WORD>(hour), static_cast<WORD>(minute), 0, 0};
        SYSTEMTIME utc;
        FILETIME lf, uf;
        if (!::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !::SystemTimeToFileTime(&local, &lf) ||
            !::SystemTimeToFileTime(&utc, &uf))
            return false;
        const long long l = (static_cast<long long>(lf.dwHighDateTime) << 32) | lf.dwLowDateTime;
        const long long u = (static_cast<long long>(uf.dwHighDateTime) << 32) | uf.dwLowDateTime;
        cachedOffset = static_cast<int>((l - u) / (60 * 10000000LL));  // minutes east of UTC
        cachedMinute = minuteKey;
    }
    const int off = cachedOffset < 0 ? -cachedOffset : cachedOffset;
    snprintf(out, 40, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", year, month, day, hour, minute, second, millis,
             cachedOffset < 0 ? '-' : '+', off / 60, off % 60);
    return true;
}

Collector::Collector() {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

Collector::~Collector() {
    Drop();
    if (started_) ::WSACleanup();
}

bool Collector::SetAddress(const std::wstring& hostPort, std::wstring* why) {
    const std::string t = Narrow(hostPort);
    size_t colon;
    if (!t.empty() && t[0] == '[') {
        const size_t close = t.find(']');
        if (close == std::string::npos || close + 1 >= t.size() || t[close + 1] != ':') colon = std::string::npos;
        else host_ = t.substr(1, close - 1), colon = close + 1;
    } else {
        colon = t.rfind(':');
        if (colon != std::string::npos) host_ = t.substr(0, colon);
    }
    if (colon != std::string::npos) port_ = t.substr(colon + 1);
    unsigned long port = 0;
    char* end = nullptr;
    if (colon != std::string::npos && !port_.empty()) port = strtoul(port_.c_str(), &end, 10);
    if (colon == std::string::npos || host_.empty() || !end || *end || port < 1 || port > 65535 ||
        t.find_first_of(" \t") != std::string::npos) {
        if (why) *why = L"bad collector '" + hostPort + L"': expected HOST:PORT";
        return false;
    }
    text_ = t;
    return true;
}

bool Collector::Fail(const char* what, int error) noexcept {
    failure_ = what;
    error_ = error;
    return false;
}

SOCKET Collector::Open() {
    if (!started_) return Fail("no sockets", 0), INVALID_SOCKET;
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    if (const int e = ::getaddrinfo(host_.c_str(), port_.c_str(), &hints, &list)) return Fail("cannot resolve", e), INVALID_SOCKET;
    SocketOwner result;
    for (addrinfo* a = list; a && result.s == INVALID_SOCKET; a = a->ai_next) {
        SocketOwner s;
        s.s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s.s == INVALID_SOCKET) {
            Fail("no socket", ::WSAGetLastError());
            continue;
        }
        // Connect without blocking, so that an unreachable host costs kConnectMs at most.
        u_long nonBlocking = 1;
        ::ioctlsocket(s.s, FIONBIO, &nonBlocking);
        if (::connect(s.s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            const int e = ::WSAGetLastError();
            if (e != WSAEWOULDBLOCK) {
                Fail("cannot connect", e);
                continue;
            }
            if (!WaitReady(s.s, true, kConnectMs)) {
                int so = 0, len = sizeof so;
                ::getsockopt(s.s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so), &len);
                Fail("cannot connect", so ? so : WSAETIMEDOUT);
                continue;
            }
        }
        nonBlocking = 0;
        ::ioctlsocket(s.s, FIONBIO, &nonBlocking);
        const DWORD sendMs = kSendMs, recvMs = kConfirmMs;
        ::setsockopt(s.s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendMs), sizeof sendMs);
        ::setsockopt(s.s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&recvMs), sizeof recvMs);
        const BOOL noDelay = TRUE;
        ::setsockopt(s.s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        result.s = s.release();
    }
    ::freeaddrinfo(list);
    return result.release();
}

bool Collector::Connect() {
    Drop();
    socket_ = Open();
    return socket_ != INVALID_SOCKET;
}

bool Collector::Send(const char* data, size_t bytes) {
    while (bytes) {
        if (socket_ == INVALID_SOCKET) return Fail("not connected", 0);
        const int chunk = bytes > (1u << 20) ? (1 << 20) : static_cast<int>(bytes);
        const int n = ::send(socket_, data, chunk, 0);
        if (n <= 0) {
            Fail("cannot send", ::WSAGetLastError());
            Drop();
            return false;
        }
        data += n;
        bytes -= static_cast<size_t>(n);
    }
    return true;
}

bool Collector::CloseAndWait(SOCKET s) {
    // Our end of sending; the collector answers it by closing once it has read all.
    if (::shutdown(s, SD_SEND) != 0) return Fail("cannot end the connection", ::WSAGetLastError());
    char sink[512];
    const DWORD start = ::GetTickCount();
    for (;;) {
        const int n = ::recv(s, sink, sizeof sink, 0);
        if (n == 0) return true;
        if (n < 0) return Fail("connection lost before the collector confirmed", ::WSAGetLastError());
        if (::GetTickCount() - start > kConfirmMs) return Fail("no confirmation from the collector", WSAETIMEDOUT);
    }
}

bool Collector::Confirm() {
    if (socket_ == INVALID_SOCKET) return Fail("not connected", 0);
    const bool taken = CloseAndWait(socket_);
    Drop();
    if (!taken) return false;
    // A collector that is shutting down closes a half-read connection the same way; a
    // second one answered proves it still runs.
    SocketOwner probe;
    probe.s = Open();
    return probe.s != INVALID_SOCKET && CloseAndWait(probe.s);
}

void Collector::Drop() noexcept {
    if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
    socket_ = INVALID_SOCKET;
}

}  // namespace kv::cat

// Syslog messages of trace lines, and the two ways to a collector: RELP and plain TCP.
#include "tools/kvtrccat/collector.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace kv::cat {

namespace {

std::string Narrow(const std::wstring& w) {
    std::string out;
    for (wchar_t c : w) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

long long FileTimeValue(const SYSTEMTIME& t) noexcept {
    FILETIME f;
    if (!::SystemTimeToFileTime(&t, &f)) return -1;
    return static_cast<long long>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime);
}

SYSTEMTIME SystemTimeOf(long long v) noexcept {
    FILETIME f = {static_cast<DWORD>(v), static_cast<DWORD>(static_cast<unsigned long long>(v) >> 32)};
    SYSTEMTIME t = {};
    ::FileTimeToSystemTime(&f, &t);
    return t;
}

constexpr long long kTicksPerMinute = 60 * 10000000LL;

// Minutes east of UTC of this machine's zone at the UTC instant utc (in FILETIME ticks).
bool OffsetAt(long long utc, int* minutes) noexcept {
    const SYSTEMTIME u = SystemTimeOf(utc);
    SYSTEMTIME l;
    if (!::SystemTimeToTzSpecificLocalTime(nullptr, &u, &l)) return false;
    const long long local = FileTimeValue(l);
    if (local < 0) return false;
    *minutes = static_cast<int>((local - utc) / kTicksPerMinute);
    return true;
}

// The RELP frame's header numbers: 1 to 9 digits.
bool ReadNumber(const char*& p, const char* end, uint32_t* v) {
    const char* start = p;
    *v = 0;
    while (p < end && *p >= '0' && *p <= '9' && p - start < 9) *v = *v * 10 + static_cast<uint32_t>(*p++ - '0');
    return p > start && p < end;
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

void AppendHeader(std::string* out, int severity, const char* timestamp, const std::string& host) {
    char head[160];
    const int n = snprintf(head, sizeof head, "<%d>1 %s %s %s - - - ", kFacility * 8 + severity,
                           timestamp && *timestamp ? timestamp : "-", host.empty() ? "-" : host.c_str(), kAppName);
    if (n > 0 && static_cast<size_t>(n) < sizeof head) out->append(head, static_cast<size_t>(n));
}

bool UtcOffsets::SetFixed(const std::wstring& t) {
    int minutes = 0;
    if (t == L"Z") {
    } else if (t.size() == 6 && (t[0] == L'+' || t[0] == L'-') && t[3] == L':' && iswdigit(t[1]) && iswdigit(t[2]) &&
               iswdigit(t[4]) && iswdigit(t[5])) {
        const int h = (t[1] - L'0') * 10 + (t[2] - L'0'), m = (t[4] - L'0') * 10 + (t[5] - L'0');
        if (h > 14 || m > 59) return false;
        minutes = (t[0] == L'-' ? -1 : 1) * (h * 60 + m);
    } else {
        return false;
    }
    fixed_ = true;
    fixedMinutes_ = minutes;
    return true;
}

bool UtcOffsets::Format(int year, int month, int day, int hour, int minute, int second, int millis, bool later,
                        char out[40], bool* repeated) {
    const long long minuteKey = ((((year * 13LL + month) * 32 + day) * 24 + hour) * 60) + minute;
    if (fixed_) {
        first_ = second_ = fixedMinutes_;
    } else if (minuteKey != cachedMinute_) {
        const SYSTEMTIME local = {static_cast<WORD>(year), static_cast<WORD>(month), 0, static_cast<WORD>(day),
                                  static_cast<WORD>(hour), static_cast<WORD>(minute), 0, 0};
        SYSTEMTIME guess;
        const long long l = FileTimeValue(local);
        if (l < 0 || !::TzSpecificLocalTimeToSystemTime(nullptr, &local, &guess)) return false;
        // A local time may stand for two instants (the hour repeated when summer time
        // ends) or none (the hour skipped when it begins): the offsets three hours on
        // either side are the candidates, and each that maps back to this local time is one.
        const long long u = FileTimeValue(guess);
        int candidates[3] = {static_cast<int>((l - u) / kTicksPerMinute), 0, 0};
        if (!OffsetAt(u - 180 * kTicksPerMinute, &candidates[1]) || !OffsetAt(u + 180 * kTicksPerMinute, &candidates[2]))
            return false;
        int low = 0, high = 0;
        bool any = false;
        for (int c : candidates) {
            int back = 0;
            if (!OffsetAt(l - c * kTicksPerMinute, &back) || back != c) continue;
            low = any && low < c ? low : c;
            high = any && high > c ? high : c;
            any = true;
        }
        // The earlier instant has the larger offset; a skipped hour takes the guess.
        first_ = any ? high : candidates[0];
        second_ = any ? low : candidates[0];
        cachedMinute_ = minuteKey;
    }
    if (repeated) *repeated = first_ != second_;
    const int offset = later ? second_ : first_;
    const int off = offset < 0 ? -offset : offset;
    snprintf(out, 40, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", year, month, day, hour, minute, second, millis,
             offset < 0 ? '-' : '+', off / 60, off % 60);
    return true;
}

// --- the connection ---------------------------------------------------------------------

Link::Link() {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

Link::~Link() {
    Drop();
    if (started_) ::WSACleanup();
}

bool Link::SetAddress(const std::wstring& hostPort, std::wstring* why) {
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
        t.find_first_of(" \t/") != std::string::npos) {
        if (why) *why = L"bad collector '" + hostPort + L"': expected [relp://|tcp://]HOST:PORT";
        return false;
    }
    return true;
}

bool Link::Fail(const char* what, int error) noexcept {
    failure_ = what;
    error_ = error;
    return false;
}

bool Link::Wait(bool write, DWORD ms) {
    fd_set set, errors;
    FD_ZERO(&set);
    FD_ZERO(&errors);
    FD_SET(socket_, &set);
    FD_SET(socket_, &errors);
    timeval tv = {static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    // An error counts as ready: the next call says what it is.
    return ::select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &tv) > 0;
}

bool Link::Connect() {
    Drop();
    if (!started_) return Fail("no sockets", 0);
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    if (const int e = ::getaddrinfo(host_.c_str(), port_.c_str(), &hints, &list)) return Fail("cannot resolve", e);
    for (addrinfo* a = list; a && socket_ == INVALID_SOCKET; a = a->ai_next) {
        socket_ = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (socket_ == INVALID_SOCKET) {
            Fail("no socket", ::WSAGetLastError());
            continue;
        }
        // Without blocking, so that an unreachable host costs kConnectMs at most.
        u_long nonBlocking = 1;
        ::ioctlsocket(socket_, FIONBIO, &nonBlocking);
        int e = 0;
        if (::connect(socket_, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            e = ::WSAGetLastError();
            if (e == WSAEWOULDBLOCK) {
                int so = 0, len = sizeof so;
                const bool ready = Wait(true, kConnectMs);
                ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so), &len);
                e = ready ? so : WSAETIMEDOUT;
            }
        }
        if (e) {
            Fail("cannot connect", e);
            Drop();
            continue;
        }
        const BOOL noDelay = TRUE;
        ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    }
    ::freeaddrinfo(list);
    return socket_ != INVALID_SOCKET;
}

bool Link::SendAll(const char* data, size_t bytes, std::string* in) {
    ULONGLONG waitedSince = 0;
    while (bytes) {
        if (socket_ == INVALID_SOCKET) return Fail("not connected", 0);
        const int chunk = bytes > (1u << 20) ? (1 << 20) : static_cast<int>(bytes);
        const int n = ::send(socket_, data, chunk, 0);
        if (n > 0) {
            data += n;
            bytes -= static_cast<size_t>(n);
            waitedSince = 0;
            continue;
        }
        const int e = ::WSAGetLastError();
        if (e != WSAEWOULDBLOCK) return Fail("cannot send", e);
        const ULONGLONG now = ::GetTickCount64();
        if (!waitedSince) waitedSince = now;
        if (now - waitedSince > kSendMs) return Fail("the collector takes nothing", WSAETIMEDOUT);
        // Room to send, or answers to take: a collector whose answers nobody reads stops reading.
        fd_set reads, writes, errors;
        FD_ZERO(&reads);
        FD_ZERO(&writes);
        FD_ZERO(&errors);
        FD_SET(socket_, &reads);
        FD_SET(socket_, &writes);
        FD_SET(socket_, &errors);
        timeval tv = {0, 100 * 1000};
        if (::select(0, &reads, &writes, &errors, &tv) > 0 && (FD_ISSET(socket_, &reads) || FD_ISSET(socket_, &errors))) {
            bool got = false;
            std::string ignored;
            if (!Receive(in ? in : &ignored, 0, &got)) return false;
            if (got && !in) return Fail("the collector talks on a plain TCP connection", 0);
        }
    }
    return true;
}

bool Link::Receive(std::string* in, DWORD waitMs, bool* got) {
    *got = false;
    if (socket_ == INVALID_SOCKET) return Fail("not connected", 0);
    char buffer[16384];
    for (;;) {
        const int n = ::recv(socket_, buffer, sizeof buffer, 0);
        if (n > 0) {
            in->append(buffer, static_cast<size_t>(n));
            *got = true;
            if (static_cast<size_t>(n) < sizeof buffer) return true;
            continue;
        }
        if (n == 0) return Fail("connection closed by the collector", 0);
        const int e = ::WSAGetLastError();
        if (e != WSAEWOULDBLOCK) return Fail("connection lost", e);
        if (*got || !waitMs) return true;
        if (!Wait(false, waitMs)) return true;
        waitMs = 0;
    }
}

bool Link::EndAndWait() {
    // Our end of sending; the collector answers it by closing once it has read all.
    if (::shutdown(socket_, SD_SEND) != 0) return Fail("cannot end the connection", ::WSAGetLastError());
    const ULONGLONG start = ::GetTickCount64();
    std::string ignored;
    for (;;) {
        bool got = false;
        if (!Receive(&ignored, 250, &got))
            return strcmp(failure_, "connection closed by the collector") == 0 ||
                   Fail("connection lost before the collector confirmed", error_);
        ignored.clear();
        if (::GetTickCount64() - start > kAnswerMs) return Fail("no confirmation from the collector", WSAETIMEDOUT);
    }
}

bool Link::StillOpen() {
    if (socket_ == INVALID_SOCKET || !Wait(false, 0)) return socket_ != INVALID_SOCKET;
    char c;
    const int n = ::recv(socket_, &c, 1, MSG_PEEK);
    if (n == 0) return Fail("the collector closed the connection before the batch", 0);
    if (n < 0 && ::WSAGetLastError() != WSAEWOULDBLOCK) return Fail("connection lost", ::WSAGetLastError());
    return true;
}

void Link::Drop() noexcept {
    if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
    socket_ = INVALID_SOCKET;
}

Collector* Collector::Make(const std::wstring& text, std::wstring* why) {
    const bool relp = text.compare(0, 7, L"relp://") == 0, tcp = text.compare(0, 6, L"tcp://") == 0;
    Collector* c = relp ? static_cast<Collector*>(new RelpCollector) : new TcpCollector;
    if (!c->link_.SetAddress(text.substr(relp ? 7 : tcp ? 6 : 0), why)) {
        delete c;
        return nullptr;
    }
    c->text_ = Narrow(text);
    return c;
}

// --- RELP -------------------------------------------------------------------------------

uint32_t RelpCollector::Next() noexcept {
    txnr_ = txnr_ >= 999999999 ? 1 : txnr_ + 1;  // nine digits at most, then from 1 again
    return txnr_;
}

bool RelpCollector::Open() {
    Drop();
    if (!link_.Connect()) return false;
    static const char kOffers[] = "relp_version=0\nrelp_software=kvtrccat\ncommands=syslog";
    char head[32];
    const int n = snprintf(head, sizeof head, "%u open %zu ", openTxnr_ = Next(), sizeof kOffers - 1);
    out_.assign(head, static_cast<size_t>(n)).append(kOffers, sizeof kOffers - 1).append("\n");
    if (!Flush()) return false;
    // The answer to the offers opens the session.
    const ULONGLONG start = ::GetTickCount64();
    while (!open_) {
        if (!Answers(250)) return false;
        if (!open_ && ::GetTickCount64() - start > Link::kAnswerMs)
            return link_.Fail("the collector does not answer the RELP open", WSAETIMEDOUT);
    }
    return true;
}

bool RelpCollector::Flush() {
    if (out_.empty()) return true;
    const bool ok = link_.SendAll(out_.data(), out_.size(), &in_);
    out_.clear();
    return ok && Answers(0);
}

bool RelpCollector::Answers(DWORD waitMs) {
    // What came before the connection ended still counts.
    bool got = false;
    const bool alive = link_.Receive(&in_, waitMs, &got);
    size_t at = 0;
    while (at < in_.size()) {
        // "TXNR SP COMMAND SP DATALEN [SP DATA] LF"
        const char *p = in_.data() + at, *end = in_.data() + in_.size(), *start = p;
        uint32_t txnr = 0, length = 0;
        if (!ReadNumber(p, end, &txnr)) break;
        if (*p++ != ' ') return link_.Fail("a RELP frame of the collector cannot be read", 0);
        const char* command = p;
        while (p < end && *p >= 'a' && *p <= 'z') ++p;
        const size_t commandChars = static_cast<size_t>(p - command);
        if (p == end) break;
        if (*p++ != ' ' || !commandChars) return link_.Fail("a RELP frame of the collector cannot be read", 0);
        if (!ReadNumber(p, end, &length)) break;
        if (length > (1u << 20)) return link_.Fail("a RELP frame of the collector cannot be read", 0);
        const size_t need = static_cast<size_t>(p - start) + (length ? length + 1 : 0) + 1;
        if (in_.size() - at < need) break;
        const char* data = length ? p + 1 : p;
        if ((length && *p != ' ') || data[length] != '\n')
            return link_.Fail("a RELP frame of the collector cannot be read", 0);
        at += need;
        const std::string cmd(command, commandChars);
        if (cmd == "serverclose") return link_.Fail("the collector closed the session (serverclose)", 0);
        if (cmd != "rsp") return link_.Fail("the collector sent a RELP command other than rsp", 0);
        const bool ok = length >= 3 && memcmp(data, "200", 3) == 0;
        if (!ok) {
            const char* nl = static_cast<const char*>(memchr(data, '\n', length));
            refusal_.assign(data, nl ? static_cast<size_t>(nl - data) : length);
        }
        if (!open_) {
            const std::string offers(data, length);
            const size_t commands = offers.find("\ncommands=");
            if (txnr != openTxnr_) return link_.Fail("the collector answered a RELP frame never sent", 0);
            if (!ok) return link_.Fail("the collector refused the RELP session", 0);
            if (commands == std::string::npos || offers.find("syslog", commands) == std::string::npos)
                return link_.Fail("the collector does not take syslog messages over RELP", 0);
            open_ = true;
            continue;
        }
        if (closing_ && txnr == closeTxnr_) {  // the session is over: its "serverclose" is no news
            open_ = closing_ = false;
            in_.clear();
            return true;
        }
        size_t i = 0;  // the answers come in order: the first unanswered, as a rule
        while (i < sent_.size() && sent_[i].txnr != txnr) ++i;
        if (i == sent_.size()) return link_.Fail("the collector answered a RELP frame never sent", 0);
        if (!ok) {
            refused_ = static_cast<long long>(i);
            return link_.Fail("the collector refused a line", 0);
        }
        sent_[i].answered = true;
        while (!sent_.empty() && sent_.front().answered) {
            sent_.pop_front();
            ++taken_;
        }
    }
    in_.erase(0, at);
    return alive;
}

bool RelpCollector::Send(const char* msg, size_t bytes, ULONGLONG) {
    if (!open_ && !Open()) return false;
    // A full window waits until a quarter of it is answered: going on at the first free
    // place would send the rest one frame at a time.
    if (sent_.size() >= kWindow) {
        ULONGLONG start = ::GetTickCount64();
        for (size_t before = sent_.size(); sent_.size() > kWindow - kWindow / 4;) {
            if (!Flush() || !Answers(250)) return false;
            if (sent_.size() < before) before = sent_.size(), start = ::GetTickCount64();
            else if (::GetTickCount64() - start > Link::kAnswerMs) return link_.Fail("no answer from the collector", WSAETIMEDOUT);
        }
    }
    char head[40];
    const int n = snprintf(head, sizeof head, "%u syslog %zu ", Next(), bytes);
    out_.append(head, static_cast<size_t>(n)).append(msg, bytes).append("\n", 1);
    sent_.push_back(Sent{txnr_, false});
    return out_.size() < kSendBytes || Flush();
}

bool RelpCollector::Pump(ULONGLONG, bool end) {
    if (!open_) return sent_.empty() || link_.Fail("not connected", 0);
    if (!Flush()) return false;
    if (!end) return true;
    // Everything answered, then "close", whose answer ends the session.
    ULONGLONG start = ::GetTickCount64();
    size_t before = sent_.size();
    while (!sent_.empty()) {
        if (!Answers(250)) return false;
        if (sent_.size() != before) before = sent_.size(), start = ::GetTickCount64();
        if (::GetTickCount64() - start > Link::kAnswerMs) return link_.Fail("no answer from the collector", WSAETIMEDOUT);
    }
    char head[32];
    const int n = snprintf(head, sizeof head, "%u close 0\n", closeTxnr_ = Next());
    out_.assign(head, static_cast<size_t>(n));
    closing_ = true;
    if (!Flush()) return false;
    start = ::GetTickCount64();
    while (closing_) {
        if (!Answers(250)) return false;
        if (closing_ && ::GetTickCount64() - start > Link::kAnswerMs)
            return link_.Fail("no answer to the RELP close", WSAETIMEDOUT);
    }
    Drop();
    return true;
}

void RelpCollector::Drop() noexcept {
    link_.Drop();
    out_.clear();
    in_.clear();
    sent_.clear();
    txnr_ = 0;
    open_ = closing_ = false;
    refused_ = -1;
}

// --- plain TCP --------------------------------------------------------------------------

bool TcpCollector::Send(const char* msg, size_t bytes, ULONGLONG now) {
    char len[24];
    const int n = snprintf(len, sizeof len, "%zu ", bytes);
    batch_.append(len, static_cast<size_t>(n)).append(msg, bytes);
    if (!lines_++) first_ = now;
    return (lines_ < kBatchLines && batch_.size() < kBatchBytes) || Deliver();
}

bool TcpCollector::Pump(ULONGLONG now, bool end) {
    return !lines_ || (!end && now - first_ < kBatchMs) || Deliver();
}

bool TcpCollector::Deliver() {
    // Connected only now: a connection kept while the batch filled may have been closed
    // by a collector that restarted meanwhile.
    if (!link_.Connect() || !link_.StillOpen() || !link_.SendAll(batch_.data(), batch_.size(), nullptr) ||
        !link_.EndAndWait())
        return false;
    // A collector that is shutting down closes a half-read connection the same way; a
    // second one answered proves it still runs.
    if (!link_.Connect() || !link_.EndAndWait()) return false;
    link_.Drop();
    taken_ += lines_;
    batch_.clear();
    lines_ = 0;
    return true;
}

void TcpCollector::Drop() noexcept {
    link_.Drop();
    batch_.clear();
    lines_ = 0;
    refused_ = -1;
}

}  // namespace kv::cat

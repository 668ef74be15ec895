// Sending trace lines to a central syslog collector over TCP: one RFC 5424 message per
// line in the octet-counted framing of RFC 6587, and the confirmation that the
// collector has taken everything sent so far.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdint.h>

#include <string>

namespace kv::cat {

// The fixed application name of every message; the host name is the station's name.
constexpr char kAppName[] = "kvtrace";
// Facility local0; the severity follows the line's level.
constexpr int kFacility = 16;
int SeverityOfLevel(int level) noexcept;

// Appends one framed message: "LEN <PRI>1 TIMESTAMP HOST APP - - - MSG". timestamp is
// RFC 3339 text ("2007-03-12T10:00:00.120+01:00") or null for the collector's time.
void AppendFrame(std::string* out, int severity, const char* timestamp, const std::string& host, const char* msg,
                 size_t msgBytes);

// RFC 3339 text of a local date and time of this machine, with its offset from UTC
// at that moment (daylight saving included). false when the time does not exist.
bool LocalTimestamp(int year, int month, int day, int hour, int minute, int second, int millis, char out[40]);

// One collector, "HOST:PORT" ("[v6]:PORT" for an IPv6 address). Plain TCP has no answer
// of its own, so a batch counts as taken only when the collector, after our end of
// sending, closed its side (it read up to our end), and a second connection opened
// right after is answered the same way: a collector that is shutting down closes the
// connections it has not finished with and refuses or resets the next one.
class Collector {
public:
    Collector();
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // false with the reason when the text is no HOST:PORT.
    bool SetAddress(const std::wstring& hostPort, std::wstring* why);
    const std::string& address() const noexcept { return text_; }

    bool connected() const noexcept { return socket_ != INVALID_SOCKET; }
    // Opens a connection, waiting at most kConnectMs. false on failure (see error()).
    bool Connect();
    // Sends all bytes; false when the connection failed.
    bool Send(const char* data, size_t bytes);
    // Ends the connection and waits (bounded) until the collector has taken everything
    // sent on it; false when that cannot be shown. The connection is closed either way.
    bool Confirm();
    void Drop() noexcept;

    // What failed last: a short text and the system error.
    const char* failure() const noexcept { return failure_; }
    int error() const noexcept { return error_; }

    static constexpr DWORD kConnectMs = 5000;
    static constexpr DWORD kSendMs = 15000;
    static constexpr DWORD kConfirmMs = 15000;

private:
    SOCKET Open();
    bool CloseAndWait(SOCKET s);
    bool Fail(const char* what, int error) noexcept;

    std::string text_, host_, port_;
    SOCKET socket_ = INVALID_SOCKET;
    const char* failure_ = "";
    int error_ = 0;
    bool started_ = false;
};

// The growing pause between attempts to reach a collector that is away.
class Backoff {
public:
    static constexpr DWORD kFirstMs = 250;
    static constexpr DWORD kMaxMs = 5000;
    DWORD Next() noexcept {
        const DWORD d = next_;
        next_ = next_ * 2 > kMaxMs ? kMaxMs : next_ * 2;
        return d;
    }
    void Reset() noexcept { next_ = kFirstMs; }

private:
    DWORD next_ = kFirstMs;
};

}  // namespace kv::cat

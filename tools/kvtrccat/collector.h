// Sending trace lines to a central syslog collector: one RFC 5424 message per line,
// either over RELP, where the collector answers every message and a sender knows what
// it kept, or over plain TCP in the octet-counted framing of RFC 6587, where a batch
// counts as taken once the collector has read it to its end.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdint.h>

#include <deque>
#include <string>

namespace kv::cat {

// --- messages ---------------------------------------------------------------------------

// The fixed application name of every message; the host name is the station's name.
constexpr char kAppName[] = "kvtrace";
// Facility local0; the severity follows the line's level.
constexpr int kFacility = 16;
int SeverityOfLevel(int level) noexcept;
// The longest message sent, its header included: below the 8,192 bytes a collector takes
// by default (rsyslog's maxMessageSize; syslog-ng takes 65,536). A longer line's text is
// cut and ends in kCutMark, so that no collector cuts or drops the message itself.
constexpr size_t kMaxMessageBytes = 8000;
constexpr char kCutMark[] = " [cut]";

// Appends the header of a message, "<PRI>1 TIMESTAMP HOST APP - - - ". timestamp is
// RFC 3339 text ("2007-03-12T10:00:00.120+01:00") or null for the collector's time.
void AppendHeader(std::string* out, int severity, const char* timestamp, const std::string& host);

// The offset from UTC of the stations' local times: the zone of this machine (summer
// time included) or one fixed offset for every line (--utc-offset).
class UtcOffsets {
public:
    // "+HH:MM" or "-HH:MM" (also "Z"); false when the text is no offset.
    bool SetFixed(const std::wstring& text);
    // RFC 3339 text of a local date and time with its offset. In the hour a change back
    // from summer time repeats, *repeated is set, and later picks the second of the two
    // (the offset after the change). False when the date is no date.
    bool Format(int year, int month, int day, int hour, int minute, int second, int millis, bool later,
                char out[40], bool* repeated);

private:
    bool fixed_ = false;
    int fixedMinutes_ = 0;
    long long cachedMinute_ = -1;  // the offsets change only at a change of summer time
    int first_ = 0, second_ = 0;   // minutes east of UTC; they differ in a repeated hour
};

// --- collectors -------------------------------------------------------------------------

// A connection to a collector with its address, waits bounded.
class Link {
public:
    Link();
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // "HOST:PORT" or "[v6]:PORT"; false with the reason.
    bool SetAddress(const std::wstring& hostPort, std::wstring* why);
    bool Connect();  // blocking at most kConnectMs; the socket then does not block
    bool connected() const noexcept { return socket_ != INVALID_SOCKET; }
    // Sends all bytes, waiting at most kSendMs for room; while it waits, received bytes
    // are appended to *in (when given), so that a peer that answers is never stuck.
    bool SendAll(const char* data, size_t bytes, std::string* in);
    // Appends what has arrived, waiting up to waitMs for the first byte. False when the
    // connection ended or failed (a clean end: failure "connection closed by the collector").
    bool Receive(std::string* in, DWORD waitMs, bool* got);
    // Half-closes and waits (bounded) until the collector closed its side: it read all.
    bool EndAndWait();
    // False when the collector has already closed or reset the connection.
    bool StillOpen();
    void Drop() noexcept;

    bool Fail(const char* what, int error) noexcept;
    const char* failure() const noexcept { return failure_; }
    int error() const noexcept { return error_; }

    static constexpr DWORD kConnectMs = 5000;
    static constexpr DWORD kSendMs = 15000;
    static constexpr DWORD kAnswerMs = 15000;

private:
    bool Wait(bool write, DWORD ms);
    std::string host_, port_;
    SOCKET socket_ = INVALID_SOCKET;
    const char* failure_ = "";
    int error_ = 0;
    bool started_ = false;
};

// Where the messages go. Messages are numbered by the order they were given in; the
// collector tells how many of them, from the first on, it has taken (kept, as far as it
// can say). After a failure everything not taken is to be given again.
class Collector {
public:
    virtual ~Collector() = default;
    // "relp://HOST:PORT", "tcp://HOST:PORT" or "HOST:PORT" (plain TCP); null with the reason.
    static Collector* Make(const std::wstring& text, std::wstring* why);

    const std::string& address() const noexcept { return text_; }
    // One message (without framing). False when the connection failed.
    virtual bool Send(const char* msg, size_t bytes, ULONGLONG now) = 0;
    // Sends what waits and takes the collector's answers; at the end also waits for them
    // and closes. False when the connection failed.
    virtual bool Pump(ULONGLONG now, bool end) = 0;
    virtual void Drop() noexcept = 0;
    // Messages taken since the last call.
    size_t Taken() noexcept {
        const size_t n = taken_;
        taken_ = 0;
        return n;
    }
    // A message the collector refused: its number among those not taken (the first is
    // 0) and the collector's words; -1 when the failure was not a refusal.
    long long refused() const noexcept { return refused_; }
    const std::string& refusal() const noexcept { return refusal_; }
    const char* failure() const noexcept { return link_.failure(); }
    int error() const noexcept { return link_.error(); }

protected:
    Link link_;
    std::string text_;
    size_t taken_ = 0;
    long long refused_ = -1;
    std::string refusal_;
};

// RELP: "open" offering relp_version and commands=syslog, then one "syslog" frame per
// message, each answered by a "rsp" with its transaction number; up to kWindow of them
// unanswered. "close" at the end; a "serverclose" of the collector ends the session.
class RelpCollector : public Collector {
public:
    static constexpr size_t kWindow = 1024;
    static constexpr size_t kSendBytes = 64 * 1024;
    bool Send(const char* msg, size_t bytes, ULONGLONG now) override;
    bool Pump(ULONGLONG now, bool end) override;
    void Drop() noexcept override;

private:
    bool Open();
    bool Flush();
    // Reads answers, waiting up to waitMs for the first; false when the session ended.
    bool Answers(DWORD waitMs);
    uint32_t Next() noexcept;

    struct Sent {
        uint32_t txnr;
        bool answered;
    };
    std::deque<Sent> sent_;  // unanswered, in sending order
    std::string out_, in_;
    uint32_t txnr_ = 0;       // of the last frame sent
    bool open_ = false;
    bool closing_ = false;   // our "close" is out; its answer ends the session
    uint32_t openTxnr_ = 0, closeTxnr_ = 0;
};

// Plain TCP: nothing is answered. Messages wait in a batch of at most kBatchLines or
// kBatchMs; the batch's connection is made only when it is complete and checked before
// its first byte; the batch counts as taken when the collector, after our end of
// sending, has closed its side (it read everything) and a second connection opened
// right after is answered the same way (one that is shutting down refuses it). A
// collector that stops after reading, before storing, still loses what it read.
class TcpCollector : public Collector {
public:
    static constexpr size_t kBatchLines = 10000;
    static constexpr size_t kBatchBytes = 8 << 20;
    static constexpr DWORD kBatchMs = 1000;
    bool Send(const char* msg, size_t bytes, ULONGLONG now) override;
    bool Pump(ULONGLONG now, bool end) override;
    void Drop() noexcept override;

private:
    bool Deliver();
    std::string batch_;
    size_t lines_ = 0;
    ULONGLONG first_ = 0;  // when the batch's first message came
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

// How far each station's lines have been delivered: the positions of the lines sent,
// the positions confirmed (by the collector, or written to standard output), and the
// --state file that keeps the confirmed ones across a restart.
#pragma once

#include <string>
#include <vector>

#include "tools/kvtrccat/collector.h"
#include "tools/kvtrccat/state.h"

namespace kv::cat {

class Shipper {
public:
    // A batch is confirmed, and the position saved, after this many lines or this long
    // after its first line, whichever comes first: a sender started again after a crash
    // sends at most one batch a second time.
    static constexpr size_t kBatchLines = 10000;
    static constexpr DWORD kBatchMs = 1000;
    static constexpr size_t kSendBytes = 256 * 1024;

    // collector: null when the lines go to standard output. statePath: empty for none.
    Shipper(Collector* collector, const std::wstring& statePath);

    // Reads the state file and names the stations of this run; false with the reason
    // when the file cannot be used. Stations of the file that are not in this run keep
    // their positions in it.
    bool Start(const std::vector<std::wstring>& stations, std::wstring* why);
    // The confirmed position of a station, or null when it has none.
    const Position* Confirmed(size_t station) const;

    // A line of a station went out; after is the position past it.
    void Sent(size_t station, const Position& after);
    // Collector: appends one framed message to the batch, sending when enough waits.
    // False when the connection failed: everything since the last confirmation is to
    // be sent again (see Retry).
    bool Add(const std::string& frame, ULONGLONG now);
    // Standard output: one line was written.
    void Count(ULONGLONG now) noexcept {
        if (!lines_++) batchStart_ = now;
    }
    bool Due(ULONGLONG now) const noexcept;
    bool full() const noexcept { return lines_ >= kBatchLines; }
    bool pending() const noexcept { return lines_ != 0; }
    // Confirms what was sent and saves the positions. Standard output: what was sent
    // was written (the caller flushed it). False when the collector could not confirm.
    bool Confirm(ULONGLONG now);

    // After a failure: the pause before the next attempt; reports the failure on stderr
    // once for a run of them, and forgets the unconfirmed positions.
    DWORD Retry();
    // Opens the connection of the next batch; false (see Retry) when the collector is away.
    bool Connect();

    size_t linesConfirmed() const noexcept { return confirmedLines_; }

private:
    bool SendBuffer();
    void Save();
    void Report(const char* what, int error);

    Collector* collector_;
    std::wstring statePath_;
    std::vector<std::wstring> names_;
    std::vector<Position> sent_, confirmed_;
    std::vector<bool> hasSent_, hasConfirmed_;
    std::vector<Position> others_;  // stations of the state file not in this run
    std::string buffer_;
    size_t lines_ = 0;              // lines since the last confirmation
    ULONGLONG batchStart_ = 0;
    Backoff backoff_;
    bool away_ = false;             // reported as away, not yet back
    bool saveFailed_ = false;
    size_t confirmedLines_ = 0;
};

}  // namespace kv::cat

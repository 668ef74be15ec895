// How far each station's lines have been delivered: the lines given to the collector
// and not yet taken, the positions it confirmed (or written to standard output), and the
// --state file that keeps the confirmed ones across a restart.
#pragma once

#include <stdio.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tools/kvtrccat/collector.h"
#include "tools/kvtrccat/state.h"

namespace kv::cat {

// The position past one line, as it was when the line was read.
struct Mark {
    std::shared_ptr<const std::wstring> file;  // name of the daily file (no directory)
    kv::trc::TraceFile::Identity identity;
    uint64_t lines = 0;  // lines of the file up to and including this one
    uint64_t bytes = 0;  // where the next line starts
};

class Shipper {
public:
    // The state file is saved at most this often; a restart sends again at most what
    // was confirmed after the last save.
    static constexpr DWORD kSaveMs = 1000;
    // Without --follow, a collector that has taken nothing for this long ends the run.
    static constexpr DWORD kGiveUpMs = 30000;

    // collector: null when the lines go to standard output. statePath: empty for none.
    Shipper(Collector* collector, const std::wstring& statePath);

    // Reads the state file and names the stations of this run; false with the reason
    // when the file cannot be used. Stations of the file that are not in this run keep
    // their positions in it.
    bool Start(const std::vector<std::wstring>& stations, std::wstring* why, ULONGLONG now);
    // The confirmed position of a station; false when it has none.
    bool Confirmed(size_t station, Position* out) const;

    // Collector: one line's message; after is the position past the line. False when
    // the connection failed (see Retry).
    bool Send(size_t station, const Mark& after, const char* msg, size_t bytes, ULONGLONG now);
    // Standard output: the station's lines were written up to after.
    void Written(size_t station, const Mark& after);
    // Standard output: a save is due; the caller flushes what was written first.
    bool Due(ULONGLONG now) const noexcept { return now - saved_ >= kSaveMs; }
    // Collector: sends what waits and takes its answers; at the end also waits for all
    // of them and closes. Standard output: what was written is confirmed. Saves the
    // positions when due, and at the end. False when the connection failed.
    bool Pump(ULONGLONG now, bool end);

    // After a failure: says what failed on stderr (a refused line every time, a
    // collector away once for a run of failures), forgets what was not confirmed, and
    // returns the pause before the next attempt.
    DWORD Retry(ULONGLONG now);
    // The collector has taken nothing for kGiveUpMs.
    bool GaveUp(ULONGLONG now) const noexcept { return now - progress_ >= kGiveUpMs; }
    // "N lines to COLLECTOR: station n, ..." of the lines it took in this run.
    std::string Summary() const;
    size_t waiting() const noexcept { return pending_.size(); }

private:
    void Confirm(size_t station, const Mark& m);
    void Take(ULONGLONG now);  // the lines the collector took
    void Save(ULONGLONG now, bool force);

    Collector* collector_;
    std::wstring statePath_;
    std::vector<std::wstring> names_;
    struct Pending {
        size_t station;
        Mark after;
    };
    std::deque<Pending> pending_;   // given to the collector, not yet taken, in order
    std::vector<Mark> confirmed_;
    std::vector<bool> hasConfirmed_;
    std::vector<Mark> writtenAt_;    // standard output: the last line written
    std::vector<bool> hasWritten_;
    std::vector<uint64_t> delivered_;  // lines taken in this run, per station
    std::vector<Position> others_;  // stations of the state file not in this run
    bool dirty_ = false;            // confirmed positions not yet saved
    ULONGLONG saved_ = 0;           // when the positions were saved last
    ULONGLONG progress_ = 0;        // when the collector last took a line (or the run started)
    Backoff backoff_;
    bool away_ = false;             // reported as away, not yet back
    bool saveFailed_ = false;
};

}  // namespace kv::cat

// Batches, their confirmation and the saved positions.
#include "tools/kvtrccat/shipper.h"

#include <stdio.h>

#include "tools/kvtrccat/utf8.h"

namespace kv::cat {

Shipper::Shipper(Collector* collector, const std::wstring& statePath) : collector_(collector), statePath_(statePath) {}

bool Shipper::Start(const std::vector<std::wstring>& stations, std::wstring* why) {
    names_ = stations;
    sent_.assign(stations.size(), Position());
    confirmed_.assign(stations.size(), Position());
    hasSent_.assign(stations.size(), false);
    hasConfirmed_.assign(stations.size(), false);
    others_.clear();
    std::vector<Position> saved;
    if (!statePath_.empty() && !LoadState(statePath_, &saved, why)) return false;
    for (const Position& p : saved) {
        size_t i = 0;
        while (i < names_.size() && names_[i] != p.station) ++i;
        if (i == names_.size()) {
            others_.push_back(p);
        } else {
            confirmed_[i] = sent_[i] = p;
            hasConfirmed_[i] = hasSent_[i] = true;
        }
    }
    return true;
}

const Position* Shipper::Confirmed(size_t station) const {
    return station < confirmed_.size() && hasConfirmed_[station] ? &confirmed_[station] : nullptr;
}

void Shipper::Sent(size_t station, const Position& after) {
    if (station >= sent_.size()) return;
    sent_[station] = after;
    sent_[station].station = names_[station];
    hasSent_[station] = true;
}

bool Shipper::Add(const std::string& frame, ULONGLONG now) {
    Count(now);
    buffer_ += frame;
    return buffer_.size() < kSendBytes || SendBuffer();
}

bool Shipper::SendBuffer() {
    if (!collector_ || buffer_.empty()) return true;
    const bool ok = collector_->Send(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
}

bool Shipper::Due(ULONGLONG now) const noexcept {
    return lines_ && (lines_ >= kBatchLines || now - batchStart_ >= kBatchMs);
}

bool Shipper::Confirm(ULONGLONG) {
    if (collector_ && lines_) {
        if (!SendBuffer() || !collector_->Confirm()) return false;
    }
    confirmedLines_ += lines_;
    lines_ = 0;
    confirmed_ = sent_;
    hasConfirmed_ = hasSent_;
    if (away_) {
        fprintf(stderr, "kvtrccat: collector %s answers again\n", collector_ ? collector_->address().c_str() : "");
        fflush(stderr);
        away_ = false;
    }
    backoff_.Reset();
    Save();
    return true;
}

bool Shipper::Connect() {
    if (!collector_ || collector_->connected()) return true;
    return collector_->Connect();
}

DWORD Shipper::Retry() {
    if (collector_ && !away_) {
        Report(collector_->failure(), collector_->error());
        away_ = true;
    }
    if (collector_) collector_->Drop();
    buffer_.clear();
    lines_ = 0;
    sent_ = confirmed_;
    hasSent_ = hasConfirmed_;
    return backoff_.Next();
}

void Shipper::Report(const char* what, int error) {
    fprintf(stderr,
            "kvtrccat: collector %s: %s (error %d); trying again, every %lu s at most, from the last confirmed line\n",
            collector_->address().c_str(), what, error, static_cast<unsigned long>(Backoff::kMaxMs / 1000));
    fflush(stderr);
}

void Shipper::Save() {
    if (statePath_.empty()) return;
    std::vector<Position> all = others_;
    for (size_t i = 0; i < confirmed_.size(); ++i)
        if (hasConfirmed_[i]) all.push_back(confirmed_[i]);
    DWORD error = 0;
    if (SaveState(statePath_, all, &error)) {
        saveFailed_ = false;
        return;
    }
    // Delivery goes on: a restart would send again what came after the last save.
    if (!saveFailed_)
        fprintf(stderr, "kvtrccat: cannot save the state file '%s' (error %lu)\n", Utf8(statePath_).c_str(),
                static_cast<unsigned long>(error));
    fflush(stderr);
    saveFailed_ = true;
}

}  // namespace kv::cat

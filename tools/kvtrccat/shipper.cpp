// Lines given to the collector, what it took, and the saved positions.
#include "tools/kvtrccat/shipper.h"

#include "client/errortext.h"
#include "tools/kvtrccat/utf8.h"

namespace kv::cat {

Shipper::Shipper(Collector* collector, const std::wstring& statePath) : collector_(collector), statePath_(statePath) {}

bool Shipper::Start(const std::vector<std::wstring>& stations, std::wstring* why, ULONGLONG now) {
    names_ = stations;
    const size_t n = stations.size();
    confirmed_.assign(n, Mark());
    hasConfirmed_.assign(n, false);
    writtenAt_.assign(n, Mark());
    hasWritten_.assign(n, false);
    delivered_.assign(n, 0);
    others_.clear();
    saved_ = progress_ = now;
    std::vector<Position> saved;
    if (!statePath_.empty() && !LoadState(statePath_, &saved, why)) return false;
    for (const Position& p : saved) {
        size_t i = 0;
        while (i < n && names_[i] != p.station) ++i;
        if (i == n) {
            others_.push_back(p);
            continue;
        }
        confirmed_[i] = Mark{std::make_shared<const std::wstring>(p.file), p.identity, p.lines, p.bytes};
        hasConfirmed_[i] = true;
    }
    return true;
}

bool Shipper::Confirmed(size_t station, Position* out) const {
    if (station >= confirmed_.size() || !hasConfirmed_[station]) return false;
    const Mark& m = confirmed_[station];
    out->station = names_[station];
    out->file = m.file ? *m.file : std::wstring();
    out->identity = m.identity;
    out->lines = m.lines;
    out->bytes = m.bytes;
    return true;
}

void Shipper::Confirm(size_t station, const Mark& m) {
    if (!m.file) return;  // a line whose file was not known: the position before it stays
    confirmed_[station] = m;
    hasConfirmed_[station] = true;
    dirty_ = true;
}

bool Shipper::Send(size_t station, const Mark& after, const char* msg, size_t bytes, ULONGLONG now) {
    pending_.push_back(Pending{station, after});
    const bool ok = collector_->Send(msg, bytes, now);
    Take(now);
    Save(now, false);
    return ok;
}

void Shipper::Take(ULONGLONG now) {
    size_t taken = collector_->Taken();
    if (!taken) return;
    progress_ = now;
    if (away_) {
        fprintf(stderr, "kvtrccat: collector %s answers again\n", collector_->address().c_str());
        fflush(stderr);
        away_ = false;
    }
    backoff_.Reset();
    for (; taken && !pending_.empty(); --taken) {
        const Pending& p = pending_.front();
        Confirm(p.station, p.after);
        ++delivered_[p.station];
        pending_.pop_front();
    }
}

void Shipper::Written(size_t station, const Mark& after) {
    writtenAt_[station] = after;
    hasWritten_[station] = true;
}

bool Shipper::Pump(ULONGLONG now, bool end) {
    if (!collector_) {
        for (size_t i = 0; i < writtenAt_.size(); ++i)
            if (hasWritten_[i]) Confirm(i, writtenAt_[i]);
        hasWritten_.assign(hasWritten_.size(), false);
        Save(now, true);
        return true;
    }
    const bool ok = collector_->Pump(now, end);
    Take(now);
    Save(now, end && ok);
    return ok;
}

DWORD Shipper::Retry(ULONGLONG now) {
    if (collector_) {
        Take(now);  // what was taken before the failure still counts
        const long long refused = collector_->refused();
        if (refused >= 0 && static_cast<size_t>(refused) < pending_.size()) {
            const Pending& p = pending_[static_cast<size_t>(refused)];
            fprintf(stderr, "kvtrccat: collector %s refused line %llu of '%s' of station %s (%s); sending it again\n",
                    collector_->address().c_str(), static_cast<unsigned long long>(p.after.lines),
                    p.after.file ? Utf8(*p.after.file).c_str() : "", Utf8(names_[p.station]).c_str(),
                    collector_->refusal().c_str());
        } else if (!away_) {
            const std::string error =
                collector_->error() ? " (" + Utf8(kv::ErrorText(static_cast<DWORD>(collector_->error()))) + ")" : "";
            fprintf(stderr,
                    "kvtrccat: collector %s: %s%s; trying again, every %lu s at most, from the first line it did not "
                    "confirm\n",
                    collector_->address().c_str(), collector_->failure(), error.c_str(),
                    static_cast<unsigned long>(Backoff::kMaxMs / 1000));
            away_ = true;
        }
        fflush(stderr);
        collector_->Drop();
    }
    pending_.clear();
    Save(now, true);
    return backoff_.Next();
}

std::string Shipper::Summary() const {
    uint64_t total = 0;
    std::string each;
    for (size_t i = 0; i < names_.size(); ++i) {
        total += delivered_[i];
        each += (i ? ", " : "") + Utf8(names_[i]) + " " + std::to_string(delivered_[i]);
    }
    return "kvtrccat: " + std::to_string(total) + " lines sent to " + (collector_ ? collector_->address() : "") + ": " +
           each + "\n";
}

void Shipper::Save(ULONGLONG now, bool force) {
    if (!force && now - saved_ < kSaveMs) return;
    saved_ = now;
    if (statePath_.empty() || !dirty_) return;
    std::vector<Position> all = others_;
    for (size_t i = 0; i < confirmed_.size(); ++i) {
        Position p;
        if (Confirmed(i, &p)) all.push_back(p);
    }
    DWORD error = 0;
    if (SaveState(statePath_, all, &error)) {
        dirty_ = saveFailed_ = false;
        return;
    }
    // Delivery goes on: a restart would send again what came after the last save.
    if (!saveFailed_) {
        fprintf(stderr, "kvtrccat: cannot save the state file '%s' (%s)\n", Utf8(statePath_).c_str(),
                Utf8(kv::ErrorText(error)).c_str());
        fflush(stderr);
    }
    saveFailed_ = true;
}

}  // namespace kv::cat

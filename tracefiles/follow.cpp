// Following a trace file as the server writes it, on into the days' files after it.
#include "tracefiles/tracefiles.h"

namespace kv::trc {

void Follower::Follow(TraceFile* file, const std::wstring& dir, const Date& last) {
    file_ = file;
    dir_ = dir;
    last_ = last;
    failures_ = 0;
    due_ = 0;
    told_ = file ? file->restarts() : 0;
}

bool Follower::Read(FollowSink& sink, bool final) {
    // Against the count the sink was last told: a start-over whose read failed half-way
    // is still news on the next poll that reads.
    if (file_->Index() && sink.Lines(*file_, file_->restarts() != told_, final)) {
        told_ = file_->restarts();
        return true;
    }
    if (failures_ == 0) sink.Failed(file_->path(), file_->error());
    return false;
}

bool Follower::Poll(FollowSink& sink, ULONGLONG now) {
    if (now < due_) return false;
    bool ok = !file_ || Read(sink, false);
    // A file that cannot be read now (held by another program, a share away) keeps its
    // place and the days after it wait: what the server wrote to it last must not be left
    // behind. One that is gone has no more lines to give.
    bool gone = !ok && FileGone(file_->error());
    if (!dir_.empty() && (ok || gone)) {
        std::vector<DayFile> days;
        DWORD error = 0;
        if (!ListDayFiles(dir_, &days, &error)) {
            if (failures_ == 0) sink.Failed(dir_, error);
            ok = false;
        }
        for (const DayFile& d : days) {
            if (!d.date.known() || !(last_ < d.date)) continue;
            // The server has moved on: what it wrote to the old file between the read
            // above and its first line in the new one is read now, to the old file's end.
            if (file_ && !gone && !Read(sink, true)) {
                ok = false;
                if (!FileGone(file_->error())) break;
            }
            last_ = d.date;
            if (TraceFile* next = sink.NextDay(d)) {
                file_ = next;
                told_ = next->restarts();
                if (!Read(sink, false)) {
                    ok = false;
                    gone = FileGone(file_->error());
                    if (!gone) break;
                }
            }
        }
    }
    // A file that cannot be read now (a share gone, a file held by another program) is
    // tried again later, and less often the longer it lasts.
    failures_ = ok ? 0 : failures_ + 1;
    DWORD pause = kPollMs;
    for (unsigned i = 0; i < failures_ && pause < kLongestPauseMs; ++i) pause *= 2;
    due_ = now + (pause < kLongestPauseMs ? pause : kLongestPauseMs);
    return true;
}

}  // namespace kv::trc

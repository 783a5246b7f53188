// Peaks by a sweep from the latest instant back: going back in time a segment opens at its end
// and closes at its start, so with the segments in order of their ends only the open ones are
// kept, their starts in a heap. The number open can only rise (going forward) at a start, at a
// zero-length segment's instant and at a period's start, so those are the instants looked at.
#include "report/peak_sweep.h"

#include <algorithm>
#include <limits>

namespace brenvale::report {

PeakSweep::PeakSweep(std::vector<Period> periods)
    : periods_(std::move(periods)), peaks_(periods_.size(), 0), periodsLeft_(periods_.size()) {}

void PeakSweep::Record(Instant at, long open) {
    const auto after = std::upper_bound(periods_.begin(), periods_.end(), at,
                                        [](Instant t, const Period& p) { return t < p.end; });
    if (after == periods_.end() || at < after->start)
        return;
    long& peak = peaks_[static_cast<std::size_t>(after - periods_.begin())];
    peak = std::max(peak, open);
}

void PeakSweep::DescendTo(Instant limit) {
    for (;;) {
        const bool haveStart = !starts_.empty() && starts_.top() > limit;
        const bool havePeriod = periodsLeft_ > 0 && periods_[periodsLeft_ - 1].start > limit;
        if (!haveStart && !havePeriod)
            return;
        const long open = static_cast<long>(starts_.size());
        // Every segment in the heap starts at or before the instant looked at and ends after
        // it, since all segments ending later came in before.
        if (havePeriod && (!haveStart || periods_[periodsLeft_ - 1].start >= starts_.top())) {
            --periodsLeft_;
            Record(periods_[periodsLeft_].start, open);
            continue;
        }
        const Instant at = starts_.top();
        Record(at, open);
        while (!starts_.empty() && starts_.top() == at)
            starts_.pop();
    }
}

void PeakSweep::EndGroup() {
    if (started_ && groupPoints_ > 0)
        Record(groupEnd_, groupOpen_ + groupPoints_);
}

void PeakSweep::Add(Instant start, Instant end) {
    if (started_ && end > groupEnd_) {
        ++outOfOrder_;
        start = std::min(start, groupEnd_);
        end = groupEnd_;
    }
    if (!started_ || end != groupEnd_) {
        EndGroup();
        DescendTo(end);
        started_ = true;
        groupEnd_ = end;
        groupOpen_ = static_cast<long>(starts_.size());
        groupPoints_ = 0;
        // What starts exactly here is open here, and must be counted before the segments that
        // end here (and are not open here) come in.
        DescendTo(end - 1);
    }
    if (start >= end)
        ++groupPoints_;
    else
        starts_.push(start);
}

std::vector<long> PeakSweep::Finish() {
    EndGroup();
    started_ = false;
    DescendTo(std::numeric_limits<Instant>::min());
    return peaks_;
}

} // namespace brenvale::report

// The largest number of segments open at one instant of each period, in one pass over segments
// that come latest end first; its memory grows with the segments open at once, not with all.
#pragma once

#include "report/periods.h"

#include <cstdint>
#include <queue>
#include <vector>

namespace brenvale::report {

class PeakSweep {
public:
    /// `periods` in order, each starting where the one before ends.
    explicit PeakSweep(std::vector<Period> periods);

    /// A segment [start, end), or the single instant `end` when start == end. Ends must not
    /// increase from one call to the next; a later end is taken as the last one given and
    /// counted in OutOfOrder().
    void Add(Instant start, Instant end);
    /// After the last Add: the peak of each period, in the periods' order.
    std::vector<long> Finish();
    std::uint64_t OutOfOrder() const { return outOfOrder_; }

private:
    /// Takes in every instant after `limit` that may hold a peak: the starts of open segments
    /// and the starts of periods.
    void DescendTo(Instant limit);
    void Record(Instant at, long open);
    void EndGroup();

    std::vector<Period> periods_;
    std::vector<long> peaks_;
    std::priority_queue<Instant> starts_; ///< of the segments open below the ends seen so far
    std::size_t periodsLeft_;             ///< the period starts not yet taken in, from the top
    bool started_ = false;
    Instant groupEnd_ = 0; ///< the end of the latest segments given
    long groupOpen_ = 0;   ///< segments open at groupEnd_ before that group's came in
    long groupPoints_ = 0; ///< zero-length segments at groupEnd_
    std::uint64_t outOfOrder_ = 0;
};

} // namespace brenvale::report

// Where a report's rows come from: any number of tables, each read in order of its time
// column, merged into one order for the one pass.
#pragma once

#include "report/report_builder.h"
#include "report/report_writers.h"
#include "report/segment.h"

#include <memory>
#include <string>
#include <vector>

namespace brenvale::report {

/// Rows of one table in the order asked for when it was opened.
class RowSource {
public:
    virtual ~RowSource() = default;
    /// The next row; false at the end, or on a failure that Failure() then names.
    virtual bool Next(LogRow& row) = 0;
    /// Empty unless reading failed.
    virtual const std::string& Failure() const = 0;
};

/// The wall-clock times (station time, "YYYY-MM-DD HH:MM:SS") between which a table's rows are
/// read for a range: a day before it, for time zones, and a week after it, for segments that
/// end after the range but began in it. Segments longer than a week are cut by that margin.
struct RowWindow {
    std::string from; ///< inclusive
    std::string to;   ///< exclusive
    bool latestFirst = true;
};
RowWindow WindowFor(Instant rangeStart, Instant rangeEnd, const StationZone& station,
                    bool latestFirst);

/// Feeds the rows of all `sources` (each opened latest first) to `builder`, latest first; false
/// with `error` set when a source failed.
bool FeedRows(std::vector<std::unique_ptr<RowSource>>& sources, ReportBuilder& builder,
              std::string& error);

/// Writes every counted segment of `sources` (each opened earliest first) to `writer`, earliest
/// first; false with `error` set when a source failed.
bool FeedStreamingLog(std::vector<std::unique_ptr<RowSource>>& sources, SegmentJudge& judge,
                      bool translated, StreamingLogWriter& writer, std::string& error);

} // namespace brenvale::report

// Merging the rows of several tables into one order.
#include "report/row_source.h"

#include <optional>

namespace brenvale::report {

namespace {

constexpr std::int64_t kZoneMargin = 86400;
constexpr std::int64_t kSegmentMargin = std::int64_t{7} * 86400;

/// The sources' current rows, handed out in one order: rows whose time cannot be read as soon as
/// they come, the others by their time.
class Merge {
public:
    Merge(std::vector<std::unique_ptr<RowSource>>& sources, bool latestFirst)
        : sources_(sources), latestFirst_(latestFirst), rows_(sources.size()),
          times_(sources.size()), live_(sources.size(), false) {
        for (std::size_t i = 0; i < sources_.size(); ++i)
            Advance(i);
    }

    /// The next row in order; null at the end or on failure.
    const LogRow* Next() {
        if (current_)
            Advance(*current_);
        current_.reset();
        if (!error_.empty())
            return nullptr;
        for (std::size_t i = 0; i < sources_.size(); ++i) {
            if (!live_[i])
                continue;
            if (!times_[i]) {
                current_ = i;
                break;
            }
            if (!current_ ||
                (latestFirst_ ? *times_[i] > *times_[*current_] : *times_[i] < *times_[*current_]))
                current_ = i;
        }
        return current_ ? &rows_[*current_] : nullptr;
    }

    const std::string& Error() const { return error_; }

private:
    void Advance(std::size_t i) {
        live_[i] = sources_[i]->Next(rows_[i]);
        if (!live_[i] && !sources_[i]->Failure().empty() && error_.empty())
            error_ = sources_[i]->Failure();
        times_[i] =
            live_[i] && rows_[i].time.present ? ParseLocalTime(rows_[i].time.text) : std::nullopt;
    }

    std::vector<std::unique_ptr<RowSource>>& sources_;
    bool latestFirst_;
    std::vector<LogRow> rows_;
    std::vector<std::optional<LocalTime>> times_;
    std::vector<bool> live_;
    std::optional<std::size_t> current_;
    std::string error_;
};

} // namespace

RowWindow WindowFor(Instant rangeStart, Instant rangeEnd, const StationZone& station,
                    bool latestFirst) {
    return {FormatLocalTime(station.ToLocal(rangeStart) - kZoneMargin),
            FormatLocalTime(station.ToLocal(rangeEnd) + kZoneMargin + kSegmentMargin), latestFirst};
}

bool FeedRows(std::vector<std::unique_ptr<RowSource>>& sources, ReportBuilder& builder,
              std::string& error) {
    if (sources.size() == 1) {
        LogRow row;
        while (sources.front()->Next(row))
            builder.Add(row);
        error = sources.front()->Failure();
        return error.empty();
    }
    Merge merge(sources, true);
    while (const LogRow* row = merge.Next())
        builder.Add(*row);
    error = merge.Error();
    return error.empty();
}

bool FeedStreamingLog(std::vector<std::unique_ptr<RowSource>>& sources, SegmentJudge& judge,
                      bool translated, StreamingLogWriter& writer, std::string& error) {
    Merge merge(sources, false);
    while (const LogRow* row = merge.Next()) {
        const SegmentJudge::Reading reading = judge.Judge(*row);
        if (reading.verdict == SegmentJudge::Verdict::Counted)
            writer.Write(*row, reading.segment, translated);
    }
    error = merge.Error();
    return error.empty();
}

} // namespace brenvale::report

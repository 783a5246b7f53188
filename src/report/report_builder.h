// The figures of a report, computed in one pass over a table's rows: per period the segments,
// listeners, listening hours and peak; per title the performances and hours; per country; and
// every segment left out, by its reason.
#pragma once

#include "report/peak_sweep.h"
#include "report/periods.h"
#include "report/segment.h"
#include "report/time_zone.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace brenvale::report {

/// Where a listener's address is, by some location database.
class CountryLookup {
public:
    virtual ~CountryLookup() = default;
    /// The address's country as two upper-case letters; empty when the database has none.
    virtual std::string CountryOf(const std::string& address) = 0;
};

/// What a report covers and how it counts.
struct ReportSettings {
    CivilDate from; ///< first day (station time, or UTC with `utc`)
    CivilDate to;   ///< the day after the last
    PeriodUnit unit = PeriodUnit::Day;
    bool utc = false; ///< periods and dates in UTC instead of station time
    std::int64_t minSeconds = 0;
    bool translated = false; ///< the rows were loaded with percent escapes already translated
    AgentFilter agents;
    CountryLookup* countries = nullptr; ///< none: no countries
    std::string country;                ///< two letters: only listeners from there count
};

struct PeriodFigures {
    Period period;
    std::uint64_t segments = 0;
    std::uint64_t listeners = 0;
    std::int64_t seconds = 0; ///< listening time within the period
    long peak = 0;
};

struct TitleFigures {
    std::string artist;
    std::string title;
    std::uint64_t performances = 0;
    std::int64_t seconds = 0; ///< listening time within the range
};

struct CountryFigures {
    std::string code; ///< empty: unknown
    std::uint64_t segments = 0;
    std::int64_t seconds = 0;
};

struct ReportResult {
    std::string zone; ///< the station's zone
    bool utc = false;
    PeriodUnit unit = PeriodUnit::Day;
    CivilDate from;
    CivilDate to;
    std::int64_t minSeconds = 0;
    std::string country;
    std::vector<PeriodFigures> periods;
    PeriodFigures total;              ///< the whole range: distinct listeners, the highest peak
    std::vector<TitleFigures> titles; ///< most performances first
    std::vector<CountryFigures> countries; ///< most hours first; empty without a lookup
    std::array<std::uint64_t, kExclusionCount> excluded{};
    std::uint64_t rowsRead = 0;
    std::uint64_t outOfOrder = 0; ///< rows not in the order asked for (peaks may be low)
};

/// Hours with three decimals, as every output writes them.
std::string Hours(std::int64_t seconds);

/// Judges rows one at a time: whether a segment counts, and for whom.
class SegmentJudge {
public:
    enum class Verdict { Outside, Excluded, Counted };
    struct Reading {
        Verdict verdict = Verdict::Outside;
        Exclusion reason = Exclusion::Unreadable;
        Segment segment;
        std::string_view country; ///< the listener's, when countries are looked up
    };

    SegmentJudge(const ReportSettings& settings, const StationZone& station, Instant rangeStart,
                 Instant rangeEnd);
    Reading Judge(const LogRow& row);

private:
    bool IsBot(std::string_view rawAgent);
    const std::string& CountryOf(std::string_view address);

    const ReportSettings& settings_;
    const StationZone& station_;
    Instant rangeStart_;
    Instant rangeEnd_;
    std::unordered_map<std::string, bool> agentVerdicts_;
    std::unordered_map<std::string, std::string> addressCountries_;
};

/// The one pass: rows given latest time first (by the table's time column), figures at the end.
class ReportBuilder {
public:
    ReportBuilder(const ReportSettings& settings, const StationZone& station);
    ReportBuilder(const ReportBuilder&) = delete;
    ReportBuilder& operator=(const ReportBuilder&) = delete;

    /// The periods' span in instants.
    Instant RangeStart() const { return rangeStart_; }
    Instant RangeEnd() const { return rangeEnd_; }

    void Add(const LogRow& row);
    /// The figures; call once, after the last row.
    ReportResult Finish();

private:
    struct TitleSums {
        std::uint64_t performances = 0;
        std::int64_t seconds = 0;
    };
    void Count(const LogRow& row, const SegmentJudge::Reading& reading);
    std::uint32_t ListenerId(std::string_view address, std::string_view agent);
    void ReleasePeaks(Instant bound);
    std::vector<TitleFigures> TitleList() const;

    const ReportSettings& settings_;
    const StationZone& station_;
    StationZone calendar_;
    std::vector<Period> periods_;
    Instant rangeStart_ = 0;
    Instant rangeEnd_ = 0;
    SegmentJudge judge_;
    ReportResult result_;
    std::string key_;
    std::unordered_map<std::string, std::uint32_t> listeners_;
    std::vector<bool> listenersInRange_;
    std::unordered_set<std::uint64_t> periodListeners_;
    std::unordered_map<std::string, TitleSums> titles_;
    std::map<std::string, CountryFigures> countries_;
    /// Segments waiting for the sweep until no later row can end after them.
    std::priority_queue<std::pair<Instant, Instant>> pending_;
    PeakSweep sweep_;
};

} // namespace brenvale::report

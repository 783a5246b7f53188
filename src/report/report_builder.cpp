// The figures of a report in one pass over a table's rows.
#include "report/report_builder.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace brenvale::report {

namespace {

/// Calls `visit(index, seconds)` for each period `segment` overlaps, with the overlap; a
/// zero-length segment overlaps the period that holds its instant, for no time.
template <typename Visit>
void ForEachPeriod(const std::vector<Period>& periods, Instant start, Instant end, Visit visit) {
    const auto byEnd = [](Instant t, const Period& p) { return t < p.end; };
    auto it = std::upper_bound(periods.begin(), periods.end(), start, byEnd);
    if (start == end) {
        if (it != periods.end() && it->start <= end)
            visit(static_cast<std::size_t>(it - periods.begin()), 0);
        return;
    }
    for (; it != periods.end() && it->start < end; ++it)
        visit(static_cast<std::size_t>(it - periods.begin()),
              std::min(end, it->end) - std::max(start, it->start));
}

} // namespace

std::string Hours(std::int64_t seconds) {
    char text[40];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(seconds) / 3600.0);
    return text;
}

SegmentJudge::SegmentJudge(const ReportSettings& settings, const StationZone& station,
                           Instant rangeStart, Instant rangeEnd)
    : settings_(settings), station_(station), rangeStart_(rangeStart), rangeEnd_(rangeEnd) {}

bool SegmentJudge::IsBot(std::string_view rawAgent) {
    const auto known = agentVerdicts_.find(std::string(rawAgent));
    if (known != agentVerdicts_.end())
        return known->second;
    const bool bot = settings_.agents.Matches(settings_.translated ? std::string(rawAgent)
                                                                   : DecodeValue(rawAgent));
    agentVerdicts_.emplace(std::string(rawAgent), bot);
    return bot;
}

const std::string& SegmentJudge::CountryOf(std::string_view address) {
    auto known = addressCountries_.find(std::string(address));
    if (known == addressCountries_.end()) {
        const std::string text(address);
        known = addressCountries_.emplace(text, settings_.countries->CountryOf(text)).first;
    }
    return known->second;
}

SegmentJudge::Reading SegmentJudge::Judge(const LogRow& row) {
    Reading reading;
    reading.segment = ReadSegment(row, station_);
    const Segment& segment = reading.segment;
    const auto excluded = [&](Exclusion reason) {
        reading.verdict = Verdict::Excluded;
        reading.reason = reason;
        return reading;
    };
    if (!segment.readable) {
        // A row without a readable end cannot be placed; one with an end and no duration is
        // counted where it ended.
        const std::optional<LocalTime> end =
            row.time.present ? ParseLocalTime(row.time.text) : std::nullopt;
        if (end) {
            const Instant at = station_.ToInstant(*end);
            if (at < rangeStart_ || at >= rangeEnd_)
                return reading;
        }
        return excluded(Exclusion::Unreadable);
    }
    const bool overlaps = segment.start == segment.end
                              ? segment.end >= rangeStart_ && segment.end < rangeEnd_
                              : segment.start < rangeEnd_ && segment.end > rangeStart_;
    if (!overlaps)
        return reading;
    if (row.truncated)
        return excluded(Exclusion::Unreadable);
    if (!segment.listening)
        return excluded(Exclusion::NotListening);
    if (row.agent.present && IsBot(row.agent.text))
        return excluded(Exclusion::Agent);
    if (segment.duration < settings_.minSeconds)
        return excluded(Exclusion::Short);
    if (settings_.countries != nullptr) {
        reading.country = CountryOf(row.address.present ? row.address.text : std::string_view());
        if (!settings_.country.empty() && reading.country != settings_.country)
            return excluded(Exclusion::Country);
    }
    reading.verdict = Verdict::Counted;
    return reading;
}

ReportBuilder::ReportBuilder(const ReportSettings& settings, const StationZone& station)
    : settings_(settings), station_(station), calendar_(settings.utc ? StationZone() : station),
      periods_(MakePeriods(settings.from, settings.to, settings.unit, calendar_)),
      rangeStart_(periods_.empty() ? 0 : periods_.front().start),
      rangeEnd_(periods_.empty() ? 0 : periods_.back().end),
      judge_(settings_, station_, rangeStart_, rangeEnd_), sweep_(periods_) {
    result_.zone = station.Name();
    result_.utc = settings.utc;
    result_.unit = settings.unit;
    result_.from = settings.from;
    result_.to = settings.to;
    result_.minSeconds = settings.minSeconds;
    result_.country = settings.country;
    result_.periods.resize(periods_.size());
    for (std::size_t i = 0; i < periods_.size(); ++i)
        result_.periods[i].period = periods_[i];
    result_.total.period = {rangeStart_, rangeEnd_};
}

std::uint32_t ReportBuilder::ListenerId(std::string_view address, std::string_view agent) {
    key_.assign(address).push_back('\x1f');
    key_.append(agent);
    const auto [it, added] =
        listeners_.emplace(key_, static_cast<std::uint32_t>(listeners_.size()));
    if (added)
        listenersInRange_.push_back(false);
    return it->second;
}

void ReportBuilder::Add(const LogRow& row) {
    ++result_.rowsRead;
    const SegmentJudge::Reading reading = judge_.Judge(row);
    if (reading.segment.readable)
        ReleasePeaks(station_.LatestInstantUpTo(reading.segment.localEnd));
    if (reading.verdict == SegmentJudge::Verdict::Excluded)
        ++result_.excluded[static_cast<std::size_t>(reading.reason)];
    else if (reading.verdict == SegmentJudge::Verdict::Counted)
        Count(row, reading);
}

void ReportBuilder::Count(const LogRow& row, const SegmentJudge::Reading& reading) {
    const Segment& segment = reading.segment;
    const std::uint32_t listener = ListenerId(row.address.text, row.agent.text);
    std::int64_t inRange = 0;
    ForEachPeriod(
        periods_, segment.start, segment.end, [&](std::size_t index, std::int64_t seconds) {
            PeriodFigures& figures = result_.periods[index];
            ++figures.segments;
            figures.seconds += seconds;
            inRange += seconds;
            if (periodListeners_.insert(static_cast<std::uint64_t>(index) << 32 | listener).second)
                ++figures.listeners;
        });
    ++result_.total.segments;
    result_.total.seconds += inRange;
    if (!listenersInRange_[listener]) {
        listenersInRange_[listener] = true;
        ++result_.total.listeners;
    }

    const std::string_view uri = row.uri.present ? row.uri.text : std::string_view();
    TitleSums& title = titles_[std::string(RawTitleOf(uri, settings_.translated))];
    ++title.performances;
    title.seconds += inRange;

    if (settings_.countries != nullptr) {
        CountryFigures& country = countries_[std::string(reading.country)];
        country.code = reading.country;
        ++country.segments;
        country.seconds += inRange;
    }
    pending_.emplace(segment.end, segment.start);
}

void ReportBuilder::ReleasePeaks(Instant bound) {
    while (!pending_.empty() && pending_.top().first > bound) {
        sweep_.Add(pending_.top().second, pending_.top().first);
        pending_.pop();
    }
}

std::vector<TitleFigures> ReportBuilder::TitleList() const {
    // Escaped and translated spellings of one title are one title.
    std::map<std::pair<std::string, std::string>, TitleFigures> merged;
    for (const auto& [raw, sums] : titles_) {
        ArtistTitle split = SplitArtistTitle(settings_.translated ? raw : DecodeValue(raw));
        TitleFigures& figures = merged[{split.artist, split.title}];
        figures.artist = std::move(split.artist);
        figures.title = std::move(split.title);
        figures.performances += sums.performances;
        figures.seconds += sums.seconds;
    }
    std::vector<TitleFigures> list;
    list.reserve(merged.size());
    for (auto& entry : merged)
        list.push_back(std::move(entry.second));
    std::stable_sort(list.begin(), list.end(), [](const TitleFigures& a, const TitleFigures& b) {
        return a.performances > b.performances;
    });
    return list;
}

ReportResult ReportBuilder::Finish() {
    ReleasePeaks(std::numeric_limits<Instant>::min());
    const std::vector<long> peaks = sweep_.Finish();
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        result_.periods[i].peak = peaks[i];
        result_.total.peak = std::max(result_.total.peak, peaks[i]);
    }
    result_.outOfOrder = sweep_.OutOfOrder();
    result_.titles = TitleList();
    for (auto& entry : countries_)
        result_.countries.push_back(std::move(entry.second));
    std::stable_sort(
        result_.countries.begin(), result_.countries.end(),
        [](const CountryFigures& a, const CountryFigures& b) { return a.seconds > b.seconds; });
    return std::move(result_);
}

} // namespace brenvale::report

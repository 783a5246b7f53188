// Report tests over real tables: a log written from segments described in station time, loaded
// by the program's own loader, reported on, and every figure worked out again here by brute
// force from the same descriptions.
#pragma once

#include "core/run_harness.h"
#include "data/create_table.h"
#include "data/log_rows.h"
#include "report/report_builder.h"
#include "report/row_source.h"

#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace brenvale::test {

using report::Instant;

/// One log line: a segment ending at `local` (station time) after `seconds` (-1: "-").
struct ListenerSegment {
    std::string local;
    long seconds = 60;
    int listener = 0; ///< the address's last number; two agents make two listeners
    std::string artist = "Artist";
    std::string title = "Song";
    std::string agent = "VLC/3.0.18 LibVLC/3.0.18";
    int status = 200;
    std::string path = "/stream";   ///< "SOURCE" for a source client, "/admin/..." for statistics
    std::string expect = "counted"; ///< or the reason it is left out, besides "short"
};

/// Seconds since 1970 of a "YYYY-MM-DD HH:MM:SS" read as UTC, by the C library.
inline Instant AsUtc(const std::string& text) {
    std::tm tm{};
    if (!strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm))
        ADD_FAILURE() << "bad time in a test: " << text;
    return static_cast<Instant>(timegm(&tm));
}

/// A station's rule for 2024 written out by hand: the UTC offset of each wall-clock time, the
/// repeated hour read as the earlier instant and the skipped hour moved forward.
struct ZoneRule {
    std::string name;
    std::function<long(const std::string& local)> offset; ///< seconds east of UTC
    Instant Instant_(const std::string& local) const { return AsUtc(local) - offset(local); }
};

inline ZoneRule NewYork() {
    return {"America/New_York", [](const std::string& local) {
                if (local < "2024-03-10 03:00:00")
                    return -5L * 3600;
                return local < "2024-11-03 02:00:00" ? -4L * 3600 : -5L * 3600;
            }};
}

inline ZoneRule Berlin() {
    return {"Europe/Berlin", [](const std::string& local) {
                if (local < "2024-03-31 03:00:00")
                    return 1L * 3600;
                return local < "2024-10-27 03:00:00" ? 2L * 3600 : 1L * 3600;
            }};
}

inline ZoneRule Utc() {
    return {"UTC", [](const std::string&) { return 0L; }};
}

/// Percent-escapes every byte but letters, digits and "-._~", as a player's request would.
inline std::string Escaped(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

inline std::string SegmentLine(const ListenerSegment& s) {
    const std::string address = "192.0.2." + std::to_string(s.listener);
    std::string uri = s.path;
    if (s.path.front() == '/' && !s.title.empty())
        uri += "?title=" + Escaped(s.artist.empty() ? s.title : s.artist + " - " + s.title);
    return address + " " + address + " " + s.local + " " + uri + " " + std::to_string(s.status) +
           " " + Escaped(s.agent) + " 4096 " + (s.seconds < 0 ? "-" : std::to_string(s.seconds)) +
           " 128000";
}

/// The figures worked out again from the descriptions.
struct Expected {
    struct PeriodSums {
        Instant start = 0, end = 0;
        std::uint64_t segments = 0;
        std::set<std::string> listeners;
        std::int64_t seconds = 0;
        long peak = 0;
    };
    std::vector<PeriodSums> periods;
    std::map<std::pair<std::string, std::string>, std::pair<std::uint64_t, std::int64_t>> titles;
    std::map<std::string, std::uint64_t> excluded;
};

/// Brute force: every segment against every period, the peak at every instant where the count
/// can change.
inline Expected Expect(const std::vector<ListenerSegment>& segments, const ZoneRule& rule,
                       const std::vector<std::pair<Instant, Instant>>& bounds, long minSeconds) {
    Expected x;
    const Instant from = bounds.front().first;
    const Instant to = bounds.back().second;
    struct Span {
        Instant s, e;
        std::string who;
    };
    std::vector<Span> counted;
    for (const ListenerSegment& segment : segments) {
        const Instant e = rule.Instant_(segment.local);
        const Instant s = e - std::max(segment.seconds, 0L);
        const bool overlaps = s == e ? e >= from && e < to : s < to && e > from;
        if (!overlaps)
            continue;
        std::string reason = segment.expect;
        if (reason == "counted" && segment.seconds < minSeconds)
            reason = "short";
        if (reason != "counted") {
            ++x.excluded[reason];
            continue;
        }
        counted.push_back({s, e, std::to_string(segment.listener) + "/" + segment.agent});
        auto& title = x.titles[{segment.artist, segment.title}];
        ++title.first;
        title.second += std::min(e, to) - std::max(s, from);
    }
    for (const auto& [a, b] : bounds) {
        Expected::PeriodSums p;
        p.start = a;
        p.end = b;
        std::vector<Instant> instants{a};
        for (const Span& span : counted) {
            const bool in = span.s == span.e ? span.e >= a && span.e < b : span.s < b && span.e > a;
            if (!in)
                continue;
            ++p.segments;
            p.listeners.insert(span.who);
            p.seconds += std::min(span.e, b) - std::max(span.s, a);
            for (const Instant t : {span.s, span.e})
                if (t >= a && t < b)
                    instants.push_back(t);
        }
        for (const Instant t : instants) {
            long open = 0;
            for (const Span& span : counted)
                open += span.s == span.e ? span.e == t : span.s <= t && t < span.e;
            p.peak = std::max(p.peak, open);
        }
        x.periods.push_back(p);
    }
    return x;
}

/// Reports one table of a test database.
inline report::ReportResult RunReport(odbc::Connection& connection, const std::string& table,
                                      const report::ReportSettings& settings,
                                      const report::StationZone& zone) {
    report::ReportBuilder builder(settings, zone);
    DbResult error;
    std::vector<std::unique_ptr<report::RowSource>> sources;
    sources.push_back(odbc::OpenLogRows(
        connection, table, report::WindowFor(builder.RangeStart(), builder.RangeEnd(), zone, true),
        error));
    EXPECT_TRUE(sources.back()) << error.message;
    if (!sources.back())
        return {};
    std::string failure;
    EXPECT_TRUE(report::FeedRows(sources, builder, failure)) << failure;
    return builder.Finish();
}

/// The periods' bounds of `result`, to compare with the ones worked out by hand.
inline std::vector<std::pair<Instant, Instant>> Bounds(const report::ReportResult& result) {
    std::vector<std::pair<Instant, Instant>> bounds;
    for (const auto& p : result.periods)
        bounds.emplace_back(p.period.start, p.period.end);
    return bounds;
}

inline void ExpectFigures(const report::ReportResult& got, const Expected& want) {
    ASSERT_EQ(got.periods.size(), want.periods.size());
    for (std::size_t i = 0; i < want.periods.size(); ++i) {
        SCOPED_TRACE("period " + std::to_string(i));
        const auto& g = got.periods[i];
        const auto& w = want.periods[i];
        EXPECT_EQ(g.period.start, w.start);
        EXPECT_EQ(g.period.end, w.end);
        EXPECT_EQ(g.segments, w.segments);
        EXPECT_EQ(g.listeners, w.listeners.size());
        EXPECT_EQ(g.seconds, w.seconds);
        EXPECT_EQ(g.peak, w.peak);
    }
    std::map<std::pair<std::string, std::string>, std::pair<std::uint64_t, std::int64_t>> titles;
    for (const auto& t : got.titles)
        titles[{t.artist, t.title}] = {t.performances, t.seconds};
    EXPECT_EQ(titles, want.titles);
    std::map<std::string, std::uint64_t> excluded;
    for (std::size_t i = 0; i < report::kExclusionCount; ++i)
        if (got.excluded[i] > 0)
            excluded[report::ExclusionName(static_cast<report::Exclusion>(i))] = got.excluded[i];
    EXPECT_EQ(excluded, want.excluded);
}

} // namespace brenvale::test

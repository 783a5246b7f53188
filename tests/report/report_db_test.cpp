// Reports over tables loaded by the program from logs written here, on SQLite, PostgreSQL and
// MariaDB, with text and typed columns, escapes translated at loading or not.
#include "report_fixture.h"

namespace brenvale::test {
namespace {

using report::CivilDate;
using report::PeriodUnit;

/// Day, hour or month periods worked out by hand from the station's rule.
std::vector<std::pair<Instant, Instant>> Days(const ZoneRule& rule, const std::string& firstDay,
                                              int count) {
    std::vector<std::pair<Instant, Instant>> days;
    Instant day = AsUtc(firstDay + " 00:00:00");
    for (int i = 0; i < count; ++i, day += 86400) {
        const auto local = [](Instant t) {
            char text[32];
            const std::time_t time = t;
            std::tm tm{};
            gmtime_r(&time, &tm);
            std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
            return std::string(text);
        };
        days.emplace_back(rule.Instant_(local(day)), rule.Instant_(local(day + 86400)));
    }
    return days;
}

std::vector<std::pair<Instant, Instant>> Hours(Instant from, Instant to) {
    std::vector<std::pair<Instant, Instant>> hours;
    for (Instant t = from; t < to; t += 3600)
        hours.emplace_back(t, t + 3600);
    return hours;
}

/// How a table is made and loaded.
struct Loading {
    bool typed;     ///< the table New Table... makes; otherwise text columns
    bool translate; ///< escapes translated at loading
};

class ReportDbTest : public DatabaseTest {
protected:
    /// Loads `segments` into a fresh table with the program's loader; the table's name.
    std::string Load(const std::vector<ListenerSegment>& segments, const Loading& loading,
                     const std::string& name) {
        const std::string table =
            name + (loading.typed ? "_t" : "_x") + (loading.translate ? "1" : "0");
        db_.TryExec("DROP TABLE " + table);
        if (loading.typed)
            EXPECT_TRUE(CreateLogTable(db_.connection(), table));
        else
            db_.CreateLogTable(table);
        std::string text = kHeader;
        for (const ListenerSegment& segment : segments)
            text += SegmentLine(segment) + "\n";
        RunHarness h(db_.connection(), {{WriteLog(table + ".log", text), table}});
        h.options.translateASCII = loading.translate;
        EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
        EXPECT_EQ(db_.Count(table), static_cast<long>(segments.size()));
        return table;
    }

    report::ReportResult Report(const std::string& table, const ZoneRule& rule,
                                report::ReportSettings settings, bool translate) {
        std::string error;
        const auto zone = report::StationZone::Find(rule.name, error);
        EXPECT_TRUE(zone) << error;
        settings.translated = translate;
        return RunReport(db_.connection(), table, settings, *zone);
    }

    static report::ReportSettings Settings(CivilDate from, CivilDate to, PeriodUnit unit,
                                           long minSeconds = 0) {
        report::ReportSettings settings;
        settings.from = from;
        settings.to = to;
        settings.unit = unit;
        settings.minSeconds = minSeconds;
        return settings;
    }
};

// Spring forward in New York (2024-03-10, 02:00 EST becomes 03:00 EDT), with every filter.
const std::vector<ListenerSegment> kMarch = {
    {"2024-03-09 12:00:00", 600, 1, "Björk", "Jóga"},
    // Crosses midnight into the day of the change: split between the two days.
    {"2024-03-10 00:30:00", 3600, 2, "Simon & Garfunkel", "Mrs. Robinson"},
    // Starts at 01:30 EST and ends at 03:30 EDT: one real hour over the gap.
    {"2024-03-10 03:30:00", 3600, 3, "Björk", "Jóga"},
    // A time the clocks skipped: moved forward to 03:15 EDT.
    {"2024-03-10 02:15:00", 300, 4, "", "Station ID"},
    // Three listeners at once, and two zero-length segments at one instant.
    {"2024-03-10 10:00:00", 1800, 5},
    {"2024-03-10 10:10:00", 1800, 6},
    {"2024-03-10 10:20:00", 1800, 7},
    {"2024-03-10 09:45:00", 0, 8},
    {"2024-03-10 09:45:00", 0, 9},
    // The same address with another player is another listener.
    {"2024-03-10 09:50:00", 45, 5, "Artist", "Song", "Winamp/5.8"},
    // Left out, each for its reason.
    {"2024-03-10 11:00:00", 900, 10, "Artist", "Song", "Icecast 2.4.4", 200, "/stream", "agent"},
    {"2024-03-10 11:00:00", 900, 11, "Artist", "Song", "Googlebot/2.1", 200, "/stream", "agent"},
    {"2024-03-10 11:00:00", 900, 12, "Artist", "Song", "VLC/3.0", 404, "/stream", "not_listening"},
    {"2024-03-10 11:00:00", 5, 13, "", "", "Mozilla/5.0", 200, "/admin/stats", "not_listening"},
    {"2024-03-10 11:00:00", 30, 14, "", "", "butt 0.1.40", 200, "SOURCE", "not_listening"},
    {"2024-03-10 12:00:00", -1, 15, "Artist", "Song", "VLC/3.0", 200, "/stream", "unreadable"},
    // A crawler before the range is not counted anywhere.
    {"2024-03-08 12:00:00", 60, 16, "Artist", "Song", "bingbot/2.0", 200, "/stream", "agent"},
    // Ends after the range but started in it.
    {"2024-03-12 00:30:00", 3600, 17, "Late", "Night"},
};

TEST_P(ReportDbTest, SpringForwardDaysHoursAndFilters) {
    for (const Loading loading :
         {Loading{false, false}, Loading{false, true}, Loading{true, false}}) {
        SCOPED_TRACE(std::string(loading.typed ? "typed" : "text") +
                     (loading.translate ? ", translated" : ", escaped"));
        const std::string table = Load(kMarch, loading, "rep_march");
        const ZoneRule rule = NewYork();
        for (const long minSeconds : {0L, 60L}) {
            SCOPED_TRACE("min seconds " + std::to_string(minSeconds));
            const auto days = Report(
                table, rule, Settings({2024, 3, 9}, {2024, 3, 12}, PeriodUnit::Day, minSeconds),
                loading.translate);
            const auto wantDays = Days(rule, "2024-03-09", 3);
            ExpectFigures(days, Expect(kMarch, rule, wantDays, minSeconds));
            // The day of the change has 23 hours.
            const auto hours = Report(
                table, rule, Settings({2024, 3, 10}, {2024, 3, 11}, PeriodUnit::Hour, minSeconds),
                loading.translate);
            const auto wantHours = Hours(wantDays[1].first, wantDays[1].second);
            EXPECT_EQ(wantHours.size(), 23u);
            ExpectFigures(hours, Expect(kMarch, rule, wantHours, minSeconds));
        }
    }
}

// Fall back in New York (2024-11-03, 02:00 EDT becomes 01:00 EST): the repeated hour is read as
// its first occurrence.
const std::vector<ListenerSegment> kNovember = {
    {"2024-11-03 00:45:00", 3600, 1, "A", "One"},  {"2024-11-03 01:30:00", 1800, 2, "A", "Two"},
    {"2024-11-03 01:30:00", 600, 3, "B", "Three"}, {"2024-11-03 02:10:00", 7200, 4, "B", "Four"},
    {"2024-11-03 23:50:00", 1200, 5, "C", "Five"},
};

TEST_P(ReportDbTest, FallBackHasTwentyFiveHours) {
    const std::string table = Load(kNovember, {false, false}, "rep_nov");
    const ZoneRule rule = NewYork();
    const auto wantDays = Days(rule, "2024-11-02", 3);
    ExpectFigures(
        Report(table, rule, Settings({2024, 11, 2}, {2024, 11, 5}, PeriodUnit::Day), false),
        Expect(kNovember, rule, wantDays, 0));
    const auto wantHours = Hours(wantDays[1].first, wantDays[1].second);
    EXPECT_EQ(wantHours.size(), 25u);
    ExpectFigures(
        Report(table, rule, Settings({2024, 11, 3}, {2024, 11, 4}, PeriodUnit::Hour), false),
        Expect(kNovember, rule, wantHours, 0));
}

// Berlin's two changes (2024-03-31 and 2024-10-27) and the ends of months.
const std::vector<ListenerSegment> kBerlin = {
    {"2024-03-01 00:10:00", 1200, 1, "Kraftwerk", "Autobahn"},  // from February into March
    {"2024-03-31 03:20:00", 3600, 2, "Kraftwerk", "Autobahn"},  // over the spring gap
    {"2024-04-01 00:05:00", 600, 3, "Nena", "99 Luftballons"},  // from March into April
    {"2024-10-27 02:30:00", 5400, 4, "Nena", "99 Luftballons"}, // in the repeated hour
    {"2024-10-27 02:30:00", 0, 5, "Nena", "99 Luftballons"},
};

TEST_P(ReportDbTest, BerlinMonthsAndBothChanges) {
    for (const Loading loading : {Loading{false, true}, Loading{true, true}}) {
        SCOPED_TRACE(loading.typed ? "typed" : "text");
        const std::string table = Load(kBerlin, loading, "rep_berlin");
        const ZoneRule rule = Berlin();
        std::vector<std::pair<Instant, Instant>> months;
        const char* firsts[] = {"2024-02-01", "2024-03-01", "2024-04-01", "2024-05-01"};
        for (int i = 0; i < 3; ++i)
            months.emplace_back(rule.Instant_(std::string(firsts[i]) + " 00:00:00"),
                                rule.Instant_(std::string(firsts[i + 1]) + " 00:00:00"));
        ExpectFigures(
            Report(table, rule, Settings({2024, 2, 1}, {2024, 5, 1}, PeriodUnit::Month), true),
            Expect(kBerlin, rule, months, 0));
        ExpectFigures(
            Report(table, rule, Settings({2024, 10, 26}, {2024, 10, 29}, PeriodUnit::Day), true),
            Expect(kBerlin, rule, Days(rule, "2024-10-26", 3), 0));
    }
}

// With periods in UTC the days start at UTC midnight, while the rows stay in station time.
TEST_P(ReportDbTest, UtcPeriodsOverStationTimes) {
    const std::string table = Load(kMarch, {false, false}, "rep_utc");
    auto settings = Settings({2024, 3, 9}, {2024, 3, 12}, PeriodUnit::Day);
    settings.utc = true;
    const auto got = Report(table, NewYork(), settings, false);
    ExpectFigures(got, Expect(kMarch, NewYork(), Days(Utc(), "2024-03-09", 3), 0));
}

INSTANTIATE_FOR_DATABASES(ReportDbTest);

} // namespace
} // namespace brenvale::test

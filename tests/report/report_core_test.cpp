// The report's parts that need no database: reading times and requests, agents, zones, periods
// and the peak sweep, each against cases worked out by hand or by brute force.
#include "report/location.h"
#include "report/peak_sweep.h"
#include "report/periods.h"
#include "report/segment.h"
#include "report/time_zone.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>

namespace brenvale::report {
namespace {

Instant Utc(const char* text) {
    std::tm tm{};
    strptime(text, "%Y-%m-%d %H:%M:%S", &tm);
    return static_cast<Instant>(timegm(&tm));
}

struct TimeCase {
    const char* text;
    const char* utc; ///< the same wall-clock time read as UTC; null: unreadable
    const char* reason;
};

class LocalTimeTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(LocalTimeTest, Reads) {
    const auto got = ParseLocalTime(GetParam().text);
    if (GetParam().utc == nullptr)
        EXPECT_FALSE(got) << GetParam().reason;
    else
        EXPECT_EQ(got.value_or(-1), Utc(GetParam().utc)) << GetParam().reason;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocalTimeTest,
    ::testing::Values(TimeCase{"2024-03-01 18:04:11", "2024-03-01 18:04:11", "as the loader joins"},
                      TimeCase{"2024-03-01T18:04:11", "2024-03-01 18:04:11", "ISO 8601's T"},
                      TimeCase{"2024-03-01 18:04:11.000", "2024-03-01 18:04:11", "a fraction"},
                      TimeCase{"2024-02-29 23:59:59", "2024-02-29 23:59:59", "a leap day"},
                      TimeCase{"2023-02-29 10:00:00", nullptr, "no leap day in 2023"},
                      TimeCase{"2024-03-01 24:00:00", nullptr, "hour 24"},
                      TimeCase{"2024-03-01 18:04", nullptr, "no seconds"},
                      TimeCase{"2024-3-1 18:04:11", nullptr, "digits missing"},
                      TimeCase{"-", nullptr, "no value"},
                      TimeCase{"2024-03-01 18:04:11 PM", nullptr, "text after the time"}));

struct TitleCase {
    const char* uri;
    bool translated;
    const char* title;
    const char* reason;
};

class TitleTest : public ::testing::TestWithParam<TitleCase> {};

TEST_P(TitleTest, Finds) {
    EXPECT_EQ(RawTitleOf(GetParam().uri, GetParam().translated), GetParam().title)
        << GetParam().reason;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TitleTest,
    ::testing::Values(
        TitleCase{"/stream?title=Bj%C3%B6rk%20-%20Joga", false, "Bj%C3%B6rk%20-%20Joga", "escaped"},
        TitleCase{"/stream", false, "", "no query"},
        TitleCase{"/stream?sid=1&title=A%20-%20B", false, "A%20-%20B", "a parameter before it"},
        TitleCase{"/stream?title=A%20-%20B&sid=1", false, "A%20-%20B", "a parameter after it"},
        TitleCase{"/stream?title=Simon & Garfunkel - Cecilia", true, "Simon & Garfunkel - Cecilia",
                  "a translated '&' in the title"},
        TitleCase{"/stream?title=A - B&sid=1", true, "A - B",
                  "a translated title, then a parameter"},
        TitleCase{"/stream?subtitle=x", false, "", "another parameter's name ending in title"}));

TEST(SegmentTest, ArtistAndTitleSplitAtTheFirstDash) {
    EXPECT_EQ(SplitArtistTitle("A - B - C").artist, "A");
    EXPECT_EQ(SplitArtistTitle("A - B - C").title, "B - C");
    EXPECT_EQ(SplitArtistTitle("Station ID").artist, "");
    EXPECT_EQ(SplitArtistTitle("Jean-Michel Jarre - Oxygène").artist, "Jean-Michel Jarre");
    EXPECT_EQ(DecodeValue("Bj%C3%B6rk"), "Björk");
    EXPECT_EQ(DecodeValue("Caf%E9"), "Café") << "Windows-1252 bytes become UTF-8";
}

TEST(SegmentTest, AgentsOfRelaysAndBotsAndFilePatterns) {
    AgentFilter filter;
    for (const char* bot :
         {"Icecast 2.4.4", "SHOUTcast Server v2.6", "Googlebot/2.1",
          "Mozilla/5.0 (compatible; bingbot/2.0)", "UptimeRobot/2.0", "curl/8.4.0"})
        EXPECT_TRUE(filter.Matches(bot)) << bot;
    for (const char* player : {"VLC/3.0.18 LibVLC/3.0.18", "Winamp/5.8", "iTunes/12.12"})
        EXPECT_FALSE(filter.Matches(player)) << player;

    const std::string path = test::ScratchDir("agents") + "/agents.txt";
    std::ofstream(path) << "# ours\n\nWinamp/5.8*\n  iTunes  \n";
    std::string error;
    ASSERT_TRUE(filter.AddFile(path, error)) << error;
    EXPECT_TRUE(filter.Matches("winamp/5.8 (x86)")) << "a shell pattern, any letter case";
    EXPECT_FALSE(filter.Matches("Winamp/5.9")) << "a pattern with '*' matches the whole agent";
    EXPECT_TRUE(filter.Matches("iTunes/12.12")) << "plain text anywhere in the agent";
    EXPECT_FALSE(filter.AddFile("/nonexistent/agents.txt", error));
    EXPECT_NE(error.find("/nonexistent/agents.txt"), std::string::npos);
}

struct ZoneCase {
    const char* zone;
    const char* local;
    const char* utc;
    const char* reason;
};

class ZoneTest : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(ZoneTest, TurnsWallClockTimesIntoInstants) {
    std::string error;
    const auto zone = StationZone::Find(GetParam().zone, error);
    ASSERT_TRUE(zone) << error;
    EXPECT_EQ(zone->ToInstant(Utc(GetParam().local)), Utc(GetParam().utc)) << GetParam().reason;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ZoneTest,
    ::testing::Values(
        ZoneCase{"America/New_York", "2024-03-10 01:59:59", "2024-03-10 06:59:59",
                 "before the gap"},
        ZoneCase{"America/New_York", "2024-03-10 02:30:00", "2024-03-10 07:30:00",
                 "in the gap: moved forward to 03:30 EDT"},
        ZoneCase{"America/New_York", "2024-03-10 03:00:00", "2024-03-10 07:00:00", "after the gap"},
        ZoneCase{"America/New_York", "2024-11-03 01:30:00", "2024-11-03 05:30:00",
                 "repeated: the earlier, EDT"},
        ZoneCase{"America/New_York", "2024-11-03 02:00:00", "2024-11-03 07:00:00",
                 "after the fold"},
        ZoneCase{"Europe/Berlin", "2024-03-31 02:30:00", "2024-03-31 01:30:00", "in Berlin's gap"},
        ZoneCase{"Europe/Berlin", "2024-10-27 02:30:00", "2024-10-27 00:30:00",
                 "repeated in Berlin: CEST"},
        ZoneCase{"Asia/Kolkata", "2024-06-01 00:00:00", "2024-05-31 18:30:00", "a half-hour zone"},
        ZoneCase{"UTC", "2024-06-01 00:00:00", "2024-06-01 00:00:00", "UTC"}));

TEST(ZoneTest, UnknownZonesAndTheLatestInstantAfterAGap) {
    std::string error;
    EXPECT_FALSE(StationZone::Find("Mars/Olympus_Mons", error));
    EXPECT_NE(error.find("Mars/Olympus_Mons"), std::string::npos);
    const auto ny = StationZone::Find("America/New_York", error);
    ASSERT_TRUE(ny);
    // 03:10 EDT is 07:10 UTC, but 02:59 (skipped) went to 07:59 UTC.
    EXPECT_EQ(ny->LatestInstantUpTo(Utc("2024-03-10 03:10:00")), Utc("2024-03-10 07:59:59"));
    EXPECT_EQ(ny->LatestInstantUpTo(Utc("2024-03-10 05:00:00")), Utc("2024-03-10 09:00:00"));
    EXPECT_EQ(Iso8601(Utc("2024-03-10 05:00:00"), *ny), "2024-03-10T00:00:00-05:00");
    EXPECT_EQ(Iso8601(Utc("2024-03-11 04:00:00"), *ny), "2024-03-11T00:00:00-04:00");
}

TEST(PeriodTest, WeeksFromMondayAndMonthsCutToTheRange) {
    const StationZone utc;
    // 2024-03-06 is a Wednesday; the weeks start on Monday the 11th and 18th.
    const auto weeks = MakePeriods({2024, 3, 6}, {2024, 3, 20}, PeriodUnit::Week, utc);
    ASSERT_EQ(weeks.size(), 3u);
    EXPECT_EQ(weeks[0].start, Utc("2024-03-06 00:00:00"));
    EXPECT_EQ(weeks[1].start, Utc("2024-03-11 00:00:00"));
    EXPECT_EQ(weeks[2].start, Utc("2024-03-18 00:00:00"));
    EXPECT_EQ(weeks[2].end, Utc("2024-03-20 00:00:00"));
    const auto months = MakePeriods({2024, 1, 15}, {2024, 3, 2}, PeriodUnit::Month, utc);
    ASSERT_EQ(months.size(), 3u);
    EXPECT_EQ(months[1].start, Utc("2024-02-01 00:00:00"));
    EXPECT_EQ(months[1].end, Utc("2024-03-01 00:00:00"));
    EXPECT_EQ(months[2].end, Utc("2024-03-02 00:00:00"));
    EXPECT_TRUE(MakePeriods({2024, 3, 2}, {2024, 3, 2}, PeriodUnit::Day, utc).empty());
    PeriodUnit unit{};
    EXPECT_FALSE(ParsePeriodUnit("fortnight", unit));
}

// Debian's IP location database, as --countries reads it.
TEST(LocationTest, DebiansDatabaseKnowsAPublicAddress) {
    std::string error;
    const auto lookup = OpenLocationDatabase(kDefaultLocationDatabase, error);
    ASSERT_TRUE(lookup) << error;
    EXPECT_EQ(lookup->CountryOf("8.8.8.8"), "US");
    EXPECT_EQ(lookup->CountryOf("not an address"), "");
    EXPECT_FALSE(OpenLocationDatabase("/nonexistent/database.db", error));
    EXPECT_NE(error.find("/nonexistent/database.db"), std::string::npos);
}

// Many segments with ties, zero lengths and period edges: the sweep against counting every
// segment at every instant where a count can change.
TEST(PeakSweepTest, MatchesBruteForceOnManySegments) {
    std::vector<Period> periods;
    for (Instant t = 0; t < 2000; t += 100)
        periods.push_back({t, t + 100});
    unsigned seed = 7;
    const auto next = [&seed](unsigned range) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<Instant>((seed >> 8) % range);
    };
    for (int round = 0; round < 20; ++round) {
        std::vector<std::pair<Instant, Instant>> segments; // end, start
        for (int i = 0; i < 60; ++i) {
            const Instant end = next(2200) - 50;
            const Instant length = next(4) == 0 ? 0 : next(400);
            segments.emplace_back(end, end - length);
        }
        std::sort(segments.rbegin(), segments.rend());
        PeakSweep sweep(periods);
        for (const auto& [end, start] : segments)
            sweep.Add(start, end);
        const std::vector<long> peaks = sweep.Finish();
        for (std::size_t p = 0; p < periods.size(); ++p) {
            long want = 0;
            for (Instant t = periods[p].start; t < periods[p].end; ++t) {
                long open = 0;
                for (const auto& [end, start] : segments)
                    open += start == end ? t == end : start <= t && t < end;
                want = std::max(want, open);
            }
            EXPECT_EQ(peaks[p], want) << "round " << round << ", period " << p;
        }
        EXPECT_EQ(sweep.OutOfOrder(), 0u);
    }
}

} // namespace
} // namespace brenvale::report

// Icecast's access and playlist lines, and the rows they become: tables of cases.
#include "core/icecast.h"
#include "core/icecast_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brenvale {
namespace {

// ---------------------------------------------------------------- access lines

struct AccessCase {
    std::string name;
    std::string line;
    bool parses = true;
    std::string address{}, local{}, method{}, path{}, status{}, agent{};
    std::uint64_t bytes = 0, seconds = 0;
    std::int32_t offset = 0;
};

class AccessLineTest : public testing::TestWithParam<AccessCase> {};

TEST_P(AccessLineTest, ReadsTheFields) {
    const AccessCase& c = GetParam();
    const std::optional<AccessLine> line = ParseAccessLine(c.line);
    ASSERT_EQ(line.has_value(), c.parses);
    if (!line)
        return;
    EXPECT_EQ(line->address, c.address);
    EXPECT_EQ(FormatLocalTime(line->end.local), c.local);
    EXPECT_EQ(line->end.offset, c.offset);
    EXPECT_EQ(line->method, c.method);
    EXPECT_EQ(line->path, c.path);
    EXPECT_EQ(line->status, c.status);
    EXPECT_EQ(line->agent, c.agent);
    EXPECT_EQ(line->bytes, c.bytes);
    EXPECT_EQ(line->seconds, c.seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, AccessLineTest,
    testing::Values(
        AccessCase{
            "plain",
            R"(192.0.2.7 - - [01/Mar/2024:18:04:11 +0100] "GET /live HTTP/1.1" 200 1048576 "-" "VLC/3.0.18 LibVLC/3.0.18" 65)",
            true, "192.0.2.7", "2024-03-01 18:04:11", "GET", "/live", "200",
            "VLC/3.0.18 LibVLC/3.0.18", 1048576, 65, 3600},
        AccessCase{
            "ipv6_and_a_negative_offset",
            R"(2001:db8::7 - - [29/Feb/2024:23:59:59 -0530] "GET /jazz.ogg HTTP/1.0" 200 0 "http://example.com/" "Mozilla/5.0" 0)",
            true, "2001:db8::7", "2024-02-29 23:59:59", "GET", "/jazz.ogg", "200", "Mozilla/5.0", 0,
            0, -19800},
        AccessCase{
            "escaped_quotes_and_backslashes",
            R"(192.0.2.8 - - [01/Mar/2024:18:04:11 +0000] "GET /live HTTP/1.1" 200 10 "-" "Say \x22hi\x22 \\o/ \"x\"" 5)",
            true, "192.0.2.8", "2024-03-01 18:04:11", "GET", "/live", "200", R"(Say "hi" \o/ "x")",
            10, 5, 0},
        AccessCase{
            "no_agent",
            R"(192.0.2.9 - - [01/Mar/2024:18:04:11 +0000] "GET /live HTTP/1.1" 200 10 "-" "-" 5)",
            true, "192.0.2.9", "2024-03-01 18:04:11", "GET", "/live", "200", "-", 10, 5, 0},
        AccessCase{
            "empty_agent",
            R"(192.0.2.9 - - [01/Mar/2024:18:04:11 +0000] "GET /live HTTP/1.1" 200 10 "-" "" 5)",
            true, "192.0.2.9", "2024-03-01 18:04:11", "GET", "/live", "200", "-", 10, 5, 0},
        AccessCase{
            "query_string_as_icecast_kh_writes_it",
            R"(198.51.100.4 - - [01/Mar/2024:18:04:11 +0100] "GET /live?type=.mp3&nocache=12 HTTP/1.1" 200 77 "-" "Winamp" 9)",
            true, "198.51.100.4", "2024-03-01 18:04:11", "GET", "/live?type=.mp3&nocache=12", "200",
            "Winamp", 77, 9, 3600},
        AccessCase{
            "source_client",
            R"(203.0.113.2 - source [01/Mar/2024:20:00:00 +0100] "SOURCE /live HTTP/1.0" 200 998877 "-" "butt 0.1.40" 7200)",
            true, "203.0.113.2", "2024-03-01 20:00:00", "SOURCE", "/live", "200", "butt 0.1.40",
            998877, 7200, 3600},
        AccessCase{
            "user_name_and_not_found",
            R"(192.0.2.7 - admin [01/Mar/2024:18:04:11 +0100] "GET /admin/stats HTTP/1.1" 404 0 "-" "curl/8.0" 0)",
            true, "192.0.2.7", "2024-03-01 18:04:11", "GET", "/admin/stats", "404", "curl/8.0", 0,
            0, 3600},
        AccessCase{"trailing_blank",
                   "192.0.2.7 - - [01/Mar/2024:18:04:11 +0100] \"GET /live HTTP/1.1\" 200 5 \"-\" "
                   "\"x\" 3 ",
                   true, "192.0.2.7", "2024-03-01 18:04:11", "GET", "/live", "200", "x", 5, 3,
                   3600},
        AccessCase{
            "no_seconds",
            R"(192.0.2.7 - - [01/Mar/2024:18:04:11 +0100] "GET /live HTTP/1.1" 200 5 "-" "x")",
            false},
        AccessCase{
            "seconds_not_a_number",
            R"(192.0.2.7 - - [01/Mar/2024:18:04:11 +0100] "GET /live HTTP/1.1" 200 5 "-" "x" 6s)",
            false},
        AccessCase{
            "bytes_missing",
            R"(192.0.2.7 - - [01/Mar/2024:18:04:11 +0100] "GET /live HTTP/1.1" 200 - "-" "x" 6)",
            false},
        AccessCase{
            "agent_unclosed",
            R"(192.0.2.7 - - [01/Mar/2024:18:04:11 +0100] "GET /live HTTP/1.1" 200 5 "-" "x 6)",
            false},
        AccessCase{
            "no_such_day",
            R"(192.0.2.7 - - [30/Feb/2024:18:04:11 +0100] "GET /live HTTP/1.1" 200 5 "-" "x" 6)",
            false},
        AccessCase{
            "no_such_month",
            R"(192.0.2.7 - - [01/Mai/2024:18:04:11 +0100] "GET /live HTTP/1.1" 200 5 "-" "x" 6)",
            false},
        AccessCase{"no_offset",
                   R"(192.0.2.7 - - [01/Mar/2024:18:04:11] "GET /live HTTP/1.1" 200 5 "-" "x" 6)",
                   false},
        AccessCase{"shoutcast_line",
                   "192.0.2.7 192.0.2.7 2024-03-01 18:04:11 /stream 200 VLC 1 2 3", false},
        AccessCase{"playlist_line", "01/Mar/2024:18:03:06 +0100|/live|12|Björk - Joga", false}),
    [](const testing::TestParamInfo<AccessCase>& info) { return info.param.name; });

// ---------------------------------------------------------------- playlist lines

struct PlaylistCase {
    std::string name;
    std::string line;
    bool parses = true;
    std::string mount{}, title{};
    std::int64_t instant = 0;
};

class PlaylistLineTest : public testing::TestWithParam<PlaylistCase> {};

TEST_P(PlaylistLineTest, ReadsTheFields) {
    const PlaylistCase& c = GetParam();
    const std::optional<PlaylistLine> line = ParsePlaylistLine(c.line);
    ASSERT_EQ(line.has_value(), c.parses);
    if (!line)
        return;
    EXPECT_EQ(line->mount, c.mount);
    EXPECT_EQ(line->title, c.title);
    EXPECT_EQ(line->time.Instant(), c.instant);
}

// 2024-03-01 17:03:06 UTC
constexpr std::int64_t kMarch1 = 1709312586;

INSTANTIATE_TEST_SUITE_P(
    Lines, PlaylistLineTest,
    testing::Values(PlaylistCase{"plain", "01/Mar/2024:18:03:06 +0100|/live|12|Björk - Joga", true,
                                 "/live", "Björk - Joga", kMarch1},
                    PlaylistCase{"title_with_bars", "01/Mar/2024:17:03:06 +0000|/live|0|A | B || C",
                                 true, "/live", "A | B || C", kMarch1},
                    PlaylistCase{"empty_title", "01/Mar/2024:12:03:06 -0500|/jazz|3|", true,
                                 "/jazz", "", kMarch1},
                    PlaylistCase{"three_fields", "01/Mar/2024:18:03:06 +0100|/live|12", false},
                    PlaylistCase{"mount_without_slash", "01/Mar/2024:18:03:06 +0100|live|12|x",
                                 false},
                    PlaylistCase{"bad_time", "2024-03-01 18:03:06|/live|12|x", false}),
    [](const testing::TestParamInfo<PlaylistCase>& info) { return info.param.name; });

// ---------------------------------------------------------------- formats

struct FormatCase {
    std::string name;
    std::string line;
    LogFormat format;
};

class LineFormatTest : public testing::TestWithParam<FormatCase> {};

TEST_P(LineFormatTest, TellsTheFormat) {
    EXPECT_EQ(DetectLineFormat(GetParam().line), GetParam().format);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineFormatTest,
    testing::Values(
        FormatCase{"shoutcast_directive", "#Software: SHOUTcast", LogFormat::W3C},
        FormatCase{"shoutcast_data",
                   "192.0.2.7 192.0.2.7 2024-03-01 18:04:11 /stream?title=A 200 VLC 1 2 3",
                   LogFormat::W3C},
        FormatCase{
            "icecast_access",
            R"(192.0.2.7 - - [01/Mar/2024:18:04:11 +0100] "GET /live HTTP/1.1" 200 5 "-" "a b c d e f g" 6)",
            LogFormat::IcecastAccess},
        FormatCase{"icecast_playlist", "01/Mar/2024:18:03:06 +0100|/live|12|A - B",
                   LogFormat::IcecastPlaylist},
        FormatCase{"nine_fields", "192.0.2.7 x 2024-03-01 18:04:11 /s 200 VLC 1 2",
                   LogFormat::Auto},
        FormatCase{"ten_fields_without_a_date", "a b c d e f g h i j", LogFormat::Auto},
        FormatCase{"nothing", "hello", LogFormat::Auto}),
    [](const testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

struct FormatNameCase {
    std::string name;
    std::optional<LogFormat> format;
};

class FormatNameTest : public testing::TestWithParam<FormatNameCase> {};

TEST_P(FormatNameTest, ReadsTheName) {
    EXPECT_EQ(ParseLogFormat(GetParam().name), GetParam().format);
    if (GetParam().format) {
        EXPECT_EQ(ParseLogFormat(LogFormatName(*GetParam().format)), GetParam().format);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, FormatNameTest,
    testing::Values(FormatNameCase{"", LogFormat::Auto}, FormatNameCase{"Auto", LogFormat::Auto},
                    FormatNameCase{"SHOUTcast", LogFormat::W3C},
                    FormatNameCase{"w3c", LogFormat::W3C},
                    FormatNameCase{"icecast", LogFormat::IcecastAccess},
                    FormatNameCase{"icecast-playlist", LogFormat::IcecastPlaylist},
                    FormatNameCase{"apache", std::nullopt}));

// ---------------------------------------------------------------- rows

struct RowsCase {
    std::string name;
    std::vector<std::string> playlist; ///< playlist lines, in the order written
    std::string access;
    std::vector<std::string> rows; ///< each row's nine values joined with '|'
};

class AccessRowsTest : public testing::TestWithParam<RowsCase> {};

std::string Joined(const RowTexts& row) {
    std::string text;
    for (const std::string& value : row)
        text += (text.empty() ? "" : "|") + value;
    return text;
}

TEST_P(AccessRowsTest, SplitsByTitle) {
    const RowsCase& c = GetParam();
    TitleTimeline titles;
    for (const std::string& text : c.playlist) {
        const std::optional<PlaylistLine> line = ParsePlaylistLine(text);
        ASSERT_TRUE(line) << text;
        titles.Add(*line);
    }
    FormatLines lines(LogFormat::Auto, c.playlist.empty() ? nullptr : &titles);
    std::vector<RowTexts> rows;
    ASSERT_EQ(lines.Read(c.access, rows), LineRows::Kind::Rows);
    std::vector<std::string> got;
    for (const RowTexts& row : rows)
        got.push_back(Joined(row));
    EXPECT_EQ(got, c.rows);
}

// A listener from 18:00:00 to 18:01:40 (+0100), 100 seconds, 1001 bytes.
const std::string kListener =
    R"(192.0.2.7 - - [01/Mar/2024:18:01:40 +0100] "GET /live HTTP/1.1" 200 1001 "-" "VLC/3.0.18 LibVLC/3.0.18" 100)";
const std::string kRowHead = "192.0.2.7|192.0.2.7|";
const std::string kAgent = "|200|VLC/3.0.18 LibVLC/3.0.18|";

std::string Change(const std::string& time, const std::string& title,
                   const std::string& mount = "/live", const std::string& zone = "+0100") {
    return "01/Mar/2024:" + time + " " + zone + "|" + mount + "|3|" + title;
}

INSTANTIATE_TEST_SUITE_P(
    Conventions, AccessRowsTest,
    testing::Values(
        RowsCase{"without_a_playlist",
                 {},
                 kListener,
                 {kRowHead + "2024-03-01 18:01:40|/live" + kAgent + "1001|100|80"}},
        RowsCase{"no_change_inside",
                 {Change("17:50:00", "Björk - Joga")},
                 kListener,
                 {kRowHead + "2024-03-01 18:01:40|/live?title=Bj%C3%B6rk%20-%20Joga" + kAgent +
                  "1001|100|80"}},
        RowsCase{"change_at_the_very_start_is_in_force",
                 {Change("17:50:00", "A"), Change("18:00:00", "B")},
                 kListener,
                 {kRowHead + "2024-03-01 18:01:40|/live?title=B" + kAgent + "1001|100|80"}},
        RowsCase{"change_at_the_very_end_is_not_inside",
                 {Change("17:50:00", "A"), Change("18:01:40", "B")},
                 kListener,
                 {kRowHead + "2024-03-01 18:01:40|/live?title=A" + kAgent + "1001|100|80"}},
        // 1001 bytes over 100 s: cut at 30 s (floor 300.3 = 300) and 70 s (floor 700.7 = 700).
        RowsCase{"two_changes_inside_bytes_shared_cumulatively",
                 {Change("17:50:00", "A"), Change("18:00:30", "B"), Change("18:01:10", "C")},
                 kListener,
                 {kRowHead + "2024-03-01 18:00:30|/live?title=A" + kAgent + "300|30|80",
                  kRowHead + "2024-03-01 18:01:10|/live?title=B" + kAgent + "400|40|80",
                  kRowHead + "2024-03-01 18:01:40|/live?title=C" + kAgent + "301|30|80"}},
        RowsCase{"repeated_title_is_no_change",
                 {Change("17:50:00", "A"), Change("18:00:30", "A"), Change("18:00:31", "A")},
                 kListener,
                 {kRowHead + "2024-03-01 18:01:40|/live?title=A" + kAgent + "1001|100|80"}},
        RowsCase{"same_title_after_another_is_a_change",
                 {Change("17:50:00", "A"), Change("18:00:30", "B"), Change("18:00:50", "A")},
                 kListener,
                 {kRowHead + "2024-03-01 18:00:30|/live?title=A" + kAgent + "300|30|80",
                  kRowHead + "2024-03-01 18:00:50|/live?title=B" + kAgent + "200|20|80",
                  kRowHead + "2024-03-01 18:01:40|/live?title=A" + kAgent + "501|50|80"}},
        RowsCase{"last_title_of_a_second_wins",
                 {Change("17:50:00", "A"), Change("18:00:30", "X"), Change("18:00:30", "B")},
                 kListener,
                 {kRowHead + "2024-03-01 18:00:30|/live?title=A" + kAgent + "300|30|80",
                  kRowHead + "2024-03-01 18:01:40|/live?title=B" + kAgent + "701|70|80"}},
        RowsCase{"other_mounts_do_not_split",
                 {Change("17:50:00", "A"), Change("18:00:30", "Z", "/jazz")},
                 kListener,
                 {kRowHead + "2024-03-01 18:01:40|/live?title=A" + kAgent + "1001|100|80"}},
        RowsCase{"no_title_in_force_at_the_start",
                 {Change("18:00:40", "A")},
                 kListener,
                 {kRowHead + "2024-03-01 18:00:40|/live" + kAgent + "400|40|80",
                  kRowHead + "2024-03-01 18:01:40|/live?title=A" + kAgent + "601|60|80"}},
        RowsCase{"mount_with_no_title_at_all",
                 {Change("18:00:40", "A", "/jazz")},
                 kListener,
                 {kRowHead + "2024-03-01 18:01:40|/live" + kAgent + "1001|100|80"}},
        RowsCase{
            "titles_in_another_offset",
            {Change("16:50:00", "A", "/live", "+0000"), Change("17:00:30", "B", "/live", "+0000")},
            kListener,
            {kRowHead + "2024-03-01 18:00:30|/live?title=A" + kAgent + "300|30|80",
             kRowHead + "2024-03-01 18:01:40|/live?title=B" + kAgent + "701|70|80"}},
        RowsCase{
            "zero_seconds_take_the_change_of_their_second",
            {Change("17:50:00", "A"), Change("18:01:40", "B")},
            R"(192.0.2.7 - - [01/Mar/2024:18:01:40 +0100] "GET /live HTTP/1.1" 200 512 "-" "VLC/3.0.18 LibVLC/3.0.18" 0)",
            {kRowHead + "2024-03-01 18:01:40|/live?title=B" + kAgent + "512|0|0"}},
        RowsCase{
            "query_dropped_from_split_rows",
            {Change("17:50:00", "A"), Change("18:00:30", "B")},
            R"(192.0.2.7 - - [01/Mar/2024:18:01:40 +0100] "GET /live?type=.mp3 HTTP/1.1" 200 1001 "-" "VLC/3.0.18 LibVLC/3.0.18" 100)",
            {kRowHead + "2024-03-01 18:00:30|/live?title=A" + kAgent + "300|30|80",
             kRowHead + "2024-03-01 18:01:40|/live?title=B" + kAgent + "701|70|80"}},
        RowsCase{"title_with_bars_and_quotes_escaped",
                 {Change("17:50:00", "A|B \"C\" & D/E")},
                 kListener,
                 {kRowHead + "2024-03-01 18:01:40|/live?title=A%7CB%20%22C%22%20%26%20D%2FE" +
                  kAgent + "1001|100|80"}},
        RowsCase{
            "source_client_is_never_split",
            {Change("17:50:00", "A"), Change("18:00:30", "B")},
            R"(203.0.113.2 - source [01/Mar/2024:18:01:40 +0100] "SOURCE /live HTTP/1.0" 200 1001 "-" "butt" 100)",
            {"203.0.113.2|203.0.113.2|2024-03-01 18:01:40|SOURCE /live|200|butt|1001|100|80"}},
        RowsCase{
            "metadata_update_is_never_split",
            {Change("17:50:00", "A"), Change("18:00:30", "B")},
            R"(203.0.113.2 - source [01/Mar/2024:18:01:40 +0100] "GET /admin/metadata?mount=/live&mode=updinfo&song=B HTTP/1.0" 200 100 "-" "butt" 100)",
            {"203.0.113.2|203.0.113.2|2024-03-01 18:01:40|/admin/metadata?mount=/live&mode="
             "updinfo&song=B|200|butt|100|100|8"}},
        RowsCase{
            "status_other_than_200_is_never_split",
            {Change("17:50:00", "A"), Change("18:00:30", "B")},
            R"(192.0.2.7 - - [01/Mar/2024:18:01:40 +0100] "GET /live HTTP/1.1" 403 1001 "-" "VLC/3.0.18 LibVLC/3.0.18" 100)",
            {kRowHead + "2024-03-01 18:01:40|/live|403|VLC/3.0.18 LibVLC/3.0.18|1001|100|80"}},
        // 11 bytes in 10 s: 3 in the first 3 s (8 bit/s), 8 in the last 7 (9.14 bit/s).
        RowsCase{
            "bit_rate_per_part_rounded",
            {Change("17:50:00", "A"), Change("18:00:03", "B")},
            R"(192.0.2.7 - - [01/Mar/2024:18:00:10 +0100] "GET /live HTTP/1.1" 200 11 "-" "VLC/3.0.18 LibVLC/3.0.18" 10)",
            {kRowHead + "2024-03-01 18:00:03|/live?title=A" + kAgent + "3|3|8",
             kRowHead + "2024-03-01 18:00:10|/live?title=B" + kAgent + "8|7|9"}},
        RowsCase{
            "crossing_midnight",
            {Change("23:59:00", "A"), Change("23:59:59", "B")},
            R"(192.0.2.7 - - [02/Mar/2024:00:00:01 +0100] "GET /live HTTP/1.1" 200 4 "-" "VLC/3.0.18 LibVLC/3.0.18" 4)",
            {kRowHead + "2024-03-01 23:59:59|/live?title=A" + kAgent + "2|2|8",
             kRowHead + "2024-03-02 00:00:01|/live?title=B" + kAgent + "2|2|8"}}),
    [](const testing::TestParamInfo<RowsCase>& info) { return info.param.name; });

struct RateCase {
    std::uint64_t bytes, seconds, rate;
};

class BitRateTest : public testing::TestWithParam<RateCase> {};

TEST_P(BitRateTest, RoundsHalfUp) {
    EXPECT_EQ(AverageBitRate(GetParam().bytes, GetParam().seconds), GetParam().rate);
}

INSTANTIATE_TEST_SUITE_P(Rates, BitRateTest,
                         testing::Values(RateCase{1048576, 65, 129056}, RateCase{5, 0, 0},
                                         RateCase{0, 9, 0}, RateCase{1, 16, 1}, RateCase{1, 17, 0},
                                         RateCase{(std::uint64_t{1} << 62) - 1, 8,
                                                  (std::uint64_t{1} << 62) - 1}));

// The format of each stream is told again from its own lines.
TEST(FormatLinesTest, EachStreamTellsItsOwnFormat) {
    FormatLines lines(LogFormat::Auto, nullptr);
    std::vector<RowTexts> rows;
    EXPECT_EQ(lines.Read("garbage", rows), LineRows::Kind::Short);
    EXPECT_EQ(lines.Read(kListener, rows), LineRows::Kind::Rows);
    EXPECT_EQ(lines.Read("192.0.2.7 x 2024-03-01 18:04:11 /s 200 VLC 1 2 3", rows),
              LineRows::Kind::Short);
    lines.StartStream();
    EXPECT_EQ(lines.Read("192.0.2.7 x 2024-03-01 18:04:11 /s 200 VLC 1 2 3", rows),
              LineRows::Kind::W3C);
    EXPECT_EQ(lines.Read(kListener, rows), LineRows::Kind::W3C);
    lines.StartStream();
    EXPECT_EQ(lines.Read("01/Mar/2024:18:03:06 +0100|/live|12|A", rows), LineRows::Kind::Short);
    EXPECT_TRUE(lines.SawPlaylist());

    FormatLines named(LogFormat::IcecastAccess, nullptr);
    EXPECT_EQ(named.Read("192.0.2.7 x 2024-03-01 18:04:11 /s 200 VLC 1 2 3", rows),
              LineRows::Kind::Short);
}

TEST(FormatLinesTest, OffsetsDisagreeingWithTheStationAreToldOnce) {
    FormatLines lines(LogFormat::Auto, nullptr);
    std::vector<std::string> told;
    lines.CheckOffsets([](std::int64_t) { return 7200; },
                       [&](const LogTime& time, std::int64_t expected) {
                           told.push_back(FormatLocalTime(time.local) + " " +
                                          std::to_string(time.offset) + " " +
                                          std::to_string(expected));
                       });
    std::vector<RowTexts> rows;
    lines.Read(kListener, rows);
    lines.Read(kListener, rows);
    EXPECT_EQ(told, std::vector<std::string>{"2024-03-01 18:01:40 3600 7200"});
}

TEST(FormatLinesTest, LinesEndingAfterThePlaylistWait) {
    TitleTimeline titles;
    FormatLines lines(LogFormat::Auto, &titles);
    EXPECT_TRUE(lines.EndsAfterPlaylist(kListener)); // no playlist line yet
    titles.Add(*ParsePlaylistLine(Change("18:01:39", "A", "/jazz")));
    EXPECT_TRUE(lines.EndsAfterPlaylist(kListener));
    // Any mount's line tells how far the playlist log has come.
    titles.Add(*ParsePlaylistLine(Change("18:01:40", "A", "/jazz")));
    EXPECT_FALSE(lines.EndsAfterPlaylist(kListener));
    EXPECT_FALSE(lines.EndsAfterPlaylist("garbage"));
}

} // namespace
} // namespace brenvale

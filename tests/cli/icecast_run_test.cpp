// Icecast's access and playlist logs loaded by brenvale-run into SQLite, PostgreSQL and MariaDB:
// every row compared with rows worked out here second by second, incremental runs across
// appends and rotations, and reports that give the same figures as for SHOUTcast's rows.
#include "cli/cli_runner.h"
#include "cli/report_cli.h"

#include "config/config_file.h"
#include "core/run_harness.h"
#include "support/http_server.h"

#include <gmock/gmock.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace brenvale::test {
namespace {

using ::testing::HasSubstr;

// Times below are seconds on the station's wall clock (+0100), counted from 1970.
constexpr std::int64_t kWindowStart = 1709312400; // 2024-03-01 17:00:00
constexpr std::int64_t kWindowSeconds = 4 * 3600;
constexpr std::int64_t kEnd = kWindowStart + 6 * 3600;

std::string Strftime(std::int64_t local, const char* format) {
    const auto time = static_cast<std::time_t>(local);
    std::tm tm{};
    gmtime_r(&time, &tm);
    char text[64];
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

std::string IcecastTime(std::int64_t local) {
    return Strftime(local, "%d/%b/%Y:%H:%M:%S") + " +0100";
}

std::string RowTime(std::int64_t local) {
    return Strftime(local, "%Y-%m-%d %H:%M:%S");
}

std::string PercentEscaped(const std::string& text) {
    std::string out;
    char hex[4];
    for (const unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

struct TitleLine {
    std::int64_t local = 0;
    std::string mount, title;
    std::string Text() const { return IcecastTime(local) + "|" + mount + "|7|" + title; }
};

struct Connection {
    std::string address;
    std::int64_t end = 0;
    std::int64_t seconds = 0;
    std::uint64_t bytes = 0;
    std::string method = "GET";
    std::string path = "/live";
    int status = 200;
    std::string agent = "VLC/3.0.18 LibVLC/3.0.18"; ///< as the player sent it

    std::string Text() const {
        std::string written;
        for (const char c : agent)
            written += c == '"' ? std::string("\\x22") : std::string(1, c);
        return address + " - - [" + IcecastTime(end) + "] \"" + method + " " + path +
               " HTTP/1.1\" " + std::to_string(status) + " " + std::to_string(bytes) + " \"-\" \"" +
               (agent.empty() ? "-" : written) + "\" " + std::to_string(seconds);
    }
};

using Row = std::vector<std::string>;

/// A station's evening: two mounts, titles changing (with the repeated updates servers write),
/// and listeners of every kind, the access lines in the order they end.
struct Station {
    std::vector<TitleLine> titles;
    std::vector<Connection> connections;
    /// Per mount and second from the window's start: the last title line at or before it.
    std::map<std::string, std::vector<int>> perSecond;

    static Station Evening() {
        static const char* const kTitles[] = {
            "Björk - Jóga", "AC/DC - T.N.T.",     "Simon & Garfunkel - Cecilia",
            "A | B - C|D",  "Quote \"Q\" - Song", "100% - Percent",
            "Station ID"};
        Station s;
        unsigned seed = 7;
        const auto next = [&](unsigned range) {
            seed = seed * 1103515245u + 12345u;
            return (seed >> 8) % range;
        };
        for (const char* mount : {"/live", "/jazz"}) {
            for (std::int64_t t = kWindowStart + next(60); t < kWindowStart + kWindowSeconds;
                 t += 120 + next(400)) {
                const std::string title = kTitles[next(7)];
                s.titles.push_back({t, mount, title});
                // Metadata updates of the same title, and now and then two titles in one second.
                for (unsigned again = next(3); again > 0; --again)
                    s.titles.push_back({t + again, mount, title});
                if (next(9) == 0)
                    s.titles.push_back({t + 3, mount, kTitles[next(7)]});
            }
        }
        // The server goes on writing updates of the last titles until the end.
        const std::size_t written = s.titles.size();
        for (const char* mount : {"/live", "/jazz"})
            for (std::size_t i = written; i-- > 0;)
                if (s.titles[i].mount == mount) {
                    s.titles.push_back({kEnd - 1, mount, s.titles[i].title});
                    break;
                }
        std::stable_sort(s.titles.begin(), s.titles.end(),
                         [](const TitleLine& a, const TitleLine& b) { return a.local < b.local; });
        for (std::size_t i = 0; i < s.titles.size(); ++i) {
            std::vector<int>& seconds = s.perSecond[s.titles[i].mount];
            seconds.resize(kEnd - kWindowStart + 1, -1);
            std::fill(seconds.begin() + (s.titles[i].local - kWindowStart), seconds.end(),
                      static_cast<int>(i));
        }
        for (int i = 0; i < 160; ++i) {
            Connection c;
            c.address = "192.0.2." + std::to_string(1 + i % 250);
            const unsigned kind = next(10);
            c.seconds = kind == 0 ? 0 : kind < 3 ? 1 + next(30) : 100 + next(3000);
            c.end = kWindowStart + 300 + c.seconds + next(kWindowSeconds - 3600);
            c.bytes = static_cast<std::uint64_t>(c.seconds) * 16000 + next(16000);
            c.path = next(3) == 0 ? "/jazz" : "/live";
            s.connections.push_back(c);
        }
        // Lines that are no listener's, and listeners of unusual shapes.
        const std::int64_t at = kWindowStart + 5000;
        s.connections.push_back(
            {"203.0.113.2", at + 7000, 7000, 111222333, "SOURCE", "/live", 200, "butt 0.1.40"});
        s.connections.push_back({"203.0.113.2", at + 60, 0, 120, "GET",
                                 "/admin/metadata?mount=/live&mode=updinfo&song=A%20-%20B", 200,
                                 "butt 0.1.40"});
        s.connections.push_back(
            {"192.0.2.99", at + 61, 0, 0, "GET", "/nothing", 404, "Mozilla/5.0"});
        s.connections.push_back(
            {"2001:db8::1:7", at + 3000, 2900, 46400123, "GET", "/live", 200, "Lavf/60.3.100"});
        s.connections.push_back({"192.0.2.77", at + 1200, 1100, 17600777, "GET", "/live", 200,
                                 "Player \"Deluxe\" 2.0"});
        s.connections.push_back({"192.0.2.78", at + 1300, 900, 14400000, "GET", "/jazz", 200, ""});
        s.connections.push_back({"198.51.100.4", at + 2500, 2222, 35555555, "GET",
                                 "/live?type=.mp3&nocache=1709", 200, "WinampMPEG/5.66"});
        // Zero seconds on the very second of a title change.
        const TitleLine& change = s.titles[s.titles.size() / 2];
        s.connections.push_back(
            {"192.0.2.80", change.local, 0, 4096, "GET", change.mount, 200, "VLC/3.0.18"});
        std::stable_sort(s.connections.begin(), s.connections.end(),
                         [](const Connection& a, const Connection& b) { return a.end < b.end; });
        return s;
    }

    /// The title of `mount` at each second (the last line written at or before it), or none.
    std::optional<std::string> TitleAt(const std::string& mount, std::int64_t second) const {
        const auto found = perSecond.find(mount);
        if (found == perSecond.end() || second < kWindowStart)
            return std::nullopt;
        const int line = found->second.at(static_cast<std::size_t>(second - kWindowStart));
        if (line < 0)
            return std::nullopt;
        return titles[static_cast<std::size_t>(line)].title;
    }

    /// The rows each connection should become, worked out a second at a time.
    std::vector<Row> ExpectedRows(bool withTitles, bool translated) const {
        std::vector<Row> rows;
        for (const Connection& c : connections) {
            const auto row = [&](std::int64_t end, const std::string& uri, std::uint64_t bytes,
                                 std::int64_t seconds) {
                const std::uint64_t rate =
                    seconds == 0 ? 0
                                 : static_cast<std::uint64_t>(
                                       std::llround(static_cast<long double>(bytes) * 8 / seconds));
                rows.push_back({c.address, c.address, RowTime(end), uri, std::to_string(c.status),
                                c.agent.empty() ? "-" : c.agent, std::to_string(bytes),
                                std::to_string(seconds), std::to_string(rate)});
            };
            const std::string request = c.method == "GET" ? c.path : c.method + " " + c.path;
            const std::string mount = c.path.substr(0, c.path.find('?'));
            const bool listening = c.method == "GET" && c.status == 200 &&
                                   mount.rfind("/admin/", 0) != 0 && withTitles;
            const auto uri = [&](const std::optional<std::string>& title) {
                if (!title)
                    return request;
                return mount + "?title=" + (translated ? *title : PercentEscaped(*title));
            };
            if (!listening) {
                row(c.end, request, c.bytes, c.seconds);
                continue;
            }
            if (c.seconds == 0) {
                row(c.end, uri(TitleAt(mount, c.end)), c.bytes, 0);
                continue;
            }
            const std::int64_t start = c.end - c.seconds;
            std::int64_t from = start;
            std::uint64_t sent = 0;
            std::optional<std::string> title = TitleAt(mount, start);
            for (std::int64_t s = start + 1; s <= c.end; ++s) {
                const std::optional<std::string> now =
                    s == c.end ? std::nullopt : TitleAt(mount, s);
                if (s < c.end && now == title)
                    continue;
                const std::uint64_t upTo =
                    c.bytes * static_cast<std::uint64_t>(s - start) / c.seconds;
                row(s, uri(title), upTo - sent, s - from);
                sent = upTo;
                from = s;
                title = now;
            }
        }
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    std::string AccessLog(std::int64_t after, std::int64_t upTo) const {
        std::string text;
        for (const Connection& c : connections)
            if (c.end > after && c.end <= upTo)
                text += c.Text() + "\n";
        return text;
    }

    std::string PlaylistLog(std::int64_t after, std::int64_t upTo) const {
        std::string text;
        for (const TitleLine& line : titles)
            if (line.local > after && line.local <= upTo)
                text += line.Text() + "\n";
        return text;
    }

    /// The expected rows as a SHOUTcast server writes them.
    static std::string W3CLog(const std::vector<Row>& rows) {
        std::string text = kHeader;
        for (const Row& r : rows) {
            // The request as requested, but for its blank ("SOURCE /live").
            std::string request = r[3];
            for (std::size_t blank = request.find(' '); blank != std::string::npos;
                 blank = request.find(' '))
                request.replace(blank, 1, "%20");
            text += r[0] + " " + r[1] + " " + r[2] + " " + request + " " + r[4] + " " +
                    PercentEscaped(r[5]) + " " + r[6] + " " + r[7] + " " + r[8] + "\n";
        }
        return text;
    }
};

class IcecastRunTest : public DatabaseTest {
protected:
    std::string Config(std::vector<Job> jobs, bool translate = false, bool incremental = false,
                       const std::string& zone = "Europe/Berlin") {
        ConfigData data;
        data.dsn = GetParam();
        data.translateASCII = translate;
        data.incremental = incremental;
        data.jobs = std::move(jobs);
        data.timeZone = zone;
        std::string error;
        const std::string path = dir_ + "/config.xml";
        EXPECT_TRUE(SaveConfig(path, data, error)) << error;
        return path;
    }

    std::string Run(std::vector<std::string> args) {
        CliEnvironment environment;
        ManualClock still;
        environment.clock = &still;
        std::ostringstream out, err;
        EXPECT_EQ(RunCli(args, out, err, environment), kExitSuccess) << err.str() << out.str();
        return out.str() + err.str();
    }

    std::vector<Row> Rows(const std::string& table) {
        std::vector<Row> rows = db_.Query("SELECT * FROM " + table);
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    const Station station_ = Station::Evening();
};

/// The rows only one side has, for a readable failure.
std::string Difference(const std::vector<Row>& got, const std::vector<Row>& want) {
    std::vector<Row> extra, missing;
    std::set_difference(got.begin(), got.end(), want.begin(), want.end(),
                        std::back_inserter(extra));
    std::set_difference(want.begin(), want.end(), got.begin(), got.end(),
                        std::back_inserter(missing));
    std::string text;
    for (const auto& [sign, rows] : {std::pair("+ ", &extra), std::pair("- ", &missing)})
        for (const Row& row : *rows)
            text += sign + ::testing::PrintToString(row) + "\n";
    return text;
}

TEST_P(IcecastRunTest, EveryListenerBecomesOneRowPerTitleHeard) {
    const std::string access = WriteLog("access.log", station_.AccessLog(0, kEnd));
    WriteLog("playlist.log", station_.PlaylistLog(0, kEnd));
    const std::vector<Row> expected = station_.ExpectedRows(true, false);
    ASSERT_GT(expected.size(), station_.connections.size() + 100);
    db_.CreateLogTable("ice_rows");
    // Row by row and in batches, the playlist log found beside the access log.
    for (const char* rows : {"1", "64"}) {
        SCOPED_TRACE(rows);
        db_.Exec("DELETE FROM ice_rows");
        const std::string out =
            Run({Config({{access, "ice_rows"}}), "--commit-rows", rows, "--format", "icecast"});
        EXPECT_THAT(out, HasSubstr("lines read: " + std::to_string(station_.connections.size()) +
                                   "; rows inserted: " + std::to_string(expected.size()) + ";"));
        EXPECT_EQ(Difference(Rows("ice_rows"), expected), "");
    }

    // Without a playlist log, one row per connection; the format is told from the lines.
    std::filesystem::remove(dir_ + "/playlist.log");
    db_.Exec("DELETE FROM ice_rows");
    Run({Config({{access, "ice_rows"}}), "--commit-rows", "64"});
    EXPECT_EQ(Difference(Rows("ice_rows"), station_.ExpectedRows(false, false)), "");
}

TEST_P(IcecastRunTest, IncrementalRunsAcrossAppendsAndRotationsLoadEveryPartOnce) {
    const std::string access = dir_ + "/access.log";
    const std::string titles = dir_ + "/titles/playlist.log";
    std::filesystem::create_directories(dir_ + "/titles");
    const std::int64_t t1 = kWindowStart + 3600, t2 = kWindowStart + 7200,
                       t3 = kWindowStart + 10800;
    // The playlist log is behind the access log: lines that end after its last line wait.
    WriteFile(access, station_.AccessLog(0, t1));
    WriteFile(titles, station_.PlaylistLog(0, t1 - 900));
    db_.CreateLogTable("ice_inc");
    db_.TryExec("DELETE FROM brenvale_checkpoint");
    const std::string config = Config({{access, "ice_inc", "", titles}}, false, true);
    const auto run = [&] { return Run({config, "--commit-rows", "16"}); };
    std::string out = run();
    EXPECT_THAT(out, HasSubstr("end after the last line of the playlist log"));
    const std::int64_t loaded = db_.Count("ice_inc");
    EXPECT_GT(loaded, 0);

    // Both logs grow and are rotated by logrotate, a connection spanning the playlist's rotation.
    Append(access, station_.AccessLog(t1, t2));
    Append(titles, station_.PlaylistLog(t1 - 900, t2 - 600));
    std::filesystem::rename(access, access + ".1");
    std::filesystem::rename(titles, titles + ".1");
    WriteFile(access, station_.AccessLog(t2, t3));
    WriteFile(titles, station_.PlaylistLog(t2 - 600, t3 + 10));
    out = run();
    EXPECT_GT(db_.Count("ice_inc"), loaded);

    // Icecast's own archive name for the next rotation.
    Append(access, station_.AccessLog(t3, kEnd));
    std::filesystem::rename(access, access + ".20240301_200000");
    WriteFile(access, "");
    Append(titles, station_.PlaylistLog(t3 + 10, kEnd));
    run();
    EXPECT_EQ(Difference(Rows("ice_inc"), station_.ExpectedRows(true, false)), "");
    out = run();
    EXPECT_THAT(out, HasSubstr("rows inserted: 0;"));
    EXPECT_EQ(Difference(Rows("ice_inc"), station_.ExpectedRows(true, false)), "");
}

TEST_P(IcecastRunTest, ReportsGiveTheFiguresOfTheSameRowsFromShoutcast) {
    const std::string access = WriteLog("access.log", station_.AccessLog(0, kEnd));
    WriteLog("playlist.log", station_.PlaylistLog(0, kEnd));
    const std::string w3c =
        WriteLog("sc_w3c.log", Station::W3CLog(station_.ExpectedRows(true, false)));
    db_.CreateLogTable("ice_rep");
    db_.CreateLogTable("sc_rep");
    Run({Config({{access, "ice_rep"}, {w3c, "sc_rep"}}, true), "--commit-rows", "64"});
    // Translated, the two loads are the same rows.
    EXPECT_EQ(Rows("ice_rep"), Rows("sc_rep"));

    const auto report = [&](const std::string& table) {
        std::ostringstream out, err;
        const std::string json = dir_ + "/" + table + ".json";
        EXPECT_EQ(RunReportCli({"--dsn", GetParam(), "--table", table, "--time-zone",
                                "Europe/Berlin", "--from", "2024-03-01", "--to", "2024-03-02",
                                "--by", "hour", "--translated", "--json", json},
                               out, err),
                  kReportSuccess)
            << err.str();
        std::string text = ReadFile(json);
        for (std::size_t at = text.find(table); at != std::string::npos; at = text.find(table))
            text.replace(at, table.size(), "TABLE");
        return text;
    };
    const std::string icecast = report("ice_rep");
    EXPECT_THAT(icecast, HasSubstr("Simon & Garfunkel"));
    EXPECT_EQ(icecast, report("sc_rep"));
}

TEST_P(IcecastRunTest, OffsetsOtherThanTheStationsAreNotedOnceAndLoadedAsWritten) {
    const std::string access = WriteLog("access.log", station_.AccessLog(0, kEnd));
    WriteLog("playlist.log", station_.PlaylistLog(0, kEnd));
    db_.CreateLogTable("ice_zone");
    const std::string out =
        Run({Config({{access, "ice_zone"}, {access, "ice_zone"}}, false, false, "UTC"),
             "--commit-rows", "64"});
    const std::string note = "are at UTC+01:00 (2024-03-01 17:";
    ASSERT_THAT(out, HasSubstr(note));
    EXPECT_EQ(out.find(note), out.rfind(note));
    const std::vector<Row> once = station_.ExpectedRows(true, false);
    std::vector<Row> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    std::sort(twice.begin(), twice.end());
    EXPECT_EQ(Rows("ice_zone"), twice);
}

TEST_P(IcecastRunTest, APlaylistLogAsTheJobsLogLoadsNothingAndSaysWhy) {
    const std::string titles = WriteLog("playlist.log", station_.PlaylistLog(0, kEnd));
    db_.CreateLogTable("ice_none");
    const std::string out = Run({Config({{titles, "ice_none"}})});
    EXPECT_THAT(out, HasSubstr("is an Icecast playlist log"));
    EXPECT_EQ(db_.Count("ice_none"), 0);

    // A playlist.log that is none is not used for the log beside it, which loads whole.
    const std::string access = WriteLog("access.log", station_.AccessLog(0, kEnd));
    WriteLog("playlist.log", "not a playlist\n");
    EXPECT_THAT(Run({Config({{access, "ice_none"}})}),
                HasSubstr("beside the log is not used: it holds no Icecast playlist lines"));
    EXPECT_EQ(Rows("ice_none"), station_.ExpectedRows(false, false));
}

TEST_P(IcecastRunTest, BothLogsDownloadedFromAnAddress) {
    HttpServer server;
    HttpReply access, titles;
    access.chunks = Chunked(station_.AccessLog(0, kEnd), 777);
    access.ranges = true;
    access.etag = "\"a1\"";
    titles.chunks = Chunked(station_.PlaylistLog(0, kEnd), 501);
    server.Serve("/logs/access.log", access);
    server.Serve("/logs/playlist.log", titles);
    db_.CreateLogTable("ice_http");
    db_.TryExec("DELETE FROM brenvale_checkpoint");
    for (const bool incremental : {false, true}) {
        SCOPED_TRACE(incremental);
        db_.Exec("DELETE FROM ice_http");
        Run({Config({{server.Url("/logs/access.log"), "ice_http", "icecast",
                      server.Url("/logs/playlist.log")}},
                    false, incremental),
             "--commit-rows", "64"});
        EXPECT_EQ(Difference(Rows("ice_http"), station_.ExpectedRows(true, false)), "");
    }
}

TEST_P(IcecastRunTest, APartTheDatabaseRefusesRefusesItsLineAndKeepsTheOtherRows) {
    const std::string access = WriteLog(
        "access.log",
        R"(192.0.2.1 - - [01/Mar/2024:18:00:10 +0100] "GET /live HTTP/1.1" 200 100 "-" "x" 10)"
        "\n"
        R"(192.0.2.2 - - [01/Mar/2024:18:01:40 +0100] "GET /live HTTP/1.1" 200 100 "-" "x" 100)"
        "\n"
        R"(192.0.2.3 - - [01/Mar/2024:18:02:00 +0100] "GET /live HTTP/1.1" 200 100 "-" "x" 10)"
        "\n");
    WriteLog("playlist.log", "01/Mar/2024:17:00:00 +0100|/live|1|A\n"
                             "01/Mar/2024:18:01:00 +0100|/live|1|B\n"
                             "01/Mar/2024:18:05:00 +0100|/live|1|B\n");
    for (const bool incremental : {false, true}) {
        for (const char* rows : {"1", "64"}) {
            SCOPED_TRACE(std::string(rows) + (incremental ? " incremental" : ""));
            // c_dns is unique: the second part of the split connection is refused.
            db_.CreateLogTable("ice_unique", false, true);
            db_.TryExec("DELETE FROM brenvale_checkpoint");
            const std::string out = Run({Config({{access, "ice_unique"}}, false, incremental),
                                         "--commit-rows", rows, "--max-rejects", "1"});
            EXPECT_THAT(out, HasSubstr("lines read: 3; rows inserted: 3; lines skipped: 1 "
                                       "(comment/empty 0, short 0, refused by the database 1"));
            std::vector<Row> stored;
            for (const Row& row : Rows("ice_unique"))
                stored.push_back({row[0], row[3], row[6]});
            EXPECT_EQ(stored, (std::vector<Row>{{"192.0.2.1", "/live?title=A", "100"},
                                                {"192.0.2.2", "/live?title=A", "60"},
                                                {"192.0.2.3", "/live?title=B", "100"}}));
        }
    }
}

INSTANTIATE_FOR_DATABASES(IcecastRunTest);

} // namespace
} // namespace brenvale::test

// brenvale-report as a user runs it: files written, countries from a location database the test
// writes, exports, and a clear message with its exit code for every failure.
#include "cli/report_cli.h"
#include "report_fixture.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <sstream>

namespace brenvale::test {
namespace {

// Station time UTC, so every instant below is the text it is written as.
const std::vector<ListenerSegment> kListeners = {
    {"2024-05-01 10:10:00", 600, 1, "Björk", "Jóga"},     // US
    {"2024-05-01 10:20:00", 1200, 2, "Björk", "Jóga"},    // US
    {"2024-05-01 10:30:00", 900, 3, "AC/DC", "T.N.T."},   // US
    {"2024-05-01 11:00:00", 3600, 0, "AC/DC", "T.N.T."},  // US
    {"2024-05-01 10:15:00", 300, 101, "Björk", "Jóga"},   // not in the database
    {"2024-05-02 00:30:00", 3600, 102, "", "Station ID"}, // crosses midnight
};

/// `text` with every `from` replaced by `to` (not std::regex: GCC's fails -Werror with the
/// sanitizers).
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

class ReportCliTest : public DatabaseTest {
protected:
    /// `kListeners` loaded, their addresses moved into the test database's countries.
    std::string LoadListeners() {
        std::string text = kHeader;
        for (ListenerSegment segment : kListeners) {
            std::string line = SegmentLine(segment);
            // Listener 101 and 102 come from Germany's network and from nowhere.
            if (segment.listener == 101)
                line = Replaced(line, "192.0.2.101", "198.51.100.1");
            if (segment.listener == 102)
                line = Replaced(line, "192.0.2.102", "203.0.113.9");
            text += line + "\n";
        }
        db_.CreateLogTable("rep_cli");
        RunHarness h(db_.connection(), {{WriteLog("cli.log", text), "rep_cli"}});
        h.options.translateASCII = false;
        EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
        return "rep_cli";
    }

    int Run(std::vector<std::string> args) {
        std::ostringstream out;
        std::ostringstream err;
        const int code = RunReportCli(args, out, err);
        out_ = out.str();
        err_ = err.str();
        return code;
    }

    std::vector<std::string> Base(const std::string& table) {
        return {"--dsn", GetParam(), "--table",    table,  "--time-zone",
                "UTC",   "--from",   "2024-05-01", "--to", "2024-05-03"};
    }

    std::string out_, err_;
};

TEST_P(ReportCliTest, FilesOfPeriodsTitlesAndJson) {
    const std::string table = LoadListeners();
    auto args = Base(table);
    for (const char* file : {"--csv", "--titles", "--json"})
        args.insert(args.end(), {file, dir_ + "/out" + file});
    ASSERT_EQ(Run(args), kReportSuccess) << err_;
    EXPECT_THAT(out_, HasSubstr("station time zone UTC"));

    // Day 1 holds every segment but the last one's hour after midnight: 600+1200+900+3600+300
    // seconds and its 1800 before midnight; day 2 the other 1800.
    EXPECT_EQ(ReadFile(dir_ + "/out--csv"),
              "period_start,period_end,segments,listeners,listening_hours,peak_listeners\n"
              "2024-05-01T00:00:00+00:00,2024-05-02T00:00:00+00:00,6,6,2.333,3\n"
              "2024-05-02T00:00:00+00:00,2024-05-03T00:00:00+00:00,1,1,0.500,1\n");
    EXPECT_EQ(ReadFile(dir_ + "/out--titles"), "artist,title,performances,listening_hours\n"
                                               "Björk,Jóga,3,0.583\n"
                                               "AC/DC,T.N.T.,2,1.250\n"
                                               ",Station ID,1,1.000\n");
    const auto json = nlohmann::json::parse(ReadFile(dir_ + "/out--json"));
    EXPECT_EQ(json["time_zone"], "UTC");
    EXPECT_EQ(json["periods"].size(), 2u);
    EXPECT_EQ(json["total"]["segments"], 6);
    EXPECT_EQ(json["titles"].size(), 3u);
    EXPECT_EQ(json["exclusions"]["agent"], 0);
}

TEST_P(ReportCliTest, CountriesFromALocationDatabase) {
    const std::string table = LoadListeners();
    const std::string mmdb = dir_ + "/countries.mmdb";
    ASSERT_EQ(
        std::system(("perl " BRENVALE_SOURCE_DIR "/tests/report/write_mmdb.pl " + mmdb).c_str()),
        0);
    auto args = Base(table);
    args.insert(args.end(), {"--geoip", mmdb, "--json", dir_ + "/c.json"});
    ASSERT_EQ(Run(args), kReportSuccess) << err_;
    auto json = nlohmann::json::parse(ReadFile(dir_ + "/c.json"));
    std::map<std::string, std::pair<int, double>> countries;
    for (const auto& c : json["countries"])
        countries[c["country"].is_null() ? "unknown" : c["country"].get<std::string>()] = {
            c["segments"].get<int>(), c["listening_hours"].get<double>()};
    const std::map<std::string, std::pair<int, double>> want = {
        {"US", {4, (600 + 1200 + 900 + 3600) / 3600.0 + 0.0}},
        {"DE", {1, 300 / 3600.0}},
        {"unknown", {1, 1.0}}};
    ASSERT_EQ(countries.size(), want.size());
    for (const auto& [code, figures] : want) {
        EXPECT_EQ(countries[code].first, figures.first) << code;
        EXPECT_NEAR(countries[code].second, figures.second, 0.0005) << code;
    }

    // Restricted to the US, the other listeners are left out, and said so.
    args.insert(args.end(), {"--country", "us"});
    ASSERT_EQ(Run(args), kReportSuccess) << err_;
    json = nlohmann::json::parse(ReadFile(dir_ + "/c.json"));
    EXPECT_EQ(json["total"]["segments"], 4);
    EXPECT_EQ(json["total"]["listeners"], 4);
    EXPECT_EQ(json["exclusions"]["country"], 2);
}

TEST_P(ReportCliTest, RoyaltyExports) {
    const std::string table = LoadListeners();
    auto args = Base(table);
    args.insert(args.end(), {"--soundexchange", dir_ + "/rou.txt", "--service", "WXYZ-FM",
                             "--streaming-log", dir_ + "/stream.txt", "--quiet"});
    ASSERT_EQ(Run(args), kReportSuccess) << err_;
    EXPECT_EQ(out_, "");
    EXPECT_EQ(ReadFile(dir_ + "/rou.txt"),
              "NAME_OF_SERVICE\tTRANSMISSION_CATEGORY\tFEATURED_ARTIST\tSOUND_RECORDING_TITLE\t"
              "ISRC\tALBUM_TITLE\tMARKETING_LABEL\tACTUAL_TOTAL_PERFORMANCES\r\n"
              "WXYZ-FM\tA\tBjörk\tJóga\t\t\t\t3\r\n"
              "WXYZ-FM\tA\tAC/DC\tT.N.T.\t\t\t\t2\r\n"
              "WXYZ-FM\tA\t\tStation ID\t\t\t\t1\r\n");
    // One line per segment, earliest end first, started at end minus duration, in UTC.
    EXPECT_EQ(
        ReadFile(dir_ + "/stream.txt"),
        "192.0.2.1\t2024-05-01\t10:00:00\t/stream\t600\t200\tVLC/3.0.18 LibVLC/3.0.18\r\n"
        "198.51.100.1\t2024-05-01\t10:10:00\t/stream\t300\t200\tVLC/3.0.18 LibVLC/3.0.18\r\n"
        "192.0.2.2\t2024-05-01\t10:00:00\t/stream\t1200\t200\tVLC/3.0.18 LibVLC/3.0.18\r\n"
        "192.0.2.3\t2024-05-01\t10:15:00\t/stream\t900\t200\tVLC/3.0.18 LibVLC/3.0.18\r\n"
        "192.0.2.0\t2024-05-01\t10:00:00\t/stream\t3600\t200\tVLC/3.0.18 LibVLC/3.0.18\r\n"
        "203.0.113.9\t2024-05-01\t23:30:00\t/stream\t3600\t200\tVLC/3.0.18 LibVLC/3.0.18\r\n");
}

struct FailureCase {
    const char* reason;
    std::vector<std::string> change; ///< replaces the option of the same name, or is added
    int code;
    const char* message;
};

TEST_P(ReportCliTest, EveryFailureHasItsMessageAndCode) {
    const std::string table = LoadListeners();
    const FailureCase cases[] = {
        {"dead DSN", {"--dsn", "brenvale_nowhere"}, kReportDsn, "could not be opened"},
        {"missing table", {"--table", "rep_missing"}, kReportTable, "does not exist"},
        {"bad date", {"--from", "2024-02-30"}, kReportUsage, "YYYY-MM-DD"},
        {"range backwards", {"--to", "2024-04-01"}, kReportUsage, "must come after"},
        {"unknown zone", {"--time-zone", "Mars/Olympus_Mons"}, kReportSetup, "Mars/Olympus_Mons"},
        {"no agent file",
         {"--exclude-agents", "/nonexistent/agents"},
         kReportSetup,
         "cannot be read"},
        {"no location file", {"--geoip", "/nonexistent/x.mmdb"}, kReportSetup, "cannot be opened"},
        {"unwritable file", {"--csv", "/nonexistent/dir/p.csv"}, kReportOutput, "p.csv"},
        {"unknown period", {"--by", "fortnight"}, kReportUsage, "fortnight"},
        {"export without service", {"--soundexchange", "x.txt"}, kReportUsage, "--service"},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.reason);
        auto args = Base(table);
        const auto same = std::find(args.begin(), args.end(), c.change[0]);
        if (same != args.end())
            *(same + 1) = c.change[1];
        else
            args.insert(args.end(), c.change.begin(), c.change.end());
        EXPECT_EQ(Run(args), c.code);
        EXPECT_THAT(err_, HasSubstr(c.message));
    }
}

INSTANTIATE_FOR_DATABASES(ReportCliTest);

} // namespace
} // namespace brenvale::test

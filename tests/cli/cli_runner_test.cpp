// brenvale-run against real SQLite, PostgreSQL and MariaDB databases: exit codes, summaries,
// rejects, signals and batched loading.
#include "cli/cli_runner.h"

#include "config/config_file.h"
#include "core/line_splitter.h"
#include "core/run_harness.h"
#include "support/http_server.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace brenvale::test {
namespace {

using ::testing::AllOf;

struct CliRun {
    int code = -1;
    std::string out, err;
};

/// Runs the command line with a clock that stands still, so no progress line or timed batch
/// flush depends on speed.
CliRun Cli(const std::vector<std::string>& args, std::function<void(std::uint64_t)> afterLine = {},
           TickClock* clock = nullptr, bool terminal = false) {
    ManualClock still;
    CliEnvironment environment;
    environment.clock = clock ? clock : &still;
    environment.afterLine = std::move(afterLine);
    environment.progressTerminal = terminal;
    std::ostringstream out, err;
    const int code = RunCli(args, out, err, environment);
    return {code, out.str(), err.str()};
}

/// Saves a configuration of `jobs` on `dsn` at `path`, translating escapes; its path.
std::string SavedConfig(const std::string& path, const std::string& dsn, std::vector<Job> jobs,
                        bool truncateOnce = false) {
    ConfigData data{dsn, truncateOnce, false, true, 1, false, false, std::move(jobs), {}, {}};
    std::string error;
    EXPECT_TRUE(SaveConfig(path, data, error)) << error;
    return path;
}

/// A line as a real player's request leaves it, without its line end; `name` is its second field,
/// and a `bandwidth` over three characters is refused by the narrow tables below.
std::string PlayerLine(const std::string& name, const std::string& bandwidth = "128",
                       const std::string& agent = "VLC%2F3.0.18%20LibVLC%2F3.0.18") {
    return "192.0.2.7 " + name + " 2024-03-01 18:04:11 /stream?title=Bj%C3%B6rk%20-%20Joga 200 " +
           agent + " 1048576 65 " + bandwidth;
}

class CliTest : public DatabaseTest {
protected:
    std::string WriteConfig(std::vector<Job> jobs, bool truncateOnce = false) {
        return SavedConfig(dir_ + "/config.xml", GetParam(), std::move(jobs), truncateOnce);
    }
};

/// Runs on SQLite only: what it tests is the same on every database.
class CliOnSqlite : public CliTest {};

TEST(CliArguments, EveryOptionIsRead) {
    CliArguments parsed;
    std::string error;
    ASSERT_TRUE(
        ParseCliArguments({"--dsn", "x", "a.xml", "--continue-missing-tables", "--commit-rows=250",
                           "--rejects", "r.tsv", "--quiet", "--durable-batches"},
                          parsed, error))
        << error;
    EXPECT_EQ(std::tuple(parsed.configPath, parsed.dsn, parsed.continueMissingTables,
                         parsed.commitRows, parsed.rejectsPath, parsed.quiet,
                         parsed.durableBatches),
              std::tuple("a.xml", "x", true, 250u, "r.tsv", true, true));
    ASSERT_TRUE(ParseCliArguments({"--", "--odd.xml"}, parsed, error)) << error;
    EXPECT_EQ(parsed.configPath, "--odd.xml");
    EXPECT_EQ(Cli({"--help"}).code, kExitSuccess);
}

TEST(CliSetup, UsageConfigurationDataSourceAndRejectsFailures) {
    const std::string dir = ScratchDir("cli_setup");
    const auto config = [&](const std::string& name, const std::string& dsn) {
        return SavedConfig(dir + "/" + name, dsn, {{dir + "/a.log", "cli_setup"}});
    };
    // A configuration written as it stands, and the data source to take.
    const auto file = [&](const std::string& name, const std::string& bytes,
                          const std::string& dsn = kSqliteDsn) {
        return WriteFile(dir + "/" + name, bytes) + " --dsn " + dsn;
    };
    const std::string jobs = "<Jobs><Job><File>a.log</File><DBTable>t</DBTable></Job></Jobs>";
    const struct {
        const char* why;
        std::string args; ///< blank-separated
        int code;
        std::string errorPart;
    } cases[] = {
        {"nothing given", "", kExitUsage, "No configuration file"},
        {"two configurations", "a.xml b.xml", kExitUsage, "Only one configuration file"},
        {"unknown option", "a.xml --fast", kExitUsage, "Unknown option '--fast'"},
        {"unknown log format", "a.xml --format apache", kExitUsage,
         "--format needs auto, shoutcast or icecast, not 'apache'"},
        {"value missing", "a.xml --dsn", kExitUsage, "--dsn needs a value"},
        {"zero rows", "a.xml --commit-rows 0", kExitUsage, "from 1 to 1000000"},
        {"rows not a number", "a.xml --commit-rows=many", kExitUsage, "not 'many'"},
        {"too many rows", "a.xml --commit-rows 1000001", kExitUsage, "from 1 to"},
        {"flag with a value", "a.xml --quiet=yes", kExitUsage, "takes no value"},
        // Every fault the reader finds ends the same way; its own tests tell them apart.
        {"missing configuration", dir + "/none.xml", kExitConfig, "' does not exist."},
        {"a <Job> never closed", file("cut.xml", "<Jobs><Job><File>a.log</File></Jobs>"),
         kExitConfig, "is damaged: <Job> is not closed by </Job>; nothing was loaded."},
        {"incremental with truncation",
         file("both.xml",
              "<Incremental>True</Incremental><TruncateOnce>True</TruncateOnce>" + jobs),
         kExitConfig, "exclude each other"},
        {"no jobs", file("empty.xml", "<Jobs></Jobs>"), kExitNoJobs,
         "holds no jobs; nothing was loaded."},
        {"rows per commit bounded",
         file("rows.xml", "<CommitRows>5000000</CommitRows>" + jobs, "brenvale_missing_driver"),
         kExitDsn, "warning: The configuration file '" + dir + "/rows.xml' asks for 5000000 rows"},
        {"no DSN anywhere", config("nodsn.xml", ""), kExitDsn, "names none and --dsn"},
        {"--dsn overrides the file's, whose driver is missing",
         config("good.xml", kSqliteDsn) + " --dsn brenvale_missing_driver", kExitDsn,
         "The data source 'brenvale_missing_driver' could not be opened: [unixODBC][Driver "
         "Manager]Can't open lib"},
        {"rejects file cannot be made",
         config("good2.xml", kSqliteDsn) + " --rejects " + dir + "/no/such/dir/r.tsv", kExitRejects,
         "could not be created: No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        const CliRun run = Cli(Words(c.args));
        EXPECT_EQ(run.code, c.code);
        EXPECT_THAT(run.err, HasSubstr(c.errorPart));
        EXPECT_EQ(run.out, "");
        // The usage follows a usage error only.
        EXPECT_EQ(run.err.find("Usage: brenvale-run CONFIG") != std::string::npos,
                  c.code == kExitUsage);
    }
}

TEST_P(CliTest, EachFailureHasItsExitCode) {
    const std::string logText = kHeader + PlayerLine("g1") + "\r\n" + PlayerLine("g2") + "\n";
    const std::string good = WriteLog("good.log", logText);
    ClosedPort closed;
    const std::string url = "http://127.0.0.1:" + std::to_string(closed.Port()) + "/x.log";
    const std::vector<Job> one = {{good, "cli_f_ok"}};
    const std::vector<Job> missing = {{good, "cli_f_ok"}, {good, "cli_f_missing"}};
    const std::vector<Job> view = {{good, "cli_f_ok"}, {good, "v_cli_f_ok"}};
    const std::vector<Job> unreadable = {{dir_ + "/none.log", "cli_f_ok"}, {good, "cli_f_ok"}};
    const std::vector<Job> download = {{url, "cli_f_ok"}, {good, "cli_f_ok"}};
    const std::vector<Job> own = {{good, "cli_f_ok"}, {good, "BRENVALE_CHECKPOINT"}};
    const struct {
        const char* name;
        int code;
        const char* rows; ///< of cli_f_ok afterwards, blank-separated
        const std::vector<Job>& jobs;
        bool truncate;
        std::string extra; ///< arguments, blank-separated
        ::testing::Matcher<const std::string&> printed;
    } cases[] = {
        {"missing table", kExitMissingTable, "old", missing, true, "",
         HasSubstr("The selected table 'cli_f_missing' does not seem to exist.  Continue anyway? "
                   "No: nothing was loaded")},
        {"missing table allowed, its refusals allowed", kExitSuccess, "g1 g2 old", missing, false,
         "--continue-missing-tables --max-rejects 2",
         // The summary's layout is checked with the rejects file; here its counts.
         AllOf(HasSubstr("warning: The selected table 'cli_f_missing' does not seem to exist."),
               HasSubstr("database diagnostics (first 2 of 2):\n    line 4: "),
               HasSubstr("run: 2 of 2 jobs; lines read: 10; rows inserted: 2; lines skipped: 8 "
                         "(comment/empty 6, short 0, refused by the database 2, too long 0); "
                         "0.0 s\n"))},
        // The missing table is never emptied, and its refusals count against --max-rejects.
        {"more refusals than allowed", kExitTooManyRejects, "g1 g2", missing, true,
         "--continue-missing-tables --max-rejects=1",
         HasSubstr("2 lines were refused by the database, more than --max-rejects 1 allows.")},
        // The bookkeeping table takes no log lines; nothing is emptied before that is known.
        {"the program's own table", kExitConfig, "old", own, true, "--create-tables",
         HasSubstr("Table Not Allowed: Job 2 names 'BRENVALE_CHECKPOINT'")},
        {"failed truncate", kExitTruncate, "", view, true, "",
         HasSubstr("Error Emptying Table: The table 'v_cli_f_ok' could not be emptied:")},
        {"rejects file is the log", kExitRejects, "old", one, false, "--rejects " + good,
         HasSubstr("will not be written: it is the log '" + good)},
        {"summary file is the configuration", kExitRejects, "old", one, false,
         "--summary " + dir_ + "/config.xml",
         HasSubstr("will not be written: it is the configuration file")},
        {"unreadable log", kExitLogFailed, "g1 g2 old", unreadable, false, "",
         AllOf(HasSubstr("Error Opening Log File: The log file '" + dir_ +
                         "/none.log' could not be read: No such file or directory"),
               HasSubstr("1 of 2 jobs could not read its log; the other jobs were loaded."))},
        {"failed download", kExitLogFailed, "g1 g2 old", download, false, "",
         HasSubstr("Error Downloading Log File: The log '" + url + "' could not be downloaded:")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        db_.CreateLogTable("cli_f_ok", true);
        db_.Exec("INSERT INTO cli_f_ok (c_dns) VALUES ('old')");
        db_.Exec("CREATE VIEW v_cli_f_ok AS SELECT * FROM cli_f_ok");
        db_.TryExec("DROP TABLE IF EXISTS cli_f_missing");
        const std::string config = WriteConfig(c.jobs, c.truncate), configBytes = ReadFile(config);
        const CliRun run = Cli(Words(config + " " + c.extra));
        EXPECT_EQ(run.code, c.code) << run.err;
        EXPECT_THAT(run.err + run.out, c.printed);
        EXPECT_EQ(Names(db_, "cli_f_ok"), Words(c.rows));
        EXPECT_EQ(ReadFile(good), logText);
        EXPECT_EQ(ReadFile(config), configBytes);
    }
}

TEST_P(CliTest, RejectsFileHoldsEveryLineThatInsertedNothing) {
    const std::string refused = "192.0.2.9 r\tx 2024-03-01 18:04:12 /s 200 VLC\x01\xFF 1 65 12800";
    const std::string shortLine = "short\tline \x01\xFE\\";
    const std::string log =
        WriteLog("rej.log", kHeader + PlayerLine("g1") + "\r\n" + refused + "\r\n" + shortLine +
                                "\n" + std::string(LineSplitter::kDefaultMaxLine + 1, 'x') +
                                "\n\n" + PlayerLine("g2") + "\n");
    db_.CreateLogTable("cli_rej", true);
    const std::string rejects = dir_ + "/rejects.tsv";
    const CliRun run = Cli({WriteConfig({{log, "cli_rej"}}), "--rejects", rejects});
    EXPECT_EQ(run.code, kExitTooManyRejects) << run.err;
    EXPECT_EQ(Names(db_, "cli_rej"), (std::vector<std::string>{"g1", "g2"}));

    const std::string message =
        db_.IsPostgres() ? "22001\tERROR: value too long for type character varying(3);\\nError "
                           "while executing the query"
        : db_.IsMaria()  ? "22001\t[ma]Data too long for column 'bandwidth' at row 1"
                         : "HY000\t[SQLite]CHECK constraint failed: length(bandwidth) <= 3 (19)";
    // The console shows the same diagnostic on one line.
    std::string diagnostic = message;
    diagnostic.replace(diagnostic.find('\t'), 1, ": ");
    if (const auto lf = diagnostic.find("\\n"); lf != std::string::npos)
        diagnostic.replace(lf, 2, " ");
    const std::string expected =
        "source\ttable\tline\treason\tsqlstate\tmessage\traw\n" + log + "\tcli_rej\t5\trefused\t" +
        message + "\t192.0.2.9 r\\tx 2024-03-01 18:04:12 /s 200 VLC\\x01\xFF 1 65 12800\n" + log +
        "\tcli_rej\t6\tshort\t\t\tshort\\tline \\x01\xFE\\\\\n" + log +
        "\tcli_rej\t7\ttoo-long\t\tThe line is longer than 1048576 bytes; its bytes were not "
        "kept.\t\n";
    EXPECT_EQ(Unversioned(ReadFile(rejects)), expected);
    EXPECT_EQ(UnescapeRejectField(EscapeRejectField(refused)), refused);
    EXPECT_EQ(UnescapeRejectField(EscapeRejectField(shortLine)), shortLine);

    EXPECT_EQ(Unversioned(run.out),
              "job 1 of 1: " + log +
                  " -> cli_rej\n  lines read: 9; rows inserted: 2; lines skipped: 7 "
                  "(comment/empty 4, short 1, refused by the database 1, too long 1)\n"
                  "  database diagnostics (first 1 of 1):\n    line 5: " +
                  diagnostic + "\n" +
                  "run: 1 of 1 jobs; lines read: 9; rows inserted: 2; lines skipped: 7 "
                  "(comment/empty 4, short 1, refused by the database 1, too long 1); "
                  "0.0 s\n");
}

TEST_P(CliOnSqlite, CtrlCStopsAfterTheLineInHand) {
    const std::string a = WriteLog("a.log", kHeader + LogText(Numbered("c", 10)));
    db_.CreateLogTable("cli_int", true);
    const CliRun run =
        Cli({WriteConfig({{a, "cli_int"}, {a, "cli_int"}})}, [&](std::uint64_t line) {
            if (line == 7) // three directives, then the fourth data line
                std::raise(SIGINT);
        });
    EXPECT_EQ(run.code, kExitInterrupted);
    EXPECT_EQ(Names(db_, "cli_int"), (std::vector<std::string>{"c0", "c1", "c2", "c3"}));
    EXPECT_THAT(run.err,
                HasSubstr("Interrupted by Ctrl-C (SIGINT): stopped after line 7 of job 1 of 2 ('" +
                          a + "'); 4 rows of that job and 4 rows in all were inserted."));
    EXPECT_THAT(run.out, HasSubstr("  interrupted after line 7\nrun: 1 of 2 jobs;"));
    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << "the handler is only there during a run";
}

TEST_P(CliTest, BatchesEndExactlyAsRowByRow) {
    // Refusals in the middle of batches and of multi-row statements, at their ends and at the
    // end of the log: a value too long, a duplicate name, a NUL byte (PostgreSQL refuses it,
    // SQLite keeps it); the second job repeats every name, so all its rows are refused.
    // MariaDB takes line 40's "20x" with a warning and stores no row.
    std::map<int, std::string> odd = {
        {9, PlayerLine("b2")},
        {300, PlayerLine("b2")},
        {13, PlayerLine("b13", "128", "NUL%00here")},
        {17, "192.0.2.7 b17 short"},
        {30, ""},
        {40, "192.0.2.7 b40 2024-03-01 18:04:11 /s 20x VLC 1 65 128"}};
    for (const int i : {6, 21, 22, 23, 230, 231, 450})
        odd[i] = PlayerLine("b" + std::to_string(i), "12800");
    std::string text = kHeader;
    for (int i = 1; i <= 450; ++i)
        text += (odd.count(i) ? odd[i] : PlayerLine("b" + std::to_string(i))) +
                (i % 3 == 0 ? "\r\n" : "\n");
    const std::string log = WriteLog("batch.log", text);
    const std::string config = WriteConfig({{log, "cli_batch"}, {log, "cli_batch"}}, true);
    const std::string rejects = dir_ + "/rejects.tsv";
    db_.CreateLogTable("cli_batch", true, true);

    const CliRun single = Cli({config, "--rejects", rejects});
    const Rows expectedRows = db_.Query("SELECT * FROM cli_batch ORDER BY c_dns");
    const std::string expectedRejects = ReadFile(rejects);
    EXPECT_EQ(single.code, kExitTooManyRejects) << single.err;
    EXPECT_EQ(expectedRows.size(), db_.IsPostgres() ? 437u : db_.IsMaria() ? 438u : 439u);
    // MariaDB's MyISAM cannot roll a batch back: it is loaded row by row, and ends the same.
    for (const char* engine : db_.IsMaria() ? std::vector<const char*>{"InnoDB", "MyISAM"}
                                            : std::vector<const char*>{""}) {
        for (const char* rows : {"7", "250", "1000"}) {
            SCOPED_TRACE(std::string(engine) + " " + rows);
            db_.CreateLogTable("cli_batch", true, true);
            if (*engine)
                db_.Exec(std::string("ALTER TABLE cli_batch ENGINE=") + engine);
            const CliRun batched = Cli({config, "--rejects", rejects, "--commit-rows", rows});
            EXPECT_EQ(batched.code, kExitTooManyRejects) << batched.err;
            EXPECT_EQ(db_.Query("SELECT * FROM cli_batch ORDER BY c_dns"), expectedRows);
            EXPECT_EQ(batched.out, single.out);
            EXPECT_EQ(ReadFile(rejects), expectedRejects);
        }
    }
}

/// The `i`th line of a log as a DNAS server writes it: IPv4 and IPv6 clients, titles of 2,000
/// bytes and agents of 1,000 now and then, and "-" for the fields of a request without a value
/// (every third line: bytes, duration and bandwidth, the agent, and sometimes the status).
std::string RealLine(int i) {
    const bool none = i % 3 == 2;
    const std::string ip = i % 2 ? "2001:db8:85a3::8a2e:370:" + std::to_string(7000 + i)
                                 : "192.0.2." + std::to_string(i % 250);
    std::string title = "/stream?title=Bj%C3%B6rk%20-%20Joga";
    std::string agent = "VLC%2F3.0.18%20LibVLC%2F3.0.18";
    if (i % 5 == 0)
        title += "%20" + std::string(2000 - title.size() - 3, 't');
    if (i % 5 == 1)
        agent += "%20" + std::string(1000 - agent.size() - 3, 'a');
    return ip + " r" + std::to_string(i) + " 2024-03-01 18:04:11 " + title +
           (none && i % 4 == 1 ? " - " : " 200 ") + (none ? "-" : agent) +
           (none ? " - - -" : " 1048576 65 128020");
}

TEST_P(CliTest, ACreatedTableTakesARealLogAndTheSummaryIsWrittenAsJson) {
    const int lines = 300, none = lines / 3;
    std::string text = "#Software: SHOUTcast\r\n#Version: 2.6.1\r\n#Fields: c-ip c-dns date time "
                       "cs-uri-stem c-status cs(User-Agent) sc-bytes x-duration avgbandwidth\r\n";
    for (int i = 0; i < lines; ++i)
        text += RealLine(i) + "\r\n";
    const std::string log = WriteLog("new.log", text), summary = dir_ + "/summary.json";
    // Row by row and in batches (through COPY on PostgreSQL), each into a table of its own that
    // the run creates under the job's name: quoted parts keep their letters and blanks.
    const std::string q = db_.IsMaria() ? "`" : "\"";
    struct Way {
        std::vector<std::string> args;
        std::string job, sql;
    };
    std::vector<Way> ways = {{{}, "cli_new", "cli_new"},
                             {{"--commit-rows", "64"}, "\"Cli New\"", q + "Cli New" + q},
                             {{"--commit-rows", "64", "--odbc-only"}, "cli_odbc", "cli_odbc"}};
    if (db_.IsPostgres()) {
        db_.Exec("CREATE SCHEMA IF NOT EXISTS cli_other");
        ways.push_back(
            {{"--commit-rows", "64", "--no-copy"}, "cli_other.\"CliNew\"", "cli_other.\"CliNew\""});
    }
    for (const Way& way : ways) {
        SCOPED_TRACE(way.job);
        db_.TryExec("DROP TABLE IF EXISTS " + way.sql);
        std::vector<std::string> args = {WriteConfig({{log, way.job}}), "--create-tables",
                                         "--summary", summary};
        args.insert(args.end(), way.args.begin(), way.args.end());
        const CliRun run = Cli(args);
        EXPECT_EQ(run.code, kExitSuccess) << run.err;
        EXPECT_THAT(run.out, HasSubstr("created table " + way.job + "\n"));
        // Every line is stored; a "-" is no number (NULL), and text keeps it.
        EXPECT_EQ(db_.Count(way.sql), lines);
        const std::string from = " FROM " + way.sql;
        const Rows counts = db_.Query(
            "SELECT COUNT(sc_bytes), COUNT(x_duration), COUNT(avgbandwidth), COUNT(c_status), "
            "SUM(CASE WHEN user_agent = '-' THEN 1 ELSE 0 END), MAX(LENGTH(c_ip))" +
            from);
        EXPECT_EQ(counts, (Rows{{"200", "200", "200", "275", "100", "28"}}));
        const Rows first = db_.Query("SELECT c_ip, log_time, cs_uri_stem" + from +
                                     " WHERE c_dns = 'r0'"),
                   second = db_.Query("SELECT c_ip, user_agent, sc_bytes, avgbandwidth" + from +
                                      " WHERE c_dns = 'r1'");
        ASSERT_EQ(first.size() + second.size(), 2u);
        EXPECT_EQ(first[0][1].substr(0, 19), "2024-03-01 18:04:11");
        EXPECT_EQ(first[0][2], "/stream?title=Bj\xC3\xB6rk - Joga " + std::string(1962, 't'));
        EXPECT_EQ(second[0],
                  (std::vector<std::string>{"2001:db8:85a3::8a2e:370:7001",
                                            "VLC/3.0.18 LibVLC/3.0.18 " + std::string(967, 'a'),
                                            "1048576", "128020"}));
        EXPECT_THAT(run.out, HasSubstr("rows inserted: 300 (no value 100); lines skipped: 3 "));
        EXPECT_THAT(ReadFile(summary),
                    AllOf(HasSubstr("\"exitCode\": 0"), HasSubstr("\"result\": \"completed\""),
                          HasSubstr("\"rowsInserted\": 300"), HasSubstr("\"refused\": 0"),
                          HasSubstr("\"noValue\": " + std::to_string(none))));
    }
}

class CliServerTest : public CliTest {};

TEST_P(CliServerTest, ALostConnectionEndsTheRunWithItsCode) {
    const std::string log = WriteLog("lost.log", kHeader + LogText(Numbered("l", 10)));
    db_.CreateLogTable("cli_lost", true);
    // The server ends the other sessions after the sixth line; the runner's tests do row by row.
    const auto kill = [&](std::uint64_t line) {
        if (line == 6)
            db_.EndOtherSessions();
    };
    const CliRun run = Cli(
        {WriteConfig({{log, "cli_lost"}}), "--commit-rows", "4", "--reconnect-seconds", "0"}, kill);
    EXPECT_EQ(run.code, kExitConnectionLost) << run.err;
    EXPECT_THAT(run.err, HasSubstr("The database connection was lost"));
    EXPECT_THAT(run.err, HasSubstr("The last line known to be stored is line "));
    EXPECT_THAT(run.err, Not(HasSubstr("refused"))) << "no line counts as refused";
    EXPECT_GE(db_.Count("cli_lost"), 3);
}

INSTANTIATE_FOR_SERVERS(CliServerTest);

TEST_P(CliOnSqlite, ProgressOnATerminalInAPlainLogAndQuiet) {
    const std::string log = WriteLog("p.log", LogText(Numbered("p", 5)));
    db_.CreateLogTable("cli_prog", true);
    const std::string config = WriteConfig({{log, "cli_prog"}}, true);

    ManualClock fast; // every reading 250 ms on: each line refreshes the counts
    fast.step = 250;
    const CliRun terminal = Cli({config}, {}, &fast, true);
    EXPECT_EQ(terminal.code, kExitSuccess);
    EXPECT_THAT(terminal.err, HasSubstr("\r[1/1] p.log: 1 rows, 0 skipped, total 1 rows, "));
    EXPECT_THAT(terminal.err, HasSubstr(" rows/s"));

    ManualClock slow;
    slow.step = 4000;
    const CliRun plain = Cli({config}, {}, &slow, false);
    EXPECT_EQ(plain.code, kExitSuccess);
    EXPECT_THAT(plain.err, HasSubstr("brenvale-run: [1/1] p.log: "));
    EXPECT_THAT(plain.err, Not(HasSubstr("\r")));

    const CliRun quiet = Cli({config, "--quiet"}, {}, &fast, true);
    EXPECT_EQ(quiet.code, kExitSuccess);
    EXPECT_EQ(quiet.out + quiet.err, "");
    EXPECT_EQ(Names(db_, "cli_prog"), Numbered("p", 5));
}

INSTANTIATE_FOR_DATABASES(CliTest);
INSTANTIATE_TEST_SUITE_P(Sqlite, CliOnSqlite, ::testing::Values(std::string(kSqliteDsn)));

/// Runs brenvale-run with `args`, its output to `out` and its errors to `errors` (a file), and
/// waits for its end after `meanwhile(pid)`; its wait status.
int RunExecutable(std::vector<std::string> args, int out, const std::string& errors,
                  const std::function<void(pid_t)>& meanwhile = {}) {
    args.insert(args.begin(), BRENVALE_RUN_EXE);
    std::vector<char*> argv;
    for (std::string& word : args)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, BRENVALE_RUN_EXE, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(err);
    ::close(out);
    if (meanwhile)
        meanwhile(pid);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return status;
}

TEST(CliExecutable, SignalsEndAReadThatWaitsAndAClosedOutputStopsNoLoad) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("cli_sig");
    const std::string dir = ScratchDir("cli_sig"), errors = dir + "/err.txt";
    const std::string fifo = dir + "/writer-never-writes.log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A writer that stays silent (and that the child does not inherit).
    const int keepOpen = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    for (const std::string& log : {fifo, std::string("/dev/zero")}) {
        SCOPED_TRACE(log);
        const std::string config = SavedConfig(dir + "/sig.xml", kSqliteDsn, {{log, "cli_sig"}});
        // The signal comes once the run has the log open.
        const auto interrupt = [&](pid_t pid) {
            for (bool open = false; !open; std::this_thread::yield()) {
                siginfo_t ended{}; // a run that ends before it reads fails below
                if (::waitid(P_PID, pid, &ended, WEXITED | WNOHANG | WNOWAIT) != 0 || ended.si_pid)
                    return;
                std::error_code ec;
                for (const auto& fd : std::filesystem::directory_iterator(
                         "/proc/" + std::to_string(pid) + "/fd", ec))
                    open = open || std::filesystem::read_symlink(fd.path(), ec) == log;
            }
            ::kill(pid, SIGINT);
        };
        const int status =
            RunExecutable({config}, ::open("/dev/null", O_WRONLY), errors, interrupt);
        ASSERT_TRUE(WIFEXITED(status)) << "the first signal ends the run with its summary";
        EXPECT_EQ(WEXITSTATUS(status), kExitInterrupted);
        EXPECT_THAT(ReadFile(errors), HasSubstr("Interrupted by Ctrl-C (SIGINT)"));
    }
    ::close(keepOpen);

    // Output nobody reads any more does not stop the load.
    const std::string log = WriteFile(dir + "/pipe.log", kHeader + LogText(Numbered("p", 12)));
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    ::close(pipe[0]);
    const int status = RunExecutable(
        {SavedConfig(dir + "/pipe.xml", kSqliteDsn, {{log, "cli_sig"}}), "--commit-rows", "5"},
        pipe[1], errors);
    ASSERT_TRUE(WIFEXITED(status)) << "not ended by SIGPIPE";
    EXPECT_EQ(WEXITSTATUS(status), kExitSuccess);
    EXPECT_EQ(db.Count("cli_sig"), 12);
}

/// Two `brenvale-run --incremental` of one configuration at the same time, as a timer's run
/// and one by hand do: whichever commits first, every line is stored once, both end well, and
/// one position describes the log.
TEST_P(CliTest, IncrementalRunsStartedTogetherStoreEachLineOnce) {
    db_.CreateLogTable("cli_twice");
    db_.TryExec("DELETE FROM brenvale_checkpoint");
    const std::string log = WriteLog("twice.log", kHeader + LogText(Numbered("a", 30000)));
    const std::string config = WriteConfig({{log, "cli_twice"}});
    std::vector<std::string> expected = Numbered("a", 30000);
    // A first load from nothing in batches, then new lines row by row behind stored positions.
    for (const auto& [rows, more] : {std::pair{"500", 0}, std::pair{"1", 1500}}) {
        SCOPED_TRACE(rows);
        const std::vector<std::string> added = Numbered("b" + std::to_string(more), more);
        Append(log, LogText(added));
        expected.insert(expected.end(), added.begin(), added.end());
        const std::vector<std::string> args = {config, "--incremental", "--commit-rows", rows};
        int second = -1;
        const int first =
            RunExecutable(args, ::open("/dev/null", O_WRONLY), dir_ + "/1.txt", [&](pid_t) {
                second = RunExecutable(args, ::open("/dev/null", O_WRONLY), dir_ + "/2.txt");
            });
        for (const int status : {first, second}) {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), kExitSuccess)
                << ReadFile(dir_ + "/1.txt") << ReadFile(dir_ + "/2.txt");
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Names(db_, "cli_twice"), expected);
        EXPECT_EQ(db_.Query("SELECT file_id FROM brenvale_checkpoint WHERE target_table = "
                            "'cli_twice' AND file_id <> 'claim'")
                      .size(),
                  1u);
    }
}

/// One loader per streaming server, all at once, into one table that none of them finds: each
/// makes what it needs or finds it made, loads its own log incrementally, waits for the others
/// where the database has one writer, and ends with 0; a second round finds nothing new.
TEST_P(CliTest, LoadersSideBySideStoreEveryLineOfEveryLogOnce) {
    db_.TryExec("DROP TABLE cli_side");
    db_.TryExec("DROP TABLE brenvale_checkpoint");
    constexpr int kLoaders = 3;
    constexpr int kLines = 20000;
    std::vector<std::string> expected;
    std::vector<std::string> configs;
    for (int k = 0; k < kLoaders; ++k) {
        const std::string name = "s" + std::to_string(k);
        const std::vector<std::string> lines = Numbered(name, kLines);
        expected.insert(expected.end(), lines.begin(), lines.end());
        const std::string log = WriteLog(name + ".log", kHeader + LogText(lines));
        configs.push_back(SavedConfig(dir_ + "/" + name + ".xml", GetParam(), {{log, "cli_side"}}));
    }
    std::sort(expected.begin(), expected.end());
    for (const char* round : {"first", "again"}) {
        SCOPED_TRACE(round);
        std::vector<int> status(kLoaders, -1);
        // Each loader starts the next one and then waits for it, so all three run at once.
        std::function<void(int)> start = [&](int k) {
            status[k] = RunExecutable(
                {configs[k], "--incremental", "--create-tables", "--commit-rows", "500"},
                ::open("/dev/null", O_WRONLY), dir_ + "/side" + std::to_string(k) + ".txt",
                [&](pid_t) {
                    if (k + 1 < kLoaders)
                        start(k + 1);
                });
        };
        start(0);
        for (int k = 0; k < kLoaders; ++k) {
            ASSERT_TRUE(WIFEXITED(status[k]));
            EXPECT_EQ(WEXITSTATUS(status[k]), kExitSuccess)
                << ReadFile(dir_ + "/side" + std::to_string(k) + ".txt");
        }
        EXPECT_EQ(Names(db_, "cli_side"), expected);
    }
}

TEST(CliArguments, DsnListsAreSplitAtCommas) {
    const struct {
        const char* text;
        std::vector<std::string> names;
        const char* why;
    } cases[] = {
        {"one", {"one"}, "a single name"},
        {"n1,n2,n3", {"n1", "n2", "n3"}, "the nodes in order"},
        {" n1 , n2", {"n1", "n2"}, "blanks around names dropped"},
        {"My DSN,other", {"My DSN", "other"}, "a blank inside a name kept"},
        {"n1,,n2", {}, "an empty name"},
        {"n1,", {}, "a trailing comma"},
        {"", {}, "nothing"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitDsnList(c.text), c.names) << c.why;
    CliArguments parsed;
    std::string error;
    EXPECT_FALSE(ParseCliArguments({"a.xml", "--dsn", "n1,,n2"}, parsed, error));
    EXPECT_THAT(error, HasSubstr("--dsn needs a data source name"));
}

} // namespace
} // namespace brenvale::test

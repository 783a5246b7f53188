// Whole runs through the core interfaces against real SQLite, PostgreSQL and MariaDB databases.
#include "core/runner.h"

#include "core/line_splitter.h"
#include "core/run_harness.h"
#include "support/test_support.h"

#include <fstream>
#include <string>
#include <vector>

namespace brenvale::test {
namespace {

using NameList = std::vector<std::string>;

class RunnerTest : public PerDatabase {
protected:
    std::string WriteLog(const std::string& name, const std::string& text) {
        return WriteFile(dir_ + "/" + name, text);
    }
    /// A fresh log table holding one row per name.
    void MakeTable(const std::string& table, const NameList& names = {}) {
        db_.CreateLogTable(table);
        for (const std::string& name : names)
            db_.Exec("INSERT INTO " + table + " VALUES ('192.0.2.1', '" + name +
                     "', '2006-11-26 13:05:00', '/s', 200, 'a', '1', '1', '1')");
    }

    TestDatabase db_{GetParam()};
    std::string dir_ = ScratchDir("runner");
};

TEST_P(RunnerTest, TruncationOptionsWithTwoJobsOnOneTableAndWhatEachYieldShows) {
    const struct {
        const char* table;
        bool onStart;
        bool onEach;
        NameList rows;
    } cases[] = {
        // Both truncations come before any load, so both jobs' rows stay.
        {"rt_trunc_start", true, false, {"a1", "a2", "b1"}},
        {"rt_trunc_each", false, true, {"b1"}},
        {"rt_trunc_both", true, true, {"b1"}},
    };
    const std::string a = WriteLog("a.log", LogText({"a1", "a2"}));
    const std::string b = WriteLog("b.log", LogText({"b1"}));
    struct Seen {
        std::string status, files;
        float value;
        bool operator==(const Seen&) const = default;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        MakeTable(c.table, {"old"});
        RunHarness h(db_.connection(), {{a, c.table}, {b, c.table}});
        h.options.truncateOnStart = c.onStart;
        h.options.truncateOnInsert = c.onEach;
        std::vector<Seen> seen;
        h.yielder.action = [&](int) {
            seen.push_back({h.status.status, h.status.filesProcessed, h.status.progressValue});
        };
        EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
        EXPECT_EQ(Names(db_, c.table), c.rows);
        // One yield before the passes, one per table truncated first, one per job.
        std::vector<Seen> expected = {{"Status: Setting Up Jobs", "Files Processed: ", 0}};
        for (int i = 1; c.onStart && i <= 2; ++i)
            expected.push_back({std::string("Status:  Truncating table '") + c.table + "'",
                                "Files Processed: ", static_cast<float>(i)});
        expected.push_back({"Status:  Parsing file 'a.log'", "Processing File:  1 of 2", 1});
        expected.push_back({"Status:  Parsing file 'b.log'", "Processing File:  2 of 2", 2});
        EXPECT_EQ(seen, expected);
        std::vector<std::string> statuses;
        for (const Seen& s : expected)
            statuses.push_back(s.status);
        EXPECT_EQ(h.status.statusHistory, statuses);
        EXPECT_EQ(h.status.progressMax, 2.0f);
        EXPECT_EQ(h.status.progressMin, 0.0f);
        // The clock stood still, so the count lines keep the texts the run started with.
        EXPECT_EQ(h.status.recordsTotal, "Records Inserted (total): ");
        EXPECT_EQ(h.status.recordsFile, "Records Inserted (this file): ");
        EXPECT_EQ(h.state.RecordsTotal, 3);
        EXPECT_EQ(h.state.RecordsThisFile, 1);
        EXPECT_TRUE(h.prompts.shown.empty());
        EXPECT_TRUE(h.Idle());
    }
}

TEST_P(RunnerTest, NoToMissingTableOfJob3Of5ChangesNothing) {
    const NameList tables = {"rt_no_1", "rt_no_2", "rt_no_missing", "rt_no_4", "rt_no_5"};
    std::vector<Job> list;
    for (const std::string& table : tables) {
        if (table == "rt_no_missing")
            db_.TryExec("DROP TABLE IF EXISTS " + table);
        else
            MakeTable(table, {"old"});
        list.push_back({WriteLog(table + ".log", LogText({"new"})), table});
    }
    RunHarness h(db_.connection(), list);
    h.options.truncateOnStart = true;
    h.options.truncateOnInsert = true;
    h.prompts.answers = {false};

    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::MissingTable);
    ASSERT_EQ(h.prompts.shown.size(), 1u);
    const auto& question = h.prompts.shown[0];
    EXPECT_TRUE(question.question);
    EXPECT_EQ(question.icon, MessageIcon::Exclamation);
    EXPECT_EQ(question.title, "Table Does Not Exist");
    EXPECT_EQ(question.text,
              "The selected table 'rt_no_missing' does not seem to exist.  Continue anyway?");
    for (const std::string& table : tables) {
        if (table != "rt_no_missing") {
            EXPECT_EQ(Names(db_, table), NameList{"old"}) << table;
        }
    }
    EXPECT_EQ(h.status.events, (std::vector<std::string>{"show", "disable", "hide", "enable"}));
    EXPECT_EQ(h.status.statusHistory, std::vector<std::string>{"Status: Setting Up Jobs"});
    // The table check itself never yields.
    EXPECT_EQ(h.yielder.calls, 1);
    EXPECT_TRUE(h.Idle());
}

TEST_P(RunnerTest, CancelDuringJob2Of4StopsAfterTheCurrentLine) {
    MakeTable("rt_cancel");
    std::vector<Job> list;
    for (int job = 1; job <= 4; ++job)
        list.push_back({WriteLog("j" + std::to_string(job) + ".log",
                                 LogText(Numbered("c" + std::to_string(job) + "_", 5))),
                        "rt_cancel"});
    RunHarness h(db_.connection(), list);
    // Every reading moves the clock past the throttle, so every line refreshes and yields.
    h.clock.now = 1000;
    h.clock.step = 201;
    h.yielder.action = [&](int) {
        if (h.status.filesProcessed == "Processing File:  2 of 4" && h.state.RecordsThisFile == 3)
            h.state.bCancel = true;
    };

    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Cancelled);
    EXPECT_EQ(Names(db_, "rt_cancel"),
              (NameList{"c1_0", "c1_1", "c1_2", "c1_3", "c1_4", "c2_0", "c2_1", "c2_2"}));
    EXPECT_EQ(h.status.filesHistory.back(), "Processing File:  2 of 4");
    EXPECT_EQ(h.status.statusHistory.back(), "Status:  Parsing file 'j2.log'");
    EXPECT_TRUE(h.Idle());

    bool cancelSeen = false;
    h.yielder.action = [&](int) { cancelSeen = cancelSeen || h.state.bCancel; };
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    EXPECT_FALSE(cancelSeen);
    EXPECT_EQ(db_.Count("rt_cancel"), 8 + 20);
    EXPECT_EQ(h.status.filesHistory.back(), "Processing File:  4 of 4");
    EXPECT_EQ(h.status.recordsFile, "Records Inserted (this file):  5");
    EXPECT_EQ(h.status.recordsTotal, "Records Inserted (total):  20");
}

TEST_P(RunnerTest, UnreadableLocalFilesAndOtherSchemesAreNamedAndTheRunGoesOn) {
    MakeTable("rt_unread");
    // Only "http://" exactly is downloaded; other schemes are local paths.
    const NameList bad = {dir_ + "/missing.log", dir_, "", "HTTP://127.0.0.1:9/upper.log",
                          "https://127.0.0.1:9/secure.log"};
    std::vector<Job> list;
    for (const std::string& path : bad)
        list.push_back({path, "rt_unread"});
    list.push_back({WriteLog("good.log", LogText({"g1", "g2"})), "rt_unread"});
    RunHarness h(db_.connection(), list);
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    ASSERT_EQ(h.prompts.shown.size(), bad.size());
    for (std::size_t i = 0; i < bad.size(); ++i) {
        SCOPED_TRACE(bad[i]);
        const auto& shown = h.prompts.shown[i];
        const std::string named = "The log file '" + bad[i] + "' could not be read:";
        EXPECT_EQ(shown.text.compare(0, named.size(), named), 0) << shown.text;
        // A reason follows the path.
        EXPECT_GT(shown.text.size(), named.size() + 4) << shown.text;
        EXPECT_EQ(shown.title, "Error Opening Log File");
        EXPECT_FALSE(shown.question);
    }
    EXPECT_THAT(h.prompts.shown[3].text, HasSubstr("No such file or directory"));
    EXPECT_EQ(h.status.statusHistory[4], "Status:  Parsing file 'upper.log'");
    EXPECT_EQ(Names(db_, "rt_unread"), (NameList{"g1", "g2"}));
    EXPECT_EQ(h.runner.JobsFailed(), 5);
    EXPECT_TRUE(h.Idle());
}

TEST_P(RunnerTest, MissingTablesAreNotEmptiedAndFailedEmptyingEndsTheRun) {
    MakeTable("rt_tf_start", {"old"});
    MakeTable("rt_tf_each");
    // A view is in the catalogue, but no database empties it.
    db_.TryExec("DROP VIEW IF EXISTS rt_tf_view");
    db_.Exec("CREATE VIEW rt_tf_view AS SELECT * FROM rt_tf_each");
    const std::string a = WriteLog("a.log", LogText({"a1"}));
    const std::string b = WriteLog("b.log", LogText({"b1"}));
    // No table name ends a statement: it is a missing table, neither emptied nor dropped.
    const std::string missing = "rt_tf_start; DROP TABLE rt_tf_start";
    const struct {
        const char* name;
        bool onStart;
        std::vector<Job> jobs;
        RunResult result;
        const char* table;
        NameList rows;
    } cases[] = {
        // Yes to each question (one per job) goes on; the missing table's lines are refused.
        {"missing_goes_on",
         true,
         {{a, missing}, {a, missing}, {b, "rt_tf_start"}},
         RunResult::Completed,
         "rt_tf_start",
         {"b1"}},
        {"before_start",
         true,
         {{a, "rt_tf_view"}, {b, "rt_tf_start"}},
         RunResult::TruncateFailed,
         "rt_tf_start",
         {"b1"}},
        // The third job would load into a table that was emptied fine: it must not run.
        {"before_each",
         false,
         {{a, "rt_tf_each"}, {b, "rt_tf_view"}, {b, "rt_tf_each"}},
         RunResult::TruncateFailed,
         "rt_tf_each",
         {"a1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunHarness h(db_.connection(), c.jobs);
        h.options.truncateOnStart = c.onStart;
        h.options.truncateOnInsert = !c.onStart;
        h.prompts.answers = {true, true};
        EXPECT_EQ(h.runner.ProcessJobs(), c.result);
        EXPECT_EQ(Names(db_, c.table), c.rows);
        EXPECT_TRUE(h.Idle());
        if (c.result == RunResult::Completed) {
            EXPECT_EQ(h.prompts.shown.size(), 2u) << "the questions only";
            EXPECT_EQ(h.report.Total().refused, 2u);
            continue;
        }
        ASSERT_FALSE(h.prompts.shown.empty());
        const auto& message = h.prompts.shown.back();
        EXPECT_EQ(message.icon, MessageIcon::Critical);
        EXPECT_EQ(message.title, "Error Emptying Table");
        const DbResult again = h.runner.TruncateTable("rt_tf_view");
        ASSERT_FALSE(again.ok);
        EXPECT_THAT(message.text, HasSubstr("'rt_tf_view'"));
        EXPECT_THAT(message.text, HasSubstr(again.message));
    }
}

TEST_P(RunnerTest, ACancelBeforeATableIsEmptiedKeepsIt) {
    // Cancel confirmed during the set-up yield, or at the second table's truncation.
    const std::string a = WriteLog("a.log", LogText({"a1"}));
    const struct {
        const char* name;
        int cancelAtYield;
        NameList first;
        NameList second;
    } cases[] = {
        {"before any table", 1, {"old"}, {"old"}},
        {"before the second table", 3, {}, {"old"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MakeTable("rt_cx_1", {"old"});
        MakeTable("rt_cx_2", {"old"});
        RunHarness h(db_.connection(), {{a, "rt_cx_1"}, {a, "rt_cx_2"}});
        h.options.truncateOnStart = true;
        h.yielder.action = [&](int call) {
            if (call == c.cancelAtYield)
                h.state.bCancel = true;
        };
        EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Cancelled);
        EXPECT_EQ(Names(db_, "rt_cx_1"), c.first);
        EXPECT_EQ(Names(db_, "rt_cx_2"), c.second);
        EXPECT_TRUE(h.Idle());
    }
}

TEST_P(RunnerTest, ALogThatGrowsWhileReadKeepsItsUnfinishedLastLine) {
    // Enough lines that the first is loaded before the reader reaches the end.
    const std::string path = WriteLog("growing.log", LogText(Numbered("g", 2000)) +
                                                         "192.0.2.10 cut 2006-11-26 13:05:00 /s "
                                                         "200 p 4096 60 6");
    MakeTable("rt_grow");
    RunHarness h(db_.connection(), {{path, "rt_grow"}});
    h.report.hook = [&](LineOutcome, std::uint64_t line) {
        if (line == 1)
            std::ofstream(path, std::ios::app) << "4"; // the writer is still at it
    };
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(h.report.Total().incomplete, 1u);
    EXPECT_EQ(db_.Count("rt_grow"), 2000);
}

TEST_P(RunnerTest, TheDatabaseFailingEndsTheRunAndNamesTheLastStoredLine) {
    // PostgreSQL and MariaDB lose the connection; SQLite fills its file (with long rows).
    const bool sqlite = !db_.IsPostgres() && !db_.IsMaria();
    NameList rows;
    for (int i = 1; i <= 6; ++i)
        rows.push_back("d" + std::to_string(i) + std::string(sqlite ? 3000 : 0, 'x'));
    const std::string a = WriteLog("a.log", LogText(rows));
    for (const std::size_t commitRows : {std::size_t{1}, std::size_t{4}}) {
        SCOPED_TRACE(commitRows);
        // SQLite on a file of its own, whose every page is in use.
        TestDatabase own(GetParam(),
                         sqlite ? "DRIVER=SQLite3;Database=" + ScratchDir("full") + "/full.db"
                                : std::string());
        own.CreateLogTable("rt_dead");
        RunSettings settings = Batched(commitRows);
        settings.reconnectSeconds = 0;
        RunHarness h(own.connection(), {{a, "rt_dead"}}, settings);
        h.report.hook = [&](LineOutcome, std::uint64_t line) {
            if (line != 2)
                return;
            if (sqlite)
                own.Exec("PRAGMA max_page_count = " + own.Query("PRAGMA page_count").at(0).at(0));
            else
                db_.EndOtherSessions();
        };
        const RunResult result = h.runner.ProcessJobs();
        EXPECT_EQ(result, sqlite ? RunResult::DatabaseFull : RunResult::DatabaseLost);
        EXPECT_EQ(h.runner.DatabaseFailure().failure,
                  sqlite ? DbFailure::DiskFull : DbFailure::ConnectionLost);
        // Nothing after the failure counts as refused; the last stored line is known.
        EXPECT_EQ(h.report.Total().refused, 0u);
        EXPECT_GE(h.runner.LastStoredLine(), 2u);
        EXPECT_EQ(h.runner.LastStream(), a);
        EXPECT_TRUE(h.Idle());
        EXPECT_TRUE(h.prompts.shown.empty());
    }
}

TEST_P(RunnerTest, LocalLineEndsAndOverLongLines) {
    MakeTable("rt_ends");
    const std::string longLine = LogLine(std::string(LineSplitter::kDefaultMaxLine + 10, 'x'));
    const std::string text =
        LogLine("e1") + "\r\n" +
        "192.0.2.10 e2 2006-11-26 13:05:00 /stream 200 Win\rAmp 4096 60 64\r\n" + longLine +
        "\r\n" + LogLine("e3") + "\n\r\n#Fields: c-ip\r\n" + LogLine("e4");
    RunHarness h(db_.connection(), {{WriteLog("ends.log", text), "rt_ends"}});
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    const Rows expected = {{"e1", "Player/1.0", "64"},
                           {"e2", "Win\rAmp", "64"},
                           {"e3", "Player/1.0", "64"},
                           {"e4", "Player/1.0", "64"}};
    EXPECT_EQ(db_.Query("SELECT c_dns, agent, bandwidth FROM rt_ends ORDER BY c_dns"), expected);
    EXPECT_EQ(h.report.Total().longLines, 1u);
    EXPECT_TRUE(h.prompts.shown.empty());
}

TEST_P(RunnerTest, TableExistsIsExactAndCaseSensitive) {
    db_.TryExec("DROP VIEW IF EXISTS rt_te_v_logs");
    db_.CreateLogTable("rt_te_logs");
    const std::string archive = db_.IsMaria() ? "`rt_te_Archive`" : "\"rt_te_Archive\"";
    db_.TryExec("DROP TABLE IF EXISTS " + archive);
    db_.Exec("CREATE TABLE " + archive + " (id INTEGER)");
    db_.Exec("CREATE VIEW rt_te_v_logs AS SELECT * FROM rt_te_logs");
    const std::pair<const char*, bool> cases[] = {
        {"rt_te_logs", true},     {"RT_TE_LOGS", false},        {"rt_te_Archive", true},
        {"rt_te_archive", false}, {"rt_te_v_logs", true},       {"", false},
        {"rt_te_logs ", false},   {"public.rt_te_logs", false},
    };
    for (const auto& [table, exists] : cases) {
        DbResult error;
        EXPECT_EQ(JobRunner::TableExists(table, db_.connection(), error), exists) << table;
        EXPECT_TRUE(error.ok) << error.message;
    }
}

INSTANTIATE_FOR_DATABASES(RunnerTest);

TEST(RunnerWithoutDatabase, NoJobsDoNothingAndNoConnectionGivesAMessage) {
    odbc::Environment environment;
    odbc::Connection closed(environment);
    RunHarness empty(closed);
    empty.state.RecordsThisFile = 3;
    empty.state.LastCountRefresh = 9;
    EXPECT_EQ(empty.runner.ProcessJobs(), RunResult::NothingToDo);
    EXPECT_TRUE(empty.status.events.empty());
    EXPECT_TRUE(empty.status.statusHistory.empty());
    EXPECT_EQ(empty.state.RecordsThisFile, 3);
    EXPECT_EQ(empty.state.LastCountRefresh, 9u);

    RunHarness h(closed, {{"a.log", "logs"}});
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::NoConnection);
    ASSERT_EQ(h.prompts.shown.size(), 1u);
    EXPECT_FALSE(h.prompts.shown[0].question);
    EXPECT_TRUE(h.status.events.empty());
    for (const RunHarness* run : {&empty, &h}) {
        EXPECT_EQ(run->yielder.calls, 0);
        EXPECT_TRUE(run->Idle());
    }
    EXPECT_TRUE(empty.prompts.shown.empty());

    // An empty catalogue holds no table, and reading it is no error.
    odbc::Connection fresh(environment);
    ASSERT_TRUE(
        fresh.OpenConnectionString("DRIVER=SQLite3;Database=" + ScratchDir("empty") + "/empty.db"));
    DbResult error;
    EXPECT_FALSE(JobRunner::TableExists("logs", fresh, error));
    EXPECT_TRUE(error.ok) << error.message;
}

TEST(RunnerOnPostgres, FailedTableCheckEndsTheRunBeforeAnyChange) {
    TestDatabase runnerDb(kPostgresDsn);
    TestDatabase admin(kPostgresDsn);
    admin.CreateLogTable("rt_tcf");
    admin.Exec(
        "INSERT INTO rt_tcf VALUES ('192.0.2.1', 'old', 'x', '/s', 200, 'a', '1', '1', '1')");
    const std::string path = ScratchDir("tcf") + "/t.log";
    WriteFile(path, LogText({"t1"}));
    // The server ends the runner's session, so its catalogue can no longer be read.
    const std::string pid = runnerDb.Query("SELECT pg_backend_pid()").at(0).at(0);
    admin.Exec("SELECT pg_terminate_backend(" + pid + ", 60000)");

    RunHarness h(runnerDb.connection(), {{path, "rt_tcf"}});
    h.options.truncateOnStart = true;
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::TableCheckFailed);
    ASSERT_EQ(h.prompts.shown.size(), 1u);
    const auto& message = h.prompts.shown[0];
    EXPECT_EQ(message.icon, MessageIcon::Critical);
    EXPECT_EQ(message.title, "Error Reading Tables");
    const std::string header = "The list of tables could not be read from the database:";
    EXPECT_EQ(message.text.compare(0, header.size(), header), 0) << message.text;
    EXPECT_GT(message.text.size(), header.size() + 4) << message.text;
    EXPECT_EQ(Names(admin, "rt_tcf"), NameList{"old"});
    EXPECT_EQ(h.status.events, (std::vector<std::string>{"show", "disable", "hide", "enable"}));
    EXPECT_TRUE(h.Idle());
}

TEST(RunnerOnSqlite, ABusyDatabaseIsAskedAgainBeforeARowIsRefused) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("rt_busy");
    const std::string log = ScratchDir("busy") + "/busy.log";
    WriteFile(log, LogText({"b1", "b2"}));
    for (const bool released : {true, false}) {
        SCOPED_TRACE(released ? "the lock goes" : "the lock stays");
        db.Exec("DELETE FROM rt_busy");
        TestDatabase holder(kSqliteDsn);
        holder.Exec("BEGIN IMMEDIATE"); // others may read, not write
        RunHarness h(db.connection(), {{log, "rt_busy"}});
        int waits = 0;
        h.runner.SetRetryWait([&](int attempt) {
            ++waits;
            if (released && attempt == 2)
                holder.Exec("COMMIT");
        });
        EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
        if (released) {
            EXPECT_EQ(waits, 2);
            EXPECT_EQ(db.Count("rt_busy"), 2);
            continue;
        }
        EXPECT_EQ(waits, 8) << "four retries for each row";
        EXPECT_EQ(h.report.Total().refused, 2u);
        ASSERT_FALSE(h.report.Jobs()[0].diagnostics.empty());
        EXPECT_THAT(h.report.Jobs()[0].diagnostics[0], HasSubstr("database is locked"));
        holder.Exec("COMMIT");
        EXPECT_EQ(db.Count("rt_busy"), 0);
    }
}

TEST(UpdateRecordCounts, RefreshesOnlyAfterMoreThan200Milliseconds) {
    const struct {
        std::uint32_t last;
        std::uint32_t now;
        bool refresh;
    } cases[] = {
        {1000, 1000, false},
        {1000, 1200, false},
        {1000, 1201, true},
        {0xFFFFFF38u, 0, false}, // 200 ms across the wrap of the tick count
        {0xFFFFFF37u, 0, true},  // 201 ms across the wrap
        {0xFFFFFF00u, 0x000000C8u, true},
        {0xFFFFFFF0u, 0x00000010u, false},
    };
    odbc::Environment environment;
    odbc::Connection closed(environment);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.last) + " -> " + std::to_string(c.now));
        RunHarness h(closed);
        h.state.RecordsThisFile = 12;
        h.state.RecordsTotal = 345;
        h.state.LastCountRefresh = c.last;
        h.status.recordsFile = h.status.recordsTotal = "before";
        h.clock.now = c.now;
        // The refresh time is read after the yield, so time spent in it counts as before it.
        h.yielder.action = [&](int) { h.clock.now += 5; };
        h.runner.UpdateRecordCounts();
        EXPECT_EQ(h.status.recordsFile, c.refresh ? "Records Inserted (this file):  12" : "before");
        EXPECT_EQ(h.status.recordsTotal, c.refresh ? "Records Inserted (total):  345" : "before");
        EXPECT_EQ(h.yielder.calls, c.refresh ? 1 : 0);
        EXPECT_EQ(h.state.LastCountRefresh, c.refresh ? c.now + 5 : c.last);
    }
}

} // namespace
} // namespace brenvale::test

// Whole runs through the core interfaces against real SQLite, PostgreSQL and MariaDB databases.
#include "core/runner.h"

#include "core/run_harness.h"
#include "data/odbc_setup.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace brenvale::test {
namespace {

class RunnerTest : public DatabaseTest {
protected:
    /// A fresh log table holding one row per name.
    void MakeTable(const std::string& table, const NameList& names = {}) {
        db_.CreateLogTable(table);
        for (const std::string& name : names)
            db_.Exec("INSERT INTO " + table + " (c_dns) VALUES ('" + name + "')");
    }
};

TEST_P(RunnerTest, TruncationOptionsWithTwoJobsOnOneTableAndWhatEachYieldShows) {
    const struct {
        const char* table;
        bool onStart, onEach;
        NameList rows;
        std::vector<std::uint64_t> held; ///< rows the emptyings told took, in order
    } cases[] = {
        // Both truncations come before any load, so both jobs' rows stay.
        {"rt_trunc_start", true, false, {"a1", "a2", "b1"}, {1}},
        {"rt_trunc_each", false, true, {"b1"}, {1, 2}},
        // Emptied again while it holds nothing, it is not told again.
        {"rt_trunc_both", true, true, {"b1"}, {1, 2}},
    };
    const std::string a = WriteLog("a.log", LogText({"a1", "a2"}));
    const std::string b = WriteLog("b.log", LogText({"b1"}));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        MakeTable(c.table, {"old"});
        RunHarness h(db_.connection(), {{a, c.table}, {b, c.table}});
        h.options.truncateOnStart = c.onStart;
        h.options.truncateOnInsert = c.onEach;
        NameList seen;
        h.yielder.action = [&](int) {
            seen.push_back(h.status.status + " | " + h.status.filesProcessed + " | " +
                           std::to_string(static_cast<int>(h.status.progressValue)));
        };
        EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
        EXPECT_EQ(Names(db_, c.table), c.rows);
        std::vector<std::uint64_t> held;
        for (const RunReport::EmptiedTable& emptied : h.report.Emptied()) {
            EXPECT_EQ(emptied.table, c.table);
            held.push_back(emptied.rows);
        }
        EXPECT_EQ(held, c.held);
        // Each log's progress starts afresh and ends at its size.
        const auto whole = [](const std::string& path) {
            const auto size = static_cast<std::uint64_t>(std::filesystem::file_size(path));
            return std::make_pair(size, size);
        };
        const std::pair<std::uint64_t, std::uint64_t> none{0, 0};
        EXPECT_EQ(h.status.fileProgress, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{
                                             none, whole(a), none, whole(b)}));
        // One yield before the passes, one per table truncated first, one per job.
        NameList expected = {"Status: Setting Up Jobs | Files Processed:  | 0"};
        for (int i = 1; c.onStart && i <= 2; ++i)
            expected.push_back(std::string("Status:  Truncating table '") + c.table +
                               "' | Files Processed:  | " + std::to_string(i));
        expected.push_back("Status:  Parsing file 'a.log' | Processing File:  1 of 2 | 1");
        expected.push_back("Status:  Parsing file 'b.log' | Processing File:  2 of 2 | 2");
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(h.status.statusHistory.size(), expected.size());
        EXPECT_EQ(std::tuple(h.status.progressMax, h.state.RecordsTotal, h.state.RecordsThisFile),
                  std::tuple(2.0f, 3, 1));
        EXPECT_TRUE(h.prompts.shown.empty());
        EXPECT_TRUE(h.Idle());
    }
}

TEST_P(RunnerTest, MissingTablesOrACancelBeforeEmptyingKeepTablesAndFailedEmptyingEndsTheRun) {
    const std::string s = "rt_tf_start", e = "rt_tf_each", view = "v_rt_tf_each";
    const std::string a = WriteLog("a.log", LogText({"a1"}));
    const std::string b = WriteLog("b.log", LogText({"b1"}));
    // No table name ends a statement: it is a missing table, neither emptied nor dropped.
    const std::string missing = s + "; DROP TABLE " + s;
    const std::vector<Job> no = {{a, s}, {a, missing}, {b, e}},
                           yes = {{a, missing}, {a, missing}, {b, s}},
                           fails = {{a, e}, {b, view}, {b, e}}, both = {{a, s}, {a, e}},
                           own = {{a, s}, {b, "Brenvale_Checkpoint"}};
    const struct {
        const char* name;
        bool onStart, onEach, yes;
        const std::vector<Job>& jobs;
        int cancelAt; ///< the yield that confirms a cancel; 0: none
        RunResult result;
        NameList sRows, eRows;
        std::size_t shown;
        bool held = false; ///< another session reads e meanwhile (servers: SQLite waits as set)
    } cases[] = {
        // No to job 2's question changes nothing, though job 1's table would be emptied.
        {"no", true, true, false, no, 0, RunResult::MissingTable, {"old"}, {"old"}, 1},
        // Yes to the one question about the table two jobs name goes on; its lines are refused.
        {"yes", true, false, true, yes, 0, RunResult::Completed, {"b1"}, {"old"}, 1},
        // The bookkeeping table takes no log lines, in any spelling: nothing is emptied.
        {"own table", true, false, true, own, 0, RunResult::ProgramTable, {"old"}, {"old"}, 1},
        // The third job would load into a table that was emptied fine: it must not run.
        {"fails", false, true, true, fails, 0, RunResult::TruncateFailed, {"old"}, {"a1"}, 1},
        {"cancel at set-up", true, false, true, both, 1, RunResult::Cancelled, {"old"}, {"old"}, 0},
        {"cancel emptying e", true, false, true, both, 3, RunResult::Cancelled, {}, {"old"}, 0},
        // Seen while the TRUNCATE waits for the other session: the first wait ends at call 4.
        {"cancel while e is held",
         true,
         false,
         true,
         both,
         4,
         RunResult::Cancelled,
         {},
         {"old"},
         0,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.held && GetParam() == kSqliteDsn)
            continue;
        MakeTable(s, {"old"});
        MakeTable(e, {"old"});
        // A view is in the catalogue, but no database empties it.
        db_.Exec("CREATE VIEW " + view + " AS SELECT * FROM " + e);
        RunHarness h(db_.connection(), c.jobs);
        h.options.truncateOnStart = c.onStart;
        h.options.truncateOnInsert = c.onEach;
        h.prompts.answers = {c.yes, c.yes};
        h.yielder.action = [&](int call) {
            h.state.bCancel = h.state.bCancel || call == c.cancelAt;
        };
        TestDatabase holder(GetParam());
        if (c.held) {
            ASSERT_TRUE(holder.connection().SetAutoCommit(false).ok);
            holder.Query("SELECT * FROM " + e);
        }
        EXPECT_EQ(h.runner.ProcessJobs(), c.result);
        if (c.held) {
            EXPECT_TRUE(holder.connection().Rollback().ok);
        }
        EXPECT_EQ(Names(db_, s), c.sRows);
        EXPECT_EQ(Names(db_, e), c.eRows);
        EXPECT_TRUE(h.Idle());
        ASSERT_EQ(h.prompts.shown.size(), c.shown);
        EXPECT_EQ(h.report.Total().refused, c.result == RunResult::Completed ? 2u : 0u);
        if (c.result != RunResult::TruncateFailed)
            continue;
        const auto& message = h.prompts.shown.back();
        EXPECT_EQ(message.icon, MessageIcon::Critical);
        const DbResult again = h.runner.TruncateTable(view);
        ASSERT_FALSE(again.ok);
        EXPECT_THAT(message.text, HasSubstr("'" + view + "'"));
        EXPECT_THAT(message.text, HasSubstr(again.message));
    }
}

TEST_P(RunnerTest, CancelDuringJob2Of4StopsAfterTheCurrentLine) {
    MakeTable("rt_cancel");
    std::vector<Job> list;
    for (const std::string job : {"1", "2", "3", "4"})
        list.push_back(
            {WriteLog("j" + job + ".log", LogText(Numbered("c" + job + "_", 5))), "rt_cancel"});
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
    EXPECT_TRUE(h.Idle());
    // The next run starts without the old cancel.
    h.yielder.action = {};
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(db_.Count("rt_cancel"), 8 + 20);
    EXPECT_EQ(h.status.recordsFile, "Records Inserted (this file):  5");
    EXPECT_EQ(h.status.recordsTotal, "Records Inserted (total):  20");
}

TEST_P(RunnerTest, UnreadableFilesOtherSchemesAndAGrowingLogsUnfinishedLineLetTheRunGoOn) {
    MakeTable("rt_unread");
    // Enough lines that the first is loaded before the reader reaches the end.
    const std::string growing =
        WriteLog("growing.log", LogText(Numbered("w", 2000)) +
                                    "192.0.2.10 cut 2006-11-26 13:05:00 /s 200 p 4096 60 6");
    // Only "http://" exactly is downloaded; other schemes are local paths.
    const NameList bad = {dir_ + "/missing.log", dir_, "", "HTTP://127.0.0.1:9/upper.log",
                          "https://127.0.0.1:9/secure.log"};
    std::vector<Job> list = {{growing, "rt_unread"}};
    for (const std::string& path : bad)
        list.push_back({path, "rt_unread"});
    list.push_back({WriteLog("good.log", LogText({"g1", "g2"})), "rt_unread"});
    // A complete file's last line needs no line feed.
    list.push_back({WriteLog("done.log", LogLine("d1") + "\r\n" + LogLine("d2")), "rt_unread"});
    RunHarness h(db_.connection(), list);
    h.report.hook = [&](LineOutcome, std::uint64_t line) {
        if (line == 1)
            Append(growing, "4"); // the writer is still at it
    };
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    ASSERT_EQ(h.prompts.shown.size(), bad.size());
    for (std::size_t i = 0; i < bad.size(); ++i) {
        // A reason follows the path.
        const std::string named = "The log file '" + bad[i] + "' could not be read:";
        EXPECT_THAT(h.prompts.shown[i].text, testing::StartsWith(named));
        EXPECT_GT(h.prompts.shown[i].text.size(), named.size() + 4) << h.prompts.shown[i].text;
    }
    EXPECT_THAT(h.prompts.shown[3].text, HasSubstr("No such file or directory"));
    EXPECT_EQ(h.status.statusHistory[5], "Status:  Parsing file 'upper.log'");
    EXPECT_EQ(h.report.Total().incomplete, 1u);
    EXPECT_EQ(db_.Count("rt_unread"), 2000 + 2 + 2);
    EXPECT_EQ(db_.Count("rt_unread WHERE c_dns IN ('g1', 'g2', 'd1', 'd2')"), 4);
    EXPECT_EQ(h.runner.JobsFailed(), 5);
    EXPECT_TRUE(h.Idle());
}

TEST_P(RunnerTest, TheDatabaseFailingEndsTheRunAndNamesTheLastStoredLine) {
    // PostgreSQL and MariaDB lose the connection; SQLite fills its file (with long rows).
    const bool sqlite = !db_.IsPostgres() && !db_.IsMaria();
    const std::string a =
        WriteLog("a.log", LogText(Numbered(std::string(sqlite ? 3000 : 0, 'x'), 6)));
    for (const std::size_t commitRows : {std::size_t{1}, std::size_t{4}}) {
        SCOPED_TRACE(commitRows);
        // SQLite on a file of its own, whose every page is in use.
        TestDatabase own(GetParam(),
                         sqlite ? "DRIVER=SQLite3;Database=" + ScratchDir("full") + "/full.db"
                                : std::string());
        own.CreateLogTable("rt_dead");
        RunHarness h(own.connection(), {{a, "rt_dead"}},
                     {.commitRows = commitRows, .reconnectSeconds = 0});
        h.report.hook = [&](LineOutcome, std::uint64_t line) {
            if (line == 2 && sqlite)
                own.Exec("PRAGMA max_page_count = " + own.Query("PRAGMA page_count").at(0).at(0));
            else if (line == 2)
                db_.EndOtherSessions();
        };
        EXPECT_EQ(h.runner.ProcessJobs(),
                  sqlite ? RunResult::DatabaseFull : RunResult::DatabaseLost);
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

TEST_P(RunnerTest, TableExistsFindsTheExactNameFirstThenFoldsAsTheDatabaseDoes) {
    db_.CreateLogTable("rt_te_logs");
    const std::string q = db_.IsMaria() ? "`" : "\"";
    db_.TryExec("DROP TABLE IF EXISTS " + q + "rt_te_Archive" + q);
    db_.Exec("CREATE TABLE " + q + "rt_te_Archive" + q + " (id INTEGER)");
    db_.Exec("CREATE VIEW v_rt_te_logs AS SELECT * FROM rt_te_logs");
    if (db_.IsPostgres()) {
        db_.Exec("CREATE SCHEMA IF NOT EXISTS rt_te_other");
        db_.Exec("CREATE TABLE IF NOT EXISTS rt_te_other.\"rt_te_Logs2\" (id INTEGER)");
    }
    // SQLite ignores letter case, PostgreSQL folds unquoted names to lower case, and MariaDB
    // keeps table names as written (lower_case_table_names 0).
    const struct {
        const char* table;
        bool sqlite, pg, maria;
    } cases[] = {{"rt_te_logs", true, true, true},
                 {"RT_TE_LOGS", true, true, false},
                 {"\"RT_TE_LOGS\"", true, false, false},
                 {"rt_te_Archive", true, true, true},
                 {"\"rt_te_Archive\"", true, true, true},
                 {"rt_te_archive", true, false, false},
                 {"v_rt_te_logs", true, true, true},
                 {"", false, false, false},
                 {"rt_te_logs ", false, false, false},
                 {"\"rt_te_logs", false, false, false},
                 {"rt_te_logs; DROP TABLE rt_te_logs", false, false, false},
                 {"public.rt_te_logs", false, true, false},
                 {"brenvale.rt_te_Archive", false, false, true},
                 {"rt_te_other.rt_te_Logs2", false, true, false},
                 {"RT_TE_OTHER.\"rt_te_Logs2\"", false, true, false},
                 {"rt_te_other.rt_te_logs2", false, false, false},
                 {"\"rt_te_other.rt_te_Logs2\"", false, false, false}};
    for (const auto& c : cases) {
        DbResult error;
        const bool exists = db_.IsPostgres() ? c.pg : db_.IsMaria() ? c.maria : c.sqlite;
        EXPECT_EQ(JobRunner::TableExists(c.table, db_.connection(), error), exists) << c.table;
        EXPECT_TRUE(error.ok) << error.message;
    }
}

TEST_P(RunnerTest, EveryStatementOfARunGoesToTheTableTheCheckFound) {
    const std::string q = db_.IsMaria() ? "`" : "\"";
    // The tables as their SQL names, and the jobs' names with the table each must fill.
    std::vector<std::string> tables = {q + "RtNmLogs" + q, q + "rt_nm.dotted" + q};
    if (db_.IsPostgres() || db_.IsMaria())
        tables.push_back("rtnmlogs"); // differs only in letter case: SQLite cannot hold both
    if (db_.IsPostgres()) {
        db_.Exec("CREATE SCHEMA IF NOT EXISTS rt_nm_other");
        tables.push_back("rt_nm_other.\"RtNmLogs2\"");
    }
    const bool sqlite = !db_.IsPostgres() && !db_.IsMaria();
    std::vector<std::pair<std::string, std::string>> jobs = {
        {"RtNmLogs", tables[0]},
        {"\"RtNmLogs\"", tables[0]},
        {"rtnmlogs", sqlite ? tables[0] : "rtnmlogs"},
        {"rt_nm.dotted", tables[1]},
        {"\"rt_nm.dotted\"", tables[1]}};
    if (db_.IsMaria())
        jobs.push_back({"brenvale.RtNmLogs", tables[0]});
    if (db_.IsPostgres())
        jobs.insert(jobs.end(), {{"RTNMLOGS", "rtnmlogs"},
                                 {"public.rtnmlogs", "rtnmlogs"},
                                 {"rt_nm_other.\"RtNmLogs2\"", tables.back()},
                                 {"RT_NM_OTHER.RtNmLogs2", tables.back()}});
    for (const std::string& table : tables) {
        db_.TryExec("DROP TABLE IF EXISTS " + table);
        db_.Exec("CREATE TABLE " + table +
                 " (c_ip VARCHAR(64), c_dns VARCHAR(255), ts VARCHAR(32), "
                 "uri VARCHAR(2000), status INTEGER, agent VARCHAR(2000), bytes BIGINT, "
                 "duration INTEGER, bandwidth BIGINT)");
    }
    const std::string log = WriteLog("nm.log", kHeader + LogText({"n1", "n2", "n3"}));
    // Row by row and in batches after a truncation, and incrementally (twice: the positions are
    // kept under the job's name as typed, so the second run finds every line loaded).
    for (const std::size_t rows : {1, 2, 0}) {
        const bool incremental = rows == 0;
        for (const auto& [job, target] : jobs) {
            SCOPED_TRACE(job + (incremental ? " incremental"
                                : rows == 1 ? " row by row"
                                            : " batches"));
            for (const std::string& table : tables) {
                db_.Exec("DELETE FROM " + table);
                db_.Exec("INSERT INTO " + table + " (c_dns) VALUES ('old')");
            }
            db_.TryExec("DELETE FROM brenvale_checkpoint");
            for (int run = incremental ? 2 : 1; run > 0; --run) {
                RunHarness h(db_.connection(), {{log, job}},
                             {.commitRows = incremental ? 2 : rows, .incremental = incremental});
                h.options.truncateOnStart = !incremental;
                EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
                EXPECT_TRUE(h.prompts.shown.empty());
                EXPECT_EQ(h.report.Total().inserted, run == 1 && incremental ? 0u : 3u);
            }
            const NameList loaded =
                incremental ? NameList{"n1", "n2", "n3", "old"} : NameList{"n1", "n2", "n3"};
            for (const std::string& table : tables)
                EXPECT_EQ(Names(db_, table), table == target ? loaded : NameList{"old"}) << table;
        }
    }
}

INSTANTIATE_FOR_DATABASES(RunnerTest);

TEST(RunnerWithoutDatabase, NoJobsDoNothingNoConnectionGivesAMessageCountsRefreshAfter200Ms) {
    odbc::Environment environment;
    odbc::Connection closed(environment);
    RunHarness empty(closed);
    EXPECT_EQ(empty.runner.ProcessJobs(), RunResult::NothingToDo);
    RunHarness h(closed, {{"a.log", "logs"}});
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::NoConnection);
    for (const RunHarness* run : {&empty, &h}) {
        EXPECT_EQ(run->prompts.shown.size(), run == &h ? 1u : 0u);
        EXPECT_TRUE(run->status.events.empty());
        EXPECT_EQ(run->yielder.calls, 0);
        EXPECT_TRUE(run->Idle());
    }
    // An empty catalogue holds no table, and reading it is no error.
    odbc::Connection fresh(environment);
    ASSERT_TRUE(
        fresh.OpenConnectionString("DRIVER=SQLite3;Database=" + ScratchDir("empty") + "/empty.db"));
    DbResult error;
    EXPECT_FALSE(JobRunner::TableExists("logs", fresh, error));
    EXPECT_TRUE(error.ok) << error.message;

    // The counts refresh only after more than 200 ms: last, now, refreshed; across the wrap of the
    // tick count too.
    const std::tuple<std::uint32_t, std::uint32_t, bool> cases[] = {
        {1000, 1000, false},        {1000, 1200, false},    {1000, 1201, true},
        {0xFFFFFF38u, 0, false},    {0xFFFFFF37u, 0, true}, {0xFFFFFF00u, 0xC8u, true},
        {0xFFFFFFF0u, 0x10u, false}};
    for (const auto& [last, now, refresh] : cases) {
        SCOPED_TRACE(std::to_string(last) + " -> " + std::to_string(now));
        RunHarness run(closed);
        run.state.RecordsThisFile = 12;
        run.state.RecordsTotal = 345;
        run.state.LastCountRefresh = last;
        run.status.recordsFile = run.status.recordsTotal = "before";
        run.clock.now = now;
        // The refresh time is read after the yield, so time spent in it counts as before it.
        run.yielder.action = [&](int) { run.clock.now += 5; };
        run.runner.UpdateRecordCounts();
        EXPECT_EQ(run.status.recordsFile, refresh ? "Records Inserted (this file):  12" : "before");
        EXPECT_EQ(run.status.recordsTotal, refresh ? "Records Inserted (total):  345" : "before");
        EXPECT_EQ(run.yielder.calls, refresh ? 1 : 0);
        EXPECT_EQ(run.state.LastCountRefresh, refresh ? now + 5 : last);
    }
}

TEST(RunnerOnPostgres, FailedTableCheckEndsTheRunBeforeAnyChange) {
    TestDatabase runnerDb(kPostgresDsn), admin(kPostgresDsn);
    admin.CreateLogTable("rt_tcf");
    admin.Exec("INSERT INTO rt_tcf (c_dns) VALUES ('old')");
    // The server ends the runner's session, so its catalogue can no longer be read.
    admin.Exec("SELECT pg_terminate_backend(" +
               runnerDb.Query("SELECT pg_backend_pid()").at(0).at(0) + ", 60000)");
    RunHarness h(runnerDb.connection(),
                 {{WriteFile(ScratchDir("tcf") + "/t.log", LogText({"t1"})), "rt_tcf"}});
    h.options.truncateOnStart = true;
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::TableCheckFailed);
    ASSERT_EQ(h.prompts.shown.size(), 1u);
    const auto& message = h.prompts.shown[0];
    EXPECT_EQ(message.title, "Error Reading Tables");
    const std::string header = "The list of tables could not be read from the database:";
    EXPECT_THAT(message.text, testing::StartsWith(header));
    EXPECT_GT(message.text.size(), header.size() + 4) << message.text;
    EXPECT_EQ(Names(admin, "rt_tcf"), NameList{"old"});
    EXPECT_TRUE(h.Idle());
}

TEST(RunnerOnSqlite, ABusyDatabaseIsAskedAgainBeforeARowIsRefused) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("rt_busy");
    const std::string log = WriteFile(ScratchDir("busy") + "/busy.log", LogText({"b1", "b2"}));
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
        // Four retries for each row while the lock stays.
        EXPECT_EQ(waits, released ? 2 : 8);
        EXPECT_EQ(h.report.Total().refused, released ? 0u : 2u);
        if (!released) {
            ASSERT_FALSE(h.report.Jobs()[0].diagnostics.empty());
            EXPECT_THAT(h.report.Jobs()[0].diagnostics[0], HasSubstr("database is locked"));
            holder.Exec("COMMIT");
        }
        EXPECT_EQ(db.Count("rt_busy"), released ? 2 : 0);
    }
}

TEST(RunnerOnSqlite, ABatchThroughTheLibraryWaitsForALockAndLoadsEachLineOnce) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("rt_busy_batch");
    db.TryExec("DROP TABLE brenvale_checkpoint");
    const std::string dir = ScratchDir("busy");
    const std::string log = WriteFile(dir + "/batch.log", LogText(Numbered("b", 5)));
    const RunSettings settings{.commitRows = 10, .incremental = true};
    // A first run makes the table of positions, which no run makes under another's lock.
    RunHarness first(db.connection(),
                     {{WriteFile(dir + "/a.log", LogText({"a"})), "rt_busy_batch"}}, settings);
    EXPECT_EQ(first.runner.ProcessJobs(), RunResult::Completed);
    db.Exec("DELETE FROM rt_busy_batch");
    TestDatabase holder(kSqliteDsn);
    holder.Exec("BEGIN IMMEDIATE");
    RunHarness h(db.connection(), {{log, "rt_busy_batch"}}, settings);
    int waits = 0;
    h.runner.SetRetryWait([&](int) {
        if (++waits == 2)
            holder.Exec("COMMIT");
    });
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    EXPECT_GE(waits, 2);
    EXPECT_EQ(h.report.Total().refused, 0u);
    EXPECT_EQ(Names(db, "rt_busy_batch"), Numbered("b", 5));
    // The positions went with the rows: a second run finds nothing new.
    RunHarness again(db.connection(), {{log, "rt_busy_batch"}}, settings);
    EXPECT_EQ(again.runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(db.Count("rt_busy_batch"), 5);
    db.Exec("DROP TABLE brenvale_checkpoint");
}

/// A data source whose file the SQLite library cannot open as the ODBC connection's: every
/// batch goes through ODBC, and the run says why once, however many jobs and tables it has.
TEST(RunnerOnSqlite, ALibraryThatCannotBeUsedIsSaidOnceAndTheRowsGoThroughOdbc) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("rt_lib_a");
    db.CreateLogTable("rt_lib_b");
    const std::string dir = ScratchDir("nolib");
    const std::string log = WriteFile(dir + "/a.log", LogText(Numbered("l", 30)));
    const std::string testUserIni = std::getenv("ODBCINI");
    ScratchUserIni("nolib");
    ASSERT_TRUE(
        odbc::WriteUserDsn({kSqliteDsn, "SQLite3", {{"Database", dir + "/other.db"}}}, "").ok);
    RunHarness h(db.connection(), {{log, "rt_lib_a"}, {log, "rt_lib_b"}, {log, "rt_lib_a"}},
                 {.commitRows = 10});
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    ASSERT_EQ(setenv("ODBCINI", testUserIni.c_str(), 1), 0);
    EXPECT_EQ(std::ranges::count_if(h.report.Notices(),
                                    [](const std::string& notice) {
                                        return notice.starts_with(
                                            "The SQLite library could not be used");
                                    }),
              1);
    EXPECT_EQ(db.Count("rt_lib_a"), 60);
    EXPECT_EQ(db.Count("rt_lib_b"), 30);
}

} // namespace
} // namespace brenvale::test

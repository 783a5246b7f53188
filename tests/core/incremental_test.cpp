// Incremental loading against real databases: over many runs, rotations, archives, copies,
// kills and a database restarted mid-run, every log line ends in the table exactly once.
#include "core/runner.h"

#include "core/content_hash.h"
#include "core/incremental.h"

#include "core/run_harness.h"
#include "support/cut_proxy.h"
#include "support/http_server.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>

namespace brenvale::test {
namespace {

std::string Line(const std::string& name) {
    return LogLine(name) + "\r\n";
}

class IncrementalTest : public DatabaseTest {
protected:
    /// Runs the one job `file` -> `table` incrementally to its end; what became of its lines.
    JobReport Run(const std::string& file, std::size_t commitRows) {
        RunHarness h(db_.connection(), {{file, table_}},
                     {.commitRows = commitRows, .incremental = true});
        EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
        EXPECT_TRUE(h.prompts.shown.empty()) << h.prompts.shown.front().text;
        statuses_ = h.status.statusHistory;
        return h.report.Jobs().empty() ? JobReport{} : h.report.Jobs()[0];
    }

    /// Adds data lines `names` to the lines expected in the table.
    std::string Lines(const std::vector<std::string>& names) {
        expected_.insert(expected_.end(), names.begin(), names.end());
        return LogText(names, "\r\n");
    }

    /// An empty table and no positions, on a connection of its own: a restart ends the others.
    void Reset() {
        TestDatabase fresh(GetParam());
        fresh.CreateLogTable(table_);
        fresh.TryExec("DELETE FROM brenvale_checkpoint");
    }

    void ExpectEachOnce(TestDatabase* db = nullptr) {
        EXPECT_THAT(Names(db ? *db : db_, table_), ::testing::UnorderedElementsAreArray(expected_));
    }

    std::string table_ = "inc_logs";
    std::vector<std::string> expected_;
    std::vector<std::string> statuses_; ///< of the last run
};

TEST_P(IncrementalTest, RotationsArchivesCopiesAndGrowthOverManyRuns) {
    for (const std::size_t commitRows : {std::size_t{1}, std::size_t{7}}) {
        SCOPED_TRACE(commitRows);
        Reset();
        expected_.clear();
        const std::string dir = ScratchDir("chain");
        const std::string log = dir + "/sc_w3c.log";
        const auto step = [&](const char* what) {
            SCOPED_TRACE(what);
            const JobReport report = Run(log, commitRows);
            ExpectEachOnce();
            return report;
        };

        // A line still being written waits for the run after it is complete.
        WriteFile(log, kHeader + Lines({"a1", "a2", "a3"}) + "192.0.2.10 a4 2006-11-26");
        step("first run");
        Append(log, Lines({"a4"}).substr(std::string("192.0.2.10 a4 2006-11-26").size()));
        Append(log, Lines({"a5"}));
        EXPECT_GT(step("grown").counts.alreadyLoaded, 0u);
        EXPECT_THAT(statuses_,
                    ::testing::Contains("Status:  Parsing file 'sc_w3c.log' after line 6"));

        // The DNAS chain: the log becomes _1 with lines nobody loaded yet; a new log starts
        // with the same header.
        Append(log, Lines({"a6"}));
        std::filesystem::rename(dir + "/sc_w3c.log", dir + "/sc_w3c_1.log");
        WriteFile(log, kHeader + Lines({"b1", "b2"}));
        EXPECT_EQ(step("rotated").finished, std::vector<std::string>{dir + "/sc_w3c_1.log"});
        EXPECT_THAT(statuses_,
                    ::testing::Contains("Status:  Finishing file 'sc_w3c_1.log' after line 8"));

        // Again, and the oldest falls into a DNAS archive of two gzip members.
        Append(log, Lines({"b3"}));
        std::filesystem::rename(dir + "/sc_w3c_1.log", dir + "/sc_w3c_2.log");
        std::filesystem::rename(dir + "/sc_w3c.log", dir + "/sc_w3c_1.log");
        WriteFile(log, kHeader + Lines({"c1"}));
        step("rotated twice");
        const std::string archive = dir + "/sc_w3c_20240301_w3c.gz";
        WriteFile(archive, Compressed(ReadFile(dir + "/sc_w3c_2.log")) +
                               Compressed(kHeader + Lines({"z1", "z2"})));
        std::filesystem::remove(dir + "/sc_w3c_2.log");
        Append(log, Lines({"c2"}));
        step("archived");

        // logrotate's copytruncate: the copy holds what was loaded and more; the log restarts.
        Append(log, Lines({"c3"}));
        std::filesystem::copy_file(log, log + ".1");
        WriteFile(log, kHeader + Lines({"d1"}));
        step("copied and truncated");

        // Another file under the same name, beginning with the same header.
        std::filesystem::remove(log + ".1");
        WriteFile(log, kHeader + Lines({"e1", "e2"}));
        step("replaced");
        EXPECT_EQ(step("nothing new").counts.Read(), 0u);

        // Emptied by a run that is not incremental (of an empty log here): the positions go with
        // the rows, so the next incremental run loads every file there once more, each line once.
        {
            WriteFile(dir + "/empty.txt", "");
            RunHarness h(db_.connection(), {{dir + "/empty.txt", table_}});
            h.options.truncateOnStart = true;
            EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
        }
        EXPECT_EQ(db_.Count("brenvale_checkpoint WHERE target_table = '" + table_ + "'"), 0);
        Run(log, commitRows);
        const std::vector<std::string> names = Names(db_, table_);
        EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
        EXPECT_GT(names.size(), 2u);
    }
}

TEST_P(IncrementalTest, KilledAnywhereThenRunAgainLoadsEachLineOnce) {
    // The same lines as a plain log, and as an archive of twelve members sharing batches.
    const std::string plain = dir_ + "/sc_w3c.log";
    const std::vector<std::string> names = Numbered("k", 120);
    WriteFile(plain, kHeader + Lines(names));
    std::string members;
    for (std::size_t m = 0; m < 12; ++m)
        members +=
            Compressed(kHeader + LogText({names.begin() + static_cast<std::ptrdiff_t>(m * 10),
                                          names.begin() + static_cast<std::ptrdiff_t>(m * 10 + 10)},
                                         "\r\n"));
    const std::string archive = WriteFile(ScratchDir("killed") + "/sc_w3c.log.gz", members);
    std::mt19937 random(20240301);
    for (int seed = 0; seed < 9; ++seed) {
        SCOPED_TRACE(seed);
        Reset();
        const std::string& log = seed < 6 ? plain : archive;
        const std::size_t commitRows = seed % 2 ? 9 : 1;
        const std::uint64_t at = 2 + random() % 110;
        const bool atYield = seed % 3 == 0;
        const pid_t child = ::fork();
        if (child == 0) {
            // The child has a connection of its own and dies in the middle of its work, as
            // kill -9 would: at a chosen line or yield.
            TestDatabase own(GetParam());
            RunHarness h(own.connection(), {{log, table_}},
                         {.commitRows = commitRows, .incremental = true});
            std::uint64_t lines = 0;
            h.report.hook = [&](LineOutcome outcome, std::uint64_t) {
                if (!atYield && outcome != LineOutcome::Pending && ++lines == at)
                    std::raise(SIGKILL);
            };
            h.clock.step = 300; // every line refreshes the counts, and yields
            h.yielder.action = [&](int call) {
                if (atYield && static_cast<std::uint64_t>(call) == at)
                    std::raise(SIGKILL);
            };
            h.runner.ProcessJobs();
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) || WEXITSTATUS(status) == 0);
        Run(log, commitRows);
        ExpectEachOnce();
    }
}

TEST_P(IncrementalTest, DownloadsAskOnlyForWhatIsNew) {
    HttpServer server;
    const std::string url = server.Url("/sc_w3c.log");
    Reset();
    const std::string half = "192.0.2.10 h3 2006";
    const struct {
        const char* what;
        bool ranges;
        std::string etag;
        std::string append; ///< bytes added to the document first
        bool replace;       ///< a new document behind the address
        bool rangeAsked;
        const char* loaded;     ///< names the step adds to the table
        const char* fails = ""; ///< in the job's failure
        std::function<void(const std::string&, std::size_t, HttpReply&)> odd = {};
    } steps[] = {
        {"first download", true, "\"v1\"", kHeader + Line("h1") + Line("h2") + half, false, false,
         "h1 h2"},
        {"the half line is complete", true, "\"v1\"", Line("h3").substr(half.size()) + Line("h4"),
         false, true, "h3 h4"},
        {"nothing new", true, "\"v1\"", "", false, true, ""},
        // A partial answer that is not exactly the range asked for loads nothing of its body.
        {"a partial answer from before the offset", true, "\"v1\"", Line("j1"), false, true, "",
         "when bytes from",
         [](const std::string& whole, std::size_t from, HttpReply& partial) {
             partial.headers = {{"Content-Range", "bytes " + std::to_string(from - 30) + "-" +
                                                      std::to_string(whole.size() - 1) + "/" +
                                                      std::to_string(whole.size())}};
             partial.chunks = {whole.substr(from - 30)};
         }},
        {"a partial answer longer than its range", true, "\"v1\"", Line("j2"), false, true, "",
         "holds",
         [](const std::string&, std::size_t, HttpReply& partial) {
             partial.chunks.push_back(Line("junk"));
         }},
        {"a partial answer coded unasked", true, "\"v1\"", "", false, true, "", "coded as gzip",
         [](const std::string&, std::size_t, HttpReply& partial) {
             partial.contentEncoding = "gzip";
             partial.chunks = {Compressed(partial.chunks.at(0))};
         }},
        {"a partial answer without a length that runs past its range", true, "\"v1\"", "", false,
         true, "j1 j2", "more bytes",
         [](const std::string&, std::size_t, HttpReply& partial) {
             partial.contentLength = false;
             partial.chunks.push_back(Line("junk"));
         }},
        {"a server without ranges", false, "", Line("h5"), false, true, "h5"},
        {"the validator changed", true, "\"v2\"", Line("h6"), false, true, "h6"},
        {"another document", true, "\"v3\"", kHeader + Line("n1"), true, true, "n1"},
    };
    std::string document;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        document = (step.replace ? std::string() : document) + step.append;
        HttpReply reply;
        reply.chunks = Chunked(document, 100);
        reply.ranges = step.ranges;
        reply.etag = step.etag;
        reply.alterRange = step.odd;
        server.Serve("/sc_w3c.log", reply);
        const std::size_t before = server.Requests().size();
        const JobReport report = Run(url, 5);
        EXPECT_THAT(report.failure, HasSubstr(step.fails));
        EXPECT_EQ(report.failure.empty(), std::string(step.fails).empty()) << report.failure;
        const auto requests = server.Requests();
        ASSERT_GT(requests.size(), before);
        EXPECT_EQ(requests[before].headers.count("range") == 1, step.rangeAsked);
        for (const std::string& name : Words(step.loaded))
            expected_.push_back(name);
        ExpectEachOnce();
    }
}

TEST_P(IncrementalTest, APatternStoresNoLineBeforeItsLineFeed) {
    // Whichever match looks newest, the live file's unfinished last line waits for its end.
    for (const std::string older : {"sc_w3c_1.log", "sc_w3c_20240301_w3c.gz"}) {
        SCOPED_TRACE(older);
        Reset();
        expected_.clear();
        const std::string dir = ScratchDir("pattern"), live = dir + "/sc_w3c.log";
        const std::string rotated = kHeader + Lines({"p1"});
        WriteFile(dir + "/" + older, older.ends_with(".gz") ? Compressed(rotated) : rotated);
        const std::string whole = LogLine("p3");
        WriteFile(live, kHeader + Lines({"p2"}) + whole.substr(0, whole.size() - 1));
        std::filesystem::last_write_time(dir + "/" + older, std::filesystem::last_write_time(live) +
                                                                std::chrono::seconds(5));
        Run(dir + "/sc_w3c*", 1);
        ExpectEachOnce();
        Append(live, whole.substr(whole.size() - 1) + "\r\n");
        expected_.push_back("p3");
        Run(dir + "/sc_w3c*", 1);
        ExpectEachOnce();
        EXPECT_EQ(db_.Query("SELECT bandwidth FROM " + table_ + " WHERE c_dns = 'p3'"),
                  Rows{{"64"}});
    }
}

TEST_P(IncrementalTest, OneLogNamedAnyWayIsLoadedOnce) {
    Reset();
    const std::string dir = ScratchDir("spellings"), log = dir + "/sc_w3c.log";
    WriteFile(log, kHeader + Lines(Numbered("n", 30)));
    // The path, the same path with "/./" and "..", and a pattern that matches it, in one run.
    RunHarness h(
        db_.connection(),
        {{log, table_},
         {dir + "/./sc_w3c.log", table_},
         {dir + "/../" + std::filesystem::path(dir).filename().string() + "/sc_w3c.log", table_},
         {dir + "/sc_w3c*", table_}},
        {.commitRows = 7, .incremental = true});
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    ExpectEachOnce();
    // A job switched from the path to the pattern goes on where the path left off, and back.
    Append(log, Lines({"n30", "n31"}));
    Run(dir + "/sc_w3c*", 7);
    ExpectEachOnce();
    Append(log, Lines({"n32"}));
    Run(log, 1);
    ExpectEachOnce();
}

TEST_P(IncrementalTest, ADamagedPositionStopsItsJobAndTheNextJobLoads) {
    const std::string log = dir_ + "/damaged.log";
    const struct {
        const char* what;
        std::function<void()> damage; ///< before the run
        bool dropMidRun;
        const char* why;
    } cases[] = {
        {"a file cut short by hand", [&] { std::filesystem::resize_file(log, 6000); }, false,
         "lies past the end of the file (6000 bytes)"},
        {"a row that contradicts itself",
         [&] {
             db_.Exec(
                 "UPDATE brenvale_checkpoint SET identity_length = 0 WHERE file_id <> 'claim'");
         },
         false, "contradict each other"},
        {"the position table dropped mid-run", [] {}, true, "brenvale_checkpoint"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        expected_.clear();
        WriteFile(log, kHeader + Lines(Numbered("k", 100)));
        Run(log, 1);
        Append(log, LogText(Numbered("more", 10)));
        c.damage();
        const std::string other =
            WriteLog(std::string("other") + c.what[2] + ".log", kHeader + Lines(Numbered("o", 5)));
        RunHarness h(db_.connection(), {{log, table_}, {other, table_}},
                     {.commitRows = 1, .incremental = true});
        bool drop = c.dropMidRun;
        h.report.hook = [&](LineOutcome, std::uint64_t) {
            if (std::exchange(drop, false))
                TestDatabase(GetParam()).Exec("DROP TABLE brenvale_checkpoint");
        };
        EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
        EXPECT_EQ(h.runner.JobsFailed(), 1);
        ASSERT_FALSE(h.prompts.shown.empty());
        EXPECT_THAT(h.prompts.shown.front().text, ::testing::HasSubstr(c.why));
        // Nothing twice, the next job whole, and of the damaged job what came before the damage.
        const std::vector<std::string> names = Names(db_, table_);
        EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
        EXPECT_THAT(names, ::testing::IsSupersetOf(expected_));
    }
}

TEST_P(IncrementalTest, ATableEmptiedUnderABatchedRunStopsItsJob) {
    // A batched run marks its commits; emptying the table takes the marks along, and the job
    // stops rather than load the second half of its log alone.
    Reset();
    const std::string log = WriteLog("emptied.log", kHeader + LogText(Numbered("e", 40)));
    RunHarness h(db_.connection(), {{log, table_}}, {.commitRows = 4});
    bool empty = true;
    h.report.hook = [&](LineOutcome outcome, std::uint64_t) {
        if (outcome == LineOutcome::Inserted && std::exchange(empty, false)) {
            TestDatabase other(GetParam());
            other.Exec("DELETE FROM " + table_);
            other.Exec("DELETE FROM brenvale_checkpoint WHERE target_table = '" + table_ + "'");
        }
    };
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(h.runner.JobsFailed(), 1);
    ASSERT_EQ(h.prompts.shown.size(), 1u);
    EXPECT_THAT(h.prompts.shown[0].text, HasSubstr("was emptied by another session"));
    EXPECT_EQ(db_.Count(table_), 0);
}

TEST_P(IncrementalTest, AHostileArchiveFailsItsJobAndLoadsOnlyTheMembersCheckedWhole) {
    // Three members; one is damaged, cut, or followed by garbage.
    std::string text[3], member[3];
    for (int i = 0; i < 3; ++i) {
        text[i] = (i == 0 ? kHeader : std::string()) +
                  ListenerLines(Numbered(std::string(1, static_cast<char>('a' + i)), 150),
                                static_cast<unsigned>(i));
        member[i] = Compressed(text[i]);
    }
    const auto flipped = [](std::string bytes, std::size_t at) {
        bytes[at] ^= 0x55;
        return bytes;
    };
    const struct {
        const char* what;
        std::string bytes;
        const char* failure;
        const char* loaded; ///< the prefixes of the names loaded; the cut member's partly
        bool cut;
    } cases[] = {
        {"bad CRC in the middle", member[0] + flipped(member[1], member[1].size() - 8) + member[2],
         "gzip member 2 is damaged", "a", false},
        {"bad length at the end", member[0] + member[1] + flipped(member[2], member[2].size() - 3),
         "gzip member 3 is damaged", "a b", false},
        {"a second magic and an unknown method", member[0] + flipped(member[1], 2) + member[2],
         "gzip member 2 is damaged", "a", false},
        {"trailing garbage", member[0] + member[1] + member[2] + "#Software: SHOUTcast\n",
         "member 3 is followed by bytes that are not gzip data", "a b c", false},
        {"cut inside the last member", member[0] + member[1] + member[2].substr(0, 900),
         "ends in the middle of its data", "a b c", true},
    };
    const std::string path = dir_ + "/sc_w3c.log.gz";
    for (const bool incremental : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (incremental ? ", incremental" : ""));
            Reset();
            WriteFile(path, c.bytes);
            long cutLoaded = -1;
            for (int run = 1; run <= (incremental ? 2 : 1); ++run) {
                SCOPED_TRACE(run);
                RunHarness h(db_.connection(), {{path, table_}},
                             {.commitRows = 1000, .incremental = incremental});
                EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
                EXPECT_EQ(h.runner.JobsFailed(), 1);
                ASSERT_EQ(h.report.Jobs().size(), 1u);
                EXPECT_THAT(h.report.Jobs()[0].failure, HasSubstr(c.failure));
                // Only whole members (and what a cut one holds so far), each line once.
                std::map<char, long> counts, expected;
                for (const std::string& name : Names(db_, table_))
                    ++counts[name[0]];
                for (const std::string& prefix : Words(c.loaded))
                    expected[prefix[0]] = 150;
                if (c.cut) {
                    EXPECT_GT(counts['c'], 0);
                    EXPECT_LT(counts['c'], 150);
                    if (cutLoaded < 0)
                        cutLoaded = counts['c'];
                    expected['c'] = cutLoaded;
                }
                EXPECT_EQ(counts, expected);
                if (c.cut && incremental) {
                    // The cut member's position is its last committed line.
                    const Rows stored = db_.Query("SELECT line_number FROM brenvale_checkpoint "
                                                  "WHERE file_name = '" +
                                                  path + "#3'");
                    EXPECT_EQ(stored, Rows{{std::to_string(cutLoaded)}});
                }
            }
        }
    }
}

TEST_P(IncrementalTest, ADamagedArchiveAmongAPatternsFilesFailsItsJobOnceTheOthersAreIn) {
    // Read whole as it is loaded (nothing is stored yet) or planned first (a second run): the
    // members before the damage and the pattern's other file go in either way, each line once.
    const std::string dir = ScratchDir("damaged-pattern");
    std::string bad = Compressed(ListenerLines(Numbered("b", 40), 2));
    bad[bad.size() - 8] ^= 0x55;
    WriteFile(dir + "/sc_w3c_1.log.gz", Compressed(kHeader + ListenerLines(Numbered("a", 30))) +
                                            bad + Compressed(ListenerLines(Numbered("c", 20), 3)));
    WriteFile(dir + "/sc_w3c_2.log", kHeader + ListenerLines(Numbered("d", 25), 4));
    Reset();
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        RunHarness h(db_.connection(), {{dir + "/sc_w3c*", table_}},
                     {.commitRows = 1000, .incremental = true});
        EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
        ASSERT_EQ(h.report.Jobs().size(), 1u);
        EXPECT_THAT(h.report.Jobs()[0].failure, HasSubstr("gzip member 2 is damaged"));
        std::map<char, long> counts;
        for (const std::string& name : Names(db_, table_))
            ++counts[name[0]];
        EXPECT_EQ(counts, (std::map<char, long>{{'a', 30}, {'d', 25}}));
    }
}

TEST_P(IncrementalTest, TheMembersOfAnArchiveShareBatchesAndEachKeepsItsPosition) {
    // Forty members of ten lines (one refused in member 17), as hourly rotation leaves them,
    // then five more: batches run across members, a commit stores the position of each member
    // it reaches, and a refused line or a table that cannot roll back changes none of it.
    const std::string refused = "192.0.2.10 bad 2006-11-26 13:05:00 /stream 200 a 4096 60 12800";
    const auto member = [&](int m) {
        std::string text = kHeader + Lines(Numbered("m" + std::to_string(m) + "_", 10));
        return m == 17 ? text + refused + "\r\n" : text;
    };
    const std::string path = ScratchDir("members") + "/sc_w3c_20240301_w3c.gz";
    std::vector<std::string> engines = {""};
    if (db_.IsMaria())
        engines.push_back("MyISAM");
    for (const std::size_t commitRows : {std::size_t{1}, std::size_t{25}, std::size_t{1000}})
        for (const std::string& engine : engines) {
            SCOPED_TRACE(std::to_string(commitRows) + " " + engine);
            Reset();
            expected_.clear();
            db_.CreateLogTable(table_, true);
            if (!engine.empty())
                db_.Exec("ALTER TABLE " + table_ + " ENGINE=" + engine);
            std::string archive;
            for (int m = 0; m < 40; ++m)
                archive += Compressed(member(m));
            WriteFile(path, archive);
            RunHarness h(db_.connection(), {{path, table_}},
                         {.commitRows = commitRows, .incremental = true});
            std::string error;
            ASSERT_TRUE(h.report.OpenRejects(dir_ + "/rejects.tsv", error)) << error;
            EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
            ASSERT_TRUE(h.report.CloseRejects(error)) << error;
            const LineCounts& first = h.report.Total();
            EXPECT_EQ(std::pair(first.inserted, first.refused), std::pair(400ul, 1ul));
            ExpectEachOnce();
            // Named with its own member, though its batch ran on into later ones.
            EXPECT_THAT(ReadFile(dir_ + "/rejects.tsv"),
                        ::testing::HasSubstr(path + "#18\t" + table_ + "\t14\trefused"));
            const std::string positions =
                "brenvale_checkpoint WHERE target_table = '" + table_ + "' AND file_id <> 'claim'";
            EXPECT_EQ(db_.Count(positions), 40);
            // One commit a batch, however many members it reaches.
            const Rows claim = db_.Query("SELECT line_number FROM brenvale_checkpoint WHERE "
                                         "target_table = '" +
                                         table_ + "' AND file_id = 'claim'");
            ASSERT_EQ(claim.size(), 1u);
            if (commitRows == 1000 && engine.empty()) {
                EXPECT_EQ(claim[0][0], "1");
            }

            for (int m = 40; m < 45; ++m)
                archive += Compressed(member(m));
            WriteFile(path, archive);
            EXPECT_EQ(Run(path, commitRows).counts.inserted, 50u);
            EXPECT_EQ(Run(path, commitRows).counts.Read(), 0u);
            ExpectEachOnce();
            EXPECT_EQ(db_.Count(positions), 45);
        }
}

TEST_P(IncrementalTest, ACancelWhilePlanningAnArchiveLoadsNothing) {
    std::string archive;
    for (int i = 0; i < 2000; ++i)
        archive += Compressed(kHeader + LogLine("m" + std::to_string(i)) + "\r\n");
    const std::string path = WriteLog("sc_w3c_20240301_w3c.gz", archive);
    Reset();
    RunHarness h(db_.connection(), {{path, table_}}, {.commitRows = 100, .incremental = true});
    h.clock.step = 300; // every look at the clock is time to yield
    h.yielder.action = [&](int call) {
        if (call == 3) // after the run's and the job's own yields: inside the planning
            h.state.bCancel = true;
    };
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Cancelled);
    EXPECT_EQ(db_.Count(table_), 0);
}

TEST(PlanIncremental, TwentyThousandSmallMembersArePlannedAndKnownAgainInTurn) {
    // Each member a stream of its own, half of them loaded before: planning stays linear.
    std::string bytes;
    std::vector<SourcePosition> positions;
    for (int i = 0; i < 20000; ++i) {
        const std::string text = ListenerLines({"m" + std::to_string(i)}, static_cast<unsigned>(i));
        bytes += Compressed(text);
        if (i % 2 == 0) {
            SourcePosition known;
            known.fileId = "f" + std::to_string(i);
            known.line = 1;
            known.offset = known.identityLength = text.size();
            known.identityHash = known.prefixHash = HashBytes(text);
            positions.push_back(known);
        }
    }
    const std::string path = WriteFile(ScratchDir("plan") + "/sc_w3c.log.gz", bytes);
    std::string error;
    const std::vector<PlannedStream> plan = PlanIncremental({{path, 0, true, 0}}, positions, error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(plan.size(), 20000u);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        ASSERT_EQ(plan[i].stream.member, static_cast<int>(i));
        ASSERT_EQ(plan[i].isNew, i % 2 == 1) << i;
        ASSERT_EQ(plan[i].position.fileId,
                  i % 2 ? plan[i].position.fileId : "f" + std::to_string(i));
    }
}

class RestartTest : public IncrementalTest {};

TEST_P(RestartTest, ADatabaseStoppedMidRunIsReconnectedAndNothingIsLostOrDoubled) {
    const std::string log = dir_ + "/restart.log";
    WriteFile(log, kHeader + Lines(Numbered("r", 60)));
    const bool postgres = db_.IsPostgres();
    for (const auto& [commitRows, incremental] :
         {std::pair<std::size_t, bool>{1, false}, {8, false}, {8, true}}) {
        SCOPED_TRACE(std::to_string(commitRows) + (incremental ? " incremental" : ""));
        Reset();
        {
            TestDatabase own(GetParam());
            RunHarness h(own.connection(), {{log, table_}},
                         {.commitRows = commitRows, .incremental = incremental});
            int lines = 0;
            h.report.hook = [&](LineOutcome, std::uint64_t) {
                if (++lines == 25) {
                    EXPECT_TRUE(ControlServer(postgres ? "pg-stop" : "maria-stop"));
                }
            };
            int attempts = 0;
            h.runner.SetReconnectWait([&](int) {
                if (++attempts == 2) {
                    EXPECT_TRUE(ControlServer(postgres ? "pg-start" : "maria-start"));
                }
            });
            EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
            EXPECT_GE(attempts, 2);
        }
        TestDatabase after(GetParam());
        ExpectEachOnce(&after);
    }
}

TEST_P(RestartTest, ACrashThatTakesBackLazyCommitsHasTheirLinesLoadedAgainAndCountedOnce) {
    if (!db_.IsPostgres())
        GTEST_SKIP() << "only PostgreSQL's batches commit without waiting for the disk";
    // The server keeps its WAL unwritten for seconds: incremental commits just before the crash
    // are lost with their positions, and the run goes back to the last one it kept. Without
    // positions every commit waits for the disk.
    const std::string log = WriteLog("crash.log", kHeader + Lines(Numbered("k", 600)));
    for (const bool incremental : {false, true}) {
        SCOPED_TRACE(incremental ? "incremental" : "plain");
        Reset();
        {
            TestDatabase own(GetParam());
            RunHarness h(own.connection(), {{log, table_}},
                         {.commitRows = 20, .incremental = incremental});
            int lines = 0;
            h.report.hook = [&](LineOutcome, std::uint64_t) {
                if (++lines == 300) {
                    EXPECT_TRUE(ControlServer("pg-crash"));
                }
            };
            int attempts = 0;
            h.runner.SetReconnectWait([&](int) {
                if (++attempts == 1) {
                    EXPECT_TRUE(ControlServer("pg-start"));
                }
            });
            EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
            EXPECT_GE(attempts, 1);
            EXPECT_EQ(h.report.Total().inserted, 600u);
            EXPECT_EQ(h.report.Total().alreadyLoaded, 0u); // this run loaded every line
            EXPECT_EQ(h.report.RejectsWritten(), 0u);
        }
        TestDatabase after(GetParam());
        ExpectEachOnce(&after);
    }
    // Nothing is left for a later run (on a connection made after the crash).
    TestDatabase again(GetParam());
    RunHarness h(again.connection(), {{log, table_}}, {.commitRows = 20, .incremental = true});
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(h.report.Total().inserted, 0u);
}

TEST_P(RestartTest, AConnectionLostAtACommitOrASavepointNeitherLosesNorDoublesALine) {
    // A plain log, and an archive of four members whose batches run across the members.
    const std::string plain = WriteLog("cut.log", kHeader + Lines(Numbered("c", 40)));
    std::string members;
    std::vector<std::string> inArchive;
    for (int m = 0; m < 4; ++m) {
        const std::vector<std::string> names = Numbered("m" + std::to_string(m) + "_", 10);
        members += Compressed(kHeader + LogText(names));
        inArchive.insert(inArchive.end(), names.begin(), names.end());
    }
    std::sort(inArchive.begin(), inArchive.end());
    // In a folder of its own: beside cut.log it would be taken for its archive.
    const std::string archive = WriteFile(ScratchDir("cut_archive") + "/sc_w3c.log.gz", members);
    CutProxy proxy(static_cast<std::uint16_t>(std::stoi(
        std::getenv(db_.IsPostgres() ? "BRENVALE_TEST_PG_PORT" : "BRENVALE_TEST_MARIA_PORT"))));
    // Every statement of the run goes through the relay (COPY would take a way of its own).
    const std::string through = "DSN=" + GetParam() + ";Port=" + std::to_string(proxy.Port());
    int cuts = 0;
    // A connection lost at a savepoint, which psqlODBC words as its own failure; MariaDB's
    // driver undoes a statement without one.
    for (const auto& [word, afterServer] :
         {std::pair{"COMMIT", true}, std::pair{"COMMIT", false}, std::pair{"SAVEPOINT", false}})
        for (const auto& [commitRows, incremental, log] :
             {std::tuple<std::size_t, bool, std::string>{7, false, plain},
              {1, true, plain},
              {7, true, plain},
              {7, false, archive},
              {7, true, archive}}) {
            SCOPED_TRACE(std::to_string(commitRows) + (incremental ? " incremental, " : ", ") +
                         word + (afterServer ? " answered, " : " unsent, ") + log);
            if (std::string_view(word) == "SAVEPOINT" && !db_.IsPostgres())
                continue;
            Reset();
            TestDatabase own(GetParam(), through);
            RunHarness h(
                own.connection(), {{log, table_}},
                {.commitRows = commitRows, .incremental = incremental, .allowNative = false});
            h.runner.SetReconnectWait([](int) {});
            proxy.Cut(word, 3, afterServer);
            EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
            EXPECT_EQ(proxy.Cuts(), ++cuts);
            EXPECT_EQ(h.report.Total().inserted, 40u);
            EXPECT_EQ(h.report.Total().inDoubt, 0u);
            if (log == plain)
                ExpectEachOnce();
            else
                EXPECT_EQ(Names(db_, table_), inArchive);
            // Every member's position went with its lines.
            if (incremental) {
                RunHarness again(own.connection(), {{log, table_}},
                                 {.commitRows = commitRows, .incremental = true});
                EXPECT_EQ(again.runner.ProcessJobs(), RunResult::Completed);
                EXPECT_EQ(again.report.Total().Read(), 0u);
            }
        }

    // Row by row without positions nothing can be asked: the line in flight is sent again and
    // said to be in doubt, and no line is lost.
    Reset();
    TestDatabase own(GetParam(), through);
    RunHarness h(own.connection(), {{plain, table_}}, {.allowNative = false});
    h.runner.SetReconnectWait([](int) {});
    proxy.Cut("INSERT", 1, true); // prepared once: its text goes out with the first row
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(proxy.Cuts(), ++cuts);
    EXPECT_EQ(h.report.Total().inDoubt, 1u);
    std::vector<std::string> names = Names(db_, table_);
    EXPECT_LE(names.size(), expected_.size() + 1);
    names.erase(std::unique(names.begin(), names.end()), names.end());
    EXPECT_THAT(names, ::testing::UnorderedElementsAreArray(expected_));
}

TEST_P(RestartTest, ARollbackThatFailsStopsTheBatchAndTheRunGoesOnFromTheDatabase) {
    // A refused line makes the batch roll back; the relay loses that ROLLBACK (or the driver's
    // own undo of the refused statement) before the server sees it.
    const std::string refused = "192.0.2.10 bad 2006-11-26 13:05:00 /stream 200 a 4096 60 12800";
    const std::string log = WriteLog("undo.log", kHeader + Lines(Numbered("u", 10)) + refused +
                                                     "\r\n" + Lines(Numbered("v", 10)));
    CutProxy proxy(static_cast<std::uint16_t>(std::stoi(
        std::getenv(db_.IsPostgres() ? "BRENVALE_TEST_PG_PORT" : "BRENVALE_TEST_MARIA_PORT"))));
    const std::string through = "DSN=" + GetParam() + ";Port=" + std::to_string(proxy.Port());
    for (const bool incremental : {false, true}) {
        SCOPED_TRACE(incremental ? "incremental" : "plain");
        Reset();
        db_.CreateLogTable(table_, true);
        TestDatabase own(GetParam(), through);
        RunHarness h(own.connection(), {{log, table_}},
                     {.commitRows = 7, .incremental = incremental, .allowNative = false});
        h.runner.SetReconnectWait([](int) {});
        const int before = proxy.Cuts();
        proxy.Cut("ROLLBACK", 1, false);
        EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
        EXPECT_EQ(proxy.Cuts(), before + 1);
        EXPECT_EQ(h.report.Total().inserted, 20u);
        EXPECT_EQ(h.report.Total().refused, 1u);
        EXPECT_EQ(h.report.Total().inDoubt, 0u);
        ExpectEachOnce();
    }
}

INSTANTIATE_FOR_DATABASES(IncrementalTest);
INSTANTIATE_FOR_SERVERS(RestartTest);

} // namespace
} // namespace brenvale::test

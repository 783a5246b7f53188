// Downloads from a real HTTP server on 127.0.0.1, on their own and loaded through the runner.
#include "core/http_client.h"

#include "core/line_splitter.h"
#include "core/run_harness.h"
#include "support/http_server.h"
#include "support/test_support.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace brenvale::test {
namespace {

using NameList = std::vector<std::string>;

HttpReply Body(std::vector<std::string> chunks, int status = 200) {
    HttpReply reply;
    reply.status = status;
    reply.chunks = std::move(chunks);
    return reply;
}

/// `text` sent with Content-Encoding `encoding`, made with `windowBits` (0: as it is), in
/// chunks of 64 bytes.
HttpReply Encoded(const std::string& encoding, int windowBits, const std::string& text) {
    HttpReply reply;
    reply.contentEncoding = encoding;
    reply.chunks = Chunked(windowBits == 0 ? text : Compressed(text, windowBits), 64);
    return reply;
}

/// On SQLite only: what a download does to a run is the same on every database.
class HttpRunTest : public ::testing::Test {
protected:
    /// A run of one job per address, all into `table`, made afresh.
    std::unique_ptr<RunHarness> MakeRun(const std::string& table,
                                        const std::vector<std::string>& urls) {
        db_.CreateLogTable(table);
        std::vector<Job> jobs;
        for (const std::string& url : urls)
            jobs.push_back({url, table});
        return std::make_unique<RunHarness>(db_.connection(), jobs);
    }

    TestDatabase db_{kSqliteDsn};
    HttpServer server_;
};

TEST_F(HttpRunTest, EachAddressLoadsItsLinesOrFailsQuietlyOnItsOwn) {
    const ClosedPort closed;
    server_.Serve("/logs/access.log", Body({LogText({"d1", "d2"})}));
    // Error pages that look like logs, so only the status keeps them out.
    server_.Serve("/gone.log", Body({LogText({"e1"})}, 404));
    server_.Serve("/broken.log", Body({LogText({"e2"})}, 500));
    server_.Redirect("/old.log", "/new.log");
    server_.Redirect("/moved.log", server_.Url("/new.log"), 301);
    server_.Serve("/new.log", Body({LogText({"n1"})}));
    const std::string local = ScratchDir("redirect") + "/local.log";
    WriteFile(local, LogText({"f1"}));
    server_.Redirect("/leak.log", "file://" + local);
    // A last line without a line feed is a line, unless the server closed before the length it
    // announced: "s2" is cut, not a line.
    server_.Serve("/sized.log", Body({LogLine("l1") + "\n" + LogLine("l2")}));
    HttpReply unsized = Body({LogLine("c1") + "\n" + LogLine("c2")});
    unsized.contentLength = false;
    server_.Serve("/closed.log", unsized);
    HttpReply cut = Body({"\xEF\xBB\xBF" + LogLine("s1") + "\n" + LogLine("s2").substr(0, 60)});
    cut.missingBytes = 10;
    server_.Serve("/cut.log", cut);
    const std::string huge = LogLine(std::string(LineSplitter::kDefaultMaxLine + 512, 'x'));
    server_.Serve("/long.log", Body({LogLine("o1") + "\n" + huge.substr(0, 5000),
                                     huge.substr(5000) + "\n" + LogLine("o2")}));
    // A gzip document whose second member (of many pieces) fails its CRC: none of its lines.
    std::string damaged = Compressed(ListenerLines(Numbered("y", 300)));
    damaged[damaged.size() - 8] ^= 0x55;
    server_.Serve("/damaged.log.gz", Body({Compressed(kHeader + LogText({"z1"})) + damaged}));
    std::vector<std::string> urls = {"http://127.0.0.1:" + std::to_string(closed.Port()) + "/x"};
    for (const char* path :
         {"/logs/access.log", "/gone.log", "/broken.log", "/old.log", "/moved.log", "/leak.log",
          "/sized.log", "/closed.log", "/cut.log", "/long.log", "/damaged.log.gz"})
        urls.push_back(server_.Url(path));
    auto h = MakeRun("ht_each", urls);
    EXPECT_EQ(h->runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(Names(db_, "ht_each"),
              (NameList{"c1", "c2", "d1", "d2", "l1", "l2", "n1", "n1", "o1", "o2", "s1", "z1"}));
    EXPECT_EQ(db_.Query("SELECT c_ip FROM ht_each WHERE c_dns = 's1'"), Rows{{"192.0.2.10"}})
        << "the byte-order mark is not data";
    // The closed port, both error statuses, the file, the cut body and the damaged member.
    EXPECT_EQ(h->runner.JobsFailed(), 6);
    EXPECT_THAT(h->report.Jobs().back().failure, HasSubstr("gzip member 2 is damaged"));
    EXPECT_TRUE(h->prompts.shown.empty());
    EXPECT_EQ(h->report.Total().incomplete, 1u);
    EXPECT_EQ(h->report.Total().longLines, 1u);
    EXPECT_EQ(h->status.statusHistory[2], "Status:  Parsing file 'access.log'");
    const auto requests = server_.Requests();
    ASSERT_EQ(requests.size(), 13u) << "each redirect followed once, none to the file";
    EXPECT_EQ(requests[0].line, "GET /logs/access.log HTTP/1.1");
    EXPECT_EQ(requests[4].line, "GET /new.log HTTP/1.1");
    for (const HttpRequest& request : requests) {
        EXPECT_EQ(request.headers.at("user-agent"), "Quorvane Brenvale/0.5.6");
        EXPECT_EQ(request.headers.at("cache-control"), "no-cache");
    }
    EXPECT_TRUE(h->Idle());
}

TEST_F(HttpRunTest, LinesLoadAsTheyArriveAndACrLfSplitBetweenPiecesLeavesNoCr) {
    const std::string third = LogLine("p3");
    const std::vector<std::string> pieces = {LogLine("p1") + "\r\n" + LogLine("p2") + "\r",
                                             "\n" + third.substr(0, 20), third.substr(20) + "\r\n"};
    HttpReply reply = Body(pieces);
    reply.pauses = {{1, "lf"}};
    server_.Serve("/split.log", reply);
    auto h = MakeRun("ht_split", {server_.Url("/split.log")});
    // The rest is sent only once the first line was loaded.
    h->yielder.action = [&](int) {
        if (server_.Reached("lf") && h->state.RecordsThisFile >= 1)
            server_.Release("lf");
    };
    EXPECT_EQ(h->runner.ProcessJobs(), RunResult::Completed);
    const Rows expected = {{"p1", "64"}, {"p2", "64"}, {"p3", "64"}};
    EXPECT_EQ(db_.Query("SELECT c_dns, bandwidth FROM ht_split ORDER BY c_dns"), expected);
    // The file's progress counts the bytes of the length the server announced, piece by piece.
    std::uint64_t length = 0;
    for (const std::string& piece : pieces)
        length += piece.size();
    const auto& progress = h->status.fileProgress;
    ASSERT_GE(progress.size(), 3u);
    EXPECT_EQ(progress.front(), std::make_pair(std::uint64_t{0}, std::uint64_t{0}));
    EXPECT_EQ(progress.back(), std::make_pair(length, length));
    EXPECT_EQ(progress[1], std::make_pair(std::uint64_t{pieces[0].size()}, length));
}

TEST_F(HttpRunTest, CancelWhileTheServerStallsEndsTheRun) {
    HttpReply reply = Body({LogText({"s1", "s2"}), LogText({"s3"})});
    reply.pauses = {{1, "stall"}};
    server_.Serve("/stall.log", reply);
    server_.Serve("/next.log", Body({LogText({"x1"})}));
    auto h = MakeRun("ht_stall", {server_.Url("/stall.log"), server_.Url("/next.log")});
    // Cancel confirmed while the server holds the rest back. The yield after the piece that
    // brought the two lines is passed over, so only a yield made while waiting can see it.
    int piecesYield = 0;
    h->yielder.action = [&](int call) {
        if (h->state.RecordsThisFile < 2)
            return;
        if (piecesYield == 0)
            piecesYield = call;
        else if (server_.Reached("stall"))
            h->state.bCancel = true;
    };
    // The server is never released, so returning at all shows the wait was given up.
    EXPECT_EQ(h->runner.ProcessJobs(), RunResult::Cancelled);
    EXPECT_EQ(Names(db_, "ht_stall"), (NameList{"s1", "s2"}));
    EXPECT_EQ(server_.Requests().size(), 1u);
    EXPECT_TRUE(h->Idle());
}

TEST(HttpGet, BodyArrivesDecodedInPiecesOfAtMost4096Bytes) {
    HttpServer server;
    const std::string body = LogText(Numbered("big", 200));
    ASSERT_GT(body.size(), 3 * 4096u);
    const struct {
        const char* encoding;
        int windowBits; ///< as for Compressed; 0 sends the text as it is
    } cases[] = {{"", 0}, {"gzip", 31}, {"deflate", 15}, {"deflate", -15 /* as some send it */}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.encoding) + " " + std::to_string(c.windowBits));
        server.Serve("/big.log", Encoded(c.encoding, c.windowBits, body));
        std::string received;
        std::size_t largest = 0;
        const HttpOutcome outcome = HttpGet(
            server.Url("/big.log"), "agent",
            [&](std::string_view piece) {
                received.append(piece);
                largest = std::max(largest, piece.size());
                return true;
            },
            [] { return true; });
        EXPECT_TRUE(outcome.ok) << outcome.error;
        EXPECT_EQ(outcome.status, 200);
        EXPECT_TRUE(received == body) << received.size() << " bytes";
        EXPECT_LE(largest, 4096u);
        EXPECT_THAT(server.Requests().back().headers["accept-encoding"], HasSubstr(c.encoding));
    }
}

TEST(HttpGet, FailedDownloadDeliversNothingAndSaysWhy) {
    HttpServer server;
    server.Serve("/claims-gzip.log", Encoded("gzip", 0, LogText({"g1", "g2"})));
    HttpReply partial = Body({LogText({"p1"})}, 206);
    partial.headers = {{"Content-Range", "bytes 0-999/1000"}};
    server.Serve("/partial.log", partial);
    const struct {
        const char* path;
        long status;
        const char* says;
        const char* reason;
    } cases[] = {
        {"/nothing-here", 404, "404", "an error status"},
        {"/claims-gzip.log", 200, "gzip", "a body that claims gzip and is not"},
        {"/partial.log", 206, "the whole was asked for", "a part when the whole was asked for"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        bool delivered = false;
        const HttpOutcome outcome = HttpGet(
            server.Url(c.path), "agent",
            [&](std::string_view) {
                delivered = true;
                return true;
            },
            [] { return true; });
        EXPECT_FALSE(outcome.ok);
        EXPECT_FALSE(outcome.stopped);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_FALSE(delivered);
        EXPECT_THAT(outcome.error, HasSubstr(c.says));
    }
}

/// Each job's counts as they stood when the job ended, which is when a summary prints them.
struct CountsAtJobEnd final : RunReport {
    using RunReport::RunReport;
    std::vector<std::uint64_t> inserted;
    void OnJobEnd(int position, const Job& job, const std::string& failure) override {
        RunReport::OnJobEnd(position, job, failure);
        inserted.push_back(Jobs().back().counts.inserted);
    }
};

TEST_F(HttpRunTest, ADownloadCutShortInABatchCountsItsStoredLinesInItsOwnJob) {
    HttpReply cut = Body({LogText({"b1", "b2", "b3"}) + LogLine("b4").substr(0, 30)});
    cut.missingBytes = 10;
    server_.Serve("/cut.log", cut);
    db_.CreateLogTable("ht_batch");
    RunHarness h(db_.connection(),
                 {{server_.Url("/cut.log"), "ht_batch"}, {server_.Url("/cut.log"), "ht_batch"}},
                 {.commitRows = 1000});
    CountsAtJobEnd report(h.clock);
    h.runner.SetObserver(&report);
    EXPECT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(h.runner.JobsFailed(), 2);
    EXPECT_EQ(report.inserted, (std::vector<std::uint64_t>{3, 3}));
    EXPECT_EQ(db_.Count("ht_batch"), 6);
}

} // namespace
} // namespace brenvale::test

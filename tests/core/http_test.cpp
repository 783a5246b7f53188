// Downloads from a real HTTP server on 127.0.0.1, loaded through the runner into real databases.
#include "core/http_client.h"

#include "core/line_splitter.h"
#include "core/run_harness.h"
#include "core/run_report.h"
#include "support/http_server.h"
#include "support/test_support.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace brenvale::test {
namespace {

using NameList = std::vector<std::string>;

HttpReply Body(std::vector<std::string> chunks) {
    HttpReply reply;
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

NameList Numbered(const std::string& prefix, int count) {
    NameList names;
    for (int i = 0; i < count; ++i)
        names.push_back(prefix + std::to_string(i));
    return names;
}

class HttpRunTest : public PerDatabase {
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

    TestDatabase db_{GetParam()};
    HttpServer server_;
};

TEST_P(HttpRunTest, DocumentIsLoadedWithTheProgramsUserAgent) {
    server_.Serve("/logs/access.log", Body({LogText({"d1", "d2", "d3"})}));
    auto h = MakeRun("ht_doc", {server_.Url("/logs/access.log")});
    EXPECT_EQ(h->runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(Names(db_, "ht_doc"), (NameList{"d1", "d2", "d3"}));
    EXPECT_EQ(h->status.statusHistory.back(), "Status:  Parsing file 'access.log'");
    const auto requests = server_.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].line, "GET /logs/access.log HTTP/1.1");
    EXPECT_EQ(requests[0].headers.at("user-agent"), "Quorvane Brenvale/0.5.6");
    EXPECT_EQ(requests[0].headers.at("cache-control"), "no-cache");
    EXPECT_TRUE(h->prompts.shown.empty());
    EXPECT_TRUE(h->Idle());
}

TEST_P(HttpRunTest, LineSplitAcrossPiecesIsLoadedOnceWhole) {
    const std::string second = LogLine("p2");
    HttpReply reply = Body({LogLine("p1") + "\n" + second.substr(0, 20),
                            second.substr(20) + "\n" + LogLine("p3") + "\n"});
    reply.pauses = {{1, "half"}};
    server_.Serve("/split.log", reply);
    auto h = MakeRun("ht_split", {server_.Url("/split.log")});
    // The rest of the line is sent only after the first piece was taken in.
    h->yielder.action = [&](int) {
        if (server_.Reached("half") && h->state.RecordsThisFile >= 1)
            server_.Release("half");
    };
    EXPECT_EQ(h->runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(Names(db_, "ht_split"), (NameList{"p1", "p2", "p3"}));
}

TEST_P(HttpRunTest, CrLfLineEndsLeaveNoCrEvenSplitBetweenPieces) {
    HttpReply reply =
        Body({LogLine("r1") + "\r\n" + LogLine("r2") + "\r", "\n" + LogLine("r3") + "\r\n"});
    reply.pauses = {{1, "lf"}};
    server_.Serve("/crlf.log", reply);
    auto h = MakeRun("ht_crlf", {server_.Url("/crlf.log")});
    h->yielder.action = [&](int) {
        if (server_.Reached("lf") && h->state.RecordsThisFile >= 1)
            server_.Release("lf");
    };
    EXPECT_EQ(h->runner.ProcessJobs(), RunResult::Completed);
    const Rows expected = {{"r1", "64"}, {"r2", "64"}, {"r3", "64"}};
    EXPECT_EQ(db_.Query("SELECT c_dns, bandwidth FROM ht_crlf ORDER BY c_dns"), expected);
}

TEST_P(HttpRunTest, UnreachablePortLoadsNothingQuietlyAndTheNextJobRuns) {
    server_.Serve("/live.log", Body({LogText({"v1"})}));
    const ClosedPort closed;
    auto h =
        MakeRun("ht_unreach", {"http://127.0.0.1:" + std::to_string(closed.Port()) + "/dead.log",
                               server_.Url("/live.log")});
    EXPECT_EQ(h->runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(Names(db_, "ht_unreach"), NameList{"v1"});
    EXPECT_TRUE(h->prompts.shown.empty());
    EXPECT_EQ(h->runner.JobsFailed(), 1);
    EXPECT_TRUE(h->Idle());
}

TEST_P(HttpRunTest, ErrorStatusLoadsNothing) {
    // Error pages that look like logs, so only the status keeps them out.
    HttpReply notFound = Body({LogText({"e1"})});
    notFound.status = 404;
    HttpReply failed = Body({LogText({"e2"})});
    failed.status = 500;
    server_.Serve("/gone.log", notFound);
    server_.Serve("/broken.log", failed);
    auto h = MakeRun("ht_status", {server_.Url("/gone.log"), server_.Url("/broken.log")});
    EXPECT_EQ(h->runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(db_.Count("ht_status"), 0);
    EXPECT_EQ(server_.Requests().size(), 2u);
    EXPECT_TRUE(h->prompts.shown.empty());
    EXPECT_EQ(h->runner.JobsFailed(), 2);
}

TEST_P(HttpRunTest, RedirectsAreFollowed) {
    server_.Redirect("/old.log", "/new.log");
    server_.Redirect("/moved.log", server_.Url("/new.log"), 301);
    server_.Serve("/new.log", Body({LogText({"n1", "n2"})}));
    auto h = MakeRun("ht_redir", {server_.Url("/old.log"), server_.Url("/moved.log")});
    EXPECT_EQ(h->runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(Names(db_, "ht_redir"), (NameList{"n1", "n1", "n2", "n2"}));
    const auto requests = server_.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].line, "GET /new.log HTTP/1.1");
    EXPECT_EQ(requests[1].headers.at("user-agent"), "Quorvane Brenvale/0.5.6");
}

TEST_P(HttpRunTest, RedirectToAFileIsRefused) {
    const std::string path = ScratchDir("redirect") + "/local.log";
    WriteFile(path, LogText({"f1"}));
    server_.Redirect("/leak.log", "file://" + path);
    auto h = MakeRun("ht_redir_file", {server_.Url("/leak.log")});
    EXPECT_EQ(h->runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(db_.Count("ht_redir_file"), 0);
    EXPECT_EQ(server_.Requests().size(), 1u);
    EXPECT_TRUE(h->prompts.shown.empty());
}

TEST_P(HttpRunTest, CancelWhileTheServerStallsEndsTheRun) {
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

TEST_P(HttpRunTest, LastLineWithoutLineFeedIsLoadedUnlessTheBodyWasCutShort) {
    server_.Serve("/sized.log", Body({LogLine("l1") + "\n" + LogLine("l2")}));
    HttpReply unsized = Body({LogLine("c1") + "\n" + LogLine("c2")});
    unsized.contentLength = false;
    server_.Serve("/closed.log", unsized);
    // The server closes before the length it announced: "s2" is cut, not a line.
    HttpReply cut = Body({"\xEF\xBB\xBF" + LogLine("s1") + "\n" + LogLine("s2").substr(0, 60)});
    cut.missingBytes = 10;
    server_.Serve("/cut.log", cut);
    auto h = MakeRun("ht_nolf", {server_.Url("/sized.log"), server_.Url("/closed.log"),
                                 server_.Url("/cut.log")});
    RunReport report(h->clock);
    h->runner.SetObserver(&report);
    EXPECT_EQ(h->runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(Names(db_, "ht_nolf"), (NameList{"c1", "c2", "l1", "l2", "s1"}));
    EXPECT_EQ(report.Total().incomplete, 1u);
    EXPECT_EQ(h->runner.JobsFailed(), 1);
}

TEST_P(HttpRunTest, OverLongLineIsSkippedAndTheNextLinesLoad) {
    const std::string huge = LogLine(std::string(LineSplitter::kDefaultMaxLine + 512, 'x'));
    server_.Serve("/long.log",
                  Body({LogLine("o1") + "\n" + huge.substr(0, 5000),
                        huge.substr(5000) + "\n" + LogLine("o3") + "\n" + LogLine("o4")}));
    auto h = MakeRun("ht_long", {server_.Url("/long.log")});
    LongLineCounter observer;
    h->runner.SetObserver(&observer);
    EXPECT_EQ(h->runner.ProcessJobs(), RunResult::Completed);
    EXPECT_EQ(Names(db_, "ht_long"), (NameList{"o1", "o3", "o4"}));
    EXPECT_EQ(observer.longLines, 1u);
}

TEST_P(HttpRunTest, CompressedBodiesLoadTheirLinesAndOneThatCannotBeDecodedNothing) {
    const NameList gzipNames = Numbered("gz", 80);
    const NameList deflateNames = Numbered("df", 80);
    server_.Serve("/gzip.log", Encoded("gzip", 31, LogText(gzipNames)));
    server_.Serve("/deflate.log", Encoded("deflate", 15, LogText(deflateNames)));
    server_.Serve("/claims-gzip.log", Encoded("gzip", 0, LogText({"bad"})));
    auto h = MakeRun("ht_encoded", {server_.Url("/gzip.log"), server_.Url("/claims-gzip.log"),
                                    server_.Url("/deflate.log")});
    EXPECT_EQ(h->runner.ProcessJobs(), RunResult::Completed);
    NameList expected = gzipNames;
    expected.insert(expected.end(), deflateNames.begin(), deflateNames.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(db_, "ht_encoded"), expected);
    EXPECT_EQ(h->runner.JobsFailed(), 1);
}

INSTANTIATE_FOR_DATABASES(HttpRunTest);

struct EncodingCase {
    const char* encoding;
    int windowBits; ///< as for Compressed; 0 sends the text as it is
    const char* reason;
};

void PrintTo(const EncodingCase& c, std::ostream* out) {
    *out << c.reason;
}

class HttpGetEncoding : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(HttpGetEncoding, BodyArrivesDecodedInPiecesOfAtMost4096Bytes) {
    const EncodingCase& c = GetParam();
    HttpServer server;
    const std::string body = LogText(Numbered("big", 200));
    ASSERT_GT(body.size(), 3 * 4096u);
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
    EXPECT_TRUE(outcome.ok) << c.reason << ": " << outcome.error;
    EXPECT_EQ(outcome.status, 200);
    EXPECT_TRUE(received == body) << c.reason << ": " << received.size() << " bytes";
    EXPECT_LE(largest, 4096u) << c.reason;
    EXPECT_NE(server.Requests().at(0).headers["accept-encoding"].find(c.encoding),
              std::string::npos)
        << c.reason << ": the encoding is offered";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpGetEncoding,
    ::testing::Values(EncodingCase{"", 0, "plain"}, EncodingCase{"gzip", 31, "gzip"},
                      EncodingCase{"deflate", 15, "deflate"},
                      EncodingCase{"deflate", -15, "raw deflate as some servers send it"}));

TEST(HttpGet, CrAndLfInSeparatePiecesMakeOneLineEnd) {
    HttpServer server;
    HttpReply reply = Body({"a\r\nb\r", "\nc\r\n"});
    reply.pauses = {{1, "lf"}};
    server.Serve("/crlf.log", reply);
    LineSplitter splitter;
    std::vector<std::string> lines;
    std::string received;
    std::string receivedAtRelease;
    const HttpOutcome outcome = HttpGet(
        server.Url("/crlf.log"), "agent",
        [&](std::string_view piece) {
            received.append(piece);
            splitter.Feed(
                piece,
                [&](std::string_view line, const LineMark&) {
                    lines.emplace_back(line);
                    return true;
                },
                [](const LineMark&) { return true; });
            // The LF goes out only once the piece ending in CR has been handed on.
            if (receivedAtRelease.empty() && received.size() >= reply.chunks[0].size()) {
                receivedAtRelease = received;
                server.Release("lf");
            }
            return true;
        },
        [] { return true; });
    EXPECT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(receivedAtRelease, reply.chunks[0]);
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(HttpGet, FailedDownloadDeliversNothingAndSaysWhy) {
    HttpServer server;
    server.Serve("/claims-gzip.log", Encoded("gzip", 0, LogText({"g1", "g2"})));
    const struct {
        const char* path;
        long status;
        const char* says;
        const char* reason;
    } cases[] = {
        {"/nothing-here", 404, "404", "an error status"},
        {"/claims-gzip.log", 200, "gzip", "a body that claims gzip and is not"},
    };
    for (const auto& c : cases) {
        bool delivered = false;
        const HttpOutcome outcome = HttpGet(
            server.Url(c.path), "agent",
            [&](std::string_view) {
                delivered = true;
                return true;
            },
            [] { return true; });
        EXPECT_FALSE(outcome.ok) << c.reason;
        EXPECT_FALSE(outcome.stopped) << c.reason;
        EXPECT_EQ(outcome.status, c.status) << c.reason;
        EXPECT_FALSE(delivered) << c.reason;
        EXPECT_NE(outcome.error.find(c.says), std::string::npos)
            << c.reason << ": " << outcome.error;
    }
}

} // namespace
} // namespace brenvale::test

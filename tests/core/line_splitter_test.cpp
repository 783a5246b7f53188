// Cutting pieces of bytes into lines: line ends, pieces that split them, over-long lines, stops.
#include "core/line_splitter.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace brenvale {
namespace {

struct SplitCase {
    const char* name;
    std::vector<std::string> pieces;
    bool finish;
    std::vector<std::string> lines;
    std::uint64_t longLines = 0;
    std::size_t maxLine = LineSplitter::kDefaultMaxLine;
};

void PrintTo(const SplitCase& c, std::ostream* out) {
    *out << c.name;
}

class LineSplitterTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(LineSplitterTest, CutsPiecesIntoLines) {
    const SplitCase& c = GetParam();
    LineSplitter splitter(c.maxLine);
    std::vector<std::string> lines;
    const auto collect = [&](std::string_view line) {
        lines.emplace_back(line);
        return true;
    };
    for (const std::string& piece : c.pieces)
        EXPECT_TRUE(splitter.Feed(piece, collect));
    if (c.finish) {
        EXPECT_TRUE(splitter.Finish(collect));
    }
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(splitter.LongLinesSkipped(), c.longLines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineSplitterTest,
    ::testing::Values(
        SplitCase{"lf", {"a\nb\n"}, false, {"a", "b"}},
        SplitCase{"crlf_end_is_not_data", {"a\r\nb\r\n"}, false, {"a", "b"}},
        SplitCase{"lone_cr_stays", {"a\rb\n"}, false, {"a\rb"}},
        SplitCase{"only_the_cr_before_lf_goes", {"a\r\r\n"}, false, {"a\r"}},
        SplitCase{"cr_at_piece_end_lf_in_next", {"a\r", "\nb\r", "\n"}, false, {"a", "b"}},
        SplitCase{"line_across_three_pieces", {"ab", "cd", "ef\n"}, false, {"abcdef"}},
        SplitCase{"empty_lines_are_lines", {"\n\r\n", "\n"}, false, {"", "", ""}},
        SplitCase{"empty_pieces_change_nothing", {"", "a", "", "\n"}, false, {"a"}},
        SplitCase{"finish_hands_on_last_line", {"a\nb"}, true, {"a", "b"}},
        SplitCase{"finish_without_pending", {"a\n"}, true, {"a"}},
        SplitCase{"unfinished_line_waits", {"a\nb"}, false, {"a"}},
        // At the very end a CR can only be the start of a CR LF that never came.
        SplitCase{"finish_drops_dangling_cr", {"a\r"}, true, {"a"}},
        SplitCase{"over_long_skipped_next_kept", {"12345\nabcd\n"}, false, {"abcd"}, 1, 4},
        SplitCase{"over_long_across_pieces", {"123", "45", "678\nok\n"}, false, {"ok"}, 1, 4},
        SplitCase{"limit_exactly_with_crlf", {"abcd\r\n"}, false, {"abcd"}, 0, 4},
        SplitCase{"limit_exactly_cr_in_next_piece", {"abcd\r", "\n"}, false, {"abcd"}, 0, 4},
        SplitCase{"one_past_limit", {"abcde\n"}, false, {}, 1, 4},
        SplitCase{"cr_in_slack_turns_out_data", {"abcd\r", "x\n"}, false, {}, 1, 4},
        SplitCase{"over_long_unfinished_at_finish", {"ok\n123456"}, true, {"ok"}, 1, 4},
        SplitCase{"two_over_long_lines", {"123456\n", "abcdef\nx\n"}, false, {"x"}, 2, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineSplitterStop, StopsAtOnceAndKeepsNothing) {
    LineSplitter splitter;
    std::vector<std::string> lines;
    const auto stopAtB = [&](std::string_view line) {
        lines.emplace_back(line);
        return line != "b";
    };
    EXPECT_FALSE(splitter.Feed("a\nb\nc\nd", stopAtB));
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b"}));
    // Nothing of the stopped piece is held back for later.
    EXPECT_TRUE(splitter.Finish(stopAtB));
    EXPECT_EQ(lines.size(), 2u);
}

TEST(LineSplitterStop, StopOnFinishIsReported) {
    LineSplitter splitter;
    EXPECT_TRUE(splitter.Feed("last", [](std::string_view) { return true; }));
    std::string seen;
    EXPECT_FALSE(splitter.Finish([&](std::string_view line) {
        seen = line;
        return false;
    }));
    EXPECT_EQ(seen, "last");
}

} // namespace
} // namespace brenvale

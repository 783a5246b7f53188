// Cutting pieces of bytes into lines: line ends, pieces that split them, over-long lines, stops.
#include "core/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brenvale {
namespace {

TEST(LineSplitter, CutsPiecesIntoLines) {
    const struct {
        const char* name;
        std::vector<std::string> pieces;
        bool finish;
        std::vector<std::string> lines;
        std::uint64_t longLines = 0;
        std::size_t maxLine = LineSplitter::kDefaultMaxLine;
        const char* stopAt = nullptr; ///< the line whose callback stops the splitter
    } cases[] = {
        {"lf", {"a\nb\n"}, false, {"a", "b"}},
        {"crlf_end_is_not_data", {"a\r\nb\r\n"}, false, {"a", "b"}},
        {"lone_cr_stays", {"a\rb\n"}, false, {"a\rb"}},
        {"only_the_cr_before_lf_goes", {"a\r\r\n"}, false, {"a\r"}},
        {"cr_at_piece_end_lf_in_next", {"a\r", "\nb\r", "\n"}, false, {"a", "b"}},
        {"line_across_three_pieces", {"ab", "cd", "ef\n"}, false, {"abcdef"}},
        {"empty_lines_are_lines", {"\n\r\n", "\n"}, false, {"", "", ""}},
        {"empty_pieces_change_nothing", {"", "a", "", "\n"}, false, {"a"}},
        {"finish_hands_on_last_line", {"a\nb"}, true, {"a", "b"}},
        {"finish_without_pending", {"a\n"}, true, {"a"}},
        {"unfinished_line_waits", {"a\nb"}, false, {"a"}},
        // At the very end a CR can only be the start of a CR LF that never came.
        {"finish_drops_dangling_cr", {"a\r"}, true, {"a"}},
        {"over_long_skipped_next_kept", {"12345\nabcd\n"}, false, {"abcd"}, 1, 4},
        {"over_long_across_pieces", {"123", "45", "678\nok\n"}, false, {"ok"}, 1, 4},
        {"limit_exactly_with_crlf", {"abcd\r\n"}, false, {"abcd"}, 0, 4},
        {"limit_exactly_cr_in_next_piece", {"abcd\r", "\n"}, false, {"abcd"}, 0, 4},
        {"one_past_limit", {"abcde\n"}, false, {}, 1, 4},
        {"cr_in_slack_turns_out_data", {"abcd\r", "x\n"}, false, {}, 1, 4},
        {"over_long_unfinished_at_finish", {"ok\n123456"}, true, {"ok"}, 1, 4},
        {"two_over_long_lines", {"123456\n", "abcdef\nx\n"}, false, {"x"}, 2, 4},
        {"byte_order_mark_dropped", {"\xEF\xBB", "\xBF#Software\r\n"}, false, {"#Software"}},
        // Nothing of the stopped piece is held back for later.
        {"stop_at_once_and_keep_nothing", {"a\nb\nc\nd"}, true, {"a", "b"}, 0, 9, "b"},
        {"byte_order_mark_only_at_start", {"a\n\xEF\xBB\xBFx\n"}, false, {"a", "\xEF\xBB\xBFx"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LineSplitter splitter(c.maxLine);
        std::vector<std::string> lines;
        std::uint64_t longLines = 0;
        const auto collect = [&](std::string_view line, const LineMark&) {
            lines.emplace_back(line);
            return !c.stopAt || line != c.stopAt;
        };
        const auto skip = [&](const LineMark&) {
            ++longLines;
            return true;
        };
        for (const std::string& piece : c.pieces)
            EXPECT_EQ(splitter.Feed(piece, collect, skip), !c.stopAt);
        EXPECT_TRUE(!c.finish || splitter.Finish(collect, skip));
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(longLines, c.longLines);
    }
}

TEST(LineSplitterMarks, EachLineSaysWhereItEnds) {
    // Across pieces, with CR LF, a long line and an unfinished last line, and again from a mark.
    const std::string text = "a\r\nbc\n123456\nd";
    LineSplitter splitter(4);
    std::vector<LineMark> marks;
    const auto collect = [&](std::string_view, const LineMark& mark) {
        marks.push_back(mark);
        return true;
    };
    const auto skip = [&](const LineMark& mark) { return collect({}, mark); };
    for (const char c : text)
        splitter.Feed(std::string_view(&c, 1), collect, skip);
    EXPECT_TRUE(splitter.HasPartialLine());
    EXPECT_EQ(splitter.PartialLine(), "d");
    splitter.Finish(collect, skip);
    const std::uint64_t ends[] = {3, 6, 13, 14};
    ASSERT_EQ(marks.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(marks[i].line, i + 1);
        EXPECT_EQ(marks[i].offset, ends[i]);
        EXPECT_EQ(marks[i].prefixHash, HashBytes(text.substr(0, ends[i])));
        EXPECT_EQ(marks[i].identityHash, marks[i].prefixHash) << "under the identity's size";
    }

    LineSplitter later;
    later.StartAt(marks[1]);
    marks.clear();
    later.Feed(text.substr(6), collect, skip);
    ASSERT_EQ(marks.size(), 1u);
    EXPECT_EQ(marks[0].line, 3u);
    EXPECT_EQ(marks[0].offset, 13u);
    EXPECT_EQ(marks[0].prefixHash, HashBytes(text.substr(0, 13)));

    // The identity stops at its size; the prefix hash goes on.
    const std::string big(LineSplitter::kIdentityBytes + 10, 'x');
    LineSplitter large(2 * big.size());
    marks.clear();
    large.Feed(big + "\n", collect, skip);
    ASSERT_EQ(marks.size(), 1u);
    EXPECT_EQ(marks[0].identityLength, LineSplitter::kIdentityBytes);
    EXPECT_EQ(marks[0].identityHash, HashBytes(big.substr(0, LineSplitter::kIdentityBytes)));
    EXPECT_EQ(marks[0].prefixHash, HashBytes(big + "\n"));
}

} // namespace
} // namespace brenvale

// Percent-escape translation, hex values and file names.
#include "core/general.h"
#include "core/shell_and_wait.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <string_view>

namespace brenvale {
namespace {

/// The rule in its plain form, one full pass over the text for every code found; quadratic, so
/// it is kept here only as the measure for the real one.
std::string ReferenceTranslate(std::string text) {
    const auto replaceAll = [&](const std::string& code, char replacement) {
        std::string out;
        std::size_t from = 0;
        for (auto at = text.find(code); at != std::string::npos; at = text.find(code, from)) {
            out.append(text, from, at - from);
            out.push_back(replacement);
            from = at + code.size();
        }
        out.append(text, from, std::string::npos);
        text.swap(out);
    };
    std::size_t scan = 0;
    for (;;) {
        const auto percent = text.find('%', scan);
        if (percent == std::string::npos)
            return text;
        const std::size_t digitCount = std::min<std::size_t>(2, text.size() - percent - 1);
        const double value =
            digitCount == 0 ? -1 : HexToDec(std::string_view(text).substr(percent + 1, digitCount));
        if (value < 0) {
            scan = percent + 1;
            continue;
        }
        replaceAll(text.substr(percent, 1 + digitCount),
                   static_cast<char>(static_cast<unsigned char>(value)));
    }
}

std::string Repeated(const std::string& unit, std::size_t count) {
    std::string text;
    text.reserve(unit.size() * count);
    for (std::size_t i = 0; i < count; ++i)
        text += unit;
    return text;
}

TEST(TranslateHexCodesTest, Translates) {
    const struct {
        std::string input, expected;
        const char* reason;
    } cases[] = {
        {"Player%2F1.0", "Player/1.0", "a plain escape"},
        {"a%20b", "a b", "a blank"},
        {"100%", "100%", "a trailing percent has no digits"},
        {"%41%42%41", "ABA", "repeated codes replaced at once"},
        {"%2f%2F", "//", "both cases, two rounds"},
        {"%2541", "A", "a produced percent is examined again"},
        {"%25", "%", "an escaped percent alone"},
        {"%zz", "%zz", "not hex: left alone"},
        {"%", "%", "a lone percent"},
        {"%%41", "%A", "the first percent stays, the second is read"},
        {"%zz41", "%zz41", "digits must follow the percent directly"},
        {"%E9", "\xE9", "one byte, not a code point"},
        {"Bj%C3%B6rk", "Bj\xC3\xB6rk", "UTF-8 escapes become their bytes"},
        {"a%00b", std::string("a\0b", 3), "code 0 is a byte too"},
        {"x%4", "x\x04", "one digit at the very end"},
        {"%4G and %4", "\x04G and \x04", "the short code is replaced everywhere"},
        {"%%41B%41%AB",
         "\xAB"
         "A\xAB",
         "a code formed behind the scan is replaced in a later round"},
        {"%%325%%252", "%%%2",
         "removals behind the scan move it on, past the percent they produce"},
        {"", "", "empty text"},
        {"no escapes", "no escapes", "nothing to do"},
        {"%+1%-1% 1", "%+1%-1% 1", "only 0-9 and A-F count as digits"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TranslateHexCodes(c.input), c.expected) << c.reason;
        EXPECT_EQ(ReferenceTranslate(c.input), c.expected) << "reference: " << c.reason;
    }
}

TEST(TranslateHexCodesTest, MatchesTheRuleOnRandomText) {
    // Few characters, most of them percents and digits of both cases, so the quirks come often.
    const std::string alphabets[] = {"%%%25413aAfFG", "%%%2534x", "%%3%33A1"};
    std::mt19937 random(8013);
    for (int i = 0; i < 30000; ++i) {
        const std::string& alphabet = alphabets[i % 3];
        const std::size_t length = random() % (i % 100 == 0 ? 400 : 24);
        std::string text;
        for (std::size_t k = 0; k < length; ++k)
            text.push_back(alphabet[random() % alphabet.size()]);
        ASSERT_EQ(TranslateHexCodes(text), ReferenceTranslate(text))
            << testing::PrintToString(text);
    }
}

TEST(HostileTextTest, IsTranslatedLikeTheRuleAtAnyLength) {
    /// Input head + unit x n + tail, result outHead + outUnit x n + outTail.
    const struct {
        std::string head, unit, tail;
        std::string outHead, outUnit, outTail;
        const char* reason;
    } cases[] = {
        {"%", "25", "41", "A", "", "", "each round frees one more percent"},
        {"", "%25", "", "", "%", "", "a run of escaped percents"},
        {"", "%2525", "", "", "%", "", "each produced percent makes a new code"},
        {"", "%2541", "", "", "A", "", "produced codes replaced in a second round"},
        {"", "%", "", "", "%", "", "percents alone"},
        {"%%41", "%%41", "", "\n", "\n", "", "codes formed behind the scan then the short code"},
        {"", "%4G", "%4", "", "\x04G", "\x04", "the short code inside left escapes"},
        {"", "%41%2f%42%2F", "", "", "A/B/", "", "mixed codes"},
        {"", "x", "%zz%41", "", "x", "%zzA", "far into the text"},
    };
    for (const auto& c : cases) {
        // Small lengths check the pattern against the rule; the large one, a few MB, must
        // simply come through with the same pattern.
        const std::size_t large = 2'000'000 / c.unit.size();
        for (const std::size_t n : std::array<std::size_t, 5>{1, 2, 7, 300, large}) {
            const std::string input = c.head + Repeated(c.unit, n) + c.tail;
            const std::string expected = c.outHead + Repeated(c.outUnit, n) + c.outTail;
            if (n != large) {
                ASSERT_EQ(ReferenceTranslate(input), expected) << c.reason << ", n = " << n;
            }
            ASSERT_TRUE(TranslateHexCodes(input) == expected) << c.reason << ", n = " << n;
        }
    }
}

TEST(HexToDecAndGetFileName, Values) {
    const std::pair<const char*, double> hex[] = {{"ff", 255},  {"FF", 255}, {"0A", 10},
                                                  {"", 0},      {"G1", -1},  {"1G", -1},
                                                  {"100", 256}, {"+1", -1}};
    for (const auto& [text, value] : hex)
        EXPECT_EQ(HexToDec(text), value) << text;
    const std::pair<const char*, const char*> names[] = {
        {"C:\\logs\\w3c.log", "w3c.log"},
        {"/var/log/sc/w3c.log", "w3c.log"},
        {"http://radio.example:8000/logs/w3c.log", "w3c.log"},
        {"plain.log", "plain.log"},
        {"dir/", ""},
        {"a\\b/c", "c"},
        {"", ""}};
    for (const auto& [path, name] : names)
        EXPECT_EQ(GetFileName(path), name) << path;
}

} // namespace
} // namespace brenvale

#include "core/text_encoding.h"

namespace brenvale {
namespace {

TEST(TextEncodingTest, Utf8IsRecognisedStrictly) {
    for (const char* text : {"", "plain ASCII", "Bj\xC3\xB6rk \xE2\x82\xAC \xF0\x9F\x8E\xB5"})
        EXPECT_TRUE(IsValidUtf8(text)) << text;
    // Windows-1252, cut short, overlong, a surrogate, past U+10FFFF.
    for (const char* text : {"Caf\xE9", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"})
        EXPECT_FALSE(IsValidUtf8(text)) << testing::PrintToString(text);
}

TEST(TextEncodingTest, OtherTextIsReadAsWindows1252) {
    std::string buffer;
    EXPECT_EQ(ToDatabaseText("Caf\xE9", buffer), "Caf\xC3\xA9");
    EXPECT_EQ(ToDatabaseText("\x80\x9F\xFF", buffer), "\xE2\x82\xAC\xC5\xB8\xC3\xBF");
    EXPECT_EQ(ToDatabaseText("\x81", buffer), "\xC2\x81") << "undefined bytes keep their number";
    const std::string utf8 = "Bj\xC3\xB6rk";
    EXPECT_EQ(ToDatabaseText(utf8, buffer).data(), utf8.data()) << "valid UTF-8 is not copied";
}

TEST(ShellAndWaitTest, YieldsUntilTheProgramEnds) {
    const std::string folder = test::ScratchDir("shell");
    const std::string release = folder + "/release";
    test::ScriptedYield yielder;
    // The child ends only once a yield has created the file it waits for.
    yielder.action = [&](int call) {
        if (call == 1)
            test::WriteFile(release, "go");
    };
    std::string failure;
    EXPECT_TRUE(ShellAndWait("/bin/sh",
                             {"-c", "while [ ! -e '" + release + "' ]; do sleep 0.01; done"},
                             yielder, failure));
    EXPECT_GE(yielder.calls, 1);
    EXPECT_TRUE(failure.empty());

    test::WriteFile(folder + "/not-executable", "#!/bin/sh\n");
    for (const char* name : {"/nothing-here", "/not-executable"}) {
        EXPECT_FALSE(ShellAndWait(folder + name, {}, yielder, failure)) << name;
        EXPECT_FALSE(failure.empty()) << name;
        failure.clear();
    }
}

} // namespace
} // namespace brenvale

#include "core/run_outcome.h"
#include "core/run_report.h"

namespace brenvale {
namespace {

TEST(RunReportTest, QuestionsLeftOpenAreNoPartOfTheLoadingTime) {
    test::ManualClock clock;
    RunReport report(clock);
    clock.now = 1000;
    report.OnJobStart(1, 1, {"a.log", "logs"});
    clock.now = 1500;
    report.PauseClock();
    clock.now = 61500; // a question open for a minute, with a message inside it
    report.PauseClock();
    clock.now = 61550;
    report.ResumeClock();
    clock.now = 61600;
    report.ResumeClock();
    report.ResumeClock(); // one too many changes nothing
    clock.now = 62000;
    report.OnJobEnd(1, {"a.log", "logs"}, "");
    report.Finish();
    EXPECT_EQ(report.Jobs().at(0).milliseconds, 900u);
    EXPECT_EQ(report.Milliseconds(), 900u);
}

TEST(RunReportTest, TablesEmptiedBeforeLoadingAreInTheTextAndTheJson) {
    test::ManualClock clock;
    RunReport report(clock);
    report.OnTableEmptied("logs", 2);
    report.OnTableEmptied("one \"quoted\"", 1);
    EXPECT_EQ(report.SummaryText(), "emptied before loading: logs (2 rows)\n"
                                    "emptied before loading: one \"quoted\" (1 row)\n");
    EXPECT_THAT(report.JsonText(0, "completed"),
                test::HasSubstr("\"emptied\": [{\"table\": \"logs\", \"rows\": 2}, "
                                "{\"table\": \"one \\\"quoted\\\"\", \"rows\": 1}]"));
}

TEST(ExitCodeOfTest, TheRunsResultComesFirstThenFailedLogsThenLinesInDoubt) {
    const struct {
        RunResult result;
        int jobsFailed;
        std::uint64_t inDoubt;
        int code;
    } cases[] = {
        {RunResult::Completed, 0, 0, kExitSuccess},
        {RunResult::Completed, 1, 5, kExitLogFailed},
        {RunResult::Completed, 0, 3, kExitInDoubt},
        {RunResult::Cancelled, 2, 3, kExitInterrupted},
        {RunResult::ProgramTable, 0, 0, kExitConfig},
        {RunResult::DatabaseLost, 0, 1, kExitConnectionLost},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExitCodeOf(c.result, c.jobsFailed, c.inDoubt), c.code) << RunResultName(c.result);
}

} // namespace
} // namespace brenvale

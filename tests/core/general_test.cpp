// Percent-escape translation, hex values and file names.
#include "core/general.h"

#include <gtest/gtest.h>

#include <string>

namespace brenvale {
namespace {

struct HexCase {
    std::string input;
    std::string expected;
    const char* reason;
};

class TranslateHexCodesTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(TranslateHexCodesTest, Translates) {
    const HexCase& c = GetParam();
    EXPECT_EQ(TranslateHexCodes(c.input), c.expected) << c.reason;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TranslateHexCodesTest,
    ::testing::Values(
        HexCase{"Player%2F1.0", "Player/1.0", "a plain escape"}, HexCase{"a%20b", "a b", "a blank"},
        HexCase{"100%", "100%", "a trailing percent has no digits"},
        HexCase{"%41%42%41", "ABA", "repeated codes replaced at once"},
        HexCase{"%2f%2F", "//", "both cases, two rounds"},
        HexCase{"%2541", "A", "a produced percent is examined again"},
        HexCase{"%25", "%", "an escaped percent alone"},
        HexCase{"%zz", "%zz", "not hex: left alone"}, HexCase{"%", "%", "a lone percent"},
        HexCase{"%%41", "%A", "the first percent stays, the second is read"},
        HexCase{"%zz41", "%zz41", "digits must follow the percent directly"},
        HexCase{"%E9", "\xE9", "one byte, not a code point"},
        HexCase{"Bj%C3%B6rk", "Bj\xC3\xB6rk", "UTF-8 escapes become their bytes"},
        HexCase{std::string("a%00b"), std::string("a\0b", 3), "code 0 is a byte too"},
        HexCase{"x%4", "x\x04", "one digit at the very end"},
        HexCase{"%4G and %4", "\x04G and \x04", "the short code is replaced everywhere"},
        HexCase{"", "", "empty text"}, HexCase{"no escapes", "no escapes", "nothing to do"},
        HexCase{"%+1%-1% 1", "%+1%-1% 1", "only 0-9 and A-F count as digits"}));

TEST(TranslateHexCodesTest, PercentFarIntoLongTextDoesNotStopTheScan) {
    // A lone "%" past position 32,767 is left alone and later escapes are still translated.
    std::string text(40000, 'x');
    text += "%zz%41";
    const std::string result = TranslateHexCodes(text);
    EXPECT_EQ(result, std::string(40000, 'x') + "%zzA");
}

TEST(HexToDecTest, Values) {
    EXPECT_EQ(HexToDec("ff"), 255);
    EXPECT_EQ(HexToDec("FF"), 255);
    EXPECT_EQ(HexToDec("0A"), 10);
    EXPECT_EQ(HexToDec(""), 0);
    EXPECT_EQ(HexToDec("G1"), -1);
    EXPECT_EQ(HexToDec("1G"), -1);
    EXPECT_EQ(HexToDec("100"), 256);
    EXPECT_EQ(HexToDec("+1"), -1);
}

TEST(GetFileNameTest, LastComponent) {
    EXPECT_EQ(GetFileName("C:\\logs\\w3c.log"), "w3c.log");
    EXPECT_EQ(GetFileName("/var/log/sc/w3c.log"), "w3c.log");
    EXPECT_EQ(GetFileName("http://radio.example:8000/logs/w3c.log"), "w3c.log");
    EXPECT_EQ(GetFileName("plain.log"), "plain.log");
    EXPECT_EQ(GetFileName("dir/"), "");
    EXPECT_EQ(GetFileName("a\\b/c"), "c");
    EXPECT_EQ(GetFileName(""), "");
}

} // namespace
} // namespace brenvale

#include "core/text_encoding.h"

namespace brenvale {
namespace {

TEST(TextEncodingTest, Utf8IsRecognisedStrictly) {
    EXPECT_TRUE(IsValidUtf8(""));
    EXPECT_TRUE(IsValidUtf8("plain ASCII"));
    EXPECT_TRUE(IsValidUtf8("Bj\xC3\xB6rk \xE2\x82\xAC \xF0\x9F\x8E\xB5"));
    EXPECT_FALSE(IsValidUtf8("Caf\xE9")) << "a Windows-1252 byte";
    EXPECT_FALSE(IsValidUtf8("\xC3")) << "cut short";
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF")) << "overlong";
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80")) << "surrogate";
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80")) << "past U+10FFFF";
}

TEST(TextEncodingTest, OtherTextIsReadAsWindows1252) {
    std::string buffer;
    EXPECT_EQ(ToDatabaseText("Caf\xE9", buffer), "Caf\xC3\xA9");
    EXPECT_EQ(ToDatabaseText("\x80\x9F\xFF", buffer), "\xE2\x82\xAC\xC5\xB8\xC3\xBF");
    EXPECT_EQ(ToDatabaseText("\x81", buffer), "\xC2\x81") << "undefined bytes keep their number";
    const std::string utf8 = "Bj\xC3\xB6rk";
    EXPECT_EQ(ToDatabaseText(utf8, buffer).data(), utf8.data()) << "valid UTF-8 is not copied";
}

} // namespace
} // namespace brenvale

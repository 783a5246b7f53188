// The default configuration path: beside the program when it may live there, else per user.
#include "config/default_config_path.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <ostream>
#include <string>

namespace brenvale {
namespace {

/// "@" in `folder` and `expected` stands for a writable scratch folder.
struct PathCase {
    std::string folder;
    UserFolders user;
    std::string expected;
    const char* reason;
};

void PrintTo(const PathCase& c, std::ostream* out) {
    *out << c.reason;
}

class DefaultConfigPathTest : public ::testing::TestWithParam<PathCase> {};

std::string Placed(std::string text, const std::string& scratch) {
    if (const auto at = text.find('@'); at != std::string::npos)
        text.replace(at, 1, scratch);
    return text;
}

TEST_P(DefaultConfigPathTest, Chooses) {
    const PathCase& c = GetParam();
    const std::string scratch = test::ScratchDir("default_config");
    EXPECT_EQ(DefaultConfigPath(Placed(c.folder, scratch), c.user), Placed(c.expected, scratch))
        << c.reason;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DefaultConfigPathTest,
    ::testing::Values(
        PathCase{"@", {"/x", "/home/u"}, "@/config.xml", "a writable build tree keeps it beside"},
        PathCase{"@/", {"/x", "/home/u"}, "@//config.xml", "the separator is always added"},
        PathCase{"@/gone",
                 {"/x", "/home/u"},
                 "/x/brenvale/config.xml",
                 "a folder that is not there cannot hold it"},
        PathCase{"/usr/bin",
                 {"/x", "/home/u"},
                 "/x/brenvale/config.xml",
                 "the package's folder, even for root"},
        PathCase{"/usr/local/bin/",
                 {"/x/", ""},
                 "/x/brenvale/config.xml",
                 "trailing slashes on either side"},
        PathCase{"/bin",
                 {"", "/home/u"},
                 "/home/u/.config/brenvale/config.xml",
                 "no XDG_CONFIG_HOME: HOME/.config"},
        PathCase{"/usr/bin",
                 {"cfg", "/home/u"},
                 "/home/u/.config/brenvale/config.xml",
                 "a relative XDG_CONFIG_HOME is ignored"},
        PathCase{"/usr/bin",
                 {"", "relative"},
                 "/usr/bin/config.xml",
                 "no usable folder at all: beside the program, and the save reports it"}));

TEST(PrepareDefaultConfigPathTest, CreatesThePrivateFolder) {
    const std::string home = test::ScratchDir("default_config_home") + "/config";
    ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    const std::string path = PrepareDefaultConfigPath("/usr/bin");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(path, home + "/brenvale/config.xml");
    struct stat info {};
    ASSERT_EQ(::stat((home + "/brenvale").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

} // namespace
} // namespace brenvale

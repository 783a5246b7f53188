// The default configuration path: beside the program when it may live there, else per user.
#include "config/default_config_path.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace brenvale {
namespace {

TEST(DefaultConfigPath, Chooses) {
    const std::string x = "/x/brenvale/config.xml", h = "/home/u/.config/brenvale/config.xml";
    // "@" in the folder and the expected path stands for a writable scratch folder.
    const struct {
        const char *folder, *xdg, *home;
        std::string expected;
        const char* reason;
    } cases[] = {
        {"@", "/x", "/home/u", "@/config.xml", "a writable build tree keeps it beside"},
        {"@/", "/x", "/home/u", "@//config.xml", "the separator is always added"},
        {"@/gone", "/x", "/home/u", x, "a folder that is not there cannot hold it"},
        {"/usr/bin", "/x", "/home/u", x, "the package's folder, even for root"},
        {"/usr/local/bin/", "/x/", "", x, "trailing slashes on either side"},
        {"/bin", "", "/home/u", h, "no XDG_CONFIG_HOME: HOME/.config"},
        {"/usr/bin", "cfg", "/home/u", h, "a relative XDG_CONFIG_HOME is ignored"},
        {"/usr/bin", "", "relative", "/usr/bin/config.xml",
         "no usable folder at all: beside the program, and the save reports it"},
    };
    const std::string scratch = test::ScratchDir("default_config");
    const auto placed = [&](std::string text) {
        if (text.starts_with('@'))
            text.replace(0, 1, scratch);
        return text;
    };
    for (const auto& c : cases)
        EXPECT_EQ(DefaultConfigPath(placed(c.folder), {c.xdg, c.home}), placed(c.expected))
            << c.reason;
}

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

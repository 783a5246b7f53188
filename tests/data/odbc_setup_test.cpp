// The odbcinst code against the real driver manager: user data sources written into a scratch
// ODBCINI file, then listed, read, renamed, removed and opened as any other program would.
#include "data/odbc_setup.h"

#include "data/odbc.h"
#include "support/test_support.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

namespace brenvale::odbc {
namespace {

using test::HasSubstr;

/// Listed by SQLDataSources, as every ODBC program lists them.
bool Listed(const std::string& name) {
    return std::ranges::count(ListDataSources(), name, &DataSource::name) > 0;
}

class OdbcSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        userIni = test::ScratchUserIni("dsn");
        dir = userIni.substr(0, userIni.rfind('/'));
    }
    DsnDefinition Sqlite(const std::string& name, const std::string& file) const {
        return {name, "SQLite3", {{"Database", dir + "/" + file}}};
    }
    std::string dir, userIni;
};

TEST_F(OdbcSetupTest, AUserDsnIsWrittenListedReadOpenedRenamedAndRemoved) {
    const DsnDefinition dsn = Sqlite("my sqlite", "a.db");
    ASSERT_TRUE(WriteUserDsn(dsn, ""));
    EXPECT_THAT(test::ReadFile(userIni), HasSubstr("[my sqlite]"));
    EXPECT_TRUE(Listed("my sqlite"));
    DsnDefinition read;
    ASSERT_TRUE(ReadDsn(DsnScope::User, "my sqlite", read));
    EXPECT_EQ(std::pair(read.driver, read.attributes), std::pair(dsn.driver, dsn.attributes));
    EXPECT_TRUE(TestDsn("my sqlite"));
    test::TestDatabase opened("my sqlite");
    opened.Exec("CREATE TABLE dsn_check (x INTEGER)");

    // Edited in place, then renamed: the old name is gone.
    ASSERT_TRUE(WriteUserDsn(Sqlite("my sqlite", "b.db"), "my sqlite"));
    ASSERT_TRUE(ReadDsn(DsnScope::User, "my sqlite", read));
    EXPECT_EQ(*FindAttribute(read.attributes, "database"), dir + "/b.db");
    ASSERT_TRUE(WriteUserDsn(Sqlite("renamed", "b.db"), "my sqlite"));
    EXPECT_FALSE(Listed("my sqlite"));
    EXPECT_TRUE(Listed("renamed"));
    EXPECT_FALSE(WriteUserDsn(Sqlite("RENAMED", "c.db"), "")) << "names are the same in any case";

    ASSERT_TRUE(RemoveUserDsn("renamed"));
    EXPECT_FALSE(Listed("renamed"));
    const DbResult again = RemoveUserDsn("renamed");
    EXPECT_FALSE(again);
    EXPECT_THAT(again.message, HasSubstr("renamed"));
}

TEST_F(OdbcSetupTest, DefinitionsThatTheIniFileCannotHoldAreRefused) {
    const std::string longest(kMaxDsnLength, 'n');
    const std::tuple<DsnDefinition, bool, const char*> cases[] = {
        {{longest, "SQLite3", {}}, true, "32 characters"},
        {{"with blanks inside", "SQLite3", {{"Database", ""}}}, true, "blanks and an empty value"},
        {{"", "SQLite3", {}}, false, "no name"},
        {{longest + "n", "SQLite3", {}}, false, "33 characters"},
        {{"a[b", "SQLite3", {}}, false, "bracket"},
        {{" lead", "SQLite3", {}}, false, "leading blank"},
        {{"x", "", {}}, false, "no driver"},
        {{"x", "SQLite3", {{"", "v"}}}, false, "value without keyword"},
        {{"x", "SQLite3", {{"a=b", "v"}}}, false, "= in keyword"},
        {{"x", "SQLite3", {{";c", "v"}}}, false, "comment keyword"},
        {{"x", "SQLite3", {{"driver", "v"}}}, false, "driver as attribute"},
        {{"x", "SQLite3", {{"Port", "1"}, {"PORT", "2"}}}, false, "keyword twice"},
        {{"x", "SQLite3", {{"k", "two\nlines"}}}, false, "line break in value"},
        {{"x", "SQLite3", {{"k", std::string(801, 'v')}}}, false, "value too long"},
    };
    for (const auto& [definition, ok, why] : cases) {
        const DbResult result = CheckDefinition(definition);
        EXPECT_EQ(result.ok, ok) << why << ": " << result.message;
        EXPECT_EQ(result.message.empty(), ok) << why;
    }
}

TEST_F(OdbcSetupTest, AnUnwritableFileGivesTheReasonAndChangesNothing) {
    ASSERT_TRUE(WriteUserDsn(Sqlite("kept", "a.db"), ""));
    const std::string before = test::ReadFile(userIni);
    const std::string unwritable = dir + "/no/such/folder/odbc.ini";
    ::setenv("ODBCINI", unwritable.c_str(), 1);
    EXPECT_EQ(UserIniPath(), unwritable);
    const DbResult failed = WriteUserDsn(Sqlite("new", "b.db"), "");
    EXPECT_FALSE(failed);
    EXPECT_THAT(failed.message, HasSubstr(unwritable));
    ::setenv("ODBCINI", userIni.c_str(), 1);
    EXPECT_EQ(test::ReadFile(userIni), before);
}

mode_t Mode(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

TEST_F(OdbcSetupTest, AFileThatHoldsAPasswordIsReadableByItsOwnerOnly) {
    ::chmod(userIni.c_str(), 0644);
    ASSERT_TRUE(WriteUserDsn(Sqlite("open", "a.db"), ""));
    EXPECT_EQ(Mode(userIni), 0644u) << "nothing secret, nothing changed";

    DsnDefinition secret = Sqlite("secret", "b.db");
    secret.attributes.emplace_back("PWD", "hunter2");
    ASSERT_TRUE(WriteUserDsn(secret, ""));
    EXPECT_EQ(Mode(userIni), 0600u);
    // A later write without a password, to a file another program made readable again.
    ::chmod(userIni.c_str(), 0644);
    ASSERT_TRUE(WriteUserDsn(Sqlite("open", "c.db"), "open"));
    EXPECT_EQ(Mode(userIni), 0600u);

    // A file that does not exist yet is created private before the password goes in.
    const std::string fresh = dir + "/fresh.ini";
    ::setenv("ODBCINI", fresh.c_str(), 1);
    secret.attributes.back().first = "Password";
    ASSERT_TRUE(WriteUserDsn(secret, ""));
    EXPECT_EQ(Mode(fresh), 0600u);
    EXPECT_THAT(test::ReadFile(fresh), HasSubstr("hunter2"));
    ::setenv("ODBCINI", userIni.c_str(), 1);
}

TEST(OdbcDrivers, InstalledDriversAreListedWithTheirForm) {
    const std::pair<const char*, DriverKind> cases[] = {
        {"SQLite3", DriverKind::SQLite},
        {"PostgreSQL Unicode", DriverKind::PostgreSQL},
        {"MariaDB Unicode", DriverKind::Other}};
    const std::vector<DriverInfo> drivers = ListDrivers();
    for (const auto& [name, kind] : cases) {
        const auto found = std::ranges::find(drivers, name, &DriverInfo::name);
        ASSERT_NE(found, drivers.end()) << name;
        EXPECT_EQ(KindOfDriver(found->name, found->library), kind) << name;
    }
}

} // namespace
} // namespace brenvale::odbc

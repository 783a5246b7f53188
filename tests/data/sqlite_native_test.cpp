// The SQLite library's writer on real SQLite files: it writes the file the data source names
// while the ODBC connection holds no lock, waits for another connection's lock as long as the
// data source says and then reports busy, and gives way to ODBC, saying why, when it cannot be
// used.
#include "data/odbc.h"
#include "data/odbc_setup.h"

#include "support/test_support.h"

#include <cstdlib>
#include <tuple>

namespace brenvale {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kNative = "SQLite library";

const std::vector<RowValues> kRows = {
    {"192.0.2.7", "n1", "2024-03-01 18:04:11", "/s", "200", "a", "1", "2", "3"},
    {"192.0.2.7", "n2", "2024-03-01 18:04:12", "/s", "-", "a", "1", "2", "3"}};

std::unique_ptr<TableWriter> OpenBatchWriter(test::TestDatabase& db, const std::string& table) {
    DbResult error;
    // A busy database is tried again at once: the tests hold their locks throughout.
    auto writer =
        db.connection().OpenWriter(table, {.batches = true, .retryWait = [](int) {}}, error);
    EXPECT_TRUE(writer) << error.message;
    return writer;
}

TEST(SqliteNativeWriter, TheOdbcConnectionHoldsNoLockWhileTheLibraryWrites) {
    test::TestDatabase db(test::kSqliteDsn);
    db.CreateLogTable("sn_free");
    auto writer = OpenBatchWriter(db, "sn_free");
    ASSERT_TRUE(writer);
    ASSERT_EQ(writer->Method(), kNative);
    EXPECT_EQ(writer->Notice(), "");
    // The catalogue and the rows read through ODBC before the batch: a statement left open
    // there would hold the commit up and fail it after the busy timeout.
    bool exists = false;
    ASSERT_TRUE(db.connection().FindTable("sn_free", exists).ok);
    EXPECT_TRUE(exists);
    std::vector<std::string> names;
    ASSERT_TRUE(db.connection().GetTableList(names).ok);
    EXPECT_EQ(db.Count("sn_free"), 0);
    std::vector<DbResult> fates;
    const DbResult committed = test::StoreBatch(*writer, kRows, fates);
    ASSERT_TRUE(committed.ok) << committed.message;
    EXPECT_TRUE(fates[0].ok && !fates[0].noValue);
    EXPECT_TRUE(fates[1].ok && fates[1].noValue);
    EXPECT_EQ(db.Query("SELECT c_dns, status FROM sn_free ORDER BY c_dns"),
              (test::Rows{{"n1", "200"}, {"n2", "<null>"}}));
}

TEST(SqliteNativeWriter, ABusyDatabaseIsReportedBusyAndNoRowIsLostOrDoubled) {
    test::TestDatabase db(test::kSqliteDsn);
    db.CreateLogTable("sn_busy");
    auto writer = OpenBatchWriter(db, "sn_busy");
    ASSERT_TRUE(writer && writer->Method() == kNative);
    test::TestDatabase holder(test::kSqliteDsn);
    std::vector<DbResult> fates;

    // Another connection writes: the batch cannot start, and after every try its rows count
    // as refused, busy.
    holder.Exec("BEGIN IMMEDIATE");
    ASSERT_TRUE(test::StoreBatch(*writer, kRows, fates).ok);
    for (const DbResult& fate : fates) {
        EXPECT_EQ(fate.failure, DbFailure::Busy) << fate.message;
        EXPECT_THAT(fate.message, HasSubstr("database is locked"));
    }
    holder.Exec("COMMIT");
    EXPECT_EQ(db.Count("sn_busy"), 0);

    // Another connection reads throughout: the commit cannot end, and nothing stays of it.
    holder.Exec("BEGIN");
    EXPECT_EQ(holder.Count("sn_busy"), 0);
    ASSERT_TRUE(test::StoreBatch(*writer, kRows, fates).ok);
    EXPECT_EQ(fates[0].failure, DbFailure::Busy) << fates[0].message;
    holder.Exec("COMMIT");
    EXPECT_EQ(db.Count("sn_busy"), 0);

    // Once the others are done, the same batch goes in once.
    ASSERT_TRUE(test::StoreBatch(*writer, kRows, fates).ok);
    EXPECT_TRUE(fates[0].ok && fates[1].ok);
    EXPECT_EQ(db.Count("sn_busy"), 2);
}

TEST(SqliteNativeWriter, ATransactionSqliteEndsOnItsOwnSendsTheRowsOneByOne) {
    test::TestDatabase db(test::kSqliteDsn);
    db.TryExec("DROP TABLE sn_undo");
    db.Exec("CREATE TABLE sn_undo (c_ip TEXT, c_dns TEXT UNIQUE ON CONFLICT ROLLBACK, ts TEXT, "
            "uri TEXT, status INTEGER, agent TEXT, bytes TEXT, duration TEXT, bandwidth TEXT)");
    db.Exec("INSERT INTO sn_undo (c_dns) VALUES ('n2')");
    auto writer = OpenBatchWriter(db, "sn_undo");
    ASSERT_TRUE(writer && writer->Method() == kNative);
    std::vector<DbResult> fates;
    // The batch cannot keep the first row once the second ended it: each row goes on its own.
    ASSERT_TRUE(test::StoreBatch(*writer, kRows, fates).ok);
    EXPECT_TRUE(fates[0].ok);
    EXPECT_FALSE(fates[1].ok);
    EXPECT_THAT(fates[1].message, HasSubstr("UNIQUE constraint failed"));
    EXPECT_EQ(db.Count("sn_undo"), 2);
}

/// The data source's settings given in a user data source of the same name after ODBC connected
/// with the system one: the writer reads them, as the library would open the file.
TEST(SqliteNativeWriter, AFileTheLibraryCannotUseGoesThroughOdbcAndSaysWhy) {
    const char* userIni = std::getenv("ODBCINI");
    ASSERT_TRUE(userIni);
    const std::string testUserIni = userIni, dir = test::ScratchDir("native");
    test::WriteFile(dir + "/other.db", "");
    // Name, attributes, what the notice says.
    const std::tuple<const char*, odbc::Attributes, const char*> cases[] = {
        {"a folder that is not there", {{"Database", dir + "/no/such/test.db"}}, "could not open"},
        {"another file", {{"Database", dir + "/other.db"}}, "not the file the ODBC connection"},
        {"no file", {{"Timeout", "200"}}, "names no database file"},
        {"extensions",
         {{"Database", test::TestDir() + "/test.db"}, {"LoadExt", "/no/such/ext.so"}},
         "LoadExt"},
    };
    for (const auto& [name, settings, why] : cases) {
        SCOPED_TRACE(name);
        test::TestDatabase db(test::kSqliteDsn);
        db.CreateLogTable("sn_fallback");
        const std::string ini = test::WriteFile(test::ScratchDir("native") + "/odbc.ini", "");
        ASSERT_EQ(setenv("ODBCINI", ini.c_str(), 1), 0);
        // Through the installer, which also drops what unixODBC keeps of the ini files read.
        ASSERT_TRUE(odbc::WriteUserDsn({test::kSqliteDsn, "SQLite3", settings}, "").ok);
        DbResult error;
        auto writer = db.connection().OpenWriter("sn_fallback", {.batches = true}, error);
        ASSERT_EQ(setenv("ODBCINI", testUserIni.c_str(), 1), 0);
        ASSERT_TRUE(writer) << error.message;
        EXPECT_NE(writer->Method(), kNative);
        EXPECT_THAT(writer->Notice(), StartsWith("The SQLite library could not be used, so "
                                                 "batches go through the SQLite ODBC driver: "));
        EXPECT_THAT(writer->Notice(), HasSubstr(why));
        std::vector<DbResult> fates;
        ASSERT_TRUE(test::StoreBatch(*writer, kRows, fates).ok);
        EXPECT_EQ(db.Count("sn_fallback"), 2);
    }
}

TEST(SqliteNativeWriter, OdbcOnlyAndRowByRowKeepToOdbc) {
    test::TestDatabase db(test::kSqliteDsn);
    db.CreateLogTable("sn_odbc");
    for (const WriterOptions& options :
         {WriterOptions{.batches = true, .allowNative = false}, WriterOptions{.batches = false}}) {
        DbResult error;
        auto writer = db.connection().OpenWriter("sn_odbc", options, error);
        ASSERT_TRUE(writer) << error.message;
        EXPECT_NE(writer->Method(), kNative);
        EXPECT_EQ(writer->Notice(), "");
    }
}

} // namespace
} // namespace brenvale

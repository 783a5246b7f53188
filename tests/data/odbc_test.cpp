// The ODBC layer against the real driver manager: data source listing, opening, catalogue.
#include "data/odbc.h"

#include "support/test_support.h"

#include <filesystem>

namespace brenvale {
namespace {

using namespace ::testing;

TEST(DataSourcesTest, ListsUserAndSystemSourcesWithLongAndBlankNames) {
    // A private user file beside the test environment's system file.
    const std::string ini = test::ScratchUserIni("dsn"), longName(32, 'L');
    test::WriteFile(ini, "[" + longName + "]\nDriver=SQLite3\nDatabase=" + ini +
                             ".long.db\n\n[with blanks inside]\nDriver=SQLite3\nDatabase=" + ini +
                             ".blanks.db\n");

    // System data sources are listed too.
    const auto sources = odbc::ListDataSources();
    EXPECT_THAT(sources, Contains(AllOf(Field(&odbc::DataSource::name, longName),
                                        Field(&odbc::DataSource::description, "SQLite3"))));
    for (const char* name : {"with blanks inside", test::kSqliteDsn, test::kPostgresDsn})
        EXPECT_THAT(sources, Contains(Field(&odbc::DataSource::name, name)));

    test::TestDatabase opened("with blanks inside");
    EXPECT_EQ(opened.connection().DbmsName(), "SQLite");
}

TEST(ConnectionTest, FailuresCarryTheDriverManagersDiagnostic) {
    odbc::Environment environment;
    odbc::Connection connection(environment);

    DbResult missingDriver = connection.Open("brenvale_missing_driver");
    EXPECT_FALSE(missingDriver.ok);
    EXPECT_FALSE(connection.IsOpen());
    EXPECT_THAT(missingDriver.message,
                AllOf(HasSubstr("[unixODBC][Driver Manager]"), HasSubstr("no-such-driver.so")));

    EXPECT_THAT(connection.Open("no such source"),
                AllOf(Field(&DbResult::ok, false), Field(&DbResult::sqlState, "IM002"),
                      Field(&DbResult::message, HasSubstr("Data source name not found"))));

    // A closed connection refuses every use with a reason instead of failing obscurely.
    std::vector<std::string> names;
    EXPECT_FALSE(connection.GetTableList(names).ok);
    EXPECT_FALSE(connection.Execute("SELECT 1").ok);
    DbResult error;
    EXPECT_EQ(connection.OpenWriter("logs", {}, error), nullptr);
    EXPECT_FALSE(error.ok);
}

TEST(ConnectionTest, NoNameAddsSettingsOrEndsAStatement) {
    const std::string ini = test::ScratchUserIni("inject"), other = ini + ".other.db";
    test::WriteFile(ini, "[plain]\nDriver=SQLite3\nDatabase=" + ini + ".plain.db\n");
    odbc::Environment environment;
    odbc::Connection connection(environment);
    EXPECT_FALSE(connection.Open("plain;Database=" + other).ok);
    EXPECT_FALSE(std::filesystem::exists(other)) << "a DSN name cannot name another database";

    ASSERT_TRUE(connection.Open("plain").ok);
    ASSERT_TRUE(connection.Execute("CREATE TABLE victim (a INTEGER)").ok);
    const std::pair<const char*, const char*> names[] = {
        {"logs", "logs"},
        {"main.logs", "main.logs"},
        {"logs; DROP TABLE victim", "\"logs; DROP TABLE victim\""},
        {"a\"b", "\"a\"\"b\""},
        {"", "\"\""},
        {"x.", "\"x.\""}};
    for (const auto& [name, quoted] : names) {
        EXPECT_EQ(connection.QuoteIdentifier(name), quoted);
        connection.Execute("DELETE FROM " + connection.QuoteIdentifier(name));
    }
    std::vector<std::string> tables;
    ASSERT_TRUE(connection.GetTableList(tables).ok);
    EXPECT_THAT(tables, Contains("victim"));
}

class ConnectionPerDatabase : public test::PerDatabase {};

TEST_P(ConnectionPerDatabase, OpenCloseReopenAndCatalogue) {
    test::TestDatabase db(GetParam());
    if (db.IsPostgres()) {
        db.Exec("CREATE SCHEMA IF NOT EXISTS od_other");
        db.Exec("CREATE TABLE IF NOT EXISTS od_other.od_hidden (a INTEGER)");
    }
    db.TryExec("DROP VIEW IF EXISTS od_view");
    db.CreateLogTable("od_logs");
    db.Exec("CREATE VIEW od_view AS SELECT * FROM od_logs");

    odbc::Connection& connection = db.connection();
    std::vector<std::string> names;
    ASSERT_TRUE(connection.GetTableList(names).ok);
    // Views are in the catalogue too; only the current database's own tables are.
    EXPECT_THAT(names, IsSupersetOf({"od_logs", "od_view"}));
    EXPECT_THAT(
        names, Not(Contains(AnyOf("COLUMNS", "TABLES", "pg_class", "sqlite_master", "od_hidden"))));

    const DbResult refused = connection.Execute("INSERT INTO od_missing VALUES (1)");
    EXPECT_FALSE(refused.ok);
    EXPECT_FALSE(refused.message.empty());
    EXPECT_FALSE(refused.sqlState.empty());

    connection.Close();
    EXPECT_FALSE(connection.IsOpen());
    EXPECT_TRUE(connection.Open(GetParam()).ok);
    EXPECT_TRUE(connection.IsOpen());
}

TEST_P(ConnectionPerDatabase, TablesARollbackCannotUndoAreFoundOut) {
    test::TestDatabase db(GetParam());
    db.CreateLogTable("od_tx");
    const WriterOptions options{.batches = true};
    DbResult error;
    auto writer = db.connection().OpenWriter("od_tx", options, error);
    ASSERT_NE(writer, nullptr) << error.message;
    EXPECT_TRUE(writer->CanRollBack());
    if (!db.IsMaria())
        return;
    // MariaDB tells them by their engine, views on them too.
    for (const char* engine : {"MyISAM", "Aria"}) {
        db.TryExec("DROP VIEW IF EXISTS od_v_plain");
        db.TryExec("DROP TABLE IF EXISTS od_plain");
        db.Exec(std::string("CREATE TABLE od_plain (a INTEGER) ENGINE=") + engine);
        db.Exec("CREATE VIEW od_v_plain AS SELECT * FROM od_plain");
        for (const char* table : {"od_plain", "od_v_plain", "brenvale.od_plain"})
            EXPECT_FALSE(db.connection().OpenWriter(table, options, error)->CanRollBack())
                << engine << " " << table;
    }
}

INSTANTIATE_FOR_DATABASES(ConnectionPerDatabase);

} // namespace
} // namespace brenvale

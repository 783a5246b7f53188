// The log line loader against real SQLite, PostgreSQL and MariaDB databases, rows read back.
#include "core/log_loader.h"

#include "support/test_support.h"

#include <limits>
#include <string>

namespace brenvale {
namespace {

using test::Rows;

const std::string kReference =
    "192.0.2.10 192.0.2.20 2006-11-26 13:05:00 /stream 200 Player%2F1.0 4096 60 64";
const std::vector<std::string> kStored = {"192.0.2.10", "192.0.2.20", "2006-11-26 13:05:00",
                                          "/stream",    "200",        "Player%2F1.0",
                                          "4096",       "60",         "64"};

class LoaderTest : public test::PerDatabase {
protected:
    void SetUp() override {
        // Text columns everywhere, so shifted fields are stored rather than refused.
        db_.TryExec("DROP TABLE IF EXISTS lt_text");
        db_.Exec("CREATE TABLE lt_text (v1 VARCHAR(300), v2 VARCHAR(300), v3 VARCHAR(300), v4 "
                 "VARCHAR(300), v5 VARCHAR(300), v6 VARCHAR(300), v7 VARCHAR(300), v8 "
                 "VARCHAR(300), v9 VARCHAR(300))");
    }

    test::TestDatabase db_{GetParam()};
    RunState state_;
    FixedOptions options_;
    test::ManualClock clock_;
    LogLineLoader loader_{db_.connection(), state_, options_, clock_};
};

TEST_P(LoaderTest, EachLineIsStoredAsItsFieldsSay) {
    std::vector<std::string> translated = kStored;
    translated[5] = "Player/1.0";
    std::vector<std::string> withCr = kStored;
    withCr[8] += "\r";
    const std::string hostile = "');%20DROP%20TABLE%20lt_text;%20--";
    const struct {
        const char* why;
        std::string line;
        bool translate; ///< read per line: a change takes effect from the next line on
        LineOutcome outcome;
        std::vector<std::string> row; ///< stored, if anything
    } cases[] = {
        {"the reference line", kReference, false, LineOutcome::Inserted, kStored},
        {"translated", kReference, true, LineOutcome::Inserted, translated},
        {"an eleventh field is ignored", kReference + " extra", false, LineOutcome::Inserted,
         kStored},
        {"nine fields are too few",
         kReference.substr(0, kReference.rfind(' ')),
         false,
         LineOutcome::Short,
         {}},
        // Two blanks make an empty field, and the former tenth field is dropped.
        {"fields shift",
         "192.0.2.10  192.0.2.20 2006-11-26 13:05:00 /stream 200 Player%2F1.0 4096 60 64",
         false,
         LineOutcome::Inserted,
         {"192.0.2.10", "", "192.0.2.20 2006-11-26", "13:05:00", "/stream", "200", "Player%2F1.0",
          "4096", "60"}},
        {"the loader itself trims nothing", kReference + "\r", false, LineOutcome::Inserted,
         withCr},
        {"an empty line", "", false, LineOutcome::Ignored, {}},
        {"a directive", "#Software: SHOUTcast", false, LineOutcome::Ignored, {}},
        {"only the very first character marks a directive",
         " #Version: 2.0",
         false,
         LineOutcome::Short,
         {}},
        {"a blank", " ", false, LineOutcome::Short, {}},
        {"quotes and backslashes are stored as they stand",
         "' \\ 2024-03-01 18:04:11 " + hostile + " 200 %27 O'Brien\\'s %5C%27 x",
         true,
         LineOutcome::Inserted,
         {"'", "\\", "2024-03-01 18:04:11", "'); DROP TABLE lt_text; --", "200", "'", "O'Brien\\'s",
          "\\'", "x"}},
        // Valid UTF-8 (from %C3%B6 or raw) stays; other bytes are read as Windows-1252.
        {"text reaches the database as UTF-8",
         "192.0.2.7 192.0.2.7 2024-03-01 18:04:11 /stream?title=Bj%C3%B6rk%20-%20Joga 200 "
         "Caf\xE9 %E9t%E9 Bj\xC3\xB6rk \x80",
         true,
         LineOutcome::Inserted,
         {"192.0.2.7", "192.0.2.7", "2024-03-01 18:04:11", "/stream?title=Bj\xC3\xB6rk - Joga",
          "200", "Caf\xC3\xA9", "\xC3\xA9t\xC3\xA9", "Bj\xC3\xB6rk", "\xE2\x82\xAC"}},
    };
    std::int32_t inserted = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        options_.translateASCII = c.translate;
        EXPECT_EQ(loader_.InsertLogLine(c.line, "lt_text"), c.outcome);
        inserted += c.outcome == LineOutcome::Inserted ? 1 : 0;
        EXPECT_EQ(state_.RecordsTotal, inserted);
        EXPECT_EQ(state_.RecordsThisFile, inserted);
        EXPECT_EQ(db_.Query("SELECT * FROM lt_text"), c.row.empty() ? Rows{} : Rows{c.row});
        db_.Exec("DELETE FROM lt_text");
    }
}

TEST_P(LoaderTest, RefusedLineDoesNotStopTheFollowingLinesAndTypedColumnsTakeText) {
    db_.CreateLogTable("lt_typed", true);
    const std::string bad = kReference.substr(0, kReference.rfind(' ')) + " 12800";
    for (const std::string& line : {kReference, bad, kReference})
        EXPECT_EQ(loader_.InsertLogLine(line, "lt_typed"),
                  line == bad ? LineOutcome::Refused : LineOutcome::Inserted);
    EXPECT_EQ(state_.RecordsThisFile, 2);
    EXPECT_EQ(state_.RecordsTotal, 2);
    EXPECT_EQ(db_.Query("SELECT status + 1 FROM lt_typed"), (Rows{{"201"}, {"201"}}));
}

TEST_P(LoaderTest, NulBytesArePassedWhole) {
    options_.translateASCII = true;
    const std::string line = "192.0.2.7 192.0.2.7 2024-03-01 18:04:11 /s 200 a%00b 1 2 3";
    const LineOutcome outcome = loader_.InsertLogLine(line, "lt_text");
    if (db_.IsPostgres()) {
        // PostgreSQL text cannot hold NUL: the row is refused, never cut short.
        EXPECT_EQ(outcome, LineOutcome::Refused);
        EXPECT_EQ(db_.Count("lt_text"), 0);
        return;
    }
    EXPECT_EQ(outcome, LineOutcome::Inserted);
    EXPECT_EQ(db_.Query(db_.IsMaria() ? "SELECT length(v6) FROM lt_text"
                                      : "SELECT length(CAST(v6 AS BLOB)) FROM lt_text"),
              Rows{{"3"}});
}

TEST_P(LoaderTest, CounterOverflowKeepsTheRowAndTheCounterAndAMissingTableRefuses) {
    state_.RecordsTotal = std::numeric_limits<std::int32_t>::max();
    state_.RecordsThisFile = 5;
    EXPECT_EQ(loader_.InsertLogLine(kReference, "lt_text"), LineOutcome::Inserted);
    EXPECT_EQ(state_.RecordsTotal, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(state_.RecordsThisFile, 6);
    EXPECT_EQ(db_.Count("lt_text"), 1);
    EXPECT_EQ(loader_.InsertLogLine(kReference, "lt_no_such_table"), LineOutcome::Refused);
    EXPECT_EQ(state_.RecordsThisFile, 6);
}

INSTANTIATE_FOR_DATABASES(LoaderTest);

TEST(LoaderWithoutConnection, EveryLineFailsQuietly) {
    odbc::Environment environment;
    odbc::Connection closed(environment);
    RunState state;
    FixedOptions options;
    test::ManualClock clock;
    LogLineLoader loader(closed, state, options, clock);
    EXPECT_EQ(loader.InsertLogLine(kReference, "logs"), LineOutcome::Refused);
    EXPECT_EQ(state.RecordsTotal, 0);
}

} // namespace
} // namespace brenvale

// The log line loader against real SQLite and PostgreSQL databases, rows read back.
#include "core/log_loader.h"

#include "support/test_support.h"

#include <limits>
#include <string>

namespace brenvale {
namespace {

using test::Rows;

const std::string kReference =
    "192.0.2.10 192.0.2.20 2006-11-26 13:05:00 /stream 200 Player%2F1.0 4096 60 64";

class LoaderTest : public test::PerDatabase {
protected:
    void SetUp() override {
        db_ = std::make_unique<test::TestDatabase>(GetParam());
        // Text columns everywhere, so shifted fields are stored rather than refused.
        db_->TryExec("DROP TABLE IF EXISTS lt_text");
        db_->Exec("CREATE TABLE lt_text (v1 VARCHAR(300), v2 VARCHAR(300), v3 VARCHAR(300), v4 "
                  "VARCHAR(300), v5 VARCHAR(300), v6 VARCHAR(300), v7 VARCHAR(300), v8 "
                  "VARCHAR(300), v9 VARCHAR(300))");
        loader_ = std::make_unique<LogLineLoader>(db_->connection(), state_, options_, clock_);
    }

    Rows All(const std::string& table) { return db_->Query("SELECT * FROM " + table); }

    std::unique_ptr<test::TestDatabase> db_;
    RunState state_;
    FixedOptions options_;
    test::ManualClock clock_;
    std::unique_ptr<LogLineLoader> loader_;
};

TEST_P(LoaderTest, ReferenceLineWithAndWithoutTranslation) {
    options_.translateASCII = false;
    EXPECT_EQ(loader_->InsertLogLine(kReference, "lt_text"), LineOutcome::Inserted);
    options_.translateASCII = true; // read per line: takes effect from the next line on
    EXPECT_EQ(loader_->InsertLogLine(kReference, "lt_text"), LineOutcome::Inserted);
    EXPECT_EQ(state_.RecordsThisFile, 2);
    EXPECT_EQ(state_.RecordsTotal, 2);

    const Rows rows = All("lt_text");
    ASSERT_EQ(rows.size(), 2u);
    const std::vector<std::string> untranslated = {
        "192.0.2.10", "192.0.2.20", "2006-11-26 13:05:00", "/stream", "200", "Player%2F1.0", "4096",
        "60",         "64"};
    std::vector<std::string> translated = untranslated;
    translated[5] = "Player/1.0";
    EXPECT_EQ(rows[0], untranslated);
    EXPECT_EQ(rows[1], translated);
}

TEST_P(LoaderTest, FieldCountsAndBlanks) {
    options_.translateASCII = false;
    EXPECT_EQ(loader_->InsertLogLine(kReference + " extra", "lt_text"), LineOutcome::Inserted);
    const std::string nine = kReference.substr(0, kReference.rfind(' '));
    EXPECT_EQ(loader_->InsertLogLine(nine, "lt_text"), LineOutcome::Short);
    EXPECT_EQ(loader_->InsertLogLine("192.0.2.10  192.0.2.20 2006-11-26 13:05:00 /stream 200 "
                                     "Player%2F1.0 4096 60 64",
                                     "lt_text"),
              LineOutcome::Inserted);
    EXPECT_EQ(loader_->InsertLogLine(kReference + "\r", "lt_text"), LineOutcome::Inserted);
    EXPECT_EQ(state_.RecordsTotal, 3);

    const Rows rows = All("lt_text");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][8], "64") << "an eleventh field is ignored";
    EXPECT_EQ(rows[1][1], "") << "two blanks make an empty field";
    EXPECT_EQ(rows[1][2], "192.0.2.20 2006-11-26");
    EXPECT_EQ(rows[1][8], "60") << "the former tenth field is dropped";
    EXPECT_EQ(rows[2][8], "64\r") << "the loader itself trims nothing";
}

TEST_P(LoaderTest, CommentAndEmptyLinesInsertNothing) {
    EXPECT_EQ(loader_->InsertLogLine("", "lt_text"), LineOutcome::Ignored);
    EXPECT_EQ(loader_->InsertLogLine("#Software: SHOUTcast", "lt_text"), LineOutcome::Ignored);
    EXPECT_EQ(loader_->InsertLogLine("#Fields: c-ip c-dns date time cs-uri-stem c-status "
                                     "cs(User-Agent) sc-bytes x-duration avgbandwidth",
                                     "lt_text"),
              LineOutcome::Ignored);
    EXPECT_EQ(loader_->InsertLogLine(" #Version: 2.0", "lt_text"), LineOutcome::Short)
        << "only the very first character marks a directive";
    EXPECT_EQ(loader_->InsertLogLine(" ", "lt_text"), LineOutcome::Short);
    EXPECT_EQ(state_.RecordsTotal, 0);
    EXPECT_EQ(db_->Count("lt_text"), 0);
}

TEST_P(LoaderTest, QuotesAndBackslashesAreStoredAsTheyStand) {
    options_.translateASCII = true;
    const std::string hostile = "');%20DROP%20TABLE%20lt_text;%20--";
    const std::string line =
        "' \\ 2024-03-01 18:04:11 " + hostile + " 200 %27 O'Brien\\'s %5C%27 x";
    EXPECT_EQ(loader_->InsertLogLine(line, "lt_text"), LineOutcome::Inserted);
    const Rows rows = All("lt_text");
    ASSERT_EQ(rows.size(), 1u);
    const std::vector<std::string> expected = {
        "'",   "\\", "2024-03-01 18:04:11", "'); DROP TABLE lt_text; --", "200", "'", "O'Brien\\'s",
        "\\'", "x"};
    EXPECT_EQ(rows[0], expected);
    EXPECT_EQ(db_->Count("lt_text"), 1) << "the table survives";
}

TEST_P(LoaderTest, RefusedLineDoesNotStopTheFollowingLines) {
    db_->TryExec("DROP TABLE IF EXISTS lt_short");
    // SQLite does not enforce VARCHAR lengths, so a CHECK makes it refuse.
    db_->Exec("CREATE TABLE lt_short (v1 VARCHAR(50), v2 VARCHAR(50), v3 VARCHAR(50), v4 "
              "VARCHAR(50), v5 VARCHAR(50), v6 VARCHAR(50), v7 VARCHAR(50), v8 VARCHAR(50), v9 "
              "VARCHAR(3) CHECK (length(v9) <= 3))");
    const std::string good = "192.0.2.7 192.0.2.7 2024-03-01 18:04:11 /stream 200 VLC 1 65 128";
    const std::string bad = "192.0.2.8 192.0.2.8 2024-03-01 18:04:12 /stream 200 VLC 1 65 12800";
    EXPECT_EQ(loader_->InsertLogLine(good, "lt_short"), LineOutcome::Inserted);
    EXPECT_EQ(loader_->InsertLogLine(bad, "lt_short"), LineOutcome::Refused);
    EXPECT_EQ(loader_->InsertLogLine(good, "lt_short"), LineOutcome::Inserted);
    EXPECT_EQ(state_.RecordsThisFile, 2);
    EXPECT_EQ(state_.RecordsTotal, 2);
    EXPECT_EQ(db_->Count("lt_short"), 2);
}

TEST_P(LoaderTest, TypedColumnTakesTextValues) {
    db_->CreateLogTable("lt_typed");
    EXPECT_EQ(loader_->InsertLogLine(kReference, "lt_typed"), LineOutcome::Inserted);
    const Rows rows = db_->Query("SELECT status + 1 FROM lt_typed");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "201");
}

TEST_P(LoaderTest, TextReachesTheDatabaseAsUtf8) {
    options_.translateASCII = true;
    // Valid UTF-8 (from %C3%B6 or raw) stays; a lone byte like 0xE9 is read as Windows-1252.
    const std::string line = "192.0.2.7 192.0.2.7 2024-03-01 18:04:11 "
                             "/stream?title=Bj%C3%B6rk%20-%20Joga 200 Caf\xE9 %E9t%E9 "
                             "Bj\xC3\xB6rk \x80";
    EXPECT_EQ(loader_->InsertLogLine(line, "lt_text"), LineOutcome::Inserted);
    const Rows rows = All("lt_text");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][3], "/stream?title=Bj\xC3\xB6rk - Joga");
    EXPECT_EQ(rows[0][5], "Caf\xC3\xA9");
    EXPECT_EQ(rows[0][6], "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(rows[0][7], "Bj\xC3\xB6rk");
    EXPECT_EQ(rows[0][8], "\xE2\x82\xAC") << "0x80 is the euro sign in Windows-1252";
}

TEST_P(LoaderTest, NulBytesArePassedWhole) {
    options_.translateASCII = true;
    const std::string line = "192.0.2.7 192.0.2.7 2024-03-01 18:04:11 /s 200 a%00b 1 2 3";
    const LineOutcome outcome = loader_->InsertLogLine(line, "lt_text");
    if (db_->IsPostgres()) {
        // PostgreSQL text cannot hold NUL: the row is refused, never cut short.
        EXPECT_EQ(outcome, LineOutcome::Refused);
        EXPECT_EQ(db_->Count("lt_text"), 0);
    } else {
        EXPECT_EQ(outcome, LineOutcome::Inserted);
        const Rows rows = db_->Query(db_->IsMaria() ? "SELECT length(v6) FROM lt_text"
                                                    : "SELECT length(CAST(v6 AS BLOB)) FROM lt_text");
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0][0], "3");
    }
}

TEST_P(LoaderTest, CounterOverflowKeepsTheRowAndTheCounter) {
    state_.RecordsTotal = std::numeric_limits<std::int32_t>::max();
    state_.RecordsThisFile = 5;
    EXPECT_EQ(loader_->InsertLogLine(kReference, "lt_text"), LineOutcome::Inserted);
    EXPECT_EQ(state_.RecordsTotal, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(state_.RecordsThisFile, 6);
    EXPECT_EQ(db_->Count("lt_text"), 1);
}

TEST_P(LoaderTest, MissingTableRefusesEveryLine) {
    EXPECT_EQ(loader_->InsertLogLine(kReference, "lt_no_such_table"), LineOutcome::Refused);
    EXPECT_EQ(loader_->InsertLogLine(kReference, "lt_no_such_table"), LineOutcome::Refused);
    EXPECT_EQ(state_.RecordsTotal, 0);
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

// The table writer on real databases: a batch inside a transaction stores exactly the rows that
// row by row stores, whichever way the rows are sent (COPY and the SQLite library included), and
// every refusal names its row alike.
#include "data/odbc.h"

#include "support/test_support.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace brenvale {
namespace {

/// Why a row of a case is made so the database cannot store it (or, NoValue, stores NULL).
enum class Fault { None, TooLong, NotANumber, Nul, Dropped, NoValue };
using enum Fault;

struct BatchCase {
    const char* name;
    std::size_t rows;
    std::map<std::size_t, Fault> faults = {};
    std::vector<std::size_t> longValues = {}; ///< rows whose agent is long (sent another way)
    bool copySpecials = false;                ///< text columns hold what COPY's text format escapes
    Fault everyRow = None;
};

void PrintTo(const BatchCase& c, std::ostream* out) {
    *out << c.name;
}

const BatchCase kCases[] = {
    {"NoRefusal", 1000},
    {"FirstRow", 1000, {{0, TooLong}}},
    {"LastRow", 1000, {{999, TooLong}}},
    {"MiddleRow", 1000, {{500, TooLong}}},
    {"SeveralAndNeighbours", 1000, {{3, TooLong}, {77, TooLong}, {78, TooLong}, {600, TooLong}}},
    {"AllRefused", 40, {}, {}, false, TooLong},
    // MariaDB answers a value its INTEGER column cannot take with a warning and no row.
    {"NotANumberIsNotStored", 1000, {{20, NotANumber}, {700, NotANumber}}},
    {"LongValuesGoAnotherWay", 300, {{150, TooLong}}, {10, 150, 151, 299}},
    {"NulByte", 10, {{4, Nul}}},
    // COPY reads backslash, tab, CR and LF as its own; "\." alone on a line would end its data.
    {"CopyTextSpecials", 64, {}, {}, true},
    // A trigger drops these rows (not on MariaDB); the database says the statement succeeded.
    {"TriggerDropsRows", 20, {{0, Dropped}, {7, Dropped}, {8, Dropped}, {19, Dropped}}},
    // SHOUTcast's "-" for a field without a value: NULL in the number column, kept in text.
    {"DashIsNoValue", 1000, {{0, NoValue}, {1, NoValue}, {500, NoValue}, {501, TooLong}}},
    {"DashInEveryRow", 40, {}, {}, false, NoValue},
};

const char* const kCopySpecials[] = {"\\.",    "a\\.b", "\\.\n", "\n\\.\n", "\t",
                                     "x\ty\t", "\\",    "\\\\N", "\\N",     "\r",
                                     "a\r\nb", "\n",    "",      "\\t\\n",  "end\\"};

/// One way the rows reach the writer.
struct Mode {
    const char* name;
    bool batches, allowNative; ///< the writer is made for batches; it may use a native library
    bool nativeOnly;           ///< without a native way, the same as another mode
};

const Mode kModes[] = {
    {"batch", true, true, false},
    {"batch through ODBC only", true, false, true},
    {"row by row", false, true, false},
};

/// How the writer made for batches sends them when the database has a native way.
const char* NativeMethod(const test::TestDatabase& db) {
    if (db.IsPostgres())
        return "COPY";
    return db.IsMaria() ? nullptr : "SQLite library";
}

class WriterTest : public ::testing::TestWithParam<std::tuple<std::string, BatchCase>> {};

/// Nine columns; bandwidth takes at most three characters, status is a number; a trigger drops
/// rows whose c_dns is 'skip' (not on MariaDB, whose triggers cannot).
void MakeTable(test::TestDatabase& db, const std::string& table) {
    db.TryExec("DROP TABLE IF EXISTS " + table);
    const std::string text = db.IsMaria() ? "LONGTEXT" : "TEXT";
    db.Exec("CREATE TABLE " + table + " (c_ip VARCHAR(64), c_dns VARCHAR(255), ts " + text +
            ", uri " + text + ", status INTEGER, agent " + text + ", bytes " + text +
            ", duration " + text + ", bandwidth VARCHAR(3)" +
            (db.IsPostgres() ? "" : " CHECK (length(bandwidth) <= 3)") + ")");
    if (db.IsPostgres()) {
        db.Exec("CREATE OR REPLACE FUNCTION wr_skip() RETURNS trigger LANGUAGE plpgsql AS "
                "$$BEGIN IF NEW.c_dns = 'skip' THEN RETURN NULL; END IF; RETURN NEW; END$$");
        db.Exec("CREATE TRIGGER wr_skip BEFORE INSERT ON " + table +
                " FOR EACH ROW EXECUTE FUNCTION wr_skip()");
    } else if (!db.IsMaria()) {
        // SQLite's trigger names are the database's, not the table's.
        db.Exec("CREATE TRIGGER " + table + "_skip BEFORE INSERT ON " + table +
                " WHEN NEW.c_dns = 'skip' BEGIN SELECT RAISE(IGNORE); END");
    }
}

/// Whether `fault` makes `db` refuse the row (SQLite stores text in an INTEGER column).
bool Refuses(const test::TestDatabase& db, Fault fault) {
    return fault == TooLong || (fault == NotANumber && (db.IsPostgres() || db.IsMaria())) ||
           (fault == Nul && db.IsPostgres()) || (fault == Dropped && !db.IsMaria());
}

TEST_P(WriterTest, BatchStoresWhatRowByRowStores) {
    const auto& [dsn, c] = GetParam();
    test::TestDatabase db(dsn);
    std::vector<std::array<std::string, 9>> values(
        c.rows,
        {"192.0.2.7", "", "2024-03-01 18:04:11", "/stream?title=Bj\xC3\xB6rk - Joga \t\\.\r\n'\"",
         "200", "VLC/3.0.18 LibVLC/3.0.18", "1048576", "65", "128"});
    std::vector<RowValues> rows(c.rows);
    std::vector<Fault> faults(c.rows);
    test::Rows expected;
    for (std::size_t r = 0; r < c.rows; ++r) {
        values[r][1] = "r" + std::to_string(r);
        faults[r] = c.faults.contains(r) ? c.faults.at(r) : c.everyRow;
        if (faults[r] == TooLong)
            values[r][8] = "12800";
        if (faults[r] == NotANumber)
            values[r][4] = r % 2 ? "20x" : "1,048";
        if (faults[r] == Nul)
            values[r][5] = std::string("VL\0C", 4);
        if (faults[r] == Dropped)
            values[r][1] = "skip";
        if (faults[r] == NoValue)
            values[r][4] = values[r][5] = values[r][6] = "-";
        if (c.copySpecials)
            for (const std::size_t column : {0, 2, 3, 5, 6, 7})
                values[r][column] = kCopySpecials[(r * 7 + column) % std::size(kCopySpecials)];
        // The first long value is as long as a log line may be.
        if (std::ranges::count(c.longValues, r))
            values[r][5] = std::string(r == c.longValues.front() ? 1024 * 1024 : 3000, 'a');
        if (!Refuses(db, faults[r]) && faults[r] != Nul)
            expected.emplace_back(values[r].begin(), values[r].end());
        if (faults[r] == NoValue)
            expected.back()[4] = "<null>";
        std::ranges::copy(values[r], rows[r].begin());
    }
    std::ranges::sort(expected);
    const std::size_t nulRows = std::ranges::count(faults, Nul);

    std::vector<std::vector<DbResult>> fatesByMode;
    for (const Mode& mode : kModes) {
        const char* native = NativeMethod(db);
        if (mode.nativeOnly && !native)
            continue;
        SCOPED_TRACE(mode.name);
        MakeTable(db, "wr_batch");
        test::TestDatabase session(dsn);
        const WriterOptions options{.batches = mode.batches, .allowNative = mode.allowNative};
        DbResult error;
        auto writer = session.connection().OpenWriter("wr_batch", options, error);
        ASSERT_TRUE(writer) << error.message;
        EXPECT_EQ(native && writer->Method() == native, mode.batches && mode.allowNative && native)
            << writer->Method();
        EXPECT_EQ(writer->Notice(), "");
        std::vector<DbResult>& fates = fatesByMode.emplace_back();
        // Batches, two: a refusal must be isolated in the second as in the first.
        const std::size_t chunk = mode.batches ? (rows.size() + 1) / 2 : 1;
        for (std::size_t from = 0; from < rows.size(); from += chunk) {
            std::vector<DbResult> part;
            const DbResult inserted = test::StoreBatch(
                *writer,
                std::span<const RowValues>(rows).subspan(from, std::min(chunk, rows.size() - from)),
                part);
            ASSERT_TRUE(inserted.ok) << inserted.message;
            fates.insert(fates.end(), part.begin(), part.end());
        }
        ASSERT_EQ(fates.size(), c.rows);
        for (std::size_t r = 0; r < c.rows; ++r) {
            EXPECT_EQ(fates[r].ok, !Refuses(db, faults[r])) << "row " << r;
            EXPECT_EQ(fates[r].noValue, faults[r] == NoValue) << "row " << r;
            EXPECT_TRUE(fates[r].ok || !fates[r].message.empty()) << "row " << r;
            if (Refuses(db, faults[r]) && faults[r] == Dropped) {
                EXPECT_EQ(fates[r].message, "The database stored 0 of 1 row.") << "row " << r;
            }
        }
        // Every byte arrives as it was sent (a NUL only as far as the driver reads it back).
        test::Rows stored = db.Query("SELECT * FROM wr_batch");
        std::ranges::sort(stored);
        if (nulRows > 0)
            EXPECT_EQ(stored.size(), expected.size() + (db.IsPostgres() ? 0 : nulRows));
        else
            EXPECT_EQ(stored, expected);
    }
    // Whichever way the rows went, each refused row carries the same SQLSTATE.
    for (std::size_t m = 0; m + 1 < fatesByMode.size(); ++m)
        for (std::size_t r = 0; r < c.rows; ++r)
            EXPECT_EQ(fatesByMode[m][r].sqlState, fatesByMode.back()[r].sqlState)
                << "mode " << m << ", row " << r << ": " << fatesByMode[m][r].message;
}

INSTANTIATE_TEST_SUITE_P(Databases, WriterTest,
                         ::testing::Combine(::testing::ValuesIn(test::kDatabases),
                                            ::testing::ValuesIn(kCases)),
                         [](const auto& info) {
                             return std::get<0>(info.param) + "_" + std::get<1>(info.param).name;
                         });

class WriterPositions : public test::PerDatabase {};

TEST_P(WriterPositions, PositionsCommitWithTheRowsAndOnlyFromTheCountTheyWereReadAt) {
    test::TestDatabase db(GetParam());
    MakeTable(db, "wr_pos");
    db.TryExec("DROP TABLE brenvale_checkpoint");
    DbResult error;
    const WriterOptions options{.batches = true};
    auto writer = db.connection().OpenWriter("wr_pos", options, error);
    ASSERT_TRUE(writer) << error.message;
    std::vector<SourcePosition> loaded;
    SourceClaim claim;
    ASSERT_TRUE(writer->LoadPositions("/logs/a.log", loaded, claim).ok);
    EXPECT_TRUE(loaded.empty());
    EXPECT_FALSE(claim.stored);

    const std::vector<RowValues> rows = {
        {"192.0.2.7", "p1", "2024-03-01 18:04:11", "/s", "200", "a", "1", "2", "3"}};
    UnitProgress progress{
        .kind = UnitProgress::Kind::Position,
        .source = "/logs/a.log",
        .streams = {{0, {"id1", "a.log", 11, 256, 300, 2, 22, "\"etag\""}, true, false, {}}},
        .claim = claim};
    std::vector<DbResult> fates;
    // A count another run moved on refuses the position, and the rows go with it.
    progress.claim.commits = 7;
    progress.claim.stored = true;
    const DbResult refused = test::StoreBatch(*writer, rows, fates, &progress);
    EXPECT_EQ(refused.failure, DbFailure::Taken) << refused.message;
    EXPECT_EQ(db.Count("wr_pos"), 0);
    progress.claim = claim;
    ASSERT_TRUE(test::StoreBatch(*writer, rows, fates, &progress).ok);
    EXPECT_EQ(db.Count("wr_pos"), 1);
    // The position ends where the batch does (its one row, line 1 at byte 100).
    const StreamProgress& stream = progress.streams.at(0);
    EXPECT_EQ(std::tuple(stream.position.offset, stream.position.line, stream.isNew,
                         progress.claim.commits),
              std::tuple(100ul, 1ul, false, 1ul));
    ASSERT_TRUE(writer->LoadPositions("/logs/a.log", loaded, claim).ok);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(std::pair(claim.stored, claim.commits), std::pair(true, 1ul));
    const SourceClaim stale = claim;
    // Lines that insert nothing move the position on alone.
    BatchOutcome outcome;
    const LineMark further{5, 8192, 22, 11, 256};
    ASSERT_TRUE(writer->Finish(further, progress, outcome).ok);
    ASSERT_TRUE(writer->LoadPositions("/logs/a.log", loaded, claim).ok);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(claim.commits, 2u);
    const auto fields = [](const SourcePosition& p) {
        return std::tie(p.fileId, p.fileName, p.identityHash, p.identityLength, p.offset, p.line,
                        p.prefixHash, p.validator);
    };
    EXPECT_EQ(fields(loaded[0]), fields(progress.streams.at(0).position));
    EXPECT_EQ(loaded[0].offset, 8192u);
    ASSERT_TRUE(writer->LoadPositions("/logs/b.log", loaded, claim).ok);
    EXPECT_TRUE(loaded.empty());

    // Runs that read the positions before that commit, or found none, give way at their commit.
    for (const SourceClaim& old : {stale, SourceClaim{}}) {
        test::TestDatabase second(GetParam());
        auto late = second.connection().OpenWriter("wr_pos", options, error);
        ASSERT_TRUE(late) << error.message;
        UnitProgress theirs{
            .kind = UnitProgress::Kind::Position,
            .source = "/logs/a.log",
            .streams = {{0, {"id2", "a.log", 11, 256, 900, 9, 33, ""}, true, false, {}}},
            .claim = old};
        const DbResult taken = test::StoreBatch(*late, rows, fates, &theirs);
        EXPECT_EQ(taken.failure, DbFailure::Taken) << taken.message;
        EXPECT_THAT(taken.message, ::testing::HasSubstr("Another run is loading '/logs/a.log'"));
        EXPECT_EQ(db.Count("wr_pos"), 1);
    }

    // A row no run could have written is damaged, and says how.
    const std::tuple<const char*, const char*, const char*> damages[] = {
        {"identity_length = 0", "identity_length = 256", "contradict each other"},
        {"line_number = 9000", "line_number = 5", "contradict each other"},
        {"source = 'other.log'", "source = '/logs/a.log'", "its source is 'other.log'"},
        {"prefix_hash = 'not hex'", "prefix_hash = '0000000000000016'", "not 16 hex digits"},
    };
    for (const auto& [damage, repair, why] : damages) {
        db.Exec(std::string("UPDATE brenvale_checkpoint SET ") + damage + " WHERE file_id = 'id1'");
        const DbResult read = writer->LoadPositions("/logs/a.log", loaded, claim);
        EXPECT_FALSE(read.ok) << damage;
        EXPECT_THAT(read.message, ::testing::HasSubstr(why));
        db.Exec(std::string("UPDATE brenvale_checkpoint SET ") + repair + " WHERE file_id = 'id1'");
        EXPECT_TRUE(writer->LoadPositions("/logs/a.log", loaded, claim).ok) << repair;
    }
    writer.reset();
    // Where the table is, MariaDB empties tables by DELETE, which other tests do not expect.
    db.Exec("DROP TABLE brenvale_checkpoint");
}

INSTANTIATE_FOR_DATABASES(WriterPositions);

/// The data source's settings as libpq reads them, given in a user data source of the same name
/// after ODBC connected with the system one, and the target COPY fills.
TEST(CopyWriter, TakesTheDataSourcesSettingsOrSaysWhyNot) {
    const char* port = std::getenv("BRENVALE_TEST_PG_PORT");
    const char* userIni = std::getenv("ODBCINI");
    ASSERT_TRUE(port && userIni);
    const std::string testUserIni = userIni, p = port;
    // Name, odbc.ini lines, target, whether libpq reaches the ODBC connection's database and user.
    const std::tuple<const char*, std::string, const char*, bool> cases[] = {
        {"psqlODBC's other keywords, in other letter cases",
         "Server=127.0.0.1\nPORT=" + p +
             "\ndatabase=brenvale\nUID=brenvale\nPWD=brenvale\nsslmode=disable\n",
         "wr_fallback", true},
        {"nothing listens on the port", "Servername=127.0.0.1\nPort=1\nUsername=brenvale\n",
         "wr_fallback", false},
        {"another database of the same server",
         "Servername=127.0.0.1\nPort=" + p + "\nDatabase=postgres\nUsername=brenvale\n",
         "wr_fallback", false},
        {"a view, which COPY cannot fill",
         "Servername=127.0.0.1\nPort=" + p + "\nDatabase=brenvale\nUsername=brenvale\n",
         "wr_fallback_view", false},
    };
    test::TestDatabase db(test::kPostgresDsn);
    for (const auto& [name, settings, table, copy] : cases) {
        SCOPED_TRACE(name);
        db.TryExec("DROP VIEW wr_fallback_view");
        MakeTable(db, "wr_fallback");
        db.Exec("CREATE VIEW wr_fallback_view AS SELECT * FROM wr_fallback");
        const std::string ini = test::WriteFile(test::ScratchDir("copy") + "/odbc.ini",
                                                std::string("[") + test::kPostgresDsn +
                                                    "]\nDriver=PostgreSQL Unicode\n" + settings);
        // psqlODBC isolates a refused row only in the first transaction of a connection.
        test::TestDatabase session(test::kPostgresDsn);
        ASSERT_EQ(setenv("ODBCINI", ini.c_str(), 1), 0);
        DbResult error;
        auto writer = session.connection().OpenWriter(table, {.batches = true}, error);
        ASSERT_EQ(setenv("ODBCINI", testUserIni.c_str(), 1), 0);
        ASSERT_TRUE(writer) << error.message;
        EXPECT_EQ(writer->Method() == "COPY", copy) << writer->Method();
        if (copy)
            EXPECT_EQ(writer->Notice(), "");
        else
            EXPECT_EQ(writer->Notice().rfind("COPY could not be used", 0), 0u) << writer->Notice();

        const std::vector<RowValues> rows = {
            {"192.0.2.7", "f1", "t", "/s", "200", "a", "1", "2", "3"},
            {"192.0.2.7", "f2", "t", "/s", "200", "a", "1", "2", "12800"}};
        std::vector<DbResult> fates;
        const DbResult inserted = test::StoreBatch(*writer, rows, fates);
        ASSERT_TRUE(inserted.ok) << inserted.message;
        EXPECT_THAT(fates, ::testing::ElementsAre(::testing::Field(&DbResult::ok, true),
                                                  ::testing::Field(&DbResult::sqlState, "22001")));
        EXPECT_EQ(db.Query("SELECT c_dns FROM wr_fallback"), test::Rows{{"f1"}});
    }
}

TEST(CopyWriter, ALostConnectionStopsTheBatch) {
    test::TestDatabase db(test::kPostgresDsn);
    const std::vector<RowValues> rows = {{"192.0.2.7", "l1", "t", "/s", "200", "a", "1", "2", "3"}};
    // The server ends the writer's own session before the rows, or while they stream into COPY.
    for (const bool streaming : {false, true}) {
        SCOPED_TRACE(streaming ? "while the rows stream" : "before the rows");
        MakeTable(db, "wr_lost");
        DbResult error;
        auto writer = db.connection().OpenWriter("wr_lost", {.batches = true}, error);
        ASSERT_TRUE(writer && writer->Method() == "COPY") << error.message;
        if (streaming) {
            ASSERT_TRUE(writer->Add(rows[0], {1, 100}).ok);
        }
        db.EndOtherSessions();
        // Without rows in flight, the first row finds the session gone as it goes out.
        DbResult failed = streaming ? DbResult::Success() : writer->Add(rows[0], {1, 100});
        UnitProgress none;
        BatchOutcome outcome;
        if (failed)
            failed = writer->Finish({1, 100}, none, outcome);
        EXPECT_EQ(failed.failure, DbFailure::ConnectionLost) << failed.message;
        // The server said it ended the session, so the commit never ran.
        EXPECT_FALSE(failed.inDoubt) << failed.message;
        EXPECT_EQ(outcome.committed, 0u);
        EXPECT_EQ(db.Count("wr_lost"), 0);
    }
}

} // namespace
} // namespace brenvale

// The table writer on real databases: a batch inside a transaction stores exactly the rows that
// row by row stores, whichever way the rows are sent, and every refusal names its row.
#include "data/odbc.h"

#include "support/test_support.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace brenvale {
namespace {

using test::Rows;

/// Why a row of a case is made so the database cannot store it.
enum class Fault { None, TooLong, NotANumber, Nul };

struct BatchCase {
    const char* name;
    std::size_t rows;
    std::vector<std::pair<std::size_t, Fault>> faults;
    std::vector<std::size_t> longValues; ///< rows whose agent is 3,000 bytes (another way of sending)
};

void PrintTo(const BatchCase& c, std::ostream* out) {
    *out << c.name;
}

const BatchCase kCases[] = {
    {"NoRefusal", 1000, {}, {}},
    {"FirstRow", 1000, {{0, Fault::TooLong}}, {}},
    {"LastRow", 1000, {{999, Fault::TooLong}}, {}},
    {"MiddleRow", 1000, {{500, Fault::TooLong}}, {}},
    {"SeveralAndNeighbours", 1000, {{3, Fault::TooLong}, {77, Fault::TooLong}, {78, Fault::TooLong}, {600, Fault::TooLong}}, {}},
    // MariaDB answers a value its INTEGER column cannot take with a warning and no row.
    {"NotANumberIsNotStored", 1000, {{20, Fault::NotANumber}, {700, Fault::NotANumber}}, {}},
    {"LongValuesGoAnotherWay", 300, {{150, Fault::TooLong}}, {10, 150, 151, 299}},
    {"NulByte", 10, {{4, Fault::Nul}}, {}},
};

class WriterTest : public ::testing::TestWithParam<std::tuple<std::string, BatchCase>> {
protected:
    const std::string& Dsn() const { return std::get<0>(GetParam()); }
    const BatchCase& Case() const { return std::get<1>(GetParam()); }

    /// Nine columns; bandwidth takes at most three characters, status is a number.
    void MakeTable(test::TestDatabase& db, const std::string& table) {
        db.TryExec("DROP TABLE IF EXISTS " + table);
        const std::string text = db.IsMaria() ? "LONGTEXT" : "TEXT";
        db.Exec("CREATE TABLE " + table + " (c_ip VARCHAR(64), c_dns VARCHAR(255), ts " + text +
                ", uri " + text + ", status INTEGER, agent " + text + ", bytes " + text +
                ", duration " + text + ", bandwidth VARCHAR(3)" +
                (db.IsPostgres() ? "" : " CHECK (length(bandwidth) <= 3)") + ")");
    }
};

/// Whether `fault` makes `db` refuse the row (SQLite stores text in an INTEGER column).
bool Refuses(const test::TestDatabase& db, Fault fault) {
    switch (fault) {
    case Fault::None:
        return false;
    case Fault::NotANumber:
        return db.dsn() != test::kSqliteDsn;
    case Fault::Nul:
        return db.IsPostgres();
    case Fault::TooLong:
        return true;
    }
    return false;
}

TEST_P(WriterTest, BatchStoresWhatRowByRowStores) {
    test::TestDatabase db(Dsn());
    const BatchCase& c = Case();
    std::vector<std::array<std::string, 9>> values(c.rows);
    std::set<std::string> expected;
    for (std::size_t r = 0; r < c.rows; ++r) {
        values[r] = {"192.0.2.7", "r" + std::to_string(r), "2024-03-01 18:04:11",
                     "/stream?title=Bj\xC3\xB6rk - Joga \t\\.\r\n'\"", "200",
                     "VLC/3.0.18 LibVLC/3.0.18", "1048576", "65", "128"};
        Fault fault = Fault::None;
        for (const auto& [row, kind] : c.faults)
            if (row == r)
                fault = kind;
        if (fault == Fault::TooLong)
            values[r][8] = "12800";
        if (fault == Fault::NotANumber)
            values[r][4] = r % 2 ? "20x" : "1,048";
        if (fault == Fault::Nul)
            values[r][5] = std::string("VL\0C", 4);
        // The first long value is as long as a log line may be.
        if (std::find(c.longValues.begin(), c.longValues.end(), r) != c.longValues.end())
            values[r][5] = std::string(r == c.longValues.front() ? 1024 * 1024 : 3000, 'a');
        if (!Refuses(db, fault))
            expected.insert(values[r][1]);
    }
    std::vector<RowValues> rows;
    for (const auto& row : values) {
        RowValues& out = rows.emplace_back();
        for (std::size_t i = 0; i < 9; ++i)
            out[i] = row[i];
    }

    for (const bool batch : {true, false}) {
        SCOPED_TRACE(batch ? "one transaction" : "row by row");
        MakeTable(db, "wr_batch");
        odbc::Environment environment;
        odbc::Connection connection(environment);
        ASSERT_TRUE(connection.Open(Dsn()).ok);
        WriterOptions options;
        options.batches = batch;
        DbResult error;
        auto writer = connection.OpenWriter("wr_batch", options, error);
        ASSERT_TRUE(writer) << error.message;
        std::vector<DbResult> fates;
        if (batch) {
            ASSERT_TRUE(writer->Begin().ok);
            const DbResult inserted = writer->Insert(rows, fates);
            ASSERT_TRUE(inserted.ok) << inserted.message;
            ASSERT_TRUE(writer->Commit().ok);
        } else {
            for (const RowValues& row : rows) {
                std::vector<DbResult> one;
                ASSERT_TRUE(writer->Insert(std::span<const RowValues>(&row, 1), one).ok);
                fates.push_back(one.front());
            }
        }
        std::set<std::string> stored;
        for (const auto& row : db.Query("SELECT c_dns FROM wr_batch"))
            stored.insert(row.at(0));
        EXPECT_EQ(stored, expected);
        ASSERT_EQ(fates.size(), c.rows);
        for (std::size_t r = 0; r < c.rows; ++r) {
            EXPECT_EQ(fates[r].ok, expected.count(values[r][1]) == 1) << "row " << r;
            EXPECT_TRUE(fates[r].ok || !fates[r].message.empty()) << "row " << r;
        }
        if (c.faults.empty() && c.longValues.empty()) {
            // Every byte arrives as it was sent.
            Rows all = db.Query("SELECT * FROM wr_batch");
            Rows sent;
            for (const auto& row : values)
                sent.emplace_back(row.begin(), row.end());
            std::sort(all.begin(), all.end());
            std::sort(sent.begin(), sent.end());
            EXPECT_EQ(all, sent);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Databases, WriterTest,
    ::testing::Combine(::testing::Values(std::string(test::kSqliteDsn),
                                         std::string(test::kPostgresDsn),
                                         std::string(test::kMariaDsn)),
                       ::testing::ValuesIn(kCases)),
    [](const auto& info) { return std::get<0>(info.param) + "_" + std::get<1>(info.param).name; });

} // namespace
} // namespace brenvale

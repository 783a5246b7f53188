// The ODBC channel of a job's table: one strategy per way of sending rows (one-row statement,
// multi-row statement, parameter arrays), each checking its own results; and the factory that
// picks a channel for a table.
#include "data/writers.h"

#include "data/batch.h"
#include "data/odbc.h"
#include "data/pg_copy.h"
#include "data/row_fates.h"
#include "data/sqlite_native.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <array>
#include <vector>

namespace brenvale::odbc {

namespace {

bool Succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

constexpr std::size_t kColumns = 9;
// Parameter arrays and slot buffers hold every row at its column's widest value, so one long
// value multiplies: a unit ends before its buffers pass this size.
constexpr std::size_t kUnitBytes = std::size_t{4} * 1024 * 1024;

std::string InsertSql(const std::string& table, std::size_t rows) {
    std::string sql = "INSERT INTO " + table + " VALUES ";
    for (std::size_t r = 0; r < rows; ++r)
        sql += r == 0 ? "(?, ?, ?, ?, ?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?, ?, ?, ?, ?)";
    return sql;
}

/// One way of sending rows as one statement execution.
class RowStrategy {
public:
    virtual ~RowStrategy() = default;
    virtual const char* Name() const = 0;
    /// How many of the leading `rows` one unit takes; 0 when it cannot take the first one.
    virtual std::size_t Take(std::span<const RowValues> rows) const = 0;
    /// Whether a unit of `count` rows can be sent (the halves of a failed unit, say).
    virtual bool Fits(std::size_t count) const = 0;
    /// Sends `rows` as one unit; ok only when the database confirmed every row stored. On a
    /// refusal the caller undoes the unit and halves it; when the driver proved unable to do
    /// this at all, Usable() turns false and the caller sends the unit another way.
    virtual DbResult Send(std::span<const RowValues> rows) = 0;
    bool Usable() const { return usable_; }
    /// The last Send failed after some of its rows were stored (a trigger dropped others).
    bool StoredSome() const { return storedSome_; }

protected:
    /// The failure for a unit whose rows the database did not all store.
    DbResult Partly(DbResult warning, long stored, std::size_t sent) {
        storedSome_ = stored > 0;
        return NotStored(std::move(warning), stored, sent);
    }

    bool usable_ = true;
    bool storedSome_ = false;
};

/// The prepared one-row statement, its buffers bound once and rebound only when a value
/// outgrows them.
class SingleRow final : public RowStrategy {
public:
    SingleRow(Connection& connection, std::string sql, bool refuseNul,
              const NoValueColumns& noValue)
        : connection_(connection), sql_(std::move(sql)), refuseNul_(refuseNul), noValue_(noValue) {}

    const char* Name() const override { return "single-row INSERT"; }
    std::size_t Take(std::span<const RowValues> rows) const override {
        return rows.empty() ? 0 : 1;
    }
    bool Fits(std::size_t count) const override { return count == 1; }

    DbResult Send(std::span<const RowValues> rows) override {
        const RowValues& values = rows.front();
        if (refuseNul_ && HoldsNul(values))
            return NulRefusal();
        if (!statement_) {
            if (DbResult made = connection_.NewStatement(statement_); !made)
                return made;
            if (!Succeeded(SQLPrepare(statement_.get(), reinterpret_cast<SQLCHAR*>(sql_.data()),
                                      static_cast<SQLINTEGER>(sql_.size())))) {
                DbResult failure = connection_.StatementFailure(statement_.get(),
                                                                "the insert could not be prepared");
                statement_.reset();
                return failure;
            }
            bound_ = false;
        }
        for (std::size_t i = 0; i < kColumns; ++i) {
            const std::string_view value = values[i];
            const std::size_t need = std::max<std::size_t>(value.size(), 256);
            if (need > buffers_[i].size() || !bound_) {
                if (need > buffers_[i].size())
                    buffers_[i].resize(std::max(need, 2 * buffers_[i].size()));
                const auto size = static_cast<SQLULEN>(buffers_[i].size());
                if (!Succeeded(SQLBindParameter(statement_.get(), static_cast<SQLUSMALLINT>(i + 1),
                                                SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, size, 0,
                                                buffers_[i].data(), static_cast<SQLLEN>(size),
                                                &lengths_[i]))) {
                    bound_ = false;
                    return connection_.StatementFailure(statement_.get(), "binding a value failed");
                }
            }
            std::copy(value.begin(), value.end(), buffers_[i].begin());
            lengths_[i] =
                IsNoValue(value, noValue_[i]) ? SQL_NULL_DATA : static_cast<SQLLEN>(value.size());
        }
        bound_ = true;
        const SQLRETURN rc = SQLExecute(statement_.get());
        if (!Succeeded(rc) && rc != SQL_NO_DATA) {
            DbResult failure =
                connection_.StatementFailure(statement_.get(), "the database refused the row");
            SQLFreeStmt(statement_.get(), SQL_CLOSE);
            return failure;
        }
        // The warnings go with the next call, so they are read before the row count.
        DbResult warning = rc == SQL_SUCCESS_WITH_INFO
                               ? connection_.StatementFailure(statement_.get(), "")
                               : DbResult::Success();
        SQLLEN count = -1;
        SQLRowCount(statement_.get(), &count);
        // An INSERT leaves no cursor to close; closing would make some drivers prepare again.
        if (count == 1 || (count < 0 && rc == SQL_SUCCESS))
            return DbResult::Success();
        return Partly(std::move(warning), std::max<long>(count, 0), 1);
    }

private:
    Connection& connection_;
    std::string sql_;
    bool refuseNul_;
    NoValueColumns noValue_;
    Handle statement_;
    std::array<std::vector<char>, kColumns> buffers_;
    std::array<SQLLEN, kColumns> lengths_{};
    bool bound_ = false;
};

/// Multi-row statements of 2, 4, ... 512 rows, each bound once to slot buffers; a unit is the
/// largest power of two of leading rows that fits, so the halves of a unit fit too.
class MultiRow final : public RowStrategy {
public:
    MultiRow(Connection& connection, std::string table, const NoValueColumns& noValue)
        : connection_(connection), table_(std::move(table)), noValue_(noValue) {}

    const char* Name() const override { return "multi-row INSERT"; }

    std::size_t Take(std::span<const RowValues> rows) const override {
        std::size_t fitting = 0;
        while (fitting < rows.size() && fitting < kMaxRows && FitsSlots(rows[fitting]))
            ++fitting;
        if (fitting < 2)
            return 0;
        std::size_t unit = 1;
        while (unit * 2 <= fitting)
            unit *= 2;
        return unit;
    }

    bool Fits(std::size_t count) const override {
        return count >= 2 && count <= kMaxRows && (count & (count - 1)) == 0;
    }

    DbResult Send(std::span<const RowValues> rows) override {
        const std::size_t count = rows.size();
        Statement& statement = StatementFor(count);
        if (!statement.handle) {
            if (DbResult made = connection_.NewStatement(statement.handle); !made)
                return made;
            std::string sql = InsertSql(table_, count);
            if (!Succeeded(SQLPrepare(statement.handle.get(),
                                      reinterpret_cast<SQLCHAR*>(sql.data()),
                                      static_cast<SQLINTEGER>(sql.size())))) {
                // No multi-row VALUES here (or too many parameters): the other ways remain.
                DbResult failure = connection_.StatementFailure(
                    statement.handle.get(), "the statement could not be prepared");
                statement.handle.reset();
                usable_ = false;
                return failure;
            }
            statement.widths.fill(0);
        }
        for (std::size_t c = 0; c < kColumns; ++c) {
            std::size_t width = statement.widths[c];
            for (const RowValues& row : rows)
                while (width < std::max<std::size_t>(row[c].size(), 1))
                    width = std::max<std::size_t>(width * 2, kSlotStart);
            if (width != statement.widths[c]) {
                statement.widths[c] = width;
                statement.slots[c].assign(width * count, '\0');
                statement.lengths[c].assign(count, 0);
                if (!Bind(statement, c, count))
                    return connection_.StatementFailure(statement.handle.get(),
                                                        "binding a value failed");
            }
            for (std::size_t r = 0; r < count; ++r) {
                const std::string_view value = rows[r][c];
                std::copy(value.begin(), value.end(),
                          statement.slots[c].begin() + static_cast<std::ptrdiff_t>(r * width));
                statement.lengths[c][r] = IsNoValue(value, noValue_[c])
                                              ? SQL_NULL_DATA
                                              : static_cast<SQLLEN>(value.size());
            }
        }
        const SQLRETURN rc = SQLExecute(statement.handle.get());
        if (!Succeeded(rc) && rc != SQL_NO_DATA) {
            DbResult failure =
                connection_.StatementFailure(statement.handle.get(), "the database refused a row");
            SQLFreeStmt(statement.handle.get(), SQL_CLOSE);
            return failure;
        }
        DbResult warning = rc == SQL_SUCCESS_WITH_INFO
                               ? connection_.StatementFailure(statement.handle.get(), "")
                               : DbResult::Success();
        SQLLEN stored = -1;
        SQLRowCount(statement.handle.get(), &stored);
        if (stored == static_cast<SQLLEN>(count) || (stored < 0 && rc == SQL_SUCCESS))
            return DbResult::Success();
        return Partly(std::move(warning), std::max<long>(stored, 0), count);
    }

private:
    static constexpr std::size_t kMaxRows = 512;
    static constexpr std::size_t kSlotStart = 64;
    // 512 rows of nine slots of this width stay within the unit budget.
    static constexpr std::size_t kSlotMax = kUnitBytes / kMaxRows / kColumns;

    struct Statement {
        Handle handle;
        std::array<std::size_t, kColumns> widths{};
        std::array<std::vector<char>, kColumns> slots;
        std::array<std::vector<SQLLEN>, kColumns> lengths;
    };

    static bool FitsSlots(const RowValues& row) {
        for (const std::string_view value : row)
            if (value.size() > kSlotMax)
                return false;
        return true;
    }

    Statement& StatementFor(std::size_t count) {
        std::size_t index = 0;
        while ((std::size_t{2} << index) < count)
            ++index;
        return statements_[index];
    }

    static bool Bind(Statement& statement, std::size_t c, std::size_t count) {
        const auto width = static_cast<SQLULEN>(statement.widths[c]);
        for (std::size_t r = 0; r < count; ++r) {
            const auto number = static_cast<SQLUSMALLINT>(r * kColumns + c + 1);
            if (!Succeeded(SQLBindParameter(statement.handle.get(), number, SQL_PARAM_INPUT,
                                            SQL_C_CHAR, SQL_VARCHAR, width, 0,
                                            &statement.slots[c][r * statement.widths[c]],
                                            static_cast<SQLLEN>(width), &statement.lengths[c][r])))
                return false;
        }
        return true;
    }

    Connection& connection_;
    std::string table_;
    NoValueColumns noValue_;
    // Sizes 2, 4, ... 512.
    std::array<Statement, 9> statements_;
};

/// Column-wise parameter arrays of the one-row statement, on a statement of their own.
class ParamArray final : public RowStrategy {
public:
    ParamArray(Connection& connection, std::string sql, const NoValueColumns& noValue)
        : connection_(connection), sql_(std::move(sql)), noValue_(noValue) {}

    const char* Name() const override { return "parameter arrays"; }

    std::size_t Take(std::span<const RowValues> rows) const override {
        std::array<std::size_t, kColumns> widths{};
        std::size_t count = 0;
        while (count < rows.size() && count < kMaxRows) {
            std::size_t rowBytes = 0;
            std::array<std::size_t, kColumns> grown = widths;
            for (std::size_t c = 0; c < kColumns; ++c) {
                grown[c] = std::max({grown[c], rows[count][c].size(), std::size_t{1}});
                rowBytes += grown[c];
            }
            if (count > 0 && rowBytes * (count + 1) > kUnitBytes)
                break;
            widths = grown;
            ++count;
        }
        return count >= 2 ? count : 0;
    }

    bool Fits(std::size_t count) const override { return count >= 2 && count <= kMaxRows; }

    DbResult Send(std::span<const RowValues> rows) override {
        const std::size_t count = rows.size();
        if (!statement_)
            if (DbResult prepared = Prepare(); !prepared)
                return prepared;
        SQLULEN size = 0;
        if (!Succeeded(SQLSetStmtAttr(statement_.get(), SQL_ATTR_PARAMSET_SIZE,
                                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(count)),
                                      0)) ||
            !Succeeded(
                SQLGetStmtAttr(statement_.get(), SQL_ATTR_PARAMSET_SIZE, &size, 0, nullptr)) ||
            size != count) {
            // A driver may put its own value in place of the size asked for (01S02).
            usable_ = false;
            return DbResult::Failure("IM001",
                                     "The driver does not take parameter arrays of this size.");
        }
        for (std::size_t c = 0; c < kColumns; ++c) {
            std::size_t width = 1;
            for (const RowValues& row : rows)
                width = std::max(width, row[c].size());
            std::vector<char>& data = data_[c];
            std::vector<SQLLEN>& lengths = lengths_[c];
            data.resize(width * count);
            lengths.resize(count);
            for (std::size_t r = 0; r < count; ++r) {
                const std::string_view value = rows[r][c];
                std::copy(value.begin(), value.end(),
                          data.begin() + static_cast<std::ptrdiff_t>(r * width));
                lengths[r] = IsNoValue(value, noValue_[c]) ? SQL_NULL_DATA
                                                           : static_cast<SQLLEN>(value.size());
            }
            if (!Succeeded(SQLBindParameter(statement_.get(), static_cast<SQLUSMALLINT>(c + 1),
                                            SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, width, 0,
                                            data.data(), static_cast<SQLLEN>(width),
                                            lengths.data())))
                return connection_.StatementFailure(statement_.get(),
                                                    "binding a value array failed");
        }
        std::fill(statuses_.begin(), statuses_.begin() + static_cast<std::ptrdiff_t>(count),
                  kUnset);
        processed_ = 0;
        const SQLRETURN rc = SQLExecute(statement_.get());
        DbResult result = DbResult::Success();
        if (!Succeeded(rc) && rc != SQL_NO_DATA)
            result = connection_.StatementFailure(statement_.get(), "the database refused a row");
        DbResult warning = rc == SQL_SUCCESS_WITH_INFO
                               ? connection_.StatementFailure(statement_.get(), "")
                               : DbResult::Success();
        SQLLEN stored = -1;
        if (result)
            SQLRowCount(statement_.get(), &stored);
        // A driver that counts rows per set keeps those results pending; closing drops them.
        SQLFreeStmt(statement_.get(), SQL_CLOSE);
        if (!result)
            return result;
        bool allConfirmed = true;
        for (std::size_t r = 0; r < count; ++r)
            if (statuses_[r] != SQL_PARAM_SUCCESS && statuses_[r] != SQL_PARAM_SUCCESS_WITH_INFO &&
                !(statuses_[r] == kUnset && rc == SQL_SUCCESS))
                allConfirmed = false;
        if (processed_ != 0 && processed_ != count)
            allConfirmed = false;
        // The row count is the one figure every driver gives for the whole array.
        if (allConfirmed &&
            (stored == static_cast<SQLLEN>(count) || (stored < 0 && rc == SQL_SUCCESS)))
            return DbResult::Success();
        return Partly(std::move(warning), std::max<long>(stored, 0), count);
    }

private:
    static constexpr std::size_t kMaxRows = 1000;
    static constexpr SQLUSMALLINT kUnset = 0xFFFF;

    /// The one-row statement, prepared for arrays bound by column.
    DbResult Prepare() {
        if (DbResult made = connection_.NewStatement(statement_); !made)
            return made;
        if (!Succeeded(SQLPrepare(statement_.get(), reinterpret_cast<SQLCHAR*>(sql_.data()),
                                  static_cast<SQLINTEGER>(sql_.size())))) {
            DbResult failure =
                connection_.StatementFailure(statement_.get(), "the insert could not be prepared");
            statement_.reset();
            return failure;
        }
        if (!Succeeded(SQLSetStmtAttr(statement_.get(), SQL_ATTR_PARAM_BIND_TYPE,
                                      reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0)) ||
            !Succeeded(
                SQLSetStmtAttr(statement_.get(), SQL_ATTR_PARAM_STATUS_PTR, statuses_.data(), 0)) ||
            !Succeeded(
                SQLSetStmtAttr(statement_.get(), SQL_ATTR_PARAMS_PROCESSED_PTR, &processed_, 0))) {
            usable_ = false;
            return DbResult::Failure("IM001", "The driver takes no parameter arrays.");
        }
        return DbResult::Success();
    }

    Connection& connection_;
    std::string sql_;
    NoValueColumns noValue_;
    Handle statement_;
    std::array<std::vector<char>, kColumns> data_;
    std::array<std::vector<SQLLEN>, kColumns> lengths_;
    std::array<SQLUSMALLINT, kMaxRows> statuses_{};
    SQLULEN processed_ = 0;
};

/// Whether a rollback undoes rows of `table` (MariaDB keeps some tables outside transactions).
bool TableRollsBack(Connection& connection, const ResolvedTable& table) {
    // A table that is not there refuses every row anyway.
    if (connection.DbProduct() != Product::MariaDB || table.name.empty())
        return true;
    std::string schemaTest = "t.TABLE_SCHEMA = DATABASE()";
    std::vector<std::string> params;
    if (!table.catalog.empty()) {
        schemaTest = "t.TABLE_SCHEMA = ?";
        params.push_back(table.catalog);
    }
    params.push_back(table.name);
    SqlRows rows;
    const DbResult read = connection.Select(
        "SELECT t.TABLE_TYPE, e.TRANSACTIONS FROM information_schema.TABLES t LEFT JOIN "
        "information_schema.ENGINES e ON e.ENGINE = t.ENGINE WHERE " +
            schemaTest + " AND t.TABLE_NAME = ?",
        params, rows);
    // A view may stand on any engine.
    if (!read || rows.empty())
        return true;
    return rows[0].size() == 2 && rows[0][0] != std::optional<std::string>("VIEW") &&
           rows[0][1] == std::optional<std::string>("YES");
}

class OdbcChannel final : public Channel {
public:
    OdbcChannel(Connection& connection, const WriterTable& table, const WriterOptions& options)
        : connection_(connection) {
        const std::string& quoted = table.target.sql;
        const NoValueColumns& noValue = table.noValue;
        const Product product = connection.DbProduct();
        refuseNul_ = product == Product::PostgreSQL;
        // psqlODBC wraps every statement in a savepoint of its own, and releasing that one drops
        // any savepoint made after it: there a failed statement is undone by the driver instead.
        driverUndoesStatements_ = product == Product::PostgreSQL;
        single_ =
            std::make_unique<SingleRow>(connection, InsertSql(quoted, 1), refuseNul_, noValue);
        rollsBack_ = TableRollsBack(connection, table.target);
        if (!options.batches)
            return;
        // The fastest way each database was measured to take batches comes first.
        if (product == Product::MariaDB) {
            strategies_.push_back(
                std::make_unique<ParamArray>(connection, InsertSql(quoted, 1), noValue));
            strategies_.push_back(std::make_unique<MultiRow>(connection, quoted, noValue));
        } else {
            strategies_.push_back(std::make_unique<MultiRow>(connection, quoted, noValue));
            if (product != Product::PostgreSQL)
                strategies_.push_back(
                    std::make_unique<ParamArray>(connection, InsertSql(quoted, 1), noValue));
        }
    }

    ~OdbcChannel() override {
        // Autocommit would commit what is open: it is switched on only after a rollback.
        if (inTransaction_ && connection_.Rollback())
            (void)connection_.SetAutoCommit(true);
    }
    OdbcChannel(const OdbcChannel&) = delete;
    OdbcChannel& operator=(const OdbcChannel&) = delete;

    bool CanRollBack() const override { return rollsBack_; }
    std::string Method() const override {
        for (const auto& strategy : strategies_)
            if (strategy->Usable())
                return strategy->Name();
        return single_->Name();
    }
    SqlSession& Session() override { return connection_; }
    // psqlODBC would cut a value at its NUL: such a row is never sent.
    DbResult Screen(const RowValues& row) override {
        return refuseNul_ && HoldsNul(row) ? NulRefusal() : DbResult::Success();
    }

    DbResult Begin() override {
        if (DbResult off = connection_.SetAutoCommit(false); !off)
            return off;
        inTransaction_ = true;
        return DbResult::Success();
    }
    DbResult Commit() override { return End(true); }
    DbResult Rollback() override { return End(false); }

    std::size_t Unit(std::span<const RowValues> rows) override {
        if (const auto [strategy, take] = Pick(rows); strategy)
            return take;
        return 1;
    }

    DbResult Send(std::span<const RowValues> rows) override {
        storedSome_ = false;
        // One statement where one takes them all (a unit, or the half of one).
        if (rows.size() == 1)
            return SendWith(*single_, rows);
        for (const auto& strategy : strategies_) {
            if (!strategy->Usable() || !strategy->Fits(rows.size()) ||
                strategy->Take(rows) != rows.size())
                continue;
            DbResult sent = SendWith(*strategy, rows);
            if (sent || strategy->Usable())
                return sent;
        }
        for (std::size_t at = 0; at < rows.size();) {
            const auto [strategy, take] = Pick(rows.subspan(at));
            const std::size_t count = strategy ? take : 1;
            if (DbResult sent = SendWith(strategy ? *strategy : *single_, rows.subspan(at, count));
                !sent)
                return sent;
            at += count;
        }
        return DbResult::Success();
    }

    DbResult Mark() override {
        sinceMark_ = 0;
        if (driverUndoesStatements_)
            return DbResult::Success();
        DbResult marked = savepoints_ ? connection_.Execute("SAVEPOINT brenvale_unit")
                                      : DbResult::Failure("HY000", "No savepoints.");
        savepoints_ = marked.ok;
        return Unisolated(std::move(marked));
    }

    DbResult UndoToMark() override {
        if (!driverUndoesStatements_) {
            DbResult undone = connection_.Execute("ROLLBACK TO SAVEPOINT brenvale_unit");
            if (undone)
                undone = connection_.Execute("RELEASE SAVEPOINT brenvale_unit");
            return Unisolated(std::move(undone));
        }
        // The driver undid the failed statement alone; nothing else may have been stored since
        // the mark, and the transaction must still take statements.
        if (sinceMark_ > 0 || storedSome_)
            return DbResult::Failure("HY000", "A unit was stored in part.", DbFailure::Unisolated);
        return Unisolated(connection_.Execute("SELECT 1"));
    }

    DbResult ReleaseMark() override {
        if (driverUndoesStatements_)
            return DbResult::Success();
        return Unisolated(connection_.Execute("RELEASE SAVEPOINT brenvale_unit"));
    }

    DbResult Ping() override { return connection_.Ping(); }

private:
    /// The first usable strategy that takes some of the leading `rows`, and how many.
    std::pair<RowStrategy*, std::size_t> Pick(std::span<const RowValues> rows) const {
        for (const auto& candidate : strategies_)
            if (candidate->Usable())
                if (const std::size_t take = candidate->Take(rows); take > 0)
                    return {candidate.get(), take};
        return {nullptr, 0};
    }

    DbResult SendWith(RowStrategy& strategy, std::span<const RowValues> rows) {
        DbResult sent = strategy.Send(rows);
        if (sent)
            ++sinceMark_;
        storedSome_ = storedSome_ || (!sent && strategy.StoredSome());
        return sent;
    }

    DbResult End(bool commit) {
        if (!inTransaction_)
            return DbResult::Success();
        inTransaction_ = false;
        DbResult ended = commit ? connection_.Commit() : connection_.Rollback();
        if (!ended && commit && ended.failure == DbFailure::ConnectionLost)
            ended.inDoubt = LostInFlight(ended);
        // A commit the database turned away (a busy SQLite) may leave the transaction open, and
        // switching autocommit on would commit it later: it is rolled back first. After a failed
        // rollback the failure goes up, and the connection is not used on.
        const bool undone = ended || (commit && !ended.Fatal() && connection_.Rollback().ok);
        if (undone)
            (void)connection_.SetAutoCommit(true);
        return ended;
    }

    Connection& connection_;
    std::unique_ptr<SingleRow> single_;
    std::vector<std::unique_ptr<RowStrategy>> strategies_;
    bool rollsBack_ = true;
    bool refuseNul_ = false;
    bool inTransaction_ = false;
    bool driverUndoesStatements_ = false;
    bool savepoints_ = true;
    bool storedSome_ = false;   ///< the last Send's rows were stored in part
    std::size_t sinceMark_ = 0; ///< statements stored since the mark
};

} // namespace

WriterTable DescribeWriterTable(Connection& connection, const std::string& table) {
    WriterTable described;
    described.typed = table;
    described.target = connection.TargetTable(table);
    std::vector<short> types;
    // Unknown columns take a "-" as it is (a missing table refuses every row anyway).
    if (described.target.name.empty() || !connection.ColumnTypes(described.target, types))
        return described;
    for (std::size_t c = 0; c < types.size() && c < described.noValue.size(); ++c) {
        const short type = types[c];
        described.noValue[c] = type != SQL_CHAR && type != SQL_VARCHAR && type != SQL_LONGVARCHAR &&
                               type != SQL_WCHAR && type != SQL_WVARCHAR &&
                               type != SQL_WLONGVARCHAR;
    }
    return described;
}

std::unique_ptr<TableWriter> MakeOdbcWriter(Connection& connection, const WriterTable& table,
                                            const WriterOptions& options, DbResult& error,
                                            std::string notice) {
    if (!connection.IsOpen()) {
        error =
            DbResult::Failure("08003", "The connection is not open.", DbFailure::ConnectionLost);
        return nullptr;
    }
    error = DbResult::Success();
    return std::make_unique<BatchWriter>(std::make_unique<OdbcChannel>(connection, table, options),
                                         table, options, std::move(notice));
}

std::unique_ptr<TableWriter> MakeWriter(Connection& connection, const std::string& table,
                                        const WriterOptions& options, DbResult& error) {
    if (!connection.IsOpen())
        return MakeOdbcWriter(connection, {}, options, error);
    const WriterTable described = DescribeWriterTable(connection, table);
    const Product product = connection.DbProduct();
    if (!options.batches || !options.allowNative ||
        (product != Product::PostgreSQL && product != Product::SQLite))
        return MakeOdbcWriter(connection, described, options, error);
    std::string why;
    if (product == Product::SQLite) {
        if (auto native = sqlite::OpenNativeChannel(connection, described, why)) {
            error = DbResult::Success();
            return std::make_unique<BatchWriter>(std::move(native), described, options);
        }
        return MakeOdbcWriter(connection, described, options, error,
                              "The SQLite library could not be used, so batches go through the "
                              "SQLite ODBC driver: " +
                                  why);
    }
    if (auto copy = pg::OpenCopyChannel(connection, described, why)) {
        error = DbResult::Success();
        return std::make_unique<BatchWriter>(std::move(copy), described, options);
    }
    return MakeOdbcWriter(connection, described, options, error,
                          "COPY could not be used, so batches go through ODBC INSERT statements: " +
                              why);
}

} // namespace brenvale::odbc

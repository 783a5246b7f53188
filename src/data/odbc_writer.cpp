// The ODBC writer of a job's table: one strategy per way of sending rows (one-row statement,
// multi-row statement, parameter arrays), each checking its own results, and refused rows found
// by halving a failed unit inside savepoints.
#include "data/writers.h"

#include "data/checkpoints.h"
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
            if (!Succeeded(SQLSetStmtAttr(statement_.get(), SQL_ATTR_PARAM_BIND_TYPE,
                                          reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN),
                                          0)) ||
                !Succeeded(SQLSetStmtAttr(statement_.get(), SQL_ATTR_PARAM_STATUS_PTR,
                                          statuses_.data(), 0)) ||
                !Succeeded(SQLSetStmtAttr(statement_.get(), SQL_ATTR_PARAMS_PROCESSED_PTR,
                                          &processed_, 0))) {
                usable_ = false;
                return DbResult::Failure("IM001", "The driver takes no parameter arrays.");
            }
        }
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

class OdbcWriter final : public CheckpointedWriter {
public:
    OdbcWriter(Connection& connection, const WriterTable& table, const WriterOptions& options)
        : CheckpointedWriter(table.typed), connection_(connection) {
        const std::string& quoted = table.target.sql;
        const NoValueColumns& noValue = table.noValue;
        noValue_ = noValue;
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

    ~OdbcWriter() override {
        if (inTransaction_) {
            (void)connection_.Rollback();
            (void)connection_.SetAutoCommit(true);
        }
    }

    bool CanRollBack() const override { return rollsBack_; }

    std::string Method() const override {
        for (const auto& strategy : strategies_)
            if (strategy->Usable())
                return strategy->Name();
        return single_->Name();
    }

    void SetNotice(std::string notice) { notice_ = std::move(notice); }
    std::string Notice() const override { return notice_; }

    DbResult Begin() override {
        if (DbResult off = connection_.SetAutoCommit(false); !off)
            return off;
        inTransaction_ = true;
        fresh_ = true;
        return DbResult::Success();
    }

    DbResult Commit() override { return End(true); }
    DbResult Rollback() override { return End(false); }

    DbResult Insert(std::span<const RowValues> rows, std::vector<DbResult>& fates) override {
        DbResult result = InsertRows(rows, fates);
        if (result)
            MarkNoValues(rows, noValue_, fates);
        return result;
    }

protected:
    SqlSession& BookkeepingSession() override { return connection_; }
    // A position in the transaction makes it more than the rows of one unit.
    void Bookkeeping(bool writes) override { fresh_ = fresh_ && !writes; }

private:
    DbResult InsertRows(std::span<const RowValues> rows, std::vector<DbResult>& fates) {
        fates.assign(rows.size(), DbResult::Success());
        if (!inTransaction_) {
            for (std::size_t i = 0; i < rows.size(); ++i) {
                fates[i] = single_->Send(rows.subspan(i, 1));
                if (!fates[i] && Stops(fates[i])) {
                    // With autocommit a row whose answer was lost may be stored.
                    if (fates[i].failure == DbFailure::ConnectionLost)
                        fates[i].inDoubt = LostInFlight(fates[i]);
                    return fates[i];
                }
            }
            return DbResult::Success();
        }
        // While the transaction holds nothing else, the rows go without savepoints; a refusal
        // then rolls it all back and sends them again, each unit in a savepoint.
        const bool alone = fresh_;
        fresh_ = false;
        if (alone) {
            DbResult quick = SendAll(rows, fates, false);
            if (quick || Stops(quick) || quick.failure == DbFailure::Unisolated)
                return quick;
            if (DbResult undone = connection_.Rollback(); !undone)
                return undone;
            fates.assign(rows.size(), DbResult::Success());
        }
        DbResult careful = SendAll(rows, fates, true);
        if (careful.failure != DbFailure::Unisolated || !alone || !driverUndoesStatements_)
            return careful;
        // A unit stored only some of its rows and nothing can undo it alone: the transaction
        // holds only these rows, so it starts again with one statement per row, each of which
        // the driver undoes itself when it fails.
        if (DbResult undone = connection_.Rollback(); !undone)
            return undone;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            fates[i] = single_->Send(rows.subspan(i, 1));
            if (!fates[i] && Stops(fates[i]))
                return fates[i];
        }
        return DbResult::Success();
    }

    /// Every unit of `rows`; `careful` isolates refused rows, otherwise the first refusal ends
    /// the call.
    DbResult SendAll(std::span<const RowValues> rows, std::vector<DbResult>& fates, bool careful) {
        std::size_t at = 0;
        while (at < rows.size()) {
            // psqlODBC would cut a value at its NUL: such a row is refused before any unit.
            if (refuseNul_ && HoldsNul(rows[at])) {
                fates[at++] = NulRefusal();
                continue;
            }
            std::size_t segment = at + 1;
            while (segment < rows.size() && !(refuseNul_ && HoldsNul(rows[segment])))
                ++segment;
            RowStrategy* strategy = nullptr;
            std::size_t take = 0;
            for (const auto& candidate : strategies_) {
                if (!candidate->Usable())
                    continue;
                take = candidate->Take(rows.subspan(at, segment - at));
                if (take > 0) {
                    strategy = candidate.get();
                    break;
                }
            }
            if (!strategy) {
                strategy = single_.get();
                take = 1;
            }
            DbResult sent = careful ? SendIsolated(*strategy, rows.subspan(at, take), fates, at)
                                    : strategy->Send(rows.subspan(at, take));
            if (!sent)
                return sent;
            at += take;
        }
        return DbResult::Success();
    }

    static bool Stops(const DbResult& result) {
        return result.Fatal() || result.failure == DbFailure::Busy;
    }

    /// A lost connection that the server did not announce may have come after the work was done.
    static bool LostInFlight(const DbResult& result) {
        return result.sqlState.rfind("57P0", 0) != 0 && result.sqlState != "70100";
    }

    DbResult End(bool commit) {
        if (!inTransaction_)
            return DbResult::Success();
        DbResult ended = commit ? connection_.Commit() : connection_.Rollback();
        if (!ended && commit && ended.failure == DbFailure::ConnectionLost)
            ended.inDoubt = LostInFlight(ended);
        inTransaction_ = false;
        // Back to autocommit: with a lost connection this fails too, and that is known already.
        (void)connection_.SetAutoCommit(true);
        return ended;
    }

    /// Sends one unit inside a savepoint; a refused unit is undone and halved until the refused
    /// rows stand alone.
    DbResult SendIsolated(RowStrategy& strategy, std::span<const RowValues> rows,
                          std::vector<DbResult>& fates, std::size_t base) {
        const bool marked =
            !driverUndoesStatements_ && savepoints_ && Savepoint("SAVEPOINT brenvale_unit");
        DbResult sent = strategy.Send(rows);
        if (sent) {
            if (marked)
                (void)Savepoint("RELEASE SAVEPOINT brenvale_unit");
            return sent;
        }
        if (Stops(sent))
            return sent;
        const auto unisolated = [&] {
            return DbResult::Failure(sent.sqlState, sent.message, DbFailure::Unisolated);
        };
        if (marked) {
            if (!Savepoint("ROLLBACK TO SAVEPOINT brenvale_unit"))
                return unisolated();
            (void)Savepoint("RELEASE SAVEPOINT brenvale_unit");
        } else if (!driverUndoesStatements_ || strategy.StoredSome() ||
                   !connection_.Execute("SELECT 1")) {
            // Without savepoints a failed unit cannot be undone on its own (nor where the
            // driver's own undo left the transaction aborted).
            return unisolated();
        }
        if (rows.size() == 1 && &strategy == single_.get()) {
            fates[base] = std::move(sent);
            return DbResult::Success();
        }
        if (!strategy.Usable() || rows.size() == 1) {
            // The unit goes another way: the next usable strategy, or row by row.
            for (std::size_t i = 0; i < rows.size(); ++i)
                if (DbResult one = SendIsolated(*single_, rows.subspan(i, 1), fates, base + i);
                    !one)
                    return one;
            return DbResult::Success();
        }
        const std::size_t half = rows.size() / 2;
        for (const auto& [from, count] :
             {std::pair{std::size_t{0}, half}, std::pair{half, rows.size() - half}}) {
            RowStrategy& part = strategy.Fits(count) ? strategy : *single_;
            if (&part == single_.get()) {
                for (std::size_t i = 0; i < count; ++i)
                    if (DbResult one =
                            SendIsolated(part, rows.subspan(from + i, 1), fates, base + from + i);
                        !one)
                        return one;
            } else if (DbResult done =
                           SendIsolated(part, rows.subspan(from, count), fates, base + from);
                       !done) {
                return done;
            }
        }
        return DbResult::Success();
    }

    /// Runs a savepoint statement; the first failure shows the database has none.
    bool Savepoint(const std::string& sql) {
        const DbResult done = connection_.Execute(sql);
        if (!done && sql.rfind("SAVEPOINT", 0) == 0)
            savepoints_ = false;
        return done.ok;
    }

    Connection& connection_;
    std::unique_ptr<SingleRow> single_;
    std::vector<std::unique_ptr<RowStrategy>> strategies_;
    NoValueColumns noValue_{};
    bool rollsBack_ = true;
    bool refuseNul_ = false;
    bool inTransaction_ = false;
    bool fresh_ = false;
    bool driverUndoesStatements_ = false;
    bool savepoints_ = true;
    std::string notice_;
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
    auto writer = std::make_unique<OdbcWriter>(connection, table, options);
    writer->SetNotice(std::move(notice));
    return writer;
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
        if (auto native = sqlite::OpenNativeWriter(connection, described, why)) {
            error = DbResult::Success();
            return native;
        }
        return MakeOdbcWriter(connection, described, options, error,
                              "The SQLite library could not be used, so batches go through the "
                              "SQLite ODBC driver: " +
                                  why);
    }
    if (auto copy = pg::OpenCopyWriter(connection, described, why)) {
        error = DbResult::Success();
        return copy;
    }
    return MakeOdbcWriter(connection, described, options, error,
                          "COPY could not be used, so batches go through ODBC INSERT statements: " +
                              why);
}

} // namespace brenvale::odbc

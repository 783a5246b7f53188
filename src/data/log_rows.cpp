// A log table's rows for a report, a block at a time.
#include "data/log_rows.h"

#include "data/odbc.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <array>
#include <vector>

namespace brenvale::odbc {

namespace {

// Rows per fetch: few round trips, a few MiB of buffers.
constexpr SQLULEN kBlockRows = 256;

/// One bound column of the block: the value of row i at data[i * width].
struct BoundColumn {
    SQLUSMALLINT position = 0; ///< in the table, from 1
    SQLLEN width = 0;
    std::vector<char> data;
    std::vector<SQLLEN> lengths;
};

/// The positions of the values a report reads, and how wide each may be. Addresses, times,
/// statuses and durations are short; a request with its title or a user agent may be long.
constexpr std::array<std::pair<SQLUSMALLINT, SQLLEN>, 6> kColumns = {
    {{1, 256}, {3, 64}, {4, 8192}, {5, 32}, {6, 8192}, {8, 32}}};

bool IsText(SQLLEN type) {
    return type == SQL_CHAR || type == SQL_VARCHAR || type == SQL_LONGVARCHAR ||
           type == SQL_WCHAR || type == SQL_WVARCHAR || type == SQL_WLONGVARCHAR;
}

class LogRows final : public report::RowSource {
public:
    LogRows(Connection& connection, Handle statement)
        : connection_(connection), statement_(std::move(statement)) {}

    /// Runs `sql` and binds its columns, whose types in the table `types` gives by position.
    DbResult Start(const std::string& sql, const std::array<SQLLEN, 10>& types);
    bool Next(report::LogRow& row) override;
    const std::string& Failure() const override { return failure_; }

private:
    report::LogRow::Value Value(std::size_t column, SQLULEN index, bool& truncated) const;

    Connection& connection_;
    Handle statement_;
    std::array<BoundColumn, kColumns.size()> columns_;
    std::vector<SQLUSMALLINT> statuses_;
    SQLULEN fetched_ = 0;
    SQLULEN next_ = 0;
    SQLULEN block_ = kBlockRows;
    bool done_ = false;
    std::string failure_;
};

DbResult LogRows::Start(const std::string& sql, const std::array<SQLLEN, 10>& types) {
    SQLHSTMT stmt = statement_.get();
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN),
                   0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kBlockRows), 0);
    // A driver may offer fewer rows per fetch than asked; it says how many it took.
    SQLULEN block = 0;
    if (SQL_SUCCEEDED(SQLGetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, &block, 0, nullptr)) &&
        block > 0 && block <= kBlockRows)
        block_ = block;
    else
        block_ = 1;
    statuses_.assign(block_, SQL_ROW_SUCCESS);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_STATUS_PTR, statuses_.data(), 0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched_, 0);
    if (!SQL_SUCCEEDED(SQLExecDirect(
            stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS)))
        return connection_.StatementFailure(stmt, "the rows could not be read");
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
        BoundColumn& column = columns_[i];
        column.position = static_cast<SQLUSMALLINT>(i + 1);
        column.width = kColumns[i].second;
        column.data.assign(static_cast<std::size_t>(column.width) * block_, '\0');
        column.lengths.assign(block_, 0);
        // Text as its bytes, with no conversion by the driver; numbers and times as their text.
        const SQLSMALLINT target = IsText(types[kColumns[i].first]) ? SQL_C_BINARY : SQL_C_CHAR;
        if (!SQL_SUCCEEDED(SQLBindCol(stmt, column.position, target, column.data.data(),
                                      column.width, column.lengths.data())))
            return connection_.StatementFailure(stmt, "a column could not be bound");
    }
    return DbResult::Success();
}

report::LogRow::Value LogRows::Value(std::size_t column, SQLULEN index, bool& truncated) const {
    const BoundColumn& bound = columns_[column];
    const SQLLEN length = bound.lengths[index];
    if (length == SQL_NULL_DATA)
        return {};
    const char* data = bound.data.data() + static_cast<std::size_t>(bound.width) * index;
    SQLLEN size = length;
    // Character data ends with a terminator inside the buffer; a longer value was cut.
    const bool text = std::find(data, data + bound.width, '\0') != data + bound.width &&
                      length != SQL_NO_TOTAL && length < bound.width;
    if (length == SQL_NO_TOTAL || length > bound.width || (length == bound.width && !text)) {
        truncated = true;
        size = bound.width;
    }
    return {std::string_view(data, static_cast<std::size_t>(size)), true};
}

bool LogRows::Next(report::LogRow& row) {
    while (next_ >= fetched_) {
        if (done_)
            return false;
        fetched_ = 0;
        next_ = 0;
        const SQLRETURN rc = SQLFetch(statement_.get());
        if (rc == SQL_NO_DATA) {
            done_ = true;
            return false;
        }
        if (!SQL_SUCCEEDED(rc)) {
            done_ = true;
            failure_ = connection_.StatementFailure(statement_.get(), "the rows could not be read")
                           .message;
            return false;
        }
    }
    const SQLULEN index = next_++;
    row = {};
    if (statuses_[index] == SQL_ROW_ERROR)
        return true; // nothing readable: counted as unreadable
    row.address = Value(0, index, row.truncated);
    row.time = Value(1, index, row.truncated);
    row.uri = Value(2, index, row.truncated);
    row.status = Value(3, index, row.truncated);
    row.agent = Value(4, index, row.truncated);
    row.duration = Value(5, index, row.truncated);
    return true;
}

/// The names and SQL types of `table`'s columns, by a query that returns no row.
DbResult DescribeColumns(Connection& connection, const std::string& tableSql,
                         std::vector<std::string>& names, std::array<SQLLEN, 10>& types) {
    Handle stmt;
    if (DbResult made = connection.NewStatement(stmt); !made)
        return made;
    const std::string sql = "SELECT * FROM " + tableSql + " WHERE 1 = 0";
    if (!SQL_SUCCEEDED(SQLExecDirect(
            stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS)))
        return connection.StatementFailure(stmt.get(), "the table's columns could not be read");
    SQLSMALLINT count = 0;
    SQLNumResultCols(stmt.get(), &count);
    names.clear();
    for (SQLUSMALLINT column = 1; column <= count && column <= 9; ++column) {
        std::array<SQLCHAR, 256> name{};
        SQLSMALLINT nameLength = 0;
        SQLSMALLINT type = 0;
        SQLULEN size = 0;
        SQLSMALLINT digits = 0;
        SQLSMALLINT nullable = 0;
        SQLDescribeCol(stmt.get(), column, name.data(), static_cast<SQLSMALLINT>(name.size()),
                       &nameLength, &type, &size, &digits, &nullable);
        names.emplace_back(reinterpret_cast<const char*>(name.data()));
        types[column] = type;
    }
    return DbResult::Success();
}

} // namespace

DbResult OpenForReading(Connection& connection, const std::string& dsn) {
    if (DbResult opened = connection.Open(dsn); !opened)
        return opened;
    // psqlODBC reads a whole result into memory unless it may use a cursor, in pieces; the
    // SQLite driver does so unless it may step through the rows.
    const Product product = connection.DbProduct();
    const char* settings = product == Product::PostgreSQL ? ";UseDeclareFetch=1;Fetch=4096"
                           : product == Product::SQLite   ? ";StepAPI=1"
                                                          : nullptr;
    if (settings == nullptr)
        return DbResult::Success();
    // A name in braces is taken with its braces, so only a name that needs them gets them.
    std::string name = dsn;
    if (dsn.find_first_of(";{}=") != std::string::npos) {
        name = "{";
        for (const char c : dsn) {
            name.push_back(c);
            if (c == '}')
                name.push_back('}');
        }
        name.push_back('}');
    }
    return connection.OpenConnectionString("DSN=" + name + settings);
}

std::unique_ptr<report::RowSource> OpenLogRows(Connection& connection, const std::string& table,
                                               const report::RowWindow& window, DbResult& error) {
    ResolvedTable resolved;
    bool found = false;
    if (error = connection.ResolveTable(table, resolved, found); !error)
        return nullptr;
    if (!found) {
        error = DbResult::Failure("42S02", "The table '" + table + "' does not exist.");
        return nullptr;
    }
    std::vector<std::string> names;
    std::array<SQLLEN, 10> types{};
    if (error = DescribeColumns(connection, resolved.sql, names, types); !error)
        return nullptr;
    if (names.size() < 9) {
        error = DbResult::Failure("42S22", "The table '" + table + "' has " +
                                               std::to_string(names.size()) +
                                               " columns; a log table has nine.");
        return nullptr;
    }
    std::string select = "SELECT ";
    for (std::size_t i = 0; i < kColumns.size(); ++i)
        select += (i ? ", " : "") + connection.QuoteIdentifier(names[kColumns[i].first - 1]);
    const std::string time = connection.QuoteIdentifier(names[2]);
    // The bounds are times this program wrote, so they go into the text; as parameters some
    // drivers would compare a timestamp column with a text.
    const std::string sql = select + " FROM " + resolved.sql + " WHERE " + time + " >= '" +
                            window.from + "' AND " + time + " < '" + window.to + "' ORDER BY " +
                            time + (window.latestFirst ? " DESC" : " ASC");
    Handle stmt;
    if (error = connection.NewStatement(stmt); !error)
        return nullptr;
    auto rows = std::make_unique<LogRows>(connection, std::move(stmt));
    if (error = rows->Start(sql, types); !error)
        return nullptr;
    return rows;
}

namespace {

ReadOutcome Failed(ReadOutcome::Kind kind, std::string message) {
    return {kind, std::move(message)};
}

/// One connection per table, so their rows can be read side by side and merged.
class TableReader {
public:
    ReadOutcome Open(const std::string& dsn, const std::vector<std::string>& tables,
                     const report::RowWindow& window,
                     std::vector<std::unique_ptr<report::RowSource>>& sources) {
        sources.clear();
        if (!environment_.ok())
            return Failed(ReadOutcome::Kind::DataSource,
                          "The ODBC driver manager gave no environment.");
        for (const std::string& table : tables) {
            connections_.push_back(std::make_unique<Connection>(environment_));
            Connection& connection = *connections_.back();
            if (const DbResult opened = OpenForReading(connection, dsn); !opened)
                return Failed(ReadOutcome::Kind::DataSource,
                              "The data source '" + dsn +
                                  "' could not be opened: " + opened.message);
            DbResult error;
            sources.push_back(OpenLogRows(connection, table, window, error));
            if (!sources.back())
                return Failed(ReadOutcome::Kind::Table,
                              "The rows of '" + table + "' could not be read: " + error.message);
        }
        return {};
    }

private:
    // Declared first, so it outlives the connections.
    Environment environment_;
    std::vector<std::unique_ptr<Connection>> connections_;
};

} // namespace

ReadOutcome ComputeReport(const std::string& dsn, const std::vector<std::string>& tables,
                          const report::ReportSettings& settings,
                          const report::StationZone& station, report::ReportResult& result) {
    report::ReportBuilder builder(settings, station);
    TableReader reader;
    std::vector<std::unique_ptr<report::RowSource>> sources;
    if (ReadOutcome opened = reader.Open(
            dsn, tables, report::WindowFor(builder.RangeStart(), builder.RangeEnd(), station, true),
            sources);
        !opened)
        return opened;
    std::string error;
    if (!report::FeedRows(sources, builder, error))
        return Failed(ReadOutcome::Kind::Table, "The rows could not be read: " + error);
    result = builder.Finish();
    return {};
}

ReadOutcome WriteStreamingLog(const std::string& dsn, const std::vector<std::string>& tables,
                              const report::ReportSettings& settings,
                              const report::StationZone& station, const std::string& path) {
    const std::vector<report::Period> periods = report::MakePeriods(
        settings.from, settings.to, settings.unit, settings.utc ? report::StationZone() : station);
    if (periods.empty())
        return Failed(ReadOutcome::Kind::Table, "The range holds no period.");
    const report::Instant start = periods.front().start;
    const report::Instant end = periods.back().end;
    report::StreamingLogWriter writer(path);
    if (!writer.ok())
        return Failed(ReadOutcome::Kind::Output, "The file '" + path + "' cannot be written.");
    TableReader reader;
    std::vector<std::unique_ptr<report::RowSource>> sources;
    if (ReadOutcome opened =
            reader.Open(dsn, tables, report::WindowFor(start, end, station, false), sources);
        !opened)
        return opened;
    report::SegmentJudge judge(settings, station, start, end);
    std::string error;
    if (!report::FeedStreamingLog(sources, judge, settings.translated, writer, error))
        return Failed(ReadOutcome::Kind::Table, "The rows could not be read: " + error);
    if (!writer.Close(error))
        return Failed(ReadOutcome::Kind::Output, error);
    return {};
}

} // namespace brenvale::odbc

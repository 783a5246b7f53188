// What the core needs of a database: statements, the catalogue and prepared row inserts.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brenvale {

/// Outcome of one database call; on failure the driver's SQLSTATE and diagnostic text.
struct DbResult {
    bool ok = true;
    std::string sqlState;
    std::string message;

    static DbResult Success() { return {}; }
    static DbResult Failure(std::string state, std::string text) {
        return {false, std::move(state), std::move(text)};
    }
    explicit operator bool() const { return ok; }
};

/// The nine values of one log row, as bytes; views into the caller's buffers.
using RowValues = std::array<std::string_view, 9>;

/// A prepared "INSERT INTO table VALUES (?, ... 9 ...)" with text parameters.
class RowInserter {
public:
    virtual ~RowInserter() = default;
    /// Executes the insert once with `values`, passed with explicit lengths (NUL bytes included).
    virtual DbResult Insert(const RowValues& values) = 0;
    /// Executes the insert for each row in turn, stopping at the first refused one; `done` is the
    /// number of rows known to be executed before it. Drivers with parameter arrays may send all
    /// rows at once, and then rows after a refused one may have been executed too: call it inside
    /// a transaction and roll back on failure. The default runs Insert row by row.
    virtual DbResult InsertMany(const std::vector<RowValues>& rows, std::size_t& done);
};

/// The one connection of a run.
class Database {
public:
    virtual ~Database() = default;
    /// True while connected.
    virtual bool IsOpen() const = 0;
    /// Executes one statement text directly; nothing is read back.
    virtual DbResult Execute(const std::string& statement) = 0;
    /// Fills `names` with "TABLE_NAME" of every row of the table catalogue, in the driver's order.
    virtual DbResult GetTableList(std::vector<std::string>& names) = 0;
    /// The DBMS product name the driver reports ("SQLite", "PostgreSQL", ...); empty if unknown.
    virtual std::string DbmsName() = 0;
    /// Prepares the nine-value insert for `table` (the name is used unquoted, as entered).
    virtual std::unique_ptr<RowInserter> PrepareInsert(const std::string& table,
                                                       DbResult& error) = 0;
    /// Switches autocommit; with it off, rows wait for Commit or Rollback.
    virtual DbResult SetAutoCommit(bool on) = 0;
    virtual DbResult Commit() = 0;
    virtual DbResult Rollback() = 0;
};

} // namespace brenvale

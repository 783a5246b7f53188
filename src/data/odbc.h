// A small RAII layer over the ODBC driver manager: environment, connection, statements.
#pragma once

#include "core/database.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brenvale::odbc {

/// One owned ODBC handle of a given type; freed on destruction. Move-only.
class Handle {
public:
    Handle() = default;
    Handle(short type, void* handle) : type_(type), handle_(handle) {}
    Handle(Handle&& other) noexcept;
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle();

    void* get() const { return handle_; }
    short type() const { return type_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset() noexcept;

private:
    short type_ = 0;
    void* handle_ = nullptr;
};

/// Every diagnostic record of `handle` as one failure: the first SQLSTATE, all texts joined by
/// line breaks. Falls back to `fallback` when the handle has no records.
DbResult Diagnose(short type, void* handle, const std::string& fallback);

/// An ODBC 3 environment. Outlives every connection made on it.
class Environment {
public:
    /// Allocates the environment; `ok()` tells whether the driver manager gave one.
    Environment();
    bool ok() const { return static_cast<bool>(handle_); }
    void* get() const { return handle_.get(); }

private:
    Handle handle_;
};

/// A data source as the driver manager lists it.
struct DataSource {
    std::string name;
    std::string description; ///< the driver's name
};

/// Every data source the driver manager knows, user and system alike, in its order. Empty when no
/// environment can be had.
std::vector<DataSource> ListDataSources();

/// The one database connection. Implements the core's database interface over ODBC.
class Connection final : public Database {
public:
    explicit Connection(Environment& environment);
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// Connects to the data source `dsn` with its own settings (the name goes to the driver
    /// manager as a separate argument, so no character in it can add settings); on failure the
    /// driver manager's or driver's diagnostic text, and the connection stays closed.
    DbResult Open(const std::string& dsn);
    /// Connects with a full connection string ("DRIVER=...;Database=...").
    DbResult OpenConnectionString(const std::string& connectionString);
    /// Disconnects; harmless when closed.
    void Close();

    bool IsOpen() const override { return open_; }
    DbResult Execute(const std::string& statement) override;
    DbResult GetTableList(std::vector<std::string>& names) override;
    std::string DbmsName() override;
    std::unique_ptr<RowInserter> PrepareInsert(const std::string& table, DbResult& error) override;
    DbResult SetAutoCommit(bool on) override;
    DbResult Commit() override;
    DbResult Rollback() override;

    /// `name` as it goes into a statement: a plain identifier (letters, digits, "_" and "$",
    /// with "." between parts) as typed, so the database folds its case as usual; anything else
    /// between the driver's identifier quotes, embedded quotes doubled.
    std::string QuoteIdentifier(const std::string& name);

    /// Runs a query and reads every row as text (a NULL as an empty optional).
    DbResult Query(const std::string& sql,
                   std::vector<std::vector<std::optional<std::string>>>& rows);

    void* get() const { return handle_.get(); }

private:
    /// A fresh statement handle on the open connection.
    DbResult NewStatement(Handle& statement);
    DbResult EndTransaction(short completion);
    DbResult Connected(short rc);
    /// The current catalog and, where the database has them, the current schema: the table
    /// list shows these only.
    void FindCurrentNamespace(std::string& catalog, std::string& schema);

    Environment& environment_;
    Handle handle_;
    bool open_ = false;
    std::string dbmsName_;
    std::string quote_;
    bool quoteKnown_ = false;
};

/// True when `name` needs no quotes: letters, digits, "_" and "$" in parts joined by ".".
bool IsPlainIdentifier(const std::string& name);

} // namespace brenvale::odbc

// A small RAII layer over the ODBC driver manager: environment, connection, statements.
#pragma once

#include "core/database.h"
#include "data/sql_session.h"
#include "data/table_name.h"

#include <map>
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
    explicit operator bool() const { return handle_ != nullptr; }
    void reset() noexcept;

private:
    short type_ = 0;
    void* handle_ = nullptr;
};

/// Every diagnostic record of `handle` as one failure: the first SQLSTATE, all texts joined by
/// line breaks, the kind of failure judged for `product`. Falls back to `fallback` when the
/// handle has no records. `native`, when given, receives the native code of the record whose
/// kind was chosen (0 when none).
DbResult Diagnose(short type, void* handle, const std::string& fallback,
                  Product product = Product::Other, long* native = nullptr);

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

/// Where a data source is defined: the user's odbc.ini or the system's.
enum class DsnScope { User, System };

/// The data sources the driver manager knows in `scope` (without one: user and system alike),
/// in its order. Empty when no environment can be had.
std::vector<DataSource> ListDataSources(std::optional<DsnScope> scope = std::nullopt);

/// The one database connection. Implements the core's database interface over ODBC, and runs
/// the statements of the writers made on it.
class Connection final : public Database, public SqlSession {
public:
    explicit Connection(Environment& environment);
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// Connects to the data source `dsn` (and no fallbacks) with its own settings (the name goes to
    /// the driver manager as a separate argument, so no character in it can add settings); on
    /// failure the driver manager's or driver's diagnostic text, and the connection stays closed.
    DbResult Open(const std::string& dsn);
    /// Connects with a full connection string ("DRIVER=...;Database=...").
    DbResult OpenConnectionString(const std::string& connectionString);
    /// Connects to the first of `dsns` that opens and takes statements, trying them in order;
    /// the others become the fallbacks of Reconnect. On failure every source's diagnostic, each
    /// after its name.
    DbResult OpenFirst(const std::vector<std::string>& dsns);
    /// Data sources of the same database (the nodes of a cluster) that Reconnect tries, in
    /// order, after the first one opened (Open forgets them).
    void SetFallbacks(std::vector<std::string> dsns) { fallbacks_ = std::move(dsns); }
    /// Disconnects; harmless when closed.
    void Close();
    /// The data source connected to (or last given to Open), empty after OpenConnectionString.
    const std::string& DsnName() const { return dsn_; }

    // Database
    bool IsOpen() const override { return open_; }
    DbResult GetTableList(std::vector<std::string>& names) override;
    DbResult FindTable(const std::string& table, bool& exists) override;
    std::string DbmsName() override;
    DbResult EmptyTable(const std::string& table, const std::function<bool()>& keepWaiting = {},
                        std::uint64_t* rowsHeld = nullptr) override;
    std::unique_ptr<TableWriter> OpenWriter(const std::string& table, const WriterOptions& options,
                                            DbResult& error) override;
    DbResult Ping() override;
    /// One round over the data sources: the first one opened, then the fallbacks, in order.
    DbResult Reconnect() override;

    // SqlSession
    Product DbProduct() override;
    DbResult Run(const std::string& sql, const std::vector<std::string>& params = {},
                 long* affected = nullptr) override;
    DbResult Select(const std::string& sql, const std::vector<std::string>& params,
                    SqlRows& rows) override;
    std::string QuoteIdentifier(const std::string& name) override;
    DbResult HasTable(const std::string& name, bool& exists) override;

    /// The catalogue's table or view that `typed` (a job's table as typed) means: the whole text
    /// as one name first, then part by part ("schema.table", on MariaDB "database.table"), each
    /// part exactly as typed first, then as the database folds it where it is not quoted.
    /// `found` is false when it means none.
    DbResult ResolveTable(const std::string& typed, ResolvedTable& table, bool& found);
    /// The table the statements for `typed` go to: the one FindTable last found for it, or else
    /// the one it means now; for a name the catalogue does not hold, no name and `sql` as typed.
    ResolvedTable TargetTable(const std::string& typed);
    /// The SQL types of `table`'s columns in their order (SQLColumns).
    DbResult ColumnTypes(const ResolvedTable& table, std::vector<short>& types);
    /// The character the driver quotes names with (SQL_IDENTIFIER_QUOTE_CHAR).
    std::string IdentifierQuote();
    /// How the database takes a table name written without quotes.
    NameFolding Folding();

    /// Executes one statement text directly; nothing is read back.
    DbResult Execute(const std::string& statement);
    /// Runs a query and reads every row as text (a NULL as an empty optional).
    DbResult Query(const std::string& sql, SqlRows& rows);

    /// Switches autocommit; with it off, statements wait for Commit or Rollback.
    DbResult SetAutoCommit(bool on);
    /// Empties the table once, with its positions (EmptyTable's one try), counting its rows.
    DbResult EmptyTableOnce(const std::string& table, std::uint64_t& rowsHeld);
    DbResult Commit();
    DbResult Rollback();

    /// A fresh statement handle on the open connection.
    DbResult NewStatement(Handle& statement);
    /// The driver's handle, for the writers of this layer.
    void* NativeHandle() const { return handle_.get(); }
    /// The diagnostic of a statement of this connection, judged for its product.
    DbResult StatementFailure(void* statement, const std::string& fallback);

private:
    DbResult EndTransaction(short completion);
    /// Open without touching which source comes first.
    DbResult OpenSource(const std::string& dsn);
    DbResult Connected(short rc);
    /// After connecting: a Galera node outside the primary component (or still joining) is
    /// refused as a lost connection, and a usable one reads what other nodes committed.
    DbResult CheckClusterNode();
    /// `failure` (with the native code of its record), where a Galera node that is not ready
    /// is found to be outside the primary component, as a lost connection.
    DbResult JudgeNode(DbResult failure, long native);
    /// Binds `params` as text and executes the prepared `statement`.
    DbResult ExecuteWith(Handle& statement, const std::string& sql,
                         const std::vector<std::string>& params);
    /// The current catalog and, where the database has them, the current schema: the table
    /// list shows these only.
    void FindCurrentNamespace(std::string& catalog, std::string& schema);
    /// Every table and view of the current catalog and schema, the program's own among them.
    DbResult ListCurrentTables(std::vector<std::string>& names);
    /// SQLite's tables and views, read from its own catalogue.
    DbResult ListSqliteTables(std::vector<ResolvedTable>& tables);
    /// The user's tables and views of `catalog` and `schema` (empty: not narrowed), exactly.
    DbResult ListTables(const std::string& catalog, const std::string& schema,
                        std::vector<ResolvedTable>& tables);
    /// The table `part` names in `tables`: the exact name first, then the folded one.
    bool PickTable(const std::vector<ResolvedTable>& tables, const NamePart& part,
                   ResolvedTable& table);

    Environment& environment_;
    Handle handle_;
    bool open_ = false;
    std::string dsn_;
    std::string firstDsn_; ///< the source Reconnect tries first
    std::vector<std::string> fallbacks_;
    bool judgingNode_ = false;
    std::string connectionString_;
    std::string dbmsName_;
    std::string quote_;
    bool quoteKnown_ = false;
    std::optional<NameFolding> folding_;
    /// What FindTable found for each job's table as typed, for the statements that follow.
    std::map<std::string, ResolvedTable> targets_;
};

} // namespace brenvale::odbc

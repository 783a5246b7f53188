// A small RAII layer over the ODBC driver manager: environment, connection, statements.
#include "data/odbc.h"

#include "core/job.h"
#include "data/checkpoints.h"
#include "data/writers.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace brenvale::odbc {

namespace {

bool Succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

Handle Allocate(SQLSMALLINT type, SQLHANDLE parent) {
    SQLHANDLE handle = SQL_NULL_HANDLE;
    if (!Succeeded(SQLAllocHandle(type, parent, &handle)))
        return {};
    return Handle(type, handle);
}

} // namespace

Handle::Handle(Handle&& other) noexcept : type_(other.type_), handle_(other.handle_) {
    other.handle_ = nullptr;
}

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        reset();
        type_ = other.type_;
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

Handle::~Handle() {
    reset();
}

void Handle::reset() noexcept {
    if (handle_)
        SQLFreeHandle(type_, handle_);
    handle_ = nullptr;
}

namespace {

int Severity(DbFailure failure) {
    switch (failure) {
    case DbFailure::ConnectionLost:
        return 4;
    case DbFailure::DiskFull:
        return 3;
    case DbFailure::Busy:
        return 2;
    default:
        return 1;
    }
}

} // namespace

DbResult Diagnose(short type, void* handle, const std::string& fallback, Product product,
                  long* native) {
    DbResult result = DbResult::Failure("", "");
    if (native != nullptr)
        *native = 0;
    for (SQLSMALLINT record = 1; handle != nullptr; ++record) {
        SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
        SQLINTEGER code = 0;
        std::array<SQLCHAR, 4096> text{};
        SQLSMALLINT length = 0;
        const SQLRETURN rc = SQLGetDiagRec(type, handle, record, state, &code, text.data(),
                                           static_cast<SQLSMALLINT>(text.size()), &length);
        if (!Succeeded(rc))
            break;
        const std::string recordState = reinterpret_cast<const char*>(state);
        const std::string recordText = reinterpret_cast<const char*>(text.data());
        if (result.sqlState.empty())
            result.sqlState = recordState;
        if (!result.message.empty())
            result.message += "\n";
        result.message += recordText;
        // Any record may tell that the connection is gone (PostgreSQL's second one does).
        const DbFailure kind = ClassifyFailure(product, recordState, code, recordText);
        if (Severity(kind) > Severity(result.failure)) {
            result.failure = kind;
            if (native != nullptr)
                *native = code;
        }
    }
    if (result.message.empty())
        result.message = fallback;
    if (result.sqlState.empty())
        result.sqlState = "HY000";
    return result;
}

Environment::Environment() : handle_(Allocate(SQL_HANDLE_ENV, SQL_NULL_HANDLE)) {
    if (handle_)
        SQLSetEnvAttr(handle_.get(), SQL_ATTR_ODBC_VERSION,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_OV_ODBC3)), 0);
}

std::vector<DataSource> ListDataSources(std::optional<DsnScope> scope) {
    std::vector<DataSource> sources;
    Environment environment;
    if (!environment.ok())
        return sources;
    SQLUSMALLINT direction = !scope                     ? SQL_FETCH_NEXT
                             : *scope == DsnScope::User ? SQL_FETCH_FIRST_USER
                                                        : SQL_FETCH_FIRST_SYSTEM;
    for (;; direction = SQL_FETCH_NEXT) {
        std::array<SQLCHAR, 1024> name{};
        std::array<SQLCHAR, 1024> description{};
        SQLSMALLINT nameLength = 0;
        SQLSMALLINT descriptionLength = 0;
        const SQLRETURN rc =
            SQLDataSources(environment.get(), direction, name.data(),
                           static_cast<SQLSMALLINT>(name.size()), &nameLength, description.data(),
                           static_cast<SQLSMALLINT>(description.size()), &descriptionLength);
        if (!Succeeded(rc))
            break;
        const auto* text = reinterpret_cast<const char*>(name.data());
        std::string entry(text, std::min<std::size_t>(nameLength, name.size() - 1));
        if (entry.find_first_not_of(' ') != std::string::npos)
            sources.push_back(
                {entry, std::string(reinterpret_cast<const char*>(description.data()))});
    }
    return sources;
}

Connection::Connection(Environment& environment) : environment_(environment) {}

Connection::~Connection() {
    Close();
}

DbResult Connection::Connected(SQLRETURN rc) {
    if (!Succeeded(rc)) {
        DbResult failure = odbc::Diagnose(SQL_HANDLE_DBC, handle_.get(), "the connection failed");
        handle_.reset();
        return failure;
    }
    open_ = true;
    dbmsName_.clear();
    quoteKnown_ = false;
    folding_.reset();
    if (DbResult node = CheckClusterNode(); !node) {
        Close();
        return node;
    }
    return DbResult::Success();
}

DbResult Connection::CheckClusterNode() {
    if (DbProduct() != Product::MariaDB)
        return DbResult::Success();
    SqlRows rows;
    // SHOW is answered even by a node that takes no other statement.
    if (DbResult read = Query("SHOW VARIABLES LIKE 'wsrep_on'", rows); !read)
        return read;
    if (rows.empty() || rows[0].size() < 2 || rows[0][1] != "ON")
        return DbResult::Success();
    if (DbResult read = Query("SHOW STATUS LIKE 'wsrep_ready'", rows); !read)
        return read;
    if (rows.empty() || rows[0].size() < 2 || rows[0][1] != "ON")
        return DbResult::Failure("08S01",
                                 "This Galera node takes no statements now: it is not part of the "
                                 "cluster's primary component, or it is still joining "
                                 "(wsrep_ready is OFF).",
                                 DbFailure::ConnectionLost);
    // Reads then wait for every commit the cluster made before them, on whichever node: after a
    // move to another node, the positions read there include the last commit of this run.
    return Execute("SET SESSION wsrep_sync_wait = 1");
}

DbResult Connection::JudgeNode(DbResult failure, long native) {
    if (native != kGaleraNotReady || judgingNode_ || failure.failure != DbFailure::Busy ||
        DbProduct() != Product::MariaDB)
        return failure;
    judgingNode_ = true;
    SqlRows rows;
    const DbResult read = Query("SHOW STATUS LIKE 'wsrep_cluster_status'", rows);
    judgingNode_ = false;
    // Outside the primary component it stays so until the cluster heals: another node serves.
    if (!read || rows.empty() || rows[0].size() < 2 || rows[0][1] != "Primary") {
        failure.failure = DbFailure::ConnectionLost;
        failure.message += "\n(This Galera node is not part of the cluster's primary component.)";
    }
    return failure;
}

DbResult Connection::Open(const std::string& dsn) {
    firstDsn_ = dsn;
    fallbacks_.clear();
    return OpenSource(dsn);
}

DbResult Connection::OpenFirst(const std::vector<std::string>& dsns) {
    if (dsns.empty())
        return DbResult::Failure("IM002", "No data source is named.");
    firstDsn_ = dsns.front();
    fallbacks_.assign(dsns.begin() + 1, dsns.end());
    DbResult failures = DbResult::Failure("", "");
    for (const std::string& dsn : dsns) {
        DbResult opened = OpenSource(dsn);
        if (opened || dsns.size() == 1)
            return opened;
        if (failures.sqlState.empty())
            failures.sqlState = opened.sqlState;
        failures.message += (failures.message.empty() ? "" : "; ") + dsn + ": " + opened.message;
        failures.failure = opened.failure;
    }
    return failures;
}

DbResult Connection::OpenSource(const std::string& dsn) {
    Close();
    dsn_ = dsn;
    connectionString_.clear();
    handle_ = Allocate(SQL_HANDLE_DBC, environment_.get());
    if (!handle_)
        return odbc::Diagnose(SQL_HANDLE_ENV, environment_.get(),
                              "no connection handle could be had");
    // No user name and password: the data source's own settings decide how to log in.
    return Connected(SQLConnect(handle_.get(),
                                reinterpret_cast<SQLCHAR*>(const_cast<char*>(dsn.c_str())),
                                static_cast<SQLSMALLINT>(dsn.size()), nullptr, 0, nullptr, 0));
}

DbResult Connection::OpenConnectionString(const std::string& connectionString) {
    Close();
    dsn_.clear();
    connectionString_ = connectionString;
    handle_ = Allocate(SQL_HANDLE_DBC, environment_.get());
    if (!handle_)
        return odbc::Diagnose(SQL_HANDLE_ENV, environment_.get(),
                              "no connection handle could be had");
    std::array<SQLCHAR, 1024> completed{};
    SQLSMALLINT completedLength = 0;
    return Connected(SQLDriverConnect(
        handle_.get(), nullptr,
        reinterpret_cast<SQLCHAR*>(const_cast<char*>(connectionString.c_str())),
        static_cast<SQLSMALLINT>(connectionString.size()), completed.data(),
        static_cast<SQLSMALLINT>(completed.size()), &completedLength, SQL_DRIVER_NOPROMPT));
}

void Connection::Close() {
    // A transaction still open holds the disconnect up; it is undone, never committed.
    if (open_ && !Succeeded(SQLDisconnect(handle_.get()))) {
        SQLEndTran(SQL_HANDLE_DBC, handle_.get(), SQL_ROLLBACK);
        SQLDisconnect(handle_.get());
    }
    open_ = false;
    handle_.reset();
    dbmsName_.clear();
    quoteKnown_ = false;
    targets_.clear();
}

DbResult Connection::Ping() {
    SqlRows rows;
    // Every product here answers a SELECT without FROM.
    return Select("SELECT 1", {}, rows);
}

DbResult Connection::Reconnect() {
    const std::string connectionString = connectionString_;
    std::vector<std::string> sources;
    if (connectionString.empty() && !(firstDsn_.empty() ? dsn_ : firstDsn_).empty()) {
        sources.push_back(firstDsn_.empty() ? dsn_ : firstDsn_);
        sources.insert(sources.end(), fallbacks_.begin(), fallbacks_.end());
    }
    if (sources.empty() && connectionString.empty())
        return DbResult::Failure("08003", "The connection was never opened.",
                                 DbFailure::ConnectionLost);
    // The same database again: the tables found for the run's names stay.
    std::map<std::string, ResolvedTable> targets = std::move(targets_);
    DbResult opened = connectionString.empty() ? DbResult::Failure("08001", "")
                                               : OpenConnectionString(connectionString);
    for (const std::string& dsn : sources) {
        opened = OpenSource(dsn);
        if (opened)
            break;
    }
    if (opened)
        targets_ = std::move(targets);
    if (!opened && opened.failure == DbFailure::Refused)
        opened.failure = DbFailure::ConnectionLost;
    return opened;
}

std::string Connection::IdentifierQuote() {
    if (!quoteKnown_ && open_) {
        std::array<char, 8> quote{};
        SQLSMALLINT length = 0;
        if (Succeeded(SQLGetInfo(handle_.get(), SQL_IDENTIFIER_QUOTE_CHAR, quote.data(),
                                 static_cast<SQLSMALLINT>(quote.size()), &length)))
            quote_ = quote.data();
        quoteKnown_ = true;
    }
    return quote_;
}

std::string Connection::QuoteIdentifier(const std::string& name) {
    return QuoteIdentifierWith(name, IsPlainIdentifier(name) ? std::string() : IdentifierQuote());
}

DbResult Connection::NewStatement(Handle& statement) {
    if (!open_)
        return DbResult::Failure("08003", "The connection is not open.", DbFailure::ConnectionLost);
    statement = Allocate(SQL_HANDLE_STMT, handle_.get());
    if (!statement)
        return odbc::Diagnose(SQL_HANDLE_DBC, handle_.get(), "no statement handle could be had",
                              DbProduct());
    return DbResult::Success();
}

DbResult Connection::StatementFailure(void* statement, const std::string& fallback) {
    long native = 0;
    DbResult failure = odbc::Diagnose(SQL_HANDLE_STMT, statement, fallback, DbProduct(), &native);
    return JudgeNode(std::move(failure), native);
}

DbResult Connection::Execute(const std::string& statement) {
    return Run(statement);
}

DbResult Connection::ExecuteWith(Handle& stmt, const std::string& sql,
                                 const std::vector<std::string>& params) {
    if (DbResult made = NewStatement(stmt); !made)
        return made;
    SQLCHAR* text = reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str()));
    const auto size = static_cast<SQLINTEGER>(sql.size());
    if (params.empty()) {
        const SQLRETURN rc = SQLExecDirect(stmt.get(), text, size);
        if (!Succeeded(rc) && rc != SQL_NO_DATA)
            return StatementFailure(stmt.get(), "the statement failed");
        return DbResult::Success();
    }
    // Bound first and executed directly: one round trip where the driver can send both at once.
    std::vector<SQLLEN> lengths(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        lengths[i] = static_cast<SQLLEN>(params[i].size());
        const auto width = static_cast<SQLULEN>(std::max<std::size_t>(params[i].size(), 1));
        if (!Succeeded(SQLBindParameter(stmt.get(), static_cast<SQLUSMALLINT>(i + 1),
                                        SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, width, 0,
                                        const_cast<char*>(params[i].data()), lengths[i],
                                        &lengths[i])))
            return StatementFailure(stmt.get(), "a parameter could not be bound");
    }
    const SQLRETURN rc = SQLExecDirect(stmt.get(), text, size);
    if (!Succeeded(rc) && rc != SQL_NO_DATA)
        return StatementFailure(stmt.get(), "the statement failed");
    return DbResult::Success();
}

DbResult Connection::Run(const std::string& sql, const std::vector<std::string>& params,
                         long* affected) {
    Handle stmt;
    DbResult result = ExecuteWith(stmt, sql, params);
    if (result && affected) {
        SQLLEN count = -1;
        *affected = Succeeded(SQLRowCount(stmt.get(), &count)) ? static_cast<long>(count) : -1;
    }
    return result;
}

namespace {

/// Column `column` of the current row as text, in pieces if it is long; empty for NULL.
std::string TextColumn(SQLHSTMT stmt, SQLUSMALLINT column) {
    std::string text;
    std::array<char, 1024> chunk{};
    for (;;) {
        SQLLEN length = 0;
        const SQLRETURN got =
            SQLGetData(stmt, column, SQL_C_CHAR, chunk.data(), chunk.size(), &length);
        if (!Succeeded(got) || length == SQL_NULL_DATA)
            break;
        const std::size_t piece =
            (length == SQL_NO_TOTAL || length >= static_cast<SQLLEN>(chunk.size()))
                ? chunk.size() - 1
                : static_cast<std::size_t>(length);
        text.append(chunk.data(), piece);
        if (got == SQL_SUCCESS)
            break;
    }
    return text;
}

/// Every row of an executed statement, text as raw bytes and numbers as their text.
SQLRETURN FetchAll(SQLHSTMT stmt, SqlRows& rows) {
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt, &columns);
    // Text comes as raw bytes (no conversion by the driver); numbers and the rest as their text.
    std::vector<SQLSMALLINT> targetTypes;
    for (SQLUSMALLINT column = 1; column <= columns; ++column) {
        SQLLEN type = 0;
        SQLColAttribute(stmt, column, SQL_DESC_CONCISE_TYPE, nullptr, 0, nullptr, &type);
        const bool raw = type == SQL_CHAR || type == SQL_VARCHAR || type == SQL_LONGVARCHAR ||
                         type == SQL_WCHAR || type == SQL_WVARCHAR || type == SQL_WLONGVARCHAR ||
                         type == SQL_BINARY || type == SQL_VARBINARY || type == SQL_LONGVARBINARY;
        targetTypes.push_back(raw ? SQL_C_BINARY : SQL_C_CHAR);
    }
    SQLRETURN rc = SQL_SUCCESS;
    while (Succeeded(rc = SQLFetch(stmt))) {
        auto& row = rows.emplace_back();
        for (SQLUSMALLINT column = 1; column <= columns; ++column) {
            const SQLSMALLINT target = targetTypes[column - 1];
            // Asks for the size first and reads the value in one piece: psqlODBC loses the last
            // byte of text read as binary when it comes in several pieces.
            char probe[1] = {0};
            SQLLEN length = 0;
            const SQLRETURN sized = SQLGetData(stmt, column, target, probe, 0, &length);
            if (!Succeeded(sized)) {
                row.emplace_back(std::string());
                continue;
            }
            if (length == SQL_NULL_DATA) {
                row.emplace_back(std::nullopt);
                continue;
            }
            std::string value;
            if (length > 0 || length == SQL_NO_TOTAL) {
                const std::size_t terminator = target == SQL_C_CHAR ? 1 : 0;
                std::vector<char> buffer(
                    (length == SQL_NO_TOTAL ? 1 << 20 : static_cast<std::size_t>(length)) + 1);
                SQLLEN got = 0;
                if (Succeeded(SQLGetData(stmt, column, target, buffer.data(),
                                         static_cast<SQLLEN>(buffer.size()), &got)) &&
                    got != SQL_NULL_DATA) {
                    const std::size_t room = buffer.size() - terminator;
                    const std::size_t size =
                        (got == SQL_NO_TOTAL || got > static_cast<SQLLEN>(room))
                            ? room
                            : static_cast<std::size_t>(got);
                    value.assign(buffer.data(), size);
                }
            }
            row.emplace_back(std::move(value));
        }
    }
    return rc;
}

bool IsSystemSchema(const std::string& name) {
    static const char* const kSystem[] = {"information_schema", "pg_catalog", "pg_toast",
                                          "performance_schema", "mysql",      "sys"};
    for (const char* system : kSystem)
        if (name == system)
            return true;
    return false;
}

} // namespace

DbResult Connection::Select(const std::string& sql, const std::vector<std::string>& params,
                            SqlRows& rows) {
    rows.clear();
    Handle stmt;
    if (DbResult done = ExecuteWith(stmt, sql, params); !done)
        return done;
    if (FetchAll(stmt.get(), rows) != SQL_NO_DATA)
        return StatementFailure(stmt.get(), "reading the rows failed");
    return DbResult::Success();
}

DbResult Connection::Query(const std::string& sql, SqlRows& rows) {
    return Select(sql, {}, rows);
}

void Connection::FindCurrentNamespace(std::string& catalog, std::string& schema) {
    catalog.clear();
    schema.clear();
    std::array<char, 512> name{};
    SQLINTEGER length = 0;
    if (Succeeded(SQLGetConnectAttr(handle_.get(), SQL_ATTR_CURRENT_CATALOG, name.data(),
                                    static_cast<SQLINTEGER>(name.size()), &length)))
        catalog = name.data();
    // ODBC has no current schema; PostgreSQL's decides where a bare table name is found.
    if (DbProduct() == Product::PostgreSQL) {
        SqlRows rows;
        // Cast: psqlODBC hands a value of PostgreSQL's own "name" type back empty.
        if (Query("SELECT CAST(current_schema() AS VARCHAR(256))", rows) && !rows.empty() &&
            !rows[0].empty() && rows[0][0])
            schema = *rows[0][0];
    }
}

DbResult Connection::ListSqliteTables(std::vector<ResolvedTable>& tables) {
    // Another connection's commit holds the file for a moment: wait for it, a while longer
    // than one busy timeout of the data source.
    constexpr int kAttempts = 10;
    for (int attempt = 1;; ++attempt) {
        SqlRows rows;
        DbResult read = Query("SELECT name FROM sqlite_master WHERE type IN ('table', 'view') "
                              "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'",
                              rows);
        if (read) {
            for (const auto& row : rows)
                if (!row.empty() && row[0])
                    tables.push_back({{}, {}, *row[0], {}});
            return read;
        }
        if (read.failure != DbFailure::Busy || attempt == kAttempts)
            return read;
        std::this_thread::sleep_for(std::chrono::milliseconds(50 * attempt));
    }
}

DbResult Connection::ListTables(const std::string& catalog, const std::string& schema,
                                std::vector<ResolvedTable>& tables) {
    tables.clear();
    // The SQLite driver answers SQLTables with no rows, not an error, while another connection
    // holds the database; a query says so.
    if (DbProduct() == Product::SQLite && schema.empty())
        return ListSqliteTables(tables);
    Handle stmt;
    if (DbResult made = NewStatement(stmt); !made)
        return made;
    std::string catalogArg = catalog;
    std::string schemaArg = schema;
    const auto text = [](std::string& value) {
        return value.empty() ? nullptr : reinterpret_cast<SQLCHAR*>(value.data());
    };
    SQLRETURN rc =
        SQLTables(stmt.get(), text(catalogArg), static_cast<SQLSMALLINT>(catalog.size()),
                  text(schemaArg), static_cast<SQLSMALLINT>(schema.size()), nullptr, 0, nullptr, 0);
    if (!Succeeded(rc))
        return StatementFailure(stmt.get(), "the table catalogue could not be read");
    while (Succeeded(rc = SQLFetch(stmt.get()))) {
        ResolvedTable row;
        row.catalog = TextColumn(stmt.get(), 1);
        row.schema = TextColumn(stmt.get(), 2);
        row.name = TextColumn(stmt.get(), 3);
        const std::string type = TextColumn(stmt.get(), 4);
        // The arguments are patterns ("_" matches any character), so the match is made exact
        // here; system schemas and system tables are not the user's.
        if (!catalog.empty() && !row.catalog.empty() && row.catalog != catalog)
            continue;
        if (!schema.empty() && !row.schema.empty() && row.schema != schema)
            continue;
        if ((catalog.empty() && IsSystemSchema(row.catalog)) || IsSystemSchema(row.schema) ||
            type.rfind("SYSTEM", 0) == 0)
            continue;
        tables.push_back(std::move(row));
    }
    if (rc != SQL_NO_DATA)
        return StatementFailure(stmt.get(), "the table catalogue could not be read");
    return DbResult::Success();
}

DbResult Connection::ListCurrentTables(std::vector<std::string>& names) {
    names.clear();
    std::string catalog;
    std::string schema;
    if (open_)
        FindCurrentNamespace(catalog, schema);
    std::vector<ResolvedTable> tables;
    DbResult read = ListTables(catalog, schema, tables);
    for (ResolvedTable& table : tables)
        names.push_back(std::move(table.name));
    return read;
}

DbResult Connection::GetTableList(std::vector<std::string>& names) {
    DbResult read = ListCurrentTables(names);
    // The bookkeeping table is no place for log rows, so it is never offered as one.
    std::erase_if(names, [](const std::string& name) { return IsProgramTable(name); });
    return read;
}

NameFolding Connection::Folding() {
    if (folding_)
        return *folding_;
    NameFolding folding = NameFolding::Exact;
    switch (DbProduct()) {
    case Product::PostgreSQL:
        folding = NameFolding::Lower;
        break;
    case Product::SQLite:
        folding = NameFolding::AnyCase;
        break;
    case Product::MariaDB: {
        // 0 keeps table names as written; 1 and 2 compare them in lower case.
        SqlRows rows;
        if (Query("SELECT @@lower_case_table_names", rows) && !rows.empty() && !rows[0].empty() &&
            rows[0][0] && *rows[0][0] != "0")
            folding = NameFolding::AnyCase;
        break;
    }
    case Product::Other: {
        SQLUSMALLINT kind = 0;
        if (Succeeded(SQLGetInfo(handle_.get(), SQL_IDENTIFIER_CASE, &kind, sizeof kind, nullptr)))
            folding = kind == SQL_IC_UPPER   ? NameFolding::Upper
                      : kind == SQL_IC_LOWER ? NameFolding::Lower
                      : kind == SQL_IC_MIXED ? NameFolding::AnyCase
                                             : NameFolding::Exact;
        break;
    }
    }
    folding_ = folding;
    return folding;
}

bool Connection::PickTable(const std::vector<ResolvedTable>& tables, const NamePart& part,
                           ResolvedTable& table) {
    for (const bool exact : {true, false}) {
        for (const ResolvedTable& candidate : tables) {
            if (exact ? candidate.name == part.text
                      : FoldedMatch(candidate.name, part, Folding())) {
                table = candidate;
                return true;
            }
        }
    }
    return false;
}

DbResult Connection::ResolveTable(const std::string& typed, ResolvedTable& table, bool& found) {
    found = false;
    table = {};
    std::string catalog;
    std::string schema;
    if (open_)
        FindCurrentNamespace(catalog, schema);
    std::vector<ResolvedTable> here;
    if (DbResult read = ListTables(catalog, schema, here); !read)
        return read;
    const std::string quote = IdentifierQuote();
    const NameFolding folding = Folding();
    std::vector<NamePart> parts;
    // The whole text is a name first: a table's own name may hold dots or blanks.
    const NamePart whole{typed, true};
    if (PickTable(here, whole, table) || (SplitTableName(typed, quote, parts) &&
                                          parts.size() == 1 && PickTable(here, parts[0], table))) {
        table.sql = QuotedPart(table.name, quote, folding);
        found = true;
        return DbResult::Success();
    }
    // "catalog.schema.table" only within the current catalog, as PostgreSQL allows it.
    if (parts.size() == 3 && !schema.empty() &&
        (parts[0].text == catalog || FoldedMatch(catalog, parts[0], folding)))
        parts.erase(parts.begin());
    if (parts.size() != 2)
        return DbResult::Success();
    // MariaDB's databases are the catalogs; elsewhere the part before the dot is a schema.
    const bool byCatalog = DbProduct() == Product::MariaDB;
    std::vector<std::string> qualifiers = {parts[0].text};
    if ((!parts[0].quoted || folding == NameFolding::AnyCase) &&
        Folded(parts[0].text, folding) != parts[0].text)
        qualifiers.push_back(Folded(parts[0].text, folding));
    for (const std::string& qualifier : qualifiers) {
        std::vector<ResolvedTable> there;
        if (DbResult read =
                ListTables(byCatalog ? qualifier : catalog, byCatalog ? "" : qualifier, there);
            !read)
            return read;
        // A driver that leaves the qualifier out of its rows cannot tell where they are.
        std::erase_if(there, [&](const ResolvedTable& candidate) {
            return (byCatalog ? candidate.catalog : candidate.schema) != qualifier;
        });
        if (PickTable(there, parts[1], table)) {
            table.sql = QuotedPart(qualifier, quote, folding) + "." +
                        QuotedPart(table.name, quote, folding);
            found = true;
            return DbResult::Success();
        }
    }
    return DbResult::Success();
}

DbResult Connection::FindTable(const std::string& table, bool& exists) {
    ResolvedTable target;
    DbResult read = ResolveTable(table, target, exists);
    if (read && exists)
        targets_[table] = target;
    else
        targets_.erase(table);
    return read;
}

ResolvedTable Connection::TargetTable(const std::string& typed) {
    if (const auto known = targets_.find(typed); known != targets_.end())
        return known->second;
    ResolvedTable table;
    bool found = false;
    if (!ResolveTable(typed, table, found) || !found) {
        // Not there: the statement names it as typed and the database says what is wrong.
        table = {};
        table.sql = TypedTableSql(typed, IdentifierQuote());
    }
    return table;
}

DbResult Connection::ColumnTypes(const ResolvedTable& table, std::vector<short>& types) {
    types.clear();
    Handle stmt;
    if (DbResult made = NewStatement(stmt); !made)
        return made;
    std::string catalog = table.catalog;
    std::string schema = table.schema;
    std::string name = table.name;
    const auto text = [](std::string& value) {
        return value.empty() ? nullptr : reinterpret_cast<SQLCHAR*>(value.data());
    };
    SQLRETURN rc = SQLColumns(stmt.get(), text(catalog), static_cast<SQLSMALLINT>(catalog.size()),
                              text(schema), static_cast<SQLSMALLINT>(schema.size()), text(name),
                              static_cast<SQLSMALLINT>(name.size()), nullptr, 0);
    if (!Succeeded(rc))
        return StatementFailure(stmt.get(), "the columns could not be read");
    std::vector<std::pair<long, short>> columns;
    while (Succeeded(rc = SQLFetch(stmt.get()))) {
        // Patterns again: only the table's own columns count.
        if ((!table.catalog.empty() && TextColumn(stmt.get(), 1) != table.catalog) ||
            (!table.schema.empty() && TextColumn(stmt.get(), 2) != table.schema) ||
            TextColumn(stmt.get(), 3) != table.name)
            continue;
        SQLSMALLINT type = 0;
        SQLINTEGER position = 0;
        SQLLEN length = 0;
        SQLGetData(stmt.get(), 5, SQL_C_SSHORT, &type, 0, &length);
        SQLGetData(stmt.get(), 17, SQL_C_SLONG, &position, 0, &length);
        columns.emplace_back(position, type);
    }
    if (rc != SQL_NO_DATA)
        return StatementFailure(stmt.get(), "the columns could not be read");
    std::stable_sort(columns.begin(), columns.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& column : columns)
        types.push_back(column.second);
    return DbResult::Success();
}

DbResult Connection::HasTable(const std::string& name, bool& exists) {
    exists = false;
    std::vector<std::string> names;
    DbResult read = ListCurrentTables(names);
    if (read)
        exists = std::find(names.begin(), names.end(), name) != names.end();
    return read;
}

std::string Connection::DbmsName() {
    if (!open_)
        return {};
    if (dbmsName_.empty()) {
        std::array<char, 256> name{};
        SQLSMALLINT length = 0;
        if (Succeeded(SQLGetInfo(handle_.get(), SQL_DBMS_NAME, name.data(),
                                 static_cast<SQLSMALLINT>(name.size()), &length)))
            dbmsName_ = name.data();
    }
    return dbmsName_;
}

Product Connection::DbProduct() {
    return ProductOf(DbmsName());
}

DbResult Connection::EmptyTable(const std::string& table, const std::function<bool()>& keepWaiting,
                                std::uint64_t* rowsHeld) {
    // A lock wait of a second at a time, so a cancel is seen while another session holds the
    // table; SQLite waits as its data source says.
    const Product product = DbProduct();
    const char* bound = product == Product::PostgreSQL ? "SET lock_timeout = '1s'"
                        : product == Product::MariaDB
                            ? "SET SESSION lock_wait_timeout = 1, innodb_lock_wait_timeout = 1"
                            : nullptr;
    const char* unbound = product == Product::PostgreSQL ? "RESET lock_timeout"
                          : product == Product::MariaDB
                              ? "SET SESSION lock_wait_timeout = DEFAULT, "
                                "innodb_lock_wait_timeout = DEFAULT"
                              : nullptr;
    const bool bounded = keepWaiting && bound && Execute(bound);
    std::uint64_t held = 0;
    DbResult result = EmptyTableOnce(table, held);
    while (bounded && !result && result.failure == DbFailure::Busy && keepWaiting())
        result = EmptyTableOnce(table, held);
    if (bounded)
        (void)Execute(unbound);
    if (rowsHeld != nullptr)
        *rowsHeld = result ? held : 0;
    return result;
}

DbResult Connection::EmptyTableOnce(const std::string& table, std::uint64_t& rowsHeld) {
    const std::string name = TargetTable(table).sql;
    const Product product = DbProduct();
    CheckpointTable checkpoints(*this);
    DbResult error;
    const bool positions = checkpoints.HasPositions(table, error);
    if (!error)
        return error;
    // SQLite has no TRUNCATE; MariaDB's commits on its own, so where positions must go in the
    // same transaction the rows are deleted instead.
    const bool deleteRows =
        product == Product::SQLite || (positions && product == Product::MariaDB);
    const std::string statement = (deleteRows ? "DELETE FROM " : "TRUNCATE ") + name + ";";
    // A DELETE says how many rows it took; a TRUNCATE does not, so they are counted first.
    const auto empty = [&]() -> DbResult {
        rowsHeld = 0;
        if (deleteRows) {
            long affected = -1;
            DbResult deleted = Run(statement, {}, &affected);
            rowsHeld = affected > 0 ? static_cast<std::uint64_t>(affected) : 0;
            return deleted;
        }
        SqlRows rows;
        if (DbResult counted = Query("SELECT COUNT(*) FROM " + name, rows); !counted)
            return counted;
        if (!rows.empty() && !rows[0].empty() && rows[0][0])
            rowsHeld = std::strtoull(rows[0][0]->c_str(), nullptr, 10);
        return Execute(statement);
    };
    if (!positions)
        return empty();
    if (DbResult begun = SetAutoCommit(false); !begun)
        return begun;
    DbResult result = empty();
    if (result)
        result = checkpoints.Forget(table);
    if (result)
        result = Commit();
    if (!result)
        if (DbResult undone = Rollback(); !undone) {
            // Autocommit would now commit the half-emptied table: the connection goes instead,
            // and with it the transaction.
            Close();
            if (result.Fatal())
                return result;
            return DbResult::Failure(undone.sqlState,
                                     "The table '" + table +
                                         "' could not be emptied, and undoing it failed, so the "
                                         "connection was closed: " +
                                         undone.message,
                                     DbFailure::ConnectionLost);
        }
    (void)SetAutoCommit(true);
    return result;
}

std::unique_ptr<TableWriter> Connection::OpenWriter(const std::string& table,
                                                    const WriterOptions& options, DbResult& error) {
    return MakeWriter(*this, table, options, error);
}

DbResult Connection::SetAutoCommit(bool on) {
    if (!open_)
        return DbResult::Failure("08003", "The connection is not open.", DbFailure::ConnectionLost);
    const SQLULEN value = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
    if (!Succeeded(SQLSetConnectAttr(handle_.get(), SQL_ATTR_AUTOCOMMIT,
                                     reinterpret_cast<SQLPOINTER>(value), SQL_IS_UINTEGER)))
        return odbc::Diagnose(SQL_HANDLE_DBC, handle_.get(), "autocommit could not be changed",
                              DbProduct());
    return DbResult::Success();
}

DbResult Connection::EndTransaction(short completion) {
    if (!open_)
        return DbResult::Failure("08003", "The connection is not open.", DbFailure::ConnectionLost);
    const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, handle_.get(), completion);
    if (!Succeeded(rc)) {
        long native = 0;
        DbResult failure =
            odbc::Diagnose(SQL_HANDLE_DBC, handle_.get(), "the transaction could not be ended",
                           DbProduct(), &native);
        return JudgeNode(std::move(failure), native);
    }
    if (rc == SQL_SUCCESS_WITH_INFO && completion == SQL_ROLLBACK) {
        // MariaDB warns when changes to tables without transactions could not be undone.
        DbResult warning = odbc::Diagnose(SQL_HANDLE_DBC, handle_.get(), "", DbProduct());
        if (warning.message.find("non-transactional") != std::string::npos ||
            warning.message.find("couldn't be rolled back") != std::string::npos)
            return DbResult::Failure(warning.sqlState, warning.message);
    }
    return DbResult::Success();
}

DbResult Connection::Commit() {
    return EndTransaction(SQL_COMMIT);
}

DbResult Connection::Rollback() {
    return EndTransaction(SQL_ROLLBACK);
}

} // namespace brenvale::odbc

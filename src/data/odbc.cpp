// A small RAII layer over the ODBC driver manager: environment, connection, statements.
#include "data/odbc.h"

#include <sql.h>
#include <sqlext.h>

#include <array>

namespace brenvale::odbc {

namespace {

bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

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

Handle::~Handle() { reset(); }

void Handle::reset() noexcept {
    if (handle_)
        SQLFreeHandle(type_, handle_);
    handle_ = nullptr;
}

DbResult Diagnose(short type, void* handle, const std::string& fallback) {
    DbResult result = DbResult::Failure("", "");
    for (SQLSMALLINT record = 1; handle != nullptr; ++record) {
        SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
        SQLINTEGER native = 0;
        std::array<SQLCHAR, 4096> text{};
        SQLSMALLINT length = 0;
        const SQLRETURN rc = SQLGetDiagRec(type, handle, record, state, &native, text.data(),
                                           static_cast<SQLSMALLINT>(text.size()), &length);
        if (!Succeeded(rc))
            break;
        if (result.sqlState.empty())
            result.sqlState = reinterpret_cast<const char*>(state);
        if (!result.message.empty())
            result.message += "\n";
        result.message += reinterpret_cast<const char*>(text.data());
    }
    if (result.message.empty())
        result.message = fallback;
    if (result.sqlState.empty())
        result.sqlState = "HY000";
    return result;
}

Environment::Environment() {
    handle_ = Allocate(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
    if (handle_)
        SQLSetEnvAttr(handle_.get(), SQL_ATTR_ODBC_VERSION,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_OV_ODBC3)), 0);
}

std::vector<DataSource> ListDataSources() {
    std::vector<DataSource> sources;
    Environment environment;
    if (!environment.ok())
        return sources;
    for (;;) {
        std::array<SQLCHAR, 1024> name{};
        std::array<SQLCHAR, 1024> description{};
        SQLSMALLINT nameLength = 0;
        SQLSMALLINT descriptionLength = 0;
        const SQLRETURN rc = SQLDataSources(environment.get(), SQL_FETCH_NEXT, name.data(),
                                            static_cast<SQLSMALLINT>(name.size()), &nameLength,
                                            description.data(),
                                            static_cast<SQLSMALLINT>(description.size()),
                                            &descriptionLength);
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

/// A prepared nine-value insert; parameters are bound afresh per row with explicit lengths.
class OdbcRowInserter final : public RowInserter {
public:
    OdbcRowInserter(Handle statement, bool refuseNul)
        : statement_(std::move(statement)), refuseNul_(refuseNul) {}

    DbResult Insert(const RowValues& values) override {
        static char empty[1] = {0};
        if (refuseNul_)
            for (const std::string_view value : values)
                if (value.find('\0') != std::string_view::npos)
                    return DbResult::Failure(
                        "22021", "A value holds a NUL byte (0x00), which PostgreSQL text cannot "
                                 "store; the row was not sent.");
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::string_view value = values[i];
            lengths_[i] = static_cast<SQLLEN>(value.size());
            auto* data = value.empty() ? empty : const_cast<char*>(value.data());
            const SQLRETURN rc = SQLBindParameter(
                statement_.get(), static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR,
                SQL_VARCHAR, std::max<SQLULEN>(value.size(), 1), 0, data, lengths_[i],
                &lengths_[i]);
            if (!Succeeded(rc))
                return Diagnose(SQL_HANDLE_STMT, statement_.get(), "binding a value failed");
        }
        const SQLRETURN rc = SQLExecute(statement_.get());
        if (!Succeeded(rc) && rc != SQL_NO_DATA) {
            DbResult failure =
                Diagnose(SQL_HANDLE_STMT, statement_.get(), "the database refused the row");
            SQLFreeStmt(statement_.get(), SQL_CLOSE);
            return failure;
        }
        SQLFreeStmt(statement_.get(), SQL_CLOSE);
        return DbResult::Success();
    }

private:
    Handle statement_;
    // psqlODBC cuts a text parameter at its first NUL instead of refusing it.
    bool refuseNul_ = false;
    std::array<SQLLEN, 9> lengths_{};
};

Connection::Connection(Environment& environment) : environment_(environment) {}

Connection::~Connection() { Close(); }

DbResult Connection::Open(const std::string& connectionString) {
    Close();
    handle_ = Allocate(SQL_HANDLE_DBC, environment_.get());
    if (!handle_)
        return Diagnose(SQL_HANDLE_ENV, environment_.get(), "no connection handle could be had");
    std::array<SQLCHAR, 1024> completed{};
    SQLSMALLINT completedLength = 0;
    const SQLRETURN rc = SQLDriverConnect(
        handle_.get(), nullptr,
        reinterpret_cast<SQLCHAR*>(const_cast<char*>(connectionString.c_str())),
        static_cast<SQLSMALLINT>(connectionString.size()), completed.data(),
        static_cast<SQLSMALLINT>(completed.size()), &completedLength, SQL_DRIVER_NOPROMPT);
    if (!Succeeded(rc)) {
        DbResult failure = Diagnose(SQL_HANDLE_DBC, handle_.get(), "the connection failed");
        handle_.reset();
        return failure;
    }
    open_ = true;
    dbmsName_.clear();
    return DbResult::Success();
}

void Connection::Close() {
    if (open_)
        SQLDisconnect(handle_.get());
    open_ = false;
    handle_.reset();
    dbmsName_.clear();
}

DbResult Connection::Execute(const std::string& statement) {
    if (!open_)
        return DbResult::Failure("08003", "The connection is not open.");
    Handle stmt = Allocate(SQL_HANDLE_STMT, handle_.get());
    if (!stmt)
        return Diagnose(SQL_HANDLE_DBC, handle_.get(), "no statement handle could be had");
    const SQLRETURN rc =
        SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(statement.c_str())),
                      static_cast<SQLINTEGER>(statement.size()));
    if (!Succeeded(rc) && rc != SQL_NO_DATA)
        return Diagnose(SQL_HANDLE_STMT, stmt.get(), "the statement failed");
    return DbResult::Success();
}

DbResult Connection::GetTableList(std::vector<std::string>& names) {
    names.clear();
    if (!open_)
        return DbResult::Failure("08003", "The connection is not open.");
    Handle stmt = Allocate(SQL_HANDLE_STMT, handle_.get());
    if (!stmt)
        return Diagnose(SQL_HANDLE_DBC, handle_.get(), "no statement handle could be had");
    SQLRETURN rc = SQLTables(stmt.get(), nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0);
    if (!Succeeded(rc))
        return Diagnose(SQL_HANDLE_STMT, stmt.get(), "the table catalogue could not be read");
    while (Succeeded(rc = SQLFetch(stmt.get()))) {
        std::string name;
        std::array<char, 1024> chunk{};
        SQLLEN length = 0;
        // Names longer than the buffer come in several pieces.
        for (;;) {
            const SQLRETURN got =
                SQLGetData(stmt.get(), 3, SQL_C_CHAR, chunk.data(), chunk.size(), &length);
            if (!Succeeded(got))
                break;
            if (length == SQL_NULL_DATA)
                break;
            const std::size_t piece =
                (length == SQL_NO_TOTAL || length >= static_cast<SQLLEN>(chunk.size()))
                    ? chunk.size() - 1
                    : static_cast<std::size_t>(length);
            name.append(chunk.data(), piece);
            if (got == SQL_SUCCESS)
                break;
        }
        names.push_back(std::move(name));
    }
    if (rc != SQL_NO_DATA)
        return Diagnose(SQL_HANDLE_STMT, stmt.get(), "the table catalogue could not be read");
    return DbResult::Success();
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

std::unique_ptr<RowInserter> Connection::PrepareInsert(const std::string& table, DbResult& error) {
    if (!open_) {
        error = DbResult::Failure("08003", "The connection is not open.");
        return nullptr;
    }
    Handle stmt = Allocate(SQL_HANDLE_STMT, handle_.get());
    if (!stmt) {
        error = Diagnose(SQL_HANDLE_DBC, handle_.get(), "no statement handle could be had");
        return nullptr;
    }
    const std::string sql = "INSERT INTO " + table + " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";
    const SQLRETURN rc = SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                                    static_cast<SQLINTEGER>(sql.size()));
    if (!Succeeded(rc)) {
        error = Diagnose(SQL_HANDLE_STMT, stmt.get(), "the insert could not be prepared");
        return nullptr;
    }
    error = DbResult::Success();
    return std::make_unique<OdbcRowInserter>(std::move(stmt), DbmsName() == "PostgreSQL");
}

DbResult Connection::SetAutoCommit(bool on) {
    if (!open_)
        return DbResult::Failure("08003", "The connection is not open.");
    const SQLULEN value = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
    if (!Succeeded(SQLSetConnectAttr(handle_.get(), SQL_ATTR_AUTOCOMMIT,
                                     reinterpret_cast<SQLPOINTER>(value), SQL_IS_UINTEGER)))
        return Diagnose(SQL_HANDLE_DBC, handle_.get(), "autocommit could not be changed");
    return DbResult::Success();
}

DbResult Connection::EndTransaction(short completion) {
    if (!open_)
        return DbResult::Failure("08003", "The connection is not open.");
    if (!Succeeded(SQLEndTran(SQL_HANDLE_DBC, handle_.get(), completion)))
        return Diagnose(SQL_HANDLE_DBC, handle_.get(), "the transaction could not be ended");
    return DbResult::Success();
}

DbResult Connection::Query(const std::string& sql,
                           std::vector<std::vector<std::optional<std::string>>>& rows) {
    rows.clear();
    if (!open_)
        return DbResult::Failure("08003", "The connection is not open.");
    Handle stmt = Allocate(SQL_HANDLE_STMT, handle_.get());
    if (!stmt)
        return Diagnose(SQL_HANDLE_DBC, handle_.get(), "no statement handle could be had");
    SQLRETURN rc = SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                                 static_cast<SQLINTEGER>(sql.size()));
    if (!Succeeded(rc))
        return Diagnose(SQL_HANDLE_STMT, stmt.get(), "the query failed");
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt.get(), &columns);
    // Text comes as raw bytes (no conversion by the driver); numbers and the rest as their text.
    std::vector<SQLSMALLINT> targetTypes;
    for (SQLUSMALLINT column = 1; column <= columns; ++column) {
        SQLLEN type = 0;
        SQLColAttribute(stmt.get(), column, SQL_DESC_CONCISE_TYPE, nullptr, 0, nullptr, &type);
        const bool raw = type == SQL_CHAR || type == SQL_VARCHAR || type == SQL_LONGVARCHAR ||
                         type == SQL_WCHAR || type == SQL_WVARCHAR || type == SQL_WLONGVARCHAR ||
                         type == SQL_BINARY || type == SQL_VARBINARY ||
                         type == SQL_LONGVARBINARY;
        targetTypes.push_back(raw ? SQL_C_BINARY : SQL_C_CHAR);
    }
    while (Succeeded(rc = SQLFetch(stmt.get()))) {
        auto& row = rows.emplace_back();
        for (SQLUSMALLINT column = 1; column <= columns; ++column) {
            std::string value;
            bool isNull = false;
            std::array<char, 4096> chunk{};
            for (;;) {
                SQLLEN length = 0;
                const SQLSMALLINT target = targetTypes[column - 1];
                const SQLRETURN got =
                    SQLGetData(stmt.get(), column, target, chunk.data(), chunk.size(), &length);
                if (!Succeeded(got))
                    break;
                if (length == SQL_NULL_DATA) {
                    isNull = true;
                    break;
                }
                // Character data keeps a terminating NUL in the buffer; binary data does not.
                const std::size_t room = chunk.size() - (target == SQL_C_CHAR ? 1 : 0);
                const std::size_t piece =
                    (length == SQL_NO_TOTAL || length > static_cast<SQLLEN>(room))
                        ? room
                        : static_cast<std::size_t>(length);
                value.append(chunk.data(), piece);
                if (got == SQL_SUCCESS)
                    break;
            }
            row.push_back(isNull ? std::nullopt : std::optional<std::string>(std::move(value)));
        }
    }
    if (rc != SQL_NO_DATA)
        return Diagnose(SQL_HANDLE_STMT, stmt.get(), "reading the rows failed");
    return DbResult::Success();
}

DbResult Connection::Commit() { return EndTransaction(SQL_COMMIT); }

DbResult Connection::Rollback() { return EndTransaction(SQL_ROLLBACK); }

} // namespace brenvale::odbc

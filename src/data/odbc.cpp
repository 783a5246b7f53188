// A small RAII layer over the ODBC driver manager: environment, connection, statements.
#include "data/odbc.h"

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

Environment::Environment() : handle_(Allocate(SQL_HANDLE_ENV, SQL_NULL_HANDLE)) {
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
        const SQLRETURN rc =
            SQLDataSources(environment.get(), SQL_FETCH_NEXT, name.data(),
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

/// A prepared nine-value insert. One row goes through buffers bound once (rebound only when a
/// value outgrows its buffer). Many rows go out through multi-row INSERTs of fixed sizes where
/// the database takes them, the rest as parameter arrays where the driver takes them, and one
/// by one otherwise.
class OdbcRowInserter final : public RowInserter {
public:
    OdbcRowInserter(Handle statement, bool refuseNul, void* connection, std::string table)
        : statement_(std::move(statement)), refuseNul_(refuseNul), connection_(connection),
          table_(std::move(table)) {}

    DbResult Insert(const RowValues& values) override {
        if (refuseNul_ && HoldsNul(values))
            return NulRefusal();
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::string_view value = values[i];
            const std::size_t need = std::max(value.size(), kSingleStart);
            if (need > single_[i].size() || !singleBound_) {
                if (need > single_[i].size())
                    single_[i].resize(std::max(need, 2 * single_[i].size()));
                if (!BindSingle(i)) {
                    singleBound_ = false;
                    return Diagnose(SQL_HANDLE_STMT, statement_.get(), "binding a value failed");
                }
            }
            std::copy(value.begin(), value.end(), single_[i].begin());
            singleLengths_[i] = static_cast<SQLLEN>(value.size());
        }
        singleBound_ = true;
        const SQLRETURN rc = SQLExecute(statement_.get());
        const bool refused = !Succeeded(rc) && rc != SQL_NO_DATA;
        if (suspect_) {
            ++replayed_;
            replayRefused_ += refused ? 1 : 0;
        }
        if (refused) {
            DbResult failure =
                Diagnose(SQL_HANDLE_STMT, statement_.get(), "the database refused the row");
            SQLFreeStmt(statement_.get(), SQL_CLOSE);
            return failure;
        }
        return DbResult::Success();
    }

    DbResult InsertMany(const std::vector<RowValues>& rows, std::size_t& done) override {
        done = 0;
        // A multi-row statement that failed before it ever worked, while every row replayed
        // after it went in one by one, is beyond this database (no multi-row VALUES, too many
        // parameters); the driver's SQLSTATE alone cannot tell that from a refused row.
        if (suspect_ && replayed_ > 0 && replayRefused_ == 0)
            suspect_->usable = false;
        suspect_ = nullptr;
        if (refuseNul_)
            for (const RowValues& row : rows)
                if (HoldsNul(row))
                    return NulRefusal();
        std::size_t first = 0;
        for (MultiRow& multi : multiRows_) {
            while (rows.size() - first >= multi.rows && multi.usable) {
                const std::size_t end = first + multi.rows;
                DbResult result = FitsSlots(rows, first, end)
                                      ? ExecuteMultiRow(multi, rows, first, done)
                                      : InsertArrays(rows, first, end, done);
                if (!result)
                    return result;
                first = end;
            }
        }
        return InsertArrays(rows, first, rows.size(), done);
    }

private:
    /// A multi-row INSERT of a fixed number of rows, bound once to one slot per value.
    struct MultiRow {
        explicit MultiRow(std::size_t count) : rows(count) {}
        std::size_t rows;
        Handle statement;
        bool usable = true;
        bool worked = false;
        std::array<std::size_t, 9> widths{};
        std::array<std::vector<char>, 9> slots;
        std::array<std::vector<SQLLEN>, 9> lengths;
    };

    static constexpr std::size_t kSingleStart = 256;
    // A value longer than this sends its rows as arrays instead, so the slots stay small.
    static constexpr std::size_t kSlotStart = 64;
    static constexpr std::size_t kSlotMax = 2048;
    // Array buffers hold every row at its column's widest value, so one long value multiplies;
    // a chunk ends before its buffers pass this size.
    static constexpr std::size_t kArrayBytes = std::size_t{4} * 1024 * 1024;
    static constexpr SQLUSMALLINT kStatusUnset = 0xFFFF;

    static bool HoldsNul(const RowValues& values) {
        for (const std::string_view value : values)
            if (value.find('\0') != std::string_view::npos)
                return true;
        return false;
    }

    static DbResult NulRefusal() {
        return DbResult::Failure("22021", "A value holds a NUL byte (0x00), which PostgreSQL text "
                                          "cannot store; the row was not sent.");
    }

    static std::size_t ChunkEnd(const std::vector<RowValues>& rows, std::size_t first,
                                std::size_t last, std::array<std::size_t, 9>& widths) {
        std::size_t end = first;
        while (end < last) {
            std::array<std::size_t, 9> grown = widths;
            std::size_t rowBytes = 0;
            for (std::size_t c = 0; c < grown.size(); ++c) {
                grown[c] = std::max({grown[c], rows[end][c].size(), std::size_t{1}});
                rowBytes += grown[c];
            }
            if (end > first && rowBytes * (end - first + 1) > kArrayBytes)
                break;
            widths = grown;
            ++end;
        }
        return end;
    }

    /// Rows [first, end) as parameter arrays of the one-row statement, or one by one.
    DbResult InsertArrays(const std::vector<RowValues>& rows, std::size_t first, std::size_t end,
                          std::size_t& done) {
        while (first < end) {
            if (!arraysUsable_)
                return InsertEach(rows, first, end, done);
            std::array<std::size_t, 9> widths{};
            const std::size_t chunkEnd = ChunkEnd(rows, first, end, widths);
            DbResult result = chunkEnd - first == 1
                                  ? InsertEach(rows, first, chunkEnd, done)
                                  : ExecuteArray(rows, first, chunkEnd, widths, done);
            if (!result)
                return result;
            first = chunkEnd;
        }
        return DbResult::Success();
    }

    static bool FitsSlots(const std::vector<RowValues>& rows, std::size_t first, std::size_t end) {
        for (std::size_t r = first; r < end; ++r)
            for (const std::string_view value : rows[r])
                if (value.size() > kSlotMax)
                    return false;
        return true;
    }

    bool PrepareMultiRow(MultiRow& multi) {
        Handle stmt = Allocate(SQL_HANDLE_STMT, connection_);
        if (!stmt)
            return false;
        std::string sql = "INSERT INTO " + table_ + " VALUES ";
        for (std::size_t r = 0; r < multi.rows; ++r)
            sql += r == 0 ? "(?, ?, ?, ?, ?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?, ?, ?, ?, ?)";
        if (!Succeeded(SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(sql.data()),
                                  static_cast<SQLINTEGER>(sql.size()))))
            return false;
        multi.statement = std::move(stmt);
        return true;
    }

    /// Binds column `c` of every row of `multi` to its slots.
    static bool BindSlots(MultiRow& multi, std::size_t c) {
        const auto width = static_cast<SQLULEN>(multi.widths[c]);
        for (std::size_t r = 0; r < multi.rows; ++r) {
            const auto number = static_cast<SQLUSMALLINT>(r * 9 + c + 1);
            if (!Succeeded(SQLBindParameter(multi.statement.get(), number, SQL_PARAM_INPUT,
                                            SQL_C_CHAR, SQL_VARCHAR, width, 0,
                                            &multi.slots[c][r * multi.widths[c]],
                                            static_cast<SQLLEN>(width), &multi.lengths[c][r])))
                return false;
        }
        return true;
    }

    /// `multi.rows` rows from `first` as one statement.
    DbResult ExecuteMultiRow(MultiRow& multi, const std::vector<RowValues>& rows, std::size_t first,
                             std::size_t& done) {
        const std::size_t end = first + multi.rows;
        if (!multi.statement && !PrepareMultiRow(multi)) {
            multi.usable = false;
            return InsertArrays(rows, first, end, done);
        }
        for (std::size_t c = 0; c < multi.slots.size(); ++c) {
            std::size_t need = kSlotStart;
            for (std::size_t r = first; r < end; ++r)
                need = std::max(need, rows[r][c].size());
            if (need > multi.widths[c] || multi.slots[c].empty()) {
                multi.widths[c] = std::max(need, 2 * multi.widths[c]);
                multi.slots[c].assign(multi.widths[c] * multi.rows, 0);
                multi.lengths[c].assign(multi.rows, 0);
                if (!BindSlots(multi, c)) {
                    multi.slots[c].clear();
                    multi.usable = false;
                    return InsertArrays(rows, first, end, done);
                }
            }
            for (std::size_t r = 0; r < multi.rows; ++r) {
                const std::string_view value = rows[first + r][c];
                std::copy(value.begin(), value.end(), &multi.slots[c][r * multi.widths[c]]);
                multi.lengths[c][r] = static_cast<SQLLEN>(value.size());
            }
        }
        const SQLRETURN rc = SQLExecute(multi.statement.get());
        if (!Succeeded(rc) && rc != SQL_NO_DATA) {
            DbResult failure =
                Diagnose(SQL_HANDLE_STMT, multi.statement.get(), "the database refused a row");
            SQLFreeStmt(multi.statement.get(), SQL_CLOSE);
            if (!multi.worked) {
                suspect_ = &multi;
                replayed_ = 0;
                replayRefused_ = 0;
            }
            return failure;
        }
        multi.worked = true;
        done = end;
        return DbResult::Success();
    }

    DbResult InsertEach(const std::vector<RowValues>& rows, std::size_t first, std::size_t end,
                        std::size_t& done) {
        for (std::size_t r = first; r < end; ++r) {
            DbResult result = Insert(rows[r]);
            if (!result)
                return result;
            done = r + 1;
        }
        return DbResult::Success();
    }

    bool BindSingle(std::size_t column) {
        const auto size = static_cast<SQLULEN>(single_[column].size());
        return Succeeded(SQLBindParameter(statement_.get(), static_cast<SQLUSMALLINT>(column + 1),
                                          SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, size, 0,
                                          single_[column].data(), static_cast<SQLLEN>(size),
                                          &singleLengths_[column]));
    }

    bool SetArrayAttributes(std::size_t count) {
        SQLHSTMT stmt = statement_.get();
        SQLULEN size = 0;
        const bool set =
            Succeeded(SQLSetStmtAttr(stmt, SQL_ATTR_PARAM_BIND_TYPE,
                                     reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0)) &&
            Succeeded(SQLSetStmtAttr(stmt, SQL_ATTR_PARAMSET_SIZE,
                                     reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(count)),
                                     0)) &&
            Succeeded(SQLSetStmtAttr(stmt, SQL_ATTR_PARAM_STATUS_PTR, statuses_.data(), 0)) &&
            Succeeded(SQLSetStmtAttr(stmt, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed_, 0)) &&
            Succeeded(SQLGetStmtAttr(stmt, SQL_ATTR_PARAMSET_SIZE, &size, 0, nullptr));
        // A driver may put its own value in place of the size asked for (01S02).
        return set && size == count;
    }

    void ResetArrayAttributes() {
        SQLHSTMT stmt = statement_.get();
        SQLSetStmtAttr(stmt, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN{1}), 0);
        SQLSetStmtAttr(stmt, SQL_ATTR_PARAM_STATUS_PTR, nullptr, 0);
        SQLSetStmtAttr(stmt, SQL_ATTR_PARAMS_PROCESSED_PTR, nullptr, 0);
    }

    /// Rows [first, end) as one parameter array. Any doubt about the outcome is a failure: the
    /// caller works inside a transaction, rolls it back and replays the rows one by one.
    DbResult ExecuteArray(const std::vector<RowValues>& rows, std::size_t first, std::size_t end,
                          const std::array<std::size_t, 9>& widths, std::size_t& done) {
        const std::size_t count = end - first;
        singleBound_ = false;
        statuses_.assign(count, kStatusUnset);
        processed_ = 0;
        if (!SetArrayAttributes(count)) {
            arraysUsable_ = false;
            ResetArrayAttributes();
            return InsertEach(rows, first, end, done);
        }
        for (std::size_t c = 0; c < widths.size(); ++c) {
            std::vector<char>& data = arrayData_[c];
            std::vector<SQLLEN>& lengths = arrayLengths_[c];
            data.resize(widths[c] * count);
            lengths.resize(count);
            for (std::size_t r = 0; r < count; ++r) {
                const std::string_view value = rows[first + r][c];
                std::copy(value.begin(), value.end(),
                          data.begin() + static_cast<std::ptrdiff_t>(r * widths[c]));
                lengths[r] = static_cast<SQLLEN>(value.size());
            }
            const auto width = static_cast<SQLULEN>(widths[c]);
            if (!Succeeded(SQLBindParameter(statement_.get(), static_cast<SQLUSMALLINT>(c + 1),
                                            SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, width, 0,
                                            data.data(), static_cast<SQLLEN>(width),
                                            lengths.data()))) {
                DbResult failure =
                    Diagnose(SQL_HANDLE_STMT, statement_.get(), "binding a value array failed");
                ResetArrayAttributes();
                return failure;
            }
        }
        const SQLRETURN rc = SQLExecute(statement_.get());
        std::size_t confirmed = 0;
        bool unset = false;
        for (const SQLUSMALLINT status : statuses_) {
            if (status == kStatusUnset)
                unset = true;
            else if (status != SQL_PARAM_SUCCESS && status != SQL_PARAM_SUCCESS_WITH_INFO)
                break;
            ++confirmed;
        }
        DbResult result = DbResult::Success();
        if (!Succeeded(rc) && rc != SQL_NO_DATA) {
            result = Diagnose(SQL_HANDLE_STMT, statement_.get(), "the database refused a row");
        } else if (processed_ != count || confirmed != count || (unset && rc != SQL_SUCCESS)) {
            // The SQLite driver leaves the status array alone, which is fine with plain success
            // for all rows; anything else cannot be told apart from a partial insert.
            if (processed_ != count)
                arraysUsable_ = false;
            result = DbResult::Failure("HY000", "The driver did not confirm every row of the "
                                                "parameter array.");
        }
        // A driver that counts rows per set keeps those results pending; closing drops them.
        SQLFreeStmt(statement_.get(), SQL_CLOSE);
        ResetArrayAttributes();
        done = result ? end : first + (unset ? 0 : confirmed);
        return result;
    }

    Handle statement_;
    // psqlODBC cuts a text parameter at its first NUL instead of refusing it.
    bool refuseNul_ = false;
    std::array<std::vector<char>, 9> single_;
    std::array<SQLLEN, 9> singleLengths_{};
    bool singleBound_ = false;
    bool arraysUsable_ = true;
    std::array<std::vector<char>, 9> arrayData_;
    std::array<std::vector<SQLLEN>, 9> arrayLengths_;
    std::vector<SQLUSMALLINT> statuses_;
    SQLULEN processed_ = 0;

    void* connection_;
    std::string table_;
    // 4,500 parameters suit psqlODBC (it loses its footing near 9,000) and SQLite; a database
    // that takes fewer, or no multi-row VALUES, is found out on first use and not asked again.
    std::array<MultiRow, 2> multiRows_{MultiRow(500), MultiRow(50)};
    MultiRow* suspect_ = nullptr;
    std::size_t replayed_ = 0;
    std::size_t replayRefused_ = 0;
};

Connection::Connection(Environment& environment) : environment_(environment) {}

Connection::~Connection() {
    Close();
}

DbResult Connection::Connected(SQLRETURN rc) {
    if (!Succeeded(rc)) {
        DbResult failure = Diagnose(SQL_HANDLE_DBC, handle_.get(), "the connection failed");
        handle_.reset();
        return failure;
    }
    open_ = true;
    dbmsName_.clear();
    quoteKnown_ = false;
    return DbResult::Success();
}

DbResult Connection::Open(const std::string& dsn) {
    Close();
    handle_ = Allocate(SQL_HANDLE_DBC, environment_.get());
    if (!handle_)
        return Diagnose(SQL_HANDLE_ENV, environment_.get(), "no connection handle could be had");
    // No user name and password: the data source's own settings decide how to log in.
    return Connected(SQLConnect(handle_.get(),
                                reinterpret_cast<SQLCHAR*>(const_cast<char*>(dsn.c_str())),
                                static_cast<SQLSMALLINT>(dsn.size()), nullptr, 0, nullptr, 0));
}

DbResult Connection::OpenConnectionString(const std::string& connectionString) {
    Close();
    handle_ = Allocate(SQL_HANDLE_DBC, environment_.get());
    if (!handle_)
        return Diagnose(SQL_HANDLE_ENV, environment_.get(), "no connection handle could be had");
    std::array<SQLCHAR, 1024> completed{};
    SQLSMALLINT completedLength = 0;
    return Connected(SQLDriverConnect(
        handle_.get(), nullptr,
        reinterpret_cast<SQLCHAR*>(const_cast<char*>(connectionString.c_str())),
        static_cast<SQLSMALLINT>(connectionString.size()), completed.data(),
        static_cast<SQLSMALLINT>(completed.size()), &completedLength, SQL_DRIVER_NOPROMPT));
}

void Connection::Close() {
    if (open_)
        SQLDisconnect(handle_.get());
    open_ = false;
    handle_.reset();
    dbmsName_.clear();
    quoteKnown_ = false;
}

bool IsPlainIdentifier(const std::string& name) {
    const auto isWordChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '$';
    };
    if (name.empty())
        return false;
    bool partStart = true;
    for (const char c : name) {
        if (c == '.') {
            if (partStart)
                return false;
            partStart = true;
            continue;
        }
        if (!isWordChar(c))
            return false;
        partStart = false;
    }
    return !partStart;
}

std::string Connection::QuoteIdentifier(const std::string& name) {
    if (IsPlainIdentifier(name))
        return name;
    if (!quoteKnown_ && open_) {
        std::array<char, 8> quote{};
        SQLSMALLINT length = 0;
        if (Succeeded(SQLGetInfo(handle_.get(), SQL_IDENTIFIER_QUOTE_CHAR, quote.data(),
                                 static_cast<SQLSMALLINT>(quote.size()), &length)))
            quote_ = quote.data();
        quoteKnown_ = true;
    }
    // A driver without quoting ("" or " ") still gets the standard's double quote: a name that
    // cannot be quoted must not reach the statement bare.
    const std::string q = (quote_.empty() || quote_ == " ") ? std::string("\"") : quote_;
    std::string quoted = q;
    for (std::size_t i = 0; i < name.size();) {
        if (name.compare(i, q.size(), q) == 0) {
            quoted += q + q;
            i += q.size();
        } else {
            quoted.push_back(name[i++]);
        }
    }
    return quoted + q;
}

DbResult Connection::NewStatement(Handle& statement) {
    if (!open_)
        return DbResult::Failure("08003", "The connection is not open.");
    statement = Allocate(SQL_HANDLE_STMT, handle_.get());
    if (!statement)
        return Diagnose(SQL_HANDLE_DBC, handle_.get(), "no statement handle could be had");
    return DbResult::Success();
}

DbResult Connection::Execute(const std::string& statement) {
    Handle stmt;
    if (DbResult made = NewStatement(stmt); !made)
        return made;
    const SQLRETURN rc =
        SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(statement.c_str())),
                      static_cast<SQLINTEGER>(statement.size()));
    if (!Succeeded(rc) && rc != SQL_NO_DATA)
        return Diagnose(SQL_HANDLE_STMT, stmt.get(), "the statement failed");
    return DbResult::Success();
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

bool IsSystemSchema(const std::string& name) {
    static const char* const kSystem[] = {"information_schema", "pg_catalog", "pg_toast",
                                          "performance_schema", "mysql",      "sys"};
    for (const char* system : kSystem)
        if (name == system)
            return true;
    return false;
}

} // namespace

void Connection::FindCurrentNamespace(std::string& catalog, std::string& schema) {
    catalog.clear();
    schema.clear();
    std::array<char, 512> name{};
    SQLINTEGER length = 0;
    if (Succeeded(SQLGetConnectAttr(handle_.get(), SQL_ATTR_CURRENT_CATALOG, name.data(),
                                    static_cast<SQLINTEGER>(name.size()), &length)))
        catalog = name.data();
    // ODBC has no current schema; PostgreSQL's decides where a bare table name is found.
    if (DbmsName() == "PostgreSQL") {
        std::vector<std::vector<std::optional<std::string>>> rows;
        // Cast: psqlODBC hands a value of PostgreSQL's own "name" type back empty.
        if (Query("SELECT CAST(current_schema() AS VARCHAR(256))", rows) && !rows.empty() &&
            !rows[0].empty() && rows[0][0])
            schema = *rows[0][0];
    }
}

DbResult Connection::GetTableList(std::vector<std::string>& names) {
    names.clear();
    Handle stmt;
    if (DbResult made = NewStatement(stmt); !made)
        return made;
    std::string catalog;
    std::string schema;
    FindCurrentNamespace(catalog, schema);
    const auto text = [](std::string& value) {
        return value.empty() ? nullptr : reinterpret_cast<SQLCHAR*>(value.data());
    };
    SQLRETURN rc =
        SQLTables(stmt.get(), text(catalog), static_cast<SQLSMALLINT>(catalog.size()), text(schema),
                  static_cast<SQLSMALLINT>(schema.size()), nullptr, 0, nullptr, 0);
    if (!Succeeded(rc))
        return Diagnose(SQL_HANDLE_STMT, stmt.get(), "the table catalogue could not be read");
    while (Succeeded(rc = SQLFetch(stmt.get()))) {
        const std::string rowCatalog = TextColumn(stmt.get(), 1);
        const std::string rowSchema = TextColumn(stmt.get(), 2);
        std::string name = TextColumn(stmt.get(), 3);
        const std::string type = TextColumn(stmt.get(), 4);
        // The arguments are patterns ("_" matches any character), so the match is made exact
        // here; system schemas and system tables are not the user's.
        if (!catalog.empty() && !rowCatalog.empty() && rowCatalog != catalog)
            continue;
        if (!schema.empty() && !rowSchema.empty() && rowSchema != schema)
            continue;
        if ((catalog.empty() && IsSystemSchema(rowCatalog)) || IsSystemSchema(rowSchema) ||
            type.rfind("SYSTEM", 0) == 0)
            continue;
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
    Handle stmt;
    error = NewStatement(stmt);
    if (!error)
        return nullptr;
    const std::string sql = "INSERT INTO " + table + " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";
    const SQLRETURN rc =
        SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                   static_cast<SQLINTEGER>(sql.size()));
    if (!Succeeded(rc)) {
        error = Diagnose(SQL_HANDLE_STMT, stmt.get(), "the insert could not be prepared");
        return nullptr;
    }
    error = DbResult::Success();
    return std::make_unique<OdbcRowInserter>(std::move(stmt), DbmsName() == "PostgreSQL",
                                             handle_.get(), table);
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
    Handle stmt;
    if (DbResult made = NewStatement(stmt); !made)
        return made;
    SQLRETURN rc =
        SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
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
                         type == SQL_BINARY || type == SQL_VARBINARY || type == SQL_LONGVARBINARY;
        targetTypes.push_back(raw ? SQL_C_BINARY : SQL_C_CHAR);
    }
    while (Succeeded(rc = SQLFetch(stmt.get()))) {
        auto& row = rows.emplace_back();
        for (SQLUSMALLINT column = 1; column <= columns; ++column) {
            const SQLSMALLINT target = targetTypes[column - 1];
            // Asks for the size first and reads the value in one piece: psqlODBC loses the last
            // byte of text read as binary when it comes in several pieces.
            char probe[1] = {0};
            SQLLEN length = 0;
            const SQLRETURN sized = SQLGetData(stmt.get(), column, target, probe, 0, &length);
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
                if (Succeeded(SQLGetData(stmt.get(), column, target, buffer.data(),
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
    if (rc != SQL_NO_DATA)
        return Diagnose(SQL_HANDLE_STMT, stmt.get(), "reading the rows failed");
    return DbResult::Success();
}

DbResult Connection::Commit() {
    return EndTransaction(SQL_COMMIT);
}

DbResult Connection::Rollback() {
    return EndTransaction(SQL_ROLLBACK);
}

} // namespace brenvale::odbc

// PostgreSQL batches through COPY: rows in COPY's text format, streamed into an open COPY as the
// batch is parsed, over a libpq connection of its own.
#include "data/pg_copy.h"

#include "data/batch.h"
#include "data/odbc.h"
#include "data/odbc_setup.h"
#include "data/row_fates.h"
#include "data/sql_session.h"

#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <span>
#include <string_view>
#include <utility>

namespace brenvale::pg {

namespace {

struct ConnectionCloser {
    void operator()(PGconn* connection) const noexcept { PQfinish(connection); }
};
using ConnectionPtr = std::unique_ptr<PGconn, ConnectionCloser>;

struct ResultClearer {
    void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClearer>;

constexpr std::size_t kColumns = 9;
// Rows go to libpq in pieces of about this size, so a unit's text is never held whole.
constexpr std::size_t kChunkBytes = std::size_t{64} * 1024;

/// libpq's texts end in a line break and may span several lines; a notice is one line.
std::string OneLine(const char* text) {
    std::string line;
    bool blank = false;
    for (const char* p = text ? text : ""; *p != '\0'; ++p) {
        if (*p == '\n' || *p == '\r' || *p == '\t') {
            blank = !line.empty();
            continue;
        }
        if (blank)
            line.push_back(' ');
        blank = false;
        line.push_back(*p);
    }
    return line;
}

/// The server's FATAL message before it closed the connection, which libpq hands over as a
/// notice when no command was running.
struct LastWords {
    std::string sqlState;
    std::string message;
};

/// Keeps the server's last words; other notices (a trigger's RAISE NOTICE, say) are not shown.
void ReceiveNotice(void* arg, const PGresult* notice) {
    const char* severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
    const char* state = PQresultErrorField(notice, PG_DIAG_SQLSTATE);
    const char* primary = PQresultErrorField(notice, PG_DIAG_MESSAGE_PRIMARY);
    if (!arg || !severity ||
        (std::string_view(severity) != "FATAL" && std::string_view(severity) != "PANIC"))
        return;
    auto* words = static_cast<LastWords*>(arg);
    words->sqlState = state ? state : "";
    words->message = primary ? primary : "";
}

/// The failure of a command: PostgreSQL's SQLSTATE and message, or a lost connection when no
/// result came or the connection is gone (with the server's last words when it said any).
DbResult Failure(PGconn* connection, const PGresult* result, const LastWords* words) {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const char* severity = result ? PQresultErrorField(result, PG_DIAG_SEVERITY) : nullptr;
    const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const char* detail = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL) : nullptr;
    std::string message;
    if (primary) {
        // Written as psqlODBC writes the same diagnostic, so a refused line reads alike in the
        // rejects whether its row went through COPY or through ODBC.
        message = std::string(severity ? severity : "ERROR") + ": " + primary;
        if (detail)
            message += "\nDETAIL: " + std::string(detail);
        message += ";\nError while executing the query";
    } else {
        message = OneLine(result ? PQresultErrorMessage(result) : "");
    }
    if (message.empty())
        message = OneLine(PQerrorMessage(connection));
    const bool lost = !result || PQstatus(connection) == CONNECTION_BAD;
    std::string sqlState = state ? state : "";
    if (lost && sqlState.empty() && words && !words->sqlState.empty()) {
        sqlState = words->sqlState;
        message = words->message + (message.empty() ? "" : "\n" + message);
    }
    if (sqlState.empty())
        sqlState = lost ? "08006" : "HY000";
    if (message.empty())
        message =
            lost ? "The connection to PostgreSQL was lost." : "PostgreSQL refused the command.";
    const DbFailure kind = lost ? DbFailure::ConnectionLost
                                : ClassifyFailure(Product::PostgreSQL, sqlState, 0, message);
    return DbResult::Failure(std::move(sqlState), std::move(message), kind);
}

/// `sql` with its "?" placeholders numbered as PostgreSQL wants them ($1, $2, ...); quoted texts
/// and names are left alone.
std::string NumberedPlaceholders(const std::string& sql) {
    std::string numbered;
    int count = 0;
    char quote = '\0';
    for (const char c : sql) {
        if (quote == '\0' && c == '?') {
            numbered += "$" + std::to_string(++count);
            continue;
        }
        if (quote == '\0' && (c == '\'' || c == '"'))
            quote = c;
        else if (c == quote)
            quote = '\0';
        numbered.push_back(c);
    }
    return numbered;
}

/// A column name for a statement, always quoted: the catalogue gives it with its letter case.
std::string QuotedColumn(const std::string& name) {
    std::string quoted = "\"";
    for (const char c : name) {
        if (c == '"')
            quoted.push_back('"');
        quoted.push_back(c);
    }
    return quoted + "\"";
}

/// Appends `value` in COPY's text format. Every backslash is doubled and tab, line feed and
/// carriage return are written as escapes, so no value can end a column, a row or the data: a
/// value "\." or "\N" arrives as typed.
void AppendCopyText(std::string& out, std::string_view value) {
    // One table look-up per byte; find_first_of would search the set once per byte.
    static constexpr auto kEscapes = [] {
        std::array<char, 256> escapes{};
        escapes['\\'] = '\\';
        escapes['\t'] = 't';
        escapes['\n'] = 'n';
        escapes['\r'] = 'r';
        return escapes;
    }();
    std::size_t from = 0;
    for (std::size_t at = 0; at < value.size(); ++at) {
        const char escape = kEscapes[static_cast<unsigned char>(value[at])];
        if (escape == '\0')
            continue;
        out.append(value.data() + from, at - from);
        out.push_back('\\');
        out.push_back(escape);
        from = at + 1;
    }
    out.append(value.data() + from, value.size() - from);
}

/// SQL with text parameters over a libpq connection, for the positions kept beside the rows.
class PgSession final : public SqlSession {
public:
    PgSession(PGconn* connection, const LastWords* words)
        : connection_(connection), words_(words) {}

    Product DbProduct() override { return Product::PostgreSQL; }

    DbResult Run(const std::string& sql, const std::vector<std::string>& params,
                 long* affected) override {
        const Result result = Execute(NumberedPlaceholders(sql), params);
        if (!Completed(result.get()))
            return Failed(result.get());
        if (affected) {
            const char* count = PQcmdTuples(result.get());
            *affected = *count != '\0' ? std::atol(count) : -1;
        }
        return DbResult::Success();
    }

    DbResult Select(const std::string& sql, const std::vector<std::string>& params,
                    SqlRows& rows) override {
        rows.clear();
        const Result result = Execute(NumberedPlaceholders(sql), params);
        if (!result || PQresultStatus(result.get()) != PGRES_TUPLES_OK)
            return Failed(result.get());
        const int columns = PQnfields(result.get());
        for (int r = 0; r < PQntuples(result.get()); ++r) {
            auto& row = rows.emplace_back();
            for (int c = 0; c < columns; ++c) {
                if (PQgetisnull(result.get(), r, c))
                    row.emplace_back();
                else
                    row.emplace_back(
                        std::string(PQgetvalue(result.get(), r, c),
                                    static_cast<std::size_t>(PQgetlength(result.get(), r, c))));
            }
        }
        return DbResult::Success();
    }

    std::string QuoteIdentifier(const std::string& name) override {
        return QuoteIdentifierWith(name, "\"");
    }

    DbResult HasTable(const std::string& name, bool& exists) override {
        SqlRows rows;
        DbResult read = Select("SELECT 1 FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
                               "ON n.oid = c.relnamespace WHERE n.nspname = current_schema() AND "
                               "c.relname = ?",
                               {name}, rows);
        exists = read && !rows.empty();
        return read;
    }

    /// Opens a transaction with the next statement, which saves a round trip (and one for a
    /// transaction that ends with nothing sent).
    void BeginWithNext() { beginPending_ = true; }
    /// Forgets a transaction not yet sent; true when there was one.
    bool DropPendingBegin() { return std::exchange(beginPending_, false); }

    /// What a statement run as simple text starts with: "BEGIN; " when a transaction waits.
    std::string Opening() { return DropPendingBegin() ? "BEGIN; " : ""; }

    /// Runs commands without parameters or rows: SAVEPOINT, COMMIT and the like.
    DbResult Command(const std::string& sql) {
        const Result result(PQexec(connection_, (Opening() + sql).c_str()));
        return Completed(result.get()) ? DbResult::Success() : Failed(result.get());
    }

    /// Runs one statement with `params` as text; null when no result came.
    Result Execute(const std::string& sql, const std::vector<std::string>& params) {
        if (DropPendingBegin()) {
            Result begun(PQexec(connection_, "BEGIN"));
            if (!Completed(begun.get()))
                return begun;
        }
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const std::string& param : params)
            values.push_back(param.c_str());
        return Result(PQexecParams(connection_, sql.c_str(), static_cast<int>(values.size()),
                                   nullptr, values.data(), nullptr, nullptr, 0));
    }

    /// The failure of `result` (null when none came) on this connection.
    DbResult Failed(const PGresult* result) const { return Failure(connection_, result, words_); }

private:
    static bool Completed(const PGresult* result) {
        return result && (PQresultStatus(result) == PGRES_COMMAND_OK ||
                          PQresultStatus(result) == PGRES_TUPLES_OK);
    }

    PGconn* connection_;
    const LastWords* words_;
    bool beginPending_ = false;
};

class CopyChannel final : public Channel {
public:
    CopyChannel(ConnectionPtr connection, const WriterTable& table, const std::string& target)
        : connection_(std::move(connection)), session_(connection_.get(), &lastWords_),
          noValue_(table.noValue), copySql_("COPY " + target + " FROM STDIN"),
          insertSql_("INSERT INTO " + table.target.sql +
                     " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)") {
        PQsetNoticeReceiver(connection_.get(), ReceiveNotice, &lastWords_);
    }
    ~CopyChannel() override { (void)End(false); }
    CopyChannel(const CopyChannel&) = delete;
    CopyChannel& operator=(const CopyChannel&) = delete;

    std::string Method() const override { return "COPY"; }
    SqlSession& Session() override { return session_; }
    // A NUL would end the value inside PostgreSQL: such a row is never sent.
    DbResult Screen(const RowValues& row) override {
        return HoldsNul(row) ? NulRefusal() : DbResult::Success();
    }

    DbResult Begin() override {
        session_.BeginWithNext();
        inTransaction_ = true;
        return DbResult::Success();
    }
    DbResult Commit() override { return End(true); }
    // Atomic, only not yet on disk: the position commits with the rows, so a crash takes both
    // back together. Same round trip as a plain COMMIT.
    bool CommitLazily(DbResult& committed) override {
        committed = End(true, true);
        return true;
    }
    DbResult Rollback() override { return End(false); }

    DbResult Send(std::span<const RowValues> rows) override {
        if (!inTransaction_)
            return rows.empty() ? DbResult::Success() : InsertRow(rows.front());
        if (DbResult started = StartCopy(); !started)
            return started;
        for (const RowValues& row : rows)
            if (DbResult put = PutRow(row); !put)
                return put;
        return EndCopy();
    }

    bool Streams() const override { return true; }
    DbResult Stream(const RowValues& row) override {
        if (!copying_)
            if (DbResult started = StartCopy(); !started)
                return started;
        return PutRow(row);
    }
    DbResult EndStream() override { return copying_ ? EndCopy() : DbResult::Success(); }

    // The savepoint goes out with the COPY it marks, in one round trip.
    DbResult Mark() override {
        marking_ = true;
        return DbResult::Success();
    }
    DbResult UndoToMark() override {
        return Unisolated(session_.Command("ROLLBACK TO SAVEPOINT brenvale_unit; "
                                           "RELEASE SAVEPOINT brenvale_unit"));
    }
    DbResult ReleaseMark() override {
        return Unisolated(session_.Command("RELEASE SAVEPOINT brenvale_unit"));
    }

private:
    /// Opens a COPY (after BEGIN and the mark, when they wait) that rows are then put into.
    DbResult StartCopy() {
        const char* mark = std::exchange(marking_, false) ? "SAVEPOINT brenvale_unit; " : "";
        // libpq runs the commands of one text up to the COPY and answers for the COPY.
        Result started(PQexec(connection_.get(), (session_.Opening() + mark + copySql_).c_str()));
        if (!started || PQresultStatus(started.get()) != PGRES_COPY_IN) {
            DbResult failure = session_.Failed(started.get());
            Drain();
            return failure;
        }
        copying_ = true;
        copied_ = 0;
        buffer_.clear();
        return DbResult::Success();
    }

    /// One row in COPY's text format, handed to libpq in pieces of kChunkBytes.
    DbResult PutRow(const RowValues& row) {
        for (std::size_t c = 0; c < kColumns; ++c) {
            if (c > 0)
                buffer_.push_back('\t');
            if (IsNoValue(row[c], noValue_[c]))
                buffer_ += "\\N";
            else
                AppendCopyText(buffer_, row[c]);
        }
        buffer_.push_back('\n');
        ++copied_;
        if (buffer_.size() >= kChunkBytes && !Put()) {
            DbResult failure = session_.Failed(nullptr);
            Abort();
            return failure;
        }
        return DbResult::Success();
    }

    /// Ends the COPY; ok only when PostgreSQL says it stored every row put into it.
    DbResult EndCopy() {
        copying_ = false;
        const bool sent = Put() && PQputCopyEnd(connection_.get(), nullptr) == 1;
        Result outcome;
        while (Result next{PQgetResult(connection_.get())}) {
            if (PQresultStatus(next.get()) == PGRES_COPY_IN) {
                // libpq still waits for rows after a failed send: the COPY ends as failed.
                if (PQputCopyEnd(connection_.get(), "the rows could not be sent") != 1)
                    break;
                continue;
            }
            if (!outcome)
                outcome = std::move(next);
        }
        if (buffer_.capacity() > 4 * kChunkBytes)
            std::string().swap(buffer_);
        if (!sent || !outcome || PQresultStatus(outcome.get()) != PGRES_COMMAND_OK)
            return session_.Failed(outcome.get());
        const long stored = std::atol(PQcmdTuples(outcome.get()));
        if (stored != static_cast<long>(copied_))
            return NotStored(DbResult::Success(), stored, copied_);
        return DbResult::Success();
    }

    /// Ends a COPY that is given up, so the connection takes the next command.
    void Abort() {
        if (!std::exchange(copying_, false))
            return;
        buffer_.clear();
        if (PQputCopyEnd(connection_.get(), "the batch was given up") == 1)
            Drain();
    }

    DbResult End(bool commit, bool lazily = false) {
        Abort();
        if (!inTransaction_)
            return DbResult::Success();
        inTransaction_ = false;
        marking_ = false;
        if (session_.DropPendingBegin())
            return DbResult::Success();
        PGconn* connection = connection_.get();
        if (commit && Gone())
            return session_.Failed(nullptr);
        const char* const end = !commit  ? "ROLLBACK"
                                : lazily ? "SET LOCAL synchronous_commit = off; COMMIT"
                                         : "COMMIT";
        const Result result(PQexec(connection, end));
        if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
            DbResult failure = session_.Failed(result.get());
            if (commit && failure.failure == DbFailure::ConnectionLost)
                failure.inDoubt = LostInFlight(failure);
            // A SET refused ahead of the COMMIT left the transaction open: it ends unstored.
            else if (PQtransactionStatus(connection) != PQTRANS_IDLE)
                (void)Result(PQexec(connection, "ROLLBACK"));
            return failure;
        }
        // A transaction that failed earlier answers COMMIT by rolling back.
        if (commit && std::string_view(PQcmdStatus(result.get())) != "COMMIT")
            return DbResult::Failure("25P02", "The database rolled the transaction back instead "
                                              "of committing it.");
        return DbResult::Success();
    }

    /// Hands the rows gathered so far to libpq.
    bool Put() {
        for (std::size_t at = 0; at < buffer_.size();) {
            const std::size_t piece = std::min<std::size_t>(buffer_.size() - at, INT_MAX / 2);
            if (PQputCopyData(connection_.get(), buffer_.data() + at, static_cast<int>(piece)) != 1)
                return false;
            at += piece;
        }
        buffer_.clear();
        return true;
    }

    /// Whether the server has already closed the connection, so a statement sent now surely
    /// never runs (the server's last words are often lost once something is sent).
    bool Gone() {
        PGconn* connection = connection_.get();
        // The first read takes what the server sent unasked, the second finds the close.
        for (int read = 0; read < 2; ++read) {
            if (PQconsumeInput(connection) == 0)
                return true;
            if (PGnotify* notify = PQnotifies(connection))
                PQfreemem(notify);
        }
        return PQstatus(connection) == CONNECTION_BAD;
    }

    /// Reads what is left of a command's results, so the connection takes the next one.
    void Drain() {
        while (Result next{PQgetResult(connection_.get())}) {
            if (PQresultStatus(next.get()) == PGRES_COPY_IN &&
                PQputCopyEnd(connection_.get(), "not sent") != 1)
                return;
        }
    }

    /// One row with autocommit, as a prepared INSERT.
    DbResult InsertRow(const RowValues& values) {
        if (HoldsNul(values))
            return NulRefusal();
        PGconn* connection = connection_.get();
        if (Gone())
            return session_.Failed(nullptr);
        if (!prepared_) {
            const Result made(PQprepare(connection, "brenvale_row", insertSql_.c_str(),
                                        static_cast<int>(kColumns), nullptr));
            if (!made || PQresultStatus(made.get()) != PGRES_COMMAND_OK)
                return session_.Failed(made.get());
            prepared_ = true;
        }
        // libpq takes text parameters ending in NUL; the values are views.
        std::array<const char*, kColumns> texts{};
        for (std::size_t c = 0; c < kColumns; ++c) {
            texts_[c].assign(values[c]);
            texts[c] = IsNoValue(values[c], noValue_[c]) ? nullptr : texts_[c].c_str();
        }
        const Result result(PQexecPrepared(connection, "brenvale_row", static_cast<int>(kColumns),
                                           texts.data(), nullptr, nullptr, 0));
        if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
            DbResult failure = session_.Failed(result.get());
            // With autocommit a row whose answer was lost may be stored.
            if (failure.failure == DbFailure::ConnectionLost)
                failure.inDoubt = LostInFlight(failure);
            return failure;
        }
        const long stored = std::atol(PQcmdTuples(result.get()));
        return stored == 1 ? DbResult::Success() : NotStored(DbResult::Success(), stored, 1);
    }

    LastWords lastWords_; // outlives the connection that writes into it
    ConnectionPtr connection_;
    PgSession session_;
    NoValueColumns noValue_;
    std::string copySql_;
    std::string insertSql_;
    std::string buffer_;
    std::array<std::string, kColumns> texts_;
    std::size_t copied_ = 0; ///< rows put into the open COPY
    bool inTransaction_ = false;
    bool copying_ = false;
    bool marking_ = false;
    bool prepared_ = false;
};

// What makes a session the same as another for loading: its server, database and user, and the
// settings that decide which table a name means and how text becomes dates.
constexpr const char* kIdentitySql =
    "SELECT CAST(current_database() AS TEXT), CAST(current_user AS TEXT), "
    "to_char(pg_postmaster_start_time() AT TIME ZONE 'UTC', 'YYYYMMDDHH24MISSUS'), "
    "current_setting('search_path'), current_setting('DateStyle'), current_setting('TimeZone')";
constexpr std::size_t kIdentityColumns = 3;

bool Complete(const SqlRows& rows, std::size_t columns) {
    if (rows.size() != 1 || rows[0].size() != columns)
        return false;
    return std::all_of(rows[0].begin(), rows[0].end(),
                       [](const auto& value) { return value.has_value(); });
}

} // namespace

std::vector<std::pair<std::string, std::string>> ConnectionSettings(const std::string& dsn) {
    odbc::DsnDefinition definition;
    if (!odbc::ReadDsn(odbc::DsnScope::User, dsn, definition))
        (void)odbc::ReadDsn(odbc::DsnScope::System, dsn, definition);
    // psqlODBC's keywords, the one it prefers first.
    static const std::pair<const char*, std::vector<const char*>> kKeywords[] = {
        {"host", {"Servername", "Server"}}, {"port", {"Port"}},
        {"dbname", {"Database"}},           {"user", {"Username", "UID"}},
        {"password", {"Password", "PWD"}},  {"sslmode", {"SSLmode"}},
    };
    std::vector<std::pair<std::string, std::string>> settings;
    for (const auto& [keyword, names] : kKeywords) {
        for (const char* name : names) {
            const std::string* value = odbc::FindAttribute(definition.attributes, name);
            if (value && !value->empty()) {
                settings.emplace_back(keyword, *value);
                break;
            }
        }
    }
    return settings;
}

std::unique_ptr<Channel> OpenCopyChannel(odbc::Connection& odbc, const WriterTable& table,
                                         std::string& why) {
    why.clear();
    const std::string& dsn = odbc.DsnName();
    if (dsn.empty()) {
        why = "the connection was made without a data source, whose settings libpq would use.";
        return nullptr;
    }
    SqlRows mine;
    if (DbResult read = odbc.Select(kIdentitySql, {}, mine); !read || !Complete(mine, 6)) {
        why = "the ODBC session's database and settings could not be read (" + read.message + ").";
        return nullptr;
    }

    std::vector<std::pair<std::string, std::string>> settings = ConnectionSettings(dsn);
    settings.emplace_back("client_encoding", "UTF8");
    settings.emplace_back("fallback_application_name", "brenvale");
    std::vector<const char*> keywords;
    std::vector<const char*> values;
    for (const auto& [keyword, value] : settings) {
        keywords.push_back(keyword.c_str());
        values.push_back(value.c_str());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    ConnectionPtr connection(PQconnectdbParams(keywords.data(), values.data(), 0));
    if (!connection || PQstatus(connection.get()) != CONNECTION_OK) {
        why = "libpq could not connect with the settings of the data source '" + dsn + "' (" +
              (connection ? OneLine(PQerrorMessage(connection.get())) : "out of memory") + ").";
        return nullptr;
    }

    PQsetNoticeReceiver(connection.get(), ReceiveNotice, nullptr);
    PgSession session(connection.get(), nullptr);
    SqlRows theirs;
    DbResult same = session.Select("SELECT set_config('search_path', ?, false), "
                                   "set_config('DateStyle', ?, false), "
                                   "set_config('TimeZone', ?, false)",
                                   {*mine[0][3], *mine[0][4], *mine[0][5]}, theirs);
    if (same)
        same = session.Select(kIdentitySql, {}, theirs);
    if (!same || !Complete(theirs, 6)) {
        why = "libpq connected, but the session could not be set up like the ODBC one (" +
              same.message + ").";
        return nullptr;
    }
    if (!std::equal(mine[0].begin(), mine[0].begin() + kIdentityColumns, theirs[0].begin())) {
        why = "with the settings of the data source '" + dsn + "' libpq reached the database '" +
              *theirs[0][0] + "' as '" + *theirs[0][1] + "', not the database '" + *mine[0][0] +
              "' as '" + *mine[0][1] + "' of the ODBC connection" +
              (mine[0][2] != theirs[0][2] ? " (on another server)." : ".");
        return nullptr;
    }

    // The columns by position, as INSERT without a column list fills them, so a table with
    // more than nine columns takes the rows as it does row by row.
    const std::string& quoted = table.target.sql;
    SqlRows columns;
    const DbResult described = session.Select(
        "SELECT c.relkind, CAST(a.attname AS TEXT) FROM pg_catalog.pg_class c LEFT JOIN "
        "pg_catalog.pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped "
        "WHERE c.oid = to_regclass(?) ORDER BY a.attnum",
        {quoted}, columns);
    std::string target = quoted;
    // A table that is not there refuses every row, through COPY as through INSERT.
    if (described && !columns.empty()) {
        const std::string kind = columns[0][0].value_or("");
        if (kind != "r" && kind != "p" && kind != "f") {
            why = "'" + table.typed + "' is a view or another relation that COPY cannot fill.";
            return nullptr;
        }
        std::string list;
        for (std::size_t c = 0; c < columns.size() && c < kColumns; ++c)
            if (columns[c][1])
                list += (list.empty() ? " (" : ", ") + QuotedColumn(*columns[c][1]);
        if (!list.empty())
            target += list + ")";
    }
    return std::make_unique<CopyChannel>(std::move(connection), table, target);
}

} // namespace brenvale::pg

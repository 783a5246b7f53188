// SQLite batches through the SQLite library: one prepared INSERT per table, reused for every row,
// on a connection of its own to the data source's file.
#include "data/sqlite_native.h"

#include "data/batch.h"
#include "data/odbc.h"
#include "data/odbc_setup.h"
#include "data/row_fates.h"
#include "data/sql_session.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <utility>

namespace brenvale::sqlite {

namespace {

struct DatabaseCloser {
    // close_v2 waits for statements still open instead of failing.
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using DatabasePtr = std::unique_ptr<sqlite3, DatabaseCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

constexpr std::size_t kColumns = 9;

/// The failure of a call that returned `rc`: SQLite's message and its code, worded as the SQLite
/// ODBC driver words it (so a refused line reads alike either way), judged as for that driver.
DbResult Failure(sqlite3* db, int rc) {
    std::string message = "[SQLite]";
    message += db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    message += " (" + std::to_string(rc & 0xFF) + ")";
    const DbFailure kind = ClassifyFailure(Product::SQLite, "HY000", rc, message);
    return DbResult::Failure("HY000", std::move(message), kind);
}

/// Binds `text` as SQLite text of its exact bytes (a NUL included, as the ODBC driver does).
int BindText(sqlite3_stmt* statement, int index, std::string_view text) {
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        return SQLITE_TOOBIG;
    return sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_STATIC);
}

/// SQL with text parameters over a SQLite connection, for the positions kept beside the rows.
class LiteSession final : public SqlSession {
public:
    explicit LiteSession(sqlite3* db) : db_(db) {}

    Product DbProduct() override { return Product::SQLite; }

    DbResult Run(const std::string& sql, const std::vector<std::string>& params,
                 long* affected) override {
        DbResult done = Step(sql, params, nullptr);
        if (done && affected)
            *affected = static_cast<long>(sqlite3_changes(db_));
        return done;
    }

    DbResult Select(const std::string& sql, const std::vector<std::string>& params,
                    SqlRows& rows) override {
        rows.clear();
        return Step(sql, params, &rows);
    }

    std::string QuoteIdentifier(const std::string& name) override {
        return QuoteIdentifierWith(name, "\"");
    }

    DbResult HasTable(const std::string& name, bool& exists) override {
        SqlRows rows;
        DbResult read = Select("SELECT 1 FROM sqlite_master WHERE type IN ('table', 'view') AND "
                               "name = ?",
                               {name}, rows);
        exists = read && !rows.empty();
        return read;
    }

    /// Runs a statement without parameters or rows (BEGIN, COMMIT, a PRAGMA).
    DbResult Command(const char* sql) {
        const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
        return rc == SQLITE_OK ? DbResult::Success() : Failure(db_, rc);
    }

private:
    /// Prepares `sql`, binds `params` as text and steps to the end, keeping the rows in `rows`
    /// when given.
    DbResult Step(const std::string& sql, const std::vector<std::string>& params, SqlRows* rows) {
        // The same few statements move positions at every commit: each is prepared once.
        StatementPtr& statement = prepared_[sql];
        int rc = SQLITE_OK;
        if (!statement) {
            sqlite3_stmt* made = nullptr;
            rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                                    SQLITE_PREPARE_PERSISTENT, &made, nullptr);
            statement.reset(made);
            if (rc != SQLITE_OK) {
                prepared_.erase(sql);
                return Failure(db_, rc);
            }
        }
        sqlite3_stmt* raw = statement.get();
        const struct Ready {
            sqlite3_stmt* statement;
            ~Ready() {
                sqlite3_reset(statement);
                sqlite3_clear_bindings(statement);
            }
        } ready{raw};
        for (std::size_t i = 0; i < params.size(); ++i)
            if ((rc = BindText(raw, static_cast<int>(i + 1), params[i])) != SQLITE_OK)
                return Failure(db_, rc);
        while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
            if (!rows)
                continue;
            auto& row = rows->emplace_back();
            for (int c = 0; c < sqlite3_column_count(raw); ++c) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, c));
                if (text)
                    row.emplace_back(
                        std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(raw, c))));
                else
                    row.emplace_back();
            }
        }
        return rc == SQLITE_DONE ? DbResult::Success() : Failure(db_, rc);
    }

    sqlite3* db_;
    std::unordered_map<std::string, StatementPtr> prepared_;
};

class NativeChannel final : public Channel {
public:
    NativeChannel(DatabasePtr db, const WriterTable& table)
        : db_(std::move(db)), session_(db_.get()), noValue_(table.noValue),
          insertSql_("INSERT INTO " + table.target.sql + " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)") {}

    ~NativeChannel() override {
        insert_.reset();
        (void)Rollback();
    }
    NativeChannel(const NativeChannel&) = delete;
    NativeChannel& operator=(const NativeChannel&) = delete;

    std::string Method() const override { return "SQLite library"; }
    SqlSession& Session() override { return session_; }

    DbResult Begin() override {
        // A transaction left open by a failed call is not this one's to continue.
        if (DbResult undone = Rollback(); !undone)
            return undone;
        // IMMEDIATE takes the write lock now, waiting with the busy timeout: a read first and a
        // write later could find another writer's commit in between and fail without waiting.
        return session_.Command("BEGIN IMMEDIATE");
    }

    DbResult Commit() override {
        if (Ended())
            return DbResult::Success();
        DbResult committed = session_.Command("COMMIT");
        // A refused commit leaves the transaction open; nothing of it may stay.
        if (!committed)
            (void)Rollback();
        return committed;
    }

    DbResult Rollback() override {
        return Ended() ? DbResult::Success() : session_.Command("ROLLBACK");
    }

    DbResult Send(std::span<const RowValues> rows) override {
        if (!insert_)
            if (DbResult prepared = Prepare(); !prepared)
                return prepared;
        const bool transaction = !Ended();
        for (const RowValues& row : rows) {
            DbResult stored = InsertRow(row);
            if (stored)
                continue;
            // ON CONFLICT ROLLBACK or RAISE(ROLLBACK) ended the whole transaction.
            if (transaction && !Stops(stored) && Ended())
                stored.failure = DbFailure::Unisolated;
            return stored;
        }
        return DbResult::Success();
    }

    // Rows are not streamed as they are parsed: SQLite has one writer, and a write lock held
    // through the parsing of a batch would keep other loaders of the file waiting.

    DbResult Mark() override { return Checked(session_.Command("SAVEPOINT brenvale_unit")); }
    DbResult UndoToMark() override {
        return Checked(session_.Command("ROLLBACK TO brenvale_unit; RELEASE brenvale_unit"));
    }
    DbResult ReleaseMark() override { return Checked(session_.Command("RELEASE brenvale_unit")); }

private:
    /// No transaction is open (or the database ended the one there was).
    bool Ended() const { return sqlite3_get_autocommit(db_.get()) != 0; }

    /// A savepoint statement that failed, or found the transaction gone: the rows since the
    /// mark cannot be undone alone.
    DbResult Checked(DbResult done) {
        if (done && Ended())
            done = DbResult::Failure("HY000", "The transaction ended on its own.");
        return Unisolated(std::move(done));
    }

    DbResult Prepare() {
        sqlite3_stmt* raw = nullptr;
        // Persistent: the statement lives as long as the writer.
        const int rc =
            sqlite3_prepare_v3(db_.get(), insertSql_.c_str(), static_cast<int>(insertSql_.size()),
                               SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
        insert_.reset(raw);
        return rc == SQLITE_OK ? DbResult::Success() : Failure(db_.get(), rc);
    }

    /// One row through the prepared INSERT; ok only when SQLite says it stored the row.
    DbResult InsertRow(const RowValues& values) {
        sqlite3_stmt* statement = insert_.get();
        int rc = SQLITE_OK;
        for (std::size_t c = 0; c < kColumns && rc == SQLITE_OK; ++c) {
            const int index = static_cast<int>(c + 1);
            rc = IsNoValue(values[c], noValue_[c]) ? sqlite3_bind_null(statement, index)
                                                   : BindText(statement, index, values[c]);
        }
        if (rc == SQLITE_OK)
            rc = sqlite3_step(statement);
        DbResult result = rc == SQLITE_DONE ? DbResult::Success() : Failure(db_.get(), rc);
        sqlite3_reset(statement);
        if (!result)
            return result;
        // A trigger's RAISE(IGNORE) drops the row and the statement still succeeds.
        const int stored = sqlite3_changes(db_.get());
        return stored == 1 ? result : NotStored(DbResult::Success(), stored, 1);
    }

    DatabasePtr db_;
    LiteSession session_;
    NoValueColumns noValue_;
    std::string insertSql_;
    StatementPtr insert_;
};

/// True for the SQLite ODBC driver's yes: a value starting with Y, T or a digit other than 0.
bool IsYes(const std::string* value) {
    if (!value || value->empty())
        return false;
    const char first = static_cast<char>(std::tolower(static_cast<unsigned char>(value->front())));
    return first == 'y' || first == 't' || (first >= '1' && first <= '9') || *value == "on";
}

/// A PRAGMA's value as the data source gives it, when it is one word (nothing else is run).
bool IsWord(const std::string& value) {
    return !value.empty() && std::ranges::all_of(value, [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0;
    });
}

/// The file the ODBC connection has open as its main database; empty when none (in memory).
DbResult OdbcFile(odbc::Connection& odbc, std::string& file) {
    SqlRows rows;
    DbResult read = odbc.Select("PRAGMA database_list", {}, rows);
    file.clear();
    for (const auto& row : rows)
        if (row.size() >= 3 && row[1] == std::optional<std::string>("main") && row[2])
            file = *row[2];
    return read;
}

/// Applies the data source's settings of the driver's own connection to `db`.
void ApplySettings(sqlite3* db, const FileSettings& settings) {
    sqlite3_busy_timeout(db, settings.busyTimeoutMs);
    // As the driver does, and as harmlessly: a mode the file cannot take stays as it was.
    if (IsWord(settings.synchronous))
        (void)sqlite3_exec(db, ("PRAGMA synchronous = " + settings.synchronous).c_str(), nullptr,
                           nullptr, nullptr);
    if (IsWord(settings.journalMode))
        (void)sqlite3_exec(db, ("PRAGMA journal_mode = " + settings.journalMode).c_str(), nullptr,
                           nullptr, nullptr);
    (void)sqlite3_exec(
        db, settings.foreignKeys ? "PRAGMA foreign_keys = ON" : "PRAGMA foreign_keys = OFF",
        nullptr, nullptr, nullptr);
}

} // namespace

FileSettings ReadFileSettings(const std::string& dsn) {
    odbc::DsnDefinition definition;
    if (!odbc::ReadDsn(odbc::DsnScope::User, dsn, definition))
        (void)odbc::ReadDsn(odbc::DsnScope::System, dsn, definition);
    FileSettings settings;
    const auto text = [&](const char* keyword) {
        const std::string* value = odbc::FindAttribute(definition.attributes, keyword);
        return value ? *value : std::string();
    };
    settings.database = text("Database");
    if (const std::string timeout = text("Timeout");
        !timeout.empty() && timeout.size() <= 9 &&
        std::ranges::all_of(timeout, [](char c) { return c >= '0' && c <= '9'; }))
        settings.busyTimeoutMs = std::atoi(timeout.c_str());
    settings.synchronous = text("SyncPragma");
    settings.journalMode = text("JournalMode");
    settings.foreignKeys = IsYes(odbc::FindAttribute(definition.attributes, "FKSupport"));
    settings.loadsExtensions = text("LoadExt");
    return settings;
}

std::unique_ptr<Channel> OpenNativeChannel(odbc::Connection& odbc, const WriterTable& table,
                                           std::string& why) {
    why.clear();
    const std::string& dsn = odbc.DsnName();
    if (dsn.empty()) {
        why = "the connection was made without a data source, whose database file the SQLite "
              "library would open.";
        return nullptr;
    }
    const FileSettings settings = ReadFileSettings(dsn);
    if (settings.database.empty()) {
        why = "the data source '" + dsn + "' names no database file (Database).";
        return nullptr;
    }
    if (!settings.loadsExtensions.empty()) {
        why = "the data source '" + dsn +
              "' loads SQLite extensions (LoadExt), which the "
              "tables' triggers may need and the SQLite library would not load.";
        return nullptr;
    }
    std::string odbcFile;
    if (DbResult read = OdbcFile(odbc, odbcFile); !read || odbcFile.empty()) {
        why = read
                  ? "the ODBC connection's database is not a file."
                  : "the ODBC connection's database file could not be read (" + read.message + ").";
        return nullptr;
    }
    sqlite3* raw = nullptr;
    // Without SQLITE_OPEN_CREATE: the file is the ODBC connection's, already there.
    const int rc = sqlite3_open_v2(settings.database.c_str(), &raw,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    DatabasePtr db(raw);
    if (rc != SQLITE_OK) {
        why = "the SQLite library could not open '" + settings.database +
              "', the database of "
              "the data source '" +
              dsn + "' (" + Failure(raw, rc).message + ").";
        return nullptr;
    }
    // The same file through the same library, so the two connections' locks see each other.
    const char* opened = sqlite3_db_filename(raw, "main");
    if (!opened || odbcFile != opened) {
        why = "the data source '" + dsn + "' names '" + settings.database +
              "', not the file the ODBC connection has open ('" + odbcFile + "').";
        return nullptr;
    }
    ApplySettings(raw, settings);
    return std::make_unique<NativeChannel>(std::move(db), table);
}

} // namespace brenvale::sqlite

// Shared pieces of the tests: real databases by DSN, and scripted stand-ins for the user.
#pragma once

#include "core/run_state.h"
#include "data/odbc.h"

#include <gmock/gmock.h>

#include <deque>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace brenvale::test {

using ::testing::HasSubstr;
using ::testing::Not;

inline constexpr const char* kSqliteDsn = "brenvale_sqlite";
inline constexpr const char* kPostgresDsn = "brenvale_pg";
inline constexpr const char* kMariaDsn = "brenvale_maria";
inline const std::string kDatabases[] = {kSqliteDsn, kPostgresDsn, kMariaDsn};
inline const std::string kServers[] = {kPostgresDsn, kMariaDsn};

/// Folder of the test environment (ini files, SQLite databases, scratch files).
std::string TestDir();

/// A fresh scratch folder under the test environment, unique per call.
std::string ScratchDir(const std::string& tag);

/// An empty user odbc.ini in a fresh scratch folder, which ODBCINI names from now on; its path.
std::string ScratchUserIni(const std::string& tag);

/// Writes `bytes` to `path` exactly; returns `path`.
std::string WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

using Rows = std::vector<std::vector<std::string>>;

/// `text` with MariaDB's version prefix "[ma-3.1.15][10.11.19-MariaDB-...]" written "[ma]".
std::string Unversioned(std::string text);

/// `text` by zlib; `windowBits` 31: a gzip member, 15: HTTP's deflate (zlib), -15: raw deflate.
std::string Compressed(const std::string& text, int windowBits = 31);

/// Hands `rows` to `writer` as one batch (row r ending at line r + 1) and finishes it with
/// `progress` (none when null); `fates` receives each row's fate.
DbResult StoreBatch(TableWriter& writer, std::span<const RowValues> rows,
                    std::vector<DbResult>& fates, UnitProgress* progress = nullptr);

/// Runs tests/support/test_env.sh `action` (pg-stop, pg-start, maria-stop, maria-start); success.
bool ControlServer(const std::string& action);

/// An open connection on one test DSN, with helpers to make and read tables.
class TestDatabase {
public:
    /// On `dsn`, or on `connectionString` (a database of its own) with `dsn`'s product.
    explicit TestDatabase(const std::string& dsn, const std::string& connectionString = {});
    odbc::Connection& connection() { return connection_; }
    bool IsPostgres() const { return dsn_ == kPostgresDsn; }
    bool IsMaria() const { return dsn_ == kMariaDsn; }

    /// (Re)creates the nine-column log table (status INTEGER, text otherwise); `narrow`: every
    /// database refuses a bandwidth over three characters; `unique`: no c_dns twice.
    void CreateLogTable(const std::string& table, bool narrow = false, bool unique = false);
    /// Ends every other session of the tests' user (PostgreSQL, MariaDB), as a server would.
    void EndOtherSessions();
    void Exec(const std::string& sql);    ///< fails the test on error
    void TryExec(const std::string& sql); ///< ignores errors
    Rows Query(const std::string& sql);   ///< every row, NULL as "<null>"
    long Count(const std::string& table);

private:
    std::string dsn_;
    odbc::Environment environment_;
    odbc::Connection connection_;
};

/// TEST_P suites run once per database by INSTANTIATE_FOR_DATABASES, per server by ..._SERVERS.
class PerDatabase : public ::testing::TestWithParam<std::string> {};
#define INSTANTIATE_FOR_DATABASES(Suite)                                                           \
    INSTANTIATE_TEST_SUITE_P(Databases, Suite, ::testing::ValuesIn(::brenvale::test::kDatabases),  \
                             [](const auto& info) { return info.param; })
#define INSTANTIATE_FOR_SERVERS(Suite)                                                             \
    INSTANTIATE_TEST_SUITE_P(Servers, Suite, ::testing::ValuesIn(::brenvale::test::kServers),      \
                             [](const auto& info) { return info.param; })

/// Message boxes answered from a script; every question and message is recorded.
class ScriptedPrompts final : public Prompts {
public:
    struct Shown {
        MessageIcon icon;
        std::string title, text;
        bool question;
    };
    std::deque<bool> answers; ///< Yes/No answers in order; an empty script answers No
    std::vector<Shown> shown;

    bool AskYesNo(MessageIcon icon, const std::string& title, const std::string& text) override {
        shown.push_back({icon, title, text, true});
        if (answers.empty())
            return false;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void Inform(MessageIcon icon, const std::string& title, const std::string& text) override {
        shown.push_back({icon, title, text, false});
    }
};

/// A status display that records what it was told.
class RecordingStatus final : public StatusDisplay {
public:
    bool visible = false, ownerEnabled = true;
    std::string status, filesProcessed, recordsTotal, recordsFile;
    float progressMin = 0, progressMax = 0, progressValue = 0;
    std::vector<std::string> statusHistory;
    std::vector<std::string> events; ///< "show", "hide", "enable", "disable" in order

    void Show() override { visible = true, events.push_back("show"); }
    void Hide() override { visible = false, events.push_back("hide"); }
    void SetOwnerEnabled(bool enabled) override {
        ownerEnabled = enabled;
        events.push_back(enabled ? "enable" : "disable");
    }
    void SetStatus(const std::string& text) override { statusHistory.push_back(status = text); }
    void SetFilesProcessed(const std::string& text) override { filesProcessed = text; }
    void SetRecordsInsertedTotal(const std::string& text) override { recordsTotal = text; }
    void SetRecordsInsertedFile(const std::string& text) override { recordsFile = text; }
    void SetProgressMaximum(float value) override { progressMax = value; }
    void SetProgressMinimum(float value) override { progressMin = value; }
    void SetProgressValue(float value) override { progressValue = value; }
    /// Every file progress told, (done, total).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> fileProgress;
    void SetFileProgress(std::uint64_t done, std::uint64_t total) override {
        fileProgress.emplace_back(done, total);
    }
};

/// A clock the test moves by hand; each reading may also advance it by `step`.
class ManualClock final : public TickClock {
public:
    std::uint32_t now = 0, step = 0;
    std::uint32_t Ticks() override { return std::exchange(now, now + step); }
};

/// A yield that runs a test-supplied action (a Cancel click, say) and counts calls.
class ScriptedYield final : public Yielder {
public:
    int calls = 0;
    std::function<void(int)> action; ///< called with the 1-based call number
    void Yield() override {
        ++calls;
        if (action)
            action(calls);
    }
};

} // namespace brenvale::test

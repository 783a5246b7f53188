#include "support/test_support.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace brenvale::test {

DbResult StoreBatch(TableWriter& writer, std::span<const RowValues> rows,
                    std::vector<DbResult>& fates, UnitProgress* progress) {
    LineMark mark;
    for (const RowValues& row : rows) {
        ++mark.line;
        mark.offset += 100;
        mark.identityLength = std::min<std::uint64_t>(mark.offset, 256);
        if (DbResult added = writer.Add(row, mark); !added)
            return added;
    }
    UnitProgress none;
    BatchOutcome outcome;
    DbResult finished = writer.Finish(mark, progress ? *progress : none, outcome);
    fates = std::move(outcome.fates);
    return finished;
}

std::string TestDir() {
    const char* dir = std::getenv("BRENVALE_TEST_DIR");
    return dir ? dir : BRENVALE_TEST_DIR;
}

std::string ScratchDir(const std::string& tag) {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? tag + "_" + info->test_suite_name() + "_" + info->name() : tag;
    std::ranges::replace(name, '/', '_');
    const std::string path = TestDir() + "/scratch/" + name + "_" + std::to_string(::getpid()) +
                             "_" + std::to_string(counter++);
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path;
}

std::string ScratchUserIni(const std::string& tag) {
    const std::string ini = WriteFile(ScratchDir(tag) + "/odbc.user.ini", "");
    ::setenv("ODBCINI", ini.c_str(), 1);
    return ini;
}

std::string WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out.good()) << "could not write " << path;
    return path;
}

std::string ReadFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::string Unversioned(std::string text) {
    // Not std::regex: GCC's own regex code fails -Werror in the sanitizer build.
    for (auto at = text.find("[ma-"); at != std::string::npos; at = text.find("[ma-", at + 1)) {
        const auto driverEnd = text.find(']', at);
        if (driverEnd == std::string::npos || text.compare(driverEnd, 2, "][") != 0)
            continue;
        const auto serverEnd = text.find(']', driverEnd + 2);
        if (serverEnd == std::string::npos)
            break;
        text.replace(at, serverEnd + 1 - at, "[ma]");
    }
    return text;
}

TestDatabase::TestDatabase(const std::string& dsn, const std::string& connectionString)
    : dsn_(dsn), connection_(environment_) {
    const DbResult result = connectionString.empty()
                                ? connection_.Open(dsn)
                                : connection_.OpenConnectionString(connectionString);
    EXPECT_TRUE(result.ok) << "cannot open " << dsn << ": " << result.message;
}

void TestDatabase::CreateLogTable(const std::string& table, bool narrow, bool unique) {
    TryExec("DROP VIEW IF EXISTS v_" + table);
    TryExec("DROP TABLE IF EXISTS " + table);
    // SQLite does not enforce VARCHAR lengths, so a CHECK makes it refuse.
    const std::string bandwidth = !narrow        ? "VARCHAR(32)"
                                  : IsPostgres() ? "VARCHAR(3)"
                                                 : "VARCHAR(3) CHECK (length(bandwidth) <= 3)";
    Exec("CREATE TABLE " + table + " (c_ip VARCHAR(64), c_dns VARCHAR(255)" +
         (unique ? " UNIQUE" : "") +
         ", ts VARCHAR(32), uri VARCHAR(2000), status INTEGER, agent VARCHAR(2000), bytes "
         "VARCHAR(32), duration VARCHAR(32), bandwidth " +
         bandwidth + ")");
}

void TestDatabase::EndOtherSessions() {
    if (IsPostgres()) {
        Exec("SELECT pg_terminate_backend(pid, 60000) FROM pg_stat_activity WHERE usename = "
             "'brenvale' AND pid <> pg_backend_pid()");
        return;
    }
    for (const auto& row : Query("SELECT ID FROM information_schema.PROCESSLIST WHERE USER = "
                                 "'brenvale' AND ID <> CONNECTION_ID()"))
        TryExec("KILL CONNECTION " + row.at(0));
}

void TestDatabase::Exec(const std::string& sql) {
    const DbResult result = connection_.Execute(sql);
    ASSERT_TRUE(result.ok) << sql << ": " << result.message;
}

void TestDatabase::TryExec(const std::string& sql) {
    (void)connection_.Execute(sql);
}

Rows TestDatabase::Query(const std::string& sql) {
    std::vector<std::vector<std::optional<std::string>>> raw;
    const DbResult result = connection_.Query(sql, raw);
    EXPECT_TRUE(result.ok) << sql << ": " << result.message;
    Rows rows(raw.size());
    for (std::size_t r = 0; r < raw.size(); ++r)
        for (const auto& value : raw[r])
            rows[r].push_back(value.value_or("<null>"));
    return rows;
}

long TestDatabase::Count(const std::string& table) {
    const Rows rows = Query("SELECT COUNT(*) FROM " + table);
    return rows.empty() || rows[0].empty() ? -1 : std::stol(rows[0][0]);
}

std::string Compressed(const std::string& text, int windowBits) {
    z_stream stream{};
    EXPECT_EQ(
        deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY),
        Z_OK);
    std::string out(deflateBound(&stream, text.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

bool ControlServer(const std::string& action) {
    const char* pg = std::getenv("BRENVALE_TEST_PG_PORT");
    const char* maria = std::getenv("BRENVALE_TEST_MARIA_PORT");
    if (!pg || !maria)
        return false;
    const std::string command = std::string(BRENVALE_SOURCE_DIR) + "/tests/support/test_env.sh " +
                                action + " " + TestDir() + " " + pg + " " + maria;
    return std::system(command.c_str()) == 0;
}

} // namespace brenvale::test

// The batched ceiling for SQLite: the SQLite library with one prepared nine-value insert reused
// for every log line, committing every N rows (1,000 by default), the same least parsing as the
// ODBC loop.
#include "log_fields.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool Exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    std::fprintf(stderr, "sqlite_loop: %s failed: %s\n", sql, sqlite3_errmsg(db));
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: sqlite_loop DATABASE TABLE LOGFILE [COMMIT_ROWS]\n");
        return 2;
    }
    const long commitRows = argc == 5 ? std::atol(argv[4]) : 1000;
    FILE* log = std::fopen(argv[3], "rb");
    if (!log) {
        std::perror(argv[3]);
        return 1;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite_loop: %s: %s\n", argv[1], sqlite3_errmsg(db));
        return 1;
    }
    const std::string sql =
        std::string("INSERT INTO ") + argv[2] + " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite_loop: prepare failed: %s\n", sqlite3_errmsg(db));
        return 1;
    }

    const auto started = std::chrono::steady_clock::now();
    char* line = nullptr;
    std::size_t capacity = 0;
    long inserted = 0;
    long refused = 0;
    long pending = 0;
    if (!Exec(db, "BEGIN"))
        return 1;
    for (ssize_t got; (got = getline(&line, &capacity, log)) > 0;) {
        bench::LogFields split;
        if (!bench::SplitLogLine(line, static_cast<std::size_t>(got), split))
            continue;
        const char* const* fields = split.data;
        const std::size_t* sizes = split.size;
        const auto put = [&](int value, const char* data, std::size_t length) {
            sqlite3_bind_text(stmt, value + 1, data, static_cast<int>(length), SQLITE_STATIC);
        };
        put(0, fields[0], sizes[0]);
        put(1, fields[1], sizes[1]);
        put(2, fields[2], sizes[2] + 1 + sizes[3]);
        for (int f = 4; f < 10; ++f)
            put(f - 1, fields[f], sizes[f]);
        if (sqlite3_step(stmt) == SQLITE_DONE)
            ++inserted;
        else
            ++refused;
        sqlite3_reset(stmt);
        if (++pending == commitRows) {
            pending = 0;
            if (!Exec(db, "COMMIT") || !Exec(db, "BEGIN"))
                return 1;
        }
    }
    if (!Exec(db, "COMMIT"))
        return 1;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%ld rows inserted, %ld refused, %.3f s\n", inserted, refused, seconds);
    std::free(line);
    std::fclose(log);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return 0;
}

// The per-row ceiling for the benchmark: a prepared nine-value insert executed once per log line
// with autocommit, parameters bound once, the least parsing that still gives the same rows.
#include "log_fields.h"

#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

SQLCHAR* Text(const std::string& text) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
}

constexpr std::size_t kValueBytes = 64 * 1024;

bool Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, const char* what) {
    if (SQL_SUCCEEDED(rc))
        return true;
    SQLCHAR state[6] = {};
    SQLCHAR text[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLGetDiagRec(type, handle, 1, state, &native, text, sizeof text, &length);
    std::fprintf(stderr, "odbc_loop: %s failed: %s %s\n", what, state, text);
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: odbc_loop DSN TABLE LOGFILE\n");
        return 2;
    }
    FILE* log = std::fopen(argv[3], "rb");
    if (!log) {
        std::perror(argv[3]);
        return 1;
    }
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    const std::string connect = std::string("DSN=") + argv[1];
    if (!Check(SQLDriverConnect(dbc, nullptr, Text(connect), SQL_NTS, nullptr, 0, nullptr,
                                SQL_DRIVER_NOPROMPT),
               SQL_HANDLE_DBC, dbc, "connect"))
        return 1;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    const std::string sql =
        std::string("INSERT INTO ") + argv[2] + " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";
    if (!Check(SQLPrepare(stmt, Text(sql), SQL_NTS), SQL_HANDLE_STMT, stmt, "prepare"))
        return 1;
    static char values[9][kValueBytes];
    SQLLEN lengths[9] = {};
    for (int i = 0; i < 9; ++i)
        SQLBindParameter(stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR,
                         SQL_VARCHAR, kValueBytes, 0, values[i], kValueBytes, &lengths[i]);

    const auto started = std::chrono::steady_clock::now();
    char* line = nullptr;
    std::size_t capacity = 0;
    long inserted = 0;
    long refused = 0;
    for (ssize_t got; (got = getline(&line, &capacity, log)) > 0;) {
        bench::LogFields split;
        if (!bench::SplitLogLine(line, static_cast<std::size_t>(got), split))
            continue;
        const char* const* fields = split.data;
        const std::size_t* sizes = split.size;
        bool fits = true;
        const auto put = [&](int value, const char* data, std::size_t length) {
            fits = fits && length <= kValueBytes;
            if (!fits)
                return;
            std::memcpy(values[value], data, length);
            lengths[value] = static_cast<SQLLEN>(length);
        };
        put(0, fields[0], sizes[0]);
        put(1, fields[1], sizes[1]);
        put(2, fields[2], sizes[2] + 1 + sizes[3]);
        for (int f = 4; f < 10; ++f)
            put(f - 1, fields[f], sizes[f]);
        if (fits && SQL_SUCCEEDED(SQLExecute(stmt)))
            ++inserted;
        else
            ++refused;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%ld rows inserted, %ld refused, %.3f s\n", inserted, refused, seconds);
    std::free(line);
    std::fclose(log);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return 0;
}

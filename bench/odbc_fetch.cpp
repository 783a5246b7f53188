// The floor for the report benchmark: a minimal loop that runs one query and fetches every row
// into bound text buffers, doing nothing with them but adding up their lengths.
#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

SQLCHAR* Text(const std::string& text) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
}

bool Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, const char* what) {
    if (SQL_SUCCEEDED(rc))
        return true;
    SQLCHAR state[6] = {};
    SQLCHAR text[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLGetDiagRec(type, handle, 1, state, &native, text, sizeof text, &length);
    std::fprintf(stderr, "odbc_fetch: %s failed: %s %s\n", what, state, text);
    return false;
}

constexpr SQLLEN kWidth = 8192;

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: odbc_fetch CONNECTION-STRING SQL [ROWS-PER-FETCH]\n");
        return 2;
    }
    const SQLULEN block = argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 1;
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    if (!Check(SQLDriverConnect(dbc, nullptr, Text(argv[1]), SQL_NTS, nullptr, 0, nullptr,
                                SQL_DRIVER_NOPROMPT),
               SQL_HANDLE_DBC, dbc, "connect"))
        return 1;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    const auto started = std::chrono::steady_clock::now();
    SQLULEN fetched = 0;
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(block), 0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    if (!Check(SQLExecDirect(stmt, Text(argv[2]), SQL_NTS), SQL_HANDLE_STMT, stmt, "query"))
        return 1;
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt, &columns);
    std::vector<std::vector<char>> values(static_cast<std::size_t>(columns),
                                          std::vector<char>(kWidth * block));
    std::vector<std::vector<SQLLEN>> lengths(static_cast<std::size_t>(columns),
                                             std::vector<SQLLEN>(block));
    for (SQLUSMALLINT c = 1; c <= columns; ++c)
        SQLBindCol(stmt, c, SQL_C_CHAR, values[c - 1].data(), kWidth, lengths[c - 1].data());
    long rows = 0;
    long long bytes = 0;
    SQLRETURN rc = SQL_SUCCESS;
    while (SQL_SUCCEEDED(rc = SQLFetch(stmt))) {
        for (SQLULEN r = 0; r < fetched; ++r)
            for (SQLSMALLINT c = 0; c < columns; ++c)
                bytes += lengths[static_cast<std::size_t>(c)][r];
        rows += static_cast<long>(fetched);
    }
    if (rc != SQL_NO_DATA && !Check(rc, SQL_HANDLE_STMT, stmt, "fetch"))
        return 1;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%ld rows fetched (%lld bytes), %.3f s\n", rows, bytes, seconds);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return 0;
}

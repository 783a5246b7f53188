// The batched ceiling for PostgreSQL: libpq's COPY in text format, one COPY per transaction of
// N rows (1,000 by default), with the same least parsing as the other loops: what any loader
// committing that often pays at the least.
#include "log_fields.h"

#include <libpq-fe.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool Exec(PGconn* connection, const char* sql, ExecStatusType wanted) {
    PGresult* result = PQexec(connection, sql);
    const bool ok = PQresultStatus(result) == wanted;
    if (!ok)
        std::fprintf(stderr, "pg_copy_loop: %s failed: %s", sql, PQerrorMessage(connection));
    PQclear(result);
    return ok;
}

/// `bytes` as a field of COPY's text format.
void AppendField(std::string& row, const char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const char c = bytes[i];
        if (c == '\\' || c == '\t' || c == '\n' || c == '\r')
            row += c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
        else
            row += c;
    }
}

/// Ends the COPY and the transaction in hand.
bool EndBatch(PGconn* connection) {
    if (PQputCopyEnd(connection, nullptr) != 1) {
        std::fprintf(stderr, "pg_copy_loop: %s", PQerrorMessage(connection));
        return false;
    }
    PGresult* result = PQgetResult(connection);
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!ok)
        std::fprintf(stderr, "pg_copy_loop: COPY failed: %s", PQerrorMessage(connection));
    PQclear(result);
    while ((result = PQgetResult(connection)) != nullptr)
        PQclear(result);
    return ok && Exec(connection, "COMMIT", PGRES_COMMAND_OK);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: pg_copy_loop CONNINFO TABLE LOGFILE [COMMIT_ROWS]\n");
        return 2;
    }
    const long commitRows = argc == 5 ? std::atol(argv[4]) : 1000;
    FILE* log = std::fopen(argv[3], "rb");
    if (!log) {
        std::perror(argv[3]);
        return 1;
    }
    PGconn* connection = PQconnectdb(argv[1]);
    if (PQstatus(connection) != CONNECTION_OK) {
        std::fprintf(stderr, "pg_copy_loop: %s", PQerrorMessage(connection));
        return 1;
    }
    const std::string begin = std::string("COPY ") + argv[2] + " FROM STDIN";

    const auto started = std::chrono::steady_clock::now();
    char* line = nullptr;
    std::size_t capacity = 0;
    long rows = 0;
    long pending = 0;
    std::string row;
    for (ssize_t got; (got = getline(&line, &capacity, log)) > 0;) {
        bench::LogFields split;
        if (!bench::SplitLogLine(line, static_cast<std::size_t>(got), split))
            continue;
        const char* const* fields = split.data;
        const std::size_t* sizes = split.size;
        row.clear();
        for (std::size_t f = 0; f < 10; ++f) {
            if (f > 0)
                row += f == 3 ? ' ' : '\t';
            AppendField(row, fields[f], sizes[f]);
        }
        row += '\n';
        if (pending == 0 && (!Exec(connection, "BEGIN", PGRES_COMMAND_OK) ||
                             !Exec(connection, begin.c_str(), PGRES_COPY_IN)))
            return 1;
        if (PQputCopyData(connection, row.data(), static_cast<int>(row.size())) != 1) {
            std::fprintf(stderr, "pg_copy_loop: %s", PQerrorMessage(connection));
            return 1;
        }
        ++rows;
        if (++pending == commitRows) {
            pending = 0;
            if (!EndBatch(connection))
                return 1;
        }
    }
    if (pending > 0 && !EndBatch(connection))
        return 1;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%ld rows inserted, 0 refused, %.3f s\n", rows, seconds);
    std::free(line);
    std::fclose(log);
    PQfinish(connection);
    return 0;
}

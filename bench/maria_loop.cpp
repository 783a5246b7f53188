// The batched ceiling for MariaDB: MariaDB's own bulk path, one prepared INSERT executed with
// arrays of N rows (1,000 by default) bound column by column, one commit per execution, with the
// same least parsing as the other loops.
#include "log_fields.h"

#include <mysql.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kColumns = 9;

/// The rows of one batch, column by column: pointers into `text` and lengths.
struct Batch {
    std::vector<std::string> text; // each row's nine values, one after another
    std::array<std::vector<const char*>, kColumns> values;
    std::array<std::vector<unsigned long>, kColumns> lengths;
    std::size_t rows = 0;
};

void Add(Batch& batch, const bench::LogFields& fields) {
    if (batch.text.size() <= batch.rows)
        batch.text.emplace_back();
    std::string& row = batch.text[batch.rows];
    row.clear();
    // The date and the time go in one column, as the program stores them; a tab ends each.
    for (std::size_t f = 0; f < 10; ++f) {
        if (f > 0)
            row += f == 3 ? ' ' : '\t';
        row.append(fields.data[f], fields.size[f]);
    }
    for (int c = 0; c < kColumns; ++c) {
        batch.values[c].resize(batch.rows + 1);
        batch.lengths[c].resize(batch.rows + 1);
    }
    ++batch.rows;
}

bool Flush(MYSQL* mysql, MYSQL_STMT* statement, Batch& batch) {
    // Pointers are taken once the row texts no longer move.
    for (std::size_t r = 0; r < batch.rows; ++r) {
        const std::string& row = batch.text[r];
        std::size_t from = 0;
        for (int c = 0; c < kColumns; ++c) {
            std::size_t end = c + 1 < kColumns ? row.find('\t', from) : row.size();
            batch.values[c][r] = row.data() + from;
            batch.lengths[c][r] = end - from;
            from = end + 1;
        }
    }
    std::array<MYSQL_BIND, kColumns> bind{};
    for (int c = 0; c < kColumns; ++c) {
        bind[c].buffer_type = MYSQL_TYPE_STRING;
        bind[c].buffer = batch.values[c].data();
        bind[c].length = batch.lengths[c].data();
    }
    unsigned int size = static_cast<unsigned int>(batch.rows);
    const bool ok = mysql_stmt_attr_set(statement, STMT_ATTR_ARRAY_SIZE, &size) == 0 &&
                    mysql_stmt_bind_param(statement, bind.data()) == 0 &&
                    mysql_stmt_execute(statement) == 0 && mysql_commit(mysql) == 0;
    if (!ok)
        std::fprintf(stderr, "maria_loop: %s\n", mysql_stmt_error(statement));
    batch.rows = 0;
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 8 && argc != 9) {
        std::fprintf(stderr, "usage: maria_loop HOST PORT USER PASSWORD DATABASE TABLE LOGFILE "
                             "[COMMIT_ROWS]\n");
        return 2;
    }
    const long commitRows = argc == 9 ? std::atol(argv[8]) : 1000;
    FILE* log = std::fopen(argv[7], "rb");
    if (!log) {
        std::perror(argv[7]);
        return 1;
    }
    MYSQL* mysql = mysql_init(nullptr);
    if (!mysql_real_connect(mysql, argv[1], argv[3], argv[4], argv[5],
                            static_cast<unsigned int>(std::atoi(argv[2])), nullptr, 0) ||
        mysql_autocommit(mysql, 0) != 0) {
        std::fprintf(stderr, "maria_loop: %s\n", mysql_error(mysql));
        return 1;
    }
    const std::string sql =
        std::string("INSERT INTO ") + argv[6] + " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";
    MYSQL_STMT* statement = mysql_stmt_init(mysql);
    if (mysql_stmt_prepare(statement, sql.c_str(), sql.size()) != 0) {
        std::fprintf(stderr, "maria_loop: %s\n", mysql_stmt_error(statement));
        return 1;
    }

    const auto started = std::chrono::steady_clock::now();
    char* line = nullptr;
    std::size_t capacity = 0;
    long rows = 0;
    Batch batch;
    for (ssize_t got; (got = getline(&line, &capacity, log)) > 0;) {
        bench::LogFields split;
        if (!bench::SplitLogLine(line, static_cast<std::size_t>(got), split))
            continue;
        Add(batch, split);
        ++rows;
        if (static_cast<long>(batch.rows) == commitRows && !Flush(mysql, statement, batch))
            return 1;
    }
    if (batch.rows > 0 && !Flush(mysql, statement, batch))
        return 1;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%ld rows inserted, 0 refused, %.3f s\n", rows, seconds);
    std::free(line);
    std::fclose(log);
    mysql_stmt_close(statement);
    mysql_close(mysql);
    return 0;
}

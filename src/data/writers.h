// The writers a connection makes for a job's table: ODBC statements, PostgreSQL's COPY, or the
// SQLite library.
#pragma once

#include "core/database.h"
#include "data/row_fates.h"

#include <memory>
#include <string>

namespace brenvale::odbc {
class Connection;

/// The writer for the job's table `table` (as typed) that fits the connection's database and
/// `options`; its rows go to the table the connection resolves the name to. PostgreSQL's batches
/// go through COPY and SQLite's through the SQLite library unless `options.allowNative` is false,
/// or through ODBC with a Notice() saying why the native way could not be used. `error` is set
/// (and null returned) only when no writer at all could be made.
std::unique_ptr<TableWriter> MakeWriter(Connection& connection, const std::string& table,
                                        const WriterOptions& options, DbResult& error);

/// What a writer for `table` (as typed) needs: the table it means and which of its columns are
/// not text (read from the catalogue once).
WriterTable DescribeWriterTable(Connection& connection, const std::string& table);

/// The ODBC writer alone, whatever the database (the native writers' fallback); its Notice() is
/// `notice`.
std::unique_ptr<TableWriter> MakeOdbcWriter(Connection& connection, const WriterTable& table,
                                            const WriterOptions& options, DbResult& error,
                                            std::string notice = {});

} // namespace brenvale::odbc

// The writers a connection makes for a job's table: ODBC statements, or PostgreSQL's COPY.
#pragma once

#include "core/database.h"

#include <memory>
#include <string>

namespace brenvale::odbc {
class Connection;

/// The writer that fits the connection's database and `options`: PostgreSQL's batches go
/// through COPY unless `options.allowCopy` is false, or through ODBC with a Notice() saying why
/// COPY could not be used. `error` is set (and null returned) only when no writer at all could
/// be made.
std::unique_ptr<TableWriter> MakeWriter(Connection& connection, const std::string& table,
                                        const WriterOptions& options, DbResult& error);

/// The ODBC writer alone, whatever the database (the COPY writer's fallback); its Notice() is
/// `notice`.
std::unique_ptr<TableWriter> MakeOdbcWriter(Connection& connection, const std::string& table,
                                            const WriterOptions& options, DbResult& error,
                                            std::string notice = {});

} // namespace brenvale::odbc

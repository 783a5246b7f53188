// A log table's rows for a report, read through ODBC a block at a time, whatever the columns'
// types (text, or the typed columns of a created table).
#pragma once

#include "core/database.h"
#include "report/row_source.h"

#include <memory>
#include <string>

namespace brenvale::odbc {

class Connection;

/// Connects `connection` to `dsn` for reading many rows: drivers that would otherwise hold a
/// whole result in memory (psqlODBC) are told to hand it over in pieces. The driver's message
/// on failure.
DbResult OpenForReading(Connection& connection, const std::string& dsn);

/// The rows of `table` (as a job names it) whose time column lies in `window`, in its order;
/// null with `error` set when the table is missing, has fewer than nine columns or cannot be
/// read. `connection` must outlive the source.
std::unique_ptr<report::RowSource> OpenLogRows(Connection& connection, const std::string& table,
                                               const report::RowWindow& window, DbResult& error);

} // namespace brenvale::odbc

// A log table's rows for a report, read through ODBC a block at a time, whatever the columns'
// types (text, or the typed columns of a created table).
#pragma once

#include "core/database.h"
#include "report/row_source.h"

#include <memory>
#include <string>
#include <vector>

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

/// How reading a report's tables ended.
struct ReadOutcome {
    enum class Kind { Done, DataSource, Table, Output };
    Kind kind = Kind::Done;
    std::string message; ///< a sentence, unless Done
    explicit operator bool() const { return kind == Kind::Done; }
};

/// The figures of `tables` on the data source `dsn`, read on one connection per table and
/// merged latest first.
ReadOutcome ComputeReport(const std::string& dsn, const std::vector<std::string>& tables,
                          const report::ReportSettings& settings,
                          const report::StationZone& station, report::ReportResult& result);

/// Writes the streaming log of the segments `settings` counts in `tables` to `path`, reading
/// the rows again earliest first.
ReadOutcome WriteStreamingLog(const std::string& dsn, const std::vector<std::string>& tables,
                              const report::ReportSettings& settings,
                              const report::StationZone& station, const std::string& path);

} // namespace brenvale::odbc

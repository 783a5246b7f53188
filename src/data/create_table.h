// A target table made for SHOUTcast logs: nine columns named after the log's fields, with types
// the database's driver offers.
#pragma once

#include "core/database.h"

#include <string>

namespace brenvale::odbc {
class Connection;
}

namespace brenvale {

/// The statement that creates `table` on `connection`'s database, with its types taken from
/// what the driver reports (SQLGetTypeInfo); empty with `error` set when a type is missing.
std::string LogTableDefinition(odbc::Connection& connection, const std::string& table,
                               DbResult& error);

/// Creates `table` with LogTableDefinition's statement.
DbResult CreateLogTable(odbc::Connection& connection, const std::string& table);

} // namespace brenvale

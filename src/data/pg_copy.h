// PostgreSQL batches through COPY, on a libpq connection of the writer's own made with the ODBC
// data source's settings, since psqlODBC offers no COPY.
#pragma once

#include "core/database.h"
#include "data/batch.h"
#include "data/row_fates.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace brenvale::odbc {
class Connection;
}

namespace brenvale::pg {

/// libpq keywords and values for the settings of the ODBC data source `dsn` (a user data source
/// before a system one); what it leaves out is left to libpq's environment and defaults.
std::vector<std::pair<std::string, std::string>> ConnectionSettings(const std::string& dsn);

/// A channel that sends batches into `table` with COPY, on a connection of its own to the
/// database, user and session settings of `odbc`. Null, with `why` as a sentence, when libpq
/// cannot connect with the data source's settings, reaches another database or user, or the
/// table is one COPY cannot write into.
std::unique_ptr<Channel> OpenCopyChannel(odbc::Connection& odbc, const WriterTable& table,
                                         std::string& why);

} // namespace brenvale::pg

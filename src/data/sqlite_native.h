// SQLite batches through the SQLite library, on a connection of the writer's own to the data
// source's database file: the SQLite ODBC driver prepares every statement again at each
// execution, the library runs one prepared INSERT for every row.
#pragma once

#include "core/database.h"
#include "data/batch.h"
#include "data/row_fates.h"

#include <memory>
#include <string>

namespace brenvale::odbc {
class Connection;
}

namespace brenvale::sqlite {

/// What the SQLite ODBC driver's data source says about its database file.
struct FileSettings {
    std::string database;        ///< "Database": the file
    int busyTimeoutMs = 100000;  ///< "Timeout": how long a lock is waited for (the driver's 100 s)
    std::string synchronous;     ///< "SyncPragma": PRAGMA synchronous, empty for SQLite's own
    std::string journalMode;     ///< "JournalMode": PRAGMA journal_mode, empty for SQLite's own
    bool foreignKeys = false;    ///< "FKSupport": PRAGMA foreign_keys
    std::string loadsExtensions; ///< "LoadExt": extensions the driver loads
};

/// The settings of the ODBC data source `dsn` (a user data source before a system one).
FileSettings ReadFileSettings(const std::string& dsn);

/// A channel that inserts into `table` with the SQLite library, on a connection of its own to
/// the file `odbc` has open, with the data source's busy timeout. Null, with `why` as a sentence,
/// when the data source's file cannot be opened that way or is not the file of `odbc`.
std::unique_ptr<Channel> OpenNativeChannel(odbc::Connection& odbc, const WriterTable& table,
                                           std::string& why);

} // namespace brenvale::sqlite

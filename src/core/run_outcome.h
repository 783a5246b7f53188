// How a run ended, as a number for schedulers and as a word for summaries; the console and the
// window give the same ones.
#pragma once

#include "core/runner.h"

#include <cstdint>
#include <string>

namespace brenvale {

/// Exit codes of brenvale-run, and the code a window's run summary records; each failure has
/// its own.
enum ExitCode : int {
    kExitSuccess = 0,
    kExitInternal = 1,        ///< an unexpected failure inside the program
    kExitUsage = 2,           ///< the command line is wrong
    kExitConfig = 3,          ///< the configuration is missing, unreadable or contradictory
    kExitDsn = 4,             ///< no data source named, or it did not open
    kExitMissingTable = 5,    ///< a target table is missing (without --continue-missing-tables)
    kExitTruncate = 6,        ///< a table could not be emptied; the run stopped there
    kExitLogFailed = 7,       ///< a log could not be read or downloaded; the other jobs ran
    kExitCatalogue = 8,       ///< the database's table list could not be read
    kExitRejects = 9,         ///< the rejects or summary file could not be written
    kExitConnectionLost = 10, ///< the database connection was lost and not made again in time
    kExitDatabaseFull = 11,   ///< the database could store nothing more
    kExitTooManyRejects = 12, ///< more lines were refused by the database than --max-rejects
    kExitNoJobs = 13,         ///< the configuration holds no jobs
    kExitInDoubt = 14,        ///< lines sent when the connection was lost were sent again and may
                              ///< be stored twice (row by row without positions)
    kExitInterrupted = 130,   ///< stopped by Ctrl-C (SIGINT) or SIGTERM after the line in hand
};

/// The code of a run that ended with `result`, `jobsFailed` jobs whose logs could not be read
/// and `inDoubt` lines that may be stored twice; what only the console checks (rejects allowed,
/// files written) comes on top.
int ExitCodeOf(RunResult result, int jobsFailed, std::uint64_t inDoubt);

/// "completed", "missing table", ...: the result as the summaries name it.
std::string RunResultName(RunResult result);

} // namespace brenvale

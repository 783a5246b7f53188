// How a run ended, as a number and as a word.
#include "core/run_outcome.h"

namespace brenvale {

namespace {

int CodeOfResult(RunResult result) {
    switch (result) {
    case RunResult::Completed:
        return kExitSuccess;
    case RunResult::NothingToDo:
        return kExitNoJobs;
    case RunResult::NoConnection:
        return kExitDsn;
    case RunResult::TableCheckFailed:
        return kExitCatalogue;
    case RunResult::ProgramTable:
        return kExitConfig;
    case RunResult::MissingTable:
        return kExitMissingTable;
    case RunResult::TruncateFailed:
        return kExitTruncate;
    case RunResult::Cancelled:
        return kExitInterrupted;
    case RunResult::DatabaseLost:
        return kExitConnectionLost;
    case RunResult::DatabaseFull:
        return kExitDatabaseFull;
    }
    return kExitInternal;
}

} // namespace

int ExitCodeOf(RunResult result, int jobsFailed, std::uint64_t inDoubt) {
    int code = CodeOfResult(result);
    if (code == kExitSuccess && jobsFailed > 0)
        code = kExitLogFailed;
    if (code == kExitSuccess && inDoubt > 0)
        code = kExitInDoubt;
    return code;
}

std::string RunResultName(RunResult result) {
    switch (result) {
    case RunResult::Completed:
        return "completed";
    case RunResult::NothingToDo:
        return "no jobs";
    case RunResult::NoConnection:
        return "no connection";
    case RunResult::TableCheckFailed:
        return "table list not read";
    case RunResult::ProgramTable:
        return "table not allowed";
    case RunResult::MissingTable:
        return "missing table";
    case RunResult::TruncateFailed:
        return "table not emptied";
    case RunResult::Cancelled:
        return "interrupted";
    case RunResult::DatabaseLost:
        return "database connection lost";
    case RunResult::DatabaseFull:
        return "database full";
    }
    return "unknown";
}

} // namespace brenvale

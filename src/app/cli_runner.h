// brenvale-run: a configuration file's jobs loaded without a window, for schedulers.
#pragma once

#include "core/run_state.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace brenvale {

/// Exit codes of brenvale-run; each failure has its own.
enum CliExitCode : int {
    kExitSuccess = 0,
    kExitInternal = 1,      ///< an unexpected failure inside the program
    kExitUsage = 2,         ///< the command line is wrong
    kExitConfig = 3,        ///< the configuration file is missing, unreadable or unusable
    kExitDsn = 4,           ///< no data source named, or it did not open
    kExitMissingTable = 5,  ///< a target table is missing (without --continue-missing-tables)
    kExitTruncate = 6,      ///< a table could not be emptied; the run stopped there
    kExitLogFailed = 7,     ///< a log could not be read or downloaded; the other jobs ran
    kExitCatalogue = 8,     ///< the database's table list could not be read
    kExitRejects = 9,       ///< the rejects file could not be written
    kExitNoJobs = 10,       ///< the configuration holds no jobs; nothing was loaded
    kExitInterrupted = 130, ///< stopped by Ctrl-C (SIGINT) or SIGTERM after the line in hand
};

/// The command line of brenvale-run.
struct CliArguments {
    std::string configPath;
    std::string dsn; ///< empty: the configuration's DSN
    bool continueMissingTables = false;
    std::size_t commitRows = 0; ///< 0: the configuration's CommitRows (1 when it has none)
    std::string rejectsPath;    ///< empty: no rejects file
    bool quiet = false;
    bool help = false;
    bool version = false;
};

/// Reads `args` (without the program name); false with `error` set when they are not usable.
bool ParseCliArguments(const std::vector<std::string>& args, CliArguments& parsed,
                       std::string& error);

/// The usage text, several lines ending in a line break.
std::string CliUsage();

/// First line of a rejects file: the names of its tab-separated columns.
inline constexpr std::string_view kRejectsHeader =
    "source\ttable\tline\treason\tsqlstate\tmessage\traw";

/// `bytes` made safe for one field of a rejects line, reversibly: backslash, tab, line feed and
/// carriage return become \\ \t \n \r, every other byte below 0x20 and 0x7F becomes \xHH (two
/// upper-case hex digits); all other bytes stay as they are.
std::string EscapeRejectField(std::string_view bytes);

/// The reverse of EscapeRejectField; an unknown escape is kept as it stands.
std::string UnescapeRejectField(std::string_view text);

/// What a run needs beyond its arguments; tests put stand-ins in.
struct CliEnvironment {
    /// The error stream is a terminal: the progress line is redrawn in place.
    bool progressTerminal = false;
    /// Millisecond clock for refreshes, batches and rates; null: the system's steady clock.
    TickClock* clock = nullptr;
    /// Called after the fate of each line is known, with the line's number in its log.
    std::function<void(std::uint64_t)> afterLine;
};

/// Runs brenvale-run with `args` (without the program name): summaries to `out`; progress,
/// warnings and errors to `err`. Ctrl-C (SIGINT) and SIGTERM stop the run after the line in
/// hand while it runs; a second one ends the program at once. Returns the exit code; never throws.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const CliEnvironment& environment = {});

} // namespace brenvale

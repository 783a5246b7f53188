// brenvale-run: a configuration file's jobs loaded without a window, for schedulers.
#pragma once

#include "core/run_outcome.h"
#include "core/run_state.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace brenvale {

/// The data source names of a --dsn value ("a,b,c"), blanks around each dropped; empty when a
/// name is empty.
std::vector<std::string> SplitDsnList(const std::string& text);

/// The command line of brenvale-run.
struct CliArguments {
    std::string configPath;
    std::string dsn; ///< as given: one name, or several separated by commas; empty: the
                     ///< configuration's DSN and FallbackDSNs
    bool continueMissingTables = false;
    bool createTables = false;
    std::size_t commitRows = 0;  ///< 0: the configuration's CommitRows (1 when it has none)
    bool incremental = false;    ///< or the configuration's Incremental
    bool odbcOnly = false;       ///< or the configuration's OdbcOnly
    bool durableBatches = false; ///< or the configuration's DurableBatches
    std::string format;          ///< every job's log format; empty: each job's own Format
    std::uint64_t maxRejects = 0;
    std::uint32_t reconnectSeconds = 300;
    std::string rejectsPath; ///< empty: no rejects file
    std::string summaryPath; ///< empty: no JSON summary
    bool quiet = false;
    bool help = false;
    bool version = false;
};

/// Reads `args` (without the program name); false with `error` set when they are not usable.
bool ParseCliArguments(const std::vector<std::string>& args, CliArguments& parsed,
                       std::string& error);

/// The usage text, several lines ending in a line break.
std::string CliUsage();

/// What a run needs beyond its arguments; tests put stand-ins in.
struct CliEnvironment {
    /// The error stream is a terminal: the progress line is redrawn in place.
    bool progressTerminal = false;
    /// Millisecond clock for refreshes, batches and rates; null: the system's steady clock.
    TickClock* clock = nullptr;
    /// Called after the fate of each line is known, with the line's number in its log.
    std::function<void(std::uint64_t)> afterLine;
    /// Waits before the `attempt`th try to connect to the database again; empty: a growing
    /// pause.
    std::function<void(int)> reconnectWait;
    /// Waits before retrying work a busy database turned away; empty: a short sleep.
    std::function<void(int)> retryWait;
};

/// Runs brenvale-run with `args` (without the program name): summaries to `out`; progress,
/// warnings and errors to `err`. Ctrl-C (SIGINT) and SIGTERM stop the run after the line in
/// hand while it runs; a second one ends the program at once. Returns the exit code; never throws.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const CliEnvironment& environment = {});

} // namespace brenvale

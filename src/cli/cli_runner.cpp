// brenvale-run: a configuration file's jobs loaded without a window, for schedulers.
#include "cli/cli_runner.h"

#include "config/config_file.h"
#include "core/general.h"
#include "core/job.h"
#include "core/run_report.h"
#include "core/runner.h"
#include "core/version.h"
#include "data/create_table.h"
#include "data/odbc.h"
#include "report/time_zone.h"

#include <getopt.h>
#include <glob.h>
#include <signal.h>

#include <algorithm>
#include <csignal>
#include <exception>
#include <fstream>
#include <limits>
#include <ostream>
#include <sstream>

namespace brenvale {

namespace {

constexpr const char* kProgram = "brenvale-run";
// Without a terminal the progress goes to a log; one line per this many milliseconds is enough.
constexpr std::uint32_t kPlainProgressMilliseconds = 10000;

volatile std::sig_atomic_t gInterrupted = 0;
volatile std::sig_atomic_t gSignal = 0;

void OnInterrupt(int signal) {
    if (gInterrupted) {
        // A second signal means now: the default action ends the program.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    gSignal = signal;
    gInterrupted = 1;
}

/// Catches SIGINT and SIGTERM while a run is under way; the earlier handlers come back after.
class InterruptGuard {
public:
    InterruptGuard() {
        gInterrupted = 0;
        gSignal = 0;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        // No SA_RESTART: a read that waits (a FIFO, a terminal) returns, and the flag is seen.
        action.sa_flags = 0;
        sigaction(SIGINT, &action, &oldInterrupt_);
        sigaction(SIGTERM, &action, &oldTerminate_);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &oldInterrupt_, nullptr);
        sigaction(SIGTERM, &oldTerminate_, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction oldInterrupt_ {};
    struct sigaction oldTerminate_ {};
};

bool Interrupted() {
    return gInterrupted != 0;
}

std::string SignalName() {
    return gSignal == SIGTERM ? "SIGTERM" : "Ctrl-C (SIGINT)";
}

/// A message box text as one console line: every run of line breaks becomes one blank.
std::string Flatten(std::string_view text) {
    std::string line;
    bool inBreak = false;
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == '\t') {
            inBreak = true;
            continue;
        }
        if (inBreak && !line.empty() && line.back() != ' ')
            line.push_back(' ');
        inBreak = false;
        line.push_back(c);
    }
    return line;
}

bool ParseNumber(std::string_view text, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty() || text.size() > 19)
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value <= limit;
}

/// The progress line on the error stream: redrawn in place on a terminal, a plain line now and
/// then otherwise, nothing when quiet.
class ConsoleStatus final : public StatusDisplay {
public:
    enum class Mode { Terminal, Plain, Quiet };

    ConsoleStatus(std::ostream& err, Mode mode, TickClock& clock)
        : err_(err), mode_(mode), clock_(clock), lastPlain_(clock.Ticks()) {}

    void BeginJob(int position, int count, const std::string& file, const RunReport& report,
                  const RunState& state) {
        Clear();
        label_ = '[' + std::to_string(position);
        label_.append("/").append(std::to_string(count)).append("] ").append(GetFileName(file));
        report_ = &report;
        state_ = &state;
        jobStart_ = clock_.Ticks();
    }

    void EndJob() {
        Clear();
        report_ = nullptr;
    }

    /// Takes a drawn progress line off the terminal, so that other output starts clean.
    void Clear() {
        if (mode_ == Mode::Terminal && drawnWidth_ > 0) {
            err_ << '\r' << std::string(drawnWidth_, ' ') << '\r' << std::flush;
            drawnWidth_ = 0;
        }
    }

    void Show() override {}
    void Hide() override { Clear(); }
    void SetOwnerEnabled(bool /*enabled*/) override {}
    void SetStatus(const std::string& text) override {
        // Reconnecting is worth a line of its own.
        if (text.find("again") != std::string::npos && mode_ != Mode::Quiet) {
            Clear();
            err_ << kProgram << ": " << text.substr(text.find(' ') + 2) << '\n' << std::flush;
        }
    }
    void SetFilesProcessed(const std::string& /*text*/) override {}
    void SetRecordsInsertedFile(const std::string& /*text*/) override {}
    // The runner sets the total last in each refresh; one drawing per refresh.
    void SetRecordsInsertedTotal(const std::string& /*text*/) override { Draw(); }
    void SetProgressMaximum(float /*value*/) override {}
    void SetProgressMinimum(float /*value*/) override {}
    void SetProgressValue(float /*value*/) override {}

private:
    void Draw() {
        if (mode_ == Mode::Quiet || report_ == nullptr)
            return;
        const std::uint32_t now = clock_.Ticks();
        if (mode_ == Mode::Plain &&
            static_cast<std::uint32_t>(now - lastPlain_) < kPlainProgressMilliseconds)
            return;
        std::ostringstream text;
        text << label_ << ": " << state_->RecordsThisFile << " rows, "
             << report_->JobCounts().Skipped() << " skipped, total " << state_->RecordsTotal
             << " rows";
        const auto elapsed = static_cast<std::uint32_t>(now - jobStart_);
        if (elapsed > 0)
            text << ", "
                 << static_cast<std::uint64_t>(static_cast<double>(state_->RecordsThisFile) *
                                               1000.0 / elapsed)
                 << " rows/s";
        const std::string line = text.str();
        if (mode_ == Mode::Plain) {
            err_ << kProgram << ": " << line << '\n' << std::flush;
            lastPlain_ = now;
            return;
        }
        err_ << '\r' << line;
        if (line.size() < drawnWidth_)
            err_ << std::string(drawnWidth_ - line.size(), ' ');
        err_ << std::flush;
        drawnWidth_ = std::max(drawnWidth_, line.size());
    }

    std::ostream& err_;
    Mode mode_;
    TickClock& clock_;
    std::string label_;
    const RunReport* report_ = nullptr;
    const RunState* state_ = nullptr;
    std::uint32_t jobStart_ = 0;
    std::uint32_t lastPlain_ = 0;
    std::size_t drawnWidth_ = 0;
};

/// The run's questions and messages on the console; the missing-table question is answered by
/// --continue-missing-tables.
class ConsolePrompts final : public Prompts {
public:
    ConsolePrompts(std::ostream& err, bool continueMissingTables, ConsoleStatus& status)
        : err_(err), continueMissingTables_(continueMissingTables), status_(status) {}

    bool AskYesNo(MessageIcon /*icon*/, const std::string& /*title*/,
                  const std::string& text) override {
        // The table check is the only question a run asks.
        status_.Clear();
        if (continueMissingTables_)
            err_ << kProgram << ": warning: " << Flatten(text)
                 << " Yes (--continue-missing-tables): its lines will be refused.\n";
        else
            err_ << kProgram << ": " << Flatten(text)
                 << " No: nothing was loaded (--continue-missing-tables goes on without it).\n";
        return continueMissingTables_;
    }

    void Inform(MessageIcon /*icon*/, const std::string& title, const std::string& text) override {
        status_.Clear();
        err_ << kProgram << ": " << title << ": " << Flatten(text) << '\n';
    }

private:
    std::ostream& err_;
    bool continueMissingTables_;
    ConsoleStatus& status_;
};

/// Cancels the run, as the window's Cancel does, once a signal has come.
class InterruptYielder final : public Yielder {
public:
    explicit InterruptYielder(RunState& state) : state_(state) {}
    void Yield() override { Poll(); }
    void Poll() override {
        if (Interrupted())
            state_.bCancel = true;
    }

private:
    RunState& state_;
};

/// Counts and summaries through the shared report; the console adds its progress line, the
/// test hook and the per-line look at Ctrl-C.
class CliObserver final : public RunObserver {
public:
    CliObserver(std::ostream& out, std::ostream& err, bool quiet, RunReport& report,
                RunState& state, ConsoleStatus& status, const CliEnvironment& environment)
        : out_(out), err_(err), quiet_(quiet), report_(report), state_(state), status_(status),
          environment_(environment) {}

    void OnJobStart(int position, int count, const Job& job) override {
        report_.OnJobStart(position, count, job);
        status_.BeginJob(position, count, job.File, report_, state_);
    }

    void OnLine(LineOutcome outcome, std::string_view rawLine, const LineMark& mark,
                const DbResult& error) override {
        report_.OnLine(outcome, rawLine, mark, error);
        if (outcome == LineOutcome::Pending)
            return;
        if (environment_.afterLine)
            environment_.afterLine(mark.line);
        // Seen after every line, so a run stops right after the line in hand.
        if (Interrupted())
            state_.bCancel = true;
    }

    void OnNotice(const std::string& text) override {
        report_.OnNotice(text);
        status_.Clear();
        if (!quiet_)
            err_ << kProgram << ": note: " << text << '\n';
    }

    void OnExtraRows(std::uint64_t rows) override { report_.OnExtraRows(rows); }

    void OnStream(const std::string& name, int stream, std::uint64_t alreadyLoaded,
                  bool rotated) override {
        report_.OnStream(name, stream, alreadyLoaded, rotated);
    }

    void OnReconnected(std::uint64_t line, int attempts) override {
        report_.OnReconnected(line, attempts);
        status_.Clear();
        if (!quiet_)
            err_ << kProgram << ": " << report_.Notices().back() << '\n';
    }

    void OnJobEnd(int position, const Job& job, const std::string& failure) override {
        if (state_.bCancel)
            report_.MarkInterrupted();
        report_.OnJobEnd(position, job, failure);
        status_.EndJob();
        if (!failure.empty() && IsDownload(job.File))
            err_ << kProgram << ": Error Downloading Log File: The log '" << job.File
                 << "' could not be downloaded: " << failure << '\n';
        if (!quiet_)
            out_ << report_.JobText(report_.Jobs().back());
        out_ << std::flush;
    }

private:
    std::ostream& out_;
    std::ostream& err_;
    bool quiet_;
    RunReport& report_;
    RunState& state_;
    ConsoleStatus& status_;
    const CliEnvironment& environment_;
};

/// The local files a job names: the file itself, or every match of a shell pattern.
std::vector<std::string> LocalInputs(const std::string& file) {
    std::vector<std::string> inputs;
    if (file.empty() || IsDownload(file))
        return inputs;
    glob_t matches{};
    if (file.find_first_of("*?[") != std::string::npos &&
        ::glob(file.c_str(), 0, nullptr, &matches) == 0) {
        for (std::size_t i = 0; i < matches.gl_pathc; ++i)
            inputs.emplace_back(matches.gl_pathv[i]);
    } else {
        inputs.push_back(file);
    }
    globfree(&matches);
    return inputs;
}

/// Why `output` must not be written: it is the configuration or one of the logs.
std::string OutputClash(const std::string& output, const std::string& configPath,
                        const std::vector<Job>& jobs) {
    if (SameFile(output, configPath))
        return "it is the configuration file";
    for (const Job& job : jobs)
        for (const std::string& input : LocalInputs(job.File))
            if (SameFile(output, input))
                return "it is the log '" + input + "'";
    return {};
}

/// Creates every job's table that names no table of the catalogue; false after a message when
/// one could not be made.
bool CreateMissingTables(odbc::Connection& connection, const std::vector<Job>& jobs,
                         std::ostream& out, std::ostream& err, bool quiet) {
    for (const Job& job : jobs) {
        bool exists = false;
        if (const DbResult read = connection.FindTable(job.DBTable, exists); !read) {
            err << kProgram << ": Error Reading Tables: " << Flatten(read.message) << '\n';
            return false;
        }
        // The run refuses a job naming the program's own table, with its own message.
        if (exists || IsProgramTable(job.DBTable))
            continue;
        if (const DbResult made = CreateLogTable(connection, job.DBTable); !made) {
            // A loader started beside this one may have made it meanwhile.
            if (connection.FindTable(job.DBTable, exists) && exists)
                continue;
            err << kProgram << ": The table '" << job.DBTable
                << "' could not be created: " << Flatten(made.message) << '\n';
            return false;
        }
        if (!quiet)
            out << "created table " << job.DBTable << '\n';
    }
    return true;
}

/// The configuration, with the command line's switches over it; an exit code when the run
/// cannot start with it.
std::optional<int> ReadRunConfig(const CliArguments& arguments, std::ostream& err,
                                 ConfigData& config) {
    const ConfigReadResult read = ReadConfig(arguments.configPath);
    if (read.status != ConfigStatus::Loaded) {
        err << kProgram << ": " << read.error << '\n';
        return kExitConfig;
    }
    if (!read.warning.empty())
        err << kProgram << ": warning: " << read.warning << '\n';
    config = read.data;
    if (arguments.incremental)
        config.incremental = true;
    if (arguments.odbcOnly)
        config.odbcOnly = true;
    if (arguments.durableBatches)
        config.durableBatches = true;
    if (const std::string conflict = ConflictingOptions(config); !conflict.empty()) {
        err << kProgram << ": " << conflict << '\n';
        return kExitConfig;
    }
    if (config.jobs.empty()) {
        err << kProgram << ": The configuration file '" << arguments.configPath
            << "' holds no jobs; nothing was loaded.\n";
        return kExitNoJobs;
    }

    for (const std::string* output : {&arguments.rejectsPath, &arguments.summaryPath}) {
        if (output->empty())
            continue;
        if (const std::string clash = OutputClash(*output, arguments.configPath, config.jobs);
            !clash.empty()) {
            err << kProgram << ": The file '" << *output << "' will not be written: " << clash
                << ".\n";
            return kExitRejects;
        }
    }
    return std::nullopt;
}

/// Opens the first data source of the command line's list, or else of the configuration's;
/// an exit code when none opens.
std::optional<int> OpenDataSource(const CliArguments& arguments, const ConfigData& config,
                                  odbc::Connection& connection, std::ostream& err) {
    std::vector<std::string> dsns = SplitDsnList(arguments.dsn);
    if (arguments.dsn.empty() && !config.dsn.value_or("").empty()) {
        dsns = {*config.dsn};
        dsns.insert(dsns.end(), config.fallbackDsns.begin(), config.fallbackDsns.end());
    }
    if (dsns.empty()) {
        err << kProgram
            << ": No data source: the configuration file names none and --dsn was "
               "not given.\n";
        return kExitDsn;
    }
    if (const DbResult opened = connection.OpenFirst(dsns); !opened) {
        if (dsns.size() == 1)
            err << kProgram << ": The data source '" << dsns[0]
                << "' could not be opened: " << Flatten(opened.message) << " (SQLSTATE "
                << opened.sqlState << ")\n";
        else
            err << kProgram
                << ": None of the data sources could be opened: " << Flatten(opened.message)
                << "\n";
        return kExitDsn;
    }
    return std::nullopt;
}

/// How the run loads: the configuration's settings with the command line's over them.
RunSettings SettingsOf(const CliArguments& arguments, const ConfigData& config) {
    RunSettings settings;
    settings.commitRows = arguments.commitRows > 0 ? arguments.commitRows : config.commitRows;
    settings.incremental = config.incremental;
    settings.allowNative = !config.odbcOnly;
    settings.lazyCommits = !config.durableBatches;
    settings.reconnectSeconds = arguments.reconnectSeconds;
    settings.format = arguments.format;
    std::string zoneError;
    if (const auto zone = report::StationZone::Find(config.timeZone, zoneError)) {
        // Icecast writes each time's offset, which the station's zone should agree with.
        settings.stationZone = zone->Name();
        settings.stationOffset = [zone = *zone](std::int64_t at) { return zone.OffsetAt(at); };
    }
    return settings;
}

/// What the runner said about the run once it ended.
struct RunEnd {
    RunResult result = RunResult::Completed;
    int jobsFailed = 0;
    DbResult databaseFailure;
    std::uint64_t lastStored = 0;
    std::string lastStream;
};

/// The console's words for how the run ended (the exit code is the window's too).
void SayHowItEnded(const RunEnd& end, const RunReport& report, std::size_t jobCount,
                   std::ostream& err) {
    switch (end.result) {
    case RunResult::Completed:
        if (end.jobsFailed > 0)
            err << kProgram << ": " << end.jobsFailed << " of " << jobCount << " jobs "
                << (end.jobsFailed == 1 ? "could not read its log" : "could not read their logs")
                << "; the other jobs were loaded.\n";
        break;
    case RunResult::Cancelled: {
        if (report.Jobs().empty()) {
            // Stopped while the tables were checked or emptied: no line was read.
            err << kProgram << ": Interrupted by " << SignalName()
                << " before the first job started; no line was loaded.\n";
            break;
        }
        const JobReport& job = report.Jobs().back();
        err << kProgram << ": Interrupted by " << SignalName() << ": stopped after line "
            << job.lastLine << " of job " << report.Jobs().size() << " of " << report.JobCount()
            << " ('" << job.job.File << "'); " << report.JobCounts().Rows()
            << " rows of that job and " << report.Total().Rows() << " rows in all were inserted.\n";
        break;
    }
    case RunResult::DatabaseLost:
    case RunResult::DatabaseFull:
        err << kProgram << ": "
            << (end.result == RunResult::DatabaseLost ? "The database connection was lost"
                                                      : "The database can store nothing more")
            << ": " << Flatten(end.databaseFailure.message) << " (SQLSTATE "
            << end.databaseFailure.sqlState << "). The last line known to be stored is line "
            << end.lastStored << " of '" << end.lastStream << "'";
        if (report.Total().inDoubt > 0)
            err << "; " << report.Total().inDoubt << " line"
                << (report.Total().inDoubt == 1 ? " was" : "s were")
                << " sent without an answer and may be stored (in doubt)";
        err << ".\n";
        break;
    default:
        break;
    }
}

/// The in-doubt and too-many-rejects words, the rejects file closed and the summary written;
/// the exit code, raised when one of them fails.
int SettleOutputs(int code, RunResult result, const CliArguments& arguments, RunReport& report,
                  std::ostream& err) {
    std::string error;
    if (const std::uint64_t doubt = report.Total().inDoubt; code == kExitInDoubt) {
        err << kProgram << ": " << doubt << " line" << (doubt == 1 ? " was" : "s were")
            << " sent as the connection was lost, with no way to tell whether the database "
               "stored "
            << (doubt == 1 ? "it" : "them") << ", and sent again: " << (doubt == 1 ? "it" : "they")
            << " may be stored twice (in doubt). Batches "
            << "(--commit-rows) and incremental runs settle this exactly.\n";
    }
    const std::uint64_t refused = report.Total().refused;
    if (refused > arguments.maxRejects && (code == kExitSuccess || code == kExitLogFailed)) {
        err << kProgram << ": " << refused << " line" << (refused == 1 ? " was" : "s were")
            << " refused by the database, more than --max-rejects " << arguments.maxRejects
            << " allows.\n";
        if (code == kExitSuccess)
            code = kExitTooManyRejects;
    }
    if (!report.CloseRejects(error)) {
        err << kProgram << ": " << error << '\n';
        if (code == kExitSuccess)
            code = kExitRejects;
    }
    if (!arguments.summaryPath.empty()) {
        std::ofstream summary(arguments.summaryPath, std::ios::binary | std::ios::trunc);
        summary << report.JsonText(code, RunResultName(result));
        summary.close();
        if (!summary) {
            err << kProgram << ": The summary file '" << arguments.summaryPath
                << "' could not be written.\n";
            if (code == kExitSuccess)
                code = kExitRejects;
        }
    }
    return code;
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const CliEnvironment& environment) {
    CliArguments arguments;
    std::string error;
    if (!ParseCliArguments(args, arguments, error)) {
        err << kProgram << ": " << error << "\n\n" << CliUsage();
        return kExitUsage;
    }
    if (arguments.help) {
        out << CliUsage();
        return kExitSuccess;
    }
    if (arguments.version) {
        out << kProgram << ' ' << VersionText() << '\n';
        return kExitSuccess;
    }

    SteadyTickClock steadyClock;
    TickClock& clock =
        environment.clock ? *environment.clock : static_cast<TickClock&>(steadyClock);
    const ConsoleStatus::Mode mode = arguments.quiet                ? ConsoleStatus::Mode::Quiet
                                     : environment.progressTerminal ? ConsoleStatus::Mode::Terminal
                                                                    : ConsoleStatus::Mode::Plain;
    ConsoleStatus status(err, mode, clock);
    ConsolePrompts prompts(err, arguments.continueMissingTables, status);

    ConfigData config;
    if (const std::optional<int> refused = ReadRunConfig(arguments, err, config))
        return *refused;
    odbc::Environment odbcEnvironment;
    if (!odbcEnvironment.ok()) {
        err << kProgram << ": The ODBC driver manager gave no environment.\n";
        return kExitDsn;
    }
    odbc::Connection connection(odbcEnvironment);
    if (const std::optional<int> refused = OpenDataSource(arguments, config, connection, err))
        return *refused;
    if (arguments.createTables &&
        !CreateMissingTables(connection, config.jobs, out, err, arguments.quiet))
        return kExitMissingTable;

    RunReport report(clock);
    report.SetIncremental(config.incremental);
    if (!arguments.rejectsPath.empty() && !report.OpenRejects(arguments.rejectsPath, error)) {
        err << kProgram << ": " << error << '\n';
        return kExitRejects;
    }

    const InterruptGuard interruptGuard;
    RunState state;
    InterruptYielder yielder(state);
    CliObserver observer(out, err, arguments.quiet, report, state, status, environment);
    VectorJobList jobs(config.jobs);
    FixedOptions options;
    options.truncateOnStart = config.truncateOnce;
    options.truncateOnInsert = config.truncatePerFile;
    options.translateASCII = config.translateASCII;

    RunEnd end;
    {
        JobRunner runner(
            RunHost{jobs, connection, status, prompts, yielder, options, clock, state});
        runner.SetObserver(&observer);
        runner.SetSettings(SettingsOf(arguments, config));
        if (environment.reconnectWait)
            runner.SetReconnectWait(environment.reconnectWait);
        if (environment.retryWait)
            runner.SetRetryWait(environment.retryWait);
        end.result = runner.ProcessJobs();
        end.jobsFailed = runner.JobsFailed();
        end.databaseFailure = runner.DatabaseFailure();
        end.lastStored = runner.LastStoredLine();
        end.lastStream = runner.LastStream();
    }
    status.Clear();
    report.Finish();
    if (!arguments.quiet && !report.Jobs().empty())
        out << report.RunText() << std::flush;
    SayHowItEnded(end, report, config.jobs.size(), err);
    return SettleOutputs(ExitCodeOf(end.result, end.jobsFailed, report.Total().inDoubt), end.result,
                         arguments, report, err);
}

} // namespace

bool ParseCliArguments(const std::vector<std::string>& args, CliArguments& parsed,
                       std::string& error) {
    parsed = {};
    enum Option : int {
        kDsn = 1000,
        kContinue,
        kCreate,
        kCommitRows,
        kIncremental,
        kOdbcOnly,
        kDurable,
        kMaxRejects,
        kReconnect,
        kRejects,
        kSummary,
        kQuiet,
        kFormat,
        kHelp,
        kVersion,
    };
    static const option kOptions[] = {
        {"dsn", required_argument, nullptr, kDsn},
        {"continue-missing-tables", no_argument, nullptr, kContinue},
        {"create-tables", no_argument, nullptr, kCreate},
        {"commit-rows", required_argument, nullptr, kCommitRows},
        {"incremental", no_argument, nullptr, kIncremental},
        {"odbc-only", no_argument, nullptr, kOdbcOnly},
        {"durable-batches", no_argument, nullptr, kDurable},
        {"format", required_argument, nullptr, kFormat},
        // The older spelling, from when COPY was the only way around ODBC.
        {"no-copy", no_argument, nullptr, kOdbcOnly},
        {"max-rejects", required_argument, nullptr, kMaxRejects},
        {"reconnect-seconds", required_argument, nullptr, kReconnect},
        {"rejects", required_argument, nullptr, kRejects},
        {"summary", required_argument, nullptr, kSummary},
        {"quiet", no_argument, nullptr, kQuiet},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    std::vector<std::string> words = args;
    words.insert(words.begin(), kProgram);
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    // getopt keeps its place in globals: start afresh, and report errors here, not on stderr.
    optind = 0;
    opterr = 0;
    const auto needs = [&](const char* name, const std::string& what) {
        error = std::string("The option --") + name + " needs " + what + ", not '" +
                (optarg ? optarg : "") + "'.";
        return false;
    };
    for (;;) {
        int index = -1;
        const int code = getopt_long(argc, argv.data(), ":h", kOptions, &index);
        if (code == -1)
            break;
        std::uint64_t number = 0;
        switch (code) {
        case kDsn:
            if (SplitDsnList(optarg).empty())
                return needs("dsn", "a data source name, or several separated by commas");
            parsed.dsn = optarg;
            break;
        case kContinue:
            parsed.continueMissingTables = true;
            break;
        case kCreate:
            parsed.createTables = true;
            break;
        case kCommitRows:
            if (!ParseNumber(optarg, kMaxCommitRows, number) || number < 1)
                return needs("commit-rows",
                             "a whole number from 1 to " + std::to_string(kMaxCommitRows));
            parsed.commitRows = number;
            break;
        case kIncremental:
            parsed.incremental = true;
            break;
        case kOdbcOnly:
            parsed.odbcOnly = true;
            break;
        case kDurable:
            parsed.durableBatches = true;
            break;
        case kFormat:
            if (const auto format = ParseLogFormat(optarg);
                !format || *format == LogFormat::IcecastPlaylist)
                return needs("format", "auto, shoutcast or icecast");
            parsed.format = optarg;
            break;
        case kMaxRejects:
            if (!ParseNumber(optarg, std::numeric_limits<std::uint64_t>::max() / 10, number))
                return needs("max-rejects", "a whole number");
            parsed.maxRejects = number;
            break;
        case kReconnect:
            if (!ParseNumber(optarg, 86400, number))
                return needs("reconnect-seconds", "a whole number of seconds up to 86400");
            parsed.reconnectSeconds = static_cast<std::uint32_t>(number);
            break;
        case kRejects:
            if (*optarg == '\0')
                return needs("rejects", "a file name");
            parsed.rejectsPath = optarg;
            break;
        case kSummary:
            if (*optarg == '\0')
                return needs("summary", "a file name");
            parsed.summaryPath = optarg;
            break;
        case kQuiet:
            parsed.quiet = true;
            break;
        case 'h':
        case kHelp:
            parsed.help = true;
            break;
        case kVersion:
            parsed.version = true;
            break;
        case ':':
            error = "The option " + std::string(argv[optind - 1]) + " needs a value.";
            return false;
        default: {
            const std::string given = argv[optind - 1];
            const std::string name = given.substr(0, given.find('='));
            for (const option& known : kOptions)
                if (known.name && name == std::string("--") + known.name &&
                    known.has_arg == no_argument) {
                    error = "The option " + name + " takes no value.";
                    return false;
                }
            error = "Unknown option '" + given + "'.";
            return false;
        }
        }
    }
    for (int i = optind; i < argc; ++i) {
        if (!parsed.configPath.empty()) {
            error = "Only one configuration file can be given ('" + parsed.configPath + "' and '" +
                    argv[i] + "').";
            return false;
        }
        parsed.configPath = argv[i];
    }
    if (parsed.configPath.empty() && !parsed.help && !parsed.version) {
        error = "No configuration file was given.";
        return false;
    }
    return true;
}

std::vector<std::string> SplitDsnList(const std::string& text) {
    std::vector<std::string> names;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = text.find(',', from);
        std::string name = text.substr(from, comma == std::string::npos ? comma : comma - from);
        const std::size_t first = name.find_first_not_of(" \t");
        if (first == std::string::npos)
            return {};
        names.push_back(name.substr(first, name.find_last_not_of(" \t") - first + 1));
        if (comma == std::string::npos)
            return names;
        from = comma + 1;
    }
}

std::string CliUsage() {
    return "Usage: brenvale-run CONFIG [options]\n"
           "Loads the jobs of the configuration file CONFIG into the database, without a "
           "window.\n"
           "\n"
           "  --dsn NAME[,NAME...]       the data source to use instead of the configuration's;\n"
           "                             after a lost connection the names are tried in order\n"
           "  --continue-missing-tables  go on when a target table is missing (its lines are\n"
           "                             then refused) instead of loading nothing\n"
           "  --create-tables            create a missing target table (nine columns named\n"
           "                             after the log's fields) instead of asking\n"
           "  --commit-rows N            up to N rows per transaction (default: the "
           "configuration's\n"
           "                             CommitRows, otherwise 1, every row on its own)\n"
           "  --incremental              load only lines no earlier run loaded (positions in\n"
           "                             the table brenvale_checkpoint of the database)\n"
           "  --odbc-only                batches through ODBC only: no COPY for PostgreSQL, no\n"
           "                             SQLite library for SQLite (--no-copy says the same)\n"
           "  --durable-batches          every incremental batch waits for PostgreSQL's disk (by\n"
           "                             default those between durable ones, at least every 2\n"
           "                             seconds, do not: a server crash takes them back with\n"
           "                             their positions, and they are loaded again)\n"
           "  --format NAME              read every log as NAME: auto (each log's first lines\n"
           "                             tell; the default), shoutcast or icecast\n"
           "  --max-rejects N            exit with 12 when more than N lines were refused by the\n"
           "                             database (default 0)\n"
           "  --reconnect-seconds S      how long to try to connect again after the database\n"
           "                             connection was lost (default 300; 0: stop at once)\n"
           "  --rejects FILE             write every data line that inserted nothing to FILE\n"
           "  --summary FILE             write the run's summary as JSON to FILE\n"
           "  --quiet                    no progress and no summaries; only errors\n"
           "  --help, --version\n"
           "\n"
           "The rejects file has a header line, then one line per rejected data line with the\n"
           "tab-separated fields source, table, line, reason (short, refused, too-long,\n"
           "incomplete, in-doubt), sqlstate, message and raw (the line's bytes); in every field\n"
           "a backslash, tab, line feed and carriage return are written \\\\ \\t \\n \\r and "
           "other\n"
           "control bytes \\xHH.\n"
           "\n"
           "Exit codes: 0 success, 1 internal error, 2 usage, 3 configuration file, 4 data "
           "source,\n"
           "5 missing table, 6 table not emptied, 7 a log not read or downloaded, 8 table list,\n"
           "9 rejects or summary file, 10 database connection lost, 11 database full,\n"
           "12 more lines refused than --max-rejects, 13 no jobs, 130 interrupted (Ctrl-C or\n"
           "SIGTERM).\n";
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const CliEnvironment& environment) {
    try {
        return Run(args, out, err, environment);
    } catch (const std::exception& e) {
        err << kProgram << ": Unexpected failure: " << e.what() << '\n';
    } catch (...) {
        err << kProgram << ": Unexpected failure.\n";
    }
    return kExitInternal;
}

} // namespace brenvale

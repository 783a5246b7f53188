// brenvale-run: a configuration file's jobs loaded without a window, for schedulers.
#include "app/cli_runner.h"

#include "config/config_file.h"
#include "core/general.h"
#include "core/job.h"
#include "core/runner.h"
#include "core/version.h"
#include "data/odbc.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <iomanip>
#include <limits>
#include <optional>
#include <ostream>
#include <sstream>

namespace brenvale {

namespace {

constexpr const char* kProgram = "brenvale-run";
constexpr std::size_t kDiagnosticsShown = 5;
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
        // Calls in progress (a read, a database round trip) go on; the flag is seen after them.
        action.sa_flags = SA_RESTART;
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
        if (c == '\r' || c == '\n') {
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

bool ParseCount(std::string_view text, std::size_t& value) {
    if (text.empty() || text.size() > 9)
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return true;
}

/// What became of the lines of one job, or of the whole run.
struct LineCounts {
    std::uint64_t inserted = 0;
    std::uint64_t ignored = 0;
    std::uint64_t shortLines = 0;
    std::uint64_t refused = 0;
    std::uint64_t longLines = 0;

    std::uint64_t Read() const { return inserted + ignored + shortLines + refused + longLines; }
    std::uint64_t Skipped() const { return Read() - inserted; }
    void Add(const LineCounts& other) {
        inserted += other.inserted;
        ignored += other.ignored;
        shortLines += other.shortLines;
        refused += other.refused;
        longLines += other.longLines;
    }
};

std::string CountsText(const LineCounts& counts) {
    std::ostringstream text;
    text << "lines read: " << counts.Read() << "; rows inserted: " << counts.inserted
         << "; lines skipped: " << counts.Skipped() << " (comment/empty " << counts.ignored
         << ", short " << counts.shortLines << ", refused by the database " << counts.refused
         << ", too long " << counts.longLines << ")";
    return text.str();
}

/// The progress line on the error stream: redrawn in place on a terminal, a plain line now and
/// then otherwise, nothing when quiet.
class ConsoleStatus final : public StatusDisplay {
public:
    enum class Mode { Terminal, Plain, Quiet };

    ConsoleStatus(std::ostream& err, Mode mode, TickClock& clock)
        : err_(err), mode_(mode), clock_(clock), lastPlain_(clock.Ticks()) {}

    void BeginJob(int position, int count, const std::string& file, const LineCounts& counts,
                  const RunState& state) {
        Clear();
        label_ = '[' + std::to_string(position);
        label_.append("/").append(std::to_string(count)).append("] ").append(GetFileName(file));
        counts_ = &counts;
        state_ = &state;
        jobStart_ = clock_.Ticks();
    }

    void EndJob() {
        Clear();
        counts_ = nullptr;
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
    void SetStatus(const std::string& /*text*/) override {}
    void SetFilesProcessed(const std::string& /*text*/) override {}
    void SetRecordsInsertedFile(const std::string& /*text*/) override {}
    // The runner sets the total last in each refresh; one drawing per refresh.
    void SetRecordsInsertedTotal(const std::string& /*text*/) override { Draw(); }
    void SetProgressMaximum(float /*value*/) override {}
    void SetProgressMinimum(float /*value*/) override {}
    void SetProgressValue(float /*value*/) override {}

private:
    void Draw() {
        if (mode_ == Mode::Quiet || counts_ == nullptr)
            return;
        const std::uint32_t now = clock_.Ticks();
        if (mode_ == Mode::Plain &&
            static_cast<std::uint32_t>(now - lastPlain_) < kPlainProgressMilliseconds)
            return;
        std::ostringstream text;
        text << label_ << ": " << state_->RecordsThisFile << " rows, " << counts_->Skipped()
             << " skipped, total " << state_->RecordsTotal << " rows";
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
    const LineCounts* counts_ = nullptr;
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
    void Yield() override {
        if (Interrupted())
            state_.bCancel = true;
    }

private:
    RunState& state_;
};

/// The rejects file: a header, then one escaped tab-separated line per data line that inserted
/// nothing.
class RejectsFile {
public:
    bool Open(const std::string& path, std::string& error) {
        path_ = path;
        out_.open(path, std::ios::binary | std::ios::trunc);
        if (!out_.is_open()) {
            error = "The rejects file '" + path +
                    "' could not be created: " + std::strerror(errno) + ".";
            return false;
        }
        out_ << kRejectsHeader << '\n';
        return true;
    }

    bool IsOpen() const { return out_.is_open(); }

    void Write(const Job& job, std::uint64_t lineNumber, std::string_view reason,
               const DbResult& error, std::string_view raw) {
        if (!out_.is_open())
            return;
        out_ << EscapeRejectField(job.File) << '\t' << EscapeRejectField(job.DBTable) << '\t'
             << lineNumber << '\t' << reason << '\t' << EscapeRejectField(error.sqlState) << '\t'
             << EscapeRejectField(error.message) << '\t' << EscapeRejectField(raw) << '\n';
    }

    /// Closes the file; false with `error` set when anything failed to be written.
    bool Close(std::string& error) {
        if (!out_.is_open())
            return true;
        out_.close();
        if (out_.fail()) {
            error = "The rejects file '" + path_ + "' could not be written completely.";
            return false;
        }
        return true;
    }

private:
    std::string path_;
    std::ofstream out_;
};

/// Counts every line's fate, writes the rejects and the summaries, and sees Ctrl-C after each
/// line.
class CliObserver final : public RunObserver {
public:
    CliObserver(std::ostream& out, std::ostream& err, bool quiet, RejectsFile& rejects,
                RunState& state, ConsoleStatus& status, const CliEnvironment& environment)
        : out_(out), err_(err), quiet_(quiet), rejects_(rejects), state_(state), status_(status),
          environment_(environment) {}

    void OnJobStart(int position, int count, const Job& job) override {
        job_ = job;
        counts_ = {};
        diagnostics_.clear();
        longLines_.clear();
        lastLine_ = 0;
        jobsStarted_ = position;
        jobCount_ = count;
        status_.BeginJob(position, count, job.File, counts_, state_);
    }

    void OnLine(LineOutcome outcome, std::string_view rawLine, std::uint64_t lineNumber,
                const DbResult& error) override {
        WriteLongLinesBefore(lineNumber);
        switch (outcome) {
        case LineOutcome::Inserted:
            ++counts_.inserted;
            break;
        case LineOutcome::Ignored:
            ++counts_.ignored;
            break;
        case LineOutcome::Short:
            ++counts_.shortLines;
            rejects_.Write(job_, lineNumber, "short", DbResult::Success(), rawLine);
            break;
        case LineOutcome::Refused:
            ++counts_.refused;
            rejects_.Write(job_, lineNumber, "refused", error, rawLine);
            if (diagnostics_.size() < kDiagnosticsShown)
                diagnostics_.push_back("line " + std::to_string(lineNumber) + ": " +
                                       error.sqlState + ": " + Flatten(error.message));
            break;
        case LineOutcome::Pending:
            return;
        }
        lastLine_ = std::max(lastLine_, lineNumber);
        if (environment_.afterLine)
            environment_.afterLine(lineNumber);
        // Seen after every line, so a run stops right after the line in hand.
        if (Interrupted())
            state_.bCancel = true;
    }

    void OnLongLines(std::uint64_t count) override { counts_.longLines += count; }

    void OnLongLine(std::uint64_t lineNumber) override {
        // Held back until the lines before it are reported, so the rejects keep the log's order.
        longLines_.push_back(lineNumber);
        lastLine_ = std::max(lastLine_, lineNumber);
    }

    void OnJobEnd(int position, const Job& job, const std::string& failure) override {
        WriteLongLinesBefore(std::numeric_limits<std::uint64_t>::max());
        status_.EndJob();
        total_.Add(counts_);
        const bool download = job.File.compare(0, 7, "http://") == 0;
        if (!failure.empty() && download)
            err_ << kProgram << ": Error Downloading Log File: The log '" << job.File
                 << "' could not be downloaded: " << failure << '\n';
        if (!quiet_) {
            out_ << "job " << position << " of " << jobCount_ << ": " << job.File << " -> "
                 << job.DBTable << '\n';
            out_ << "  " << CountsText(counts_) << '\n';
            if (!diagnostics_.empty()) {
                out_ << "  database diagnostics (first " << diagnostics_.size() << " of "
                     << counts_.refused << "):\n";
                for (const std::string& line : diagnostics_)
                    out_ << "    " << line << '\n';
            }
            if (!failure.empty())
                out_ << "  failed: " << failure << '\n';
            if (state_.bCancel)
                out_ << "  interrupted after line " << lastLine_ << '\n';
        }
        out_ << std::flush;
    }

    void PrintRunSummary(std::uint32_t elapsedMs) {
        if (quiet_ || jobsStarted_ == 0)
            return;
        out_ << "run: " << jobsStarted_ << " of " << jobCount_ << " jobs; " << CountsText(total_)
             << "; " << std::fixed << std::setprecision(1) << elapsedMs / 1000.0 << " s";
        if (elapsedMs > 0)
            out_ << ", "
                 << static_cast<std::uint64_t>(static_cast<double>(total_.inserted) * 1000.0 /
                                               elapsedMs)
                 << " rows/s";
        out_ << '\n' << std::flush;
    }

    const LineCounts& Total() const { return total_; }
    const LineCounts& JobCounts() const { return counts_; }
    const brenvale::Job& CurrentJob() const { return job_; }
    int JobsStarted() const { return jobsStarted_; }
    int JobCount() const { return jobCount_; }
    std::uint64_t LastLine() const { return lastLine_; }

private:
    void WriteLongLinesBefore(std::uint64_t lineNumber) {
        while (!longLines_.empty() && longLines_.front() < lineNumber) {
            rejects_.Write(job_, longLines_.front(), "too-long",
                           DbResult::Failure("", "The line is longer than " +
                                                     std::to_string(LineSplitter::kDefaultMaxLine) +
                                                     " bytes; its bytes were not kept."),
                           "");
            longLines_.pop_front();
        }
    }

    std::ostream& out_;
    std::ostream& err_;
    bool quiet_;
    RejectsFile& rejects_;
    RunState& state_;
    ConsoleStatus& status_;
    const CliEnvironment& environment_;

    brenvale::Job job_;
    LineCounts counts_;
    LineCounts total_;
    std::vector<std::string> diagnostics_;
    std::deque<std::uint64_t> longLines_;
    std::uint64_t lastLine_ = 0;
    int jobsStarted_ = 0;
    int jobCount_ = 0;
};

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

    const std::string& configFile = arguments.configPath;
    const ConfigReadResult read = ReadConfig(configFile);
    if (read.status != ConfigStatus::Loaded) {
        err << kProgram << ": " << read.error << '\n';
        return kExitConfig;
    }
    const ConfigData& config = read.data;
    if (!read.warning.empty())
        err << kProgram << ": warning: " << read.warning << '\n';
    if (const std::string conflict = ConflictingOptions(config); !conflict.empty()) {
        err << kProgram << ": The configuration file '" << configFile
            << "' cannot be run as it stands. " << conflict << '\n';
        return kExitConfig;
    }
    if (config.jobs.empty()) {
        err << kProgram << ": The configuration file '" << configFile
            << "' holds no jobs; nothing was loaded.\n";
        return kExitNoJobs;
    }
    VectorJobList jobs(config.jobs);
    FixedOptions options;
    options.truncateOnStart = config.truncateOnce;
    options.truncateOnInsert = config.truncatePerFile;
    options.translateASCII = config.translateASCII;

    const std::string dsn = arguments.dsn.empty() ? config.dsn.value_or("") : arguments.dsn;
    if (dsn.empty()) {
        err << kProgram
            << ": No data source: the configuration file names none and --dsn was "
               "not given.\n";
        return kExitDsn;
    }
    odbc::Environment odbcEnvironment;
    if (!odbcEnvironment.ok()) {
        err << kProgram << ": The ODBC driver manager gave no environment.\n";
        return kExitDsn;
    }
    odbc::Connection connection(odbcEnvironment);
    if (const DbResult opened = connection.Open(dsn); !opened) {
        err << kProgram << ": The data source '" << dsn
            << "' could not be opened: " << Flatten(opened.message) << " (SQLSTATE "
            << opened.sqlState << ")\n";
        return kExitDsn;
    }

    RejectsFile rejects;
    if (!arguments.rejectsPath.empty() && !rejects.Open(arguments.rejectsPath, error)) {
        err << kProgram << ": " << error << '\n';
        return kExitRejects;
    }

    const InterruptGuard interruptGuard;
    RunState state;
    InterruptYielder yielder(state);
    CliObserver observer(out, err, arguments.quiet, rejects, state, status, environment);

    const std::uint32_t started = clock.Ticks();
    RunResult result = RunResult::Completed;
    int jobsFailed = 0;
    {
        JobRunner runner(
            RunHost{jobs, connection, status, prompts, yielder, options, clock, state});
        runner.SetObserver(&observer);
        runner.SetCommitRows(arguments.commitRows > 0 ? arguments.commitRows : config.commitRows);
        result = runner.ProcessJobs();
        jobsFailed = runner.JobsFailed();
    }
    status.Clear();
    observer.PrintRunSummary(static_cast<std::uint32_t>(clock.Ticks() - started));

    int code = kExitSuccess;
    switch (result) {
    case RunResult::Completed:
        if (jobsFailed > 0) {
            err << kProgram << ": " << jobsFailed << " of " << jobs.Count() << " jobs "
                << (jobsFailed == 1 ? "could not read its log" : "could not read their logs")
                << "; the other jobs were loaded.\n";
            code = kExitLogFailed;
        }
        break;
    case RunResult::NothingToDo:
        err << kProgram << ": The configuration file '" << configFile
            << "' holds no jobs; nothing was loaded.\n";
        code = kExitNoJobs;
        break;
    case RunResult::NoConnection:
        code = kExitDsn;
        break;
    case RunResult::TableCheckFailed:
        code = kExitCatalogue;
        break;
    case RunResult::MissingTable:
        code = kExitMissingTable;
        break;
    case RunResult::TruncateFailed:
        code = kExitTruncate;
        break;
    case RunResult::Cancelled:
        err << kProgram << ": Interrupted by " << SignalName() << ": stopped after line "
            << observer.LastLine() << " of job " << observer.JobsStarted() << " of "
            << observer.JobCount() << " ('" << observer.CurrentJob().File << "'); "
            << observer.JobCounts().inserted << " rows of that job and "
            << observer.Total().inserted << " rows in all were inserted.\n";
        code = kExitInterrupted;
        break;
    }
    if (!rejects.Close(error)) {
        err << kProgram << ": " << error << '\n';
        if (code == kExitSuccess)
            code = kExitRejects;
    }
    return code;
}

} // namespace

bool ParseCliArguments(const std::vector<std::string>& args, CliArguments& parsed,
                       std::string& error) {
    parsed = {};
    bool haveConfig = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (haveConfig) {
                error = "Only one configuration file can be given ('" + parsed.configPath +
                        "' and '" + arg + "').";
                return false;
            }
            parsed.configPath = arg;
            haveConfig = true;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        if (const auto equals = arg.find('='); equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        const auto takeValue = [&]() -> bool {
            if (value)
                return true;
            if (i + 1 >= args.size()) {
                error = "The option " + name + " needs a value.";
                return false;
            }
            value = args[++i];
            return true;
        };
        const auto noValue = [&]() -> bool {
            if (!value)
                return true;
            error = "The option " + name + " takes no value.";
            return false;
        };
        if (name == "--dsn") {
            if (!takeValue())
                return false;
            if (value->empty()) {
                error = "The option --dsn needs a data source name.";
                return false;
            }
            parsed.dsn = *value;
        } else if (name == "--commit-rows") {
            if (!takeValue())
                return false;
            std::size_t rows = 0;
            if (!ParseCount(*value, rows) || rows < 1 || rows > kMaxCommitRows) {
                error = "The option --commit-rows needs a whole number from 1 to " +
                        std::to_string(kMaxCommitRows) + ", not '" + *value + "'.";
                return false;
            }
            parsed.commitRows = rows;
        } else if (name == "--rejects") {
            if (!takeValue())
                return false;
            if (value->empty()) {
                error = "The option --rejects needs a file name.";
                return false;
            }
            parsed.rejectsPath = *value;
        } else if (name == "--continue-missing-tables") {
            if (!noValue())
                return false;
            parsed.continueMissingTables = true;
        } else if (name == "--quiet") {
            if (!noValue())
                return false;
            parsed.quiet = true;
        } else if (name == "--help" || name == "-h") {
            parsed.help = true;
        } else if (name == "--version") {
            parsed.version = true;
        } else {
            error = "Unknown option '" + arg + "'.";
            return false;
        }
    }
    if (!haveConfig && !parsed.help && !parsed.version) {
        error = "No configuration file was given.";
        return false;
    }
    return true;
}

std::string CliUsage() {
    return "Usage: brenvale-run CONFIG [--dsn NAME] [--continue-missing-tables]\n"
           "                    [--commit-rows N] [--rejects FILE] [--quiet]\n"
           "Loads the jobs of the configuration file CONFIG into the database, without a "
           "window.\n"
           "\n"
           "  --dsn NAME                 the data source to use instead of the configuration's\n"
           "  --continue-missing-tables  go on when a target table is missing (its lines are\n"
           "                             then refused) instead of loading nothing\n"
           "  --commit-rows N            up to N rows per transaction (default: the "
           "configuration's\n"
           "                             CommitRows, otherwise 1, every row on its own)\n"
           "  --rejects FILE             write every data line that inserted nothing to FILE\n"
           "  --quiet                    no progress and no summaries; only errors\n"
           "  --help, --version\n"
           "\n"
           "The rejects file has a header line, then one line per rejected data line with the\n"
           "tab-separated fields source, table, line, reason (short, refused, too-long),\n"
           "sqlstate, message and raw (the line's bytes); in every field a backslash, tab, line\n"
           "feed and carriage return are written \\\\ \\t \\n \\r and other control bytes "
           "\\xHH.\n"
           "\n"
           "Exit codes: 0 success, 1 internal error, 2 usage, 3 configuration file, 4 data "
           "source,\n"
           "5 missing table, 6 table not emptied, 7 a log not read or downloaded, 8 table list,\n"
           "9 rejects file, 10 no jobs, 130 interrupted (Ctrl-C or SIGTERM).\n";
}

std::string EscapeRejectField(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\':
            text += "\\\\";
            break;
        case '\t':
            text += "\\t";
            break;
        case '\n':
            text += "\\n";
            break;
        case '\r':
            text += "\\r";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                text += "\\x";
                text.push_back(kHex[byte >> 4]);
                text.push_back(kHex[byte & 0x0F]);
            } else {
                text.push_back(c);
            }
        }
    }
    return text;
}

std::string UnescapeRejectField(std::string_view text) {
    const auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes.push_back(text[i]);
            continue;
        }
        const char next = text[i + 1];
        if (next == '\\' || next == 't' || next == 'n' || next == 'r') {
            bytes.push_back(next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : '\\');
            ++i;
        } else if (next == 'x' && i + 3 < text.size() && hexValue(text[i + 2]) >= 0 &&
                   hexValue(text[i + 3]) >= 0) {
            bytes.push_back(static_cast<char>(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3])));
            i += 3;
        } else {
            bytes.push_back(text[i]);
        }
    }
    return bytes;
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

// The job runner: the table check, truncations and the load of every job in order.
#pragma once

#include "core/database.h"
#include "core/job.h"
#include "core/line_splitter.h"
#include "core/log_loader.h"
#include "core/run_state.h"

#include <cstdint>
#include <istream>
#include <string>

namespace brenvale {

/// How a run ended.
enum class RunResult {
    Completed,        ///< every job was processed (some may have failed; see JobsFailed)
    NothingToDo,      ///< the job list was empty
    NoConnection,     ///< no database connection was open
    TableCheckFailed, ///< the catalogue could not be read
    MissingTable,     ///< the user declined to go on without a table
    TruncateFailed,   ///< emptying a table failed; the run stopped there
    Cancelled,        ///< the user cancelled
};

/// Told about the course of a run, beyond what the status window shows.
class RunObserver : public LoadObserver {
public:
    virtual void OnJobStart(int position, int count, const Job& job) = 0;
    /// `failure` is empty when the log was read to its end (or the run was cancelled).
    virtual void OnJobEnd(int position, const Job& job, const std::string& failure) = 0;
    /// Lines of the job skipped for their length.
    virtual void OnLongLines(std::uint64_t count) = 0;
    /// One line skipped for its length (its bytes are not kept), numbered like the others.
    virtual void OnLongLine(std::uint64_t /*lineNumber*/) {}
};

/// Everything a run reaches the outside through.
struct RunHost {
    JobList& jobs;
    Database& database;
    StatusDisplay& status;
    Prompts& prompts;
    Yielder& yielder;
    const Options& options;
    TickClock& clock;
    RunState& state;
};

class JobRunner {
public:
    explicit JobRunner(const RunHost& host);

    void SetObserver(RunObserver* observer);
    /// Rows per transaction for the loader; 1 is row by row.
    void SetCommitRows(std::size_t rows) { loader_.SetCommitRows(rows); }

    /// Runs the whole job list. Leaves the runner idle on every way out.
    RunResult ProcessJobs();

    /// Loads every line of `stream` into `table` until its end or a cancel; false with `failure`
    /// set when reading failed.
    bool ProcessLocalFile(std::istream& stream, const std::string& table, std::string& failure);

    /// Downloads `url` and loads its lines into `table`; false with `failure` set when the
    /// download failed (nothing is shown to the user for that).
    bool ProcessURL(const std::string& url, const std::string& table, std::string& failure);

    /// Empties `table`: "TRUNCATE table;", or "DELETE FROM table;" where there is no TRUNCATE.
    DbResult TruncateTable(const std::string& table);

    /// Refreshes the two count lines when more than 200 ms have passed, yielding then.
    void UpdateRecordCounts();

    /// True when `table` is exactly one of the catalogue's names.
    static bool TableExists(const std::string& table, Database& database, DbResult& error);

    int JobsFailed() const { return jobsFailed_; }

private:
    bool HandleLine(std::string_view line, const std::string& table);
    void CountLongLines(const LineSplitter& splitter);
    bool LoadJob(const Job& job, std::string& failure);
    void EndRun();

    RunHost host_;
    LogLineLoader loader_;
    RunObserver* observer_ = nullptr;
    std::uint64_t lineNumber_ = 0;
    std::uint64_t longLinesCounted_ = 0;
    int jobsFailed_ = 0;
};

} // namespace brenvale

// What became of a run's lines: counts by reason per job and for the run, the first database
// diagnostics, the rejects file, and the summary as text (console, window) and as JSON.
#pragma once

#include "core/runner.h"

#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace brenvale {

/// What became of the lines of one job, or of the whole run.
struct LineCounts {
    std::uint64_t inserted = 0;
    std::uint64_t ignored = 0;
    std::uint64_t shortLines = 0;
    std::uint64_t refused = 0;
    std::uint64_t longLines = 0;
    std::uint64_t incomplete = 0;
    std::uint64_t inDoubt = 0;
    /// Loaded by earlier runs and skipped (incremental loading); not counted as read.
    std::uint64_t alreadyLoaded = 0;
    /// Inserted lines with a "-" (no value) stored as NULL in a column that is not text; they
    /// are counted as inserted too.
    std::uint64_t noValue = 0;
    /// Rows stored beyond one per inserted line: lines read as several rows (Icecast's split by
    /// title), and rows of refused lines that were stored.
    std::uint64_t extraRows = 0;

    std::uint64_t Rows() const { return inserted + extraRows; }
    std::uint64_t Read() const {
        return inserted + ignored + shortLines + refused + longLines + incomplete + inDoubt;
    }
    std::uint64_t Skipped() const { return Read() - inserted; }
    void Add(const LineCounts& other);
};

/// "lines read: ...; rows inserted: ...; lines skipped: ... (comment/empty ..., ...)".
std::string CountsText(const LineCounts& counts);

/// First line of a rejects file: the names of its tab-separated columns.
inline constexpr std::string_view kRejectsHeader =
    "source\ttable\tline\treason\tsqlstate\tmessage\traw";

/// `bytes` made safe for one field of a rejects line, reversibly: backslash, tab, line feed and
/// carriage return become \\ \t \n \r, every other byte below 0x20 and 0x7F becomes \xHH (two
/// upper-case hex digits); all other bytes stay as they are.
std::string EscapeRejectField(std::string_view bytes);

/// The reverse of EscapeRejectField; an unknown escape is kept as it stands.
std::string UnescapeRejectField(std::string_view text);

/// True when both paths name the same existing file (same device and inode).
bool SameFile(const std::string& a, const std::string& b);

/// The outcome of one job, as the summary shows it.
struct JobReport {
    int position = 0;
    Job job;
    LineCounts counts;
    std::vector<std::string> diagnostics; ///< the first few database messages, "line N: ..."
    std::vector<std::string> finished;    ///< rotated files whose tail was loaded
    std::string failure;                  ///< why the log could not be read, if it could not
    std::uint32_t milliseconds = 0;
    bool interrupted = false;
    std::uint64_t lastLine = 0;
};

/// Counts every line's fate and keeps what a summary needs; optionally writes the rejects.
class RunReport : public RunObserver {
public:
    static constexpr std::size_t kDiagnosticsShown = 5;

    explicit RunReport(TickClock& clock) : clock_(clock) {}

    /// Writes every line that inserted nothing to `path`; false with `error` set when it cannot
    /// be created.
    bool OpenRejects(const std::string& path, std::string& error);
    /// Closes the rejects file; false with `error` set when anything failed to be written.
    bool CloseRejects(std::string& error);
    const std::string& RejectsPath() const { return rejectsPath_; }
    std::uint64_t RejectsWritten() const { return rejectsWritten_; }
    /// With incremental loading an unfinished last line is held back for a later run, not
    /// rejected.
    void SetIncremental(bool incremental) { incremental_ = incremental; }

    void OnJobStart(int position, int count, const Job& job) override;
    void OnJobEnd(int position, const Job& job, const std::string& failure) override;
    void OnLine(LineOutcome outcome, std::string_view rawLine, const LineMark& mark,
                const DbResult& error) override;
    void OnNotice(const std::string& text) override;
    void OnExtraRows(std::uint64_t rows) override;
    void OnStream(const std::string& name, int stream, std::uint64_t alreadyLoaded,
                  bool rotated) override;
    void OnReconnected(std::uint64_t line, int attempts) override;
    void OnTableEmptied(const std::string& table, std::uint64_t rows) override;

    /// The run's time stands still from PauseClock to ResumeClock (pairs may nest): a question
    /// left open for minutes is no part of the loading.
    void PauseClock();
    void ResumeClock();

    /// Marks the job in hand as stopped by a cancel.
    void MarkInterrupted();
    /// The run's clock stops; the summary counts its time to here.
    void Finish();

    const std::vector<JobReport>& Jobs() const { return jobs_; }
    const LineCounts& Total() const { return total_; }
    const LineCounts& JobCounts() const;
    int JobCount() const { return jobCount_; }
    const std::vector<std::string>& Notices() const { return notices_; }
    /// The tables emptied before loading, in order, with the rows each held.
    struct EmptiedTable {
        std::string table;
        std::uint64_t rows = 0;
    };
    const std::vector<EmptiedTable>& Emptied() const { return emptied_; }
    std::uint32_t Milliseconds() const { return finishedMs_; }

    /// The summary of one job, several lines, each ending in a line break.
    std::string JobText(const JobReport& job) const;
    /// The run's summary line.
    std::string RunText() const;
    /// One line per table emptied before loading, with the rows it held.
    std::string EmptiedText() const;
    /// Every job's summary, the notices and the run's line: what a window shows after a run.
    std::string SummaryText() const;
    /// The whole summary as JSON, with the exit code the run ended with.
    std::string JsonText(int exitCode, const std::string& result) const;

private:
    void WriteReject(const LineMark& mark, std::string_view reason, const DbResult& error,
                     std::string_view raw);
    JobReport& Current();

    TickClock& clock_;
    std::uint32_t started_ = 0;
    std::uint32_t jobStarted_ = 0;
    std::uint32_t finishedMs_ = 0;
    bool startedClock_ = false;
    int jobCount_ = 0;
    std::vector<JobReport> jobs_;
    LineCounts total_;
    std::vector<std::string> notices_;
    std::vector<EmptiedTable> emptied_;
    std::string stream_; ///< the stream begun last
    /// The streams of the file in hand by number: a batch may still report lines of one
    /// after the next has begun.
    std::map<int, std::string> streamNames_;
    int pauses_ = 0;
    std::uint32_t pausedAt_ = 0;
    bool incremental_ = false;

    std::ofstream rejects_;
    std::string rejectsPath_;
    std::uint64_t rejectsWritten_ = 0;
};

} // namespace brenvale

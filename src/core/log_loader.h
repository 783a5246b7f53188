// Turns one W3C log line into one row of the target table.
#pragma once

#include "core/database.h"
#include "core/run_state.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brenvale {

/// What became of one log line.
enum class LineOutcome {
    Inserted, ///< the database took the row (and the counters grew)
    Ignored,  ///< empty line or "#" directive
    Short,    ///< fewer than ten fields
    Refused,  ///< the database refused the row
    Pending,  ///< waiting in a batch; its fate is reported when the batch is flushed
};

/// Most rows per transaction that a configuration or a command line may ask for.
inline constexpr std::size_t kMaxCommitRows = 1000000;

/// Told about every data line's final fate, with the raw bytes, for summaries and reject files.
class LoadObserver {
public:
    virtual ~LoadObserver() = default;
    virtual void OnLine(LineOutcome outcome, std::string_view rawLine, std::uint64_t lineNumber,
                        const DbResult& error) = 0;
};

/// Cuts a data line at every blank; false (and `fields` partly filled) when it has fewer than ten.
/// Views point into `line`.
bool SplitLogFields(std::string_view line, std::array<std::string_view, 10>& fields);

/// The log line loader: one prepared insert per job and table, one execution per data line.
class LogLineLoader {
public:
    LogLineLoader(Database& database, RunState& state, const Options& options, TickClock& clock);
    ~LogLineLoader();
    LogLineLoader(const LogLineLoader&) = delete;
    LogLineLoader& operator=(const LogLineLoader&) = delete;

    void SetObserver(LoadObserver* observer) { observer_ = observer; }

    /// Rows per transaction; 1 (the default) commits every row on its own. A batch is also
    /// flushed after 200 ms of work, so a slow source never holds rows back for long.
    void SetCommitRows(std::size_t rows);

    /// Loads one line into `table`. Never throws; failures only show in the outcome.
    LineOutcome InsertLogLine(std::string_view line, const std::string& table,
                              std::uint64_t lineNumber = 0);

    /// Commits any batch in hand (refused rows replayed one by one). Call before a truncation,
    /// at the end of a job and of a run.
    void Flush();

    /// Flushes, then forgets the prepared statement, so the next line prepares afresh.
    void Reset();

private:
    /// A line waiting in the batch: a row to insert, or a skipped line whose report waits so
    /// that observers hear of every line in the log's order.
    struct PendingRow {
        bool insert = false;
        LineOutcome outcome = LineOutcome::Pending;
        std::array<std::string, 9> values;
        std::string raw;
        std::uint64_t lineNumber = 0;
    };

    bool PrepareFor(const std::string& table, DbResult& error);
    void BuildValues(const std::array<std::string_view, 10>& fields, RowValues& values);
    void CountInserted();
    void Report(LineOutcome outcome, std::string_view raw, std::uint64_t lineNumber,
                const DbResult& error);
    PendingRow& NextPending(std::string_view line, std::uint64_t lineNumber);
    void FlushIfDue();
    bool CommitBatch(const std::vector<RowValues>& rows) noexcept;
    void ReportBatch(bool committed);

    Database& database_;
    RunState& state_;
    const Options& options_;
    TickClock& clock_;
    LoadObserver* observer_ = nullptr;

    std::unique_ptr<RowInserter> inserter_;
    std::string preparedTable_;
    bool prepared_ = false;
    DbResult prepareError_;

    std::size_t commitRows_ = 1;
    // Slots are reused from batch to batch, so their buffers are allocated once.
    std::vector<PendingRow> pending_;
    std::size_t pendingCount_ = 0;
    std::vector<RowValues> batchRows_;
    std::uint32_t batchStart_ = 0;

    std::array<std::string, 10> translated_;
    std::string dateTime_;
    std::array<std::string, 9> encoded_;
};

} // namespace brenvale

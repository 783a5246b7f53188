// Turns W3C log lines into rows of the target table, row by row or in transactions of many rows,
// with the position of incremental loading committed together with the rows it covers.
#pragma once

#include "core/content_hash.h"
#include "core/database.h"
#include "core/run_state.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brenvale {

/// Most rows per transaction that a configuration or a command line may ask for.
inline constexpr std::size_t kMaxCommitRows = 1000000;

/// What became of one log line.
enum class LineOutcome {
    Inserted,   ///< the database took the row (and the counters grew)
    Ignored,    ///< empty line or "#" directive
    Short,      ///< fewer than ten fields
    Refused,    ///< the database refused the row
    Pending,    ///< waiting in a batch; its fate is reported when the batch is committed
    InDoubt,    ///< sent, but the connection was lost before the database answered
    TooLong,    ///< longer than the line limit; its bytes were not kept
    Incomplete, ///< a last line still being written (the log grew, or the download was cut)
};

/// Told about every line's final fate, in the log's order, with the raw bytes, for summaries and
/// reject files.
class LoadObserver {
public:
    virtual ~LoadObserver() = default;
    virtual void OnLine(LineOutcome outcome, std::string_view rawLine, std::uint64_t lineNumber,
                        const DbResult& error) = 0;
    /// The line whose fate is told next stored `rows` rows more than the one of an inserted line
    /// (a line read as several rows), or, refused, that many of its rows.
    virtual void OnExtraRows(std::uint64_t /*rows*/) {}
    /// Something the user should hear about how the rows are written; said once per text.
    virtual void OnNotice(const std::string& /*text*/) {}
};

/// Where a line ends in its log: what a position records once the line is committed.
struct LineMark {
    std::uint64_t line = 0;                  ///< the line's number in its log, from 1
    std::uint64_t offset = 0;                ///< bytes of the log up to and including its line end
    std::uint64_t prefixHash = kHashStart;   ///< hash of those bytes
    std::uint64_t identityHash = kHashStart; ///< hash of the first identityLength of them
    std::uint64_t identityLength = 0;        ///< min(offset, the identity's size)
    int stream = 0; ///< the gzip member the line is in (0 for a plain file)
};

/// Cuts a data line at every blank; false (and `fields` partly filled) when it has fewer than ten.
/// Views point into `line`.
bool SplitLogFields(std::string_view line, std::array<std::string_view, 10>& fields);

/// Reads lines of a log in another format than SHOUTcast's W3C one into rows.
class LineRows {
public:
    enum class Kind { W3C, Rows, Short };
    virtual ~LineRows() = default;
    /// Rows: `rows` (emptied first) holds the line's rows, their nine values as text; W3C: the
    /// line is read as SHOUTcast writes it; Short: it inserts nothing.
    virtual Kind Read(std::string_view line, std::vector<std::array<std::string, 9>>& rows) = 0;
};

/// The log line loader of one run. Writers are opened on the run's database as jobs need them.
class LogLineLoader {
public:
    LogLineLoader(Database& database, RunState& state, const Options& options, TickClock& clock);
    ~LogLineLoader();
    LogLineLoader(const LogLineLoader&) = delete;
    LogLineLoader& operator=(const LogLineLoader&) = delete;

    void SetObserver(LoadObserver* observer) { observer_ = observer; }
    /// Reads data lines through `rows` from now on (null: as W3C lines).
    void SetLineRows(LineRows* rows) { lineRows_ = rows; }

    /// Rows per transaction; 1 (the default) commits every row on its own. A batch is also
    /// committed after 200 ms of work and when its values pass a few MiB.
    void SetCommitRows(std::size_t rows);
    std::size_t CommitRows() const { return commitRows_; }
    /// Lets PostgreSQL take batches through COPY (on by default).
    void SetAllowNative(bool allow) { allowNative_ = allow; }
    /// Waits before the `attempt`th retry of work a busy database turned away; the default
    /// sleeps a little longer each time.
    void SetRetryWait(std::function<void(int attempt)> wait) { retryWait_ = std::move(wait); }

    /// Keeps positions of `source` for the lines that follow (incremental loading): each commit
    /// stores the position of the stream in hand with them and moves `claim` on, so a commit
    /// fails (DbFailure::Taken) once another run stored lines of the source.
    void KeepPositions(const std::string& source, const SourceClaim& claim);
    /// The lines that follow come from the stream whose stored position is `position` (`isNew`
    /// when none is stored yet); the loader keeps its own copy.
    void StartPosition(const SourcePosition& position, bool isNew);
    /// Flushes, then keeps no more positions.
    void StopKeepingPositions();
    /// The position of the stream in hand as the loader last stored or will store it.
    const SourcePosition& Position() const { return position_; }
    /// The HTTP validator stored with the next position.
    void SetValidator(const std::string& validator) { position_.validator = validator; }

    /// Lines now come from another log (or the same one read again from `start`). Where
    /// positions are kept the lines in hand are committed first; Committed() is `start` when no
    /// line is in hand.
    bool StartStream(const LineMark& start);
    /// After Stopped and a new connection: whether the unit in doubt (whose commit's answer was
    /// lost) took effect, as the count of commits stored with it tells; false where nothing is
    /// counted.
    bool UnitCommittedAfterReconnect(const std::string& table);
    /// Drops the writer, whose statements die with their connection: call before the
    /// connection is made again.
    void ForgetWriter() {
        writer_.reset();
        writerOpened_ = false;
    }
    /// After Stopped: the first and last line numbers of the lines in hand (0, 0 for none).
    std::pair<std::uint64_t, std::uint64_t> UnfinishedLines() const;

    /// A line that inserts nothing and was not given to InsertLogLine (one too long to keep):
    /// reported in its place among the lines in hand.
    void SkipLine(LineOutcome outcome, std::string_view line, const LineMark& mark);

    /// Loads one line into `table`; `mark` says where it ends in its log. Never throws;
    /// failures only show in the outcome, and a failure of the database itself in Stopped().
    LineOutcome InsertLogLine(std::string_view line, const std::string& table,
                              const LineMark& mark = {});

    /// Commits the batch in hand (and the position). False when the database failed.
    bool Flush();
    /// Flushes, then forgets the writer, so the next line opens a fresh one.
    void Reset();

    /// The writer for `table`, opened when needed (null with `error` set when none can be had).
    TableWriter* Writer(const std::string& table, DbResult& error);

    /// The database itself failed (connection lost, disk full): nothing more is loaded until
    /// Resume or Reset. Lines not committed stay unreported.
    bool Stopped() const { return stopped_; }
    const DbResult& Failure() const { return failure_; }
    /// The last line whose fate is settled and committed.
    const LineMark& Committed() const { return committed_; }
    /// After Stopped: the lines in hand when the database failed, whose commit may have taken
    /// effect (false when they were surely not stored).
    bool UnfinishedInDoubt() const { return unfinishedInDoubt_; }
    /// After Stopped by a refusal: the connection turned out lost (`lost` says how), so the
    /// lines in hand may be stored where commits are marked. Returns the failure now in force.
    const DbResult& LostMeanwhile(const DbResult& lost);
    /// After Stopped, when the run gives up: reports the lines in hand that may be stored as
    /// InDoubt; the others stay unreported, as the run stopped before them.
    void ReportUnfinished();
    /// After Stopped and a new connection: forgets the dead writer and the lines in hand, but
    /// for those of the unit in doubt when `unitCommitted`, which are reported as committed.
    /// Loading goes on from Committed().
    void Resume(bool unitCommitted);

private:
    struct PendingRow {
        bool insert = false;
        LineOutcome outcome = LineOutcome::Pending;
        std::array<std::string, 9> values;
        std::vector<std::array<std::string, 9>> more; ///< further rows of the same line
        std::string raw;
        LineMark mark;
    };

    void OpenWriter(const std::string& table);
    void BuildValues(const std::array<std::string_view, 10>& fields, RowValues& values);
    /// Turns a row of LineRows into the database's text in place.
    void EncodeRow(std::array<std::string, 9>& row);
    /// The fate of a line from its rows' fates: the first refusal, if any.
    DbResult LineFate(std::span<const DbResult> fates);
    void CountInserted();
    void Report(LineOutcome outcome, std::string_view raw, std::uint64_t lineNumber,
                const DbResult& error);
    void Notice(const std::string& text);
    PendingRow& NextPending(std::string_view line, const LineMark& mark);
    void FlushIfDue();
    bool RowByRow() const;
    LineOutcome InsertNow(const RowValues& values, std::string_view line, const LineMark& mark);
    /// One batch in one transaction, retried while the database is busy.
    bool CommitBatch();
    /// Each row of the batch on its own, in its own transaction where positions are kept.
    bool ReplayOneByOne();
    /// Sends one row in a unit of its own (with the position or the run's mark, in a
    /// transaction where there is one), again while the database is busy: success with `fate`
    /// the row's outcome, or the failure that stops loading.
    DbResult SendOneRow(const PendingRow& row, bool transaction, DbResult& fate, bool& inDoubt);
    /// The position, or else the run's mark, in the transaction in hand.
    DbResult SaveProgress(const LineMark& mark);
    DbResult SavePosition(const LineMark& mark);
    /// Deletes the run's marks of the table in hand; the next table gets its own.
    void ForgetMarker();
    /// A transaction that moved the count of commits on committed.
    void ProgressCommitted();
    /// Commits move a count on (positions, or the run's mark), so a commit in doubt is settled.
    bool Tracking() const { return keepPositions_ || !marker_.empty(); }
    void Stop(const DbResult& failure, bool inDoubt);
    void ReportBatch(const std::vector<DbResult>& fates);
    void ClearPending();

    Database& database_;
    RunState& state_;
    const Options& options_;
    TickClock& clock_;
    LoadObserver* observer_ = nullptr;
    LineRows* lineRows_ = nullptr;
    std::vector<std::array<std::string, 9>> lineRowsRead_;
    std::function<void(int)> retryWait_;
    std::vector<std::string> notices_;

    std::unique_ptr<TableWriter> writer_;
    std::string writerTable_;
    bool writerOpened_ = false;
    DbResult writerError_;
    bool allowNative_ = true;

    bool keepPositions_ = false;
    std::string positionSource_;
    SourcePosition position_;
    bool positionIsNew_ = false;
    SourceClaim claim_;
    std::string marker_; ///< the source the run's commits are marked under, if any
    bool markerTried_ = false;
    std::size_t inDoubtRows_ = 0; ///< the lines in hand the unit in doubt holds, from the first

    std::size_t commitRows_ = 1;
    std::vector<PendingRow> pending_;
    std::size_t pendingCount_ = 0;
    std::size_t pendingBytes_ = 0;
    std::size_t pendingInserts_ = 0;
    std::uint32_t batchStart_ = 0;
    std::vector<RowValues> batchRows_;
    std::vector<DbResult> fates_;
    std::size_t sentInserted_ = 0; ///< rows SendOneRow's last insert stored
    std::size_t lineStored_ = 0;   ///< rows stored of the line whose fate is reported next

    LineOutcome lastOutcome_ = LineOutcome::Pending;
    std::vector<DbResult> unfinishedFates_;
    bool stopped_ = false;
    DbResult failure_;
    bool unfinishedInDoubt_ = false;
    LineMark committed_;

    std::array<std::string, 10> translated_;
    std::string dateTime_;
    std::array<std::string, 9> encoded_;
};

} // namespace brenvale

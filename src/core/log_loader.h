// Turns W3C log lines into rows of the target table, row by row or in transactions of many rows,
// with the position of incremental loading committed together with the rows it covers.
#pragma once

#include "core/content_hash.h"
#include "core/database.h"
#include "core/log_line.h"
#include "core/run_state.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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
    /// `mark` says where the line ends: its number, and the stream (gzip member) it is in.
    virtual void OnLine(LineOutcome outcome, std::string_view rawLine, const LineMark& mark,
                        const DbResult& error) = 0;
    /// The line whose fate is told next stored `rows` rows more than the one of an inserted line
    /// (a line read as several rows), or, refused, that many of its rows.
    virtual void OnExtraRows(std::uint64_t /*rows*/) {}
    /// Something the user should hear about how the rows are written; said once per text.
    virtual void OnNotice(const std::string& /*text*/) {}
};

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
    /// committed after a second of work and when its lines pass 16 MiB.
    void SetCommitRows(std::size_t rows);
    std::size_t CommitRows() const { return commitRows_; }
    /// Lets batches go through the database's own library (COPY, SQLite's; on by default).
    void SetAllowNative(bool allow) { allowNative_ = allow; }
    /// Lets batches that keep positions commit without waiting for the disk where the database
    /// can (PostgreSQL), with a durable commit every two seconds and at each log's end.
    void SetLazyCommits(bool lazy) { lazyCommits_ = lazy; }
    /// Waits before the `attempt`th retry of work a busy database turned away; the default
    /// sleeps a little longer each time.
    void SetRetryWait(std::function<void(int attempt)> wait) { retryWait_ = std::move(wait); }

    /// Keeps positions of `source` for the lines that follow (incremental loading): each commit
    /// stores the position of the stream in hand with them and moves `claim` on, so a commit
    /// fails (DbFailure::Taken) once another run stored lines of the source.
    void KeepPositions(const std::string& source, const SourceClaim& claim);
    /// The lines that follow come from stream `stream` (a gzip member) of a log, whose stored
    /// position is `position` (`isNew` when none is stored yet); the loader keeps its own copy.
    /// A later member of the same file shares the batch in hand; anything else commits it first.
    void StartPosition(const SourcePosition& position, bool isNew, int stream = 0);
    /// Flushes, then keeps no more positions.
    void StopKeepingPositions();
    /// The HTTP validator stored with the next position.
    void SetValidator(const std::string& validator) {
        if (!progress_.streams.empty())
            progress_.streams.back().position.validator = validator;
    }

    /// Lines now come from another log (or the same one read again from `start`); Committed()
    /// is `start` when nothing is in hand.
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
    /// The last line committed durably: a crash of the server cannot take it back.
    const LineMark& Durable() const { return lazy_.empty() ? committed_ : lazy_.front().mark; }
    /// After Resume: where the server lost lazy commits (it crashed), goes back to the last one
    /// it kept, so the lines after it are loaded again; lines reported before are not reported
    /// twice. False (the loader stopped, with the reason) when the database cannot tell.
    bool TakeBackLostCommits(const std::string& table);
    /// The last line handed to the loader, committed or in hand.
    const LineMark& LastLine() const {
        return pendingCount_ > 0 ? pending_[pendingCount_ - 1].mark : committed_;
    }
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
    /// A line of the batch in hand; its row, if it has one, is the writer's.
    struct PendingLine {
        bool insert = false;
        std::size_t rows = 0; ///< the rows it was read as, given to the writer in turn
        LineOutcome outcome = LineOutcome::Pending;
        std::size_t from = 0, to = 0; ///< where its bytes are in raw_
        LineMark mark;
    };
    std::string_view Raw(const PendingLine& line) const {
        return std::string_view(raw_).substr(line.from, line.to - line.from);
    }

    void OpenWriter(const std::string& table);
    void StartMarking();
    /// Reads a data line as rows and hands them to the writer; Pending when they went.
    LineOutcome AddRows(std::string_view line, const std::string& table, const LineMark& mark);
    /// Turns a row of LineRows into the database's text in place.
    void EncodeRow(std::array<std::string, 9>& row);
    /// The fate of a line from its rows' fates (the first refusal, if any), counting them.
    DbResult LineFate(std::span<const DbResult> fates);
    void CountInserted();
    void Report(LineOutcome outcome, std::string_view raw, const LineMark& mark,
                const DbResult& error);
    void Notice(const std::string& text);
    PendingLine& NextPending(std::string_view line, const LineMark& mark);
    void FlushIfDue();
    /// A kept position moved on although no line is in hand.
    bool PositionMoved() const;
    bool RowByRow() const;
    /// Flush, the commit allowed to be lazy.
    bool FlushBatch(bool lazy);
    /// Has the writer store the batch in hand with the progress; reports what it settled.
    bool FinishBatch(bool lazy);
    /// A commit went through: kept to go back to where it was lazy, the end of those otherwise.
    void NoteCommit(bool lazy);
    /// A line reported before a crash took its commit back, now loaded again.
    bool Replayed(const LineMark& mark);
    /// Reports the first `lines` lines in hand with their rows' fates from `fates`, the first
    /// of them the fate of the first row among them; returns how many fates were used.
    std::size_t ReportLines(std::size_t lines, const std::vector<DbResult>& fates);
    /// The lines in hand up to and including the one of row `rows` - 1 (0 for none).
    std::size_t LinesOfRows(std::size_t rows) const;
    /// Deletes the run's marks of the table in hand; the next table gets its own.
    void ForgetMarker();
    /// Commits move a count on (positions, or the run's mark), so a commit in doubt is settled.
    bool Tracking() const { return progress_.kind != UnitProgress::Kind::None; }
    bool KeepsPositions() const { return progress_.kind == UnitProgress::Kind::Position; }
    void Stop(const DbResult& failure, bool inDoubt);
    void DropLines(std::size_t lines);
    void ClearPending();

    Database& database_;
    RunState& state_;
    const Options& options_;
    TickClock& clock_;
    LoadObserver* observer_ = nullptr;
    LineRows* lineRows_ = nullptr;
    std::vector<std::array<std::string, 9>> lineRowsRead_;
    std::size_t lineStored_ = 0; ///< rows stored of the line whose fate is reported next
    std::function<void(int)> retryWait_;
    std::vector<std::string> notices_;

    std::unique_ptr<TableWriter> writer_;
    std::string writerTable_;
    bool writerOpened_ = false;
    DbResult writerError_;
    bool allowNative_ = true;

    UnitProgress progress_; ///< what each commit stores beside its rows
    bool markerTried_ = false;

    /// Where a commit left the run: its count of commits, its last line and its progress.
    struct Settled {
        std::uint64_t commits = 0;
        LineMark mark;
        UnitProgress progress;
    };
    /// Where the last commit left the run.
    Settled Standing() const { return {progress_.claim.commits, committed_, progress_}; }
    /// The last durable commit, then the lazy ones after it (empty when all are durable).
    std::vector<Settled> lazy_;
    bool lazyCommits_ = false;
    /// The next commit is durable: a job's first, and the first after a new connection.
    bool durableNext_ = true;
    std::uint32_t lastDurable_ = 0;         ///< the clock's ticks at the last durable commit
    std::optional<LineMark> replayThrough_; ///< lines up to here were reported already

    std::size_t commitRows_ = 1;
    std::vector<PendingLine> pending_;
    std::string raw_; ///< the bytes of the lines in hand, one after another
    std::size_t pendingCount_ = 0;
    std::size_t pendingBytes_ = 0;
    std::size_t pendingInserts_ = 0;
    std::uint32_t batchStart_ = 0;
    BatchOutcome outcome_;

    LineOutcome lastOutcome_ = LineOutcome::Pending;
    /// After a stop: the fates of the rows in hand, as the writer found them before the unit in
    /// doubt (its first lines, `inDoubtLines_` of them) lost its answer.
    std::vector<DbResult> unfinishedFates_;
    std::size_t inDoubtLines_ = 0;
    bool stopped_ = false;
    DbResult failure_;
    bool unfinishedInDoubt_ = false;
    LineMark committed_;

    LogLineParser parser_;
    std::array<std::string, 9> encoded_;
};

} // namespace brenvale

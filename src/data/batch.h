// The unit of work of a batch, whatever way its rows travel: rows sent together with the
// progress beside them, refused rows found by halving, busy answers tried again, and a
// transaction that is rolled back unless it was committed.
#pragma once

#include "core/database.h"
#include "data/checkpoints.h"
#include "data/row_fates.h"
#include "data/sql_session.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brenvale {

/// One way of sending rows to a table on one session (ODBC statements, COPY, the SQLite
/// library). It knows how to send rows and undo them; the batch writer decides what to send.
class Channel {
public:
    virtual ~Channel() = default;
    virtual std::string Method() const = 0;
    /// False where a rollback cannot undo rows.
    virtual bool CanRollBack() const { return true; }
    /// The session whose transactions carry the rows, for the progress stored beside them.
    virtual SqlSession& Session() = 0;
    /// The refusal of a row this way can never store, found before anything is sent.
    virtual DbResult Screen(const RowValues& /*row*/) { return DbResult::Success(); }

    virtual DbResult Begin() = 0;
    virtual DbResult Commit() = 0;
    /// Commits without waiting for the disk, where the database can; false when it cannot (the
    /// commit is then an ordinary one).
    virtual bool CommitLazily(DbResult& committed) {
        committed = Commit();
        return false;
    }
    virtual DbResult Rollback() = 0;

    /// How many of the leading `rows` one statement takes (at least one).
    virtual std::size_t Unit(std::span<const RowValues> rows) { return rows.size(); }
    /// Sends `rows` (a unit, or a part of one) in the transaction in hand, or autocommitted one
    /// at a time when none is open; ok only when the database stored every one of them.
    virtual DbResult Send(std::span<const RowValues> rows) = 0;

    /// True when rows may go out while the batch is still parsed (Stream); EndStream then
    /// tells whether the database stored them all.
    virtual bool Streams() const { return false; }
    virtual DbResult Stream(const RowValues& /*row*/) { return DbResult::Success(); }
    virtual DbResult EndStream() { return DbResult::Success(); }

    /// Marks the transaction, so that what is sent next can be undone alone.
    virtual DbResult Mark() = 0;
    /// Undoes what was sent since the mark and drops the mark; DbFailure::Unisolated when the
    /// database cannot undo it alone.
    virtual DbResult UndoToMark() = 0;
    /// Keeps what was sent since the mark and drops the mark.
    virtual DbResult ReleaseMark() = 0;

    /// Whether the connection still answers (a dead connection may be worded as a refusal).
    virtual DbResult Ping() { return DbResult::Success(); }
};

/// A transaction that is rolled back unless it was committed. A rollback's failure is the
/// caller's to report: Undo returns it, and the destructor keeps it for Failure().
class Transaction {
public:
    explicit Transaction(Channel& channel) : channel_(channel) {}
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    DbResult Begin();
    /// `lazy`: the commit may skip waiting for the disk; `wasLazy` says whether it did.
    DbResult Commit(bool lazy = false, bool* wasLazy = nullptr);
    /// Rolls back what is open; a failure says the transaction's fate is unknown.
    DbResult Undo();

private:
    Channel& channel_;
    bool open_ = false;
};

/// The writer of a table over one channel: the batch in hand, and the one unit of work that
/// stores it.
class BatchWriter final : public TableWriter {
public:
    BatchWriter(std::unique_ptr<Channel> channel, const WriterTable& table,
                const WriterOptions& options, std::string notice = {});
    ~BatchWriter() override;
    BatchWriter(const BatchWriter&) = delete;
    BatchWriter& operator=(const BatchWriter&) = delete;

    bool CanRollBack() const override { return channel_->CanRollBack(); }
    std::string Method() const override { return channel_->Method(); }
    std::string Notice() const override { return notice_; }
    DbResult Add(const RowValues& row, const LineMark& mark) override;
    DbResult Finish(const LineMark& end, UnitProgress& progress, BatchOutcome& outcome) override;
    DbResult LoadPositions(const std::string& source, std::vector<SourcePosition>& positions,
                           SourceClaim& claim) override;
    DbResult LoadOtherPositions(const std::string& source,
                                std::vector<SourcePosition>& positions) override;
    DbResult ForgetClaim(const std::string& source) override;

private:
    /// The rows of the batch that are sent (those Screen let through) and where each stands.
    struct Sendable {
        std::vector<RowValues> rows;
        std::vector<std::size_t> index; ///< the row of the batch each one is
    };

    bool InTransactions(const UnitProgress& progress) const;
    RowValues RowAt(std::size_t r) const;
    Sendable Gather() const;
    void Clear();

    /// `rows` (and the lines up to `end`) in one unit of work with the progress, tried again
    /// while busy; their fates in `fates`. `inDoubt` is set when the commit's answer was lost.
    DbResult RunUnit(std::span<const RowValues> rows, const LineMark& end, UnitProgress& progress,
                     std::span<DbResult> fates, bool& inDoubt);
    /// One try of a unit of work in `transaction` (begun, or holding the streamed rows).
    DbResult TryUnit(Transaction& transaction, bool streamed, std::span<const RowValues> rows,
                     const LineMark& end, UnitProgress& progress, std::span<DbResult> fates,
                     bool& inDoubt);
    /// The rows without marks; on a refusal `refusedAt`/`refusedRows` say which statement.
    DbResult SendQuickly(std::span<const RowValues> rows, std::size_t& refusedAt,
                         std::size_t& refusedRows);
    /// The rows statement by statement, each marked, refused statements halved down to their
    /// refused rows; `known` is the refusal of rows [knownAt, knownAt + knownRows) already.
    DbResult SendCarefully(std::span<const RowValues> rows, std::span<DbResult> fates,
                           const DbResult& known, std::size_t knownAt, std::size_t knownRows);
    DbResult Isolate(std::span<const RowValues> rows, std::span<DbResult> fates,
                     const DbResult* known);
    /// Each line's rows in a unit of work of their own (a table that cannot undo part of a
    /// transaction).
    DbResult EachAlone(const Sendable& all, const LineMark& end, UnitProgress& progress,
                       BatchOutcome& outcome);
    /// The rows autocommitted one by one, each line's progress after its last row.
    DbResult WithoutTransactions(const Sendable& all, const LineMark& end, UnitProgress& progress,
                                 BatchOutcome& outcome);
    /// One row autocommitted, again while busy.
    DbResult SendAlone(const RowValues& row);
    /// The progress moved to `end`, autocommitted.
    DbResult SaveAlone(const LineMark& end, UnitProgress& progress);
    /// The first row of the batch after the line of row `r`.
    std::size_t PastLine(std::size_t r) const;
    /// Stores `next` (the progress moved to the unit's end) in the transaction in hand.
    DbResult SaveProgress(const UnitProgress& next);
    /// The end of sendable row `i` of `all`: its own line, or `end` for the last.
    LineMark EndOf(const Sendable& all, std::size_t i, const LineMark& end) const;
    void Wait(int attempt);
    CheckpointTable& Checkpoints();

    std::unique_ptr<Channel> channel_;
    WriterTable table_;
    WriterOptions options_;
    std::string notice_;
    std::optional<CheckpointTable> checkpoints_;

    std::string bytes_;                             ///< the batch's values, one after another
    std::vector<std::array<std::uint32_t, 10>> at_; ///< where each row's values start and end
    std::vector<bool> noValues_;                    ///< a row has a "-" that goes as NULL
    std::vector<LineMark> marks_;
    std::vector<std::pair<std::size_t, DbResult>> screened_; ///< rows refused before sending
    std::optional<Transaction> streamed_; ///< the transaction rows were streamed in
    DbResult streamFailure_;
};

} // namespace brenvale

// The unit of work of a batch, whatever way its rows travel.
#include "data/batch.h"

#include <chrono>
#include <thread>

namespace brenvale {

namespace {

// Tries in all before work a busy database keeps turning away counts as refused.
constexpr int kBusyAttempts = 5;
// A batch's buffer that grew past this for outsized values is given back after the batch.
constexpr std::size_t kKeptBytes = std::size_t{64} * 1024 * 1024;

/// Whether two rows come from the same line (a line may be read as several rows).
bool SameLine(const LineMark& a, const LineMark& b) {
    return a.stream == b.stream && a.line == b.line && a.offset == b.offset;
}

/// A refusal the rows can be isolated from: not the database's own failure, busy or a
/// transaction that cannot be undone in part.
bool Refusal(const DbResult& result) {
    return !result && !Stops(result) && result.failure != DbFailure::Unisolated;
}

/// The failure of a rollback: the transaction's fate is unknown, so nothing more is sent on
/// the session (a lost connection stays what it is).
DbResult RollbackFailure(DbResult failed) {
    if (failed.Fatal())
        return failed;
    failed.message = "The transaction could not be rolled back, so nothing more is sent on this "
                     "connection: " +
                     failed.message;
    failed.failure = DbFailure::ConnectionLost;
    return failed;
}

} // namespace

Transaction::~Transaction() {
    // Only a failure on the way out (the database's own) leaves a transaction open here, and
    // that failure is what gets reported.
    if (open_)
        (void)channel_.Rollback();
}

DbResult Transaction::Begin() {
    DbResult begun = channel_.Begin();
    open_ = begun.ok;
    return begun;
}

DbResult Transaction::Commit(bool lazy, bool* wasLazy) {
    open_ = false;
    if (!lazy)
        return channel_.Commit();
    DbResult committed;
    const bool lazily = channel_.CommitLazily(committed);
    if (wasLazy)
        *wasLazy = lazily && committed;
    return committed;
}

DbResult Transaction::Undo() {
    if (!open_)
        return DbResult::Success();
    open_ = false;
    DbResult undone = channel_.Rollback();
    return undone ? undone : RollbackFailure(std::move(undone));
}

BatchWriter::BatchWriter(std::unique_ptr<Channel> channel, const WriterTable& table,
                         const WriterOptions& options, std::string notice)
    : channel_(std::move(channel)), table_(table), options_(options), notice_(std::move(notice)) {}

BatchWriter::~BatchWriter() {
    if (streamed_)
        (void)streamed_->Undo();
}

bool BatchWriter::InTransactions(const UnitProgress& progress) const {
    return channel_->CanRollBack() &&
           (options_.batches || progress.kind != UnitProgress::Kind::None);
}

DbResult BatchWriter::Add(const RowValues& row, const LineMark& mark) {
    const std::size_t r = marks_.size();
    auto& at = at_.emplace_back();
    at[0] = static_cast<std::uint32_t>(bytes_.size());
    bool noValue = false;
    for (std::size_t c = 0; c < row.size(); ++c) {
        bytes_.append(row[c]);
        at[c + 1] = static_cast<std::uint32_t>(bytes_.size());
        noValue = noValue || IsNoValue(row[c], table_.noValue[c]);
    }
    marks_.push_back(mark);
    noValues_.push_back(noValue);
    if (DbResult screened = channel_->Screen(row); !screened) {
        screened_.emplace_back(r, std::move(screened));
        return DbResult::Success();
    }
    if (!options_.batches || !channel_->Streams() || !streamFailure_)
        return DbResult::Success();
    if (!streamed_) {
        streamed_.emplace(*channel_);
        if (DbResult begun = streamed_->Begin(); !begun) {
            streamed_.reset();
            streamFailure_ = begun;
            return begun.Fatal() ? begun : DbResult::Success();
        }
    }
    DbResult streamed = channel_->Stream(row);
    if (!streamed)
        streamFailure_ = streamed;
    return streamed.Fatal() ? streamed : DbResult::Success();
}

RowValues BatchWriter::RowAt(std::size_t r) const {
    RowValues values;
    const auto& at = at_[r];
    for (std::size_t c = 0; c < values.size(); ++c)
        values[c] = std::string_view(bytes_).substr(at[c], at[c + 1] - at[c]);
    return values;
}

BatchWriter::Sendable BatchWriter::Gather() const {
    Sendable all;
    all.rows.reserve(marks_.size());
    all.index.reserve(marks_.size());
    std::size_t next = 0;
    for (std::size_t r = 0; r < marks_.size(); ++r) {
        if (next < screened_.size() && screened_[next].first == r) {
            ++next;
            continue;
        }
        all.rows.push_back(RowAt(r));
        all.index.push_back(r);
    }
    return all;
}

void BatchWriter::Clear() {
    if (streamed_)
        (void)streamed_->Undo();
    streamed_.reset();
    streamFailure_ = DbResult::Success();
    if (bytes_.capacity() > kKeptBytes)
        std::string().swap(bytes_);
    bytes_.clear();
    at_.clear();
    marks_.clear();
    noValues_.clear();
    screened_.clear();
}

LineMark BatchWriter::EndOf(const Sendable& all, std::size_t i, const LineMark& end) const {
    return i + 1 == all.rows.size() ? end : marks_[all.index[i]];
}

DbResult BatchWriter::Finish(const LineMark& end, UnitProgress& progress, BatchOutcome& outcome) {
    outcome = BatchOutcome();
    outcome.fates.assign(marks_.size(), DbResult::Success());
    for (auto& [r, refusal] : screened_)
        outcome.fates[r] = std::move(refusal);
    const Sendable all = Gather();
    DbResult result;
    if (!InTransactions(progress)) {
        result = WithoutTransactions(all, end, progress, outcome);
    } else {
        std::vector<DbResult> fates(all.rows.size());
        bool inDoubt = false;
        result = RunUnit(all.rows, end, progress, fates, inDoubt);
        for (std::size_t i = 0; i < fates.size(); ++i)
            outcome.fates[all.index[i]] = std::move(fates[i]);
        if (result) {
            outcome.committed = marks_.size();
            outcome.lazy = progress.lazy;
        } else if (result.failure == DbFailure::Unisolated) {
            // A unit per line commits durably: the count of commits could not tell which of
            // them a crash took back.
            progress.lazy = false;
            result = EachAlone(all, end, progress, outcome);
        } else if (result.Fatal())
            outcome.inDoubt = marks_.size();
        result.inDoubt = result.inDoubt || inDoubt;
    }
    if (result)
        for (std::size_t r = 0; r < marks_.size(); ++r)
            outcome.fates[r].noValue = outcome.fates[r].ok && noValues_[r];
    Clear();
    return result;
}

std::size_t BatchWriter::PastLine(std::size_t r) const {
    while (r + 1 < marks_.size() && SameLine(marks_[r + 1], marks_[r]))
        ++r;
    return r + 1;
}

DbResult BatchWriter::EachAlone(const Sendable& all, const LineMark& end, UnitProgress& progress,
                                BatchOutcome& outcome) {
    const std::size_t n = all.rows.size();
    // A unit per line: the rows one line was read as commit together with its position.
    for (std::size_t i = 0, j = 0; i < n; i = j) {
        for (j = i + 1; j < n && SameLine(marks_[all.index[j]], marks_[all.index[i]]); ++j) {
        }
        std::vector<DbResult> fates(j - i);
        bool inDoubt = false;
        DbResult done = RunUnit(std::span(all.rows).subspan(i, j - i), EndOf(all, j - 1, end),
                                progress, fates, inDoubt);
        for (std::size_t k = 0; k < fates.size(); ++k)
            outcome.fates[all.index[i + k]] = std::move(fates[k]);
        const std::size_t past = j == n ? marks_.size() : PastLine(all.index[j - 1]);
        if (!done) {
            done.inDoubt = inDoubt;
            outcome.inDoubt = done.Fatal() ? past - outcome.committed : 0;
            return done;
        }
        outcome.committed = past;
    }
    if (n == 0) {
        bool inDoubt = false;
        DbResult done = RunUnit({}, end, progress, {}, inDoubt);
        done.inDoubt = inDoubt;
        return done;
    }
    return DbResult::Success();
}

DbResult BatchWriter::RunUnit(std::span<const RowValues> rows, const LineMark& end,
                              UnitProgress& progress, std::span<DbResult> fates, bool& inDoubt) {
    for (int attempt = 1;; ++attempt) {
        if (rows.empty() && progress.kind == UnitProgress::Kind::None)
            return DbResult::Success();
        DbResult result;
        if (streamed_ && attempt == 1) {
            result = TryUnit(*streamed_, true, rows, end, progress, fates, inDoubt);
            streamed_.reset();
        } else {
            if (streamed_)
                if (DbResult undone = streamed_->Undo(); !undone)
                    return undone;
            streamed_.reset();
            Transaction transaction(*channel_);
            result = transaction.Begin();
            if (result)
                result = TryUnit(transaction, false, rows, end, progress, fates, inDoubt);
        }
        if (result || result.failure != DbFailure::Busy)
            return result;
        if (attempt < kBusyAttempts) {
            Wait(attempt);
            continue;
        }
        if (rows.empty())
            return result;
        // Still busy after every try: the rows count as refused, and the progress goes on.
        for (DbResult& fate : fates)
            fate = result;
        rows = {};
        fates = {};
        attempt = 0;
    }
}

DbResult BatchWriter::TryUnit(Transaction& transaction, bool streamed,
                              std::span<const RowValues> rows, const LineMark& end,
                              UnitProgress& progress, std::span<DbResult> fates, bool& inDoubt) {
    std::fill(fates.begin(), fates.end(), DbResult::Success());
    std::size_t refusedAt = 0;
    std::size_t refusedRows = rows.size();
    DbResult sent = streamed ? (streamFailure_ ? channel_->EndStream() : streamFailure_)
                             : SendQuickly(rows, refusedAt, refusedRows);
    // One row that took its transaction down with it is simply refused.
    if (sent.failure == DbFailure::Unisolated && rows.size() == 1)
        sent.failure = DbFailure::Refused;
    if (Refusal(sent)) {
        // The quick way holds no marks: undo it all and find the refused rows statement by
        // statement.
        if (DbResult undone = transaction.Undo(); !undone)
            return undone;
        if (DbResult begun = transaction.Begin(); !begun)
            return begun;
        sent = SendCarefully(rows, fates, sent, refusedAt, refusedRows);
    }
    if (!sent) {
        if (DbResult undone = transaction.Undo(); !undone && !sent.Fatal())
            return undone;
        return sent;
    }
    UnitProgress next = progress;
    next.MoveTo(end);
    if (DbResult saved = SaveProgress(next); !saved) {
        if (DbResult undone = transaction.Undo(); !undone && !saved.Fatal())
            return undone;
        return saved;
    }
    bool lazily = false;
    DbResult committed = transaction.Commit(progress.lazy, &lazily);
    if (committed) {
        progress = std::move(next);
        progress.lazy = lazily;
        progress.Committed();
        return committed;
    }
    inDoubt = committed.inDoubt;
    // A commit the database refused (a constraint checked at the end): each row on its own
    // finds the one it refuses.
    if (!Stops(committed) && rows.size() > 1)
        committed.failure = DbFailure::Unisolated;
    else if (!Stops(committed) && rows.size() == 1) {
        fates[0] = committed;
        bool unused = false;
        return RunUnit({}, end, progress, {}, unused);
    }
    return committed;
}

DbResult BatchWriter::SendQuickly(std::span<const RowValues> rows, std::size_t& refusedAt,
                                  std::size_t& refusedRows) {
    for (std::size_t at = 0; at < rows.size();) {
        const std::size_t unit = channel_->Unit(rows.subspan(at));
        if (DbResult sent = channel_->Send(rows.subspan(at, unit)); !sent) {
            refusedAt = at;
            refusedRows = unit;
            return sent;
        }
        at += unit;
    }
    return DbResult::Success();
}

DbResult BatchWriter::SendCarefully(std::span<const RowValues> rows, std::span<DbResult> fates,
                                    const DbResult& known, std::size_t knownAt,
                                    std::size_t knownRows) {
    for (std::size_t at = 0; at < rows.size();) {
        const bool isKnown = at == knownAt;
        const std::size_t unit = isKnown ? knownRows : channel_->Unit(rows.subspan(at));
        if (DbResult done = Isolate(rows.subspan(at, unit), fates.subspan(at, unit),
                                    isKnown ? &known : nullptr);
            !done)
            return done;
        at += unit;
    }
    return DbResult::Success();
}

DbResult BatchWriter::Isolate(std::span<const RowValues> rows, std::span<DbResult> fates,
                              const DbResult* known) {
    DbResult sent = known ? *known : DbResult::Success();
    if (!known) {
        if (DbResult marked = channel_->Mark(); !marked)
            return marked;
        sent = channel_->Send(rows);
        if (sent)
            return channel_->ReleaseMark();
        if (!Refusal(sent))
            return sent;
        if (DbResult undone = channel_->UndoToMark(); !undone)
            return undone;
    }
    if (rows.size() == 1) {
        fates[0] = std::move(sent);
        return DbResult::Success();
    }
    const std::size_t half = rows.size() / 2;
    if (DbResult first = Isolate(rows.first(half), fates.first(half), nullptr); !first)
        return first;
    return Isolate(rows.subspan(half), fates.subspan(half), nullptr);
}

DbResult BatchWriter::WithoutTransactions(const Sendable& all, const LineMark& end,
                                          UnitProgress& progress, BatchOutcome& outcome) {
    const bool tracked = progress.kind != UnitProgress::Kind::None;
    const std::size_t n = all.rows.size();
    for (std::size_t i = 0; i < n; ++i) {
        DbResult sent = SendAlone(all.rows[i]);
        const std::size_t past = i + 1 == n ? marks_.size() : PastLine(all.index[i]);
        if (sent.Fatal()) {
            outcome.inDoubt = past - outcome.committed;
            return sent;
        }
        outcome.fates[all.index[i]] = std::move(sent);
        // The position moves on once the last row of a line is stored.
        if (i + 1 < n && SameLine(marks_[all.index[i + 1]], marks_[all.index[i]]))
            continue;
        if (tracked) {
            if (DbResult saved = SaveAlone(EndOf(all, i, end), progress); !saved) {
                outcome.committed = past;
                return saved;
            }
        }
        outcome.committed = past;
    }
    if (n == 0 && tracked)
        if (DbResult saved = SaveAlone(end, progress); !saved)
            return saved;
    outcome.committed = marks_.size();
    return DbResult::Success();
}

DbResult BatchWriter::SendAlone(const RowValues& row) {
    DbResult sent = channel_->Send(std::span(&row, 1));
    for (int attempt = 1; sent.failure == DbFailure::Busy && attempt < kBusyAttempts; ++attempt) {
        Wait(attempt);
        sent = channel_->Send(std::span(&row, 1));
    }
    // A driver may word a dead connection as the row's refusal; nothing later would find out,
    // so the database is asked.
    if (sent.failure == DbFailure::Refused)
        if (DbResult ping = channel_->Ping(); ping.failure == DbFailure::ConnectionLost)
            sent = ping;
    // With autocommit a row whose answer was lost may be stored.
    if (sent.failure == DbFailure::ConnectionLost)
        sent.inDoubt = LostInFlight(sent);
    return sent;
}

DbResult BatchWriter::SaveAlone(const LineMark& end, UnitProgress& progress) {
    UnitProgress next = progress;
    next.MoveTo(end);
    if (DbResult saved = SaveProgress(next); !saved)
        return saved;
    progress = std::move(next);
    progress.Committed();
    return DbResult::Success();
}

DbResult BatchWriter::SaveProgress(const UnitProgress& next) {
    switch (next.kind) {
    case UnitProgress::Kind::None:
        return DbResult::Success();
    case UnitProgress::Kind::Position:
        return Checkpoints().Save(next.source, table_.typed, next.Stored(), next.claim);
    case UnitProgress::Kind::Mark:
        break;
    }
    DbResult moved = Checkpoints().MoveClaim(next.source, table_.typed, next.claim);
    // Only emptying the table deletes a run's own mark: the rows before it went too.
    if (moved.failure == DbFailure::Taken)
        moved = DbResult::Failure(moved.sqlState,
                                  "The table '" + table_.typed +
                                      "' was emptied by another session while this run loaded "
                                      "it; the job stopped, so load the log again.");
    return moved;
}

void BatchWriter::Wait(int attempt) {
    if (options_.retryWait) {
        options_.retryWait(attempt);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50 << std::min(attempt - 1, 5)));
}

CheckpointTable& BatchWriter::Checkpoints() {
    if (!checkpoints_)
        checkpoints_.emplace(channel_->Session());
    return *checkpoints_;
}

DbResult BatchWriter::LoadPositions(const std::string& source,
                                    std::vector<SourcePosition>& positions, SourceClaim& claim) {
    return Checkpoints().Load(source, table_.typed, positions, claim);
}

DbResult BatchWriter::LoadOtherPositions(const std::string& source,
                                         std::vector<SourcePosition>& positions) {
    return Checkpoints().LoadOthers(source, table_.typed, positions);
}

DbResult BatchWriter::ForgetClaim(const std::string& source) {
    return Checkpoints().ForgetSource(source, table_.typed);
}

} // namespace brenvale

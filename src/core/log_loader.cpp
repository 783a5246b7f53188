// Turns W3C log lines into rows of the target table.
#include "core/log_loader.h"

#include "core/general.h"
#include "core/incremental.h"
#include "core/text_encoding.h"

#include <chrono>
#include <limits>
#include <thread>

namespace brenvale {

namespace {

constexpr std::uint32_t kBatchMilliseconds = 200;
// A batch is committed when its bytes pass this, so long lines cannot make it grow without end.
constexpr std::size_t kBatchBytes = std::size_t{4} * 1024 * 1024;
// A buffer that grew past this for an outsized line is given back after its batch.
constexpr std::size_t kKeptCapacity = std::size_t{64} * 1024;
// Tries in all before work a busy database keeps turning away counts as refused.
constexpr int kBusyAttempts = 5;

void RaiseCounter(std::int32_t& counter) {
    // An overflowing counter keeps its value; the row it would have counted stays inserted.
    if (counter < std::numeric_limits<std::int32_t>::max())
        ++counter;
}

void SleepBeforeRetry(int attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50 << std::min(attempt - 1, 5)));
}

} // namespace

bool SplitLogFields(std::string_view line, std::array<std::string_view, 10>& fields) {
    std::size_t count = 0;
    std::size_t from = 0;
    while (count < fields.size()) {
        const auto blank = line.find(' ', from);
        if (blank == std::string_view::npos) {
            fields[count++] = line.substr(from);
            break;
        }
        fields[count++] = line.substr(from, blank - from);
        from = blank + 1;
    }
    return count == fields.size();
}

LogLineLoader::LogLineLoader(Database& database, RunState& state, const Options& options,
                             TickClock& clock)
    : database_(database), state_(state), options_(options), clock_(clock),
      retryWait_(SleepBeforeRetry) {}

LogLineLoader::~LogLineLoader() {
    Flush();
}

void LogLineLoader::SetCommitRows(std::size_t rows) {
    Flush();
    commitRows_ = rows == 0 ? 1 : rows;
    // Row by row and batches want different writers.
    writer_.reset();
    writerOpened_ = false;
}

void LogLineLoader::KeepPositions(const std::string& source, const SourceClaim& claim) {
    Flush();
    keepPositions_ = true;
    positionSource_ = source;
    claim_ = claim;
}

void LogLineLoader::StartPosition(const SourcePosition& position, bool isNew) {
    Flush();
    position_ = position;
    positionIsNew_ = isNew;
    committed_ = {position.line, position.offset, position.prefixHash, position.identityHash,
                  position.identityLength};
}

void LogLineLoader::StopKeepingPositions() {
    Flush();
    keepPositions_ = false;
    positionSource_.clear();
    position_ = SourcePosition();
}

void LogLineLoader::ProgressCommitted() {
    if (keepPositions_)
        positionIsNew_ = false;
    claim_.stored = true;
    ++claim_.commits;
}

void LogLineLoader::OpenWriter(const std::string& table) {
    if (writerOpened_ && writerTable_ == table)
        return;
    Flush();
    if (writerTable_ != table)
        ForgetMarker();
    writerTable_ = table;
    writerOpened_ = true;
    writerError_ = DbResult::Success();
    WriterOptions options;
    options.batches = commitRows_ > 1;
    options.allowNative = allowNative_;
    options.positions = keepPositions_;
    writer_ = database_.OpenWriter(table, options, writerError_);
    if (!writer_ && writerError_.ok)
        writerError_ = DbResult::Failure("HY000", "no writer could be made for the table");
    if (!writer_)
        return;
    if (!writer_->Notice().empty())
        Notice(writer_->Notice());
    if (!keepPositions_ && marker_.empty() && !markerTried_ && writer_->CanRollBack() &&
        commitRows_ > 1) {
        // Batches mark their commits, to settle a commit in doubt. Row by row stays one
        // autocommitted statement per line (a transaction with a mark costs several round trips
        // a row); a line in flight when the connection is lost is reported in doubt instead.
        markerTried_ = true;
        std::vector<SourcePosition> none;
        SourceClaim claim;
        const std::string marker = "run " + NewFileId();
        if (writer_->LoadPositions(marker, none, claim)) {
            marker_ = marker;
            claim_ = claim;
        }
    }
    if (!writer_->CanRollBack() && commitRows_ > 1)
        Notice("The table '" + table +
               "' keeps no transactions (a MariaDB MyISAM or Aria table, or a view): it is "
               "loaded row by row, so a refused row cannot undo the rows around it.");
}

TableWriter* LogLineLoader::Writer(const std::string& table, DbResult& error) {
    OpenWriter(table);
    error = writerError_;
    return writer_.get();
}

void LogLineLoader::BuildValues(const std::array<std::string_view, 10>& fields, RowValues& values) {
    std::array<std::string_view, 10> text = fields;
    if (options_.TranslateASCII()) {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].find('%') == std::string_view::npos)
                continue;
            translated_[i] = TranslateHexCodes(std::string(fields[i]));
            text[i] = translated_[i];
        }
    }
    dateTime_.assign(text[2]);
    dateTime_.push_back(' ');
    dateTime_.append(text[3]);

    const std::array<std::string_view, 9> raw = {text[0], text[1], dateTime_, text[4], text[5],
                                                 text[6], text[7], text[8],   text[9]};
    for (std::size_t i = 0; i < raw.size(); ++i)
        values[i] = ToDatabaseText(raw[i], encoded_[i]);
}

void LogLineLoader::EncodeRow(std::array<std::string, 9>& row) {
    // Only the request holds escapes, as SHOUTcast's does; the agent is stored as written.
    if (options_.TranslateASCII() && row[3].find('%') != std::string::npos)
        row[3] = TranslateHexCodes(row[3]);
    for (std::size_t i = 0; i < row.size(); ++i)
        if (const std::string_view text = ToDatabaseText(row[i], encoded_[i]);
            text.data() != row[i].data())
            row[i].assign(text);
}

DbResult LogLineLoader::LineFate(std::span<const DbResult> fates) {
    DbResult fate = fates.empty() ? DbResult::Success() : fates.front();
    lineStored_ = 0;
    for (const DbResult& rowFate : fates) {
        if (rowFate) {
            CountInserted();
            ++lineStored_;
        }
        if (fate && (!rowFate || rowFate.noValue))
            fate = rowFate;
    }
    return fate;
}

void LogLineLoader::CountInserted() {
    RaiseCounter(state_.RecordsThisFile);
    RaiseCounter(state_.RecordsTotal);
}

void LogLineLoader::Report(LineOutcome outcome, std::string_view raw, std::uint64_t lineNumber,
                           const DbResult& error) {
    lastOutcome_ = outcome;
    const std::size_t counted = outcome == LineOutcome::Inserted ? 1 : 0;
    if (observer_ && lineStored_ > counted)
        observer_->OnExtraRows(lineStored_ - counted);
    lineStored_ = 0;
    if (observer_)
        observer_->OnLine(outcome, raw, lineNumber, error);
}

void LogLineLoader::Notice(const std::string& text) {
    for (const std::string& said : notices_)
        if (said == text)
            return;
    notices_.push_back(text);
    if (observer_)
        observer_->OnNotice(text);
}

bool LogLineLoader::RowByRow() const {
    return commitRows_ <= 1 || (writer_ && !writer_->CanRollBack());
}

LineOutcome LogLineLoader::InsertLogLine(std::string_view line, const std::string& table,
                                         const LineMark& mark) {
    if (stopped_)
        return LineOutcome::Pending;
    LineOutcome skipped = LineOutcome::Pending;
    std::array<std::string_view, 10> fields;
    const bool directive = line.empty() || line.front() == '#';
    const LineRows::Kind kind =
        directive || !lineRows_ ? LineRows::Kind::W3C : lineRows_->Read(line, lineRowsRead_);
    if (directive || (kind == LineRows::Kind::Rows && lineRowsRead_.empty()))
        skipped = LineOutcome::Ignored;
    else if (kind == LineRows::Kind::Short ||
             (kind == LineRows::Kind::W3C && !SplitLogFields(line, fields)))
        skipped = LineOutcome::Short;
    if (skipped != LineOutcome::Pending) {
        SkipLine(skipped, line, mark);
        return skipped;
    }
    OpenWriter(table);
    if (!writer_) {
        Report(LineOutcome::Refused, line, mark.line, writerError_);
        committed_ = mark;
        return LineOutcome::Refused;
    }
    PendingRow& row = NextPending(line, mark);
    row.insert = true;
    if (kind == LineRows::Kind::Rows) {
        for (std::array<std::string, 9>& read : lineRowsRead_) {
            EncodeRow(read);
            for (const std::string& value : read)
                pendingBytes_ += value.size();
        }
        row.values.swap(lineRowsRead_.front());
        row.more.assign(std::make_move_iterator(lineRowsRead_.begin() + 1),
                        std::make_move_iterator(lineRowsRead_.end()));
        pendingInserts_ += lineRowsRead_.size();
    } else {
        RowValues values;
        BuildValues(fields, values);
        for (std::size_t i = 0; i < values.size(); ++i) {
            row.values[i].assign(values[i]);
            pendingBytes_ += values[i].size();
        }
        ++pendingInserts_;
    }
    if (!RowByRow()) {
        FlushIfDue();
        return LineOutcome::Pending;
    }
    // Row by row the fate is known at once.
    if (!Flush())
        return stopped_ && unfinishedInDoubt_ ? LineOutcome::InDoubt : LineOutcome::Pending;
    return lastOutcome_;
}

void LogLineLoader::SkipLine(LineOutcome outcome, std::string_view line, const LineMark& mark) {
    if (stopped_)
        return;
    if (pendingCount_ == 0) {
        Report(outcome, line, mark.line, DbResult::Success());
        committed_ = mark;
    } else {
        NextPending(line, mark).outcome = outcome;
        FlushIfDue();
    }
}

LogLineLoader::PendingRow& LogLineLoader::NextPending(std::string_view line, const LineMark& mark) {
    if (pendingCount_ == 0)
        batchStart_ = clock_.Ticks();
    if (pendingCount_ == pending_.size())
        pending_.emplace_back();
    PendingRow& row = pending_[pendingCount_++];
    row.insert = false;
    row.more.clear();
    row.outcome = LineOutcome::Pending;
    row.raw.assign(line);
    row.mark = mark;
    pendingBytes_ += line.size();
    return row;
}

void LogLineLoader::FlushIfDue() {
    if (pendingInserts_ >= commitRows_ || pendingBytes_ >= kBatchBytes ||
        static_cast<std::uint32_t>(clock_.Ticks() - batchStart_) > kBatchMilliseconds)
        Flush();
}

bool LogLineLoader::Flush() {
    if (stopped_)
        return false;
    if (pendingCount_ > 0 && !CommitBatch())
        return false;
    // Lines that insert nothing still move a kept position on.
    if (keepPositions_ && writer_ && committed_.offset > position_.offset) {
        const bool transaction = writer_->CanRollBack();
        DbResult saved = transaction ? writer_->Begin() : DbResult::Success();
        if (saved)
            saved = SavePosition(committed_);
        if (saved && transaction)
            saved = writer_->Commit();
        if (!saved) {
            if (transaction)
                (void)writer_->Rollback();
            Stop(saved, saved.inDoubt);
            return false;
        }
        ProgressCommitted();
    }
    return true;
}

DbResult LogLineLoader::SaveProgress(const LineMark& mark) {
    if (keepPositions_)
        return SavePosition(mark);
    DbResult moved = writer_->MoveClaim(marker_, claim_);
    // Only emptying the table deletes a run's own mark: the rows before it went too.
    if (moved.failure == DbFailure::Taken)
        moved = DbResult::Failure(moved.sqlState,
                                  "The table '" + writerTable_ +
                                      "' was emptied by another session while this run loaded "
                                      "it; the job stopped, so load the log again.");
    return moved;
}

DbResult LogLineLoader::SavePosition(const LineMark& mark) {
    position_.offset = mark.offset;
    position_.line = mark.line;
    position_.prefixHash = mark.prefixHash;
    position_.identityHash = mark.identityHash;
    position_.identityLength = mark.identityLength;
    return writer_->SavePosition(positionSource_, position_, positionIsNew_, claim_);
}

bool LogLineLoader::CommitBatch() {
    batchRows_.clear();
    for (std::size_t r = 0; r < pendingCount_; ++r) {
        const PendingRow& row = pending_[r];
        if (!row.insert)
            continue;
        RowValues& values = batchRows_.emplace_back();
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = row.values[i];
        for (const auto& extra : row.more) {
            RowValues& more = batchRows_.emplace_back();
            for (std::size_t i = 0; i < more.size(); ++i)
                more[i] = extra[i];
        }
    }
    const LineMark last = pending_[pendingCount_ - 1].mark;
    const bool transaction = writer_ && writer_->CanRollBack() && (commitRows_ > 1 || Tracking());
    // Row by row is a batch of one: it needs no second try on its own.
    if (!transaction || batchRows_.empty() || !writer_ || commitRows_ <= 1)
        return ReplayOneByOne();

    for (int attempt = 1;; ++attempt) {
        bool afterCommit = false;
        bool positionFailed = false;
        DbResult result = writer_->Begin();
        if (result)
            result = writer_->Insert(batchRows_, fates_);
        if (result && Tracking()) {
            result = SaveProgress(last);
            positionFailed = !result && result.failure != DbFailure::Busy;
        }
        if (result) {
            afterCommit = true;
            result = writer_->Commit();
        }
        if (result) {
            if (Tracking())
                ProgressCommitted();
            ReportBatch(fates_);
            committed_ = last;
            ClearPending();
            return true;
        }
        if (!afterCommit || !result.Fatal())
            (void)writer_->Rollback();
        if (result.Fatal()) {
            unfinishedFates_ = fates_;
            inDoubtRows_ = pendingCount_;
            // No answer proves that nothing was stored; where commits are marked the database
            // tells after a new connection.
            Stop(result,
                 result.failure == DbFailure::ConnectionLost && (afterCommit || Tracking()));
            return false;
        }
        if (result.failure == DbFailure::Busy && attempt < kBusyAttempts) {
            retryWait_(attempt);
            continue;
        }
        if (positionFailed) {
            unfinishedFates_.clear();
            Stop(result, false);
            return false;
        }
        // Parts of it cannot be undone on their own, a commit was refused, or the database stays
        // busy: every row on its own finds out which rows it takes.
        return ReplayOneByOne();
    }
}

bool LogLineLoader::ReplayOneByOne() {
    const bool transaction = writer_ && writer_->CanRollBack() && Tracking();
    for (std::size_t done = 0; done < pendingCount_; ++done) {
        PendingRow& row = pending_[done];
        if (!row.insert) {
            Report(row.outcome, row.raw, row.mark.line, DbResult::Success());
            committed_ = row.mark;
            continue;
        }
        DbResult fate = DbResult::Success();
        bool inDoubt = false;
        if (const DbResult failed = SendOneRow(row, transaction, fate, inDoubt); !failed) {
            // Rows reported so far are settled; the rest wait for a new connection.
            std::rotate(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done),
                        pending_.begin() + static_cast<std::ptrdiff_t>(pendingCount_));
            pendingCount_ -= done;
            unfinishedFates_.assign(1 + row.more.size(), fate);
            inDoubtRows_ = 1;
            Stop(failed, inDoubt);
            return false;
        }
        for (std::size_t k = 0; k < sentInserted_; ++k)
            CountInserted();
        lineStored_ = sentInserted_;
        if (fate) {
            Report(LineOutcome::Inserted, row.raw, row.mark.line, fate);
        } else {
            Report(LineOutcome::Refused, row.raw, row.mark.line, fate);
        }
        committed_ = row.mark;
    }
    ClearPending();
    return true;
}

DbResult LogLineLoader::SendOneRow(const PendingRow& row, bool transaction, DbResult& fate,
                                   bool& inDoubt) {
    std::vector<RowValues> values(1 + row.more.size());
    for (std::size_t i = 0; i < values[0].size(); ++i) {
        values[0][i] = row.values[i];
        for (std::size_t k = 0; k < row.more.size(); ++k)
            values[k + 1][i] = row.more[k][i];
    }
    for (int attempt = 1;; ++attempt) {
        sentInserted_ = 0;
        enum class Stage { Begin, Insert, Progress, Commit } stage = Stage::Begin;
        DbResult step = transaction ? writer_->Begin() : DbResult::Success();
        if (step) {
            stage = Stage::Insert;
            step = writer_->Insert(values, fates_);
        }
        if (step) {
            fate = fates_.front();
            for (const DbResult& rowFate : fates_)
                if (fate && (!rowFate || rowFate.noValue))
                    fate = rowFate;
            sentInserted_ = static_cast<std::size_t>(std::count_if(
                fates_.begin(), fates_.end(), [](const DbResult& f) { return f.ok; }));
            // A driver may word a dead connection as the row's refusal; without a transaction
            // nothing later would find out, so the database is asked.
            if (!transaction && !fate && fate.failure == DbFailure::Refused)
                if (DbResult ping = database_.Ping(); ping.failure == DbFailure::ConnectionLost) {
                    inDoubt = true;
                    return ping;
                }
            // A refused row moves the position on as a stored one does.
            if (Tracking()) {
                stage = Stage::Progress;
                step = SaveProgress(row.mark);
            }
        }
        if (step && transaction) {
            stage = Stage::Commit;
            step = writer_->Commit();
        }
        if (step) {
            if (Tracking())
                ProgressCommitted();
            return step;
        }
        if (transaction && !(stage == Stage::Commit && step.Fatal()))
            (void)writer_->Rollback();
        if (step.Fatal()) {
            // No answer proves that nothing was stored: what was sent may have been committed.
            inDoubt = step.failure == DbFailure::ConnectionLost &&
                      (stage == Stage::Commit || !transaction || Tracking());
            return step;
        }
        if (step.failure == DbFailure::Busy && attempt < kBusyAttempts) {
            retryWait_(attempt);
            continue;
        }
        if (stage != Stage::Insert)
            return step;
        // Still busy after every try: the row counts as refused, and its position is kept.
        fate = step;
        if (!keepPositions_)
            return DbResult::Success();
        DbResult saved = transaction ? writer_->Begin() : DbResult::Success();
        if (saved)
            saved = SavePosition(row.mark);
        if (saved && transaction)
            saved = writer_->Commit();
        if (!saved) {
            if (transaction)
                (void)writer_->Rollback();
            return saved;
        }
        ProgressCommitted();
        return saved;
    }
}

void LogLineLoader::ReportBatch(const std::vector<DbResult>& fates) {
    std::size_t next = 0;
    for (std::size_t r = 0; r < pendingCount_; ++r) {
        const PendingRow& row = pending_[r];
        if (!row.insert) {
            Report(row.outcome, row.raw, row.mark.line, DbResult::Success());
            continue;
        }
        const std::size_t count = 1 + row.more.size();
        const DbResult fate = LineFate(std::span(fates).subspan(next, count));
        next += count;
        Report(fate ? LineOutcome::Inserted : LineOutcome::Refused, row.raw, row.mark.line, fate);
    }
}

void LogLineLoader::ClearPending() {
    const bool outsized = pendingBytes_ > kBatchBytes;
    for (std::size_t r = 0; r < pendingCount_; ++r) {
        PendingRow& row = pending_[r];
        row.more.clear();
        if (outsized || row.raw.capacity() > kKeptCapacity) {
            row.raw = std::string();
            for (std::string& value : row.values)
                value = std::string();
        }
    }
    if (outsized && pending_.size() > commitRows_)
        pending_.resize(std::min<std::size_t>(commitRows_, pending_.size()));
    pendingCount_ = 0;
    pendingBytes_ = 0;
    pendingInserts_ = 0;
}

void LogLineLoader::Stop(const DbResult& failure, bool inDoubt) {
    stopped_ = true;
    failure_ = failure;
    unfinishedInDoubt_ = inDoubt;
}

const DbResult& LogLineLoader::LostMeanwhile(const DbResult& lost) {
    failure_ = lost;
    unfinishedInDoubt_ = Tracking();
    return failure_;
}

void LogLineLoader::ReportUnfinished() {
    if (!stopped_)
        return;
    if (unfinishedInDoubt_) {
        for (std::size_t r = 0; r < pendingCount_; ++r) {
            const PendingRow& row = pending_[r];
            Report(row.insert ? LineOutcome::InDoubt : row.outcome, row.raw, row.mark.line,
                   row.insert ? failure_ : DbResult::Success());
        }
    }
    ClearPending();
}

void LogLineLoader::Resume(bool unitCommitted) {
    if (unfinishedInDoubt_ && !Tracking()) {
        // Nothing tells whether the unit took effect: it is sent again, and said to be in doubt.
        for (std::size_t r = 0; r < std::min(inDoubtRows_, pendingCount_); ++r)
            if (pending_[r].insert)
                Report(LineOutcome::InDoubt, pending_[r].raw, pending_[r].mark.line, failure_);
    }
    // The unit in doubt (the first lines in hand) was committed after all.
    const std::size_t settled = unitCommitted ? std::min(inDoubtRows_, pendingCount_) : 0;
    std::size_t fate = 0;
    for (std::size_t r = 0; r < settled; ++r) {
        const PendingRow& row = pending_[r];
        if (!row.insert) {
            Report(row.outcome, row.raw, row.mark.line, DbResult::Success());
        } else {
            const std::size_t count = 1 + row.more.size();
            const std::size_t from = std::min(fate, unfinishedFates_.size());
            // Rows without a known fate were stored with the unit.
            std::vector<DbResult> fates(
                unfinishedFates_.begin() + static_cast<std::ptrdiff_t>(from),
                unfinishedFates_.begin() +
                    static_cast<std::ptrdiff_t>(std::min(fate + count, unfinishedFates_.size())));
            fates.resize(count, DbResult::Success());
            fate += count;
            const DbResult known = LineFate(fates);
            Report(known ? LineOutcome::Inserted : LineOutcome::Refused, row.raw, row.mark.line,
                   known);
        }
        committed_ = row.mark;
    }
    if (settled > 0 && Tracking())
        ProgressCommitted();
    ClearPending();
    unfinishedFates_.clear();
    if (keepPositions_) {
        // Back to what the database holds, for the next save.
        position_.offset = committed_.offset;
        position_.line = committed_.line;
        position_.prefixHash = committed_.prefixHash;
        position_.identityHash = committed_.identityHash;
        position_.identityLength = committed_.identityLength;
    }
    stopped_ = false;
    failure_ = DbResult::Success();
    unfinishedInDoubt_ = false;
    writer_.reset();
    writerOpened_ = false;
}

bool LogLineLoader::StartStream(const LineMark& start) {
    // A position belongs to one stream; without positions a batch runs on into the next one.
    if (keepPositions_ ? !Flush() : stopped_)
        return false;
    if (pendingCount_ == 0)
        committed_ = start;
    return true;
}

bool LogLineLoader::UnitCommittedAfterReconnect(const std::string& table) {
    if (!Tracking() || pendingCount_ == 0 || inDoubtRows_ == 0)
        return false;
    ForgetWriter();
    OpenWriter(table);
    std::vector<SourcePosition> positions;
    SourceClaim stored;
    if (!writer_ ||
        !writer_->LoadPositions(keepPositions_ ? positionSource_ : marker_, positions, stored))
        return false;
    // The commit in doubt took effect exactly when the count moved on by one (and a kept
    // position stands where that commit put it); anything else is another run's doing, which
    // the next commit finds out.
    if (!stored.stored || stored.commits != claim_.commits + 1)
        return false;
    if (!keepPositions_)
        return true;
    const LineMark& end = pending_[std::min(inDoubtRows_, pendingCount_) - 1].mark;
    for (const SourcePosition& position : positions)
        if (position.fileId == position_.fileId && position.offset == end.offset &&
            position.prefixHash == end.prefixHash)
            return true;
    return false;
}

std::pair<std::uint64_t, std::uint64_t> LogLineLoader::UnfinishedLines() const {
    if (pendingCount_ == 0)
        return {0, 0};
    return {pending_[0].mark.line, pending_[pendingCount_ - 1].mark.line};
}

void LogLineLoader::ForgetMarker() {
    // Only a lost connection in the middle of a commit needs the marks.
    if (!marker_.empty() && writer_ && !stopped_)
        (void)writer_->ForgetClaim(marker_);
    if (!marker_.empty())
        claim_ = {};
    marker_.clear();
    markerTried_ = false;
}

void LogLineLoader::Reset() {
    Flush();
    ForgetMarker();
    writer_.reset();
    writerOpened_ = false;
    writerTable_.clear();
    writerError_ = DbResult::Success();
    keepPositions_ = false;
    positionSource_.clear();
    position_ = SourcePosition();
    committed_ = {};
}

} // namespace brenvale

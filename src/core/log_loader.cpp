// Turns W3C log lines into rows of the target table, batch by batch.
#include "core/log_loader.h"

#include "core/general.h"
#include "core/incremental.h"
#include "core/text_encoding.h"

#include <algorithm>
#include <limits>
#include <tuple>

namespace brenvale {

namespace {

constexpr std::uint32_t kBatchMilliseconds = 1000;
// A batch is committed when its bytes pass this, so long lines cannot make it grow without end.
constexpr std::size_t kBatchBytes = std::size_t{16} * 1024 * 1024;
/// Lazy commits are followed by a durable one at least this often: what a crash of the server
/// can take back, and a run must load again, stays this small.
constexpr std::uint32_t kDurableMilliseconds = 2000;

/// Whether `a` ends after `b` in the order the lines are read.
bool Later(const LineMark& a, const LineMark& b) {
    return std::tie(a.stream, a.line) > std::tie(b.stream, b.line);
}

void RaiseCounter(std::int32_t& counter) {
    // An overflowing counter keeps its value; the row it would have counted stays inserted.
    if (counter < std::numeric_limits<std::int32_t>::max())
        ++counter;
}

} // namespace

LogLineLoader::LogLineLoader(Database& database, RunState& state, const Options& options,
                             TickClock& clock)
    : database_(database), state_(state), options_(options), clock_(clock) {}

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
    ForgetMarker();
    progress_ = UnitProgress();
    progress_.kind = UnitProgress::Kind::Position;
    progress_.source = source;
    progress_.claim = claim;
}

void LogLineLoader::StartPosition(const SourcePosition& position, bool isNew, int stream) {
    if (stopped_)
        return; // the stream is started again once the connection is made again
    std::vector<StreamProgress>& streams = progress_.streams;
    const bool follows = pendingCount_ > 0 && !streams.empty() && stream > streams.back().stream;
    if (!follows) {
        if (!Flush())
            return;
        streams.clear();
    } else if (const LineMark& last = LastLine(); last.stream == streams.back().stream) {
        // Stored with the unit that reaches past it.
        streams.back().ended = true;
        streams.back().end = last;
    } else {
        streams.pop_back(); // none of its lines are in hand: nothing to store
    }
    streams.push_back({stream, position, isNew, false, {}});
}

void LogLineLoader::StopKeepingPositions() {
    Flush();
    if (KeepsPositions())
        progress_ = UnitProgress();
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
    options.retryWait = retryWait_;
    writer_ = database_.OpenWriter(table, options, writerError_);
    if (!writer_ && writerError_.ok)
        writerError_ = DbResult::Failure("HY000", "no writer could be made for the table");
    if (!writer_)
        return;
    if (!writer_->Notice().empty())
        Notice(writer_->Notice());
    StartMarking();
    if (!writer_->CanRollBack() && commitRows_ > 1)
        Notice("The table '" + table +
               "' keeps no transactions (a MariaDB MyISAM or Aria table, or a view): it is "
               "loaded row by row, so a refused row cannot undo the rows around it.");
}

void LogLineLoader::StartMarking() {
    // Batches mark their commits, to settle a commit in doubt. Row by row stays one
    // autocommitted statement per line (a transaction with a mark costs several round trips a
    // row); a line in flight when the connection is lost is reported in doubt instead.
    if (Tracking() || markerTried_ || !writer_->CanRollBack() || commitRows_ <= 1)
        return;
    markerTried_ = true;
    std::vector<SourcePosition> none;
    SourceClaim claim;
    const std::string marker = "run " + NewFileId();
    if (!writer_->LoadPositions(marker, none, claim))
        return;
    progress_ = UnitProgress();
    progress_.kind = UnitProgress::Kind::Mark;
    progress_.source = marker;
    progress_.claim = claim;
}

TableWriter* LogLineLoader::Writer(const std::string& table, DbResult& error) {
    OpenWriter(table);
    error = writerError_;
    return writer_.get();
}

void LogLineLoader::CountInserted() {
    RaiseCounter(state_.RecordsThisFile);
    RaiseCounter(state_.RecordsTotal);
}

void LogLineLoader::Report(LineOutcome outcome, std::string_view raw, const LineMark& mark,
                           const DbResult& error) {
    lastOutcome_ = outcome;
    if (Replayed(mark)) {
        lineStored_ = 0;
        return;
    }
    const std::size_t counted = outcome == LineOutcome::Inserted ? 1 : 0;
    if (observer_ && lineStored_ > counted)
        observer_->OnExtraRows(lineStored_ - counted);
    lineStored_ = 0;
    if (observer_)
        observer_->OnLine(outcome, raw, mark, error);
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
    if (const LineOutcome added = AddRows(line, table, mark);
        added != LineOutcome::Pending || stopped_)
        return added;
    if (!RowByRow()) {
        FlushIfDue();
        return LineOutcome::Pending;
    }
    // Row by row the fate is known at once.
    if (!Flush())
        return stopped_ && unfinishedInDoubt_ ? LineOutcome::InDoubt : LineOutcome::Pending;
    return lastOutcome_;
}

LineOutcome LogLineLoader::AddRows(std::string_view line, const std::string& table,
                                   const LineMark& mark) {
    const bool directive = line.empty() || line.front() == '#';
    const LineRows::Kind read =
        directive || !lineRows_ ? LineRows::Kind::W3C : lineRows_->Read(line, lineRowsRead_);
    RowValues values;
    LineKind kind = LineKind::Row;
    if (read == LineRows::Kind::W3C)
        kind = parser_.Parse(line, options_.TranslateASCII(), values);
    else if (read == LineRows::Kind::Short)
        kind = LineKind::Short;
    else if (lineRowsRead_.empty())
        kind = LineKind::Directive;
    if (kind != LineKind::Row) {
        const LineOutcome skipped =
            kind == LineKind::Short ? LineOutcome::Short : LineOutcome::Ignored;
        SkipLine(skipped, line, mark);
        return skipped;
    }
    OpenWriter(table);
    if (!writer_) {
        Report(LineOutcome::Refused, line, mark, writerError_);
        committed_ = mark;
        return LineOutcome::Refused;
    }
    PendingLine& pending = NextPending(line, mark);
    pending.insert = true;
    pending.rows = read == LineRows::Kind::W3C ? 1 : lineRowsRead_.size();
    for (std::size_t r = 0; r < pending.rows; ++r) {
        if (read != LineRows::Kind::W3C) {
            EncodeRow(lineRowsRead_[r]);
            std::ranges::copy(lineRowsRead_[r], values.begin());
        }
        for (const std::string_view value : values)
            pendingBytes_ += value.size();
        ++pendingInserts_;
        // A line's rows go into one batch with its mark, and commit together.
        if (DbResult added = writer_->Add(values, mark); !added) {
            // The database itself failed while the row went out: the batch is lost uncommitted.
            Stop(added, false);
            return LineOutcome::Pending;
        }
    }
    return LineOutcome::Pending;
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

void LogLineLoader::SkipLine(LineOutcome outcome, std::string_view line, const LineMark& mark) {
    if (stopped_)
        return;
    if (pendingCount_ == 0) {
        Report(outcome, line, mark, DbResult::Success());
        committed_ = mark;
    } else {
        NextPending(line, mark).outcome = outcome;
        FlushIfDue();
    }
}

LogLineLoader::PendingLine& LogLineLoader::NextPending(std::string_view line,
                                                       const LineMark& mark) {
    if (pendingCount_ == 0)
        batchStart_ = clock_.Ticks();
    if (pendingCount_ == pending_.size())
        pending_.emplace_back();
    PendingLine& row = pending_[pendingCount_++];
    row.insert = false;
    row.rows = 0;
    row.outcome = LineOutcome::Pending;
    row.from = raw_.size();
    raw_.append(line);
    row.to = raw_.size();
    row.mark = mark;
    pendingBytes_ += line.size();
    return row;
}

void LogLineLoader::FlushIfDue() {
    if (pendingInserts_ >= commitRows_ || pendingBytes_ >= kBatchBytes ||
        static_cast<std::uint32_t>(clock_.Ticks() - batchStart_) > kBatchMilliseconds)
        // A batch the limits end may commit lazily where positions are kept (whatever a crash
        // takes back, the next run finds in the database) and the last durable commit is
        // recent; the batch that ends a log is always durable. Without positions a run that
        // cannot connect again could not say which lines are stored.
        FlushBatch(lazyCommits_ && KeepsPositions() && !durableNext_ &&
                   static_cast<std::uint32_t>(clock_.Ticks() - lastDurable_) <
                       kDurableMilliseconds);
}

bool LogLineLoader::Flush() {
    return FlushBatch(false);
}

bool LogLineLoader::FlushBatch(bool lazy) {
    if (stopped_)
        return false;
    if (!writer_ || (pendingCount_ == 0 && !PositionMoved()))
        return true;
    return FinishBatch(lazy);
}

void LogLineLoader::NoteCommit(bool lazy) {
    if (lazy) {
        lazy_.push_back(Standing());
        return;
    }
    // A durable commit puts every earlier one on disk too.
    lazy_.clear();
    durableNext_ = false;
    lastDurable_ = clock_.Ticks();
}

bool LogLineLoader::PositionMoved() const {
    if (!KeepsPositions() || progress_.streams.empty())
        return false;
    // Lines that insert nothing still move a kept position on.
    const StreamProgress& last = progress_.streams.back();
    return progress_.streams.size() > 1 ||
           (committed_.stream == last.stream && committed_.offset > last.position.offset);
}

bool LogLineLoader::FinishBatch(bool lazy) {
    const LineMark end = LastLine();
    const std::size_t rows = pendingInserts_;
    // Where a crash may take lazy commits back, the run goes back to the last durable one.
    if (lazy && lazy_.empty())
        lazy_.push_back(Standing());
    progress_.lazy = lazy;
    const DbResult finished = writer_->Finish(end, progress_, outcome_);
    if (finished) {
        ReportLines(pendingCount_, outcome_.fates);
        committed_ = end;
        ClearPending();
        NoteCommit(outcome_.lazy);
        return true;
    }
    if (outcome_.committed > 0)
        NoteCommit(false);
    // The lines of the units that committed are settled; the rest wait for a new connection.
    const std::size_t settled =
        outcome_.committed == rows ? pendingCount_ : LinesOfRows(outcome_.committed);
    const std::size_t used = ReportLines(settled, outcome_.fates);
    if (settled > 0)
        committed_ = pending_[settled - 1].mark;
    DropLines(settled);
    // The lines in hand now start with the unit in doubt.
    inDoubtLines_ = outcome_.inDoubt == 0                           ? 0
                    : outcome_.committed + outcome_.inDoubt >= rows ? pendingCount_
                                                                    : LinesOfRows(outcome_.inDoubt);
    unfinishedFates_.assign(outcome_.fates.begin() + static_cast<std::ptrdiff_t>(used),
                            outcome_.fates.end());
    // No answer proves that nothing was stored; where commits are marked the database tells
    // after a new connection.
    Stop(finished,
         finished.failure == DbFailure::ConnectionLost && (finished.inDoubt || Tracking()));
    return false;
}

std::size_t LogLineLoader::LinesOfRows(std::size_t rows) const {
    std::size_t seen = 0;
    for (std::size_t line = 0; line < pendingCount_ && seen < rows; ++line)
        if ((seen += pending_[line].rows) >= rows && pending_[line].insert)
            return line + 1;
    return 0;
}

std::size_t LogLineLoader::ReportLines(std::size_t lines, const std::vector<DbResult>& fates) {
    std::size_t next = 0;
    for (std::size_t r = 0; r < lines; ++r) {
        const PendingLine& line = pending_[r];
        if (!line.insert) {
            Report(line.outcome, Raw(line), line.mark, DbResult::Success());
            continue;
        }
        // Rows whose fate is not known were stored with their unit.
        std::vector<DbResult> known(line.rows, DbResult::Success());
        for (std::size_t k = 0; k < line.rows && next + k < fates.size(); ++k)
            known[k] = fates[next + k];
        next += line.rows;
        if (Replayed(line.mark))
            continue; // counted when it was first stored
        const DbResult fate = LineFate(known);
        Report(fate ? LineOutcome::Inserted : LineOutcome::Refused, Raw(line), line.mark, fate);
    }
    return next;
}

void LogLineLoader::DropLines(std::size_t lines) {
    std::size_t rows = 0;
    for (std::size_t r = 0; r < lines; ++r)
        rows += pending_[r].rows;
    std::rotate(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(lines),
                pending_.begin() + static_cast<std::ptrdiff_t>(pendingCount_));
    pendingCount_ -= lines;
    pendingInserts_ -= rows;
}

void LogLineLoader::ClearPending() {
    // Bytes a few outsized lines made the buffer grow by are given back.
    if (raw_.capacity() > 2 * kBatchBytes) {
        std::string().swap(raw_);
        if (pending_.size() > commitRows_)
            pending_.resize(std::min<std::size_t>(commitRows_, pending_.size()));
    }
    raw_.clear();
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
            const PendingLine& line = pending_[r];
            Report(line.insert ? LineOutcome::InDoubt : line.outcome, Raw(line), line.mark,
                   line.insert ? failure_ : DbResult::Success());
        }
    }
    ClearPending();
}

void LogLineLoader::Resume(bool unitCommitted) {
    const std::size_t unit = std::min(inDoubtLines_, pendingCount_);
    if (unfinishedInDoubt_ && !Tracking()) {
        // Nothing tells whether the unit took effect: it is sent again, and said to be in doubt.
        for (std::size_t r = 0; r < unit; ++r)
            if (pending_[r].insert)
                Report(LineOutcome::InDoubt, Raw(pending_[r]), pending_[r].mark, failure_);
    }
    // The unit in doubt (the first lines in hand) was committed after all.
    const std::size_t settled = unitCommitted ? unit : 0;
    ReportLines(settled, unfinishedFates_);
    if (settled > 0) {
        committed_ = pending_[settled - 1].mark;
        if (Tracking()) {
            progress_.MoveTo(committed_);
            progress_.Committed();
        }
        // It may have been lazy: a crash may still take it back.
        if (!lazy_.empty())
            lazy_.push_back(Standing());
    }
    ClearPending();
    unfinishedFates_.clear();
    inDoubtLines_ = 0;
    // The streams after the last committed line are read again from what the database holds.
    std::erase_if(progress_.streams,
                  [&](const StreamProgress& s) { return s.stream > committed_.stream; });
    if (KeepsPositions() && !progress_.streams.empty()) {
        progress_.streams.back().ended = false;
        progress_.MoveTo(committed_);
    }
    stopped_ = false;
    failure_ = DbResult::Success();
    unfinishedInDoubt_ = false;
    writer_.reset();
    writerOpened_ = false;
    durableNext_ = true;
}

bool LogLineLoader::TakeBackLostCommits(const std::string& table) {
    if (lazy_.size() < 2 || !Tracking())
        return true;
    OpenWriter(table);
    std::vector<SourcePosition> positions;
    SourceClaim stored;
    DbResult read =
        writer_ ? writer_->LoadPositions(progress_.source, positions, stored) : writerError_;
    if (!read) {
        Stop(read, false);
        return false;
    }
    if (stored.commits >= progress_.claim.commits)
        return true; // the connection was lost, not the server
    const auto kept = std::ranges::find(lazy_, stored.commits, &Settled::commits);
    if (kept == lazy_.end()) {
        Stop(DbResult::Failure("", "The database kept " + std::to_string(stored.commits) +
                                       " commits of this run, which matches none of them."),
             false);
        return false;
    }
    // The lines after the last kept commit were counted once already.
    if (!replayThrough_ || Later(committed_, *replayThrough_))
        replayThrough_ = committed_;
    committed_ = kept->mark;
    progress_ = kept->progress;
    lazy_.erase(kept + 1, lazy_.end());
    return true;
}

bool LogLineLoader::Replayed(const LineMark& mark) {
    if (!replayThrough_)
        return false;
    if (!Later(mark, *replayThrough_))
        return true;
    replayThrough_.reset();
    return false;
}

bool LogLineLoader::StartStream(const LineMark& start) {
    if (stopped_)
        return false;
    if (pendingCount_ == 0 && progress_.streams.size() <= 1)
        committed_ = start;
    return true;
}

bool LogLineLoader::UnitCommittedAfterReconnect(const std::string& table) {
    if (!Tracking() || pendingCount_ == 0 || inDoubtLines_ == 0)
        return false;
    ForgetWriter();
    OpenWriter(table);
    std::vector<SourcePosition> positions;
    SourceClaim stored;
    if (!writer_ || !writer_->LoadPositions(progress_.source, positions, stored))
        return false;
    // The commit in doubt took effect exactly when the count moved on by one (and a kept
    // position stands where that commit put it); anything else is another run's doing, which
    // the next commit finds out.
    if (!stored.stored || stored.commits != progress_.claim.commits + 1)
        return false;
    if (!KeepsPositions())
        return true;
    const LineMark& end = pending_[std::min(inDoubtLines_, pendingCount_) - 1].mark;
    const StreamProgress* stream = progress_.Find(end.stream);
    if (!stream)
        return false;
    for (const SourcePosition& position : positions)
        if (position.fileId == stream->position.fileId && position.offset == end.offset &&
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
    if (progress_.kind != UnitProgress::Kind::Mark) {
        markerTried_ = false;
        return;
    }
    // Only a lost connection in the middle of a commit needs the marks.
    if (writer_ && !stopped_)
        (void)writer_->ForgetClaim(progress_.source);
    progress_ = UnitProgress();
    markerTried_ = false;
}

void LogLineLoader::Reset() {
    Flush();
    ForgetMarker();
    writer_.reset();
    writerOpened_ = false;
    writerTable_.clear();
    writerError_ = DbResult::Success();
    progress_ = UnitProgress();
    committed_ = {};
    lazy_.clear();
    replayThrough_.reset();
    durableNext_ = true;
}

} // namespace brenvale

// Turns one W3C log line into one row of the target table.
#include "core/log_loader.h"

#include "core/general.h"
#include "core/text_encoding.h"

#include <limits>

namespace brenvale {

namespace {

constexpr std::uint32_t kBatchMilliseconds = 200;

void RaiseCounter(std::int32_t& counter) {
    // An overflowing counter keeps its value; the row it would have counted stays inserted.
    if (counter < std::numeric_limits<std::int32_t>::max())
        ++counter;
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
    : database_(database), state_(state), options_(options), clock_(clock) {}

LogLineLoader::~LogLineLoader() {
    Flush();
}

void LogLineLoader::SetCommitRows(std::size_t rows) {
    Flush();
    commitRows_ = rows == 0 ? 1 : rows;
}

bool LogLineLoader::PrepareFor(const std::string& table, DbResult& error) {
    if (prepared_ && preparedTable_ == table) {
        error = prepareError_;
        return inserter_ != nullptr;
    }
    Flush();
    preparedTable_ = table;
    prepared_ = true;
    prepareError_ = DbResult::Success();
    inserter_ = database_.PrepareInsert(table, prepareError_);
    if (!inserter_ && prepareError_.ok)
        prepareError_ = DbResult::Failure("HY000", "the insert statement could not be prepared");
    error = prepareError_;
    return inserter_ != nullptr;
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

void LogLineLoader::CountInserted() {
    RaiseCounter(state_.RecordsThisFile);
    RaiseCounter(state_.RecordsTotal);
}

void LogLineLoader::Report(LineOutcome outcome, std::string_view raw, std::uint64_t lineNumber,
                           const DbResult& error) {
    if (observer_)
        observer_->OnLine(outcome, raw, lineNumber, error);
}

LineOutcome LogLineLoader::InsertLogLine(std::string_view line, const std::string& table,
                                         std::uint64_t lineNumber) {
    LineOutcome skipped = LineOutcome::Pending;
    std::array<std::string_view, 10> fields;
    if (line.empty() || line.front() == '#')
        skipped = LineOutcome::Ignored;
    else if (!SplitLogFields(line, fields))
        skipped = LineOutcome::Short;
    if (skipped != LineOutcome::Pending) {
        if (pendingCount_ == 0) {
            Report(skipped, line, lineNumber, DbResult::Success());
        } else {
            NextPending(line, lineNumber).outcome = skipped;
            FlushIfDue();
        }
        return skipped;
    }
    DbResult error;
    if (!PrepareFor(table, error)) {
        Report(LineOutcome::Refused, line, lineNumber, error);
        return LineOutcome::Refused;
    }
    RowValues values;
    BuildValues(fields, values);

    if (commitRows_ <= 1) {
        DbResult result = inserter_->Insert(values);
        if (!result) {
            Report(LineOutcome::Refused, line, lineNumber, result);
            return LineOutcome::Refused;
        }
        CountInserted();
        Report(LineOutcome::Inserted, line, lineNumber, result);
        return LineOutcome::Inserted;
    }

    PendingRow& row = NextPending(line, lineNumber);
    row.insert = true;
    for (std::size_t i = 0; i < values.size(); ++i)
        row.values[i].assign(values[i]);
    FlushIfDue();
    return LineOutcome::Pending;
}

LogLineLoader::PendingRow& LogLineLoader::NextPending(std::string_view line,
                                                      std::uint64_t lineNumber) {
    if (pendingCount_ == 0)
        batchStart_ = clock_.Ticks();
    if (pendingCount_ == pending_.size())
        pending_.emplace_back();
    PendingRow& row = pending_[pendingCount_++];
    row.insert = false;
    row.outcome = LineOutcome::Pending;
    row.raw.assign(line);
    row.lineNumber = lineNumber;
    return row;
}

void LogLineLoader::FlushIfDue() {
    if (pendingCount_ >= commitRows_ ||
        static_cast<std::uint32_t>(clock_.Ticks() - batchStart_) > kBatchMilliseconds)
        Flush();
}

void LogLineLoader::Flush() {
    if (pendingCount_ == 0)
        return;
    batchRows_.clear();
    for (std::size_t r = 0; r < pendingCount_; ++r) {
        const PendingRow& row = pending_[r];
        if (!row.insert)
            continue;
        RowValues& values = batchRows_.emplace_back();
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = row.values[i];
    }
    ReportBatch(batchRows_.empty() || CommitBatch(batchRows_));
    pendingCount_ = 0;
}

bool LogLineLoader::CommitBatch(const std::vector<RowValues>& rows) noexcept {
    if (!database_.SetAutoCommit(false))
        return false;
    bool committed = false;
    try {
        std::size_t done = 0;
        committed = inserter_->InsertMany(rows, done) && database_.Commit();
    } catch (...) {
        committed = false;
    }
    if (!committed)
        database_.Rollback();
    database_.SetAutoCommit(true);
    return committed;
}

void LogLineLoader::ReportBatch(bool committed) {
    // A batch that was not committed was rolled back whole; row by row, with autocommit, keeps
    // every good row and skips exactly the refused ones, as loading without batches would.
    for (std::size_t r = 0; r < pendingCount_; ++r) {
        const PendingRow& row = pending_[r];
        if (!row.insert) {
            Report(row.outcome, row.raw, row.lineNumber, DbResult::Success());
            continue;
        }
        DbResult result = DbResult::Success();
        if (!committed) {
            RowValues values;
            for (std::size_t i = 0; i < values.size(); ++i)
                values[i] = row.values[i];
            result = inserter_->Insert(values);
        }
        if (result)
            CountInserted();
        Report(result ? LineOutcome::Inserted : LineOutcome::Refused, row.raw, row.lineNumber,
               result);
    }
}

void LogLineLoader::Reset() {
    Flush();
    inserter_.reset();
    prepared_ = false;
    preparedTable_.clear();
    prepareError_ = DbResult::Success();
}

} // namespace brenvale

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

LogLineLoader::~LogLineLoader() { Flush(); }

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

void LogLineLoader::BuildValues(const std::array<std::string_view, 10>& fields,
                                RowValues& values) {
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
    if (line.empty() || line.front() == '#') {
        Report(LineOutcome::Ignored, line, lineNumber, DbResult::Success());
        return LineOutcome::Ignored;
    }
    std::array<std::string_view, 10> fields;
    if (!SplitLogFields(line, fields)) {
        Report(LineOutcome::Short, line, lineNumber, DbResult::Success());
        return LineOutcome::Short;
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

    if (pending_.empty())
        batchStart_ = clock_.Ticks();
    PendingRow& row = pending_.emplace_back();
    for (std::size_t i = 0; i < values.size(); ++i)
        row.values[i].assign(values[i]);
    row.raw.assign(line);
    row.lineNumber = lineNumber;
    if (pending_.size() >= commitRows_ ||
        static_cast<std::uint32_t>(clock_.Ticks() - batchStart_) > kBatchMilliseconds)
        Flush();
    return LineOutcome::Pending;
}

void LogLineLoader::Flush() {
    if (pending_.empty())
        return;
    std::vector<RowValues> rows;
    rows.reserve(pending_.size());
    for (const PendingRow& row : pending_) {
        RowValues values;
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = row.values[i];
        rows.push_back(values);
    }
    bool committed = false;
    if (database_.SetAutoCommit(false)) {
        std::size_t done = 0;
        committed = inserter_->InsertMany(rows, done) && database_.Commit();
        if (!committed)
            database_.Rollback();
        database_.SetAutoCommit(true);
    }
    if (committed) {
        for (const PendingRow& row : pending_) {
            CountInserted();
            Report(LineOutcome::Inserted, row.raw, row.lineNumber, DbResult::Success());
        }
    } else {
        ReplayOneByOne();
    }
    pending_.clear();
}

void LogLineLoader::ReplayOneByOne() {
    // The batch was rolled back whole; row by row, with autocommit, keeps every good row and
    // skips exactly the refused ones, as loading without batches would.
    for (const PendingRow& row : pending_) {
        RowValues values;
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = row.values[i];
        DbResult result = inserter_->Insert(values);
        if (result) {
            CountInserted();
            Report(LineOutcome::Inserted, row.raw, row.lineNumber, result);
        } else {
            Report(LineOutcome::Refused, row.raw, row.lineNumber, result);
        }
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

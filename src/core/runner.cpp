// The job runner: the table check, truncations and the load of every job in order.
#include "core/runner.h"

#include "core/general.h"
#include "core/http_client.h"
#include "core/line_splitter.h"
#include "core/version.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

namespace brenvale {

namespace {

constexpr std::uint32_t kRefreshMilliseconds = 200;
const char* const kLineBreak = "\r\n";

bool HasNoTruncate(const std::string& dbms) {
    return dbms == "SQLite";
}

} // namespace

JobRunner::JobRunner(const RunHost& host)
    : host_(host), loader_(host.database, host.state, host.options, host.clock) {}

void JobRunner::SetObserver(RunObserver* observer) {
    observer_ = observer;
    loader_.SetObserver(observer);
}

bool JobRunner::TableExists(const std::string& table, Database& database, DbResult& error) {
    std::vector<std::string> names;
    error = database.GetTableList(names);
    if (!error)
        return false;
    for (const std::string& name : names)
        if (name == table)
            return true;
    return false;
}

DbResult JobRunner::TruncateTable(const std::string& table) {
    loader_.Flush();
    const std::string statement = HasNoTruncate(host_.database.DbmsName())
                                      ? "DELETE FROM " + table + ";"
                                      : "TRUNCATE " + table + ";";
    return host_.database.Execute(statement);
}

void JobRunner::UpdateRecordCounts() {
    RunState& state = host_.state;
    // Unsigned subtraction is the elapsed time modulo 2^32, so the tick wrap does no harm.
    if (static_cast<std::uint32_t>(host_.clock.Ticks() - state.LastCountRefresh) <=
        kRefreshMilliseconds)
        return;
    host_.status.SetRecordsInsertedFile("Records Inserted (this file):  " +
                                        FormatCount(state.RecordsThisFile));
    host_.status.SetRecordsInsertedTotal("Records Inserted (total):  " +
                                         FormatCount(state.RecordsTotal));
    host_.yielder.Yield();
    state.LastCountRefresh = host_.clock.Ticks();
}

bool JobRunner::HandleLine(std::string_view line, const std::string& table) {
    loader_.InsertLogLine(line, table, ++lineNumber_);
    UpdateRecordCounts();
    return !host_.state.bCancel;
}

void JobRunner::CountLongLines(const LineSplitter& splitter) {
    // Skipped lines still take their number, so later line numbers match the log.
    while (longLinesCounted_ < splitter.LongLinesSkipped()) {
        ++longLinesCounted_;
        ++lineNumber_;
        if (observer_)
            observer_->OnLongLine(lineNumber_);
    }
}

bool JobRunner::ProcessLocalFile(std::istream& stream, const std::string& table,
                                 std::string& failure) {
    LineSplitter splitter;
    longLinesCounted_ = 0;
    std::vector<char> buffer(std::size_t{64} * 1024);
    const auto onLine = [&](std::string_view line) {
        CountLongLines(splitter);
        return HandleLine(line, table);
    };
    bool more = true;
    while (more && stream) {
        stream.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(stream.gcount());
        if (got == 0)
            break;
        more = splitter.Feed(std::string_view(buffer.data(), got), onLine);
    }
    if (more && stream.bad()) {
        failure = "the file could not be read to its end";
        return false;
    }
    if (more)
        splitter.Finish(onLine);
    CountLongLines(splitter);
    if (observer_ && splitter.LongLinesSkipped() > 0)
        observer_->OnLongLines(splitter.LongLinesSkipped());
    return true;
}

bool JobRunner::ProcessURL(const std::string& url, const std::string& table, std::string& failure) {
    host_.yielder.Yield();
    LineSplitter splitter;
    longLinesCounted_ = 0;
    bool cancelled = false;
    const auto onLine = [&](std::string_view line) {
        CountLongLines(splitter);
        return HandleLine(line, table);
    };
    const auto piece = [&](std::string_view bytes) {
        if (!splitter.Feed(bytes, onLine)) {
            cancelled = true;
            return false;
        }
        host_.yielder.Yield();
        return !host_.state.bCancel;
    };
    const auto idle = [&]() {
        host_.yielder.Yield();
        return !host_.state.bCancel;
    };
    const HttpOutcome outcome = HttpGet(url, UserAgent(), piece, idle);
    if (outcome.ok && !cancelled && !host_.state.bCancel)
        splitter.Finish(onLine);
    CountLongLines(splitter);
    if (observer_ && splitter.LongLinesSkipped() > 0)
        observer_->OnLongLines(splitter.LongLinesSkipped());
    if (!outcome.ok && !outcome.stopped) {
        failure = outcome.error;
        return false;
    }
    return true;
}

bool JobRunner::LoadJob(const Job& job, std::string& failure) {
    if (job.File.compare(0, 7, "http://") == 0)
        return ProcessURL(job.File, job.DBTable, failure);
    std::ifstream stream(job.File, std::ios::binary);
    if (job.File.empty() || !stream.is_open()) {
        failure = job.File.empty() ? "no file name was given" : std::strerror(errno);
        return false;
    }
    return ProcessLocalFile(stream, job.DBTable, failure);
}

void JobRunner::EndRun() {
    loader_.Reset();
    host_.status.Hide();
    host_.status.SetOwnerEnabled(true);
    host_.state.bCancel = false;
}

RunResult JobRunner::ProcessJobs() {
    jobsFailed_ = 0;
    if (host_.jobs.Count() == 0)
        return RunResult::NothingToDo;
    if (!host_.database.IsOpen()) {
        host_.prompts.Inform(MessageIcon::Exclamation, "No Database Connection",
                             "No database connection is open.  Please select a DSN before "
                             "processing log files.");
        host_.state.bCancel = false;
        return RunResult::NoConnection;
    }

    StatusDisplay& status = host_.status;
    RunState& state = host_.state;
    status.SetStatus("Status: Setting Up Jobs");
    status.SetFilesProcessed("Files Processed: ");
    status.SetRecordsInsertedTotal("Records Inserted (total): ");
    status.SetRecordsInsertedFile("Records Inserted (this file): ");
    status.Show();
    status.SetOwnerEnabled(false);
    state.RecordsThisFile = 0;
    state.RecordsTotal = 0;
    host_.yielder.Yield();

    const int count = host_.jobs.Count();
    status.SetProgressMaximum(static_cast<float>(count));
    status.SetProgressMinimum(0);

    for (int i = 1; i <= host_.jobs.Count(); ++i) {
        const std::string table = host_.jobs.Text(i, kColumnTable);
        DbResult error;
        if (TableExists(table, host_.database, error))
            continue;
        if (!error) {
            host_.prompts.Inform(MessageIcon::Critical, "Error Reading Tables",
                                 std::string("The list of tables could not be read from the "
                                             "database:") +
                                     kLineBreak + kLineBreak + error.message);
            EndRun();
            return RunResult::TableCheckFailed;
        }
        if (!host_.prompts.AskYesNo(MessageIcon::Exclamation, "Table Does Not Exist",
                                    "The selected table '" + table +
                                        "' does not seem to exist.  Continue anyway?")) {
            EndRun();
            return RunResult::MissingTable;
        }
    }

    const auto truncate = [&](const std::string& table) {
        const DbResult result = TruncateTable(table);
        if (result)
            return true;
        host_.prompts.Inform(MessageIcon::Critical, "Error Emptying Table",
                             "The table '" + table + "' could not be emptied:" + kLineBreak +
                                 kLineBreak + result.message + kLineBreak + kLineBreak +
                                 "The run has been stopped.");
        return false;
    };

    if (host_.options.TruncateOnStart()) {
        for (int i = 1; i <= host_.jobs.Count(); ++i) {
            const std::string table = host_.jobs.Text(i, kColumnTable);
            status.SetStatus("Status:  Truncating table '" + table + "'");
            status.SetProgressValue(static_cast<float>(i));
            host_.yielder.Yield();
            if (!truncate(table)) {
                EndRun();
                return RunResult::TruncateFailed;
            }
        }
    }

    for (int i = 1; i <= host_.jobs.Count(); ++i) {
        const Job job{host_.jobs.Text(i, kColumnFile), host_.jobs.Text(i, kColumnTable)};
        status.SetProgressValue(static_cast<float>(i));
        status.SetStatus("Status:  Parsing file '" + GetFileName(job.File) + "'");
        status.SetFilesProcessed("Processing File:  " + std::to_string(i) + " of " +
                                 std::to_string(host_.jobs.Count()));
        host_.yielder.Yield();
        state.RecordsThisFile = 0;
        lineNumber_ = 0;
        loader_.Reset();
        if (observer_)
            observer_->OnJobStart(i, host_.jobs.Count(), job);
        if (host_.options.TruncateOnInsert() && !truncate(job.DBTable)) {
            if (observer_)
                observer_->OnJobEnd(i, job, "the table could not be emptied");
            EndRun();
            return RunResult::TruncateFailed;
        }
        std::string failure;
        const bool loaded = LoadJob(job, failure);
        loader_.Flush();
        if (!loaded) {
            ++jobsFailed_;
            // A download that fails is quiet, as the window has always been; an unreadable
            // local file is worth a word, and the run goes on with the next job.
            if (job.File.compare(0, 7, "http://") != 0)
                host_.prompts.Inform(MessageIcon::Exclamation, "Error Opening Log File",
                                     "The log file '" + job.File + "' could not be read:" +
                                         kLineBreak + kLineBreak + failure);
        }
        if (observer_)
            observer_->OnJobEnd(i, job, loaded ? std::string() : failure);
        if (state.bCancel) {
            EndRun();
            return RunResult::Cancelled;
        }
    }
    EndRun();
    return RunResult::Completed;
}

} // namespace brenvale

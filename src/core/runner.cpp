// The job runner: the table check, truncations and the load of every job in order.
#include "core/runner.h"

#include "core/general.h"
#include "core/http_client.h"
#include "core/log_reader.h"
#include "core/version.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace brenvale {

namespace {

constexpr std::uint32_t kRefreshMilliseconds = 200;
const char* const kLineBreak = "\r\n";
const char* const kCutGzip = "the gzip file ends in the middle of its data";

/// "+01:00" for 3600 seconds east of UTC.
std::string UtcOffsetText(std::int64_t seconds) {
    const std::int64_t minutes = (seconds < 0 ? -seconds : seconds) / 60;
    char text[48];
    std::snprintf(text, sizeof text, "%c%02lld:%02lld", seconds < 0 ? '-' : '+',
                  static_cast<long long>(minutes / 60), static_cast<long long>(minutes % 60));
    return text;
}

/// A pause before the next try to connect: 1, 2, 4 ... 30 seconds, yielding so Cancel is seen.
void PauseBeforeReconnect(int attempt, Yielder& yielder, RunState& state) {
    const int seconds = std::min(30, 1 << std::min(attempt - 1, 5));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until && !state.bCancel) {
        yielder.Yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

/// Keeps a downloaded gzip document in an unnamed scratch file, so each member is checked whole
/// before any of its lines is loaded, as for a local archive.
class GzipSpool {
public:
    GzipSpool() {
        const char* dir = std::getenv("TMPDIR");
        std::string name = std::string(dir && *dir ? dir : "/tmp") + "/brenvale-XXXXXX";
        fd_ = ::mkstemp(name.data());
        if (fd_ < 0)
            error_ = std::string("no scratch file for the gzip document: ") + std::strerror(errno);
        else
            ::unlink(name.c_str());
    }
    ~GzipSpool() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    GzipSpool(const GzipSpool&) = delete;
    GzipSpool& operator=(const GzipSpool&) = delete;

    /// False (with Error set) when the bytes cannot be kept.
    bool Write(std::string_view bytes) {
        while (error_.empty() && !bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                error_ = std::string("the gzip document could not be kept: ") +
                         std::strerror(n < 0 ? errno : ENOSPC);
            else
                bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return error_.empty();
    }
    /// Reads the document back, its members' text to `text`.
    LocalReadResult Replay(const std::function<bool(std::string_view)>& text,
                           const std::function<bool()>& idle) const {
        LocalReadCallbacks callbacks;
        callbacks.onStream = [](int, std::uint64_t) { return true; };
        callbacks.onBytes = text;
        callbacks.idle = idle;
        return ReadLocalLog("/proc/self/fd/" + std::to_string(fd_), 0, 0, callbacks);
    }
    const std::string& Error() const { return error_; }

private:
    int fd_ = -1;
    std::string error_;
};

} // namespace

JobRunner::JobRunner(const RunHost& host)
    : host_(host), loader_(host.database, host.state, host.options, host.clock) {
    reconnectWait_ = [this](int attempt) {
        PauseBeforeReconnect(attempt, host_.yielder, host_.state);
    };
}

void JobRunner::SetObserver(RunObserver* observer) {
    observer_ = observer;
    loader_.SetObserver(observer);
}

void JobRunner::SetSettings(const RunSettings& settings) {
    settings_ = settings;
    loader_.SetCommitRows(settings.commitRows);
    loader_.SetAllowNative(settings.allowNative);
    loader_.SetLazyCommits(settings.lazyCommits);
}

void JobRunner::SetCommitRows(std::size_t rows) {
    RunSettings settings = settings_;
    settings.commitRows = rows;
    SetSettings(settings);
}

bool JobRunner::TableExists(const std::string& table, Database& database, DbResult& error) {
    bool exists = false;
    error = database.FindTable(table, exists);
    return error && exists;
}

DbResult JobRunner::TruncateTable(const std::string& table) {
    loader_.Flush();
    std::uint64_t held = 0;
    DbResult emptied = host_.database.EmptyTable(
        table,
        [this] {
            host_.yielder.Yield();
            host_.yielder.Poll();
            return !host_.state.bCancel;
        },
        &held);
    if (emptied && observer_)
        observer_->OnTableEmptied(table, held);
    return emptied;
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
    lastYield_ = state.LastCountRefresh;
}

bool JobRunner::KeepResponsive() {
    const std::uint32_t now = host_.clock.Ticks();
    if (static_cast<std::uint32_t>(now - lastYield_) > kRefreshMilliseconds) {
        host_.yielder.Yield();
        lastYield_ = now;
    }
    host_.yielder.Poll();
    return !host_.state.bCancel;
}

bool JobRunner::HandleLine(std::string_view line, const std::string& table, const LineMark& mark) {
    if (holdBack_ && lines_->EndsAfterPlaylist(line)) {
        // Its titles may not be written yet: this line and the ones after it wait.
        heldBack_ = true;
        if (observer_)
            observer_->OnNotice("Lines of '" + streamName_ + "' from line " +
                                std::to_string(mark.line) +
                                " on end after the last line of the playlist log; a later run "
                                "loads them once their titles are known.");
        return false;
    }
    loader_.InsertLogLine(line, table, mark);
    UpdateRecordCounts();
    host_.yielder.Poll();
    return !Stopping();
}

bool JobRunner::FeedLines(LineSplitter& splitter, std::string_view bytes,
                          const std::string& table) {
    return splitter.Feed(
        bytes,
        [&](std::string_view line, const LineMark& mark) { return HandleLine(line, table, mark); },
        [&](const LineMark& mark) {
            loader_.SkipLine(LineOutcome::TooLong, {}, mark);
            return !Stopping() && KeepResponsive();
        });
}

bool JobRunner::FinishStream(LineSplitter& splitter, const std::string& table, bool complete,
                             bool holdBack, bool reportHeld) {
    if (!splitter.HasPartialLine())
        return true;
    if (complete && !holdBack) {
        return splitter.Finish([&](std::string_view line,
                                   const LineMark& mark) { return HandleLine(line, table, mark); },
                               [&](const LineMark& mark) {
                                   loader_.SkipLine(LineOutcome::TooLong, {}, mark);
                                   return !Stopping();
                               });
    }
    // Still being written: a later reading (or run) gets it whole.
    if (!loader_.Flush())
        return false;
    if (observer_ && reportHeld) {
        LineMark partial = splitter.LastLineEnd();
        ++partial.line;
        observer_->OnLine(LineOutcome::Incomplete, splitter.PartialLine(), partial,
                          DbResult::Success());
    }
    return true;
}

bool JobRunner::ReadLocal(const std::string& path, const std::string& table,
                          const LocalStreams& streams, std::string& failure) {
    LineSplitter splitter;
    int current = -1;       // the stream being loaded
    std::uint64_t pass = 0; // bytes of it to pass over before its lines start
    bool passing = false;   // the whole stream is passed by
    bool ended = false;
    LocalReadCallbacks callbacks;
    callbacks.onStream = [&](int index, std::uint64_t fileOffset) {
        if (current >= 0 && !passing) {
            // A gzip member ended whole: its last line is complete.
            if (!FinishStream(splitter, table, true, streams.holdBack))
                return false;
            if (streams.ended)
                streams.ended(current);
        }
        if (streams.last >= 0 && index > streams.last) {
            ended = true;
            return false;
        }
        current = streamIndex_ = index;
        const std::optional<LineMark> start = streams.begin(index, fileOffset);
        passing = !start;
        if (passing)
            return !Stopping();
        // The reader passes over the first stream's loaded bytes itself.
        pass = index == streams.from.stream ? 0 : start->offset;
        LineMark from = *start;
        from.stream = index;
        splitter = LineSplitter();
        splitter.StartAt(from);
        if (lines_)
            lines_->StartStream();
        if (!loader_.StartStream(from))
            return false;
        return !Stopping();
    };
    callbacks.onBytes = [&](std::string_view bytes) {
        if (passing)
            return KeepResponsive();
        const auto passed = static_cast<std::size_t>(std::min<std::uint64_t>(pass, bytes.size()));
        pass -= passed;
        bytes.remove_prefix(passed);
        return FeedLines(splitter, bytes, table) && KeepResponsive();
    };
    callbacks.idle = [&]() { return KeepResponsive(); };
    callbacks.onProgress = [&](std::uint64_t done, std::uint64_t size) {
        host_.status.SetFileProgress(done, size);
    };
    const LocalReadResult read = ReadLocalLog(path, streams.from.stream, streams.from.mark.offset,
                                              callbacks, streams.from.fileOffset);
    if (!read.ok) {
        failure = read.error;
        // Bytes after the last sound member: its lines are whole and go in before the failure.
        if (read.damaged && read.handedOnSound && current >= 0 && !passing && !ended &&
            !Stopping() && FinishStream(splitter, table, true, streams.holdBack))
            loader_.Flush();
        if (read.damaged && streams.damaged && !loader_.Stopped() && !Stopping()) {
            streams.damaged(path + ": " + read.error);
            return true;
        }
        return false;
    }
    if (read.stopped || ended || Stopping())
        return true;
    const bool loading = current >= 0 && !passing;
    if (loading &&
        FinishStream(splitter, table, !read.grew && !read.cutShort, streams.holdBack,
                     !streams.mayGrow) &&
        !read.cutShort && loader_.Flush() && streams.ended)
        streams.ended(current);
    if (read.cutShort) {
        failure = kCutGzip;
        return false;
    }
    return true;
}

/// One download while its body arrives.
struct JobRunner::Download {
    LineSplitter splitter;
    std::unique_ptr<GzipSpool> spool; ///< a gzip document, kept whole until it is checked
    bool gzip = false;
    bool firstPiece = true;
    bool partial = false;         ///< the answer is a 206: the body starts at the asked offset
    bool changed = false;         ///< not the document the position belongs to
    std::uint64_t received = 0;   ///< bytes of the document the body reached
    std::uint64_t downloaded = 0; ///< bytes of the document as it travels, for the progress
    std::uint64_t length = 0;     ///< the document's length, 0 when the server gave none
    std::uint64_t skipHash = kHashStart;
};

JobRunner::DownloadEnd JobRunner::ReadURL(const std::string& url, const std::string& table,
                                          const LineMark& from, const DownloadOptions& options,
                                          std::string& failure) {
    host_.yielder.Yield();
    Download d;
    streamIndex_ = 0;
    streamName_ = url;
    loader_.StartStream(from);
    if (lines_)
        lines_->StartStream();
    const auto body = [&](std::string_view bytes) { return FeedBody(d, bytes, from, table); };
    const auto piece = [&](std::string_view bytes) {
        d.downloaded += bytes.size();
        host_.status.SetFileProgress(d.downloaded, d.length);
        if (d.firstPiece) {
            d.firstPiece = false;
            d.gzip = !d.partial && LooksGzip(bytes);
            if (d.gzip)
                d.spool = std::make_unique<GzipSpool>();
            if (options.keepValidator && d.gzip)
                loader_.SetValidator(kGzipDocument);
        }
        const bool more = d.gzip ? d.spool->Write(bytes) : body(bytes);
        if (!more)
            return false;
        host_.yielder.Yield();
        return !Stopping();
    };
    const auto idle = [&]() {
        host_.yielder.Yield();
        return !Stopping();
    };
    HttpRequest request;
    if (options.useRange && from.offset > 0) {
        request.rangeFrom = from.offset;
        request.ifRange = options.validator;
    }
    request.onResponse = [&](const HttpResponseInfo& info) {
        StartBody(d, info, from, options.keepValidator);
    };
    const HttpOutcome outcome = HttpGet(url, UserAgent(), piece, idle, {}, request);
    // A gzip document is loaded once it is in, each member checked whole first.
    LocalReadResult unpacked;
    unpacked.ok = true;
    if (d.gzip && d.spool->Error().empty() && !outcome.stopped && !Stopping())
        unpacked = d.spool->Replay(body, idle);
    return EndDownload(d, outcome, unpacked, table, from, options.holdBack, failure);
}

void JobRunner::StartBody(Download& d, const HttpResponseInfo& info, const LineMark& from,
                          bool keepValidator) {
    d.partial = info.status == 206;
    // A partial body counts on from where it starts in the whole document.
    d.downloaded =
        d.partial && info.rangeStart > 0 ? static_cast<std::uint64_t>(info.rangeStart) : 0;
    const std::int64_t whole = d.partial ? info.completeLength : info.contentLength;
    d.length = whole > 0 ? static_cast<std::uint64_t>(whole) : 0;
    if (d.partial) {
        // The body goes on where the earlier one ended, or it is not the same document.
        if (info.rangeStart != static_cast<std::int64_t>(from.offset))
            d.changed = true;
        d.received = from.offset;
        d.splitter.StartAt(from);
    } else {
        d.splitter.StartAt(LineMark{});
    }
    if (keepValidator)
        loader_.SetValidator(!info.etag.empty() ? info.etag : info.lastModified);
}

bool JobRunner::FeedBody(Download& d, std::string_view bytes, const LineMark& from,
                         const std::string& table) {
    // Bytes up to `from` were loaded before: a whole body skips them, and they must be the same.
    if (d.received < from.offset) {
        const auto skipped = static_cast<std::size_t>(
            std::min<std::uint64_t>(from.offset - d.received, bytes.size()));
        d.skipHash = HashBytes(bytes.substr(0, skipped), d.skipHash);
        d.received += skipped;
        bytes.remove_prefix(skipped);
        if (d.received < from.offset)
            return true;
        if (d.skipHash != from.prefixHash) {
            d.changed = true;
            return false;
        }
        d.splitter.StartAt(from);
    }
    d.received += bytes.size();
    return bytes.empty() || FeedLines(d.splitter, bytes, table);
}

JobRunner::DownloadEnd JobRunner::EndDownload(Download& d, const HttpOutcome& outcome,
                                              const LocalReadResult& unpacked,
                                              const std::string& table, const LineMark& from,
                                              bool holdBack, std::string& failure) {
    if (d.changed)
        return DownloadEnd::Changed;
    if (outcome.ok && outcome.status == 416) {
        // Nothing after the offset: the same document, or a shorter (new) one.
        if (outcome.info.completeLength >= 0 &&
            static_cast<std::uint64_t>(outcome.info.completeLength) < from.offset)
            return DownloadEnd::Changed;
        return DownloadEnd::Done;
    }
    if (outcome.ok && d.received < from.offset)
        return DownloadEnd::Changed; // a whole body shorter than what was loaded
    if (d.gzip && !d.spool->Error().empty()) {
        failure = d.spool->Error();
        return DownloadEnd::Failed;
    }
    if (!unpacked.ok) {
        failure = unpacked.error;
        // Bytes after the last member: the members before them were checked whole.
        if (unpacked.damaged && !Stopping() && FinishStream(d.splitter, table, true, false))
            loader_.Flush();
        return DownloadEnd::Failed;
    }
    if (Stopping())
        return DownloadEnd::Done;
    // A body cut short (or a gzip document cut inside a member) leaves its last line unfinished.
    FinishStream(d.splitter, table, outcome.ok && !unpacked.cutShort, holdBack);
    if (!outcome.ok && !outcome.stopped) {
        failure = outcome.error;
        return DownloadEnd::Failed;
    }
    if (unpacked.cutShort) {
        failure = "the gzip document ends in the middle of its data";
        return DownloadEnd::Failed;
    }
    return DownloadEnd::Done;
}

bool JobRunner::ProcessLocalFile(const std::string& path, const std::string& table,
                                 std::string& failure) {
    LocalStreams streams;
    streams.begin = [&](int index, std::uint64_t) {
        streamName_ = index == 0 ? path : path + "#" + std::to_string(index + 1);
        const LineMark start = index == streams.from.stream ? streams.from.mark : LineMark{};
        // Lines before `start` were loaded by this run, before a new connection: counted then.
        if (observer_)
            observer_->OnStream(streamName_, index, 0, false);
        return std::optional<LineMark>(start);
    };
    for (;;) {
        const bool read = ReadLocal(path, table, streams, failure);
        if (!loader_.Stopped())
            return read;
        if (!Recover()) {
            failure = RecoveryFailure();
            return false;
        }
        streams.from = {loader_.Committed().stream, loader_.Committed()};
    }
}

bool JobRunner::ProcessURL(const std::string& url, const std::string& table, std::string& failure) {
    LineMark from;
    if (observer_)
        observer_->OnStream(url, 0, 0, false);
    for (;;) {
        const DownloadEnd end = ReadURL(url, table, from, {}, failure);
        if (end == DownloadEnd::Changed) {
            failure = "the document changed while it was loaded";
            return false;
        }
        if (!loader_.Stopped())
            return end == DownloadEnd::Done;
        if (!Recover()) {
            failure = RecoveryFailure();
            return false;
        }
        from = loader_.Committed();
    }
}

std::string JobRunner::RecoveryFailure() const {
    return jobFailure_.ok ? databaseFailure_.message : jobFailure_.message;
}

bool JobRunner::Recover() {
    DbResult failure = loader_.Failure();
    // Lazy commits are stored only once a durable one follows.
    lastStoredLine_ = loader_.Durable().line;
    if (!failure.Fatal() && failure.failure != DbFailure::Busy &&
        failure.failure != DbFailure::Taken) {
        // A driver may word a dead connection as a refusal of its own statement ("internal
        // SAVEPOINT failed"): the database itself tells.
        if (const DbResult ping = host_.database.Ping(); ping.failure == DbFailure::ConnectionLost)
            failure = loader_.LostMeanwhile(ping);
    }
    if (!failure.Fatal() && failure.failure != DbFailure::Busy) {
        // The database works, but this job cannot go on: its position was refused, or another
        // run is loading the same source. The lines in hand were not stored by this run.
        jobFailure_ = failure;
        loader_.Resume(false);
        return false;
    }
    const int attempts = failure.failure == DbFailure::ConnectionLost ? ConnectAgain() : 0;
    if (attempts == 0) {
        databaseFailure_ = failure;
        loader_.ReportUnfinished();
        return false;
    }
    // Where a position was stored, it tells whether the commit whose answer was lost took
    // effect; otherwise what was in hand is sent again.
    loader_.Resume(loader_.UnfinishedInDoubt() &&
                   loader_.UnitCommittedAfterReconnect(job_.DBTable));
    // A server that crashed may have lost lazy commits: loading goes back to what it kept.
    if (!loader_.TakeBackLostCommits(job_.DBTable)) {
        databaseFailure_ = loader_.Failure();
        loader_.ReportUnfinished();
        return false;
    }
    if (observer_)
        observer_->OnReconnected(loader_.Committed().line, attempts);
    return true;
}

int JobRunner::ConnectAgain() {
    if (settings_.reconnectSeconds == 0 || host_.state.bCancel)
        return 0;
    const std::uint32_t started = host_.clock.Ticks();
    const std::uint64_t limit = std::uint64_t{settings_.reconnectSeconds} * 1000;
    for (int attempt = 1;; ++attempt) {
        host_.status.SetStatus("Status:  Connecting to the database again (attempt " +
                               std::to_string(attempt) + ")");
        host_.yielder.Yield();
        if (host_.state.bCancel)
            return 0;
        loader_.ForgetWriter();
        // One round over the data sources: the first that answers (another node) serves.
        if (host_.database.Reconnect()) {
            host_.status.SetStatus("Status:  Parsing file '" + GetFileName(job_.File) + "'");
            return attempt;
        }
        if (static_cast<std::uint32_t>(host_.clock.Ticks() - started) >= limit)
            return 0;
        reconnectWait_(attempt);
    }
}

bool JobRunner::PrepareFormat(const Job& job, std::string& failure) {
    heldBack_ = false;
    holdBack_ = false;
    loader_.SetLineRows(nullptr);
    lines_.reset();
    titles_.reset();
    const std::string& name = settings_.format.empty() ? job.Format : settings_.format;
    const std::optional<LogFormat> format = ParseLogFormat(name);
    if (!format || *format == LogFormat::IcecastPlaylist) {
        failure =
            !format ? "the log format '" + name + "' is not known (auto, shoutcast or icecast are)"
                    : "an Icecast playlist log names titles, not listeners: name it as the "
                      "Playlist of its access log's job";
        return false;
    }
    // A SHOUTcast log is read as it always was.
    if (*format == LogFormat::W3C && job.Playlist.empty())
        return true;
    std::optional<std::string> playlist = job.Playlist;
    if (job.Playlist.empty())
        playlist = IsDownload(job.File) ? std::nullopt : PlaylistBeside(job.File);
    if (playlist && !IsDownload(*playlist) &&
        CanonicalSource(*playlist) == CanonicalSource(job.File))
        playlist.reset();
    if (playlist) {
        titles_ = std::make_unique<TitleTimeline>();
        host_.status.SetStatus("Status:  Reading playlist log '" + GetFileName(*playlist) + "'");
        std::string error;
        if (!ReadPlaylist(*playlist, *titles_, error, [this] { return KeepResponsive(); })) {
            if (host_.state.bCancel)
                return true;
            if (!job.Playlist.empty()) {
                failure = "the playlist log '" + *playlist + "' could not be read: " + error;
                return false;
            }
            // Only found by its name: the log is loaded without titles.
            titles_.reset();
            if (observer_)
                observer_->OnNotice("'" + *playlist + "' beside the log is not used: " + error +
                                    ".");
        }
        host_.status.SetStatus("Status:  Parsing file '" + GetFileName(job.File) + "'");
        holdBack_ = settings_.incremental && titles_;
    }
    lines_ = std::make_unique<FormatLines>(*format, titles_.get());
    if (settings_.stationOffset)
        lines_->CheckOffsets(
            settings_.stationOffset,
            [this, file = job.File](const LogTime& time, std::int64_t expected) {
                if (std::exchange(offsetWarned_, true) || !observer_)
                    return;
                observer_->OnNotice(
                    "The times of '" + file + "' are at UTC" + UtcOffsetText(time.offset) + " (" +
                    FormatLocalTime(time.local) + "), but the station's time zone " +
                    settings_.stationZone + " is at UTC" + UtcOffsetText(expected) +
                    " then; they are loaded as written.");
            });
    loader_.SetLineRows(lines_.get());
    return true;
}

bool JobRunner::LoadJob(const Job& job, std::string& failure) {
    if (!PrepareFormat(job, failure))
        return false;
    bool loaded = false;
    if (settings_.incremental)
        loaded = LoadIncremental(job, failure);
    else if (IsDownload(job.File))
        loaded = ProcessURL(job.File, job.DBTable, failure);
    else
        loaded = ProcessLocalFile(job.File, job.DBTable, failure);
    if (lines_ && lines_->SawPlaylist() && observer_)
        observer_->OnNotice("'" + job.File +
                            "' is an Icecast playlist log: its lines are titles, not listeners, "
                            "so none was loaded. Name it as the Playlist of its access log's job.");
    return loaded;
}

void JobRunner::EndRun() {
    loader_.Reset();
    host_.status.Hide();
    host_.status.SetOwnerEnabled(true);
    host_.state.bCancel = false;
}

RunResult JobRunner::ProcessJobs() {
    if (const std::optional<RunResult> refused = StartRun())
        return *refused;
    std::optional<RunResult> ended = CheckTables();
    if (!ended && host_.options.TruncateOnStart())
        ended = EmptyTablesFirst();
    for (int i = 1; !ended && i <= host_.jobs.Count(); ++i)
        ended = RunJob(i);
    EndRun();
    return ended.value_or(RunResult::Completed);
}

std::optional<RunResult> JobRunner::StartRun() {
    jobsFailed_ = 0;
    offsetWarned_ = false;
    databaseFailure_ = DbResult::Success();
    jobFailure_ = DbResult::Success();
    missingTables_.clear();
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
    status.SetStatus("Status: Setting Up Jobs");
    status.SetFilesProcessed("Files Processed: ");
    status.SetRecordsInsertedTotal("Records Inserted (total): ");
    status.SetRecordsInsertedFile("Records Inserted (this file): ");
    status.Show();
    status.SetOwnerEnabled(false);
    host_.state.RecordsThisFile = 0;
    host_.state.RecordsTotal = 0;
    host_.yielder.Yield();
    lastYield_ = host_.clock.Ticks();
    status.SetProgressMaximum(static_cast<float>(host_.jobs.Count()));
    status.SetProgressMinimum(0);
    return std::nullopt;
}

std::optional<RunResult> JobRunner::CheckTables() {
    for (int i = 1; i <= host_.jobs.Count(); ++i) {
        const std::string table = host_.jobs.Text(i, kColumnTable);
        DbResult error;
        host_.yielder.Poll();
        if (host_.state.bCancel)
            return RunResult::Cancelled;
        if (IsProgramTable(table)) {
            host_.prompts.Inform(MessageIcon::Critical, "Table Not Allowed",
                                 "Job " + std::to_string(i) + " names '" + table +
                                     "', the table in which this program keeps how far each log "
                                     "was loaded. It takes no log lines; choose another target "
                                     "table." +
                                     kLineBreak + kLineBreak + "Nothing was loaded.");
            return RunResult::ProgramTable;
        }
        // A table asked about once is not asked about again in the same run.
        if (missingTables_.count(table) > 0 || TableExists(table, host_.database, error))
            continue;
        if (!error) {
            host_.prompts.Inform(MessageIcon::Critical, "Error Reading Tables",
                                 std::string("The list of tables could not be read from the "
                                             "database:") +
                                     kLineBreak + kLineBreak + error.message);
            return RunResult::TableCheckFailed;
        }
        if (!host_.prompts.AskYesNo(MessageIcon::Exclamation, "Table Does Not Exist",
                                    MissingTableQuestion(table)))
            return RunResult::MissingTable;
        missingTables_.insert(table);
    }
    return std::nullopt;
}

bool JobRunner::EmptyBeforeLoading(const std::string& table) {
    // A table the catalogue does not list is never emptied: its lines are refused instead.
    if (missingTables_.count(table) > 0)
        return true;
    const DbResult result = TruncateTable(table);
    // A cancel while another session held the table: it stays as it was.
    if (result || host_.state.bCancel)
        return true;
    host_.prompts.Inform(MessageIcon::Critical, "Error Emptying Table",
                         "The table '" + table + "' could not be emptied:" + kLineBreak +
                             kLineBreak + result.message + kLineBreak + kLineBreak +
                             "The run has been stopped.");
    return false;
}

std::optional<RunResult> JobRunner::EmptyTablesFirst() {
    for (int i = 1; i <= host_.jobs.Count(); ++i) {
        const std::string table = host_.jobs.Text(i, kColumnTable);
        host_.status.SetStatus("Status:  Truncating table '" + table + "'");
        host_.status.SetProgressValue(static_cast<float>(i));
        host_.yielder.Yield();
        // A cancel seen before a table is emptied keeps it.
        if (host_.state.bCancel)
            return RunResult::Cancelled;
        if (!EmptyBeforeLoading(table))
            return RunResult::TruncateFailed;
        if (host_.state.bCancel)
            return RunResult::Cancelled;
    }
    return std::nullopt;
}

std::optional<RunResult> JobRunner::RunJob(int i) {
    job_ = {host_.jobs.Text(i, kColumnFile), host_.jobs.Text(i, kColumnTable),
            host_.jobs.Text(i, kColumnFormat), host_.jobs.Text(i, kColumnPlaylist)};
    const Job& job = job_;
    StatusDisplay& status = host_.status;
    status.SetProgressValue(static_cast<float>(i));
    status.SetStatus("Status:  Parsing file '" + GetFileName(job.File) + "'");
    status.SetFilesProcessed("Processing File:  " + std::to_string(i) + " of " +
                             std::to_string(host_.jobs.Count()));
    host_.yielder.Yield();
    if (host_.state.bCancel)
        return RunResult::Cancelled;
    host_.state.RecordsThisFile = 0;
    status.SetFileProgress(0, 0);
    loader_.Reset();
    if (observer_)
        observer_->OnJobStart(i, host_.jobs.Count(), job);
    std::optional<RunResult> ended;
    std::string failure;
    if (host_.options.TruncateOnInsert() && !EmptyBeforeLoading(job.DBTable)) {
        failure = "the table could not be emptied";
        ended = RunResult::TruncateFailed;
    } else if (!host_.state.bCancel) {
        ended = LoadAndSettle(job, failure);
    }
    if (observer_)
        observer_->OnJobEnd(i, job, failure);
    if (!ended && host_.state.bCancel)
        return RunResult::Cancelled;
    return ended;
}

std::optional<RunResult> JobRunner::LoadAndSettle(const Job& job, std::string& failure) {
    bool loaded = LoadJob(job, failure);
    // The lines in hand belong to this job however it ended, so its counts agree with the table.
    if (databaseFailure_.ok && !loader_.Flush() && !Recover()) {
        if (failure.empty())
            failure = RecoveryFailure();
        loaded = false;
    }
    if (!databaseFailure_.ok) {
        if (failure.empty())
            failure = databaseFailure_.message;
        return databaseFailure_.failure == DbFailure::ConnectionLost ? RunResult::DatabaseLost
                                                                     : RunResult::DatabaseFull;
    }
    const DbResult jobFailure = std::exchange(jobFailure_, DbResult::Success());
    if (jobFailure.failure == DbFailure::Taken) {
        // Not a failure: the other run loads what is left, and nothing was stored twice.
        loaded = true;
        if (observer_)
            observer_->OnNotice(jobFailure.message + " This run left the rest to it.");
    } else if (!loaded) {
        ++jobsFailed_;
        // A download that fails is quiet, as the window has always been; an unreadable local
        // file is worth a word, and the run goes on with the next job.
        if (!jobFailure.ok)
            host_.prompts.Inform(MessageIcon::Exclamation, "Error Loading Log File",
                                 "The log file '" + job.File +
                                     "' could not be loaded:" + kLineBreak + kLineBreak + failure);
        else if (!IsDownload(job.File))
            host_.prompts.Inform(MessageIcon::Exclamation, "Error Opening Log File",
                                 "The log file '" + job.File + "' could not be read:" + kLineBreak +
                                     kLineBreak + failure);
    }
    if (loaded)
        failure.clear();
    return std::nullopt;
}

std::string MissingTableQuestion(const std::string& table) {
    return "The selected table '" + table + "' does not seem to exist.  Continue anyway?";
}

} // namespace brenvale

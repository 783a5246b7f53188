// The job runner: the table check, truncations and the load of every job in order.
#pragma once

#include "core/database.h"
#include "core/icecast_lines.h"
#include "core/incremental.h"
#include "core/job.h"
#include "core/line_splitter.h"
#include "core/log_loader.h"
#include "core/run_state.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brenvale {

struct HttpOutcome;
struct HttpResponseInfo;
struct LocalReadResult;

/// How a run ended.
enum class RunResult {
    Completed,        ///< every job was processed (some may have failed; see JobsFailed)
    NothingToDo,      ///< the job list was empty
    NoConnection,     ///< no database connection was open
    TableCheckFailed, ///< the catalogue could not be read
    ProgramTable,     ///< a job names the program's own bookkeeping table
    MissingTable,     ///< the user declined to go on without a table
    TruncateFailed,   ///< emptying a table failed; the run stopped there
    Cancelled,        ///< the user cancelled
    DatabaseLost,     ///< the connection was lost and could not be made again in time
    DatabaseFull,     ///< the database could store nothing more
};

/// Told about the course of a run, beyond what the status window shows.
class RunObserver : public LoadObserver {
public:
    virtual void OnJobStart(int position, int count, const Job& job) = 0;
    /// `failure` is empty when the log was read to its end (or the run was cancelled).
    virtual void OnJobEnd(int position, const Job& job, const std::string& failure) = 0;
    /// Lines of a job now come from `name` (the job's file, a rotated file, a gzip member, a
    /// download), stream `stream` of its file: the lines whose marks say that stream are its.
    /// With incremental loading `alreadyLoaded` lines of it were loaded by earlier runs and are
    /// skipped; `rotated` when it is an earlier file whose tail was finished.
    virtual void OnStream(const std::string& /*name*/, int /*stream*/,
                          std::uint64_t /*alreadyLoaded*/, bool /*rotated*/) {}
    /// The database connection was lost and made again; loading goes on from `line`.
    virtual void OnReconnected(std::uint64_t /*line*/, int /*attempts*/) {}
    /// `table` was emptied before loading; it held `rows` rows.
    virtual void OnTableEmptied(const std::string& /*table*/, std::uint64_t /*rows*/) {}
};

/// Everything a run reaches the outside through.
struct RunHost {
    JobList& jobs;
    Database& database;
    StatusDisplay& status;
    Prompts& prompts;
    Yielder& yielder;
    const Options& options;
    TickClock& clock;
    RunState& state;
};

/// How the runner loads, beyond the options of the window.
struct RunSettings {
    std::size_t commitRows = 1; ///< rows per transaction; 1 is row by row
    bool incremental = false;   ///< load only lines not loaded before
    bool allowNative = true;    ///< batches through the database's own library
    /// Counted batches may commit without waiting for the disk (PostgreSQL); a crash of the
    /// server then takes back at most the last two seconds, which the run loads again.
    bool lazyCommits = true;
    std::uint32_t reconnectSeconds = 300; ///< how long to try to connect again after a loss
    std::string format{}; ///< every job's log format (see ParseLogFormat); empty: each job's own
    /// The station's time zone, whose offset at an instant Icecast's times are checked against.
    std::string stationZone{};
    std::function<std::int64_t(std::int64_t instant)> stationOffset{};
};

/// The validator kept for a downloaded gzip document, whose offsets no Range can reach.
inline constexpr const char* kGzipDocument = "gzip";

/// The question asked when a job's table is not in the catalogue.
std::string MissingTableQuestion(const std::string& table);

class JobRunner {
public:
    explicit JobRunner(const RunHost& host);

    void SetObserver(RunObserver* observer);
    void SetSettings(const RunSettings& settings);
    const RunSettings& Settings() const { return settings_; }
    /// Rows per transaction for the loader; 1 is row by row.
    void SetCommitRows(std::size_t rows);
    /// Waits before the `attempt`th try to connect again (default: a growing pause, yielding).
    void SetReconnectWait(std::function<void(int attempt)> wait) {
        reconnectWait_ = std::move(wait);
    }
    /// Waits before retrying work a busy database turned away (default: a short sleep).
    void SetRetryWait(std::function<void(int attempt)> wait) {
        retryWait_ = wait;
        loader_.SetRetryWait(std::move(wait));
    }

    /// Runs the whole job list. Leaves the runner idle on every way out.
    RunResult ProcessJobs();

    /// Loads every line of the local log at `path` into `table` until its end or a cancel;
    /// false with `failure` set when it could not be read or the database failed.
    bool ProcessLocalFile(const std::string& path, const std::string& table, std::string& failure);

    /// Downloads `url` and loads its lines into `table`; false with `failure` set when the
    /// download failed (nothing is shown to the user for that) or the database failed.
    bool ProcessURL(const std::string& url, const std::string& table, std::string& failure);

    /// Empties `table`: "TRUNCATE table;", or "DELETE FROM table;" where there is no TRUNCATE.
    DbResult TruncateTable(const std::string& table);

    /// Refreshes the two count lines when more than 200 ms have passed, yielding then.
    void UpdateRecordCounts();

    /// True when `table` names a table or view of the catalogue (Database::FindTable), which the
    /// run's statements for it then use.
    static bool TableExists(const std::string& table, Database& database, DbResult& error);

    int JobsFailed() const { return jobsFailed_; }
    /// The failure of the database that ended the run (DatabaseLost, DatabaseFull).
    const DbResult& DatabaseFailure() const { return databaseFailure_; }
    /// The last line known stored when the database failed, and its log.
    std::uint64_t LastStoredLine() const { return lastStoredLine_; }
    const std::string& LastStream() const { return streamName_; }

private:
    struct StreamStart {
        int stream = 0;
        LineMark mark;
        std::uint64_t fileOffset = 0; ///< where a gzip member begins in its file, when known
    };
    /// Which streams of a local log ReadLocal loads, and from where.
    struct LocalStreams {
        StreamStart from; ///< where reading begins
        int last = -1;    ///< no stream after this one is read (-1: every one)
        /// Keep a last line without a line feed back, to be loaded whole by a later run.
        bool holdBack = false;
        bool mayGrow = false; ///< the last stream may still grow: a line held back is no news
        /// As stream `index` begins (at `fileOffset` in its file): the mark its loading starts
        /// after (bytes before it are passed over), or nothing to pass the whole stream by.
        std::function<std::optional<LineMark>(int index, std::uint64_t fileOffset)> begin;
        /// Stream `index` was read to its end; its last lines may still be in the batch in hand.
        std::function<void(int index)> ended;
        /// Gzip data damaged after the lines handed on, which are loaded: told the error instead
        /// of failing (when set).
        std::function<void(const std::string& error)> damaged;
    };

    // The phases of a run; each returns how the run ended when it ended it.
    /// Resets the run's state and shows the status; refuses a run without jobs or connection.
    std::optional<RunResult> StartRun();
    /// Every job's table is listed by the catalogue, or the user goes on without it.
    std::optional<RunResult> CheckTables();
    /// Empties every job's table before any job loads.
    std::optional<RunResult> EmptyTablesFirst();
    /// Empties `table` unless it is missing; false (said to the user) when it cannot be emptied.
    bool EmptyBeforeLoading(const std::string& table);
    /// Job `i`: its table emptied when asked, its log loaded, its end told to the observer.
    std::optional<RunResult> RunJob(int i);
    /// Loads the job's log and commits what is in hand; says why a job failed. `failure` is
    /// left empty when the job loaded.
    std::optional<RunResult> LoadAndSettle(const Job& job, std::string& failure);

    bool LoadJob(const Job& job, std::string& failure);
    /// Sets the loader up for the job's log format, reading its playlist log when it has one.
    bool PrepareFormat(const Job& job, std::string& failure);
    bool LoadIncremental(const Job& job, std::string& failure);
    /// Reads the local log at `path` into the loader, stream by stream, as `streams` says.
    bool ReadLocal(const std::string& path, const std::string& table, const LocalStreams& streams,
                   std::string& failure);
    enum class DownloadEnd { Done, Failed, Changed };
    struct DownloadOptions {
        bool useRange = false;      ///< ask only for the bytes after `from`
        std::string validator;      ///< the document's validator when `from` was stored
        bool holdBack = false;      ///< keep a last line without a line feed for a later run
        bool keepValidator = false; ///< the kept position gets the response's validator
    };
    /// Downloads `url` and loads its lines after `from`. Changed: the document behind the
    /// address is not the one `from` belongs to.
    DownloadEnd ReadURL(const std::string& url, const std::string& table, const LineMark& from,
                        const DownloadOptions& options, std::string& failure);
    struct Download;
    /// The answer's status and headers: where its body starts, how long the document is.
    void StartBody(Download& d, const HttpResponseInfo& info, const LineMark& from,
                   bool keepValidator);
    /// Bytes of the document as they come (a gzip document's once it is checked).
    bool FeedBody(Download& d, std::string_view bytes, const LineMark& from,
                  const std::string& table);
    /// How the download ended, once its body is in (or cut off).
    DownloadEnd EndDownload(Download& d, const HttpOutcome& outcome,
                            const LocalReadResult& unpacked, const std::string& table,
                            const LineMark& from, bool holdBack, std::string& failure);
    bool LoadFilesIncremental(const Job& job, const std::vector<SourcePosition>& positions,
                              const std::vector<SourcePosition>& others, std::string& failure);
    /// Loads the planned streams of one file (its gzip members) in one reading. A file planned
    /// unread that turns out damaged is loaded up to the damage, which `damage` then names.
    bool LoadPlannedFile(const Job& job, std::span<const PlannedStream> members,
                         std::string& failure, std::string& damage);
    /// Shows and keeps the position of a planned stream whose lines come next.
    void BeginPlannedStream(const PlannedStream& planned);
    bool LoadDownloadIncremental(const Job& job, const std::vector<SourcePosition>& positions,
                                 std::string& failure);
    /// Hands one line to the loader; false when the run must stop reading.
    bool HandleLine(std::string_view line, const std::string& table, const LineMark& mark);
    /// Hands the whole lines of `bytes` to HandleLine; a line too long to keep is reported in
    /// its place.
    bool FeedLines(LineSplitter& splitter, std::string_view bytes, const std::string& table);
    /// The end of a stream: its partial last line is loaded, or held back (and reported
    /// incomplete when `reportHeld`).
    bool FinishStream(LineSplitter& splitter, const std::string& table, bool complete,
                      bool holdBack, bool reportHeld = true);
    /// Yields now and then while bytes arrive without lines; false once cancelled.
    bool KeepResponsive();
    /// After the loader stopped: connects again when the connection was lost. False when the
    /// run must end (the database is full, the time ran out, the user cancelled).
    bool Recover();
    /// Connects again, trying for up to the reconnection time: the number of tries it took,
    /// 0 when it gave up (or the user cancelled). Writers opened before are forgotten.
    int ConnectAgain();
    /// Reads the positions of `source` (and, for a local log, those of other sources into the
    /// same table), asking again while the database is busy and connecting again when the
    /// connection is lost; false with `failure` set (and the database's failure kept when it
    /// ends the run).
    bool ReadPositions(const Job& job, const std::string& source,
                       std::vector<SourcePosition>& positions, std::vector<SourcePosition>& others,
                       SourceClaim& claim, std::string& failure);
    /// Why the job ended after Recover gave up.
    std::string RecoveryFailure() const;
    bool Stopping() const { return host_.state.bCancel || loader_.Stopped() || heldBack_; }
    void EndRun();

    RunHost host_;
    RunSettings settings_;
    LogLineLoader loader_;
    RunObserver* observer_ = nullptr;
    std::function<void(int)> reconnectWait_;
    std::function<void(int)> retryWait_;
    std::set<std::string> missingTables_;
    int jobsFailed_ = 0;
    DbResult databaseFailure_;
    /// Why the job in hand ended although the database works (its position could not be stored,
    /// another run loads its source); the run goes on with the next job.
    DbResult jobFailure_;
    std::uint64_t lastStoredLine_ = 0;
    std::string streamName_;
    int streamIndex_ = 0;
    std::uint32_t lastYield_ = 0;
    Job job_;
    std::unique_ptr<TitleTimeline> titles_;
    std::unique_ptr<FormatLines> lines_;
    bool holdBack_ = false; ///< access lines wait until the playlist log reaches their end
    bool heldBack_ = false; ///< a line waits: the job reads no further
    bool offsetWarned_ = false;
};

} // namespace brenvale

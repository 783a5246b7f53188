// What the core needs of a database: the catalogue, emptying tables, and writers that put rows
// into a table in transactions, with the positions of incremental loading beside them.
#pragma once

#include "core/content_hash.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brenvale {

/// What kind of failure a database call met. The data layer decides it from the SQLSTATE, the
/// native code and the product; the core only acts on the kind.
enum class DbFailure {
    None,
    Refused,        ///< the database refused the statement or row; the connection is fine
    Busy,           ///< locked, deadlock, lock timeout, serialization: the same work may pass later
    ConnectionLost, ///< the connection is gone; what was not committed is lost
    DiskFull,       ///< the database cannot store anything more
    Unisolated,     ///< a row of a batch was refused and the database cannot undo part of a
                    ///< transaction: roll it back and send the rows one per transaction
    Taken,          ///< another run moved the source's positions on since this run read them
};

/// Outcome of one database call; on failure the driver's SQLSTATE and diagnostic text.
struct DbResult {
    bool ok = true;
    std::string sqlState;
    std::string message;
    DbFailure failure = DbFailure::None;
    /// The call may have taken effect although no answer came (a commit, or a row written with
    /// autocommit, whose answer was lost with the connection).
    bool inDoubt = false;
    /// A row stored with NULL where a "-" (no value) was sent to a column that is not text.
    bool noValue = false;

    static DbResult Success() { return {}; }
    static DbResult Failure(std::string state, std::string text,
                            DbFailure kind = DbFailure::Refused) {
        return {false, std::move(state), std::move(text), kind, false, false};
    }
    explicit operator bool() const { return ok; }
    /// The database itself failed: nothing more can be loaded on this connection.
    bool Fatal() const {
        return failure == DbFailure::ConnectionLost || failure == DbFailure::DiskFull;
    }
};

/// The nine values of one log row, as bytes; views into the caller's buffers.
using RowValues = std::array<std::string_view, 9>;

/// Where loading of one log file (or gzip member, or downloaded document) stands: the bytes
/// before `offset` are loaded. Kept in the target database for incremental loading.
struct SourcePosition {
    std::string fileId;   ///< names one file's content, made when it is first seen
    std::string fileName; ///< where the content was seen last (for people reading it)
    std::uint64_t identityHash = kHashStart; ///< hash of the first identityLength bytes
    std::uint64_t identityLength = 0;
    std::uint64_t offset = 0;              ///< bytes loaded, lines included up to their line end
    std::uint64_t line = 0;                ///< lines before `offset`
    std::uint64_t prefixHash = kHashStart; ///< hash of the bytes before `offset`
    std::string validator;                 ///< an HTTP document's ETag or Last-Modified
};

/// How often the positions of one source were committed, as this run last knew it. Every commit
/// that moves a position moves the count on, but only from the count it expects: a run that
/// finds another count knows that another run (on any machine) is loading the same source.
struct SourceClaim {
    bool stored = false;       ///< the database holds a count for the source
    std::uint64_t commits = 0; ///< the count
};

/// Where a line ends in its log: what a position records once the line is committed.
struct LineMark {
    std::uint64_t line = 0;                  ///< the line's number in its log, from 1
    std::uint64_t offset = 0;                ///< bytes of the log up to and including its line end
    std::uint64_t prefixHash = kHashStart;   ///< hash of those bytes
    std::uint64_t identityHash = kHashStart; ///< hash of the first identityLength of them
    std::uint64_t identityLength = 0;        ///< min(offset, the identity's size)
    int stream = 0; ///< the gzip member the line is in (0 for a plain file)
};

/// Where the line ends that `position` stops after (its stream's member is the caller's to say).
inline LineMark MarkOf(const SourcePosition& position) {
    return {position.line, position.offset, position.prefixHash, position.identityHash,
            position.identityLength};
}

/// The position of one stream as units of work store it.
struct StreamProgress {
    int stream = 0;          ///< the gzip member (0 for a plain file or a download)
    SourcePosition position; ///< as stored, or as the next unit stores it
    bool isNew = false;      ///< no position of the stream is stored yet
    bool ended = false;      ///< the stream ended within the batch in hand, at `end`
    LineMark end;
};

/// What every unit of work stores beside its rows, so that loading goes on where it stopped and
/// a commit whose answer was lost can be settled from the database: the positions of the streams
/// it covers, or a mark of the run's own. Each commit moves `claim` on by one.
struct UnitProgress {
    enum class Kind {
        None,     ///< nothing: a lost commit stays in doubt
        Position, ///< the positions of `streams`, kept for `source`
        Mark,     ///< the run's mark `source`, a count of commits and nothing else
    };
    Kind kind = Kind::None;
    std::string source;
    /// The streams whose positions the batch in hand moves, in the order they were read: the
    /// last is the stream in hand, those before it ended within the batch (the members of one
    /// file share batches, so that a small member does not cost a commit of its own).
    std::vector<StreamProgress> streams;
    std::size_t reached = 0; ///< the unit stores `streams` up to and including this one
    SourceClaim claim;       ///< the count of commits the next commit moves on from
    /// The commit need not be durable: a crash of the server may take it back together with
    /// this progress, which the count of commits then shows. After a commit: whether it was.
    bool lazy = false;

    /// The stream of `stream`, if the batch covers it.
    const StreamProgress* Find(int stream) const {
        for (const StreamProgress& s : streams)
            if (s.stream == stream)
                return &s;
        return nullptr;
    }
    /// The unit ends at `mark`: its stream stands there, and the streams before it at their ends.
    void MoveTo(const LineMark& mark) {
        reached = streams.empty() ? 0 : streams.size() - 1;
        for (std::size_t i = 0; i < streams.size(); ++i) {
            if (streams[i].stream == mark.stream) {
                reached = i;
                Place(streams[i].position, mark);
                return;
            }
            if (streams[i].ended)
                Place(streams[i].position, streams[i].end);
        }
    }
    /// What the unit stores.
    std::span<const StreamProgress> Stored() const {
        return std::span(streams).first(streams.empty() ? 0 : reached + 1);
    }
    /// A unit that stored this progress committed.
    void Committed() {
        if (kind == Kind::Position && !streams.empty()) {
            streams[reached].isNew = false;
            auto stored = streams.begin() + static_cast<std::ptrdiff_t>(reached);
            // A stream stored at its end needs nothing more.
            if (stored->ended && stored->position.offset == stored->end.offset)
                ++stored;
            streams.erase(streams.begin(), stored);
            reached = 0;
        }
        if (kind != Kind::None) {
            claim.stored = true;
            ++claim.commits;
        }
    }

private:
    static void Place(SourcePosition& position, const LineMark& mark) {
        position.offset = mark.offset;
        position.line = mark.line;
        position.prefixHash = mark.prefixHash;
        position.identityHash = mark.identityHash;
        position.identityLength = mark.identityLength;
    }
};

/// What became of the rows of a batch.
struct BatchOutcome {
    std::vector<DbResult> fates; ///< each row's fate, in the order the rows were added
    std::size_t committed = 0;   ///< the leading rows whose units of work are committed
    std::size_t inDoubt = 0;     ///< after a failure: the rows from `committed` on whose unit's
                                 ///< commit may have taken effect (its answer was lost)
    bool lazy = false;           ///< the batch was committed without waiting for the disk
};

/// Options of a writer, fixed for a job.
struct WriterOptions {
    bool batches = false;    ///< rows come in batches of many rows
    bool allowNative = true; ///< batches may go through the database's own library (COPY,
                             ///< the SQLite library) instead of ODBC
    /// Waits before the `attempt`th retry of work a busy database turned away.
    std::function<void(int attempt)> retryWait = {};
};

/// How rows reach one table, on its own session with the database, for one job. The writer owns
/// the batch in hand: it takes rows as they are parsed and, when told, stores them with the
/// progress in one unit of work.
class TableWriter {
public:
    virtual ~TableWriter() = default;
    /// False where a rollback cannot undo rows (MariaDB MyISAM or Aria tables, views on them):
    /// then every row stands on its own the moment it is written.
    virtual bool CanRollBack() const = 0;
    /// How batches are sent ("COPY", "multi-row INSERT", ...), for people reading a summary.
    virtual std::string Method() const = 0;
    /// Something the user should hear once (COPY could not be used, say); empty when nothing.
    virtual std::string Notice() const { return {}; }
    /// Takes one row of the batch in hand, ending at `mark` in its log; the values are copied.
    /// The writer may send it at once (COPY streams), but nothing is committed before Finish.
    /// Fails only when the database itself failed (Fatal()); the batch is then lost.
    virtual DbResult Add(const RowValues& row, const LineMark& mark) = 0;
    /// Ends the batch: sends what is left, isolates the rows the database refuses, stores
    /// `progress` (moved to `end`, the last line the batch covers) in the same transaction and
    /// commits, trying again while the database is busy. On success every row has its fate and
    /// `progress` moved on. A failure (the database's own, or progress that could not be
    /// stored) leaves the rows after `outcome.committed` uncommitted unless `outcome.inDoubt`
    /// says otherwise; the batch is dropped either way.
    virtual DbResult Finish(const LineMark& end, UnitProgress& progress, BatchOutcome& outcome) = 0;
    /// The positions kept for `source` (a job's File as typed) and this table, and the count of
    /// their commits, creating the bookkeeping table on first use. A row that cannot be read
    /// as a position fails the call.
    virtual DbResult LoadPositions(const std::string& source,
                                   std::vector<SourcePosition>& positions, SourceClaim& claim) = 0;
    /// The positions other sources keep for this table (the same log named another way, or a
    /// pattern that matches it): content they describe is loaded already. Rows that cannot be
    /// read are left out; they are their own jobs' concern.
    virtual DbResult LoadOtherPositions(const std::string& source,
                                        std::vector<SourcePosition>& positions) = 0;
    /// Deletes what is kept for `source` (a run's marks once the run is done with them).
    virtual DbResult ForgetClaim(const std::string& source) = 0;
};

/// The program's own bookkeeping table, kept in the target database beside the log tables.
inline constexpr const char* kCheckpointTable = "brenvale_checkpoint";

/// The one connection of a run.
class Database {
public:
    virtual ~Database() = default;
    /// True while connected.
    virtual bool IsOpen() const = 0;
    /// Fills `names` with the tables and views of the current database or schema, in the
    /// driver's order.
    virtual DbResult GetTableList(std::vector<std::string>& names) = 0;
    /// Whether `table`, as a job names it, is a table or view of the catalogue: the exact name
    /// first, then as the database folds a name written without quotes, "schema.table" too.
    /// Emptying and writers for that name afterwards go to the table found here.
    virtual DbResult FindTable(const std::string& table, bool& exists) = 0;
    /// The DBMS product name the driver reports ("SQLite", "PostgreSQL", ...); empty if unknown.
    virtual std::string DbmsName() = 0;
    /// Empties `table` ("TRUNCATE", or "DELETE FROM" where there is no TRUNCATE) and forgets its
    /// incremental positions, in one transaction where the database allows it. While another
    /// session's lock holds it up, `keepWaiting` is asked about once a second (where the
    /// database can bound a lock wait); false gives up with a Busy failure, the table as it was.
    /// `rowsHeld`, when given, receives how many rows the table held just before.
    virtual DbResult EmptyTable(const std::string& table,
                                const std::function<bool()>& keepWaiting = {},
                                std::uint64_t* rowsHeld = nullptr) = 0;
    /// A writer for `table`. The table is not checked here: a missing one refuses every row.
    virtual std::unique_ptr<TableWriter>
    OpenWriter(const std::string& table, const WriterOptions& options, DbResult& error) = 0;
    /// Asks the database a question that needs no table: a failure (ConnectionLost when the
    /// connection is gone) says whether it still answers.
    virtual DbResult Ping() = 0;
    /// Connects again to the same data source after the connection was lost; writers opened
    /// before are dead and must be opened again.
    virtual DbResult Reconnect() = 0;
};

} // namespace brenvale

// The bookkeeping table of incremental loading, brenvale_checkpoint, in the target database:
// one row per log file (or gzip member, or document) of a job, saying how far it is loaded.
#pragma once

#include "core/database.h"
#include "data/sql_session.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brenvale {

/// The positions of one session's database. Every call runs in the session's transaction in
/// hand, so positions commit together with the rows they cover.
class CheckpointTable {
public:
    explicit CheckpointTable(SqlSession& session) : session_(session) {}

    /// True when the table is there (the catalogue is read once per object).
    bool Exists(DbResult& error);
    /// Creates the table when it is missing; a failure (no rights) says so.
    DbResult Ensure();
    /// Every position kept for `source` loading into `table`, and the count of their commits;
    /// a row that is no sound position fails the call with what is wrong with it.
    DbResult Load(const std::string& source, const std::string& table,
                  std::vector<SourcePosition>& positions, SourceClaim& claim);
    /// Moves the count of commits on from `claim` (DbFailure::Taken when the database holds
    /// another), then inserts (`isNew`) or updates the position of each stream.
    DbResult Save(const std::string& source, const std::string& table,
                  std::span<const StreamProgress> streams, const SourceClaim& claim);
    /// The sound positions of every other source loading into `table`.
    DbResult LoadOthers(const std::string& source, const std::string& table,
                        std::vector<SourcePosition>& positions);
    /// Moves the count of commits of `source` on from `claim`; DbFailure::Taken when the
    /// database holds another.
    DbResult MoveClaim(const std::string& source, const std::string& table,
                       const SourceClaim& claim);
    /// Deletes the positions and the count of `source` into `table`.
    DbResult ForgetSource(const std::string& source, const std::string& table);
    /// Whether any position of any source is kept for `table`.
    bool HasPositions(const std::string& table, DbResult& error);
    /// Deletes every position of `table`, of all sources; nothing when the table is missing.
    DbResult Forget(const std::string& table);

private:
    /// One stream's row; `key` is the source's key and `now` the commit's time.
    DbResult SavePosition(const std::string& key, const std::string& source,
                          const std::string& table, const SourcePosition& position, bool isNew,
                          const std::string& now);
    SqlSession& session_;
    int exists_ = -1;
};

} // namespace brenvale

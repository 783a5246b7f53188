// The bookkeeping table of incremental loading, brenvale_checkpoint, in the target database:
// one row per log file (or gzip member, or document) of a job, saying how far it is loaded.
#pragma once

#include "core/database.h"
#include "data/sql_session.h"

#include <optional>
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
    /// another), then inserts (`isNew`) or updates one position.
    DbResult Save(const std::string& source, const std::string& table,
                  const SourcePosition& position, bool isNew, const SourceClaim& claim);
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
    SqlSession& session_;
    int exists_ = -1;
};

/// The position calls of a writer, kept in the bookkeeping table of the writer's own session
/// for the job's table (as typed), so positions commit in the writer's transactions.
class CheckpointedWriter : public TableWriter {
public:
    explicit CheckpointedWriter(std::string table) : table_(std::move(table)) {}

    DbResult LoadPositions(const std::string& source, std::vector<SourcePosition>& positions,
                           SourceClaim& claim) override {
        Bookkeeping(false);
        return Checkpoints().Load(source, table_, positions, claim);
    }
    DbResult LoadOtherPositions(const std::string& source,
                                std::vector<SourcePosition>& positions) override {
        Bookkeeping(false);
        return Checkpoints().LoadOthers(source, table_, positions);
    }
    DbResult SavePosition(const std::string& source, const SourcePosition& position, bool isNew,
                          const SourceClaim& claim) override {
        Bookkeeping(true);
        return Checkpoints().Save(source, table_, position, isNew, claim);
    }
    DbResult MoveClaim(const std::string& source, const SourceClaim& claim) override {
        Bookkeeping(true);
        return Checkpoints().MoveClaim(source, table_, claim);
    }
    DbResult ForgetClaim(const std::string& source) override {
        return Checkpoints().ForgetSource(source, table_);
    }

protected:
    /// The session whose transactions carry the rows.
    virtual SqlSession& BookkeepingSession() = 0;
    /// Bookkeeping is about to run in the transaction in hand; `writes` when it changes rows.
    virtual void Bookkeeping(bool writes) = 0;

private:
    // Made on first use: a derived writer's session is not there yet while this is built.
    CheckpointTable& Checkpoints() {
        if (!checkpoints_)
            checkpoints_.emplace(BookkeepingSession());
        return *checkpoints_;
    }

    std::string table_;
    std::optional<CheckpointTable> checkpoints_;
};

} // namespace brenvale

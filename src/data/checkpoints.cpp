// The bookkeeping table of incremental loading.
#include "data/checkpoints.h"

#include "core/content_hash.h"

#include <charconv>
#include <chrono>
#include <ctime>

namespace brenvale {

namespace {

/// The key of a job's positions; source and table are kept beside it and compared too.
std::string SourceKey(const std::string& source, const std::string& table) {
    std::string both = source;
    both.push_back('\n');
    both += table;
    return HashText(HashBytes(both));
}

std::string NowUtc() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return std::string(text, length);
}

bool ToNumber(const std::optional<std::string>& text, std::uint64_t& value) {
    if (!text || text->empty())
        return false;
    const char* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, value);
    return error == std::errc() && stop == end;
}

// What ReadPosition reads, in its order.
constexpr const char* kSelectPositions =
    "SELECT file_id, file_name, identity_hash, identity_length, byte_offset, line_number, "
    "prefix_hash, validator, source, target_table FROM ";

// The row that counts a source's commits; no file id made by NewFileId looks like it.
constexpr const char* kClaimId = "claim";

/// Why `row` (the columns Load reads) is no position of `source` into `table`; empty when it
/// is one, read into `position`.
std::string ReadPosition(const std::vector<std::optional<std::string>>& row,
                         const std::string& source, const std::string& table,
                         SourcePosition& position) {
    if (!row[0])
        return "it names no file";
    position.fileId = *row[0];
    position.fileName = row[1].value_or("");
    position.validator = row[7].value_or("");
    if (row[8] != source || row[9] != table)
        return "its source is '" + row[8].value_or("") + "' into '" + row[9].value_or("") + "'";
    if (!row[2] || !ParseHashText(*row[2], position.identityHash) || !row[6] ||
        !ParseHashText(*row[6], position.prefixHash))
        return "a hash is not 16 hex digits";
    if (!ToNumber(row[3], position.identityLength) || !ToNumber(row[4], position.offset) ||
        !ToNumber(row[5], position.line))
        return "a length, offset or line number is not a number that fits 64 bits";
    // The identity covers the first bytes of what was loaded, and every line ends in a byte.
    if (position.identityLength > position.offset ||
        (position.identityLength == 0 && position.offset > 0) || position.line > position.offset)
        return "its lengths contradict each other (identity " +
               std::to_string(position.identityLength) + ", offset " +
               std::to_string(position.offset) + ", line " + std::to_string(position.line) + ")";
    return {};
}

} // namespace

bool CheckpointTable::Exists(DbResult& error) {
    error = DbResult::Success();
    if (exists_ < 0) {
        bool exists = false;
        error = session_.HasTable(kCheckpointTable, exists);
        if (!error)
            return false;
        exists_ = exists ? 1 : 0;
    }
    return exists_ == 1;
}

DbResult CheckpointTable::Ensure() {
    DbResult error;
    if (Exists(error))
        return DbResult::Success();
    if (!error)
        return error;
    // Text for the hashes, so no product's integer limits matter; the key is short enough for
    // every product's index.
    std::string sql = std::string("CREATE TABLE ") + kCheckpointTable +
                      " (source_key VARCHAR(16) NOT NULL, file_id VARCHAR(32) NOT NULL, "
                      "source VARCHAR(2000) NOT NULL, target_table VARCHAR(255) NOT NULL, "
                      "file_name VARCHAR(2000), identity_hash VARCHAR(16) NOT NULL, "
                      "identity_length BIGINT NOT NULL, byte_offset BIGINT NOT NULL, "
                      "line_number BIGINT NOT NULL, prefix_hash VARCHAR(16) NOT NULL, "
                      "validator VARCHAR(255), updated_at VARCHAR(32), "
                      "PRIMARY KEY (source_key, file_id))";
    // Positions must roll back with the rows they cover.
    if (session_.DbProduct() == Product::MariaDB)
        sql += " ENGINE=InnoDB";
    DbResult created = session_.Run(sql);
    if (!created) {
        // Another run may have made it meanwhile.
        exists_ = -1;
        DbResult check;
        if (Exists(check))
            return DbResult::Success();
        created.message = "The table " + std::string(kCheckpointTable) +
                          " that keeps the positions of incremental loading could not be "
                          "created: " +
                          created.message;
        return created;
    }
    exists_ = 1;
    return DbResult::Success();
}

DbResult CheckpointTable::Load(const std::string& source, const std::string& table,
                               std::vector<SourcePosition>& positions, SourceClaim& claim) {
    positions.clear();
    claim = {};
    if (DbResult ensured = Ensure(); !ensured)
        return ensured;
    SqlRows rows;
    DbResult read =
        session_.Select(std::string(kSelectPositions) + kCheckpointTable + " WHERE source_key = ?",
                        {SourceKey(source, table)}, rows);
    if (!read)
        return read;
    const auto damaged = [&](const std::string& file, const std::string& why) {
        return DbResult::Failure("HY000", "A row of " + std::string(kCheckpointTable) + " for '" +
                                              source + "' is damaged (file " + file + "): " + why +
                                              ".");
    };
    for (const auto& row : rows) {
        if (row.size() < 10)
            return damaged("?", "it has too few columns");
        if (row[0] == kClaimId) {
            if (row[8] != source || row[9] != table || !ToNumber(row[5], claim.commits))
                return damaged(kClaimId, "its count of commits cannot be read");
            claim.stored = true;
            continue;
        }
        SourcePosition position;
        if (const std::string why = ReadPosition(row, source, table, position); !why.empty())
            return damaged(position.fileId.empty() ? "?" : position.fileId, why);
        positions.push_back(std::move(position));
    }
    return DbResult::Success();
}

DbResult CheckpointTable::LoadOthers(const std::string& source, const std::string& table,
                                     std::vector<SourcePosition>& positions) {
    positions.clear();
    DbResult error;
    if (!Exists(error))
        return error;
    SqlRows rows;
    DbResult read =
        session_.Select(std::string(kSelectPositions) + kCheckpointTable +
                            " WHERE target_table = ? AND source_key <> ? AND file_id <> ?",
                        {table, SourceKey(source, table), kClaimId}, rows);
    if (!read)
        return read;
    for (const auto& row : rows) {
        SourcePosition position;
        if (row.size() >= 10 && row[8] && ReadPosition(row, *row[8], table, position).empty())
            positions.push_back(std::move(position));
    }
    return DbResult::Success();
}

DbResult CheckpointTable::MoveClaim(const std::string& source, const std::string& table,
                                    const SourceClaim& claim) {
    const std::string key = SourceKey(source, table);
    const std::string next = std::to_string(claim.commits + 1);
    DbResult taken = DbResult::Failure(
        "40001",
        "Another run is loading '" + source + "' into '" + table +
            "' at the same time: it stored lines of it since this run read its positions.",
        DbFailure::Taken);
    if (!claim.stored) {
        DbResult inserted = session_.Run(
            std::string("INSERT INTO ") + kCheckpointTable +
                " (source_key, file_id, source, target_table, identity_hash, identity_length, "
                "byte_offset, line_number, prefix_hash, updated_at) VALUES (?, ?, ?, ?, '-', 0, "
                "0, ?, '-', ?)",
            {key, kClaimId, source, table, next, NowUtc()});
        // Another run's first commit made the row first. SQLite's driver gives no SQLSTATE of
        // its own to a broken key, only its text.
        if (!inserted && inserted.failure == DbFailure::Refused &&
            (inserted.sqlState.rfind("23", 0) == 0 ||
             inserted.message.find("UNIQUE constraint failed") != std::string::npos))
            return taken;
        return inserted;
    }
    long affected = -1;
    DbResult moved =
        session_.Run(std::string("UPDATE ") + kCheckpointTable +
                         " SET line_number = ?, updated_at = ? WHERE source_key = ? "
                         "AND file_id = ? AND line_number = ?",
                     {next, NowUtc(), key, kClaimId, std::to_string(claim.commits)}, &affected);
    // Every driver here counts the rows; one that cannot (-1) leaves the check to the others.
    if (moved && affected == 0)
        return taken;
    return moved;
}

DbResult CheckpointTable::Save(const std::string& source, const std::string& table,
                               std::span<const StreamProgress> streams, const SourceClaim& claim) {
    // The count first: a second run waits here for the first one's commit, then gives way.
    if (DbResult claimed = MoveClaim(source, table, claim); !claimed)
        return claimed;
    // An archive of many members stores a row per member it reached: the key and the time
    // are made once.
    const std::string key = SourceKey(source, table);
    const std::string now = NowUtc();
    for (const StreamProgress& stream : streams)
        if (DbResult saved = SavePosition(key, source, table, stream.position, stream.isNew, now);
            !saved)
            return saved;
    return DbResult::Success();
}

DbResult CheckpointTable::SavePosition(const std::string& key, const std::string& source,
                                       const std::string& table, const SourcePosition& position,
                                       bool isNew, const std::string& now) {
    static const std::string insert = std::string("INSERT INTO ") + kCheckpointTable +
                                      " (source_key, file_id, source, target_table, file_name, "
                                      "identity_hash, identity_length, byte_offset, line_number, "
                                      "prefix_hash, validator, updated_at) VALUES (?, ?, ?, ?, ?, "
                                      "?, ?, ?, ?, ?, ?, ?)";
    static const std::string update =
        std::string("UPDATE ") + kCheckpointTable +
        " SET file_name = ?, identity_hash = ?, identity_length = ?, byte_offset = ?, "
        "line_number = ?, prefix_hash = ?, validator = ?, updated_at = ? WHERE source_key = ? "
        "AND file_id = ?";
    std::vector<std::string> params;
    params.reserve(12);
    if (isNew)
        params = {key, position.fileId, source, table};
    params.insert(params.end(), {position.fileName, HashText(position.identityHash),
                                 std::to_string(position.identityLength),
                                 std::to_string(position.offset), std::to_string(position.line),
                                 HashText(position.prefixHash), position.validator, now});
    if (isNew)
        return session_.Run(insert, params);
    params.push_back(key);
    params.push_back(position.fileId);
    return session_.Run(update, params);
}

bool CheckpointTable::HasPositions(const std::string& table, DbResult& error) {
    if (!Exists(error))
        return false;
    SqlRows rows;
    error = session_.Select(std::string("SELECT COUNT(*) FROM ") + kCheckpointTable +
                                " WHERE target_table = ?",
                            {table}, rows);
    return error && !rows.empty() && !rows[0].empty() && rows[0][0] && *rows[0][0] != "0";
}

DbResult CheckpointTable::ForgetSource(const std::string& source, const std::string& table) {
    DbResult error;
    if (!Exists(error))
        return error;
    return session_.Run(std::string("DELETE FROM ") + kCheckpointTable + " WHERE source_key = ?",
                        {SourceKey(source, table)});
}

DbResult CheckpointTable::Forget(const std::string& table) {
    DbResult error;
    if (!Exists(error))
        return error;
    return session_.Run(std::string("DELETE FROM ") + kCheckpointTable + " WHERE target_table = ?",
                        {table});
}

} // namespace brenvale

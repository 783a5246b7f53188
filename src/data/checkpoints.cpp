// The bookkeeping table of incremental loading.
#include "data/checkpoints.h"

#include "core/content_hash.h"

#include <chrono>
#include <cstdio>
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
    char text[80]; // room for any int the format could print
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

bool ToNumber(const std::optional<std::string>& text, std::uint64_t& value) {
    if (!text || text->empty() || text->find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoull(*text);
    return true;
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
                               std::vector<SourcePosition>& positions) {
    positions.clear();
    if (DbResult ensured = Ensure(); !ensured)
        return ensured;
    SqlRows rows;
    DbResult read = session_.Select(
        std::string("SELECT file_id, file_name, identity_hash, identity_length, byte_offset, "
                    "line_number, prefix_hash, validator, source, target_table FROM ") +
            kCheckpointTable + " WHERE source_key = ?",
        {SourceKey(source, table)}, rows);
    if (!read)
        return read;
    for (const auto& row : rows) {
        if (row.size() < 10 || !row[0] || row[8] != source || row[9] != table)
            continue;
        SourcePosition position;
        position.fileId = *row[0];
        position.fileName = row[1].value_or("");
        if (!row[2] || !ParseHashText(*row[2], position.identityHash) ||
            !ToNumber(row[3], position.identityLength) || !ToNumber(row[4], position.offset) ||
            !ToNumber(row[5], position.line) || !row[6] ||
            !ParseHashText(*row[6], position.prefixHash))
            return DbResult::Failure("HY000", "A row of " + std::string(kCheckpointTable) +
                                                  " for '" + source + "' is damaged (file " +
                                                  position.fileId + ").");
        position.validator = row[7].value_or("");
        positions.push_back(std::move(position));
    }
    return DbResult::Success();
}

DbResult CheckpointTable::Save(const std::string& source, const std::string& table,
                               const SourcePosition& position, bool isNew) {
    const std::vector<std::string> values = {position.fileName,
                                             HashText(position.identityHash),
                                             std::to_string(position.identityLength),
                                             std::to_string(position.offset),
                                             std::to_string(position.line),
                                             HashText(position.prefixHash),
                                             position.validator,
                                             NowUtc()};
    if (isNew) {
        std::vector<std::string> params = {SourceKey(source, table), position.fileId, source,
                                           table};
        params.insert(params.end(), values.begin(), values.end());
        return session_.Run(std::string("INSERT INTO ") + kCheckpointTable +
                                " (source_key, file_id, source, target_table, file_name, "
                                "identity_hash, identity_length, byte_offset, line_number, "
                                "prefix_hash, validator, updated_at) VALUES (?, ?, ?, ?, ?, ?, ?, "
                                "?, ?, ?, ?, ?)",
                            params);
    }
    std::vector<std::string> params = values;
    params.push_back(SourceKey(source, table));
    params.push_back(position.fileId);
    return session_.Run(std::string("UPDATE ") + kCheckpointTable +
                            " SET file_name = ?, identity_hash = ?, identity_length = ?, "
                            "byte_offset = ?, line_number = ?, prefix_hash = ?, validator = ?, "
                            "updated_at = ? WHERE source_key = ? AND file_id = ?",
                        params);
}

DbResult CheckpointTable::Forget(const std::string& table) {
    DbResult error;
    if (!Exists(error))
        return error;
    return session_.Run(std::string("DELETE FROM ") + kCheckpointTable + " WHERE target_table = ?",
                        {table});
}

} // namespace brenvale

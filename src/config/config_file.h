// The XML-looking configuration file: its writer, its reader and the plain tag search they share.
#pragma once

#include "core/job.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenvale {

/// Every text between `openTag` and the next `closeTag` (searched from one character after the
/// opening tag's start), in order; empty when nothing is found. Tags include their brackets. The
/// search goes on one character into the closing tag, so its remainder is searched again.
std::vector<std::string> GetTagContents(std::string_view source, std::string_view openTag,
                                        std::string_view closeTag);

/// Everything a configuration file holds, as read or to be written.
struct ConfigData {
    std::optional<std::string> dsn; ///< none when the file has no DSN element
    bool truncateOnce = false;
    bool truncatePerFile = false;
    bool translateASCII = false;
    std::size_t commitRows = 1;
    bool incremental = false;
    bool odbcOnly = false; ///< OdbcOnly (or the older NoCopy): no native path, only ODBC
    std::vector<Job> jobs;
    std::string timeZone; ///< the station's IANA zone for reports; empty: the machine's
    /// Data sources of the same database tried after `dsn` when the connection is lost (the
    /// other nodes of a cluster), in order.
    std::vector<std::string> fallbackDsns;
    bool durableBatches = false; ///< DurableBatches: every commit waits for the disk
};

enum class ConfigStatus {
    Loaded,
    Missing,           ///< no file there, or a folder
    Unreadable,        ///< there, but it could not be opened or read, or it is far too large
    NotAConfiguration, ///< neither the root element nor a job list
    Damaged,           ///< an element opened and never closed, or broken UTF-16
};

/// What reading a configuration file gave.
struct ConfigReadResult {
    ConfigStatus status = ConfigStatus::Missing;
    ConfigData data;     ///< filled only when Loaded
    std::string error;   ///< unless Loaded: a sentence naming the path and the reason
    std::string warning; ///< when Loaded: a value that was adjusted, in a sentence, or empty
};

/// Reads the configuration at `path`. UTF-16 with a byte-order mark is read as text, a UTF-8
/// mark is dropped, other text that is not UTF-8 is read as Windows-1252. A CommitRows above
/// kMaxCommitRows reads as kMaxCommitRows, with a warning. Never throws; shows nothing.
ConfigReadResult ReadConfig(const std::string& path);

/// Writes `data` to `path`, through any symbolic links to their final target (created when a
/// link dangles). The file is written beside the target and renamed over it only when complete,
/// keeping the replaced file's mode and, where allowed, its owner, so a failed save leaves the
/// earlier file whole. False with `error` set (a sentence naming the path and the system's
/// reason) on failure; nothing is shown.
bool SaveConfig(const std::string& path, const ConfigData& data, std::string& error);

/// Why `data` cannot be used as it stands (incremental loading with a truncation), or empty.
std::string ConflictingOptions(const ConfigData& data);

} // namespace brenvale

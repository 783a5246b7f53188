// Incremental loading: which streams of a job's logs hold lines no earlier run loaded, told
// apart by their content (never by name or inode), rotated and archived files included.
#pragma once

#include "core/database.h"
#include "core/log_reader.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brenvale {

/// One stream of log bytes: a plain file, or one member of a gzip file.
struct LogStream {
    std::string path;
    int member = 0;    ///< the gzip member (0 for a plain file)
    bool live = false; ///< it may still grow: the job's own file, or a pattern's newest match
    int age = 0;       ///< loading order: lower is older content
    std::uint64_t fileOffset = 0; ///< where the gzip member begins in its file
    std::string Name() const {
        return member == 0 ? path : path + "#" + std::to_string(member + 1);
    }
};

/// The files a job's File names for incremental loading, oldest content first: the file and
/// the files it was rotated to (name_N.ext, name.ext.N, name.ext.N.gz, name.ext-DATE, and gzip
/// archives of the name), or every match of a shell pattern. Each gzip member is a stream of
/// its own. `error` is set when nothing at all can be found.
std::vector<LogStream> FindLogStreams(const std::string& file, std::string& error);

/// A stream with the position it goes on from.
struct PlannedStream {
    LogStream stream;
    SourcePosition position;  ///< where loading starts; offset 0 for a new stream
    bool isNew = true;        ///< no earlier run knew this content
    std::uint64_t length = 0; ///< its bytes when it was planned
    /// A gzip file no stored position can describe, planned without reading it: every member is
    /// new, and each is planned as loading meets it (`stream` is the file's first).
    bool everyMember = false;
};

/// Matches `positions` to `streams` by content: a position continues a stream when the stream
/// begins with exactly the bytes the position covers (hash of the first bytes, then of the
/// whole prefix). A position matching several streams goes to the oldest; streams no position
/// matches are new. Empty streams are left out. The result is in loading order. `read` reads a
/// stream from its start (ReadLocalLog in the program; tests may give their own).
/// `keepGoing`, when given, is asked now and then; false ends planning with nothing planned.
/// `others` are positions other sources keep in the same table: a stream whose content one of
/// them describes further than this source's own goes on from there.
std::vector<PlannedStream> PlanIncremental(const std::vector<LogStream>& streams,
                                           const std::vector<SourcePosition>& positions,
                                           std::string& error,
                                           const std::function<bool()>& keepGoing = {},
                                           const std::vector<SourcePosition>& others = {});

/// The name a local log's positions are kept under: the path made absolute with its links,
/// "." and ".." resolved (for a shell pattern, its folder's), so every spelling of one file is
/// one source.
std::string CanonicalSource(const std::string& file);

/// A fresh name for a stream's content, 32 hex digits.
std::string NewFileId();

} // namespace brenvale

// A job's lines read in the log's own format.
#include "core/icecast_lines.h"

#include "core/http_client.h"
#include "core/incremental.h"
#include "core/job.h"
#include "core/line_splitter.h"
#include "core/log_reader.h"
#include "core/version.h"

#include <sys/stat.h>

#include <filesystem>
#include <set>

namespace brenvale {

namespace {

/// Cuts a playlist log's bytes into lines and takes the title changes from them.
class PlaylistParser {
public:
    explicit PlaylistParser(TitleTimeline& titles) : titles_(titles) {}

    bool Feed(std::string_view bytes) {
        return splitter_.Feed(
            bytes,
            [this](std::string_view line, const LineMark&) {
                Take(line);
                return true;
            },
            [](const LineMark&) { return true; });
    }
    /// A file ends: the next one starts afresh (its partial last line is dropped).
    void EndFile() { splitter_ = LineSplitter(); }
    /// Lines that were read, and those of them that were no playlist lines.
    std::uint64_t Lines() const { return lines_; }
    std::uint64_t Foreign() const { return foreign_; }

private:
    void Take(std::string_view line) {
        if (line.empty())
            return;
        ++lines_;
        if (const std::optional<PlaylistLine> read = ParsePlaylistLine(line))
            titles_.Add(*read);
        else
            ++foreign_;
    }

    TitleTimeline& titles_;
    LineSplitter splitter_;
    std::uint64_t lines_ = 0;
    std::uint64_t foreign_ = 0;
};

bool ReadPlaylistFiles(const std::string& file, PlaylistParser& parser, std::string& error,
                       const std::function<bool()>& keepGoing) {
    const std::vector<LogStream> streams = FindLogStreams(file, error);
    if (streams.empty())
        return false;
    std::set<std::string> read;
    for (const LogStream& stream : streams) {
        // One reading gives every member of a gzip file.
        if (!read.insert(stream.path).second)
            continue;
        LocalReadCallbacks callbacks;
        callbacks.onStream = [&](int, std::uint64_t) {
            parser.EndFile();
            return keepGoing();
        };
        callbacks.onBytes = [&](std::string_view bytes) { return parser.Feed(bytes); };
        callbacks.idle = keepGoing;
        const LocalReadResult result = ReadLocalLog(stream.path, 0, 0, callbacks);
        parser.EndFile();
        if (!result.ok) {
            error = "'" + stream.path + "': " + result.error;
            return false;
        }
        if (result.stopped)
            return false;
    }
    return true;
}

bool DownloadPlaylist(const std::string& url, PlaylistParser& parser, std::string& error,
                      const std::function<bool()>& keepGoing) {
    const HttpOutcome outcome = HttpGet(
        url, UserAgent(), [&](std::string_view bytes) { return parser.Feed(bytes) && keepGoing(); },
        keepGoing);
    if (!outcome.ok) {
        error = outcome.error.empty() ? "the download stopped" : outcome.error;
        return false;
    }
    return true;
}

} // namespace

bool ReadPlaylist(const std::string& file, TitleTimeline& titles, std::string& error,
                  const std::function<bool()>& keepGoing) {
    PlaylistParser parser(titles);
    if (!(IsDownload(file) ? DownloadPlaylist(file, parser, error, keepGoing)
                           : ReadPlaylistFiles(file, parser, error, keepGoing)))
        return false;
    if (parser.Lines() > 0 && parser.Foreign() == parser.Lines()) {
        error = "it holds no Icecast playlist lines (time|mount|listeners|title)";
        return false;
    }
    return true;
}

std::optional<std::string> PlaylistBeside(const std::string& accessLog) {
    namespace fs = std::filesystem;
    const fs::path beside = fs::path(accessLog).parent_path() / "playlist.log";
    struct stat status {};
    if (::stat(beside.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return beside.string();
}

LogFormat FormatLines::Decide(std::string_view line) {
    if (format_ == LogFormat::Auto)
        format_ = DetectLineFormat(line);
    return format_;
}

LineRows::Kind FormatLines::Read(std::string_view line,
                                 std::vector<std::array<std::string, 9>>& rows) {
    rows.clear();
    switch (Decide(line)) {
    case LogFormat::W3C:
        return Kind::W3C;
    case LogFormat::IcecastPlaylist:
        sawPlaylist_ = true;
        return Kind::Short;
    case LogFormat::Auto:
        return Kind::Short;
    case LogFormat::IcecastAccess:
        break;
    }
    const std::optional<AccessLine> access = ParseAccessLine(line);
    if (!access)
        return Kind::Short;
    if (zoneOffset_ && !checked_) {
        const std::int64_t expected = zoneOffset_(access->end.Instant());
        if (expected != access->end.offset) {
            checked_ = true;
            if (disagree_)
                disagree_(access->end, expected);
        }
    }
    AccessRows(*access, titles_ && !titles_->Empty() ? titles_ : nullptr, rows);
    return Kind::Rows;
}

bool FormatLines::EndsAfterPlaylist(std::string_view line) {
    if (line.empty() || line.front() == '#' || Decide(line) != LogFormat::IcecastAccess)
        return false;
    const std::optional<AccessLine> access = ParseAccessLine(line);
    if (!access || !titles_)
        return false;
    const std::optional<std::int64_t> reach = titles_->Reach();
    return !reach || access->end.Instant() > *reach;
}

} // namespace brenvale

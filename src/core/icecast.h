// Icecast's two logs read as the rows a SHOUTcast server would have written: the access log's
// connections, split at the title changes its playlist log records.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenvale {

/// The formats a log may be in.
enum class LogFormat {
    Auto,            ///< told from the log's first lines
    W3C,             ///< SHOUTcast's W3C log
    IcecastAccess,   ///< Icecast's access log (combined format and the seconds connected)
    IcecastPlaylist, ///< Icecast's playlist.log, one line per title update
};

/// "shoutcast" (or "w3c"), "icecast" (or "icecast-access"), "icecast-playlist", and "" or
/// "auto"; letter case does not matter. Nothing for any other name.
std::optional<LogFormat> ParseLogFormat(std::string_view name);
/// The name ParseLogFormat reads: "auto", "shoutcast", "icecast", "icecast-playlist".
const char* LogFormatName(LogFormat format);
/// The format one data line is in; Auto when it is none of them.
LogFormat DetectLineFormat(std::string_view line);

/// A time as an Icecast log writes it: the wall clock of the server and its offset from UTC.
struct LogTime {
    std::int64_t local = 0;  ///< seconds since 1970-01-01 00:00:00 on the server's wall clock
    std::int32_t offset = 0; ///< seconds east of UTC
    std::int64_t Instant() const { return local - offset; }
};

/// "01/Mar/2024:18:04:11 +0100"; nothing for anything else or a day the calendar has not.
std::optional<LogTime> ParseLogTime(std::string_view text);
/// `local` as "YYYY-MM-DD HH:MM:SS".
std::string FormatLocalTime(std::int64_t local);

/// One line of the access log.
struct AccessLine {
    std::string address;
    LogTime end; ///< when the listener left, which is when the line was written
    std::string method;
    std::string path; ///< the request's path with its query, as requested
    std::string status;
    std::string agent; ///< "-" for none
    std::uint64_t bytes = 0;
    std::uint64_t seconds = 0;

    /// A listener's connection: a GET answered with 200 on a path outside /admin/.
    bool Listening() const;
    /// The path before any '?'.
    std::string_view Mount() const { return std::string_view(path).substr(0, path.find('?')); }
};

/// Reads an access line; nothing when it is not one. Escapes inside quoted fields (`\x22`,
/// `\"`, `\\`) are undone.
std::optional<AccessLine> ParseAccessLine(std::string_view line);

/// One line of the playlist log: a title update of a mount.
struct PlaylistLine {
    LogTime time;
    std::string mount;
    std::string title; ///< everything after the third '|'
};

/// Reads a playlist line; nothing when it is not one.
std::optional<PlaylistLine> ParsePlaylistLine(std::string_view line);

/// The titles of every mount over time, from playlist lines given in the order written.
class TitleTimeline {
public:
    struct Change {
        std::int64_t at = 0; ///< instant from which the title is in force
        std::string title;
    };

    void Add(const PlaylistLine& line);
    /// The latest instant any playlist line of any mount has reached; nothing before the first.
    std::optional<std::int64_t> Reach() const { return reach_; }
    /// The changes of `mount` in time order, one a second at most, no two alike in a row.
    const std::vector<Change>& Changes(std::string_view mount) const;
    bool Empty() const { return !reach_; }

private:
    struct Mount {
        std::vector<Change> changes;
        bool sorted = true;
    };
    mutable std::map<std::string, Mount, std::less<>> mounts_;
    std::optional<std::int64_t> reach_;
};

/// Percent-escapes every byte of `title` but letters, digits and "-._~", as SHOUTcast writes it.
std::string EscapeTitle(std::string_view title);
/// bytes × 8 ÷ seconds, rounded half up; 0 for 0 seconds.
std::uint64_t AverageBitRate(std::uint64_t bytes, std::uint64_t seconds);

/// The nine values of a row, as text: c-ip, c-dns, date and time, cs-uri-stem, c-status,
/// cs(User-Agent), sc-bytes, x-duration, avgbandwidth.
using RowTexts = std::array<std::string, 9>;

/// The rows of an access line: one per title heard when `titles` knows its mount and it is a
/// listener's connection, else the one row of the whole connection. Appended to `rows`.
void AccessRows(const AccessLine& line, const TitleTimeline* titles, std::vector<RowTexts>& rows);

} // namespace brenvale

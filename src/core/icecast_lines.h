// The lines of a job's log read in the log's own format: SHOUTcast's W3C lines as they are,
// Icecast's access lines as rows split by the titles of its playlist log.
#pragma once

#include "core/icecast.h"
#include "core/log_loader.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenvale {

/// Reads every title change of a playlist log: `file` (a local path, with the files it was
/// rotated to, oldest first, or an http:// address). False with `error` set when it cannot be
/// read or holds lines that are no playlist lines only. A last line without its line feed is
/// still being written and is left out. `keepGoing` is asked now and then; false stops.
bool ReadPlaylist(const std::string& file, TitleTimeline& titles, std::string& error,
                  const std::function<bool()>& keepGoing);

/// The playlist log beside an access log, when a file of that name is there.
std::optional<std::string> PlaylistBeside(const std::string& accessLog);

/// A job's lines in its format: `format` when named, else each stream's first line that tells.
class FormatLines final : public LineRows {
public:
    FormatLines(LogFormat format, const TitleTimeline* titles)
        : named_(format), format_(format), titles_(titles) {}

    /// Lines now come from another stream, whose format is told again when not named.
    void StartStream() { format_ = named_; }
    Kind Read(std::string_view line, std::vector<std::array<std::string, 9>>& rows) override;
    /// Whether an access line ends after the last change the playlist log has reached, so its
    /// titles may not be known yet.
    bool EndsAfterPlaylist(std::string_view line);
    /// Offsets of the access lines are checked with `zoneOffset` (the station's offset at an
    /// instant); `disagree` hears of the first line that differs.
    void CheckOffsets(std::function<std::int64_t(std::int64_t instant)> zoneOffset,
                      std::function<void(const LogTime& time, std::int64_t expected)> disagree) {
        zoneOffset_ = std::move(zoneOffset);
        disagree_ = std::move(disagree);
    }
    /// Lines of a playlist log were read as the job's log.
    bool SawPlaylist() const { return sawPlaylist_; }

private:
    LogFormat Decide(std::string_view line);

    LogFormat named_;
    LogFormat format_;
    const TitleTimeline* titles_;
    std::function<std::int64_t(std::int64_t)> zoneOffset_;
    std::function<void(const LogTime&, std::int64_t)> disagree_;
    bool checked_ = false;
    bool sawPlaylist_ = false;
};

} // namespace brenvale

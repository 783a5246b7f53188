// One row of a log table read as a listener's segment: when it ended and how long it lasted,
// who listened, to which stream and title, and why it does not count when it does not.
#pragma once

#include "report/time_zone.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brenvale::report {

/// The values of one row that a report reads, as text (a NULL as `present` false). Views stay
/// valid until the next row is read.
struct LogRow {
    struct Value {
        std::string_view text;
        bool present = false;
    };
    Value address;          ///< value 1, c-ip
    Value time;             ///< value 3, date and time of the segment's end, station time
    Value uri;              ///< value 4, cs-uri-stem with its query
    Value status;           ///< value 5, c-status
    Value agent;            ///< value 6, cs(User-Agent)
    Value duration;         ///< value 8, x-duration in seconds
    bool truncated = false; ///< a value was longer than the reader keeps
};

/// Why a segment is not counted, in the order the reasons are tried.
enum class Exclusion : std::uint8_t {
    Unreadable,   ///< its time or duration cannot be read
    NotListening, ///< a status other than 200, a path under /admin/, or no path at all
    Agent,        ///< a relay, a crawler or a monitor by its user agent
    Short,        ///< shorter than the minimum seconds
    Country,      ///< a listener outside the country the report is restricted to
};
inline constexpr std::size_t kExclusionCount = 5;
/// "unreadable", "not_listening", "agent", "short", "country".
const char* ExclusionName(Exclusion reason);

/// User-agent patterns of relays, crawlers and monitors: a pattern with '*' or '?' matches the
/// whole agent as a shell pattern, any other the agent's text anywhere; letter case never
/// matters.
class AgentFilter {
public:
    /// The built-in list: SHOUTcast and Icecast relays and common crawlers and monitors.
    AgentFilter();
    /// Adds the patterns of a file, one a line ('#' lines and blank ones skipped); false with
    /// `error` set when it cannot be read.
    bool AddFile(const std::string& path, std::string& error);
    void Add(const std::string& pattern);
    /// Whether `agent` (decoded) matches a pattern.
    bool Matches(std::string_view agent) const;
    const std::vector<std::string>& Patterns() const { return patterns_; }

private:
    std::vector<std::string> patterns_; ///< in lower case
};

/// `text` percent-decoded as the loader's translation does, as UTF-8 (other bytes read as
/// Windows-1252).
std::string DecodeValue(std::string_view text);

/// The stream of a request: value 4 up to its '?'.
std::string_view StreamOf(std::string_view uri);
/// The raw text of the title= parameter of value 4 (empty without one). In translated rows a
/// '&' ends it only when a parameter name and '=' follow, since a title may hold one.
std::string_view RawTitleOf(std::string_view uri, bool translated);

/// A title split at its first " - ": artist and title (artist empty without one).
struct ArtistTitle {
    std::string artist;
    std::string title;
};
ArtistTitle SplitArtistTitle(std::string_view title);

/// A row read as a segment: [start, end) in instants, or why it cannot be one.
struct Segment {
    Instant start = 0;
    Instant end = 0;
    LocalTime localEnd = 0;
    std::int64_t duration = 0;
    bool readable = false;  ///< start and end are known
    bool listening = false; ///< status 200 on a path that is not under /admin/
};

/// Reads `row`'s times (in `zone`) and whether it is a listening request; never throws.
Segment ReadSegment(const LogRow& row, const StationZone& zone);

} // namespace brenvale::report

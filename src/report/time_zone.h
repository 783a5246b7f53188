// A station's time zone: its local times turned into instants and back, by the system's zone
// database.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace date {
class time_zone;
}

namespace brenvale::report {

/// Seconds since 1970-01-01 00:00:00 UTC.
using Instant = std::int64_t;
/// Seconds since 1970-01-01 00:00:00 on a station's wall clock.
using LocalTime = std::int64_t;

/// A civil date; valid when it came from ParseDate.
struct CivilDate {
    int year = 1970;
    unsigned month = 1;
    unsigned day = 1;
};

/// "YYYY-MM-DD"; false for anything else or a day the calendar has not.
bool ParseDate(std::string_view text, CivilDate& date);
/// Midnight at the start of `date`, as a wall-clock time.
LocalTime Midnight(const CivilDate& date);
/// "YYYY-MM-DD HH:MM:SS" (a 'T' between the two, and a fraction after the seconds, are read
/// too, the fraction dropped); nothing for anything else.
std::optional<LocalTime> ParseLocalTime(std::string_view text);
/// `time` as "YYYY-MM-DD HH:MM:SS".
std::string FormatLocalTime(LocalTime time);

/// One IANA zone, or UTC.
class StationZone {
public:
    /// UTC.
    StationZone();
    /// The zone named `name`, or the machine's own when `name` is empty; nothing, with
    /// `error` set to a sentence, when the zone database does not know it.
    static std::optional<StationZone> Find(const std::string& name, std::string& error);

    /// The IANA name ("UTC" for UTC).
    const std::string& Name() const { return name_; }
    /// The instant a wall-clock time means: a time that occurs twice (autumn) is the earlier
    /// instant, one that does not occur (spring) is moved forward by the gap.
    Instant ToInstant(LocalTime local) const;
    /// The zone's offset from UTC, in seconds, at `instant`.
    std::int64_t OffsetAt(Instant instant) const;
    /// The wall-clock time at `instant`.
    LocalTime ToLocal(Instant instant) const { return instant + OffsetAt(instant); }
    /// The latest instant that any wall-clock time up to `local` means: ToInstant(local), or
    /// later just after a spring gap, where times before the gap map past times after it.
    Instant LatestInstantUpTo(LocalTime local) const;

private:
    struct Span {
        LocalTime from = 1;
        LocalTime to = 0; ///< empty: nothing cached
        std::int64_t offset = 0;
    };

    const date::time_zone* zone_ = nullptr; ///< null: UTC
    std::string name_ = "UTC";
    /// Wall-clock times far from any change of offset, and the offset they have.
    mutable Span cached_;
};

/// `instant` as ISO 8601 with the zone's offset: "2024-03-10T00:00:00-05:00".
std::string Iso8601(Instant instant, const StationZone& zone);

} // namespace brenvale::report

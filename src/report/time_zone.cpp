// A station's time zone over Howard Hinnant's tz library and the system's zone database.
#include "report/time_zone.h"

#include <date/date.h>
#include <date/tz.h>

#include <chrono>
#include <cstdio>
#include <exception>

namespace brenvale::report {

namespace {

using std::chrono::seconds;

bool Digits(std::string_view text, std::size_t from, std::size_t count, int& value) {
    value = 0;
    for (std::size_t i = from; i < from + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

date::sys_seconds Sys(Instant instant) {
    return date::sys_seconds(seconds(instant));
}

// Offsets never change by more than a day, so a day's margin keeps a cached span clear of every
// gap and fold.
constexpr std::int64_t kDay = 86400;

} // namespace

bool ParseDate(std::string_view text, CivilDate& date) {
    int year = 0;
    int month = 0;
    int day = 0;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !Digits(text, 0, 4, year) ||
        !Digits(text, 5, 2, month) || !Digits(text, 8, 2, day))
        return false;
    const date::year_month_day ymd{date::year(year), date::month(static_cast<unsigned>(month)),
                                   date::day(static_cast<unsigned>(day))};
    if (!ymd.ok())
        return false;
    date = {year, static_cast<unsigned>(month), static_cast<unsigned>(day)};
    return true;
}

LocalTime Midnight(const CivilDate& civil) {
    const date::sys_days days{date::year(civil.year) / date::month(civil.month) /
                              date::day(civil.day)};
    return days.time_since_epoch().count() * kDay;
}

std::optional<LocalTime> ParseLocalTime(std::string_view text) {
    if (text.size() < 19 || (text[10] != ' ' && text[10] != 'T') || text[13] != ':' ||
        text[16] != ':')
        return std::nullopt;
    CivilDate civil;
    if (!ParseDate(text.substr(0, 10), civil))
        return std::nullopt;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!Digits(text, 11, 2, hour) || !Digits(text, 14, 2, minute) ||
        !Digits(text, 17, 2, second) || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    if (text.size() > 19) {
        if (text[19] != '.')
            return std::nullopt;
        for (std::size_t i = 20; i < text.size(); ++i)
            if (text[i] < '0' || text[i] > '9')
                return std::nullopt;
    }
    return Midnight(civil) + std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + second;
}

std::string FormatLocalTime(LocalTime time) {
    const auto days = date::floor<date::days>(Sys(time));
    const date::year_month_day ymd{days};
    const date::hh_mm_ss<seconds> clock{Sys(time) - days};
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02lld:%02lld:%02lld",
                  static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<long long>(clock.hours().count()),
                  static_cast<long long>(clock.minutes().count()),
                  static_cast<long long>(clock.seconds().count()));
    return text;
}

StationZone::StationZone() = default;

std::optional<StationZone> StationZone::Find(const std::string& name, std::string& error) {
    StationZone zone;
    try {
        zone.zone_ = name.empty() ? date::current_zone() : date::locate_zone(name);
    } catch (const std::exception& e) {
        error = name.empty() ? std::string("The machine's time zone is not known (") + e.what() +
                                   "); name one."
                             : "The time zone '" + name +
                                   "' is not in the system's time zone database (an IANA name "
                                   "such as America/New_York is needed).";
        return std::nullopt;
    }
    zone.name_ = std::string(zone.zone_->name());
    return zone;
}

Instant StationZone::ToInstant(LocalTime local) const {
    if (zone_ == nullptr)
        return local;
    if (local >= cached_.from && local < cached_.to)
        return local - cached_.offset;
    const date::local_info info = zone_->get_info(date::local_seconds(seconds(local)));
    // The first interpretation is the earlier instant of a repeated time, and for a skipped time
    // the offset before the gap, which moves it forward by the gap.
    const std::int64_t offset = info.first.offset.count();
    if (info.result == date::local_info::unique) {
        const LocalTime from = info.first.begin.time_since_epoch().count() + offset + kDay;
        const LocalTime to = info.first.end.time_since_epoch().count() + offset - kDay;
        if (from <= local && local < to)
            cached_ = {from, to, offset};
    }
    return local - offset;
}

std::int64_t StationZone::OffsetAt(Instant instant) const {
    if (zone_ == nullptr)
        return 0;
    return zone_->get_info(Sys(instant)).offset.count();
}

Instant StationZone::LatestInstantUpTo(LocalTime local) const {
    const Instant instant = ToInstant(local);
    if (zone_ == nullptr)
        return instant;
    const date::sys_info now = zone_->get_info(Sys(instant));
    const Instant change = now.begin.time_since_epoch().count();
    const std::int64_t before = zone_->get_info(Sys(change - 1)).offset.count();
    const std::int64_t gap = now.offset.count() - before;
    // Wall-clock times in the gap's width after it map to instants before those in the gap.
    if (gap > 0 && local < change + now.offset.count() + gap)
        return std::max(instant, change + gap - 1);
    return instant;
}

std::string Iso8601(Instant instant, const StationZone& zone) {
    const std::int64_t offset = zone.OffsetAt(instant);
    std::string text = FormatLocalTime(instant + offset);
    text[10] = 'T';
    const std::int64_t magnitude = offset < 0 ? -offset : offset;
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, "%c%02lld:%02lld", offset < 0 ? '-' : '+',
                  static_cast<long long>(magnitude / 3600),
                  static_cast<long long>(magnitude / 60 % 60));
    return text + suffix;
}

} // namespace brenvale::report

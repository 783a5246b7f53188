// The periods of a report.
#include "report/periods.h"

#include <date/date.h>

#include <algorithm>
#include <chrono>

namespace brenvale::report {

namespace {

constexpr LocalTime kDay = 86400;

/// The wall-clock midnight that starts the period after the one holding `midnight`.
LocalTime NextBoundary(LocalTime midnight, PeriodUnit unit) {
    const date::sys_days day{date::days(midnight / kDay)};
    switch (unit) {
    case PeriodUnit::Week: {
        const date::weekday weekday{day};
        // Days from this one to the next Monday (7 on a Monday).
        const unsigned ahead = (8 - weekday.iso_encoding()) % 7;
        return midnight + kDay * (ahead == 0 ? 7 : ahead);
    }
    case PeriodUnit::Month: {
        const date::year_month_day ymd{day};
        const date::year_month next = date::year_month(ymd.year(), ymd.month()) + date::months(1);
        return date::sys_days(next / date::day(1)).time_since_epoch().count() * kDay;
    }
    case PeriodUnit::Hour:
    case PeriodUnit::Day:
        break;
    }
    return midnight + kDay;
}

} // namespace

bool ParsePeriodUnit(std::string_view text, PeriodUnit& unit) {
    for (const PeriodUnit candidate :
         {PeriodUnit::Hour, PeriodUnit::Day, PeriodUnit::Week, PeriodUnit::Month})
        if (text == PeriodUnitName(candidate)) {
            unit = candidate;
            return true;
        }
    return false;
}

const char* PeriodUnitName(PeriodUnit unit) {
    switch (unit) {
    case PeriodUnit::Hour:
        return "hour";
    case PeriodUnit::Day:
        return "day";
    case PeriodUnit::Week:
        return "week";
    case PeriodUnit::Month:
        return "month";
    }
    return "day";
}

std::vector<Period> MakePeriods(const CivilDate& from, const CivilDate& to, PeriodUnit unit,
                                const StationZone& calendar) {
    std::vector<Period> periods;
    const LocalTime first = Midnight(from);
    const LocalTime last = Midnight(to);
    for (LocalTime midnight = first; midnight < last;) {
        const LocalTime next = std::min(NextBoundary(midnight, unit), last);
        const Instant start = calendar.ToInstant(midnight);
        const Instant end = calendar.ToInstant(next);
        if (unit == PeriodUnit::Hour) {
            for (Instant hour = start; hour < end; hour += 3600)
                periods.push_back({hour, std::min(hour + 3600, end)});
        } else if (start < end) {
            periods.push_back({start, end});
        }
        midnight = next;
    }
    return periods;
}

} // namespace brenvale::report

// The periods of a report: calendar hours, days, weeks or months of the station's clock (or of
// UTC) between two dates.
#pragma once

#include "report/time_zone.h"

#include <string_view>
#include <vector>

namespace brenvale::report {

enum class PeriodUnit { Hour, Day, Week, Month };

/// "hour", "day", "week" or "month"; false for anything else.
bool ParsePeriodUnit(std::string_view text, PeriodUnit& unit);
const char* PeriodUnitName(PeriodUnit unit);

/// [start, end) in instants.
struct Period {
    Instant start = 0;
    Instant end = 0;
};

/// The periods from midnight of `from` to midnight of `to` (exclusive) on `calendar`'s clock:
/// real hours (23 or 25 on a day the clocks change), days, weeks from Monday and months, the
/// first and last cut at the range's ends. Empty when `to` is not after `from`.
std::vector<Period> MakePeriods(const CivilDate& from, const CivilDate& to, PeriodUnit unit,
                                const StationZone& calendar);

} // namespace brenvale::report

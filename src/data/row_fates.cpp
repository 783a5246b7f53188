// What every writer says of a row it did not store.
#include "data/row_fates.h"

#include <string>

namespace brenvale {

bool HoldsNul(const RowValues& values) {
    for (const std::string_view value : values)
        if (value.find('\0') != std::string_view::npos)
            return true;
    return false;
}

DbResult NulRefusal() {
    return DbResult::Failure("22021", "A value holds a NUL byte (0x00), which PostgreSQL text "
                                      "cannot store; the row was not sent.");
}

DbResult NotStored(DbResult warning, long stored, std::size_t sent) {
    if (warning.message.empty() || warning.ok) {
        warning = DbResult::Failure("01000", "");
    }
    warning.ok = false;
    warning.failure = DbFailure::Refused;
    const std::string counts = "The database stored " + std::to_string(stored) + " of " +
                               std::to_string(sent) + (sent == 1 ? " row." : " rows.");
    warning.message = warning.message.empty() ? counts : warning.message + "\n" + counts;
    return warning;
}

bool Stops(const DbResult& result) {
    return result.Fatal() || result.failure == DbFailure::Busy;
}

DbResult Unisolated(DbResult result) {
    if (!result.ok && !Stops(result))
        result.failure = DbFailure::Unisolated;
    return result;
}

bool LostInFlight(const DbResult& result) {
    return result.sqlState.rfind("57P0", 0) != 0 && result.sqlState != "70100";
}

} // namespace brenvale

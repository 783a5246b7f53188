// What every writer says of a row it did not store, whichever way the row was sent, so a batch
// and row by row report a refused row alike; and what every writer knows of its table.
#pragma once

#include "core/database.h"
#include "data/table_name.h"

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brenvale {

/// True when a value of `values` holds a NUL byte, which PostgreSQL text cannot store.
bool HoldsNul(const RowValues& values);

/// The refusal of a row holding a NUL byte, which is never sent.
DbResult NulRefusal();

/// The refusal of rows the database took without storing them all (MariaDB answers a value it
/// cannot convert with a warning and no row; a PostgreSQL trigger may drop a row): `warning`'s
/// text, if any, and "The database stored `stored` of `sent` rows."
DbResult NotStored(DbResult warning, long stored, std::size_t sent);

/// The columns of a row that are not text: a "-" (SHOUTcast's "no value") goes there as NULL.
using NoValueColumns = std::array<bool, std::tuple_size_v<RowValues>>;

/// True when `value` is sent as NULL to a column of which `noValue` is true.
inline bool IsNoValue(std::string_view value, bool noValue) {
    return noValue && value == "-";
}

/// The failure stops the work in hand: the database's own, or busy (the same work may pass later).
bool Stops(const DbResult& result);

/// `result`, when it is a plain failure of a savepoint statement on a working connection, as
/// DbFailure::Unisolated: what was sent since the mark cannot be undone alone.
DbResult Unisolated(DbResult result);

/// A lost connection that the server did not announce (by a shutdown's SQLSTATE) may have come
/// after the work was done.
bool LostInFlight(const DbResult& result);

/// What a writer knows of its table.
struct WriterTable {
    std::string typed;    ///< the job's table as typed; positions are kept under it
    ResolvedTable target; ///< the catalogue's table the rows go to
    NoValueColumns noValue{};
};

} // namespace brenvale

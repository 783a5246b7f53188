// What every writer says of a row it did not store, whichever way the row was sent, so a batch
// and row by row report a refused row alike.
#pragma once

#include "core/database.h"

#include <cstddef>

namespace brenvale {

/// True when a value of `values` holds a NUL byte, which PostgreSQL text cannot store.
bool HoldsNul(const RowValues& values);

/// The refusal of a row holding a NUL byte, which is never sent.
DbResult NulRefusal();

/// The refusal of rows the database took without storing them all (MariaDB answers a value it
/// cannot convert with a warning and no row; a PostgreSQL trigger may drop a row): `warning`'s
/// text, if any, and "The database stored `stored` of `sent` rows."
DbResult NotStored(DbResult warning, long stored, std::size_t sent);

} // namespace brenvale

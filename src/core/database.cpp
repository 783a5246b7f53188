// Default behaviour of the database interface.
#include "core/database.h"

namespace brenvale {

DbResult RowInserter::InsertMany(const std::vector<RowValues>& rows, std::size_t& done) {
    done = 0;
    for (const RowValues& row : rows) {
        DbResult result = Insert(row);
        if (!result)
            return result;
        ++done;
    }
    return DbResult::Success();
}

} // namespace brenvale

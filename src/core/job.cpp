// The in-memory job list.
#include "core/job.h"

namespace brenvale {

std::string VectorJobList::Text(int row, int column) const {
    if (row < 1 || row > Count())
        return {};
    const Job& job = jobs_[static_cast<std::size_t>(row - 1)];
    if (column == kColumnFile)
        return job.File;
    if (column == kColumnTable)
        return job.DBTable;
    return {};
}

void VectorJobList::SetText(int row, int column, const std::string& text) {
    if (row < 1 || row > Count())
        return;
    Job& job = jobs_[static_cast<std::size_t>(row - 1)];
    if (column == kColumnFile)
        job.File = text;
    else if (column == kColumnTable)
        job.DBTable = text;
}

} // namespace brenvale

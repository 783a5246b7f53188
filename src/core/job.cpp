// The in-memory job list.
#include "core/job.h"

#include "core/database.h"

#include <algorithm>
#include <cctype>

namespace brenvale {

bool IsProgramTable(const std::string& table) {
    // The last part of a qualified name, without its quotes, in any case (databases fold it).
    std::string name = table.substr(table.find_last_of('.') + 1);
    std::erase_if(name, [](char c) { return c == '"' || c == '`' || c == '[' || c == ']'; });
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name == kCheckpointTable;
}

std::string VectorJobList::Text(int row, int column) const {
    if (row < 1 || row > Count())
        return {};
    const Job& job = jobs_[static_cast<std::size_t>(row - 1)];
    if (column == kColumnFile)
        return job.File;
    if (column == kColumnTable)
        return job.DBTable;
    if (column == kColumnFormat)
        return job.Format;
    if (column == kColumnPlaylist)
        return job.Playlist;
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
    else if (column == kColumnFormat)
        job.Format = text;
    else if (column == kColumnPlaylist)
        job.Playlist = text;
}

} // namespace brenvale

// The least parsing a loader can do, shared by the minimal loops: a SHOUTcast W3C data line cut
// at single blanks into its ten fields.
#pragma once

#include <cstddef>
#include <cstring>

namespace bench {

struct LogFields {
    const char* data[10];
    std::size_t size[10];
};

/// Cuts the `got` bytes of `line` (its line end included) into ten fields; false for empty
/// lines, directives and lines of fewer fields. The third and fourth field are the date and time.
inline bool SplitLogLine(const char* line, std::size_t got, LogFields& fields) {
    std::size_t size = got;
    if (size > 0 && line[size - 1] == '\n')
        --size;
    if (size > 0 && line[size - 1] == '\r')
        --size;
    if (size == 0 || line[0] == '#')
        return false;
    std::size_t count = 0;
    std::size_t from = 0;
    while (count < 10) {
        const void* blank = std::memchr(line + from, ' ', size - from);
        const std::size_t end =
            blank ? static_cast<std::size_t>(static_cast<const char*>(blank) - line) : size;
        fields.data[count] = line + from;
        fields.size[count++] = end - from;
        if (!blank)
            break;
        from = end + 1;
    }
    return count == 10;
}

} // namespace bench

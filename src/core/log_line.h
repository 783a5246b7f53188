// One SHOUTcast W3C log line cut into the nine values of a row of the target table.
#pragma once

#include "core/database.h"

#include <array>
#include <string>
#include <string_view>

namespace brenvale {

/// Cuts a data line at every blank; false (and `fields` partly filled) when it has fewer than ten.
/// Views point into `line`.
bool SplitLogFields(std::string_view line, std::array<std::string_view, 10>& fields);

/// What a line is before it reaches the database.
enum class LineKind {
    Row,       ///< a data line: its values are ready
    Directive, ///< an empty line or a "#" directive
    Short,     ///< fewer than ten fields
};

/// Makes the values of rows from log lines: the fields in their columns, the date and the time
/// in one, "%XX" escapes translated when asked, all as the database's text.
class LogLineParser {
public:
    /// The values of `line`, valid until the next call (they may point into `line`); "%XX"
    /// escapes translated when `translate`.
    LineKind Parse(std::string_view line, bool translate, RowValues& values);

private:
    std::array<std::string, 10> translated_;
    std::string dateTime_;
    std::array<std::string, 9> encoded_;
};

} // namespace brenvale

// General text helpers that touch no window and no database.
#pragma once

#include <string>
#include <string_view>

namespace brenvale {

/// Last component of a path or address; backslashes count as slashes. Whole text without a slash.
std::string GetFileName(std::string_view path);

/// Value of `text` read as hexadecimal (0-9, A-F either case); -1 if any character is not a hex
/// digit; 0 for the empty text.
double HexToDec(std::string_view text);

/// `text` with its percent escapes replaced, left to right, each distinct code replaced in all its
/// occurrences at once; a "%" that a replacement produces is examined again. Bytes, not characters:
/// "%E9" gives the byte 0xE9. Takes time n log n in the length, whatever the text holds.
std::string TranslateHexCodes(std::string text);

} // namespace brenvale

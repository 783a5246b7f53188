// Byte text on its way to the database: UTF-8 stays, anything else is read as Windows-1252.
#pragma once

#include <string>
#include <string_view>

namespace brenvale {

/// True when `text` is well-formed UTF-8 (no overlongs, no surrogates, nothing past U+10FFFF).
bool IsValidUtf8(std::string_view text);

/// Appends `text`, read as Windows-1252, to `out` as UTF-8. Bytes that code page leaves undefined
/// (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the C1 control of the same number.
void AppendCp1252AsUtf8(std::string_view text, std::string& out);

/// `text` itself when it is valid UTF-8; otherwise its Windows-1252 reading as UTF-8, kept in
/// `buffer`, which the returned view then points into.
std::string_view ToDatabaseText(std::string_view text, std::string& buffer);

} // namespace brenvale

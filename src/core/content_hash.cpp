// Hash values as text, for the bookkeeping table.
#include "core/content_hash.h"

namespace brenvale {

std::string HashText(std::uint64_t hash) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = kHex[hash & 0xF];
        hash >>= 4;
    }
    return text;
}

bool ParseHashText(std::string_view text, std::uint64_t& hash) {
    if (text.size() != 16)
        return false;
    hash = 0;
    for (const char c : text) {
        int value = 0;
        if (c >= '0' && c <= '9')
            value = c - '0';
        else if (c >= 'a' && c <= 'f')
            value = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            value = c - 'A' + 10;
        else
            return false;
        hash = (hash << 4) | static_cast<std::uint64_t>(value);
    }
    return true;
}

} // namespace brenvale

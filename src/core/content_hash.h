// The content hash of incremental loading: FNV-1a over 64 bits, streamed byte by byte, so the
// hash of every prefix of a log is at hand while it is read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brenvale {

inline constexpr std::uint64_t kHashStart = 0xcbf29ce484222325ULL;

/// Continues `state` over `bytes`.
inline std::uint64_t HashBytes(std::string_view bytes, std::uint64_t state = kHashStart) {
    for (const char c : bytes) {
        state ^= static_cast<unsigned char>(c);
        state *= 0x100000001b3ULL;
    }
    return state;
}

/// Sixteen lower-case hex digits.
std::string HashText(std::uint64_t hash);

/// The reverse of HashText; false for anything that is not sixteen hex digits.
bool ParseHashText(std::string_view text, std::uint64_t& hash);

} // namespace brenvale

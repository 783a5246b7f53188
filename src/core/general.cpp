// General text helpers that touch no window and no database.
#include "core/general.h"

#include <algorithm>

namespace brenvale {

std::string GetFileName(std::string_view path) {
    std::string text(path);
    for (char& c : text)
        if (c == '\\')
            c = '/';
    const auto slash = text.rfind('/');
    if (slash == std::string::npos)
        return text;
    return text.substr(slash + 1);
}

double HexToDec(std::string_view text) {
    double result = 0;
    double weight = 0;
    for (char c : text) {
        const bool digit =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        if (!digit)
            return -1;
    }
    for (auto it = text.rbegin(); it != text.rend(); ++it) {
        weight *= 16;
        if (weight == 0)
            weight = 1;
        const char c = *it;
        int value = 0;
        if (c >= '0' && c <= '9')
            value = c - '0';
        else if (c >= 'A' && c <= 'F')
            value = c - 'A' + 10;
        else
            value = c - 'a' + 10;
        result += value * weight;
    }
    return result;
}

namespace {

/// Replaces every non-overlapping occurrence of `code`, scanning left to right over the whole text.
void ReplaceAll(std::string& text, const std::string& code, char replacement) {
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (auto at = text.find(code); at != std::string::npos; at = text.find(code, from)) {
        out.append(text, from, at - from);
        out.push_back(replacement);
        from = at + code.size();
    }
    out.append(text, from, std::string::npos);
    text.swap(out);
}

} // namespace

std::string TranslateHexCodes(std::string text) {
    // Positions are size_t: a "%" left alone far into a long field must not end the scan.
    std::size_t scan = 0;
    for (;;) {
        const auto percent = text.find('%', scan);
        if (percent == std::string::npos)
            return text;
        const std::size_t digitCount = std::min<std::size_t>(2, text.size() - percent - 1);
        if (digitCount == 0) {
            scan = percent + 1;
            continue;
        }
        const std::string_view digits(text.data() + percent + 1, digitCount);
        const double value = HexToDec(digits);
        if (value < 0) {
            scan = percent + 1;
            continue;
        }
        const std::string code = text.substr(percent, 1 + digitCount);
        ReplaceAll(text, code, static_cast<char>(static_cast<unsigned char>(value)));
    }
}

} // namespace brenvale

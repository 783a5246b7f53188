// General text helpers that touch no window and no database.
#include "core/general.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

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

/// Characters that can follow a "%" as a digit: 0-9, A-F and a-f, kept apart because a code is
/// matched with the case it is written in.
constexpr int kDigitKinds = 22;
constexpr std::uint16_t kNoSlot = 0xFFFF;

/// Which of the 22 digit characters `c` is, -1 for any other character.
int DigitKind(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 16;
    return -1;
}

int DigitValue(int kind) {
    return kind < 16 ? kind : kind - 6;
}

/// The positions of a text that are still present, as a tree of 64-bit words: the next or
/// previous present position takes a few word steps however many were removed in between.
class PresentSet {
public:
    explicit PresentSet(std::size_t size) : size_(size) {
        std::size_t count = size;
        do {
            const std::size_t words = (count + 63) / 64;
            std::vector<std::uint64_t> level(words, ~std::uint64_t{0});
            if (count % 64 != 0)
                level.back() = (std::uint64_t{1} << (count % 64)) - 1;
            levels_.push_back(std::move(level));
            count = words;
        } while (count > 1);
    }

    std::size_t size() const { return size_; }

    /// First present position at or after `at`; size() when there is none.
    std::size_t Next(std::size_t at) const {
        if (at >= size_)
            return size_;
        std::size_t level = 0;
        std::size_t pos = at;
        for (;;) {
            const std::size_t word = pos >> 6;
            if (word >= levels_[level].size())
                return size_;
            const std::uint64_t bits = levels_[level][word] & (~std::uint64_t{0} << (pos & 63));
            if (bits != 0) {
                pos = (word << 6) | static_cast<std::size_t>(std::countr_zero(bits));
                break;
            }
            if (level + 1 == levels_.size())
                return size_;
            pos = word + 1;
            ++level;
        }
        while (level > 0) {
            --level;
            pos = (pos << 6) | static_cast<std::size_t>(std::countr_zero(levels_[level][pos]));
        }
        return pos;
    }

    /// Last present position before `at`; size() when there is none.
    std::size_t Previous(std::size_t at) const {
        if (at == 0)
            return size_;
        std::size_t level = 0;
        std::size_t pos = at - 1;
        for (;;) {
            const std::size_t word = pos >> 6;
            const std::uint64_t bits =
                levels_[level][word] & (~std::uint64_t{0} >> (63 - (pos & 63)));
            if (bits != 0) {
                pos = (word << 6) | static_cast<std::size_t>(63 - std::countl_zero(bits));
                break;
            }
            if (word == 0 || level + 1 == levels_.size())
                return size_;
            pos = word - 1;
            ++level;
        }
        while (level > 0) {
            --level;
            pos = (pos << 6) | static_cast<std::size_t>(63 - std::countl_zero(levels_[level][pos]));
        }
        return pos;
    }

    void Remove(std::size_t at) {
        removedAny_ = true;
        std::size_t pos = at;
        for (auto& level : levels_) {
            std::uint64_t& word = level[pos >> 6];
            word &= ~(std::uint64_t{1} << (pos & 63));
            if (word != 0)
                break;
            pos >>= 6;
        }
    }

    /// Moves the present characters of `text` to its front, in order, and cuts off the rest.
    void Compact(std::string& text) const {
        if (!removedAny_)
            return;
        std::size_t out = 0;
        const auto& words = levels_.front();
        for (std::size_t w = 0; w < words.size(); ++w)
            for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1)
                text[out++] = text[(w << 6) | static_cast<std::size_t>(std::countr_zero(bits))];
        text.resize(out);
    }

private:
    std::size_t size_;
    bool removedAny_ = false;
    std::vector<std::vector<std::uint64_t>> levels_;
};

/// Translates a text in place in time n log n. Removed characters stay in the buffer until the
/// end (they are always digits, so a search for "%" never finds one), and every code in the text
/// is kept on a list of its own, so replacing all its occurrences costs only their number.
/// `Index` holds a position; a narrow one halves the lists' memory for texts below 4 GiB.
template <typename Index> class Translator {
public:
    explicit Translator(std::string& text) : text_(text), present_(text.size()) {
        slot_.fill(kNoSlot);
        for (std::size_t at = text_.find('%'); at != std::string::npos;
             at = text_.find('%', at + 1))
            Note(at);
    }

    void Run() {
        // Where the last "%" was found: none lies between the scan position and it, because a
        // replacement changes only the "%" it starts with.
        std::size_t from = 0;
        for (;;) {
            from = std::max(from, scan_);
            const std::size_t percent = text_.find('%', from);
            if (percent == std::string::npos)
                break;
            from = percent;
            const std::size_t first = present_.Next(percent + 1);
            if (first == present_.size())
                break;
            const std::size_t second = present_.Next(first + 1);
            const int high = DigitKind(text_[first]);
            if (second == present_.size() && high >= 0) {
                // One digit at the very end: replacing it is the last step, it makes no "%".
                ReplaceShortCode(text_[first]);
                return;
            }
            const int low = second == present_.size() ? -1 : DigitKind(text_[second]);
            if (high < 0 || low < 0) {
                scan_ = first;
                continue;
            }
            ReplaceCode(high * kDigitKinds + low);
        }
        present_.Compact(text_);
    }

private:
    /// Files the code that starts at `head`, if one does.
    void Note(std::size_t head) {
        if (text_[head] != '%')
            return;
        const std::size_t first = present_.Next(head + 1);
        const std::size_t second = present_.Next(first + 1);
        if (second >= present_.size())
            return;
        const int high = DigitKind(text_[first]);
        const int low = DigitKind(text_[second]);
        if (high < 0 || low < 0)
            return;
        std::uint16_t& slot = slot_[static_cast<std::size_t>(high) * kDigitKinds + static_cast<std::size_t>(low)];
        if (slot == kNoSlot) {
            slot = static_cast<std::uint16_t>(heads_.size());
            heads_.emplace_back();
        }
        heads_[slot].push_back(static_cast<Index>(head));
    }

    /// Replaces every occurrence of a three-character code at once. A filed code stays whole
    /// until its own turn: its digits can only be taken by its own "%".
    void ReplaceCode(int code) {
        std::vector<Index> heads;
        heads.swap(heads_[slot_[static_cast<std::size_t>(code)]]);
        const char value =
            static_cast<char>(DigitValue(code / kDigitKinds) * 16 + DigitValue(code % kDigitKinds));
        for (const Index head : heads) {
            const std::size_t first = present_.Next(std::size_t{head} + 1);
            const std::size_t second = present_.Next(first + 1);
            if (head < scan_ && scan_ < present_.size()) {
                // The scan position counts characters, so two removed before it move it onto
                // the character two further on.
                const std::size_t next = present_.Next(scan_ + 1);
                scan_ = present_.Next(next + 1);
            }
            present_.Remove(first);
            present_.Remove(second);
            text_[head] = value;
            // Only the codes that now start at or just before the replacement are new.
            Note(head);
            const std::size_t before = present_.Previous(head);
            if (before < present_.size()) {
                Note(before);
                const std::size_t earlier = present_.Previous(before);
                if (earlier < present_.size())
                    Note(earlier);
            }
        }
    }

    /// Replaces every "%" followed by `digit`, the code of a "%" that is next to last.
    void ReplaceShortCode(char digit) {
        const char value = static_cast<char>(DigitValue(DigitKind(digit)));
        std::size_t out = 0;
        for (std::size_t at = present_.Next(0); at < present_.size();) {
            const std::size_t next = present_.Next(at + 1);
            if (text_[at] == '%' && next < present_.size() && text_[next] == digit) {
                text_[out++] = value;
                at = present_.Next(next + 1);
            } else {
                text_[out++] = text_[at];
                at = next;
            }
        }
        text_.resize(out);
    }

    std::string& text_;
    PresentSet present_;
    /// The character now at the scan position; the position is a count of characters.
    std::size_t scan_ = 0;
    std::array<std::uint16_t, kDigitKinds * kDigitKinds> slot_{};
    std::vector<std::vector<Index>> heads_;
};

/// True when `text` holds something that a translation would change.
bool HasCode(std::string_view text) {
    for (std::size_t at = text.find('%'); at != std::string_view::npos;
         at = text.find('%', at + 1)) {
        if (at + 1 < text.size() && DigitKind(text[at + 1]) >= 0 &&
            (at + 2 == text.size() || DigitKind(text[at + 2]) >= 0))
            return true;
    }
    return false;
}

} // namespace

std::string TranslateHexCodes(std::string text) {
    if (!HasCode(text))
        return text;
    if (text.size() < std::numeric_limits<std::uint32_t>::max())
        Translator<std::uint32_t>(text).Run();
    else
        Translator<std::size_t>(text).Run();
    return text;
}

} // namespace brenvale

// Cuts a byte stream that arrives in pieces into lines, with bounded memory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brenvale {

/// Lines end at LF or CR LF (the CR belongs to the line end); a CR elsewhere stays in the line.
/// A line longer than the limit is skipped whole and counted.
class LineSplitter {
public:
    static constexpr std::size_t kDefaultMaxLine = 1024 * 1024;

    explicit LineSplitter(std::size_t maxLine = kDefaultMaxLine) : maxLine_(maxLine) {}

    /// Feeds a piece; calls `onLine(std::string_view)` for every line completed by it, in order.
    /// `onLine` returns false to stop at once; Feed then returns false and keeps nothing more.
    template <typename OnLine> bool Feed(std::string_view piece, OnLine&& onLine) {
        while (!piece.empty()) {
            const auto lf = piece.find('\n');
            const std::string_view part = piece.substr(0, lf);
            Append(part);
            if (lf == std::string_view::npos)
                return true;
            piece.remove_prefix(lf + 1);
            if (!EmitPending(onLine))
                return false;
        }
        return true;
    }

    /// Hands on the text after the last line end, if any, as a last line.
    template <typename OnLine> bool Finish(OnLine&& onLine) {
        if (pending_.empty() && !discarding_)
            return true;
        return EmitPending(onLine);
    }

    /// Lines skipped for exceeding the limit.
    std::uint64_t LongLinesSkipped() const { return longLines_; }

private:
    void Append(std::string_view part) {
        if (discarding_)
            return;
        // One byte of slack for a CR that may turn out to belong to the line end.
        if (pending_.size() + part.size() > maxLine_ + 1) {
            discarding_ = true;
            pending_.clear();
            pending_.shrink_to_fit();
            return;
        }
        pending_.append(part);
    }

    template <typename OnLine> bool EmitPending(OnLine& onLine) {
        if (discarding_) {
            discarding_ = false;
            ++longLines_;
            return true;
        }
        std::string_view line = pending_;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.size() > maxLine_) {
            ++longLines_;
            pending_.clear();
            return true;
        }
        const bool more = onLine(line);
        pending_.clear();
        return more;
    }

    std::size_t maxLine_;
    std::string pending_;
    bool discarding_ = false;
    std::uint64_t longLines_ = 0;
};

} // namespace brenvale

// Cuts a byte stream that arrives in pieces into lines, with bounded memory, and says where each
// line ends: its number, the bytes up to its line end and their hash.
#pragma once

#include "core/content_hash.h"
#include "core/log_loader.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace brenvale {

/// Lines end at LF or CR LF (the CR belongs to the line end); a CR elsewhere stays in the line.
/// A line longer than the limit is skipped whole and told apart. A UTF-8 byte-order mark at the
/// very start of the stream is not part of the first line.
class LineSplitter {
public:
    static constexpr std::size_t kDefaultMaxLine = std::size_t{1024} * 1024;
    /// The bytes whose hash tells a log file apart from another.
    static constexpr std::uint64_t kIdentityBytes = 4096;

    explicit LineSplitter(std::size_t maxLine = kDefaultMaxLine) : maxLine_(maxLine) {}

    /// Goes on from `mark` (a line end of an earlier reading of the same stream) instead of the
    /// stream's start.
    void StartAt(const LineMark& mark) {
        mark_ = mark;
        pending_.clear();
        discarding_ = false;
    }

    /// Feeds a piece; calls `onLine(std::string_view line, const LineMark& end)` for every line
    /// completed by it and `onLong(const LineMark& end)` for every line skipped for its length, in
    /// order. A callback returns false to stop at once; Feed then returns false.
    template <typename OnLine, typename OnLong>
    bool Feed(std::string_view piece, OnLine&& onLine, OnLong&& onLong) {
        while (!piece.empty()) {
            const auto lf = piece.find('\n');
            const std::string_view part = piece.substr(0, lf == std::string_view::npos ? lf : lf + 1);
            Consume(part);
            if (lf == std::string_view::npos)
                return true;
            piece.remove_prefix(lf + 1);
            if (!EmitPending(onLine, onLong))
                return false;
        }
        return true;
    }

    /// Hands on the text after the last line end, if any, as a last line.
    template <typename OnLine, typename OnLong> bool Finish(OnLine&& onLine, OnLong&& onLong) {
        if (!HasPartialLine())
            return true;
        return EmitPending(onLine, onLong);
    }

    /// Bytes after the last line end are waiting (a last line without a line feed, so far).
    bool HasPartialLine() const { return !pending_.empty() || discarding_; }
    /// The partial line, as far as it is kept.
    std::string_view PartialLine() const { return pending_; }
    /// Where the last complete line ended (the stream's start, or StartAt's mark, before any).
    const LineMark& LastLineEnd() const { return mark_; }
    /// Every byte fed so far, partial line included.
    std::uint64_t BytesSeen() const { return mark_.offset + seen_; }

private:
    void Consume(std::string_view part) {
        // The hash runs over every byte; the identity stops at its size.
        runningHash_ = HashBytes(part, seen_ == 0 ? mark_.prefixHash : runningHash_);
        if (seen_ == 0) {
            identityHash_ = mark_.identityHash;
            identityLength_ = mark_.identityLength;
        }
        const std::uint64_t at = mark_.offset + seen_;
        if (at < kIdentityBytes) {
            const auto take = static_cast<std::size_t>(
                std::min<std::uint64_t>(part.size(), kIdentityBytes - at));
            identityHash_ = HashBytes(part.substr(0, take), identityHash_);
            identityLength_ += take;
        }
        seen_ += part.size();
        if (discarding_)
            return;
        // Two bytes of slack for the line feed and a CR that may turn out to belong to it.
        if (pending_.size() + part.size() > maxLine_ + 2) {
            discarding_ = true;
            pending_.clear();
            pending_.shrink_to_fit();
            return;
        }
        pending_.append(part);
    }

    template <typename OnLine, typename OnLong> bool EmitPending(OnLine& onLine, OnLong& onLong) {
        const bool atStart = mark_.offset == 0;
        LineMark end = mark_;
        end.line += 1;
        end.offset += seen_;
        end.prefixHash = runningHash_;
        end.identityHash = identityHash_;
        end.identityLength = identityLength_;
        mark_ = end;
        seen_ = 0;
        if (discarding_) {
            discarding_ = false;
            return onLong(static_cast<const LineMark&>(end));
        }
        std::string_view line = pending_;
        if (!line.empty() && line.back() == '\n')
            line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (atStart && line.substr(0, 3) == "\xEF\xBB\xBF")
            line.remove_prefix(3);
        if (line.size() > maxLine_) {
            pending_.clear();
            return onLong(static_cast<const LineMark&>(end));
        }
        const bool more = onLine(line, static_cast<const LineMark&>(end));
        pending_.clear();
        return more;
    }

    std::size_t maxLine_;
    LineMark mark_;
    std::uint64_t seen_ = 0;
    std::uint64_t runningHash_ = kHashStart;
    std::uint64_t identityHash_ = kHashStart;
    std::uint64_t identityLength_ = 0;
    std::string pending_;
    bool discarding_ = false;
};

} // namespace brenvale

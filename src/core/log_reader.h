// Reading the bytes of a local log: plain or gzip (every member in turn), from any position,
// with waits that stay cancellable (a FIFO, a device) and a word when the file grew meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace brenvale {

/// Decompresses gzip data member after member, as it arrives in pieces. Every member is checked
/// whole (header, data, CRC and length); zero bytes after the last member are padding, anything
/// else after a member is damage. The verdict never depends on how the bytes are cut in pieces.
class GzipInflater {
public:
    /// `firstMember` is the index of the first member fed, which begins at byte `at` of the data.
    explicit GzipInflater(int firstMember = 0, std::uint64_t at = 0);
    ~GzipInflater();
    GzipInflater(const GzipInflater&) = delete;
    GzipInflater& operator=(const GzipInflater&) = delete;

    /// Feeds compressed bytes. Calls `onMember(index)` when a member starts (0 first), `out(bytes)`
    /// with its decompressed bytes and `onMemberEnd(index)` once its CRC and length are checked;
    /// each returns false to stop. False when stopped or when the data is damaged (then `error`
    /// names the member and says why; every later call fails the same way).
    bool Feed(std::string_view in, const std::function<bool(int)>& onMember,
              const std::function<bool(std::string_view)>& out, std::string& error,
              const std::function<bool(int)>& onMemberEnd = {});
    /// True when no member is left half read (call after the last Feed).
    bool AtMemberEnd() const { return state_ != State::Member; }
    /// Where the member in hand (or the last one) begins in the data.
    std::uint64_t MemberStart() const { return memberStart_; }
    /// The index of the member in hand (or the last one), -1 before any.
    int Member() const { return member_; }
    /// Bytes of the data taken so far (from `at`).
    std::uint64_t Consumed() const { return consumed_; }
    /// The damage is inside a member (not bytes after one).
    bool DamagedMember() const { return damagedMember_; }

private:
    enum class State { Boundary, Member, Padding, Damaged };
    bool Inflate(std::string_view& in, const std::function<bool(std::string_view)>& out,
                 std::string& error, const std::function<bool(int)>& onMemberEnd);
    bool Fail(std::string reason, std::string& error);

    struct Stream;
    std::unique_ptr<Stream> stream_;
    State state_ = State::Boundary;
    int member_ = -1;
    std::uint64_t consumed_ = 0;
    std::uint64_t memberStart_ = 0;
    std::string damage_;
    bool damagedMember_ = false;
};

/// True when `bytes` begin like gzip data.
inline bool LooksGzip(std::string_view bytes) {
    return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1F &&
           static_cast<unsigned char>(bytes[1]) == 0x8B;
}

/// How reading a local log ended.
struct LocalReadResult {
    bool ok = false;       ///< read to its end, or stopped by a callback
    bool stopped = false;  ///< a callback asked to stop
    bool gzip = false;     ///< the file is gzip data
    bool grew = false;     ///< the file grew while it was read: its last line may be unfinished
    bool cutShort = false; ///< gzip data ends inside a member
    bool damaged = false;  ///< gzip data is damaged: `error` names the member
    bool handedOnSound = false; ///< damaged, but every byte handed on was checked whole
    std::string error;          ///< the reason when not ok
};

/// What reading a local log calls.
struct LocalReadCallbacks {
    /// A stream starts: member `index` of a gzip file, or 0 for a plain file; `fileOffset` is
    /// where it begins in the file.
    std::function<bool(int index, std::uint64_t fileOffset)> onStream;
    /// Bytes of the stream in hand, from the asked offset on.
    std::function<bool(std::string_view bytes)> onBytes;
    /// Called between reads that wait for data, about every 200 ms; false stops.
    std::function<bool()> idle;
    /// After each read: bytes of the file read so far, and its size when the reading began
    /// (0 for what is not a regular file).
    std::function<void(std::uint64_t read, std::uint64_t size)> onProgress;
};

/// Reads the log at `path`: stream `fromStream` from byte `fromOffset` of its content, then
/// every later stream from its start. Bytes before the offset are skipped (decompressed first
/// for gzip). Never blocks for good: a FIFO without a writer reads as empty, and waits for data
/// call `idle`. A gzip member of a regular file is checked whole before any of its bytes are
/// handed on, so a damaged member gives none; `streamFileOffset`, where stream `fromStream`
/// begins in a gzip file (0 when not known), spares decompressing the members before it.
LocalReadResult ReadLocalLog(const std::string& path, int fromStream, std::uint64_t fromOffset,
                             const LocalReadCallbacks& callbacks,
                             std::uint64_t streamFileOffset = 0);

} // namespace brenvale

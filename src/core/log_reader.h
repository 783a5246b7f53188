// Reading the bytes of a local log: plain or gzip (every member in turn), from any position,
// with waits that stay cancellable (a FIFO, a device) and a word when the file grew meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace brenvale {

/// Decompresses gzip data member after member, as it arrives in pieces.
class GzipInflater {
public:
    GzipInflater();
    ~GzipInflater();
    GzipInflater(const GzipInflater&) = delete;
    GzipInflater& operator=(const GzipInflater&) = delete;

    /// Feeds compressed bytes. Calls `onMember(index)` when a member starts (0 first) and
    /// `out(bytes)` with its decompressed bytes; either returns false to stop. False when
    /// stopped or when the data is not gzip (then `error` says why).
    bool Feed(std::string_view in, const std::function<bool(int)>& onMember,
              const std::function<bool(std::string_view)>& out, std::string& error);
    /// True when no member is left half read (call after the last Feed).
    bool AtMemberEnd() const { return !inMember_; }

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
    bool inMember_ = false;
    bool announced_ = false;
    bool ended_ = false;
    int member_ = -1;
};

/// True when `bytes` begin like gzip data.
inline bool LooksGzip(std::string_view bytes) {
    return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1F &&
           static_cast<unsigned char>(bytes[1]) == 0x8B;
}

/// How reading a local log ended.
struct LocalReadResult {
    bool ok = false;        ///< read to its end, or stopped by a callback
    bool stopped = false;   ///< a callback asked to stop
    bool gzip = false;      ///< the file is gzip data
    bool grew = false;      ///< the file grew while it was read: its last line may be unfinished
    bool cutShort = false;  ///< gzip data ends inside a member
    std::string error;      ///< the reason when not ok
};

/// What reading a local log calls.
struct LocalReadCallbacks {
    /// A stream starts: member `index` of a gzip file, or 0 for a plain file.
    std::function<bool(int index)> onStream;
    /// Bytes of the stream in hand, from the asked offset on.
    std::function<bool(std::string_view bytes)> onBytes;
    /// Called between reads that wait for data, about every 200 ms; false stops.
    std::function<bool()> idle;
};

/// Reads the log at `path`: stream `fromStream` from byte `fromOffset` of its content, then
/// every later stream from its start. Bytes before the offset are skipped (decompressed first
/// for gzip). Never blocks for good: a FIFO without a writer reads as empty, and waits for data
/// call `idle`.
LocalReadResult ReadLocalLog(const std::string& path, int fromStream, std::uint64_t fromOffset,
                             const LocalReadCallbacks& callbacks);

} // namespace brenvale

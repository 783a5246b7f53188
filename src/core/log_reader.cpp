// Reading the bytes of a local log with POSIX calls, and gzip decompression with zlib.
#include "core/log_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace brenvale {

namespace {

constexpr std::size_t kReadSize = std::size_t{64} * 1024;
constexpr int kWaitMilliseconds = 200;

/// Owns a file descriptor.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

struct GzipInflater::Stream {
    z_stream z{};
    bool initialised = false;
    ~Stream() {
        if (initialised)
            inflateEnd(&z);
    }
};

GzipInflater::GzipInflater() : stream_(std::make_unique<Stream>()) {}

GzipInflater::~GzipInflater() = default;

bool GzipInflater::Feed(std::string_view in, const std::function<bool(int)>& onMember,
                        const std::function<bool(std::string_view)>& out, std::string& error) {
    std::vector<unsigned char> buffer(kReadSize);
    z_stream& z = stream_->z;
    while (!in.empty() && !ended_) {
        if (!inMember_) {
            const int rc = stream_->initialised ? inflateReset(&z)
                                                : inflateInit2(&z, 15 + 16); // gzip only
            if (rc != Z_OK) {
                error = "the decompressor could not be started";
                return false;
            }
            stream_->initialised = true;
            inMember_ = true;
            announced_ = false;
            ++member_;
        }
        const auto given = static_cast<uInt>(std::min<std::size_t>(in.size(), 1u << 30));
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z.avail_in = given;
        int rc = Z_OK;
        do {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            rc = inflate(&z, Z_NO_FLUSH);
            if (rc == Z_DATA_ERROR && member_ > 0 && !announced_) {
                // Bytes after the last member that are not another one: ignored, as gzip does.
                ended_ = true;
                inMember_ = false;
                return true;
            }
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                error = std::string("the gzip data is damaged (") + (z.msg ? z.msg : "zlib error") +
                        ")";
                return false;
            }
            const std::size_t produced = buffer.size() - z.avail_out;
            if ((produced > 0 || rc == Z_STREAM_END) && !announced_) {
                announced_ = true;
                if (!onMember(member_))
                    return false;
            }
            if (produced > 0 &&
                !out(std::string_view(reinterpret_cast<const char*>(buffer.data()), produced)))
                return false;
        } while (rc == Z_OK && (z.avail_in > 0 || z.avail_out == 0));
        in.remove_prefix(given - z.avail_in);
        if (rc == Z_STREAM_END)
            inMember_ = false;
    }
    return true;
}

LocalReadResult ReadLocalLog(const std::string& path, int fromStream, std::uint64_t fromOffset,
                             const LocalReadCallbacks& callbacks) {
    LocalReadResult result;
    if (path.empty()) {
        result.error = "no file name was given";
        return result;
    }
    // Non-blocking, so a FIFO without a writer opens at once (and reads as empty).
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        result.error = std::strerror(errno);
        return result;
    }
    Descriptor file(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        result.error = std::strerror(errno);
        return result;
    }
    if (S_ISDIR(status.st_mode)) {
        result.error = std::strerror(EISDIR);
        return result;
    }
    const bool regular = S_ISREG(status.st_mode);
    const auto sizeAtStart = static_cast<std::uint64_t>(status.st_size);

    std::vector<char> buffer(kReadSize);
    std::uint64_t readTotal = 0;
    bool first = true;
    GzipInflater inflater;
    int stream = -1;
    std::uint64_t skip = 0;

    const auto deliver = [&](std::string_view bytes) {
        if (stream < fromStream)
            return true;
        if (skip > 0) {
            const auto dropped = static_cast<std::size_t>(std::min<std::uint64_t>(skip, bytes.size()));
            bytes.remove_prefix(dropped);
            skip -= dropped;
        }
        return bytes.empty() || callbacks.onBytes(bytes);
    };
    const auto startStream = [&](int index) {
        stream = index;
        if (index < fromStream)
            return true;
        skip = index == fromStream ? fromOffset : 0;
        return callbacks.onStream(index);
    };

    // A plain file is read from the offset at once.
    const auto seekPlain = [&]() {
        if (regular && fromOffset > 0) {
            if (::lseek(fd, static_cast<off_t>(fromOffset), SEEK_SET) < 0)
                return false;
            readTotal = fromOffset;
            skip = 0;
        }
        return true;
    };

    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                if (errno != EINTR) {
                    pollfd wait{fd, POLLIN, 0};
                    (void)::poll(&wait, 1, kWaitMilliseconds);
                }
                if (callbacks.idle && !callbacks.idle()) {
                    result.ok = true;
                    result.stopped = true;
                    return result;
                }
                continue;
            }
            result.error = std::strerror(errno);
            return result;
        }
        if (got == 0)
            break;
        std::string_view bytes(buffer.data(), static_cast<std::size_t>(got));
        readTotal += static_cast<std::uint64_t>(got);
        if (first) {
            first = false;
            result.gzip = LooksGzip(bytes);
            if (!result.gzip) {
                if (fromStream > 0) {
                    result.ok = true; // a plain file has one stream only
                    return result;
                }
                if (!startStream(0)) {
                    result.ok = result.stopped = true;
                    return result;
                }
                if (regular && fromOffset > 0) {
                    if (!seekPlain()) {
                        result.error = std::strerror(errno);
                        return result;
                    }
                    continue;
                }
            }
        }
        bool more = true;
        if (result.gzip) {
            std::string error;
            more = inflater.Feed(bytes, startStream, deliver, error);
            if (!more && !error.empty()) {
                result.error = error;
                return result;
            }
        } else {
            more = deliver(bytes);
        }
        if (!more) {
            result.ok = result.stopped = true;
            return result;
        }
    }
    if (first && fromStream == 0 && !startStream(0)) {
        result.ok = result.stopped = true;
        return result;
    }
    if (result.gzip && !inflater.AtMemberEnd())
        result.cutShort = true;
    if (regular && !result.gzip) {
        struct stat now {};
        if (::fstat(fd, &now) == 0 &&
            (static_cast<std::uint64_t>(now.st_size) != sizeAtStart ||
             static_cast<std::uint64_t>(now.st_size) > readTotal))
            result.grew = true;
    }
    result.ok = true;
    return result;
}

} // namespace brenvale

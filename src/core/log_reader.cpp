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
    void Reset(int fd) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

} // namespace

struct GzipInflater::Stream {
    z_stream z{};
    bool initialised = false;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(kReadSize);
    ~Stream() {
        if (initialised)
            inflateEnd(&z);
    }
};

GzipInflater::GzipInflater(int firstMember, std::uint64_t at)
    : stream_(std::make_unique<Stream>()), member_(firstMember - 1), consumed_(at),
      memberStart_(at) {}

GzipInflater::~GzipInflater() = default;

bool GzipInflater::Fail(std::string reason, std::string& error) {
    state_ = State::Damaged;
    damage_ = std::move(reason);
    error = damage_;
    return false;
}

bool GzipInflater::Feed(std::string_view in, const std::function<bool(int)>& onMember,
                        const std::function<bool(std::string_view)>& out, std::string& error,
                        const std::function<bool(int)>& onMemberEnd) {
    while (!in.empty()) {
        if (state_ == State::Damaged)
            return Fail(damage_, error);
        if (state_ == State::Member) {
            if (!Inflate(in, out, error, onMemberEnd))
                return false;
            continue;
        }
        // Zeros after a member are padding (as gzip(1) takes them); nothing may follow them.
        if (in.front() == '\0' && consumed_ > memberStart_) {
            const std::size_t zeros = std::min(in.find_first_not_of('\0'), in.size());
            state_ = State::Padding;
            in.remove_prefix(zeros);
            consumed_ += zeros;
            continue;
        }
        if (state_ == State::Padding || static_cast<unsigned char>(in.front()) != 0x1F)
            return Fail(consumed_ == memberStart_
                            ? std::string("the data is not gzip data")
                            : "gzip member " + std::to_string(member_ + 1) +
                                  " is followed by bytes that are not gzip data",
                        error);
        z_stream& z = stream_->z;
        if ((stream_->initialised ? inflateReset(&z) : inflateInit2(&z, 15 + 16)) != Z_OK)
            return Fail("the decompressor could not be started", error);
        stream_->initialised = true;
        state_ = State::Member;
        ++member_;
        memberStart_ = consumed_;
        if (onMember && !onMember(member_))
            return false;
    }
    return true;
}

bool GzipInflater::Inflate(std::string_view& in, const std::function<bool(std::string_view)>& out,
                           std::string& error, const std::function<bool(int)>& onMemberEnd) {
    z_stream& z = stream_->z;
    std::vector<unsigned char>& buffer = stream_->buffer;
    const auto given = static_cast<uInt>(std::min<std::size_t>(in.size(), 1u << 30));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = given;
    const auto consume = [&] {
        in.remove_prefix(given - z.avail_in);
        consumed_ += given - z.avail_in;
    };
    int rc = Z_OK;
    do {
        z.next_out = buffer.data();
        z.avail_out = static_cast<uInt>(buffer.size());
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
            consume();
            damagedMember_ = true;
            return Fail("gzip member " + std::to_string(member_ + 1) + " is damaged (" +
                            (z.msg ? z.msg : "zlib error " + std::to_string(rc)) + ")",
                        error);
        }
        const std::size_t produced = buffer.size() - z.avail_out;
        if (produced > 0 && out &&
            !out(std::string_view(reinterpret_cast<const char*>(buffer.data()), produced))) {
            consume();
            return false;
        }
    } while (rc == Z_OK && (z.avail_in > 0 || z.avail_out == 0));
    consume();
    if (rc != Z_STREAM_END)
        return true;
    state_ = State::Boundary;
    return !onMemberEnd || onMemberEnd(member_);
}

namespace {

/// Reads one local log, plain or gzip; see ReadLocalLog.
class LocalReader {
public:
    LocalReader(int fromStream, std::uint64_t fromOffset, const LocalReadCallbacks& callbacks,
                std::uint64_t streamFileOffset)
        : fromStream_(fromStream), fromOffset_(fromOffset), callbacks_(callbacks),
          streamFileOffset_(streamFileOffset) {}

    LocalReadResult Read(const std::string& path);

private:
    bool Open(const std::string& path, int& fd);
    bool StartAtMember(int fd);
    bool FirstBytes(int fd, std::string_view bytes);
    bool Take(std::string_view bytes);
    bool Deliver(std::string_view bytes);
    bool StartStream(int index, std::uint64_t fileOffset);
    bool CopyMember(std::uint64_t begin, std::uint64_t end, bool whole);
    void Finish(int fd);
    void ReportProgress() const {
        if (callbacks_.onProgress)
            callbacks_.onProgress(position_, regular_ ? sizeAtStart_ : 0);
    }
    LocalReadResult Stopped() {
        result_.ok = result_.stopped = true;
        return result_;
    }

    const int fromStream_;
    const std::uint64_t fromOffset_;
    const LocalReadCallbacks& callbacks_;
    const std::uint64_t streamFileOffset_;
    LocalReadResult result_;
    Descriptor file_{-1};
    bool regular_ = false;
    bool first_ = true;
    bool seeked_ = false;
    std::uint64_t sizeAtStart_ = 0;
    std::uint64_t position_ = 0; ///< bytes of the file read so far, from its start
    int stream_ = -1;
    std::uint64_t skip_ = 0;
    std::unique_ptr<GzipInflater> verifier_ = std::make_unique<GzipInflater>();
    GzipInflater copy_;
    std::vector<char> copyBuffer_;
    std::string failure_;
};

bool LocalReader::Deliver(std::string_view bytes) {
    if (stream_ < fromStream_)
        return true;
    if (skip_ > 0) {
        const auto dropped = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, bytes.size()));
        bytes.remove_prefix(dropped);
        skip_ -= dropped;
    }
    return bytes.empty() || callbacks_.onBytes(bytes);
}

bool LocalReader::StartStream(int index, std::uint64_t fileOffset) {
    stream_ = index;
    if (index < fromStream_)
        return true;
    skip_ = index == fromStream_ ? fromOffset_ : 0;
    return callbacks_.onStream(index, fileOffset);
}

/// Hands on the member at [begin, end) of the file, read again now that it was found sound
/// (`whole`), or as far as the file goes when it ends inside it.
bool LocalReader::CopyMember(std::uint64_t begin, std::uint64_t end, bool whole) {
    if (stream_ < fromStream_)
        return true;
    copyBuffer_.resize(kReadSize);
    const auto deliver = [this](std::string_view bytes) { return Deliver(bytes); };
    std::string error;
    for (std::uint64_t at = begin; at < end;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kReadSize, end - at));
        const ssize_t got = ::pread(file_.get(), copyBuffer_.data(), want, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            failure_ = got < 0 ? std::strerror(errno) : "the file shrank while it was read";
            return false;
        }
        at += static_cast<std::uint64_t>(got);
        if (!copy_.Feed(std::string_view(copyBuffer_.data(), static_cast<std::size_t>(got)), {},
                        deliver, error)) {
            if (!error.empty())
                failure_ = "the file changed while it was read (" + error + ")";
            return false;
        }
    }
    if (whole && !copy_.AtMemberEnd()) {
        failure_ = "the file changed while it was read";
        return false;
    }
    return true;
}

/// Stream `fromStream` of a gzip file is known to begin at streamFileOffset: reading starts
/// there.
bool LocalReader::StartAtMember(int fd) {
    char magic[2] = {};
    if (streamFileOffset_ == 0 || fromStream_ == 0 || !regular_ || ::pread(fd, magic, 2, 0) != 2 ||
        !LooksGzip(std::string_view(magic, 2)))
        return true;
    if (::lseek(fd, static_cast<off_t>(streamFileOffset_), SEEK_SET) < 0)
        return false;
    verifier_ = std::make_unique<GzipInflater>(fromStream_, streamFileOffset_);
    position_ = streamFileOffset_;
    result_.gzip = true;
    first_ = false;
    return true;
}

bool LocalReader::Open(const std::string& path, int& fd) {
    if (path.empty()) {
        result_.error = "no file name was given";
        return false;
    }
    // Non-blocking, so a FIFO without a writer opens at once (and reads as empty).
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        result_.error = std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        result_.error = std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        result_.error = std::strerror(EISDIR);
        ::close(fd);
        return false;
    }
    regular_ = S_ISREG(status.st_mode);
    sizeAtStart_ = static_cast<std::uint64_t>(status.st_size);
    return true;
}

/// The first bytes tell gzip from plain text; a plain file is read from the offset at once.
/// False to stop reading (result_ says why).
bool LocalReader::FirstBytes(int fd, std::string_view bytes) {
    first_ = false;
    result_.gzip = LooksGzip(bytes);
    if (result_.gzip)
        return true;
    if (fromStream_ > 0) {
        result_.ok = true; // a plain file has one stream only
        return false;
    }
    if (!StartStream(0, 0)) {
        result_.ok = result_.stopped = true;
        return false;
    }
    if (regular_ && fromOffset_ > 0) {
        if (::lseek(fd, static_cast<off_t>(fromOffset_), SEEK_SET) < 0) {
            result_.error = std::strerror(errno);
            return false;
        }
        position_ = fromOffset_;
        skip_ = 0;
        seeked_ = true;
    }
    return true;
}

/// Bytes just read; false to stop reading (result_ says why).
bool LocalReader::Take(std::string_view bytes) {
    if (!result_.gzip) {
        if (!Deliver(bytes))
            result_.ok = result_.stopped = true;
        return !result_.stopped;
    }
    // A member of a regular file is checked whole first and handed on from a second reading;
    // one of a pipe is handed on as it comes.
    const auto onMember = [this](int index) {
        return StartStream(index, verifier_->MemberStart());
    };
    const auto out = [this](std::string_view piece) { return regular_ || Deliver(piece); };
    const auto onMemberEnd = [this](int) {
        return !regular_ || CopyMember(verifier_->MemberStart(), verifier_->Consumed(), true);
    };
    std::string error;
    if (verifier_->Feed(bytes, onMember, out, error, onMemberEnd))
        return true;
    if (!error.empty() || !failure_.empty()) {
        result_.damaged = !error.empty();
        result_.handedOnSound = regular_ || !verifier_->DamagedMember();
        result_.error = error.empty() ? failure_ : error;
        if (regular_ && verifier_->DamagedMember())
            result_.error += "; none of its lines were loaded";
        return false;
    }
    result_.ok = result_.stopped = true;
    return false;
}

void LocalReader::Finish(int fd) {
    if (result_.gzip && !verifier_->AtMemberEnd()) {
        // Cut inside a member: what it holds so far is handed on, and the cut is reported.
        result_.cutShort = true;
        if (regular_ && !CopyMember(verifier_->MemberStart(), position_, false) &&
            !failure_.empty()) {
            result_.error = failure_;
            return;
        }
    }
    if (regular_ && !result_.gzip) {
        struct stat now {};
        if (::fstat(fd, &now) == 0 && (static_cast<std::uint64_t>(now.st_size) != sizeAtStart_ ||
                                       static_cast<std::uint64_t>(now.st_size) > position_))
            result_.grew = true;
    }
    result_.ok = true;
}

LocalReadResult LocalReader::Read(const std::string& path) {
    int fd = -1;
    if (!Open(path, fd))
        return result_;
    file_.Reset(fd);
    if (!StartAtMember(fd)) {
        result_.error = std::strerror(errno);
        return result_;
    }
    std::vector<char> buffer(kReadSize);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                if (errno != EINTR) {
                    pollfd wait{fd, POLLIN, 0};
                    (void)::poll(&wait, 1, kWaitMilliseconds);
                }
                if (callbacks_.idle && !callbacks_.idle())
                    return Stopped();
                continue;
            }
            result_.error = std::strerror(errno);
            return result_;
        }
        if (got == 0)
            break;
        const std::string_view bytes(buffer.data(), static_cast<std::size_t>(got));
        position_ += static_cast<std::uint64_t>(got);
        if (first_) {
            if (!FirstBytes(fd, bytes))
                return result_;
            if (seeked_) {
                ReportProgress();
                continue; // a plain file is read on from the offset
            }
        }
        ReportProgress();
        if (!Take(bytes))
            return result_;
    }
    if (first_ && fromStream_ == 0 && !StartStream(0, 0))
        return Stopped();
    Finish(fd);
    return result_;
}

} // namespace

LocalReadResult ReadLocalLog(const std::string& path, int fromStream, std::uint64_t fromOffset,
                             const LocalReadCallbacks& callbacks, std::uint64_t streamFileOffset) {
    return LocalReader(fromStream, fromOffset, callbacks, streamFileOffset).Read(path);
}

} // namespace brenvale

// The XML-looking configuration file: its writer, its reader and the plain tag search they share.
#include "config/config_file.h"

#include "core/log_loader.h"
#include "core/text_encoding.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>

namespace brenvale {

namespace {

namespace fs = std::filesystem;

constexpr const char* kEol = "\r\n";
constexpr std::string_view kRootOpen = "<Brenvale.Config>";
constexpr std::string_view kRootClose = "</Brenvale.Config>";
constexpr std::string_view kJobsOpen = "<Jobs>";
// Without its ">", so "</Jobs >" still ends the list.
constexpr std::string_view kJobsClose = "</Jobs";
// Thousands of times any real configuration; a bound for /dev/zero and the like.
constexpr std::size_t kMaxConfigBytes = 64u << 20;
// Links followed before a save gives up, as the kernel's own limit.
constexpr int kMaxLinkHops = 40;

/// Owns a POSIX file descriptor; closes it unless already closed.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() noexcept {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    /// Closes now; 0 or the errno of the failed close.
    int Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

void AppendElement(std::string& out, int tabs, std::string_view name, std::string_view value) {
    out.append(static_cast<std::size_t>(tabs), '\t');
    out.append("<").append(name).append(">").append(value);
    out.append("</").append(name).append(">").append(kEol);
}

void AppendLine(std::string& out, int tabs, std::string_view text) {
    out.append(static_cast<std::size_t>(tabs), '\t');
    out.append(text).append(kEol);
}

const char* TrueFalse(bool on) {
    return on ? "True" : "False";
}

std::string ConfigText(const ConfigData& data) {
    std::string out;
    AppendLine(out, 0, "<?xml version=\"1.0\"?>");
    AppendLine(out, 0, kRootOpen);
    AppendElement(out, 1, "DSN", data.dsn.value_or(""));
    for (const std::string& fallback : data.fallbackDsns)
        AppendElement(out, 1, "FallbackDSN", fallback);
    AppendElement(out, 1, "TruncateOnce", TrueFalse(data.truncateOnce));
    AppendElement(out, 1, "TruncatePerFile", TrueFalse(data.truncatePerFile));
    AppendElement(out, 1, "TranslateASCIICodes", TrueFalse(data.translateASCII));
    // Written only away from their defaults, so files without them stay as older versions wrote.
    if (data.commitRows > 1)
        AppendElement(out, 1, "CommitRows", std::to_string(data.commitRows));
    if (data.incremental)
        AppendElement(out, 1, "Incremental", "True");
    if (data.odbcOnly)
        AppendElement(out, 1, "OdbcOnly", "True");
    if (data.durableBatches)
        AppendElement(out, 1, "DurableBatches", "True");
    if (!data.timeZone.empty())
        AppendElement(out, 1, "TimeZone", data.timeZone);
    AppendLine(out, 1, kJobsOpen);
    for (const Job& job : data.jobs) {
        AppendLine(out, 2, "<Job>");
        AppendElement(out, 3, "File", job.File);
        AppendElement(out, 3, "DBTable", job.DBTable);
        // Only where set, so SHOUTcast jobs stay as older versions wrote them.
        if (!job.Format.empty())
            AppendElement(out, 3, "Format", job.Format);
        if (!job.Playlist.empty())
            AppendElement(out, 3, "Playlist", job.Playlist);
        AppendLine(out, 2, "</Job>");
    }
    AppendLine(out, 1, "</Jobs>");
    AppendLine(out, 0, kRootClose);
    return out;
}

std::string SaveFailure(const std::string& path, int error) {
    return "The configuration file '" + path + "' could not be saved: " + std::strerror(error) +
           ".";
}

/// Writes every byte of `text` to `fd`; 0 or the errno of the failure.
int WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return ::fsync(fd) == 0 ? 0 : errno;
}

/// Creates a fresh file in `folder` for the new contents; -1 with errno set on failure.
int CreateTempFile(const fs::path& folder, const std::string& name, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = (folder / ("." + name + ".tmp" + std::to_string(::getpid()) + "_" +
                              std::to_string(counter++)))
                       .string();
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

/// `path` with every symbolic link followed, whether or not the last one dangles; 0 or an errno.
int FinalTarget(const std::string& path, fs::path& target) {
    target = path;
    for (int hops = 0;; ++hops) {
        struct stat info {};
        if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return 0;
        if (hops == kMaxLinkHops)
            return ELOOP;
        std::error_code ec;
        const fs::path next = fs::read_symlink(target, ec);
        if (ec)
            return ec.value();
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
}

/// Gives the new file the replaced file's owner and group where allowed, then its mode.
void KeepOwnerAndMode(int fd, const struct stat& old) {
    // Another user's file in a folder we may write to: keep at least the group, if it is ours.
    const bool owned = ::fchown(fd, old.st_uid, old.st_gid) == 0 ||
                       ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
    static_cast<void>(owned);
    // After the owner, since a change of owner clears the set-id bits.
    (void)::fchmod(fd, old.st_mode & 07777);
}

/// Makes the rename itself durable; a failure here loses nothing already written.
void SyncFolder(const fs::path& folder) {
    const FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        (void)::fsync(dir.get());
}

/// The tag search, also telling whether it stopped at an opening tag that nothing closes.
struct TagSearch {
    std::vector<std::string> found;
    bool unclosed = false;
};

/// At most `limit` texts between `openTag` and `closeTag`, found as GetTagContents finds them.
TagSearch SearchTags(std::string_view source, std::string_view openTag, std::string_view closeTag,
                     std::size_t limit = std::numeric_limits<std::size_t>::max()) {
    TagSearch search;
    if (openTag.empty() || closeTag.empty())
        return search;
    std::string_view rest = source;
    while (!rest.empty() && search.found.size() < limit) {
        const std::size_t p1 = rest.find(openTag);
        if (p1 == std::string_view::npos)
            break;
        // From one past the opening tag's start, not its end: a closing tag may overlap it.
        const std::size_t p2 = rest.find(closeTag, p1 + 1);
        if (p2 == std::string_view::npos) {
            search.unclosed = true;
            break;
        }
        const std::size_t start = p1 + openTag.size();
        search.found.emplace_back(start <= p2 ? rest.substr(start, p2 - start)
                                              : std::string_view{});
        rest.remove_prefix(p2 + 1);
    }
    return search;
}

/// Finds elements with the plain tag search and keeps, as `damage`, the first one it met opened
/// and never closed: such a file was cut short or holds a closing tag in a value.
class ElementReader {
public:
    explicit ElementReader(std::string path) : path_(std::move(path)) {}

    /// The first text of element `name` in `text`, if any. `where` places it in the message.
    std::optional<std::string> First(std::string_view text, std::string_view name,
                                     std::string_view where = {}) {
        // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "<" + std::string.
        std::string open;
        open.append("<").append(name).append(">");
        std::string close;
        close.append("</").append(name).append(">");
        return FirstBetween(text, open, close, close, where);
    }

    /// The first text between `open` and `close` in `text`, if any; `closeShown` names `close`.
    std::optional<std::string> FirstBetween(std::string_view text, std::string_view open,
                                            std::string_view close, std::string_view closeShown,
                                            std::string_view where = {}) {
        TagSearch search = SearchTags(text, open, close, 1);
        if (search.unclosed)
            Unclosed(open, closeShown, where);
        if (search.found.empty())
            return std::nullopt;
        return std::move(search.found.front());
    }

    /// Every non-empty text of the elements `name` in `text`, in order.
    std::vector<std::string> All(std::string_view text, std::string_view name) {
        std::string open;
        open.append("<").append(name).append(">");
        std::string close;
        close.append("</").append(name).append(">");
        TagSearch search = SearchTags(text, open, close);
        if (search.unclosed)
            Unclosed(open, close, {});
        std::erase_if(search.found, [](const std::string& value) { return value.empty(); });
        return std::move(search.found);
    }

    /// Every text between "<Job>" and "</Job>" in `text`.
    std::vector<std::string> Jobs(std::string_view text) {
        TagSearch search = SearchTags(text, "<Job>", "</Job>");
        if (search.unclosed)
            Unclosed("<Job>", "</Job>",
                     search.found.empty() ? std::string()
                                          : "after job " + std::to_string(search.found.size()));
        return std::move(search.found);
    }

    /// True when the first `name` element reads "true" in any letter case; false when missing.
    bool IsTrue(std::string_view text, std::string_view name) {
        std::optional<std::string> value = First(text, name);
        if (!value)
            return false;
        for (char& c : *value)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return *value == "true";
    }

    /// Plain decimal digits giving at least 1 (1 for anything else), at most kMaxCommitRows.
    std::size_t CommitRows(std::string_view text) {
        const std::optional<std::string> value = First(text, "CommitRows");
        if (!value || value->empty())
            return 1;
        std::size_t rows = 0;
        bool tooMany = false;
        for (const char c : *value) {
            if (c < '0' || c > '9')
                return 1;
            rows = tooMany ? rows : rows * 10 + static_cast<std::size_t>(c - '0');
            tooMany = tooMany || rows > kMaxCommitRows;
        }
        if (tooMany) {
            // The batch size only tunes speed; the largest allowed keeps what was asked for.
            warning = "The configuration file '" + path_ + "' asks for " + *value +
                      " rows per commit; the largest allowed, " + std::to_string(kMaxCommitRows) +
                      ", is used.";
            return kMaxCommitRows;
        }
        return rows == 0 ? 1 : rows;
    }

    std::string damage; ///< the first element never closed, in a sentence, or empty
    std::string warning;

private:
    void Unclosed(std::string_view open, std::string_view close, std::string_view where) {
        if (!damage.empty())
            return;
        damage.append("The configuration file '").append(path_).append("' is damaged: ");
        damage.append(open);
        if (!where.empty())
            damage.append(" ").append(where);
        damage.append(" is not closed by ").append(close).append("; nothing was loaded.");
    }

    std::string path_;
};

void AppendUtf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

/// UTF-16 `bytes` (no byte-order mark) as UTF-8; false for an odd length or a lone surrogate.
bool Utf16AsUtf8(std::string_view bytes, bool bigEndian, std::string& out) {
    if (bytes.size() % 2 != 0)
        return false;
    const auto unit = [&](std::size_t i) {
        const auto first = static_cast<unsigned char>(bytes[i]);
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<char32_t>(bigEndian ? first << 8 | second : second << 8 | first);
    };
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        char32_t cp = unit(i);
        if (cp >= 0xDC00 && cp <= 0xDFFF)
            return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 2 >= bytes.size())
                return false;
            const char32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        AppendUtf8(cp, out);
    }
    return true;
}

/// The file's bytes as UTF-8 text; false when a UTF-16 file is broken.
bool DecodeText(std::string bytes, std::string& text) {
    const auto startsWith = [&](std::string_view mark) { return bytes.starts_with(mark); };
    if (startsWith("\xFF\xFE") || startsWith("\xFE\xFF"))
        return Utf16AsUtf8(std::string_view(bytes).substr(2), bytes[0] == '\xFE', text);
    if (startsWith("\xEF\xBB\xBF"))
        bytes.erase(0, 3);
    if (IsValidUtf8(bytes)) {
        text = std::move(bytes);
    } else {
        AppendCp1252AsUtf8(bytes, text);
    }
    return true;
}

ConfigReadResult Failed(ConfigStatus status, std::string error) {
    ConfigReadResult result;
    result.status = status;
    result.error = std::move(error);
    return result;
}

std::string Because(const std::string& path, const char* what, int error) {
    return "The configuration file '" + path + "' " + what + ": " + std::strerror(error) + ".";
}

/// Reads all of `path` into `bytes`; an empty text or the reason it could not be read.
std::string ReadBytes(const std::string& path, std::string& bytes) {
    // Not blocking in open, so a FIFO without a writer reads as empty instead of waiting.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0)
        return Because(path, "could not be read", errno);
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags >= 0)
        (void)::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got == 0)
            return {};
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return Because(path, "could not be read", errno);
        }
        if (bytes.size() + static_cast<std::size_t>(got) > kMaxConfigBytes)
            return "The configuration file '" + path + "' is larger than " +
                   std::to_string(kMaxConfigBytes >> 20) + " MiB; it is not read.";
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

} // namespace

std::vector<std::string> GetTagContents(std::string_view source, std::string_view openTag,
                                        std::string_view closeTag) {
    return SearchTags(source, openTag, closeTag).found;
}

bool SaveConfig(const std::string& path, const ConfigData& data, std::string& error) {
    error.clear();
    if (path.empty()) {
        error = "No configuration file is named; nothing was saved.";
        return false;
    }

    // Replace what a link points at, not the link itself.
    fs::path target;
    if (const int failure = FinalTarget(path, target); failure != 0) {
        error = SaveFailure(path, failure);
        return false;
    }
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const std::string name = target.filename().string();

    const std::string text = ConfigText(data);

    std::string tempPath;
    FileDescriptor file(CreateTempFile(folder, name, tempPath));
    if (file.get() < 0) {
        error = SaveFailure(path, errno);
        return false;
    }
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        KeepOwnerAndMode(file.get(), old);

    int failure = WriteAll(file.get(), text);
    const int closeFailure = file.Close();
    if (failure == 0)
        failure = closeFailure;
    if (failure == 0 && ::rename(tempPath.c_str(), target.c_str()) != 0)
        failure = errno;
    if (failure != 0) {
        ::unlink(tempPath.c_str());
        error = SaveFailure(path, failure);
        return false;
    }
    SyncFolder(folder);
    return true;
}

ConfigReadResult ReadConfig(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return Failed(ConfigStatus::Missing,
                          "The configuration file '" + path + "' does not exist.");
        return Failed(ConfigStatus::Unreadable, Because(path, "could not be read", errno));
    }
    if (S_ISDIR(info.st_mode))
        return Failed(ConfigStatus::Missing,
                      "The configuration file '" + path + "' is a folder, not a file.");

    std::string bytes;
    if (std::string failure = ReadBytes(path, bytes); !failure.empty())
        return Failed(ConfigStatus::Unreadable, std::move(failure));
    std::string text;
    if (!DecodeText(std::move(bytes), text))
        return Failed(ConfigStatus::Damaged, "The configuration file '" + path +
                                                 "' is damaged: it is not valid UTF-16 text, as "
                                                 "its byte-order mark says; nothing was loaded.");

    if (text.find(kRootOpen) == std::string::npos && text.find(kJobsOpen) == std::string::npos)
        return Failed(ConfigStatus::NotAConfiguration,
                      "The file '" + path + "' is not a configuration file: it holds neither " +
                          std::string(kRootOpen) + " nor " + std::string(kJobsOpen) + ".");

    ElementReader reader(path);
    ConfigReadResult result;
    ConfigData& data = result.data;
    std::string_view scope = text;
    // The first root's text when there is one, otherwise the whole file.
    const std::optional<std::string> root = reader.First(text, "Brenvale.Config");
    if (root)
        scope = *root;

    data.dsn = reader.First(scope, "DSN");
    data.fallbackDsns = reader.All(scope, "FallbackDSN");
    data.truncateOnce = reader.IsTrue(scope, "TruncateOnce");
    data.truncatePerFile = reader.IsTrue(scope, "TruncatePerFile");
    data.translateASCII = reader.IsTrue(scope, "TranslateASCIICodes");
    data.commitRows = reader.CommitRows(scope);
    data.incremental = reader.IsTrue(scope, "Incremental");
    // NoCopy is the older name, from when COPY was the only way around ODBC.
    data.odbcOnly = reader.IsTrue(scope, "OdbcOnly") || reader.IsTrue(scope, "NoCopy");
    data.durableBatches = reader.IsTrue(scope, "DurableBatches");
    data.timeZone = reader.First(scope, "TimeZone").value_or("");

    const std::optional<std::string> list =
        reader.FirstBetween(scope, kJobsOpen, kJobsClose, "</Jobs>");
    const std::vector<std::string> jobs = reader.Jobs(list ? std::string_view(*list) : scope);
    data.jobs.reserve(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const std::string where = "of job " + std::to_string(i + 1);
        std::optional<std::string> file = reader.First(jobs[i], "File", where);
        std::optional<std::string> table = reader.First(jobs[i], "DBTable", where);
        std::optional<std::string> format = reader.First(jobs[i], "Format", where);
        std::optional<std::string> playlist = reader.First(jobs[i], "Playlist", where);
        data.jobs.push_back(
            {file.value_or(""), table.value_or(""), format.value_or(""), playlist.value_or("")});
    }

    if (!reader.damage.empty())
        return Failed(ConfigStatus::Damaged, std::move(reader.damage));
    result.status = ConfigStatus::Loaded;
    result.warning = std::move(reader.warning);
    return result;
}

std::string ConflictingOptions(const ConfigData& data) {
    if (!data.incremental || (!data.truncateOnce && !data.truncatePerFile))
        return {};
    const std::string truncations = data.truncateOnce && data.truncatePerFile
                                        ? "TruncateOnce and TruncatePerFile"
                                    : data.truncateOnce ? "TruncateOnce"
                                                        : "TruncatePerFile";
    return "Loading only new lines (Incremental) and emptying the tables (" + truncations +
           ") exclude each other: emptying a table would throw away the lines earlier runs "
           "loaded, and they would not be loaded again.";
}

} // namespace brenvale

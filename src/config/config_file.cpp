// The XML-looking configuration file: its writer, its reader and the plain tag search they share.
#include "config/config_file.h"

#include "core/general.h"
#include "core/text_encoding.h"
#include "core/version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

namespace brenvale {

namespace {

namespace fs = std::filesystem;

constexpr const char* kEol = "\r\n";
constexpr std::string_view kRootOpen = "<Brenvale.Config>";
constexpr std::string_view kRootClose = "</Brenvale.Config>";

/// Owns a POSIX file descriptor; closes it unless released.
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

std::string ConfigText(ConfigSubject& subject) {
    std::string out;
    AppendLine(out, 0, "<?xml version=\"1.0\"?>");
    AppendLine(out, 0, kRootOpen);
    AppendElement(out, 1, "DSN", subject.DsnText());
    AppendElement(out, 1, "TruncateOnce", TrueFalse(subject.TruncateOnStart()));
    AppendElement(out, 1, "TruncatePerFile", TrueFalse(subject.TruncateOnInsert()));
    AppendElement(out, 1, "TranslateASCIICodes", TrueFalse(subject.TranslateASCII()));
    // Row by row is the classic behaviour; leaving it out keeps such files unchanged.
    if (subject.CommitRows() > 1)
        AppendElement(out, 1, "CommitRows", std::to_string(subject.CommitRows()));
    AppendLine(out, 1, "<Jobs>");
    const JobList& jobs = subject.Jobs();
    const int count = jobs.Count();
    for (int row = 1; row <= count; ++row) {
        AppendLine(out, 2, "<Job>");
        AppendElement(out, 3, "File", jobs.Text(row, kColumnFile));
        AppendElement(out, 3, "DBTable", jobs.Text(row, kColumnTable));
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

/// Whole contents of `path`; empty when it cannot be read.
std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return {};
    return bytes;
}

/// The file as UTF-8: kept when it already is, otherwise read as Windows-1252.
std::string AsUtf8(std::string bytes) {
    if (IsValidUtf8(bytes))
        return bytes;
    std::string text;
    AppendCp1252AsUtf8(bytes, text);
    return text;
}

/// First text between `<name>` and `</name>` in `text`, if any.
bool FirstElement(std::string_view text, std::string_view name, std::string& value) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "<" + std::string.
    std::string open;
    open.append("<").append(name).append(">");
    std::string close;
    close.append("</").append(name).append(">");
    std::vector<std::string> found = GetTagContents(text, open, close);
    if (found.empty())
        return false;
    value = std::move(found.front());
    return true;
}

std::string FirstElementOrEmpty(std::string_view text, std::string_view name) {
    std::string value;
    FirstElement(text, name, value);
    return value;
}

bool IsTrue(std::string_view text, std::string_view name) {
    std::string value;
    if (!FirstElement(text, name, value))
        return false;
    for (char& c : value)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return value == "true";
}

/// Plain decimal digits giving at least 1; 1 for anything else.
std::size_t ParseCommitRows(std::string_view text) {
    if (text.empty())
        return 1;
    std::size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 1;
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10)
            return 1;
        value = value * 10 + digit;
    }
    return value == 0 ? 1 : value;
}

/// A regular file or anything else that is not a folder; a folder does not count as a file.
bool FileExists(const std::string& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    return !ec && fs::exists(status) && !fs::is_directory(status);
}

} // namespace

std::vector<std::string> GetTagContents(std::string_view source, std::string_view openTag,
                                        std::string_view closeTag) {
    std::vector<std::string> found;
    if (openTag.empty() || closeTag.empty())
        return found;
    std::string_view rest = source;
    while (!rest.empty()) {
        const std::size_t p1 = rest.find(openTag);
        if (p1 == std::string_view::npos)
            break;
        // From one past the opening tag's start, not its end: a closing tag may overlap it.
        const std::size_t p2 = rest.find(closeTag, p1 + 1);
        if (p2 == std::string_view::npos)
            break;
        const std::size_t start = p1 + openTag.size();
        found.emplace_back(start <= p2 ? rest.substr(start, p2 - start) : std::string_view{});
        rest.remove_prefix(p2 + 1);
    }
    return found;
}

bool SaveConfig(std::string& path, const std::string& configPath, ConfigSubject& subject,
                std::string& error) {
    if (path.empty())
        path = configPath;
    error.clear();
    if (path.empty()) {
        error = "No configuration file is named; nothing was saved.";
        return false;
    }

    // Replace what a link points at, not the link itself.
    fs::path target = path;
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        const fs::path resolved = fs::canonical(target, ec);
        if (!ec)
            target = resolved;
    }
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const std::string name = target.filename().string();

    const std::string text = ConfigText(subject);

    std::string tempPath;
    FileDescriptor file(CreateTempFile(folder, name, tempPath));
    if (file.get() < 0) {
        error = SaveFailure(path, errno);
        return false;
    }
    // A replaced file keeps its permissions.
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        (void)::fchmod(file.get(), old.st_mode & 07777);

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
    return true;
}

bool LoadConfig(std::string& configfile, bool bSilent, std::string& configPath,
                ConfigSubject& subject) {
    if (configfile.empty())
        configfile = configPath;
    const std::string file = configfile;

    if (!FileExists(file)) {
        if (!bSilent)
            subject.MessageBoxes().Inform(MessageIcon::Critical, "Configuration File Missing",
                                          "The configuration file '" + file +
                                              "' does not exist.\r\n"
                                              "Configuration settings cannot be loaded.");
        return false;
    }

    // An unreadable file reads as empty; the load still runs every step.
    std::string text = AsUtf8(ReadBytes(file));

    JobList& jobs = subject.Jobs();
    jobs.Clear();

    if (std::vector<std::string> root = GetTagContents(text, kRootOpen, kRootClose); !root.empty())
        text = std::move(root.front());

    if (std::string dsn; FirstElement(text, "DSN", dsn))
        subject.SelectDsn(dsn);

    subject.SetTruncateOnStart(IsTrue(text, "TruncateOnce"));
    subject.SetTruncateOnInsert(IsTrue(text, "TruncatePerFile"));
    subject.SetTranslateASCII(IsTrue(text, "TranslateASCIICodes"));
    subject.SetCommitRows(ParseCommitRows(FirstElementOrEmpty(text, "CommitRows")));

    // The closing tag without its ">", so "</Jobs >" still ends the list.
    if (std::vector<std::string> list = GetTagContents(text, "<Jobs>", "</Jobs"); !list.empty())
        text = std::move(list.front());

    for (const std::string& job : GetTagContents(text, "<Job>", "</Job>")) {
        jobs.Append();
        const int row = jobs.Count();
        jobs.SetText(row, kColumnFile, FirstElementOrEmpty(job, "File"));
        jobs.SetText(row, kColumnTable, FirstElementOrEmpty(job, "DBTable"));
    }

    subject.SetTitle(ProgramTitle() + " - Config: " + GetFileName(file));
    configPath = file;
    return true;
}

} // namespace brenvale

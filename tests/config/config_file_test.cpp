// The configuration file through real files: exact bytes written, quirks of the reader, faults.
#include "config/config_file.h"

#include "core/log_loader.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace brenvale {

bool operator==(const Job& a, const Job& b) {
    return a.File == b.File && a.DBTable == b.DBTable;
}

bool operator==(const ConfigData& a, const ConfigData& b) {
    return std::tie(a.dsn, a.truncateOnce, a.truncatePerFile, a.translateASCII, a.commitRows,
                    a.incremental, a.noCopy,
                    a.jobs) == std::tie(b.dsn, b.truncateOnce, b.truncatePerFile, b.translateASCII,
                                        b.commitRows, b.incremental, b.noCopy, b.jobs);
}

void PrintTo(const ConfigData& d, std::ostream* os) {
    *os << "{DSN " << (d.dsn ? "\"" + *d.dsn + "\"" : "none") << ", options " << d.truncateOnce
        << d.truncatePerFile << d.translateASCII << d.incremental << d.noCopy << ", "
        << d.commitRows << " rows, " << d.jobs.size() << " jobs:";
    for (const Job& job : d.jobs)
        *os << " {\"" << job.File << "\", \"" << job.DBTable << "\"}";
    *os << "}";
}

namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

ConfigData Config(std::vector<Job> jobs, std::optional<std::string> dsn = "dsn", bool once = false,
                  bool perFile = false, bool ascii = false, std::size_t rows = 1,
                  bool incremental = false, bool noCopy = false) {
    return {std::move(dsn), once, perFile, ascii, rows, incremental, noCopy, std::move(jobs)};
}

std::vector<Job> Numbered(int count) {
    std::vector<Job> jobs;
    for (int i = 1; i <= count; ++i)
        jobs.push_back({"/logs/" + std::to_string(i) + ".log", "t" + std::to_string(i)});
    return jobs;
}

/// Lines joined with CR LF, the last one included.
std::string CrLf(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines)
        text += line + "\r\n";
    return text;
}

/// `text` as UTF-16 bytes with its byte-order mark.
std::string Utf16(std::u16string_view text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

std::string Written(const std::string& bytes) {
    const std::string path = ScratchDir("config") + "/config.xml";
    WriteFile(path, bytes);
    return path;
}

TEST(GetTagContents, PlainTextSearchWithItsQuirks) {
    struct Case {
        std::string source, open, close;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"<a>1</a> <a>2</a>", "<a>", "</a>", {"1", "2"}},
        {"<a></a>", "<a>", "</a>", {""}},
        {"<a>1</a><a>2", "<a>", "</a>", {"1"}},       // an unclosed element ends the search
        {"</a><a>1</a>", "<a>", "</a>", {"1"}},       // a closing tag before any opening one
        {"<a><a>1</a></a>", "<a>", "</a>", {"<a>1"}}, // nesting is not understood
        // Only the closing tag's first character is dropped, so its rest is searched again.
        {"b>1/b>2/b>", "b>", "/b>", {"1", "2"}},
        // The closing tag is looked for from one past the opening tag's start.
        {"<ab>x", "<ab>", "b>", {""}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetTagContents(c.source, c.open, c.close), c.expected) << c.source;
}

const std::string kHead = CrLf({"<?xml version=\"1.0\"?>", "<Brenvale.Config>"});
const std::string kTail = CrLf({"\t</Jobs>", "</Brenvale.Config>"});

TEST(RoundTrip, LoadsWhatWasSaved) {
    struct Case {
        const char* name;
        ConfigData written;
        std::optional<ConfigData> loaded; ///< none: as written
        std::string bytes;                ///< the whole file, where checked
    };
    const Case cases[] = {
        // Also what the Windows program writes: backslash paths, unescaped markup, empty cells.
        {"Jobs",
         Config({{"C:\\Program Files\\SHOUTcast\\sc_w3c.log", "log&<\"x\">"},
                 {"\\\\server\\logs\\w3c.log", ""},
                 {"", ""}},
                "Logs DB", true, false, true, 500),
         {},
         kHead +
             CrLf({"\t<DSN>Logs DB</DSN>", "\t<TruncateOnce>True</TruncateOnce>",
                   "\t<TruncatePerFile>False</TruncatePerFile>",
                   "\t<TranslateASCIICodes>True</TranslateASCIICodes>",
                   "\t<CommitRows>500</CommitRows>", "\t<Jobs>", "\t\t<Job>",
                   "\t\t\t<File>C:\\Program Files\\SHOUTcast\\sc_w3c.log</File>",
                   "\t\t\t<DBTable>log&<\"x\"></DBTable>", "\t\t</Job>", "\t\t<Job>",
                   "\t\t\t<File>\\\\server\\logs\\w3c.log</File>", "\t\t\t<DBTable></DBTable>",
                   "\t\t</Job>", "\t\t<Job>", "\t\t\t<File></File>", "\t\t\t<DBTable></DBTable>",
                   "\t\t</Job>"}) +
             kTail},
        // Defaults write nothing new, so older versions read the file as they always did.
        {"EmptyJobList",
         Config({}, "", false, true, false),
         {},
         kHead +
             CrLf({"\t<DSN></DSN>", "\t<TruncateOnce>False</TruncateOnce>",
                   "\t<TruncatePerFile>True</TruncatePerFile>",
                   "\t<TranslateASCIICodes>False</TranslateASCIICodes>", "\t<Jobs>"}) +
             kTail},
        {"NewOptionsBeforeTheJobs",
         Config({}, "", false, false, false, 2, true, true),
         {},
         kHead +
             CrLf({"\t<DSN></DSN>", "\t<TruncateOnce>False</TruncateOnce>",
                   "\t<TruncatePerFile>False</TruncatePerFile>",
                   "\t<TranslateASCIICodes>False</TranslateASCIICodes>",
                   "\t<CommitRows>2</CommitRows>", "\t<Incremental>True</Incremental>",
                   "\t<NoCopy>True</NoCopy>", "\t<Jobs>"}) +
             kTail},
        {"Texts",
         Config({{"/logs/a&b<c>.log", "\"quoted\" 'table'"},
                 {"x > y", ""},
                 {"<DSN>", "&amp;"},
                 {"  spaced  ", "\t"},
                 {"/logs/café €.log", "tëst"}},
                " dsn&<\"'> "),
         {},
         ""},
        {"OwnClosingTags", Config({{"a</File>b", "t</DBTable>x"}}, "d</DSN>x"),
         Config({{"a", "t"}}, "d"), ""},
        // Positions are not 16-bit here: a list past 32,767 jobs loads whole, nothing is lost.
        {"ManyJobs", Config(Numbered(32768)), {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = ScratchDir("config") + "/config.xml";
        std::string error;
        ASSERT_TRUE(SaveConfig(path, c.written, error)) << error;
        if (!c.bytes.empty()) {
            EXPECT_EQ(ReadFile(path), c.bytes);
        }
        const ConfigReadResult read = ReadConfig(path);
        EXPECT_EQ(read.status, ConfigStatus::Loaded) << read.error;
        EXPECT_EQ(read.data, c.loaded.value_or(c.written));
        EXPECT_EQ(read.warning, "");
    }
}

TEST(ReadFiles, LoadAsFarAsTheTextAllows) {
    const std::string unicode =
        "<Brenvale.Config><DSN>Café</DSN><TranslateASCIICodes>True</TranslateASCIICodes><Jobs>"
        "<Job><File>/logs/€ 𝄞.log</File><DBTable>t</DBTable></Job></Jobs></Brenvale.Config>";
    const ConfigData unicodeData = Config({{"/logs/€ 𝄞.log", "t"}}, "Café", false, false, true);
    const std::u16string unicodeText =
        u"<Brenvale.Config><DSN>Café</DSN><TranslateASCIICodes>True</TranslateASCIICodes><Jobs>"
        u"<Job><File>/logs/€ 𝄞.log</File><DBTable>t</DBTable></Job></Jobs></Brenvale.Config>";
    const struct {
        const char* name;
        std::string bytes;
        ConfigData loaded;
    } cases[] = {
        // Names match in their own case only.
        {"LowerCaseNames",
         "<Brenvale.Config><dsn>x</dsn><truncateonce>True</truncateonce><Jobs><Job><file>a</file>"
         "<dbtable>t</dbtable></Job></Jobs></Brenvale.Config>",
         Config({{"", ""}}, std::nullopt)},
        {"AttributesAndSelfClosing",
         "<Brenvale.Config version=\"1\"><DSN name=\"x\">a</DSN><DSN/>"
         "<TruncateOnce v=\"1\">True</TruncateOnce><TruncatePerFile >True</TruncatePerFile>"
         "<TranslateASCIICodes/><Jobs><Job id=\"1\"><File>a</File></Job>"
         "<Job><File x=\"\">b</File><DBTable>t</DBTable></Job><Job><File/><DBTable>u</DBTable>"
         "</Job><Job/></Jobs></Brenvale.Config>",
         Config({{"", "t"}, {"", "u"}}, std::nullopt)},
        // Without the root the whole text counts; line ends mean nothing to the reader.
        {"NoRoot",
         "<DSN>d</DSN>\n<TruncateOnce>True</TruncateOnce>\n<Jobs>\n<Job><File>f</File></Job>\n"
         "</Jobs>\n",
         Config({{"f", ""}}, "d", true)},
        // Only the root's text counts, and in it the first of each element; every job loads.
        {"FirstInsideTheRootCounts",
         "<DSN>outer</DSN><TruncateOnce>False</TruncateOnce><Job><File>o</File></Job>"
         "<Brenvale.Config><DSN>first</DSN><DSN>second</DSN>"
         "<TruncateOnce>True</TruncateOnce><TruncateOnce>False</TruncateOnce>"
         "<TruncatePerFile>True</TruncatePerFile><TruncatePerFile>no</TruncatePerFile>"
         "<TranslateASCIICodes>TRUE</TranslateASCIICodes><Incremental>true</Incremental>"
         "<Jobs><Job><File>1</File><File>x</File><DBTable>a</DBTable><DBTable>y</DBTable>"
         "</Job><Job><File>2</File></Job><Job><DBTable>c</DBTable></Job></Jobs>"
         "<Jobs><Job><File>later list</File></Job></Jobs></Brenvale.Config>",
         Config({{"1", "a"}, {"2", ""}, {"", "c"}}, "first", true, true, true, 1, true)},
        {"JobsClosedWithBlank",
         "<Jobs><Job><File>in</File></Job></Jobs ><Job><File>out</File></Job>",
         Config({{"in", ""}}, std::nullopt)},
        {"Windows1252",
         CrLf({"<Brenvale.Config>", "\t<DSN>Caf\xE9</DSN>", "\t<Jobs>", "\t\t<Job>",
               "\t\t\t<File>C:\\Logs\\Caf\xE9\\w3c.log</File>", "\t\t\t<DBTable>t\x80</DBTable>",
               "\t\t</Job>", "\t</Jobs>", "</Brenvale.Config>"}),
         Config({{"C:\\Logs\\Caf\xC3\xA9\\w3c.log", "t\xE2\x82\xAC"}}, "Caf\xC3\xA9")},
        // What editors on Windows save as "UTF-8" and as "Unicode".
        {"Utf8WithMark", "\xEF\xBB\xBF" + unicode, unicodeData},
        {"Utf16LittleEndian", Utf16(unicodeText, false), unicodeData},
        {"Utf16BigEndian", Utf16(unicodeText, true), unicodeData},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ConfigReadResult read = ReadConfig(Written(c.bytes));
        EXPECT_EQ(read.status, ConfigStatus::Loaded) << read.error;
        EXPECT_EQ(read.data, c.loaded);
    }
}

TEST(ReadValues, OptionsAreTrueInAnyCaseAndRowsArePositiveDecimals) {
    const std::pair<const char*, bool> flags[] = {
        {"True", true}, {"true", true},   {"TRUE", true},   {"tRuE", true}, {"1", false},
        {"yes", false}, {" true", false}, {"true ", false}, {"", false},    {"truer", false}};
    for (const auto& [value, on] : flags) {
        SCOPED_TRACE(std::string("\"") + value + "\"");
        std::string bytes = "<Jobs></Jobs>";
        for (const char* name :
             {"TruncateOnce", "TruncatePerFile", "TranslateASCIICodes", "Incremental", "NoCopy"})
            bytes += std::string("<") + name + ">" + value + "</" + name + ">";
        EXPECT_EQ(ReadConfig(Written(bytes)).data, Config({}, std::nullopt, on, on, on, 1, on, on));
    }
    const std::string huge(23, '9');
    const struct {
        std::string value;
        std::size_t rows;
        bool warned; ///< too many: the largest allowed, with a warning
    } rows[] = {{"8", 8, false},
                {"0", 1, false},
                {"-3", 1, false},
                {" 8", 1, false},
                {"many", 1, false},
                {"", 1, false},
                {"1000000", 1000000, false},
                {"1000001", kMaxCommitRows, true},
                {huge, kMaxCommitRows, true}};
    for (const auto& c : rows) {
        SCOPED_TRACE(c.value);
        const std::string path = Written("<Jobs></Jobs><CommitRows>" + c.value + "</CommitRows>");
        const ConfigReadResult read = ReadConfig(path);
        EXPECT_EQ(read.data.commitRows, c.rows);
        EXPECT_EQ(read.warning, c.warned ? "The configuration file '" + path + "' asks for " +
                                               c.value + " rows per commit; the largest " +
                                               "allowed, 1000000, is used."
                                         : "");
    }
}

TEST(ReadFaults, ReportedWithNothingLoaded) {
    const std::string folder = ScratchDir("config");
    const std::string socketPath = folder + "/socket";
    const int socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string good = "<Brenvale.Config><DSN>d</DSN><Jobs><Job><File>a</File><DBTable>t"
                             "</DBTable></Job><Job><File>b";
    const struct {
        const char* name;
        std::string path;  ///< a path to read, or empty for `bytes` in a file
        std::string bytes; ///< the file's contents
        ConfigStatus status;
        std::string reason;
    } cases[] = {
        {"Missing", folder + "/none.xml", "", ConfigStatus::Missing, "' does not exist."},
        {"Folder", folder, "", ConfigStatus::Missing, "' is a folder, not a file."},
        {"Socket", socketPath, "", ConfigStatus::Unreadable,
         "' could not be read: No such device or address."},
        {"EndlessDevice", "/dev/zero", "", ConfigStatus::Unreadable,
         "' is larger than 64 MiB; it is not read."},
        {"Empty", "", "", ConfigStatus::NotAConfiguration, "is not a configuration file"},
        {"ALog", "",
         "#Software: SHOUTcast\r\n192.0.2.7 host 2024-03-01 18:04:11 /stream 200 VLC 1 2 3\r\n",
         ConfigStatus::NotAConfiguration,
         "' is not a configuration file: it holds neither <Brenvale.Config> nor <Jobs>."},
        {"LowerCaseOnly", "", "<brenvale.config><jobs></jobs></brenvale.config>",
         ConfigStatus::NotAConfiguration, "is not a configuration file"},
        {"Utf16WithoutMark", "", Utf16(u"<Brenvale.Config><Jobs></Jobs>", false).substr(2),
         ConfigStatus::NotAConfiguration, "is not a configuration file"},
        // A file cut short, or a value holding a closing tag, must not load as fewer jobs.
        {"CutShort", "", good, ConfigStatus::Damaged,
         "' is damaged: <Brenvale.Config> is not closed by </Brenvale.Config>; nothing was "
         "loaded."},
        {"FileNeverClosed", "", good + "</Job></Jobs></Brenvale.Config>", ConfigStatus::Damaged,
         "' is damaged: <File> of job 2 is not closed by </File>; nothing was loaded."},
        {"JobNeverClosed", "", "<Jobs><Job><File>a</File></Job><Job><File>b</File></Jobs>",
         ConfigStatus::Damaged, "<Job> after job 1 is not closed by </Job>"},
        {"JobsNeverClosed", "", "<Jobs><Job><File>a</File></Job>", ConfigStatus::Damaged,
         "<Jobs> is not closed by </Jobs>"},
        {"FileHoldsJobClosingTag", "",
         "<Jobs><Job><File>x</Job>y</File><DBTable>t</DBTable></Job></Jobs>", ConfigStatus::Damaged,
         "<File> of job 1 is not closed by </File>"},
        {"FileHoldsJobsClosingTag", "",
         "<Jobs><Job><File>x</Jobs>y</File></Job><Job><File>b</File></Job></Jobs>",
         ConfigStatus::Damaged, "<Job> is not closed by </Job>"},
        {"DsnNeverClosed", "", "<Brenvale.Config><DSN>d<Jobs></Jobs></Brenvale.Config>",
         ConfigStatus::Damaged, "<DSN> is not closed by </DSN>"},
        {"LoneSurrogate", "", Utf16(u"<Jobs></Jobs>", false) + std::string("\x00\xD8\x61\x00", 4),
         ConfigStatus::Damaged, "is not valid UTF-16 text"},
        {"OddLength", "", Utf16(u"<Jobs></Jobs>", true) + "x", ConfigStatus::Damaged,
         "is not valid UTF-16 text"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.path.empty() ? Written(c.bytes) : c.path;
        const ConfigReadResult read = ReadConfig(path);
        EXPECT_EQ(read.status, c.status);
        EXPECT_NE(read.error.find("'" + path + "'"), std::string::npos) << read.error;
        EXPECT_NE(read.error.find(c.reason), std::string::npos) << read.error;
        EXPECT_EQ(read.data, ConfigData{});
    }
    ::close(socketFd);
}

TEST(ConflictingOptions, IncrementalExcludesEitherTruncation) {
    const struct {
        bool incremental, once, perFile;
        const char* named; ///< the options the message names; null when there is no conflict
    } cases[] = {{true, true, false, "(TruncateOnce)"},
                 {true, false, true, "(TruncatePerFile)"},
                 {true, true, true, "(TruncateOnce and TruncatePerFile)"},
                 {true, false, false, nullptr},
                 {false, true, true, nullptr}};
    for (const auto& c : cases) {
        const std::string text =
            ConflictingOptions(Config({}, "d", c.once, c.perFile, false, 1, c.incremental));
        EXPECT_EQ(c.named == nullptr ? text.empty() : text.find(c.named) != std::string::npos, true)
            << text;
    }
}

/// Every entry under `folder` with its contents (a link's target), to show what changed.
std::set<std::pair<std::string, std::string>> Snapshot(const std::string& folder) {
    std::set<std::pair<std::string, std::string>> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        entries.emplace(entry.path().string(),
                        entry.is_symlink()        ? "-> " + fs::read_symlink(entry).string()
                        : entry.is_regular_file() ? ReadFile(entry.path().string())
                                                  : "<dir>");
    return entries;
}

TEST(Save, ThroughLinksKeepingModeAndOwner) {
    // The owner can be kept only by root; anyone else keeps their own, which is what it was.
    const bool root = ::geteuid() == 0;
    const struct {
        const char* name;
        std::vector<std::pair<const char*, const char*>> links; ///< link, what it points at
        const char* target; ///< the file written, relative to the folder
        bool exists;        ///< the target is there before the save
    } cases[] = {
        {"PlainFile", {}, "config.xml", true},
        {"RelativeLink", {{"config.xml", "sub/real.xml"}}, "sub/real.xml", true},
        {"Chain", {{"config.xml", "sub/one.xml"}, {"sub/one.xml", "two.xml"}}, "sub/two.xml", true},
        {"Dangling", {{"config.xml", "sub/new.xml"}}, "sub/new.xml", false},
        {"DanglingAbsolute", {{"config.xml", "{dir}/sub/abs.xml"}}, "sub/abs.xml", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = ScratchDir("config");
        fs::create_directory(folder + "/sub");
        const std::string target = folder + "/" + c.target;
        if (c.exists) {
            WriteFile(target, "old contents\r\n");
            ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
            if (root) {
                ASSERT_EQ(::chown(target.c_str(), 1234, 5678), 0);
            }
        }
        struct stat before {};
        ::stat(target.c_str(), &before);
        for (const auto& [link, to] : c.links) {
            std::string pointsAt = to;
            if (pointsAt.starts_with("{dir}"))
                pointsAt.replace(0, 5, folder);
            fs::create_symlink(pointsAt, folder + "/" + link);
        }
        const std::string path = folder + "/config.xml";
        std::string error;
        ASSERT_TRUE(SaveConfig(path, Config({{"a.log", "t"}}), error)) << error;

        EXPECT_EQ(ReadConfig(target).data, Config({{"a.log", "t"}}));
        EXPECT_EQ(fs::is_symlink(path), !c.links.empty());
        struct stat after {};
        ASSERT_EQ(::stat(target.c_str(), &after), 0);
        if (c.exists) {
            EXPECT_EQ(after.st_mode & 07777, 0640u);
            EXPECT_EQ(after.st_uid, before.st_uid);
            EXPECT_EQ(after.st_gid, before.st_gid);
        }
        // Nothing but the links and the target: no temporary file left behind.
        std::size_t entries = 0;
        for ([[maybe_unused]] const auto& entry : fs::recursive_directory_iterator(folder))
            ++entries;
        EXPECT_EQ(entries, 2 + c.links.size());
    }
}

/// Caps the size of files this process writes, as a full disk would; undone on scope exit.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, previous_);
    }

private:
    rlimit old_{};
    void (*previous_)(int) = nullptr;
};

TEST(Save, AFailureLeavesEverythingAsItWas) {
    struct Case {
        const char* target;
        int error;
        bool diskFull;
    };
    // A failure at each step: following links, making the new file, writing it, renaming it.
    const Case cases[] = {{"loop", ELOOP, false},
                          {"gone/config.xml", ENOENT, false},
                          {"config.xml", EFBIG, true},
                          {"taken", EISDIR, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        const std::string folder = ScratchDir("config");
        WriteFile(folder + "/config.xml", "old contents\r\n");
        fs::create_directory(folder + "/taken");
        WriteFile(folder + "/taken/inside", "kept");
        fs::create_symlink("loop", folder + "/loop");
        const auto before = Snapshot(folder);

        const std::string path = folder + "/" + c.target;
        std::string error;
        std::optional<FileSizeLimit> limit;
        if (c.diskFull)
            limit.emplace(64); // well under the 50 jobs' bytes
        const bool saved = SaveConfig(path, Config(Numbered(50)), error);
        limit.reset();
        EXPECT_FALSE(saved);
        EXPECT_NE(error.find("'" + path + "'"), std::string::npos) << error;
        EXPECT_NE(error.find(std::strerror(c.error)), std::string::npos) << error;
        EXPECT_EQ(Snapshot(folder), before);
    }
}

} // namespace
} // namespace brenvale

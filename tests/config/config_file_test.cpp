// The configuration file through real files: exact bytes written, quirks of the reader, faults;
// and its default path: beside the program when it may live there, else per user.
#include "config/config_file.h"

#include "config/default_config_path.h"
#include "core/log_loader.h"
#include "support/test_support.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <tuple>

namespace brenvale {

bool operator==(const Job& a, const Job& b) {
    return a.File == b.File && a.DBTable == b.DBTable && a.Format == b.Format &&
           a.Playlist == b.Playlist;
}

bool operator==(const ConfigData& a, const ConfigData& b) {
    const auto fields = [](const ConfigData& d) {
        return std::tie(d.dsn, d.truncateOnce, d.truncatePerFile, d.translateASCII, d.commitRows,
                        d.incremental, d.odbcOnly, d.jobs, d.timeZone, d.fallbackDsns,
                        d.durableBatches);
    };
    return fields(a) == fields(b);
}

void PrintTo(const ConfigData& d, std::ostream* os) {
    *os << "{DSN " << d.dsn.value_or("(none)") << ", " << d.jobs.size() << " jobs}";
}

namespace {

namespace fs = std::filesystem;
using namespace test;

ConfigData Config(std::vector<Job> jobs, std::optional<std::string> dsn = "dsn", bool once = false,
                  bool perFile = false, bool ascii = false, std::size_t rows = 1,
                  bool incremental = false, bool odbcOnly = false, bool durable = false) {
    return {std::move(dsn),  once, perFile, ascii,  rows, incremental, odbcOnly,
            std::move(jobs), {},   {},      durable};
}

std::vector<Job> Numbered(int count) {
    std::vector<Job> jobs;
    for (int i = 1; i <= count; ++i)
        jobs.push_back({"/logs/" + std::to_string(i) + ".log", "t" + std::to_string(i)});
    return jobs;
}

/// A saved file: the XML declaration and the root around `lines`, each line ended by CR LF.
std::string Layout(const std::vector<std::string>& lines) {
    std::string text = "<?xml version=\"1.0\"?>\r\n<Brenvale.Config>\r\n";
    for (const auto& line : lines)
        text += line + "\r\n";
    return text + "\t</Jobs>\r\n</Brenvale.Config>\r\n";
}

/// `text` as UTF-16 bytes after its byte-order mark.
std::string Utf16(std::u16string_view text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : text)
        bytes += bigEndian ? std::string{char(unit >> 8), char(unit)}
                           : std::string{char(unit), char(unit >> 8)};
    return bytes;
}

std::string Written(const std::string& bytes) {
    return WriteFile(ScratchDir("config") + "/config.xml", bytes);
}

TEST(GetTagContents, PlainTextSearchWithItsQuirks) {
    const std::tuple<std::string, std::string, std::string, std::vector<std::string>> cases[] = {
        {"<a>1</a> <a>2</a>", "<a>", "</a>", {"1", "2"}},
        {"<a></a>", "<a>", "</a>", {""}},
        {"<a>1</a><a>2", "<a>", "</a>", {"1"}},       // an unclosed element ends the search
        {"</a><a>1</a>", "<a>", "</a>", {"1"}},       // a closing tag before any opening one
        {"<a><a>1</a></a>", "<a>", "</a>", {"<a>1"}}, // nesting is not understood
        {"<A>1</A><a>2</a>", "<a>", "</a>", {"2"}},   // tags match in their own case only
        // Only the closing tag's first character is dropped, so its rest is searched again.
        {"b>1/b>2/b>", "b>", "/b>", {"1", "2"}},
        // The closing tag is looked for from one past the opening tag's start.
        {"<ab>x", "<ab>", "b>", {""}},
    };
    for (const auto& [source, open, close, expected] : cases)
        EXPECT_EQ(GetTagContents(source, open, close), expected) << source;
}

TEST(RoundTrip, WritesTheLayoutAndLoadsWhatWasSaved) {
    const struct {
        const char* name;
        ConfigData written;
        std::string bytes = {};                ///< the whole file, where checked
        std::optional<ConfigData> loaded = {}; ///< none: as written
    } cases[] = {
        // As the Windows program writes it; options at their defaults add no elements.
        {"Jobs",
         Config({{"C:\\Logs\\sc_w3c.log", "log&<\"x\">"}, {"", ""}}, "Logs DB", true, false, true),
         Layout({"\t<DSN>Logs DB</DSN>", "\t<TruncateOnce>True</TruncateOnce>",
                 "\t<TruncatePerFile>False</TruncatePerFile>",
                 "\t<TranslateASCIICodes>True</TranslateASCIICodes>", "\t<Jobs>", "\t\t<Job>",
                 "\t\t\t<File>C:\\Logs\\sc_w3c.log</File>", "\t\t\t<DBTable>log&<\"x\"></DBTable>",
                 "\t\t</Job>", "\t\t<Job>", "\t\t\t<File></File>", "\t\t\t<DBTable></DBTable>",
                 "\t\t</Job>"})},
        {"NewOptionsBeforeTheJobs", Config({}, "", false, true, false, 2, true, true, true),
         Layout({"\t<DSN></DSN>", "\t<TruncateOnce>False</TruncateOnce>",
                 "\t<TruncatePerFile>True</TruncatePerFile>",
                 "\t<TranslateASCIICodes>False</TranslateASCIICodes>",
                 "\t<CommitRows>2</CommitRows>", "\t<Incremental>True</Incremental>",
                 "\t<OdbcOnly>True</OdbcOnly>", "\t<DurableBatches>True</DurableBatches>",
                 "\t<Jobs>"})},
        {"StationTimeZone",
         [] {
             ConfigData data = Config({});
             data.timeZone = "America/New_York";
             return data;
         }(),
         Layout({"\t<DSN>dsn</DSN>", "\t<TruncateOnce>False</TruncateOnce>",
                 "\t<TruncatePerFile>False</TruncatePerFile>",
                 "\t<TranslateASCIICodes>False</TranslateASCIICodes>",
                 "\t<TimeZone>America/New_York</TimeZone>", "\t<Jobs>"})},
        // A job's log format and playlist log only where set.
        {"IcecastJob",
         Config(
             {{"/var/log/icecast2/access.log", "logs", "icecast", "/var/log/icecast2/playlist.log"},
              {"sc.log", "logs"}}),
         Layout({"\t<DSN>dsn</DSN>", "\t<TruncateOnce>False</TruncateOnce>",
                 "\t<TruncatePerFile>False</TruncatePerFile>",
                 "\t<TranslateASCIICodes>False</TranslateASCIICodes>", "\t<Jobs>", "\t\t<Job>",
                 "\t\t\t<File>/var/log/icecast2/access.log</File>", "\t\t\t<DBTable>logs</DBTable>",
                 "\t\t\t<Format>icecast</Format>",
                 "\t\t\t<Playlist>/var/log/icecast2/playlist.log</Playlist>", "\t\t</Job>",
                 "\t\t<Job>", "\t\t\t<File>sc.log</File>", "\t\t\t<DBTable>logs</DBTable>",
                 "\t\t</Job>"})},
        // The other nodes of a cluster follow the DSN, in their order.
        {"FallbackDsns",
         [] {
             ConfigData data = Config({}, "node1");
             data.fallbackDsns = {"node2", "node3"};
             return data;
         }(),
         Layout({"\t<DSN>node1</DSN>", "\t<FallbackDSN>node2</FallbackDSN>",
                 "\t<FallbackDSN>node3</FallbackDSN>", "\t<TruncateOnce>False</TruncateOnce>",
                 "\t<TruncatePerFile>False</TruncatePerFile>",
                 "\t<TranslateASCIICodes>False</TranslateASCIICodes>", "\t<Jobs>"})},
        // Written as they are: markup, an opening tag, blanks and UTF-8.
        {"Texts",
         Config({{"/logs/a&b<c>.log", "\"quoted\" 'table'"}, {"<DSN>", "&amp;"}, {" é€ ", "\t"}},
                " dsn&<\"'> ")},
        {"OwnClosingTags", Config({{"a</File>b", "t</DBTable>x"}}, "d</DSN>x"), "",
         Config({{"a", "t"}}, "d")},
        // Positions are not 16-bit here: a list past 32,767 jobs loads whole, nothing is lost.
        {"ManyJobs", Config(Numbered(32768))},
    };
    for (const auto& c : cases) {
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

TEST(ReadConfig, LoadsAsFarAsTheTextAllowsAndReportsWhatItMustNotLoad) {
    using enum ConfigStatus;
    const std::u16string unicode = u"<Jobs><Job><File>/logs/é€𝄞.log</File></Job></Jobs>";
    const ConfigData unicodeJobs = Config({{"/logs/é€𝄞.log", ""}}, std::nullopt);
    const std::string folder = ScratchDir("config");
    const ConfigData none;
    const struct {
        const char* name;
        std::string bytes; ///< the file's, or with `path` a path to read
        ConfigData loaded;
        ConfigStatus status = Loaded;
        const char* reason = nullptr; ///< after the quoted path in the error
        bool path = false;
    } cases[] = {
        // Names match in their own case only, and tags with more in them are not recognised.
        {"LowerCaseNamesAttributesAndSelfClosing",
         "<Brenvale.Config version=\"1\"><dsn>x</dsn><truncateonce>True</truncateonce><DSN "
         "name=\"x\">a</DSN><DSN/><TruncateOnce v=\"1\">True</TruncateOnce><TruncatePerFile >True"
         "</TruncatePerFile><Jobs><Job id=\"1\"><File>a</File></Job><Job><File x=\"\">b</File>"
         "<DBTable>t</DBTable></Job><Job/><Job><file>a</file></Job></Jobs></Brenvale.Config>",
         Config({{"", "t"}, {"", ""}}, std::nullopt)},
        // Without the root the whole text counts; line ends mean nothing to the reader.
        {"NoRoot", "<DSN>d</DSN>\n<TruncateOnce>True</TruncateOnce>\n<Jobs>\n<Job></Job>\n</Jobs>",
         Config({{"", ""}}, "d", true)},
        // Only the root's text counts, and in it the first of each element; every job loads.
        {"FirstInsideTheRootCounts",
         "<DSN>outer</DSN><Job><File>o</File></Job><Brenvale.Config><DSN>first</DSN><DSN>2nd"
         "</DSN><TruncateOnce>True</TruncateOnce><TruncateOnce>False</TruncateOnce>"
         "<TruncatePerFile>True</TruncatePerFile><TranslateASCIICodes>TRUE</TranslateASCIICodes>"
         "<Incremental>true</Incremental><Jobs><Job><File>1</File><File>x</File><DBTable>a"
         "</DBTable><DBTable>y</DBTable></Job><Job><DBTable>c</DBTable></Job></Jobs><Jobs><Job>"
         "<File>later list</File></Job></Jobs></Brenvale.Config>",
         Config({{"1", "a"}, {"", "c"}}, "first", true, true, true, 1, true)},
        {"JobsClosedWithBlank", "<Jobs><Job><File>in</File></Job></Jobs ><Job><File>out</File>",
         Config({{"in", ""}}, std::nullopt)},
        {"Windows1252", "<Jobs><Job><File>C:\\Caf\xE9</File><DBTable>t\x80</DBTable></Job></Jobs>",
         Config({{"C:\\Caf\xC3\xA9", "t\xE2\x82\xAC"}}, std::nullopt)},
        // What Windows editors save as "Unicode".
        {"Utf16LittleEndian", Utf16(unicode, false), unicodeJobs},
        {"Utf16BigEndian", Utf16(unicode, true), unicodeJobs},
        {"Missing", folder + "/none.xml", none, Missing, "does not exist.", true},
        {"Folder", folder, none, Missing, "is a folder, not a file.", true},
        {"EndlessDevice", "/dev/zero", none, Unreadable, "is larger than 64 MiB; it is not read.",
         true},
        {"ALog", "#Software: SHOUTcast\r\n192.0.2.7 h 2024-03-01 18:04:11 /s 200 VLC 1 2 3\r\n",
         none, NotAConfiguration,
         "is not a configuration file: it holds neither <Brenvale.Config> nor <Jobs>."},
        {"Utf16WithoutMark", Utf16(u"<Jobs></Jobs>", false).substr(2), none, NotAConfiguration,
         "is not a configuration file"},
        // A file cut short, or a value holding a closing tag, must not load as fewer jobs.
        {"CutShort", "<Brenvale.Config><Jobs><Job><File>a</File></Job><Job><File>b", none, Damaged,
         "is damaged: <Brenvale.Config> is not closed by </Brenvale.Config>; nothing was loaded."},
        {"JobsNeverClosed", "<Jobs><Job></Job>", none, Damaged,
         "is damaged: <Jobs> is not closed by </Jobs>"},
        {"JobNeverClosed", "<Jobs><Job></Job><Job><File>b</File></Jobs>", none, Damaged,
         "is damaged: <Job> after job 1 is not closed by </Job>"},
        {"FileHoldsJobClosingTag", "<Jobs><Job><File>x</Job>y</File></Job></Jobs>", none, Damaged,
         "is damaged: <File> of job 1 is not closed by </File>"},
        {"FileHoldsJobsClosingTag", "<Jobs><Job><File>x</Jobs>y</File></Job></Jobs>", none, Damaged,
         "is damaged: <Job> is not closed by </Job>"},
        {"LoneSurrogate", Utf16(u"<Jobs></Jobs>", false) + std::string("\x00\xD8\x61\x00", 4), none,
         Damaged, "is damaged: it is not valid UTF-16 text"},
        {"OddLength", Utf16(u"<Jobs></Jobs>", true) + "x", none, Damaged,
         "is damaged: it is not valid UTF-16 text"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.path ? c.bytes : Written(c.bytes);
        const ConfigReadResult read = ReadConfig(path);
        EXPECT_EQ(read.status, c.status) << read.error;
        if (c.reason) {
            EXPECT_THAT(read.error, HasSubstr("'" + path + "' " + c.reason));
        } else {
            EXPECT_EQ(read.error, "");
        }
        EXPECT_EQ(read.data, c.loaded);
    }
}

TEST(ReadConfig, OptionsAreTrueInAnyCaseAndRowsArePositiveDecimals) {
    const std::pair<const char*, bool> flags[] = {
        {"True", true}, {"true", true},   {"TRUE", true},   {"tRuE", true}, {"1", false},
        {"yes", false}, {" true", false}, {"true ", false}, {"", false},    {"truer", false}};
    for (const auto& [value, on] : flags) {
        SCOPED_TRACE(std::string("\"") + value + "\"");
        std::string bytes = "<Jobs></Jobs>";
        for (const std::string name : {"TruncateOnce", "TruncatePerFile", "TranslateASCIICodes",
                                       "Incremental", "OdbcOnly", "DurableBatches"})
            bytes += "<" + name + ">" + value + "</" + name + ">";
        EXPECT_EQ(ReadConfig(Written(bytes)).data,
                  Config({}, std::nullopt, on, on, on, 1, on, on, on));
        // OdbcOnly's older name reads as it did.
        EXPECT_EQ(ReadConfig(Written("<Jobs></Jobs><NoCopy>" + std::string(value) + "</NoCopy>"))
                      .data.odbcOnly,
                  on);
    }
    // Too many rows per commit is a wish for big batches: the largest allowed, with a warning.
    const std::size_t max = kMaxCommitRows;
    const std::string nines(20, '9');
    const std::pair<std::string, std::size_t> rows[] = {
        {"8", 8}, {"0", 1},         {"-3", 1},        {" 8", 1},   {"many", 1},
        {"", 1},  {"1000000", max}, {"1000001", max}, {nines, max}};
    for (const auto& [value, expected] : rows) {
        SCOPED_TRACE(value);
        const std::string path = Written("<Jobs></Jobs><CommitRows>" + value + "</CommitRows>");
        const ConfigReadResult read = ReadConfig(path);
        EXPECT_EQ(read.data.commitRows, expected);
        const std::string warning = "The configuration file '" + path + "' asks for " + value +
                                    " rows per commit; the largest allowed, 1000000, is used.";
        EXPECT_EQ(read.warning, expected == max && value != "1000000" ? warning : "");
    }
}

/// Every entry under `folder` but `except` with its contents (a link: what it points at).
std::set<std::pair<std::string, std::string>> Snapshot(const std::string& folder,
                                                       const std::string& except = "") {
    std::set<std::pair<std::string, std::string>> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.path() != except)
            entries.emplace(entry.path().string(),
                            entry.is_symlink()        ? "-> " + fs::read_symlink(entry).string()
                            : entry.is_regular_file() ? ReadFile(entry.path().string())
                                                      : "<dir>");
    return entries;
}

TEST(SaveConfig, WritesThroughLinksKeepingModeAndOwner) {
    // Only root can give a file away; anyone else's file keeps their own owner, as before.
    const bool root = ::geteuid() == 0;
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links; ///< link, what it points at
        const char* target;                                     ///< the file written, in the folder
        bool exists;                                            ///< before the save
    } cases[] = {
        {"PlainFile", {}, "config.xml", true},
        {"Chain", {{"config.xml", "sub/one.xml"}, {"sub/one.xml", "two.xml"}}, "sub/two.xml", true},
        {"Dangling", {{"config.xml", "sub/new.xml"}}, "sub/new.xml", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = ScratchDir("config");
        fs::create_directory(folder + "/sub");
        const std::string target = folder + "/" + c.target;
        if (c.exists) {
            WriteFile(target, "old contents\r\n");
            ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
            ASSERT_TRUE(!root || ::chown(target.c_str(), 1234, 5678) == 0);
        }
        struct stat before {};
        ::stat(target.c_str(), &before);
        for (const auto& [link, to] : c.links)
            fs::create_symlink(to, folder + "/" + link);
        const auto links = Snapshot(folder, target);

        std::string error;
        ASSERT_TRUE(SaveConfig(folder + "/config.xml", Config({{"a.log", "t"}}), error)) << error;
        EXPECT_EQ(ReadConfig(target).data, Config({{"a.log", "t"}}));
        struct stat after {};
        ASSERT_EQ(::stat(target.c_str(), &after), 0);
        if (c.exists) {
            EXPECT_EQ(std::tuple(after.st_mode & 07777, after.st_uid, after.st_gid),
                      std::tuple(0640u, before.st_uid, before.st_gid));
        }
        // The links stay links, and no temporary file is left behind.
        EXPECT_EQ(Snapshot(folder, target), links);
    }
}

TEST(SaveConfig, AFailureLeavesEverythingAsItWas) {
    // A failure at each step: following links, making the new file, writing it, renaming it.
    const std::tuple<const char*, int, bool> cases[] = {{"loop", ELOOP, false},
                                                        {"gone/config.xml", ENOENT, false},
                                                        {"config.xml", EFBIG, true},
                                                        {"taken", EISDIR, false}};
    for (const auto& [target, reason, diskFull] : cases) {
        SCOPED_TRACE(target);
        const std::string folder = ScratchDir("config");
        WriteFile(folder + "/config.xml", "old contents\r\n");
        fs::create_directory(folder + "/taken");
        WriteFile(folder + "/taken/inside", "kept");
        fs::create_symlink("loop", folder + "/loop");
        const auto before = Snapshot(folder);

        const std::string path = folder + "/" + target;
        // A full disk: files this process writes are capped well under the 50 jobs' bytes.
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit capped{diskFull ? 64 : old.rlim_cur, old.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &capped);
        std::string error;
        EXPECT_FALSE(SaveConfig(path, Config(Numbered(50)), error));
        ::setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_THAT(error,
                    HasSubstr("'" + path + "' could not be saved: " + std::strerror(reason)));
        EXPECT_EQ(Snapshot(folder), before);
    }
}

TEST(DefaultConfigPath, Chooses) {
    const std::string x = "/x/brenvale/config.xml", h = "/home/u/.config/brenvale/config.xml";
    const std::string scratch = ScratchDir("default_config"); // a writable folder
    const std::tuple<std::string, const char*, const char*, std::string, const char*> cases[] = {
        {scratch, "/x", "/home/u", scratch + "/config.xml",
         "a writable build tree keeps it beside"},
        {scratch + "/", "/x", "/home/u", scratch + "//config.xml", "the separator is always added"},
        {scratch + "/gone", "/x", "/home/u", x, "a folder that is not there cannot hold it"},
        {"/usr/bin", "/x", "/home/u", x, "the package's folder, even for root"},
        {"/usr/local/bin/", "/x/", "", x, "trailing slashes on either side"},
        {"/bin", "", "/home/u", h, "no XDG_CONFIG_HOME: HOME/.config"},
        {"/usr/bin", "cfg", "/home/u", h, "a relative XDG_CONFIG_HOME is ignored"},
        {"/usr/bin", "", "relative", "/usr/bin/config.xml",
         "no usable folder at all: beside the program, and the save reports it"},
    };
    for (const auto& [folder, xdg, home, expected, reason] : cases)
        EXPECT_EQ(DefaultConfigPath(folder, {xdg, home}), expected) << reason;
}

TEST(PrepareDefaultConfigPathTest, CreatesThePrivateFolder) {
    const std::string home = ScratchDir("default_config_home") + "/config";
    ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    const std::string path = PrepareDefaultConfigPath("/usr/bin");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(path, home + "/brenvale/config.xml");
    EXPECT_TRUE(fs::is_directory(home + "/brenvale"));
    EXPECT_EQ(fs::status(home + "/brenvale").permissions() & fs::perms::all, fs::perms::owner_all);
}

} // namespace
} // namespace brenvale

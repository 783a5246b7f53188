// The configuration file through real files: exact bytes written, quirks of the reader, failures.
#include "config/config_file.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace brenvale {

bool operator==(const Job& a, const Job& b) {
    return a.File == b.File && a.DBTable == b.DBTable;
}

void PrintTo(const Job& job, std::ostream* os) {
    *os << "{File \"" << job.File << "\", DBTable \"" << job.DBTable << "\"}";
}

namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

/// What a configuration holds, as one comparable value.
struct Settings {
    std::string dsn;
    bool truncateOnStart = false, truncateOnInsert = false, translateASCII = false;
    std::size_t commitRows = 1;
    std::vector<Job> jobs;
    bool operator==(const Settings&) const = default;
};

void PrintTo(const Settings& s, std::ostream* os) {
    *os << "{DSN \"" << s.dsn << "\", options " << s.truncateOnStart << s.truncateOnInsert
        << s.translateASCII << ", " << s.commitRows << " rows, " << testing::PrintToString(s.jobs)
        << "}";
}

Settings Config(std::vector<Job> jobs, std::string dsn = "dsn", bool once = false,
                bool perFile = false, bool ascii = false, std::size_t commitRows = 1) {
    return {std::move(dsn), once, perFile, ascii, commitRows, std::move(jobs)};
}

/// Jobs 1 to `count`, each with its own file and table.
std::vector<Job> Numbered(int count) {
    std::vector<Job> jobs;
    for (int i = 1; i <= count; ++i)
        jobs.push_back({"/logs/" + std::to_string(i) + ".log", "t" + std::to_string(i)});
    return jobs;
}

/// A plain window stand-in: every DSN name counts as listed.
struct Holder final : ConfigSubject {
    Settings s;
    VectorJobList jobs;
    test::ScriptedPrompts prompts;
    std::vector<std::string> selected;
    std::optional<std::string> title;

    explicit Holder(const Settings& settings = {}) : s(settings), jobs(settings.jobs) {}
    /// What the holder has now, jobs included.
    Settings Held() const {
        Settings now = s;
        now.jobs = jobs.Jobs();
        return now;
    }

    std::string DsnText() const override { return s.dsn; }
    void SelectDsn(const std::string& name) override {
        selected.push_back(name);
        s.dsn = name;
    }
    bool TruncateOnStart() const override { return s.truncateOnStart; }
    bool TruncateOnInsert() const override { return s.truncateOnInsert; }
    bool TranslateASCII() const override { return s.translateASCII; }
    void SetTruncateOnStart(bool on) override { s.truncateOnStart = on; }
    void SetTruncateOnInsert(bool on) override { s.truncateOnInsert = on; }
    void SetTranslateASCII(bool on) override { s.translateASCII = on; }
    std::size_t CommitRows() const override { return s.commitRows; }
    void SetCommitRows(std::size_t rows) override { s.commitRows = rows; }
    void SetTitle(const std::string& text) override { title = text; }
    JobList& Jobs() override { return jobs; }
    Prompts& MessageBoxes() override { return prompts; }
};

/// Something in every field, so that a load's changes show.
Settings Busy() {
    return Config({{"/old/a.log", "a"}, {"/old/b.log", "b"}}, "earlier_dsn", true, true, true, 7);
}

/// Loads `path` into `holder`, expecting the file to be found.
void LoadInto(Holder& holder, const std::string& path) {
    std::string file = path;
    std::string configPath = "/unused/config.xml";
    ASSERT_TRUE(LoadConfig(file, false, configPath, holder));
    EXPECT_EQ(configPath, path);
    EXPECT_TRUE(holder.prompts.shown.empty());
}

/// Lines joined with CR LF, the last one included.
std::string CrLf(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines)
        text += line + "\r\n";
    return text;
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

// --- Save, then load ------------------------------------------------------------------------

struct RoundTripCase {
    const char* name;
    Settings written;
    Settings loaded;
    std::string bytes; ///< the whole file, where checked
};

RoundTripCase Same(const char* name, const Settings& settings, std::string bytes = {}) {
    return {name, settings, settings, std::move(bytes)};
}

RoundTripCase Changed(const char* name, const Settings& written, const Settings& loaded) {
    return {name, written, loaded, {}};
}

// Also what the Windows program writes: CR LF line ends and backslash paths.
const std::string kJobsLayout =
    CrLf({"<?xml version=\"1.0\"?>", "<Brenvale.Config>", "\t<DSN>Logs DB</DSN>",
          "\t<TruncateOnce>True</TruncateOnce>", "\t<TruncatePerFile>False</TruncatePerFile>",
          "\t<TranslateASCIICodes>True</TranslateASCIICodes>", "\t<CommitRows>500</CommitRows>"}) +
    CrLf({"\t<Jobs>", "\t\t<Job>", "\t\t\t<File>C:\\Program Files\\SHOUTcast\\sc_w3c.log</File>",
          "\t\t\t<DBTable>log&<\"x\"></DBTable>", "\t\t</Job>", "\t\t<Job>",
          "\t\t\t<File>\\\\server\\logs\\w3c.log</File>", "\t\t\t<DBTable></DBTable>", "\t\t</Job>",
          "\t\t<Job>", "\t\t\t<File></File>", "\t\t\t<DBTable></DBTable>", "\t\t</Job>",
          "\t</Jobs>", "</Brenvale.Config>"});
const std::vector<Job> kLayoutJobs = {
    Job{"C:\\Program Files\\SHOUTcast\\sc_w3c.log", "log&<\"x\">"},
    Job{"\\\\server\\logs\\w3c.log", ""}, Job{"", ""}};

TEST(RoundTrip, LoadsWhatWasSaved) {
    // The first two rows write every option both ways, and CommitRows and not.
    const RoundTripCase cases[] = {
        Same("Jobs", Config(kLayoutJobs, "Logs DB", true, false, true, 500), kJobsLayout),
        Same("EmptyJobList", Config({}, "", false, true, false),
             CrLf({"<?xml version=\"1.0\"?>", "<Brenvale.Config>", "\t<DSN></DSN>",
                   "\t<TruncateOnce>False</TruncateOnce>",
                   "\t<TruncatePerFile>True</TruncatePerFile>",
                   "\t<TranslateASCIICodes>False</TranslateASCIICodes>", "\t<Jobs>", "\t</Jobs>",
                   "</Brenvale.Config>"})),
        // Written as they are: markup, blanks, empty cells and UTF-8.
        Same("Texts",
             Config({Job{"/logs/a&b<c>.log", "\"quoted\" 'table'"}, Job{"x > y", ""},
                     Job{"", "&amp;"}, Job{"  spaced  ", "\t"}, Job{"/logs/café €.log", "tëst"}},
                    " dsn&<\"'> ")),
        Changed("OwnClosingTags", Config({{"a</File>b", "t</DBTable>x"}}, "d</DSN>x"),
                Config({{"a", "t"}}, "d")),
        // The job's own text ends early, so neither cell is closed inside it.
        Changed("FileWithJobClosingTag", Config({{"x</Job>y", "t"}, {"b", "u"}}),
                Config({{"", ""}, {"b", "u"}})),
        // The list ends inside the first job, which then has no "</Job>".
        Changed("FileWithJobsClosingTag", Config({{"x</Jobs>y", "t"}, {"b", "u"}}), Config({})),
        // Positions are not 16-bit here: a list past 32,767 jobs loads whole, nothing is lost.
        Same("ManyJobs", Config(Numbered(32768))),
    };
    for (const RoundTripCase& c : cases) {
        SCOPED_TRACE(c.name);
        Holder writer(c.written);
        std::string path = ScratchDir("config") + "/config.xml";
        std::string error;
        ASSERT_TRUE(SaveConfig(path, "/unused/config.xml", writer, error)) << error;
        if (!c.bytes.empty()) {
            EXPECT_EQ(ReadFile(path), c.bytes);
        }
        Holder reader(Busy());
        LoadInto(reader, path);
        EXPECT_EQ(reader.selected, std::vector<std::string>{c.loaded.dsn});
        EXPECT_EQ(reader.Held(), c.loaded);
    }
}

// --- Reading hand-written files -------------------------------------------------------------

struct ReadCase {
    const char* name;
    std::optional<std::string> dsn; ///< the name selected, if any
    bool optionsOn;                 ///< all three options
    std::vector<Job> jobs;
    std::string bytes;
};

ReadCase Read(const char* name, std::optional<std::string> dsn, bool optionsOn,
              std::vector<Job> jobs, std::string bytes) {
    return {name, std::move(dsn), optionsOn, std::move(jobs), std::move(bytes)};
}

/// A file with `value` in all three options.
ReadCase Options(const char* value, bool on) {
    const std::string v = value;
    return Read(value, "d", on, {},
                "<DSN>d</DSN><TruncateOnce>" + v + "</TruncateOnce><TruncatePerFile>" + v +
                    "</TruncatePerFile><TranslateASCIICodes>" + v + "</TranslateASCIICodes>");
}

/// Loads `c.bytes` into a busy holder and checks all it holds afterwards.
void ExpectRead(const ReadCase& c, std::size_t commitRows = 1) {
    const std::string path = ScratchDir("config") + "/config.xml";
    WriteFile(path, c.bytes);
    Holder holder(Busy());
    LoadInto(holder, path);
    EXPECT_EQ(holder.selected,
              c.dsn ? std::vector<std::string>{*c.dsn} : std::vector<std::string>{});
    const bool on = c.optionsOn;
    EXPECT_EQ(holder.Held(), Config(c.jobs, c.dsn.value_or(Busy().dsn), on, on, on, commitRows));
    EXPECT_EQ(holder.title, "Quorvane Brenvale v0.5.6 - Config: config.xml");
}

TEST(ReadFiles, LoadAsFarAsTheTextAllows) {
    const ReadCase cases[] = {
        Read("EmptyFile", {}, false, {}, ""),
        // Names match in their own case only; a <Job> with lower-case cells is an empty job.
        Read(
            "LowerCaseNames", {}, false, {{"", ""}},
            "<brenvale.config><dsn>x</dsn><truncateonce>True</truncateonce>"
            "<truncateperfile>True</truncateperfile><translateasciicodes>True</translateasciicodes>"
            "<jobs><job><file>a</file><dbtable>t</dbtable></job></jobs></brenvale.config>"
            "<Job><file>a</file><dbtable>t</dbtable></Job>"),
        Read(
            "AttributesAndSelfClosing", {}, false, {{"", "t"}, {"", "u"}},
            "<Brenvale.Config version=\"1\"><DSN name=\"x\">a</DSN><DSN/>"
            "<TruncateOnce v=\"1\">True</TruncateOnce><TruncatePerFile >True</TruncatePerFile>"
            "<TranslateASCIICodes\t>True</TranslateASCIICodes><TranslateASCIICodes/><Jobs>"
            "<Job id=\"1\"><File>a</File></Job><Job><File x=\"\">b</File><DBTable>t</DBTable></Job>"
            "<Job><File/><DBTable>u</DBTable></Job><Job/></Jobs></Brenvale.Config>"),
        // Line ends mean nothing to the reader; without <Jobs> every <Job> counts.
        Read("NoRootNoJobsElement", "d", true, {{"f", "t"}, {"b", ""}},
             "<DSN>d</DSN>\n<TruncateOnce>True</TruncateOnce>\n<TruncatePerFile>True"
             "</TruncatePerFile>\n<TranslateASCIICodes>true</TranslateASCIICodes>\n"
             "<Job><File>f</File><DBTable>t</DBTable></Job>\n<Job><File>b</File></Job>\n"),
        // Only the root's text counts, and in it the first of each element; every job loads.
        Read("FirstInsideTheRootCounts", "first", true, {{"1", "a"}, {"2", ""}, {"", "c"}},
             "<DSN>outer</DSN><TruncateOnce>False</TruncateOnce><Job><File>o</File></Job>"
             "<Brenvale.Config><DSN>first</DSN><DSN>second</DSN>"
             "<TruncateOnce>True</TruncateOnce><TruncateOnce>False</TruncateOnce>"
             "<TruncatePerFile>True</TruncatePerFile><TruncatePerFile>no</TruncatePerFile>"
             "<TranslateASCIICodes>TRUE</TranslateASCIICodes>"
             "<Jobs><Job><File>1</File><File>x</File><DBTable>a</DBTable><DBTable>y</DBTable>"
             "</Job><Job><File>2</File></Job><Job><DBTable>c</DBTable></Job></Jobs>"
             "<Jobs><Job><File>later list</File></Job></Jobs></Brenvale.Config>"),
        Read("JobsClosedWithBlank", {}, false, {{"in", ""}},
             "<Jobs><Job><File>in</File></Job></Jobs ><Job><File>out</File></Job>"),
        Read(
            "Windows1252", "Caf\xC3\xA9", false,
            {{"C:\\Logs\\Caf\xC3\xA9\\w3c.log", "t\xE2\x82\xAC"}},
            CrLf({"<Brenvale.Config>", "\t<DSN>Caf\xE9</DSN>", "\t<Jobs>", "\t\t<Job>",
                  "\t\t\t<File>C:\\Logs\\Caf\xE9\\w3c.log</File>", "\t\t\t<DBTable>t\x80</DBTable>",
                  "\t\t</Job>", "\t</Jobs>", "</Brenvale.Config>"})),
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectRead(c);
    }
}

TEST(ReadOptions, TrueInAnyCaseAndNothingElse) {
    const std::pair<const char*, bool> values[] = {
        {"True", true}, {"true", true},   {"TRUE", true},   {"tRuE", true}, {"1", false},
        {"yes", false}, {" true", false}, {"true ", false}, {"", false},    {"truer", false}};
    for (const auto& [value, on] : values) {
        SCOPED_TRACE(std::string("\"") + value + "\"");
        ExpectRead(Options(value, on));
    }
}

TEST(ReadCommitRows, PositiveDecimalNumbersOnly) {
    const std::pair<std::string, std::size_t> values[] = {
        {"8", 8}, {"0", 1}, {"-3", 1}, {" 8", 1}, {"many", 1}, {"", 1}, {std::string(23, '9'), 1}};
    for (const auto& [value, rows] : values) {
        SCOPED_TRACE(value);
        ExpectRead(Read("", {}, false, {}, "<CommitRows>" + value + "</CommitRows>"), rows);
    }
}

// --- Paths, the missing file and the title --------------------------------------------------

TEST(LoadMissing, ShowsTheMessageUnlessSilentAndChangesNothing) {
    const std::string folder = ScratchDir("config");
    for (const std::string& missing : {folder + "/nothing.xml", folder}) {
        for (const bool silent : {false, true}) {
            SCOPED_TRACE(missing + (silent ? " silent" : " shown"));
            Holder holder(Busy());
            std::string file = missing;
            std::string configPath = "/opt/brenvale/config.xml";
            EXPECT_FALSE(LoadConfig(file, silent, configPath, holder));
            EXPECT_EQ(configPath, "/opt/brenvale/config.xml");
            EXPECT_EQ(file, missing);
            EXPECT_FALSE(holder.title.has_value());
            EXPECT_TRUE(holder.selected.empty());
            EXPECT_EQ(holder.Held(), Busy());
            ASSERT_EQ(holder.prompts.shown.size(), silent ? 0u : 1u);
            if (silent)
                continue;
            const auto& shown = holder.prompts.shown.front();
            EXPECT_EQ(shown.icon, MessageIcon::Critical);
            EXPECT_FALSE(shown.question);
            EXPECT_EQ(shown.title, "Configuration File Missing");
            EXPECT_EQ(shown.text, "The configuration file '" + missing +
                                      "' does not exist.\r\nConfiguration settings cannot be "
                                      "loaded.");
        }
    }
}

TEST(ConfigPath, AfterAFailedLoadSaveAndLoadWithoutANameUseIt) {
    const std::string folder = ScratchDir("config");
    std::string configPath = folder + "/my config.xml";
    WriteFile(configPath, "old contents\r\n");
    ASSERT_EQ(chmod(configPath.c_str(), 0640), 0);
    Holder holder(Config({{"a.log", "t"}}));
    std::string missing = folder + "/missing.xml";
    ASSERT_FALSE(LoadConfig(missing, true, configPath, holder));

    std::string path;
    std::string error;
    ASSERT_TRUE(SaveConfig(path, configPath, holder, error)) << error;
    EXPECT_EQ(path, folder + "/my config.xml");
    EXPECT_EQ(configPath, path);
    EXPECT_NE(ReadFile(path).find("<File>a.log</File>"), std::string::npos);
    // The file was replaced in place: same permissions, nothing else left in the folder.
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

    Holder reader;
    std::string file;
    ASSERT_TRUE(LoadConfig(file, true, configPath, reader));
    EXPECT_EQ(file, path);
    EXPECT_EQ(configPath, path);
    EXPECT_EQ(reader.title, "Quorvane Brenvale v0.5.6 - Config: my config.xml");
}

// --- Failed saves ---------------------------------------------------------------------------

/// Every entry under `folder` with its contents, to show that nothing was left behind.
std::set<std::pair<std::string, std::string>> Snapshot(const std::string& folder) {
    std::set<std::pair<std::string, std::string>> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        entries.emplace(entry.path().string(),
                        entry.is_regular_file() ? ReadFile(entry.path().string()) : "<dir>");
    return entries;
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

TEST(FailedSave, LeavesEverythingAsItWas) {
    struct Case {
        const char* target;
        int error;
        bool diskFull;
    };
    // One failure at each step: making the new file, writing it, renaming it over the target.
    const Case cases[] = {
        {"gone/config.xml", ENOENT, false}, {"config.xml", EFBIG, true}, {"taken", EISDIR, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        const std::string folder = ScratchDir("config");
        WriteFile(folder + "/config.xml", "old contents\r\n");
        fs::create_directory(folder + "/taken");
        WriteFile(folder + "/taken/inside", "kept");
        const auto before = Snapshot(folder);

        Holder writer(Config(Numbered(50))); // well over the disk's 64 bytes
        std::string path = folder + "/" + c.target;
        std::string error;
        std::optional<FileSizeLimit> limit;
        if (c.diskFull)
            limit.emplace(64);
        const bool saved = SaveConfig(path, "/unused/config.xml", writer, error);
        limit.reset();
        EXPECT_FALSE(saved);
        EXPECT_NE(error.find("'" + path + "'"), std::string::npos) << error;
        EXPECT_NE(error.find(std::strerror(c.error)), std::string::npos) << error;
        EXPECT_EQ(Snapshot(folder), before);
    }
}

} // namespace
} // namespace brenvale

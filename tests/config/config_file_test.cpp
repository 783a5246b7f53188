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

/// Case tables print as their names, which keeps the test names short.
template <typename Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

/// What a configuration holds, as one comparable value.
struct Settings {
    std::string dsn;
    bool truncateOnStart = false;
    bool truncateOnInsert = false;
    bool translateASCII = false;
    std::size_t commitRows = 1;
    std::vector<Job> jobs;
};

/// A plain window stand-in: every DSN name counts as listed.
struct Holder final : ConfigSubject {
    Settings s;
    VectorJobList jobs;
    test::ScriptedPrompts prompts;
    std::vector<std::string> selected;
    std::optional<std::string> title;

    Holder() = default;
    explicit Holder(const Settings& settings) : s(settings), jobs(settings.jobs) {}

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

/// A holder with something in every field, so that a load's changes show.
Settings Busy() {
    return {"earlier_dsn", true, true, true, 7, {{"/old/a.log", "old_a"}, {"/old/b.log", "old_b"}}};
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

// --- GetTagContents -------------------------------------------------------------------------

struct TagCase {
    const char* name;
    std::string source, open, close;
    std::vector<std::string> expected;
};

class TagSearch : public ::testing::TestWithParam<TagCase> {};

TEST_P(TagSearch, FindsEveryElementInOrder) {
    const TagCase& c = GetParam();
    EXPECT_EQ(GetTagContents(c.source, c.open, c.close), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TagSearch,
    ::testing::Values(
        TagCase{"Two", "<a>1</a> <a>2</a>", "<a>", "</a>", {"1", "2"}},
        TagCase{"EmptySource", "", "<a>", "</a>", {}},
        TagCase{"EmptyElement", "<a></a>", "<a>", "</a>", {""}},
        TagCase{"NoClosingTag", "<a>1", "<a>", "</a>", {}},
        TagCase{"LastOpenWithoutCloseKeepsEarlier", "<a>1</a><a>2", "<a>", "</a>", {"1"}},
        TagCase{"CaseSensitive", "<A>1</A>", "<a>", "</a>", {}},
        TagCase{"AttributeNotRecognised", "<a x=\"1\">1</a>", "<a>", "</a>", {}},
        TagCase{"SelfClosingNotRecognised", "<a/>", "<a>", "</a>", {}},
        TagCase{"CloseBeforeOpenSkipped", "</a><a>1</a>", "<a>", "</a>", {"1"}},
        TagCase{"NestedSameNameCutAtInnerClose", "<a><a>1</a></a>", "<a>", "</a>", {"<a>1"}},
        TagCase{"CloseTagWithoutBracket", "<Jobs>x</Jobs >", "<Jobs>", "</Jobs", {"x"}},
        TagCase{"MarkupInsideKept", "<a>&amp; < \" '</a>", "<a>", "</a>", {"&amp; < \" '"}},
        // Only the closing tag's first character is dropped, so its rest is searched again.
        TagCase{"RestOfClosingTagSearchedAgain", "b>1/b>2/b>", "b>", "/b>", {"1", "2"}},
        // The closing tag is looked for from one past the opening tag's start.
        TagCase{"CloseInsideOpenGivesEmpty", "<ab>x", "<ab>", "b>", {""}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Writing: exact bytes -------------------------------------------------------------------

struct BytesCase {
    const char* name;
    Settings settings;
    std::string expected;
};

class WrittenBytes : public ::testing::TestWithParam<BytesCase> {};

TEST_P(WrittenBytes, MatchTheLayout) {
    const BytesCase& c = GetParam();
    Holder holder(c.settings);
    std::string path = ScratchDir("config") + "/config.xml";
    std::string error;
    ASSERT_TRUE(SaveConfig(path, "/unused/config.xml", holder, error)) << error;
    EXPECT_EQ(ReadFile(path), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WrittenBytes,
    ::testing::Values(BytesCase{"NoJobs",
                                {"", false, false, false, 1, {}},
                                "<?xml version=\"1.0\"?>\r\n"
                                "<Brenvale.Config>\r\n"
                                "\t<DSN></DSN>\r\n"
                                "\t<TruncateOnce>False</TruncateOnce>\r\n"
                                "\t<TruncatePerFile>False</TruncatePerFile>\r\n"
                                "\t<TranslateASCIICodes>False</TranslateASCIICodes>\r\n"
                                "\t<Jobs>\r\n"
                                "\t</Jobs>\r\n"
                                "</Brenvale.Config>\r\n"},
                      BytesCase{"Jobs",
                                {"brenvale_sqlite",
                                 true,
                                 false,
                                 true,
                                 1,
                                 {{"C:\\Logs\\sc_w3c.log", "log&<\"x\">"}, {"", ""}}},
                                "<?xml version=\"1.0\"?>\r\n"
                                "<Brenvale.Config>\r\n"
                                "\t<DSN>brenvale_sqlite</DSN>\r\n"
                                "\t<TruncateOnce>True</TruncateOnce>\r\n"
                                "\t<TruncatePerFile>False</TruncatePerFile>\r\n"
                                "\t<TranslateASCIICodes>True</TranslateASCIICodes>\r\n"
                                "\t<Jobs>\r\n"
                                "\t\t<Job>\r\n"
                                "\t\t\t<File>C:\\Logs\\sc_w3c.log</File>\r\n"
                                "\t\t\t<DBTable>log&<\"x\"></DBTable>\r\n"
                                "\t\t</Job>\r\n"
                                "\t\t<Job>\r\n"
                                "\t\t\t<File></File>\r\n"
                                "\t\t\t<DBTable></DBTable>\r\n"
                                "\t\t</Job>\r\n"
                                "\t</Jobs>\r\n"
                                "</Brenvale.Config>\r\n"},
                      BytesCase{"CommitRows",
                                {"pg", false, true, false, 500, {{"http://127.0.0.1/log", "t"}}},
                                "<?xml version=\"1.0\"?>\r\n"
                                "<Brenvale.Config>\r\n"
                                "\t<DSN>pg</DSN>\r\n"
                                "\t<TruncateOnce>False</TruncateOnce>\r\n"
                                "\t<TruncatePerFile>True</TruncatePerFile>\r\n"
                                "\t<TranslateASCIICodes>False</TranslateASCIICodes>\r\n"
                                "\t<CommitRows>500</CommitRows>\r\n"
                                "\t<Jobs>\r\n"
                                "\t\t<Job>\r\n"
                                "\t\t\t<File>http://127.0.0.1/log</File>\r\n"
                                "\t\t\t<DBTable>t</DBTable>\r\n"
                                "\t\t</Job>\r\n"
                                "\t</Jobs>\r\n"
                                "</Brenvale.Config>\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Save, then load ------------------------------------------------------------------------

struct RoundTripCase {
    const char* name;
    Settings written;
    Settings loaded;
};

RoundTripCase Same(const char* name, const Settings& settings) {
    return {name, settings, settings};
}

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, LoadsWhatWasSaved) {
    const RoundTripCase& c = GetParam();
    Holder writer(c.written);
    std::string path = ScratchDir("config") + "/config.xml";
    std::string error;
    ASSERT_TRUE(SaveConfig(path, "/unused/config.xml", writer, error)) << error;

    Holder reader(Busy());
    LoadInto(reader, path);
    EXPECT_EQ(reader.selected, std::vector<std::string>{c.loaded.dsn});
    EXPECT_EQ(reader.s.truncateOnStart, c.loaded.truncateOnStart);
    EXPECT_EQ(reader.s.truncateOnInsert, c.loaded.truncateOnInsert);
    EXPECT_EQ(reader.s.translateASCII, c.loaded.translateASCII);
    EXPECT_EQ(reader.s.commitRows, c.loaded.commitRows);
    EXPECT_EQ(reader.jobs.Jobs(), c.loaded.jobs);
}

Settings WithJobs(std::vector<Job> jobs, std::string dsn = "dsn") {
    return {std::move(dsn), false, false, false, 1, std::move(jobs)};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RoundTrip,
    ::testing::Values(
        Same("Markup", WithJobs({{"/logs/a&b<c>.log", "\"quoted\" 'table'"}, {"x > y", "&amp;"}},
                                "dsn&<\"'>")),
        Same("EmptyJobList", {"", true, false, true, 1, {}}),
        Same("EmptyCells", WithJobs({{"", ""}, {"a.log", ""}, {"", "t"}})),
        Same("BlanksAndTabsKept", WithJobs({{"  spaced  ", "\t"}}, " dsn ")),
        Same("Utf8", WithJobs({{"/logs/café €.log", "tëst"}})),
        Same("AllOptionsAndCommitRows", {"d", true, true, true, 250, {{"a", "b"}}}),
        RoundTripCase{"FileWithItsClosingTag", WithJobs({{"a</File>b", "t"}}),
                      WithJobs({{"a", "t"}})},
        RoundTripCase{"TableWithItsClosingTag", WithJobs({{"f", "t</DBTable>x"}}),
                      WithJobs({{"f", "t"}})},
        RoundTripCase{"DsnWithItsClosingTag", WithJobs({}, "d</DSN>x"), WithJobs({}, "d")},
        // The job's own text ends early, so neither cell is closed inside it.
        RoundTripCase{"FileWithJobClosingTag", WithJobs({{"x</Job>y", "t"}, {"b", "u"}}),
                      WithJobs({{"", ""}, {"b", "u"}})},
        // The list ends inside the first job, which then has no "</Job>".
        RoundTripCase{"FileWithJobsClosingTag", WithJobs({{"x</Jobs>y", "t"}, {"b", "u"}}),
                      WithJobs({})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RoundTripLimit, LoadsTheMostJobsAndNoMore) {
    std::vector<Job> jobs;
    for (int i = 1; i <= kMaxConfigJobs; ++i)
        jobs.push_back({"/logs/" + std::to_string(i) + ".log", "t" + std::to_string(i)});
    const std::string folder = ScratchDir("config");

    Holder writer(WithJobs(jobs));
    std::string path = folder + "/max.xml";
    std::string error;
    ASSERT_TRUE(SaveConfig(path, "", writer, error)) << error;
    Holder reader;
    LoadInto(reader, path);
    ASSERT_EQ(reader.jobs.Count(), kMaxConfigJobs);
    EXPECT_EQ(reader.jobs.Jobs(), jobs);

    writer.jobs.Append();
    writer.jobs.SetText(kMaxConfigJobs + 1, kColumnFile, "one too many");
    std::string over = folder + "/over.xml";
    ASSERT_TRUE(SaveConfig(over, "", writer, error)) << error;
    LoadInto(reader, over);
    EXPECT_EQ(reader.jobs.Jobs(), jobs);
}

// --- Reading hand-written files -------------------------------------------------------------

struct ReadCase {
    const char* name;
    std::string bytes;
    std::optional<std::string> dsn; ///< the name selected, if any
    bool optionsOn;                 ///< all three options
    std::vector<Job> jobs;
};

class ReadFiles : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadFiles, LoadAsFarAsTheTextAllows) {
    const ReadCase& c = GetParam();
    const std::string path = ScratchDir("config") + "/config.xml";
    WriteFile(path, c.bytes);
    Holder holder(Busy());
    LoadInto(holder, path);
    EXPECT_EQ(holder.selected,
              c.dsn ? std::vector<std::string>{*c.dsn} : std::vector<std::string>{});
    EXPECT_EQ(holder.s.dsn, c.dsn.value_or(Busy().dsn));
    EXPECT_EQ(holder.s.truncateOnStart, c.optionsOn);
    EXPECT_EQ(holder.s.truncateOnInsert, c.optionsOn);
    EXPECT_EQ(holder.s.translateASCII, c.optionsOn);
    EXPECT_EQ(holder.s.commitRows, 1u);
    EXPECT_EQ(holder.jobs.Jobs(), c.jobs);
    EXPECT_EQ(holder.title, "Quorvane Brenvale v0.5.6 - Config: config.xml");
}

/// A file in the written layout with `value` in each of the three options.
std::string WithOptions(const std::string& value) {
    return CrLf({"<?xml version=\"1.0\"?>", "<Brenvale.Config>", "\t<DSN>d</DSN>",
                 "\t<TruncateOnce>" + value + "</TruncateOnce>",
                 "\t<TruncatePerFile>" + value + "</TruncatePerFile>",
                 "\t<TranslateASCIICodes>" + value + "</TranslateASCIICodes>", "\t<Jobs>",
                 "\t</Jobs>", "</Brenvale.Config>"});
}

ReadCase OptionCase(const char* name, const std::string& value, bool on) {
    return {name, WithOptions(value), "d", on, {}};
}

INSTANTIATE_TEST_SUITE_P(
    OptionValues, ReadFiles,
    ::testing::Values(OptionCase("True", "True", true), OptionCase("Lower", "true", true),
                      OptionCase("Upper", "TRUE", true), OptionCase("Mixed", "tRuE", true),
                      OptionCase("One", "1", false), OptionCase("Yes", "yes", false),
                      OptionCase("BlankBefore", " true", false),
                      OptionCase("BlankAfter", "true ", false), OptionCase("Empty", "", false),
                      OptionCase("False", "False", false), OptionCase("Longer", "truer", false)),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Shapes, ReadFiles,
    ::testing::Values(
        ReadCase{"Empty", "", std::nullopt, false, {}},
        ReadCase{"LowerCaseNames",
                 "<brenvale.config><dsn>x</dsn><truncateonce>True</truncateonce>"
                 "<truncateperfile>True</truncateperfile>"
                 "<translateasciicodes>True</translateasciicodes>"
                 "<jobs><job><file>a</file><dbtable>t</dbtable></job></jobs></brenvale.config>",
                 std::nullopt,
                 false,
                 {}},
        ReadCase{"LowerCaseCells",
                 "<Jobs><Job><file>a</file><dbtable>t</dbtable></Job></Jobs>",
                 std::nullopt,
                 false,
                 {{"", ""}}},
        ReadCase{"Attributes",
                 "<Brenvale.Config version=\"1\"><DSN name=\"x\">a</DSN>"
                 "<TruncateOnce v=\"1\">True</TruncateOnce><TruncatePerFile >True</TruncatePerFile>"
                 "<TranslateASCIICodes\t>True</TranslateASCIICodes>"
                 "<Jobs><Job id=\"1\"><File>a</File></Job>"
                 "<Job><File x=\"\">b</File><DBTable>t</DBTable></Job></Jobs></Brenvale.Config>",
                 std::nullopt,
                 false,
                 {{"", "t"}}},
        ReadCase{"SelfClosing",
                 "<Brenvale.Config><DSN/><TruncateOnce/><TruncatePerFile />"
                 "<TranslateASCIICodes/><Jobs><Job><File/><DBTable>t</DBTable></Job>"
                 "<Job/></Jobs></Brenvale.Config>",
                 std::nullopt,
                 false,
                 {{"", "t"}}},
        ReadCase{"NoRootNoDeclaration",
                 "<DSN>d</DSN><TruncateOnce>True</TruncateOnce><TruncatePerFile>True"
                 "</TruncatePerFile><TranslateASCIICodes>true</TranslateASCIICodes>"
                 "<Jobs><Job><File>f</File><DBTable>t</DBTable></Job></Jobs>",
                 "d",
                 true,
                 {{"f", "t"}}},
        ReadCase{"OutsideRootIgnored",
                 "<DSN>outer</DSN><TruncateOnce>True</TruncateOnce><Job><File>o</File></Job>"
                 "<Brenvale.Config><DSN>inner</DSN><Jobs><Job><File>i</File></Job></Jobs>"
                 "</Brenvale.Config>",
                 "inner",
                 false,
                 {{"i", ""}}},
        ReadCase{"OnlyFirstCountsEveryJobLoads",
                 "<Brenvale.Config><DSN>first</DSN><DSN>second</DSN>"
                 "<TruncateOnce>True</TruncateOnce><TruncateOnce>False</TruncateOnce>"
                 "<TruncatePerFile>True</TruncatePerFile><TruncatePerFile>no</TruncatePerFile>"
                 "<TranslateASCIICodes>TRUE</TranslateASCIICodes>"
                 "<Jobs><Job><File>1</File><File>x</File><DBTable>a</DBTable><DBTable>y</DBTable>"
                 "</Job><Job><File>2</File></Job><Job><DBTable>c</DBTable></Job></Jobs>"
                 "<Jobs><Job><File>later list</File></Job></Jobs></Brenvale.Config>",
                 "first",
                 true,
                 {{"1", "a"}, {"2", ""}, {"", "c"}}},
        ReadCase{"JobsClosedWithBlank",
                 "<Jobs><Job><File>in</File></Job></Jobs ><Job><File>out</File></Job>",
                 std::nullopt,
                 false,
                 {{"in", ""}}},
        ReadCase{"NoJobsElement",
                 "<Job><File>a</File></Job><Job><File>b</File></Job>",
                 std::nullopt,
                 false,
                 {{"a", ""}, {"b", ""}}},
        ReadCase{"EmptyDsnElementIsNamed", "<DSN></DSN>", "", false, {}},
        ReadCase{"WindowsWritten",
                 CrLf({"<?xml version=\"1.0\"?>", "<Brenvale.Config>", "\t<DSN>Logs DB</DSN>",
                       "\t<TruncateOnce>True</TruncateOnce>",
                       "\t<TruncatePerFile>True</TruncatePerFile>",
                       "\t<TranslateASCIICodes>True</TranslateASCIICodes>", "\t<Jobs>", "\t\t<Job>",
                       "\t\t\t<File>C:\\Program Files\\SHOUTcast\\sc_w3c.log</File>",
                       "\t\t\t<DBTable>dbo.shoutcast</DBTable>", "\t\t</Job>", "\t\t<Job>",
                       "\t\t\t<File>\\\\server\\logs\\w3c.log</File>", "\t\t\t<DBTable></DBTable>",
                       "\t\t</Job>", "\t</Jobs>", "</Brenvale.Config>"}),
                 "Logs DB",
                 true,
                 {{"C:\\Program Files\\SHOUTcast\\sc_w3c.log", "dbo.shoutcast"},
                  {"\\\\server\\logs\\w3c.log", ""}}},
        ReadCase{"LineFeedsOnly",
                 "<?xml version=\"1.0\"?>\n<Brenvale.Config>\n\t<DSN>d</DSN>\n"
                 "\t<TruncateOnce>True</TruncateOnce>\n\t<TruncatePerFile>True</TruncatePerFile>\n"
                 "\t<TranslateASCIICodes>True</TranslateASCIICodes>\n\t<Jobs>\n\t\t<Job>\n"
                 "\t\t\t<File>/var/log/sc_w3c.log</File>\n\t\t\t<DBTable>t</DBTable>\n"
                 "\t\t</Job>\n\t</Jobs>\n</Brenvale.Config>\n",
                 "d",
                 true,
                 {{"/var/log/sc_w3c.log", "t"}}},
        ReadCase{
            "Windows1252",
            CrLf({"<Brenvale.Config>", "\t<DSN>Caf\xE9</DSN>", "\t<Jobs>", "\t\t<Job>",
                  "\t\t\t<File>C:\\Logs\\Caf\xE9\\w3c.log</File>", "\t\t\t<DBTable>t\x80</DBTable>",
                  "\t\t</Job>", "\t</Jobs>", "</Brenvale.Config>"}),
            "Caf\xC3\xA9",
            false,
            {{"C:\\Logs\\Caf\xC3\xA9\\w3c.log", "t\xE2\x82\xAC"}}},
        ReadCase{"Utf8KeptAsIs",
                 "<DSN>Caf\xC3\xA9</DSN><Job><File>\xE2\x82\xAC.log</File></Job>",
                 "Caf\xC3\xA9",
                 false,
                 {{"\xE2\x82\xAC.log", ""}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct CommitRowsCase {
    const char* name;
    std::string element;
    std::size_t expected;
};

class CommitRowsValues : public ::testing::TestWithParam<CommitRowsCase> {};

TEST_P(CommitRowsValues, PositiveIntegersOnly) {
    const CommitRowsCase& c = GetParam();
    const std::string path = ScratchDir("config") + "/config.xml";
    WriteFile(path, "<Brenvale.Config>" + c.element + "<Jobs></Jobs></Brenvale.Config>");
    Holder holder(Busy());
    LoadInto(holder, path);
    EXPECT_EQ(holder.s.commitRows, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommitRowsValues,
    ::testing::Values(CommitRowsCase{"Missing", "", 1},
                      CommitRowsCase{"Eight", "<CommitRows>8</CommitRows>", 8},
                      CommitRowsCase{"One", "<CommitRows>1</CommitRows>", 1},
                      CommitRowsCase{"Zero", "<CommitRows>0</CommitRows>", 1},
                      CommitRowsCase{"Negative", "<CommitRows>-3</CommitRows>", 1},
                      CommitRowsCase{"Blank", "<CommitRows> 8</CommitRows>", 1},
                      CommitRowsCase{"Word", "<CommitRows>many</CommitRows>", 1},
                      CommitRowsCase{"Empty", "<CommitRows></CommitRows>", 1},
                      CommitRowsCase{"TooLarge", "<CommitRows>99999999999999999999999</CommitRows>",
                                     1}),
    [](const auto& info) { return std::string(info.param.name); });

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
            EXPECT_EQ(holder.s.dsn, Busy().dsn);
            EXPECT_TRUE(holder.s.truncateOnStart && holder.s.truncateOnInsert &&
                        holder.s.translateASCII);
            EXPECT_EQ(holder.s.commitRows, 7u);
            EXPECT_EQ(holder.jobs.Jobs(), Busy().jobs);
            if (silent) {
                EXPECT_TRUE(holder.prompts.shown.empty());
                continue;
            }
            ASSERT_EQ(holder.prompts.shown.size(), 1u);
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

TEST(LoadPath, EmptyNameUsesConfigPathAndTitleNamesTheFile) {
    const std::string path = ScratchDir("config") + "/my config.xml";
    WriteFile(path, "<Jobs><Job><File>a</File></Job></Jobs>");

    Holder holder;
    std::string file;
    std::string configPath = path;
    ASSERT_TRUE(LoadConfig(file, true, configPath, holder));
    EXPECT_EQ(file, path);
    EXPECT_EQ(configPath, path);
    EXPECT_EQ(holder.title, "Quorvane Brenvale v0.5.6 - Config: my config.xml");

    // Given by name from elsewhere, the loaded path becomes the configuration path.
    Holder other;
    file = path;
    configPath = "/elsewhere/config.xml";
    ASSERT_TRUE(LoadConfig(file, false, configPath, other));
    EXPECT_EQ(configPath, path);
    EXPECT_EQ(other.title, "Quorvane Brenvale v0.5.6 - Config: my config.xml");
}

TEST(SavePath, EmptyNameWritesConfigPathEvenAfterAFailedLoad) {
    const std::string folder = ScratchDir("config");
    std::string configPath = folder + "/config.xml";
    Holder holder(WithJobs({{"a.log", "t"}}));

    std::string missing = folder + "/missing.xml";
    ASSERT_FALSE(LoadConfig(missing, true, configPath, holder));

    std::string path;
    std::string error;
    ASSERT_TRUE(SaveConfig(path, configPath, holder, error)) << error;
    EXPECT_EQ(path, folder + "/config.xml");
    EXPECT_EQ(configPath, folder + "/config.xml");
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_NE(ReadFile(path).find("<File>a.log</File>"), std::string::npos);
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

struct FailedSaveCase {
    const char* name;
    int error;
    /// Prepares `folder` and gives the target path.
    std::string (*setup)(const std::string& folder);
    bool limitFileSize;
};

class FailedSave : public ::testing::TestWithParam<FailedSaveCase> {};

TEST_P(FailedSave, LeavesEverythingAsItWas) {
    const FailedSaveCase& c = GetParam();
    const std::string folder = ScratchDir("config");
    WriteFile(folder + "/config.xml", "old contents\r\n");
    std::string path = c.setup(folder);
    const auto before = Snapshot(folder);

    std::vector<Job> jobs(50, Job{"/logs/some/long/path/to/a/log/file.log", "a_table"});
    Holder holder(WithJobs(jobs));
    std::string error;
    bool saved = true;
    {
        std::optional<FileSizeLimit> limit;
        if (c.limitFileSize)
            limit.emplace(64);
        saved = SaveConfig(path, "/unused/config.xml", holder, error);
    }
    EXPECT_FALSE(saved);
    EXPECT_NE(error.find("'" + path + "'"), std::string::npos) << error;
    EXPECT_NE(error.find(std::strerror(c.error)), std::string::npos) << error;
    EXPECT_EQ(Snapshot(folder), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedSave,
    ::testing::Values(
        FailedSaveCase{"FolderIsAFile", ENOTDIR,
                       [](const std::string& folder) {
                           WriteFile(folder + "/plain", "a file");
                           return folder + "/plain/config.xml";
                       },
                       false},
        FailedSaveCase{"TargetIsAFolder", EISDIR,
                       [](const std::string& folder) {
                           fs::create_directory(folder + "/taken");
                           WriteFile(folder + "/taken/inside", "kept");
                           return folder + "/taken";
                       },
                       false},
        FailedSaveCase{"FolderMissing", ENOENT,
                       [](const std::string& folder) { return folder + "/gone/config.xml"; },
                       false},
        FailedSaveCase{"DiskFull", EFBIG,
                       [](const std::string& folder) { return folder + "/config.xml"; }, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SaveOver, ReplacesTheFileAndKeepsItsPermissions) {
    const std::string folder = ScratchDir("config");
    std::string path = folder + "/config.xml";
    WriteFile(path, "old contents\r\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);

    Holder holder(WithJobs({{"a", "b"}}));
    std::string error;
    ASSERT_TRUE(SaveConfig(path, "", holder, error)) << error;
    EXPECT_NE(ReadFile(path).find("<File>a</File>"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

} // namespace
} // namespace brenvale

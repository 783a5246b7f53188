// The main window through the Qt test framework: start-up and the command line, the job grid,
// configuration files, the DSN list and a whole run, against the test environment's databases.
#include "ui/frm_main.h"

#include "core/version.h"
#include "data/shell_and_wait.h"
#include "support/test_support.h"
#include "ui/file_dialogs.h"
#include "ui/frm_add_url.h"
#include "ui/frm_select_table.h"
#include "ui/frm_status.h"
#include "ui/qt_test_app.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <cctype>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace brenvale {

bool operator==(const Job& a, const Job& b) {
    return a.File == b.File && a.DBTable == b.DBTable;
}
void PrintTo(const Job& job, std::ostream* out) {
    *out << "{\"" << job.File << "\", \"" << job.DBTable << "\"}";
}

namespace test {
namespace {

namespace fs = std::filesystem;

std::string LogText(int lines) {
    std::string text = "#Software: SHOUTcast\n#Fields: c-ip c-dns date time cs-uri-stem c-status "
                       "cs(User-Agent) sc-bytes x-duration avgbandwidth\n";
    for (int i = 0; i < lines; ++i)
        text += "192.0.2.10 host" + std::to_string(i) +
                " 2006-11-26 13:05:00 /stream 200 Player%2F1.0 4096 60 64\n";
    return text;
}

std::string ConfigText(const std::string& dsn, const std::vector<Job>& jobs) {
    std::string text = "<?xml version=\"1.0\"?>\r\n<Brenvale.Config>\r\n\t<DSN>" + dsn +
                       "</DSN>\r\n\t<TruncateOnce>True</TruncateOnce>\r\n\t<TruncatePerFile>False"
                       "</TruncatePerFile>\r\n\t<TranslateASCIICodes>True</TranslateASCIICodes>"
                       "\r\n\t<Jobs>\r\n";
    for (const Job& job : jobs)
        text += "\t\t<Job>\r\n\t\t\t<File>" + job.File + "</File>\r\n\t\t\t<DBTable>" +
                job.DBTable + "</DBTable>\r\n\t\t</Job>\r\n";
    return text + "\t</Jobs>\r\n</Brenvale.Config>\r\n";
}

/// Answers the modal windows that open inside the window's own event loops, on each pass of the
/// loop; a modal window nobody scripted is closed and recorded, so a test never hangs on one.
class ModalDriver {
public:
    std::function<void(frmSelectTable&)> onChooser;
    std::function<void(frmAddURL&)> onAddUrl;
    int choosersShown = 0;
    int addUrlsShown = 0;
    std::vector<std::string> unexpected;
    /// Called on every pass, modal window or not (a run's yields included).
    std::function<void()> onTick;

    ModalDriver() {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
        timer_.start();
    }

private:
    void Tick() {
        if (onTick)
            onTick();
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible())
            return;
        if (auto* chooser = qobject_cast<frmSelectTable*>(modal)) {
            ++choosersShown;
            if (onChooser)
                onChooser(*chooser);
            else
                chooser->close();
        } else if (auto* addUrl = qobject_cast<frmAddURL*>(modal)) {
            ++addUrlsShown;
            if (onAddUrl)
                onAddUrl(*addUrl);
            else
                addUrl->close();
        } else if (qobject_cast<frmStatus*>(modal) == nullptr) {
            unexpected.push_back(modal->metaObject()->className());
            modal->close();
        }
    }

    QTimer timer_;
};

/// Picks `name` in the chooser as a click on it does.
void Pick(frmSelectTable& chooser, const std::string& name) {
    const auto found = chooser.lstTables->findItems(QString::fromStdString(name),
                                                    Qt::MatchExactly | Qt::MatchCaseSensitive);
    ASSERT_FALSE(found.isEmpty()) << name << " is not offered";
    chooser.lstTables->setCurrentItem(found.front());
}

struct DialogCall {
    bool save;
    std::string title;
    std::string filter;
    int filterIndex;
};

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = ScratchDir("mw");
        SetFileDialogScript([this](bool save, const std::string& title, const std::string& filter,
                                   int filterIndex) {
            dialogCalls.push_back({save, title, filter, filterIndex});
            if (dialogAnswers.empty())
                return std::string();
            std::string answer = dialogAnswers.front();
            dialogAnswers.pop_front();
            return answer;
        });
        NewWindow();
    }
    void TearDown() override {
        if (driver) {
            EXPECT_TRUE(driver->unexpected.empty()) << driver->unexpected.front();
        }
        driver.reset();
        window.reset();
        SetFileDialogScript(nullptr);
    }

    /// A fresh window on the scratch folder, not yet loaded.
    void NewWindow() {
        driver.reset();
        window = std::make_unique<frmMain>(&prompts);
        window->SetProgramFolder(folder);
        driver = std::make_unique<ModalDriver>();
    }

    /// Selects `dsn` in the DSN list as the user's pick does.
    void PickDsn(const std::string& dsn) {
        QComboBox& list = *window->cboDSNList;
        const int index = list.findText(QString::fromStdString(dsn));
        ASSERT_GE(index, 0) << dsn << " is not listed";
        list.setCurrentIndex(index);
        emit list.activated(index);
    }

    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = folder + "/" + name;
        WriteFile(path, bytes);
        return path;
    }

    std::vector<Job> Jobs() const {
        std::vector<Job> jobs;
        for (int row = 1; row <= window->Count(); ++row)
            jobs.push_back({window->Text(row, kColumnFile), window->Text(row, kColumnTable)});
        return jobs;
    }

    std::vector<std::string> Titles() const {
        std::vector<std::string> titles;
        for (const auto& shown : prompts.shown)
            titles.push_back(shown.title);
        return titles;
    }

    ScriptedPrompts prompts;
    std::string folder;
    std::deque<std::string> dialogAnswers;
    std::vector<DialogCall> dialogCalls;
    std::unique_ptr<frmMain> window;
    std::unique_ptr<ModalDriver> driver;
};

// ---------------------------------------------------------------------------------------------

struct CommandCase {
    const char* reason;
    const char* arguments;
    const char* configPath;
    bool hasConfig;
    const char* switchText;
    bool runAll;
    bool quit;
};

void PrintTo(const CommandCase& c, std::ostream* out) {
    for (const char* ch = c.reason; *ch != '\0'; ++ch)
        *out << (std::isalnum(static_cast<unsigned char>(*ch)) ? *ch : '_');
}

class CommandLineTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandLineTest, Parses) {
    const CommandCase& c = GetParam();
    const StartupCommand command = ParseCommandLine(c.arguments);
    EXPECT_EQ(command.configPath, c.configPath);
    EXPECT_EQ(command.hasConfig, c.hasConfig);
    EXPECT_EQ(command.switchText, c.switchText);
    EXPECT_EQ(command.runAll, c.runAll);
    EXPECT_EQ(command.quit, c.quit);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTest,
    ::testing::Values(
        CommandCase{"nothing", "", "", false, "", false, false},
        CommandCase{"switches before the path", "/a /q /c /x/cfg.xml", "/x/cfg.xml", true,
                    "/a /q /", true, true},
        CommandCase{"switches after the path belong to it", "/c /x/cfg.xml /a /q",
                    "/x/cfg.xml /a /q", true, "/", false, false},
        CommandCase{"capitals are not switches", "/A /Q /C /x/my.xml", "", false,
                    "/A /Q /C /x/my.xml", false, false},
        CommandCase{"quotes stay in the path", "/c \"/x/my cfg.xml\"", "\"/x/my cfg.xml\"", true,
                    "/", false, false},
        CommandCase{"/c alone names the default", "/c", "", true, "/", false, false},
        CommandCase{"blanks around the path go", "/a/c   x.xml  ", "x.xml", true, "/a/", true,
                    false},
        CommandCase{"a longer word counts as /a", "/all", "", false, "/all", true, false},
        CommandCase{"a longer word counts as /q", "/quiet", "", false, "/quiet", false, true}));

TEST(ArgumentTextTest, JoinsWithSingleBlanks) {
    const char* argv[] = {"brenvale", "/a", "/c", "my file.xml"};
    EXPECT_EQ(ArgumentText(4, argv), "/a /c my file.xml");
    EXPECT_EQ(ArgumentText(1, argv), "");
}

// ---------------------------------------------------------------------------------------------

struct StartupCase {
    const char* name;      ///< also the table's suffix
    const char* arguments; ///< "{cfg}" stands for the path of an existing configuration
    bool defaultFile;      ///< a config.xml in the program's folder
    const char* title;     ///< expected title after " v0.5.6", empty for none
    const char* message;   ///< part of the one expected message, empty for none
    long rows;             ///< rows loaded into the case's table
    bool keepsRunning;
};

TEST_F(MainWindowTest, StartUpWithEachCommandLine) {
    const StartupCase cases[] = {
        {"aqc", "/a /q /c {cfg}", false, " - Config: jobs.xml", "", 3, false},
        {"cpath_aq", "/c {cfg} /a /q", false, "", "{cfg} /a /q' does not exist.", 0, true},
        {"capitals", "/A /Q /C jobs.xml", true, " - Config: config.xml", "", 0, true},
        {"quoted", "/c \"{cfg}\"", false, "", "'\"{cfg}\"' does not exist.", 0, true},
        {"nothing_default", "", true, " - Config: config.xml", "", 0, true},
        {"nothing_at_all", "", false, "", "", 0, true},
        {"c_alone", "/c", false, "", "/config.xml' does not exist.", 0, true},
        {"all", "/all /c {cfg}", false, " - Config: jobs.xml", "", 3, true},
        {"quiet", "/quiet /c {cfg}", false, " - Config: jobs.xml", "", 0, false},
    };
    TestDatabase db(kSqliteDsn);
    const std::string log = Write("start.log", LogText(3));
    for (const StartupCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string table = std::string("mw_start_") + c.name;
        db.CreateLogTable(table);
        folder = ScratchDir(c.name);
        const std::string cfg = Write("jobs.xml", ConfigText(kSqliteDsn, {{log, table}}));
        const std::string defaultText = ConfigText("", {{"default.log", "mw_default"}});
        if (c.defaultFile)
            Write("config.xml", defaultText);
        const auto expand = [&](std::string text) {
            for (auto at = text.find("{cfg}"); at != std::string::npos; at = text.find("{cfg}"))
                text.replace(at, 5, cfg);
            return text;
        };
        prompts.shown.clear();
        NewWindow();

        EXPECT_EQ(window->Form_Load(expand(c.arguments)), c.keepsRunning);

        EXPECT_EQ(window->windowTitle().toStdString(), ProgramTitle() + c.title);
        if (*c.message == '\0') {
            EXPECT_TRUE(prompts.shown.empty());
        } else {
            ASSERT_EQ(Titles(), std::vector<std::string>{"Configuration File Missing"});
            EXPECT_NE(prompts.shown[0].text.find(expand(c.message)), std::string::npos)
                << prompts.shown[0].text;
            EXPECT_TRUE(Jobs().empty());
        }
        EXPECT_EQ(db.Count(table), c.rows);
        EXPECT_TRUE(window->isVisible());
        EXPECT_TRUE(window->isEnabled());
        window.reset();
        // Ending through "/q" or being destroyed saves nothing.
        EXPECT_EQ(ReadFile(cfg), ConfigText(kSqliteDsn, {{log, table}}));
        EXPECT_EQ(fs::exists(folder + "/config.xml"), c.defaultFile);
        db.TryExec("DROP TABLE " + table);
    }
}

TEST_F(MainWindowTest, InitialWindow) {
    window->Form_Load("");
    EXPECT_EQ(window->windowTitle().toStdString(), "Quorvane Brenvale v0.5.6");
    EXPECT_EQ(window->size(), QSize(576, 449));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(window->ConfigPath(), folder + "/config.xml");
    QHeaderView& header = *window->gridFiles->horizontalHeader();
    ASSERT_EQ(window->gridFiles->columnCount(), 2);
    EXPECT_EQ(window->gridFiles->horizontalHeaderItem(0)->text(), "Log File");
    EXPECT_EQ(window->gridFiles->horizontalHeaderItem(1)->text(), "Target Table");
    EXPECT_EQ(header.sectionSize(0), 413);
    EXPECT_EQ(header.sectionSize(1), 132);
    EXPECT_TRUE(window->chkTruncateOnStart->isChecked());
    EXPECT_FALSE(window->chkTruncateOnInsert->isChecked());
    EXPECT_TRUE(window->chkTranslateASCII->isChecked());
    EXPECT_TRUE(window->chkSaveConfigOnExit->isChecked());
    EXPECT_FALSE(window->txtEdit->isVisible());
    EXPECT_FALSE(window->cboTables->isVisible());
    EXPECT_EQ(window->cboDSNList->currentIndex(), -1);
    EXPECT_EQ(window->focusWidget(), window->cmdStart);
    EXPECT_FALSE(window->conn.IsOpen());
}

TEST_F(MainWindowTest, CloseSavesOnlyWhenAsked) {
    window->Form_Load("");
    window->AddFile("/logs/a.log");
    window->chkSaveConfigOnExit->setChecked(false);
    window->close();
    EXPECT_FALSE(fs::exists(folder + "/config.xml"));

    NewWindow();
    window->Form_Load("");
    window->AddFile("/logs/b.log");
    window->close();
    EXPECT_NE(ReadFile(folder + "/config.xml").find("<File>/logs/b.log</File>"), std::string::npos);

    // A folder that is not there: the reason is shown and the window still closes.
    window->SetProgramFolder(folder + "/gone");
    window->Form_Load("");
    window->show();
    window->close();
    EXPECT_FALSE(window->isVisible());
    ASSERT_EQ(Titles(), std::vector<std::string>{"Configuration Not Saved"});
    EXPECT_NE(prompts.shown[0].text.find(folder + "/gone/config.xml"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------

TEST_F(MainWindowTest, AddFileThenPickOrCloseTheChooser) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("mw_pick");
    window->Form_Load("");
    PickDsn(kSqliteDsn);

    driver->onChooser = [](frmSelectTable& chooser) { Pick(chooser, "mw_pick"); };
    dialogAnswers = {"/logs/a.log"};
    window->cmdAddFile_Click();
    ASSERT_EQ(dialogCalls.size(), 1u);
    EXPECT_FALSE(dialogCalls[0].save);
    EXPECT_EQ(dialogCalls[0].title, "Choose a valid SHOUTcast W3C Formatted Log File");
    EXPECT_EQ(dialogCalls[0].filter,
              "Log Files (*.log)|*.log|Text Files (*.txt)|*.txt|All Files (*.*)|*.*");
    EXPECT_EQ(dialogCalls[0].filterIndex, 1);

    driver->onChooser = [](frmSelectTable& chooser) { chooser.close(); };
    dialogAnswers = {"/logs/a.log"};
    window->cmdAddFile_Click();
    EXPECT_EQ(driver->choosersShown, 2);

    // A cancelled dialog adds nothing and asks for no table.
    window->cmdAddFile_Click();
    EXPECT_EQ(driver->choosersShown, 2);
    EXPECT_EQ(Jobs(), (std::vector<Job>{{"/logs/a.log", "mw_pick"}, {"/logs/a.log", ""}}));
    EXPECT_TRUE(prompts.shown.empty());
    db.TryExec("DROP TABLE mw_pick");
}

TEST_F(MainWindowTest, DeleteRemovesTheSelectedRowOnly) {
    window->Form_Load("");
    window->cmdDelete_Click(); // empty list
    for (const char* file : {"one", "two", "three"})
        window->AddFile(file);
    window->AddFile("");
    window->gridFiles->clearSelection();
    window->cmdDelete_Click();
    EXPECT_EQ(window->Count(), 3);

    window->gridFiles->selectRow(1);
    window->cmdDelete_Click();
    EXPECT_EQ(Jobs(), (std::vector<Job>{{"one", ""}, {"three", ""}}));
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(MainWindowTest, EditingATargetTableNeedsADsn) {
    window->Form_Load("");
    window->AddFile("a.log");
    window->SetText(1, kColumnTable, "old");
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(window->StartCellEdit(1, kColumnTable));
        EXPECT_FALSE(window->cboTables->isVisible());
    }
    ASSERT_EQ(prompts.shown.size(), 2u);
    EXPECT_EQ(prompts.shown[1].title, "Please Select a Database!");
    EXPECT_EQ(prompts.shown[1].text, "You must select a DSN before choosing a target table.");
    EXPECT_EQ(prompts.shown[1].icon, MessageIcon::Exclamation);
    EXPECT_EQ(window->Text(1, kColumnTable), "old");
}

TEST_F(MainWindowTest, CommittingAMissingTableAsks) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("mw_edit");
    window->Form_Load("");
    window->show();
    PickDsn(kSqliteDsn);
    window->AddFile("a.log");
    window->SetText(1, kColumnTable, "old");

    ASSERT_TRUE(window->StartCellEdit(1, kColumnTable));
    QComboBox& combo = *window->cboTables;
    EXPECT_TRUE(combo.isVisible());
    EXPECT_GE(combo.findText("mw_edit"), 0);
    EXPECT_EQ(combo.currentText(), "old");
    const QRect cell = window->gridFiles->visualRect(window->gridFiles->model()->index(0, 1));
    EXPECT_EQ(combo.width(), cell.width());

    combo.setEditText("mw_nosuch");
    prompts.answers = {false};
    QTest::keyClick(&combo, Qt::Key_Return);
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(prompts.shown[0].title, "Table Does Not Exist");
    EXPECT_EQ(prompts.shown[0].text,
              "The selected table 'mw_nosuch' does not seem to exist.  Continue anyway?");
    EXPECT_TRUE(prompts.shown[0].question);
    EXPECT_EQ(window->Text(1, kColumnTable), "old");
    EXPECT_TRUE(window->IsEditing());
    EXPECT_TRUE(combo.isVisible());

    prompts.answers = {true};
    QTest::keyClick(&combo, Qt::Key_Return);
    EXPECT_EQ(window->Text(1, kColumnTable), "mw_nosuch");
    EXPECT_FALSE(window->IsEditing());
    EXPECT_FALSE(combo.isVisible());

    // An existing table asks nothing; one that differs in case does.
    ASSERT_TRUE(window->StartCellEdit(1, kColumnTable));
    combo.setEditText("mw_edit");
    EXPECT_TRUE(window->FinishCellEdit());
    EXPECT_EQ(prompts.shown.size(), 2u);
    EXPECT_EQ(window->Text(1, kColumnTable), "mw_edit");
    ASSERT_TRUE(window->StartCellEdit(1, kColumnTable));
    combo.setEditText("MW_EDIT");
    EXPECT_FALSE(window->FinishCellEdit());
    EXPECT_EQ(prompts.shown.size(), 3u);
    QTest::keyClick(&combo, Qt::Key_Escape);
    EXPECT_FALSE(combo.isVisible());
    EXPECT_EQ(window->Text(1, kColumnTable), "mw_edit");
    db.TryExec("DROP TABLE mw_edit");
}

TEST_F(MainWindowTest, EditingALogFileTakesTheTextAsTyped) {
    window->Form_Load("");
    window->show();
    window->AddFile("a.log");
    const QRect cell = window->gridFiles->visualRect(window->gridFiles->model()->index(0, 0));
    // A double-click as the platform delivers it: a click, then the second press.
    QTest::mouseClick(window->gridFiles->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(window->gridFiles->viewport(), Qt::LeftButton, {}, cell.center());
    ASSERT_TRUE(window->IsEditing());
    QLineEdit& edit = *window->txtEdit;
    EXPECT_TRUE(edit.isVisible());
    EXPECT_EQ(edit.text(), "a.log");
    EXPECT_EQ(edit.size(), cell.size());
    const QPoint cellTop = window->gridFiles->viewport()->mapTo(window->frameFiles, cell.topLeft());
    EXPECT_EQ(edit.pos(), cellTop + QPoint(0, 1));
    edit.clear();
    QTest::keyClick(&edit, Qt::Key_Return);
    EXPECT_FALSE(edit.isVisible());
    EXPECT_EQ(Jobs(), (std::vector<Job>{{"", ""}}));
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(MainWindowTest, AddUrlOkCancelAndEmpty) {
    struct Case {
        const char* reason;
        std::function<void(frmAddURL&)> answer;
        std::vector<Job> jobs;
        int choosers;
    };
    const auto typeAndOk = [](const char* text) {
        return [text](frmAddURL& dialog) {
            if (text != nullptr)
                dialog.txtURL->setText(text);
            dialog.cmdOk->click();
        };
    };
    const Case cases[] = {
        {"Ok as it opens", typeAndOk(nullptr), {{"http://", ""}}, 1},
        {"Ok with no scheme", typeAndOk("example.test/w3c.log"), {{"example.test/w3c.log", ""}}, 1},
        {"Ok on an empty box", typeAndOk(""), {}, 0},
        {"Cancel", [](frmAddURL& dialog) { dialog.cmdCancel->click(); }, {}, 0},
        {"close box", [](frmAddURL& dialog) { dialog.close(); }, {}, 0},
    };
    window->Form_Load("");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        window->Clear();
        driver->choosersShown = 0;
        driver->onAddUrl = c.answer;
        window->cmdAddURL_Click();
        EXPECT_EQ(Jobs(), c.jobs);
        EXPECT_EQ(driver->choosersShown, c.choosers);
    }
    EXPECT_EQ(driver->addUrlsShown, 5);
}

// ---------------------------------------------------------------------------------------------

TEST_F(MainWindowTest, SaveAsThenSaveThenOpen) {
    window->Form_Load("");
    window->AddFile("/logs/a.log");
    window->SetText(1, kColumnTable, "mw_logs");
    const std::string target = folder + "/saved.xml";

    dialogAnswers = {target};
    window->cmdSaveConfigAs_Click();
    ASSERT_EQ(dialogCalls.size(), 1u);
    EXPECT_TRUE(dialogCalls[0].save);
    EXPECT_EQ(dialogCalls[0].title, "Save Configuration As...");
    EXPECT_EQ(dialogCalls[0].filter, "XML Configuration Files (*.xml)|*.xml|All Files (*.*)|*.*");
    EXPECT_EQ(dialogCalls[0].filterIndex, 1);
    EXPECT_EQ(window->ConfigPath(), target);
    EXPECT_EQ(window->windowTitle().toStdString(), ProgramTitle() + " - Config: saved.xml");
    EXPECT_EQ(Jobs(), (std::vector<Job>{{"/logs/a.log", "mw_logs"}}));

    window->AddFile("/logs/b.log");
    window->cmdSaveConfig_Click();
    EXPECT_NE(ReadFile(target).find("<File>/logs/b.log</File>"), std::string::npos);
    EXPECT_FALSE(fs::exists(folder + "/config.xml"));

    // A save that fails says why, and keeps the jobs in hand and the path.
    dialogAnswers = {folder + "/no/such/folder.xml"};
    window->cmdSaveConfigAs_Click();
    ASSERT_EQ(Titles(), std::vector<std::string>{"Configuration Not Saved"});
    EXPECT_NE(prompts.shown[0].text.find(folder + "/no/such/folder.xml"), std::string::npos);
    EXPECT_EQ(window->Count(), 2);
    EXPECT_EQ(window->ConfigPath(), target);

    window->cmdSaveConfigAs_Click(); // cancelled
    window->Clear();
    dialogAnswers = {target};
    window->cmdOpenConfig_Click();
    EXPECT_EQ(dialogCalls.back().title, "Open Configuration File");
    EXPECT_FALSE(dialogCalls.back().save);
    EXPECT_EQ(window->Count(), 2);
    EXPECT_EQ(prompts.shown.size(), 1u);
}

// ---------------------------------------------------------------------------------------------

TEST_F(MainWindowTest, DsnListAndAFailedOpen) {
    window->Form_Load("");
    QComboBox& list = *window->cboDSNList;
    for (const char* dsn : {kSqliteDsn, kPostgresDsn, "brenvale_missing_driver"})
        EXPECT_GE(list.findText(dsn), 0) << dsn;

    PickDsn("brenvale_missing_driver");
    ASSERT_EQ(Titles(), std::vector<std::string>{"Error Opening Database"});
    const std::string& text = prompts.shown[0].text;
    const std::string head =
        "An error occured while opening DSN 'brenvale_missing_driver':\r\n\r\n";
    const std::string tail =
        "\r\n\r\nPlease verify your database settings under DSN Setup and try again.";
    EXPECT_EQ(text.substr(0, head.size()), head);
    ASSERT_GT(text.size(), head.size() + tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(prompts.shown[0].icon, MessageIcon::Critical);
    EXPECT_EQ(list.currentIndex(), -1);
    EXPECT_EQ(window->DsnText(), "");
    EXPECT_FALSE(window->conn.IsOpen());

    PickDsn(kSqliteDsn);
    PickDsn(kPostgresDsn);
    EXPECT_EQ(window->conn.DbmsName(), "PostgreSQL");
    // Refresh empties the selection and leaves the connection alone.
    window->cmdDSNRefresh->click();
    EXPECT_EQ(list.currentIndex(), -1);
    EXPECT_TRUE(window->conn.IsOpen());
    EXPECT_EQ(prompts.shown.size(), 1u);
}

TEST_F(MainWindowTest, DsnSetupWaitsThenRefreshes) {
    const std::string marker = folder + "/ran.txt";
    const std::string program =
        Write("brenvale-dsn-setup", "#!/bin/sh\necho ran > '" + marker + "'\n");
    fs::permissions(program, fs::perms::owner_all);
    window->Form_Load("");
    PickDsn(kSqliteDsn);

    window->cmdDSNSetup_Click();
    EXPECT_TRUE(fs::exists(marker));
    EXPECT_EQ(window->cboDSNList->currentIndex(), -1);
    EXPECT_GE(window->cboDSNList->findText(kSqliteDsn), 0);
    EXPECT_TRUE(window->conn.IsOpen());
    EXPECT_TRUE(prompts.shown.empty());

    // A program that cannot be started is a message, not a crash.
    window->SetDsnSetupProgram(folder + "/missing-admin");
    window->cmdDSNSetup_Click();
    ASSERT_EQ(Titles(), std::vector<std::string>{"DSN Setup"});
    EXPECT_NE(prompts.shown[0].text.find(folder + "/missing-admin"), std::string::npos);
    EXPECT_GE(window->cboDSNList->findText(kSqliteDsn), 0);
}

TEST(ShellAndWaitTest, YieldsUntilTheProgramEnds) {
    const std::string folder = ScratchDir("shell");
    const std::string release = folder + "/release";
    ScriptedYield yielder;
    // The child ends only once a yield has created the file it waits for.
    yielder.action = [&](int call) {
        if (call == 1)
            WriteFile(release, "go");
    };
    std::string failure;
    EXPECT_TRUE(ShellAndWait("/bin/sh",
                             {"-c", "while [ ! -e '" + release + "' ]; do sleep 0.01; done"},
                             yielder, failure));
    EXPECT_GE(yielder.calls, 1);
    EXPECT_TRUE(failure.empty());

    EXPECT_FALSE(ShellAndWait(folder + "/nothing-here", {}, yielder, failure));
    EXPECT_FALSE(failure.empty());
    WriteFile(folder + "/not-executable", "#!/bin/sh\n");
    EXPECT_FALSE(ShellAndWait(folder + "/not-executable", {}, yielder, failure));
}

// ---------------------------------------------------------------------------------------------

TEST_F(MainWindowTest, AWholeRunFromTheWindow) {
    // With BRENVALE_SCREENSHOT_DIR set, the run also takes the pictures for the documentation,
    // on the DSN named by BRENVALE_SCREENSHOT_DSN and with a log big enough for counts to show.
    const char* shots = std::getenv("BRENVALE_SCREENSHOT_DIR");
    const char* shotDsn = std::getenv("BRENVALE_SCREENSHOT_DSN");
    const std::string dsn = shots != nullptr && shotDsn != nullptr ? shotDsn : kSqliteDsn;
    TestDatabase db(dsn);
    db.CreateLogTable("mw_run");
    const int lines = shots != nullptr ? 60000 : 5;
    std::string log = folder + "/w3c.log";
    if (shots != nullptr) {
        window->SetCommitRows(1000);
        const fs::path demo = fs::temp_directory_path() / "brenvale-demo";
        fs::create_directories(demo);
        log = (demo / "w3c.log").string();
    }
    WriteFile(log, LogText(lines));
    window->Form_Load("");
    PickDsn(dsn);
    dialogAnswers = {log};
    driver->onChooser = [](frmSelectTable& chooser) { Pick(chooser, "mw_run"); };
    window->cmdAddFile_Click();
    ASSERT_EQ(Jobs(), (std::vector<Job>{{log, "mw_run"}}));

    bool sawRunning = false;
    bool statusShot = false;
    driver->onTick = [&] {
        frmStatus* status = window->findChild<frmStatus*>();
        if (status == nullptr || !status->isVisible())
            return;
        sawRunning = sawRunning || !window->isEnabled();
        if (shots != nullptr && !statusShot &&
            status->lblRecordsInserted->text().contains(QRegularExpression("[1-9]"))) {
            statusShot = status->grab().save(QString::fromUtf8(shots) + "/status-window.png");
        }
    };
    if (shots != nullptr) {
        window->gridFiles->selectRow(0);
        QApplication::processEvents();
        window->grab().save(QString::fromUtf8(shots) + "/main-window.png");
    }
    window->cmdStart->click();

    EXPECT_EQ(db.Count("mw_run"), lines);
    EXPECT_EQ(window->State().RecordsTotal, lines);
    EXPECT_TRUE(sawRunning);
    ASSERT_NE(window->findChild<frmStatus*>(), nullptr);
    EXPECT_FALSE(window->findChild<frmStatus*>()->isVisible());
    EXPECT_TRUE(window->isEnabled());
    EXPECT_FALSE(window->State().bCancel);
    EXPECT_TRUE(prompts.shown.empty());
    if (shots != nullptr) {
        EXPECT_TRUE(statusShot);
    }
    db.TryExec("DROP TABLE mw_run");
}

} // namespace
} // namespace test
} // namespace brenvale

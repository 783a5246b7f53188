// The main window offscreen: start-up and the command line, the job grid and its editors,
// configuration files, the DSN list and whole runs with their summaries, on the test databases.
#include "ui/frm_main.h"

#include "core/run_harness.h"
#include "core/run_report.h"
#include "core/version.h"
#include "data/odbc_setup.h"
#include "ui/file_dialogs.h"
#include "ui/frm_about.h"
#include "ui/frm_add_url.h"
#include "ui/frm_run_summary.h"
#include "ui/frm_select_table.h"
#include "ui/frm_status.h"
#include "ui/job_grid.h"
#include "ui/qt_test_app.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace brenvale::test {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

using Rows = std::vector<std::pair<std::string, std::string>>;      ///< the grid's jobs
using DialogCall = std::tuple<bool, std::string, std::string, int>; ///< save, title, filter, index

constexpr const char* kXmlFilter = "XML Configuration Files (*.xml)|*.xml|All Files (*.*)|*.*";

/// Two directives, then `lines` data lines whose c_dns are host0, host1, ...
std::string HeadedLog(int lines) {
    return "#Software: SHOUTcast\n#Fields: c-ip c-dns date time cs-uri-stem c-status "
           "cs(User-Agent) sc-bytes x-duration avgbandwidth\n" +
           LogText(Numbered("host", lines));
}

std::string ConfigText(const std::string& dsn, const std::string& file, const std::string& table) {
    return "<Brenvale.Config><DSN>" + dsn + "</DSN><Jobs><Job><File>" + file + "</File><DBTable>" +
           table + "</DBTable></Job></Jobs></Brenvale.Config>";
}

Shown MissingTable(const std::string& table) {
    return {MessageIcon::Exclamation, "Table Does Not Exist",
            "The selected table '" + table + "' does not seem to exist.  Continue anyway?", true};
}

/// The window with scripted message boxes (the fixture answers them) and file dialogs. The
/// modal windows that open inside its event loops are answered on each pass of the loop; one
/// nobody scripted is a failure and is closed, so a test never hangs on it.
class MainWindowTest : public ::testing::Test, public Prompts {
protected:
    void SetUp() override {
        folder = ScratchDir("mw");
        // Rejects files of the window's runs go here, not into the user's own folder.
        stateDir = ScratchDir("state");
        ::setenv("XDG_STATE_HOME", stateDir.c_str(), 1);
        SetFileDialogScript([this](bool save, const std::string& title, const std::string& filter,
                                   int filterIndex) {
            if (!failNext.empty())
                throw std::runtime_error(std::exchange(failNext, {}));
            dialogCalls.emplace_back(save, title, filter, filterIndex);
            std::string answer;
            if (!dialogAnswers.empty())
                answer = dialogAnswers.front(), dialogAnswers.pop_front();
            return answer;
        });
        QObject::connect(&ticks_, &QTimer::timeout, [this] { Tick(); });
        ticks_.start(0);
        NewWindow();
    }
    void TearDown() override {
        window.reset();
        SetFileDialogScript(nullptr);
        SetTextQuestionScript(nullptr);
    }
    /// The script's answers, or an exception while `failNext` is set.
    bool AskYesNo(MessageIcon icon, const std::string& title, const std::string& text) override {
        if (!failNext.empty())
            throw std::runtime_error(std::exchange(failNext, {}));
        return prompts.AskYesNo(icon, title, text);
    }
    void Inform(MessageIcon icon, const std::string& title, const std::string& text) override {
        prompts.Inform(icon, title, text);
    }

    /// A fresh window on the scratch folder, not yet loaded.
    void NewWindow() {
        window = std::make_unique<frmMain>(this);
        window->SetProgramFolder(folder);
        grid = window->grid;
    }
    /// A fresh window loaded without arguments and active, so that focus moves as for the user,
    /// with `dsn` picked unless empty.
    void Loaded(const std::string& dsn = {}) {
        NewWindow();
        window->Form_Load("");
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        if (!dsn.empty())
            PickDsn(dsn);
    }
    void PickDsn(const std::string& dsn) {
        QComboBox& list = *window->cboDSNList;
        const int index = list.findText(QString::fromStdString(dsn));
        ASSERT_GE(index, 0) << dsn << " is not listed";
        list.setCurrentIndex(index);
        emit list.activated(index);
    }
    /// Starts editing cell (1, `col`) and types `typed` over its text.
    void Edit(int col, const std::string& typed) {
        ASSERT_TRUE(grid->StartCellEdit(1, col));
        QLineEdit& editor = col == kColumnFile ? *grid->txtEdit : *grid->cboTables->lineEdit();
        editor.clear();
        QTest::keyClicks(&editor, QString::fromStdString(typed));
    }
    QRect Cell(int row, int col) const {
        return grid->gridFiles->visualRect(grid->gridFiles->model()->index(row - 1, col - 1));
    }
    /// Where the editors of a cell stand: over it, one pixel lower, its size.
    QRect EditorPlace(int row, int col) const {
        const QWidget* viewport = grid->gridFiles->viewport();
        return Cell(row, col).translated(viewport->mapTo(window->frameFiles, QPoint(0, 1)));
    }
    std::string InUse() const { return window->DsnText() + " " + window->conn.DbmsName(); }
    Rows Jobs() const {
        Rows jobs;
        for (int row = 1; row <= grid->Count(); ++row)
            jobs.emplace_back(grid->Text(row, kColumnFile), grid->Text(row, kColumnTable));
        return jobs;
    }
    std::vector<std::string> RejectsFiles() const {
        std::vector<std::string> files;
        std::error_code none; // no folder: no files
        for (const auto& entry : fs::directory_iterator(stateDir + "/brenvale", none))
            files.push_back(entry.path().string());
        return files;
    }
    /// Expects one message box since the last call, titled `title`, with `part` in its text.
    void ExpectOneMessage(const std::string& title, const std::string& part) {
        ASSERT_EQ(prompts.shown.size(), 1u);
        EXPECT_EQ(prompts.shown[0].title, title);
        EXPECT_THAT(prompts.shown[0].text, HasSubstr(part));
        prompts.shown.clear();
    }
    bool StatusShown() const {
        const frmStatus* status = window->findChild<frmStatus*>();
        return status != nullptr && status->isVisible();
    }

    ScriptedPrompts prompts;
    std::string failNext; ///< thrown in place of the next question or file dialog while set
    std::string folder, stateDir;
    std::deque<std::string> dialogAnswers;
    std::vector<DialogCall> dialogCalls;
    std::unique_ptr<frmMain> window;
    JobGrid* grid = nullptr;
    std::function<void(frmSelectTable&)> onChooser = [](frmSelectTable& c) { c.close(); };
    std::function<void(frmAddURL&)> onAddUrl = [](frmAddURL& dialog) { dialog.close(); };
    int choosersShown = 0;
    int addUrlsShown = 0;
    int aboutsShown = 0;
    /// What each Run Summary window showed: its first line, its text, its notes.
    struct SummaryShown {
        std::string verdict, text, notes;
    };
    std::vector<SummaryShown> summaries;
    std::function<void(frmRunSummary&)> onSummary = [](frmRunSummary&) {};
    bool sawRun = false; ///< the status window shown over the disabled window
    /// Called on each pass of the event loop while a run is under way.
    std::function<void()> duringRun = [] {};

private:
    void Tick() {
        const bool running = window && StatusShown() && !window->isEnabled();
        sawRun = sawRun || running;
        if (running)
            duringRun();
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible() || qobject_cast<frmStatus*>(modal))
            return;
        if (auto* chooser = qobject_cast<frmSelectTable*>(modal)) {
            ++choosersShown;
            onChooser(*chooser);
        } else if (auto* addUrl = qobject_cast<frmAddURL*>(modal)) {
            ++addUrlsShown;
            onAddUrl(*addUrl);
        } else if (auto* summary = qobject_cast<frmRunSummary*>(modal)) {
            summaries.push_back({summary->lblVerdict->text().toStdString(), summary->SummaryText(),
                                 summary->lblNotes->text().toStdString()});
            onSummary(*summary);
            summary->close();
        } else if (auto* about = qobject_cast<frmAbout*>(modal)) {
            EXPECT_EQ(about->parentWidget(), window.get()) << "About opens over the window";
            EXPECT_EQ(about->lblVersion->text().toStdString(), "Version " + VersionText());
            ++aboutsShown;
            about->close();
        } else {
            ADD_FAILURE() << "unexpected " << modal->metaObject()->className();
            modal->close();
        }
    }

    QTimer ticks_;
};

TEST_F(MainWindowTest, TheCommandLineLoadsRunsAndEnds) {
    const char* argv[] = {"brenvale", "/a", "/c", "my file.xml"};
    EXPECT_EQ(ArgumentText(4, argv), "/a /c my file.xml");
    EXPECT_EQ(ArgumentText(1, argv), "");
    // An existing configuration, a blank in its name, with a job of three lines.
    const std::string log = WriteFile(folder + "/start.log", HeadedLog(3));
    const std::string cfg = folder + "/my jobs.xml", tail = cfg + " /a /q",
                      quoted = '"' + cfg + '"';
    const struct {
        std::string arguments;
        bool defaultFile;      ///< a config.xml in the program's folder
        StartupCommand parsed; ///< "/a" then loads the three lines, "/q" ends at once
        std::string loaded;    ///< the file name in the title, empty for none
        std::string missing;   ///< the configuration reported missing, empty for none
    } cases[] = {
        {"", false, {}, "", ""},
        {"", true, {}, "config.xml", ""},
        {"/a /q /c " + cfg, false, {cfg, true, "/a /q /", true, true}, "my jobs.xml", ""},
        // Switches after the path belong to it.
        {"/c " + tail, false, {tail, true, "/", false, false}, "", tail},
        // Capitals are not switches.
        {"/A /Q /C x.xml", true, {"", false, "/A /Q /C x.xml", false, false}, "config.xml", ""},
        {"/c " + quoted, false, {quoted, true, "/", false, false}, "", quoted},
        {"/c", false, {"", true, "/", false, false}, "", folder + "/config.xml"},
        {"/a/c   " + cfg + "  ", false, {cfg, true, "/a/", true, false}, "my jobs.xml", ""},
        // A longer word counts as the switch it starts with.
        {"/all /c " + cfg, false, {cfg, true, "/all /", true, false}, "my jobs.xml", ""},
        {"/quiet /c " + cfg, false, {cfg, true, "/quiet /", false, true}, "my jobs.xml", ""},
    };
    const auto fields = [](const StartupCommand& c) {
        return std::tuple(c.configPath, c.hasConfig, c.switchText, c.runAll, c.quit);
    };
    TestDatabase db(kSqliteDsn);
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + c.arguments + (c.defaultFile ? "' with config.xml" : "'"));
        db.CreateLogTable("mw_start");
        WriteFile(cfg, ConfigText(kSqliteDsn, log, "mw_start"));
        fs::remove(folder + "/config.xml");
        if (c.defaultFile)
            WriteFile(folder + "/config.xml", ConfigText("", "default.log", "mw_default"));
        EXPECT_EQ(fields(ParseCommandLine(c.arguments)), fields(c.parsed));
        NewWindow();

        EXPECT_EQ(window->Form_Load(c.arguments), !c.parsed.quit);

        EXPECT_EQ(window->windowTitle().toStdString(),
                  ProgramTitle() + (c.loaded.empty() ? "" : " - Config: " + c.loaded));
        // "/a" ends with the run's summary, unless "/q" ends the program right after.
        EXPECT_EQ(summaries.size(), c.parsed.runAll && !c.parsed.quit ? 1u : 0u);
        if (!summaries.empty()) {
            EXPECT_THAT(summaries.back().text, HasSubstr("rows inserted: 3"));
        }
        summaries.clear();
        const Shown missing{MessageIcon::Critical, "Configuration File Missing",
                            "The configuration file '" + c.missing +
                                "' does not exist.\r\nConfiguration settings cannot be loaded.",
                            false};
        EXPECT_EQ(prompts.shown, std::vector<Shown>(!c.missing.empty(), missing));
        prompts.shown.clear();
        EXPECT_EQ(Jobs().size(), c.loaded.empty() ? 0u : 1u);
        EXPECT_EQ(db.Count("mw_start"), c.parsed.runAll ? 3 : 0);
        EXPECT_TRUE(window->isVisible() && window->isEnabled());
        window.reset();
        // Ending through "/q" or being destroyed saves nothing.
        EXPECT_EQ(ReadFile(cfg), ConfigText(kSqliteDsn, log, "mw_start"));
        EXPECT_EQ(fs::exists(folder + "/config.xml"), c.defaultFile);
    }
}

TEST_F(MainWindowTest, SaveOnExitSavesWhenCheckedButNeverOverAFileThatDidNotLoad) {
    const std::string config = folder + "/config.xml";
    window->Form_Load("");
    window->AddFile("/logs/a.log");
    window->chkSaveConfigOnExit->setChecked(false);
    window->close();
    EXPECT_FALSE(fs::exists(config));

    const std::string damaged = "<Brenvale.Config><Jobs><Job><File>kept.log</File>";
    WriteFile(config, damaged);
    Loaded();
    ExpectOneMessage("Configuration Not Loaded",
                     "Save Configuration on Exit will not replace the file; Save will.");
    EXPECT_EQ(window->windowTitle().toStdString(), ProgramTitle());
    window->AddFile("/logs/a.log");
    window->close();
    EXPECT_EQ(ReadFile(config), damaged);
    window->cmdSaveConfig_Click();
    EXPECT_THAT(ReadFile(config), HasSubstr("<File>/logs/a.log</File>"));
    window->AddFile("/logs/b.log");
    window->show();
    window->close();
    EXPECT_THAT(ReadFile(config), HasSubstr("<File>/logs/b.log</File>"));

    // A program folder that is not there sends the file to the per-user folder; when that cannot
    // be made either (its parent is a file), the reason is shown and the window still closes.
    WriteFile(folder + "/plain", "");
    ::setenv("XDG_CONFIG_HOME", (folder + "/plain/home").c_str(), 1);
    window->SetProgramFolder(folder + "/gone");
    window->Form_Load("");
    ::unsetenv("XDG_CONFIG_HOME");
    window->close();
    EXPECT_FALSE(window->isVisible());
    ExpectOneMessage("Configuration Not Saved", folder + "/plain/home/brenvale/config.xml");
}

TEST_F(MainWindowTest, AddFileAsksForTheTableAndDeleteRemovesTheSelectedJob) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("mw_pick");
    Loaded(kSqliteDsn);
    window->cmdDelete_Click(); // an empty list
    dialogAnswers = {"/logs/a.log", "/logs/b.log"};
    window->cmdAddFile_Click();               // the chooser closed: no table
    onChooser = [](frmSelectTable& chooser) { // a pick as a click on it makes
        chooser.lstTables->setCurrentItem(chooser.lstTables->findItems("mw_pick", {}).value(0));
    };
    window->cmdAddFile_Click();
    window->cmdAddFile_Click(); // cancelled: adds nothing and asks for no table
    EXPECT_EQ(choosersShown, 2);
    EXPECT_EQ(Jobs(), (Rows{{"/logs/a.log", ""}, {"/logs/b.log", "mw_pick"}}));
    const DialogCall open{false, "Choose a valid SHOUTcast W3C Formatted Log File", kLogFilter, 1};
    EXPECT_EQ(dialogCalls, std::vector<DialogCall>(3, open));

    window->AddFile("/logs/c.log");
    grid->gridFiles->clearSelection();
    window->cmdDelete_Click();
    EXPECT_EQ(grid->Count(), 3);
    grid->gridFiles->selectRow(1);
    window->cmdDelete_Click();
    EXPECT_EQ(Jobs(), (Rows{{"/logs/a.log", ""}, {"/logs/c.log", ""}}));
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(MainWindowTest, ATypedTableIsStoredExactlyHoweverTheEditEnds) {
    enum class End { Enter, Tab, ClickElsewhere };
    const struct {
        const char* dsn;
        const char* typed;
        End end;
        bool asks; ///< "Table Does Not Exist": No keeps the editor open, Enter and Yes store it
        const char* reason;
    } cases[] = {
        {kMariaDsn, "station_logs", End::Tab, false, "Station_Logs, listed first, differs in case"},
        {kMariaDsn, "station_logs", End::ClickElsewhere, false, "the same, by a click"},
        {kMariaDsn, "station_logs", End::Enter, false, "the same, by Enter"},
        {kMariaDsn, "Station_Logs", End::Tab, false, "the other one of the pair"},
        {kPostgresDsn, "STATION_LOGS", End::Tab, false, "unquoted, it folds to station_logs"},
        {kPostgresDsn, "\"STATION_LOGS\"", End::Tab, true, "quoted, only station_logs exists"},
        {kSqliteDsn, "STATION_LOGS", End::ClickElsewhere, false, "SQLite ignores letter case"},
        {kSqliteDsn, "Station_Log", End::ClickElsewhere, true, "only station_logs exists"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.dsn) + ": " + c.reason);
        TestDatabase db(c.dsn);
        // Unquoted names keep their case on MariaDB and fold to station_logs elsewhere.
        for (const char* table : {"Station_Logs", "station_logs"})
            db.TryExec(std::string("DROP TABLE IF EXISTS ") + table);
        db.Exec("CREATE TABLE station_logs (x INTEGER)");
        if (db.IsMaria())
            db.Exec("CREATE TABLE Station_Logs (x INTEGER)");
        prompts.answers = {false, true};
        Loaded(c.dsn);
        window->AddFile("a.log");
        window->AddFile("b.log");
        grid->SetText(1, kColumnTable, "old");

        // The combo opens on the cell's text, over the cell and no taller, so that it hides no
        // part of the next row; Escape abandons the edit.
        QComboBox& combo = *grid->cboTables;
        ASSERT_TRUE(grid->StartCellEdit(1, kColumnTable));
        EXPECT_TRUE(combo.isVisible() && combo.findText("station_logs") >= 0);
        EXPECT_EQ(combo.currentText(), "old");
        EXPECT_EQ(combo.geometry(), EditorPlace(1, kColumnTable));
        QTest::keyClick(combo.lineEdit(), Qt::Key_Escape);
        EXPECT_FALSE(combo.isVisible() || grid->IsEditing());

        Edit(kColumnTable, c.typed);
        QLineEdit& typing = *combo.lineEdit();
        if (c.end == End::ClickElsewhere)
            QTest::mouseClick(grid->gridFiles->viewport(), Qt::LeftButton, {},
                              Cell(2, kColumnFile).center());
        else
            QTest::keyClick(&typing, c.end == End::Tab ? Qt::Key_Tab : Qt::Key_Return);
        QApplication::processEvents();
        if (c.asks) {
            EXPECT_EQ(prompts.shown, std::vector<Shown>{MissingTable(c.typed)});
            EXPECT_TRUE(grid->IsEditing());
            EXPECT_EQ(combo.currentText().toStdString(), c.typed);
            EXPECT_EQ(grid->Text(1, kColumnTable), "old");
            QTest::keyClick(&typing, Qt::Key_Return);
        }
        EXPECT_EQ(prompts.shown.size(), c.asks ? 2u : 0u);
        prompts.shown.clear();
        EXPECT_FALSE(grid->IsEditing() || combo.isVisible());
        EXPECT_EQ(grid->Text(1, kColumnTable), c.typed);
    }
}

TEST_F(MainWindowTest, WithoutADsnTheLogFileIsEditedButNotTheTargetTable) {
    Loaded();
    window->AddFile("a.log");
    // A double-click as the platform delivers it: a click, then the second press.
    const QPoint cell = Cell(1, kColumnFile).center();
    QTest::mouseClick(grid->gridFiles->viewport(), Qt::LeftButton, {}, cell);
    QTest::mouseDClick(grid->gridFiles->viewport(), Qt::LeftButton, {}, cell);
    ASSERT_TRUE(grid->IsEditing());
    QLineEdit& edit = *grid->txtEdit;
    EXPECT_TRUE(edit.isVisible() && edit.text() == "a.log");
    EXPECT_EQ(edit.geometry(), EditorPlace(1, kColumnFile));
    edit.clear();
    QTest::keyClick(&edit, Qt::Key_Return);
    EXPECT_FALSE(edit.isVisible());
    EXPECT_EQ(Jobs(), (Rows{{"", ""}}));
    EXPECT_TRUE(prompts.shown.empty());

    // Each try is refused again, and the cell keeps its text.
    grid->SetText(1, kColumnTable, "old");
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(grid->StartCellEdit(1, kColumnTable));
        EXPECT_FALSE(grid->cboTables->isVisible());
    }
    const Shown noDsn{MessageIcon::Exclamation, "Please Select a Database!",
                      "You must select a DSN before choosing a target table.", false};
    EXPECT_EQ(prompts.shown, std::vector<Shown>(2, noDsn));
    EXPECT_EQ(grid->Text(1, kColumnTable), "old");
}

TEST_F(MainWindowTest, EveryCommandFirstCommitsTheOpenEdit) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("mw_cmd");
    const std::string log = folder + "/new.log";
    // A fresh window with the job {old.log, mw_cmd}, its cell `col` being edited to `typed`.
    const auto editing = [&](int col, const std::string& typed) {
        folder = ScratchDir("cmd");
        Loaded(kSqliteDsn);
        window->AddFile("old.log");
        grid->SetText(1, kColumnTable, "mw_cmd");
        grid->gridFiles->selectRow(0);
        Edit(col, typed);
    };
    // A quick click acts before the editor's loss of focus is handled; Save As then reloads.
    const std::tuple<const char*, QPushButton * frmMain::*, const char*> committed[] = {
        {"Save", &frmMain::cmdSaveConfig, "config.xml"},
        {"Save As", &frmMain::cmdSaveConfigAs, "as.xml"},
        {"close, saving on exit", nullptr, "config.xml"},
    };
    for (const auto& [reason, button, written] : committed) {
        SCOPED_TRACE(reason);
        editing(kColumnFile, log);
        dialogAnswers = {folder + "/as.xml"};
        button ? QTest::mouseClick(window.get()->*button, Qt::LeftButton) : void(window->close());
        EXPECT_THAT(ReadFile(folder + "/" + written), HasSubstr(log));
        EXPECT_FALSE(grid->IsEditing());
        EXPECT_EQ(Jobs(), (Rows{{log, "mw_cmd"}}));
    }
    EXPECT_TRUE(prompts.shown.empty());

    // A refused commit (No to "Table Does Not Exist") stops every command before it acts.
    db.Exec("INSERT INTO mw_cmd (c_ip) VALUES ('kept')");
    dialogCalls.clear();
    editing(kColumnTable, "mw_nosuch");
    std::vector<std::pair<std::string, std::function<void()>>> commands = {
        {"close", [&] { window->close(); }},
        {"DSN pick", [&] { PickDsn(kPostgresDsn); }},
    };
    for (QPushButton* button :
         {window->cmdStart, window->cmdSaveConfig, window->cmdSaveConfigAs, window->cmdOpenConfig,
          window->cmdAddFile, window->cmdAddURL, window->cmdDelete, window->cmdDSNSetup,
          window->cmdDSNRefresh, window->cmdAbout})
        commands.emplace_back(button->text().toStdString(),
                              [button] { QTest::mouseClick(button, Qt::LeftButton); });
    for (const auto& [name, command] : commands) {
        SCOPED_TRACE(name);
        prompts.shown.clear();
        command();
        QApplication::processEvents();
        EXPECT_EQ(prompts.shown, std::vector<Shown>{MissingTable("mw_nosuch")});
        EXPECT_TRUE(grid->IsEditing());
    }
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(Jobs(), (Rows{{"old.log", "mw_cmd"}}));
    EXPECT_EQ(InUse(), "brenvale_sqlite SQLite");
    EXPECT_EQ(db.Count("mw_cmd"), 1);
    EXPECT_FALSE(fs::exists(folder + "/config.xml"));
    EXPECT_EQ(dialogCalls, std::vector<DialogCall>{});
    EXPECT_EQ(addUrlsShown + choosersShown, 0);
    grid->AbandonCellEdit();
    window->chkSaveConfigOnExit->setChecked(false);
}

TEST_F(MainWindowTest, AddUrlTypesAfterTheProposedSchemeAndAddsOnlyOnOk) {
    // Typing goes where the caret stands: after the proposed "http://", or into a cleared box.
    const struct {
        const char* typed; ///< null: Escape
        bool clearFirst, ok;
        Rows jobs; ///< each added job also asks for its table
    } cases[] = {
        {"127.0.0.1:8377/remote.log", false, true, {{"http://127.0.0.1:8377/remote.log", ""}}},
        {" host/w3c.log ", true, true, {{" host/w3c.log ", ""}}}, // no scheme, blanks kept
        {"", true, true, {}},
        {"x", true, false, {}},
        {nullptr, false, false, {}},
    };
    window->Form_Load("");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed ? std::string("'") + c.typed + (c.ok ? "', Ok" : "', Cancel") : "Esc");
        grid->Clear();
        choosersShown = 0;
        onAddUrl = [&c](frmAddURL& dialog) {
            EXPECT_EQ(dialog.txtURL->text(), "http://");
            EXPECT_EQ(dialog.focusWidget(), dialog.txtURL);
            if (c.clearFirst)
                dialog.txtURL->clear();
            if (c.typed == nullptr)
                return QTest::keyClick(dialog.txtURL, Qt::Key_Escape);
            QTest::keyClicks(dialog.txtURL, QString::fromLatin1(c.typed));
            QTest::mouseClick(c.ok ? dialog.cmdOk : dialog.cmdCancel, Qt::LeftButton);
        };
        window->cmdAddURL_Click();
        EXPECT_EQ(Jobs(), c.jobs);
        EXPECT_EQ(choosersShown, static_cast<int>(c.jobs.size()));
    }
    EXPECT_EQ(addUrlsShown, 5);
}

TEST_F(MainWindowTest, SaveAsThenSaveThenOpenKeepEveryOption) {
    window->Form_Load("");
    window->AddFile("/logs/a.log");
    grid->SetText(1, kColumnTable, "mw_logs");
    // A job's log format and playlist log are not shown, and kept.
    grid->SetText(1, kColumnFormat, "icecast");
    grid->SetText(1, kColumnPlaylist, "/logs/playlist.log");
    // Loading only new lines takes both TRUNCATE options away; unchecked, they come back empty.
    QCheckBox* const truncation[] = {window->chkTruncateOnStart, window->chkTruncateOnInsert};
    window->chkTruncateOnInsert->setChecked(true);
    for (const bool incremental : {true, false, true}) {
        window->chkIncremental->click();
        EXPECT_EQ(window->Incremental(), incremental);
        for (QCheckBox* box : truncation)
            EXPECT_EQ(std::pair(box->isChecked(), box->isEnabled()),
                      std::pair(false, !incremental));
    }
    window->spnCommitRows->setValue(500);
    window->SetOdbcOnly(true);
    const std::string target = folder + "/saved.xml", unwritable = folder + "/no/such/folder.xml";

    dialogAnswers = {target};
    window->cmdSaveConfigAs_Click();
    EXPECT_EQ(window->ConfigPath(), target);
    EXPECT_EQ(window->windowTitle().toStdString(), ProgramTitle() + " - Config: saved.xml");
    window->AddFile("/logs/b.log");
    window->cmdSaveConfig_Click();
    EXPECT_THAT(ReadFile(target), HasSubstr("<File>/logs/b.log</File>"));
    EXPECT_FALSE(fs::exists(folder + "/config.xml"));

    // A save that fails says why, and keeps the jobs in hand and the path.
    dialogAnswers = {unwritable};
    window->cmdSaveConfigAs_Click();
    ExpectOneMessage("Configuration Not Saved", unwritable);
    EXPECT_EQ(grid->Count(), 2);
    EXPECT_EQ(window->ConfigPath(), target);

    window->cmdSaveConfigAs_Click(); // cancelled
    grid->Clear();
    window->chkIncremental->click();
    window->spnCommitRows->setValue(1);
    window->SetOdbcOnly(false);
    dialogAnswers = {target};
    window->cmdOpenConfig_Click();
    // What Save As reloaded, Save wrote: the options and the jobs come back from the file.
    EXPECT_EQ(Jobs(), (Rows{{"/logs/a.log", "mw_logs"}, {"/logs/b.log", ""}}));
    EXPECT_EQ(std::tuple(grid->Text(1, kColumnFormat), grid->Text(1, kColumnPlaylist),
                         grid->Text(2, kColumnFormat)),
              std::tuple("icecast", "/logs/playlist.log", ""));
    EXPECT_EQ(std::tuple(window->spnCommitRows->value(), window->Incremental(), window->OdbcOnly()),
              std::tuple(500, true, true));
    for (QCheckBox* box : truncation)
        EXPECT_FALSE(box->isEnabled());
    EXPECT_TRUE(prompts.shown.empty());
    const DialogCall saveAs{true, "Save Configuration As...", kXmlFilter, 1};
    EXPECT_EQ(dialogCalls,
              (std::vector<DialogCall>{
                  saveAs, saveAs, saveAs, {false, "Open Configuration File", kXmlFilter, 1}}));
}

/// The list shows one DSN; the configuration's fallbacks stand behind it (a first node that does
/// not open is passed over) and go back into the file on every save.
TEST_F(MainWindowTest, FallbackDsnsServeBehindTheConfigurationsDsnAndAreSavedAgain) {
    const std::string path =
        WriteFile(folder + "/cluster.xml",
                  "<Brenvale.Config><DSN>brenvale_missing_driver</DSN><FallbackDSN>" +
                      std::string(kSqliteDsn) +
                      "</FallbackDSN><FallbackDSN>node3</FallbackDSN><Jobs><Job><File>/logs/"
                      "a.log</File><DBTable>t</DBTable></Job></Jobs></Brenvale.Config>");
    window->Form_Load("/c " + path);
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_EQ(std::tuple(window->DsnText(), window->conn.DsnName(), window->conn.DbmsName()),
              std::tuple("brenvale_missing_driver", kSqliteDsn, "SQLite"));
    const std::string fallbacks = "\t<DSN>brenvale_missing_driver</DSN>\r\n\t<FallbackDSN>" +
                                  std::string(kSqliteDsn) +
                                  "</FallbackDSN>\r\n\t<FallbackDSN>node3</FallbackDSN>\r\n";
    window->cmdSaveConfig_Click();
    EXPECT_THAT(ReadFile(path), HasSubstr(fallbacks));
    // Another DSN picked in the window has none behind it, and the file still keeps them.
    PickDsn(kPostgresDsn);
    EXPECT_EQ(window->conn.DsnName(), kPostgresDsn);
    window->cmdSaveConfig_Click();
    EXPECT_THAT(ReadFile(path), HasSubstr("<FallbackDSN>node3</FallbackDSN>"));
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(MainWindowTest, TheTableEditorCreatesTablesAndNeverOffersTheBookkeepingTable) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("mw_own");
    db.TryExec("DROP TABLE mw_grid_new");
    Loaded(kSqliteDsn);
    // An incremental run makes the bookkeeping table, if no earlier test did.
    window->AddFile(WriteFile(folder + "/own.log", HeadedLog(2)));
    grid->SetText(1, kColumnTable, "mw_own");
    window->SetIncremental(true);
    window->ProcessJobs(false);
    ASSERT_GT(db.Count("brenvale_checkpoint"), 0);

    const auto entries = [](const QComboBox& box) {
        std::vector<std::string> texts;
        for (int i = 0; i < box.count(); ++i)
            texts.push_back(box.itemText(i).toStdString());
        return texts;
    };
    QComboBox& editor = *grid->cboTables;
    ASSERT_TRUE(grid->StartCellEdit(1, kColumnTable));
    const std::vector<std::string> offered = entries(editor);
    EXPECT_THAT(offered, testing::Contains("mw_own"));
    EXPECT_THAT(offered, testing::Not(testing::Contains("brenvale_checkpoint")));
    ASSERT_EQ(offered.back(), "New Table...");

    // Cancelled, then refused (the bookkeeping table's name), then created and taken.
    std::deque<std::optional<std::string>> names = {std::nullopt, "BRENVALE_CHECKPOINT",
                                                    "mw_grid_new"};
    SetTextQuestionScript([&](const std::string& title, const std::string&) {
        EXPECT_EQ(title, "New Table");
        auto name = names.front();
        names.pop_front();
        return name;
    });
    const int last = editor.count() - 1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        editor.setCurrentIndex(last);
        emit editor.activated(last);
        EXPECT_TRUE(grid->IsEditing());
        EXPECT_EQ(editor.currentText(), "mw_own");
    }
    ExpectOneMessage("Table Not Created", "keeps how far each log was loaded");
    editor.setCurrentIndex(last);
    emit editor.activated(last);
    EXPECT_FALSE(grid->IsEditing());
    EXPECT_EQ(Jobs(), (Rows{{folder + "/own.log", "mw_grid_new"}}));
    EXPECT_EQ(db.Count("mw_grid_new"), 0);
    EXPECT_TRUE(prompts.shown.empty());

    // The chooser does not offer it either, and a job naming it loads nothing.
    onChooser = [](frmSelectTable& chooser) {
        EXPECT_TRUE(chooser.lstTables->findItems("brenvale_checkpoint", {}).isEmpty());
        EXPECT_FALSE(chooser.lstTables->findItems("mw_grid_new", {}).isEmpty());
        chooser.close();
    };
    EXPECT_EQ(window->ChooseTargetTable(), "");
    EXPECT_EQ(choosersShown, 1);
    window->SetIncremental(false);
    grid->SetText(1, kColumnTable, "brenvale_checkpoint");
    const long positions = db.Count("brenvale_checkpoint");
    window->ProcessJobs(false);
    ExpectOneMessage("Table Not Allowed", "choose another target table");
    EXPECT_EQ(db.Count("brenvale_checkpoint"), positions);
}

TEST_F(MainWindowTest, TheKeyboardLeavesTheGridPressesButtonsAndReachesEveryCommand) {
    Loaded();
    for (int i = 0; i < 30; ++i)
        window->AddFile(folder + "/logs/" + std::to_string(i) + ".log");
    // The job just added is in view.
    const QRect view = grid->gridFiles->viewport()->rect();
    EXPECT_TRUE(view.contains(Cell(30, kColumnFile).center()));
    EXPECT_FALSE(view.contains(Cell(1, kColumnFile).center()));

    // Tab and Shift+Tab leave the grid in the tab order, whatever row is current.
    grid->gridFiles->setFocus();
    grid->gridFiles->setCurrentCell(3, 0);
    QTest::keyClick(grid->gridFiles, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), window->cmdAddFile);
    grid->gridFiles->setFocus();
    QTest::keyClick(grid->gridFiles, Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), window->cboDSNList);

    // Enter presses the focused button as Space does: Delete removes the selected job.
    grid->gridFiles->selectRow(29);
    window->cmdDelete->setFocus();
    QTest::keyClick(window->cmdDelete, Qt::Key_Return);
    EXPECT_EQ(grid->Count(), 29);
    QTest::keyClick(window->cmdDelete, Qt::Key_Space);
    EXPECT_EQ(grid->Count(), 28);

    // Every button has its own Alt key.
    std::set<QChar> keys;
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        const QString text = button->text();
        const qsizetype amp = text.indexOf(QLatin1Char('&'));
        ASSERT_GE(amp, 0) << text.toStdString() << " has no Alt key";
        EXPECT_TRUE(keys.insert(text.at(amp + 1).toLower()).second) << text.toStdString();
    }
    // A mnemonic clicks its button once the press is shown, a moment later.
    QTest::keyClick(window.get(), Qt::Key_F, Qt::AltModifier); // Add File, cancelled
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialogCalls.size() == 1; }));
    QTest::keyClick(window.get(), Qt::Key_B, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return aboutsShown == 1; }));
}

TEST(JobGridPaths, ALongPathLosesItsFoldersMiddleAndKeepsItsFileName) {
    const QFontMetrics metrics{QFont()};
    const QString name = QStringLiteral("sc_serv_2024-03-01.log");
    const QString path = QStringLiteral("/srv/stations/north/archive/2024/march/week-one/") + name;
    const int room = metrics.horizontalAdvance(name) * 2;
    const QString shown = ShortenedPath(path, metrics, room);
    EXPECT_LE(metrics.horizontalAdvance(shown), room);
    EXPECT_TRUE(shown.endsWith(QLatin1Char('/') + name)) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("/srv"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QChar(0x2026)));
    EXPECT_EQ(ShortenedPath(path, metrics, 10000), path);
    // A name too long for the room is shortened itself rather than overflow.
    EXPECT_LE(metrics.horizontalAdvance(ShortenedPath(path, metrics, room / 4)), room / 4);
}

TEST_F(MainWindowTest, SaveAsAsksBeforeReplacingAFileAndNeverWritesOverAJobsLog) {
    window->Form_Load("");
    const std::string log = WriteFile(folder + "/victim.log", HeadedLog(3));
    const std::string rotated = WriteFile(folder + "/old-1.log", HeadedLog(2));
    const std::string other = WriteFile(folder + "/other.xml", ConfigText("x", "/o.log", "t"));
    window->AddFile(log);
    window->AddFile(folder + "/old-*.log");
    const std::string logBytes = ReadFile(log), rotatedBytes = ReadFile(rotated);

    // A job's log, by its own name, by another spelling of it, or by the job's pattern.
    for (const std::string& target : {log, folder + "/./victim.log", rotated}) {
        dialogAnswers = {target};
        prompts.answers = {true};
        window->cmdSaveConfigAs_Click();
        ExpectOneMessage("Configuration Not Saved", "saving the configuration there would replace");
    }
    prompts.answers.clear();
    EXPECT_EQ(std::pair(ReadFile(log), ReadFile(rotated)), std::pair(logBytes, rotatedBytes));

    // Another file is replaced only on Yes.
    const std::string otherBytes = ReadFile(other);
    dialogAnswers = {other};
    window->cmdSaveConfigAs_Click();
    ExpectOneMessage("Save Configuration As...", "exists already");
    EXPECT_EQ(ReadFile(other), otherBytes);
    dialogAnswers = {other};
    prompts.answers = {true};
    window->cmdSaveConfigAs_Click();
    ExpectOneMessage("Save Configuration As...", "Replace it?");
    EXPECT_THAT(ReadFile(other), HasSubstr("victim.log"));
    EXPECT_EQ(window->ConfigPath(), other);

    // A name without an extension gets ".xml", so Open's filter shows it.
    dialogAnswers = {folder + "/plain"};
    window->cmdSaveConfigAs_Click();
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_EQ(window->ConfigPath(), folder + "/plain.xml");
    EXPECT_FALSE(fs::exists(folder + "/plain"));
}

TEST_F(MainWindowTest, OpenShowsWhatCouldNotBeLoadedOrWasAdjusted) {
    window->Form_Load("");
    const Rows held = {{"/logs/held.log", ""}};
    const struct {
        const char* reason;
        std::string bytes;
        const char* part; ///< of the one message's text
        Rows jobs;        ///< afterwards; `held` when nothing was loaded
    } cases[] = {
        {"a log", "#Software: SHOUTcast\r\n", "is not a configuration file", held},
        // Emptying the tables would throw away what earlier incremental runs loaded.
        {"incremental with truncation",
         "<TruncateOnce>True</TruncateOnce><TruncatePerFile>True</TruncatePerFile>"
         "<Incremental>True</Incremental><Jobs><Job><File>b.log</File></Job></Jobs>",
         "Loading only new lines stays on; both TRUNCATE options were cleared.",
         {{"b.log", ""}}},
        {"rows per commit out of bounds",
         "<CommitRows>5000000</CommitRows><Jobs></Jobs>",
         "the largest allowed, 1000000, is used.",
         {}},
    };
    // Started without a file, the window loads in batches; a file without the setting does not.
    EXPECT_EQ(window->CommitRows(), kNewSetupCommitRows);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        const std::size_t rowsBefore = window->CommitRows();
        grid->Clear();
        window->AddFile("/logs/held.log");
        window->SetIncremental(false);
        window->chkTruncateOnStart->setChecked(true);
        const std::string before = window->ConfigPath();
        const std::string path = folder + "/open" + std::to_string(&c - cases) + ".xml";
        WriteFile(path, c.bytes);
        dialogAnswers = {path};
        window->cmdOpenConfig_Click();
        const bool loaded = c.jobs != held;
        EXPECT_THAT(prompts.shown.at(0).text, HasSubstr("'" + path + "'"));
        ExpectOneMessage(loaded ? "Configuration Adjusted" : "Configuration Not Loaded", c.part);
        EXPECT_EQ(Jobs(), c.jobs);
        EXPECT_EQ(window->ConfigPath(), loaded ? path : before);
        EXPECT_EQ(window->chkTruncateOnStart->isChecked(), !loaded);
        EXPECT_EQ(window->Incremental(), &c == &cases[1]);
        EXPECT_EQ(window->chkTruncateOnStart->isEnabled(), !window->Incremental());
        EXPECT_EQ(window->CommitRows(), !loaded           ? rowsBefore
                                        : &c == &cases[2] ? kMaxCommitRows
                                                          : 1);
    }
}

TEST_F(MainWindowTest, TheDsnInUseStaysSelectedUntilItIsGone) {
    Loaded();
    QComboBox& list = *window->cboDSNList;
    PickDsn("brenvale_missing_driver");
    // The driver manager's diagnostic stands between the two fixed parts.
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_THAT(prompts.shown[0].text,
                MatchesRegex("An error occured while opening DSN 'brenvale_missing_driver':\r\n\r\n"
                             ".+\r\n\r\nPlease verify your database settings under DSN Setup "
                             "and try again\\."));
    EXPECT_EQ(std::tuple(prompts.shown[0].icon, prompts.shown[0].title),
              std::tuple(MessageIcon::Critical, "Error Opening Database"));
    EXPECT_EQ(list.currentIndex(), -1);
    EXPECT_FALSE(window->conn.IsOpen());

    // A failed pick, Refresh, and DSN Setup once its program has ended keep the DSN in use.
    PickDsn(kSqliteDsn);
    PickDsn(kPostgresDsn);
    PickDsn("brenvale_missing_driver");
    EXPECT_EQ(prompts.shown.size(), 2u);
    EXPECT_EQ(InUse(), "brenvale_pg PostgreSQL");
    window->cmdDSNRefresh->click();
    EXPECT_EQ(InUse(), "brenvale_pg PostgreSQL");
    const std::string marker = folder + "/ran.txt";
    fs::permissions(
        WriteFile(folder + "/brenvale-dsn-setup", "#!/bin/sh\necho ran >'" + marker + "'"),
        fs::perms::owner_all);
    PickDsn(kSqliteDsn);
    window->cmdDSNSetup_Click();
    EXPECT_TRUE(fs::exists(marker));
    EXPECT_EQ(InUse(), "brenvale_sqlite SQLite");
    EXPECT_EQ(prompts.shown.size(), 2u);
    prompts.shown.clear();

    // A DSN in use that a refresh no longer finds is closed.
    ScratchUserIni("mw_ini");
    ASSERT_TRUE(odbc::WriteUserDsn({"mw_gone", "SQLite3", {{"Database", folder + "/g.db"}}}, ""));
    window->cmdDSNRefresh->click();
    PickDsn("mw_gone");
    EXPECT_TRUE(window->conn.IsOpen());
    ASSERT_TRUE(odbc::RemoveUserDsn("mw_gone"));
    window->cmdDSNRefresh->click();
    EXPECT_EQ(window->DsnText(), "");
    EXPECT_FALSE(window->conn.IsOpen());
    // Without a DSN in use, the one DSN Setup adds is taken; with one, it stays.
    const auto addingSetup = [&](const std::string& name) {
        fs::permissions(WriteFile(folder + "/brenvale-dsn-setup",
                                  "#!/bin/sh\nprintf '[" + name +
                                      "]\\nDriver=SQLite3\\n"
                                      "Database=" +
                                      folder + "/added.db\\n' >>\"$ODBCINI\"\n"),
                        fs::perms::owner_all);
        window->cmdDSNSetup_Click();
    };
    addingSetup("mw_added");
    EXPECT_EQ(InUse(), "mw_added SQLite");
    addingSetup("mw_added_too");
    EXPECT_EQ(InUse(), "mw_added SQLite");
    EXPECT_GE(list.findText("mw_added_too"), 0);
    EXPECT_TRUE(prompts.shown.empty());
    for (const char* name : {"mw_added", "mw_added_too"})
        ASSERT_TRUE(odbc::RemoveUserDsn(name));
    // With no data sources at all, the empty list says what to do. The driver manager reads the
    // system file's folder only once, so the file itself is emptied for a moment.
    const std::string systemIni = TestDir() + "/odbc.ini", systemText = ReadFile(systemIni);
    WriteFile(systemIni, "");
    window->cmdDSNRefresh->click();
    WriteFile(systemIni, systemText);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.placeholderText(), "No data sources: use DSN Setup to add one");
    window->cmdDSNRefresh->click();
    EXPECT_EQ(list.placeholderText(), "");

    // A program that cannot be started is a message, not a crash.
    window->SetDsnSetupProgram(folder + "/missing-admin");
    window->cmdDSNSetup_Click();
    ExpectOneMessage("DSN Setup", folder + "/missing-admin");
    EXPECT_GE(list.findText(kSqliteDsn), 0);
}

// A new user's way from an empty database to loaded rows without writing SQL: Add File, New
// Table... in the chooser, Process Log Files, and the summary. (The created table on every
// database is the command line's test.)
TEST_F(MainWindowTest, FromNoTableToLoadedRowsAndASummaryNamingTheRefusedAndShortLinesKept) {
    TestDatabase db(kPostgresDsn);
    db.TryExec("DROP TABLE IF EXISTS mw_first_run");
    // The typed status column refuses "OK" (line 5); line 9 is short. Batches of 1000 rows
    // still load every other line.
    const std::string refused =
        "192.0.2.10 bad 2006-11-26 13:05:00 /stream OK Player%2F1.0 4096 60 64";
    std::string text = HeadedLog(5);
    text.insert(text.find("192.0.2.10 host2"), refused + "\n");
    const std::string log = WriteFile(folder + "/w3c.log", text + "192.0.2.10 short\n");
    Loaded(kPostgresDsn);
    window->spnCommitRows->setValue(1000);
    dialogAnswers = {log};
    std::vector<std::string> asked;
    SetTextQuestionScript([&](const std::string& title, const std::string&) {
        asked.push_back(title);
        return std::optional<std::string>("mw_first_run");
    });
    onChooser = [](frmSelectTable& chooser) { chooser.cmdNewTable->click(); };
    window->cmdAddFile_Click();
    EXPECT_EQ(asked, std::vector<std::string>{"New Table"});
    ASSERT_EQ(Jobs(), (Rows{{log, "mw_first_run"}}));

    window->cmdStart->click();
    test::Rows loaded;
    for (int i = 0; i < 5; ++i)
        loaded.push_back({"host" + std::to_string(i), "4096"});
    EXPECT_EQ(db.Query("SELECT c_dns, sc_bytes FROM mw_first_run ORDER BY c_dns"), loaded);
    EXPECT_TRUE(sawRun);
    EXPECT_FALSE(StatusShown());
    EXPECT_TRUE(window->isEnabled());
    EXPECT_FALSE(window->State().bCancel);
    const std::vector<std::string> rejects = RejectsFiles();
    ASSERT_EQ(rejects.size(), 1u);
    EXPECT_TRUE(fs::path(rejects[0]).filename().string().starts_with("rejects-"));
    EXPECT_TRUE(prompts.shown.empty());
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].verdict,
              "1 of 1 job needs attention: 1 job had lines the database refused.");
    EXPECT_THAT(summaries[0].notes,
                HasSubstr("The lines that inserted nothing are in " + rejects[0]));
    EXPECT_THAT(
        summaries[0].text,
        AllOf(StartsWith("emptied before loading: mw_first_run (0 rows)\njob 1 of 1: " + log +
                         " -> mw_first_run\n"),
              HasSubstr("  lines read: 9; rows inserted: 5; lines skipped: 4 (comment/empty "
                        "2, short 1, refused by the database 1, too long 0)"),
              HasSubstr("database diagnostics (first 1 of 1):\n    line 5: 22P02: "),
              HasSubstr("lines that inserted nothing: " + rejects[0] + "\n")));
    EXPECT_THAT(ReadFile(rejects[0]),
                AllOf(StartsWith(std::string(kRejectsHeader) + "\n" + log +
                                 "\tmw_first_run\t5\trefused\t22P02\t"),
                      EndsWith("\t" + refused + "\n" + log +
                               "\tmw_first_run\t9\tshort\t\t\t192.0.2.10 short\n")));

    // Where no rejects file can be made, the summary says so instead of naming one.
    ::setenv("XDG_STATE_HOME", log.c_str(), 1);
    summaries.clear();
    window->cmdStart->click();
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_THAT(summaries[0].notes, HasSubstr("were not kept"));
    EXPECT_THAT(summaries[0].text,
                AllOf(Not(HasSubstr("lines that inserted nothing:")),
                      HasSubstr("The lines that inserted nothing were not kept: the folder '" +
                                log + "/brenvale' could not be created")));
}

/// Counts the paint events of the widgets in frmStatus windows.
class StatusPaints final : public QObject {
public:
    int count = 0;

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        auto* widget = qobject_cast<QWidget*>(object);
        if (event->type() == QEvent::Paint && widget && qobject_cast<frmStatus*>(widget->window()))
            ++count;
        return false;
    }
};

// A run started by a click goes on inside that click's handling and yields to the event loop:
// the status window must still be exposed and painted then, and take a click on Cancel that
// comes through the window system. (Under Xvfb, `xwd -root` shows a window that lies wholly
// inside another of the same colormap as black; the screen itself is right, and so is this.)
TEST_F(MainWindowTest, ARunStartedByAClickPaintsTheStatusWindowAndItsCancelStopsTheRun) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("mw_cancel");
    Loaded(kSqliteDsn);
    const std::string log = WriteFile(folder + "/cancel.log", HeadedLog(3));
    for (int i = 0; i < 2; ++i) {
        window->AddFile(log);
        grid->SetText(grid->Count(), kColumnTable, "mw_cancel");
    }
    prompts.answers = {true};
    StatusPaints paints;
    QApplication::instance()->installEventFilter(&paints);
    bool clicked = false;
    duringRun = [&] {
        auto* status = window->findChild<frmStatus*>();
        if (clicked || !status->windowHandle()->isExposed() || paints.count == 0)
            return;
        clicked = true;
        const QWidget& cancel = *status->cmdCancel;
        QTest::mouseClick(status->windowHandle(), Qt::LeftButton, {},
                          cancel.mapTo(status, cancel.rect().center()));
    };
    QTest::mouseClick(window->cmdStart, Qt::LeftButton);
    QApplication::instance()->removeEventFilter(&paints);

    EXPECT_TRUE(clicked);
    EXPECT_EQ(prompts.shown, (std::vector<Shown>{{MessageIcon::Question, "Cancel?",
                                                  "Are you sure you wish to cancel?", true}}));
    EXPECT_EQ(db.Count("mw_cancel"), 0);
    EXPECT_FALSE(StatusShown());
    EXPECT_TRUE(window->isEnabled());
    EXPECT_FALSE(window->State().bCancel);
}

TEST_F(MainWindowTest, TheRunSummaryPutsWhatNeedsTheUserFirstAndOpensCopiesAndSavesIt) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("mw_sum");
    db.Exec("INSERT INTO mw_sum (c_dns) VALUES ('old1'), ('old2')");
    db.TryExec("DROP TABLE mw_sum_missing");
    Loaded(kSqliteDsn);
    const std::string good = WriteFile(folder + "/good.log", HeadedLog(2));
    const std::vector<Job> jobs = {
        {good, "mw_sum"}, {folder + "/no-such.log", "mw_sum"}, {good, "mw_sum_missing"}};
    for (const Job& job : jobs) {
        window->AddFile(job.File);
        grid->SetText(grid->Count(), kColumnTable, job.DBTable);
    }
    window->chkTruncateOnStart->setChecked(true);
    prompts.answers = {true}; // go on without mw_sum_missing: its lines are refused
    std::vector<std::string> opened;
    frmRunSummary::SetOpener([&](const std::string& path) {
        opened.push_back(path);
        return true;
    });
    const std::string json = folder + "/run";
    dialogAnswers = {json};
    onSummary = [&](frmRunSummary& summary) {
        QTreeWidget& tree = *summary.tvJobs;
        ASSERT_EQ(tree.topLevelItemCount(), 3);
        std::vector<std::string> rows;
        for (int i = 0; i < 3; ++i)
            rows.push_back((tree.topLevelItem(i)->text(0) + " " + tree.topLevelItem(i)->text(1))
                               .toStdString());
        EXPECT_EQ(rows, (std::vector<std::string>{"2 Failed", "3 2 refused", "1 Loaded"}));
        const QTreeWidgetItem* failed = tree.topLevelItem(0);
        ASSERT_GE(failed->childCount(), 1);
        EXPECT_TRUE(failed->isExpanded());
        EXPECT_TRUE(failed->child(0)->text(0).startsWith("Could not be read: "));
        const QTreeWidgetItem* refused = tree.topLevelItem(1);
        EXPECT_TRUE(refused->isExpanded());
        EXPECT_EQ(refused->child(0)->text(0).toStdString(),
                  "Skipped: 2 comments or empty, 2 refused by the database");
        EXPECT_TRUE(refused->child(1)->text(0).startsWith("Database: line 3: "));
        EXPECT_FALSE(tree.topLevelItem(2)->isExpanded());
        EXPECT_THAT(summary.lblNotes->text().toStdString(),
                    HasSubstr("Emptied before loading: mw_sum, which held 2 rows."));

        ASSERT_TRUE(summary.cmdOpenRejects->isEnabled());
        summary.cmdOpenRejects->click();
        summary.cmdShowFolder->click();
        summary.cmdCopy->click();
        EXPECT_EQ(QApplication::clipboard()->text().toStdString(), summary.SummaryText());
        summary.cmdSaveJson->click();
    };
    window->cmdStart->click();
    frmRunSummary::SetOpener(nullptr);

    ASSERT_EQ(prompts.shown.size(), 2u);
    EXPECT_EQ(prompts.shown[0], MissingTable("mw_sum_missing"));
    EXPECT_EQ(prompts.shown[1].title, "Error Opening Log File");
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].verdict, "2 of 3 jobs need attention: 1 log could not be read; 1 job "
                                    "had lines the database refused.");
    const std::vector<std::string> rejects = RejectsFiles();
    ASSERT_EQ(rejects.size(), 1u);
    EXPECT_EQ(opened, (std::vector<std::string>{rejects[0], stateDir + "/brenvale"}));
    // The JSON is the console's: the code a scheduler would have got, the emptied table.
    EXPECT_THAT(ReadFile(json + ".json"),
                AllOf(HasSubstr("\"exitCode\": 7"), HasSubstr("\"result\": \"completed\""),
                      HasSubstr("\"emptied\": [{\"table\": \"mw_sum\", \"rows\": 2}]")));
    EXPECT_EQ(db.Count("mw_sum"), 2);
}

TEST_F(MainWindowTest, AnExceptionInACommandIsAMessageAndTheWindowGoesOn) {
    TestDatabase db(kSqliteDsn);
    db.TryExec("DROP TABLE IF EXISTS mw_guard");
    const std::string log = WriteFile(folder + "/guard.log", HeadedLog(2));
    Loaded(kSqliteDsn);
    window->AddFile(log);
    grid->SetText(1, kColumnTable, "mw_guard");
    const struct {
        const char* reason;
        QPushButton* button;
        const char* failure;
        std::function<void()> setup; ///< none: the next question or file dialog throws `failure`
    } cases[] = {
        {"the open dialog fails", window->cmdOpenConfig, "no dialog", {}},
        {"the new table's name cannot be asked", window->cmdAddFile, "no question",
         [&] {
             SetTextQuestionScript(
                 [](const std::string&, const std::string&) -> std::optional<std::string> {
                     throw std::runtime_error("no question");
                 });
             onChooser = [](frmSelectTable& chooser) {
                 chooser.cmdNewTable->click();
                 chooser.close();
             };
             dialogAnswers = {log};
         }},
        // The run is left idle: the status window hidden, the window enabled, no run in hand.
        {"the run's question fails", window->cmdStart, "no answer", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        prompts.shown.clear();
        c.setup ? c.setup() : void(failNext = c.failure);
        c.button->click();
        EXPECT_EQ(prompts.shown,
                  (std::vector<Shown>{{MessageIcon::Critical, "",
                                       std::string("Unexpected failure: ") + c.failure, false}}));
        EXPECT_TRUE(window->isEnabled());
        EXPECT_FALSE(StatusShown());
    }
    EXPECT_EQ(Jobs(), (Rows{{log, "mw_guard"}, {log, ""}}));
    grid->SetText(2, kColumnTable, "mw_guard");
    db.CreateLogTable("mw_guard");
    prompts.shown.clear();
    window->cmdStart->click();
    EXPECT_EQ(db.Count("mw_guard"), 4);
    EXPECT_TRUE(prompts.shown.empty());
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].verdict, "All 2 jobs were loaded: 4 rows inserted.");
    // Nothing was rejected, so no rejects file is kept.
    EXPECT_EQ(RejectsFiles(), std::vector<std::string>{});
}

TEST(RejectsFolderTest, FollowsTheXdgStateHomeAndItsFallback) {
    using Variable = std::optional<std::string>; ///< nothing: unset
    const std::string dir = ScratchDir("xdg");
    WriteFile(dir + "/file", "");
    const struct {
        Variable state, home;
        std::string folder; ///< empty: none, with a reason
    } cases[] = {
        {dir + "/state", dir + "/home", dir + "/state/brenvale"},
        {{}, dir + "/home", dir + "/home/.local/state/brenvale"},
        {"relative", dir + "/home", dir + "/home/.local/state/brenvale"},
        {{}, {}, ""},
        {dir + "/file", dir + "/home", ""},
    };
    const auto set = [](const char* name, const Variable& value) {
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        set("XDG_STATE_HOME", c.state);
        set("HOME", c.home);
        std::string error;
        EXPECT_EQ(RejectsFolder(error), c.folder);
        EXPECT_EQ(error.empty(), !c.folder.empty()) << error;
        EXPECT_EQ(fs::is_directory(c.folder), !c.folder.empty());
    }
}

} // namespace
} // namespace brenvale::test

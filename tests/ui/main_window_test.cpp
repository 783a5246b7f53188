// The main window through the Qt test framework: start-up and the command line, the job grid,
// configuration files, the DSN list and whole runs with their summaries, against the test
// environment's databases.
#include "ui/frm_main.h"

#include "core/run_report.h"
#include "core/version.h"
#include "data/create_table.h"
#include "data/odbc_setup.h"
#include "support/test_support.h"
#include "ui/file_dialogs.h"
#include "ui/frm_add_url.h"
#include "ui/frm_select_table.h"
#include "ui/frm_status.h"
#include "ui/job_grid.h"
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
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace brenvale::test {
namespace {

namespace fs = std::filesystem;

using Rows = std::vector<std::pair<std::string, std::string>>;      ///< the grid's jobs
using DialogCall = std::tuple<bool, std::string, std::string, int>; ///< save, title, filter, index

constexpr const char* kXmlFilter = "XML Configuration Files (*.xml)|*.xml|All Files (*.*)|*.*";

std::string LogText(int lines) {
    std::string text = "#Software: SHOUTcast\n#Fields: c-ip c-dns date time cs-uri-stem c-status "
                       "cs(User-Agent) sc-bytes x-duration avgbandwidth\n";
    for (int i = 0; i < lines; ++i)
        text += "192.0.2.10 host" + std::to_string(i) +
                " 2006-11-26 13:05:00 /stream 200 Player%2F1.0 4096 60 64\n";
    return text;
}

std::string ConfigText(const std::string& dsn, const std::string& file, const std::string& table) {
    return "<Brenvale.Config><DSN>" + dsn + "</DSN><Jobs><Job><File>" + file + "</File><DBTable>" +
           table + "</DBTable></Job></Jobs></Brenvale.Config>";
}

/// The scripted answers, or an exception in place of the next answer while `failNext` is set.
class FailingPrompts final : public Prompts {
public:
    explicit FailingPrompts(ScriptedPrompts& script) : script_(script) {}
    std::string failNext;

    bool AskYesNo(MessageIcon icon, const std::string& title, const std::string& text) override {
        if (!failNext.empty())
            throw std::runtime_error(std::exchange(failNext, {}));
        return script_.AskYesNo(icon, title, text);
    }
    void Inform(MessageIcon icon, const std::string& title, const std::string& text) override {
        script_.Inform(icon, title, text);
    }

private:
    ScriptedPrompts& script_;
};

/// The parts of `text` between the `separator`s (its lines, by default).
std::vector<std::string> Split(const std::string& text, char separator = '\n') {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

/// Picks `name` in the chooser as a click on it does.
void Pick(frmSelectTable& chooser, const std::string& name) {
    const auto found = chooser.lstTables->findItems(QString::fromStdString(name),
                                                    Qt::MatchExactly | Qt::MatchCaseSensitive);
    ASSERT_FALSE(found.isEmpty()) << name << " is not offered";
    chooser.lstTables->setCurrentItem(found.front());
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = ScratchDir("mw");
        // Rejects files of the window's runs go here, not into the user's own folder.
        stateDir = ScratchDir("state");
        ::setenv("XDG_STATE_HOME", stateDir.c_str(), 1);
        SetFileDialogScript([this](bool save, const std::string& title, const std::string& filter,
                                   int filterIndex) {
            if (!failDialog.empty())
                throw std::runtime_error(failDialog);
            dialogCalls.emplace_back(save, title, filter, filterIndex);
            std::string answer;
            if (!dialogAnswers.empty()) {
                answer = dialogAnswers.front();
                dialogAnswers.pop_front();
            }
            return answer;
        });
        QObject::connect(&ticks_, &QTimer::timeout, [this] { Tick(); });
        ticks_.start(0);
        NewWindow();
    }
    void TearDown() override {
        EXPECT_EQ(unexpected, std::vector<std::string>{});
        window.reset();
        SetFileDialogScript(nullptr);
        SetTextQuestionScript(nullptr);
    }

    /// A fresh window on the scratch folder, not yet loaded.
    void NewWindow() {
        window = std::make_unique<frmMain>(&answering);
        window->SetProgramFolder(folder);
    }

    /// Shows the loaded window as the active one, so that focus moves as for the user.
    void ShowActive() {
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    /// Selects `dsn` in the DSN list as the user's pick does.
    void PickDsn(const std::string& dsn) {
        QComboBox& list = *window->cboDSNList;
        const int index = list.findText(QString::fromStdString(dsn));
        ASSERT_GE(index, 0) << dsn << " is not listed";
        list.setCurrentIndex(index);
        emit list.activated(index);
    }

    Rows Jobs() const {
        Rows jobs;
        for (int row = 1; row <= window->grid->Count(); ++row)
            jobs.emplace_back(window->grid->Text(row, kColumnFile),
                              window->grid->Text(row, kColumnTable));
        return jobs;
    }

    /// The rejects files the window's runs kept.
    std::vector<std::string> RejectsFiles() const {
        std::vector<std::string> files;
        if (fs::exists(stateDir + "/brenvale"))
            for (const auto& entry : fs::directory_iterator(stateDir + "/brenvale"))
                files.push_back(entry.path().string());
        return files;
    }

    /// Expects one message box so far, titled `title`, with `part` in its text.
    void ExpectOneMessage(const std::string& title, const std::string& part) {
        ASSERT_EQ(prompts.shown.size(), 1u);
        EXPECT_EQ(prompts.shown[0].title, title);
        EXPECT_NE(prompts.shown[0].text.find(part), std::string::npos) << prompts.shown[0].text;
    }

    ScriptedPrompts prompts;
    FailingPrompts answering{prompts};
    std::string folder;
    std::string stateDir;
    std::string failDialog; ///< thrown by the next file dialog while set
    std::deque<std::string> dialogAnswers;
    std::vector<DialogCall> dialogCalls;
    std::unique_ptr<frmMain> window;
    // The modal windows that open inside the window's own event loops are answered on each pass
    // of the loop; one nobody scripted is closed and recorded, so a test never hangs on it.
    std::function<void(frmSelectTable&)> onChooser = [](frmSelectTable& c) { c.close(); };
    std::function<void(frmAddURL&)> onAddUrl = [](frmAddURL& dialog) { dialog.close(); };
    std::function<void()> onTick = [] {}; ///< every pass, a run's yields included
    int choosersShown = 0;
    int addUrlsShown = 0;
    std::vector<std::string> unexpected;

private:
    void Tick() {
        onTick();
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible())
            return;
        if (auto* chooser = qobject_cast<frmSelectTable*>(modal)) {
            ++choosersShown;
            onChooser(*chooser);
        } else if (auto* addUrl = qobject_cast<frmAddURL*>(modal)) {
            ++addUrlsShown;
            onAddUrl(*addUrl);
        } else if (qobject_cast<frmStatus*>(modal) == nullptr) {
            unexpected.push_back(modal->metaObject()->className());
            modal->close();
        }
    }

    QTimer ticks_;
};

// ---------------------------------------------------------------------------------------------

TEST(ArgumentTextTest, JoinsWithSingleBlanks) {
    const char* argv[] = {"brenvale", "/a", "/c", "my file.xml"};
    EXPECT_EQ(ArgumentText(4, argv), "/a /c my file.xml");
    EXPECT_EQ(ArgumentText(1, argv), "");
}

TEST_F(MainWindowTest, StartUpWithEachCommandLine) {
    // "{cfg}" stands for an existing configuration (a blank in its name) with a three-line job,
    // "{dir}" for its folder.
    const struct {
        const char* arguments;
        bool defaultFile;      ///< a config.xml in the program's folder
        StartupCommand parsed; ///< "/a" then loads the three lines, "/q" ends at once
        const char* loaded;    ///< the file name in the title, empty for none
        const char* missing;   ///< the configuration reported missing, empty for none
    } cases[] = {
        {"", false, {}, "", ""},
        {"", true, {}, "config.xml", ""},
        {"/a /q /c {cfg}", false, {"{cfg}", true, "/a /q /", true, true}, "my jobs.xml", ""},
        // Switches after the path belong to it.
        {"/c {cfg} /a /q", false, {"{cfg} /a /q", true, "/", false, false}, "", "{cfg} /a /q"},
        // Capitals are not switches.
        {"/A /Q /C x.xml", true, {"", false, "/A /Q /C x.xml", false, false}, "config.xml", ""},
        {"/c \"{cfg}\"", false, {"\"{cfg}\"", true, "/", false, false}, "", "\"{cfg}\""},
        {"/c", false, {"", true, "/", false, false}, "", "{dir}/config.xml"},
        {"/a/c   {cfg}  ", false, {"{cfg}", true, "/a/", true, false}, "my jobs.xml", ""},
        // A longer word counts as the switch it starts with.
        {"/all /c {cfg}", false, {"{cfg}", true, "/all /", true, false}, "my jobs.xml", ""},
        {"/quiet /c {cfg}", false, {"{cfg}", true, "/quiet /", false, true}, "my jobs.xml", ""},
    };
    const auto fields = [](const StartupCommand& c) {
        return std::tuple(c.configPath, c.hasConfig, c.switchText, c.runAll, c.quit);
    };
    TestDatabase db(kSqliteDsn);
    const std::string log = folder + "/start.log";
    WriteFile(log, LogText(3));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("'") + c.arguments + (c.defaultFile ? "' with config.xml" : "'"));
        const std::string table = "mw_start_" + std::to_string(&c - cases);
        db.CreateLogTable(table);
        folder = ScratchDir("start");
        const std::string cfg = folder + "/my jobs.xml";
        WriteFile(cfg, ConfigText(kSqliteDsn, log, table));
        if (c.defaultFile)
            WriteFile(folder + "/config.xml", ConfigText("", "default.log", "mw_default"));
        const auto expand = [&](std::string text) {
            for (const auto& [key, value] : {std::pair{"{cfg}", cfg}, {"{dir}", folder}})
                for (auto at = text.find(key); at != std::string::npos; at = text.find(key))
                    text.replace(at, std::strlen(key), value);
            return text;
        };
        StartupCommand parsed = c.parsed;
        parsed.configPath = expand(parsed.configPath);
        EXPECT_EQ(fields(ParseCommandLine(expand(c.arguments))), fields(parsed));
        prompts.shown.clear();
        NewWindow();

        EXPECT_EQ(window->Form_Load(expand(c.arguments)), !parsed.quit);

        EXPECT_EQ(window->windowTitle().toStdString(),
                  ProgramTitle() +
                      (*c.loaded != '\0' ? std::string(" - Config: ") + c.loaded : ""));
        std::vector<Shown> messages;
        if (*c.missing != '\0') {
            messages.push_back({MessageIcon::Critical, "Configuration File Missing",
                                "The configuration file '" + expand(c.missing) +
                                    "' does not exist.\r\nConfiguration settings cannot be loaded.",
                                false});
            EXPECT_EQ(Jobs(), Rows{});
        }
        // "/a" ends with the run's summary, unless "/q" ends the program right after.
        if (parsed.runAll && !parsed.quit) {
            ASSERT_FALSE(prompts.shown.empty());
            EXPECT_EQ(prompts.shown.back().title, "Run Summary");
            EXPECT_NE(prompts.shown.back().text.find("rows inserted: 3"), std::string::npos);
            prompts.shown.pop_back();
        }
        EXPECT_EQ(prompts.shown, messages);
        EXPECT_EQ(db.Count(table), parsed.runAll ? 3 : 0);
        EXPECT_TRUE(window->isVisible());
        EXPECT_TRUE(window->isEnabled());
        window.reset();
        // Ending through "/q" or being destroyed saves nothing.
        EXPECT_EQ(ReadFile(cfg), ConfigText(kSqliteDsn, log, table));
        EXPECT_EQ(fs::exists(folder + "/config.xml"), c.defaultFile);
        db.TryExec("DROP TABLE " + table);
    }
}

TEST_F(MainWindowTest, InitialWindow) {
    window->Form_Load("");
    EXPECT_EQ(window->size(), QSize(576, 449));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    const QTableWidget& grid = *window->grid->gridFiles;
    ASSERT_EQ(grid.columnCount(), 2);
    EXPECT_EQ(grid.horizontalHeaderItem(0)->text(), "Log File");
    EXPECT_EQ(grid.horizontalHeaderItem(1)->text(), "Target Table");
    EXPECT_EQ(grid.horizontalHeader()->sectionSize(0), 413);
    EXPECT_EQ(grid.horizontalHeader()->sectionSize(1), 132);
    EXPECT_EQ((std::vector<bool>{window->chkTruncateOnStart->isChecked(),
                                 window->chkTruncateOnInsert->isChecked(),
                                 window->chkTranslateASCII->isChecked(),
                                 window->chkSaveConfigOnExit->isChecked()}),
              (std::vector<bool>{true, false, true, true}));
    EXPECT_FALSE(window->chkIncremental->isChecked());
    const QSpinBox& rows = *window->spnCommitRows;
    EXPECT_EQ(std::tuple(rows.minimum(), rows.maximum(), rows.value()), std::tuple(1, 1000000, 1));
    EXPECT_EQ(window->focusWidget(), window->cmdStart);
    // The two later options sit between Save Configuration on Exit and About, inside the frame,
    // each caption whole.
    const std::vector<QWidget*> column = {window->chkSaveConfigOnExit, window->chkIncremental,
                                          window->spnCommitRows, window->cmdAbout};
    for (std::size_t i = 1; i < column.size(); ++i)
        EXPECT_GT(column[i]->y(), column[i - 1]->geometry().bottom()) << i;
    EXPECT_LT(window->lblCommitRows->geometry().right(), rows.x());
    for (QWidget* control :
         window->frameOptions->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        EXPECT_TRUE(window->frameOptions->rect().contains(control->geometry()));
        EXPECT_LE(control->sizeHint().width(), control->width())
            << control->metaObject()->className();
    }
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
    window->show();
    window->close();
    EXPECT_NE(ReadFile(folder + "/config.xml").find("<File>/logs/b.log</File>"), std::string::npos);

    // A program folder that is not there sends the file to the per-user folder; when that cannot
    // be made either (its parent is a file), the reason is shown and the window still closes.
    WriteFile(folder + "/plain", "");
    ::setenv("XDG_CONFIG_HOME", (folder + "/plain/home").c_str(), 1);
    window->SetProgramFolder(folder + "/gone");
    window->Form_Load("");
    ::unsetenv("XDG_CONFIG_HOME");
    window->show();
    window->close();
    EXPECT_FALSE(window->isVisible());
    ExpectOneMessage("Configuration Not Saved", folder + "/plain/home/brenvale/config.xml");
}

// ---------------------------------------------------------------------------------------------

TEST_F(MainWindowTest, AddFileThenPickOrCloseTheChooserThenDelete) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("mw_pick");
    window->Form_Load("");
    PickDsn(kSqliteDsn);
    window->cmdDelete_Click(); // empty list
    dialogAnswers = {"/logs/a.log", "/logs/b.log"};

    onChooser = [](frmSelectTable& chooser) { Pick(chooser, "mw_pick"); };
    window->cmdAddFile_Click();
    onChooser = [](frmSelectTable& chooser) { chooser.close(); };
    window->cmdAddFile_Click();
    EXPECT_EQ(choosersShown, 2);
    // A cancelled dialog adds nothing and asks for no table.
    window->cmdAddFile_Click();
    EXPECT_EQ(choosersShown, 2);
    EXPECT_EQ(Jobs(), (Rows{{"/logs/a.log", "mw_pick"}, {"/logs/b.log", ""}}));
    const DialogCall open{false, "Choose a valid SHOUTcast W3C Formatted Log File",
                          "Log Files (*.log)|*.log|Text Files (*.txt)|*.txt|All Files (*.*)|*.*",
                          1};
    EXPECT_EQ(dialogCalls, std::vector<DialogCall>(3, open));

    window->AddFile("/logs/c.log");
    window->grid->gridFiles->clearSelection();
    window->cmdDelete_Click();
    EXPECT_EQ(window->grid->Count(), 3);
    window->grid->gridFiles->selectRow(1);
    window->cmdDelete_Click();
    EXPECT_EQ(Jobs(), (Rows{{"/logs/a.log", "mw_pick"}, {"/logs/c.log", ""}}));
    EXPECT_TRUE(prompts.shown.empty());
    db.TryExec("DROP TABLE mw_pick");
}

TEST_F(MainWindowTest, CommittingAMissingTableAsks) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("mw_edit");
    window->Form_Load("");
    window->show();
    PickDsn(kSqliteDsn);
    window->AddFile("a.log");
    window->grid->SetText(1, kColumnTable, "old");

    ASSERT_TRUE(window->grid->StartCellEdit(1, kColumnTable));
    QComboBox& combo = *window->grid->cboTables;
    EXPECT_TRUE(combo.isVisible());
    EXPECT_GE(combo.findText("mw_edit"), 0);
    EXPECT_EQ(combo.currentText(), "old");
    // Over the cell like the text box, so that it hides no part of the next row.
    const QRect cell =
        window->grid->gridFiles->visualRect(window->grid->gridFiles->model()->index(0, 1));
    const QPoint cellTop =
        window->grid->gridFiles->viewport()->mapTo(window->frameFiles, cell.topLeft());
    EXPECT_EQ(combo.geometry(), QRect(cellTop + QPoint(0, 1), cell.size()));

    // No keeps the editor open on the old value; Yes takes the typed name.
    combo.setEditText("mw_nosuch");
    prompts.answers = {false, true};
    QTest::keyClick(&combo, Qt::Key_Return);
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(window->grid->Text(1, kColumnTable), "old");
    EXPECT_TRUE(window->grid->IsEditing());
    EXPECT_TRUE(combo.isVisible());
    QTest::keyClick(&combo, Qt::Key_Return);
    const Shown missing{MessageIcon::Exclamation, "Table Does Not Exist",
                        "The selected table 'mw_nosuch' does not seem to exist.  Continue anyway?",
                        true};
    EXPECT_EQ(prompts.shown, std::vector<Shown>(2, missing));
    EXPECT_EQ(window->grid->Text(1, kColumnTable), "mw_nosuch");
    EXPECT_FALSE(window->grid->IsEditing());
    EXPECT_FALSE(combo.isVisible());

    // Escape abandons the edit: the cell keeps its text.
    ASSERT_TRUE(window->grid->StartCellEdit(1, kColumnTable));
    combo.setEditText("mw_edit");
    QTest::keyClick(&combo, Qt::Key_Escape);
    EXPECT_FALSE(combo.isVisible());
    EXPECT_EQ(window->grid->Text(1, kColumnTable), "mw_nosuch");
    db.TryExec("DROP TABLE mw_edit");
}

TEST_F(MainWindowTest, ATypedTableIsStoredAsTypedHoweverTheEditEnds) {
    enum class End { Enter, Tab, ClickElsewhere };
    const struct {
        const char* dsn;
        const char* typed;
        End end;
        bool asks; ///< "Table Does Not Exist": No keeps what was typed, Enter and Yes store it
        const char* reason;
    } cases[] = {
        {kMariaDsn, "station_logs", End::Tab, false, "Station_Logs, listed first, differs in case"},
        {kMariaDsn, "station_logs", End::ClickElsewhere, false, "the same, by a click"},
        {kMariaDsn, "station_logs", End::Enter, false, "the same, by Enter"},
        {kMariaDsn, "Station_Logs", End::Tab, false, "the other one of the pair"},
        {kPostgresDsn, "STATION_LOGS", End::Tab, true, "only station_logs exists"},
        {kSqliteDsn, "STATION_LOGS", End::ClickElsewhere, true, "only station_logs exists"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.dsn) + ": " + c.reason);
        TestDatabase db(c.dsn);
        const char* quote = db.IsMaria() ? "`" : "\"";
        for (const char* table : {"Station_Logs", "station_logs"})
            db.TryExec(std::string("DROP TABLE IF EXISTS ") + quote + table + quote);
        db.Exec("CREATE TABLE station_logs (x INTEGER)");
        if (db.IsMaria())
            db.Exec("CREATE TABLE `Station_Logs` (x INTEGER)");
        prompts.shown.clear();
        prompts.answers = {false, true};
        NewWindow();
        window->Form_Load("");
        ShowActive();
        PickDsn(c.dsn);
        window->AddFile("a.log");
        window->AddFile("b.log");

        ASSERT_TRUE(window->grid->StartCellEdit(1, kColumnTable));
        QLineEdit& typing = *window->grid->cboTables->lineEdit();
        typing.clear();
        QTest::keyClicks(&typing, QString::fromLatin1(c.typed));
        if (c.end == End::Tab) {
            QTest::keyClick(&typing, Qt::Key_Tab);
        } else if (c.end == End::ClickElsewhere) {
            QTableWidget& grid = *window->grid->gridFiles;
            QTest::mouseClick(grid.viewport(), Qt::LeftButton, {},
                              grid.visualRect(grid.model()->index(1, 0)).center());
        } else {
            QTest::keyClick(&typing, Qt::Key_Return);
        }
        QApplication::processEvents();
        if (c.asks) {
            ASSERT_EQ(prompts.shown.size(), 1u);
            EXPECT_EQ(prompts.shown[0].title, "Table Does Not Exist");
            EXPECT_TRUE(window->grid->IsEditing());
            EXPECT_EQ(window->grid->cboTables->currentText().toStdString(), c.typed);
            QTest::keyClick(&typing, Qt::Key_Return);
        }
        EXPECT_EQ(prompts.shown.size(), c.asks ? 2u : 0u);
        EXPECT_FALSE(window->grid->IsEditing());
        EXPECT_EQ(window->grid->Text(1, kColumnTable), c.typed);
        db.TryExec(std::string("DROP TABLE IF EXISTS ") + quote + "Station_Logs" + quote);
        db.TryExec("DROP TABLE IF EXISTS station_logs");
    }
}

TEST_F(MainWindowTest, EveryCommandFirstCommitsTheOpenEdit) {
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("mw_cmd");
    const std::string log = folder + "/new.log";
    WriteFile(log, LogText(3));
    // A fresh window with the job {old.log, mw_cmd}, its cell `col` being edited to `typed`.
    const auto editing = [&](int col, const std::string& typed) {
        folder = ScratchDir("cmd");
        NewWindow();
        window->Form_Load("");
        ShowActive();
        PickDsn(kSqliteDsn);
        window->AddFile("old.log");
        window->grid->SetText(1, kColumnTable, "mw_cmd");
        window->grid->gridFiles->selectRow(0);
        ASSERT_TRUE(window->grid->StartCellEdit(1, col));
        QLineEdit& editor =
            col == kColumnFile ? *window->grid->txtEdit : *window->grid->cboTables->lineEdit();
        editor.clear();
        QTest::keyClicks(&editor, QString::fromStdString(typed));
    };
    // A quick click acts before the editor's loss of focus is handled; Save As then reloads.
    const struct {
        const char* reason;
        std::function<void()> command;
        const char* written;
    } committed[] = {
        {"Save", [&] { QTest::mouseClick(window->cmdSaveConfig, Qt::LeftButton); }, "config.xml"},
        {"Save As",
         [&] {
             dialogAnswers = {folder + "/as.xml"};
             QTest::mouseClick(window->cmdSaveConfigAs, Qt::LeftButton);
         },
         "as.xml"},
        {"close, saving on exit", [&] { window->close(); }, "config.xml"},
    };
    for (const auto& c : committed) {
        SCOPED_TRACE(c.reason);
        editing(kColumnFile, log);
        c.command();
        EXPECT_NE(ReadFile(folder + "/" + c.written).find(log), std::string::npos);
        EXPECT_FALSE(window->grid->IsEditing());
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
    const Shown missing{MessageIcon::Exclamation, "Table Does Not Exist",
                        "The selected table 'mw_nosuch' does not seem to exist.  Continue anyway?",
                        true};
    for (const auto& [name, command] : commands) {
        SCOPED_TRACE(name);
        prompts.shown.clear();
        command();
        QApplication::processEvents();
        EXPECT_EQ(prompts.shown, std::vector<Shown>{missing});
        EXPECT_TRUE(window->grid->IsEditing());
    }
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(Jobs(), (Rows{{"old.log", "mw_cmd"}}));
    EXPECT_EQ(window->DsnText(), kSqliteDsn);
    EXPECT_EQ(window->conn.DbmsName(), "SQLite");
    EXPECT_EQ(db.Count("mw_cmd"), 1);
    EXPECT_FALSE(fs::exists(folder + "/config.xml"));
    EXPECT_EQ(dialogCalls, std::vector<DialogCall>{});
    EXPECT_EQ(addUrlsShown + choosersShown, 0);
    window->grid->AbandonCellEdit();
    window->chkSaveConfigOnExit->setChecked(false);
    db.TryExec("DROP TABLE mw_cmd");
}

TEST_F(MainWindowTest, WithoutADsnTheLogFileIsEditedButNotTheTargetTable) {
    window->Form_Load("");
    window->show();
    window->AddFile("a.log");
    const QRect cell =
        window->grid->gridFiles->visualRect(window->grid->gridFiles->model()->index(0, 0));
    // A double-click as the platform delivers it: a click, then the second press.
    QTest::mouseClick(window->grid->gridFiles->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(window->grid->gridFiles->viewport(), Qt::LeftButton, {}, cell.center());
    ASSERT_TRUE(window->grid->IsEditing());
    QLineEdit& edit = *window->grid->txtEdit;
    EXPECT_TRUE(edit.isVisible());
    EXPECT_EQ(edit.text(), "a.log");
    EXPECT_EQ(edit.size(), cell.size());
    const QPoint cellTop =
        window->grid->gridFiles->viewport()->mapTo(window->frameFiles, cell.topLeft());
    EXPECT_EQ(edit.pos(), cellTop + QPoint(0, 1));
    edit.clear();
    QTest::keyClick(&edit, Qt::Key_Return);
    EXPECT_FALSE(edit.isVisible());
    EXPECT_EQ(Jobs(), (Rows{{"", ""}}));
    EXPECT_TRUE(prompts.shown.empty());

    window->grid->SetText(1, kColumnTable, "old");
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(window->grid->StartCellEdit(1, kColumnTable));
        EXPECT_FALSE(window->grid->cboTables->isVisible());
    }
    const Shown noDsn{MessageIcon::Exclamation, "Please Select a Database!",
                      "You must select a DSN before choosing a target table.", false};
    EXPECT_EQ(prompts.shown, std::vector<Shown>(2, noDsn));
    EXPECT_EQ(window->grid->Text(1, kColumnTable), "old");
}

TEST_F(MainWindowTest, AddUrlOkCancelAndEmpty) {
    // Typing goes where the caret stands: after the proposed "http://", or into a cleared box.
    const auto type = [](const char* text, bool clearFirst = false, bool ok = true) {
        return [=](frmAddURL& dialog) {
            if (clearFirst)
                dialog.txtURL->clear();
            QTest::keyClicks(dialog.txtURL, QString::fromLatin1(text));
            QTest::mouseClick(ok ? dialog.cmdOk : dialog.cmdCancel, Qt::LeftButton);
        };
    };
    const struct {
        const char* reason;
        std::function<void(frmAddURL&)> answer;
        Rows jobs; ///< each added job also asks for its table
    } cases[] = {
        {"Ok as it opens", type(""), {{"http://", ""}}},
        {"typed after the scheme",
         type("127.0.0.1:8377/remote.log"),
         {{"http://127.0.0.1:8377/remote.log", ""}}},
        {"no scheme, blanks kept", type(" host/w3c.log ", true), {{" host/w3c.log ", ""}}},
        {"Ok on an empty box", type("", true), {}},
        {"Cancel", type("x", true, false), {}},
        {"close box", [](frmAddURL& dialog) { dialog.close(); }, {}},
        {"Escape", [](frmAddURL& dialog) { QTest::keyClick(dialog.txtURL, Qt::Key_Escape); }, {}},
    };
    window->Form_Load("");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        window->grid->Clear();
        choosersShown = 0;
        onAddUrl = [&c](frmAddURL& dialog) {
            EXPECT_EQ(dialog.txtURL->text(), "http://");
            EXPECT_EQ(dialog.focusWidget(), dialog.txtURL);
            c.answer(dialog);
        };
        window->cmdAddURL_Click();
        EXPECT_EQ(Jobs(), c.jobs);
        EXPECT_EQ(choosersShown, static_cast<int>(c.jobs.size()));
    }
    EXPECT_EQ(addUrlsShown, 7);
}

// ---------------------------------------------------------------------------------------------

TEST_F(MainWindowTest, SaveAsThenSaveThenOpen) {
    window->Form_Load("");
    window->AddFile("/logs/a.log");
    window->grid->SetText(1, kColumnTable, "mw_logs");
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
    window->SetNoCopy(true);
    const std::string target = folder + "/saved.xml";
    const std::string unwritable = folder + "/no/such/folder.xml";

    dialogAnswers = {target};
    window->cmdSaveConfigAs_Click();
    EXPECT_EQ(window->ConfigPath(), target);
    EXPECT_EQ(window->windowTitle().toStdString(), ProgramTitle() + " - Config: saved.xml");
    EXPECT_EQ(Jobs(), (Rows{{"/logs/a.log", "mw_logs"}}));
    EXPECT_EQ(std::tuple(window->CommitRows(), window->Incremental(), window->NoCopy()),
              std::tuple(std::size_t{500}, true, true));

    window->AddFile("/logs/b.log");
    window->cmdSaveConfig_Click();
    EXPECT_NE(ReadFile(target).find("<File>/logs/b.log</File>"), std::string::npos);
    EXPECT_FALSE(fs::exists(folder + "/config.xml"));

    // A save that fails says why, and keeps the jobs in hand and the path.
    dialogAnswers = {unwritable};
    window->cmdSaveConfigAs_Click();
    ExpectOneMessage("Configuration Not Saved", unwritable);
    EXPECT_EQ(window->grid->Count(), 2);
    EXPECT_EQ(window->ConfigPath(), target);

    window->cmdSaveConfigAs_Click(); // cancelled
    window->grid->Clear();
    window->chkIncremental->click();
    window->spnCommitRows->setValue(1);
    window->SetNoCopy(false);
    dialogAnswers = {target};
    window->cmdOpenConfig_Click();
    EXPECT_EQ(window->grid->Count(), 2);
    EXPECT_EQ(std::tuple(window->spnCommitRows->value(), window->Incremental(), window->NoCopy()),
              std::tuple(500, true, true));
    for (QCheckBox* box : truncation)
        EXPECT_FALSE(box->isEnabled());
    EXPECT_EQ(prompts.shown.size(), 1u);
    const DialogCall saveAs{true, "Save Configuration As...", kXmlFilter, 1};
    EXPECT_EQ(dialogCalls,
              (std::vector<DialogCall>{
                  saveAs, saveAs, saveAs, {false, "Open Configuration File", kXmlFilter, 1}}));
}

TEST_F(MainWindowTest, OpenShowsWhatCouldNotBeLoadedOrWasAdjusted) {
    window->Form_Load("");
    const Rows held = {{"/logs/held.log", ""}};
    const struct {
        const char* reason;
        std::string bytes;
        const char* title; ///< of the one message
        const char* part;  ///< of its text
        Rows jobs;         ///< afterwards; `held` when nothing was loaded
    } cases[] = {
        {"a log", "#Software: SHOUTcast\r\n", "Configuration Not Loaded",
         "is not a configuration file", held},
        {"a job never closed", "<Jobs><Job><File>a.log</File></Jobs>", "Configuration Not Loaded",
         "is damaged: <Job> is not closed by </Job>", held},
        // Emptying the tables would throw away what earlier incremental runs loaded.
        {"incremental with truncation",
         "<TruncateOnce>True</TruncateOnce><TruncatePerFile>True</TruncatePerFile>"
         "<Incremental>True</Incremental><Jobs><Job><File>b.log</File></Job></Jobs>",
         "Configuration Adjusted",
         "Loading only new lines stays on; both TRUNCATE options were cleared.",
         {{"b.log", ""}}},
        {"rows per commit out of bounds",
         "<CommitRows>5000000</CommitRows><Jobs></Jobs>",
         "Configuration Adjusted",
         "the largest allowed, 1000000, is used.",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        window->grid->Clear();
        window->AddFile("/logs/held.log");
        window->SetIncremental(false);
        window->chkTruncateOnStart->setChecked(true);
        prompts.shown.clear();
        const std::string before = window->ConfigPath();
        const std::string path = folder + "/open" + std::to_string(&c - cases) + ".xml";
        WriteFile(path, c.bytes);
        dialogAnswers = {path};
        window->cmdOpenConfig_Click();
        ExpectOneMessage(c.title, "'" + path + "'");
        ExpectOneMessage(c.title, c.part);
        EXPECT_EQ(Jobs(), c.jobs);
        const bool loaded = c.jobs != held;
        EXPECT_EQ(window->ConfigPath(), loaded ? path : before);
        EXPECT_EQ(window->chkTruncateOnStart->isChecked(), !loaded);
        EXPECT_EQ(window->Incremental(), &c == &cases[2]);
        EXPECT_EQ(window->chkTruncateOnStart->isEnabled(), !window->Incremental());
        EXPECT_EQ(window->CommitRows(), &c == &cases[3] ? kMaxCommitRows : 1);
    }
}

TEST_F(MainWindowTest, ADamagedFileIsReplacedOnlyBySave) {
    const std::string damaged = "<Brenvale.Config><Jobs><Job><File>kept.log</File>";
    WriteFile(folder + "/config.xml", damaged);
    window->Form_Load("");
    ExpectOneMessage("Configuration Not Loaded",
                     "Save Configuration on Exit will not replace the file; Save will.");
    EXPECT_EQ(window->windowTitle().toStdString(), ProgramTitle());
    window->AddFile("/logs/a.log");
    window->close();
    EXPECT_EQ(ReadFile(folder + "/config.xml"), damaged);

    window->cmdSaveConfig_Click();
    EXPECT_NE(ReadFile(folder + "/config.xml").find("<File>/logs/a.log</File>"), std::string::npos);
    window->AddFile("/logs/b.log");
    window->show();
    window->close();
    EXPECT_NE(ReadFile(folder + "/config.xml").find("<File>/logs/b.log</File>"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------

TEST_F(MainWindowTest, DsnListAFailedOpenRefreshAndDsnSetup) {
    window->Form_Load("");
    QComboBox& list = *window->cboDSNList;
    for (const char* dsn : {kSqliteDsn, kPostgresDsn, "brenvale_missing_driver"})
        EXPECT_GE(list.findText(dsn), 0) << dsn;

    PickDsn("brenvale_missing_driver");
    const std::string head =
        "An error occured while opening DSN 'brenvale_missing_driver':\r\n\r\n";
    const std::string tail =
        "\r\n\r\nPlease verify your database settings under DSN Setup and try again.";
    ExpectOneMessage("Error Opening Database", head);
    const std::string& text = prompts.shown[0].text;
    // The driver manager's diagnostic stands between the two fixed parts.
    EXPECT_TRUE(text.starts_with(head) && text.ends_with(tail) &&
                text.size() > head.size() + tail.size());
    EXPECT_EQ(prompts.shown[0].icon, MessageIcon::Critical);
    EXPECT_EQ(list.currentIndex(), -1);
    EXPECT_EQ(window->DsnText(), "");
    EXPECT_FALSE(window->conn.IsOpen());

    PickDsn(kSqliteDsn);
    PickDsn(kPostgresDsn);
    EXPECT_EQ(window->conn.DbmsName(), "PostgreSQL");
    // A failed pick, Refresh, and DSN Setup once its program has ended keep the DSN in use.
    PickDsn("brenvale_missing_driver");
    ASSERT_EQ(prompts.shown.size(), 2u);
    EXPECT_EQ(prompts.shown[1].title, "Error Opening Database");
    EXPECT_EQ(window->DsnText(), kPostgresDsn);
    EXPECT_EQ(window->conn.DbmsName(), "PostgreSQL");
    window->cmdDSNRefresh->click();
    EXPECT_EQ(window->DsnText(), kPostgresDsn);
    const std::string marker = folder + "/ran.txt";
    const std::string program = folder + "/brenvale-dsn-setup";
    WriteFile(program, "#!/bin/sh\necho ran > '" + marker + "'\n");
    fs::permissions(program, fs::perms::owner_all);
    PickDsn(kSqliteDsn);
    window->cmdDSNSetup_Click();
    EXPECT_TRUE(fs::exists(marker));
    EXPECT_EQ(window->DsnText(), kSqliteDsn);
    EXPECT_EQ(window->conn.DbmsName(), "SQLite");
    EXPECT_EQ(prompts.shown.size(), 2u);

    // A DSN in use that a refresh no longer finds is closed.
    const std::string userIni = std::getenv("ODBCINI");
    const std::string scratchIni = folder + "/odbc.user.ini";
    WriteFile(scratchIni, "");
    ::setenv("ODBCINI", scratchIni.c_str(), 1);
    ASSERT_TRUE(
        odbc::WriteUserDsn({"mw_gone", "SQLite3", {{"Database", folder + "/gone.db"}}}, ""));
    window->cmdDSNRefresh->click();
    PickDsn("mw_gone");
    EXPECT_TRUE(window->conn.IsOpen());
    ASSERT_TRUE(odbc::RemoveUserDsn("mw_gone"));
    window->cmdDSNRefresh->click();
    EXPECT_EQ(window->DsnText(), "");
    EXPECT_FALSE(window->conn.IsOpen());
    // With no data sources at all, the empty list says what to do. The driver manager reads the
    // system file's folder only once, so the file itself is emptied for a moment.
    {
        const std::string systemIni = TestDir() + "/odbc.ini";
        const struct Restore {
            std::string path, text;
            ~Restore() { WriteFile(path, text); }
        } restore{systemIni, ReadFile(systemIni)};
        WriteFile(systemIni, "");
        window->cmdDSNRefresh->click();
        EXPECT_EQ(list.count(), 0);
        EXPECT_EQ(list.placeholderText(), "No data sources: use DSN Setup to add one");
    }
    ::setenv("ODBCINI", userIni.c_str(), 1);
    window->cmdDSNRefresh->click();
    EXPECT_EQ(list.placeholderText(), "");

    // A program that cannot be started is a message, not a crash.
    prompts.shown.clear();
    window->SetDsnSetupProgram(folder + "/missing-admin");
    window->cmdDSNSetup_Click();
    ExpectOneMessage("DSN Setup", folder + "/missing-admin");
    EXPECT_GE(list.findText(kSqliteDsn), 0);
}

// ---------------------------------------------------------------------------------------------

// A new user's way from an empty database to loaded rows without writing SQL: Add File, New
// Table... in the chooser, Process Log Files, and the summary.
class FirstRunTest : public MainWindowTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(FirstRunTest, FromNoTableToLoadedRowsAndTheSummary) {
    const int lines = 4;
    const std::string log = folder + "/w3c.log";
    const std::string table = "mw_first_run";
    TestDatabase db(GetParam());
    db.TryExec("DROP TABLE IF EXISTS " + table);
    WriteFile(log, LogText(lines));
    window->Form_Load("");
    PickDsn(GetParam());
    dialogAnswers = {log};
    std::vector<std::string> asked;
    SetTextQuestionScript([&](const std::string& title, const std::string&) {
        asked.push_back(title);
        return std::optional<std::string>(table);
    });
    onChooser = [](frmSelectTable& chooser) { chooser.cmdNewTable->click(); };
    window->cmdAddFile_Click();
    EXPECT_EQ(asked, std::vector<std::string>{"New Table"});
    ASSERT_EQ(Jobs(), (Rows{{log, table}}));

    bool sawRunning = false;
    onTick = [&] {
        frmStatus* status = window->findChild<frmStatus*>();
        sawRunning =
            sawRunning || (status != nullptr && status->isVisible() && !window->isEnabled());
    };
    window->cmdStart->click();

    EXPECT_EQ(db.Query("SELECT c_dns, c_status, sc_bytes, avgbandwidth FROM " + table +
                       " ORDER BY c_dns"),
              (test::Rows{{"host0", "200", "4096", "64"},
                          {"host1", "200", "4096", "64"},
                          {"host2", "200", "4096", "64"},
                          {"host3", "200", "4096", "64"}}));
    EXPECT_EQ(window->State().RecordsTotal, lines);
    EXPECT_TRUE(sawRunning);
    ASSERT_NE(window->findChild<frmStatus*>(), nullptr);
    EXPECT_FALSE(window->findChild<frmStatus*>()->isVisible());
    EXPECT_TRUE(window->isEnabled());
    EXPECT_FALSE(window->State().bCancel);
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(std::tuple(prompts.shown[0].icon, prompts.shown[0].title),
              std::tuple(MessageIcon::Information, "Run Summary"));
    const std::vector<std::string> summary = Split(prompts.shown[0].text);
    ASSERT_EQ(summary.size(), 3u) << prompts.shown[0].text;
    EXPECT_EQ(summary[0], "job 1 of 1: " + log + " -> " + table);
    EXPECT_EQ(summary[1], "  lines read: 6; rows inserted: 4; lines skipped: 2 (comment/empty 2, "
                          "short 0, refused by the database 0, too long 0)");
    EXPECT_TRUE(summary[2].starts_with("run: 1 of 1 jobs; lines read: 6; rows inserted: 4;"));
    // Nothing was rejected, so no rejects file is kept.
    EXPECT_EQ(RejectsFiles(), std::vector<std::string>{});
    db.TryExec("DROP TABLE " + table);
}

INSTANTIATE_TEST_SUITE_P(Databases, FirstRunTest,
                         ::testing::Values(std::string(kSqliteDsn), std::string(kPostgresDsn),
                                           std::string(kMariaDsn)),
                         [](const auto& info) { return info.param; });

TEST_F(MainWindowTest, RefusedAndShortLinesAreNamedInTheSummaryAndKeptInTheRejects) {
    TestDatabase db(kPostgresDsn);
    db.TryExec("DROP TABLE IF EXISTS mw_refused");
    ASSERT_TRUE(CreateLogTable(db.connection(), "mw_refused"));
    // The typed status column refuses "OK" (line 5); line 9 is short. Batches of 1000 rows
    // still load every other line.
    const std::string refused =
        "192.0.2.10 bad 2006-11-26 13:05:00 /stream OK Player%2F1.0 4096 60 64";
    std::string text = LogText(5);
    text.insert(text.find("192.0.2.10 host2"), refused + "\n");
    text += "192.0.2.10 short\n";
    const std::string log = folder + "/refused.log";
    WriteFile(log, text);
    window->Form_Load("");
    PickDsn(kPostgresDsn);
    window->spnCommitRows->setValue(1000);
    window->AddFile(log);
    window->grid->SetText(1, kColumnTable, "mw_refused");
    window->cmdStart->click();

    EXPECT_EQ(db.Count("mw_refused"), 5);
    const std::vector<std::string> rejects = RejectsFiles();
    ASSERT_EQ(rejects.size(), 1u);
    EXPECT_TRUE(fs::path(rejects[0]).filename().string().starts_with("rejects-"));
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(prompts.shown[0].title, "Run Summary");
    const std::string& summary = prompts.shown[0].text;
    for (const std::string& part :
         {std::string("rows inserted: 5; lines skipped: 4 (comment/empty 2, short 1, refused by "
                      "the database 1, too long 0)"),
          std::string("database diagnostics (first 1 of 1):\n    line 5: 22P02: "),
          "lines that inserted nothing: " + rejects[0] + "\n"})
        EXPECT_NE(summary.find(part), std::string::npos) << part << "\nin\n" << summary;

    const std::vector<std::string> kept = Split(ReadFile(rejects[0]));
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0], kRejectsHeader);
    const std::vector<std::string> first = Split(kept[1], '\t');
    ASSERT_EQ(first.size(), 7u);
    EXPECT_EQ(std::tuple(first[0], first[1], first[2], first[3], first[4], first[6]),
              std::tuple(log, "mw_refused", "5", "refused", "22P02", refused));
    EXPECT_EQ(kept[2], log + "\tmw_refused\t9\tshort\t\t\t192.0.2.10 short");

    // Where no rejects file can be made, the summary says so instead of naming one.
    ::setenv("XDG_STATE_HOME", log.c_str(), 1);
    prompts.shown.clear();
    window->cmdStart->click();
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(prompts.shown[0].text.find("lines that inserted nothing:"), std::string::npos);
    EXPECT_NE(prompts.shown[0].text.find("The lines that inserted nothing were not kept: the "
                                         "folder '" +
                                         log + "/brenvale' could not be created"),
              std::string::npos)
        << prompts.shown[0].text;
    db.TryExec("DROP TABLE mw_refused");
}

TEST_F(MainWindowTest, AnExceptionInACommandIsAMessageAndTheWindowGoesOn) {
    TestDatabase db(kSqliteDsn);
    db.TryExec("DROP TABLE IF EXISTS mw_guard");
    const std::string log = folder + "/guard.log";
    WriteFile(log, LogText(2));
    window->Form_Load("");
    PickDsn(kSqliteDsn);
    window->AddFile(log);
    window->grid->SetText(1, kColumnTable, "mw_guard");
    const struct {
        const char* reason;
        std::function<void()> command;
        const char* failure;
    } cases[] = {
        {"the open dialog fails",
         [&] {
             failDialog = "no dialog";
             window->cmdOpenConfig->click();
             failDialog.clear();
         },
         "no dialog"},
        {"the new table's name cannot be asked",
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
             window->cmdAddFile->click();
         },
         "no question"},
        // The run is left idle: the status window hidden, the window enabled, no run in hand.
        {"the run's question fails",
         [&] {
             answering.failNext = "no answer";
             window->cmdStart->click();
         },
         "no answer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        prompts.shown.clear();
        c.command();
        EXPECT_EQ(prompts.shown,
                  (std::vector<Shown>{{MessageIcon::Critical, "",
                                       std::string("Unexpected failure: ") + c.failure, false}}));
        EXPECT_TRUE(window->isEnabled());
        EXPECT_FALSE(window->findChild<frmStatus*>() &&
                     window->findChild<frmStatus*>()->isVisible());
    }
    EXPECT_EQ(Jobs(), (Rows{{log, "mw_guard"}, {log, ""}}));
    window->grid->SetText(2, kColumnTable, "mw_guard");
    db.CreateLogTable("mw_guard");
    prompts.shown.clear();
    window->cmdStart->click();
    EXPECT_EQ(db.Count("mw_guard"), 4);
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(prompts.shown[0].title, "Run Summary");
    db.TryExec("DROP TABLE mw_guard");
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
    const auto get = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? Variable(value) : std::nullopt;
    };
    const auto set = [](const char* name, const Variable& value) {
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    };
    const Variable state = get("XDG_STATE_HOME"), home = get("HOME");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        set("XDG_STATE_HOME", c.state);
        set("HOME", c.home);
        std::string error;
        EXPECT_EQ(RejectsFolder(error), c.folder);
        EXPECT_EQ(error.empty(), !c.folder.empty()) << error;
        EXPECT_EQ(fs::is_directory(c.folder), !c.folder.empty());
    }
    set("XDG_STATE_HOME", state);
    set("HOME", home);
}

} // namespace
} // namespace brenvale::test

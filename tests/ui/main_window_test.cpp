// The main window through the Qt test framework: start-up and the command line, the job grid,
// configuration files, the DSN list and a whole run, against the test environment's databases.
#include "ui/frm_main.h"

#include "core/version.h"
#include "data/odbc_setup.h"
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
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
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
        SetFileDialogScript([this](bool save, const std::string& title, const std::string& filter,
                                   int filterIndex) {
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
    }

    /// A fresh window on the scratch folder, not yet loaded.
    void NewWindow() {
        window = std::make_unique<frmMain>(&prompts);
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
        for (int row = 1; row <= window->Count(); ++row)
            jobs.emplace_back(window->Text(row, kColumnFile), window->Text(row, kColumnTable));
        return jobs;
    }

    /// Expects one message box so far, titled `title`, with `part` in its text.
    void ExpectOneMessage(const std::string& title, const std::string& part) {
        ASSERT_EQ(prompts.shown.size(), 1u);
        EXPECT_EQ(prompts.shown[0].title, title);
        EXPECT_NE(prompts.shown[0].text.find(part), std::string::npos) << prompts.shown[0].text;
    }

    ScriptedPrompts prompts;
    std::string folder;
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
    const QTableWidget& grid = *window->gridFiles;
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
    EXPECT_EQ(window->focusWidget(), window->cmdStart);
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
    window->gridFiles->clearSelection();
    window->cmdDelete_Click();
    EXPECT_EQ(window->Count(), 3);
    window->gridFiles->selectRow(1);
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
    window->SetText(1, kColumnTable, "old");

    ASSERT_TRUE(window->StartCellEdit(1, kColumnTable));
    QComboBox& combo = *window->cboTables;
    EXPECT_TRUE(combo.isVisible());
    EXPECT_GE(combo.findText("mw_edit"), 0);
    EXPECT_EQ(combo.currentText(), "old");
    // Over the cell like the text box, so that it hides no part of the next row.
    const QRect cell = window->gridFiles->visualRect(window->gridFiles->model()->index(0, 1));
    const QPoint cellTop = window->gridFiles->viewport()->mapTo(window->frameFiles, cell.topLeft());
    EXPECT_EQ(combo.geometry(), QRect(cellTop + QPoint(0, 1), cell.size()));

    // No keeps the editor open on the old value; Yes takes the typed name.
    combo.setEditText("mw_nosuch");
    prompts.answers = {false, true};
    QTest::keyClick(&combo, Qt::Key_Return);
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(window->Text(1, kColumnTable), "old");
    EXPECT_TRUE(window->IsEditing());
    EXPECT_TRUE(combo.isVisible());
    QTest::keyClick(&combo, Qt::Key_Return);
    const Shown missing{MessageIcon::Exclamation, "Table Does Not Exist",
                        "The selected table 'mw_nosuch' does not seem to exist.  Continue anyway?",
                        true};
    EXPECT_EQ(prompts.shown, std::vector<Shown>(2, missing));
    EXPECT_EQ(window->Text(1, kColumnTable), "mw_nosuch");
    EXPECT_FALSE(window->IsEditing());
    EXPECT_FALSE(combo.isVisible());

    // Escape abandons the edit: the cell keeps its text.
    ASSERT_TRUE(window->StartCellEdit(1, kColumnTable));
    combo.setEditText("mw_edit");
    QTest::keyClick(&combo, Qt::Key_Escape);
    EXPECT_FALSE(combo.isVisible());
    EXPECT_EQ(window->Text(1, kColumnTable), "mw_nosuch");
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

        ASSERT_TRUE(window->StartCellEdit(1, kColumnTable));
        QLineEdit& typing = *window->cboTables->lineEdit();
        typing.clear();
        QTest::keyClicks(&typing, QString::fromLatin1(c.typed));
        if (c.end == End::Tab) {
            QTest::keyClick(&typing, Qt::Key_Tab);
        } else if (c.end == End::ClickElsewhere) {
            QTableWidget& grid = *window->gridFiles;
            QTest::mouseClick(grid.viewport(), Qt::LeftButton, {},
                              grid.visualRect(grid.model()->index(1, 0)).center());
        } else {
            QTest::keyClick(&typing, Qt::Key_Return);
        }
        QApplication::processEvents();
        if (c.asks) {
            ASSERT_EQ(prompts.shown.size(), 1u);
            EXPECT_EQ(prompts.shown[0].title, "Table Does Not Exist");
            EXPECT_TRUE(window->IsEditing());
            EXPECT_EQ(window->cboTables->currentText().toStdString(), c.typed);
            QTest::keyClick(&typing, Qt::Key_Return);
        }
        EXPECT_EQ(prompts.shown.size(), c.asks ? 2u : 0u);
        EXPECT_FALSE(window->IsEditing());
        EXPECT_EQ(window->Text(1, kColumnTable), c.typed);
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
        window->SetText(1, kColumnTable, "mw_cmd");
        window->gridFiles->selectRow(0);
        ASSERT_TRUE(window->StartCellEdit(1, col));
        QLineEdit& editor = col == kColumnFile ? *window->txtEdit : *window->cboTables->lineEdit();
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
        EXPECT_FALSE(window->IsEditing());
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
        EXPECT_TRUE(window->IsEditing());
    }
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(Jobs(), (Rows{{"old.log", "mw_cmd"}}));
    EXPECT_EQ(window->DsnText(), kSqliteDsn);
    EXPECT_EQ(window->conn.DbmsName(), "SQLite");
    EXPECT_EQ(db.Count("mw_cmd"), 1);
    EXPECT_FALSE(fs::exists(folder + "/config.xml"));
    EXPECT_EQ(dialogCalls, std::vector<DialogCall>{});
    EXPECT_EQ(addUrlsShown + choosersShown, 0);
    window->AbandonCellEdit();
    window->chkSaveConfigOnExit->setChecked(false);
    db.TryExec("DROP TABLE mw_cmd");
}

TEST_F(MainWindowTest, WithoutADsnTheLogFileIsEditedButNotTheTargetTable) {
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
    EXPECT_EQ(Jobs(), (Rows{{"", ""}}));
    EXPECT_TRUE(prompts.shown.empty());

    window->SetText(1, kColumnTable, "old");
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(window->StartCellEdit(1, kColumnTable));
        EXPECT_FALSE(window->cboTables->isVisible());
    }
    const Shown noDsn{MessageIcon::Exclamation, "Please Select a Database!",
                      "You must select a DSN before choosing a target table.", false};
    EXPECT_EQ(prompts.shown, std::vector<Shown>(2, noDsn));
    EXPECT_EQ(window->Text(1, kColumnTable), "old");
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
        window->Clear();
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
    window->SetText(1, kColumnTable, "mw_logs");
    // Options the window has no controls for yet go into the file and come back from it.
    window->chkTruncateOnStart->setChecked(false);
    window->SetCommitRows(500);
    window->SetIncremental(true);
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
    EXPECT_EQ(window->Count(), 2);
    EXPECT_EQ(window->ConfigPath(), target);

    window->cmdSaveConfigAs_Click(); // cancelled
    window->Clear();
    dialogAnswers = {target};
    window->cmdOpenConfig_Click();
    EXPECT_EQ(window->Count(), 2);
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
        window->Clear();
        window->AddFile("/logs/held.log");
        window->chkTruncateOnStart->setChecked(true);
        window->SetIncremental(false);
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

    WriteFile(folder + "/not-executable", "#!/bin/sh\n");
    for (const char* name : {"/nothing-here", "/not-executable"}) {
        EXPECT_FALSE(ShellAndWait(folder + name, {}, yielder, failure)) << name;
        EXPECT_FALSE(failure.empty()) << name;
        failure.clear();
    }
}

// ---------------------------------------------------------------------------------------------

TEST_F(MainWindowTest, AWholeRunFromTheWindow) {
    const int lines = 5;
    const std::string log = folder + "/w3c.log";
    TestDatabase db(kSqliteDsn);
    db.CreateLogTable("mw_run");
    WriteFile(log, LogText(lines));
    window->Form_Load("");
    PickDsn(kSqliteDsn);
    dialogAnswers = {log};
    onChooser = [](frmSelectTable& chooser) { Pick(chooser, "mw_run"); };
    window->cmdAddFile_Click();
    ASSERT_EQ(Jobs(), (Rows{{log, "mw_run"}}));

    bool sawRunning = false;
    onTick = [&] {
        frmStatus* status = window->findChild<frmStatus*>();
        sawRunning =
            sawRunning || (status != nullptr && status->isVisible() && !window->isEnabled());
    };
    window->cmdStart->click();

    EXPECT_EQ(db.Count("mw_run"), lines);
    EXPECT_EQ(window->State().RecordsTotal, lines);
    EXPECT_TRUE(sawRunning);
    ASSERT_NE(window->findChild<frmStatus*>(), nullptr);
    EXPECT_FALSE(window->findChild<frmStatus*>()->isVisible());
    EXPECT_TRUE(window->isEnabled());
    EXPECT_FALSE(window->State().bCancel);
    EXPECT_TRUE(prompts.shown.empty());
    db.TryExec("DROP TABLE mw_run");
}

} // namespace
} // namespace brenvale::test

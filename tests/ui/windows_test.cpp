// The small windows offscreen: the status window, the table chooser against the real databases,
// Add URL, About, captioned frames, the file dialogs and the message boxes.
#include "ui/file_dialogs.h"
#include "ui/frm_about.h"
#include "ui/frm_add_url.h"
#include "ui/frm_main.h"
#include "ui/frm_select_table.h"
#include "ui/frm_status.h"
#include "ui/qt_prompts.h"
#include "ui/qt_test_app.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QImage>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace brenvale {
namespace {

using test::kLogFilter;
using test::OnModal;
using test::Shown;
using test::TestDatabase;

TEST(StatusWindow, RoundsProgressRefusesToCloseAndAsksOnCancelWhileItsOwnerIsDisabled) {
    QWidget owner;
    RunState state;
    test::ScriptedPrompts prompts;
    frmStatus status(&owner, state, prompts);
    // The longest status the runner sets without a name in it fits its line.
    status.SetStatus("Status:  Connecting to the database again (attempt 999)");
    EXPECT_LE(status.lblStatus->sizeHint().width(), status.lblStatus->width());
    status.SetProgressMaximum(3.6f);
    status.SetProgressMinimum(0.4f);
    status.SetProgressValue(2.5f);
    const QProgressBar& bar = *status.progbarJob;
    EXPECT_EQ(std::tuple(bar.minimum(), bar.maximum(), bar.value()), std::tuple(0, 4, 3));

    owner.show();
    status.Show();
    EXPECT_TRUE(status.isWindow() && status.isVisible());
    EXPECT_FALSE(status.close());
    QTest::keyClick(&status, Qt::Key_Escape);
    EXPECT_TRUE(status.isVisible());
    // Two runs: only Yes sets the flag, and the window works again after its owner came back.
    for (const bool yes : {false, true}) {
        status.SetOwnerEnabled(false);
        EXPECT_FALSE(owner.isEnabled());
        EXPECT_TRUE(status.isEnabled() && status.cmdCancel->isEnabled());
        prompts.answers = {yes};
        prompts.shown.clear();
        QTest::mouseClick(status.cmdCancel, Qt::LeftButton);
        EXPECT_EQ(prompts.shown, (std::vector<Shown>{{MessageIcon::Question, "Cancel?",
                                                      "Are you sure you wish to cancel?", true}}));
        EXPECT_EQ(state.bCancel, yes);
        status.SetOwnerEnabled(true);
        EXPECT_TRUE(owner.isEnabled());
    }
}

bool Offers(const frmSelectTable& chooser, const std::string& table) {
    return !chooser.lstTables->findItems(QString::fromStdString(table), Qt::MatchExactly).isEmpty();
}

void Click(frmSelectTable& chooser, const std::string& table) {
    QListWidget* list = chooser.lstTables;
    QListWidgetItem* item =
        list->findItems(QString::fromStdString(table), Qt::MatchExactly).value(0);
    ASSERT_NE(item, nullptr) << table << " is not offered";
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
}

class ChooserTest : public test::PerDatabase {};

TEST(StatusWindow, TheFileLineTellsHowFarTheLogIsReadAndTheTimeLeftOnceItCanBeTold) {
    constexpr std::uint64_t kMB = 1000 * 1000;
    const struct {
        std::uint64_t done, total;
        std::int64_t elapsedMs;
        std::uint64_t startDone;
        const char* text;
    } cases[] = {
        {0, 0, 0, 0, "0 bytes read"},
        {1536, 0, 9000, 0, "1.5 KB read"}, // a pipe or a download without a length
        {25 * kMB, 100 * kMB, 1999, 0, "25% of 100.0 MB read"}, // too soon to tell
        {25 * kMB, 100 * kMB, 10000, 0, "25% of 100.0 MB read, about 30 s left"},
        {50 * kMB, 100 * kMB, 10000, 40 * kMB, "50% of 100.0 MB read, about 50 s left"},
        {100 * kMB + 10, 100 * kMB, 10000, 0, "100% of 100.0 MB read"},
        {1 * kMB, 100 * kMB, 60000, 0, "1% of 100.0 MB read, about 99 min left"},
        {1 * kMB, 1000 * kMB, 60000, 0, "0% of 1.0 GB read"}, // under a percent gained
        {10 * kMB, 1000 * kMB, 600000, 0, "1% of 1.0 GB read, about 16 h 30 min left"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FileProgressText(c.done, c.total, c.elapsedMs, c.startDone), c.text);

    RunState state;
    test::ScriptedPrompts prompts;
    frmStatus status(nullptr, state, prompts);
    status.SetFileProgress(0, 0);
    EXPECT_EQ(status.lblFileProgress->text(), "");
    status.SetFileProgress(300, 1200);
    EXPECT_EQ(status.progbarFile->value() * 4, status.progbarFile->maximum());
    EXPECT_EQ(status.lblFileProgress->text(), "25% of 1.2 KB read");
    status.SetFileProgress(5000, 0); // no length: a busy bar
    EXPECT_EQ(status.progbarFile->maximum(), 0);
}

TEST_P(ChooserTest, PicksOnSelectionReadsTheCatalogueOnEachShowingAndCreatesTables) {
    TestDatabase db(GetParam());
    test::ScriptedPrompts prompts;
    frmSelectTable chooser(nullptr, &prompts);
    db.TryExec("DROP TABLE IF EXISTS ws_pick_new");
    db.CreateLogTable("ws_pick_a");
    db.CreateLogTable("ws_pick_b");
    // The chooser picks `expected` with `action` run inside it.
    const auto expectPick = [&](const std::string& expected, const std::function<void()>& action) {
        OnModal<frmSelectTable> act([&](frmSelectTable&) { action(); });
        EXPECT_EQ(ChooseTargetTable(chooser, db.connection()), expected);
    };
    // Only the database's own tables, none of its system schemas'.
    expectPick("ws_pick_b", [&] {
        EXPECT_TRUE(Offers(chooser, "ws_pick_a"));
        for (const char* system : {"TABLES", "COLUMNS", "tables", "pg_class", "user"})
            EXPECT_FALSE(Offers(chooser, system)) << system;
        Click(chooser, "ws_pick_b");
    });
    db.Exec("CREATE TABLE ws_pick_new (x INTEGER)");
    // The previous pick is selected again and a click on it picks it once more; the new table
    // is listed now.
    expectPick("ws_pick_b", [&] {
        ASSERT_NE(chooser.lstTables->currentItem(), nullptr);
        EXPECT_EQ(chooser.lstTables->currentItem()->text(), "ws_pick_b");
        EXPECT_TRUE(chooser.lstTables->currentItem()->isSelected());
        EXPECT_TRUE(Offers(chooser, "ws_pick_new"));
        Click(chooser, "ws_pick_b");
    });
    // An arrow key moves the selection and so picks the neighbour at once; the close box picks
    // nothing.
    std::string neighbour; // compared once the action has named it
    expectPick(neighbour, [&] {
        const int row = chooser.lstTables->currentRow();
        neighbour = chooser.lstTables->item(row ? row - 1 : 1)->text().toStdString();
        QTest::keyClick(chooser.lstTables, row ? Qt::Key_Up : Qt::Key_Down);
    });
    expectPick("", [&] { EXPECT_TRUE(chooser.close()); });
    db.TryExec("DROP TABLE ws_pick_new");

    // New Table...: Cancel and an empty name do nothing; a name in use is the driver's refusal,
    // and the chooser stays open for another try; the new table is empty.
    const std::vector<std::optional<std::string>> names = {std::nullopt, "", "ws_pick_a",
                                                           "ws_pick_new"};
    std::size_t asked = 0;
    SetTextQuestionScript([&](const std::string& title, const std::string&) {
        EXPECT_EQ(title, "New Table");
        return names.at(asked++);
    });
    expectPick("ws_pick_new", [&] {
        for (int i = 0; i < 3; ++i)
            chooser.cmdNewTable->click();
        EXPECT_TRUE(chooser.isVisible());
        ASSERT_EQ(prompts.shown.size(), 1u);
        EXPECT_EQ(prompts.shown[0].title, "Table Not Created");
        EXPECT_THAT(
            prompts.shown[0].text,
            ::testing::MatchesRegex("The table 'ws_pick_a' could not be created:\r\n\r\n.+"));
        chooser.cmdNewTable->click();
    });
    SetTextQuestionScript(nullptr);
    EXPECT_EQ(asked, names.size());
    EXPECT_EQ(db.Count("ws_pick_new"), 0);
}

INSTANTIATE_FOR_DATABASES(ChooserTest);

TEST(Chooser, ShowsTheTablesOfTheConnectionItIsGivenOrWhyThereAreNone) {
    TestDatabase sqlite(test::kSqliteDsn);
    TestDatabase postgres(test::kPostgresDsn);
    sqlite.CreateLogTable("ws_dsn_sqlite");
    postgres.CreateLogTable("ws_dsn_pg");
    odbc::Environment environment;
    odbc::Connection closed(environment);
    odbc::Connection empty(environment);
    ASSERT_TRUE(empty.OpenConnectionString(
        "DRIVER=SQLite3;Database=" + test::ScratchDir("ws_empty") + "/empty.db"));
    const struct {
        const char* reason;
        odbc::Connection& database;
        const char* pick; ///< null: nothing to pick, the chooser is closed
        const char* absent;
        const char* hint;
    } cases[] = {
        {"SQLite", sqlite.connection(), "ws_dsn_sqlite", "ws_dsn_pg", ""},
        {"PostgreSQL, the last pick not listed", postgres.connection(), "ws_dsn_pg",
         "ws_dsn_sqlite", ""},
        {"no connection", closed, nullptr, "ws_dsn_pg", "Select a DSN first"},
        {"no tables", empty, nullptr, "ws_dsn_pg", "This data source has no tables yet"},
    };
    frmSelectTable chooser(nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        OnModal<frmSelectTable> act([&](frmSelectTable&) {
            EXPECT_EQ(chooser.lblHint->isVisible() ? chooser.lblHint->text().toStdString() : "",
                      c.hint);
            // Without a connection there is nothing to create a table in.
            EXPECT_EQ(chooser.cmdNewTable->isEnabled(), &c.database != &closed);
            EXPECT_FALSE(Offers(chooser, c.absent));
            EXPECT_TRUE(chooser.lstTables->selectedItems().isEmpty());
            c.pick ? Click(chooser, c.pick) : (void)chooser.close();
        });
        EXPECT_EQ(ChooseTargetTable(chooser, c.database), c.pick ? c.pick : "");
    }
}

// Add URL's answers are tested through the main window.

TEST(AddUrl, TheShoutcastOptionAndItsPasswordAreDisabled) {
    frmAddURL dialog(nullptr, nullptr);
    dialog.show();
    QTest::mouseClick(dialog.optType[1], Qt::LeftButton);
    EXPECT_TRUE(dialog.optType[0]->isChecked());
    for (QWidget* control : std::vector<QWidget*>{dialog.optType[1], dialog.frameShoutcastAuth,
                                                  dialog.lblShoutcastPass, dialog.txtShoutcastPass})
        EXPECT_FALSE(control->isEnabled()) << control->metaObject()->className();
    EXPECT_EQ(dialog.txtShoutcastPass->echoMode(), QLineEdit::Password);
}

TEST(About, TheBrowserGetsAnHttpAddressAndTheButtonsWork) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"www.quorvane.example/brenvale", "http://www.quorvane.example/brenvale"},
        {"HtTp://x", "HtTp://x"},
        {"httpfoo", "httpfoo"},
        {"ftp://http", "http://ftp://http"},
        {" http://x", "http:// http://x"},
        {"", "http://"},
    };
    for (const auto& [url, expected] : cases)
        EXPECT_EQ(BrowserAddress(url), expected) << url;
    std::vector<std::string> opened;
    frmAbout::SetBrowserOpener([&](const std::string& address) {
        opened.push_back(address);
        return false;
    });
    EXPECT_FALSE(frmAbout::OpenBrowser("example.org"));
    frmAbout about;
    OnModal<frmAbout> act([](frmAbout& shown) {
        shown.cmdLaunchSite->click();
        EXPECT_TRUE(shown.isVisible());
        shown.cmdExit->click();
    });
    about.exec();
    EXPECT_EQ(opened, (std::vector<std::string>{"http://example.org", kWebSite}));
    frmAbout::SetBrowserOpener(nullptr);
}

/// The row of `box`'s top frame line: the first that differs from row 0 near the right edge,
/// where neither the caption nor a control is drawn.
int FrameLine(QGroupBox& box) {
    const QImage image = box.grab().toImage();
    const int x = image.width() - 4;
    for (int y = 1; y < image.height(); ++y)
        if (image.pixel(x, y) != image.pixel(x, 0))
            return y;
    return image.height();
}

TEST(Layout, CaptionedFrameLinesRunAboveWhatTheFramesHoldAndCaptionsAreWhole) {
    test::ScriptedPrompts prompts;
    frmMain main(&prompts);
    frmAddURL addUrl(nullptr, nullptr);
    frmSelectTable chooser(nullptr);
    for (QWidget* window : std::vector<QWidget*>{&main, &addUrl, &chooser})
        for (QGroupBox* box : window->findChildren<QGroupBox*>())
            for (QWidget* child : box->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                EXPECT_GT(child->y(), FrameLine(*box))
                    << box->title().toStdString() << ": " << child->metaObject()->className();
    EXPECT_EQ(main.focusWidget(), main.cmdStart);
    // The later options sit between Save Configuration on Exit and About, each caption whole.
    const std::vector<QWidget*> column = {main.chkSaveConfigOnExit, main.chkIncremental,
                                          main.spnCommitRows, main.cmdAbout};
    for (std::size_t i = 1; i < column.size(); ++i)
        EXPECT_GT(column[i]->y(), column[i - 1]->geometry().bottom()) << i;
    EXPECT_LT(main.lblCommitRows->geometry().right(), main.spnCommitRows->x());
    for (QWidget* control : main.frameOptions->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        EXPECT_TRUE(main.frameOptions->rect().contains(control->geometry()));
        EXPECT_LE(control->sizeHint().width(), control->width())
            << control->metaObject()->className();
    }
}

TEST(FileDialogs, TakeWindowsFiltersAndReturnTheChoiceOrNothing) {
    const std::vector<std::pair<std::string, QStringList>> filters = {
        {kLogFilter,
         {"Log Files (*.log) (*.log)", "Text Files (*.txt) (*.txt)", "All Files (*.*) (*)"}},
        {"Both|*.a;*.b", {"Both (*.a *.b)"}},
        {"No pattern", {"No pattern (*)"}},
        {"", {}},
    };
    for (const auto& [filter, expected] : filters)
        EXPECT_EQ(QtNameFilters(filter), expected) << filter;
    // The index counts from 1; one out of range selects the first. Qt reports the selected filter
    // as shown, without the patterns that it matches by.
    for (const auto& [index, selected] :
         {std::pair{2, "Text Files (*.txt)"}, {0, "Log Files (*.log)"}, {9, "Log Files (*.log)"}}) {
        QFileDialog dialog;
        ConfigureFileDialog(dialog, false, kLogFilter, index, "Choose one");
        EXPECT_EQ(dialog.selectedNameFilter(), selected) << index;
    }

    // Open takes only an existing file; Save asks nothing about one and adds no extension.
    const std::string dir = test::ScratchDir("ws_dialogs");
    test::WriteFile(dir + "/existing.log", "x");
    const std::pair<bool, std::string> picks[] = {
        {false, ""}, {false, dir + "/existing.log"}, {true, dir + "/config"}};
    for (const auto& [save, pick] : picks) {
        OnModal<QFileDialog> act([&](QFileDialog& dialog) {
            EXPECT_EQ(dialog.windowTitle(), "Pick");
            EXPECT_EQ(dialog.fileMode() == QFileDialog::ExistingFile, !save);
            EXPECT_EQ(dialog.testOption(QFileDialog::DontConfirmOverwrite), save);
            dialog.selectFile(QString::fromStdString(pick));
            pick.empty() ? dialog.reject() : static_cast<QDialog&>(dialog).accept();
        });
        EXPECT_EQ((save ? ShowSaveDialog : ShowOpenDialog)(nullptr, kLogFilter, 1, "Pick"), pick);
    }
    for (const bool ok : {true, false}) {
        OnModal<QInputDialog> act([&](QInputDialog& dialog) {
            EXPECT_EQ(dialog.windowTitle() + dialog.labelText(), "New TableName:");
            EXPECT_EQ(dialog.textValue(), "logs");
            dialog.setTextValue(" my logs ");
            ok ? dialog.accept() : dialog.reject();
        });
        EXPECT_EQ(AskForText(nullptr, "New Table", "Name:", "logs"),
                  ok ? std::optional<std::string>(" my logs ") : std::nullopt);
    }
}

TEST(QtPromptsTest, BoxesShowTitleIconPlainTextAndButtons) {
    const std::tuple<MessageIcon, std::string, QMessageBox::Icon, QString, bool> cases[] = {
        {MessageIcon::Question, "Cancel?", QMessageBox::Question, "Cancel?", true},
        {MessageIcon::Critical, "", QMessageBox::Critical, "Quorvane Brenvale", false},
        {MessageIcon::Exclamation, "E", QMessageBox::Warning, "E", true},
        {MessageIcon::Information, "I", QMessageBox::Information, "I", false},
        {MessageIcon::None, "N", QMessageBox::NoIcon, "N", true},
    };
    QtPrompts prompts(nullptr);
    for (const auto& [icon, title, qtIcon, shownTitle, yes] : cases) {
        OnModal<QMessageBox> act([&](QMessageBox& box) {
            EXPECT_EQ(box.windowTitle(), shownTitle);
            EXPECT_EQ(box.icon(), qtIcon);
            EXPECT_EQ(box.text(), "line one\nline <b>two</b>");
            EXPECT_EQ(box.textFormat(), Qt::PlainText);
            EXPECT_EQ(box.standardButtons(), QMessageBox::Yes | QMessageBox::No);
            yes ? box.button(QMessageBox::Yes)->click() : QTest::keyClick(&box, Qt::Key_Escape);
        });
        EXPECT_EQ(prompts.AskYesNo(icon, title, "line one\r\nline <b>two</b>"), yes);
    }
}

TEST(QtPromptsTest, ALongTextShowsItsStartAndEndAndTheWholeInTheDetails) {
    std::string text;
    for (int line = 1; line <= 40; ++line)
        text += "line " + std::to_string(line) + (line < 40 ? "\n" : "");
    OnModal<QMessageBox> act([&](QMessageBox& box) {
        const QStringList shown = box.text().split(QLatin1Char('\n'));
        EXPECT_EQ(shown.size(), QtPrompts::kShownLines);
        EXPECT_EQ(shown.first(), "line 1");
        EXPECT_EQ(shown[shown.size() - 7], "...");
        EXPECT_EQ(shown.last(), "line 40");
        EXPECT_EQ(box.detailedText().toStdString(), text);
        EXPECT_EQ(box.standardButtons(), QMessageBox::Ok);
        QTest::keyClick(&box, Qt::Key_Escape);
    });
    QtPrompts(nullptr).Inform(MessageIcon::Information, "Run Summary", text);
}

TEST(QtPromptsTest, GuardedTurnsEveryExceptionIntoOneMessage) {
    test::ScriptedPrompts prompts;
    Guarded(prompts, "Grid", [] { throw std::out_of_range("row 7"); });
    Guarded(prompts, "Grid", [] { throw 42; });
    EXPECT_EQ(
        prompts.shown,
        (std::vector<Shown>{{MessageIcon::Critical, "Grid", "Unexpected failure: row 7", false},
                            {MessageIcon::Critical, "Grid", "Unexpected failure.", false}}));
    // Not even a message that cannot be shown gets out.
    struct Broken final : Prompts {
        bool AskYesNo(MessageIcon, const std::string&, const std::string&) override {
            return false;
        }
        void Inform(MessageIcon, const std::string&, const std::string&) override {
            throw std::runtime_error("no screen");
        }
    } broken;
    Guarded(broken, [] { throw std::runtime_error("x"); });
}

TEST(QtPromptsTest, DiagnosticsLoseTheIndentsAndBlankLinesOfTheirContinuations) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"port 1 failed: Connection refused\n\tIs the server running?\n",
         "port 1 failed: Connection refused\nIs the server running?"},
        {" [x] first line kept\r\n\n  \r\n  second\n\t\tthird",
         " [x] first line kept\nsecond\nthird"},
        {"", ""},
    };
    for (const auto& [diagnostic, shown] : cases)
        EXPECT_EQ(TidyDiagnostic(diagnostic), shown) << diagnostic;
}

} // namespace
} // namespace brenvale

// The small windows through the Qt test framework on the offscreen platform: the status window,
// the table chooser against the real databases, Add URL, About, the file dialogs and message boxes.
#include "support/test_support.h"
#include "ui/file_dialogs.h"
#include "ui/frm_about.h"
#include "ui/frm_add_url.h"
#include "ui/frm_main.h"
#include "ui/frm_select_table.h"
#include "ui/frm_status.h"
#include "ui/qt_prompts.h"
#include "ui/qt_test_app.h"

#include <QAbstractButton>
#include <QDir>
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
#include <QTest>

#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace brenvale {
namespace {

using test::Shown;
using test::TestDatabase;
using test::WhenModal;

std::string Text(const QLabel* label) {
    return label->text().toStdString();
}

// --- Status window -------------------------------------------------------------------------

class StatusWindowTest : public ::testing::Test {
protected:
    QWidget owner;
    RunState state;
    test::ScriptedPrompts prompts;
    frmStatus status{&owner, state, prompts};
};

TEST_F(StatusWindowTest, ShowsTheDesignedLayoutAndWholeNumbers) {
    EXPECT_EQ(status.windowTitle(), "Status");
    EXPECT_EQ(status.size(), QSize(324, 185));
    EXPECT_EQ(status.minimumSize(), status.maximumSize());
    EXPECT_EQ(status.frameStatus->title(), "");
    EXPECT_EQ(status.frameStatus->geometry(), QRect(4, 0, 317, 181));
    EXPECT_EQ(Text(status.lblStatus), "Status:");
    EXPECT_EQ(Text(status.lblFilesProcessed), "Files Processed:");
    EXPECT_EQ(Text(status.lblRecordsInsertedFile), "Records Inserted (this file):");
    EXPECT_EQ(Text(status.lblRecordsInserted), "Records Inserted (total):");
    EXPECT_EQ(status.progbarJob->geometry(), QRect(24, 108, 273, 21));
    EXPECT_EQ(status.cmdCancel->text(), "Cancel");
    EXPECT_EQ(status.cmdCancel->geometry(), QRect(104, 136, 109, 33));
    EXPECT_EQ(status.cmdCancel->parentWidget(), status.frameStatus);
    // The longest status the runner sets without a name in it fits its line.
    status.SetStatus("Status:  Connecting to the database again (attempt 999)");
    EXPECT_LE(status.lblStatus->sizeHint().width(), status.lblStatus->width());

    status.SetProgressMaximum(3.6f);
    status.SetProgressMinimum(0.4f);
    status.SetProgressValue(2.5f);
    EXPECT_EQ(status.progbarJob->maximum(), 4);
    EXPECT_EQ(status.progbarJob->minimum(), 0);
    EXPECT_EQ(status.progbarJob->value(), 3);
}

TEST_F(StatusWindowTest, RefusesToCloseAndAsksOnCancelWhileItsOwnerIsDisabled) {
    owner.show();
    status.Show();
    ASSERT_TRUE(status.isVisible());
    EXPECT_TRUE(status.isWindow());
    EXPECT_EQ(status.parentWidget(), &owner);
    EXPECT_FALSE(status.close());
    QTest::keyClick(&status, Qt::Key_Escape);
    EXPECT_TRUE(status.isVisible());

    // Two runs: only Yes sets the flag, and the window works again after its owner came back.
    for (const bool yes : {false, true}) {
        SCOPED_TRACE(yes ? "Yes" : "No");
        status.SetOwnerEnabled(false);
        EXPECT_FALSE(owner.isEnabled());
        EXPECT_TRUE(status.isEnabled());
        EXPECT_TRUE(status.cmdCancel->isEnabled());
        prompts.answers = {yes};
        prompts.shown.clear();
        QTest::mouseClick(status.cmdCancel, Qt::LeftButton);
        EXPECT_EQ(prompts.shown, (std::vector<Shown>{{MessageIcon::Question, "Cancel?",
                                                      "Are you sure you wish to cancel?", true}}));
        EXPECT_EQ(state.bCancel, yes);
        status.SetOwnerEnabled(true);
        EXPECT_TRUE(owner.isEnabled());
    }
    status.Hide();
    EXPECT_FALSE(status.isVisible());
}

// --- Table chooser -------------------------------------------------------------------------

bool Offers(const frmSelectTable& chooser, const std::string& table) {
    return !chooser.lstTables->findItems(QString::fromStdString(table), Qt::MatchExactly).isEmpty();
}

void Click(frmSelectTable& chooser, const std::string& table) {
    QListWidget* list = chooser.lstTables;
    const auto found = list->findItems(QString::fromStdString(table), Qt::MatchExactly);
    ASSERT_FALSE(found.isEmpty()) << table << " is not offered";
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(found.first()).center());
}

/// Shows the chooser on `database` with `action` run inside it and returns the pick; a chooser
/// the action leaves open is closed, a failure unless `picks` is false.
std::string Choose(frmSelectTable& chooser, odbc::Connection& database,
                   const std::function<void()>& action, bool picks = true) {
    WhenModal act([&] {
        action();
        if (chooser.isVisible()) {
            if (picks)
                ADD_FAILURE() << "the chooser is still open";
            chooser.close();
        }
    });
    return ChooseTargetTable(chooser, database);
}

class ChooserTest : public test::PerDatabase {
protected:
    void SetUp() override {
        for (const char* table : {"ws_pick_a", "ws_pick_b", "ws_pick_new"})
            db.TryExec(std::string("DROP TABLE IF EXISTS ") + table);
        db.Exec("CREATE TABLE ws_pick_a (x INTEGER)");
        db.Exec("CREATE TABLE ws_pick_b (x INTEGER)");
    }
    std::string Choose(const std::function<void()>& action, bool picks = true) {
        return brenvale::Choose(chooser, db.connection(), action, picks);
    }
    TestDatabase db{GetParam()};
    test::ScriptedPrompts prompts;
    frmSelectTable chooser{nullptr, &prompts};
};

TEST_P(ChooserTest, PicksOnFirstSelectionAndReadsTheCatalogueOnEachShowing) {
    EXPECT_EQ(chooser.windowTitle(), "Select Target Table");
    EXPECT_EQ(chooser.Frame1->title(), "Tables");
    EXPECT_EQ(chooser.minimumSize(), chooser.maximumSize());

    // Only the database's own tables, none of its system schemas'.
    EXPECT_EQ(Choose([&] {
                  EXPECT_TRUE(Offers(chooser, "ws_pick_a"));
                  for (const char* system : {"TABLES", "COLUMNS", "tables", "pg_class", "user"})
                      EXPECT_FALSE(Offers(chooser, system)) << system;
                  Click(chooser, "ws_pick_b");
              }),
              "ws_pick_b");
    EXPECT_FALSE(chooser.isVisible());
    const auto closeBox = [&] {
        EXPECT_FALSE(Offers(chooser, "ws_pick_new"));
        EXPECT_TRUE(chooser.close());
    };
    EXPECT_EQ(Choose(closeBox, false), "");

    // The previous pick is selected again; clicking it picks it once more.
    db.Exec("CREATE TABLE ws_pick_new (x INTEGER)");
    EXPECT_EQ(Choose([&] {
                  QListWidgetItem* current = chooser.lstTables->currentItem();
                  ASSERT_NE(current, nullptr);
                  EXPECT_EQ(current->text(), "ws_pick_b");
                  EXPECT_TRUE(current->isSelected());
                  Click(chooser, "ws_pick_b");
              }),
              "ws_pick_b");
    EXPECT_EQ(Choose([&] { Click(chooser, "ws_pick_new"); }), "ws_pick_new");

    // An arrow key moves the selection and so picks the neighbour at once.
    std::string expected;
    EXPECT_EQ(Choose([&] {
                  const int row = chooser.lstTables->currentRow();
                  const bool last = row + 1 == chooser.lstTables->count();
                  expected =
                      chooser.lstTables->item(last ? row - 1 : row + 1)->text().toStdString();
                  QTest::keyClick(chooser.lstTables, last ? Qt::Key_Up : Qt::Key_Down);
              }),
              expected);
    db.TryExec("DROP TABLE ws_pick_new");
}

TEST_P(ChooserTest, NewTableCreatesTheLogTableAndPicksIt) {
    // Cancel and an empty name do nothing; a name in use is the driver's refusal, and the
    // chooser stays open for another try.
    std::deque<std::optional<std::string>> names = {std::nullopt, "", "ws_pick_a", "ws_pick_new"};
    SetTextQuestionScript([&](const std::string& title, const std::string&) {
        EXPECT_EQ(title, "New Table");
        std::optional<std::string> name = names.front();
        names.pop_front();
        return name;
    });
    EXPECT_EQ(Choose([&] {
                  EXPECT_TRUE(chooser.cmdNewTable->isEnabled());
                  for (int i = 0; i < 3; ++i)
                      chooser.cmdNewTable->click();
                  EXPECT_TRUE(chooser.isVisible());
                  ASSERT_EQ(prompts.shown.size(), 1u);
                  const std::string head = "The table 'ws_pick_a' could not be created:\r\n\r\n";
                  EXPECT_EQ(prompts.shown[0].title, "Table Not Created");
                  EXPECT_TRUE(prompts.shown[0].text.starts_with(head) &&
                              prompts.shown[0].text.size() > head.size())
                      << prompts.shown[0].text;
                  chooser.cmdNewTable->click();
              }),
              "ws_pick_new");
    SetTextQuestionScript(nullptr);
    EXPECT_TRUE(names.empty());
    // Listed from now on, and selected as the last pick.
    EXPECT_EQ(Choose(
                  [&] {
                      ASSERT_NE(chooser.lstTables->currentItem(), nullptr);
                      EXPECT_EQ(chooser.lstTables->currentItem()->text(), "ws_pick_new");
                      chooser.close();
                  },
                  false),
              "");
    EXPECT_EQ(db.Count("ws_pick_new"), 0);
    db.TryExec("DROP TABLE ws_pick_new");
}

INSTANTIATE_FOR_DATABASES(ChooserTest);

TEST(Chooser, ShowsTheTablesOfTheConnectionItIsGivenOrWhyThereAreNone) {
    TestDatabase sqlite(test::kSqliteDsn);
    TestDatabase postgres(test::kPostgresDsn);
    sqlite.TryExec("DROP TABLE IF EXISTS ws_dsn_sqlite");
    postgres.TryExec("DROP TABLE IF EXISTS ws_dsn_pg");
    sqlite.Exec("CREATE TABLE ws_dsn_sqlite (x INTEGER)");
    postgres.Exec("CREATE TABLE ws_dsn_pg (x INTEGER)");
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
        const auto act = [&] {
            EXPECT_EQ(chooser.lblHint->isVisible() ? Text(chooser.lblHint) : "", c.hint);
            // Without a connection there is nothing to create a table in.
            EXPECT_EQ(chooser.cmdNewTable->isEnabled(), &c.database != &closed);
            EXPECT_FALSE(Offers(chooser, c.absent));
            EXPECT_TRUE(chooser.lstTables->selectedItems().isEmpty());
            if (c.pick != nullptr)
                Click(chooser, c.pick);
            else
                chooser.close();
        };
        EXPECT_EQ(Choose(chooser, c.database, act, c.pick != nullptr), c.pick ? c.pick : "");
    }
}

// --- Add URL (its answers are tested through the main window) -------------------------------

TEST(AddUrl, LayoutTabOrderAndTheDisabledShoutcastOption) {
    frmAddURL dialog(nullptr, nullptr);
    EXPECT_EQ(dialog.windowTitle(), "Add URL / SHOUTcast Server");
    EXPECT_EQ(dialog.size(), QSize(393, 220));
    EXPECT_EQ(dialog.frameURL->title(), "URL (ex. http://your.server.example:8000/logs/w3c.log)");
    EXPECT_EQ(dialog.optType[1]->text(), "SHOUTcast Server");
    EXPECT_EQ(Text(dialog.Label1),
              "Note:  The explicit URL option retrieves the log document directly.  If you use the "
              "SHOUTcast Server option the log will be retrieved through the admin interface.  "
              "Only works with SHOUTcast DNAs, does not work with Icecast.");
    EXPECT_EQ(dialog.cmdOk->text(), "Ok");
    EXPECT_EQ(dialog.cmdCancel->text(), "Cancel");
    EXPECT_EQ(dialog.txtShoutcastPass->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dialog.txtShoutcastPass->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter,
                                                          nullptr, dialog.txtShoutcastPass),
              '*');

    std::vector<QWidget*> order;
    QWidget* widget = dialog.txtURL;
    do {
        if (widget->focusPolicy() & Qt::TabFocus)
            order.push_back(widget);
        widget = widget->nextInFocusChain();
    } while (widget != dialog.txtURL);
    EXPECT_EQ(order,
              (std::vector<QWidget*>{dialog.txtURL, dialog.optType[0], dialog.optType[1],
                                     dialog.txtShoutcastPass, dialog.cmdOk, dialog.cmdCancel}));

    // The SHOUTcast option is disabled, and with it the authentication.
    dialog.show();
    EXPECT_TRUE(dialog.optType[0]->isChecked());
    EXPECT_FALSE(dialog.optType[1]->isEnabled());
    QTest::mouseClick(dialog.optType[1], Qt::LeftButton);
    EXPECT_FALSE(dialog.optType[1]->isChecked());
    for (QWidget* control : std::vector<QWidget*>{dialog.frameShoutcastAuth,
                                                  dialog.lblShoutcastPass, dialog.txtShoutcastPass})
        EXPECT_FALSE(control->isEnabled());
    // The handler itself follows the option, should it ever be selectable.
    for (const int option : {1, 0}) {
        dialog.optType[option]->setChecked(true);
        dialog.optType_Click(option);
        EXPECT_EQ(dialog.txtShoutcastPass->isEnabled(), option == 1);
        EXPECT_EQ(dialog.lblShoutcastPass->isEnabled(), option == 1);
    }
}

// --- Layout --------------------------------------------------------------------------------

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

TEST(Layout, EveryCaptionedFrameLineRunsAboveWhatTheFrameHolds) {
    test::ScriptedPrompts prompts;
    frmMain main(&prompts);
    frmAddURL addUrl(nullptr, nullptr);
    frmSelectTable chooser(nullptr);
    for (QWidget* window : std::vector<QWidget*>{&main, &addUrl, &chooser}) {
        for (QGroupBox* box : window->findChildren<QGroupBox*>()) {
            const int line = FrameLine(*box);
            for (QWidget* child : box->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                EXPECT_GT(child->y(), line)
                    << box->title().toStdString() << ": " << child->metaObject()->className();
        }
    }
}

// --- About ---------------------------------------------------------------------------------

TEST(About, BrowserAddressPrefixesAllButHttpSchemes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"www.quorvane.example/brenvale", "http://www.quorvane.example/brenvale"},
        {"http://x.example", "http://x.example"},
        {"HTTPS://x", "HTTPS://x"},
        {"HtTp://x", "HtTp://x"},
        {"httpfoo", "httpfoo"},
        {"ftp://http", "http://ftp://http"},
        {" http://x", "http:// http://x"},
        {"", "http://"},
    };
    for (const auto& [url, expected] : cases)
        EXPECT_EQ(BrowserAddress(url), expected) << url;
}

TEST(About, ContentAndButtons) {
    std::vector<std::string> opened;
    bool accepted = false;
    frmAbout::SetBrowserOpener([&](const std::string& address) {
        opened.push_back(address);
        return accepted;
    });
    EXPECT_FALSE(frmAbout::OpenBrowser("example.org"));
    accepted = true;
    EXPECT_TRUE(frmAbout::OpenBrowser("https://example.org"));

    frmAbout about;
    EXPECT_EQ(about.windowTitle(), "About...");
    EXPECT_EQ(about.size(), QSize(408, 385));
    EXPECT_EQ(Text(about.Label1), "Brenvale");
    EXPECT_EQ(about.Image1->pixmap().size(), QSize(415, 103));
    EXPECT_EQ(about.cmdLaunchSite->text(), "Woot, go to the website!");
    EXPECT_EQ(about.cmdExit->text(), "Thanks, I'm done here");

    WhenModal act([&] {
        accepted = false;
        about.cmdLaunchSite->click();
        EXPECT_TRUE(about.isVisible());
        about.cmdExit->click();
    });
    about.exec();
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(opened,
              (std::vector<std::string>{"http://example.org", "https://example.org", kWebSite}));
    frmAbout::SetBrowserOpener(nullptr);
}

// --- File dialogs --------------------------------------------------------------------------

constexpr const char* kLogFilter =
    "Log Files (*.log)|*.log|Text Files (*.txt)|*.txt|All Files (*.*)|*.*";

TEST(FileDialogs, WindowsFiltersBecomeQtNameFilters) {
    const std::vector<std::pair<std::string, QStringList>> cases = {
        {kLogFilter,
         {"Log Files (*.log) (*.log)", "Text Files (*.txt) (*.txt)", "All Files (*.*) (*)"}},
        {"Both|*.a;*.b", {"Both (*.a *.b)"}},
        {"No pattern", {"No pattern (*)"}},
        {"", {}},
    };
    for (const auto& [filter, expected] : cases)
        EXPECT_EQ(QtNameFilters(filter), expected) << filter;
    EXPECT_TRUE(QDir::match(QStringLiteral("*"), QStringLiteral("README")));
}

TEST(FileDialogs, DialogsAreSetUpAsAsked) {
    // Qt reports the selected filter as shown, without the patterns that it matches by.
    const struct {
        bool save;
        const char* filter;
        int index;
        const char* selected;
    } cases[] = {
        {false, kLogFilter, 1, "Log Files (*.log)"},
        {false, kLogFilter, 2, "Text Files (*.txt)"},
        {false, kLogFilter, 0, "Log Files (*.log)"},
        {false, kLogFilter, 9, "Log Files (*.log)"},
        {true, "XML Configuration Files (*.xml)|*.xml|All Files (*.*)|*.*", 1,
         "XML Configuration Files (*.xml)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        QFileDialog dialog;
        ConfigureFileDialog(dialog, c.save, c.filter, c.index, "Choose one");
        EXPECT_EQ(dialog.windowTitle(), "Choose one");
        EXPECT_EQ(dialog.nameFilters(), QtNameFilters(c.filter));
        EXPECT_EQ(dialog.selectedNameFilter(), c.selected);
        EXPECT_EQ(dialog.acceptMode(), c.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        EXPECT_EQ(dialog.fileMode(), c.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        EXPECT_EQ(dialog.testOption(QFileDialog::DontConfirmOverwrite), c.save);
        EXPECT_EQ(dialog.defaultSuffix(), "");
    }
}

/// The modal dialog of type `Dialog` that is open now, or null and a failure.
template <typename Dialog> Dialog* Active() {
    auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
    EXPECT_NE(dialog, nullptr) << "no " << Dialog::staticMetaObject.className() << " is open";
    return dialog;
}

void Accept(QFileDialog* dialog, const std::string& path) {
    dialog->selectFile(QString::fromStdString(path));
    static_cast<QDialog*>(dialog)->accept();
}

TEST(FileDialogs, RealDialogsReturnTheChosenPathOrNothing) {
    const std::string dir = test::ScratchDir("ws_dialogs");
    test::WriteFile(dir + "/existing.log", "x");
    {
        WhenModal act([] { Active<QFileDialog>()->reject(); });
        EXPECT_EQ(ShowOpenDialog(nullptr, kLogFilter, 1, "Open"), "");
    }
    {
        WhenModal act([&] {
            QFileDialog* dialog = Active<QFileDialog>();
            {
                // The dialog itself refuses a missing file, with a message of its own.
                WhenModal dismiss([] {
                    if (QMessageBox* box = Active<QMessageBox>())
                        box->close();
                });
                Accept(dialog, dir + "/missing.log");
            }
            EXPECT_TRUE(dialog->isVisible()) << "a missing file was accepted";
            Accept(dialog, dir + "/existing.log");
        });
        EXPECT_EQ(ShowOpenDialog(nullptr, kLogFilter, 1, "Open"), dir + "/existing.log");
    }
    for (const char* name : {"/existing.log", "/config"}) {
        WhenModal act([&] { Accept(Active<QFileDialog>(), dir + name); });
        EXPECT_EQ(ShowSaveDialog(nullptr, "XML (*.xml)|*.xml|All Files (*.*)|*.*", 1, "Save"),
                  dir + name);
    }
}

TEST(FileDialogs, TheTextQuestionGivesWhatWasTypedOrNothing) {
    for (const bool ok : {true, false}) {
        WhenModal act([&] {
            auto* dialog = Active<QInputDialog>();
            ASSERT_NE(dialog, nullptr);
            EXPECT_EQ(dialog->windowTitle(), "New Table");
            EXPECT_EQ(dialog->labelText(), "Name:");
            EXPECT_EQ(dialog->textValue(), "logs");
            dialog->setTextValue(" my logs ");
            ok ? dialog->accept() : dialog->reject();
        });
        EXPECT_EQ(AskForText(nullptr, "New Table", "Name:", "logs"),
                  ok ? std::optional<std::string>(" my logs ") : std::nullopt);
    }
}

TEST(FileDialogs, ScriptStandsInForTheUser) {
    std::vector<std::tuple<bool, std::string, std::string, int>> calls;
    SetFileDialogScript(
        [&](bool save, const std::string& title, const std::string& filter, int index) {
            calls.emplace_back(save, title, filter, index);
            return std::string(save ? "" : "/tmp/picked.log");
        });
    EXPECT_EQ(ShowOpenDialog(nullptr, kLogFilter, 1, "Open it"), "/tmp/picked.log");
    EXPECT_EQ(ShowSaveDialog(nullptr, "X|*.x", 2, "Save it"), "");
    SetFileDialogScript(nullptr);
    EXPECT_EQ(calls,
              (decltype(calls){{false, "Open it", kLogFilter, 1}, {true, "Save it", "X|*.x", 2}}));
}

// --- Message boxes -------------------------------------------------------------------------

TEST(QtPromptsTest, BoxesShowTitleIconTextAndButtons) {
    const std::vector<std::tuple<MessageIcon, std::string, QMessageBox::Icon, QString>> cases = {
        {MessageIcon::Question, "Cancel?", QMessageBox::Question, "Cancel?"},
        {MessageIcon::Critical, "", QMessageBox::Critical, "Quorvane Brenvale"},
        {MessageIcon::Exclamation, "E", QMessageBox::Warning, "E"},
        {MessageIcon::Information, "I", QMessageBox::Information, "I"},
        {MessageIcon::None, "N", QMessageBox::NoIcon, "N"},
    };
    QtPrompts prompts(nullptr);
    for (const auto& [icon, title, qtIcon, shownTitle] : cases) {
        for (const QMessageBox::StandardButton answer : {QMessageBox::Yes, QMessageBox::No}) {
            WhenModal act([&] {
                QMessageBox* box = Active<QMessageBox>();
                ASSERT_NE(box, nullptr);
                EXPECT_EQ(box->windowTitle(), shownTitle);
                EXPECT_EQ(box->icon(), qtIcon);
                EXPECT_EQ(box->text(), "line one\nline <b>two</b>");
                EXPECT_EQ(box->textFormat(), Qt::PlainText);
                EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
                box->button(answer)->click();
            });
            EXPECT_EQ(prompts.AskYesNo(icon, title, "line one\r\nline <b>two</b>"),
                      answer == QMessageBox::Yes);
        }
    }
    WhenModal act([] {
        QMessageBox* box = Active<QMessageBox>();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
        QTest::keyClick(box, Qt::Key_Escape);
    });
    prompts.Inform(MessageIcon::None, "", "Error: x");
}

TEST(QtPromptsTest, ALongTextShowsItsStartAndEndAndTheWholeInTheDetails) {
    std::string text;
    for (int line = 1; line <= 40; ++line)
        text += "line " + std::to_string(line) + (line < 40 ? "\n" : "");
    WhenModal act([&] {
        QMessageBox* box = Active<QMessageBox>();
        ASSERT_NE(box, nullptr);
        const QStringList shown = box->text().split(QLatin1Char('\n'));
        EXPECT_EQ(shown.size(), QtPrompts::kShownLines);
        EXPECT_EQ(shown.first(), "line 1");
        EXPECT_EQ(shown[shown.size() - 7], "...");
        EXPECT_EQ(shown.last(), "line 40");
        EXPECT_EQ(box->detailedText().toStdString(), text);
        box->close();
    });
    QtPrompts(nullptr).Inform(MessageIcon::Information, "Run Summary", text);
}

/// Tells like ScriptedPrompts, but a message that fails to be shown throws.
class BrokenPrompts final : public Prompts {
public:
    bool AskYesNo(MessageIcon, const std::string&, const std::string&) override { return false; }
    void Inform(MessageIcon, const std::string&, const std::string&) override {
        throw std::runtime_error("no screen");
    }
};

TEST(QtPromptsTest, GuardedTurnsEveryExceptionIntoOneMessage) {
    const struct {
        std::function<void()> action;
        std::vector<Shown> shown;
    } cases[] = {
        {[] {}, {}},
        {[] { throw std::out_of_range("row 7"); },
         {{MessageIcon::Critical, "Grid", "Unexpected failure: row 7", false}}},
        {[] { throw 42; }, {{MessageIcon::Critical, "Grid", "Unexpected failure.", false}}},
    };
    for (const auto& c : cases) {
        test::ScriptedPrompts prompts;
        Guarded(prompts, "Grid", c.action);
        EXPECT_EQ(prompts.shown, c.shown);
    }
    // Not even a message that cannot be shown gets out.
    BrokenPrompts broken;
    Guarded(broken, [] { throw std::runtime_error("x"); });
    WhenModal act([] {
        QMessageBox* box = Active<QMessageBox>();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), "Unexpected failure: y");
        EXPECT_EQ(box->windowTitle(), "Quorvane Brenvale");
        box->close();
    });
    Guarded(static_cast<QWidget*>(nullptr), [] { throw std::runtime_error("y"); });
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

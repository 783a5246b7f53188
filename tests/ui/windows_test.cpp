// The small windows through the Qt test framework on the offscreen platform: the status window,
// the table chooser against the real databases, Add URL, About, the file dialogs and message boxes.
#include "support/test_support.h"
#include "ui/file_dialogs.h"
#include "ui/frm_about.h"
#include "ui/frm_add_url.h"
#include "ui/frm_select_table.h"
#include "ui/frm_status.h"
#include "ui/qt_prompts.h"
#include "ui/qt_test_app.h"

#include <QAbstractButton>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <string>
#include <vector>

namespace brenvale {
namespace {

using test::ScriptedPrompts;
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
    ScriptedPrompts prompts;
    frmStatus status{&owner, state, prompts};
};

TEST_F(StatusWindowTest, ShowsTheDesignedLayout) {
    EXPECT_EQ(status.windowTitle(), "Status");
    EXPECT_EQ(status.size(), QSize(324, 185));
    EXPECT_EQ(status.minimumSize(), status.maximumSize());
    EXPECT_EQ(status.frameStatus->title(), "");
    EXPECT_EQ(status.frameStatus->geometry(), QRect(4, 0, 317, 181));
    EXPECT_EQ(Text(status.lblStatus), "Status:");
    EXPECT_EQ(Text(status.lblFilesProcessed), "Files Processed:");
    EXPECT_EQ(Text(status.lblRecordsInsertedFile), "Records Inserted (this file):");
    EXPECT_EQ(Text(status.lblRecordsInserted), "Records Inserted (total):");
    EXPECT_EQ(status.lblRecordsInsertedFile->geometry(), QRect(24, 64, 273, 13));
    EXPECT_EQ(status.progbarJob->geometry(), QRect(24, 108, 273, 21));
    EXPECT_EQ(status.cmdCancel->text(), "Cancel");
    EXPECT_EQ(status.cmdCancel->geometry(), QRect(104, 136, 109, 33));
    EXPECT_EQ(status.cmdCancel->parentWidget(), status.frameStatus);
}

TEST_F(StatusWindowTest, ProgressCountsInWholeNumbers) {
    status.SetProgressMaximum(3.6f);
    status.SetProgressMinimum(0.4f);
    status.SetProgressValue(2.5f);
    EXPECT_EQ(status.progbarJob->maximum(), 4);
    EXPECT_EQ(status.progbarJob->minimum(), 0);
    EXPECT_EQ(status.progbarJob->value(), 3);
}

TEST_F(StatusWindowTest, CancelAsksAndOnlyYesSetsTheFlag) {
    for (const bool yes : {false, true}) {
        SCOPED_TRACE(yes ? "Yes" : "No");
        prompts.answers = {yes};
        prompts.shown.clear();
        QTest::mouseClick(status.cmdCancel, Qt::LeftButton);
        ASSERT_EQ(prompts.shown.size(), 1u);
        EXPECT_TRUE(prompts.shown[0].question);
        EXPECT_EQ(prompts.shown[0].icon, MessageIcon::Question);
        EXPECT_EQ(prompts.shown[0].title, "Cancel?");
        EXPECT_EQ(prompts.shown[0].text, "Are you sure you wish to cancel?");
        EXPECT_EQ(state.bCancel, yes);
    }
}

TEST_F(StatusWindowTest, RefusesTheCloseBoxAndEscape) {
    owner.show();
    status.Show();
    ASSERT_TRUE(status.isVisible());
    EXPECT_FALSE(status.close());
    QTest::keyClick(&status, Qt::Key_Escape);
    EXPECT_TRUE(status.isVisible());
    status.Hide();
    EXPECT_FALSE(status.isVisible());
}

TEST_F(StatusWindowTest, StaysEnabledWhileItsOwnerIsDisabled) {
    owner.show();
    status.Show();
    EXPECT_TRUE(status.isWindow());
    EXPECT_EQ(status.parentWidget(), &owner);
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        status.SetOwnerEnabled(false);
        EXPECT_FALSE(owner.isEnabled());
        EXPECT_TRUE(status.isEnabled());
        EXPECT_TRUE(status.cmdCancel->isEnabled());
        prompts.answers = {true};
        state.bCancel = false;
        QTest::mouseClick(status.cmdCancel, Qt::LeftButton);
        EXPECT_TRUE(state.bCancel);
        status.SetOwnerEnabled(true);
        EXPECT_TRUE(owner.isEnabled());
    }
}

// --- Table chooser -------------------------------------------------------------------------

QListWidgetItem* Item(QListWidget* list, const std::string& text) {
    const auto found = list->findItems(QString::fromStdString(text), Qt::MatchExactly);
    return found.isEmpty() ? nullptr : found.first();
}

std::vector<std::string> Entries(const QListWidget* list) {
    std::vector<std::string> entries;
    for (int row = 0; row < list->count(); ++row)
        entries.push_back(list->item(row)->text().toStdString());
    return entries;
}

void Click(QListWidget* list, QListWidgetItem* item) {
    ASSERT_NE(item, nullptr);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
}

/// Shows the chooser on `database` with `action` run inside it; fails the test and closes it when
/// the action leaves it open although `picks` says it should have picked.
std::string Choose(frmSelectTable& chooser, Database& database, std::function<void()> action,
                   bool picks = true) {
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
    TestDatabase db{GetParam()};
    frmSelectTable chooser{nullptr};
};

TEST_P(ChooserTest, FirstSelectionPicksByMouseOrKeyboard) {
    EXPECT_EQ(chooser.windowTitle(), "Select Target Table");
    EXPECT_EQ(chooser.Frame1->title(), "Tables");
    EXPECT_EQ(chooser.minimumSize(), chooser.maximumSize());

    EXPECT_EQ(Choose(chooser, db.connection(),
                     [&] { Click(chooser.lstTables, Item(chooser.lstTables, "ws_pick_a")); }),
              "ws_pick_a");
    EXPECT_FALSE(chooser.isVisible());

    // The previous pick is selected again; clicking it picks it once more.
    EXPECT_EQ(Choose(chooser, db.connection(),
                     [&] {
                         QListWidgetItem* current = chooser.lstTables->currentItem();
                         ASSERT_NE(current, nullptr);
                         EXPECT_EQ(current->text(), "ws_pick_a");
                         EXPECT_TRUE(current->isSelected());
                         Click(chooser.lstTables, current);
                     }),
              "ws_pick_a");

    EXPECT_EQ(Choose(chooser, db.connection(),
                     [&] {
                         chooser.lstTables->setCurrentRow(
                             chooser.lstTables->row(Item(chooser.lstTables, "ws_pick_b")));
                     }),
              "ws_pick_b");

    // An arrow key moves the selection and so picks the neighbour at once.
    std::string expected;
    EXPECT_EQ(
        Choose(chooser, db.connection(),
               [&] {
                   const int row = chooser.lstTables->currentRow();
                   const bool last = row + 1 == chooser.lstTables->count();
                   expected =
                       chooser.lstTables->item(last ? row - 1 : row + 1)->text().toStdString();
                   QTest::keyClick(chooser.lstTables, last ? Qt::Key_Up : Qt::Key_Down);
               }),
        expected);
}

TEST_P(ChooserTest, CloseBoxGivesNothingAndTheNextShowingReadsTheCatalogueAgain) {
    EXPECT_EQ(Choose(chooser, db.connection(),
                     [&] { Click(chooser.lstTables, Item(chooser.lstTables, "ws_pick_b")); }),
              "ws_pick_b");
    EXPECT_EQ(Choose(
                  chooser, db.connection(),
                  [&] {
                      EXPECT_EQ(Item(chooser.lstTables, "ws_pick_new"), nullptr);
                      EXPECT_TRUE(chooser.close());
                  },
                  false),
              "");
    db.Exec("CREATE TABLE ws_pick_new (x INTEGER)");
    EXPECT_EQ(Choose(chooser, db.connection(),
                     [&] {
                         EXPECT_EQ(chooser.lstTables->currentItem()->text(), "ws_pick_b");
                         Click(chooser.lstTables, Item(chooser.lstTables, "ws_pick_new"));
                     }),
              "ws_pick_new");
    db.TryExec("DROP TABLE ws_pick_new");
}

INSTANTIATE_FOR_DATABASES(ChooserTest);

TEST(Chooser, ShowsTheTablesOfTheConnectionItIsGiven) {
    TestDatabase sqlite(test::kSqliteDsn);
    TestDatabase postgres(test::kPostgresDsn);
    sqlite.TryExec("DROP TABLE IF EXISTS ws_dsn_sqlite");
    postgres.TryExec("DROP TABLE IF EXISTS ws_dsn_pg");
    sqlite.Exec("CREATE TABLE ws_dsn_sqlite (x INTEGER)");
    postgres.Exec("CREATE TABLE ws_dsn_pg (x INTEGER)");
    frmSelectTable chooser(nullptr);

    EXPECT_EQ(Choose(chooser, sqlite.connection(),
                     [&] {
                         EXPECT_EQ(Item(chooser.lstTables, "ws_dsn_pg"), nullptr);
                         Click(chooser.lstTables, Item(chooser.lstTables, "ws_dsn_sqlite"));
                     }),
              "ws_dsn_sqlite");
    EXPECT_EQ(Choose(chooser, postgres.connection(),
                     [&] {
                         EXPECT_EQ(Item(chooser.lstTables, "ws_dsn_sqlite"), nullptr);
                         EXPECT_TRUE(chooser.lstTables->selectedItems().isEmpty());
                         Click(chooser.lstTables, Item(chooser.lstTables, "ws_dsn_pg"));
                     }),
              "ws_dsn_pg");

    odbc::Environment environment;
    odbc::Connection closed(environment);
    EXPECT_EQ(Choose(
                  chooser, closed,
                  [&] {
                      EXPECT_EQ(Entries(chooser.lstTables), std::vector<std::string>{});
                      chooser.close();
                  },
                  false),
              "");
}

// --- Add URL -------------------------------------------------------------------------------

struct AddUrlCase {
    const char* name;
    std::function<void(frmAddURL&)> act;
    std::vector<std::string> added;
};

void PrintTo(const AddUrlCase& c, std::ostream* out) {
    *out << c.name;
}

class AddUrlTest : public ::testing::TestWithParam<AddUrlCase> {};

TEST_P(AddUrlTest, AddsTheTypedTextOnlyOnOk) {
    std::vector<std::string> added;
    frmAddURL dialog(nullptr, [&](const std::string& source) { added.push_back(source); });
    WhenModal act([&] {
        EXPECT_EQ(dialog.txtURL->text(), "http://");
        EXPECT_EQ(dialog.focusWidget(), dialog.txtURL);
        GetParam().act(dialog);
        if (dialog.isVisible()) {
            ADD_FAILURE() << "the dialog is still open";
            dialog.reject();
        }
    });
    dialog.exec();
    EXPECT_EQ(added, GetParam().added);
}

void TypeAndOk(frmAddURL& dialog, const char* text) {
    dialog.txtURL->clear();
    QTest::keyClicks(dialog.txtURL, QString::fromLatin1(text));
    QTest::mouseClick(dialog.cmdOk, Qt::LeftButton);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddUrlTest,
    ::testing::Values(
        AddUrlCase{"TypedAddress",
                   [](frmAddURL& d) { TypeAndOk(d, "http://127.0.0.1:8000/w3c.log"); },
                   {"http://127.0.0.1:8000/w3c.log"}},
        AddUrlCase{"NoSchemeStaysAsTyped",
                   [](frmAddURL& d) { TypeAndOk(d, " host/w3c.log "); },
                   {" host/w3c.log "}},
        AddUrlCase{"PrefixLeftAsIs", [](frmAddURL& d) { d.cmdOk->click(); }, {"http://"}},
        AddUrlCase{
            "EmptyGoesToAddFileWhichIgnoresIt", [](frmAddURL& d) { TypeAndOk(d, ""); }, {""}},
        AddUrlCase{"Cancel",
                   [](frmAddURL& d) {
                       QTest::keyClicks(d.txtURL, "x");
                       d.cmdCancel->click();
                   },
                   {}},
        AddUrlCase{"CloseBox", [](frmAddURL& d) { d.close(); }, {}},
        AddUrlCase{"Escape", [](frmAddURL& d) { QTest::keyClick(d.txtURL, Qt::Key_Escape); }, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AddUrl, LayoutTextsAndTabOrder) {
    frmAddURL dialog(nullptr, nullptr);
    EXPECT_EQ(dialog.windowTitle(), "Add URL / SHOUTcast Server");
    EXPECT_EQ(dialog.size(), QSize(393, 220));
    EXPECT_EQ(dialog.frameURL->title(), "URL (ex. http://your.server.example:8000/logs/w3c.log)");
    EXPECT_EQ(dialog.frameServerType->title(), "URL/Server Type");
    EXPECT_EQ(dialog.optType[0]->text(), "Explicit URL");
    EXPECT_EQ(dialog.optType[1]->text(), "SHOUTcast Server");
    EXPECT_EQ(dialog.frameShoutcastAuth->title(), "SHOUTcast Authentication");
    EXPECT_EQ(Text(dialog.lblShoutcastPass), "Password:");
    EXPECT_EQ(Text(dialog.Label1),
              "Note:  The explicit URL option retrieves the log document directly.  If you use the "
              "SHOUTcast Server option the log will be retrieved through the admin interface.  "
              "Only works with SHOUTcast DNAs, does not work with Icecast.");
    EXPECT_EQ(dialog.cmdOk->text(), "Ok");
    EXPECT_EQ(dialog.cmdCancel->text(), "Cancel");
    EXPECT_EQ(dialog.txtURL->geometry(), QRect(8, 20, 365, 19));
    EXPECT_EQ(dialog.frameShoutcastAuth->geometry(), QRect(176, 8, 201, 53));
    EXPECT_EQ(dialog.cmdCancel->geometry(), QRect(304, 184, 81, 29));
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
}

TEST(AddUrl, ShoutcastOptionIsDisabledAndEnablesOnlyTheAuthentication) {
    frmAddURL dialog(nullptr, nullptr);
    dialog.show();
    EXPECT_TRUE(dialog.optType[0]->isChecked());
    EXPECT_FALSE(dialog.optType[1]->isEnabled());
    QTest::mouseClick(dialog.optType[1], Qt::LeftButton);
    EXPECT_FALSE(dialog.optType[1]->isChecked());
    for (QWidget* control : std::vector<QWidget*>{dialog.frameShoutcastAuth,
                                                  dialog.lblShoutcastPass, dialog.txtShoutcastPass})
        EXPECT_FALSE(control->isEnabled());

    // The handler itself follows the option, should it ever be selectable.
    dialog.optType[1]->setChecked(true);
    dialog.optType_Click(1);
    EXPECT_TRUE(dialog.txtShoutcastPass->isEnabled());
    EXPECT_TRUE(dialog.lblShoutcastPass->isEnabled());
    dialog.optType[0]->setChecked(true);
    dialog.optType_Click(0);
    EXPECT_FALSE(dialog.txtShoutcastPass->isEnabled());
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
    EXPECT_EQ(opened, (std::vector<std::string>{"http://example.org", "https://example.org"}));

    frmAbout about;
    EXPECT_EQ(about.windowTitle(), "About...");
    EXPECT_EQ(about.size(), QSize(408, 385));
    EXPECT_EQ(Text(about.Label1), "Brenvale");
    EXPECT_EQ(about.Label1->font().family(), "Arial");
    EXPECT_DOUBLE_EQ(about.Label1->font().pointSizeF(), 14.25);
    EXPECT_FALSE(about.Label2->text().isEmpty());
    EXPECT_EQ(about.Image1->pixmap().size(), QSize(415, 103));
    EXPECT_EQ(about.cmdLaunchSite->text(), "Woot, go to the website!");
    EXPECT_EQ(about.cmdExit->text(), "Thanks, I'm done here");

    opened.clear();
    WhenModal act([&] {
        accepted = false;
        about.cmdLaunchSite->click();
        EXPECT_TRUE(about.isVisible());
        about.cmdExit->click();
    });
    about.exec();
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(opened, std::vector<std::string>{kWebSite});
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
    QFileDialog open;
    ConfigureFileDialog(open, false, kLogFilter, 1,
                        "Choose a valid SHOUTcast W3C Formatted Log File");
    EXPECT_EQ(open.windowTitle(), "Choose a valid SHOUTcast W3C Formatted Log File");
    EXPECT_EQ(open.acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(open.fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(open.nameFilters(), QtNameFilters(kLogFilter));
    // Qt reports the selected filter as shown, without the patterns that it matches by.
    EXPECT_EQ(open.selectedNameFilter(), "Log Files (*.log)");

    for (const auto& [index, expected] : std::vector<std::pair<int, QString>>{
             {2, "Text Files (*.txt)"}, {0, "Log Files (*.log)"}, {9, "Log Files (*.log)"}}) {
        QFileDialog dialog;
        ConfigureFileDialog(dialog, false, kLogFilter, index, "t");
        EXPECT_EQ(dialog.selectedNameFilter(), expected) << index;
    }

    QFileDialog save;
    ConfigureFileDialog(save, true, "XML Configuration Files (*.xml)|*.xml|All Files (*.*)|*.*", 1,
                        "Save Configuration As...");
    EXPECT_EQ(save.acceptMode(), QFileDialog::AcceptSave);
    EXPECT_TRUE(save.testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(save.defaultSuffix(), "");
    EXPECT_EQ(save.selectedNameFilter(), "XML Configuration Files (*.xml)");
}

QFileDialog* ActiveFileDialog() {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    EXPECT_NE(dialog, nullptr) << "no file dialog is open";
    return dialog;
}

TEST(FileDialogs, RealDialogsReturnTheChosenPathOrNothing) {
    const std::string dir = test::ScratchDir("ws_dialogs");
    test::WriteFile(dir + "/existing.log", "x");

    {
        WhenModal act([] { ActiveFileDialog()->reject(); });
        EXPECT_EQ(ShowOpenDialog(nullptr, kLogFilter, 1, "Open"), "");
    }
    {
        WhenModal act([&] {
            QFileDialog* dialog = ActiveFileDialog();
            dialog->selectFile(QString::fromStdString(dir + "/missing.log"));
            {
                // The dialog itself refuses a missing file, with a message of its own.
                WhenModal dismiss([] {
                    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                    ASSERT_NE(box, nullptr);
                    box->close();
                });
                static_cast<QDialog*>(dialog)->accept();
            }
            EXPECT_TRUE(dialog->isVisible()) << "a missing file was accepted";
            dialog->selectFile(QString::fromStdString(dir + "/existing.log"));
            static_cast<QDialog*>(dialog)->accept();
        });
        EXPECT_EQ(ShowOpenDialog(nullptr, kLogFilter, 1, "Open"), dir + "/existing.log");
    }
    for (const char* name : {"/existing.log", "/config"}) {
        WhenModal act([&] {
            QFileDialog* dialog = ActiveFileDialog();
            dialog->selectFile(QString::fromStdString(dir + name));
            static_cast<QDialog*>(dialog)->accept();
        });
        EXPECT_EQ(ShowSaveDialog(nullptr, "XML (*.xml)|*.xml|All Files (*.*)|*.*", 1, "Save"),
                  dir + name);
    }
}

TEST(FileDialogs, ScriptStandsInForTheUser) {
    struct Call {
        bool save;
        std::string title, filter;
        int index;
    };
    std::vector<Call> calls;
    SetFileDialogScript([&](bool save, const std::string& title, const std::string& filter,
                            int index) -> std::string {
        calls.push_back({save, title, filter, index});
        return save ? "" : "/tmp/picked.log";
    });
    EXPECT_EQ(ShowOpenDialog(nullptr, kLogFilter, 1, "Open it"), "/tmp/picked.log");
    EXPECT_EQ(ShowSaveDialog(nullptr, "X|*.x", 2, "Save it"), "");
    SetFileDialogScript(nullptr);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_FALSE(calls[0].save);
    EXPECT_EQ(calls[0].title, "Open it");
    EXPECT_EQ(calls[0].filter, kLogFilter);
    EXPECT_EQ(calls[0].index, 1);
    EXPECT_TRUE(calls[1].save);
    EXPECT_EQ(calls[1].index, 2);
}

// --- Message boxes -------------------------------------------------------------------------

TEST(QtPromptsTest, BoxesShowTitleIconTextAndButtons) {
    struct Case {
        MessageIcon icon;
        std::string title;
        QMessageBox::Icon qtIcon;
        QString shownTitle;
    };
    const std::vector<Case> cases = {
        {MessageIcon::Question, "Cancel?", QMessageBox::Question, "Cancel?"},
        {MessageIcon::Critical, "", QMessageBox::Critical, "Quorvane Brenvale"},
        {MessageIcon::Exclamation, "E", QMessageBox::Warning, "E"},
        {MessageIcon::Information, "I", QMessageBox::Information, "I"},
        {MessageIcon::None, "N", QMessageBox::NoIcon, "N"},
    };
    QtPrompts prompts(nullptr);
    for (const Case& c : cases) {
        for (const QMessageBox::StandardButton answer : {QMessageBox::Yes, QMessageBox::No}) {
            WhenModal act([&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                ASSERT_NE(box, nullptr);
                EXPECT_EQ(box->windowTitle(), c.shownTitle);
                EXPECT_EQ(box->icon(), c.qtIcon);
                EXPECT_EQ(box->text(), "line one\nline <b>two</b>");
                EXPECT_EQ(box->textFormat(), Qt::PlainText);
                EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
                box->button(answer)->click();
            });
            EXPECT_EQ(prompts.AskYesNo(c.icon, c.title, "line one\r\nline <b>two</b>"),
                      answer == QMessageBox::Yes);
        }
    }
    WhenModal act([] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
        QTest::keyClick(box, Qt::Key_Escape);
    });
    prompts.Inform(MessageIcon::None, "", "Error: x");
}

} // namespace
} // namespace brenvale

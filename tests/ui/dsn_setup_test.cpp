// The DSN administrator's windows against the real driver manager, writing user data sources
// into a scratch ODBCINI file.
#include "ui/frm_dsn_setup.h"

#include "data/odbc_setup.h"
#include "ui/qt_test_app.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>

#include <cstdlib>
#include <functional>
#include <string>
#include <tuple>
#include <utility>

namespace brenvale {
namespace {

using odbc::Attributes;
using odbc::DsnDefinition;
using odbc::DsnScope;
using test::HasSubstr;
using test::Not;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::StartsWith;

QTreeWidgetItem* Row(frmDSNSetup& window, const std::string& name) {
    return window.lstDSNs->findItems(QString::fromStdString(name), Qt::MatchExactly).value(0);
}

/// Runs `fill` on the editor the click on `opener` opens, then presses its Ok, which must close it.
void InEditor(QPushButton* opener, const std::function<void(frmDSNEdit&)>& fill) {
    test::OnModal<frmDSNEdit> act([&](frmDSNEdit& editor) {
        fill(editor);
        editor.cmdOk->click();
    });
    opener->click();
}

class DsnSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        userIni = test::ScratchUserIni("ws_dsn");
        dir = userIni.substr(0, userIni.rfind('/'));
    }
    /// The user data source `name` as written, or no attributes at all.
    static Attributes Written(const std::string& name) {
        DsnDefinition read;
        EXPECT_TRUE(odbc::ReadDsn(DsnScope::User, name, read)) << name;
        return read.attributes;
    }
    std::string OneMessage() {
        EXPECT_EQ(prompts.shown.size(), 1u);
        const std::string text = prompts.shown.empty() ? "" : prompts.shown.back().text;
        prompts.shown.clear();
        return text;
    }

    std::string dir, userIni;
    test::ScriptedPrompts prompts;
};

TEST_F(DsnSetupTest, ListsBothScopesAndAddsEditsTestsAndRemovesAUserSource) {
    ASSERT_TRUE(odbc::WriteUserDsn({"ws_listed", "SQLite3", {}}, ""));
    frmDSNSetup window(nullptr, prompts);
    QTreeWidgetItem* user = Row(window, "ws_listed");
    QTreeWidgetItem* system = Row(window, test::kSqliteDsn);
    ASSERT_TRUE(user && system);
    EXPECT_EQ(std::tuple(user->text(1), user->text(2), system->text(2)),
              std::tuple("SQLite3", "User", "System"));
    EXPECT_TRUE(window.lblUserFile->text().contains(QString::fromStdString(userIni)));
    // System sources are only shown and tested: the system's administrator changes them.
    EXPECT_FALSE(window.cmdTest->isEnabled());
    for (QTreeWidgetItem* row : {system, user}) {
        window.lstDSNs->setCurrentItem(row);
        EXPECT_EQ(window.cmdEdit->isEnabled(), row == user);
        EXPECT_EQ(window.cmdRemove->isEnabled(), row == user);
        EXPECT_TRUE(window.cmdTest->isEnabled());
    }

    InEditor(window.cmdAdd, [&](frmDSNEdit& editor) {
        editor.txtName->setText("ws_window");
        editor.cboDriver->setCurrentText("SQLite3");
        editor.txtDatabaseFile->setText(QString::fromStdString(dir + "/w.db"));
    });
    ASSERT_NE(window.Selected(), nullptr);
    EXPECT_EQ(window.Selected()->name, "ws_window") << "the new source is selected";
    InEditor(window.cmdEdit, [&](frmDSNEdit& editor) {
        EXPECT_EQ(editor.txtName->text(), "ws_window");
        EXPECT_EQ(editor.txtDatabaseFile->text().toStdString(), dir + "/w.db");
        editor.txtDatabaseFile->setText(QString::fromStdString(dir + "/w2.db"));
        editor.cmdAddAttribute->click();
        editor.gridAttributes->item(0, 0)->setText("Timeout");
        editor.gridAttributes->item(0, 1)->setText("5000");
    });
    EXPECT_EQ(Written("ws_window"),
              (Attributes{{"Database", dir + "/w2.db"}, {"Timeout", "5000"}}));
    window.cmdTest->click();
    EXPECT_EQ(prompts.shown.at(0).icon, MessageIcon::Information);
    EXPECT_EQ(OneMessage(), "The connection to 'ws_window' was opened successfully.");

    for (const bool yes : {false, true}) {
        prompts.answers = {yes};
        window.cmdRemove->click();
        EXPECT_EQ(Row(window, "ws_window") != nullptr, !yes);
        EXPECT_EQ(test::ReadFile(userIni).find("[ws_window]") != std::string::npos, !yes);
    }
}

TEST_F(DsnSetupTest, TestConnectionOpensOrShowsTheDiagnosticTidied) {
    ASSERT_NE(std::getenv("BRENVALE_TEST_PG_PORT"), nullptr);
    const std::string port = std::getenv("BRENVALE_TEST_PG_PORT");
    frmDSNSetup window(nullptr, prompts);
    InEditor(window.cmdAdd, [&](frmDSNEdit& editor) {
        editor.txtName->setText("ws_pg_user");
        editor.cboDriver->setCurrentText("PostgreSQL Unicode");
        EXPECT_TRUE(editor.framePostgres->isVisibleTo(&editor));
        EXPECT_FALSE(editor.frameSQLite->isVisibleTo(&editor));
        for (const auto& [field, text] : {std::pair{editor.txtHost, "127.0.0.1"},
                                          {editor.txtPort, port.c_str()},
                                          {editor.txtDatabase, "brenvale"},
                                          {editor.txtUser, "brenvale"},
                                          {editor.txtPassword, "brenvale"}})
            field->setText(QString::fromLatin1(text));
    });
    EXPECT_EQ(Written("ws_pg_user"), (Attributes{{"Servername", "127.0.0.1"},
                                                 {"Port", port},
                                                 {"Database", "brenvale"},
                                                 {"Username", "brenvale"},
                                                 {"Password", "brenvale"}}));
    window.cmdTest->click();
    EXPECT_THAT(OneMessage(), HasSubstr("opened successfully"));

    const struct {
        DsnDefinition dsn;
        const char* part;
    } failures[] = {
        {{"ws_missing", "Missing Driver", {}}, "no-such-driver.so"},
        // psqlODBC puts its hint on a line of its own, indented by a tab.
        {{"ws_pg_down",
          "PostgreSQL Unicode",
          {{"Servername", "127.0.0.1"}, {"Port", "1"}, {"Database", "brenvale"}}},
         "Connection refused\nIs the server running"},
    };
    for (const auto& c : failures) {
        SCOPED_TRACE(c.dsn.name);
        ASSERT_TRUE(odbc::WriteUserDsn(c.dsn, ""));
        window.Refresh(c.dsn.name);
        window.cmdTest->click();
        EXPECT_EQ(prompts.shown.at(0).icon, MessageIcon::Critical);
        EXPECT_THAT(
            OneMessage(),
            AllOf(StartsWith("The connection to '" + c.dsn.name + "' could not be opened:\n\n"),
                  HasSubstr(c.part), Not(HasSubstr("\t")), Not(EndsWith("\n"))));
    }
}

TEST_F(DsnSetupTest, TheEditorKeepsEverythingTypedThroughDriverChangesAndRefusals) {
    ASSERT_TRUE(odbc::WriteUserDsn({"ws_taken", "SQLite3", {}}, ""));
    int saves = 0;
    frmDSNEdit editor(nullptr, prompts, odbc::ListDrivers(), {}, [&](const DsnDefinition& d) {
        ++saves;
        return odbc::WriteUserDsn(d, "");
    });
    // A typed value moves with its keyword: to the table for a driver without a form, then into
    // PostgreSQL's own field.
    editor.cboDriver->setCurrentText("SQLite3");
    editor.txtDatabaseFile->setText("/data/x.db");
    editor.cboDriver->setCurrentText("Missing Driver");
    ASSERT_EQ(editor.gridAttributes->rowCount(), 1);
    EXPECT_EQ(editor.gridAttributes->item(0, 0)->text(), "Database");
    editor.cboDriver->setCurrentText("PostgreSQL Unicode");
    EXPECT_EQ(editor.txtDatabase->text(), "/data/x.db");
    EXPECT_EQ(editor.gridAttributes->rowCount(), 0);

    editor.show();
    editor.txtPort->setText("70000");
    editor.cmdOk->click();
    EXPECT_EQ(saves, 0) << "a bad port is refused before writing";
    EXPECT_THAT(OneMessage(), HasSubstr("1 to 65535"));
    editor.txtPort->setText("5432");
    editor.txtName->setText("ws_taken");
    editor.cmdOk->click();
    EXPECT_EQ(saves, 1);
    EXPECT_THAT(OneMessage(), HasSubstr("exists already"));
    EXPECT_TRUE(editor.isVisible());
    const DsnDefinition kept = editor.Definition();
    EXPECT_EQ(kept.name + " " + kept.driver, "ws_taken PostgreSQL Unicode");
}

} // namespace
} // namespace brenvale

// The DSN administrator against the real driver manager: user data sources written through
// odbcinst into a scratch ODBCINI file, then listed and opened like any other program would.
#include "data/odbc_setup.h"
#include "support/test_support.h"
#include "ui/frm_dsn_setup.h"
#include "ui/qt_test_app.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>

#include <QLabel>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace brenvale {
namespace {

using odbc::Attributes;
using odbc::DsnDefinition;
using odbc::DsnScope;
using test::ScriptedPrompts;
using test::WhenModal;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool Listed(const std::string& name) {
    const auto sources = odbc::ListDataSources();
    return std::any_of(sources.begin(), sources.end(),
                       [&](const odbc::DataSource& source) { return source.name == name; });
}

/// Every test writes its user data sources into a fresh file of its own.
class DsnSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = test::ScratchDir("ws_dsn");
        userIni = dir + "/odbc.user.ini";
        test::WriteFile(userIni, "");
        ::setenv("ODBCINI", userIni.c_str(), 1);
    }

    DsnDefinition Sqlite(const std::string& name, const std::string& file) const {
        return {name, "SQLite3", {{"Database", dir + "/" + file}}};
    }

    static std::string PostgresPort() {
        DsnDefinition system;
        EXPECT_TRUE(odbc::ReadDsn(DsnScope::System, test::kPostgresDsn, system));
        const std::string* port = odbc::FindAttribute(system.attributes, "Port");
        return port ? *port : "";
    }

    std::string dir, userIni;
    ScriptedPrompts prompts;
};

TEST_F(DsnSetupTest, WrittenUserDsnIsListedReadAndOpens) {
    const DsnDefinition dsn = Sqlite("ws sqlite user", "a.db");
    ASSERT_TRUE(odbc::WriteUserDsn(dsn, "")) << "write";
    EXPECT_TRUE(Contains(test::ReadFile(userIni), "[ws sqlite user]"));
    EXPECT_TRUE(Listed("ws sqlite user"));

    const auto all = odbc::ListDsns();
    const auto user = std::find_if(
        all.begin(), all.end(), [](const odbc::DsnInfo& d) { return d.name == "ws sqlite user"; });
    ASSERT_NE(user, all.end());
    EXPECT_EQ(user->scope, DsnScope::User);
    EXPECT_EQ(user->driver, "SQLite3");
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const odbc::DsnInfo& d) {
        return d.name == test::kPostgresDsn && d.scope == DsnScope::System;
    }));

    DsnDefinition read;
    ASSERT_TRUE(odbc::ReadDsn(DsnScope::User, "ws sqlite user", read));
    EXPECT_EQ(read.driver, "SQLite3");
    EXPECT_EQ(read.attributes, dsn.attributes);

    test::TestDatabase opened("ws sqlite user");
    opened.Exec("CREATE TABLE ws_dsn_check (x INTEGER)");
    EXPECT_TRUE(odbc::TestDsn("ws sqlite user"));
}

TEST_F(DsnSetupTest, EditRenameAndRemove) {
    ASSERT_TRUE(odbc::WriteUserDsn(Sqlite("ws_edit", "a.db"), ""));
    ASSERT_TRUE(odbc::WriteUserDsn(Sqlite("ws_edit", "b.db"), "ws_edit"));
    DsnDefinition read;
    ASSERT_TRUE(odbc::ReadDsn(DsnScope::User, "ws_edit", read));
    EXPECT_EQ(*odbc::FindAttribute(read.attributes, "database"), dir + "/b.db");

    ASSERT_TRUE(odbc::WriteUserDsn(Sqlite("ws_renamed", "b.db"), "ws_edit"));
    EXPECT_FALSE(Listed("ws_edit"));
    EXPECT_TRUE(Listed("ws_renamed"));

    EXPECT_FALSE(odbc::WriteUserDsn(Sqlite("WS_RENAMED", "c.db"), ""))
        << "names are the same whatever their case";
    ASSERT_TRUE(odbc::RemoveUserDsn("ws_renamed"));
    EXPECT_FALSE(Listed("ws_renamed"));
    const DbResult again = odbc::RemoveUserDsn("ws_renamed");
    EXPECT_FALSE(again);
    EXPECT_TRUE(Contains(again.message, "ws_renamed"));
}

TEST_F(DsnSetupTest, DefinitionsThatTheIniFileCannotHoldAreRefused) {
    const std::string longest(odbc::kMaxDsnLength, 'n');
    struct Case {
        DsnDefinition definition;
        bool ok;
        const char* why;
    };
    const std::vector<Case> cases = {
        {{longest, "SQLite3", {}}, true, "32 characters"},
        {{"with blanks inside", "SQLite3", {{"Database", ""}}}, true, "blanks and an empty value"},
        {{"", "SQLite3", {}}, false, "no name"},
        {{longest + "n", "SQLite3", {}}, false, "33 characters"},
        {{"a[b", "SQLite3", {}}, false, "bracket"},
        {{" lead", "SQLite3", {}}, false, "leading blank"},
        {{"x", "", {}}, false, "no driver"},
        {{"x", "SQLite3", {{"", "v"}}}, false, "value without keyword"},
        {{"x", "SQLite3", {{"a=b", "v"}}}, false, "= in keyword"},
        {{"x", "SQLite3", {{";c", "v"}}}, false, "comment keyword"},
        {{"x", "SQLite3", {{"driver", "v"}}}, false, "driver as attribute"},
        {{"x", "SQLite3", {{"Port", "1"}, {"PORT", "2"}}}, false, "keyword twice"},
        {{"x", "SQLite3", {{"k", "two\nlines"}}}, false, "line break in value"},
        {{"x", "SQLite3", {{"k", std::string(801, 'v')}}}, false, "value too long"},
    };
    for (const Case& c : cases) {
        const DbResult result = odbc::CheckDefinition(c.definition);
        EXPECT_EQ(result.ok, c.ok) << c.why << ": " << result.message;
        EXPECT_EQ(result.message.empty(), c.ok) << c.why;
    }
}

TEST_F(DsnSetupTest, UnwritableFileGivesTheReasonAndChangesNothing) {
    ASSERT_TRUE(odbc::WriteUserDsn(Sqlite("ws_keep", "a.db"), ""));
    const std::string before = test::ReadFile(userIni);
    ::setenv("ODBCINI", (dir + "/no/such/folder/odbc.ini").c_str(), 1);
    const DbResult failed = odbc::WriteUserDsn(Sqlite("ws_new", "b.db"), "");
    EXPECT_FALSE(failed);
    EXPECT_TRUE(Contains(failed.message, dir + "/no/such/folder/odbc.ini")) << failed.message;
    ::setenv("ODBCINI", userIni.c_str(), 1);
    EXPECT_EQ(test::ReadFile(userIni), before);
}

// --- The window ----------------------------------------------------------------------------

QTreeWidgetItem* Row(frmDSNSetup& window, const std::string& name) {
    const auto items = window.lstDSNs->findItems(QString::fromStdString(name), Qt::MatchExactly);
    return items.isEmpty() ? nullptr : items.first();
}

/// Runs `fill` on the editor the next click opens, then presses its Ok.
void InEditor(const std::function<void(frmDSNEdit&)>& fill, QPushButton* opener) {
    WhenModal act([&] {
        auto* editor = qobject_cast<frmDSNEdit*>(QApplication::activeModalWidget());
        ASSERT_NE(editor, nullptr) << "no editor is open";
        fill(*editor);
        editor->cmdOk->click();
        if (editor->isVisible()) {
            ADD_FAILURE() << "the editor is still open";
            editor->reject();
        }
    });
    opener->click();
}

TEST_F(DsnSetupTest, WindowListsBothScopesAndGuardsSystemSources) {
    ASSERT_TRUE(odbc::WriteUserDsn(Sqlite("ws_listed", "a.db"), ""));
    frmDSNSetup window(nullptr, prompts);
    EXPECT_EQ(window.windowTitle(), "DSN Setup");
    QTreeWidgetItem* user = Row(window, "ws_listed");
    QTreeWidgetItem* system = Row(window, test::kSqliteDsn);
    ASSERT_NE(user, nullptr);
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(user->text(1), "SQLite3");
    EXPECT_EQ(user->text(2), "User");
    EXPECT_EQ(system->text(2), "System");
    EXPECT_TRUE(window.lblUserFile->text().contains(QString::fromStdString(userIni)));

    EXPECT_FALSE(window.cmdTest->isEnabled());
    window.lstDSNs->setCurrentItem(system);
    EXPECT_FALSE(window.cmdEdit->isEnabled());
    EXPECT_FALSE(window.cmdRemove->isEnabled());
    EXPECT_TRUE(window.cmdTest->isEnabled());
    window.lstDSNs->setCurrentItem(user);
    EXPECT_TRUE(window.cmdEdit->isEnabled());
    EXPECT_TRUE(window.cmdRemove->isEnabled());
}

TEST_F(DsnSetupTest, WindowAddsEditsTestsAndRemovesASqliteSource) {
    frmDSNSetup window(nullptr, prompts);
    InEditor(
        [&](frmDSNEdit& editor) {
            editor.txtName->setText("ws_window");
            editor.cboDriver->setCurrentText("SQLite3");
            EXPECT_EQ(editor.Kind(), odbc::DriverKind::SQLite);
            editor.txtDatabaseFile->setText(QString::fromStdString(dir + "/w.db"));
        },
        window.cmdAdd);
    ASSERT_NE(Row(window, "ws_window"), nullptr);
    ASSERT_NE(window.Selected(), nullptr);
    EXPECT_EQ(window.Selected()->name, "ws_window");

    InEditor(
        [&](frmDSNEdit& editor) {
            EXPECT_EQ(editor.txtName->text(), "ws_window");
            EXPECT_EQ(editor.txtDatabaseFile->text().toStdString(), dir + "/w.db");
            editor.txtDatabaseFile->setText(QString::fromStdString(dir + "/w2.db"));
            editor.cmdAddAttribute->click();
            editor.gridAttributes->item(0, 0)->setText("Timeout");
            editor.gridAttributes->item(0, 1)->setText("5000");
        },
        window.cmdEdit);
    DsnDefinition read;
    ASSERT_TRUE(odbc::ReadDsn(DsnScope::User, "ws_window", read));
    EXPECT_EQ(read.attributes, (Attributes{{"Database", dir + "/w2.db"}, {"Timeout", "5000"}}));

    window.cmdTest->click();
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(prompts.shown[0].icon, MessageIcon::Information);
    EXPECT_TRUE(Contains(prompts.shown[0].text, "opened successfully"));

    for (const bool yes : {false, true}) {
        prompts.answers = {yes};
        window.cmdRemove->click();
        EXPECT_EQ(Listed("ws_window"), !yes);
        EXPECT_EQ(Row(window, "ws_window") != nullptr, !yes);
    }
}

TEST_F(DsnSetupTest, PostgresThroughTheEasyFieldsOpensTheTestServer) {
    const std::string port = PostgresPort();
    ASSERT_FALSE(port.empty());
    frmDSNSetup window(nullptr, prompts);
    InEditor(
        [&](frmDSNEdit& editor) {
            editor.txtName->setText("ws_pg_user");
            editor.cboDriver->setCurrentText("PostgreSQL Unicode");
            EXPECT_TRUE(editor.framePostgres->isVisibleTo(&editor));
            EXPECT_FALSE(editor.frameSQLite->isVisibleTo(&editor));
            editor.txtHost->setText("127.0.0.1");
            editor.txtPort->setText(QString::fromStdString(port));
            editor.txtDatabase->setText("brenvale");
            editor.txtUser->setText("brenvale");
            editor.txtPassword->setText("brenvale");
        },
        window.cmdAdd);
    DsnDefinition read;
    ASSERT_TRUE(odbc::ReadDsn(DsnScope::User, "ws_pg_user", read));
    EXPECT_EQ(read.attributes, (Attributes{{"Servername", "127.0.0.1"},
                                           {"Port", port},
                                           {"Database", "brenvale"},
                                           {"Username", "brenvale"},
                                           {"Password", "brenvale"}}));
    window.cmdTest->click();
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_TRUE(Contains(prompts.shown[0].text, "opened successfully")) << prompts.shown[0].text;
    test::TestDatabase opened("ws_pg_user");
    EXPECT_EQ(opened.connection().DbmsName(), "PostgreSQL");
}

TEST_F(DsnSetupTest, AFailedTestShowsTheDiagnosticTidied) {
    const struct {
        DsnDefinition dsn;
        const char* part;
    } cases[] = {
        {{"ws_missing", "Missing Driver", {}}, "no-such-driver.so"},
        // psqlODBC puts its hint on a line of its own, indented by a tab.
        {{"ws_pg_down",
          "PostgreSQL Unicode",
          {{"Servername", "127.0.0.1"}, {"Port", "1"}, {"Database", "brenvale"}}},
         "Connection refused\nIs the server running"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dsn.name);
        ASSERT_TRUE(odbc::WriteUserDsn(c.dsn, ""));
        frmDSNSetup window(nullptr, prompts);
        window.lstDSNs->setCurrentItem(Row(window, c.dsn.name));
        prompts.shown.clear();
        window.cmdTest->click();
        ASSERT_EQ(prompts.shown.size(), 1u);
        EXPECT_EQ(prompts.shown[0].icon, MessageIcon::Critical);
        const std::string& text = prompts.shown[0].text;
        EXPECT_TRUE(
            text.starts_with("The connection to '" + c.dsn.name + "' could not be opened:\n\n"))
            << text;
        EXPECT_TRUE(Contains(text, c.part)) << text;
        EXPECT_FALSE(Contains(text, "\t") || text.ends_with("\n")) << text;
    }
}

TEST_F(DsnSetupTest, EditorKeepsEverythingTypedThroughDriverChangesAndRefusals) {
    ASSERT_TRUE(odbc::WriteUserDsn(Sqlite("ws_taken", "a.db"), ""));
    int saves = 0;
    frmDSNEdit editor(nullptr, prompts, odbc::ListDrivers(), {}, [&](const DsnDefinition& d) {
        ++saves;
        return odbc::WriteUserDsn(d, "");
    });
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
    editor.txtPort->setText("5432");
    editor.txtName->setText("ws_taken");
    editor.cmdOk->click();
    EXPECT_EQ(saves, 1);
    ASSERT_EQ(prompts.shown.size(), 2u);
    EXPECT_TRUE(Contains(prompts.shown[1].text, "exists already"));
    EXPECT_TRUE(editor.isVisible());
    EXPECT_EQ(editor.Definition().name, "ws_taken");
    EXPECT_EQ(editor.Definition().driver, "PostgreSQL Unicode");
}

} // namespace
} // namespace brenvale

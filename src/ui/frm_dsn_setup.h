// "DSN Setup": the ODBC data source administrator that Linux lacks, for user data sources.
#pragma once

#include "core/run_state.h"
#include "data/odbc_setup.h"

#include <QDialog>

#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QTreeWidget;

namespace brenvale {

/// The form of one data source: name, driver, the easy fields of SQLite and PostgreSQL and a
/// table of any other keywords. Ok hands the definition to `save` and closes only when it worked;
/// a failure is shown and everything typed stays.
class frmDSNEdit final : public QDialog {
    Q_OBJECT

public:
    using SaveFunction = std::function<DbResult(const odbc::DsnDefinition&)>;

    frmDSNEdit(QWidget* parent, Prompts& prompts, const std::vector<odbc::DriverInfo>& drivers,
               const odbc::DsnDefinition& start, SaveFunction save);

    /// The data source as the form now describes it; empty easy fields are left out.
    odbc::DsnDefinition Definition() const;
    /// The form of the driver now chosen.
    odbc::DriverKind Kind() const { return kind_; }

    QLineEdit* txtName;
    QComboBox* cboDriver;
    QGroupBox* frameSQLite;
    QLineEdit* txtDatabaseFile;
    QPushButton* cmdBrowse;
    QGroupBox* framePostgres;
    QLineEdit* txtHost;
    QLineEdit* txtPort;
    QLineEdit* txtDatabase;
    QLineEdit* txtUser;
    QLineEdit* txtPassword;
    QTableWidget* gridAttributes;
    QPushButton* cmdAddAttribute;
    QPushButton* cmdRemoveAttribute;
    QPushButton* cmdOk;
    QPushButton* cmdCancel;

public slots:
    void cboDriver_Change();
    void cmdBrowse_Click();
    void cmdAddAttribute_Click();
    void cmdRemoveAttribute_Click();
    void cmdOk_Click();

private:
    struct EasyField {
        const char* keyword;
        QLineEdit* edit;
    };
    std::vector<EasyField> EasyFields(odbc::DriverKind kind) const;
    odbc::Attributes CollectAttributes() const;
    void ShowAttributes(const odbc::Attributes& attributes);
    void AddAttributeRow(const std::string& keyword, const std::string& value);

    Prompts& prompts_;
    SaveFunction save_;
    odbc::DriverKind kind_ = odbc::DriverKind::Other;
};

/// The administrator's window: every user and system data source with its driver; Add, Edit and
/// Remove for user data sources, and Test connection for any. Every failure is a message.
class frmDSNSetup final : public QDialog {
    Q_OBJECT

public:
    frmDSNSetup(QWidget* parent, Prompts& prompts);

    /// Lists the data sources again, selecting `select` when it is a user data source.
    void Refresh(const std::string& select = {});
    /// Opens the editor on `definition`; what it writes replaces `previousName` ("" adds one).
    void EditAndWrite(const std::vector<odbc::DriverInfo>& drivers,
                      const odbc::DsnDefinition& definition, const std::string& previousName);
    /// The data source selected in the list, if any.
    const odbc::DsnInfo* Selected() const;

    QTreeWidget* lstDSNs;
    QLabel* lblUserFile;
    QPushButton* cmdAdd;
    QPushButton* cmdEdit;
    QPushButton* cmdRemove;
    QPushButton* cmdTest;
    QPushButton* cmdRefresh;
    QPushButton* cmdClose;

public slots:
    void cmdAdd_Click();
    void cmdEdit_Click();
    void cmdRemove_Click();
    void cmdTest_Click();
    void lstDSNs_SelectionChange();

private:
    Prompts& prompts_;
    std::vector<odbc::DsnInfo> sources_;
};

} // namespace brenvale

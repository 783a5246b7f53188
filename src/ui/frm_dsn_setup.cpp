// "DSN Setup": the ODBC data source administrator that Linux lacks, for user data sources.
#include "ui/frm_dsn_setup.h"

#include "ui/qt_prompts.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <utility>

namespace brenvale {

namespace {

constexpr const char* kTitle = "DSN Setup";

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string Trimmed(const QString& text) {
    return text.trimmed().toStdString();
}

/// The port of a PostgreSQL form: empty (the driver's default) or 1 to 65535.
bool ValidPort(const std::string& port) {
    if (port.empty())
        return true;
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(),
                                        [](unsigned char c) { return c >= '0' && c <= '9'; }))
        return false;
    const int value = std::stoi(port);
    return value >= 1 && value <= 65535;
}

QLineEdit* AddField(QFormLayout* form, const char* label, const char* objectName) {
    auto* edit = new QLineEdit;
    edit->setObjectName(QString::fromLatin1(objectName));
    form->addRow(QString::fromLatin1(label), edit);
    return edit;
}

} // namespace

frmDSNEdit::frmDSNEdit(QWidget* parent, Prompts& prompts,
                       const std::vector<odbc::DriverInfo>& drivers,
                       const odbc::DsnDefinition& start, SaveFunction save)
    : QDialog(parent), prompts_(prompts), save_(std::move(save)) {
    setObjectName(QStringLiteral("frmDSNEdit"));
    setWindowTitle(start.name.empty() ? QStringLiteral("Add Data Source")
                                      : QStringLiteral("Edit Data Source"));
    setModal(true);

    auto* top = new QFormLayout;
    txtName = new QLineEdit(Q(start.name));
    txtName->setObjectName(QStringLiteral("txtName"));
    txtName->setMaxLength(odbc::kMaxDsnLength);
    top->addRow(QStringLiteral("&Name:"), txtName);
    cboDriver = new QComboBox;
    cboDriver->setObjectName(QStringLiteral("cboDriver"));
    for (const odbc::DriverInfo& driver : drivers) {
        cboDriver->addItem(Q(driver.name), Q(driver.library));
        cboDriver->setItemData(cboDriver->count() - 1, Q(driver.description), Qt::ToolTipRole);
    }
    if (!start.driver.empty() && cboDriver->findText(Q(start.driver)) < 0) {
        cboDriver->addItem(Q(start.driver), QString());
        cboDriver->setItemData(cboDriver->count() - 1,
                               QStringLiteral("This driver is not installed."), Qt::ToolTipRole);
    }
    if (!start.driver.empty())
        cboDriver->setCurrentIndex(cboDriver->findText(Q(start.driver)));
    top->addRow(QStringLiteral("&Driver:"), cboDriver);

    frameSQLite = new QGroupBox(QStringLiteral("SQLite"));
    auto* sqliteLayout = new QHBoxLayout(frameSQLite);
    sqliteLayout->addWidget(new QLabel(QStringLiteral("Database file:")));
    txtDatabaseFile = new QLineEdit;
    txtDatabaseFile->setObjectName(QStringLiteral("txtDatabaseFile"));
    sqliteLayout->addWidget(txtDatabaseFile, 1);
    cmdBrowse = new QPushButton(QStringLiteral("&Browse..."));
    cmdBrowse->setAutoDefault(false);
    sqliteLayout->addWidget(cmdBrowse);

    framePostgres = new QGroupBox(QStringLiteral("PostgreSQL"));
    auto* postgresLayout = new QFormLayout(framePostgres);
    txtHost = AddField(postgresLayout, "Host:", "txtHost");
    txtPort = AddField(postgresLayout, "Port:", "txtPort");
    txtPort->setPlaceholderText(QStringLiteral("5432"));
    txtDatabase = AddField(postgresLayout, "Database:", "txtDatabase");
    txtUser = AddField(postgresLayout, "User:", "txtUser");
    txtPassword = AddField(postgresLayout, "Password:", "txtPassword");
    txtPassword->setEchoMode(QLineEdit::Password);
    txtPassword->setToolTip(QStringLiteral("Kept in %1, which is then made readable by you only.")
                                .arg(Q(odbc::UserIniPath())));

    auto* frameAttributes = new QGroupBox(QStringLiteral("Other attributes"));
    auto* attributesLayout = new QVBoxLayout(frameAttributes);
    gridAttributes = new QTableWidget(0, 2);
    gridAttributes->setObjectName(QStringLiteral("gridAttributes"));
    gridAttributes->setHorizontalHeaderLabels({QStringLiteral("Keyword"), QStringLiteral("Value")});
    gridAttributes->horizontalHeader()->setStretchLastSection(true);
    gridAttributes->verticalHeader()->setVisible(false);
    gridAttributes->setSelectionBehavior(QAbstractItemView::SelectRows);
    attributesLayout->addWidget(gridAttributes);
    auto* attributeButtons = new QHBoxLayout;
    cmdAddAttribute = new QPushButton(QStringLiteral("Add &attribute"));
    cmdRemoveAttribute = new QPushButton(QStringLiteral("&Remove attribute"));
    cmdAddAttribute->setAutoDefault(false);
    cmdRemoveAttribute->setAutoDefault(false);
    attributeButtons->addWidget(cmdAddAttribute);
    attributeButtons->addWidget(cmdRemoveAttribute);
    attributeButtons->addStretch();
    attributesLayout->addLayout(attributeButtons);

    auto* buttons = new QHBoxLayout;
    cmdOk = new QPushButton(QStringLiteral("Ok"));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"));
    cmdOk->setDefault(true);
    buttons->addStretch();
    buttons->addWidget(cmdOk);
    buttons->addWidget(cmdCancel);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(frameSQLite);
    layout->addWidget(framePostgres);
    layout->addWidget(frameAttributes, 1);
    layout->addLayout(buttons);
    resize(480, 460);

    kind_ = odbc::KindOfDriver(cboDriver->currentText().toStdString(),
                               cboDriver->currentData().toString().toStdString());
    ShowAttributes(start.attributes);

    connect(cboDriver, &QComboBox::currentIndexChanged, this, &frmDSNEdit::cboDriver_Change);
    connect(cmdBrowse, &QPushButton::clicked, this, &frmDSNEdit::cmdBrowse_Click);
    connect(cmdAddAttribute, &QPushButton::clicked, this, &frmDSNEdit::cmdAddAttribute_Click);
    connect(cmdRemoveAttribute, &QPushButton::clicked, this, &frmDSNEdit::cmdRemoveAttribute_Click);
    connect(cmdOk, &QPushButton::clicked, this, &frmDSNEdit::cmdOk_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

std::vector<frmDSNEdit::EasyField> frmDSNEdit::EasyFields(odbc::DriverKind kind) const {
    switch (kind) {
    case odbc::DriverKind::SQLite:
        return {{"Database", txtDatabaseFile}};
    case odbc::DriverKind::PostgreSQL:
        return {{"Servername", txtHost},
                {"Port", txtPort},
                {"Database", txtDatabase},
                {"Username", txtUser},
                {"Password", txtPassword}};
    case odbc::DriverKind::Other:
        break;
    }
    return {};
}

odbc::Attributes frmDSNEdit::CollectAttributes() const {
    odbc::Attributes attributes;
    for (const EasyField& field : EasyFields(kind_))
        if (!field.edit->text().isEmpty())
            attributes.emplace_back(field.keyword, field.edit->text().toStdString());
    for (int row = 0; row < gridAttributes->rowCount(); ++row) {
        const QTableWidgetItem* keyword = gridAttributes->item(row, 0);
        const QTableWidgetItem* value = gridAttributes->item(row, 1);
        const std::string key = keyword ? Trimmed(keyword->text()) : std::string();
        const std::string text = value ? value->text().toStdString() : std::string();
        if (!key.empty() || !text.empty())
            attributes.emplace_back(key, text);
    }
    return attributes;
}

void frmDSNEdit::ShowAttributes(const odbc::Attributes& attributes) {
    for (QLineEdit* edit : {txtDatabaseFile, txtHost, txtPort, txtDatabase, txtUser, txtPassword})
        edit->clear();
    gridAttributes->setRowCount(0);
    const std::vector<EasyField> fields = EasyFields(kind_);
    for (const auto& attribute : attributes) {
        // Plain names: a lambda below may not capture a structured binding (clang 14).
        const std::string& keyword = attribute.first;
        const std::string& value = attribute.second;
        const auto field = std::find_if(fields.begin(), fields.end(), [&](const EasyField& f) {
            return Q(keyword).compare(QLatin1String(f.keyword), Qt::CaseInsensitive) == 0 &&
                   f.edit->text().isEmpty();
        });
        if (field != fields.end())
            field->edit->setText(Q(value));
        else
            AddAttributeRow(keyword, value);
    }
    frameSQLite->setVisible(kind_ == odbc::DriverKind::SQLite);
    framePostgres->setVisible(kind_ == odbc::DriverKind::PostgreSQL);
}

void frmDSNEdit::AddAttributeRow(const std::string& keyword, const std::string& value) {
    const int row = gridAttributes->rowCount();
    gridAttributes->insertRow(row);
    gridAttributes->setItem(row, 0, new QTableWidgetItem(Q(keyword)));
    gridAttributes->setItem(row, 1, new QTableWidgetItem(Q(value)));
}

odbc::DsnDefinition frmDSNEdit::Definition() const {
    return {Trimmed(txtName->text()), cboDriver->currentText().toStdString(), CollectAttributes()};
}

void frmDSNEdit::cboDriver_Change() {
    Guarded(prompts_, kTitle, [&] {
        // What was typed into the old driver's fields moves with the keywords it belongs to.
        const odbc::Attributes attributes = CollectAttributes();
        kind_ = odbc::KindOfDriver(cboDriver->currentText().toStdString(),
                                   cboDriver->currentData().toString().toStdString());
        ShowAttributes(attributes);
    });
}

void frmDSNEdit::cmdBrowse_Click() {
    Guarded(prompts_, kTitle, [&] {
        const QString file = QFileDialog::getSaveFileName(
            this, QStringLiteral("SQLite Database File"), txtDatabaseFile->text(),
            QStringLiteral("SQLite Databases (*.db *.sqlite *.sqlite3);;All Files (*)"), nullptr,
            QFileDialog::DontConfirmOverwrite);
        if (!file.isEmpty())
            txtDatabaseFile->setText(file);
    });
}

void frmDSNEdit::cmdAddAttribute_Click() {
    Guarded(prompts_, kTitle, [&] {
        AddAttributeRow("", "");
        gridAttributes->setCurrentCell(gridAttributes->rowCount() - 1, 0);
        gridAttributes->editItem(gridAttributes->item(gridAttributes->rowCount() - 1, 0));
    });
}

void frmDSNEdit::cmdRemoveAttribute_Click() {
    Guarded(prompts_, kTitle, [&] {
        const int row = gridAttributes->currentRow();
        if (row >= 0)
            gridAttributes->removeRow(row);
    });
}

void frmDSNEdit::cmdOk_Click() {
    Guarded(prompts_, kTitle, [&] {
        if (kind_ == odbc::DriverKind::PostgreSQL && !ValidPort(Trimmed(txtPort->text()))) {
            prompts_.Inform(MessageIcon::Exclamation, kTitle,
                            "The port must be a number from 1 to 65535, or empty for the "
                            "driver's default.");
            return;
        }
        const DbResult saved = save_ ? save_(Definition()) : DbResult::Success();
        if (!saved) {
            prompts_.Inform(MessageIcon::Exclamation, kTitle, saved.message);
            return;
        }
        accept();
    });
}

frmDSNSetup::frmDSNSetup(QWidget* parent, Prompts& prompts) : QDialog(parent), prompts_(prompts) {
    setObjectName(QStringLiteral("frmDSNSetup"));
    setWindowTitle(QString::fromLatin1(kTitle));

    lstDSNs = new QTreeWidget;
    lstDSNs->setObjectName(QStringLiteral("lstDSNs"));
    lstDSNs->setHeaderLabels(
        {QStringLiteral("Name"), QStringLiteral("Driver"), QStringLiteral("Type")});
    lstDSNs->setRootIsDecorated(false);
    lstDSNs->setSelectionMode(QAbstractItemView::SingleSelection);
    lstDSNs->setAllColumnsShowFocus(true);
    lstDSNs->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    lstDSNs->header()->setStretchLastSection(true);

    lblUserFile = new QLabel;
    lblUserFile->setWordWrap(true);

    auto* buttons = new QVBoxLayout;
    cmdAdd = new QPushButton(QStringLiteral("&Add..."));
    cmdEdit = new QPushButton(QStringLiteral("&Edit..."));
    cmdRemove = new QPushButton(QStringLiteral("&Remove"));
    cmdTest = new QPushButton(QStringLiteral("&Test connection"));
    cmdRefresh = new QPushButton(QStringLiteral("Re&fresh"));
    cmdClose = new QPushButton(QStringLiteral("&Close"));
    for (QPushButton* button : {cmdAdd, cmdEdit, cmdRemove, cmdTest, cmdRefresh}) {
        button->setAutoDefault(false);
        buttons->addWidget(button);
    }
    buttons->addStretch();
    buttons->addWidget(cmdClose);

    auto* listAndButtons = new QHBoxLayout;
    listAndButtons->addWidget(lstDSNs, 1);
    listAndButtons->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(listAndButtons, 1);
    layout->addWidget(lblUserFile);
    resize(600, 360);

    connect(cmdAdd, &QPushButton::clicked, this, &frmDSNSetup::cmdAdd_Click);
    connect(cmdEdit, &QPushButton::clicked, this, &frmDSNSetup::cmdEdit_Click);
    connect(cmdRemove, &QPushButton::clicked, this, &frmDSNSetup::cmdRemove_Click);
    connect(cmdTest, &QPushButton::clicked, this, &frmDSNSetup::cmdTest_Click);
    connect(cmdRefresh, &QPushButton::clicked, this, [this] { Refresh(); });
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    connect(lstDSNs, &QTreeWidget::itemSelectionChanged, this,
            &frmDSNSetup::lstDSNs_SelectionChange);
    connect(lstDSNs, &QTreeWidget::itemDoubleClicked, this, [this] {
        if (const odbc::DsnInfo* source = Selected();
            source && source->scope == odbc::DsnScope::User)
            cmdEdit_Click();
    });

    Refresh();
}

void frmDSNSetup::Refresh(const std::string& select) {
    Guarded(prompts_, kTitle, [&] {
        sources_ = odbc::ListDsns();
        lstDSNs->clear();
        for (std::size_t i = 0; i < sources_.size(); ++i) {
            const odbc::DsnInfo& source = sources_[i];
            auto* item = new QTreeWidgetItem({Q(source.name), Q(source.driver),
                                              source.scope == odbc::DsnScope::User
                                                  ? QStringLiteral("User")
                                                  : QStringLiteral("System")});
            item->setData(0, Qt::UserRole, static_cast<qulonglong>(i));
            lstDSNs->addTopLevelItem(item);
            if (!select.empty() && source.scope == odbc::DsnScope::User && source.name == select)
                lstDSNs->setCurrentItem(item);
        }
        lblUserFile->setText(
            QStringLiteral("User data sources are kept in %1, passwords included, as every "
                           "ODBC program reads them there; a file that holds a password is made "
                           "readable by you only. System data sources are shown for reference; "
                           "the system's administrator changes them.")
                .arg(Q(odbc::UserIniPath())));
        lstDSNs_SelectionChange();
    });
}

const odbc::DsnInfo* frmDSNSetup::Selected() const {
    const QList<QTreeWidgetItem*> items = lstDSNs->selectedItems();
    if (items.isEmpty())
        return nullptr;
    const auto index = items.first()->data(0, Qt::UserRole).toULongLong();
    return index < sources_.size() ? &sources_[index] : nullptr;
}

void frmDSNSetup::lstDSNs_SelectionChange() {
    Guarded(prompts_, kTitle, [&] {
        const odbc::DsnInfo* source = Selected();
        const bool user = source != nullptr && source->scope == odbc::DsnScope::User;
        cmdEdit->setEnabled(user);
        cmdRemove->setEnabled(user);
        cmdTest->setEnabled(source != nullptr);
    });
}

void frmDSNSetup::EditAndWrite(const std::vector<odbc::DriverInfo>& drivers,
                               const odbc::DsnDefinition& definition,
                               const std::string& previousName) {
    std::string written;
    frmDSNEdit editor(this, prompts_, drivers, definition, [&](const odbc::DsnDefinition& changed) {
        DbResult result = odbc::WriteUserDsn(changed, previousName);
        if (result)
            written = changed.name;
        return result;
    });
    if (editor.exec() == QDialog::Accepted)
        Refresh(written);
}

void frmDSNSetup::cmdAdd_Click() {
    Guarded(prompts_, kTitle, [&] {
        const std::vector<odbc::DriverInfo> drivers = odbc::ListDrivers();
        if (drivers.empty()) {
            prompts_.Inform(MessageIcon::Exclamation, kTitle,
                            "No ODBC driver is installed. Install one (for example the SQLite or "
                            "PostgreSQL ODBC driver package) and try again.");
            return;
        }
        EditAndWrite(drivers, {}, "");
    });
}

void frmDSNSetup::cmdEdit_Click() {
    Guarded(prompts_, kTitle, [&] {
        const odbc::DsnInfo* source = Selected();
        if (source == nullptr || source->scope != odbc::DsnScope::User)
            return;
        const std::string name = source->name;
        odbc::DsnDefinition definition;
        if (const DbResult read = odbc::ReadDsn(odbc::DsnScope::User, name, definition); !read) {
            prompts_.Inform(MessageIcon::Exclamation, kTitle, read.message);
            Refresh();
            return;
        }
        EditAndWrite(odbc::ListDrivers(), definition, name);
    });
}

void frmDSNSetup::cmdRemove_Click() {
    Guarded(prompts_, kTitle, [&] {
        const odbc::DsnInfo* source = Selected();
        if (source == nullptr || source->scope != odbc::DsnScope::User)
            return;
        const std::string name = source->name;
        if (!prompts_.AskYesNo(MessageIcon::Question, "Remove Data Source",
                               "Remove the user data source '" + name + "'?"))
            return;
        if (const DbResult removed = odbc::RemoveUserDsn(name); !removed)
            prompts_.Inform(MessageIcon::Critical, kTitle, removed.message);
        Refresh();
    });
}

void frmDSNSetup::cmdTest_Click() {
    Guarded(prompts_, kTitle, [&] {
        const odbc::DsnInfo* source = Selected();
        if (source == nullptr)
            return;
        const std::string name = source->name;
        const DbResult opened = odbc::TestDsn(name);
        if (opened)
            prompts_.Inform(MessageIcon::Information, "Test connection",
                            "The connection to '" + name + "' was opened successfully.");
        else
            prompts_.Inform(MessageIcon::Critical, "Test connection",
                            "The connection to '" + name + "' could not be opened:\n\n" +
                                TidyDiagnostic(opened.message));
    });
}

} // namespace brenvale

// The table chooser: a list of the connected database's tables, picked by a single selection,
// and a button that creates a new log table.
#include "ui/frm_select_table.h"

#include "data/create_table.h"
#include "ui/file_dialogs.h"
#include "ui/qt_prompts.h"
#include "ui/twips.h"

#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>

#include <exception>
#include <optional>

namespace brenvale {

frmSelectTable::frmSelectTable(QWidget* parent, Prompts* prompts) : QDialog(parent) {
    if (prompts == nullptr) {
        ownPrompts_ = std::make_unique<QtPrompts>(this);
        prompts = ownPrompts_.get();
    }
    prompts_ = prompts;
    setObjectName(QStringLiteral("frmSelectTable"));
    setWindowTitle(QStringLiteral("Select Target Table"));
    setModal(true);
    UseDesignFont(*this);
    setFixedSize(TwipSize(4080, 4560));

    Frame1 = new QGroupBox(QStringLiteral("Tables"), this);
    Frame1->setGeometry(TwipRect(60, 0, 3960, 4500));
    UseDesignFrames(*this);
    lstTables = new QListWidget(Frame1);
    lstTables->setGeometry(TwipRect(120, 240, 3720, 3600));
    lstTables->setSelectionMode(QAbstractItemView::SingleSelection);
    lblHint = new QLabel(lstTables);
    lblHint->setGeometry(lstTables->rect().adjusted(8, 8, -8, -8));
    lblHint->setAlignment(Qt::AlignCenter);
    lblHint->setWordWrap(true);
    lblHint->setForegroundRole(QPalette::PlaceholderText);
    lblHint->setAttribute(Qt::WA_TransparentForMouseEvents);
    lblHint->hide();
    cmdNewTable = new QPushButton(QStringLiteral("New Table..."), Frame1);
    cmdNewTable->setGeometry(TwipRect(120, 3960, 1695, 435));
    cmdNewTable->setAutoDefault(false);
    cmdNewTable->setToolTip(
        QStringLiteral("Creates a table with a column for each field of a SHOUTcast log."));

    // A selection by mouse or keyboard picks; a click on the entry already selected picks it again.
    connect(lstTables, &QListWidget::itemSelectionChanged, this, &frmSelectTable::lstTables_Click);
    connect(lstTables, &QListWidget::itemClicked, this, &frmSelectTable::lstTables_Click);
    connect(lstTables, &QListWidget::itemActivated, this, &frmSelectTable::lstTables_Click);
    connect(cmdNewTable, &QPushButton::clicked, this, &frmSelectTable::cmdNewTable_Click);
}

frmSelectTable::~frmSelectTable() = default;

void frmSelectTable::Form_Load(odbc::Connection& conn) {
    conn_ = &conn;
    cmdNewTable->setEnabled(conn.IsOpen());
    std::vector<std::string> names;
    std::string hint;
    if (!conn.IsOpen()) {
        hint = "Select a DSN first";
    } else if (const DbResult read = conn.GetTableList(names); !read) {
        names.clear();
        hint = "The tables could not be read:\n" + read.message;
    } else if (names.empty()) {
        hint = "This data source has no tables yet";
    }
    lblHint->setText(QString::fromStdString(hint));
    lblHint->setVisible(!hint.empty());
    const QSignalBlocker blocker(lstTables);
    lstTables->clear();
    for (const std::string& name : names)
        lstTables->addItem(QString::fromStdString(name));
    if (picked_.empty())
        return;
    const QList<QListWidgetItem*> matches = lstTables->findItems(
        QString::fromStdString(picked_), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (!matches.isEmpty())
        lstTables->setCurrentItem(matches.first());
}

void frmSelectTable::lstTables_Click() {
    Guarded(*prompts_, [this] {
        if (!isVisible())
            return;
        const QList<QListWidgetItem*> selected = lstTables->selectedItems();
        if (selected.isEmpty())
            return;
        picked_ = selected.first()->text().toStdString();
        accept();
    });
}

std::optional<std::string> AskAndCreateLogTable(QWidget* owner, odbc::Connection& conn,
                                                Prompts& prompts) {
    if (!conn.IsOpen())
        return std::nullopt;
    std::optional<std::string> name =
        AskForText(owner, "New Table", "Name of the table to create for the log's fields:");
    if (!name || name->empty())
        return std::nullopt;
    if (const DbResult made = CreateLogTable(conn, *name); !made) {
        prompts.Inform(MessageIcon::Critical, "Table Not Created",
                       "The table '" + *name + "' could not be created:\r\n\r\n" +
                           TidyDiagnostic(made.message));
        return std::nullopt;
    }
    return name;
}

void frmSelectTable::cmdNewTable_Click() {
    Guarded(*prompts_, [this] {
        if (conn_ == nullptr)
            return;
        const std::optional<std::string> name = AskAndCreateLogTable(this, *conn_, *prompts_);
        if (!name)
            return;
        // Listed and selected when the chooser is shown next, as any pick is.
        picked_ = *name;
        Form_Load(*conn_);
        accept();
    });
}

std::string ChooseTargetTable(frmSelectTable& chooser, odbc::Connection& database) {
    try {
        chooser.Form_Load(database);
        if (chooser.exec() != QDialog::Accepted)
            return {};
        return chooser.PickedTable();
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace brenvale

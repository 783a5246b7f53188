// The table chooser: a list of the connected database's tables, picked by a single selection.
#include "ui/frm_select_table.h"

#include "ui/twips.h"

#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QSignalBlocker>

#include <exception>

namespace brenvale {

frmSelectTable::frmSelectTable(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmSelectTable"));
    setWindowTitle(QStringLiteral("Select Target Table"));
    setModal(true);
    UseDesignFont(*this);
    setFixedSize(TwipSize(4080, 4560));

    Frame1 = new QGroupBox(QStringLiteral("Tables"), this);
    Frame1->setGeometry(TwipRect(60, 0, 3960, 4500));
    UseDesignFrames(*this);
    lstTables = new QListWidget(Frame1);
    lstTables->setGeometry(TwipRect(120, 240, 3720, 4140));
    lstTables->setSelectionMode(QAbstractItemView::SingleSelection);
    lblHint = new QLabel(lstTables);
    lblHint->setGeometry(lstTables->rect().adjusted(8, 8, -8, -8));
    lblHint->setAlignment(Qt::AlignCenter);
    lblHint->setWordWrap(true);
    lblHint->setForegroundRole(QPalette::PlaceholderText);
    lblHint->setAttribute(Qt::WA_TransparentForMouseEvents);
    lblHint->hide();

    // A selection by mouse or keyboard picks; a click on the entry already selected picks it again.
    connect(lstTables, &QListWidget::itemSelectionChanged, this, &frmSelectTable::lstTables_Click);
    connect(lstTables, &QListWidget::itemClicked, this, &frmSelectTable::lstTables_Click);
    connect(lstTables, &QListWidget::itemActivated, this, &frmSelectTable::lstTables_Click);
}

void frmSelectTable::Form_Load(Database& conn) {
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
    if (!isVisible())
        return;
    const QList<QListWidgetItem*> selected = lstTables->selectedItems();
    if (selected.isEmpty())
        return;
    picked_ = selected.first()->text().toStdString();
    accept();
}

std::string ChooseTargetTable(frmSelectTable& chooser, Database& database) {
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

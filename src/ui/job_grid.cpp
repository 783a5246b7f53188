// The job list as the main window's grid: its two columns, its rows, and in-place editing with a
// text box for the log source and a table drop-down for the target table.
#include "ui/job_grid.h"

#include "core/runner.h"
#include "ui/qt_prompts.h"
#include "ui/twips.h"

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStyledItemDelegate>
#include <QTableWidget>

#include <utility>
#include <vector>

namespace brenvale {

namespace {

const char* const kLogFileKey = "Log File";
const char* const kTargetTableKey = "Target Table";
const char* const kNewTableEntry = "New Table...";

/// Where the file's cell keeps a column the grid does not show.
int HiddenRole(int column) {
    return Qt::UserRole + column;
}

class PathDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        // The text's room is the cell less the style's margins on both sides.
        const int room = option->rect.width() - 8;
        option->text = ShortenedPath(option->text, option->fontMetrics, room);
    }
};

} // namespace

QString ShortenedPath(const QString& path, const QFontMetrics& metrics, int width) {
    if (metrics.horizontalAdvance(path) <= width)
        return path;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString name = path.mid(slash + 1);
    const int nameWidth = metrics.horizontalAdvance(QStringLiteral("\u2026/") + name);
    if (slash <= 0 || nameWidth >= width)
        return metrics.elidedText(path, Qt::ElideMiddle, width);
    return metrics.elidedText(path.left(slash), Qt::ElideMiddle,
                              width - metrics.horizontalAdvance(QLatin1Char('/') + name)) +
           QLatin1Char('/') + name;
}

JobGrid::JobGrid(QWidget* container, Database& conn, Prompts& prompts)
    : QObject(container), container_(container), conn_(conn), prompts_(prompts) {
    gridFiles = new QTableWidget(container);
    gridFiles->setGeometry(TwipRect(120, 240, 8235, 1995));
    gridFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
    gridFiles->setSelectionMode(QAbstractItemView::SingleSelection);
    // Editing runs through the grid's own editors and their three events, not Qt's delegates.
    gridFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    gridFiles->verticalHeader()->hide();
    gridFiles->verticalHeader()->setDefaultSectionSize(18);
    gridFiles->horizontalHeader()->setHighlightSections(false);
    gridFiles->setWordWrap(false);
    // Tab moves on to the next control; the arrow keys move between cells.
    gridFiles->setTabKeyNavigation(false);
    gridFiles->setItemDelegateForColumn(kColumnFile - 1, new PathDelegate(gridFiles));
    txtEdit = new QLineEdit(container);
    txtEdit->setGeometry(TwipRect(1740, 720, 1935, 285));
    txtEdit->hide();
    cboTables = new QComboBox(container);
    cboTables->setEditable(true);
    cboTables->setInsertPolicy(QComboBox::NoInsert);
    // Qt's completer matches ignoring case, and when the editor loses the focus the combo puts
    // the first such table in place of what was typed; the cell must get the typed name.
    cboTables->setCompleter(nullptr);
    cboTables->setGeometry(TwipRect(6060, 660, 1815, 315));
    cboTables->hide();

    txtEdit->installEventFilter(this);
    cboTables->installEventFilter(this);
    if (cboTables->lineEdit() != nullptr)
        cboTables->lineEdit()->installEventFilter(this);
    gridFiles->installEventFilter(this);
    connect(gridFiles, &QTableWidget::cellDoubleClicked, this, [this](int row, int col) {
        Guarded(prompts_, [&] { StartCellEdit(row + 1, col + 1); });
    });
    connect(cboTables, &QComboBox::activated, this,
            [this](int index) { Guarded(prompts_, [&] { cboTables_Activated(index); }); });
    CreateColumns();
}

void JobGrid::CreateColumns() {
    gridFiles->setRowCount(0);
    gridFiles->setColumnCount(0);
    const auto addColumn = [this](const char* key, int width) {
        const int col = gridFiles->columnCount();
        gridFiles->insertColumn(col);
        auto* header = new QTableWidgetItem(QString::fromUtf8(key));
        header->setData(Qt::UserRole, QString::fromUtf8(key));
        gridFiles->setHorizontalHeaderItem(col, header);
        gridFiles->setColumnWidth(col, width);
    };
    addColumn(kLogFileKey, 413);
    addColumn(kTargetTableKey, 132);
}

int JobGrid::Count() const {
    return gridFiles->rowCount();
}

std::string JobGrid::Text(int row, int column) const {
    if (column == kColumnFormat || column == kColumnPlaylist) {
        const QTableWidgetItem* file =
            row < 1 || row > gridFiles->rowCount() ? nullptr : gridFiles->item(row - 1, 0);
        return file == nullptr ? std::string()
                               : file->data(HiddenRole(column)).toString().toStdString();
    }
    if (row < 1 || row > gridFiles->rowCount() || column < 1 || column > gridFiles->columnCount())
        return {};
    const QTableWidgetItem* item = gridFiles->item(row - 1, column - 1);
    return item == nullptr ? std::string() : item->text().toStdString();
}

void JobGrid::Append() {
    gridFiles->insertRow(gridFiles->rowCount());
}

void JobGrid::SetText(int row, int column, const std::string& text) {
    if (column == kColumnFormat || column == kColumnPlaylist) {
        // Kept with the file's cell, so they follow the job wherever its row goes.
        if (row >= 1 && row <= gridFiles->rowCount() && text != Text(row, column)) {
            if (gridFiles->item(row - 1, 0) == nullptr)
                SetText(row, kColumnFile, {});
            gridFiles->item(row - 1, 0)->setData(HiddenRole(column), QString::fromStdString(text));
        }
        return;
    }
    if (row < 1 || row > gridFiles->rowCount() || column < 1 || column > gridFiles->columnCount())
        return;
    QTableWidgetItem* item = gridFiles->item(row - 1, column - 1);
    if (item == nullptr) {
        item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        gridFiles->setItem(row - 1, column - 1, item);
    }
    item->setText(QString::fromStdString(text));
    // A shortened path shows whole when pointed at.
    if (column == kColumnFile)
        item->setToolTip(item->text());
}

void JobGrid::ScrollTo(int row) {
    if (row >= 1 && row <= Count())
        gridFiles->scrollTo(gridFiles->model()->index(row - 1, 0));
}

void JobGrid::Clear() {
    if (editing_)
        AbandonCellEdit();
    gridFiles->setRowCount(0);
}

void JobGrid::RemoveSelected() {
    const QModelIndexList selected = gridFiles->selectionModel()->selectedRows();
    if (!selected.isEmpty())
        gridFiles->removeRow(selected.front().row());
}

std::string JobGrid::ColumnKey(int col) const {
    const QTableWidgetItem* header = gridFiles->horizontalHeaderItem(col - 1);
    return header == nullptr ? std::string() : header->data(Qt::UserRole).toString().toStdString();
}

void JobGrid::gridFiles_BeginEdit(int row, int col, bool& cancel) {
    const QModelIndex index = gridFiles->model()->index(row - 1, col - 1);
    const QRect cell = gridFiles->visualRect(index);
    // The grid's place plus the cell's, one pixel lower, as the editors were always laid.
    const QPoint place = gridFiles->viewport()->mapTo(container_, cell.topLeft()) + QPoint(0, 1);
    const std::string key = ColumnKey(col);
    if (key == kTargetTableKey) {
        if (!conn_.IsOpen()) {
            prompts_.Inform(MessageIcon::Exclamation, "Please Select a Database!",
                            "You must select a DSN before choosing a target table.");
            cancel = true;
            return;
        }
        cboTables->clear();
        std::vector<std::string> names;
        conn_.GetTableList(names);
        for (const std::string& name : names)
            cboTables->addItem(QString::fromStdString(name));
        if (newTable_) {
            cboTables->insertSeparator(cboTables->count());
            cboTables->addItem(QString::fromLatin1(kNewTableEntry), true);
        }
        // Filling makes the first table current; only the cell's own table may be.
        const QString current = QString::fromStdString(Text(row, col));
        cboTables->setCurrentIndex(
            cboTables->findText(current, Qt::MatchExactly | Qt::MatchCaseSensitive));
        cboTables->setEditText(current);
        // The cell's height too: the combo's own is taller than a row and would hide the next.
        cboTables->setGeometry(QRect(place, cell.size()));
        cboTables->raise();
        cboTables->show();
        cboTables->setFocus();
    } else if (key == kLogFileKey) {
        txtEdit->setText(QString::fromStdString(Text(row, col)));
        txtEdit->setGeometry(QRect(place, cell.size()));
        txtEdit->raise();
        txtEdit->show();
        txtEdit->setFocus();
    }
}

void JobGrid::gridFiles_CommitEdit(int row, int col, bool& keepEditing) {
    const std::string key = ColumnKey(col);
    if (key == kTargetTableKey) {
        const std::string table = cboTables->currentText().toStdString();
        DbResult error;
        if (!JobRunner::TableExists(table, conn_, error) &&
            !prompts_.AskYesNo(MessageIcon::Exclamation, "Table Does Not Exist",
                               MissingTableQuestion(table))) {
            keepEditing = true;
            return;
        }
        SetText(row, col, table);
    } else if (key == kLogFileKey) {
        SetText(row, col, txtEdit->text().toStdString());
    }
}

void JobGrid::cboTables_Activated(int index) {
    if (!editing_ || !newTable_ || !cboTables->itemData(index).toBool())
        return;
    const std::optional<std::string> made = newTable_();
    // Cancelled or refused: the editor shows the cell's table again.
    const QString table = QString::fromStdString(made ? *made : Text(editRow_, editCol_));
    if (made)
        cboTables->insertItem(index - 1, table);
    cboTables->setCurrentIndex(
        made ? index - 1 : cboTables->findText(table, Qt::MatchExactly | Qt::MatchCaseSensitive));
    cboTables->setEditText(table);
    cboTables->setFocus();
    // A table just created exists: nothing is left to ask.
    if (made)
        CommitCellEdit(false);
}

void JobGrid::gridFiles_EndEdit() {
    cboTables->hide();
    txtEdit->hide();
}

bool JobGrid::StartCellEdit(int row, int col) {
    if (editing_ || running_ || row < 1 || row > Count() || col < 1 ||
        col > gridFiles->columnCount())
        return false;
    bool cancel = false;
    gridFiles_BeginEdit(row, col, cancel);
    if (cancel)
        return false;
    editing_ = true;
    editRow_ = row;
    editCol_ = col;
    return true;
}

bool JobGrid::FinishCellEdit() {
    return CommitCellEdit(false);
}

bool JobGrid::EditorHasFocus() const {
    const QWidget* focus = QApplication::focusWidget();
    return focus != nullptr &&
           (focus == txtEdit || focus == cboTables || cboTables->isAncestorOf(focus));
}

bool JobGrid::CommitCellEdit(bool focusLeft) {
    if (!editing_ || committing_)
        return !editing_;
    committing_ = true;
    bool keepEditing = false;
    try {
        gridFiles_CommitEdit(editRow_, editCol_, keepEditing);
    } catch (...) {
        // The edit stays open, so that the typed text is not lost.
        committing_ = false;
        throw;
    }
    committing_ = false;
    if (keepEditing) {
        (cboTables->isVisible() ? static_cast<QWidget*>(cboTables) : txtEdit)->setFocus();
        return false;
    }
    EndCellEdit(focusLeft);
    return true;
}

void JobGrid::AbandonCellEdit() {
    if (!editing_ || committing_)
        return;
    EndCellEdit(false);
}

void JobGrid::EndCellEdit(bool focusLeft) {
    const bool giveBackFocus = !focusLeft && EditorHasFocus();
    editing_ = false;
    gridFiles_EndEdit();
    if (giveBackFocus)
        gridFiles->setFocus();
}

bool JobGrid::eventFilter(QObject* watched, QEvent* event) {
    bool handled = false;
    Guarded(prompts_, [&] { handled = FilterEvent(watched, event); });
    return handled;
}

bool JobGrid::FilterEvent(QObject* watched, QEvent* event) {
    if (watched == gridFiles && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_F2 || key == Qt::Key_Return || key == Qt::Key_Enter) &&
            gridFiles->currentRow() >= 0) {
            StartCellEdit(gridFiles->currentRow() + 1, gridFiles->currentColumn() + 1);
            return true;
        }
        return false;
    }
    const bool isEditor = watched == txtEdit || watched == cboTables ||
                          (cboTables->lineEdit() != nullptr && watched == cboTables->lineEdit());
    if (!isEditor || !editing_)
        return false;
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            CommitCellEdit(false);
            return true;
        }
        if (key == Qt::Key_Escape) {
            AbandonCellEdit();
            return true;
        }
    } else if (event->type() == QEvent::FocusOut) {
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        // A message box or the combo's own list taking the focus does not end the edit. The
        // commit waits for the focus change to finish, since it may ask a question.
        if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason)
            QMetaObject::invokeMethod(
                this,
                [this] {
                    Guarded(prompts_, [this] {
                        if (editing_ && !committing_ && !EditorHasFocus())
                            CommitCellEdit(true);
                    });
                },
                Qt::QueuedConnection);
    }
    return false;
}

} // namespace brenvale

// The table chooser: a list of the connected database's tables, picked by a single selection.
#pragma once

#include "core/database.h"

#include <QDialog>

#include <string>

class QGroupBox;
class QLabel;
class QListWidget;

namespace brenvale {

/// Kept for the program's life and only hidden after a pick; the first selection in the list
/// picks, there is no button.
class frmSelectTable final : public QDialog {
    Q_OBJECT

public:
    explicit frmSelectTable(QWidget* parent);

    /// Fills the list anew from `conn`'s catalogue, each time the chooser is shown; the previous
    /// pick stays selected where it is still listed. An empty list says why it is empty.
    void Form_Load(Database& conn);
    /// The entry picked last, or empty text.
    std::string PickedTable() const { return picked_; }

    QGroupBox* Frame1;
    QListWidget* lstTables;
    /// Over the empty list: no connection, no tables, or the catalogue could not be read.
    QLabel* lblHint;

public slots:
    /// Takes the selected entry as the pick and hides the chooser.
    void lstTables_Click();

private:
    std::string picked_;
};

/// Shows `chooser` modally with the tables of `database` read afresh, and returns the name picked,
/// or empty text when the chooser was closed without a pick. Never fails: an unreadable catalogue
/// shows an empty list.
std::string ChooseTargetTable(frmSelectTable& chooser, Database& database);

} // namespace brenvale

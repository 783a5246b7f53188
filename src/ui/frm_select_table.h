// The table chooser: a list of the connected database's tables, picked by a single selection,
// and a button that creates a new log table.
#pragma once

#include "core/run_state.h"
#include "data/odbc.h"

#include <QDialog>

#include <memory>
#include <optional>
#include <string>

class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace brenvale {

/// Kept for the program's life and only hidden after a pick; the first selection in the list
/// picks, there is no OK button. "New Table..." asks for a name, creates the table and picks it.
/// Its messages go to `prompts` (null: message boxes over the chooser).
class frmSelectTable final : public QDialog {
    Q_OBJECT

public:
    explicit frmSelectTable(QWidget* parent, Prompts* prompts = nullptr);
    ~frmSelectTable() override;

    /// Fills the list anew from `conn`'s catalogue, each time the chooser is shown; the previous
    /// pick stays selected where it is still listed. An empty list says why it is empty; without
    /// a connection "New Table..." is disabled.
    void Form_Load(odbc::Connection& conn);
    /// The entry picked last, or empty text.
    std::string PickedTable() const { return picked_; }

    QGroupBox* Frame1;
    QListWidget* lstTables;
    /// Over the empty list: no connection, no tables, or the catalogue could not be read.
    QLabel* lblHint;
    QPushButton* cmdNewTable;

public slots:
    /// Takes the selected entry as the pick and hides the chooser.
    void lstTables_Click();
    /// Asks for a name and creates the nine-column log table; a created table is the pick. A
    /// table the database refuses to create is a message with the driver's reason.
    void cmdNewTable_Click();

private:
    std::unique_ptr<Prompts> ownPrompts_;
    Prompts* prompts_;
    odbc::Connection* conn_ = nullptr;
    std::string picked_;
};

/// Asks for a name over `owner` and creates the nine-column log table in `conn`: the created
/// table's name, or nothing when the user cancelled or the database refused (which `prompts`
/// is told with the driver's reason).
std::optional<std::string> AskAndCreateLogTable(QWidget* owner, odbc::Connection& conn,
                                                Prompts& prompts);

/// Shows `chooser` modally with the tables of `database` read afresh, and returns the name picked
/// (or created), or empty text when the chooser was closed without a pick. Never fails: an
/// unreadable catalogue shows an empty list.
std::string ChooseTargetTable(frmSelectTable& chooser, odbc::Connection& database);

} // namespace brenvale

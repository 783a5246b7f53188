// The job list as the main window's grid: its two columns, its rows, and in-place editing with a
// text box for the log source and a table drop-down for the target table.
#pragma once

#include "core/database.h"
#include "core/job.h"
#include "core/run_state.h"

#include <QObject>

#include <string>

class QComboBox;
class QLineEdit;
class QTableWidget;
class QWidget;

namespace brenvale {

/// The grid `gridFiles` and its editors `txtEdit` and `cboTables`, made inside `container`. The
/// target table editor lists the tables of `conn`; its questions go to `prompts`. Every event it
/// handles is guarded, so none lets an exception into the event loop.
class JobGrid final : public QObject, public JobList {
    Q_OBJECT

public:
    JobGrid(QWidget* container, Database& conn, Prompts& prompts);

    /// Empties the grid and makes its two columns, "Log File" and "Target Table".
    void CreateColumns();

    int Count() const override;
    std::string Text(int row, int column) const override;
    void Append() override;
    void SetText(int row, int column, const std::string& text) override;
    /// Removes every job, abandoning an edit in hand.
    void Clear() override;
    /// Removes the selected job; nothing when none is selected.
    void RemoveSelected();

    /// Grid edit events, rows and columns from 1.
    void gridFiles_BeginEdit(int row, int col, bool& cancel);
    void gridFiles_CommitEdit(int row, int col, bool& keepEditing);
    void gridFiles_EndEdit();
    /// Starts an in-place edit as a double-click does; false when it was refused.
    bool StartCellEdit(int row, int col);
    /// Confirms the edit in hand as Enter does; false while the editor stays open (the commit
    /// was refused), true otherwise. Every command of the window calls it first.
    bool FinishCellEdit();
    /// Abandons the edit in hand as Escape does.
    void AbandonCellEdit();
    bool IsEditing() const { return editing_; }
    /// While a run reads the jobs, no edit starts.
    void SetRunning(bool running) { running_ = running; }

    QTableWidget* gridFiles;
    QLineEdit* txtEdit;
    QComboBox* cboTables;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::string ColumnKey(int col) const;
    bool CommitCellEdit(bool focusLeft);
    void EndCellEdit(bool focusLeft);
    bool EditorHasFocus() const;
    bool FilterEvent(QObject* watched, QEvent* event);

    QWidget* container_;
    Database& conn_;
    Prompts& prompts_;
    bool running_ = false;
    bool editing_ = false;
    bool committing_ = false;
    int editRow_ = 0;
    int editCol_ = 0;
};

} // namespace brenvale

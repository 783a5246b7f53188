// The job list as the main window's grid: its two columns, its rows, and in-place editing with a
// text box for the log source and a table drop-down for the target table.
#pragma once

#include "core/database.h"
#include "core/job.h"
#include "core/run_state.h"

#include <QObject>

#include <functional>
#include <optional>
#include <string>

class QComboBox;
class QFontMetrics;
class QLineEdit;
class QString;
class QTableWidget;
class QWidget;

namespace brenvale {

/// `path` as it fits in `width` pixels: letters go from the middle of its folders first, so that
/// the file name stays whole as long as it fits.
QString ShortenedPath(const QString& path, const QFontMetrics& metrics, int width);

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
    /// Brings `row` into view.
    void ScrollTo(int row);

    /// Creates a table (asking the user for its name) and gives its name, or nothing.
    using NewTableAction = std::function<std::optional<std::string>()>;
    /// While set, the table editor's list ends with "New Table...", which runs `action` and
    /// takes the created table.
    void SetNewTableAction(NewTableAction action) { newTable_ = std::move(action); }

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
    void cboTables_Activated(int index);

    QWidget* container_;
    Database& conn_;
    Prompts& prompts_;
    NewTableAction newTable_;
    bool running_ = false;
    bool editing_ = false;
    bool committing_ = false;
    int editRow_ = 0;
    int editCol_ = 0;
};

} // namespace brenvale

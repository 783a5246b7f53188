// The status window of a run: what is being done, the record counts, progress and Cancel.
#pragma once

#include "core/run_state.h"

#include <QDialog>

class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace brenvale {

/// Shown without blocking in front of its owner during a run; hidden, never destroyed, between
/// runs. Closed only by the runner: the close box and Escape do nothing.
class frmStatus final : public QDialog, public StatusDisplay {
    Q_OBJECT

public:
    frmStatus(QWidget* owner, RunState& state, Prompts& prompts);

    void Show() override;
    void Hide() override;
    /// Enables or disables the owner; this window stays enabled either way.
    void SetOwnerEnabled(bool enabled) override;
    void SetStatus(const std::string& text) override;
    void SetFilesProcessed(const std::string& text) override;
    void SetRecordsInsertedTotal(const std::string& text) override;
    void SetRecordsInsertedFile(const std::string& text) override;
    /// The bar counts in whole numbers; each value is rounded.
    void SetProgressMaximum(float value) override;
    void SetProgressMinimum(float value) override;
    void SetProgressValue(float value) override;

    QGroupBox* frameStatus;
    QLabel* lblStatus;
    QLabel* lblFilesProcessed;
    QLabel* lblRecordsInsertedFile;
    QLabel* lblRecordsInserted;
    QProgressBar* progbarJob;
    QPushButton* cmdCancel;

public slots:
    /// Asks whether to cancel; Yes sets the run's bCancel.
    void cmdCancel_Click();
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QWidget* owner_;
    RunState& state_;
    Prompts& prompts_;
};

} // namespace brenvale

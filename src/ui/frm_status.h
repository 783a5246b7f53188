// The status window of a run: what is being done, the record counts, progress and Cancel.
#pragma once

#include "core/run_state.h"

#include <QDialog>
#include <QElapsedTimer>

#include <cstdint>
#include <string>

class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace brenvale {

/// Shown without blocking in front of its owner during a run; hidden, never destroyed, between
/// runs. Closed only by the runner: the close box and Escape do nothing.
/// The file progress line: "45% of 1.2 MB read, about 3 min left". `done` and `total` are bytes
/// (total 0: size unknown); the time left is told once `elapsedMs` since the reading began (at
/// `startDone` bytes) give a fair estimate, never in the first two seconds.
std::string FileProgressText(std::uint64_t done, std::uint64_t total, std::int64_t elapsedMs,
                             std::uint64_t startDone);

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
    /// The bar and line under the job bar: how far the current log is read, and the time left
    /// once it can be told.
    void SetFileProgress(std::uint64_t done, std::uint64_t total) override;

    QGroupBox* frameStatus;
    QLabel* lblStatus;
    QLabel* lblFilesProcessed;
    QLabel* lblRecordsInsertedFile;
    QLabel* lblRecordsInserted;
    QProgressBar* progbarJob;
    QProgressBar* progbarFile;
    QLabel* lblFileProgress;
    QPushButton* cmdCancel;

public slots:
    /// Asks whether to cancel; Yes sets the run's bCancel.
    void cmdCancel_Click();
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QElapsedTimer fileClock_;     ///< since the current log began to be read
    std::uint64_t fileStart_ = 0; ///< bytes already read then (a run that goes on from a position)
    std::uint64_t fileDone_ = 0;
    bool fileFresh_ = true; ///< no byte of the current log read yet
    QWidget* owner_;
    RunState& state_;
    Prompts& prompts_;
};

} // namespace brenvale

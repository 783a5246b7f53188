// The Run Summary window: what became of each job of a run in the window, to act on.
#pragma once

#include "core/run_report.h"
#include "core/runner.h"

#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace brenvale {

/// How a job ended, worst first: the order of the summary's rows.
enum class JobState { Failed, Cancelled, Refused, Loaded };

JobState StateOf(const JobReport& job);

/// The summary's first line in the window's words: whether anything needs the user, and what.
std::string RunVerdict(const RunReport& report, RunResult result);

/// One row per job, failures first, each with its counts, the database's messages under it;
/// the tables emptied before loading; buttons for the rejects file, its folder, the summary as
/// text on the clipboard and as JSON (the console's `--summary`).
class frmRunSummary final : public QDialog {
    Q_OBJECT

public:
    frmRunSummary(QWidget* parent, const RunReport& report, RunResult result, int jobsFailed,
                  const std::string& rejectsProblem);

    /// The summary as text, as Copy puts it on the clipboard.
    const std::string& SummaryText() const { return text_; }
    const std::string& JsonText() const { return json_; }

    /// Replaces the desktop's opening of a file or folder (tests set it); nullptr restores it.
    using Opener = std::function<bool(const std::string& path)>;
    static void SetOpener(Opener opener);

    QLabel* lblVerdict;
    QTreeWidget* tvJobs;
    QLabel* lblNotes;
    QPushButton* cmdOpenRejects;
    QPushButton* cmdShowFolder;
    QPushButton* cmdCopy;
    QPushButton* cmdSaveJson;
    QPushButton* cmdClose;

public slots:
    void cmdOpenRejects_Click();
    void cmdShowFolder_Click();
    void cmdCopy_Click();
    void cmdSaveJson_Click();

private:
    void FillJobs(const RunReport& report);
    std::string NotesText(const RunReport& report, const std::string& rejectsProblem) const;
    void Open(const std::string& path);

    std::string text_;
    std::string json_;
    std::string rejectsPath_;
};

} // namespace brenvale

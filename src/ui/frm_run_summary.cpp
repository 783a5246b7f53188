// The Run Summary window: what became of each job of a run in the window, to act on.
#include "ui/frm_run_summary.h"

#include "core/run_outcome.h"
#include "ui/file_dialogs.h"
#include "ui/qt_prompts.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

namespace brenvale {

namespace {

namespace fs = std::filesystem;

const char* const kJsonFilter = "JSON Files (*.json)|*.json|All Files (*.*)|*.*";

frmRunSummary::Opener& CurrentOpener() {
    static frmRunSummary::Opener opener;
    return opener;
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QString Count(std::uint64_t value) {
    return QLocale::system().toString(static_cast<qulonglong>(value));
}

std::string Plural(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

QString StateText(const JobReport& job) {
    switch (StateOf(job)) {
    case JobState::Failed:
        return QStringLiteral("Failed");
    case JobState::Cancelled:
        return QStringLiteral("Cancelled");
    case JobState::Refused:
        return QStringLiteral("%1 refused").arg(Count(job.counts.refused + job.counts.inDoubt));
    case JobState::Loaded:
        break;
    }
    return QStringLiteral("Loaded");
}

QIcon StateIcon(const QStyle& style, JobState state) {
    switch (state) {
    case JobState::Failed:
        return style.standardIcon(QStyle::SP_MessageBoxCritical);
    case JobState::Cancelled:
        return style.standardIcon(QStyle::SP_BrowserStop);
    case JobState::Refused:
        return style.standardIcon(QStyle::SP_MessageBoxWarning);
    case JobState::Loaded:
        break;
    }
    return style.standardIcon(QStyle::SP_DialogApplyButton);
}

/// The reasons lines were skipped for, "3 short, 2 refused by the database".
std::string SkippedText(const LineCounts& counts) {
    const std::pair<std::uint64_t, const char*> reasons[] = {
        {counts.ignored, "comments or empty"},       {counts.shortLines, "short"},
        {counts.refused, "refused by the database"}, {counts.longLines, "too long"},
        {counts.incomplete, "incomplete"},           {counts.inDoubt, "in doubt"}};
    std::string text;
    for (const auto& [count, reason] : reasons)
        if (count > 0)
            text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + reason;
    return text;
}

} // namespace

JobState StateOf(const JobReport& job) {
    if (!job.failure.empty())
        return JobState::Failed;
    if (job.interrupted)
        return JobState::Cancelled;
    if (job.counts.refused > 0 || job.counts.inDoubt > 0)
        return JobState::Refused;
    return JobState::Loaded;
}

std::string RunVerdict(const RunReport& report, RunResult result) {
    std::size_t failed = 0, refused = 0;
    for (const JobReport& job : report.Jobs()) {
        const JobState state = StateOf(job);
        failed += state == JobState::Failed;
        refused += state == JobState::Refused;
    }
    const std::size_t jobs = report.Jobs().size();
    std::string text;
    if (result == RunResult::Cancelled)
        text = "The run was cancelled after " + Plural(jobs, "job", "jobs") + " of " +
               std::to_string(report.JobCount()) + ". ";
    else if (result == RunResult::DatabaseLost)
        text = "The database connection was lost and could not be made again; the run stopped. ";
    else if (result == RunResult::DatabaseFull)
        text = "The database could store nothing more; the run stopped. ";
    if (failed + refused == 0) {
        const std::string loaded =
            jobs == 1 ? "The job was loaded" : "All " + std::to_string(jobs) + " jobs were loaded";
        return text + (text.empty() ? loaded : "Nothing went wrong before") + ": " +
               Plural(report.Total().Rows(), "row", "rows") + " inserted.";
    }
    text += std::to_string(failed + refused) + " of " + Plural(jobs, "job needs", "jobs need") +
            " attention:";
    if (failed > 0)
        text +=
            " " + Plural(failed, "log", "logs") + " could not be read" + (refused > 0 ? ";" : ".");
    if (refused > 0)
        text += " " + Plural(refused, "job", "jobs") + " had lines the database refused.";
    return text;
}

frmRunSummary::frmRunSummary(QWidget* parent, const RunReport& report, RunResult result,
                             int jobsFailed, const std::string& rejectsProblem)
    : QDialog(parent), text_(report.SummaryText()),
      json_(report.JsonText(ExitCodeOf(result, jobsFailed, report.Total().inDoubt),
                            RunResultName(result))),
      rejectsPath_(report.RejectsWritten() > 0 ? report.RejectsPath() : std::string()) {
    setObjectName(QStringLiteral("frmRunSummary"));
    setWindowTitle(QStringLiteral("Run Summary"));
    setModal(true);
    if (!rejectsProblem.empty())
        text_ += rejectsProblem + "\n";

    lblVerdict = new QLabel(Q(RunVerdict(report, result)));
    lblVerdict->setWordWrap(true);
    QFont bold = lblVerdict->font();
    bold.setBold(true);
    lblVerdict->setFont(bold);
    tvJobs = new QTreeWidget;
    tvJobs->setObjectName(QStringLiteral("tvJobs"));
    tvJobs->setHeaderLabels({QStringLiteral("Job"), QStringLiteral("Status"), QStringLiteral("Log"),
                             QStringLiteral("Table"), QStringLiteral("Read"),
                             QStringLiteral("Inserted"), QStringLiteral("Skipped")});
    tvJobs->setAlternatingRowColors(true);
    tvJobs->setUniformRowHeights(true);
    FillJobs(report);
    lblNotes = new QLabel(Q(NotesText(report, rejectsProblem)));
    lblNotes->setWordWrap(true);
    lblNotes->setTextInteractionFlags(Qt::TextSelectableByMouse);

    cmdOpenRejects = new QPushButton(QStringLiteral("Open &Rejects File"));
    cmdShowFolder = new QPushButton(QStringLiteral("Show &Folder"));
    cmdCopy = new QPushButton(QStringLiteral("&Copy Summary"));
    cmdSaveJson = new QPushButton(QStringLiteral("Save as &JSON..."));
    cmdClose = new QPushButton(QStringLiteral("C&lose"));
    for (QPushButton* button : {cmdOpenRejects, cmdShowFolder})
        button->setEnabled(!rejectsPath_.empty());
    cmdOpenRejects->setToolTip(QStringLiteral("The lines that inserted nothing, with the reason"));
    auto* buttons = new QHBoxLayout;
    for (QPushButton* button : {cmdOpenRejects, cmdShowFolder, cmdCopy, cmdSaveJson})
        buttons->addWidget(button);
    buttons->addStretch();
    buttons->addWidget(cmdClose);
    cmdClose->setDefault(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblVerdict);
    layout->addWidget(tvJobs, 1);
    layout->addWidget(lblNotes);
    layout->addLayout(buttons);
    resize(760, 420);

    connect(cmdOpenRejects, &QPushButton::clicked, this, &frmRunSummary::cmdOpenRejects_Click);
    connect(cmdShowFolder, &QPushButton::clicked, this, &frmRunSummary::cmdShowFolder_Click);
    connect(cmdCopy, &QPushButton::clicked, this, &frmRunSummary::cmdCopy_Click);
    connect(cmdSaveJson, &QPushButton::clicked, this, &frmRunSummary::cmdSaveJson_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
}

void frmRunSummary::FillJobs(const RunReport& report) {
    std::vector<const JobReport*> jobs;
    for (const JobReport& job : report.Jobs())
        jobs.push_back(&job);
    // What needs the user comes first; within a kind, the jobs keep their order.
    std::stable_sort(jobs.begin(), jobs.end(), [](const JobReport* a, const JobReport* b) {
        return StateOf(*a) < StateOf(*b);
    });
    for (const JobReport* job : jobs) {
        const JobState state = StateOf(*job);
        auto* item = new QTreeWidgetItem(
            tvJobs,
            {QString::number(job->position), StateText(*job), Q(job->job.File), Q(job->job.DBTable),
             Count(job->counts.Read()), Count(job->counts.Rows()), Count(job->counts.Skipped())});
        item->setIcon(1, StateIcon(*style(), state));
        item->setToolTip(2, Q(job->job.File));
        for (int column = 4; column <= 6; ++column)
            item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
        std::vector<std::string> details;
        if (!job->failure.empty())
            details.push_back("Could not be read: " + job->failure);
        if (job->interrupted)
            details.push_back("Cancelled after line " + std::to_string(job->lastLine));
        if (const std::string skipped = SkippedText(job->counts); !skipped.empty())
            details.push_back("Skipped: " + skipped);
        for (const std::string& line : job->diagnostics)
            details.push_back("Database: " + line);
        for (const std::string& name : job->finished)
            details.push_back("Finished the rotated file " + name);
        for (const std::string& detail : details) {
            auto* child = new QTreeWidgetItem(item);
            child->setText(0, Q(detail));
            child->setToolTip(0, Q(detail));
            child->setFirstColumnSpanned(true);
        }
        item->setExpanded(state != JobState::Loaded);
    }
    tvJobs->header()->setStretchLastSection(false);
    tvJobs->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    tvJobs->header()->setSectionResizeMode(2, QHeaderView::Stretch);
}

std::string frmRunSummary::NotesText(const RunReport& report,
                                     const std::string& rejectsProblem) const {
    std::string text;
    for (const RunReport::EmptiedTable& emptied : report.Emptied())
        text += "Emptied before loading: " + emptied.table + ", which held " +
                Plural(emptied.rows, "row", "rows") + ".\n";
    for (const std::string& notice : report.Notices())
        text += notice + "\n";
    const std::string run = report.RunText();
    text += "Loading took " + run.substr(run.rfind("; ") + 2);
    if (!rejectsPath_.empty())
        text += "The lines that inserted nothing are in " + rejectsPath_ + ".\n";
    else if (!rejectsProblem.empty() && report.Total().Skipped() > report.Total().ignored)
        text += rejectsProblem + "\n";
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

void frmRunSummary::SetOpener(Opener opener) {
    CurrentOpener() = std::move(opener);
}

void frmRunSummary::Open(const std::string& path) {
    Guarded(this, [&] {
        const bool opened = CurrentOpener()
                                ? CurrentOpener()(path)
                                : QDesktopServices::openUrl(QUrl::fromLocalFile(Q(path)));
        if (!opened)
            QtPrompts(this).Inform(MessageIcon::Exclamation, "Run Summary",
                                   "The desktop could not open '" + path + "'.");
    });
}

void frmRunSummary::cmdOpenRejects_Click() {
    Open(rejectsPath_);
}

void frmRunSummary::cmdShowFolder_Click() {
    Open(fs::path(rejectsPath_).parent_path().string());
}

void frmRunSummary::cmdCopy_Click() {
    QApplication::clipboard()->setText(Q(text_));
}

void frmRunSummary::cmdSaveJson_Click() {
    Guarded(this, [this] {
        std::string path = ShowSaveDialog(this, kJsonFilter, 1, "Save Run Summary as JSON");
        if (path.empty())
            return;
        if (fs::path(path).extension().empty())
            path += ".json";
        QtPrompts prompts(this);
        std::error_code none;
        if (fs::exists(path, none) &&
            !prompts.AskYesNo(MessageIcon::Exclamation, "Save Run Summary as JSON",
                              "'" + path + "' exists already.\r\n\r\nReplace it?"))
            return;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << json_;
        out.close();
        if (!out)
            prompts.Inform(MessageIcon::Critical, "Save Run Summary as JSON",
                           "The summary could not be written to '" + path + "'.");
    });
}

} // namespace brenvale

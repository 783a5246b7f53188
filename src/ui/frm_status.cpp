// The status window of a run: what is being done, the record counts, progress and Cancel.
#include "ui/frm_status.h"

#include "ui/qt_prompts.h"
#include "ui/twips.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace brenvale {

namespace {

QLabel* MakeLabel(QWidget* parent, const char* text, QRect place) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->setGeometry(place);
    return label;
}

int Rounded(float value) {
    if (!std::isfinite(value))
        return 0;
    const double rounded = std::round(static_cast<double>(value));
    if (rounded >= INT_MAX)
        return INT_MAX;
    if (rounded <= INT_MIN)
        return INT_MIN;
    return static_cast<int>(rounded);
}

constexpr int kFileBarSteps = 1000;

std::string Bytes(std::uint64_t bytes) {
    const char* units[] = {"bytes", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1000 && unit + 1 < std::size(units)) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

std::string TimeLeft(double seconds) {
    const auto whole = static_cast<std::uint64_t>(std::ceil(seconds));
    if (whole < 60)
        return "about " + std::to_string(std::max<std::uint64_t>(whole, 1)) + " s left";
    const std::uint64_t minutes = (whole + 59) / 60;
    if (minutes < 120)
        return "about " + std::to_string(minutes) + " min left";
    return "about " + std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) +
           " min left";
}

} // namespace

std::string FileProgressText(std::uint64_t done, std::uint64_t total, std::int64_t elapsedMs,
                             std::uint64_t startDone) {
    if (total == 0)
        return Bytes(done) + " read";
    const std::uint64_t shown = std::min(done, total);
    const auto percent = static_cast<int>(shown * 100 / total);
    std::string text = std::to_string(percent) + "% of " + Bytes(total) + " read";
    // Two seconds and a percent of the file make a rate worth telling.
    const std::uint64_t gained = shown > startDone ? shown - startDone : 0;
    if (elapsedMs >= 2000 && gained * 100 >= total && shown < total) {
        const double rate = static_cast<double>(gained) / (static_cast<double>(elapsedMs) / 1000);
        text += ", " + TimeLeft(static_cast<double>(total - shown) / rate);
    }
    return text;
}

frmStatus::frmStatus(QWidget* owner, RunState& state, Prompts& prompts)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), owner_(owner),
      state_(state), prompts_(prompts) {
    setObjectName(QStringLiteral("frmStatus"));
    setWindowTitle(QStringLiteral("Status"));
    setModal(false);
    UseDesignFont(*this);
    setFixedSize(TwipSize(4860, 3375));

    frameStatus = new QGroupBox(this);
    frameStatus->setGeometry(TwipRect(60, 0, 4755, 3315));
    lblStatus = MakeLabel(frameStatus, "Status:", TwipRect(360, 360, 4155, 255));
    lblFilesProcessed = MakeLabel(frameStatus, "Files Processed:", TwipRect(360, 660, 4155, 255));
    lblRecordsInsertedFile =
        MakeLabel(frameStatus, "Records Inserted (this file):", TwipRect(360, 960, 4095, 195));
    lblRecordsInserted =
        MakeLabel(frameStatus, "Records Inserted (total):", TwipRect(360, 1260, 4095, 195));
    progbarJob = new QProgressBar(frameStatus);
    progbarJob->setGeometry(TwipRect(360, 1620, 4095, 315));
    progbarJob->setTextVisible(false);
    progbarJob->setRange(0, 100);
    progbarJob->setValue(0);
    // The job bar counts jobs; this one shows how far the log in hand is read.
    progbarFile = new QProgressBar(frameStatus);
    progbarFile->setGeometry(TwipRect(360, 2010, 4095, 195));
    progbarFile->setTextVisible(false);
    progbarFile->setRange(0, kFileBarSteps);
    progbarFile->setValue(0);
    lblFileProgress = MakeLabel(frameStatus, "", TwipRect(360, 2250, 4095, 255));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), frameStatus);
    cmdCancel->setGeometry(TwipRect(1560, 2640, 1635, 495));
    cmdCancel->setAutoDefault(false);

    connect(cmdCancel, &QPushButton::clicked, this, &frmStatus::cmdCancel_Click);
}

void frmStatus::Show() {
    show();
    raise();
    activateWindow();
}

void frmStatus::Hide() {
    hide();
}

void frmStatus::SetOwnerEnabled(bool enabled) {
    if (owner_)
        owner_->setEnabled(enabled);
    // Qt disables the windows a widget owns along with it; Cancel must stay usable.
    setEnabled(true);
}

void frmStatus::SetStatus(const std::string& text) {
    lblStatus->setText(QString::fromStdString(text));
}

void frmStatus::SetFilesProcessed(const std::string& text) {
    lblFilesProcessed->setText(QString::fromStdString(text));
}

void frmStatus::SetRecordsInsertedTotal(const std::string& text) {
    lblRecordsInserted->setText(QString::fromStdString(text));
}

void frmStatus::SetRecordsInsertedFile(const std::string& text) {
    lblRecordsInsertedFile->setText(QString::fromStdString(text));
}

void frmStatus::SetProgressMaximum(float value) {
    progbarJob->setMaximum(Rounded(value));
}

void frmStatus::SetProgressMinimum(float value) {
    progbarJob->setMinimum(Rounded(value));
}

void frmStatus::SetProgressValue(float value) {
    progbarJob->setValue(Rounded(value));
}

void frmStatus::SetFileProgress(std::uint64_t done, std::uint64_t total) {
    if (done == 0 && total == 0) {
        // A new log: nothing is read yet.
        fileFresh_ = true;
        fileDone_ = 0;
        progbarFile->setRange(0, kFileBarSteps);
        progbarFile->setValue(0);
        lblFileProgress->clear();
        return;
    }
    // The rate counts from the first bytes read in this run (a log may go on from a position),
    // and afresh when a log is read again from its start.
    if (fileFresh_ || done < fileDone_) {
        fileClock_.start();
        fileStart_ = done;
        fileFresh_ = false;
    }
    fileDone_ = done;
    if (total == 0) {
        // Size unknown: a busy bar while bytes come in.
        progbarFile->setRange(0, 0);
        progbarFile->setValue(0);
    } else {
        progbarFile->setRange(0, kFileBarSteps);
        progbarFile->setValue(
            static_cast<int>(std::min<std::uint64_t>(done, total) * kFileBarSteps / total));
    }
    lblFileProgress->setText(
        QString::fromStdString(FileProgressText(done, total, fileClock_.elapsed(), fileStart_)));
}

void frmStatus::cmdCancel_Click() {
    // A question that cannot be shown cancels nothing; the run goes on.
    Guarded(prompts_, [this] {
        if (prompts_.AskYesNo(MessageIcon::Question, "Cancel?", "Are you sure you wish to cancel?"))
            state_.bCancel = true;
    });
}

void frmStatus::reject() {}

void frmStatus::closeEvent(QCloseEvent* event) {
    event->ignore();
}

void frmStatus::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace brenvale

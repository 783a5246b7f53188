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

#include <climits>
#include <cmath>

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

} // namespace

frmStatus::frmStatus(QWidget* owner, RunState& state, Prompts& prompts)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), owner_(owner),
      state_(state), prompts_(prompts) {
    setObjectName(QStringLiteral("frmStatus"));
    setWindowTitle(QStringLiteral("Status"));
    setModal(false);
    UseDesignFont(*this);
    setFixedSize(TwipSize(4860, 2775));

    frameStatus = new QGroupBox(this);
    frameStatus->setGeometry(TwipRect(60, 0, 4755, 2715));
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
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), frameStatus);
    cmdCancel->setGeometry(TwipRect(1560, 2040, 1635, 495));
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

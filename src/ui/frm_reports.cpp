// The report window.
#include "ui/frm_reports.h"

#include "data/log_rows.h"
#include "report/report_writers.h"
#include "ui/file_dialogs.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDateEdit>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QValueAxis>

#include <exception>
#include <memory>

namespace brenvale {

namespace {

constexpr const char* kTitle = "Reports";
constexpr const char* kCsvFilter = "CSV Files (*.csv)|*.csv|All Files (*.*)|*.*";
constexpr const char* kTextFilter = "Text Files (*.txt)|*.txt|All Files (*.*)|*.*";

report::CivilDate Civil(const QDate& date) {
    return {date.year(), static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day())};
}

QTableWidgetItem* NumberItem(double value) {
    auto* item = new QTableWidgetItem;
    item->setData(Qt::DisplayRole, value);
    return item;
}

} // namespace

frmReports::frmReports(ReportTarget target, Prompts& prompts, QWidget* parent)
    : QWidget(parent, Qt::Window), target_(std::move(target)), prompts_(prompts) {
    setWindowTitle(QStringLiteral("Reports - %1").arg(QString::fromStdString(target_.dsn)));
    CreateControls();
    ConnectSignals();
    resize(980, 720);
}

void frmReports::CreateControls() {
    const QDate today = QDate::currentDate();
    const QDate firstOfMonth(today.year(), today.month(), 1);
    dtpFrom = new QDateEdit(firstOfMonth.addMonths(-1), this);
    dtpTo = new QDateEdit(firstOfMonth, this);
    for (QDateEdit* edit : {dtpFrom, dtpTo}) {
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        edit->setCalendarPopup(true);
    }
    cboPeriod = new QComboBox(this);
    cboPeriod->addItems({QStringLiteral("hour"), QStringLiteral("day"), QStringLiteral("week"),
                         QStringLiteral("month")});
    cboPeriod->setCurrentIndex(1);
    txtTimeZone = new QLineEdit(QString::fromStdString(target_.timeZone), this);
    txtTimeZone->setPlaceholderText(QStringLiteral("the machine's zone"));
    chkUtc = new QCheckBox(QStringLiteral("Periods in &UTC"), this);
    spnMinSeconds = new QSpinBox(this);
    spnMinSeconds->setRange(0, 86400);
    spnMinSeconds->setSuffix(QStringLiteral(" s"));
    cmdCompute = new QPushButton(QStringLiteral("&Compute"), this);

    auto* form = new QGridLayout;
    form->addWidget(new QLabel(QStringLiteral("From:"), this), 0, 0);
    form->addWidget(dtpFrom, 0, 1);
    form->addWidget(new QLabel(QStringLiteral("To (exclusive):"), this), 0, 2);
    form->addWidget(dtpTo, 0, 3);
    form->addWidget(new QLabel(QStringLiteral("Period:"), this), 0, 4);
    form->addWidget(cboPeriod, 0, 5);
    form->addWidget(new QLabel(QStringLiteral("Station time zone:"), this), 1, 0);
    form->addWidget(txtTimeZone, 1, 1);
    form->addWidget(chkUtc, 1, 2);
    form->addWidget(new QLabel(QStringLiteral("Minimum length:"), this), 1, 3);
    form->addWidget(spnMinSeconds, 1, 4);
    form->addWidget(cmdCompute, 1, 5);

    chart = new QChartView(new QChart, this);
    chart->setRenderHint(QPainter::Antialiasing);
    chart->setMinimumHeight(300);
    tblTitles = new QTableWidget(0, 4, this);
    tblTitles->setHorizontalHeaderLabels({QStringLiteral("Artist"), QStringLiteral("Title"),
                                          QStringLiteral("Performances"),
                                          QStringLiteral("Listening hours")});
    tblTitles->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    tblTitles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblTitles->setSortingEnabled(true);
    lblExclusions = new QLabel(this);
    lblExclusions->setWordWrap(true);

    txtService = new QLineEdit(this);
    txtService->setPlaceholderText(QStringLiteral("service name for SoundExchange"));
    cmdSaveCsv = new QPushButton(QStringLiteral("Save &CSV..."), this);
    cmdSoundExchange = new QPushButton(QStringLiteral("&SoundExchange Report..."), this);
    cmdStreamingLog = new QPushButton(QStringLiteral("Streaming &Log..."), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(txtService, 1);
    for (QPushButton* button : {cmdSaveCsv, cmdSoundExchange, cmdStreamingLog})
        buttons->addWidget(button);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(chart, 3);
    layout->addWidget(tblTitles, 2);
    layout->addWidget(lblExclusions);
    layout->addLayout(buttons);
}

void frmReports::ConnectSignals() {
    connect(cmdCompute, &QPushButton::clicked, this, &frmReports::cmdCompute_Click);
    connect(cmdSaveCsv, &QPushButton::clicked, this, &frmReports::cmdSaveCsv_Click);
    connect(cmdSoundExchange, &QPushButton::clicked, this, &frmReports::cmdSoundExchange_Click);
    connect(cmdStreamingLog, &QPushButton::clicked, this, &frmReports::cmdStreamingLog_Click);
}

void frmReports::Fail(const std::string& text) {
    prompts_.Inform(MessageIcon::Exclamation, kTitle, text);
}

bool frmReports::ReadControls(report::ReportSettings& settings,
                              std::optional<report::StationZone>& zone) {
    settings.from = Civil(dtpFrom->date());
    settings.to = Civil(dtpTo->date());
    if (dtpTo->date() <= dtpFrom->date()) {
        Fail("The range ends before it starts: \"To\" is the day after the last day reported.");
        return false;
    }
    report::ParsePeriodUnit(cboPeriod->currentText().toStdString(), settings.unit);
    settings.utc = chkUtc->isChecked();
    settings.minSeconds = spnMinSeconds->value();
    settings.translated = target_.translated;
    std::string error;
    zone = report::StationZone::Find(txtTimeZone->text().trimmed().toStdString(), error);
    if (!zone)
        Fail(error);
    return zone.has_value();
}

void frmReports::cmdCompute_Click() {
    // No exception crosses the event loop: a failure becomes one message.
    try {
        report::ReportSettings settings;
        std::optional<report::StationZone> zone;
        if (target_.tables.empty()) {
            Fail("The job list names no tables to report on.");
            return;
        }
        if (!ReadControls(settings, zone))
            return;
        report::ReportResult result;
        const odbc::ReadOutcome read =
            odbc::ComputeReport(target_.dsn, target_.tables, settings, *zone, result);
        if (!read) {
            Fail(read.message);
            return;
        }
        result_ = std::move(result);
        zone_ = zone;
        ShowChart(*result_, report::CalendarOf(*result_, *zone_));
        ShowTitles(*result_);
        ShowExclusions(*result_);
    } catch (const std::exception& e) {
        Fail(std::string("The report could not be made: ") + e.what());
    }
}

void frmReports::ShowChart(const report::ReportResult& result,
                           const report::StationZone& calendar) {
    auto* listeners = new QBarSet(QStringLiteral("Listeners"));
    auto* hours = new QLineSeries;
    hours->setName(QStringLiteral("Listening hours"));
    QStringList labels;
    double mostHours = 0;
    for (std::size_t i = 0; i < result.periods.size(); ++i) {
        const report::PeriodFigures& period = result.periods[i];
        *listeners << static_cast<double>(period.listeners);
        const double value = static_cast<double>(period.seconds) / 3600.0;
        hours->append(static_cast<double>(i), value);
        mostHours = std::max(mostHours, value);
        labels << QString::fromStdString(
            report::Iso8601(period.period.start, calendar)
                .substr(0, result.unit == report::PeriodUnit::Hour ? 16 : 10));
    }
    auto* bars = new QBarSeries;
    bars->append(listeners);
    auto* fresh = new QChart;
    fresh->addSeries(bars);
    fresh->addSeries(hours);
    fresh->setTitle(QStringLiteral("Listeners and listening hours per %1 (%2)")
                        .arg(report::PeriodUnitName(result.unit),
                             QString::fromStdString(result.utc ? "UTC" : result.zone)));
    auto* periods = new QBarCategoryAxis;
    periods->append(labels);
    periods->setLabelsAngle(-60);
    fresh->addAxis(periods, Qt::AlignBottom);
    auto* listenerAxis = new QValueAxis;
    listenerAxis->setTitleText(QStringLiteral("listeners"));
    listenerAxis->setMin(0);
    fresh->addAxis(listenerAxis, Qt::AlignLeft);
    auto* hourAxis = new QValueAxis;
    hourAxis->setTitleText(QStringLiteral("hours"));
    hourAxis->setRange(0, mostHours > 0 ? mostHours * 1.1 : 1);
    fresh->addAxis(hourAxis, Qt::AlignRight);
    bars->attachAxis(periods);
    bars->attachAxis(listenerAxis);
    hours->attachAxis(periods);
    hours->attachAxis(hourAxis);
    // The view owns its chart but lets go of the one it replaces, which goes with this scope.
    const std::unique_ptr<QChart> previous(chart->chart());
    chart->setChart(fresh);
}

void frmReports::ShowTitles(const report::ReportResult& result) {
    tblTitles->setSortingEnabled(false);
    tblTitles->setRowCount(static_cast<int>(result.titles.size()));
    for (std::size_t i = 0; i < result.titles.size(); ++i) {
        const report::TitleFigures& title = result.titles[i];
        const int row = static_cast<int>(i);
        tblTitles->setItem(row, 0, new QTableWidgetItem(QString::fromStdString(title.artist)));
        tblTitles->setItem(row, 1, new QTableWidgetItem(QString::fromStdString(title.title)));
        tblTitles->setItem(row, 2, NumberItem(static_cast<double>(title.performances)));
        tblTitles->setItem(row, 3, NumberItem(std::stod(report::Hours(title.seconds))));
    }
    tblTitles->setSortingEnabled(true);
    tblTitles->sortByColumn(2, Qt::DescendingOrder);
}

void frmReports::ShowExclusions(const report::ReportResult& result) {
    std::string text = "Total: " + std::to_string(result.total.segments) + " segments, " +
                       std::to_string(result.total.listeners) + " listeners, " +
                       report::Hours(result.total.seconds) + " listening hours, peak " +
                       std::to_string(result.total.peak) + ". Left out: ";
    for (std::size_t i = 0; i < report::kExclusionCount; ++i)
        text += std::string(i ? ", " : "") +
                report::ExclusionName(static_cast<report::Exclusion>(i)) + " " +
                std::to_string(result.excluded[i]);
    lblExclusions->setText(QString::fromStdString(text + "."));
}

void frmReports::cmdSaveCsv_Click() {
    if (!result_) {
        Fail("Compute the report first.");
        return;
    }
    const std::string path = ShowSaveDialog(this, kCsvFilter, 1, "Save the Periods as CSV");
    std::string error;
    if (!path.empty() &&
        !report::WritePeriodsCsv(path, *result_, report::CalendarOf(*result_, *zone_), error))
        Fail(error);
}

void frmReports::cmdSoundExchange_Click() {
    if (!result_) {
        Fail("Compute the report first.");
        return;
    }
    const std::string service = txtService->text().trimmed().toStdString();
    if (service.empty()) {
        Fail("The Report of Use needs the name of the service.");
        return;
    }
    const std::string path = ShowSaveDialog(this, kTextFilter, 1, "Save the Report of Use");
    std::uint64_t untitled = 0;
    std::string error;
    if (!path.empty() && !report::WriteSoundExchange(path, *result_, service, "A", untitled, error))
        Fail(error);
}

void frmReports::cmdStreamingLog_Click() {
    try {
        report::ReportSettings settings;
        std::optional<report::StationZone> zone;
        if (!ReadControls(settings, zone))
            return;
        const std::string path = ShowSaveDialog(this, kTextFilter, 1, "Save the Streaming Log");
        if (path.empty())
            return;
        const odbc::ReadOutcome written =
            odbc::WriteStreamingLog(target_.dsn, target_.tables, settings, *zone, path);
        if (!written)
            Fail(written.message);
    } catch (const std::exception& e) {
        Fail(std::string("The streaming log could not be written: ") + e.what());
    }
}

} // namespace brenvale

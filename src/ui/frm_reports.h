// The report window: a range, its periods and station time zone, a chart of listeners and hours,
// the titles, what was left out, and the files licensing bodies take.
#pragma once

#include "core/run_state.h"
#include "report/report_builder.h"

#include <QWidget>

#include <optional>
#include <string>
#include <vector>

class QChartView;
class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;

namespace brenvale {

/// What the window reports on: the main window's data source and its jobs' tables.
struct ReportTarget {
    std::string dsn;
    std::vector<std::string> tables;
    bool translated = false;
    std::string timeZone; ///< the configuration's; empty: the machine's
};

class frmReports final : public QWidget {
    Q_OBJECT

public:
    /// A window of its own over `parent`; `prompts` shows every message.
    frmReports(ReportTarget target, Prompts& prompts, QWidget* parent = nullptr);

    /// The figures last computed, if any.
    const std::optional<report::ReportResult>& Result() const { return result_; }

    QDateEdit* dtpFrom = nullptr;
    QDateEdit* dtpTo = nullptr;
    QComboBox* cboPeriod = nullptr;
    QLineEdit* txtTimeZone = nullptr;
    QCheckBox* chkUtc = nullptr;
    QSpinBox* spnMinSeconds = nullptr;
    QPushButton* cmdCompute = nullptr;
    QChartView* chart = nullptr;
    QTableWidget* tblTitles = nullptr;
    QLabel* lblExclusions = nullptr;
    QLineEdit* txtService = nullptr;
    QPushButton* cmdSaveCsv = nullptr;
    QPushButton* cmdSoundExchange = nullptr;
    QPushButton* cmdStreamingLog = nullptr;

public slots:
    void cmdCompute_Click();
    void cmdSaveCsv_Click();
    void cmdSoundExchange_Click();
    void cmdStreamingLog_Click();

private:
    void CreateControls();
    void ConnectSignals();
    /// The settings and zone the controls say; nothing (after a message) when they are wrong.
    bool ReadControls(report::ReportSettings& settings, std::optional<report::StationZone>& zone);
    void ShowChart(const report::ReportResult& result, const report::StationZone& calendar);
    void ShowTitles(const report::ReportResult& result);
    void ShowExclusions(const report::ReportResult& result);
    void Fail(const std::string& text);

    ReportTarget target_;
    Prompts& prompts_;
    std::optional<report::ReportResult> result_;
    std::optional<report::StationZone> zone_;
};

} // namespace brenvale

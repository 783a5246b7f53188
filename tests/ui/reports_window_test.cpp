// The report window offscreen over a real SQLite table loaded by the program: the chart, the
// sortable titles, what was left out, the files behind the buttons, and its messages.
#include "core/run_harness.h"
#include "report_fixture.h"
#include "ui/file_dialogs.h"
#include "ui/frm_main.h"
#include "ui/frm_reports.h"
#include "ui/job_grid.h"
#include "ui/qt_test_app.h"

#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateEdit>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QTableWidget>

namespace brenvale {
namespace {

using test::ListenerSegment;

// Station time UTC: two days, a crawler and three titles.
const std::vector<ListenerSegment> kRows = {
    {"2024-05-01 10:10:00", 600, 1, "Björk", "Jóga"},
    {"2024-05-01 10:20:00", 1200, 2, "Björk", "Jóga"},
    {"2024-05-01 10:30:00", 900, 3, "AC/DC", "T.N.T."},
    {"2024-05-02 09:00:00", 1800, 1, "Nena", "99 Luftballons"},
    {"2024-05-02 09:00:00", 60, 4, "Nena", "99 Luftballons", "Googlebot/2.1", 200, "/stream",
     "agent"},
};

class ReportsWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        db_.CreateLogTable("rep_window");
        std::string text = test::kHeader;
        for (const ListenerSegment& segment : kRows)
            text += test::SegmentLine(segment) + "\n";
        test::RunHarness h(db_.connection(),
                           {{test::WriteFile(dir_ + "/w.log", text), "rep_window"}});
        h.options.translateASCII = false;
        ASSERT_EQ(h.runner.ProcessJobs(), RunResult::Completed);
    }
    void TearDown() override { SetFileDialogScript(nullptr); }

    frmReports& Window() {
        window_ = std::make_unique<frmReports>(
            ReportTarget{test::kSqliteDsn, {"rep_window"}, false, "UTC"}, prompts_);
        window_->dtpFrom->setDate(QDate(2024, 5, 1));
        window_->dtpTo->setDate(QDate(2024, 5, 3));
        window_->cboPeriod->setCurrentText(QStringLiteral("day"));
        return *window_;
    }

    test::TestDatabase db_{test::kSqliteDsn};
    std::string dir_ = test::ScratchDir("reports-window");
    test::ScriptedPrompts prompts_;
    std::unique_ptr<frmReports> window_;
};

TEST_F(ReportsWindowTest, ChartTitlesAndExclusions) {
    frmReports& window = Window();
    window.cmdCompute->click();
    ASSERT_TRUE(prompts_.shown.empty()) << prompts_.shown.front().text;

    // Listeners per day as bars (three, then one), hours as a line (2700 s, then 1800 s).
    const QList<QAbstractSeries*> series = window.chart->chart()->series();
    ASSERT_EQ(series.size(), 2);
    const QBarSet* listeners = qobject_cast<QBarSeries*>(series[0])->barSets().front();
    ASSERT_EQ(listeners->count(), 2);
    EXPECT_EQ(listeners->at(0), 3);
    EXPECT_EQ(listeners->at(1), 1);
    const QList<QPointF> hours = qobject_cast<QLineSeries*>(series[1])->points();
    ASSERT_EQ(hours.size(), 2);
    EXPECT_DOUBLE_EQ(hours[0].y(), 0.75);
    EXPECT_DOUBLE_EQ(hours[1].y(), 0.5);

    // Titles sort by number, not by text, in either direction.
    QTableWidget& titles = *window.tblTitles;
    ASSERT_EQ(titles.rowCount(), 3);
    EXPECT_EQ(titles.item(0, 1)->text(), QStringLiteral("Jóga"));
    EXPECT_EQ(titles.item(0, 2)->data(Qt::DisplayRole).toInt(), 2);
    titles.sortByColumn(3, Qt::AscendingOrder);
    EXPECT_EQ(titles.item(0, 1)->text(), QStringLiteral("T.N.T."));
    EXPECT_THAT(window.lblExclusions->text().toStdString(), test::HasSubstr("agent 1"));

    window.resize(980, 720);
    const QImage shot = window.grab().toImage();
    EXPECT_FALSE(shot.isNull());
    shot.save(QString::fromStdString(dir_ + "/report-window.png"));
}

TEST_F(ReportsWindowTest, ButtonsWriteTheFiles) {
    frmReports& window = Window();
    window.cmdSaveCsv->click();
    ASSERT_EQ(prompts_.shown.size(), 1u);
    EXPECT_EQ(prompts_.shown[0].text, "Compute the report first.");

    window.cmdCompute->click();
    std::vector<std::string> titles;
    SetFileDialogScript([&](bool save, const std::string& title, const std::string&, int) {
        EXPECT_TRUE(save);
        titles.push_back(title);
        return dir_ + "/out" + std::to_string(titles.size());
    });
    window.cmdSaveCsv->click();
    EXPECT_THAT(test::ReadFile(dir_ + "/out1"),
                test::HasSubstr("2024-05-01T00:00:00+00:00,2024-05-02T00:00:00+00:00,3,3,0.750,2"));
    window.cmdSoundExchange->click();
    EXPECT_EQ(prompts_.shown.back().text, "The Report of Use needs the name of the service.");
    window.txtService->setText(QStringLiteral("WXYZ-FM"));
    window.cmdSoundExchange->click();
    EXPECT_THAT(test::ReadFile(dir_ + "/out2"),
                test::HasSubstr("WXYZ-FM\tA\tBjörk\tJóga\t\t\t\t2"));
    window.cmdStreamingLog->click();
    EXPECT_THAT(test::ReadFile(dir_ + "/out3"),
                test::HasSubstr("192.0.2.1\t2024-05-01\t10:00:00\t/stream\t600\t200\t"));
    EXPECT_EQ(titles.size(), 3u);
    EXPECT_EQ(prompts_.shown.size(), 2u);
}

TEST_F(ReportsWindowTest, WrongInputGetsAMessage) {
    frmReports& window = Window();
    window.txtTimeZone->setText(QStringLiteral("Mars/Olympus_Mons"));
    window.cmdCompute->click();
    ASSERT_EQ(prompts_.shown.size(), 1u);
    EXPECT_THAT(prompts_.shown[0].text, test::HasSubstr("Mars/Olympus_Mons"));
    window.txtTimeZone->setText(QStringLiteral("UTC"));
    window.dtpTo->setDate(QDate(2024, 4, 1));
    window.cmdCompute->click();
    EXPECT_THAT(prompts_.shown.back().text, test::HasSubstr("ends before it starts"));
    EXPECT_FALSE(window.Result());

    frmReports missing(ReportTarget{test::kSqliteDsn, {"rep_nowhere"}, false, "UTC"}, prompts_);
    missing.cmdCompute->click();
    EXPECT_THAT(prompts_.shown.back().text, test::HasSubstr("'rep_nowhere' does not exist"));
}

TEST_F(ReportsWindowTest, MainWindowOpensItOnTheJobsTables) {
    frmMain main(&prompts_);
    main.SetProgramFolder(dir_);
    main.GetDSNsAndDrivers();
    main.cmdReports->click();
    EXPECT_EQ(prompts_.shown.back().text, "Pick the data source whose tables to report on first.");
    main.SelectDsn(test::kSqliteDsn);
    main.AddFile(dir_ + "/w.log");
    main.grid->SetText(1, 2, "rep_window");
    main.cmdReports->click();
    auto* window = main.findChild<frmReports*>();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_THAT(window->windowTitle().toStdString(), test::HasSubstr(test::kSqliteDsn));
}

} // namespace
} // namespace brenvale

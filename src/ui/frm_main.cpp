// The main window: DSN, options, the job grid, configuration files and the start of a run.
#include "ui/frm_main.h"

#include "config/default_config_path.h"
#include "core/general.h"
#include "core/run_report.h"
#include "core/shell_and_wait.h"
#include "core/version.h"
#include "report/time_zone.h"
#include "ui/file_dialogs.h"
#include "ui/frm_about.h"
#include "ui/frm_add_url.h"
#include "ui/frm_reports.h"
#include "ui/frm_run_summary.h"
#include "ui/frm_select_table.h"
#include "ui/frm_status.h"
#include "ui/job_grid.h"
#include "ui/keyboard.h"
#include "ui/qt_prompts.h"
#include "ui/twips.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSpinBox>
#include <QTableWidget>

#include <fnmatch.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace brenvale {

namespace {

namespace fs = std::filesystem;

const char* const kCrLf = "\r\n";
const char* const kConfigFilter = "XML Configuration Files (*.xml)|*.xml|All Files (*.*)|*.*";
const char* const kLogFilter =
    "Log Files (*.log)|*.log|Text Files (*.txt)|*.txt|All Files (*.*)|*.*";

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

QPushButton* MakeButton(QWidget* container, const char* caption, QRect place) {
    auto* button = new QPushButton(QString::fromUtf8(caption), container);
    button->setGeometry(place);
    return button;
}

QCheckBox* MakeCheckBox(QWidget* container, const char* caption, QRect place, bool checked) {
    auto* box = new QCheckBox(QString::fromUtf8(caption), container);
    box->setGeometry(place);
    box->setChecked(checked);
    // The boxes were sized for a narrow font; a caption that would be cut off is drawn condensed.
    if (box->sizeHint().width() > place.width()) {
        QFont font = box->font();
        font.setStretch(QFont::Condensed);
        box->setFont(font);
    }
    return box;
}

QGroupBox* MakeFrame(QWidget* container, const char* caption, QRect place) {
    auto* frame = new QGroupBox(QString::fromUtf8(caption), container);
    frame->setGeometry(place);
    return frame;
}

/// The run's report, which also marks a job stopped by the window's Cancel.
class WindowReport final : public RunReport {
public:
    WindowReport(TickClock& clock, const RunState& state) : RunReport(clock), state_(state) {}
    void OnJobEnd(int position, const Job& job, const std::string& failure) override {
        if (state_.bCancel)
            MarkInterrupted();
        RunReport::OnJobEnd(position, job, failure);
    }

private:
    const RunState& state_;
};

/// A rejects file in `folder` named after the time, not one an earlier run left.
std::string NewRejectsPath(const std::string& folder) {
    const std::string stem =
        folder + "/rejects-" +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")).toStdString();
    std::string path = stem + ".tsv";
    std::error_code error;
    for (int n = 2; fs::exists(path, error); ++n)
        path = stem + "-" + std::to_string(n) + ".tsv";
    return path;
}

/// The first data source in `after` that `before` did not list; empty when none.
std::string FirstAdded(const std::vector<odbc::DataSource>& before,
                       const std::vector<odbc::DataSource>& after) {
    for (const odbc::DataSource& source : after)
        if (std::ranges::count(before, source.name, &odbc::DataSource::name) == 0)
            return source.name;
    return {};
}

/// True when the job source `log` (a path or a pattern) names the file at `path`.
bool NamesSameFile(const std::string& log, const std::string& path) {
    if (log.empty() || IsDownload(log))
        return false;
    std::error_code error;
    if (fs::equivalent(log, path, error))
        return true;
    const bool pattern = log.find_first_of("*?[") != std::string::npos;
    return pattern && ::fnmatch(fs::absolute(log, error).c_str(), fs::absolute(path, error).c_str(),
                                FNM_PATHNAME) == 0;
}

} // namespace

/// The window's prompts for a run: while one is open, the run's clock stands still, so the
/// summary's time is the loading's.
class RunPrompts final : public Prompts {
public:
    explicit RunPrompts(Prompts& inner) : inner_(inner) {}
    void Attach(RunReport* report) { report_ = report; }
    bool AskYesNo(MessageIcon icon, const std::string& title, const std::string& text) override {
        const Paused paused(report_);
        return inner_.AskYesNo(icon, title, text);
    }
    void Inform(MessageIcon icon, const std::string& title, const std::string& text) override {
        const Paused paused(report_);
        inner_.Inform(icon, title, text);
    }

private:
    struct Paused {
        explicit Paused(RunReport* report) : report_(report) {
            if (report_)
                report_->PauseClock();
        }
        ~Paused() {
            if (report_)
                report_->ResumeClock();
        }
        Paused(const Paused&) = delete;
        Paused& operator=(const Paused&) = delete;
        RunReport* report_;
    };
    Prompts& inner_;
    RunReport* report_ = nullptr;
};

std::string RejectsFolder(std::string& error) {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    // Relative paths are to be ignored, as the XDG base directories say.
    if (state != nullptr && state[0] == '/')
        base = state;
    else if (home != nullptr && home[0] == '/')
        base = std::string(home) + "/.local/state";
    if (base.empty()) {
        error = "The lines that inserted nothing were not kept: neither XDG_STATE_HOME nor HOME "
                "names a folder.";
        return {};
    }
    std::string folder = base + "/brenvale";
    std::error_code failed;
    fs::create_directories(folder, failed);
    if (failed) {
        error = "The lines that inserted nothing were not kept: the folder '" + folder +
                "' could not be created: " + failed.message() + ".";
        return {};
    }
    return folder;
}

StartupCommand ParseCommandLine(const std::string& argumentText) {
    StartupCommand command;
    const auto p = argumentText.find("/c");
    if (p == std::string::npos) {
        command.switchText = argumentText;
    } else {
        command.hasConfig = true;
        command.configPath = Trimmed(argumentText.substr(p + 2));
        // The "/" of "/c" is still part of the switch text.
        command.switchText = argumentText.substr(0, p + 1);
    }
    command.runAll = command.switchText.find("/a") != std::string::npos;
    command.quit = command.switchText.find("/q") != std::string::npos;
    return command;
}

std::string ArgumentText(int argc, const char* const* argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            text += ' ';
        text += argv[i];
    }
    return text;
}

frmMain::frmMain(Prompts* prompts, QWidget* parent) : QWidget(parent) {
    if (prompts == nullptr) {
        ownPrompts_ = std::make_unique<QtPrompts>(this);
        prompts = ownPrompts_.get();
    }
    prompts_ = prompts;
    runPrompts_ = std::make_unique<RunPrompts>(*prompts_);
    setWindowTitle(QString::fromStdString(ProgramTitle()));
    UseDesignFont(*this);
    setFixedSize(TwipSize(8640, 6735));
    CreateControls();
    UseDesignFrames(*this);
    SetTabOrder();
    ConnectSignals();
    cmdStart->setFocus();
}

frmMain::~frmMain() = default;

void frmMain::CreateControls() {
    frameDB = MakeFrame(this, "Database Connection Configuration", TwipRect(60, 60, 5355, 2235));
    lblStep3 = new QLabel(QStringLiteral("&DSN:"), frameDB);
    lblStep3->setGeometry(TwipRect(60, 345, 390, 195));
    cboDSNList = new QComboBox(frameDB);
    cboDSNList->setEditable(false);
    cboDSNList->setGeometry(TwipRect(540, 300, 4740, 315));
    lblStep3->setBuddy(cboDSNList);
    cmdDSNSetup = MakeButton(frameDB, "DSN Se&tup", TwipRect(1320, 660, 1335, 375));
    cmdDSNRefresh = MakeButton(frameDB, "&Refresh", TwipRect(2760, 660, 1335, 375));
    chkTruncateOnInsert = MakeCheckBox(frameDB, "TRUNCATE Table Before Each Job",
                                       TwipRect(120, 1200, 4515, 195), false);
    chkTruncateOnStart = MakeCheckBox(frameDB, "TRUNCATE Tables Before Starting Jobs",
                                      TwipRect(120, 1500, 4275, 195), true);

    frameOptions = MakeFrame(this, "General Options", TwipRect(5520, 60, 3015, 2235));
    chkTranslateASCII = MakeCheckBox(frameOptions, "Translate hex ASCII to characters",
                                     TwipRect(120, 300, 2775, 195), true);
    chkTranslateASCII->setToolTip(
        QStringLiteral("Converts ASCII codes such as %20 and %3F to their respective characters "
                       "upon insertion into the database."));
    chkSaveConfigOnExit = MakeCheckBox(frameOptions, "Save Configuration on Exit",
                                       TwipRect(120, 600, 2775, 255), true);
    chkIncremental =
        MakeCheckBox(frameOptions, "Load only new lines", TwipRect(120, 900, 2775, 195), false);
    chkIncremental->setToolTip(
        QStringLiteral("Loads only the lines no earlier run loaded; the positions are kept in the "
                       "table brenvale_checkpoint of the database."));
    lblCommitRows = new QLabel(QStringLiteral("Rows per commit:"), frameOptions);
    lblCommitRows->setGeometry(TwipRect(120, 1170, 1455, 195));
    spnCommitRows = new QSpinBox(frameOptions);
    spnCommitRows->setGeometry(TwipRect(1620, 1125, 1275, 285));
    spnCommitRows->setRange(1, static_cast<int>(kMaxCommitRows));
    // A new set-up loads in batches: row by row is some fifty times slower. A configuration
    // file without the setting still means row by row.
    spnCommitRows->setValue(kNewSetupCommitRows);
    spnCommitRows->setGroupSeparatorShown(true);
    spnCommitRows->setAccelerated(true);
    spnCommitRows->setToolTip(
        QStringLiteral("Rows sent to the database in one transaction. 1,000 loads a log many "
                       "times faster than 1 (row by row), which commits each line on its own; "
                       "a larger number holds the table longer in each transaction and moves "
                       "the counts in bigger steps. A refused line never takes the others in "
                       "its batch with it."));
    lblCommitRows->setBuddy(spnCommitRows);
    cmdAbout = MakeButton(frameOptions, "A&bout", TwipRect(120, 1440, 2775, 675));

    frameFiles = MakeFrame(this, "Files to Process", TwipRect(60, 2460, 8475, 2955));
    grid = new JobGrid(frameFiles, conn, *prompts_);
    grid->SetNewTableAction([this] { return AskAndCreateLogTable(this, conn, *prompts_); });
    cmdAddFile = MakeButton(frameFiles, "Add &File", TwipRect(120, 2340, 1455, 495));
    cmdAddURL = MakeButton(frameFiles, "Add &URL", TwipRect(1680, 2340, 1455, 495));
    cmdDelete = MakeButton(frameFiles, "De&lete File/URL", TwipRect(3240, 2340, 1455, 495));
    cmdReports = MakeButton(frameFiles, "R&eports...", TwipRect(6900, 2340, 1455, 495));
    cmdReports->setToolTip(QStringLiteral(
        "Listening hours, listeners, peaks and performances per title from the jobs' tables."));

    frameConfig = MakeFrame(this, "Configuration Files", TwipRect(60, 5520, 5235, 1095));
    cmdOpenConfig = MakeButton(frameConfig, "&Open...", TwipRect(120, 300, 1575, 615));
    cmdSaveConfig = MakeButton(frameConfig, "&Save", TwipRect(1800, 300, 1575, 615));
    cmdSaveConfigAs = MakeButton(frameConfig, "Save &As...", TwipRect(3480, 300, 1575, 615));

    cmdStart = MakeButton(this, "&Process Log Files", TwipRect(5400, 5580, 3135, 1035));
    PressButtonsOnEnter(*this);
}

void frmMain::SetTabOrder() {
    // The designed tab order, the two later options before About; labels and group boxes take
    // no focus.
    const std::vector<QWidget*> order = {
        cmdStart,      cmdDSNSetup,        cmdDSNRefresh,       cboDSNList,        grid->gridFiles,
        cmdAddFile,    cmdDelete,          cmdAddURL,           cmdReports,        grid->cboTables,
        grid->txtEdit, chkTruncateOnStart, chkTruncateOnInsert, chkTranslateASCII, cmdSaveConfig,
        cmdOpenConfig, cmdSaveConfigAs,    chkSaveConfigOnExit, chkIncremental,    spnCommitRows,
        cmdAbout};
    for (std::size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void frmMain::ConnectSignals() {
    connect(cmdStart, &QPushButton::clicked, this, &frmMain::cmdStart_Click);
    connect(cmdDSNRefresh, &QPushButton::clicked, this, &frmMain::cmdDSNRefresh_Click);
    connect(cmdDSNSetup, &QPushButton::clicked, this, &frmMain::cmdDSNSetup_Click);
    // Every pick by the user, the same entry again included; the program's own selections
    // call the handler themselves.
    connect(cboDSNList, &QComboBox::activated, this, &frmMain::cboDSNList_Click);
    // Every change, the configuration's included, so the TRUNCATE options always follow it.
    connect(chkIncremental, &QCheckBox::toggled, this, &frmMain::chkIncremental_Click);
    connect(cmdAddFile, &QPushButton::clicked, this, &frmMain::cmdAddFile_Click);
    connect(cmdAddURL, &QPushButton::clicked, this, &frmMain::cmdAddURL_Click);
    connect(cmdDelete, &QPushButton::clicked, this, &frmMain::cmdDelete_Click);
    connect(cmdReports, &QPushButton::clicked, this, &frmMain::cmdReports_Click);
    connect(cmdAbout, &QPushButton::clicked, this, &frmMain::cmdAbout_Click);
    connect(cmdOpenConfig, &QPushButton::clicked, this, &frmMain::cmdOpenConfig_Click);
    connect(cmdSaveConfig, &QPushButton::clicked, this, &frmMain::cmdSaveConfig_Click);
    connect(cmdSaveConfigAs, &QPushButton::clicked, this, &frmMain::cmdSaveConfigAs_Click);
}

void frmMain::Command(const std::function<void()>& action) {
    Guarded(*prompts_, [&] {
        if (grid->FinishCellEdit())
            action();
    });
}

std::string frmMain::ProgramFolder() const {
    if (!programFolder_.empty())
        return programFolder_;
    return QCoreApplication::applicationDirPath().toStdString();
}

bool frmMain::Form_Load(const std::string& argumentText) {
    bool goOn = true;
    Guarded(*prompts_, [&] {
        configPath_ = PrepareDefaultConfigPath(ProgramFolder());
        SetTitle(ProgramTitle());
        grid->CreateColumns();
        GetDSNsAndDrivers();

        const StartupCommand command = ParseCommandLine(argumentText);
        std::string configFile = command.hasConfig ? command.configPath : std::string();
        LoadConfig(configFile, !command.hasConfig);

        show();
        QCoreApplication::processEvents();

        // Nobody is there to read a summary when the program ends right after the run.
        if (command.runAll)
            ProcessJobs(!command.quit);
        goOn = !command.quit;
    });
    return goOn;
}

void frmMain::Form_Unload() {
    if (chkSaveConfigOnExit->checkState() != Qt::Checked || configFileNotLoaded_)
        return;
    std::string path;
    SaveConfig(path);
}

void frmMain::closeEvent(QCloseEvent* event) {
    event->ignore();
    // The window is disabled during a run; the run must be cancelled before it can close.
    // An edit the user keeps open keeps the window open too.
    Guarded(*prompts_, [&] {
        if (running_ || !grid->FinishCellEdit())
            return;
        Form_Unload();
        event->accept();
    });
}

bool frmMain::LoadConfig(std::string& configfile, bool bSilent) {
    if (configfile.empty())
        configfile = configPath_;
    const std::string file = configfile;
    ConfigReadResult read = ReadConfig(file);
    if (read.status == ConfigStatus::Missing) {
        if (!bSilent)
            prompts_->Inform(MessageIcon::Critical, "Configuration File Missing",
                             "The configuration file '" + file + "' does not exist." + kCrLf +
                                 "Configuration settings cannot be loaded.");
        return false;
    }
    if (read.status != ConfigStatus::Loaded) {
        // The file may still hold the user's jobs; only an explicit Save replaces it.
        const bool current = file == configPath_;
        configFileNotLoaded_ = configFileNotLoaded_ || current;
        prompts_->Inform(MessageIcon::Critical, "Configuration Not Loaded",
                         read.error + kCrLf + kCrLf + "The window's settings are unchanged." +
                             (current ? " Save Configuration on Exit will not replace the file; "
                                        "Save will."
                                      : ""));
        return false;
    }

    ConfigData& data = read.data;
    std::string adjusted = ConflictingOptions(data);
    if (!adjusted.empty()) {
        // Emptying the tables would throw away what incremental runs loaded before.
        data.truncateOnce = false;
        data.truncatePerFile = false;
        adjusted += std::string(kCrLf) + kCrLf +
                    "Loading only new lines stays on; both TRUNCATE options were cleared.";
    }
    if (!read.warning.empty())
        adjusted += (adjusted.empty() ? "" : std::string(kCrLf) + kCrLf) + read.warning;

    grid->Clear();
    fallbackDsns_ = data.fallbackDsns;
    fallbacksOf_ = data.dsn.value_or("");
    if (data.dsn)
        SelectDsn(*data.dsn);
    // First, since it disables and clears the TRUNCATE options when on.
    SetIncremental(data.incremental);
    chkTruncateOnStart->setChecked(data.truncateOnce);
    chkTruncateOnInsert->setChecked(data.truncatePerFile);
    chkTranslateASCII->setChecked(data.translateASCII);
    SetCommitRows(data.commitRows);
    SetOdbcOnly(data.odbcOnly);
    durableBatches_ = data.durableBatches;
    timeZone_ = data.timeZone;
    for (const Job& job : data.jobs) {
        grid->Append();
        grid->SetText(grid->Count(), kColumnFile, job.File);
        grid->SetText(grid->Count(), kColumnTable, job.DBTable);
        grid->SetText(grid->Count(), kColumnFormat, job.Format);
        grid->SetText(grid->Count(), kColumnPlaylist, job.Playlist);
    }
    SetTitle(ProgramTitle() + " - Config: " + GetFileName(file));
    configPath_ = file;
    configFileNotLoaded_ = false;
    if (!adjusted.empty())
        prompts_->Inform(MessageIcon::Exclamation, "Configuration Adjusted",
                         "The configuration file '" + file + "' was loaded and adjusted:" + kCrLf +
                             kCrLf + adjusted);
    return true;
}

bool frmMain::SaveConfig(std::string& path) {
    if (path.empty())
        path = configPath_;
    std::string error;
    if (!brenvale::SaveConfig(path, CurrentConfig(), error)) {
        prompts_->Inform(MessageIcon::Critical, "Configuration Not Saved", error);
        return false;
    }
    if (path == configPath_)
        configFileNotLoaded_ = false;
    return true;
}

ConfigData frmMain::CurrentConfig() const {
    ConfigData data;
    data.dsn = DsnText();
    data.truncateOnce = TruncateOnStart();
    data.truncatePerFile = TruncateOnInsert();
    data.translateASCII = TranslateASCII();
    data.commitRows = CommitRows();
    data.incremental = Incremental();
    data.odbcOnly = odbcOnly_;
    data.durableBatches = durableBatches_;
    data.timeZone = timeZone_;
    data.fallbackDsns = fallbackDsns_;
    const int count = grid->Count();
    data.jobs.reserve(static_cast<std::size_t>(count));
    for (int row = 1; row <= count; ++row)
        data.jobs.push_back({grid->Text(row, kColumnFile), grid->Text(row, kColumnTable),
                             grid->Text(row, kColumnFormat), grid->Text(row, kColumnPlaylist)});
    return data;
}

RunResult frmMain::ProcessJobs(bool showSummary) {
    if (running_ || grid->Count() == 0)
        return RunResult::NothingToDo;
    if (statusWindow_ == nullptr)
        statusWindow_ = new frmStatus(this, state_, *runPrompts_);
    if (!runner_)
        runner_ = std::make_unique<JobRunner>(
            RunHost{*grid, conn, *statusWindow_, *runPrompts_, *this, *this, clock_, state_});
    RunSettings settings;
    settings.commitRows = CommitRows();
    settings.incremental = Incremental();
    settings.allowNative = !odbcOnly_;
    settings.lazyCommits = !durableBatches_;
    std::string zoneError;
    if (const auto zone = report::StationZone::Find(timeZone_, zoneError)) {
        // Icecast writes each time's offset, which the station's zone should agree with.
        settings.stationZone = zone->Name();
        settings.stationOffset = [zone = *zone](std::int64_t at) { return zone.OffsetAt(at); };
    }
    runner_->SetSettings(settings);

    WindowReport report(clock_, state_);
    report.SetIncremental(settings.incremental);
    std::string rejectsProblem;
    if (showSummary)
        if (const std::string folder = RejectsFolder(rejectsProblem); !folder.empty())
            report.OpenRejects(NewRejectsPath(folder), rejectsProblem);
    RunResult result = RunResult::Completed;
    {
        const auto idle = qScopeGuard([&] {
            // The runner leaves the window idle on every way out but an exception.
            runner_->SetObserver(nullptr);
            runPrompts_->Attach(nullptr);
            running_ = false;
            grid->SetRunning(false);
            statusWindow_->Hide();
            statusWindow_->SetOwnerEnabled(true);
            state_.bCancel = false;
            report.CloseRejects(rejectsProblem);
            if (!report.RejectsPath().empty() && report.RejectsWritten() == 0) {
                std::error_code ignored;
                fs::remove(report.RejectsPath(), ignored);
            }
        });
        runner_->SetObserver(&report);
        runPrompts_->Attach(&report);
        running_ = true;
        grid->SetRunning(true);
        result = runner_->ProcessJobs();
    }
    report.Finish();
    // A run that never started (no connection, No to a missing table) has nothing to tell.
    if (!showSummary || report.Jobs().empty())
        return result;
    // Only lines that were lost make a missing rejects file worth a word.
    if (report.Total().Skipped() <= report.Total().ignored)
        rejectsProblem.clear();
    frmRunSummary summary(this, report, result, runner_->JobsFailed(), rejectsProblem);
    summary.exec();
    return result;
}

void frmMain::cmdStart_Click() {
    Command([this] { ProcessJobs(true); });
}

void frmMain::GetDSNsAndDrivers() {
    cboDSNList->clear();
    for (const odbc::DataSource& source : odbc::ListDataSources())
        cboDSNList->addItem(QString::fromStdString(source.name));
    // An empty drop-down does not open, so the closed box itself says what to do.
    cboDSNList->setPlaceholderText(cboDSNList->count() == 0
                                       ? QStringLiteral("No data sources: use DSN Setup to add one")
                                       : QString());
    ShowDsnInUse();
}

void frmMain::ShowDsnInUse() {
    // The list shows the connection's DSN or none: a saved configuration takes its DSN from it.
    const int index = conn.IsOpen()
                          ? cboDSNList->findText(QString::fromStdString(dsnInUse_),
                                                 Qt::MatchExactly | Qt::MatchCaseSensitive)
                          : -1;
    cboDSNList->setCurrentIndex(index);
    if (index < 0) {
        conn.Close();
        dsnInUse_.clear();
    }
}

void frmMain::cmdDSNRefresh_Click() {
    Command([this] { GetDSNsAndDrivers(); });
}

void frmMain::cmdDSNSetup_Click() {
    Command([this] {
        const std::string program =
            dsnSetupProgram_.empty() ? ProgramFolder() + "/brenvale-dsn-setup" : dsnSetupProgram_;
        const std::vector<odbc::DataSource> before = odbc::ListDataSources();
        std::string failure;
        if (!ShellAndWait(program, {}, *this, failure))
            prompts_->Inform(MessageIcon::Critical, "DSN Setup",
                             "The data source administrator '" + program +
                                 "' could not be started:" + kCrLf + kCrLf + failure);
        GetDSNsAndDrivers();
        // A window without a DSN takes the one just added, as the user most likely meant.
        if (!conn.IsOpen())
            if (const std::string added = FirstAdded(before, odbc::ListDataSources());
                !added.empty())
                SelectDsn(added);
    });
}

void frmMain::cboDSNList_Click() {
    Guarded(*prompts_, [this] {
        if (!grid->FinishCellEdit()) {
            ShowDsnInUse();
            return;
        }
        cboDSNList_Change();
    });
}

void frmMain::cboDSNList_Change() {
    Guarded(*prompts_, [this] {
        const std::string name = DsnText();
        if (name.empty())
            return;
        const std::string previous = conn.IsOpen() ? dsnInUse_ : std::string();
        if (conn.IsOpen())
            conn.Close();
        // The configuration's DSN brings its cluster's other nodes; a DSN picked instead not.
        const auto sources = [this](const std::string& dsn) {
            std::vector<std::string> names = {dsn};
            if (dsn == fallbacksOf_)
                names.insert(names.end(), fallbackDsns_.begin(), fallbackDsns_.end());
            return names;
        };
        const DbResult opened = conn.OpenFirst(sources(name));
        if (opened) {
            dsnInUse_ = name;
            return;
        }
        dsnInUse_.clear();
        prompts_->Inform(MessageIcon::Critical, "Error Opening Database",
                         "An error occured while opening DSN '" + name + "':" + kCrLf + kCrLf +
                             TidyDiagnostic(opened.message) + kCrLf + kCrLf +
                             "Please verify your database settings under DSN Setup and try "
                             "again.");
        // The DSN that was in use goes on serving, as long as it opens again.
        if (!previous.empty() && conn.OpenFirst(sources(previous)))
            dsnInUse_ = previous;
        ShowDsnInUse();
    });
}

void frmMain::chkIncremental_Click() {
    Guarded(*prompts_, [this] {
        const bool on = Incremental();
        for (QCheckBox* box : {chkTruncateOnStart, chkTruncateOnInsert}) {
            if (on)
                box->setChecked(false);
            box->setEnabled(!on);
        }
    });
}

std::string frmMain::DsnText() const {
    return cboDSNList->currentText().toStdString();
}

void frmMain::SelectDsn(const std::string& name) {
    const int index = cboDSNList->findText(QString::fromStdString(name),
                                           Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0)
        return;
    cboDSNList->setCurrentIndex(index);
    cboDSNList_Click();
}

void frmMain::AddFile(const std::string& filename) {
    if (filename.empty())
        return;
    grid->Append();
    grid->SetText(grid->Count(), kColumnFile, filename);
    grid->ScrollTo(grid->Count());
}

std::string frmMain::ChooseTargetTable() {
    // The chooser's own message boxes stand over the chooser; a caller's prompts answer for it.
    if (selectTable_ == nullptr)
        selectTable_ = new frmSelectTable(this, ownPrompts_ ? nullptr : prompts_);
    return brenvale::ChooseTargetTable(*selectTable_, conn);
}

void frmMain::FinishTargetTable(int rowsBefore) {
    if (grid->Count() <= rowsBefore)
        return;
    const std::string table = ChooseTargetTable();
    grid->SetText(grid->Count(), kColumnTable, table);
}

void frmMain::cmdAddFile_Click() {
    Command([this] {
        const std::string path =
            ShowOpenDialog(this, kLogFilter, 1, "Choose a valid SHOUTcast W3C Formatted Log File");
        const int before = grid->Count();
        AddFile(path);
        FinishTargetTable(before);
    });
}

void frmMain::cmdAddURL_Click() {
    Command([this] {
        const int before = grid->Count();
        {
            frmAddURL dialog(this, [this](const std::string& url) { AddFile(url); });
            dialog.exec();
        }
        FinishTargetTable(before);
    });
}

void frmMain::cmdDelete_Click() {
    Command([this] { grid->RemoveSelected(); });
}

void frmMain::cmdReports_Click() {
    Command([this] {
        ReportTarget target;
        target.dsn = dsnInUse_;
        target.translated = TranslateASCII();
        target.timeZone = timeZone_;
        for (int row = 1; row <= grid->Count(); ++row) {
            const std::string table = grid->Text(row, kColumnTable);
            if (!table.empty() &&
                std::find(target.tables.begin(), target.tables.end(), table) == target.tables.end())
                target.tables.push_back(table);
        }
        if (target.dsn.empty()) {
            prompts_->Inform(MessageIcon::Exclamation, "Reports",
                             "Pick the data source whose tables to report on first.");
            return;
        }
        // One window at a time; a new one for other tables or another data source.
        if (reports_)
            reports_->close();
        reports_ = new frmReports(std::move(target), *prompts_, this);
        reports_->setAttribute(Qt::WA_DeleteOnClose);
        reports_->show();
    });
}

void frmMain::cmdAbout_Click() {
    Command([this] {
        frmAbout about(this);
        about.exec();
    });
}

void frmMain::cmdOpenConfig_Click() {
    Command([this] {
        std::string path = ShowOpenDialog(this, kConfigFilter, 1, "Open Configuration File");
        if (!path.empty())
            LoadConfig(path, false);
    });
}

void frmMain::cmdSaveConfig_Click() {
    Command([this] {
        std::string path;
        SaveConfig(path);
    });
}

bool frmMain::MaySaveAs(const std::string& path) {
    std::error_code error;
    if (!fs::exists(path, error))
        return true;
    for (int row = 1; row <= grid->Count(); ++row) {
        const std::string log = grid->Text(row, kColumnFile);
        if (!NamesSameFile(log, path))
            continue;
        prompts_->Inform(MessageIcon::Critical, "Configuration Not Saved",
                         "'" + path + "' is the log of job " + std::to_string(row) +
                             "; saving the configuration there would replace the log." + kCrLf +
                             kCrLf + "Choose another name.");
        return false;
    }
    return prompts_->AskYesNo(MessageIcon::Exclamation, "Save Configuration As...",
                              "'" + path + "' exists already." + kCrLf + kCrLf + "Replace it?");
}

void frmMain::cmdSaveConfigAs_Click() {
    Command([this] {
        std::string path = ShowSaveDialog(this, kConfigFilter, 1, "Save Configuration As...");
        if (path.empty())
            return;
        // Without an extension the file would not show in Open's filter.
        if (fs::path(path).extension().empty())
            path += ".xml";
        if (!MaySaveAs(path))
            return;
        // Reloading after a failed save would replace the jobs in hand with an older file's.
        if (SaveConfig(path))
            LoadConfig(path, false);
    });
}

bool frmMain::TruncateOnStart() const {
    return chkTruncateOnStart->checkState() == Qt::Checked;
}
bool frmMain::TruncateOnInsert() const {
    return chkTruncateOnInsert->checkState() == Qt::Checked;
}
bool frmMain::TranslateASCII() const {
    return chkTranslateASCII->checkState() == Qt::Checked;
}

std::size_t frmMain::CommitRows() const {
    return static_cast<std::size_t>(spnCommitRows->value());
}

void frmMain::SetCommitRows(std::size_t rows) {
    spnCommitRows->setValue(static_cast<int>(std::clamp<std::size_t>(rows, 1, kMaxCommitRows)));
}

bool frmMain::Incremental() const {
    return chkIncremental->checkState() == Qt::Checked;
}

void frmMain::SetIncremental(bool on) {
    chkIncremental->setChecked(on);
}

void frmMain::SetTitle(const std::string& title) {
    setWindowTitle(QString::fromStdString(title));
}

void frmMain::Yield() {
    QCoreApplication::processEvents();
}

} // namespace brenvale

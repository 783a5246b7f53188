// The main window: DSN, options, the job grid, configuration files and the start of a run.
#pragma once

#include "config/config_file.h"
#include "core/job.h"
#include "core/run_state.h"
#include "core/runner.h"
#include "data/odbc.h"

#include <QPointer>
#include <QWidget>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class QCheckBox;
class QCloseEvent;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QSpinBox;

namespace brenvale {

class JobGrid;
class RunPrompts;
class frmSelectTable;
class frmStatus;
class frmReports;

/// What the command line asks for: a configuration to load and the switches before it.
struct StartupCommand {
    std::string configPath; ///< the text after "/c", blanks trimmed, quotes kept
    bool hasConfig = false; ///< "/c" was given (an empty path then means the default file)
    std::string switchText; ///< the text in which "/a" and "/q" count
    bool runAll = false;    ///< "/a" occurs in the switch text
    bool quit = false;      ///< "/q" occurs in the switch text
};

/// Reads the argument text (the arguments joined by single blanks) with plain case-sensitive
/// substring searches; everything after "/c" is the path.
StartupCommand ParseCommandLine(const std::string& argumentText);

/// The arguments after the program's own name, joined by single blanks.
std::string ArgumentText(int argc, const char* const* argv);

/// Rows per commit of a window started without a configuration file.
inline constexpr std::size_t kNewSetupCommitRows = 1000;

class frmMain final : public QWidget, public Options, public Yielder {
    Q_OBJECT

public:
    /// `prompts` answers every message box of the window and its run; null shows real ones.
    explicit frmMain(Prompts* prompts = nullptr, QWidget* parent = nullptr);
    ~frmMain() override;

    /// The folder whose config.xml and DSN administrator are used; default the program's folder.
    void SetProgramFolder(const std::string& folder) { programFolder_ = folder; }
    /// The DSN administrator to start; default "brenvale-dsn-setup" in the program's folder.
    void SetDsnSetupProgram(const std::string& program) { dsnSetupProgram_ = program; }

    /// The start-up sequence; false when "/q" asks the program to end now (nothing is saved).
    bool Form_Load(const std::string& argumentText);
    /// Saves the configuration when "Save Configuration on Exit" is checked; never refuses.
    void Form_Unload();

    const std::string& ConfigPath() const { return configPath_; }
    const RunState& State() const { return state_; }

    /// Replaces the DSN, the options and the jobs from `configfile` (empty: ConfigPath, written
    /// back), then sets the title and ConfigPath. A missing file is reported unless `bSilent`;
    /// a file that cannot be loaded is reported and changes nothing. False when nothing loaded.
    bool LoadConfig(std::string& configfile, bool bSilent = false);

    /// Runs every job with the window's options and rows per commit; returns when the run is
    /// over, the window enabled again. With `showSummary`, a run that loaded anything ends with
    /// the run's summary in a message; the lines that inserted nothing are kept in a rejects
    /// file under the user's state folder, named in it.
    RunResult ProcessJobs(bool showSummary = false);
    /// Appends a job with `filename` as its log source; nothing for the empty text.
    void AddFile(const std::string& filename);
    /// Shows the table chooser; the picked name or the empty text.
    std::string ChooseTargetTable();
    /// Fills the DSN list from the driver manager, keeping the DSN in use selected; one that is
    /// no longer listed is closed.
    void GetDSNsAndDrivers();

    // Options, read from the check boxes at the moment of use.
    bool TruncateOnStart() const override;
    bool TruncateOnInsert() const override;
    bool TranslateASCII() const override;

    void Yield() override;

    /// The DSN box's text (possibly empty).
    std::string DsnText() const;
    /// Selects a listed DSN as a pick does (opening it); an unlisted one leaves the box alone.
    void SelectDsn(const std::string& name);
    void SetTitle(const std::string& title);

    std::size_t CommitRows() const;
    /// Bounded to 1 .. kMaxCommitRows.
    void SetCommitRows(std::size_t rows);
    bool Incremental() const;
    /// As a click on "Load only new lines" does.
    void SetIncremental(bool on);
    bool OdbcOnly() const { return odbcOnly_; }
    void SetOdbcOnly(bool on) { odbcOnly_ = on; }

    odbc::Environment environment;
    /// The one database connection, opened only by a DSN pick.
    odbc::Connection conn{environment};

    QGroupBox* frameDB = nullptr;
    QLabel* lblStep3 = nullptr;
    QComboBox* cboDSNList = nullptr;
    QPushButton* cmdDSNSetup = nullptr;
    QPushButton* cmdDSNRefresh = nullptr;
    QCheckBox* chkTruncateOnInsert = nullptr;
    QCheckBox* chkTruncateOnStart = nullptr;
    QGroupBox* frameOptions = nullptr;
    QCheckBox* chkTranslateASCII = nullptr;
    QCheckBox* chkSaveConfigOnExit = nullptr;
    QCheckBox* chkIncremental = nullptr;
    QLabel* lblCommitRows = nullptr;
    QSpinBox* spnCommitRows = nullptr;
    QPushButton* cmdAbout = nullptr;
    QGroupBox* frameFiles = nullptr;
    /// The job list: the grid `gridFiles` and its editors `txtEdit` and `cboTables`.
    JobGrid* grid = nullptr;
    QPushButton* cmdAddFile = nullptr;
    QPushButton* cmdAddURL = nullptr;
    QPushButton* cmdDelete = nullptr;
    QPushButton* cmdReports = nullptr;
    QGroupBox* frameConfig = nullptr;
    QPushButton* cmdOpenConfig = nullptr;
    QPushButton* cmdSaveConfig = nullptr;
    QPushButton* cmdSaveConfigAs = nullptr;
    QPushButton* cmdStart = nullptr;

public slots:
    void cmdStart_Click();
    void cmdDSNRefresh_Click();
    void cmdDSNSetup_Click();
    void cboDSNList_Click();
    void cboDSNList_Change();
    /// Checked: both TRUNCATE options are cleared and disabled, since they would empty what
    /// earlier runs loaded; unchecked: they are enabled again, unchecked.
    void chkIncremental_Click();
    void cmdAddFile_Click();
    void cmdAddURL_Click();
    void cmdDelete_Click();
    /// Opens the report window on the DSN in use and the jobs' tables.
    void cmdReports_Click();
    void cmdAbout_Click();
    void cmdOpenConfig_Click();
    void cmdSaveConfig_Click();
    void cmdSaveConfigAs_Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateControls();
    void ConnectSignals();
    void SetTabOrder();
    /// Runs a command's `action` once the edit in hand is committed, with the exception guard.
    void Command(const std::function<void()>& action);
    void ShowDsnInUse();
    void FinishTargetTable(int rowsBefore);
    /// Writes the window's configuration to `path` (empty: ConfigPath, written back); a
    /// failure is reported. False when nothing was saved.
    bool SaveConfig(std::string& path);
    /// Save As may write `path`: a file that exists is replaced only when the user agrees, and
    /// never when it is a job's log.
    bool MaySaveAs(const std::string& path);
    ConfigData CurrentConfig() const;
    std::string ProgramFolder() const;

    std::unique_ptr<Prompts> ownPrompts_;
    Prompts* prompts_ = nullptr;
    /// prompts_ as the run sees them, with the run's clock paused while one is open.
    std::unique_ptr<RunPrompts> runPrompts_;
    RunState state_;
    SteadyTickClock clock_;
    QPointer<frmStatus> statusWindow_;
    QPointer<frmSelectTable> selectTable_;
    QPointer<frmReports> reports_;
    std::unique_ptr<JobRunner> runner_;
    std::string configPath_;
    std::string programFolder_;
    std::string dsnSetupProgram_;
    std::string dsnInUse_; ///< the DSN `conn` is open on
    bool odbcOnly_ = false;
    bool durableBatches_ = false; ///< kept from the configuration file: every commit durable
    /// The configuration's station time zone, kept for reports and written back on save.
    std::string timeZone_;
    /// The configuration's FallbackDSNs, kept on save, and the DSN they stand behind.
    std::vector<std::string> fallbackDsns_;
    std::string fallbacksOf_;
    /// The file at ConfigPath could not be loaded, so Save on Exit must not replace it.
    bool configFileNotLoaded_ = false;
    bool running_ = false;
};

/// Where a run in the window keeps the lines that inserted nothing:
/// ${XDG_STATE_HOME:-$HOME/.local/state}/brenvale, created when missing; empty with `error` set
/// when there is no such folder.
std::string RejectsFolder(std::string& error);

} // namespace brenvale

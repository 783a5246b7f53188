// The main window: DSN, options, the job grid, configuration files and the start of a run.
#pragma once

#include "config/config_file.h"
#include "core/job.h"
#include "core/run_state.h"
#include "core/runner.h"
#include "data/odbc.h"

#include <QPointer>
#include <QWidget>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QCloseEvent;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace brenvale {

class frmSelectTable;
class frmStatus;

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

class frmMain final : public QWidget, public JobList, public Options, public Yielder {
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

    /// Runs every job; returns when the run is over, the window enabled again.
    RunResult ProcessJobs();
    /// Appends a job with `filename` as its log source; nothing for the empty text.
    void AddFile(const std::string& filename);
    /// Shows the table chooser; the picked name or the empty text.
    std::string ChooseTargetTable();
    /// Fills the DSN list from the driver manager, keeping the DSN in use selected; one that is
    /// no longer listed is closed.
    void GetDSNsAndDrivers();

    /// Grid edit events, rows and columns from 1.
    void gridFiles_BeginEdit(int row, int col, bool& cancel);
    void gridFiles_CommitEdit(int row, int col, bool& keepEditing);
    void gridFiles_EndEdit();
    /// Starts an in-place edit as a double-click does; false when it was refused.
    bool StartCellEdit(int row, int col);
    /// Confirms the edit in hand as Enter does; false while the editor stays open (the commit
    /// was refused), true otherwise. Every command calls it first and stops on false.
    bool FinishCellEdit();
    /// Abandons the edit in hand as Escape does.
    void AbandonCellEdit();
    bool IsEditing() const { return editing_; }

    // Job list over the grid.
    int Count() const override;
    std::string Text(int row, int column) const override;
    void Append() override;
    void SetText(int row, int column, const std::string& text) override;
    void Clear() override;

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

    // Held here until the window has controls for them; saved with the configuration.
    std::size_t CommitRows() const { return commitRows_; }
    void SetCommitRows(std::size_t rows) {
        commitRows_ = std::clamp<std::size_t>(rows, 1, kMaxCommitRows);
    }
    bool Incremental() const { return incremental_; }
    void SetIncremental(bool on) { incremental_ = on; }
    bool NoCopy() const { return noCopy_; }
    void SetNoCopy(bool on) { noCopy_ = on; }

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
    QPushButton* cmdAbout = nullptr;
    QGroupBox* frameFiles = nullptr;
    QTableWidget* gridFiles = nullptr;
    QLineEdit* txtEdit = nullptr;
    QComboBox* cboTables = nullptr;
    QPushButton* cmdAddFile = nullptr;
    QPushButton* cmdAddURL = nullptr;
    QPushButton* cmdDelete = nullptr;
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
    void cmdAddFile_Click();
    void cmdAddURL_Click();
    void cmdDelete_Click();
    void cmdAbout_Click();
    void cmdOpenConfig_Click();
    void cmdSaveConfig_Click();
    void cmdSaveConfigAs_Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void CreateColumns();
    void ConnectSignals();
    void SetTabOrder();
    std::string ColumnKey(int col) const;
    void ShowDsnInUse();
    void FinishTargetTable(int rowsBefore);
    bool CommitCellEdit(bool focusLeft);
    void EndCellEdit(bool focusLeft);
    bool EditorHasFocus() const;
    /// Writes the window's configuration to `path` (empty: ConfigPath, written back); a
    /// failure is reported. False when nothing was saved.
    bool SaveConfig(std::string& path);
    ConfigData CurrentConfig() const;
    std::string ProgramFolder() const;

    std::unique_ptr<Prompts> ownPrompts_;
    Prompts* prompts_ = nullptr;
    RunState state_;
    SteadyTickClock clock_;
    QPointer<frmStatus> statusWindow_;
    QPointer<frmSelectTable> selectTable_;
    std::unique_ptr<JobRunner> runner_;
    std::string configPath_;
    std::string programFolder_;
    std::string dsnSetupProgram_;
    std::string dsnInUse_; ///< the DSN `conn` is open on
    std::size_t commitRows_ = 1;
    bool incremental_ = false;
    bool noCopy_ = false;
    /// The file at ConfigPath could not be loaded, so Save on Exit must not replace it.
    bool configFileNotLoaded_ = false;
    bool running_ = false;
    bool editing_ = false;
    bool committing_ = false;
    int editRow_ = 0;
    int editCol_ = 0;
};

} // namespace brenvale

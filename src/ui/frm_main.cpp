// The main window: DSN, options, the job grid, configuration files and the start of a run.
#include "ui/frm_main.h"

#include "config/default_config_path.h"
#include "core/general.h"
#include "core/version.h"
#include "data/shell_and_wait.h"
#include "ui/file_dialogs.h"
#include "ui/frm_about.h"
#include "ui/frm_add_url.h"
#include "ui/frm_select_table.h"
#include "ui/frm_status.h"
#include "ui/qt_prompts.h"
#include "ui/twips.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

namespace brenvale {

namespace {

const char* const kCrLf = "\r\n";
const char* const kLogFileKey = "Log File";
const char* const kTargetTableKey = "Target Table";
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

} // namespace

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
    setWindowTitle(QString::fromStdString(ProgramTitle()));
    UseDesignFont(*this);
    setFixedSize(TwipSize(8640, 6735));
    CreateControls();
    UseDesignFrames(*this);
    CreateColumns();
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
    cmdDSNSetup = MakeButton(frameDB, "DSN Setup", TwipRect(1320, 660, 1335, 375));
    cmdDSNRefresh = MakeButton(frameDB, "Refresh", TwipRect(2760, 660, 1335, 375));
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
    cmdAbout = MakeButton(frameOptions, "About", TwipRect(120, 1440, 2775, 675));

    frameFiles = MakeFrame(this, "Files to Process", TwipRect(60, 2460, 8475, 2955));
    gridFiles = new QTableWidget(frameFiles);
    gridFiles->setGeometry(TwipRect(120, 240, 8235, 1995));
    gridFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
    gridFiles->setSelectionMode(QAbstractItemView::SingleSelection);
    // Editing runs through the window's own editors and their three events, not Qt's delegates.
    gridFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    gridFiles->verticalHeader()->hide();
    gridFiles->verticalHeader()->setDefaultSectionSize(18);
    gridFiles->horizontalHeader()->setHighlightSections(false);
    gridFiles->setWordWrap(false);
    txtEdit = new QLineEdit(frameFiles);
    txtEdit->setGeometry(TwipRect(1740, 720, 1935, 285));
    txtEdit->hide();
    cboTables = new QComboBox(frameFiles);
    cboTables->setEditable(true);
    cboTables->setInsertPolicy(QComboBox::NoInsert);
    // Qt's completer matches ignoring case, and when the editor loses the focus the combo puts
    // the first such table in place of what was typed; the cell must get the typed name.
    cboTables->setCompleter(nullptr);
    cboTables->setGeometry(TwipRect(6060, 660, 1815, 315));
    cboTables->hide();
    cmdAddFile = MakeButton(frameFiles, "Add File", TwipRect(120, 2340, 1455, 495));
    cmdAddURL = MakeButton(frameFiles, "Add URL", TwipRect(1680, 2340, 1455, 495));
    cmdDelete = MakeButton(frameFiles, "Delete File/URL", TwipRect(3240, 2340, 1455, 495));

    frameConfig = MakeFrame(this, "Configuration Files", TwipRect(60, 5520, 5235, 1095));
    cmdOpenConfig = MakeButton(frameConfig, "Open...", TwipRect(120, 300, 1575, 615));
    cmdSaveConfig = MakeButton(frameConfig, "Save", TwipRect(1800, 300, 1575, 615));
    cmdSaveConfigAs = MakeButton(frameConfig, "Save As...", TwipRect(3480, 300, 1575, 615));

    cmdStart = MakeButton(this, "Process Log Files", TwipRect(5400, 5580, 3135, 1035));

    txtEdit->installEventFilter(this);
    cboTables->installEventFilter(this);
    if (cboTables->lineEdit() != nullptr)
        cboTables->lineEdit()->installEventFilter(this);
    gridFiles->installEventFilter(this);
}

void frmMain::CreateColumns() {
    gridFiles->setRowCount(0);
    gridFiles->setColumnCount(0);
    const auto addColumn = [this](const char* key, int width) {
        const int col = gridFiles->columnCount();
        gridFiles->insertColumn(col);
        auto* header = new QTableWidgetItem(QString::fromUtf8(key));
        header->setData(Qt::UserRole, QString::fromUtf8(key));
        gridFiles->setHorizontalHeaderItem(col, header);
        gridFiles->setColumnWidth(col, width);
    };
    addColumn(kLogFileKey, 413);
    addColumn(kTargetTableKey, 132);
}

void frmMain::SetTabOrder() {
    // The designed tab order; labels and group boxes take no focus.
    const std::vector<QWidget*> order = {
        cmdStart,           cmdDSNSetup,         cmdDSNRefresh,     cboDSNList,    gridFiles,
        cmdAddFile,         cmdDelete,           cmdAddURL,         cboTables,     txtEdit,
        chkTruncateOnStart, chkTruncateOnInsert, chkTranslateASCII, cmdSaveConfig, cmdOpenConfig,
        cmdSaveConfigAs,    chkSaveConfigOnExit, cmdAbout};
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
    connect(cmdAddFile, &QPushButton::clicked, this, &frmMain::cmdAddFile_Click);
    connect(cmdAddURL, &QPushButton::clicked, this, &frmMain::cmdAddURL_Click);
    connect(cmdDelete, &QPushButton::clicked, this, &frmMain::cmdDelete_Click);
    connect(cmdAbout, &QPushButton::clicked, this, &frmMain::cmdAbout_Click);
    connect(cmdOpenConfig, &QPushButton::clicked, this, &frmMain::cmdOpenConfig_Click);
    connect(cmdSaveConfig, &QPushButton::clicked, this, &frmMain::cmdSaveConfig_Click);
    connect(cmdSaveConfigAs, &QPushButton::clicked, this, &frmMain::cmdSaveConfigAs_Click);
    connect(gridFiles, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int col) { StartCellEdit(row + 1, col + 1); });
}

std::string frmMain::ProgramFolder() const {
    if (!programFolder_.empty())
        return programFolder_;
    return QCoreApplication::applicationDirPath().toStdString();
}

bool frmMain::Form_Load(const std::string& argumentText) {
    configPath_ = PrepareDefaultConfigPath(ProgramFolder());
    SetTitle(ProgramTitle());
    CreateColumns();
    GetDSNsAndDrivers();

    const StartupCommand command = ParseCommandLine(argumentText);
    std::string configFile = command.hasConfig ? command.configPath : std::string();
    LoadConfig(configFile, !command.hasConfig);

    show();
    QCoreApplication::processEvents();

    if (command.runAll)
        ProcessJobs();
    return !command.quit;
}

void frmMain::Form_Unload() {
    if (chkSaveConfigOnExit->checkState() != Qt::Checked || configFileNotLoaded_)
        return;
    std::string path;
    SaveConfig(path);
}

void frmMain::closeEvent(QCloseEvent* event) {
    // The window is disabled during a run; the run must be cancelled before it can close.
    // An edit the user keeps open keeps the window open too.
    if (running_ || !FinishCellEdit()) {
        event->ignore();
        return;
    }
    Form_Unload();
    event->accept();
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

    Clear();
    if (data.dsn)
        SelectDsn(*data.dsn);
    chkTruncateOnStart->setChecked(data.truncateOnce);
    chkTruncateOnInsert->setChecked(data.truncatePerFile);
    chkTranslateASCII->setChecked(data.translateASCII);
    SetCommitRows(data.commitRows);
    SetIncremental(data.incremental);
    SetNoCopy(data.noCopy);
    for (const Job& job : data.jobs) {
        Append();
        SetText(Count(), kColumnFile, job.File);
        SetText(Count(), kColumnTable, job.DBTable);
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
    data.commitRows = commitRows_;
    data.incremental = incremental_;
    data.noCopy = noCopy_;
    const int count = Count();
    data.jobs.reserve(static_cast<std::size_t>(count));
    for (int row = 1; row <= count; ++row)
        data.jobs.push_back({Text(row, kColumnFile), Text(row, kColumnTable)});
    return data;
}

RunResult frmMain::ProcessJobs() {
    if (running_)
        return RunResult::NothingToDo;
    if (Count() == 0)
        return RunResult::NothingToDo;
    if (statusWindow_ == nullptr)
        statusWindow_ = new frmStatus(this, state_, *prompts_);
    if (!runner_)
        runner_ = std::make_unique<JobRunner>(
            RunHost{*this, conn, *statusWindow_, *prompts_, *this, *this, clock_, state_});
    runner_->SetCommitRows(commitRows_);
    running_ = true;
    const RunResult result = runner_->ProcessJobs();
    running_ = false;
    return result;
}

void frmMain::cmdStart_Click() {
    if (!FinishCellEdit())
        return;
    ProcessJobs();
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
    if (!FinishCellEdit())
        return;
    GetDSNsAndDrivers();
}

void frmMain::cmdDSNSetup_Click() {
    if (!FinishCellEdit())
        return;
    const std::string program =
        dsnSetupProgram_.empty() ? ProgramFolder() + "/brenvale-dsn-setup" : dsnSetupProgram_;
    std::string failure;
    if (!ShellAndWait(program, {}, *this, failure))
        prompts_->Inform(MessageIcon::Critical, "DSN Setup",
                         "The data source administrator '" + program +
                             "' could not be started:" + kCrLf + kCrLf + failure);
    cmdDSNRefresh_Click();
}

void frmMain::cboDSNList_Click() {
    if (!FinishCellEdit()) {
        ShowDsnInUse();
        return;
    }
    cboDSNList_Change();
}

void frmMain::cboDSNList_Change() {
    const std::string name = DsnText();
    if (name.empty())
        return;
    const std::string previous = conn.IsOpen() ? dsnInUse_ : std::string();
    if (conn.IsOpen())
        conn.Close();
    const DbResult opened = conn.Open(name);
    if (opened) {
        dsnInUse_ = name;
        return;
    }
    dsnInUse_.clear();
    prompts_->Inform(MessageIcon::Critical, "Error Opening Database",
                     "An error occured while opening DSN '" + name + "':" + kCrLf + kCrLf +
                         TidyDiagnostic(opened.message) + kCrLf + kCrLf +
                         "Please verify your database settings under DSN Setup and try again.");
    // The DSN that was in use goes on serving, as long as it opens again.
    if (!previous.empty() && conn.Open(previous))
        dsnInUse_ = previous;
    ShowDsnInUse();
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
    Append();
    SetText(Count(), kColumnFile, filename);
}

std::string frmMain::ChooseTargetTable() {
    if (selectTable_ == nullptr)
        selectTable_ = new frmSelectTable(this);
    return brenvale::ChooseTargetTable(*selectTable_, conn);
}

void frmMain::FinishTargetTable(int rowsBefore) {
    if (Count() <= rowsBefore)
        return;
    const std::string table = ChooseTargetTable();
    SetText(Count(), kColumnTable, table);
}

void frmMain::cmdAddFile_Click() {
    if (!FinishCellEdit())
        return;
    const std::string path =
        ShowOpenDialog(this, kLogFilter, 1, "Choose a valid SHOUTcast W3C Formatted Log File");
    const int before = Count();
    AddFile(path);
    FinishTargetTable(before);
}

void frmMain::cmdAddURL_Click() {
    if (!FinishCellEdit())
        return;
    const int before = Count();
    {
        frmAddURL dialog(this, [this](const std::string& url) { AddFile(url); });
        dialog.exec();
    }
    FinishTargetTable(before);
}

void frmMain::cmdDelete_Click() {
    if (!FinishCellEdit())
        return;
    const QModelIndexList selected = gridFiles->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    gridFiles->removeRow(selected.front().row());
}

void frmMain::cmdAbout_Click() {
    if (!FinishCellEdit())
        return;
    frmAbout about;
    about.exec();
}

void frmMain::cmdOpenConfig_Click() {
    if (!FinishCellEdit())
        return;
    std::string path = ShowOpenDialog(this, kConfigFilter, 1, "Open Configuration File");
    if (path.empty())
        return;
    LoadConfig(path, false);
}

void frmMain::cmdSaveConfig_Click() {
    if (!FinishCellEdit())
        return;
    std::string path;
    SaveConfig(path);
}

void frmMain::cmdSaveConfigAs_Click() {
    if (!FinishCellEdit())
        return;
    std::string path = ShowSaveDialog(this, kConfigFilter, 1, "Save Configuration As...");
    if (path.empty())
        return;
    // Reloading after a failed save would replace the jobs in hand with an older file's.
    if (!SaveConfig(path))
        return;
    LoadConfig(path, false);
}

std::string frmMain::ColumnKey(int col) const {
    const QTableWidgetItem* header = gridFiles->horizontalHeaderItem(col - 1);
    return header == nullptr ? std::string() : header->data(Qt::UserRole).toString().toStdString();
}

void frmMain::gridFiles_BeginEdit(int row, int col, bool& cancel) {
    const QModelIndex index = gridFiles->model()->index(row - 1, col - 1);
    const QRect cell = gridFiles->visualRect(index);
    // The grid's place plus the cell's, one pixel lower, as the editors were always laid.
    const QPoint place = gridFiles->viewport()->mapTo(frameFiles, cell.topLeft()) + QPoint(0, 1);
    const std::string key = ColumnKey(col);
    if (key == kTargetTableKey) {
        if (!conn.IsOpen()) {
            prompts_->Inform(MessageIcon::Exclamation, "Please Select a Database!",
                             "You must select a DSN before choosing a target table.");
            cancel = true;
            return;
        }
        cboTables->clear();
        std::vector<std::string> names;
        conn.GetTableList(names);
        for (const std::string& name : names)
            cboTables->addItem(QString::fromStdString(name));
        // Filling makes the first table current; only the cell's own table may be.
        const QString current = QString::fromStdString(Text(row, col));
        cboTables->setCurrentIndex(
            cboTables->findText(current, Qt::MatchExactly | Qt::MatchCaseSensitive));
        cboTables->setEditText(current);
        // The cell's height too: the combo's own is taller than a row and would hide the next.
        cboTables->setGeometry(QRect(place, cell.size()));
        cboTables->raise();
        cboTables->show();
        cboTables->setFocus();
    } else if (key == kLogFileKey) {
        txtEdit->setText(QString::fromStdString(Text(row, col)));
        txtEdit->setGeometry(QRect(place, cell.size()));
        txtEdit->raise();
        txtEdit->show();
        txtEdit->setFocus();
    }
}

void frmMain::gridFiles_CommitEdit(int row, int col, bool& keepEditing) {
    const std::string key = ColumnKey(col);
    if (key == kTargetTableKey) {
        const std::string table = cboTables->currentText().toStdString();
        DbResult error;
        if (!JobRunner::TableExists(table, conn, error) &&
            !prompts_->AskYesNo(MessageIcon::Exclamation, "Table Does Not Exist",
                                "The selected table '" + table +
                                    "' does not seem to exist.  Continue anyway?")) {
            keepEditing = true;
            return;
        }
        SetText(row, col, table);
    } else if (key == kLogFileKey) {
        SetText(row, col, txtEdit->text().toStdString());
    }
}

void frmMain::gridFiles_EndEdit() {
    cboTables->hide();
    txtEdit->hide();
}

bool frmMain::StartCellEdit(int row, int col) {
    if (editing_ || running_ || row < 1 || row > Count() || col < 1 ||
        col > gridFiles->columnCount())
        return false;
    bool cancel = false;
    gridFiles_BeginEdit(row, col, cancel);
    if (cancel)
        return false;
    editing_ = true;
    editRow_ = row;
    editCol_ = col;
    return true;
}

bool frmMain::FinishCellEdit() {
    return CommitCellEdit(false);
}

bool frmMain::EditorHasFocus() const {
    const QWidget* focus = QApplication::focusWidget();
    return focus != nullptr &&
           (focus == txtEdit || focus == cboTables || cboTables->isAncestorOf(focus));
}

bool frmMain::CommitCellEdit(bool focusLeft) {
    if (!editing_ || committing_)
        return !editing_;
    committing_ = true;
    bool keepEditing = false;
    gridFiles_CommitEdit(editRow_, editCol_, keepEditing);
    committing_ = false;
    if (keepEditing) {
        (cboTables->isVisible() ? static_cast<QWidget*>(cboTables) : txtEdit)->setFocus();
        return false;
    }
    EndCellEdit(focusLeft);
    return true;
}

void frmMain::AbandonCellEdit() {
    if (!editing_ || committing_)
        return;
    EndCellEdit(false);
}

void frmMain::EndCellEdit(bool focusLeft) {
    const bool giveBackFocus = !focusLeft && EditorHasFocus();
    editing_ = false;
    gridFiles_EndEdit();
    if (giveBackFocus)
        gridFiles->setFocus();
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == gridFiles && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_F2 || key == Qt::Key_Return || key == Qt::Key_Enter) &&
            gridFiles->currentRow() >= 0) {
            StartCellEdit(gridFiles->currentRow() + 1, gridFiles->currentColumn() + 1);
            return true;
        }
        return QWidget::eventFilter(watched, event);
    }
    const bool isEditor = watched == txtEdit || watched == cboTables ||
                          (cboTables->lineEdit() != nullptr && watched == cboTables->lineEdit());
    if (!isEditor || !editing_)
        return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            CommitCellEdit(false);
            return true;
        }
        if (key == Qt::Key_Escape) {
            AbandonCellEdit();
            return true;
        }
    } else if (event->type() == QEvent::FocusOut) {
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        // A message box or the combo's own list taking the focus does not end the edit. The
        // commit waits for the focus change to finish, since it may ask a question.
        if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason)
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (editing_ && !committing_ && !EditorHasFocus())
                        CommitCellEdit(true);
                },
                Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

int frmMain::Count() const {
    return gridFiles->rowCount();
}

std::string frmMain::Text(int row, int column) const {
    if (row < 1 || row > gridFiles->rowCount() || column < 1 || column > gridFiles->columnCount())
        return {};
    const QTableWidgetItem* item = gridFiles->item(row - 1, column - 1);
    return item == nullptr ? std::string() : item->text().toStdString();
}

void frmMain::Append() {
    gridFiles->insertRow(gridFiles->rowCount());
}

void frmMain::SetText(int row, int column, const std::string& text) {
    if (row < 1 || row > gridFiles->rowCount() || column < 1 || column > gridFiles->columnCount())
        return;
    QTableWidgetItem* item = gridFiles->item(row - 1, column - 1);
    if (item == nullptr) {
        item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        gridFiles->setItem(row - 1, column - 1, item);
    }
    item->setText(QString::fromStdString(text));
}

void frmMain::Clear() {
    if (editing_)
        AbandonCellEdit();
    gridFiles->setRowCount(0);
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

void frmMain::SetTitle(const std::string& title) {
    setWindowTitle(QString::fromStdString(title));
}

void frmMain::Yield() {
    QCoreApplication::processEvents();
}

} // namespace brenvale

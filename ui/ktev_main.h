#pragma once

// The main window: it creates the system's parts at start and destroys them at closing in a
// fixed order, hosts the device tree, the record list and the log pane, carries the menus, the
// tool bars and the status bar, and is the window side of the device service's requests.

#include <QMainWindow>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/program_home.h"
#include "common/program_path.h"
#include "common/style.h"
#include "database/record_filter.h"
#include "device/device.h"
#include "device/device_views.h"
#include "records/record_export.h"
#include "records/record_types.h"
#include "ui/about_dialog.h"
#include "ui/main_parts.h"
#include "ui/main_window_settings.h"
#include "ui/main_window_widgets.h"
#include "ui/settings/current_settings.h"

class QPlainTextEdit;
class QSplitter;
class QTableView;
class QTimer;
class QToolBar;
class TAppControl;
class TAudit;
class TAuditViewUi;
class TF_Setup;
class TKordeya32;
class TQtAppControl;
class TSQLite;

// A file to choose: the save dialog of File > "Новый", an export or a copy, or the open dialog
// of File > "Открыть...", starting in `dir` with `file` proposed.
struct TFileChoice {
    bool save = false;
    QString title;
    QString dir;
    QString file;
    // The suffix a name without one gets, and the dialog's name filter.
    QString suffix = QStringLiteral("db");
    QString filter = QStringLiteral("SQLite файлы (*.db)");
    // A file chosen to be written whole (an export, a copy): an existing one is asked about.
    bool replace = false;
};
// Returns false when the operator cancels; otherwise `chosen` is the path.
using TFileChooser = std::function<bool(const TFileChoice& choice, QString& chosen)>;
// The operator's comment on an acknowledgement; returns false when the operator cancels.
using TCommentAsker = std::function<bool(QString& comment)>;

struct TF_MainOptions {
    // The program's path, or "<home>/ktev": its folder holds the catalogue, ports/ and
    // default.db, and the path plus ".ini" and ".log" are the settings file and the log file.
    // Tests give a temporary one.
    std::string program_path = ProgramPath();
    // The installed catalogue and sounds, used where that folder has none.
    std::string data_dir = InstalledDataDir(ProgramPath());
    // Message boxes and the end of the program; null: Qt message boxes and the event loop's end.
    TAppControl* app = nullptr;
    // Null: the Qt file dialogs.
    TFileChooser choose_file;
    // Null: a Qt input dialog.
    TCommentAsker ask_comment;
    // How often the service tries again a database that failed at its start.
    int db_retry_ms = TDevice::DB_RETRY_MS;
};

class TF_Main final : public QMainWindow, public TDeviceViews {
    Q_OBJECT

public:
    // "\"Кордея-ТЛ\" Tev": the window's caption and the title of its message boxes. The
    // window's title adds the database file in use.
    static QString Caption();

    // Builds the window and creates the parts. `port` is the protocol object; it must outlive
    // the window.
    explicit TF_Main(TKordeya32& port, TF_MainOptions options = {}, QWidget* parent = nullptr);
    // Destroys whatever parts are left (after a start-up that was told to end, the close
    // handler never ran), in the closing order, without saving the settings.
    ~TF_Main() override;
    TF_Main(const TF_Main&) = delete;
    TF_Main& operator=(const TF_Main&) = delete;

    // --- The device service's requests. The three refreshes may come from the bus thread: each
    // is handed to the GUI thread as one queued call, requests made before it runs merge into it.
    void StatusBarUpdate() override;
    void TreeViewUpdate() override;
    void ListViewUpdate() override;
    void RecordListSetTimer(bool on) override;
    void FileNew() override;

    // --- Start-up and shutdown.
    // Run at the first showing: the log starts writing, the settings are loaded, and the
    // service starts next in the event loop when IsAutoRun is on.
    void FormShow();
    // The closing order: no delayed save, service stopped, settings saved, parts destroyed.
    // False when the settings could not be saved: the parts stay and the window stays open,
    // unless a signal asked for the close.
    bool FormClose();
    // SIGINT or SIGTERM: the window closes in its order and the program ends, whatever the
    // settings save does (a failed save is logged; nobody may be there to answer a box).
    void CloseBySignal();

    void MM_File_NewClick();
    void MM_File_OpenClick();
    // File > "Экспорт": the records the record list's filter selects, into a file the operator
    // names, under a progress dialog that can cancel.
    void MM_File_ExportClick(TExportFormat format);
    // File > "Печать...": a print preview of the filter's first PRINT_LIMIT records.
    void MM_File_PrintClick();
    static constexpr std::int64_t PRINT_LIMIT = 10000;
    // File > "Резервная копия базы...": a copy of the database in use while recording goes on.
    void MM_File_BackupClick();
    // Shows the settings dialog modally while the service runs; afterwards starts it, or
    // restarts it only when the port, the line control or the database file changed.
    void MM_Service_SetupClick();
    // Help > "О программе".
    void MM_Help_AboutClick();
    // What the About dialog names: the settings file, the log and the database in use.
    TAboutFiles AboutFiles() const;

    // --- The settings file.
    void IniLoad();
    // False (and the error shown) when the file could not be written.
    bool IniSave();
    // The delayed save's wait is over.
    void TimerIniSaveDelayTimer();

    // Set by the settings dialog when it is created and cleared when it is destroyed.
    void SetSetup(TF_Setup* setup) { setup_ = setup; }

    const std::string& GetProgramDir() const { return program_dir_; }
    std::string GetIniPath() const { return program_path_ + ".ini"; }

    // --- The parts; null once destroyed.
    TCurrentSettings& GetSettings() { return Settings; }
    TLog* GetLog() const { return parts_.GetLog(); }
    TSQLite* GetSQLite() const { return parts_.GetSQLite(); }
    TRecord* GetRecord() const { return parts_.GetRecord(); }
    TSound* GetSound() const { return parts_.GetSound(); }
    const TKordeya32& GetPort() const { return port_; }
    TDevice* GetDevice() const { return parts_.GetDevice(); }
    TQtSoundOutput* GetSoundOutput() const { return parts_.GetSoundOutput(); }
    TRecordListUi* GetRecordList() const { return parts_.GetRecordList(); }
    TDeviceTreeUi* GetDeviceTree() const { return parts_.GetDeviceTree(); }
    TAudit* GetAudit() const { return parts_.GetAudit(); }
    TAuditViewUi* GetAuditView() const { return parts_.GetAuditView(); }
    TActiveAlarms* GetActiveAlarms() const { return parts_.GetActiveAlarms(); }
    TActiveAlarmsUi* GetActiveAlarmsView() const { return parts_.GetActiveAlarmsView(); }
    // Whether the catalogue check asked the program to end during start-up.
    bool IsTerminated() const;

    // --- The controls.
    const TMainActions& Actions() const { return widgets_.actions; }
    QToolBar* GetToolBar() const { return widgets_.ToolBar; }
    QSplitter* GetSplitterLeftRight() const { return widgets_.SplitterLeftRight; }
    QSplitter* GetSplitterUpDown() const { return widgets_.SplitterUpDown; }
    QWidget* GetPanelDevices() const { return widgets_.PanelDevices; }
    // The record list. Its columns are the shown fields in field order: the settings save
    // takes the width of the k-th column for the k-th shown field.
    QTableView* GetListView() const { return widgets_.ListView; }
    QToolBar* GetToolBarRecords() const { return widgets_.ToolBarRecords; }
    QPlainTextEdit* GetRichEdit() const { return widgets_.RichEdit; }
    QTimer* GetTimerIniSaveDelay() const { return save_delay_.GetTimer(); }
    QString StatusBarText(int panel) const;
    // The record fields' column widths: loaded from and saved to the settings file, taken
    // back from the shown columns at every save.
    int GetFieldWidth(int field) const { return window_settings_.GetFieldWidth(field); }

signals:
    // Carried out on the GUI thread for the device tree and the record list.
    void TreeViewUpdateRequested();
    void ListViewUpdateRequested();
    void RecordListTimerRequested(bool on);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // The menu commands to what they do.
    void ConnectActions();
    // Queues `now` for the GUI thread unless a queued call of it is already waiting.
    void Post(std::atomic<bool>& pending, void (TF_Main::*now)());
    // The last status panel: the overall state in the catalogue's colours.
    void ShowStatusState(const QString& text, const TMessageStyle& style);
    void StatusBarUpdateNow();
    // The caption and the database file in use.
    void TitleUpdate();
    // The open database file, else the one a start opens.
    std::string DatabaseInUse() const;
    void TreeViewUpdateNow();
    void ListViewUpdateNow();
    bool ChooseFile(const TFileChoice& choice, QString& chosen);
    bool AskComment(QString& comment);
    void ChooseDBFile(bool save);
    // The filter the record list pages through, the records mask of the moment frozen in it.
    TRecordFilter ExportFilter() const;
    // The database the list reads, when it is open; otherwise the operator is told and null.
    TSQLite* OpenDatabase(const char* what);
    // Calls `step` (true: more to do; it sets what is done of the total) under a progress
    // dialog until it is over; false when the operator cancelled.
    bool StepWithProgress(const QString& label,
                          const std::function<bool(std::int64_t& done, std::int64_t& total)>& step);
    // The operator's name as the settings set it; empty: none.
    std::string OperatorName() const;
    // One row of the operator's audit trail, outcome "Выполнено".
    void AuditAction(const char* action, std::string_view target = {},
                     std::string_view detail = {});
    // IniSave without its box: the failure is logged; the text is the box's.
    bool WriteIni(std::string& failure);
    // Runs a step that shows a modal dialog or box. A close asked for meanwhile ends the
    // dialogs and is carried out once the last step is over; then it returns true.
    bool RunModal(const std::function<void()>& step);

    TKordeya32& port_;
    std::string program_path_;
    std::string program_dir_;
    std::string data_dir_;
    TFileChooser choose_file_;
    TCommentAsker ask_comment_;
    std::unique_ptr<TQtAppControl> own_app_;
    TAppControl* app_;
    int db_retry_ms_;
    TF_Setup* setup_ = nullptr;

    TMainWindowWidgets widgets_;
    bool shown_ = false;
    int modal_depth_ = 0;
    bool close_requested_ = false;
    bool close_by_signal_ = false;

    std::atomic<bool> status_bar_pending_{false};
    std::atomic<bool> tree_view_pending_{false};
    std::atomic<bool> list_view_pending_{false};

    // The settings outlive the parts, which are created after the controls and destroyed in
    // their closing order before them.
    TCurrentSettings Settings;
    TMainParts parts_;
    TSaveDelay save_delay_;
    TMainWindowSettings window_settings_;
};

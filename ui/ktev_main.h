#pragma once

// The main window: it creates the system's parts at start and destroys them at closing in a
// fixed order, hosts the device tree, the record list and the log pane, carries the menus, the
// tool bars and the status bar, and is the window side of the device service's requests.

#include <QMainWindow>
#include <QString>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "common/program_path.h"
#include "common/style.h"
#include "device/device.h"
#include "device/device_views.h"
#include "records/record_types.h"
#include "ui/settings/current_settings.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QSplitter;
class QTableView;
class QTimer;
class QToolBar;
class QTreeView;
class TAppControl;
class TDeviceTreeUi;
class TF_Setup;
class TKordeya32;
class TLog;
class TQtAppControl;
class TQtLogPane;
class TQtSoundOutput;
class TRecord;
class TRecordListUi;
class TSQLite;
class TSound;
struct TSettingsFileValues;

// A database file to choose: the save dialog of File > "Новый" or the open dialog of
// File > "Открыть...", starting in `dir` with `file` proposed.
struct TFileChoice {
    bool save = false;
    QString title;
    QString dir;
    QString file;
};
// Returns false when the operator cancels; otherwise `chosen` is the path.
using TFileChooser = std::function<bool(const TFileChoice& choice, QString& chosen)>;

struct TF_MainOptions {
    // The program's path: its folder holds the catalogue, ports/ and default.db, and the path
    // plus ".ini" and ".log" are the settings file and the log file. Tests give a temporary one.
    std::string program_path = ProgramPath();
    // Message boxes and the end of the program; null: Qt message boxes and the event loop's end.
    TAppControl* app = nullptr;
    // Null: the Qt file dialogs.
    TFileChooser choose_file;
    // How often the service tries again a database that failed at its start.
    int db_retry_ms = TDevice::DB_RETRY_MS;
};

// The menu items and tool buttons, named as the window design names them.
struct TMainActions {
    QAction* MM_File_New = nullptr;
    QAction* MM_File_Open = nullptr;
    QMenu* MM_File_Export = nullptr;
    QAction* MM_File_Export_Text = nullptr;
    QAction* MM_File_Export_Excel = nullptr;
    QAction* MM_File_Exit = nullptr;
    QAction* MM_View_UpdateRecords = nullptr;
    QAction* MM_View_UpdateDevices = nullptr;
    QAction* MM_View_ToolButtons = nullptr;
    QAction* MM_View_TreeDevices = nullptr;
    QAction* MM_View_LogApplication = nullptr;
    QMenu* MM_View_Fields = nullptr;
    // Item i belongs to record field i; checkable.
    std::array<QAction*, RECORD_FIELD_COUNT> MM_View_Fields_Items{};
    QAction* MM_Service_Stop = nullptr;
    QAction* MM_Service_Start = nullptr;
    QAction* MM_Service_SoundOff = nullptr;
    QAction* MM_Service_Setup = nullptr;
    QAction* MM_Help_Manual = nullptr;
    QAction* MM_Help_CheckUpdate = nullptr;
    QAction* MM_Help_About = nullptr;
    // The main tool bar's own Stop and Start buttons and their separator, all hidden.
    QAction* ToolButton_Service_Stop = nullptr;
    QAction* ToolButton_Service_Start = nullptr;
    QAction* ToolButton_Service_Separator = nullptr;
    // The records tool bar: paging and the sound-off button.
    QAction* ToolButtonFirstRecord = nullptr;
    QAction* ToolButtonPriorPage = nullptr;
    QAction* ToolButtonNextPage = nullptr;
    QAction* ToolButtonLastRecord = nullptr;
    QAction* ToolButtonSoundOff = nullptr;
};

class TF_Main final : public QMainWindow, public TDeviceViews {
    Q_OBJECT

public:
    static constexpr int IniSaveDelayMs = 10000;
    static constexpr int StatusPanelCount = 4;

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
    // Stops the service, shows the settings dialog modally, then starts the service.
    void MM_Service_SetupClick();
    void ShowPanelsUpdate(bool save);

    // --- The settings file.
    void IniLoad();
    // False (and the error shown) when the file could not be written.
    bool IniSave();
    void TimerIniSaveDelayStart();
    void TimerIniSaveDelayTimer();
    void FormResize();
    void FormMove();

    // Set by the settings dialog when it is created and cleared when it is destroyed.
    void SetSetup(TF_Setup* setup) { setup_ = setup; }

    const std::string& GetProgramDir() const { return program_dir_; }
    std::string GetIniPath() const { return program_path_ + ".ini"; }

    // --- The parts; null once destroyed.
    TCurrentSettings& GetSettings() { return Settings; }
    TLog* GetLog() const { return Log.get(); }
    TRecord* GetRecord() const { return Record.get(); }
    TSound* GetSound() const { return Sound.get(); }
    const TKordeya32& GetPort() const { return port_; }
    TDevice* GetDevice() const { return Device.get(); }
    TQtSoundOutput* GetSoundOutput() const { return sound_output_.get(); }
    TRecordListUi* GetRecordList() const { return record_list_.get(); }
    TDeviceTreeUi* GetDeviceTree() const { return device_tree_.get(); }
    // Whether the catalogue check asked the program to end during start-up.
    bool IsTerminated() const;

    // --- The controls.
    const TMainActions& Actions() const { return actions_; }
    QToolBar* GetToolBar() const { return ToolBar; }
    QSplitter* GetSplitterLeftRight() const { return SplitterLeftRight; }
    QSplitter* GetSplitterUpDown() const { return SplitterUpDown; }
    QWidget* GetPanelDevices() const { return PanelDevices; }
    // The record list. Its columns are the shown fields in field order: the settings save
    // takes the width of the k-th column for the k-th shown field.
    QTableView* GetListView() const { return ListView; }
    QToolBar* GetToolBarRecords() const { return ToolBarRecords; }
    QPlainTextEdit* GetRichEdit() const { return RichEdit; }
    QTimer* GetTimerIniSaveDelay() const { return TimerIniSaveDelay; }
    QString StatusBarText(int panel) const;

    // The record fields' column widths: loaded from and saved to the settings file, taken
    // back from the shown columns at every save.
    int GetFieldWidth(int field) const;

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
    // The copy of the geometry each handler compares with, and whether it saw a change yet.
    struct TGeometryWatch {
        QRect last;
        bool seen = false;
    };

    void BuildControls();
    void BuildMenus();
    void BuildToolBars();
    void BuildStatusBar();
    void CreateParts();
    // The record list and the device tree on the views laid out by BuildControls.
    void CreateViews();
    void DestroyParts();
    // Queues `now` for the GUI thread unless a queued call of it is already waiting.
    void Post(std::atomic<bool>& pending, void (TF_Main::*now)());
    // The last status panel: the overall state in the catalogue's colours.
    void ShowStatusState(const QString& text, const TMessageStyle& style);
    void StatusBarUpdateNow();
    // The caption and the database file in use: the open one, else the one a start opens.
    void TitleUpdate();
    void TreeViewUpdateNow();
    void ListViewUpdateNow();
    void GeometryChanged(TGeometryWatch& watch, const char* name);
    bool ChooseFile(const TFileChoice& choice, QString& chosen);
    void ChooseDBFile(bool save);
    void ApplySettings(const TSettingsFileValues& values);
    TSettingsFileValues CollectSettings();
    // IniSave without its box: the failure is logged; the text is the box's.
    bool WriteIni(std::string& failure);
    int TreeViewWidth() const;
    int RichEditHeight() const;
    // Runs a step that shows a modal dialog or box. A close asked for meanwhile ends the
    // dialogs and is carried out once the last step is over; then it returns true.
    bool RunModal(const std::function<void()>& step);

    TKordeya32& port_;
    std::string program_path_;
    std::string program_dir_;
    TFileChooser choose_file_;
    std::unique_ptr<TQtAppControl> own_app_;
    TAppControl* app_;
    int db_retry_ms_;
    TF_Setup* setup_ = nullptr;

    TMainActions actions_;
    QToolBar* ToolBar = nullptr;
    QSplitter* SplitterUpDown = nullptr;
    QSplitter* SplitterLeftRight = nullptr;
    QWidget* PanelDevices = nullptr;
    QTreeView* TreeView = nullptr;
    QToolBar* ToolBarDevices = nullptr;
    QProgressBar* ProgressBarDevices = nullptr;
    QMenu* PopupMenuDevice = nullptr;
    QWidget* PanelRecords = nullptr;
    QTableView* ListView = nullptr;
    QToolBar* ToolBarRecords = nullptr;
    QPlainTextEdit* RichEdit = nullptr;
    std::array<QLabel*, StatusPanelCount> status_panels_{};
    QTimer* TimerIniSaveDelay = nullptr;

    std::array<int, RECORD_FIELD_COUNT> field_widths_{};
    int tree_view_width_ = 0;
    int rich_edit_height_ = 0;
    TGeometryWatch resize_watch_;
    TGeometryWatch move_watch_;
    bool shown_ = false;
    int modal_depth_ = 0;
    bool close_requested_ = false;
    bool close_by_signal_ = false;

    std::atomic<bool> status_bar_pending_{false};
    std::atomic<bool> tree_view_pending_{false};
    std::atomic<bool> list_view_pending_{false};

    // The parts, in the order they are created; the settings and the two Qt back-ends
    // outlive them.
    TCurrentSettings Settings;
    std::unique_ptr<TQtLogPane> log_pane_;
    std::unique_ptr<TQtSoundOutput> sound_output_;
    std::unique_ptr<TLog> Log;
    std::unique_ptr<TSQLite> SQLite;
    std::unique_ptr<TSound> Sound;
    std::unique_ptr<TRecord> Record;
    std::unique_ptr<TDevice> Device;
    std::unique_ptr<TRecordListUi> record_list_;
    std::unique_ptr<TDeviceTreeUi> device_tree_;
};

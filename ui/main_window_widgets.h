#pragma once

// The main window's controls, built on the window and named as the window design names them:
// the device tree and the record list side by side over the log pane, the menus, the two tool
// bars and the status bar. The window connects the commands to what they do; here the controls
// are connected only among themselves (a tool button to its menu item).

#include <array>

#include "records/record_types.h"

class QAction;
class QLabel;
class QMainWindow;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QSplitter;
class QTabWidget;
class QTableView;
class QToolBar;
class QTreeView;
class QWidget;
class TRecordFilterBar;

// The menu items and tool buttons, named as the window design names them.
struct TMainActions {
    QAction* MM_File_New = nullptr;
    QAction* MM_File_Open = nullptr;
    QMenu* MM_File_Export = nullptr;
    QAction* MM_File_Export_Csv = nullptr;
    QAction* MM_File_Export_Xlsx = nullptr;
    QAction* MM_File_Export_Pdf = nullptr;
    QAction* MM_File_Print = nullptr;
    QAction* MM_File_Backup = nullptr;
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
    // The active alarms' commands; their tool buttons are on the alarms' tab.
    QAction* MM_Service_Acknowledge = nullptr;
    QAction* MM_Service_AcknowledgeAll = nullptr;
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

struct TMainWindowWidgets {
    static constexpr int StatusPanelCount = 4;

    // Builds the controls on `window`, its caption left to the window.
    explicit TMainWindowWidgets(QMainWindow& window);

    TMainActions actions;
    QToolBar* ToolBar = nullptr;
    QSplitter* SplitterUpDown = nullptr;
    QSplitter* SplitterLeftRight = nullptr;
    QWidget* PanelDevices = nullptr;
    QTreeView* TreeView = nullptr;
    QToolBar* ToolBarDevices = nullptr;
    QProgressBar* ProgressBarDevices = nullptr;
    QMenu* PopupMenuDevice = nullptr;
    QWidget* PanelRecords = nullptr;
    TRecordFilterBar* FilterBar = nullptr;
    QTableView* ListView = nullptr;
    QToolBar* ToolBarRecords = nullptr;
    QPlainTextEdit* RichEdit = nullptr;
    // The log pane, the active alarms and the audit trail as tabs under the lists, the tabs
    // along their bottom edge.
    QTabWidget* TabsLog = nullptr;
    QTableView* AlarmsView = nullptr;
    QTableView* AuditView = nullptr;
    std::array<QLabel*, StatusPanelCount> status_panels{};
    // The records the list holds and the page shown ("Записей: 120, стр. 1 из 3").
    QLabel* RecordCountPanel = nullptr;
    // The number of unacknowledged alarms, at the bar's right end.
    QLabel* AlarmCountPanel = nullptr;

private:
    void BuildControls(QMainWindow& window);
    void BuildMenus(QMainWindow& window);
    void BuildToolBars(QMainWindow& window);
    void BuildStatusBar(QMainWindow& window);
};

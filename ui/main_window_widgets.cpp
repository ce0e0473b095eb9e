#include "ui/main_window_widgets.h"

#include <QAction>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <string_view>

#include "records/record_list.h"
#include "ui/record_filter_bar.h"
#include "ui/settings/settings_file.h"

// Resources of a static library are registered by hand, outside any namespace.
static void InitIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace {

constexpr std::array<int, TMainWindowWidgets::StatusPanelCount> StatusPanelWidths = {50, 60, 70,
                                                                                     50};
constexpr int MinPanelWidth = 100;
constexpr int MinPaneHeight = 50;
constexpr int SplitterWidth = 5;

QIcon Icon(const char* name) {
    return QIcon(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name)));
}

QFont FixedFont() {
    return QFontDatabase::systemFont(QFontDatabase::FixedFont);
}

// A read-only table of whole rows, as the log pane's tabs show them.
QTableView* RowTable(const char* name) {
    auto* table = new QTableView;
    table->setObjectName(QLatin1String(name));
    table->setFont(FixedFont());
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->setVisible(false);
    // One line a row, as the record list: the short pane shows as many rows as it can.
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 4);
    return table;
}

} // namespace

TMainWindowWidgets::TMainWindowWidgets(QMainWindow& window) {
    InitIconResources();
    window.setWindowIcon(Icon("ktev"));
    BuildControls(window);
    BuildMenus(window);
    BuildToolBars(window);
    BuildStatusBar(window);
}

void TMainWindowWidgets::BuildControls(QMainWindow& window) {
    auto* panel = new QWidget(&window);
    panel->setObjectName(QStringLiteral("Panel"));
    auto* panel_layout = new QVBoxLayout(panel);
    panel_layout->setContentsMargins(0, 0, 0, 0);
    window.setCentralWidget(panel);

    SplitterUpDown = new QSplitter(Qt::Vertical, panel);
    SplitterUpDown->setObjectName(QStringLiteral("SplitterUpDown"));
    SplitterUpDown->setHandleWidth(SplitterWidth);
    SplitterUpDown->setChildrenCollapsible(false);
    panel_layout->addWidget(SplitterUpDown);

    SplitterLeftRight = new QSplitter(Qt::Horizontal);
    SplitterLeftRight->setObjectName(QStringLiteral("SplitterLeftRight"));
    SplitterLeftRight->setHandleWidth(SplitterWidth);
    SplitterLeftRight->setChildrenCollapsible(false);
    SplitterLeftRight->setMinimumHeight(MinPaneHeight);

    PanelDevices = new QWidget;
    PanelDevices->setObjectName(QStringLiteral("PanelDevices"));
    auto* devices_layout = new QVBoxLayout(PanelDevices);
    devices_layout->setContentsMargins(0, 0, 0, 0);
    devices_layout->setSpacing(0);
    TreeView = new QTreeView;
    TreeView->setObjectName(QStringLiteral("TreeView"));
    TreeView->setMinimumWidth(MinPanelWidth);
    TreeView->setFont(FixedFont());
    TreeView->setHeaderHidden(true);
    TreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView->setSelectionBehavior(QAbstractItemView::SelectRows);
    TreeView->setContextMenuPolicy(Qt::CustomContextMenu);
    devices_layout->addWidget(TreeView);
    ToolBarDevices = new QToolBar;
    ToolBarDevices->setObjectName(QStringLiteral("ToolBarDevices"));
    ToolBarDevices->setIconSize(QSize(16, 16));
    ProgressBarDevices = new QProgressBar;
    ProgressBarDevices->setObjectName(QStringLiteral("ProgressBarDevices"));
    ToolBarDevices->addWidget(ProgressBarDevices)->setVisible(false);
    devices_layout->addWidget(ToolBarDevices);
    PopupMenuDevice = new QMenu(&window);
    PopupMenuDevice->setObjectName(QStringLiteral("PopupMenuDevice"));

    PanelRecords = new QWidget;
    PanelRecords->setObjectName(QStringLiteral("PanelRecords"));
    PanelRecords->setMinimumWidth(MinPanelWidth);
    auto* records_layout = new QVBoxLayout(PanelRecords);
    records_layout->setContentsMargins(0, 0, 0, 0);
    records_layout->setSpacing(0);
    FilterBar = new TRecordFilterBar;
    records_layout->addWidget(FilterBar);
    ListView = new QTableView;
    ListView->setObjectName(QStringLiteral("ListView"));
    ListView->setFont(FixedFont());
    ListView->setShowGrid(true);
    ListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView->setContextMenuPolicy(Qt::CustomContextMenu);
    ListView->verticalHeader()->setVisible(false);
    ListView->horizontalHeader()->setStretchLastSection(true);
    records_layout->addWidget(ListView);
    ToolBarRecords = new QToolBar;
    ToolBarRecords->setObjectName(QStringLiteral("ToolBarRecords"));
    ToolBarRecords->setIconSize(QSize(16, 16));
    records_layout->addWidget(ToolBarRecords);

    SplitterLeftRight->addWidget(PanelDevices);
    SplitterLeftRight->addWidget(PanelRecords);
    // The tree keeps its width; the record list takes whatever the window gains or loses.
    SplitterLeftRight->setStretchFactor(0, 0);
    SplitterLeftRight->setStretchFactor(1, 1);

    RichEdit = new QPlainTextEdit;
    RichEdit->setObjectName(QStringLiteral("RichEdit"));
    RichEdit->setReadOnly(true);
    RichEdit->setFont(FixedFont());
    RichEdit->setMinimumHeight(MinPaneHeight);
    RichEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RichEdit->setUndoRedoEnabled(false);

    AlarmsView = RowTable("AlarmsView");
    AuditView = RowTable("AuditView");
    TabsLog = new QTabWidget;
    TabsLog->setObjectName(QStringLiteral("TabsLog"));
    // Along the bottom edge the tabs' captions read in full; on a side edge they were cut to
    // a letter at the pane's usual height.
    TabsLog->setTabPosition(QTabWidget::South);
    TabsLog->setDocumentMode(true);
    TabsLog->setMinimumHeight(MinPaneHeight);
    TabsLog->addTab(RichEdit, QStringLiteral("Журнал программы"));
    TabsLog->addTab(AlarmsView, QStringLiteral("Активные тревоги"));
    TabsLog->addTab(AuditView, QStringLiteral("Журнал действий"));

    SplitterUpDown->addWidget(SplitterLeftRight);
    SplitterUpDown->addWidget(TabsLog);
    SplitterUpDown->setStretchFactor(0, 1);
    SplitterUpDown->setStretchFactor(1, 0);
    SplitterLeftRight->setSizes({TWindowOptions{}.tree_view_width, 1});
    SplitterUpDown->setSizes({1, TWindowOptions{}.rich_edit_height});
}

void TMainWindowWidgets::BuildMenus(QMainWindow& window) {
    TMainActions& a = actions;
    QMenu* file = window.menuBar()->addMenu(QStringLiteral("Файл"));
    a.MM_File_New = file->addAction(Icon("new"), QStringLiteral("Новый"));
    a.MM_File_New->setToolTip(QStringLiteral("Создать новый файл записей"));
    a.MM_File_Open = file->addAction(Icon("open"), QStringLiteral("Открыть..."));
    a.MM_File_Open->setToolTip(QStringLiteral("Открыть существующий файл записей"));
    file->addSeparator();
    a.MM_File_Export = file->addMenu(QStringLiteral("Экспорт"));
    a.MM_File_Export->setToolTip(QStringLiteral("Записи текущего фильтра в файл"));
    a.MM_File_Export_Csv = a.MM_File_Export->addAction(QStringLiteral("CSV"));
    a.MM_File_Export_Xlsx = a.MM_File_Export->addAction(QStringLiteral("Таблица Excel (XLSX)"));
    a.MM_File_Export_Pdf = a.MM_File_Export->addAction(QStringLiteral("PDF"));
    a.MM_File_Print = file->addAction(QStringLiteral("Печать..."));
    a.MM_File_Backup = file->addAction(QStringLiteral("Резервная копия базы..."));
    file->addSeparator();
    a.MM_File_Exit = file->addAction(Icon("exit"), QStringLiteral("Выход"));

    QMenu* view = window.menuBar()->addMenu(QStringLiteral("Вид"));
    a.MM_View_UpdateRecords = view->addAction(Icon("refresh"), QStringLiteral("Обновить записи"));
    a.MM_View_UpdateRecords->setShortcut(Qt::Key_F5);
    a.MM_View_UpdateDevices =
        view->addAction(Icon("refresh_devices"), QStringLiteral("Обновить устройства"));
    a.MM_View_UpdateDevices->setShortcut(Qt::Key_F6);
    view->addSeparator();
    const auto toggle = [view](const char* icon, const char* text, const char* hint) {
        QAction* action = view->addAction(Icon(icon), QString::fromUtf8(text));
        action->setToolTip(QString::fromUtf8(hint));
        action->setCheckable(true);
        action->setChecked(true);
        return action;
    };
    a.MM_View_ToolButtons = toggle("toolbar", "Панель кнопок", "Скрыть/Показать панель кнопок");
    a.MM_View_TreeDevices = toggle("tree", "Дерево устройств", "Скрыть/Показать дерево устройств");
    a.MM_View_LogApplication = toggle("log", "Лог программы", "Скрыть/Показать лог программы");
    view->addSeparator();
    a.MM_View_Fields = view->addMenu(QStringLiteral("Поля записей"));
    // The record list connects its field toggling to these items.
    for (std::size_t i = 0; i < a.MM_View_Fields_Items.size(); ++i) {
        const std::string_view caption = RECORD_FIELD_MENU_CAPTIONS[i];
        QAction* item = a.MM_View_Fields->addAction(
            QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())));
        item->setCheckable(true);
        item->setChecked(true);
        a.MM_View_Fields_Items[i] = item;
    }

    QMenu* service = window.menuBar()->addMenu(QStringLiteral("Сервис"));
    a.MM_Service_Stop = service->addAction(Icon("stop"), QStringLiteral("Остановка"));
    a.MM_Service_Start = service->addAction(Icon("start"), QStringLiteral("Запуск"));
    service->addSeparator();
    a.MM_Service_SoundOff = service->addAction(Icon("sound_off"), QStringLiteral("Отбой звука"));
    a.MM_Service_SoundOff->setToolTip(QStringLiteral("Отбой звука"));
    a.MM_Service_SoundOff->setShortcut(Qt::Key_F10);
    a.MM_Service_Acknowledge =
        service->addAction(Icon("acknowledge"), QStringLiteral("Квитировать"));
    a.MM_Service_Acknowledge->setToolTip(QStringLiteral("Квитировать выбранные тревоги"));
    a.MM_Service_Acknowledge->setShortcut(Qt::Key_F9);
    a.MM_Service_AcknowledgeAll =
        service->addAction(Icon("acknowledge_all"), QStringLiteral("Квитировать все"));
    a.MM_Service_AcknowledgeAll->setToolTip(QStringLiteral("Квитировать все тревоги"));
    a.MM_Service_AcknowledgeAll->setShortcut(Qt::SHIFT | Qt::Key_F9);
    service->addSeparator();
    a.MM_Service_Setup = service->addAction(Icon("settings"), QStringLiteral("Настройки"));
    a.MM_Service_Setup->setToolTip(QStringLiteral("Настройки"));
    a.MM_Service_Setup->setShortcut(Qt::Key_F12);

    QMenu* help = window.menuBar()->addMenu(QStringLiteral("Помощь"));
    a.MM_Help_Manual = help->addAction(QStringLiteral("Руководство по использованию"));
    a.MM_Help_CheckUpdate = help->addAction(QStringLiteral("Проверить обновление"));
    help->addSeparator();
    a.MM_Help_About = help->addAction(QStringLiteral("О программе"));
    for (QAction* item : {a.MM_Help_Manual, a.MM_Help_CheckUpdate}) {
        item->setEnabled(false);
    }
}

void TMainWindowWidgets::BuildToolBars(QMainWindow& window) {
    TMainActions& a = actions;
    ToolBar = window.addToolBar(QStringLiteral("ToolBar"));
    ToolBar->setObjectName(QStringLiteral("ToolBar"));
    ToolBar->setIconSize(QSize(24, 24));
    ToolBar->setMovable(false);
    ToolBar->setFloatable(false);
    ToolBar->addAction(a.MM_File_New);
    ToolBar->addAction(a.MM_File_Open);
    ToolBar->addSeparator();
    ToolBar->addAction(a.MM_View_ToolButtons);
    ToolBar->addAction(a.MM_View_TreeDevices);
    ToolBar->addAction(a.MM_View_LogApplication);
    ToolBar->addSeparator();
    // Buttons of their own, so that hiding them leaves the menu items alone.
    a.ToolButton_Service_Stop = ToolBar->addAction(Icon("stop"), QStringLiteral("Остановка"));
    QObject::connect(a.ToolButton_Service_Stop, &QAction::triggered, a.MM_Service_Stop,
                     &QAction::trigger);
    a.ToolButton_Service_Start = ToolBar->addAction(Icon("start"), QStringLiteral("Запуск"));
    QObject::connect(a.ToolButton_Service_Start, &QAction::triggered, a.MM_Service_Start,
                     &QAction::trigger);
    a.ToolButton_Service_Separator = ToolBar->addSeparator();
    for (QAction* hidden :
         {a.ToolButton_Service_Stop, a.ToolButton_Service_Start, a.ToolButton_Service_Separator}) {
        hidden->setVisible(false);
    }
    ToolBar->addAction(a.MM_Service_SoundOff);
    ToolBar->widgetForAction(a.MM_Service_SoundOff)
        ->setObjectName(QStringLiteral("ToolButton_Service_SoundOff"));
    ToolBar->addSeparator();
    ToolBar->addAction(a.MM_Service_Setup);

    a.ToolButtonFirstRecord =
        ToolBarRecords->addAction(Icon("first"), QStringLiteral("Первая запись"));
    a.ToolButtonPriorPage =
        ToolBarRecords->addAction(Icon("prior"), QStringLiteral("Предыдущая страница"));
    ToolBarRecords->addSeparator();
    a.ToolButtonNextPage =
        ToolBarRecords->addAction(Icon("next"), QStringLiteral("Следующая страница"));
    a.ToolButtonLastRecord =
        ToolBarRecords->addAction(Icon("last"), QStringLiteral("Последняя запись"));
    ToolBarRecords->addSeparator();
    a.ToolButtonSoundOff =
        ToolBarRecords->addAction(Icon("sound_off"), QStringLiteral("Отбой звука"));
    QObject::connect(a.ToolButtonSoundOff, &QAction::triggered, a.MM_Service_SoundOff,
                     &QAction::trigger);
    // Beside "Отбой звука", named: the alarms' tab under them keeps its height for rows.
    ToolBarRecords->addSeparator();
    for (QAction* action : {a.MM_Service_Acknowledge, a.MM_Service_AcknowledgeAll}) {
        ToolBarRecords->addAction(action);
        static_cast<QToolButton*>(ToolBarRecords->widgetForAction(action))
            ->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    }
}

void TMainWindowWidgets::BuildStatusBar(QMainWindow& window) {
    for (std::size_t i = 0; i < status_panels.size(); ++i) {
        auto* label = new QLabel(&window);
        label->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setMinimumWidth(StatusPanelWidths[i]);
        // The last panel takes the rest of the bar, so a long state text is not cut.
        window.statusBar()->addWidget(label, i + 1 == status_panels.size() ? 1 : 0);
        status_panels[i] = label;
    }
    RecordCountPanel = new QLabel(&window);
    RecordCountPanel->setObjectName(QStringLiteral("RecordCountPanel"));
    RecordCountPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    window.statusBar()->addPermanentWidget(RecordCountPanel);
    AlarmCountPanel = new QLabel(&window);
    AlarmCountPanel->setObjectName(QStringLiteral("AlarmCountPanel"));
    AlarmCountPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    window.statusBar()->addPermanentWidget(AlarmCountPanel);
    // Nothing has been started or stopped yet: the service is stopped.
    status_panels[0]->setText(QStringLiteral("Stop"));
}

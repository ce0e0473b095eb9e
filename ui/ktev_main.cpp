#include "ui/ktev_main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

#include "audio/sound.h"
#include "buslink/kordeya32.h"
#include "database/sqlite.h"
#include "device/device.h"
#include "log/log.h"
#include "records/record.h"
#include "records/record_list.h"
#include "ui/app_control_qt.h"
#include "ui/device_tree_view.h"
#include "ui/ktev_setup.h"
#include "ui/log_pane_qt.h"
#include "ui/record_list_style.h"
#include "ui/record_list_view.h"
#include "ui/settings/settings_file.h"
#include "ui/sound_output.h"
#include "ui/timer_qt.h"

// Resources of a static library are registered by hand, outside any namespace.
static void InitIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace {

constexpr std::array<int, TF_Main::StatusPanelCount> StatusPanelWidths = {50, 60, 70, 50};
constexpr int MinPanelWidth = 100;
constexpr int MinPaneHeight = 50;
constexpr int SplitterWidth = 5;
// A window larger than this is never meant; a damaged settings file must not make the
// window ask for gigabytes of backing store.
constexpr int MaxWindowExtent = 8192;
constexpr int MaxWindowOffset = 32767;

QIcon Icon(const char* name) {
    return QIcon(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name)));
}

QString DirOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return QStringLiteral(".");
    }
    return QString::fromStdString(slash == 0 ? std::string("/") : path.substr(0, slash));
}

bool QtChooseFile(QWidget* parent, const TFileChoice& choice, QString& chosen) {
    QFileDialog dialog(parent, choice.title, choice.dir);
    dialog.setAcceptMode(choice.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(choice.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    // Choosing an existing file in the save dialog opens it; nothing is overwritten.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setDefaultSuffix(QStringLiteral("db"));
    dialog.setNameFilters({QStringLiteral("SQLite файлы (*.db)"), QStringLiteral("Все файлы (*)")});
    if (!choice.file.isEmpty()) {
        dialog.selectFile(choice.file);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return false;
    }
    chosen = dialog.selectedFiles().constFirst();
    return true;
}

QFont FixedFont() {
    return QFontDatabase::systemFont(QFontDatabase::FixedFont);
}

} // namespace

QString TF_Main::Caption() {
    return QStringLiteral("\"Кордея-ТЛ\" Tev");
}

TF_Main::TF_Main(TKordeya32& port, TF_MainOptions options, QWidget* parent)
    : QMainWindow(parent), port_(port), program_path_(std::move(options.program_path)),
      program_dir_(DirOf(program_path_).toStdString()),
      choose_file_(std::move(options.choose_file)), app_(options.app),
      db_retry_ms_(options.db_retry_ms) {
    InitIconResources();
    setWindowTitle(Caption());
    setWindowIcon(Icon("ktev"));
    if (app_ == nullptr) {
        own_app_ = std::make_unique<TQtAppControl>(this, Caption());
        app_ = own_app_.get();
    }
    // The tool bar's visibility is the View menu's: no context menu that could hide it.
    setContextMenuPolicy(Qt::PreventContextMenu);
    TComp32::SetPortsDir(program_dir_ + "/ports");
    field_widths_.fill(TFieldOptions{}.width);
    tree_view_width_ = TWindowOptions{}.tree_view_width;
    rich_edit_height_ = TWindowOptions{}.rich_edit_height;

    BuildControls();
    BuildMenus();
    BuildToolBars();
    BuildStatusBar();
    TimerIniSaveDelay = new QTimer(this);
    TimerIniSaveDelay->setSingleShot(true);
    TimerIniSaveDelay->setInterval(IniSaveDelayMs);
    connect(TimerIniSaveDelay, &QTimer::timeout, this, &TF_Main::TimerIniSaveDelayTimer);

    CreateParts();
    TLog::Add(Log.get(), "----- Запуск приложения -----", LOG_TYPE_INFO);
}

TF_Main::~TF_Main() {
    DestroyParts();
}

void TF_Main::CreateParts() {
    log_pane_ = std::make_unique<TQtLogPane>(RichEdit);
    Log = std::make_unique<TLog>(log_pane_.get(), std::make_unique<TQtTimer>(),
                                 program_path_ + ".log");
    sound_output_ = std::make_unique<TQtSoundOutput>(Log.get());
    // The event-record object keeps references to the database and the sound player, so
    // those two come first; neither opens anything when created.
    SQLite = std::make_unique<TSQLite>(Log.get(), Settings);
    Sound = std::make_unique<TSound>(Log.get(), &Settings, sound_output_.get());
    TRecordLinks links;
    links.log = Log.get();
    links.app = app_;
    links.catalogue_dir = program_dir_;
    links.sqlite = SQLite.get();
    links.sound = Sound.get();
    Record = std::make_unique<TRecord>(links);
    Device = std::make_unique<TDevice>(Log.get(), *Record, *SQLite, *this, port_, Settings,
                                       db_retry_ms_);
    CreateViews();
}

void TF_Main::CreateViews() {
    TRecordListControls list;
    list.view = ListView;
    list.page_buttons = {actions_.ToolButtonFirstRecord, actions_.ToolButtonPriorPage,
                         actions_.ToolButtonNextPage, actions_.ToolButtonLastRecord};
    list.field_items = actions_.MM_View_Fields_Items;
    list.field_width = [this](int field) { return GetFieldWidth(field); };
    list.set_field_width = [this](int field, int width) {
        field_widths_[static_cast<std::size_t>(field)] = width;
    };
    record_list_ = std::make_unique<TRecordListUi>(list, Log.get(), *Record, *SQLite, Settings);
    record_list_->on_layout_changed = [this] { TimerIniSaveDelayStart(); };
    connect(this, &TF_Main::ListViewUpdateRequested, record_list_.get(),
            &TRecordListUi::ListViewUpdate);
    connect(this, &TF_Main::RecordListTimerRequested, record_list_.get(),
            &TRecordListUi::RecordListSetTimer);
    device_tree_ = std::make_unique<TDeviceTreeUi>(TreeView, PopupMenuDevice, Log.get(), *Device,
                                                   *Record, *app_);
    connect(this, &TF_Main::TreeViewUpdateRequested, device_tree_.get(),
            &TDeviceTreeUi::TreeViewUpdate);
}

void TF_Main::DestroyParts() {
    // The tree's thread and nodes read the device table; the device service still switches the
    // record list off as it stops, and the list's loads end before the database goes.
    device_tree_.reset();
    Device.reset();
    record_list_.reset();
    Sound.reset();
    // Its queued calls die with it; the log it reports to is still there.
    sound_output_.reset();
    SQLite.reset();
    Record.reset();
    // The last flush writes every line still waiting, the destructors' own included.
    Log.reset();
}

bool TF_Main::IsTerminated() const {
    return own_app_ != nullptr && own_app_->IsTerminated();
}

void TF_Main::BuildControls() {
    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("Panel"));
    auto* panel_layout = new QVBoxLayout(panel);
    panel_layout->setContentsMargins(0, 0, 0, 0);
    setCentralWidget(panel);

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
    PopupMenuDevice = new QMenu(this);
    PopupMenuDevice->setObjectName(QStringLiteral("PopupMenuDevice"));

    PanelRecords = new QWidget;
    PanelRecords->setObjectName(QStringLiteral("PanelRecords"));
    PanelRecords->setMinimumWidth(MinPanelWidth);
    auto* records_layout = new QVBoxLayout(PanelRecords);
    records_layout->setContentsMargins(0, 0, 0, 0);
    records_layout->setSpacing(0);
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

    SplitterUpDown->addWidget(SplitterLeftRight);
    SplitterUpDown->addWidget(RichEdit);
    SplitterUpDown->setStretchFactor(0, 1);
    SplitterUpDown->setStretchFactor(1, 0);
    SplitterLeftRight->setSizes({tree_view_width_, 1});
    SplitterUpDown->setSizes({1, rich_edit_height_});
}

void TF_Main::BuildMenus() {
    TMainActions& a = actions_;
    QMenu* file = menuBar()->addMenu(QStringLiteral("Файл"));
    a.MM_File_New = file->addAction(Icon("new"), QStringLiteral("Новый"));
    a.MM_File_New->setToolTip(QStringLiteral("Создать новый файл записей"));
    connect(a.MM_File_New, &QAction::triggered, this, &TF_Main::MM_File_NewClick);
    a.MM_File_Open = file->addAction(Icon("open"), QStringLiteral("Открыть..."));
    a.MM_File_Open->setToolTip(QStringLiteral("Открыть существующий файл записей"));
    connect(a.MM_File_Open, &QAction::triggered, this, &TF_Main::MM_File_OpenClick);
    file->addSeparator();
    a.MM_File_Export = file->addMenu(QStringLiteral("Экспорт"));
    a.MM_File_Export_Text = a.MM_File_Export->addAction(QStringLiteral("Текстовой файл"));
    a.MM_File_Export_Excel = a.MM_File_Export->addAction(QStringLiteral("Таблица Excel"));
    a.MM_File_Export_Text->setEnabled(false);
    a.MM_File_Export_Excel->setEnabled(false);
    // The menu itself, so that re-enabling the window does not enable it again.
    a.MM_File_Export->setEnabled(false);
    file->addSeparator();
    a.MM_File_Exit = file->addAction(Icon("exit"), QStringLiteral("Выход"));
    connect(a.MM_File_Exit, &QAction::triggered, this, &QWidget::close);

    QMenu* view = menuBar()->addMenu(QStringLiteral("Вид"));
    a.MM_View_UpdateRecords = view->addAction(Icon("refresh"), QStringLiteral("Обновить записи"));
    a.MM_View_UpdateRecords->setShortcut(Qt::Key_F5);
    connect(a.MM_View_UpdateRecords, &QAction::triggered, this, &TF_Main::ListViewUpdate);
    a.MM_View_UpdateDevices =
        view->addAction(Icon("refresh_devices"), QStringLiteral("Обновить устройства"));
    a.MM_View_UpdateDevices->setShortcut(Qt::Key_F6);
    connect(a.MM_View_UpdateDevices, &QAction::triggered, this, &TF_Main::TreeViewUpdate);
    view->addSeparator();
    const auto toggle = [this, view](const char* icon, const char* text, const char* hint) {
        QAction* action = view->addAction(Icon(icon), QString::fromUtf8(text));
        action->setToolTip(QString::fromUtf8(hint));
        action->setCheckable(true);
        action->setChecked(true);
        connect(action, &QAction::triggered, this, [this] { ShowPanelsUpdate(true); });
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

    QMenu* service = menuBar()->addMenu(QStringLiteral("Сервис"));
    a.MM_Service_Stop = service->addAction(Icon("stop"), QStringLiteral("Остановка"));
    connect(a.MM_Service_Stop, &QAction::triggered, this, [this] {
        if (Device) {
            Device->SetService(false);
        }
    });
    a.MM_Service_Start = service->addAction(Icon("start"), QStringLiteral("Запуск"));
    connect(a.MM_Service_Start, &QAction::triggered, this, [this] {
        if (Device) {
            Device->SetService(true);
        }
    });
    service->addSeparator();
    a.MM_Service_SoundOff = service->addAction(Icon("sound_off"), QStringLiteral("Отбой звука"));
    a.MM_Service_SoundOff->setToolTip(QStringLiteral("Отбой звука"));
    a.MM_Service_SoundOff->setShortcut(Qt::Key_F10);
    connect(a.MM_Service_SoundOff, &QAction::triggered, this,
            [this] { TSound::SetSound(Sound.get(), SOUND_OFF); });
    service->addSeparator();
    a.MM_Service_Setup = service->addAction(Icon("settings"), QStringLiteral("Настройки"));
    a.MM_Service_Setup->setToolTip(QStringLiteral("Настройки"));
    a.MM_Service_Setup->setShortcut(Qt::Key_F12);
    connect(a.MM_Service_Setup, &QAction::triggered, this, &TF_Main::MM_Service_SetupClick);

    QMenu* help = menuBar()->addMenu(QStringLiteral("Помощь"));
    a.MM_Help_Manual = help->addAction(QStringLiteral("Руководство по использованию"));
    a.MM_Help_CheckUpdate = help->addAction(QStringLiteral("Проверить обновление"));
    help->addSeparator();
    a.MM_Help_About = help->addAction(QStringLiteral("О программе"));
    for (QAction* item : {a.MM_Help_Manual, a.MM_Help_CheckUpdate, a.MM_Help_About}) {
        item->setEnabled(false);
    }
}

void TF_Main::BuildToolBars() {
    TMainActions& a = actions_;
    ToolBar = addToolBar(QStringLiteral("ToolBar"));
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
    connect(a.ToolButton_Service_Stop, &QAction::triggered, a.MM_Service_Stop, &QAction::trigger);
    a.ToolButton_Service_Start = ToolBar->addAction(Icon("start"), QStringLiteral("Запуск"));
    connect(a.ToolButton_Service_Start, &QAction::triggered, a.MM_Service_Start, &QAction::trigger);
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
    connect(a.ToolButtonSoundOff, &QAction::triggered, a.MM_Service_SoundOff, &QAction::trigger);
}

void TF_Main::BuildStatusBar() {
    for (std::size_t i = 0; i < status_panels_.size(); ++i) {
        auto* label = new QLabel(this);
        label->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setMinimumWidth(StatusPanelWidths[i]);
        // The last panel takes the rest of the bar, so a long state text is not cut.
        statusBar()->addWidget(label, i + 1 == status_panels_.size() ? 1 : 0);
        status_panels_[i] = label;
    }
    // Nothing has been started or stopped yet: the service is stopped.
    status_panels_[0]->setText(QStringLiteral("Stop"));
}

QString TF_Main::StatusBarText(int panel) const {
    return panel >= 0 && panel < StatusPanelCount
               ? status_panels_[static_cast<std::size_t>(panel)]->text()
               : QString();
}

int TF_Main::GetFieldWidth(int field) const {
    return field >= 0 && field < RECORD_FIELD_COUNT ? field_widths_[static_cast<std::size_t>(field)]
                                                    : 0;
}

// --- The device service's requests.

void TF_Main::Post(std::atomic<bool>& pending, void (TF_Main::*now)()) {
    // One queued call at a time: requests made before it runs are carried out by it.
    if (!pending.exchange(true)) {
        QMetaObject::invokeMethod(
            this,
            [this, &pending, now] {
                pending = false;
                (this->*now)();
            },
            Qt::QueuedConnection);
    }
}

void TF_Main::StatusBarUpdate() {
    Post(status_bar_pending_, &TF_Main::StatusBarUpdateNow);
}

void TF_Main::TreeViewUpdate() {
    Post(tree_view_pending_, &TF_Main::TreeViewUpdateNow);
}

void TF_Main::ListViewUpdate() {
    Post(list_view_pending_, &TF_Main::ListViewUpdateNow);
}

void TF_Main::TreeViewUpdateNow() {
    // The device tree rebuilds itself on this signal; until it is plugged in, nothing listens.
    emit TreeViewUpdateRequested();
}

void TF_Main::ListViewUpdateNow() {
    // The same hand-over for the record list.
    emit ListViewUpdateRequested();
}

void TF_Main::RecordListSetTimer(bool on) {
    // The bus thread switches the list on when the database it waited for opens, and a stop
    // that follows must still come last: every request takes the queue, in the order made.
    QMetaObject::invokeMethod(
        this, [this, on] { emit RecordListTimerRequested(on); }, Qt::QueuedConnection);
}

void TF_Main::FileNew() {
    MM_File_NewClick();
}

void TF_Main::StatusBarUpdateNow() {
    if (!Device) {
        return;
    }
    TLog::Add(Log.get(), "TF_Main::StatusBarUpdate", LOG_TYPE_DEBUG);
    // Every start and stop of the service ends here, and a start may have opened another file.
    TitleUpdate();
    // Stopped, the tree shows only what was heard last.
    device_tree_->SetStale(!Device->IsRunning());
    if (Device->IsRunning()) {
        status_panels_[0]->setText(QStringLiteral("RUN"));
        // The port the service holds or waits for, and who switches its line.
        status_panels_[1]->setText(QString::fromStdString(Device->GetPortText()));
        status_panels_[2]->setText(QStringLiteral("Online: %1").arg(Device->GetOnlineCount()));
        // The summary state is stale while the port is not open or nothing is heard, and the
        // table takes a change in only once it is stored: the reason stands in its place.
        std::string state = Device->GetPortProblemText();
        if (state.empty() && Device->IsLineSilent()) {
            state = TDevice::LINE_SILENT_TEXT;
        }
        if (state.empty() && Device->IsWaitingForDatabase()) {
            state = TDevice::NOT_STORED_TEXT;
        }
        TMessageStyle style;
        if (!state.empty()) {
            Record->GetStyle("Fault", style);
        } else {
            state = Device->GetMaxStateText(&style);
        }
        ShowStatusState(QString::fromStdString(state), style);
    } else {
        status_panels_[0]->setText(QStringLiteral("Stop"));
        for (std::size_t i = 1; i < status_panels_.size(); ++i) {
            status_panels_[i]->clear();
        }
        ShowStatusState(QString(), TMessageStyle{});
    }
}

void TF_Main::ShowStatusState(const QString& text, const TMessageStyle& style) {
    QLabel* panel = status_panels_[3];
    panel->setText(text);
    QPalette palette = statusBar()->palette();
    if (style != TMessageStyle{}) {
        palette.setColor(QPalette::Window, StyleColor(style.bg_color));
        palette.setColor(QPalette::WindowText, StyleColor(style.font_color));
    }
    panel->setAutoFillBackground(style != TMessageStyle{});
    panel->setPalette(palette);
    QFont font = statusBar()->font();
    font.setBold(style.is_bold);
    font.setItalic(style.is_italic);
    panel->setFont(font);
}

void TF_Main::TitleUpdate() {
    std::string file = SQLite ? SQLite->GetPath() : std::string();
    if (file.empty()) {
        file = Settings.GetDBFile();
    }
    setWindowTitle(file.empty()
                       ? Caption()
                       : QStringLiteral("%1 - %2").arg(Caption(), QString::fromStdString(file)));
}

// --- Start-up and shutdown.

void TF_Main::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TF_Main::FormShow() {
    if (!Log) {
        return;
    }
    Log->SetTimer(true);
    TimerIniSaveDelay->stop();
    IniLoad();
    // Queued, so the window is on screen before a start that may ask for a file, and a
    // start-up told to end is over before the service would start.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (Device && Settings.GetIsAutoRun()) {
                Device->SetService(true);
            }
        },
        Qt::QueuedConnection);
}

void TF_Main::closeEvent(QCloseEvent* event) {
    if (modal_depth_ > 0) {
        // A dialog runs inside a handler that is still under way (a service start may be
        // waiting for a file choice): end the dialog first, close once the handler is done.
        close_requested_ = true;
        if (QWidget* modal = QApplication::activeModalWidget()) {
            modal->close();
        }
        event->ignore();
        return;
    }
    if (FormClose()) {
        event->accept();
    } else {
        event->ignore();
    }
}

bool TF_Main::FormClose() {
    if (!Device) {
        return true;
    }
    TimerIniSaveDelay->stop();
    Device->SetService(false);
    std::string failure;
    const bool saved = close_by_signal_ ? WriteIni(failure) : IniSave();
    // A signal that came while the box of a failed save showed ends the program all the same.
    if (!saved && !close_by_signal_) {
        return false;
    }
    DestroyParts();
    return true;
}

void TF_Main::CloseBySignal() {
    close_by_signal_ = true;
    close();
}

bool TF_Main::RunModal(const std::function<void()>& step) {
    ++modal_depth_;
    step();
    --modal_depth_;
    if (!close_requested_) {
        return false;
    }
    if (modal_depth_ > 0) {
        // The dialog below this one ends next.
        if (QWidget* modal = QApplication::activeModalWidget()) {
            modal->close();
        }
    } else {
        close_requested_ = false;
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    }
    return true;
}

// --- File and service commands.

bool TF_Main::ChooseFile(const TFileChoice& choice, QString& chosen) {
    bool chose = false;
    RunModal([&] {
        chose = choose_file_ ? choose_file_(choice, chosen) : QtChooseFile(this, choice, chosen);
    });
    return chose;
}

void TF_Main::ChooseDBFile(bool save) {
    TFileChoice choice;
    choice.save = save;
    choice.title = save ? QStringLiteral("Создать новый или открыть существующий файл")
                        : QStringLiteral("Открыть");
    choice.dir = QString::fromStdString(program_dir_);
    choice.file = QString::fromStdString(Settings.GetDBFile());
    QString chosen;
    if (!ChooseFile(choice, chosen)) {
        TLog::Add(Log.get(), save ? "Файл не задан" : "Файл не выбран", LOG_TYPE_ERROR);
        return;
    }
    if (setup_ != nullptr) {
        setup_->SetDBFile(chosen);
    } else {
        Settings.SetDBFile(chosen.toStdString());
    }
    TLog::Add(Log.get(), (save ? "Файл: " : "Выбран файл: ") + chosen.toStdString(), LOG_TYPE_INFO);
    TitleUpdate();
}

void TF_Main::MM_File_NewClick() {
    TLog::Add(Log.get(), "Создание нового файла", LOG_TYPE_INFO);
    ChooseDBFile(true);
}

void TF_Main::MM_File_OpenClick() {
    TLog::Add(Log.get(), "Выбор файла", LOG_TYPE_INFO);
    ChooseDBFile(false);
}

void TF_Main::MM_Service_SetupClick() {
    if (!Device || setup_ == nullptr) {
        return;
    }
    // The bus is read and alarms are stored and sounded while the operator looks at settings.
    if (RunModal([this] { setup_->exec(); })) {
        return; // the window is closing, and stops the service itself
    }
    if (!Device->IsRunning()) {
        Device->SetService(true);
        return;
    }
    if (Device->StartSettingsChanged()) {
        Device->SetService(false);
        Device->SetService(true);
        return;
    }
    // A restart would have shown the newest page by the records mask and page size just set.
    SQLite->RecountRecordsMaskCount();
    RecordListSetTimer(true);
    ListViewUpdate();
}

void TF_Main::ShowPanelsUpdate(bool save) {
    TLog::Add(Log.get(), "TF_Main::ShowPanelsUpdate", LOG_TYPE_DEBUG);
    if (save) {
        TimerIniSaveDelayStart();
    }
    // A panel keeps its size while hidden and gets it back when shown again.
    tree_view_width_ = TreeViewWidth();
    rich_edit_height_ = RichEditHeight();
    ToolBar->setVisible(actions_.MM_View_ToolButtons->isChecked());
    PanelDevices->setVisible(actions_.MM_View_TreeDevices->isChecked());
    RichEdit->setVisible(actions_.MM_View_LogApplication->isChecked());
    SplitterLeftRight->setSizes({tree_view_width_, 1});
    SplitterUpDown->setSizes({1, rich_edit_height_});
}

int TF_Main::TreeViewWidth() const {
    return PanelDevices->isVisible() ? PanelDevices->width() : tree_view_width_;
}

int TF_Main::RichEditHeight() const {
    return RichEdit->isVisible() ? RichEdit->height() : rich_edit_height_;
}

// --- The settings file.

void TF_Main::IniLoad() {
    TLog::Add(Log.get(), "TF_Main::IniLoad", LOG_TYPE_DEBUG);
    const TProfileFile file(GetIniPath());
    const TSettingsFileValues values = ReadSettingsFile(file, program_dir_ + "/default.db");
    setEnabled(false);
    ApplySettings(values);
    setEnabled(true);
    TitleUpdate();
}

void TF_Main::ApplySettings(const TSettingsFileValues& values) {
    const TWindowOptions& o = values.options;
    move(std::clamp(o.left, -MaxWindowOffset, MaxWindowOffset),
         std::clamp(o.top, -MaxWindowOffset, MaxWindowOffset));
    resize(std::clamp(o.width, 0, MaxWindowExtent), std::clamp(o.height, 0, MaxWindowExtent));
    tree_view_width_ = std::max(o.tree_view_width, 0);
    rich_edit_height_ = std::max(o.rich_edit_height, 0);
    SplitterLeftRight->setSizes({tree_view_width_, 1});
    SplitterUpDown->setSizes({1, rich_edit_height_});

    actions_.MM_View_ToolButtons->setChecked(values.panels.tool_buttons);
    actions_.MM_View_TreeDevices->setChecked(values.panels.tree_devices);
    actions_.MM_View_LogApplication->setChecked(values.panels.log_application);
    ShowPanelsUpdate(false);

    for (std::size_t i = 0; i < values.fields.size(); ++i) {
        field_widths_[i] = values.fields[i].width;
        actions_.MM_View_Fields_Items[i]->setChecked(values.fields[i].checked);
    }
    QAction* message = actions_.MM_View_Fields_Items[RECORD_FIELD_MESSAGE];
    message->setChecked(true);
    message->setEnabled(false);

    if (Log) {
        Log->IsLogDebug = values.setup.is_log_debug;
    }
    if (setup_ != nullptr) {
        setup_->Load(values.setup);
    }
}

TSettingsFileValues TF_Main::CollectSettings() {
    TSettingsFileValues values;
    values.options.top = y();
    values.options.left = x();
    values.options.width = width();
    values.options.height = height();
    values.options.tree_view_width = TreeViewWidth();
    values.options.rich_edit_height = RichEditHeight();

    values.panels.tool_buttons = actions_.MM_View_ToolButtons->isChecked();
    values.panels.tree_devices = actions_.MM_View_TreeDevices->isChecked();
    values.panels.log_application = actions_.MM_View_LogApplication->isChecked();

    const QHeaderView* header = ListView->horizontalHeader();
    int column = 0;
    for (std::size_t i = 0; i < values.fields.size(); ++i) {
        const bool shown = actions_.MM_View_Fields_Items[i]->isChecked();
        if (shown) {
            // A hidden field keeps the width it had when it was last shown or loaded.
            if (column < header->count()) {
                field_widths_[i] = header->sectionSize(column);
            }
            ++column;
        }
        values.fields[i].width = field_widths_[i];
        values.fields[i].checked = shown;
    }
    if (setup_ != nullptr) {
        values.setup = setup_->Collect();
    }
    return values;
}

bool TF_Main::IniSave() {
    std::string failure;
    if (WriteIni(failure)) {
        return true;
    }
    RunModal([&] { app_->ShowErrorBox(failure); });
    return false;
}

bool TF_Main::WriteIni(std::string& failure) {
    TLog::Add(Log.get(), "TF_Main::IniSave", LOG_TYPE_DEBUG);
    TProfileFile file(GetIniPath());
    // The last normal geometry stays in the file while the window is maximised or minimised.
    const bool normal =
        (windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) == 0;
    if (WriteSettingsFile(file, CollectSettings(), normal)) {
        return true;
    }
    failure = "Unable to write to " + GetIniPath();
    TLog::Add(Log.get(), failure, LOG_TYPE_ERROR);
    return false;
}

void TF_Main::TimerIniSaveDelayStart() {
    TLog::Add(Log.get(), "TF_Main::TimerIniSaveDelayStart", LOG_TYPE_DEBUG);
    TimerIniSaveDelay->stop();
    TimerIniSaveDelay->start();
}

void TF_Main::TimerIniSaveDelayTimer() {
    TimerIniSaveDelay->stop();
    IniSave();
}

void TF_Main::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    FormMove();
}

void TF_Main::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TF_Main::FormResize() {
    GeometryChanged(resize_watch_, "TF_Main::FormResize");
}

void TF_Main::FormMove() {
    GeometryChanged(move_watch_, "TF_Main::FormMove");
}

void TF_Main::GeometryChanged(TGeometryWatch& watch, const char* name) {
    if (!isActiveWindow() || !isEnabled()) {
        return;
    }
    const QRect now(x(), y(), width(), height());
    if (now != watch.last) {
        // The first change after start is the window settling, not the operator.
        if (watch.seen) {
            TLog::Add(Log.get(), name, LOG_TYPE_DEBUG);
            TimerIniSaveDelayStart();
        }
        watch.seen = true;
    }
    watch.last = now;
}

#include "ui/ktev_main.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QStatusBar>

#include <algorithm>
#include <vector>

#include "audio/sound.h"
#include "buslink/kordeya32.h"
#include "database/sqlite.h"
#include "device/device.h"
#include "log/log.h"
#include "mqtt/mqtt_gateway.h"
#include "records/audit.h"
#include "records/cell_text.h"
#include "records/record.h"
#include "ui/about_dialog.h"
#include "ui/app_control_qt.h"
#include "ui/device_tree_view.h"
#include "ui/ktev_setup.h"
#include "ui/record_filter_bar.h"
#include "ui/record_list_style.h"
#include "ui/record_list_view.h"

namespace {

bool QtChooseFile(QWidget* parent, const TFileChoice& choice, QString& chosen) {
    QFileDialog dialog(parent, choice.title, choice.dir);
    dialog.setAcceptMode(choice.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(choice.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    // Choosing an existing database in the save dialog opens it; nothing is overwritten.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !choice.replace);
    dialog.setDefaultSuffix(choice.suffix);
    dialog.setNameFilters({choice.filter, QStringLiteral("Все файлы (*)")});
    if (!choice.file.isEmpty()) {
        dialog.selectFile(choice.file);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return false;
    }
    chosen = dialog.selectedFiles().constFirst();
    return true;
}

// The devices of the table for the record filter, by address: "ППКОП-16 «Склад №1» (адрес 1)".
std::vector<TDeviceChoice> DeviceChoices(const TDevice& device) {
    std::vector<std::pair<int, TDeviceChoice>> found;
    for (int i = 0; i < device.GetCount(); ++i) {
        const TDeviceRecord record = device.GetItem(i)->record.Get();
        std::string text = record.const_name[0] != '\0' ? DeviceNameText(record.const_name)
                                                        : DeviceIdText(record.device_id);
        if (record.user_name[0] != '\0') {
            text += " «" + DeviceNameText(record.user_name) + "»";
        }
        text += " (адрес " + std::to_string(record.address) + ")";
        found.push_back({record.address, {record.device_id, QString::fromStdString(text)}});
    }
    std::ranges::stable_sort(found, {}, &std::pair<int, TDeviceChoice>::first);
    std::vector<TDeviceChoice> choices;
    for (auto& [address, choice] : found) {
        choices.push_back(std::move(choice));
    }
    return choices;
}

} // namespace

QString TF_Main::Caption() {
    return QStringLiteral("\"Кордея-ТЛ\" Tev");
}

TF_Main::TF_Main(TKordeya32& port, TF_MainOptions options, QWidget* parent)
    : QMainWindow(parent), port_(port), program_path_(std::move(options.program_path)),
      program_dir_(DirOf(program_path_)), data_dir_(std::move(options.data_dir)),
      choose_file_(std::move(options.choose_file)), ask_comment_(std::move(options.ask_comment)),
      app_(options.app), db_retry_ms_(options.db_retry_ms), widgets_(*this),
      save_delay_(*this, parts_, [this] { IniSave(); }),
      window_settings_(*this, widgets_, parts_, save_delay_) {
    setWindowTitle(Caption());
    if (app_ == nullptr) {
        own_app_ = std::make_unique<TQtAppControl>(this, Caption());
        app_ = own_app_.get();
    }
    // The tool bar's visibility is the View menu's: no context menu that could hide it.
    setContextMenuPolicy(Qt::PreventContextMenu);
    ConnectActions();

    TMainPartsLinks links;
    links.program_path = program_path_;
    links.home = TProgramHome{program_dir_, data_dir_, program_path_};
    links.app = app_;
    links.views = this;
    links.port = &port_;
    links.settings = &Settings;
    links.widgets = &widgets_;
    links.db_retry_ms = db_retry_ms_;
    links.field_width = [this](int field) { return window_settings_.GetFieldWidth(field); };
    links.set_field_width = [this](int field, int width) {
        window_settings_.SetFieldWidth(field, width);
    };
    links.on_list_layout_changed = [this] { save_delay_.Start(); };
    links.ask_comment = [this](QString& comment) { return AskComment(comment); };
    parts_.Create(links);
    connect(this, &TF_Main::ListViewUpdateRequested, parts_.GetRecordList(),
            &TRecordListUi::ListViewUpdate);
    connect(this, &TF_Main::RecordListTimerRequested, parts_.GetRecordList(),
            &TRecordListUi::RecordListSetTimer);
    connect(this, &TF_Main::TreeViewUpdateRequested, parts_.GetDeviceTree(),
            &TDeviceTreeUi::TreeViewUpdate);
    TLog::Add(GetLog(), "----- Запуск приложения -----", LOG_TYPE_INFO);
}

TF_Main::~TF_Main() {
    parts_.Destroy();
}

bool TF_Main::IsTerminated() const {
    return own_app_ != nullptr && own_app_->IsTerminated();
}

void TF_Main::ConnectActions() {
    const TMainActions& a = widgets_.actions;
    connect(a.MM_File_New, &QAction::triggered, this, &TF_Main::MM_File_NewClick);
    connect(a.MM_File_Open, &QAction::triggered, this, &TF_Main::MM_File_OpenClick);
    connect(a.MM_File_Export_Csv, &QAction::triggered, this,
            [this] { MM_File_ExportClick(TExportFormat::Csv); });
    connect(a.MM_File_Export_Xlsx, &QAction::triggered, this,
            [this] { MM_File_ExportClick(TExportFormat::Xlsx); });
    connect(a.MM_File_Export_Pdf, &QAction::triggered, this,
            [this] { MM_File_ExportClick(TExportFormat::Pdf); });
    connect(a.MM_File_Print, &QAction::triggered, this, &TF_Main::MM_File_PrintClick);
    connect(a.MM_File_Backup, &QAction::triggered, this, &TF_Main::MM_File_BackupClick);
    connect(a.MM_File_Exit, &QAction::triggered, this, &QWidget::close);
    connect(a.MM_View_UpdateRecords, &QAction::triggered, this, &TF_Main::ListViewUpdate);
    connect(a.MM_View_UpdateDevices, &QAction::triggered, this, &TF_Main::TreeViewUpdate);
    for (QAction* toggle :
         {a.MM_View_ToolButtons, a.MM_View_TreeDevices, a.MM_View_LogApplication}) {
        connect(toggle, &QAction::triggered, this,
                [this] { window_settings_.ShowPanelsUpdate(true); });
    }
    connect(a.MM_Service_Stop, &QAction::triggered, this, [this] {
        if (TDevice* device = GetDevice()) {
            device->SetService(false);
        }
    });
    connect(a.MM_Service_Start, &QAction::triggered, this, [this] {
        if (TDevice* device = GetDevice()) {
            device->SetService(true);
        }
    });
    connect(a.MM_Service_SoundOff, &QAction::triggered, this, [this] {
        TSound::SetSound(GetSound(), SOUND_OFF);
        AuditAction(audit::SOUND_OFF);
    });
    connect(a.MM_Service_Setup, &QAction::triggered, this, &TF_Main::MM_Service_SetupClick);
    connect(a.MM_Help_About, &QAction::triggered, this, &TF_Main::MM_Help_AboutClick);
}

TAboutFiles TF_Main::AboutFiles() const {
    TAboutFiles files;
    files.settings = QString::fromStdString(GetIniPath());
    files.log = GetLog() != nullptr ? QString::fromStdString(GetLog()->GetPath()) : QString();
    files.database = QString::fromStdString(DatabaseInUse());
    return files;
}

void TF_Main::MM_Help_AboutClick() {
    RunModal([this] {
        TF_About about(AboutFiles(), this);
        about.exec();
    });
}

QString TF_Main::StatusBarText(int panel) const {
    return panel >= 0 && panel < TMainWindowWidgets::StatusPanelCount
               ? widgets_.status_panels[static_cast<std::size_t>(panel)]->text()
               : QString();
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
    if (const TDevice* device = GetDevice()) {
        widgets_.FilterBar->SetDevices(DeviceChoices(*device));
    }
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
    const TDevice* device = GetDevice();
    if (device == nullptr) {
        return;
    }
    TLog::Add(GetLog(), "TF_Main::StatusBarUpdate", LOG_TYPE_DEBUG);
    // Every start and stop of the service ends here, and a start may have opened another file.
    TitleUpdate();
    // Stopped, the tree shows only what was heard last.
    if (TDeviceTreeUi* tree = GetDeviceTree()) {
        tree->SetStale(!device->IsRunning());
    }
    if (device->IsRunning()) {
        widgets_.status_panels[0]->setText(QStringLiteral("RUN"));
        // The port the service holds or waits for, and who switches its line.
        widgets_.status_panels[1]->setText(QString::fromStdString(device->GetPortText()));
        widgets_.status_panels[2]->setText(
            QStringLiteral("Online: %1").arg(device->GetOnlineCount()));
        // The summary state is stale while the port is not open or nothing is heard, and the
        // table takes a change in only once it is stored: the reason stands in its place.
        std::string state = device->GetPortProblemText();
        if (state.empty() && device->IsLineSilent()) {
            state = TDevice::LINE_SILENT_TEXT;
        }
        if (state.empty() && device->IsWaitingForDatabase()) {
            state = TDevice::NOT_STORED_TEXT;
        }
        TMessageStyle style;
        if (!state.empty()) {
            GetRecord()->GetStyle("Fault", style);
        } else {
            state = device->GetMaxStateText(&style);
        }
        ShowStatusState(QString::fromStdString(state), style);
    } else {
        widgets_.status_panels[0]->setText(QStringLiteral("Stop"));
        for (std::size_t i = 1; i < widgets_.status_panels.size(); ++i) {
            widgets_.status_panels[i]->clear();
        }
        ShowStatusState(QString(), TMessageStyle{});
    }
}

void TF_Main::ShowStatusState(const QString& text, const TMessageStyle& style) {
    QLabel* panel = widgets_.status_panels[3];
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

std::string TF_Main::DatabaseInUse() const {
    const TSQLite* sqlite = parts_.GetSQLite();
    std::string file = sqlite != nullptr ? sqlite->GetPath() : std::string();
    return file.empty() ? Settings.GetDBFile() : file;
}

void TF_Main::TitleUpdate() {
    const std::string file = DatabaseInUse();
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
    TLog* log = GetLog();
    if (log == nullptr) {
        return;
    }
    log->SetTimer(true);
    save_delay_.Stop();
    IniLoad();
    // Waits in memory for the database the service opens.
    AuditAction(audit::PROGRAM_START, program_path_);
    // Queued, so the window is on screen before a start that may ask for a file, and a
    // start-up told to end is over before the service would start.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (TDevice* device = GetDevice(); device != nullptr && Settings.GetIsAutoRun()) {
                device->SetService(true);
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
    TDevice* device = GetDevice();
    if (device == nullptr) {
        return true;
    }
    save_delay_.Stop();
    // Written while the service still has the database open.
    AuditAction(audit::PROGRAM_END, program_path_);
    device->SetService(false);
    std::string failure;
    const bool saved = close_by_signal_ ? WriteIni(failure) : IniSave();
    // A signal that came while the box of a failed save showed ends the program all the same.
    if (!saved && !close_by_signal_) {
        return false;
    }
    parts_.Destroy();
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

bool TF_Main::AskComment(QString& comment) {
    bool asked = false;
    RunModal([&] {
        if (ask_comment_) {
            asked = ask_comment_(comment);
            return;
        }
        comment = QInputDialog::getText(this, QStringLiteral("Квитирование"),
                                        QStringLiteral("Комментарий (необязательно):"),
                                        QLineEdit::Normal, QString(), &asked);
    });
    return asked;
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
        TLog::Add(GetLog(), save ? "Файл не задан" : "Файл не выбран", LOG_TYPE_ERROR);
        return;
    }
    const std::string before = Settings.GetDBFile();
    if (setup_ != nullptr) {
        setup_->SetDBFile(chosen);
    } else {
        Settings.SetDBFile(chosen.toStdString());
    }
    AuditAction(audit::DATABASE_SWITCHED, chosen.toStdString(), before);
    TLog::Add(GetLog(), (save ? "Файл: " : "Выбран файл: ") + chosen.toStdString(), LOG_TYPE_INFO);
    TitleUpdate();
}

void TF_Main::MM_File_NewClick() {
    TLog::Add(GetLog(), "Создание нового файла", LOG_TYPE_INFO);
    ChooseDBFile(true);
}

void TF_Main::MM_File_OpenClick() {
    TLog::Add(GetLog(), "Выбор файла", LOG_TYPE_INFO);
    ChooseDBFile(false);
}

void TF_Main::MM_Service_SetupClick() {
    TDevice* device = GetDevice();
    if (device == nullptr || setup_ == nullptr) {
        return;
    }
    // The bus is read and alarms are stored and sounded while the operator looks at settings.
    const TSetupOptions before = setup_->Collect();
    const std::string operator_before = OperatorName();
    bool saved = false;
    if (RunModal([this, &saved] { saved = setup_->exec() == QDialog::Accepted; })) {
        return; // the window is closing, and stops the service itself
    }
    if (saved) {
        std::string changes = SetupChangesText(before, setup_->Collect());
        // The operator's name lives beside the Setup keys, in a section of its own.
        if (const std::string operator_after = OperatorName(); operator_after != operator_before) {
            changes += (changes.empty() ? "" : "; ") + std::string("Operator Name: ") +
                       operator_before + " → " + operator_after;
        }
        AuditAction(audit::SETTINGS_SAVED, GetIniPath(), changes);
    }
    // The gateway goes on as it was unless its settings changed.
    if (TMqttGateway* mqtt = parts_.GetMqttGateway()) {
        mqtt->Start(setup_->CollectMqtt());
    }
    if (!device->IsRunning()) {
        device->SetService(true);
        return;
    }
    if (device->StartSettingsChanged()) {
        device->SetService(false);
        device->SetService(true);
        return;
    }
    // A restart would have shown the newest page by the records mask and page size just set.
    parts_.GetSQLite()->RecountRecordsMaskCount();
    RecordListSetTimer(true);
    ListViewUpdate();
}

void TF_Main::AuditAction(const char* action, std::string_view target, std::string_view detail) {
    if (TAudit* audit = GetAudit()) {
        audit->Add(action, target, detail, audit::DONE);
    }
}

std::string TF_Main::OperatorName() const {
    const TAudit* audit = GetAudit();
    return audit != nullptr ? audit->GetOperatorName() : std::string();
}

// --- The settings file.

void TF_Main::IniLoad() {
    TLog::Add(GetLog(), "TF_Main::IniLoad", LOG_TYPE_DEBUG);
    window_settings_.Load(GetIniPath(), program_dir_ + "/default.db", setup_);
    TitleUpdate();
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
    TLog::Add(GetLog(), "TF_Main::IniSave", LOG_TYPE_DEBUG);
    if (window_settings_.Save(GetIniPath(), setup_)) {
        return true;
    }
    failure = "Unable to write to " + GetIniPath();
    TLog::Add(GetLog(), failure, LOG_TYPE_ERROR);
    return false;
}

void TF_Main::TimerIniSaveDelayTimer() {
    save_delay_.Expire();
}

void TF_Main::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    save_delay_.Moved();
}

void TF_Main::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    save_delay_.Resized();
}

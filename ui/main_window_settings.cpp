#include "ui/main_window_settings.h"

#include <QAction>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSplitter>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolBar>

#include <algorithm>

#include "log/log.h"
#include "mqtt/mqtt_gateway.h"
#include "records/audit.h"
#include "records/record_list.h"
#include "ui/ktev_setup.h"
#include "ui/main_parts.h"
#include "ui/main_window_widgets.h"
#include "ui/settings/settings_file.h"
#include "ui/window_placement.h"

namespace {

// A window larger than this is never meant; a damaged settings file must not make the
// window ask for gigabytes of backing store.
constexpr int MaxWindowExtent = 8192;
constexpr int MaxWindowOffset = 32767;

} // namespace

TSaveDelay::TSaveDelay(QWidget& window, const TMainParts& parts, std::function<void()> save)
    : window_(window), parts_(parts), save_(std::move(save)), timer_(new QTimer(&window)) {
    timer_->setSingleShot(true);
    timer_->setInterval(DelayMs);
    QObject::connect(timer_, &QTimer::timeout, &window, [this] { Expire(); });
}

void TSaveDelay::Start() {
    // The log has always named these steps after the main window.
    TLog::Add(parts_.GetLog(), "TF_Main::TimerIniSaveDelayStart", LOG_TYPE_DEBUG);
    timer_->stop();
    timer_->start();
}

void TSaveDelay::Stop() {
    timer_->stop();
}

void TSaveDelay::Expire() {
    timer_->stop();
    save_();
}

void TSaveDelay::Moved() {
    GeometryChanged(move_watch_, "TF_Main::FormMove");
}

void TSaveDelay::Resized() {
    GeometryChanged(resize_watch_, "TF_Main::FormResize");
}

void TSaveDelay::GeometryChanged(TGeometryWatch& watch, const char* name) {
    if (!window_.isActiveWindow() || !window_.isEnabled()) {
        return;
    }
    const QRect now = window_.geometry();
    if (now != watch.last) {
        // The first change after start is the window settling, not the operator.
        if (watch.seen) {
            TLog::Add(parts_.GetLog(), name, LOG_TYPE_DEBUG);
            Start();
        }
        watch.seen = true;
    }
    watch.last = now;
}

TMainWindowSettings::TMainWindowSettings(QMainWindow& window, const TMainWindowWidgets& widgets,
                                         const TMainParts& parts, TSaveDelay& save_delay)
    : window_(window), widgets_(widgets), parts_(parts), save_delay_(save_delay),
      tree_view_width_(TWindowOptions{}.tree_view_width),
      rich_edit_height_(TWindowOptions{}.rich_edit_height) {
    field_widths_.fill(TFieldOptions{}.width);
}

void TMainWindowSettings::Load(const std::string& path, const std::string& default_db_file,
                               TF_Setup* setup) {
    const TSettingsFileValues values = ReadSettingsFile(TProfileFile(path), default_db_file);
    // The geometry set here is not the operator's: no delayed save for it.
    window_.setEnabled(false);
    Apply(values, setup);
    window_.setEnabled(true);
}

bool TMainWindowSettings::Save(const std::string& path, const TF_Setup* setup) {
    TProfileFile file(path);
    const bool normal = (window_.windowState() &
                         (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) == 0;
    return WriteSettingsFile(file, Collect(setup), normal);
}

void TMainWindowSettings::Apply(const TSettingsFileValues& values, TF_Setup* setup) {
    const TWindowOptions& o = values.options;
    // The geometry is the window's own area, without the frame a window manager adds: set and
    // read back the same way, a close and a start put the window exactly where it was.
    const QRect saved(std::clamp(o.left, -MaxWindowOffset, MaxWindowOffset),
                      std::clamp(o.top, -MaxWindowOffset, MaxWindowOffset),
                      std::clamp(o.width, 0, MaxWindowExtent),
                      std::clamp(o.height, 0, MaxWindowExtent));
    QList<QRect> screens;
    for (const QScreen* screen : QGuiApplication::screens()) {
        screens.append(screen->availableGeometry());
    }
    window_.setGeometry(PlaceOnScreens(saved, screens));
    tree_view_width_ = std::max(o.tree_view_width, 0);
    rich_edit_height_ = std::max(o.rich_edit_height, 0);
    widgets_.SplitterLeftRight->setSizes({tree_view_width_, 1});
    widgets_.SplitterUpDown->setSizes({1, rich_edit_height_ + LogTabBarHeight()});

    widgets_.actions.MM_View_ToolButtons->setChecked(values.panels.tool_buttons);
    widgets_.actions.MM_View_TreeDevices->setChecked(values.panels.tree_devices);
    widgets_.actions.MM_View_LogApplication->setChecked(values.panels.log_application);
    ShowPanelsUpdate(false);

    for (std::size_t i = 0; i < values.fields.size(); ++i) {
        field_widths_[i] = values.fields[i].width;
        widgets_.actions.MM_View_Fields_Items[i]->setChecked(values.fields[i].checked);
    }
    QAction* message = widgets_.actions.MM_View_Fields_Items[RECORD_FIELD_MESSAGE];
    message->setChecked(true);
    message->setEnabled(false);

    if (TLog* log = parts_.GetLog()) {
        log->IsLogDebug = values.setup.is_log_debug;
    }
    if (setup != nullptr) {
        setup->Load(values.setup);
        setup->LoadMqtt(values.mqtt);
    }
    if (TMqttGateway* mqtt = parts_.GetMqttGateway()) {
        mqtt->Start(values.mqtt);
    }
    if (TAudit* audit = parts_.GetAudit()) {
        audit->SetOperatorName(values.operator_name);
    }
}

TSettingsFileValues TMainWindowSettings::Collect(const TF_Setup* setup) {
    TSettingsFileValues values;
    const QRect geometry = window_.geometry();
    values.options.top = geometry.top();
    values.options.left = geometry.left();
    values.options.width = geometry.width();
    values.options.height = geometry.height();
    values.options.tree_view_width = TreeViewWidth();
    values.options.rich_edit_height = RichEditHeight();
    if (const TAudit* audit = parts_.GetAudit()) {
        values.operator_name = audit->GetOperatorName();
    }

    values.panels.tool_buttons = widgets_.actions.MM_View_ToolButtons->isChecked();
    values.panels.tree_devices = widgets_.actions.MM_View_TreeDevices->isChecked();
    values.panels.log_application = widgets_.actions.MM_View_LogApplication->isChecked();

    const QHeaderView* header = widgets_.ListView->horizontalHeader();
    int column = 0;
    for (std::size_t i = 0; i < values.fields.size(); ++i) {
        const bool shown = widgets_.actions.MM_View_Fields_Items[i]->isChecked();
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
    if (setup != nullptr) {
        values.setup = setup->Collect();
        values.mqtt = setup->CollectMqtt();
    } else if (const TMqttGateway* mqtt = parts_.GetMqttGateway()) {
        values.mqtt = mqtt->Settings();
    }
    return values;
}

void TMainWindowSettings::ShowPanelsUpdate(bool save) {
    TLog::Add(parts_.GetLog(), "TF_Main::ShowPanelsUpdate", LOG_TYPE_DEBUG);
    if (save) {
        save_delay_.Start();
    }
    // A panel keeps its size while hidden and gets it back when shown again.
    tree_view_width_ = TreeViewWidth();
    rich_edit_height_ = RichEditHeight();
    widgets_.ToolBar->setVisible(widgets_.actions.MM_View_ToolButtons->isChecked());
    widgets_.PanelDevices->setVisible(widgets_.actions.MM_View_TreeDevices->isChecked());
    const bool log_shown = widgets_.actions.MM_View_LogApplication->isChecked();
    widgets_.RichEdit->setVisible(log_shown);
    // The audit trail's tab goes and comes with the log it stands beside.
    widgets_.TabsLog->setVisible(log_shown);
    widgets_.SplitterLeftRight->setSizes({tree_view_width_, 1});
    widgets_.SplitterUpDown->setSizes({1, rich_edit_height_ + LogTabBarHeight()});
}

int TMainWindowSettings::TreeViewWidth() const {
    return widgets_.PanelDevices->isVisible() ? widgets_.PanelDevices->width() : tree_view_width_;
}

int TMainWindowSettings::RichEditHeight() const {
    return widgets_.TabsLog->isVisible() ? widgets_.TabsLog->height() - LogTabBarHeight()
                                         : rich_edit_height_;
}

int TMainWindowSettings::LogTabBarHeight() const {
    // The file keeps the log's own height, as before the log pane had tabs.
    return widgets_.TabsLog->tabBar()->sizeHint().height();
}

void TMainWindowSettings::SetFieldWidth(int field, int width) {
    if (field >= 0 && field < RECORD_FIELD_COUNT) {
        field_widths_[static_cast<std::size_t>(field)] = width;
    }
}

int TMainWindowSettings::GetFieldWidth(int field) const {
    return field >= 0 && field < RECORD_FIELD_COUNT ? field_widths_[static_cast<std::size_t>(field)]
                                                    : 0;
}

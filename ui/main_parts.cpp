#include "ui/main_parts.h"

#include "audio/sound.h"
#include "buslink/kordeya32.h"
#include "database/sqlite.h"
#include "device/active_alarms.h"
#include "device/device.h"
#include "log/log.h"
#include "mqtt/mqtt_gateway.h"
#include "mqtt/state_changes.h"
#include "records/audit.h"
#include "records/record.h"
#include "ui/active_alarms_view.h"
#include "ui/audit_view.h"
#include "ui/device_tree_view.h"
#include "ui/log_pane_qt.h"
#include "ui/main_window_widgets.h"
#include "ui/record_filter_bar.h"
#include "ui/record_list_view.h"
#include "ui/settings/current_settings.h"
#include "ui/sound_output_qt.h"
#include "ui/timer_qt.h"

TMainParts::TMainParts() = default;

TMainParts::~TMainParts() {
    Destroy();
}

void TMainParts::Create(const TMainPartsLinks& links) {
    log_pane_ = std::make_unique<TQtLogPane>(links.widgets->RichEdit);
    Log = std::make_unique<TLog>(log_pane_.get(), std::make_unique<TQtTimer>(),
                                 links.program_path + ".log");
    sound_output_ = std::make_unique<TQtSoundOutput>(Log.get());
    // The event-record object keeps references to the database and the sound player, so
    // those two come first; neither opens anything when created.
    SQLite = std::make_unique<TSQLite>(Log.get(), *links.settings);
    Audit = std::make_unique<TAudit>(Log.get(), *SQLite);
    Sound = std::make_unique<TSound>(Log.get(), links.settings, sound_output_.get());
    Sound->SetFileLookup(
        [home = links.home](const std::string& file) { return home.SoundFile(file); });
    TRecordLinks record_links;
    record_links.log = Log.get();
    record_links.app = links.app;
    record_links.catalogue_dir = links.home.CatalogueDir();
    record_links.sqlite = SQLite.get();
    record_links.sound = Sound.get();
    Record = std::make_unique<TRecord>(record_links);
    Alarms = std::make_unique<TActiveAlarms>(Log.get(), *Record, *SQLite);
    Sound->SetKeeper(Alarms.get());
    mqtt_changes_ = std::make_unique<TStateChanges>();
    Device = std::make_unique<TDevice>(Log.get(), *Record, *SQLite, *links.views, *links.port,
                                       *links.settings, links.db_retry_ms);
    Device->SetAudit(Audit.get());
    Device->SetActiveAlarms(Alarms.get());
    Device->SetChangeSink(mqtt_changes_.get());
    // Started by the settings file's [Mqtt] section.
    mqtt_ = std::make_unique<TMqttGateway>(Log.get(), *Record, *Device, *mqtt_changes_,
                                           [sqlite = SQLite.get()] { return sqlite->GetPath(); });
    CreateViews(links);
}

void TMainParts::CreateViews(const TMainPartsLinks& links) {
    const TMainWindowWidgets& w = *links.widgets;
    TRecordListControls list;
    list.view = w.ListView;
    list.page_buttons = {w.actions.ToolButtonFirstRecord, w.actions.ToolButtonPriorPage,
                         w.actions.ToolButtonNextPage, w.actions.ToolButtonLastRecord};
    list.field_items = w.actions.MM_View_Fields_Items;
    list.field_width = links.field_width;
    list.set_field_width = links.set_field_width;
    list.position = w.RecordCountPanel;
    record_list_ =
        std::make_unique<TRecordListUi>(list, Log.get(), *Record, *SQLite, *links.settings);
    record_list_->on_layout_changed = links.on_list_layout_changed;
    w.FilterBar->SetTypeSource(
        [record = Record.get()](int type) { return record->GetTypeName(type); },
        [settings = links.settings] { return settings->GetRecordsMask(); });
    QObject::connect(
        w.FilterBar, &TRecordFilterBar::filterChanged, record_list_.get(),
        [bar = w.FilterBar, list = record_list_.get()] { list->List().SetFilter(bar->Filter()); });
    device_tree_ = std::make_unique<TDeviceTreeUi>(w.TreeView, w.PopupMenuDevice, Log.get(),
                                                   *Device, *Record, *links.app);
    QObject::connect(device_tree_.get(), &TDeviceTreeUi::deviceEventsWanted, w.FilterBar,
                     &TRecordFilterBar::ShowDevice);
    audit_view_ = std::make_unique<TAuditViewUi>(w.AuditView, Log.get(), *SQLite);
    Audit->SetOnStored([view = audit_view_.get()] { view->Refresh(); });

    TActiveAlarmsControls alarms;
    alarms.view = w.AlarmsView;
    alarms.tabs = w.TabsLog;
    alarms.count_panel = w.AlarmCountPanel;
    alarms.acknowledge = w.actions.MM_Service_Acknowledge;
    alarms.acknowledge_all = w.actions.MM_Service_AcknowledgeAll;
    alarms.ask_comment = links.ask_comment;
    alarms.show_tabs = [log = w.actions.MM_View_LogApplication] { log->trigger(); };
    alarms.operator_name = [audit = Audit.get()] { return audit->GetOperator(); };
    alarms_view_ = std::make_unique<TActiveAlarmsUi>(alarms, Log.get(), *Alarms);
    TActiveAlarms::THooks hooks;
    hooks.changed = [view = alarms_view_.get()] { view->Refresh(); };
    hooks.acknowledged = [audit = Audit.get()](const TAlarmRow& row) {
        audit->Acknowledge(TActiveAlarms::TargetText(row) + " — " + row.state, row.ack_comment);
    };
    Alarms->SetHooks(std::move(hooks));
}

void TMainParts::Destroy() {
    // The tree's thread and nodes read the device table; the device service still switches the
    // record list off as it stops, and the list's loads end before the database goes.
    device_tree_.reset();
    // Says "offline" and keeps its mark; it reads the device table and the database file.
    mqtt_.reset();
    Device.reset();
    mqtt_changes_.reset();
    // Its thread writes what the operator acknowledged, to the audit trail too, before it ends.
    alarms_view_.reset();
    if (Alarms) {
        Alarms->SetHooks({});
    }
    // No thread writes audit rows any more: the view can go before the trail.
    if (Audit) {
        Audit->SetOnStored({});
    }
    audit_view_.reset();
    record_list_.reset();
    // The sound thread asks the alarms whether to sound on until it ends.
    Sound.reset();
    Alarms.reset();
    // Its queued calls die with it; the log it reports to is still there.
    sound_output_.reset();
    Audit.reset();
    SQLite.reset();
    Record.reset();
    // The last flush writes every line still waiting, the destructors' own included.
    Log.reset();
}

#pragma once

// The system's parts behind the main window, created in their order and destroyed in the
// closing order: the log and its pane, the sound output, the database, the audit trail, the
// sound player, the event records, the active alarms, the device service, the MQTT gateway, and
// the record list,
// the device tree, the active alarms' panel and the audit trail's view on the window's views.
// The settings they read and the window's controls outlive them.

#include <QString>

#include <functional>
#include <memory>
#include <string>

#include "common/program_home.h"

class TActiveAlarms;
class TActiveAlarmsUi;
class TAppControl;
class TAudit;
class TAuditViewUi;
class TCurrentSettings;
class TDevice;
class TDeviceTreeUi;
class TDeviceViews;
class TKordeya32;
class TLog;
class TMqttGateway;
class TQtLogPane;
class TQtSoundOutput;
class TRecord;
class TRecordListUi;
class TSQLite;
class TSound;
class TStateChanges;
struct TMainWindowWidgets;

// What the parts are given; every pointer is required and outlives them.
struct TMainPartsLinks {
    // The log file is this plus ".log".
    std::string program_path;
    // Holds the catalogue and the sounds, or the installed ones.
    TProgramHome home;
    TAppControl* app = nullptr;
    TDeviceViews* views = nullptr;
    TKordeya32* port = nullptr;
    TCurrentSettings* settings = nullptr;
    const TMainWindowWidgets* widgets = nullptr;
    int db_retry_ms = 0;
    // The width a record field's column gets.
    std::function<int(int field)> field_width;
    // The operator set a field's width by dragging its column.
    std::function<void(int field, int width)> set_field_width;
    // The record list's columns were moved or resized.
    std::function<void()> on_list_layout_changed;
    // The operator's comment on an acknowledgement; false: cancelled.
    std::function<bool(QString& comment)> ask_comment;
};

class TMainParts final {
public:
    TMainParts();
    ~TMainParts();
    TMainParts(const TMainParts&) = delete;
    TMainParts& operator=(const TMainParts&) = delete;

    void Create(const TMainPartsLinks& links);
    // Whatever is left goes, in the closing order; the getters give null from then on.
    void Destroy();

    TLog* GetLog() const { return Log.get(); }
    TSQLite* GetSQLite() const { return SQLite.get(); }
    TAudit* GetAudit() const { return Audit.get(); }
    TAuditViewUi* GetAuditView() const { return audit_view_.get(); }
    TSound* GetSound() const { return Sound.get(); }
    TRecord* GetRecord() const { return Record.get(); }
    TActiveAlarms* GetActiveAlarms() const { return Alarms.get(); }
    TActiveAlarmsUi* GetActiveAlarmsView() const { return alarms_view_.get(); }
    TDevice* GetDevice() const { return Device.get(); }
    TMqttGateway* GetMqttGateway() const { return mqtt_.get(); }
    TQtSoundOutput* GetSoundOutput() const { return sound_output_.get(); }
    TRecordListUi* GetRecordList() const { return record_list_.get(); }
    TDeviceTreeUi* GetDeviceTree() const { return device_tree_.get(); }

private:
    // The record list and the device tree on the views the window laid out.
    void CreateViews(const TMainPartsLinks& links);

    // In the order they are created; the two Qt back-ends outlive the rest.
    std::unique_ptr<TQtLogPane> log_pane_;
    std::unique_ptr<TQtSoundOutput> sound_output_;
    std::unique_ptr<TLog> Log;
    std::unique_ptr<TSQLite> SQLite;
    std::unique_ptr<TAudit> Audit;
    std::unique_ptr<TSound> Sound;
    std::unique_ptr<TRecord> Record;
    std::unique_ptr<TActiveAlarms> Alarms;
    // The bus thread's hand-off to the MQTT gateway outlives the service that feeds it.
    std::unique_ptr<TStateChanges> mqtt_changes_;
    std::unique_ptr<TDevice> Device;
    std::unique_ptr<TMqttGateway> mqtt_;
    std::unique_ptr<TRecordListUi> record_list_;
    std::unique_ptr<TDeviceTreeUi> device_tree_;
    std::unique_ptr<TActiveAlarmsUi> alarms_view_;
    std::unique_ptr<TAuditViewUi> audit_view_;
};

#pragma once

// The active alarms: every item of a device that is abnormal now or not yet acknowledged by the
// operator. The bus thread scans a device after each change of it; the window reads a snapshot
// built by the writer, so a refresh on the GUI thread only swaps a pointer. Acknowledgements are
// kept in the database's `alarm_ack` table, so a restart shows the rebuilt rows as they were.

#include "audio/sound.h"
#include "common/style.h"
#include "database/alarm_ack.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

class TLog;
class TRecord;
class TSQLite;
struct TDeviceEntry;

enum class TAlarmItem : int { Link = 0, State = 1, Summary = 2, Power = 3, Battery = 4, Line = 5 };

struct TAlarmKey {
    std::uint32_t device_id = 0;
    TAlarmItem item = TAlarmItem::Link;
    int number = 0;

    friend auto operator<=>(const TAlarmKey& a, const TAlarmKey& b) {
        return std::tie(a.device_id, a.item, a.number) <=> std::tie(b.device_id, b.item, b.number);
    }
    friend bool operator==(const TAlarmKey&, const TAlarmKey&) = default;
};

struct TAlarmRow {
    TAlarmKey key;
    std::int64_t since = 0;
    int address = 0;
    std::string device;    // its name, and the operator's name for it when given
    std::string item;      // "ШС 3", "Питание"
    std::string state;     // the catalogue's text of the state
    TMessageStyle style;   // and its colours
    int level = SOUND_OFF; // the sound level the state asks for
    bool active = false;   // abnormal now
    bool acknowledged = false;
    std::string ack_user;
    std::int64_t ack_time = 0;
    std::string ack_comment;
};

// Unacknowledged rows first, each part by level, gravest first, then newest first.
struct TAlarmSnapshot {
    std::vector<TAlarmRow> rows;
    int unacknowledged = 0;
};

class TActiveAlarms final : public TSoundKeeper {
public:
    // `changed` runs on the writer's thread after each change and must return at once;
    // `acknowledged` after each acknowledgement (the operator's trail). Either may be empty.
    struct THooks {
        std::function<void()> changed;
        std::function<void(const TAlarmRow& row)> acknowledged;
    };

    // `log` may be null; `record` and `sqlite` outlive the object.
    TActiveAlarms(TLog* log, const TRecord& record, TSQLite& sqlite);
    TActiveAlarms(const TActiveAlarms&) = delete;
    TActiveAlarms& operator=(const TActiveAlarms&) = delete;

    // Set before the bus runs.
    void SetHooks(THooks hooks);

    // The bus thread, after a change of the device: rows come, change and leave by its items.
    void Scan(const TDeviceEntry& entry);

    // The operator acknowledges one row or all of them (any thread); a row of an item normal
    // again leaves. Returns how many rows were acknowledged.
    int Acknowledge(const TAlarmKey& key, const std::string& user, const std::string& comment);
    int AcknowledgeAll(const std::string& user, const std::string& comment);

    std::shared_ptr<const TAlarmSnapshot> Snapshot() const;

    // An unacknowledged row asks for `level` or a graver one.
    bool KeepsSounding(TSoundLevel level) const override;

    // The row's item as a sentence names it: "ШС 3 устройства «ППКОП-16» (адрес 1)".
    static std::string TargetText(const TAlarmRow& row);

private:
    struct TItemState {
        TAlarmKey key;
        std::uint8_t type;
        std::int32_t value;
        int level; // SOUND_OFF when normal
    };
    // Under lock_: takes the kept acknowledgements once the database is open, and again when
    // another file is opened.
    void LoadAcks();
    // Under lock_: one item of a scan; `known` says a normal state was read from the device.
    void Note(const TItemState& state, const TAlarmRow& head, bool known);
    // Under lock_: acknowledges one row; false when it already was.
    bool AckRow(std::map<TAlarmKey, TAlarmRow>::iterator it, const std::string& user,
                const std::string& comment, std::int64_t now);
    // Under lock_: a new snapshot for the readers.
    void Publish();
    // Outside lock_: writes what the last change left to the database and runs the hooks.
    void Finish();

    TLog* log_;
    const TRecord& record_;
    TSQLite& sqlite_;
    THooks hooks_;

    mutable std::mutex lock_;
    std::map<TAlarmKey, TAlarmRow> rows_;
    // Kept acknowledgements of items not shown yet (after a restart).
    std::map<TAlarmKey, TAlarmAck> kept_;
    // The database file the acknowledgements were last taken from.
    std::string acks_path_;
    int highest_unacknowledged_ = SOUND_OFF;
    std::shared_ptr<const TAlarmSnapshot> snapshot_;
    // What a change leaves to do outside lock_ (under lock_ until taken).
    std::vector<TAlarmAck> to_save_;
    std::vector<TAlarmKey> to_delete_;
    std::vector<TAlarmRow> to_report_;
    bool dirty_ = false;
    // One change's database writes and hooks at a time, in their order.
    std::mutex finish_lock_;
};

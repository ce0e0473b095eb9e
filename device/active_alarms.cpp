#include "device/active_alarms.h"

#include "database/record_types.h"
#include "database/sqlite.h"
#include "device/device_entry.h"
#include "log/log.h"
#include "records/cell_text.h"
#include "records/record.h"

#include <algorithm>
#include <ctime>
#include <fmt/format.h>
#include <utility>

namespace {

std::int64_t Now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::string ItemText(const TAlarmKey& key) {
    switch (key.item) {
    case TAlarmItem::Link:
        return "Связь";
    case TAlarmItem::State:
        return "Состояние";
    case TAlarmItem::Summary:
        return "Сводное состояние";
    case TAlarmItem::Power:
        return "Питание";
    case TAlarmItem::Battery:
        return "Аккумулятор";
    case TAlarmItem::Line:
        break;
    }
    return fmt::format("ШС {}", key.number + 1);
}

TAlarmAck AckOf(const TAlarmRow& row) {
    TAlarmAck ack;
    ack.device_id = row.key.device_id;
    ack.item = static_cast<int>(row.key.item);
    ack.number = row.key.number;
    ack.level = row.level;
    ack.since = row.since;
    ack.user = row.ack_user;
    ack.utime = row.ack_time;
    ack.comment = row.ack_comment;
    return ack;
}

} // namespace

TActiveAlarms::TActiveAlarms(TLog* log, const TRecord& record, TSQLite& sqlite)
    : log_(log), record_(record), sqlite_(sqlite),
      snapshot_(std::make_shared<const TAlarmSnapshot>()) {}

void TActiveAlarms::SetHooks(THooks hooks) {
    hooks_ = std::move(hooks);
}

void TActiveAlarms::LoadAcks() {
    if (!sqlite_.IsActive()) {
        return;
    }
    std::string path = sqlite_.GetPath();
    std::vector<TAlarmAck> acks;
    if (path == acks_path_ || !sqlite_.SelectAlarmAcks(acks)) {
        return;
    }
    acks_path_ = std::move(path);
    kept_.clear();
    for (TAlarmAck& ack : acks) {
        const TAlarmKey key{ack.device_id, static_cast<TAlarmItem>(ack.item), ack.number};
        // The rows on screen know better than another file what the operator acknowledged.
        if (!rows_.contains(key)) {
            kept_[key] = std::move(ack);
        }
    }
    // Another database was chosen: it keeps the acknowledgements of the rows still shown.
    for (const auto& [key, row] : rows_) {
        if (row.active && row.acknowledged) {
            to_save_.push_back(AckOf(row));
        }
    }
}

void TActiveAlarms::Scan(const TDeviceEntry& entry) {
    const TDeviceRecord device = entry.record.Get();
    TAlarmRow head;
    head.address = device.address;
    head.device = device.const_name[0] != '\0' ? DeviceNameText(device.const_name)
                                               : DeviceIdText(device.device_id);
    if (device.user_name[0] != '\0') {
        head.device += " «" + DeviceNameText(device.user_name) + "»";
    }
    const std::uint32_t id = device.device_id;
    const auto level_of = [this](std::uint8_t type, std::int32_t value) {
        // Only the looped levels are alarms; the chimes of a state change are not.
        const int level = record_.SoundLevelFor(type, value);
        return level >= SOUND_ALERT ? level : SOUND_OFF;
    };
    std::vector<TItemState> items;
    items.push_back(
        {{id, TAlarmItem::Link, 0}, LOSS_DEVICE, 0, entry.online ? SOUND_OFF : SOUND_LOSS_DEVICE});
    const std::pair<TAlarmItem, std::pair<std::uint8_t, std::uint8_t>> own[] = {
        {TAlarmItem::State, {DEVICE_STATE, entry.state}},
        {TAlarmItem::Summary, {MAX_STATE, entry.max_state}},
        {TAlarmItem::Power, {DEVICE_POWER, entry.power}},
        {TAlarmItem::Battery, {DEVICE_BATTERY, entry.battery}}};
    for (const auto& [item, state] : own) {
        items.push_back(
            {{id, item, 0}, state.first, state.second, level_of(state.first, state.second)});
    }
    for (int n = 0; n < entry.LineCount(); ++n) {
        const std::int32_t value =
            MakeRecordValue(static_cast<std::uint16_t>(n), 0, entry.line[n].state);
        items.push_back(
            {{id, TAlarmItem::Line, n}, LINE_STATE, value, level_of(LINE_STATE, value)});
    }
    {
        std::lock_guard lock(lock_);
        LoadAcks();
        for (const TItemState& item : items) {
            Note(item, head, entry.info_complete);
        }
        if (dirty_) {
            Publish();
        }
    }
    Finish();
}

void TActiveAlarms::Note(const TItemState& state, const TAlarmRow& head, bool known) {
    const auto it = rows_.find(state.key);
    const auto kept = kept_.find(state.key);
    if (state.level == SOUND_OFF) {
        if (it != rows_.end() && it->second.active) {
            it->second.active = false;
            dirty_ = true;
            if (it->second.acknowledged) {
                to_delete_.push_back(state.key);
                rows_.erase(it);
            }
        }
        // An item normal again while the program was closed: its acknowledgement is spent.
        if (known && kept != kept_.end()) {
            to_delete_.push_back(state.key);
            kept_.erase(kept);
        }
        return;
    }
    TAlarmRow* row = nullptr;
    if (it == rows_.end()) {
        row = &rows_[state.key];
        *row = head;
        row->key = state.key;
        row->since = Now();
        row->level = state.level;
        if (kept != kept_.end()) {
            // Kept for this state or a milder one only: a graver state is a new alarm.
            if (kept->second.level >= state.level) {
                row->since = kept->second.since;
                row->acknowledged = true;
                row->ack_user = kept->second.user;
                row->ack_time = kept->second.utime;
                row->ack_comment = kept->second.comment;
            } else {
                to_delete_.push_back(state.key);
            }
            kept_.erase(kept);
        }
    } else {
        row = &it->second;
    }
    TMessageStyle style;
    std::string text;
    // A lost device has only the record's text.
    record_.GetRecordMessage(state.type, state.value, state.type != LOSS_DEVICE, style, text);
    if (row->active && row->state == text && row->level == state.level &&
        row->device == head.device && row->address == head.address) {
        return;
    }
    if (row->acknowledged && state.level > row->level) {
        row->acknowledged = false;
    }
    row->address = head.address;
    row->device = head.device;
    row->item = ItemText(state.key);
    row->state = text;
    row->style = style;
    row->level = state.level;
    row->active = true;
    dirty_ = true;
}

bool TActiveAlarms::AckRow(std::map<TAlarmKey, TAlarmRow>::iterator it, const std::string& user,
                           const std::string& comment, std::int64_t now) {
    TAlarmRow& row = it->second;
    if (row.acknowledged) {
        return false;
    }
    row.acknowledged = true;
    row.ack_user = user;
    row.ack_time = now;
    row.ack_comment = comment;
    to_report_.push_back(row);
    dirty_ = true;
    if (row.active) {
        to_save_.push_back(AckOf(row));
    } else {
        // Normal again and now acknowledged: the row leaves.
        to_delete_.push_back(row.key);
        rows_.erase(it);
    }
    return true;
}

int TActiveAlarms::Acknowledge(const TAlarmKey& key, const std::string& user,
                               const std::string& comment) {
    int count = 0;
    {
        std::lock_guard lock(lock_);
        const auto it = rows_.find(key);
        if (it != rows_.end() && AckRow(it, user, comment, Now())) {
            count = 1;
            Publish();
        }
    }
    Finish();
    return count;
}

int TActiveAlarms::AcknowledgeAll(const std::string& user, const std::string& comment) {
    int count = 0;
    {
        std::lock_guard lock(lock_);
        const std::int64_t now = Now();
        for (auto it = rows_.begin(); it != rows_.end();) {
            const auto next = std::next(it);
            count += AckRow(it, user, comment, now) ? 1 : 0;
            it = next;
        }
        if (count > 0) {
            Publish();
        }
    }
    Finish();
    return count;
}

void TActiveAlarms::Publish() {
    auto snapshot = std::make_shared<TAlarmSnapshot>();
    snapshot->rows.reserve(rows_.size());
    int highest = SOUND_OFF;
    for (const auto& [key, row] : rows_) {
        snapshot->rows.push_back(row);
        if (!row.acknowledged) {
            ++snapshot->unacknowledged;
            highest = std::max(highest, row.level);
        }
    }
    // What needs the operator first, the gravest of it first: a fire above the faults that
    // came after it.
    std::ranges::stable_sort(snapshot->rows, [](const TAlarmRow& a, const TAlarmRow& b) {
        return std::tuple(!a.acknowledged, a.level, a.since) >
               std::tuple(!b.acknowledged, b.level, b.since);
    });
    highest_unacknowledged_ = highest;
    snapshot_ = std::move(snapshot);
}

void TActiveAlarms::Finish() {
    std::lock_guard finish(finish_lock_);
    std::vector<TAlarmAck> save;
    std::vector<TAlarmKey> remove;
    std::vector<TAlarmRow> report;
    bool changed = false;
    {
        std::lock_guard lock(lock_);
        save.swap(to_save_);
        remove.swap(to_delete_);
        report.swap(to_report_);
        changed = std::exchange(dirty_, false);
    }
    // A database that refuses them logs why itself; the rows on screen stay as they are.
    for (const TAlarmAck& ack : save) {
        sqlite_.SaveAlarmAck(ack);
    }
    for (const TAlarmKey& key : remove) {
        sqlite_.DeleteAlarmAck(key.device_id, static_cast<int>(key.item), key.number);
    }
    for (const TAlarmRow& row : report) {
        TLog::Addf(log_, LOG_TYPE_INFO, "Квитировано: %s, %s (%s)", TargetText(row), row.state,
                   row.ack_user);
        if (hooks_.acknowledged) {
            hooks_.acknowledged(row);
        }
    }
    if (changed && hooks_.changed) {
        hooks_.changed();
    }
}

std::shared_ptr<const TAlarmSnapshot> TActiveAlarms::Snapshot() const {
    std::lock_guard lock(lock_);
    return snapshot_;
}

bool TActiveAlarms::KeepsSounding(TSoundLevel level) const {
    std::lock_guard lock(lock_);
    return highest_unacknowledged_ >= level;
}

std::string TActiveAlarms::TargetText(const TAlarmRow& row) {
    return fmt::format("{} устройства {} (адрес {})", row.item, row.device, row.address);
}

#include "buslink/kordeya32.h"
#include "buslink/state_codes.h"
#include "database/record_types.h"
#include "database/sqlite.h"
#include "device/active_alarms.h"
#include "device/change_sink.h"
#include "device/device.h"
#include "device/device_views.h"
#include "log/log.h"
#include "records/record.h"

#include <algorithm>
#include <cstring>

namespace {

// GET_WHOIS answer layout.
constexpr int WHOIS_ADDRESS = 1;
constexpr int WHOIS_ID = 2;
constexpr int WHOIS_CONST_NAME = 6;
constexpr int WHOIS_USER_NAME = 25;
constexpr int WHOIS_COUNTS = 44;
constexpr int WHOIS_LENGTH = 54;

// GET_STATE answer layout.
constexpr int STATE_FLAGS = 0;
constexpr int STATE_CONFIG_CHANGED = 1;
constexpr int STATE_LINES_CHANGED = 2;
constexpr int STATE_SENSORS_CHANGED = 4;
constexpr int STATE_RELAYS_CHANGED = 10;
constexpr int STATE_MAX_STATE = 14;
constexpr int STATE_LENGTH = 15;

bool AnySet(const std::uint8_t* p, int n) {
    return std::any_of(p, p + n, [](std::uint8_t b) { return b != 0; });
}

// A loop's or relay's record value: its 0-based number above its new state.
std::int32_t ElementValue(int number, std::uint8_t state) {
    return MakeRecordValue(static_cast<std::uint16_t>(number), 0, state);
}

// A remote command's acknowledgement: the element number, the remote byte 2, the command's value.
std::int32_t AckValue(std::uint16_t number, std::uint8_t value) {
    return MakeRecordValue(number, 2, value);
}

TDeviceRecord RecordFromWhois(const std::uint8_t* p) {
    TDeviceRecord r{};
    r.address = p[WHOIS_ADDRESS];
    r.device_id = frame::ReadDword(p + WHOIS_ID);
    std::memcpy(r.const_name, p + WHOIS_CONST_NAME, DeviceNameLength);
    std::memcpy(r.user_name, p + WHOIS_USER_NAME, DeviceNameLength);
    const std::uint8_t* counts = p + WHOIS_COUNTS;
    r.lines = frame::ReadWord(counts);
    r.sensors = frame::ReadWord(counts + 2);
    r.relays = frame::ReadWord(counts + 4);
    r.archives = frame::ReadWord(counts + 6);
    r.remote = frame::ReadWord(counts + 8);
    return r;
}

} // namespace

bool TDevice::ShortAnswer(const char* command, std::uint32_t device_id, int length, int needed) {
    if (length >= needed) {
        return false;
    }
    TLog::Addf(log_, LOG_TYPE_ERROR, "Короткий ответ %s устройства %08X: %d байт вместо %d",
               command, device_id, length, needed);
    return true;
}

void TDevice::Refresh(const TChanges& changes) {
    if (changes.changed) {
        views_.StatusBarUpdate();
        views_.TreeViewUpdate();
    }
    if (changes.recorded) {
        views_.ListViewUpdate();
    }
}

void TDevice::NoteChange(const TDeviceEntry& entry) {
    if (alarms_ != nullptr) {
        alarms_->Scan(entry);
    }
    if (change_sink_ != nullptr) {
        change_sink_->DeviceChanged(static_cast<int>(&entry - devices_.get()));
    }
}

bool TDevice::UpdateItem(TDeviceEntry& entry, TShared<std::uint8_t>& item, std::uint8_t value,
                         bool record, std::uint8_t type, std::int32_t record_value,
                         TStyleCell& cell, TChanges& changes) {
    if (item == value) {
        return true;
    }
    if (record) {
        if (!record_.AddRecord(entry.record.Get().device_id, type, cell, record_value)) {
            return false;
        }
        changes.recorded = true;
    }
    item = value;
    changes.changed = true;
    return true;
}

void TDevice::CmdCoreGetWhois(std::uint32_t device_id, const std::uint8_t* payload, int length) {
    TLog::Addf(log_, LOG_TYPE_DEBUG, "%s, %08X", "TDevice::CmdCoreGetWhois", device_id);
    if (ShortAnswer("GET_WHOIS", device_id, length, WHOIS_LENGTH)) {
        return;
    }
    TDeviceRecord device = RecordFromWhois(payload);
    // A device is known by the id of its frames, which every other answer and every request to
    // it carry: filed under another id, it would be a new device at each of its answers.
    const std::uint32_t named_id = device.device_id;
    device.device_id = device_id;
    int i = FindDevice(device_id);
    if (i < 0) {
        if (GetCount() >= MAX_DEVICES) {
            ReportTableFull(device_id);
            return;
        }
        if (!sqlite_.InsertDevice(device)) {
            return;
        }
        i = AddDevice(device);
        devices_[i].is_new = true;
    } else {
        if (!sqlite_.UpdateDevice(device)) {
            return;
        }
        devices_[i].record.Set(device);
    }
    TDeviceEntry& entry = devices_[i];
    if (named_id != device_id && !entry.whois_id_reported) {
        entry.whois_id_reported = true;
        TLog::Addf(log_, LOG_TYPE_ERROR,
                   "Устройство %08X называет в ответе GET_WHOIS код %08X: принят код из кадра",
                   device_id, named_id);
    }
    TChanges changes;
    if (entry.is_new) {
        TStyleCell scratch;
        if (!record_.AddRecord(device_id, FIND_NEW_DEVICE, scratch, 0)) {
            return;
        }
        entry.is_new = false;
        changes.recorded = true;
    }
    bool recovered = false;
    if (!SetOnline(entry, recovered)) {
        return;
    }
    changes.recorded = changes.recorded || recovered;
    entry.whois_read = true;
    entry.NoteInfoRead();
    NoteChange(entry);
    views_.StatusBarUpdate();
    views_.TreeViewUpdate();
    if (changes.recorded) {
        views_.ListViewUpdate();
    }
}

void TDevice::CmdCoreGetState(std::uint32_t device_id, std::uint8_t address,
                              const std::uint8_t* payload, int length) {
    if (ShortAnswer("GET_STATE", device_id, length, STATE_LENGTH)) {
        return;
    }
    TChanges changes;
    int i = FindDevice(device_id);
    if (i < 0) {
        if (GetCount() >= MAX_DEVICES) {
            ReportTableFull(device_id);
            return;
        }
        TDeviceRecord device{};
        device.device_id = device_id;
        device.address = address;
        if (!sqlite_.InsertDevice(device)) {
            return;
        }
        i = AddDevice(device);
        devices_[i].is_new = true;
        changes.changed = true;
    }
    TDeviceEntry& e = devices_[i];
    bool recovered = false;
    if (!SetOnline(e, recovered)) {
        return;
    }
    if (recovered) {
        changes.changed = true;
        changes.recorded = true;
    }

    if ((payload[STATE_CONFIG_CHANGED] & 1) != 0) {
        e.whois_read = false;
    }
    if (AnySet(payload + STATE_LINES_CHANGED, 2)) {
        e.lines_read = false;
    }
    if (AnySet(payload + STATE_SENSORS_CHANGED, 6)) {
        e.sensors_read = false;
    }
    if (AnySet(payload + STATE_RELAYS_CHANGED, 4)) {
        e.relays_read = false;
    }

    // A changed device state or summary state means its loops and relays are worth reading again.
    const auto read_all_again = [&e] {
        e.lines_read = false;
        e.sensors_read = false;
        e.relays_read = false;
    };
    const std::uint8_t flags = payload[STATE_FLAGS];
    const std::uint8_t state = flags & 3;
    const std::uint8_t power = (flags >> 2) & 1;
    const std::uint8_t battery = (flags >> 3) & 3;
    const std::uint8_t max_state = payload[STATE_MAX_STATE];
    const bool complete = e.info_complete;

    const bool state_changed = e.state != state;
    if (!UpdateItem(e, e.state, state, complete || state > 1, DEVICE_STATE, state,
                    e.state_node.style, changes)) {
        return;
    }
    if (state_changed) {
        read_all_again();
    }
    if (!UpdateItem(e, e.power, power, complete, DEVICE_POWER, power, e.power_node.style,
                    changes) ||
        !UpdateItem(e, e.battery, battery, complete || battery > 1, DEVICE_BATTERY, battery,
                    e.battery_node.style, changes)) {
        return;
    }
    const bool max_changed = e.max_state != max_state;
    if (!UpdateItem(e, e.max_state, max_state, true, MAX_STATE, max_state, e.device_node.style,
                    changes)) {
        return;
    }
    if (max_changed) {
        read_all_again();
    }
    if (changes.changed) {
        NoteChange(e);
    }
    Refresh(changes);
}

void TDevice::CmdCoreGetLines(std::uint32_t device_id, const std::uint8_t* payload, int length) {
    const int i = FindDevice(device_id);
    if (i < 0) {
        return;
    }
    TDeviceEntry& e = devices_[i];
    TChanges changes;
    const bool complete = e.info_complete;
    // Only the loops the answer holds: a short answer leaves the rest as they were.
    const int lines = std::min(e.LineCount(), std::max(length, 0));
    for (int n = 0; n < lines; ++n) {
        TLineEntry& line = e.line[n];
        const std::uint8_t state = payload[n] & statecode::LOOP_BYTE_MASK;
        const auto type = static_cast<std::uint8_t>((payload[n] & statecode::LOOP_TYPE_MASK) >>
                                                    statecode::LOOP_TYPE_SHIFT);
        const bool alarm = (state & statecode::LOOP_CODE_MASK) > statecode::LAST_QUIET_CODE;
        if (!UpdateItem(e, line.state, state, complete || alarm, LINE_STATE, ElementValue(n, state),
                        line.state_node.style, changes) ||
            !UpdateItem(e, line.type, type, complete, LINE_TYPE, ElementValue(n, type),
                        line.type_node.style, changes)) {
            return;
        }
    }
    e.lines_read = true;
    e.NoteInfoRead();
    NoteChange(e);
    Refresh(changes);
}

void TDevice::CmdCoreGetSensors(std::uint32_t device_id) {
    const int i = FindDevice(device_id);
    if (i >= 0) {
        devices_[i].sensors_read = true;
    }
}

void TDevice::CmdCoreGetRelays(std::uint32_t device_id, const std::uint8_t* payload, int length) {
    const int i = FindDevice(device_id);
    if (i < 0) {
        return;
    }
    TDeviceEntry& e = devices_[i];
    TChanges changes;
    const bool complete = e.info_complete;
    const int relays = std::min(e.RelayCount(), std::max(length, 0) / 2);
    for (int k = 0; k < relays; ++k) {
        TRelayEntry& relay = e.relay[k];
        const std::uint16_t word = frame::ReadWord(payload + 2 * k);
        const std::uint8_t state = word & 1;
        const std::uint8_t control = (word >> 1) & 7;
        const std::uint8_t type = (word >> 4) & 7;
        const std::uint8_t mode = (word >> 7) & 1;
        if (!UpdateItem(e, relay.state, state, complete, RELAY_STATE, ElementValue(k, state),
                        relay.state_node.style, changes) ||
            !UpdateItem(e, relay.control, control, complete || control > 1, RELAY_CONTROL,
                        ElementValue(k, control), relay.control_node.style, changes) ||
            !UpdateItem(e, relay.type, type, complete, RELAY_TYPE, ElementValue(k, type),
                        relay.type_node.style, changes) ||
            !UpdateItem(e, relay.mode, mode, complete, RELAY_MODE, ElementValue(k, mode),
                        relay.mode_node.style, changes)) {
            return;
        }
    }
    e.relays_read = true;
    e.NoteInfoRead();
    if (changes.changed) {
        NoteChange(e);
    }
    Refresh(changes);
}

void TDevice::Acknowledge(std::uint32_t device_id, std::uint8_t type, std::int32_t value,
                          bool lines, bool sensors, bool relays) {
    const int i = FindDevice(device_id);
    if (i < 0) {
        return;
    }
    TStyleCell scratch;
    if (!record_.AddRecord(device_id, type, scratch, value)) {
        return;
    }
    TDeviceEntry& e = devices_[i];
    if (lines) {
        e.lines_read = false;
    }
    if (sensors) {
        e.sensors_read = false;
    }
    if (relays) {
        e.relays_read = false;
    }
    views_.ListViewUpdate();
}

void TDevice::CmdCoreSetAdr(std::uint32_t device_id, std::uint8_t address) {
    const int i = FindDevice(device_id);
    if (i < 0) {
        return;
    }
    TStyleCell scratch;
    if (!record_.AddRecord(device_id, SET_ADDRESS, scratch, address)) {
        return;
    }
    TDeviceEntry& e = devices_[i];
    TDeviceRecord device = e.record.Get();
    device.address = address;
    e.record.Set(device);
    e.whois_read = false;
    views_.ListViewUpdate();
}

void TDevice::CmdCoreSetName(std::uint32_t device_id, const char* name) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(name);
    const int i = FindDevice(device_id);
    if (i < 0) {
        return;
    }
    TStyleCell scratch;
    if (!record_.AddRecord(device_id, SET_USER_NAME, scratch,
                           static_cast<std::int32_t>(frame::ReadDword(bytes)))) {
        return;
    }
    devices_[i].whois_read = false;
    views_.ListViewUpdate();
}

void TDevice::CmdCoreSynchroTime(std::uint32_t device_id, std::uint32_t time) {
    TStyleCell scratch;
    if (record_.AddRecord(device_id, SYNCHRO_TIME, scratch, static_cast<std::int32_t>(time))) {
        views_.ListViewUpdate();
    }
}

void TDevice::CmdCoreRemoteResetDevice(std::uint32_t device_id) {
    Acknowledge(device_id, DEVICE_RESET, AckValue(0, 0xFF), true, true, true);
}

void TDevice::CmdCoreRemoteResetLine(std::uint32_t device_id, std::uint16_t number) {
    Acknowledge(device_id, LINE_RESET, AckValue(number, 0xFF), true, false, true);
}

void TDevice::CmdCoreRemoteResetSensor(std::uint32_t device_id, std::uint16_t number) {
    Acknowledge(device_id, SENSOR_RESET, AckValue(number, 0xFF), false, true, true);
}

void TDevice::CmdCoreRemoteLineState(std::uint32_t device_id, std::uint16_t number,
                                     std::uint8_t value) {
    Acknowledge(device_id, LINE_ON_OFF, AckValue(number, value), true, false, true);
}

void TDevice::CmdCoreRemoteSensorState(std::uint32_t device_id, std::uint16_t number,
                                       std::uint8_t value) {
    Acknowledge(device_id, SENSOR_ON_OFF, AckValue(number, value), false, true, true);
}

void TDevice::CmdCoreRemoteRelayState(std::uint32_t device_id, std::uint16_t number,
                                      std::uint8_t value) {
    Acknowledge(device_id, RELAY_ON_OFF, AckValue(number, value), false, false, true);
}

void TDevice::CmdCoreRemoteRelayControl(std::uint32_t device_id, std::uint16_t number,
                                        std::uint8_t value) {
    Acknowledge(device_id, RELAY_SET_CONTROL, AckValue(number, value), false, false, true);
}

void TDevice::CmdCoreRemoteRelayMode(std::uint32_t device_id, std::uint16_t number,
                                     std::uint8_t value) {
    Acknowledge(device_id, RELAY_SET_MODE, AckValue(number, value), false, false, true);
}

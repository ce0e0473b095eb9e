#include "device/device_entry.h"

#include <algorithm>

void TNodeData::Reset() {
    style.Clear();
    menu_mask = 0;
    index = 0;
    entry = nullptr;
}

void TLineEntry::Reset() {
    state = 0;
    type = 0;
    state_node.Reset();
    type_node.Reset();
}

void TRelayEntry::Reset() {
    state = 0;
    control = 0;
    type = 0;
    mode = 0;
    state_node.Reset();
    control_node.Reset();
    type_node.Reset();
    mode_node.Reset();
}

void TDeviceEntry::Reset(const TDeviceRecord& device) {
    record.Set(device);
    max_state = 0;
    state = 0;
    power = 0;
    battery = 0;
    device_node.Reset();
    state_node.Reset();
    power_node.Reset();
    battery_node.Reset();
    lines_node.Reset();
    relays_node.Reset();
    for (TLineEntry& l : line) {
        l.Reset();
    }
    for (TRelayEntry& r : relay) {
        r.Reset();
    }
    info_complete = false;
    whois_read = false;
    is_new = false;
    lines_read = false;
    sensors_read = false;
    relays_read = false;
    online = false;
    silence_ms = 0;
    whois_id_reported = false;
}

int TDeviceEntry::LineCount() const {
    return std::clamp(record.Get().lines, 0, MAX_LINES);
}

int TDeviceEntry::RelayCount() const {
    return std::clamp(record.Get().relays, 0, MAX_RELAYS);
}

bool TDeviceEntry::LinesToRead() const {
    return record.Get().lines > 0 && !lines_read;
}

bool TDeviceEntry::RelaysToRead() const {
    return record.Get().relays > 0 && !relays_read;
}

bool TDeviceEntry::HasInfoToRead() const {
    return !whois_read || LinesToRead() || RelaysToRead();
}

void TDeviceEntry::NoteInfoRead() {
    if (!HasInfoToRead()) {
        info_complete = true;
    }
}

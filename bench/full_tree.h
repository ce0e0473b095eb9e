#pragma once

// The largest device table: 64 panels of 256 loops and 128 relays, every one online, fully read
// and accepting every command, with loop and relay states spread over their codes. Its tree has
// 91,264 nodes.

#include <cstdio>

#include "device/device.h"

inline void FillFullTable(TDevice& device) {
    for (int d = 0; d < TDevice::MAX_DEVICES; ++d) {
        TDeviceRecord r{};
        r.device_id = 0x4B540000u + static_cast<std::uint32_t>(d);
        r.address = TDevice::MAX_DEVICES - d; // sorting has work to do
        std::snprintf(r.const_name, sizeof r.const_name, "Panel-%d", d + 1);
        std::snprintf(r.user_name, sizeof r.user_name, "Floor %d", d / 4 + 1);
        r.lines = TDeviceEntry::MAX_LINES;
        r.relays = TDeviceEntry::MAX_RELAYS;
        r.archives = 1000 + d;
        r.remote = 0x3FF;
        TDeviceEntry& e = *device.GetItem(device.AddDevice(r));
        e.online = true;
        e.info_complete = true;
        e.max_state = static_cast<std::uint8_t>(d % 6);
        for (int i = 0; i < TDeviceEntry::MAX_LINES; ++i) {
            e.line[i].state = static_cast<std::uint8_t>((i + d) % 8 | (i % 4) << 3);
            e.line[i].type = static_cast<std::uint8_t>(i % 4);
        }
        for (int k = 0; k < TDeviceEntry::MAX_RELAYS; ++k) {
            e.relay[k].state = static_cast<std::uint8_t>(k % 2);
            e.relay[k].control = static_cast<std::uint8_t>(k % 8);
            e.relay[k].type = static_cast<std::uint8_t>(k % 3);
            e.relay[k].mode = static_cast<std::uint8_t>(k % 2);
        }
    }
}

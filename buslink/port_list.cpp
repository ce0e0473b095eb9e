#include "buslink/port_list.h"

TPortListEntry DescribePort(TComp32& probe, int number, int held) {
    TPortListEntry entry;
    entry.number = number;
    const auto port = static_cast<std::uint8_t>(number);
    entry.path = TComp32::PortPathText(port);
    if (number == held) {
        entry.held = true;
        entry.state = TPortState::Busy;
        return entry;
    }
    entry.state = probe.ProbeState(port, &entry.error);
    return entry;
}

std::vector<TPortListEntry> ScanPorts(TComp32& probe, int held, int configured) {
    std::vector<TPortListEntry> ports;
    for (int n = 1; n <= 255; ++n) {
        TPortListEntry entry = DescribePort(probe, n, held);
        if (entry.state != TPortState::Absent || n == configured) {
            ports.push_back(std::move(entry));
        }
    }
    return ports;
}

std::string PortListText(const TPortListEntry& entry) {
    std::string text = "COM" + std::to_string(entry.number);
    if (entry.held) {
        text += " — используется программой";
    } else if (entry.state != TPortState::Free) {
        text += std::string(" — ") + TComp32::StateText(entry.state);
    }
    return text;
}

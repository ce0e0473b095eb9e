#pragma once

#include "buslink/comp32.h"

#include <string>
#include <vector>

// The COM ports as the settings dialog lists them: what a scan found behind each number.
struct TPortListEntry {
    int number = 0;
    TPortState state = TPortState::Absent;
    int error = 0;     // the errno of the probe, 0 for a free port
    bool held = false; // the running service holds it (no probe can open it then)
    std::string path;  // TComp32::PortPathText
};

// Probes one port (a held port is not probed).
TPortListEntry DescribePort(TComp32& probe, int number, int held);

// Ports 1..255 in order: every port with a device that is there (free, busy or not allowed),
// the port the service holds (`held`, 0 for none) and the configured one (`configured`, 0 for
// none) whatever its state, so that the list always shows the port the settings name.
std::vector<TPortListEntry> ScanPorts(TComp32& probe, int held, int configured);

// One line of the list: "COM5" for a free port, else "COM5 — занят другой программой".
std::string PortListText(const TPortListEntry& entry);

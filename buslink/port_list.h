#pragma once

#include "buslink/comp32.h"

#include <string>
#include <vector>

// The COM ports as the settings dialog lists them: what a scan found behind each number.
struct TPortListEntry {
    int number = 0;
    TPortState state = TPortState::Absent;
    bool held = false;   // the running service holds it (no probe can open it then)
    std::string path;    // TComp32::PortPathText: the link and where it points, or the device
    std::string device;  // the tty behind it ("/dev/ttyUSB0"), else what the link names
    std::string adapter; // the USB adapter's maker and model from /sys, "" when not known
    // The driver's RS-485 mode: -1 not known, 0 the driver has none, 1 it has the call (whether
    // it switches the line shows at the service's open), 2 on for the running service.
    int kernel_rs485 = -1;
};

// Probes one port (a held port is not probed) and says what stands behind it; the probe's
// ports folder is the one searched for comN links.
TPortListEntry DescribePort(TComp32& probe, int number, int held);

// Ports 1..255 in order: every port with a device that is there (free, busy or not allowed),
// every ports/comN link (a link whose adapter is unplugged shows as absent), the port the
// service holds (`held`, 0 for none) and the configured one (`configured`, 0 for none) whatever
// its state, so that the list always shows the port the settings name.
std::vector<TPortListEntry> ScanPorts(TComp32& probe, int held, int configured);

// One line of the list: "COM5: /dev/ttyUSB0, FTDI FT232R USB UART — свободен".
std::string PortListText(const TPortListEntry& entry);
// The same at length, one fact a line: the path, the device, the adapter and the state.
std::string PortInfoText(const TPortListEntry& entry);

// "<maker> <model>" of the USB device a tty belongs to, read from /sys (manufacturer and
// product, else "USB vvvv:pppp"); "" for a tty that is not on USB or a path that is no tty.
std::string AdapterName(const std::string& device_path);
// The sysfs root ("/sys"); tests give a folder of their own.
void SetSysRoot(const std::string& root);

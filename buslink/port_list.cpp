#include "buslink/port_list.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace fs = std::filesystem;

namespace {

std::mutex& SysRootLock() {
    static std::mutex lock;
    return lock;
}

std::string& SysRootValue() {
    static std::string root = "/sys";
    return root;
}

std::string SysRoot() {
    std::lock_guard<std::mutex> guard(SysRootLock());
    return SysRootValue();
}

// The first line of a sysfs attribute, without trailing blanks; "" when there is none.
std::string Attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())) != 0) {
        line.pop_back();
    }
    return line;
}

// The tty behind a port's path: the device a link resolves to, else the link's own target (an
// unplugged adapter's by-id name), else the path.
std::string DevicePath(const std::string& path) {
    std::error_code ec;
    const fs::path device = fs::canonical(path, ec);
    if (!ec) {
        return device.string();
    }
    const fs::path target = fs::read_symlink(path, ec);
    return ec ? path : target.string();
}

} // namespace

void SetSysRoot(const std::string& root) {
    std::lock_guard<std::mutex> guard(SysRootLock());
    SysRootValue() = root;
}

std::string AdapterName(const std::string& device_path) {
    struct stat st {};
    if (::stat(device_path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        return {};
    }
    // /sys/dev/char/<major>:<minor> is the tty's own node whatever the name under /dev; its
    // device is the USB interface, whose parent is the USB device with the maker and model.
    const fs::path root = SysRoot();
    const fs::path node =
        root / "dev" / "char" /
        (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
    std::error_code ec;
    std::error_code top_ec;
    fs::path dir = fs::canonical(node / "device", ec);
    const fs::path top = fs::canonical(root, top_ec);
    for (int depth = 0; !ec && depth < 8 && dir.has_relative_path() && dir != top;
         ++depth, dir = dir.parent_path()) {
        std::error_code exists_ec;
        if (!fs::exists(dir / "idVendor", exists_ec)) {
            continue;
        }
        const std::string maker = Attribute(dir / "manufacturer");
        const std::string model = Attribute(dir / "product");
        if (maker.empty() && model.empty()) {
            return "USB " + Attribute(dir / "idVendor") + ":" + Attribute(dir / "idProduct");
        }
        return maker.empty() || model.empty() ? maker + model : maker + " " + model;
    }
    return {};
}

TPortListEntry DescribePort(TComp32& probe, int number, int held) {
    TPortListEntry entry;
    entry.number = number;
    const auto port = static_cast<std::uint8_t>(number);
    entry.path = probe.PortPathText(port);
    const std::string path = probe.PortPath(port);
    if (number == held) {
        entry.held = true;
        entry.state = TPortState::Busy;
    } else {
        entry.state = probe.ProbeState(port, nullptr, &entry.kernel_rs485);
    }
    if (!path.empty()) {
        entry.device = DevicePath(path);
        entry.adapter = entry.state == TPortState::Absent ? std::string() : AdapterName(path);
    }
    return entry;
}

std::vector<TPortListEntry> ScanPorts(TComp32& probe, int held, int configured) {
    std::vector<TPortListEntry> ports;
    const fs::path links = probe.PortsDir();
    for (int n = 1; n <= 255; ++n) {
        TPortListEntry entry = DescribePort(probe, n, held);
        std::error_code ec;
        const bool linked = fs::is_symlink(links / ("com" + std::to_string(n)), ec);
        if (entry.state != TPortState::Absent || n == configured || linked) {
            ports.push_back(std::move(entry));
        }
    }
    return ports;
}

namespace {

const char* StateOf(const TPortListEntry& entry) {
    return entry.held ? "используется программой" : TComp32::StateText(entry.state);
}

} // namespace

std::string PortListText(const TPortListEntry& entry) {
    std::string text = "COM" + std::to_string(entry.number);
    if (!entry.device.empty()) {
        text += ": " + entry.device;
    }
    if (!entry.adapter.empty()) {
        text += ", " + entry.adapter;
    }
    return text + " — " + StateOf(entry);
}

std::string PortInfoText(const TPortListEntry& entry) {
    std::string text = "COM" + std::to_string(entry.number) + ": " + StateOf(entry);
    if (!entry.path.empty()) {
        text += "\n" + entry.path;
    }
    if (!entry.device.empty() && entry.path.find(entry.device) == std::string::npos) {
        text += "\n" + entry.device;
    }
    if (!entry.adapter.empty()) {
        text += "\n" + entry.adapter;
    }
    switch (entry.kernel_rs485) {
    case 0:
        text += "\nRS-485 ядра: не поддерживается";
        break;
    case 1:
        text += "\nRS-485 ядра: возможно (проверяется при открытии)";
        break;
    case 2:
        text += "\nRS-485 ядра: включён";
        break;
    default:
        break;
    }
    return text;
}

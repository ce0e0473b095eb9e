// The port list: what stands behind each COM number (the link, the tty, the USB adapter as /sys
// names it) and whether it is free.
#include "buslink/port_list.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace fs = std::filesystem;

namespace {

// A pseudo-terminal standing in for a USB adapter: /dev/serial/by-id/... is a folder of this
// test, ports/com7 links to the adapter's by-id name, and a /sys of the test's own tells its
// maker and model under the tty's device number, as the kernel's does.
class AdapterPorts : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        fs::create_directories(ports);
        fs::create_directories(by_id);
        fs::create_symlink(pty.slave_path(), adapter_link);
        fs::create_symlink(adapter_link, ports + "/com7");
        SetSysRoot(sys.path());

        struct stat st {};
        ASSERT_EQ(::stat(pty.slave_path().c_str(), &st), 0);
        const std::string node = sys.file("dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                                          std::to_string(minor(st.st_rdev)));
        fs::create_directories(node);
        fs::create_directories(usb_device + "/1-1:1.0/ttyUSB0");
        fs::create_symlink(usb_device + "/1-1:1.0", node + "/device");
        Attribute("idVendor", "0403");
        Attribute("idProduct", "6001");
        Attribute("manufacturer", "FTDI");
        Attribute("product", "FT232R USB UART");
    }
    void TearDown() override { SetSysRoot("/sys"); }

    void Attribute(const std::string& name, const std::string& value) const {
        std::ofstream(usb_device + "/" + name) << value << "\n";
    }

    TempDir dir;
    TempDir sys;
    PtyPair pty;
    const std::string ports = dir.file("ports");
    const std::string by_id = dir.file("by-id");
    const std::string adapter_link = by_id + "/usb-FTDI_FT232R_USB_UART_A10K3Q2F-if00-port0";
    const std::string usb_device = sys.file("devices/pci0000:00/0000:00:14.0/usb1/1-1");
    TComp32 probe{ports};
};

} // namespace

TEST_F(AdapterPorts, TheListNamesTheDeviceTheAdapterAndWhetherItIsFree) {
    const TPortListEntry free = DescribePort(probe, 7, 0);
    EXPECT_EQ(free.state, TPortState::Free);
    EXPECT_EQ(free.path, ports + "/com7 -> " + adapter_link);
    EXPECT_EQ(free.device, pty.slave_path());
    EXPECT_EQ(free.adapter, "FTDI FT232R USB UART");
    EXPECT_EQ(PortListText(free),
              "COM7: " + pty.slave_path() + ", FTDI FT232R USB UART — свободен");
    EXPECT_EQ(PortInfoText(free), "COM7: свободен\n" + ports + "/com7 -> " + adapter_link + "\n" +
                                      pty.slave_path() +
                                      "\nFTDI FT232R USB UART\nRS-485 ядра: не поддерживается")
        << "a pseudo-terminal's driver has no RS-485 mode";

    TComp32 other(ports);
    ASSERT_TRUE(other.Open(7, 9600));
    EXPECT_EQ(PortListText(DescribePort(probe, 7, 0)),
              "COM7: " + pty.slave_path() + ", FTDI FT232R USB UART — занят другой программой");
    EXPECT_EQ(PortListText(DescribePort(probe, 7, 7)),
              "COM7: " + pty.slave_path() + ", FTDI FT232R USB UART — используется программой")
        << "the port the service holds";
    other.Close();

    // A device that gives no names is told by its ids; a tty not on USB by its path alone.
    fs::remove(usb_device + "/manufacturer");
    fs::remove(usb_device + "/product");
    EXPECT_EQ(AdapterName(ports + "/com7"), "USB 0403:6001");
    SetSysRoot(dir.file("no-sys"));
    EXPECT_EQ(AdapterName(ports + "/com7"), "");
    EXPECT_EQ(AdapterName(dir.path()), "") << "not a tty";
}

TEST_F(AdapterPorts, AnUnpluggedAdapterStaysListedByItsLinkAndOthersOnlyWhenThere) {
    PtyPair second;
    second.LinkAs(ports, 12);
    fs::create_symlink(dir.file("nowhere"), ports + "/com20"); // an adapter never plugged in here
    fs::remove(adapter_link);                                  // COM7's adapter pulled out

    const std::vector<TPortListEntry> list = ScanPorts(probe, 0, 97);
    std::vector<std::string> texts;
    for (const TPortListEntry& entry : list) {
        if (entry.number != 12 && entry.number != 7 && entry.number != 20 && entry.number != 97) {
            continue; // whatever this machine has under /dev
        }
        texts.push_back(PortListText(entry));
    }
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "COM7: " + adapter_link + " — нет устройства",
                         "COM12: " + second.slave_path() + " — свободен",
                         "COM20: " + dir.file("nowhere") + " — нет устройства",
                         "COM97 — нет устройства", // configured: no link, and no /dev name above 96
                     }));
    for (const TPortListEntry& entry : list) {
        EXPECT_TRUE(entry.state != TPortState::Absent || entry.number == 7 || entry.number == 20 ||
                    entry.number == 97)
            << "an absent port without a link is listed only when configured: " << entry.number;
    }
}

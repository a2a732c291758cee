// The port list and the USB look-up, over a sysfs and /dev laid out as the kernel and udev
// lay them out (links relative, as they are), in a temporary folder.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/serial_port.h"
#include "support/test_support.h"

namespace termiva::platform {
namespace {

namespace fs = std::filesystem;

class FakeSystem {
public:
    const fs::path& root() const { return m_tmp.path(); }

    void file(const fs::path& rel, const std::string& text) {
        fs::create_directories((root() / rel).parent_path());
        std::ofstream(root() / rel) << text << "\n";
    }
    void link(const fs::path& rel, const fs::path& target) {
        fs::create_directories((root() / rel).parent_path());
        fs::remove(root() / rel);
        fs::create_symlink(target, root() / rel);
    }
    // A USB device at sys/devices/usb1/<bus_port> with one tty on interface `intf`.
    void usb_tty(const std::string& bus_port, const std::string& tty, const std::string& vid,
                 const std::string& pid, const std::string& serial, const std::string& maker,
                 const std::string& product, int intf, bool acm) {
        const fs::path dev = fs::path("sys/devices/usb1") / bus_port;
        file(dev / "idVendor", vid);
        file(dev / "idProduct", pid);
        if (!serial.empty()) file(dev / "serial", serial);
        file(dev / "manufacturer", maker);
        file(dev / "product", product);
        const fs::path iface = dev / (bus_port + ":1." + std::to_string(intf));
        file(iface / "bInterfaceNumber", "0" + std::to_string(intf));
        // ttyACM's device is the interface; ttyUSB's is a port device below it.
        const fs::path device = acm ? iface : iface / tty;
        fs::create_directories(root() / device);
        link(fs::path("sys/class/tty") / tty / "device", fs::path("../../../..") / device);
        file(fs::path("dev") / tty, "");
    }
    void unplug(const std::string& tty) {
        fs::remove_all(root() / "sys/class/tty" / tty);
        fs::remove(root() / "dev" / tty);
    }

private:
    termiva::testing::TempDir m_tmp;
};

TEST(SerialPortsList, UsbAcmAndRealUartsAreListedWithDescriptions) {
    FakeSystem sys;
    sys.usb_tty("1-1", "ttyUSB0", "10c4", "ea60", "0001", "Silicon Labs",
                "CP2102N USB to UART Bridge Controller", 0, false);
    sys.usb_tty("1-2", "ttyACM0", "303a", "1001", "F4:12:FA:01:02:03", "Espressif",
                "USB JTAG/serial debug unit", 0, true);
    sys.link("dev/serial/by-id/usb-Silicon_Labs_CP2102N_0001-if00-port0", "../../ttyUSB0");
    sys.link("dev/serial/by-id/usb-Espressif_USB_JTAG_F4:12:FA:01:02:03-if00", "../../ttyACM0");
    // On-board UART with a chip, a legacy 8250 slot without one, a virtual console.
    sys.link("sys/class/tty/ttyS0/device", "../../../devices/platform/serial8250");
    sys.link("sys/devices/platform/serial8250/driver", "../../../bus/platform/drivers/serial8250");
    sys.file("sys/class/tty/ttyS0/type", "4");
    sys.link("sys/class/tty/ttyS1/device", "../../../devices/platform/serial8250");
    sys.file("sys/class/tty/ttyS1/type", "0");
    sys.file("sys/class/tty/tty0/dev", "4:0");
    fs::create_directories(sys.root() / "sys/devices/platform/serial8250");

    const auto ports = list_serial_ports(sys.root());
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].device, "/dev/ttyACM0");
    EXPECT_EQ(ports[0].vid, "303a");
    EXPECT_EQ(ports[0].serial_number, "F4:12:FA:01:02:03");
    EXPECT_EQ(ports[0].by_id, "/dev/serial/by-id/usb-Espressif_USB_JTAG_F4:12:FA:01:02:03-if00");
    EXPECT_EQ(ports[0].description,
              "Espressif USB JTAG/serial debug unit (303a:1001, serial F4:12:FA:01:02:03)");
    EXPECT_EQ(ports[1].device, "/dev/ttyS0");
    EXPECT_EQ(ports[1].vid, "");
    EXPECT_EQ(ports[1].description, "Serial port (serial8250)");
    EXPECT_EQ(ports[2].device, "/dev/ttyUSB0");
    EXPECT_EQ(ports[2].pid, "ea60");
    EXPECT_EQ(ports[2].interface_number, 0);
    EXPECT_EQ(ports[2].by_id, "/dev/serial/by-id/usb-Silicon_Labs_CP2102N_0001-if00-port0");
    // The maker already leads the product name: not said twice.
    EXPECT_EQ(ports[2].description,
              "Silicon Labs CP2102N USB to UART Bridge Controller (10c4:ea60, serial 0001)");
}

TEST(SerialPortsList, MissingSysfsGivesAnEmptyList) {
    termiva::testing::TempDir empty;
    EXPECT_TRUE(list_serial_ports(empty.path()).empty());
}

TEST(SerialPortsList, ReEnumeratedBoardIsFoundByItsSerialNumberAndByIdLink) {
    FakeSystem sys;
    // Two identical adapters, told apart only by their serial numbers.
    sys.usb_tty("1-1", "ttyUSB0", "1a86", "55d4", "5A7B0001", "QinHeng", "USB Single Serial", 0,
                false);
    sys.usb_tty("1-3", "ttyUSB1", "1a86", "55d4", "5A7B0002", "QinHeng", "USB Single Serial", 0,
                false);
    sys.link("dev/serial/by-id/usb-QinHeng_5A7B0002-if00-port0", "../../ttyUSB1");

    const auto by_name = usb_identity_of("/dev/ttyUSB1", sys.root());
    ASSERT_TRUE(by_name.has_value());
    EXPECT_EQ(by_name->serial_number, "5A7B0002");
    EXPECT_EQ(by_name->by_id, "/dev/serial/by-id/usb-QinHeng_5A7B0002-if00-port0");
    const auto by_link =
        usb_identity_of("/dev/serial/by-id/usb-QinHeng_5A7B0002-if00-port0", sys.root());
    ASSERT_TRUE(by_link.has_value());
    EXPECT_EQ(by_link->vid, "1a86");

    // The board is unplugged and comes back as ttyUSB2 (udev moves its link along).
    sys.unplug("ttyUSB1");
    EXPECT_FALSE(find_usb_port(*by_name, sys.root()).has_value());
    sys.usb_tty("1-4", "ttyUSB2", "1a86", "55d4", "5A7B0002", "QinHeng", "USB Single Serial", 0,
                false);
    // Before udev has moved the link, the serial number finds it.
    EXPECT_EQ(find_usb_port(*by_name, sys.root()), "/dev/ttyUSB2");
    sys.link("dev/serial/by-id/usb-QinHeng_5A7B0002-if00-port0", "../../ttyUSB2");
    EXPECT_EQ(find_usb_port(*by_name, sys.root()), "/dev/ttyUSB2");

    // Without a link, the serial number alone finds it, and never the twin adapter.
    UsbIdentity no_link = *by_name;
    no_link.by_id.clear();
    EXPECT_EQ(find_usb_port(no_link, sys.root()), "/dev/ttyUSB2");
    no_link.serial_number = "5A7B0001";
    EXPECT_EQ(find_usb_port(no_link, sys.root()), "/dev/ttyUSB0");
    no_link.serial_number = "5A7B0009";
    EXPECT_FALSE(find_usb_port(no_link, sys.root()).has_value());
}

TEST(SerialPortsList, AReopenFollowsTheAdapterOnlyWhileTheSessionKeepsItsPort) {
    FakeSystem sys;
    sys.usb_tty("1-1", "ttyUSB0", "1a86", "55d4", "5A7B0001", "QinHeng", "USB Single Serial", 0,
                false);
    const auto id = usb_identity_of("/dev/ttyUSB0", sys.root());
    ASSERT_TRUE(id.has_value());
    const RememberedAdapter remembered{"/dev/ttyUSB0", *id};
    EXPECT_EQ(port_to_reopen("/dev/ttyUSB0", remembered, sys.root()), "/dev/ttyUSB0");

    // Unplugged; another adapter takes its old name, and it comes back as ttyUSB3.
    sys.unplug("ttyUSB0");
    sys.usb_tty("1-2", "ttyUSB0", "0403", "6001", "FT0042", "FTDI", "FT232R", 0, false);
    sys.usb_tty("1-1", "ttyUSB3", "1a86", "55d4", "5A7B0001", "QinHeng", "USB Single Serial", 0,
                false);
    EXPECT_EQ(port_to_reopen("/dev/ttyUSB0", remembered, sys.root()), "/dev/ttyUSB3");
    // The user chose another port while it was away: that port, wherever the adapter is.
    EXPECT_EQ(port_to_reopen("/dev/ttyUSB1", remembered, sys.root()), "/dev/ttyUSB1");
    EXPECT_EQ(port_to_reopen("/dev/ttyUSB0", std::nullopt, sys.root()), "/dev/ttyUSB0");
}

TEST(SerialPortsList, PortsWithoutUsbIdentityHaveNone) {
    FakeSystem sys;
    sys.usb_tty("1-1", "ttyUSB0", "067b", "2303", "", "Prolific", "USB-Serial Controller", 0,
                false);
    EXPECT_FALSE(usb_identity_of("/dev/ttyUSB0", sys.root()).has_value());
    EXPECT_FALSE(usb_identity_of("/dev/ttyUSB9", sys.root()).has_value());
    EXPECT_FALSE(usb_identity_of("ttyS0", sys.root()).has_value());
}

}  // namespace
}  // namespace termiva::platform

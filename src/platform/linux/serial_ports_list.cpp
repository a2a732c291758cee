// Which serial ports exist, from sysfs: the tty class names every line the kernel has, its
// `device` link leads to the USB interface (and above it the USB device with vendor,
// product and serial number), and udev's /dev/serial/by-id links name the adapters stably.
#include <algorithm>
#include <fstream>
#include <map>
#include <system_error>

#include "platform/serial_port.h"

namespace termiva::platform {

namespace fs = std::filesystem;

namespace {

// `abs` ("/dev/…", "/sys/…") inside `root`.
fs::path under(const fs::path& root, const fs::path& abs) {
    return root / abs.relative_path();
}

std::string read_attr(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

bool starts_with(const std::string& s, std::string_view prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The tty name a /dev path or a link to one stands for ("ttyUSB0"), or empty.
std::string tty_name_of(const fs::path& root, const fs::path& dev_path) {
    std::error_code ec;
    fs::path p = under(root, dev_path);
    for (int hops = 0; hops < 8 && fs::is_symlink(p, ec); ++hops) {
        fs::path target = fs::read_symlink(p, ec);
        if (ec) return {};
        p = target.is_absolute() ? under(root, target)
                                 : (p.parent_path() / target).lexically_normal();
    }
    if (!fs::exists(p, ec)) return {};
    return p.filename().string();
}

// by-id link (as "/dev/serial/by-id/…") for every tty name that has one.
std::map<std::string, std::string> by_id_links(const fs::path& root) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    const fs::path dir = under(root, "/dev/serial/by-id");
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string link = "/dev/serial/by-id/" + it->path().filename().string();
        const std::string tty = tty_name_of(root, link);
        // Several interfaces of one device have distinct links; keep the first by name.
        if (!tty.empty() && (!out.count(tty) || link < out[tty])) out[tty] = link;
    }
    return out;
}

void describe_usb(const fs::path& device_dir, SerialPortInfo& info) {
    std::error_code ec;
    fs::path dir = fs::canonical(device_dir, ec);
    if (ec) return;
    for (fs::path p = dir; !p.empty() && p != p.root_path(); p = p.parent_path()) {
        if (info.interface_number < 0 && fs::exists(p / "bInterfaceNumber", ec)) {
            try {
                info.interface_number = std::stoi(read_attr(p / "bInterfaceNumber"), nullptr, 16);
            } catch (const std::exception&) {
                // A garbled attribute only costs the interface number.
            }
        }
        if (fs::exists(p / "idVendor", ec)) {
            info.vid = read_attr(p / "idVendor");
            info.pid = read_attr(p / "idProduct");
            info.serial_number = read_attr(p / "serial");
            info.manufacturer = read_attr(p / "manufacturer");
            info.product = read_attr(p / "product");
            return;
        }
    }
}

std::string describe(const SerialPortInfo& info, const std::string& driver) {
    if (info.vid.empty()) {
        std::string d = "Serial port";
        if (!driver.empty()) d += " (" + driver + ")";
        return d;
    }
    std::string name = info.manufacturer;
    if (!info.product.empty()) {
        // Many adapters repeat the maker inside the product name.
        if (!name.empty() && info.product.find(name) == std::string::npos)
            name += " " + info.product;
        else
            name = info.product;
    }
    if (name.empty()) name = "USB serial";
    std::string d = name + " (" + info.vid + ":" + info.pid;
    if (!info.serial_number.empty()) d += ", serial " + info.serial_number;
    if (info.interface_number > 0) d += ", interface " + std::to_string(info.interface_number);
    return d + ")";
}

}  // namespace

std::vector<SerialPortInfo> list_serial_ports(const fs::path& root) {
    std::vector<SerialPortInfo> out;
    try {
        const auto links = by_id_links(root);
        std::error_code ec;
        const fs::path tty_class = under(root, "/sys/class/tty");
        for (fs::directory_iterator it(tty_class, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            const fs::path entry = it->path();
            std::error_code e2;
            // Virtual terminals, pseudo-terminals and the console have no device behind them.
            if (!fs::exists(entry / "device", e2)) continue;
            // The 8250 driver lists every legacy port; type 0 means no UART answered.
            if (starts_with(name, "ttyS")) {
                const std::string type = read_attr(entry / "type");
                if (type.empty() || type == "0") continue;
            }
            SerialPortInfo info;
            info.device = "/dev/" + name;
            if (auto l = links.find(name); l != links.end()) info.by_id = l->second;
            describe_usb(entry / "device", info);
            std::string driver;
            fs::path drv = fs::read_symlink(entry / "device" / "driver", e2);
            if (!e2) driver = drv.filename().string();
            info.description = describe(info, driver);
            out.push_back(std::move(info));
        }
    } catch (const std::exception&) {
        // A sysfs that changes under the walk (a device unplugged meanwhile) gives a
        // shorter list, not a failure: the drop-down still accepts typed names.
    }
    std::sort(out.begin(), out.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.device < b.device; });
    return out;
}

std::optional<UsbIdentity> usb_identity_of(std::string_view port, const fs::path& root) {
    const fs::path path = serial_device_path(port);
    const std::string tty = tty_name_of(root, path);
    if (tty.empty()) return std::nullopt;
    for (const auto& info : list_serial_ports(root)) {
        if (info.device != "/dev/" + tty || info.vid.empty()) continue;
        UsbIdentity id{info.vid, info.pid, info.serial_number, info.interface_number, info.by_id};
        if (starts_with(path.string(), "/dev/serial/by-id/")) id.by_id = path.string();
        if (id.serial_number.empty() && id.by_id.empty()) return std::nullopt;
        return id;
    }
    return std::nullopt;
}

std::optional<std::string> find_usb_port(const UsbIdentity& identity, const fs::path& root) {
    if (!identity.by_id.empty()) {
        const std::string tty = tty_name_of(root, identity.by_id);
        if (!tty.empty()) return "/dev/" + tty;
    }
    if (identity.serial_number.empty()) return std::nullopt;
    for (const auto& info : list_serial_ports(root)) {
        if (info.vid == identity.vid && info.pid == identity.pid &&
            info.serial_number == identity.serial_number &&
            (identity.interface_number < 0 || info.interface_number < 0 ||
             info.interface_number == identity.interface_number))
            return info.device;
    }
    return std::nullopt;
}

}  // namespace termiva::platform

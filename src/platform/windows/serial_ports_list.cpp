// Which COM ports exist, from SetupAPI: every present device of the Ports class with a
// "PortName" value, its friendly name ("USB-SERIAL CH340 (COM5)"), and for USB adapters the
// vendor and product from the hardware id and the serial number from the USB device's
// instance id (the interface's parent for a composite device).
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>
// The class GUID is defined here, not taken from a library mingw does not always have.
#include <initguid.h>
// clang-format off
#include <devguid.h>
// clang-format on

#include <algorithm>
#include <cwctype>

#include "platform/serial_port.h"
#include "platform/windows/wide_text.h"

namespace termiva::platform {

namespace fs = std::filesystem;

namespace {

std::wstring property(HDEVINFO set, SP_DEVINFO_DATA& dev, DWORD which) {
    wchar_t buf[1024] = {};
    DWORD type = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(set, &dev, which, &type, reinterpret_cast<BYTE*>(buf),
                                             sizeof buf - sizeof(wchar_t), nullptr))
        return {};
    // REG_MULTI_SZ (hardware ids): the first string is the most specific one.
    return std::wstring(buf);
}

std::wstring port_name(HDEVINFO set, SP_DEVINFO_DATA& dev) {
    HKEY key = ::SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return {};
    wchar_t buf[256] = {};
    DWORD size = sizeof buf - sizeof(wchar_t), type = 0;
    const LONG rc =
        ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    ::RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ) return {};
    return std::wstring(buf);
}

std::wstring instance_id(DEVINST inst) {
    wchar_t buf[MAX_DEVICE_ID_LEN + 1] = {};
    if (::CM_Get_Device_IDW(inst, buf, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
    return std::wstring(buf);
}

std::wstring upper(std::wstring s) {
    for (auto& c : s)
        c = static_cast<wchar_t>(std::towupper(c));
    return s;
}

// Four hex digits after `tag` ("VID_") in an id, lower case as Linux shows them.
std::string hex_after(const std::wstring& id, const wchar_t* tag) {
    const std::wstring u = upper(id);
    const auto at = u.find(tag);
    if (at == std::wstring::npos || at + 4 + 4 > u.size()) return {};
    std::string out;
    for (std::size_t i = at + 4; i < at + 8; ++i) {
        const wchar_t c = u[i];
        if (!std::iswxdigit(c)) return {};
        out += static_cast<char>(std::towlower(c));
    }
    return out;
}

int interface_of(const std::wstring& id) {
    const std::wstring u = upper(id);
    const auto at = u.find(L"&MI_");
    if (at == std::wstring::npos || at + 6 > u.size()) return -1;
    try {
        return std::stoi(u.substr(at + 4, 2), nullptr, 16);
    } catch (const std::exception&) {
        return -1;
    }
}

// The serial number Windows took from the USB device: the last part of a USB device's
// instance id, unless Windows made one up (those contain '&').
std::string usb_serial(DEVINST inst) {
    for (int up = 0; up < 3; ++up) {
        const std::wstring id = instance_id(inst);
        const std::wstring u = upper(id);
        if (u.rfind(L"USB\\VID_", 0) == 0 && u.find(L"&MI_") == std::wstring::npos) {
            const auto slash = id.rfind(L'\\');
            const std::wstring last = slash == std::wstring::npos ? L"" : id.substr(slash + 1);
            if (!last.empty() && last.find(L'&') == std::wstring::npos)
                return platform::windows::to_utf8(last);
            return {};
        }
        DEVINST parent = 0;
        if (::CM_Get_Parent(&parent, inst, 0) != CR_SUCCESS) return {};
        inst = parent;
    }
    return {};
}

// "COM3" < "COM10": by the number after the letters.
bool port_order(const SerialPortInfo& a, const SerialPortInfo& b) {
    auto split = [](const std::string& s) {
        std::size_t i = 0;
        while (i < s.size() && !(s[i] >= '0' && s[i] <= '9'))
            ++i;
        long n = 0;
        for (std::size_t j = i; j < s.size() && s[j] >= '0' && s[j] <= '9' && n < 1000000; ++j)
            n = n * 10 + (s[j] - '0');
        return std::make_pair(s.substr(0, i), n);
    };
    return split(a.device) < split(b.device) ||
           (split(a.device) == split(b.device) && a.device < b.device);
}

}  // namespace

std::vector<SerialPortInfo> list_serial_ports(const fs::path&) {
    std::vector<SerialPortInfo> out;
    HDEVINFO set = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return out;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        const std::wstring name = port_name(set, dev);
        // Printer ports (LPT) share the class; only COM ports are serial lines.
        if (upper(name).rfind(L"COM", 0) != 0) continue;
        SerialPortInfo info;
        info.device = windows::to_utf8(name);
        const std::wstring hardware = property(set, dev, SPDRP_HARDWAREID);
        info.vid = hex_after(hardware, L"VID_");
        info.pid = hex_after(hardware, L"PID_");
        if (info.vid.empty()) {
            // FTDI's own driver names the device FTDIBUS\VID_0403+PID_6001+…
            const std::wstring id = instance_id(dev.DevInst);
            info.vid = hex_after(id, L"VID_");
            info.pid = hex_after(id, L"PID_");
        }
        if (!info.vid.empty()) {
            info.interface_number = interface_of(hardware);
            info.serial_number = usb_serial(dev.DevInst);
        }
        info.manufacturer = windows::to_utf8(property(set, dev, SPDRP_MFG));
        std::wstring friendly = property(set, dev, SPDRP_FRIENDLYNAME);
        if (friendly.empty()) friendly = property(set, dev, SPDRP_DEVICEDESC);
        info.product = windows::to_utf8(friendly);
        std::string d = info.product.empty() ? std::string("Serial port") : info.product;
        if (!info.vid.empty()) {
            d += " (" + info.vid + ":" + info.pid;
            if (!info.serial_number.empty()) d += ", serial " + info.serial_number;
            if (info.interface_number > 0)
                d += ", interface " + std::to_string(info.interface_number);
            d += ")";
        }
        info.description = d;
        out.push_back(std::move(info));
    }
    ::SetupDiDestroyDeviceInfoList(set);
    std::sort(out.begin(), out.end(), port_order);
    return out;
}

std::optional<UsbIdentity> usb_identity_of(std::string_view port, const fs::path& root) {
    std::string wanted(port);
    while (!wanted.empty() && wanted.back() == ' ')
        wanted.pop_back();
    if (wanted.rfind("\\\\.\\", 0) == 0) wanted = wanted.substr(4);
    for (const auto& info : list_serial_ports(root)) {
        if (::CompareStringOrdinal(windows::to_utf16(info.device).c_str(), -1,
                                   windows::to_utf16(wanted).c_str(), -1, TRUE) != CSTR_EQUAL)
            continue;
        if (info.vid.empty() || info.serial_number.empty()) return std::nullopt;
        return UsbIdentity{info.vid, info.pid, info.serial_number, info.interface_number, {}};
    }
    return std::nullopt;
}

std::optional<std::string> find_usb_port(const UsbIdentity& identity, const fs::path& root) {
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

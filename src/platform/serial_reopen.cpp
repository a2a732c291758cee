// Which device a serial session opens again after its adapter went away: the same on every
// system, over each system's own USB look-up.
#include "platform/serial_port.h"

namespace termiva::platform {

std::string port_to_reopen(const std::string& port,
                           const std::optional<RememberedAdapter>& remembered,
                           const std::filesystem::path& root) {
    if (!remembered || remembered->session_port != port) return port;
    const UsbIdentity& wanted = remembered->identity;
    const auto now_there = usb_identity_of(port, root);
    const bool same = now_there && now_there->vid == wanted.vid && now_there->pid == wanted.pid &&
                      now_there->serial_number == wanted.serial_number;
    if (same) return port;
    return find_usb_port(wanted, root).value_or(port);
}

}  // namespace termiva::platform

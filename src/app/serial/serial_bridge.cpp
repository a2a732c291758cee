// The page's serial operation: the ports that exist now, for the session editor.
#include "app/serial/serial_tabs.h"

namespace termiva {

void SerialTabs::register_ops(BridgeTable& table) {
    table.add("list_serial_ports",
              {{},
               [] { return nlohmann::json::array(); },
               [](const std::vector<nlohmann::json>&) { return list_serial_ports(); }});
}

}  // namespace termiva

// The page's serial operation: the ports that exist now, for the session editor.
#include "app/termiva_app.h"

namespace termiva {

void TermivaApp::register_serial_bridge() {
    m_bridge.add("list_serial_ports",
                 {{},
                  [] { return Json::array(); },
                  [this](const std::vector<Json>&) { return list_serial_ports(); }});
}

}  // namespace termiva

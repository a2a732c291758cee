// Choosing the starter of a new tab by its session's protocol.
#include <cctype>

#include "app/json_values.h"
#include "app/termiva_app.h"

namespace termiva {

void TermivaApp::connect_tab(const std::string& tab_id) {
    // No pause for the page to draw the tab first: it keeps a new tab's status lines
    // until its terminal exists.
    TabPtr tab = m_tabs.find_tab(tab_id);
    if (!tab || m_threads.stopping()) return;
    SessionPtr sess;
    {
        std::lock_guard lock(tab->lock);
        sess = tab->session;
    }
    const Session& s = *sess;
    const std::string& protocol = s.protocol;

    if (protocol == "ssh") {
        if (s.ssh_version.value_or("2") == "1") {
            _start_ssh1_impl(tab_id, s, tab);
        } else {
            _start_ssh_impl(tab_id, s, tab);
        }
    } else if (protocol == "serial") {
        _start_serial_impl(tab_id, s, tab);
    } else if (protocol == "raw") {
        _start_raw_impl(tab_id, s, tab);
    } else if (protocol == "telnet") {
        _start_telnet_impl(tab_id, s, tab);
    } else if (protocol == "telnet-serial") {
        _start_telnet_serial_impl(tab_id, s, tab);
    } else if (protocol == "rlogin") {
        _start_rlogin_impl(tab_id, s, tab);
    } else if (protocol == "supdup") {
        _start_supdup_impl(tab_id, s, tab);
    } else if (protocol == "conpty") {
        _start_conpty_impl(tab_id, s, tab);
    } else {
        std::string upper = protocol;
        for (auto& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        tab->move_to(TabState::failed);
        _push_info(tab_id, _t("err.proto_unsupported", {{"proto", upper}}), true);
    }
}

}  // namespace termiva

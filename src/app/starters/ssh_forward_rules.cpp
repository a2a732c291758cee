// Forwarding rules of an SSH-2 session: "L" local_port:remote_host:remote_port,
// "R" remote_port:local_host:local_port and "D" [bind_address:]port.
#include <cctype>
#include <iostream>

#include "app/json_values.h"
#include "app/starters/ssh_support.h"
#include "app/termiva_app.h"
#include "connect/ssh2/ssh_connection.h"
#include "connect/ssh2/ssh_forward.h"

namespace termiva {

void _setup_forward(TabHost& app, SshConnection& transport, const ForwardRule& parsed,
                    const std::string& tab_id) {
    std::string error = parsed.error;
    try {
        if (parsed.kind == ForwardRule::Kind::local) {
            _open_local_forward(transport, parsed.listen_port, parsed.dest_host, parsed.dest_port);
        } else if (parsed.kind == ForwardRule::Kind::dynamic) {
            open_dynamic_forward(transport, parsed.listen_host, parsed.listen_port);
        } else if (parsed.kind == ForwardRule::Kind::remote) {
            const std::string local_host = parsed.dest_host;
            const int local_port = parsed.dest_port;
            transport.request_port_forward(
                "", parsed.listen_port,
                [&transport, local_host, local_port](std::shared_ptr<SshChannel> channel,
                                                     SshAddress, SshAddress) {
                    _remote_handler(channel, local_host, local_port, transport.stopping());
                });
        }
    } catch (const std::exception& e) {
        error = e.what();
        if (error.empty()) error = "failed";
    }
    if (error.empty()) return;
    app.push_info(tab_id,
                  app.translate("err.fwd_setup_fail",
                                {{"type", parsed.type}, {"spec", parsed.spec}, {"err", error}}),
                  true);
}

}  // namespace termiva

// SSH-1 tabs: password login only (asked in the terminal when none is saved), the host key
// checked against the shared known_hosts.
#include <map>

#include "app/json_values.h"
#include "app/starters/stream_starter.h"
#include "app/tabs/login_prompt.h"
#include "app/termiva_app.h"
#include "connect/ssh1/ssh1_backend.h"
#include "connect/ssh_bugs/ssh_bugs.h"

namespace termiva {

void TermivaApp::_start_ssh1_impl(const std::string& tab_id, const Session& sess,
                                  const TabPtr& tab) {
    std::string host = text_or(sess.host, "");
    int port = sess.port.or_default(22);
    _push_info(tab_id,
               _t("info.connecting_ssh1", {{"host", host}, {"port", std::to_string(port)}}));

    Ssh1Backend::Options options;
    options.password = text_or(sess.password, "");
    // No saved password: asked in the terminal (a saved one that is refused is not).
    if (options.password.empty()) options.login_user = LoginPrompt::attach(m_tabs, *tab);
    options.host = host;
    options.port = port;
    options.ip_family = sess.ip_family;
    options.username = text_or(sess.username, "");
    options.term_type = text_or(sess.terminal_type, "xterm");
    options.rows = 24;
    options.cols = 80;
    options.timeout = 15;
    std::map<std::string, std::string> modes;
    for (const auto& [name, setting] : sess.ssh_bugs) {
        if (setting.written_as_text) modes[name] = setting.mode;
    }
    options.bugs = SSHBugSpec::ssh1_forced_on(modes);
    options.known_hosts_file = HOST_KEYS_FILE;
    auto backend = std::make_shared<Ssh1Backend>(std::move(options));
    run_stream_starter(m_tabs, tab_id, tab, backend, {"ssh1", "err.ssh1_fail", ""});
    LoginPrompt::detach(*tab);
}

}  // namespace termiva

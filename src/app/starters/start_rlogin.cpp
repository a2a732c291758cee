// Rlogin tabs.
#include <cstdlib>

#include "app/json_values.h"
#include "app/starters/stream_starter.h"
#include "app/termiva_app.h"
#include "connect/rlogin/rlogin_backend.h"

namespace termiva {

namespace {

std::string environment_text(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

}  // namespace

void TermivaApp::_start_rlogin_impl(const std::string& tab_id, const Session& sess,
                                    const TabPtr& tab) {
    RloginBackend::Options o;
    o.host = text_or(sess.host, "");
    o.port = sess.port.or_default(513);
    o.ip_family = sess.ip_family;
    std::string username = text_or(sess.username, "");
    // USERNAME is what Windows sets; here the login name is in USER.
    std::string local = text_or(sess.rlogin_local_user, "");
    if (local.empty()) local = username;
    if (local.empty()) local = environment_text("USERNAME");
    if (local.empty()) local = environment_text("USER");
    if (local.empty()) local = "user";
    o.local_username = local;
    o.remote_username = username.empty() ? local : username;
    o.term_type = text_or(sess.terminal_type, "xterm");
    o.term_speed = text_or(sess.term_speed, "38400,38400");
    o.term_width = 80;
    o.term_height = 24;
    o.timeout = 15;

    _push_info(tab_id, _t("info.connecting_rlogin",
                          {{"host", o.host}, {"port", std::to_string(o.port)}, {"user", local}}));
    auto backend = std::make_shared<RloginBackend>(std::move(o));
    run_stream_starter(m_tabs, tab_id, tab, backend, {"rlogin", "err.rlogin_fail", ""});

    // Servers that trust .rhosts refuse clients on ordinary ports; when we had no
    // reserved one, that is the likely reason and worth a line of its own.
    if (tab->state() == TabState::failed && !backend->used_reserved_port())
        _push_info(tab_id, _t("info.rlogin_no_reserved_port"));
}

}  // namespace termiva

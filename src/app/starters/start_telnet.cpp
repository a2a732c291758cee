// Telnet tabs, plain and with RFC 2217 control of a remote serial port.
#include "app/json_values.h"
#include "app/starters/stream_starter.h"
#include "app/termiva_app.h"
#include "connect/telnet/telnet_backend.h"

namespace termiva {

namespace {

TelnetBackend::Options telnet_options(const Session& sess) {
    TelnetBackend::Options o;
    o.host = text_or(sess.host, "");
    o.port = sess.port.or_default(23);
    o.ip_family = sess.ip_family;
    o.term_type = text_or(sess.terminal_type, "xterm");
    o.term_speed = text_or(sess.term_speed, "38400,38400");
    o.term_width = 80;
    o.term_height = 24;
    o.passive = sess.passive_telnet.value_or(false);
    o.rfc_environ = sess.rfc_environ.value_or(true);
    o.username = text_or(sess.username, "");
    o.timeout = 15;
    return o;
}

}  // namespace

void TermivaApp::_start_telnet_impl(const std::string& tab_id, const Session& sess,
                                    const TabPtr& tab) {
    TelnetBackend::Options o = telnet_options(sess);
    o.environment = sess.telnet_env;
    _push_info(tab_id,
               _t("info.connecting_telnet", {{"host", o.host}, {"port", std::to_string(o.port)}}));
    auto backend = std::make_shared<TelnetBackend>(std::move(o));
    run_stream_starter(m_tabs, tab_id, tab, backend, {"telnet", "err.conn_fail", ""});
}

void TermivaApp::_start_telnet_serial_impl(const std::string& tab_id, const Session& sess,
                                           const TabPtr& tab) {
    TelnetBackend::Options o = telnet_options(sess);  // no environment for a serial server
    o.com_port_control = true;
    o.com_baud = sess.line_rate.or_default(9600);
    // Data bits that are not a number fall back to 8 like every number field, but they
    // were clearly meant as something: say so rather than guess silently.
    std::string bad_bits;
    o.com_bits = sess.serial_bits.or_default(8);
    if (!sess.serial_bits.text.empty() && !sess.serial_bits.integer)
        bad_bits = sess.serial_bits.text;
    o.com_parity = text_or(sess.serial_parity, "N");
    o.com_stop = text_or(sess.serial_stop, "1");
    o.com_flow = text_or(sess.serial_flow, "N");

    _push_info(tab_id, _t("info.connecting_telnet_serial", {{"host", o.host},
                                                            {"port", std::to_string(o.port)},
                                                            {"baud", std::to_string(o.com_baud)},
                                                            {"bits", std::to_string(o.com_bits)},
                                                            {"parity", o.com_parity},
                                                            {"stop", o.com_stop},
                                                            {"flow", o.com_flow}}));
    if (!bad_bits.empty())
        _push_info(tab_id, _t("info.serial_bits_fallback", {{"value", bad_bits}}));

    auto backend = std::make_shared<TelnetBackend>(std::move(o));
    backend->set_event_handler([this, tab_id](const telnet::Event& e) {
        if (e.kind == telnet::Event::Kind::com_port_refused) {
            _push_info(tab_id, _t("info.com_port_refused"), true);
        } else {
            _push_info(
                tab_id,
                _t("info.com_port_changed",
                   {{"setting", e.setting}, {"requested", e.requested}, {"actual", e.actual}}),
                true);
        }
    });
    run_stream_starter(m_tabs, tab_id, tab, backend, {"telnet", "err.conn_fail", ""});
}

}  // namespace termiva

// Telnet tabs, plain and with RFC 2217 control of a remote serial port.
#include "app/json_values.h"
#include "app/starters/stream_starter.h"
#include "connect/telnet/telnet_backend.h"

namespace termiva {

namespace {

TelnetBackend::Options telnet_options(const Json& sess) {
    TelnetBackend::Options o;
    o.host = text_field(sess, "host");
    o.port = int_field(sess, "port", 23);
    o.term_type = text_field(sess, "terminal_type", "xterm");
    o.term_speed = text_field(sess, "term_speed", "38400,38400");
    o.term_width = 80;
    o.term_height = 24;
    o.passive = bool_field(sess, "passive_telnet", false);
    o.rfc_environ = bool_field(sess, "rfc_environ", true);
    o.username = text_field(sess, "username");
    o.timeout = 15;
    return o;
}

// telnet_env: maps with a non-empty key, in order; a later duplicate wins.
std::vector<std::pair<std::string, std::string>> telnet_environment(const Json& sess) {
    std::vector<std::pair<std::string, std::string>> env;
    const Json& list = member(sess, "telnet_env");
    if (!list.is_array()) return env;
    for (const Json& item : list) {
        if (!item.is_object()) continue;
        std::string key = text_of(member(item, "key"));
        if (key.empty()) continue;
        std::string value = text_of(member(item, "value"));
        bool replaced = false;
        for (auto& [k, v] : env) {
            if (k == key) {
                v = value;
                replaced = true;
            }
        }
        if (!replaced) env.emplace_back(key, std::move(value));
    }
    return env;
}

}  // namespace

void TermivaApp::_start_telnet_impl(const std::string& tab_id, const Json& sess,
                                    const TabPtr& tab) {
    TelnetBackend::Options o = telnet_options(sess);
    o.environment = telnet_environment(sess);
    _push_info(tab_id,
               _t("info.connecting_telnet", {{"host", o.host}, {"port", std::to_string(o.port)}}));
    auto backend = std::make_shared<TelnetBackend>(std::move(o));
    run_stream_starter(*this, tab_id, tab, backend, {"telnet", "err.conn_fail", ""});
}

void TermivaApp::_start_telnet_serial_impl(const std::string& tab_id, const Json& sess,
                                           const TabPtr& tab) {
    TelnetBackend::Options o = telnet_options(sess);  // no environment for a serial server
    o.com_port_control = true;
    o.com_baud = int_field(sess, "serial_baud", 9600);
    // Data bits that are not a number fall back to 8 like every number field, but they
    // were clearly meant as something: say so rather than guess silently.
    const Json& bits = member(sess, "serial_bits");
    std::string bad_bits;
    o.com_bits = int_field(sess, "serial_bits", 8);
    if (!bits.is_null() && !text_of(bits).empty() && !to_integer(bits)) bad_bits = text_of(bits);
    o.com_parity = text_field(sess, "serial_parity", "N");
    o.com_stop = text_field(sess, "serial_stop", "1");
    o.com_flow = text_field(sess, "serial_flow", "N");

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
    run_stream_starter(*this, tab_id, tab, backend, {"telnet", "err.conn_fail", ""});
}

}  // namespace termiva

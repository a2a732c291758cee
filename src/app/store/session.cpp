#include "app/store/session.h"

#include <cctype>
#include <limits>
#include <stdexcept>

#include "app/json_values.h"

namespace termiva {

namespace {

using Json = nlohmann::json;

std::optional<std::string> text_member(const Json& rec, std::string_view key) {
    const Json& v = member(rec, key);
    if (v.is_null()) return std::nullopt;
    return text_of(v);
}

std::optional<bool> bool_member(const Json& rec, std::string_view key) {
    const Json& v = member(rec, key);
    if (v.is_null()) return std::nullopt;
    return !is_false_like(v);
}

NumberField number_member(const Json& rec, std::string_view key) {
    const Json& v = member(rec, key);
    return NumberField{text_of(v), to_integer(v)};
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n\f\v");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n\f\v");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> split_colons(const std::string& spec) {
    std::vector<std::string> parts(1);
    for (char c : spec) {
        if (c == ':') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

// A port written as a decimal number, blanks around it allowed.
int port_number(const std::string& text) {
    const std::string digits = trim(text);
    std::size_t start = digits.size() > 0 && (digits[0] == '+') ? 1 : 0;
    if (start == digits.size() || digits.size() - start > 9) {
        throw std::invalid_argument("invalid port number '" + text + "'");
    }
    int value = 0;
    for (std::size_t i = start; i < digits.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(digits[i]))) {
            throw std::invalid_argument("invalid port number '" + text + "'");
        }
        value = value * 10 + (digits[i] - '0');
    }
    if (value > 65535) throw std::invalid_argument("port out of range: " + trim(text));
    return value;
}

// "D" [bind_address:]port, the address an IPv6 one in brackets ("[::1]:1080") or "*" for
// every address; none means the loopback.
ForwardRule parse_dynamic_rule(ForwardRule out) {
    std::string address;
    std::string port = out.spec;
    if (out.spec.front() == '[') {
        const auto close = out.spec.find(']');
        if (close == std::string::npos || close + 1 >= out.spec.size() ||
            out.spec[close + 1] != ':') {
            out.kind = ForwardRule::Kind::invalid;
            out.error = "expected [bind_address:]port";
            return out;
        }
        address = out.spec.substr(1, close - 1);
        port = out.spec.substr(close + 2);
    } else if (const auto colon = out.spec.find(':'); colon != std::string::npos) {
        address = trim(out.spec.substr(0, colon));
        port = out.spec.substr(colon + 1);
    }
    try {
        if (port.find(':') != std::string::npos) {
            throw std::invalid_argument("expected [bind_address:]port");
        }
        out.listen_port = port_number(port);
        out.listen_host = address;
        out.kind = ForwardRule::Kind::dynamic;
    } catch (const std::invalid_argument& e) {
        out.kind = ForwardRule::Kind::invalid;
        out.error = e.what();
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> telnet_environment(const Json& list) {
    std::vector<std::pair<std::string, std::string>> env;
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

std::map<std::string, SshBugSetting> bug_settings(const Json& bugs) {
    std::map<std::string, SshBugSetting> out;
    for (auto& [flag, mode] : ssh_bug_modes(bugs))
        out[flag] = SshBugSetting{mode, false};
    if (bugs.is_object()) {
        for (const auto& [flag, mode] : bugs.items()) {
            if (mode.is_string()) out[flag].written_as_text = true;
        }
    }
    return out;
}

}  // namespace

platform::IpFamily ip_family_member(const Json& rec) {
    std::string text = trim(text_of(member(rec, "ip_version")));
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text == "ipv4") return platform::IpFamily::ipv4;
    if (text == "ipv6") return platform::IpFamily::ipv6;
    return platform::IpFamily::any;
}

std::vector<std::string> name_list(const Json& value) {
    std::vector<std::string> names;
    auto add = [&names](std::string name) {
        if (!name.empty()) names.push_back(std::move(name));
    };
    if (value.is_array()) {
        for (const auto& item : value)
            add(text_of(item));
    } else if (value.is_string()) {
        std::string current;
        for (char c : value.get_ref<const std::string&>()) {
            if (c == ',' || std::isspace(static_cast<unsigned char>(c))) {
                add(std::move(current));
                current.clear();
            } else {
                current += c;
            }
        }
        add(std::move(current));
    }
    return names;
}

int NumberField::or_default(int fallback) const {
    if (!integer || *integer == 0 || *integer > std::numeric_limits<int>::max() ||
        *integer < std::numeric_limits<int>::min()) {
        return fallback;
    }
    return static_cast<int>(*integer);
}

bool NumberField::blank() const {
    return text.find_first_not_of(" \t") == std::string::npos;
}

ForwardRule parse_forward_rule(const Json& rule) {
    ForwardRule out;
    out.type = text_of(member(rule, "type"));
    for (auto& c : out.type)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    out.spec = trim(text_of(member(rule, "spec")));
    if (out.spec.empty()) return out;
    if (out.type == "D") return parse_dynamic_rule(std::move(out));
    if (out.type != "L" && out.type != "R") return out;
    const auto parts = split_colons(out.spec);
    if (parts.size() != 3) return out;  // not a rule this program can read: ignored
    try {
        out.listen_port = port_number(parts[0]);
        out.dest_host = parts[1];
        out.dest_port = port_number(parts[2]);
        out.kind = out.type == "L" ? ForwardRule::Kind::local : ForwardRule::Kind::remote;
    } catch (const std::invalid_argument& e) {
        out.kind = ForwardRule::Kind::invalid;
        out.error = e.what();
    }
    return out;
}

std::map<std::string, std::string> ssh_bug_modes(const Json& bugs) {
    std::map<std::string, std::string> out;
    if (!bugs.is_object()) return out;
    for (const auto& [flag, mode] : bugs.items()) {
        if (mode.is_string()) {
            out[flag] = mode.get<std::string>();
        } else if (mode.is_boolean()) {
            out[flag] = mode.get<bool>() ? "on" : "off";
        } else if (mode.is_number()) {
            out[flag] = to_integer(mode).value_or(0) != 0 ? "on" : "off";
        }
    }
    return out;
}

Session::Session(Json record) : stored(std::move(record)) {
    const Json& r = stored;
    id = text_of(member(r, "id"));
    name = text_of(member(r, "name"));
    if (auto p = text_member(r, "protocol")) protocol = std::move(*p);
    host = text_member(r, "host");
    username = text_member(r, "username");
    password = text_member(r, "password");
    private_key = text_member(r, "private_key");
    line_code_page = text_member(r, "line_code_page");
    terminal_type = text_member(r, "terminal_type");
    term_speed = text_member(r, "term_speed");
    ssh_version = text_member(r, "ssh_version");
    serial_parity = text_member(r, "serial_parity");
    serial_stop = text_member(r, "serial_stop");
    serial_flow = text_member(r, "serial_flow");
    rlogin_local_user = text_member(r, "rlogin_local_user");
    supdup_charset = text_member(r, "supdup_charset");
    supdup_location = text_member(r, "supdup_location");
    conpty_shell = text_member(r, "conpty_shell");
    conpty_cwd = text_member(r, "conpty_cwd");
    conpty_custom_command = text_member(r, "conpty_custom_command");
    esp_interface = text_member(r, "esp_interface");
    esp_chip = text_member(r, "esp_chip");
    ip_family = ip_family_member(r);

    if (protocol == "serial") {
        line_rate = number_member(r, "port");
    } else {
        port = number_member(r, "port");
        line_rate = number_member(r, "serial_baud");
    }
    serial_bits = number_member(r, "serial_bits");
    keepalive_sec = number_member(r, "keepalive_sec");

    compression = bool_member(r, "compression");
    agent_forwarding = bool_member(r, "agent_forwarding");
    ssh_legacy_compat = bool_member(r, "ssh_legacy_compat");
    passive_telnet = bool_member(r, "passive_telnet");
    rfc_environ = bool_member(r, "rfc_environ");
    supdup_more = bool_member(r, "supdup_more");
    supdup_scroll = bool_member(r, "supdup_scroll");
    lfhascr = member(r, "lfhascr") == true;
    crhaslf = member(r, "crhaslf") == true;
    if (const Json& ending = member(r, "serial_line_ending"); ending == "lf") {
        serial_line_ending = "\n";
    } else if (ending == "crlf") {
        serial_line_ending = "\r\n";
    }
    serial_local_echo = member(r, "serial_local_echo") == true;

    const Json& forwards = member(r, "port_forwards");
    if (forwards.is_array()) {
        for (const Json& rule : forwards)
            port_forwards.push_back(parse_forward_rule(rule));
    }
    if (const auto jump = text_member(r, "proxy_jump")) proxy_jump = parse_jump_chain(*jump);
    ssh_kex = name_list(member(r, "ssh_kex"));
    ssh_ciphers = name_list(member(r, "ssh_ciphers"));
    ssh_macs = name_list(member(r, "ssh_macs"));
    ssh_keys = name_list(member(r, "ssh_keys"));
    ssh_bugs = bug_settings(member(r, "ssh_bugs"));
    telnet_env = telnet_environment(member(r, "telnet_env"));
}

bool Session::has_id(const Json& session_id) const {
    return member(stored, "id") == session_id;
}

const Json& Session::id_value() const {
    return member(stored, "id");
}

std::string text_or(const std::optional<std::string>& field, std::string_view fallback) {
    if (!field || field->empty()) return std::string(fallback);
    return *field;
}

std::string tab_caption(const Session& sess) {
    if (!sess.name.empty()) return sess.name;
    const std::string& port_text = sess.protocol == "serial" ? sess.line_rate.text : sess.port.text;
    return sess.host.value_or("") + ":" + port_text;
}

}  // namespace termiva

// Forwarding rules of an SSH-2 session: "L" local_port:remote_host:remote_port and
// "R" remote_port:local_host:local_port.
#include <cctype>
#include <iostream>

#include "app/json_values.h"
#include "app/starters/ssh_support.h"
#include "app/termiva_app.h"
#include "connect/ssh2/ssh_connection.h"
#include "connect/ssh2/ssh_forward.h"

namespace termiva {
namespace {

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

}  // namespace

ForwardRule parse_forward_rule(const Json& rule) {
    ForwardRule out;
    out.type = text_of(member(rule, "type"));
    for (auto& c : out.type)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    out.spec = trim(text_of(member(rule, "spec")));
    if (out.spec.empty() || (out.type != "L" && out.type != "R")) return out;
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

void _setup_forward(TermivaApp& app, SshConnection& transport, const Json& rule,
                    const std::string& tab_id) {
    const ForwardRule parsed = parse_forward_rule(rule);
    std::string error = parsed.error;
    try {
        if (parsed.kind == ForwardRule::Kind::local) {
            _open_local_forward(transport, parsed.listen_port, parsed.dest_host, parsed.dest_port);
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
    app._push_info(tab_id,
                   app._t("err.fwd_setup_fail",
                          {{"type", parsed.type}, {"spec", parsed.spec}, {"err", error}}),
                   false);
}

}  // namespace termiva

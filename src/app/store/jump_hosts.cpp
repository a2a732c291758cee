#include "app/store/jump_hosts.h"

#include <cctype>
#include <stdexcept>

namespace termiva {
namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// Printable, without blanks and without the characters that separate the parts.
bool plain(std::string_view part, std::string_view also_forbidden) {
    for (char c : part) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7F || also_forbidden.find(c) != std::string_view::npos)
            return false;
    }
    return !part.empty();
}

// Why one hop cannot be read.
class HopError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

int port_of(std::string_view text, std::string_view hop) {
    if (text.empty() || text.size() > 5)
        throw HopError("invalid port in '" + std::string(hop) + "'");
    int value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            throw HopError("invalid port in '" + std::string(hop) + "'");
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) throw HopError("invalid port in '" + std::string(hop) + "'");
    return value;
}

JumpHost parse_hop(std::string_view hop) {
    if (hop.empty()) throw HopError("an empty jump host");
    JumpHost out;
    std::string_view rest = hop;
    if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
        const std::string_view user = rest.substr(0, at);
        if (!plain(user, ",")) throw HopError("invalid user name in '" + std::string(hop) + "'");
        out.user = std::string(user);
        rest = rest.substr(at + 1);
    }
    std::string_view host = rest;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos)
            throw HopError("unclosed '[' in '" + std::string(hop) + "'");
        host = rest.substr(1, close - 1);
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':')
                throw HopError("unexpected text after ']' in '" + std::string(hop) + "'");
            port = after.substr(1);
            if (port.empty()) throw HopError("invalid port in '" + std::string(hop) + "'");
        }
    } else if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (port.find(':') != std::string_view::npos)
            throw HopError("an IPv6 address needs brackets: '" + std::string(hop) + "'");
        if (port.empty()) throw HopError("invalid port in '" + std::string(hop) + "'");
    }
    if (!plain(host, "@,[]/")) throw HopError("invalid host name in '" + std::string(hop) + "'");
    out.host = std::string(host);
    if (!port.empty()) out.port = port_of(port, hop);
    return out;
}

}  // namespace

JumpChain parse_jump_chain(std::string_view text) {
    JumpChain chain;
    if (text.size() > MAX_JUMP_TEXT) {
        chain.error =
            "the jump host list is longer than " + std::to_string(MAX_JUMP_TEXT) + " characters";
        return chain;
    }
    text = trimmed(text);
    if (text.empty() || text == "none") return chain;
    try {
        while (true) {
            const auto comma = text.find(',');
            if (chain.hops.size() == MAX_JUMP_HOPS) {
                throw HopError("more than " + std::to_string(MAX_JUMP_HOPS) + " jump hosts");
            }
            chain.hops.push_back(parse_hop(trimmed(text.substr(0, comma))));
            if (comma == std::string_view::npos) break;
            text = text.substr(comma + 1);
        }
    } catch (const HopError& e) {
        chain.hops.clear();
        chain.error = e.what();
    }
    return chain;
}

}  // namespace termiva

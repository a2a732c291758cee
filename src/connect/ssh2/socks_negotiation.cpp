#include "connect/ssh2/socks_negotiation.h"

#include <cstdint>

namespace termiva::ssh2 {
namespace {

constexpr unsigned char SOCKS4_REPLY_VERSION = 0x00;
constexpr unsigned char SOCKS4_GRANTED = 0x5A;
constexpr unsigned char SOCKS4_REJECTED = 0x5B;
constexpr unsigned char SOCKS5 = 0x05;
constexpr unsigned char NO_AUTHENTICATION = 0x00;
constexpr unsigned char NO_ACCEPTABLE_METHOD = 0xFF;
constexpr unsigned char CONNECT = 0x01;
constexpr unsigned char SOCKS5_SUCCEEDED = 0x00;
constexpr unsigned char SOCKS5_GENERAL_FAILURE = 0x01;
constexpr unsigned char SOCKS5_CONNECTION_REFUSED = 0x05;
constexpr unsigned char SOCKS5_COMMAND_NOT_SUPPORTED = 0x07;
constexpr unsigned char SOCKS5_ADDRESS_NOT_SUPPORTED = 0x08;
constexpr unsigned char ADDRESS_IPV4 = 0x01;
constexpr unsigned char ADDRESS_NAME = 0x03;
constexpr unsigned char ADDRESS_IPV6 = 0x04;

unsigned char byte_at(const std::string& s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

int port_at(const std::string& s, std::size_t i) {
    return (byte_at(s, i) << 8) | byte_at(s, i + 1);
}

std::string bytes(std::initializer_list<unsigned char> list) {
    return std::string(list.begin(), list.end());
}

// A SOCKS 5 reply with an empty bound address: clients of CONNECT do not use it.
std::string socks5_reply(unsigned char code) {
    return bytes({SOCKS5, code, 0, ADDRESS_IPV4, 0, 0, 0, 0, 0, 0});
}

std::string socks4_reply(unsigned char code) {
    return bytes({SOCKS4_REPLY_VERSION, code, 0, 0, 0, 0, 0, 0});
}

std::string ipv4_text(const std::string& s, std::size_t i) {
    return std::to_string(byte_at(s, i)) + "." + std::to_string(byte_at(s, i + 1)) + "." +
           std::to_string(byte_at(s, i + 2)) + "." + std::to_string(byte_at(s, i + 3));
}

std::string ipv6_text(const std::string& s, std::size_t i) {
    static const char* const HEX = "0123456789abcdef";
    std::string out;
    for (std::size_t group = 0; group < 8; ++group) {
        if (group > 0) out += ':';
        const int value = port_at(s, i + 2 * group);
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const int digit = (value >> shift) & 0xF;
            if (digit != 0 || started || shift == 0) {
                out += HEX[digit];
                started = true;
            }
        }
    }
    return out;
}

// A name the server can be asked to resolve: printable ASCII without blanks, so that it
// can neither be cut short by a NUL nor carry control characters into a log.
bool usable_name(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F) return false;
    }
    return true;
}

}  // namespace

std::string SocksNegotiation::feed(std::string_view data) {
    if (m_state == State::refused) return {};
    if (m_state == State::connect) {
        m_rest.append(data);
        return {};
    }
    m_buffer.append(data);
    std::string out;
    bool progressed = true;
    while (m_state == State::reading && progressed) {
        switch (m_step) {
            case Step::version:
                progressed = parse_version(out);
                break;
            case Step::socks4:
                progressed = parse_socks4(out);
                break;
            case Step::socks5_methods:
                progressed = parse_socks5_methods(out);
                break;
            case Step::socks5_request:
                progressed = parse_socks5_request(out);
                break;
        }
    }
    return out;
}

std::string SocksNegotiation::reply(bool connected) const {
    if (m_version == 4) return socks4_reply(connected ? SOCKS4_GRANTED : SOCKS4_REJECTED);
    return socks5_reply(connected ? SOCKS5_SUCCEEDED : SOCKS5_CONNECTION_REFUSED);
}

std::string SocksNegotiation::refuse(std::string why, std::string answer) {
    m_state = State::refused;
    m_error = std::move(why);
    m_buffer.clear();
    return answer;
}

void SocksNegotiation::accept(std::string host, int port, std::size_t used) {
    m_state = State::connect;
    m_host = std::move(host);
    m_port = port;
    m_rest = m_buffer.substr(used);
    m_buffer.clear();
}

bool SocksNegotiation::parse_version(std::string& out) {
    if (m_buffer.empty()) return false;
    m_version = byte_at(m_buffer, 0);
    if (m_version == 4) {
        m_step = Step::socks4;
    } else if (m_version == 5) {
        m_step = Step::socks5_methods;
    } else {
        out +=
            refuse("not a SOCKS 4 or 5 request (first byte " + std::to_string(m_version) + ")", {});
    }
    return true;
}

// VN CD DSTPORT(2) DSTIP(4) USERID NUL, and for 4a (DSTIP 0.0.0.x, x > 0) HOSTNAME NUL.
bool SocksNegotiation::parse_socks4(std::string& out) {
    constexpr std::size_t HEADER = 8;
    if (m_buffer.size() < HEADER) return false;
    const std::size_t user_end = m_buffer.find('\0', HEADER);
    if (user_end == std::string::npos || user_end - HEADER > MAX_NAME) {
        if (m_buffer.size() - HEADER > MAX_NAME) {
            out += refuse("SOCKS 4 user name too long", socks4_reply(SOCKS4_REJECTED));
            return true;
        }
        return false;
    }
    const bool names_host = byte_at(m_buffer, 4) == 0 && byte_at(m_buffer, 5) == 0 &&
                            byte_at(m_buffer, 6) == 0 && byte_at(m_buffer, 7) != 0;
    std::string host = ipv4_text(m_buffer, 4);
    std::size_t used = user_end + 1;
    if (names_host) {
        const std::size_t host_end = m_buffer.find('\0', used);
        if (host_end == std::string::npos || host_end - used > MAX_NAME) {
            if (m_buffer.size() - used > MAX_NAME) {
                out += refuse("SOCKS 4a host name too long", socks4_reply(SOCKS4_REJECTED));
                return true;
            }
            return false;
        }
        host = m_buffer.substr(used, host_end - used);
        used = host_end + 1;
    }
    const int port = port_at(m_buffer, 2);
    if (byte_at(m_buffer, 1) != CONNECT) {
        out += refuse("only CONNECT is carried", socks4_reply(SOCKS4_REJECTED));
    } else if (!usable_name(host)) {
        out += refuse("unusable host name", socks4_reply(SOCKS4_REJECTED));
    } else if (port == 0) {
        out += refuse("destination port 0", socks4_reply(SOCKS4_REJECTED));
    } else {
        accept(std::move(host), port, used);
    }
    return true;
}

// VER NMETHODS METHODS...
bool SocksNegotiation::parse_socks5_methods(std::string& out) {
    if (m_buffer.size() < 2) return false;
    const std::size_t count = byte_at(m_buffer, 1);
    if (m_buffer.size() < 2 + count) return false;
    const std::string_view methods(m_buffer.data() + 2, count);
    if (methods.find(static_cast<char>(NO_AUTHENTICATION)) == std::string_view::npos) {
        out += refuse("the client offers no method without authentication",
                      bytes({SOCKS5, NO_ACCEPTABLE_METHOD}));
        return true;
    }
    out += bytes({SOCKS5, NO_AUTHENTICATION});
    m_buffer.erase(0, 2 + count);
    m_step = Step::socks5_request;
    return true;
}

// VER CMD RSV ATYP DST.ADDR DST.PORT(2)
bool SocksNegotiation::parse_socks5_request(std::string& out) {
    if (m_buffer.size() < 4) return false;
    if (byte_at(m_buffer, 0) != SOCKS5) {
        out += refuse("SOCKS 5 request of another version", socks5_reply(SOCKS5_GENERAL_FAILURE));
        return true;
    }
    const unsigned char type = byte_at(m_buffer, 3);
    std::size_t address_start = 4;
    std::size_t address_size = 0;
    if (type == ADDRESS_IPV4) {
        address_size = 4;
    } else if (type == ADDRESS_IPV6) {
        address_size = 16;
    } else if (type == ADDRESS_NAME) {
        if (m_buffer.size() < 5) return false;
        address_size = byte_at(m_buffer, 4);
        address_start = 5;
    } else {
        out += refuse("unknown SOCKS 5 address type", socks5_reply(SOCKS5_ADDRESS_NOT_SUPPORTED));
        return true;
    }
    const std::size_t used = address_start + address_size + 2;
    if (m_buffer.size() < used) return false;
    std::string host;
    if (type == ADDRESS_IPV4) {
        host = ipv4_text(m_buffer, address_start);
    } else if (type == ADDRESS_IPV6) {
        host = ipv6_text(m_buffer, address_start);
    } else {
        host = m_buffer.substr(address_start, address_size);
    }
    const int port = port_at(m_buffer, address_start + address_size);
    if (byte_at(m_buffer, 1) != CONNECT) {
        out += refuse("only CONNECT is carried", socks5_reply(SOCKS5_COMMAND_NOT_SUPPORTED));
    } else if (!usable_name(host) || port == 0) {
        out += refuse("unusable destination", socks5_reply(SOCKS5_GENERAL_FAILURE));
    } else {
        accept(std::move(host), port, used);
    }
    return true;
}

}  // namespace termiva::ssh2

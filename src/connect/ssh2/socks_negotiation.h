// The opening of a SOCKS 4, 4a or 5 conversation as a server that asks for no
// authentication and carries CONNECT only: the client's bytes in, the answers and the
// destination out. No I/O, so that a dynamic forward drives it and a fuzzer can too.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace termiva::ssh2 {

class SocksNegotiation {
public:
    enum class State { reading, connect, refused };

    // Host names (SOCKS 4a and 5) and SOCKS 4 user names are at most this long; a longer
    // one is refused rather than buffered.
    static constexpr std::size_t MAX_NAME = 255;

    // Takes what the client sent next; returns what to send it now: SOCKS 5's choice of
    // method, or the refusal (empty when the client does not speak SOCKS at all). Bytes
    // given once the state is `connect` are kept as early data, once `refused` dropped.
    std::string feed(std::string_view bytes);

    State state() const { return m_state; }
    // The destination, once the state is `connect`: a host name or a numeric address.
    const std::string& host() const { return m_host; }
    int port() const { return m_port; }
    // Why the request was refused, for the log.
    const std::string& error() const { return m_error; }
    // What the client sent after its request (to go to the destination once it is reached).
    const std::string& early_data() const { return m_rest; }
    // The answer to a CONNECT once the destination was reached or could not be.
    std::string reply(bool connected) const;

private:
    enum class Step { version, socks4, socks5_methods, socks5_request };

    // Each parses m_buffer from its start; false when more bytes are needed.
    bool parse_version(std::string& out);
    bool parse_socks4(std::string& out);
    bool parse_socks5_methods(std::string& out);
    bool parse_socks5_request(std::string& out);
    // Sets the state to `refused` and returns the refusal to send.
    std::string refuse(std::string why, std::string answer);
    void accept(std::string host, int port, std::size_t used);

    Step m_step = Step::version;
    State m_state = State::reading;
    int m_version = 0;
    std::string m_buffer;
    std::string m_host;
    int m_port = 0;
    std::string m_error;
    std::string m_rest;
};

}  // namespace termiva::ssh2

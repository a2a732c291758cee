// The Telnet protocol as a pure state machine: received bytes go in, the terminal's data,
// the replies owed to the server and events for the user come out. No sockets here, so
// every negotiation case can be driven byte by byte from a test.
//
// Option negotiation follows the Q method of RFC 1143, so no sequence of server commands
// can make us loop; an option we do not support is refused once and then ignored.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace termiva::telnet {

// Command bytes (RFC 854).
inline constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250,
                               GA = 249, SE = 240;

// Option codes.
inline constexpr unsigned char OPT_BINARY = 0, OPT_ECHO = 1, OPT_SGA = 3, OPT_TTYPE = 24,
                               OPT_NAWS = 31, OPT_TSPEED = 32, OPT_NEW_ENVIRON = 39,
                               OPT_COM_PORT = 44;

// Line settings asked of an RFC 2217 serial-port server.
struct ComPortSettings {
    int baud = 9600;
    int bits = 8;
    std::string parity = "N";  // N, O, E, M, S
    std::string stop = "1";    // 1, 1.5, 2
    std::string flow = "N";    // X software, R RTS/CTS, D DSR/DTR, anything else none
};

struct Options {
    std::string term_type = "xterm";
    std::string term_speed = "38400,38400";
    int width = 80;
    int height = 24;
    bool passive = false;     // wait for the server to open negotiation
    bool rfc_environ = true;  // answer NEW-ENVIRON with USER and `environment`
    std::string username;     // sent as USER
    std::vector<std::pair<std::string, std::string>> environment;
    bool com_port_control = false;
    ComPortSettings com;
};

// Something the user should hear about, worded by the caller.
struct Event {
    enum class Kind {
        com_port_refused,  // the server will not take serial-port commands
        com_port_changed,  // the server set a line value other than the one asked for
    };
    Kind kind;
    std::string setting;    // "baud", "bits", "parity", "stop", "flow"
    std::string requested;  // as the session gave it
    std::string actual;     // as the server reported it
};

class Engine {
public:
    explicit Engine(Options options);

    // What to send as soon as the connection is open (nothing in passive mode).
    void start(std::string& reply);

    // Feeds bytes from the server. Terminal data is appended to `data`, bytes owed to the
    // server to `reply`, news for the user to `events`. Commands may be split anywhere.
    void receive(std::string_view in, std::string& data, std::string& reply,
                 std::vector<Event>& events);

    // Encodes keystrokes for the wire: IAC doubled, a lone CR followed by NUL unless we
    // send in binary mode.
    void encode(std::string_view in, std::string& out) const;

    // Records the terminal size and, once NAWS is agreed, appends its report to `reply`.
    void resize(int rows, int cols, std::string& reply);

    // Negotiated state, for tests and diagnostics.
    bool local_enabled(unsigned char opt) const { return m_us[opt].state == Q::yes; }
    bool remote_enabled(unsigned char opt) const { return m_him[opt].state == Q::yes; }
    // True once every serial setting sent has been acknowledged (matching or not).
    bool com_settings_answered() const;
    // Set when the server broke the protocol in a way we ignored (for diagnostics).
    const std::string& last_protocol_error() const { return m_protocol_error; }

    // Upper bound of one subnegotiation; longer ones are dropped.
    static constexpr std::size_t MAX_SB = 8192;

private:
    enum class Q : std::uint8_t { no, yes, wantno, wantyes };
    struct Side {
        Q state = Q::no;
        bool opposite = false;  // the queue bit of RFC 1143
        bool refused = false;   // we said no once; further requests are ignored
    };
    enum class State : std::uint8_t { data, iac, will, wont, do_, dont, sb_opt, sb, sb_iac };

    bool want_local(unsigned char opt) const;
    bool want_remote(unsigned char opt) const;
    void offer_all(std::string& reply);
    void ask_on(Side& s, unsigned char cmd, unsigned char opt, std::string& reply);
    void ask_local(unsigned char opt, std::string& reply);
    void ask_remote(unsigned char opt, std::string& reply);
    bool peer_asks_on(Side& s, bool wanted, unsigned char agree, unsigned char refuse,
                      unsigned char opt, const char* what, std::string& reply);
    void peer_turns_off(Side& s, unsigned char off, unsigned char on, unsigned char opt,
                        std::string& reply);
    void got_will(unsigned char opt, std::string& reply, std::vector<Event>& events);
    void got_wont(unsigned char opt, std::string& reply, std::vector<Event>& events);
    void got_do(unsigned char opt, std::string& reply, std::vector<Event>& events);
    void got_dont(unsigned char opt, std::string& reply, std::vector<Event>& events);
    void local_now_on(unsigned char opt, std::string& reply);
    void subnegotiation(std::string& reply, std::vector<Event>& events);
    void com_port_reply(std::string_view body, std::string& reply, std::vector<Event>& events);
    void send_com_settings(std::string& reply);
    void send_environ(std::string_view request, std::string& reply);
    void plain(std::string_view run, std::string& data);

    Options m_options;
    std::array<Side, 256> m_us{};   // options we perform (WILL/WONT)
    std::array<Side, 256> m_him{};  // options the server performs (DO/DONT)
    State m_state = State::data;
    bool m_started = false;  // our own offers have gone out
    bool m_cr = false;       // the last data byte was CR (a NUL after it is padding)
    unsigned char m_sb_opt = 0;
    std::string m_sb;
    bool m_sb_overflow = false;
    std::string m_protocol_error;

    // RFC 2217 acknowledgements still expected: command code → value asked for.
    struct Pending {
        bool waiting = false;
        std::uint32_t value = 0;
    };
    std::array<Pending, 6> m_com_pending{};
    bool m_com_sent = false;
};

}  // namespace termiva::telnet

// The client side of an SSH-1 connection as a pure state machine: bytes from the server
// go in through feed(), bytes for the server come out of take_output(), and the shell's
// output comes out of take_data(). No sockets, no threads, no clocks.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "connect/ssh1/ssh1_bugs.h"
#include "connect/ssh1/ssh1_crypto.h"
#include "connect/ssh1/ssh1_packet.h"

namespace termiva::ssh1 {

struct ClientOptions {
    std::string username;
    std::string password;
    std::string term_type = "xterm";
    int rows = 24;
    int cols = 80;
    std::set<std::string> bugs;
    // An empty or refused password waits in State::wants_password for give_password()
    // (up to PASSWORD_ATTEMPTS tries) instead of ending the login.
    bool may_ask_password = false;
};

// Called with the server's host key before the session key is sent; throws Ssh1Error
// to refuse the server.
using HostKeyCheck = std::function<void(const RsaPublicKey& host_key)>;

class Ssh1Client {
public:
    enum class State {
        version,
        public_key,
        key_ack,
        user,
        wants_password,
        password,
        pty,
        open,
        ended
    };
    // OpenSSH's NumberOfPasswordPrompts; the servers of SSH-1's day allowed as many.
    static constexpr int PASSWORD_ATTEMPTS = 3;

    Ssh1Client(ClientOptions options, HostKeyCheck check);

    // Consumes bytes from the server. Throws Ssh1AuthError when the login is refused and
    // Ssh1Error for any other failure; the client is then unusable.
    void feed(std::string_view bytes);
    std::string take_output();
    bool has_output() const { return !m_output.empty(); }
    std::string take_data();

    State state() const { return m_state; }
    bool open() const { return m_state == State::open; }
    bool ended() const { return m_state == State::ended; }
    // The cipher chosen (0 before the key exchange).
    int cipher() const { return m_cipher; }
    std::optional<std::uint32_t> exit_status() const { return m_exit_status; }
    const std::string& end_reason() const { return m_end_reason; }
    const std::string& server_version() const { return m_server_version; }

    // In State::wants_password: sends `password` and waits for the server's answer.
    void give_password(std::string password);
    // Passwords the server refused so far.
    int passwords_refused() const { return m_refused; }

    // Only while open; ignored otherwise.
    void send_data(std::string_view data);
    void window_change(int rows, int cols);
    void send_eof();
    void disconnect(std::string_view reason);

private:
    void on_version_line(const std::string& line);
    void on_packet(Packet& packet);
    void on_public_key(const std::string& data);
    void send_password();
    void request_pty();
    void write(std::uint8_t type, std::string_view data);
    void end(std::string reason);

    ClientOptions m_options;
    Ssh1Quirks m_quirks;
    HostKeyCheck m_check;
    State m_state = State::version;
    std::string m_line;
    int m_prelude_lines = 0;
    std::string m_server_version;
    PacketReader m_reader;
    PacketWriter m_writer;
    std::string m_output;
    std::string m_data;
    int m_cipher = 0;
    std::uint32_t m_auth_mask = 0;
    int m_refused = 0;
    std::optional<std::uint32_t> m_exit_status;
    std::string m_end_reason;
};

}  // namespace termiva::ssh1

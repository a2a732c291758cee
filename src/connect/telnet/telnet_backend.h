// Telnet over TCP, optionally driving a remote serial port through RFC 2217. The protocol
// itself lives in the engine; this class owns the socket and the locking around it.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "connect/backend.h"
#include "connect/fd_io.h"
#include "connect/telnet/telnet_engine.h"

namespace termiva {

class TelnetBackend : public Backend {
public:
    struct Options {
        std::string host;
        int port = 23;
        platform::IpFamily ip_family = platform::IpFamily::any;
        std::string term_type = "xterm";
        std::string term_speed = "38400,38400";
        int term_width = 80;
        int term_height = 24;
        bool passive = false;
        bool rfc_environ = true;
        std::string username;
        std::vector<std::pair<std::string, std::string>> environment;
        double timeout = 15;
        bool com_port_control = false;
        int com_baud = 9600;
        int com_bits = 8;
        std::string com_parity = "N";
        std::string com_stop = "1";
        std::string com_flow = "N";
    };

    explicit TelnetBackend(Options options);
    ~TelnetBackend() override;

    // Receives the engine's events (serial settings refused or changed) on the reading
    // thread. Set before connect().
    void set_event_handler(std::function<void(const telnet::Event&)> handler) {
        m_on_event = std::move(handler);
    }

    void connect() override;
    void send(std::string_view data) override;
    std::string recv(std::size_t bufsize) override;
    bool is_closed() const override { return m_closed.load(); }
    void resize(int rows, int cols) override;
    void close() override;

    // Negotiated state (tests and diagnostics).
    bool local_enabled(unsigned char opt) const;
    bool remote_enabled(unsigned char opt) const;
    bool com_settings_answered() const;

private:
    Options m_options;
    WakeFd m_wake;
    std::atomic<SocketFd> m_fd{NO_SOCKET};
    std::atomic<bool> m_closed{false};
    // The engine is shared by the reader (incoming commands) and the senders (encoding,
    // sizes); the writer keeps replies and keystrokes from interleaving mid-command.
    mutable std::mutex m_engine_lock;
    telnet::Engine m_engine;
    SharedWriter m_writer;
    std::function<void(const telnet::Event&)> m_on_event;
    std::string m_reported_error;
};

}  // namespace termiva

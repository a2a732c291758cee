// Rlogin (RFC 1282): a handshake naming both accounts and the terminal, then a plain byte
// stream. The server's control bytes come as TCP urgent data: 0x80 asks for the window
// size (answered then and on every later resize), 0x10 / 0x20 switch local handling of
// ^S / ^Q off and on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "connect/backend.h"
#include "connect/fd_io.h"

namespace termiva {

class RloginBackend : public Backend {
public:
    struct Options {
        std::string host;
        int port = 513;
        platform::IpFamily ip_family = platform::IpFamily::any;
        std::string local_username;
        std::string remote_username;
        std::string term_type = "xterm";
        std::string term_speed = "38400,38400";
        int term_width = 80;
        int term_height = 24;
        double timeout = 15;
    };

    explicit RloginBackend(Options options);
    ~RloginBackend() override;

    void connect() override;
    void send(std::string_view data) override;
    std::string recv(std::size_t bufsize) override;
    bool is_closed() const override { return m_closed.load(); }
    void resize(int rows, int cols) override;
    void close() override;

    // Whether connect() got a local port in 512..1023. Servers trusting .rhosts refuse
    // connections from other ports, so a failure without one deserves saying.
    bool used_reserved_port() const { return m_reserved.load(); }

    // The handshake bytes for these options (exposed for tests).
    static std::string handshake(const Options& options);

private:
    void control_byte(unsigned char b);
    std::string window_message();
    void read_urgent();

    Options m_options;
    WakeFd m_wake;
    SharedWriter m_writer;
    std::atomic<SocketFd> m_fd{NO_SOCKET};
    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_reserved{false};

    std::mutex m_lock;  // guards what follows
    std::condition_variable m_resumed;
    bool m_window_wanted = false;  // the server has asked for the size once
    bool m_local_flow = false;     // ^S / ^Q stop and start output here
    bool m_stopped = false;        // output held by a ^S
    int m_rows;
    int m_cols;
    std::string m_early;  // read but not yet delivered (with the acknowledgement, or held by ^S)
};

}  // namespace termiva

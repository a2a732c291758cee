// SSH-1 (protocol 1.5) tabs: password login, a shell on a pseudo-terminal, window
// changes. The protocol itself is Ssh1Client; this class gives it a socket.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "connect/backend.h"
#include "connect/fd_io.h"
#include "connect/login_user.h"

namespace termiva {
namespace ssh1 {
class Ssh1Client;
}

class Ssh1Backend : public Backend {
public:
    struct Options {
        std::string host;
        int port = 22;
        platform::IpFamily ip_family = platform::IpFamily::any;
        std::string username;
        std::string password;
        std::string term_type = "xterm";
        int rows = 24;
        int cols = 80;
        double timeout = 15;
        std::set<std::string> bugs;
        // Where host keys are checked and recorded; empty: not checked.
        std::filesystem::path known_hosts_file;
        // Asked for the password when none is given or the server refused it; none: an
        // empty password is sent as it is.
        std::shared_ptr<LoginUser> login_user;
    };

    explicit Ssh1Backend(Options options);
    ~Ssh1Backend() override;

    void connect() override;
    void send(std::string_view data) override;
    std::string recv(std::size_t bufsize) override;
    bool is_closed() const override { return m_closed.load(); }
    void resize(int rows, int cols) override;
    void close() override;

    // The cipher the connection uses ("3des", "blowfish"), empty before connect().
    std::string cipher_name() const;

private:
    // Writes what the protocol has queued. Senders wait for their turn; the reader does
    // not (`wait` false): a sender stuck on a full socket may be waiting for the server,
    // and an SSH-1 server reads nothing while it waits for us to read.
    void flush(bool wait);

    Options m_options;
    WakeFd m_wake;
    std::atomic<SocketFd> m_fd{NO_SOCKET};
    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_open{false};
    // Lock order: m_write_lock before m_state_lock. Output is taken and written under
    // m_write_lock so encrypted packets reach the socket in the order they were made;
    // whoever holds it writes everything queued, also what other threads queued.
    std::mutex m_write_lock;
    std::mutex m_state_lock;
    std::unique_ptr<ssh1::Ssh1Client> m_client;
    std::string m_pending;  // shell output not yet handed out (reader thread only)
    std::size_t m_pending_pos = 0;
    bool m_failed = false;  // reader thread only
};

}  // namespace termiva

// The plain TCP side of port forwarding.
#pragma once

#include <atomic>
#include <string>
#include <utility>

namespace termiva {
class SshChannel;
}

namespace termiva::ssh2 {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    int get() const { return m_fd; }
    void reset();

private:
    int m_fd = -1;
};

// A blocking TCP connection to host:port made within `timeout_ms`; `abort`, when given
// and set meanwhile, ends the attempt early. Throws BackendError.
UniqueFd tcp_connect(const std::string& host, int port, int timeout_ms,
                     const std::atomic<bool>* abort = nullptr);
// A listening socket on 127.0.0.1:port with address reuse. Throws BackendError.
UniqueFd listen_loopback(int port);
// The numeric address and port of the socket's peer.
std::pair<std::string, int> peer_address(int fd);

// Copies bytes both ways between `sock` and `channel`, 4096 at a time, until either side
// ends or `stop` is set. Closes neither.
void copy_until_closed(int sock, SshChannel& channel, const std::atomic<bool>& stop);

}  // namespace termiva::ssh2

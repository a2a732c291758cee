// The plain TCP side of port forwarding.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <utility>

#include "platform/socket_io.h"

namespace termiva {
class SshChannel;
}

namespace termiva::ssh2 {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(platform::SocketFd fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, platform::NO_SOCKET)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, platform::NO_SOCKET);
        }
        return *this;
    }
    platform::SocketFd get() const { return m_fd; }
    bool valid() const { return m_fd != platform::NO_SOCKET; }
    void reset();

private:
    platform::SocketFd m_fd = platform::NO_SOCKET;
};

// A flag that, once set, also wakes every socket wait that watches it: what ends the
// forwarding threads and a connect in progress when a connection closes.
class StopFlag {
public:
    StopFlag();  // throws BackendError when the system gives no descriptors
    // True when it was set already.
    bool set() {
        const bool was = m_set.exchange(true);
        m_wake.signal();
        return was;
    }
    bool load() const { return m_set.load(); }
    const platform::SocketWake& wake() const { return m_wake; }

private:
    std::atomic<bool> m_set{false};
    platform::SocketWake m_wake;
};

// A TCP connection to host:port (an address of `family`) made within `timeout_ms`,
// non-blocking, with Nagle off; setting `stop` meanwhile ends the attempt early. Throws
// NoAddressOfFamilyError when the host has addresses of the other IP version only,
// BackendError for every other failure.
UniqueFd tcp_connect(const std::string& host, int port, platform::IpFamily family, int timeout_ms,
                     const StopFlag& stop);
// Waits until the server on `socket` has begun its greeting (something arrived to read),
// for a server that discards what a client sends before then. Throws BackendError when
// nothing came within `timeout_ms` or `stop` was set.
void wait_for_greeting(const UniqueFd& socket, int timeout_ms, const StopFlag& stop);
// A listening socket on 127.0.0.1:port (0: any free port). Throws BackendError.
UniqueFd listen_loopback(int port);
// A listening socket on address:port as platform::listen_on takes them. Throws BackendError.
UniqueFd listen_on(const std::string& address, int port);

// Writes all of `data` to `fd`, waiting while it is full; false when the peer is gone or
// `stop` was set.
bool send_all(platform::SocketFd fd, std::string_view data, const StopFlag& stop);

// Copies bytes both ways between `sock` and `channel`, 4096 at a time, until either side
// ends or `stop` is set. Closes neither.
void copy_until_closed(platform::SocketFd sock, SshChannel& channel, const StopFlag& stop);

}  // namespace termiva::ssh2

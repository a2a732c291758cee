// TCP sockets as the connection layer uses them: non-blocking, every wait also watching a
// wake-up that another thread fires, so closing a tab frees a thread blocked on its socket.
// POSIX sockets and an eventfd on Linux; Winsock and a loopback socket pair on Windows, where
// select() waits only on sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

namespace termiva::platform {

// A descriptor on Linux (where the helpers below also serve ptys), a SOCKET on Windows.
#ifdef _WIN32
using SocketFd = std::intptr_t;
#else
using SocketFd = int;
#endif
inline constexpr SocketFd NO_SOCKET = -1;

// A failure to reach a peer, worded for the user.
class SocketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Once signalled it stays signalled, every later wait returning at once, until cleared.
class SocketWake {
public:
    SocketWake();  // throws SocketError when the system gives no descriptors
    ~SocketWake();
    SocketWake(const SocketWake&) = delete;
    SocketWake& operator=(const SocketWake&) = delete;
    void signal();
    bool signalled() const;
    // Back to not signalled, for a wake-up that is used again (a "data ready" mark).
    void clear();
    // What a wait watches: readable once signalled.
    SocketFd fd() const { return m_read; }

private:
    SocketFd m_read = NO_SOCKET;
    SocketFd m_write = NO_SOCKET;  // the other end of the pair on Windows
};

enum class SocketWant { read, write, read_or_urgent };

// What a wait saw; nothing set means the time ran out. `woken` and `ready` may both be set,
// so a caller that serves the wake-up first need not starve the socket.
struct SocketReady {
    bool ready = false;   // readable (or writable, as asked), closed or failed
    bool urgent = false;  // out-of-band data waits (asked with read_or_urgent)
    bool woken = false;
};

// Waits until `fd` is as wanted, the wake-up fires, or `timeout_ms` passes (-1: no limit).
// `also`, when given, is a second wake-up watched the same way (a thread that serves a
// "data ready" mark and must also end when its connection closes): either sets `woken`.
SocketReady wait_socket(SocketFd fd, SocketWant want, const SocketWake& wake, int timeout_ms,
                        const SocketWake* also = nullptr);

// Which of a host's addresses a connection may use: all of them, in the order the
// resolver gives, or only those of one IP version.
enum class IpFamily { any, ipv4, ipv6 };
// "IPv4" or "IPv6" ("any" for any), as users know the names.
constexpr const char* ip_family_name(IpFamily family) {
    return family == IpFamily::ipv4 ? "IPv4" : family == IpFamily::ipv6 ? "IPv6" : "any";
}

// Whether an address (IPv6 or IPv4) may be used when `family` is asked for.
constexpr bool ip_family_allows(IpFamily family, bool ipv6_address) {
    return family == IpFamily::any || (family == IpFamily::ipv6) == ipv6_address;
}

// The host's name resolved, but to no address of the IP version asked for.
class NoAddressOfFamily : public SocketError {
public:
    NoAddressOfFamily(const std::string& host_name, IpFamily wanted)
        : SocketError(host_name + " has no " + ip_family_name(wanted) + " address"),
          host(host_name),
          family(wanted) {}
    const std::string host;
    const IpFamily family;
};

// A TCP connection to host:port ("localhost" for an empty host) within `timeout_s`, trying
// every address of `family`; `prepare(fd, family)`, when given, runs on each socket before
// it connects. The socket is non-blocking, with Nagle off. Throws NoAddressOfFamily when
// the name has addresses but none of `family`, SocketError for every other failure
// ("cancelled" once the wake-up fired); an exception from `prepare` passes through.
SocketFd connect_tcp(const std::string& host, int port, IpFamily family, double timeout_s,
                     const SocketWake& wake,
                     const std::function<void(SocketFd fd, int family)>& prepare);

// Binds `fd` (of `family`) to a free local port in 1023..512; false when none can be had
// (the process is not privileged, or all are taken).
bool bind_reserved_port(SocketFd fd, int family);

// The outcome of one non-blocking read or write.
struct SocketIo {
    enum Status { done, would_block, ended, failed } status = failed;
    std::size_t bytes = 0;
    std::string error;  // the system's wording, for `failed`
};
// `urgent` reads the out-of-band byte instead of the stream.
SocketIo recv_some(SocketFd fd, char* buffer, std::size_t size, bool urgent = false);
SocketIo send_some(SocketFd fd, const char* data, std::size_t size);

// A listening TCP socket on 127.0.0.1:port (0: a port the system picks), non-blocking and
// not inherited by child programs. Another program cannot take the port over while it is
// held. Throws SocketError.
SocketFd listen_loopback(int port);
// A listening TCP socket on address:port, set up as listen_loopback's: "" is the IPv4
// loopback, "*" every address of the machine, anything else a numeric address or a name
// (its first address that can be bound). Throws SocketError.
SocketFd listen_on(const std::string& address, int port);
// Two connected stream sockets, non-blocking and not inherited by child programs: what
// one end is sent the other reads. Throws SocketError.
std::pair<SocketFd, SocketFd> connected_pair();
// The next waiting connection, non-blocking; NO_SOCKET when none waits or it failed.
SocketFd accept_socket(SocketFd listener);
// The local port a socket is bound to; 0 when it cannot be told.
int local_port(SocketFd fd);
// The numeric address and port of the socket's peer; ("", 0) when it cannot be told.
std::pair<std::string, int> peer_address(SocketFd fd);

// The bit that means "readable" in poll()-style event masks, such as libssh's event loop
// takes for an extra descriptor (the system's own value on each platform).
short poll_readable_event();

// Tells the peer both directions are done; the descriptor stays valid until closed.
void shutdown_socket(SocketFd fd);
void close_socket(SocketFd fd);

}  // namespace termiva::platform

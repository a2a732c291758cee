#include "platform/socket_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

namespace termiva::platform {

namespace {

struct AddrInfoFree {
    void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

SocketWake::SocketWake() : m_read(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_read < 0) throw SocketError(std::string("eventfd: ") + std::strerror(errno));
}

SocketWake::~SocketWake() {
    ::close(m_read);
}

void SocketWake::signal() {
    std::uint64_t one = 1;
    (void)!::write(m_read, &one, sizeof one);
}

void SocketWake::clear() {
    std::uint64_t count = 0;
    (void)!::read(m_read, &count, sizeof count);  // an eventfd's read resets its count
}

bool SocketWake::signalled() const {
    pollfd p{m_read, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

SocketReady wait_socket(SocketFd fd, SocketWant want, const SocketWake& wake, int timeout_ms,
                        const SocketWake* also) {
    short events = want == SocketWant::write            ? POLLOUT
                   : want == SocketWant::read_or_urgent ? POLLIN | POLLPRI
                                                        : POLLIN;
    pollfd fds[3] = {{fd, events, 0}, {wake.fd(), POLLIN, 0}, {also ? also->fd() : -1, POLLIN, 0}};
    const nfds_t count = also ? 3 : 2;
    SocketReady seen;
    for (;;) {
        int r = ::poll(fds, count, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            seen.woken = true;
            return seen;
        }
        seen.woken = fds[1].revents != 0 || (also && fds[2].revents != 0);
        if (r == 0) return seen;
        seen.urgent = (fds[0].revents & POLLPRI) != 0;
        seen.ready = (fds[0].revents & ~POLLPRI) != 0;
        return seen;
    }
}

SocketFd connect_tcp(const std::string& host, int port, IpFamily family, double timeout_s,
                     const SocketWake& wake,
                     const std::function<void(SocketFd fd, int family)>& prepare) {
    if (port <= 0 || port > 65535) throw SocketError("invalid port " + std::to_string(port));
    // Resolved for every family, so that a name with addresses of the other version only
    // can be told apart from a name that does not resolve at all.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    std::string service = std::to_string(port);
    int gai =
        ::getaddrinfo(host.empty() ? "localhost" : host.c_str(), service.c_str(), &hints, &raw);
    if (gai != 0) throw SocketError(std::string(gai_strerror(gai)));
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);

    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long>(timeout_s * 1000));
    std::string last_error = "no address";
    bool any_of_family = false;
    for (addrinfo* a = list.get(); a; a = a->ai_next) {
        if (!ip_family_allows(family, a->ai_family == AF_INET6)) continue;
        any_of_family = true;
        int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            last_error = std::strerror(errno);
            continue;
        }
        if (prepare) {
            try {
                prepare(fd, a->ai_family);
            } catch (...) {
                ::close(fd);
                throw;
            }
        }
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            SocketReady w = wait_socket(fd, SocketWant::write, wake, remaining_ms(deadline));
            if (w.woken) {
                ::close(fd);
                throw SocketError("cancelled");
            }
            if (!w.ready) {
                ::close(fd);
                last_error = "timed out";
                continue;
            }
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            rc = err == 0 ? 0 : -1;
            errno = err;
        }
        if (rc == 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        last_error = std::strerror(errno);
        ::close(fd);
    }
    if (!any_of_family) throw NoAddressOfFamily(host.empty() ? "localhost" : host, family);
    throw SocketError(last_error);
}

bool bind_reserved_port(SocketFd fd, int family) {
    for (int port = 1023; port >= 512; --port) {
        int rc;
        if (family == AF_INET6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_any;
            a.sin6_port = htons(static_cast<std::uint16_t>(port));
            rc = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else if (family == AF_INET) {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            a.sin_port = htons(static_cast<std::uint16_t>(port));
            rc = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            return false;
        }
        if (rc == 0) return true;
        if (errno != EADDRINUSE) return false;  // EACCES: an unprivileged process
    }
    return false;
}

SocketIo recv_some(SocketFd fd, char* buffer, std::size_t size, bool urgent) {
    for (;;) {
        // read(), not recv(): the same loops serve ptys and serial lines.
        ssize_t n = urgent ? ::recv(fd, buffer, size, MSG_OOB) : ::read(fd, buffer, size);
        if (n > 0) return {SocketIo::done, static_cast<std::size_t>(n), {}};
        if (n == 0) return {SocketIo::ended, 0, {}};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {SocketIo::would_block, 0, {}};
        // EIO when a pty's child has exited; EINVAL when no urgent byte is there.
        return {SocketIo::failed, 0, std::strerror(errno)};
    }
}

SocketIo send_some(SocketFd fd, const char* data, std::size_t size) {
    for (;;) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = ::write(fd, data, size);
        if (n > 0) return {SocketIo::done, static_cast<std::size_t>(n), {}};
        if (n == 0) return {SocketIo::ended, 0, "connection closed"};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {SocketIo::would_block, 0, {}};
        return {SocketIo::failed, 0, std::strerror(errno)};
    }
}

SocketFd listen_loopback(int port) {
    if (port < 0 || port > 65535) throw SocketError("invalid port " + std::to_string(port));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw SocketError(std::string("socket: ") + std::strerror(errno));
    // Connections of an earlier listener waiting out TIME_WAIT do not hold the port; a
    // listener does (Linux never lets a second one bind beside it).
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || ::listen(fd, 16) < 0) {
        const int err = errno;
        ::close(fd);
        throw SocketError("127.0.0.1:" + std::to_string(port) + ": " + std::strerror(err));
    }
    return fd;
}

SocketFd listen_on(const std::string& address, int port) {
    if (address.empty()) return listen_loopback(port);
    if (port < 0 || port > 65535) throw SocketError("invalid port " + std::to_string(port));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* raw = nullptr;
    const std::string service = std::to_string(port);
    const std::string label = address + ":" + service;
    const int gai =
        ::getaddrinfo(address == "*" ? nullptr : address.c_str(), service.c_str(), &hints, &raw);
    if (gai != 0) throw SocketError(label + ": " + gai_strerror(gai));
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
    std::string last_error = "no address";
    for (addrinfo* a = list.get(); a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            last_error = std::strerror(errno);
            continue;
        }
        // As listen_loopback: TIME_WAIT leftovers of an earlier listener do not hold the port.
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 16) == 0) return fd;
        last_error = std::strerror(errno);
        ::close(fd);
    }
    throw SocketError(label + ": " + last_error);
}

std::pair<SocketFd, SocketFd> connected_pair() {
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0)
        throw SocketError(std::string("socketpair: ") + std::strerror(errno));
    return {ends[0], ends[1]};
}

SocketFd accept_socket(SocketFd listener) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    return fd < 0 ? NO_SOCKET : fd;
}

int local_port(SocketFd fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    return 0;
}

std::pair<std::string, int> peer_address(SocketFd fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {"", 0};
    char host[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&addr);
        ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        return {host, ntohs(in->sin_port)};
    }
    if (addr.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        return {host, ntohs(in6->sin6_port)};
    }
    return {"", 0};
}

short poll_readable_event() {
    return POLLIN;
}

void shutdown_socket(SocketFd fd) {
    ::shutdown(fd, SHUT_RDWR);
}

void close_socket(SocketFd fd) {
    ::close(fd);
}

}  // namespace termiva::platform

#include "tcp_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>

#include "sixbitline/sixbitline.h"

namespace termiva {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int MAX_PORT = 65535;

std::string system_error_text(int err) {
    if (err == ETIMEDOUT) {
        return "Connection timed out";
    }
    return std::strerror(err);
}

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

AddrInfoList resolve(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        const std::string why = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
        throw SixbitlineError(why + " (" + host + ")");
    }
    return AddrInfoList(found);
}

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Connects one candidate address without blocking past the deadline; 0 or an errno.
int connect_before(int fd, const addrinfo& address, Clock::time_point deadline) {
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS) {
        return errno;
    }
    for (;;) {
        pollfd waiting{fd, POLLOUT, 0};
        const int ready = ::poll(&waiting, 1, remaining_ms(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return errno;
        }
        if (ready == 0) {
            return ETIMEDOUT;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
            return errno;
        }
        return err;
    }
}

}  // namespace

TcpConnection TcpConnection::open(const std::string& host, int port, double timeout_seconds,
                                  SixbitlineFamily family) {
    if (host.empty()) {
        throw SixbitlineError("No host given");
    }
    if (port < 1 || port > MAX_PORT) {
        throw SixbitlineError("Invalid port number " + std::to_string(port));
    }
    const AddrInfoList addresses = resolve(host, port);
    const auto budget =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_seconds));
    const auto deadline = Clock::now() + budget;

    const int wanted = family == SixbitlineFamily::ipv4   ? AF_INET
                       : family == SixbitlineFamily::ipv6 ? AF_INET6
                                                          : AF_UNSPEC;
    bool any_of_family = false;
    int last_error = EHOSTUNREACH;
    for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
        if (wanted != AF_UNSPEC && a->ai_family != wanted) continue;
        any_of_family = true;
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            last_error = errno;
            continue;
        }
        TcpConnection candidate(fd);
        last_error = connect_before(fd, *a, deadline);
        if (last_error != 0) {
            if (last_error == ETIMEDOUT) {
                break;
            }
            continue;
        }
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
            last_error = errno;
            continue;
        }
        // Keystrokes are tiny and interactive: do not hold them back for coalescing.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return candidate;
    }
    if (!any_of_family) throw SixbitlineError(no_address_text(host, family));
    throw SixbitlineError(system_error_text(last_error));
}

TcpConnection::TcpConnection(TcpConnection&& other) noexcept : m_fd(other.m_fd) {
    other.m_fd = NO_SOCKET;
}

TcpConnection::~TcpConnection() {
    if (m_fd >= 0) {
        ::close(static_cast<int>(m_fd));
    }
}

std::string TcpConnection::error_text(int code) {
    return system_error_text(code);
}

int TcpConnection::write_all(std::string_view data) noexcept {
    while (!data.empty()) {
        // MSG_NOSIGNAL: a peer that has gone must not kill the whole program with SIGPIPE.
        const ssize_t n = ::send(static_cast<int>(m_fd), data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

std::ptrdiff_t TcpConnection::read_some(char* buffer, std::size_t size) noexcept {
    for (;;) {
        const ssize_t n = ::recv(static_cast<int>(m_fd), buffer, size, 0);
        if (n >= 0) {
            return n;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

void TcpConnection::shutdown_both() noexcept {
    ::shutdown(static_cast<int>(m_fd), SHUT_RDWR);
}

}  // namespace termiva

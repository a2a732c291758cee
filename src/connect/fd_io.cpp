#include "connect/fd_io.h"

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

#include "connect/backend.h"

namespace termiva {

WakeFd::WakeFd() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_fd < 0) throw BackendError(std::string("eventfd: ") + std::strerror(errno));
}

WakeFd::~WakeFd() {
    ::close(m_fd);
}

void WakeFd::signal() {
    std::uint64_t one = 1;
    (void)!::write(m_fd, &one, sizeof one);
}

bool WakeFd::signalled() const {
    pollfd p{m_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

WaitResult wait_fd(int fd, bool for_write, const WakeFd& wake, int timeout_ms) {
    pollfd fds[2] = {{fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0},
                     {wake.fd(), POLLIN, 0}};
    for (;;) {
        int r = ::poll(fds, 2, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return WaitResult::woken;
        if (r == 0) return WaitResult::timed_out;
        if (fds[1].revents) return WaitResult::woken;
        return WaitResult::ready;
    }
}

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

int tcp_connect(const std::string& host, int port, double timeout_s, const WakeFd& wake) {
    return tcp_connect(host, port, timeout_s, wake, {});
}

int tcp_connect(const std::string& host, int port, double timeout_s, const WakeFd& wake,
                const std::function<void(int fd, int family)>& prepare) {
    if (port <= 0 || port > 65535) throw BackendError("invalid port " + std::to_string(port));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    std::string service = std::to_string(port);
    int gai =
        ::getaddrinfo(host.empty() ? "localhost" : host.c_str(), service.c_str(), &hints, &raw);
    if (gai != 0) throw BackendError(std::string(gai_strerror(gai)));
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);

    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long>(timeout_s * 1000));
    std::string last_error = "no address";
    for (addrinfo* a = list.get(); a; a = a->ai_next) {
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
            WaitResult w = wait_fd(fd, true, wake, remaining_ms(deadline));
            if (w == WaitResult::woken) {
                ::close(fd);
                throw BackendError("cancelled");
            }
            if (w == WaitResult::timed_out) {
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
    throw BackendError(last_error);
}

bool tcp_port_open(const std::string& host, int port, double timeout_s, const WakeFd& wake) {
    int fd = -1;
    try {
        fd = tcp_connect(host, port, timeout_s, wake);
    } catch (const BackendError&) {
        if (wake.signalled()) throw;
        return false;  // refused, timed out, unreachable, unknown name: not reachable
    }
    ::close(fd);
    return true;
}

void write_all(int fd, std::string_view data, const WakeFd& wake) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = ::write(fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_fd(fd, true, wake, -1) == WaitResult::woken) throw BackendError("closed");
            continue;
        }
        throw BackendError(n < 0 ? std::strerror(errno) : "connection closed");
    }
}

std::string read_some(int fd, std::size_t bufsize, const WakeFd& wake) {
    std::string buf(bufsize, '\0');
    for (;;) {
        // Descriptors are non-blocking: try the read first and wait only when there is
        // nothing yet (one system call per chunk while data streams in).
        ssize_t n = ::read(fd, buf.data(), bufsize);
        if (n > 0) {
            buf.resize(static_cast<std::size_t>(n));
            return buf;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_fd(fd, false, wake, -1) != WaitResult::ready) return {};
            continue;
        }
        return {};  // end of stream (0), or an error such as EIO when a pty's child exits
    }
}

void SharedWriter::write(std::string_view data) {
    {
        std::lock_guard turn(m_turn);
        write_all(m_fd, data, m_wake);
        flush_queued();
    }
    // Something posted after our last look, while we still held the turn, goes now.
    if (!queue_empty()) post({});
}

void SharedWriter::post(std::string_view data) {
    if (!data.empty()) {
        std::lock_guard lock(m_queue_lock);
        m_queue.append(data);
    }
    std::unique_lock turn(m_turn, std::try_to_lock);
    if (turn) flush_queued();
}

void SharedWriter::flush_queued() {
    for (;;) {
        std::string out;
        {
            std::lock_guard lock(m_queue_lock);
            out.swap(m_queue);
        }
        if (out.empty()) return;
        write_all(m_fd, out, m_wake);
    }
}

bool SharedWriter::queue_empty() {
    std::lock_guard lock(m_queue_lock);
    return m_queue.empty();
}

}  // namespace termiva

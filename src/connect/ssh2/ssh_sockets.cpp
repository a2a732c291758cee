#include "connect/ssh2/ssh_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "connect/backend.h"
#include "connect/ssh2/ssh_channel.h"

namespace termiva::ssh2 {
namespace {

constexpr int STOP_CHECK_MS = 200;

std::string errno_text(int err) {
    return std::strerror(err);
}

// Waits for the socket to finish a non-blocking connect.
int finish_connect(int fd, int timeout_ms, const std::atomic<bool>* abort) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (abort && abort->load()) return ECANCELED;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return ETIMEDOUT;
        pollfd pfd{fd, POLLOUT, 0};
        const int rc = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, STOP_CHECK_MS)));
        if (rc < 0 && errno != EINTR) return errno;
        if (rc > 0) break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
    return err;
}

bool write_all(int fd, const std::string& data, const std::atomic<bool>& stop) {
    std::size_t done = 0;
    while (done < data.size()) {
        if (stop.load()) return false;
        pollfd pfd{fd, POLLOUT, 0};
        const int rc = ::poll(&pfd, 1, STOP_CHECK_MS);
        if (rc < 0 && errno != EINTR) return false;
        if (rc <= 0) continue;
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

void UniqueFd::reset() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

UniqueFd tcp_connect(const std::string& host, int port, int timeout_ms,
                     const std::atomic<bool>* abort) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (gai != 0) throw BackendError(host + ": " + ::gai_strerror(gai));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
    int last_error = ECONNREFUSED;
    for (addrinfo* ai = found; ai; ai = ai->ai_next) {
        UniqueFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                             ai->ai_protocol));
        if (fd.get() < 0) {
            last_error = errno;
            continue;
        }
        int rc = ::connect(fd.get(), ai->ai_addr, ai->ai_addrlen);
        int err = rc == 0 ? 0 : errno;
        if (err == EINPROGRESS) err = finish_connect(fd.get(), timeout_ms, abort);
        if (err == ECANCELED) throw BackendError("connection attempt cancelled");
        if (err != 0) {
            last_error = err;
            continue;
        }
        const int flags = ::fcntl(fd.get(), F_GETFL);
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
        const int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return fd;
    }
    throw BackendError(host + ":" + service + ": " + errno_text(last_error));
}

UniqueFd listen_loopback(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) throw BackendError(errno_text(errno));
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
        ::listen(fd.get(), 16) < 0) {
        throw BackendError("127.0.0.1:" + std::to_string(port) + ": " + errno_text(errno));
    }
    return fd;
}

std::pair<std::string, int> peer_address(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) return {"127.0.0.1", 0};
    char host[INET6_ADDRSTRLEN] = {};
    int port = 0;
    if (addr.ss_family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&addr);
        ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
    } else if (addr.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
    }
    return {host, port};
}

void copy_until_closed(int sock, SshChannel& channel, const std::atomic<bool>& stop) {
    char buf[4096];
    while (!stop.load()) {
        pollfd fds[2] = {{sock, POLLIN, 0}, {channel.readable_fd(), POLLIN, 0}};
        const int rc = ::poll(fds, 2, STOP_CHECK_MS);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) {
            const ssize_t n = ::recv(sock, buf, sizeof buf, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return;
            try {
                channel.send(std::string_view(buf, static_cast<std::size_t>(n)));
            } catch (const BackendError&) {
                return;
            }
        }
        if (fds[1].revents != 0) {
            const std::string data = channel.recv(sizeof buf);
            if (data.empty()) return;
            if (!write_all(sock, data, stop)) return;
        }
    }
}

}  // namespace termiva::ssh2

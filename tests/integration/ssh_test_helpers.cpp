#include "integration/ssh_test_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace termiva::testing {
namespace {

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A listening socket on 127.0.0.1 at a port the system picks, told through `port`.
int listen_on_loopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd, 8);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

}  // namespace

EchoServer::EchoServer() {
    m_listener = listen_on_loopback(m_port);
    m_thread = std::thread([this] {
        std::vector<int> clients;
        while (!m_stop.load()) {
            std::vector<pollfd> fds{{m_listener, POLLIN, 0}};
            for (int c : clients)
                fds.push_back({c, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
            if (fds[0].revents) {
                const int c = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) {
                    clients.push_back(c);
                    m_connections.fetch_add(1);
                }
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                char buf[4096];
                const ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    ::close(fds[i].fd);
                    std::erase(clients, fds[i].fd);
                } else {
                    [[maybe_unused]] auto w =
                        ::send(fds[i].fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL);
                }
            }
        }
        for (int c : clients)
            ::close(c);
    });
}

EchoServer::~EchoServer() {
    m_stop.store(true);
    m_thread.join();
    ::close(m_listener);
}

HttpReplyServer::HttpReplyServer(std::string body) : m_body(std::move(body)) {
    m_listener = listen_on_loopback(m_port);
    m_thread = std::thread([this] {
        while (!m_stop.load()) {
            pollfd waiting{m_listener, POLLIN, 0};
            if (::poll(&waiting, 1, 100) <= 0) continue;
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            answer(client);
            ::close(client);
            m_answered.fetch_add(1);
        }
    });
}

void HttpReplyServer::answer(int client) const {
    std::string head;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (head.find("\r\n\r\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd readable{client, POLLIN, 0};
        if (::poll(&readable, 1, 100) <= 0) continue;
        char buf[1024];
        const ssize_t n = ::recv(client, buf, sizeof buf, 0);
        if (n <= 0) return;
        head.append(buf, static_cast<std::size_t>(n));
    }
    const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                              std::to_string(m_body.size()) + "\r\n\r\n" + m_body;
    [[maybe_unused]] auto sent = ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
}

HttpReplyServer::~HttpReplyServer() {
    m_stop.store(true);
    m_thread.join();
    ::close(m_listener);
}

SilentListener::SilentListener() {
    m_fd = listen_on_loopback(m_port);
}

SilentListener::~SilentListener() {
    ::close(m_fd);
}

std::string tcp_round_trip(int port, const std::string& text, std::chrono::milliseconds limit) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(port);
    std::string got;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < text.size()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return got;
}

LateGreetingProxy::LateGreetingProxy(int target, std::chrono::milliseconds quiet) {
    m_listener = listen_on_loopback(m_port);
    m_thread = std::thread([this, target, quiet] { serve(target, quiet); });
}

LateGreetingProxy::~LateGreetingProxy() {
    m_stop.store(true);
    m_thread.join();
    ::close(m_listener);
}

void LateGreetingProxy::serve(int target, std::chrono::milliseconds quiet) {
    pollfd listening{m_listener, POLLIN, 0};
    while (!m_stop.load() && ::poll(&listening, 1, 100) <= 0) {
    }
    if (m_stop.load()) return;
    const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    char buf[4096];
    const auto quiet_until = std::chrono::steady_clock::now() + quiet;
    while (!m_stop.load() && std::chrono::steady_clock::now() < quiet_until) {
        pollfd early{client, POLLIN, 0};
        if (::poll(&early, 1, 20) > 0 && ::recv(client, buf, sizeof buf, 0) <= 0) break;
    }
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(target);
    if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        while (!m_stop.load()) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(fds, 2, 100) <= 0) continue;
            const int from = fds[0].revents ? client : server;
            const ssize_t n = ::recv(from, buf, sizeof buf, 0);
            if (n <= 0 || ::send(from == client ? server : client, buf, static_cast<std::size_t>(n),
                                 MSG_NOSIGNAL) != n)
                break;
        }
    }
    ::close(server);
    ::close(client);
}

bool port_is_free(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Address reuse: connections waiting out TIME_WAIT do not count, a listener does.
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = loopback(port);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

int held_through(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(port);
    char echoed = 0;
    pollfd pfd{fd, POLLIN, 0};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, "h", 1, MSG_NOSIGNAL) == 1 && ::poll(&pfd, 1, 10000) == 1 &&
        ::recv(fd, &echoed, 1, 0) == 1 && echoed == 'h') {
        return fd;
    }
    ::close(fd);
    return -1;
}

}  // namespace termiva::testing

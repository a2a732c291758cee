#include "connect/ssh2/ssh_forward.h"
#include "platform/log.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace termiva {
namespace ssh2 {
namespace {

constexpr int ACCEPT_POLL_MS = 200;
constexpr int LOCAL_CONNECT_TIMEOUT_MS = 15000;

}  // namespace

LocalForward::LocalForward(SshConnection& transport, int local_port, std::string remote_host,
                           int remote_port)
    : m_transport(transport),
      m_listener(listen_loopback(local_port)),
      m_port(local_port),
      m_remote_host(std::move(remote_host)),
      m_remote_port(remote_port) {
    if (m_port == 0) {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (::getsockname(m_listener.get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            m_port = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
        }
    }
}

LocalForward::~LocalForward() {
    close();
}

void LocalForward::start() {
    m_thread = std::thread([this] {
        try {
            serve();
        } catch (const std::exception& e) {
            log::warn("ssh", "local forward " + std::to_string(m_port) + ": " + e.what());
        } catch (...) {
            log::warn("ssh", "local forward " + std::to_string(m_port) + ": unknown failure");
        }
    });
}

void LocalForward::close() {
    m_stop.store(true);
    if (m_thread.joinable()) m_thread.join();
    m_listener.reset();
}

void LocalForward::serve() {
    while (!m_stop.load()) {
        pollfd pfd{m_listener.get(), POLLIN, 0};
        const int rc = ::poll(&pfd, 1, ACCEPT_POLL_MS);
        if (rc < 0 && errno != EINTR) return;
        if (rc <= 0) continue;
        auto client =
            std::make_shared<UniqueFd>(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client->get() < 0) continue;
        m_transport.spawn_worker([this, client] { carry(client); });
    }
}

void LocalForward::carry(std::shared_ptr<UniqueFd> client) {
    const auto [origin_host, origin_port] = peer_address(client->get());
    std::shared_ptr<SshChannel> channel;
    try {
        channel =
            m_transport.open_direct_tcpip(m_remote_host, m_remote_port, origin_host, origin_port);
    } catch (const BackendError& e) {
        log::warn("ssh", "forward to " + m_remote_host + ":" + std::to_string(m_remote_port) +
                             ": " + e.what());
        return;  // the accepted connection is dropped
    }
    copy_until_closed(client->get(), *channel, m_transport.stopping());
    channel->close();
    client->reset();
}

}  // namespace ssh2

int _open_local_forward(SshConnection& transport, int local_port, const std::string& remote_host,
                        int remote_port) {
    auto forward =
        std::make_unique<ssh2::LocalForward>(transport, local_port, remote_host, remote_port);
    const int port = forward->port();
    forward->start();
    transport.adopt_local_forward(std::move(forward));
    return port;
}

void _remote_handler(const std::shared_ptr<SshChannel>& channel, const std::string& local_host,
                     int local_port, const std::atomic<bool>& stop) {
    ssh2::UniqueFd local;
    try {
        local = ssh2::tcp_connect(local_host, local_port, ssh2::LOCAL_CONNECT_TIMEOUT_MS, &stop);
    } catch (const BackendError& e) {
        log::warn("ssh", "remote forward to " + local_host + ":" + std::to_string(local_port) +
                             ": " + e.what());
        channel->close();
        return;
    }
    ssh2::copy_until_closed(local.get(), *channel, stop);
    local.reset();
    channel->close();
}

}  // namespace termiva

#include "connect/ssh2/ssh_forward.h"
#include "platform/log.h"

namespace termiva {
namespace ssh2 {
namespace {

constexpr int LOCAL_CONNECT_TIMEOUT_MS = 15000;

// Carries one accepted connection to a fixed destination as seen from the server.
void carry_to(SshConnection& transport, UniqueFd& client, const std::string& remote_host,
              int remote_port) {
    auto [origin_host, origin_port] = platform::peer_address(client.get());
    if (origin_host.empty()) origin_host = "127.0.0.1";
    std::shared_ptr<SshChannel> channel;
    try {
        channel = transport.open_direct_tcpip(remote_host, remote_port, origin_host, origin_port);
    } catch (const BackendError& e) {
        log::warn("ssh", "forward to " + remote_host + ":" + std::to_string(remote_port) + ": " +
                             e.what());
        return;  // the accepted connection is dropped
    }
    copy_until_closed(client.get(), *channel, transport.stopping());
    channel->close();
    client.reset();
}

int adopt_started(SshConnection& transport, std::unique_ptr<LocalForward> forward) {
    const int port = forward->port();
    forward->start();
    transport.adopt_local_forward(std::move(forward));
    return port;
}

}  // namespace

LocalForward::LocalForward(UniqueFd listener, Carrier carry, SshConnection& transport)
    : m_transport(transport),
      m_listener(std::move(listener)),
      m_port(platform::local_port(m_listener.get())),
      m_carry(std::move(carry)) {}

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
    m_stop.set();
    if (m_thread.joinable()) m_thread.join();
    m_listener.reset();
}

void LocalForward::serve() {
    while (!m_stop.load()) {
        const platform::SocketReady seen =
            platform::wait_socket(m_listener.get(), platform::SocketWant::read, m_stop.wake(), -1);
        if (seen.woken) return;
        if (!seen.ready) continue;
        auto client = std::make_shared<UniqueFd>(platform::accept_socket(m_listener.get()));
        if (!client->valid()) continue;
        // Refused (at the limit, or closing): the client's socket closes with the body.
        m_transport.spawn_worker([carry = m_carry, client] { carry(client); });
    }
}

}  // namespace ssh2

int _open_local_forward(SshConnection& transport, int local_port, const std::string& remote_host,
                        int remote_port) {
    auto carry = [&transport, remote_host, remote_port](std::shared_ptr<ssh2::UniqueFd> client) {
        ssh2::carry_to(transport, *client, remote_host, remote_port);
    };
    return ssh2::adopt_started(
        transport, std::make_unique<ssh2::LocalForward>(ssh2::listen_loopback(local_port),
                                                        std::move(carry), transport));
}

int open_dynamic_forward(SshConnection& transport, const std::string& bind_address, int port) {
    auto carry = [&transport](std::shared_ptr<ssh2::UniqueFd> client) {
        ssh2::serve_socks_client(transport, *client);
    };
    return ssh2::adopt_started(
        transport, std::make_unique<ssh2::LocalForward>(ssh2::listen_on(bind_address, port),
                                                        std::move(carry), transport));
}

void _remote_handler(const std::shared_ptr<SshChannel>& channel, const std::string& local_host,
                     int local_port, const ssh2::StopFlag& stop) {
    ssh2::UniqueFd local;
    try {
        local = ssh2::tcp_connect(local_host, local_port, platform::IpFamily::any,
                                  ssh2::LOCAL_CONNECT_TIMEOUT_MS, stop);
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

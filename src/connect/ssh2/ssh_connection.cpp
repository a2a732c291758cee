#include "connect/ssh2/ssh_connection.h"

#include <future>

#include "connect/ssh2/connection_core.h"
#include "connect/ssh2/ssh_forward.h"

namespace termiva {

SshConnection::SshConnection() = default;

SshConnection::~SshConnection() {
    close();
}

std::shared_ptr<ssh2::ConnectionCore> SshConnection::core() const {
    std::lock_guard lock(m_lock);
    if (!m_core) throw BackendError("not connected");
    return m_core;
}

void SshConnection::connect(const SshConnectOptions& options) {
    ssh2::UniqueFd carrier;
    if (!options.jump_hops.empty()) {
        try {
            carrier = connect_jump_hosts(options);
        } catch (...) {
            close();  // the hops reached so far
            throw;
        }
    }
    connect_over(options, std::move(carrier));
}

ssh2::UniqueFd SshConnection::connect_jump_hosts(const SshConnectOptions& target) {
    ssh2::UniqueFd carrier;
    std::shared_ptr<SshConnection> previous;
    for (const SshConnectOptions& hop_options : target.jump_hops) {
        const std::string label = hop_options.host + ":" + std::to_string(hop_options.port);
        auto hop = std::make_shared<SshConnection>();
        {
            std::lock_guard lock(m_lock);
            if (m_stopping.load()) throw BackendError("connection attempt cancelled");
            m_jump_hosts.push_back(hop);
        }
        // Named in every failure: "host key changed" or "refused" alone would not say
        // which of the machines on the way it was.
        try {
            if (previous) carrier = previous->tunnel_to(hop_options.host, hop_options.port);
            hop->connect_over(hop_options, std::move(carrier));
        } catch (const SshAuthError& e) {
            throw SshAuthError("jump host " + label + ": " + e.what());
        } catch (const BackendError& e) {
            throw BackendError("jump host " + label + ": " + e.what());
        }
        previous = std::move(hop);
    }
    try {
        return previous->tunnel_to(target.host, target.port);
    } catch (const BackendError& e) {
        throw BackendError("jump host " + target.jump_hops.back().host + ":" +
                           std::to_string(target.jump_hops.back().port) + ": " + e.what());
    }
}

ssh2::UniqueFd SshConnection::tunnel_to(const std::string& host, int port) {
    auto channel = open_direct_tcpip(host, port, "127.0.0.1", 0);
    std::pair<platform::SocketFd, platform::SocketFd> ends;
    try {
        ends = platform::connected_pair();
    } catch (const platform::SocketError& e) {
        channel->close();
        throw BackendError(e.what());
    }
    // Not "near"/"far": windows.h defines both as macros.
    auto kept_end = std::make_shared<ssh2::UniqueFd>(ends.first);
    ssh2::UniqueFd given_end(ends.second);
    const bool carried = spawn_worker([this, channel, kept_end] {
        ssh2::copy_until_closed(kept_end->get(), *channel, m_stopping);
        channel->close();
        kept_end->reset();  // the given end's reader sees the end of the stream
    });
    if (!carried) {
        channel->close();
        throw BackendError("too many forwarded connections to carry one more");
    }
    return given_end;
}

void SshConnection::connect_over(const SshConnectOptions& options, ssh2::UniqueFd carrier) {
    auto core = std::make_shared<ssh2::ConnectionCore>(m_workers);
    std::promise<void> ready;
    auto connected = ready.get_future();
    {
        std::lock_guard lock(m_lock);
        if (m_core || m_stopping.load()) throw BackendError("connection already used");
        m_core = core;
        m_io_thread = std::thread(
            [core, options, ready = std::move(ready), carrier = std::move(carrier)]() mutable {
                core->run(options, ready, std::move(carrier));
            });
    }
    try {
        connected.get();
    } catch (...) {
        close();
        throw;
    }
}

void SshConnection::set_keepalive(int seconds) {
    std::shared_ptr<ssh2::ConnectionCore> current;
    {
        std::lock_guard lock(m_lock);
        current = m_core;
    }
    if (!current) return;
    current->keepalive_sec.store(seconds > 0 ? seconds : 0);
    current->waker()->notify();
}

int SshConnection::keepalive() const {
    std::lock_guard lock(m_lock);
    return m_core ? m_core->keepalive_sec.load() : 0;
}

int SshConnection::keepalives_sent() const {
    std::lock_guard lock(m_lock);
    return m_core ? m_core->keepalives_sent.load() : 0;
}

std::shared_ptr<SshChannel> SshConnection::open_session() {
    auto c = core();
    return c->call([&c] {
        ssh2::ChannelHandle channel(ssh_channel_new(c->session()));
        if (!channel || ssh_channel_open_session(channel.get()) != SSH_OK) {
            throw BackendError(ssh_get_error(c->session()));
        }
        return c->adopt(std::move(channel));
    });
}

std::shared_ptr<SftpSession> SshConnection::open_sftp() {
    return std::make_shared<SftpSession>(core());
}

void SshConnection::get_pty(const std::shared_ptr<SshChannel>& channel, const std::string& term,
                            int width, int height) {
    auto c = core();
    c->call([&] {
        if (ssh_channel_request_pty_size(c->handle_of(*channel), term.c_str(), width, height) !=
            SSH_OK) {
            throw BackendError(ssh_get_error(c->session()));
        }
    });
}

void SshConnection::invoke_shell(const std::shared_ptr<SshChannel>& channel) {
    auto c = core();
    c->call([&] {
        if (ssh_channel_request_shell(c->handle_of(*channel)) != SSH_OK) {
            throw BackendError(ssh_get_error(c->session()));
        }
    });
}

std::shared_ptr<SshChannel> SshConnection::open_direct_tcpip(const std::string& dest_host,
                                                             int dest_port,
                                                             const std::string& origin_host,
                                                             int origin_port) {
    auto c = core();
    return c->call([&] {
        ssh2::ChannelHandle channel(ssh_channel_new(c->session()));
        if (!channel || ssh_channel_open_forward(channel.get(), dest_host.c_str(), dest_port,
                                                 origin_host.c_str(), origin_port) != SSH_OK) {
            throw BackendError(ssh_get_error(c->session()));
        }
        return c->adopt(std::move(channel));
    });
}

int SshConnection::request_port_forward(const std::string& address, int port,
                                        RemoteForwardHandler handler) {
    auto c = core();
    return c->call([&] {
        int bound = 0;
        if (ssh_channel_listen_forward(c->session(), address.empty() ? nullptr : address.c_str(),
                                       port, &bound) != SSH_OK) {
            throw BackendError(ssh_get_error(c->session()));
        }
        if (bound <= 0) bound = port;
        c->add_remote_handler(bound, std::move(handler));
        return bound;
    });
}

void SshConnection::adopt_local_forward(std::unique_ptr<ssh2::LocalForward> forward) {
    std::unique_lock lock(m_lock);
    if (m_stopping.load()) {
        lock.unlock();
        forward->close();
        return;
    }
    m_local_forwards.push_back(std::move(forward));
}

void SshConnection::limit_forwarded(std::size_t most, std::function<void()> on_refused) {
    m_workers.set_limit(most, std::move(on_refused));
}

bool SshConnection::spawn_worker(std::function<void()> body) {
    return m_workers.spawn(std::move(body));
}

void SshConnection::close() {
    // A second caller (the tab closing while its reader ends) waits for the first, so
    // that on return the connection's ports and threads are really gone.
    std::lock_guard closing(m_close_lock);
    std::shared_ptr<ssh2::ConnectionCore> current;
    std::thread io;
    std::vector<std::unique_ptr<ssh2::LocalForward>> forwards;
    std::vector<std::shared_ptr<SshConnection>> jump_hosts;
    {
        std::lock_guard lock(m_lock);
        if (m_stopping.set()) return;
        current = m_core;
        io = std::move(m_io_thread);
        forwards.swap(m_local_forwards);
        jump_hosts.swap(m_jump_hosts);
    }

    if (current) current->request_stop();
    if (io.joinable()) {
        if (io.get_id() == std::this_thread::get_id()) {
            io.detach();
        } else {
            io.join();
        }
    }
    for (auto& forward : forwards)
        forward->close();
    m_workers.join_all();
    // Last, from the nearest to the target back: each carried the next one's connection.
    for (auto hop = jump_hosts.rbegin(); hop != jump_hosts.rend(); ++hop)
        (*hop)->close();
}

bool SshConnection::is_active() const {
    std::lock_guard lock(m_lock);
    return m_core && m_core->active.load() && !m_stopping.load();
}

}  // namespace termiva

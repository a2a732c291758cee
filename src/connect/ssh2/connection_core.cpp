#include "connect/ssh2/connection_core.h"
#include "platform/log.h"

#include <libssh/server.h>

#include <algorithm>
#include <utility>

namespace termiva::ssh2 {
namespace {

constexpr int IDLE_POLL_MS = 500;
constexpr std::size_t WRITE_CHUNK = 32 * 1024;
constexpr int GATHER_POLLS = 32;
constexpr std::size_t READ_BUDGET = 256 * 1024;  // per channel and pass, for fairness

}  // namespace

ConnectionCore::ConnectionCore(WorkerThreads& workers)
    : m_workers(workers), m_waker(std::make_shared<IoWaker>()) {}

ConnectionCore::~ConnectionCore() = default;

void ConnectionCore::request_stop() {
    m_stop.set();
    if (!active.load()) {
        // Still connecting: libssh would wait out its time-out in a blocked read.
        std::lock_guard lock(m_socket_lock);
        if (m_socket.valid()) platform::shutdown_socket(m_socket.get());
    }
    m_waker->notify();
}

void ConnectionCore::run(const SshConnectOptions& options, std::promise<void>& ready,
                         UniqueFd carrier) noexcept {
    try {
        m_session.reset(ssh_new());
        if (!m_session) throw BackendError("cannot create an SSH session");
        configure_session(m_session.get(), options);
        const int timeout_ms = static_cast<int>(options.timeout.count() * 1000);
        UniqueFd socket = carrier.valid() ? std::move(carrier)
                                          : tcp_connect(options.host, options.port,
                                                        options.ip_family, timeout_ms, m_stop);
        // libssh sends its own greeting the moment it starts; such a server would lose it.
        if (options.bugs.active("dropstart")) wait_for_greeting(socket, timeout_ms, m_stop);
        socket_t fd = static_cast<socket_t>(socket.get());
        {
            std::lock_guard lock(m_socket_lock);
            m_socket = std::move(socket);
        }
        if (m_stop.load()) throw BackendError("connection attempt cancelled");
        ssh_options_set(m_session.get(), SSH_OPTIONS_FD, &fd);
        if (ssh_connect(m_session.get()) != SSH_OK) {
            throw BackendError(ssh_get_error(m_session.get()));
        }
        verify_host_key(m_session.get(), options);
        authenticate(m_session.get(), options);
        m_global_keepalive = options.bugs.active("ignore2");
        active.store(true);
        ready.set_value();
    } catch (...) {
        try {
            ready.set_exception(std::current_exception());
        } catch (...) {
            // The promise was answered already: the caller has its outcome.
        }
        finish({});
        return;
    }
    std::string reason;
    try {
        loop();
        if (!m_stop.load()) reason = ssh_get_error(m_session.get());
    } catch (const std::exception& e) {
        reason = e.what();
        log::error("ssh", std::string("connection loop: ") + reason);
    } catch (...) {
        reason = "connection failed";
    }
    finish(reason);
}

bool ConnectionCore::connected() const {
    ssh_session s = m_session.get();
    return ssh_is_connected(s) != 0 && (ssh_get_status(s) & (SSH_CLOSED | SSH_CLOSED_ERROR)) == 0;
}

void ConnectionCore::loop() {
    EventHandle event(ssh_event_new());
    if (!event) throw BackendError("cannot create an event loop");
    ssh_session s = m_session.get();
    ssh_event_add_session(event.get(), s);
    const auto wake_fd = static_cast<socket_t>(m_waker->fd());
    ssh_event_add_fd(event.get(), wake_fd, platform::poll_readable_event(),
                     &ConnectionCore::wake_callback, this);
    ssh_set_message_callback(s, &ConnectionCore::message_callback, this);
    m_last_keepalive = std::chrono::steady_clock::now();

    while (!m_stop.load()) {
        m_waker->take_pending();
        run_tasks();
        service_channels();
        if (!connected()) break;
        send_keepalive_when_due();
        int rc = ssh_event_dopoll(event.get(), poll_timeout_ms());
        if (rc == SSH_ERROR && !connected()) break;
        // libssh takes at most 4 KiB from the socket per poll. Gather what has already
        // arrived before handing it on, so readers wake once per batch rather than per
        // 4 KiB; anything another thread asks for ends the gathering at once.
        for (int i = 0; rc == SSH_OK && i < GATHER_POLLS && !m_waker->pending(); ++i)
            rc = ssh_event_dopoll(event.get(), 0);
    }
    ssh_event_remove_fd(event.get(), wake_fd);
    ssh_event_remove_session(event.get(), s);
}

int ConnectionCore::poll_timeout_ms() const {
    if (m_waker->pending() || m_stop.load()) return 0;
    const int interval = keepalive_sec.load();
    if (interval <= 0) return IDLE_POLL_MS;
    const auto due = m_last_keepalive + std::chrono::seconds(interval);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          due - std::chrono::steady_clock::now())
                          .count();
    return static_cast<int>(std::clamp<long long>(left, 0, IDLE_POLL_MS));
}

void ConnectionCore::send_keepalive_when_due() {
    const int interval = keepalive_sec.load();
    if (interval <= 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_last_keepalive < std::chrono::seconds(interval)) return;
    m_last_keepalive = now;
    // A global request waits for the server's answer; SSH_MSG_IGNORE does not, and is
    // what most servers expect, unless the session says the server chokes on it.
    if (m_global_keepalive) {
        ssh_send_keepalive(m_session.get());
    } else {
        ssh_send_ignore(m_session.get(), "");
    }
    keepalives_sent.fetch_add(1);
}

void ConnectionCore::run_tasks() {
    std::deque<std::function<void()>> tasks;
    {
        std::lock_guard lock(m_tasks_lock);
        tasks.swap(m_tasks);
    }
    for (auto& task : tasks)
        task();  // packaged tasks keep their own failures
}

void ConnectionCore::service_channels() {
    ssh_session s = m_session.get();
    for (auto it = m_channels.begin(); it != m_channels.end();) {
        Entry& entry = *it;
        ssh_channel ch = entry.handle.get();
        SshChannel& facade = *entry.facade;
        bool ended = false;
        if (facade.close_requested()) {
            if (ssh_channel_is_open(ch)) ssh_channel_close(ch);
            facade.end_of_stream();
            ended = true;
        } else {
            if (auto size = facade.take_resize()) {
                ssh_channel_change_pty_size(ch, size->second, size->first);
            }
            const std::size_t window = ssh_channel_window_size(ch);
            if (window > 0 && facade.has_outbound()) {
                const std::string data = facade.take_outbound(std::min(window, WRITE_CHUNK));
                const int rc =
                    ssh_channel_write(ch, data.data(), static_cast<uint32_t>(data.size()));
                if (rc == SSH_ERROR) {
                    facade.end_of_stream(ssh_get_error(s));
                    ended = true;
                }
            }
            if (!ended) ended = pump_inbound(entry);
            if (ended && ssh_channel_is_open(ch)) ssh_channel_close(ch);
        }
        it = ended ? m_channels.erase(it) : std::next(it);
    }
}

bool ConnectionCore::pump_inbound(Entry& entry) {
    ssh_channel ch = entry.handle.get();
    SshChannel& facade = *entry.facade;
    char buf[16384];
    std::size_t budget = READ_BUDGET;
    bool drained = true;
    for (int stream = 0; stream < 2; ++stream) {
        for (;;) {
            const std::size_t room = std::min({facade.inbound_room(), budget, sizeof buf});
            if (room == 0) {
                drained = false;
                break;
            }
            const int n =
                ssh_channel_read_nonblocking(ch, buf, static_cast<uint32_t>(room), stream);
            if (n > 0) {
                facade.deliver(std::string_view(buf, static_cast<std::size_t>(n)));
                budget -= static_cast<std::size_t>(n);
                continue;
            }
            if (n == SSH_ERROR) {
                facade.end_of_stream(ssh_get_error(m_session.get()));
                return true;
            }
            break;  // nothing more now, or the end of the stream
        }
    }
    if (drained && (ssh_channel_is_eof(ch) || ssh_channel_is_closed(ch))) {
        facade.end_of_stream();
        return true;
    }
    return false;
}

std::shared_ptr<SshChannel> ConnectionCore::adopt(ChannelHandle channel) {
    auto facade = std::make_shared<SshChannel>(m_waker);
    m_channels.push_back(Entry{std::move(channel), facade, false});
    return facade;
}

ssh_channel ConnectionCore::handle_of(const SshChannel& facade) const {
    for (const auto& entry : m_channels) {
        if (entry.facade.get() == &facade) return entry.handle.get();
    }
    throw BackendError("channel closed");
}

void ConnectionCore::add_remote_handler(int port, RemoteForwardHandler handler) {
    m_remote_handlers[port] = std::move(handler);
}

int ConnectionCore::message_callback(ssh_session, ssh_message msg, void* self) noexcept {
    try {
        return static_cast<ConnectionCore*>(self)->on_message(msg);
    } catch (const std::exception& e) {
        log::warn("ssh", std::string("incoming request: ") + e.what());
    } catch (...) {
        log::warn("ssh", "incoming request: unknown failure");
    }
    return 1;
}

int ConnectionCore::on_message(ssh_message msg) {
    if (ssh_message_type(msg) != SSH_REQUEST_CHANNEL_OPEN ||
        ssh_message_subtype(msg) != SSH_CHANNEL_FORWARDED_TCPIP) {
        return 1;  // libssh answers with its default (a refusal)
    }
    const int port = ssh_message_channel_request_open_destination_port(msg);
    auto found = m_remote_handlers.find(port);
    if (found == m_remote_handlers.end()) return 1;
    // At the limit of connections served at once: refused before it costs anything.
    if (!m_workers.has_room()) return 1;
    const char* origin_host = ssh_message_channel_request_open_originator(msg);
    const char* server_host = ssh_message_channel_request_open_destination(msg);
    SshAddress origin{origin_host ? origin_host : "",
                      ssh_message_channel_request_open_originator_port(msg)};
    SshAddress server{server_host ? server_host : "", port};
    ssh_channel accepted = ssh_message_channel_request_open_reply_accept(msg);
    if (!accepted) return 0;
    auto facade = adopt(ChannelHandle(accepted));
    RemoteForwardHandler handler = found->second;
    // The handler's copy loop must not hold up this thread, which serves every channel.
    if (!m_workers.spawn([handler, facade, origin, server] { handler(facade, origin, server); })) {
        facade->close();
    }
    return 0;
}

int ConnectionCore::wake_callback(socket_t, int, void* self) noexcept {
    static_cast<ConnectionCore*>(self)->m_waker->drain();
    return 0;
}

int ConnectionCore::add_releaser(std::function<void()> release) {
    m_releasers.emplace(++m_next_releaser, std::move(release));
    return m_next_releaser;
}

void ConnectionCore::forget_releaser(int id) {
    m_releasers.erase(id);
}

void ConnectionCore::finish(const std::string& reason) {
    active.store(false);
    for (auto& entry : m_channels)
        entry.facade->end_of_stream(reason);
    m_channels.clear();
    for (auto& [id, release] : std::exchange(m_releasers, {}))
        release();
    if (m_session) {
        ssh_set_message_callback(m_session.get(), nullptr, nullptr);
        if (ssh_is_connected(m_session.get())) ssh_disconnect(m_session.get());
        m_session.reset();
    }
    {
        std::lock_guard lock(m_socket_lock);
        m_socket.reset();  // libssh leaves a socket it was given open
    }
    std::deque<std::function<void()>> abandoned;
    {
        std::lock_guard lock(m_tasks_lock);
        m_accepting = false;
        abandoned.swap(m_tasks);
    }
    abandoned.clear();  // their callers get "connection closed"
}

}  // namespace termiva::ssh2

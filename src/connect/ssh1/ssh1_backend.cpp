#include "connect/ssh1/ssh1_backend.h"

#include <chrono>

#include "connect/ssh1/ssh1_client.h"
#include "connect/ssh1/ssh1_known_hosts.h"
#include "connect/ssh1/ssh1_wire.h"
#include "platform/log.h"
#include "platform/utf8_path.h"

namespace termiva {

using ssh1::Ssh1Client;
using ssh1::Ssh1Error;

Ssh1Backend::Ssh1Backend(Options options) : m_options(std::move(options)) {}

Ssh1Backend::~Ssh1Backend() {
    SocketFd fd = m_fd.exchange(NO_SOCKET);
    if (fd != NO_SOCKET) platform::close_socket(fd);
}

void Ssh1Backend::flush(bool wait) {
    for (;;) {
        std::unique_lock turn(m_write_lock, std::defer_lock);
        if (wait) {
            turn.lock();
        } else if (!turn.try_lock()) {
            return;  // the thread writing now sends what we queued before it lets go
        }
        for (;;) {
            std::string out;
            {
                std::lock_guard state(m_state_lock);
                out = m_client->take_output();
            }
            if (out.empty()) break;
            write_all(m_fd, out, m_wake);
        }
        turn.unlock();
        // Something queued between our last look and the unlock, by a thread that found
        // the turn taken, is ours to send.
        std::lock_guard state(m_state_lock);
        if (!m_client->has_output()) return;
    }
}

void Ssh1Backend::connect() {
    if (m_closed) throw BackendError("closed");
    using Clock = std::chrono::steady_clock;
    const auto time_limit = std::chrono::milliseconds(static_cast<long>(m_options.timeout * 1000));
    auto deadline = Clock::now() + time_limit;
    m_fd =
        tcp_connect(m_options.host, m_options.port, m_options.ip_family, m_options.timeout, m_wake);

    ssh1::ClientOptions client_options{m_options.username,
                                       m_options.password,
                                       m_options.term_type,
                                       m_options.rows,
                                       m_options.cols,
                                       m_options.bugs,
                                       m_options.login_user != nullptr};
    const auto known_hosts = m_options.known_hosts_file;
    const std::string host = m_options.host;
    const int port = m_options.port;
    auto check = [known_hosts, host, port](const ssh1::RsaPublicKey& key) {
        if (known_hosts.empty()) return;
        if (ssh1::check_host_key(known_hosts, host, port, key) ==
            ssh1::HostKeyResult::not_recorded) {
            log::warn("ssh1", "could not record the host key of " + host + " in " +
                                  platform::path_to_utf8(known_hosts));
        }
    };
    {
        std::lock_guard state(m_state_lock);
        m_client = std::make_unique<Ssh1Client>(std::move(client_options), check);
    }
    try {
        char buf[16384];
        for (;;) {
            flush(true);
            int refused = -1;  // -1: no password wanted
            {
                std::lock_guard state(m_state_lock);
                if (m_client->open()) {
                    m_pending = m_client->take_data();
                    break;
                }
                if (m_client->state() == Ssh1Client::State::wants_password)
                    refused = m_client->passwords_refused();
            }
            if (refused >= 0) {
                LoginUser& user = *m_options.login_user;
                if (refused > 0) user.tell("Permission denied, please try again.");
                std::string answer =
                    user.ask(m_options.username + "@" + m_options.host + "'s password: ", false);
                {
                    std::lock_guard state(m_state_lock);
                    m_client->give_password(std::move(answer));
                }
                // The time the user took to type is not the server's.
                deadline = Clock::now() + time_limit;
                continue;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) {
                throw BackendError("the server did not complete the SSH-1 login within " +
                                   std::to_string(static_cast<int>(m_options.timeout)) + " s");
            }
            switch (wait_fd(m_fd, false, m_wake, static_cast<int>(left))) {
                case WaitResult::woken:
                    throw BackendError("closed");
                case WaitResult::timed_out:
                    continue;
                case WaitResult::ready:
                    break;
            }
            const platform::SocketIo io = platform::recv_some(m_fd, buf, sizeof buf);
            if (io.status == platform::SocketIo::would_block) continue;
            if (io.status != platform::SocketIo::done)
                throw BackendError("the server closed the connection during the login");
            std::lock_guard state(m_state_lock);
            m_client->feed(std::string_view(buf, io.bytes));
        }
    } catch (const Ssh1Error& e) {
        throw BackendError(e.what());
    }
    m_open = true;
}

void Ssh1Backend::send(std::string_view data) {
    if (m_closed || !m_open) throw BackendError("not connected");
    {
        std::lock_guard state(m_state_lock);
        if (m_client->ended()) throw BackendError("connection ended");
        m_client->send_data(data);
    }
    flush(true);
}

void Ssh1Backend::resize(int rows, int cols) {
    if (m_closed || !m_open) return;
    {
        std::lock_guard state(m_state_lock);
        m_client->window_change(rows, cols);
    }
    flush(true);
}

std::string Ssh1Backend::recv(std::size_t bufsize) {
    if (bufsize == 0) bufsize = 1;
    for (;;) {
        if (m_pending_pos < m_pending.size()) {
            std::string out = m_pending.substr(m_pending_pos, bufsize);
            m_pending_pos += out.size();
            return out;
        }
        if (m_closed || !m_open || m_failed) {
            m_closed = true;
            return {};
        }
        {
            std::lock_guard state(m_state_lock);
            if (m_client->ended()) {
                m_closed = true;
                return {};
            }
        }
        std::string bytes = read_some(m_fd, 65536, m_wake);
        if (bytes.empty()) {
            m_closed = true;
            return {};
        }
        try {
            std::lock_guard state(m_state_lock);
            m_client->feed(bytes);
            m_pending = m_client->take_data();
            m_pending_pos = 0;
        } catch (const Ssh1Error& e) {
            log::warn("ssh1",
                      std::string("connection to ") + m_options.host + " broken: " + e.what());
            std::lock_guard state(m_state_lock);
            m_pending = m_client->take_data();
            m_pending_pos = 0;
            m_failed = true;
            continue;
        }
        try {
            flush(false);
        } catch (const BackendError& e) {
            // The answer (an exit confirmation) could not go out: the peer is gone, which
            // the next read reports as the end of the stream.
            log::debug("ssh1", e.what());
        }
    }
}

void Ssh1Backend::close() {
    if (m_closed.exchange(true) && m_wake.signalled()) return;
    const SocketFd fd = m_fd.load();
    if (fd != NO_SOCKET && m_open) {
        // A polite goodbye when nobody is writing; never wait for it.
        std::unique_lock write(m_write_lock, std::try_to_lock);
        if (write.owns_lock()) {
            std::string out;
            {
                std::lock_guard state(m_state_lock);
                m_client->disconnect("closed by user");
                out = m_client->take_output();
            }
            // The socket is non-blocking: what does not fit now is dropped.
            if (!out.empty()) platform::send_some(fd, out.data(), out.size());
        }
    }
    m_wake.signal();
    if (fd != NO_SOCKET) platform::shutdown_socket(fd);
}

std::string Ssh1Backend::cipher_name() const {
    if (!m_client) return {};
    switch (m_client->cipher()) {
        case ssh1::CIPHER_3DES:
            return "3des";
        case ssh1::CIPHER_BLOWFISH:
            return "blowfish";
        default:
            return {};
    }
}

}  // namespace termiva

#include "connect/ssh2/sftp_stream.h"

#include <libssh/callbacks.h>
#include <libssh/sftp.h>

#include <fcntl.h>
#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "connect/ssh2/connection_core.h"

namespace termiva {

namespace {

// The largest reply taken: a data block and its header. More is a broken server.
constexpr std::uint32_t MAX_REPLY = SftpStream::BLOCK + 1024;
// What one step takes from the channel at most, so the terminal waits no longer.
constexpr std::size_t STEP_BUDGET = 1024 * 1024;
// A stream dropped with requests unanswered waits this long for them before closing.
constexpr std::chrono::seconds DRAIN_WAIT{2};

void put_u32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void put_u64(std::string& out, std::uint64_t v) {
    put_u32(out, static_cast<std::uint32_t>(v >> 32));
    put_u32(out, static_cast<std::uint32_t>(v));
}

void put_string(std::string& out, std::string_view s) {
    put_u32(out, static_cast<std::uint32_t>(s.size()));
    out.append(s);
}

std::uint32_t get_u32(std::string_view in, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<unsigned char>(in[at + i]);
    return v;
}

[[noreturn]] void malformed(const std::string& path) {
    throw SftpError("failure", path + ": the server sent a malformed reply");
}

std::string code_of_status(std::uint32_t status) {
    switch (status) {
        case SSH_FX_NO_SUCH_FILE:
        case SSH_FX_NO_SUCH_PATH:
            return "no_such_file";
        case SSH_FX_PERMISSION_DENIED:
            return "permission_denied";
        case SSH_FX_NO_CONNECTION:
        case SSH_FX_CONNECTION_LOST:
            return "connection_lost";
        default:
            return "failure";
    }
}

}  // namespace

// Wakes wait() when the server sends something (or lets more through the window while
// writes wait for it). Told by the channel's callbacks on the I/O thread.
struct SftpStream::Signal {
    std::mutex lock;
    std::condition_variable arrived;
    bool pending = false;
    bool want_window = false;
    ssh_channel_callbacks_struct callbacks{};

    void notify() {
        {
            std::lock_guard held(lock);
            pending = true;
        }
        arrived.notify_all();
    }
    static int on_data(ssh_session, ssh_channel, void*, uint32_t, int, void* self) {
        // The bytes stay in the channel: the next step reads them.
        static_cast<Signal*>(self)->notify();
        return 0;
    }
    static void on_end(ssh_session, ssh_channel, void* self) {
        static_cast<Signal*>(self)->notify();
    }
    static int on_window(ssh_session, ssh_channel, uint32_t, void* self) {
        auto* signal = static_cast<Signal*>(self);
        bool wanted = false;
        {
            std::lock_guard held(signal->lock);
            wanted = std::exchange(signal->want_window, false);
        }
        if (wanted) signal->notify();
        return 0;
    }
};

SftpStream::SftpStream(SftpSession& session, const std::string& path, Mode mode)
    : m_session(session), m_path(path), m_signal(std::make_shared<Signal>()) {
    const int flags = mode == Mode::read ? O_RDONLY : O_WRONLY | O_CREAT | O_EXCL;
    m_session.m_core->call([&] {
        sftp_session sftp = m_session.m_sftp->sftp;
        sftp_file file = sftp_open(sftp, path.c_str(), flags, 0644);
        if (!file) m_session.fail(path);
        m_file = file;
        m_handle.assign(static_cast<const char*>(ssh_string_data(file->handle)),
                        ssh_string_len(file->handle));
        Signal& s = *m_signal;
        s.callbacks.userdata = &s;
        s.callbacks.channel_data_function = &Signal::on_data;
        s.callbacks.channel_eof_function = &Signal::on_end;
        s.callbacks.channel_close_function = &Signal::on_end;
        s.callbacks.channel_write_wontblock_function = &Signal::on_window;
        ssh_callbacks_init(&s.callbacks);
        ssh_add_channel_callbacks(sftp->channel, &s.callbacks);
    });
}

SftpStream::~SftpStream() {
    try {
        const auto until = std::chrono::steady_clock::now() + DRAIN_WAIT;
        while (m_file && !settled() && std::chrono::steady_clock::now() < until) {
            m_session.m_core->call([this] {
                take_replies();
                for (auto& [id, reply] : m_replies)
                    m_in_flight.erase(id);
                m_replies.clear();
            });
            if (!settled()) wait(std::chrono::milliseconds(100));
        }
        if (settled()) close();
    } catch (const std::exception&) {
        // The server broke off or the connection ended: the session's end closes the file.
    }
    try {
        m_session.m_core->call([this] {
            ssh_remove_channel_callbacks(m_session.m_sftp->sftp->channel, &m_signal->callbacks);
        });
    } catch (const BackendError&) {
        // The connection has ended: its channels, and their callbacks, went with it.
    }
}

std::uint32_t SftpStream::send_request(int type, const std::string& body, Request request) {
    sftp_session sftp = m_session.m_sftp->sftp;
    const std::uint32_t id = ++sftp->id_counter;
    std::string packet;
    packet.reserve(body.size() + 9);
    put_u32(packet, static_cast<std::uint32_t>(body.size() + 5));
    packet.push_back(static_cast<char>(type));
    put_u32(packet, id);
    packet += body;
    const int sent =
        ssh_channel_write(sftp->channel, packet.data(), static_cast<std::uint32_t>(packet.size()));
    if (sent != static_cast<int>(packet.size()))
        throw SftpError("connection_lost", m_path + ": " + ssh_get_error(sftp->session));
    m_in_flight.emplace(id, request);
    m_order.push_back(id);
    return id;
}

void SftpStream::take_replies() {
    ssh_channel channel = m_session.m_sftp->sftp->channel;
    char buffer[64 * 1024];
    for (std::size_t taken = 0; taken < STEP_BUDGET;) {
        const int n = ssh_channel_read_nonblocking(channel, buffer, sizeof buffer, 0);
        if (n < 0 || (n == 0 && (ssh_channel_is_eof(channel) || ssh_channel_is_closed(channel))))
            throw SftpError("connection_lost", m_path + ": the SFTP channel has closed");
        if (n == 0) break;
        m_inbound.append(buffer, static_cast<std::size_t>(n));
        taken += static_cast<std::size_t>(n);
    }
    std::size_t at = 0;
    const std::string_view in = m_inbound;
    while (in.size() - at >= 4) {
        const std::uint32_t length = get_u32(in, at);
        if (length < 5 || length > MAX_REPLY) malformed(m_path);
        if (in.size() - at - 4 < length) break;
        const std::string_view packet = in.substr(at + 4, length);
        at += 4 + length;
        Reply reply;
        reply.type = static_cast<unsigned char>(packet[0]);
        const std::uint32_t id = get_u32(packet, 1);
        if (!m_in_flight.count(id) || m_replies.count(id)) malformed(m_path);
        const std::string_view rest = packet.substr(5);
        if (reply.type == SSH_FXP_STATUS) {
            if (rest.size() < 4) malformed(m_path);
            reply.status = get_u32(rest, 0);
            if (rest.size() >= 8) {
                const std::uint32_t text = get_u32(rest, 4);
                if (text <= rest.size() - 8) reply.data.assign(rest.substr(8, text));
            }
        } else if (reply.type == SSH_FXP_DATA) {
            if (rest.size() < 4 || get_u32(rest, 0) != rest.size() - 4) malformed(m_path);
            reply.data.assign(rest.substr(4));
        } else {
            malformed(m_path);
        }
        m_replies.emplace(id, std::move(reply));
    }
    m_inbound.erase(0, at);
}

void SftpStream::refused(const Reply& reply) const {
    std::string detail = m_path;
    if (!reply.data.empty()) detail += ": " + reply.data;
    throw SftpError(code_of_status(reply.status), detail);
}

void SftpStream::ask_ahead() {
    ssh_channel channel = m_session.m_sftp->sftp->channel;
    while (!m_end_seen && m_in_flight.size() < IN_FLIGHT &&
           ssh_channel_window_size(channel) > m_handle.size() + 64) {
        std::string body;
        put_string(body, m_handle);
        put_u64(body, m_next_offset);
        put_u32(body, BLOCK);
        send_request(SSH_FXP_READ, body, {m_next_offset, BLOCK});
        m_next_offset += BLOCK;
    }
}

std::string SftpStream::read() {
    return m_session.m_core->call([this] {
        take_replies();
        std::string out;
        while (!m_order.empty()) {
            const std::uint32_t id = m_order.front();
            auto found = m_replies.find(id);
            if (found == m_replies.end()) break;
            const Reply reply = std::move(found->second);
            const Request asked = m_in_flight.at(id);
            m_replies.erase(found);
            m_in_flight.erase(id);
            m_order.pop_front();
            if (m_end_seen) continue;  // asked beyond the end before it was known
            if (reply.type == SSH_FXP_STATUS) {
                if (reply.status != SSH_FX_EOF) refused(reply);
                m_end_seen = true;
                continue;
            }
            if (reply.data.size() > asked.length) malformed(m_path);
            if (reply.data.empty()) {
                m_end_seen = true;
                continue;
            }
            out += reply.data;
            if (reply.data.size() < asked.length) {
                // A short read: the rest of that block is asked for again, ahead of the
                // blocks already asked for after it.
                const std::uint64_t offset = asked.offset + reply.data.size();
                const auto length = static_cast<std::uint32_t>(asked.length - reply.data.size());
                std::string body;
                put_string(body, m_handle);
                put_u64(body, offset);
                put_u32(body, length);
                const std::uint32_t again = send_request(SSH_FXP_READ, body, {offset, length});
                m_order.pop_back();
                m_order.push_front(again);
                break;
            }
        }
        ask_ahead();
        m_at_end = m_end_seen && m_order.empty();
        return out;
    });
}

std::size_t SftpStream::write(std::string_view data) {
    return m_session.m_core->call([&] {
        take_replies();
        for (auto& [id, reply] : m_replies) {
            if (reply.type != SSH_FXP_STATUS || reply.status != SSH_FX_OK) refused(reply);
            m_in_flight.erase(id);
            m_order.erase(std::find(m_order.begin(), m_order.end(), id));
        }
        m_replies.clear();
        ssh_channel channel = m_session.m_sftp->sftp->channel;
        std::size_t taken = 0;
        while (taken < data.size() && m_in_flight.size() < IN_FLIGHT) {
            const auto length =
                static_cast<std::uint32_t>(std::min<std::size_t>(BLOCK, data.size() - taken));
            std::string body;
            body.reserve(length + m_handle.size() + 16);
            put_string(body, m_handle);
            put_u64(body, m_next_offset);
            put_string(body, data.substr(taken, length));
            if (ssh_channel_window_size(channel) < body.size() + 9) {
                std::lock_guard held(m_signal->lock);
                m_signal->want_window = true;
                break;
            }
            send_request(SSH_FXP_WRITE, body, {m_next_offset, length});
            m_next_offset += length;
            taken += length;
        }
        return taken;
    });
}

void SftpStream::close() {
    if (!m_file || !settled()) return;
    sftp_file file = m_file;
    m_file = nullptr;
    m_session.m_core->call([&] {
        if (sftp_close(file) != SSH_NO_ERROR) m_session.fail(m_path);
    });
}

bool SftpStream::wait(std::chrono::milliseconds limit) {
    std::unique_lock held(m_signal->lock);
    const bool woke = m_signal->arrived.wait_for(held, limit, [&] { return m_signal->pending; });
    m_signal->pending = false;
    return woke;
}

}  // namespace termiva

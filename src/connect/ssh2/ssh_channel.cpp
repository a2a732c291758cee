#include "connect/ssh2/ssh_channel.h"

#include "connect/ssh2/io_waker.h"

namespace termiva {

SshChannel::SshChannel(std::shared_ptr<ssh2::IoWaker> waker) try : m_waker(std::move(waker)) {
} catch (const platform::SocketError& e) {
    throw BackendError(e.what());
}

SshChannel::~SshChannel() = default;

void SshChannel::update_ready_locked() {
    const bool ready = m_in_pos < m_in.size() || m_ended || m_close_requested;
    if (ready == m_ready_signalled) return;
    if (ready)
        m_ready.signal();
    else
        m_ready.clear();
    m_ready_signalled = ready;
}

void SshChannel::send(std::string_view data) {
    if (data.empty()) return;
    {
        std::unique_lock lock(m_lock);
        m_changed.wait(
            lock, [&] { return m_ended || m_close_requested || m_out.size() < OUTBOUND_LIMIT; });
        if (m_close_requested) throw BackendError("channel closed");
        if (m_ended) throw BackendError(m_failure.empty() ? "channel closed" : m_failure);
        m_out.append(data);
    }
    m_waker->notify();
}

std::string SshChannel::recv(std::size_t bufsize) {
    bool was_full = false;
    std::string out;
    {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock,
                       [&] { return m_in_pos < m_in.size() || m_ended || m_close_requested; });
        if (m_close_requested) return {};
        const std::size_t available = m_in.size() - m_in_pos;
        if (available == 0) return {};
        was_full = available >= INBOUND_LIMIT;
        const std::size_t n = std::min(bufsize, available);
        out.assign(m_in, m_in_pos, n);
        m_in_pos += n;
        if (m_in_pos == m_in.size()) {
            m_in.clear();
            m_in_pos = 0;
        } else if (m_in_pos > (1 << 16) && m_in_pos * 2 > m_in.size()) {
            m_in.erase(0, m_in_pos);
            m_in_pos = 0;
        }
        update_ready_locked();
    }
    if (was_full) m_waker->notify();
    return out;
}

bool SshChannel::is_closed() const {
    std::lock_guard lock(m_lock);
    return m_close_requested || (m_ended && m_in_pos == m_in.size());
}

void SshChannel::resize(int rows, int cols) {
    {
        std::lock_guard lock(m_lock);
        if (m_ended || m_close_requested) return;
        m_resize = std::make_pair(rows, cols);
    }
    m_waker->notify();
}

void SshChannel::close() {
    {
        std::lock_guard lock(m_lock);
        if (m_close_requested) return;
        m_close_requested = true;
        update_ready_locked();
    }
    m_changed.notify_all();
    m_waker->notify();
}

std::string SshChannel::failure() const {
    std::lock_guard lock(m_lock);
    return m_failure;
}

std::string SshChannel::take_outbound(std::size_t max) {
    std::string out;
    {
        std::lock_guard lock(m_lock);
        if (m_out.empty()) return out;
        if (m_out.size() <= max) {
            out.swap(m_out);
        } else {
            out.assign(m_out, 0, max);
            m_out.erase(0, max);
        }
    }
    m_changed.notify_all();
    return out;
}

bool SshChannel::has_outbound() const {
    std::lock_guard lock(m_lock);
    return !m_out.empty();
}

std::size_t SshChannel::inbound_room() const {
    std::lock_guard lock(m_lock);
    const std::size_t held = m_in.size() - m_in_pos;
    return held >= INBOUND_LIMIT ? 0 : INBOUND_LIMIT - held;
}

void SshChannel::deliver(std::string_view data) {
    if (data.empty()) return;
    {
        std::lock_guard lock(m_lock);
        if (m_close_requested) return;
        m_in.append(data);
        update_ready_locked();
    }
    m_changed.notify_all();
}

void SshChannel::end_of_stream(const std::string& reason) {
    {
        std::lock_guard lock(m_lock);
        if (m_ended) return;
        m_ended = true;
        m_failure = reason;
        m_out.clear();
        update_ready_locked();
    }
    m_changed.notify_all();
}

std::optional<std::pair<int, int>> SshChannel::take_resize() {
    std::lock_guard lock(m_lock);
    auto size = m_resize;
    m_resize.reset();
    return size;
}

bool SshChannel::close_requested() const {
    std::lock_guard lock(m_lock);
    return m_close_requested;
}

}  // namespace termiva

#include "transfer/byte_link.h"

#include <utility>

namespace termiva::xfer {

void ByteLink::push(std::string_view data) {
    if (data.empty()) return;
    {
        std::unique_lock lock(m_mutex);
        m_room.wait(lock, [&] { return m_ended || m_closed || m_incoming.size() < MAX_PENDING; });
        if (m_ended) {
            m_unused.append(data);
            return;
        }
        // Kept even once closed: a worker about to end hands these back with the rest.
        m_incoming.append(data);
    }
    m_wake.notify_one();
}

void ByteLink::close() {
    {
        // Under the lock so a worker between its check and its wait cannot miss it.
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
    m_wake.notify_all();
    m_room.notify_all();
}

bool ByteLink::closed() const {
    return m_closed.load();
}

int ByteLink::refill(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    if (!m_wake.wait_for(lock, timeout, [&] { return m_closed || !m_incoming.empty(); })) {
        return TIMED_OUT;
    }
    if (m_closed) return CLOSED;
    if (m_holding) m_held.append(m_batch);
    m_batch.clear();
    m_batch.swap(m_incoming);
    m_pos = 0;
    lock.unlock();
    m_room.notify_all();
    return static_cast<unsigned char>(m_batch[0]);
}

bool ByteLink::has_pending() {
    if (m_pos < m_batch.size()) return true;
    std::lock_guard lock(m_mutex);
    return !m_incoming.empty();
}

void ByteLink::hold_taken(bool on) {
    m_holding = on;
    if (!on) m_held.clear();
}

void ByteLink::give_back_held() {
    m_held.append(m_batch);
    m_batch = std::exchange(m_held, {});
    m_pos = 0;
    m_holding = false;
}

void ByteLink::discard_pending() {
    if (m_holding) m_held.append(m_batch);
    m_batch.clear();
    m_pos = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_holding) m_held.append(m_incoming);
        m_incoming.clear();
    }
    m_room.notify_all();
}

void ByteLink::end() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_ended) {
            m_ended = true;
            m_closed = true;
            if (m_pos < m_batch.size()) m_unused.append(m_batch, m_pos);
            m_unused.append(m_incoming);
            m_incoming.clear();
            m_batch.clear();
            m_pos = 0;
        }
    }
    m_wake.notify_all();
    m_room.notify_all();
}

std::string ByteLink::take_unused() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_unused, {});
}

}  // namespace termiva::xfer

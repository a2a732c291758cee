// Wakes a connection's I/O thread out of its poll when another thread has work for it.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <system_error>

namespace termiva::ssh2 {

class IoWaker {
public:
    IoWaker() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (m_fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    ~IoWaker() { ::close(m_fd); }
    IoWaker(const IoWaker&) = delete;
    IoWaker& operator=(const IoWaker&) = delete;

    void notify() {
        m_pending.store(true);
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(m_fd, &one, sizeof one);
    }
    // Called by the I/O thread: was there a notification since the last call?
    bool take_pending() { return m_pending.exchange(false); }
    bool pending() const { return m_pending.load(); }
    void drain() {
        std::uint64_t count = 0;
        [[maybe_unused]] auto n = ::read(m_fd, &count, sizeof count);
    }
    int fd() const { return m_fd; }

private:
    int m_fd;
    std::atomic<bool> m_pending{false};
};

}  // namespace termiva::ssh2

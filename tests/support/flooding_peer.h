// A peer that floods a client and never reads what it answers: the first client of
// `listener` gets `greeting`, then `chunk` again and again without blocking, until `limit`
// bytes went out, the peer is stopped, or 20 s passed; then it hangs up. Stopped and joined
// when it leaves scope, so a failed check cannot leave it running after the test.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace termiva::testing {

class FloodingPeer {
public:
    FloodingPeer(int listener, std::string greeting, std::string chunk, std::size_t limit)
        : m_thread([this, listener, greeting = std::move(greeting), chunk = std::move(chunk),
                    limit] { serve(listener, greeting, chunk, limit); }) {}
    ~FloodingPeer() { stop(); }
    FloodingPeer(const FloodingPeer&) = delete;
    FloodingPeer& operator=(const FloodingPeer&) = delete;

    std::size_t sent() const { return m_sent.load(); }
    void stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }

private:
    void serve(int listener, const std::string& greeting, const std::string& chunk,
               std::size_t limit) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return;
        const int c = ::accept(listener, nullptr, nullptr);
        if (c < 0) return;
        (void)!::send(c, greeting.data(), greeting.size(), MSG_NOSIGNAL);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!m_stop && m_sent < limit && std::chrono::steady_clock::now() < deadline) {
            pollfd w{c, POLLOUT, 0};
            if (::poll(&w, 1, 50) <= 0) continue;
            const ssize_t n = ::send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN) break;
            if (n > 0) m_sent += static_cast<std::size_t>(n);
        }
        ::close(c);
    }

    std::atomic<std::size_t> m_sent{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;  // last: it starts once the counters exist
};

}  // namespace termiva::testing

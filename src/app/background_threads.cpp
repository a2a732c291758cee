#include "app/background_threads.h"

#include <exception>
#include <thread>

#include "platform/log.h"

namespace termiva {

void BackgroundThreads::spawn(std::function<void()> body) {
    {
        std::lock_guard lock(m_lock);
        ++m_live;
    }
    std::thread([this, body = std::move(body)] {
        try {
            body();
        } catch (const std::exception& e) {
            log::error("thread", e.what());
        } catch (...) {
            log::error("thread", "unknown failure");
        }
        std::lock_guard lock(m_lock);
        --m_live;
        m_changed.notify_all();
    }).detach();
}

void BackgroundThreads::request_stop() {
    {
        // Under the lock, so a waiter between its check and its sleep cannot miss it.
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
}

bool BackgroundThreads::wait_unless_stopped(std::chrono::milliseconds delay) {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, delay, [&] { return m_stop.load(); });
}

bool BackgroundThreads::wait_all(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, limit, [&] { return m_live == 0; });
}

int BackgroundThreads::live() const {
    std::lock_guard lock(m_lock);
    return m_live;
}

}  // namespace termiva

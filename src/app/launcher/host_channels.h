// The two channels an enclosing launcher may hand the program: named queues of JSON
// messages and named events. Both are safe to use from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace termiva {

class MessageQueue {
public:
    // Never blocks; a JSON null is a valid item (the end marker).
    void put(nlohmann::json item) {
        {
            std::lock_guard lock(m_lock);
            m_items.push_back(std::move(item));
        }
        m_cv.notify_one();
    }
    // The oldest item, or nothing when none arrives within `timeout`.
    std::optional<nlohmann::json> get(std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_lock);
        if (!m_cv.wait_for(lock, timeout, [&] { return !m_items.empty(); })) return std::nullopt;
        nlohmann::json item = std::move(m_items.front());
        m_items.pop_front();
        return item;
    }
    // The oldest item, waiting as long as it takes.
    nlohmann::json take() {
        std::unique_lock lock(m_lock);
        m_cv.wait(lock, [&] { return !m_items.empty(); });
        nlohmann::json item = std::move(m_items.front());
        m_items.pop_front();
        return item;
    }
    std::size_t size() const {
        std::lock_guard lock(m_lock);
        return m_items.size();
    }

private:
    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<nlohmann::json> m_items;
};

class Event {
public:
    void set() {
        {
            std::lock_guard lock(m_lock);
            m_set = true;
        }
        m_cv.notify_all();
    }
    bool is_set() const {
        std::lock_guard lock(m_lock);
        return m_set;
    }
    bool wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_lock);
        return m_cv.wait_for(lock, timeout, [&] { return m_set; });
    }

private:
    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_set = false;
};

using QueueAll = std::map<std::string, std::shared_ptr<MessageQueue>>;
using EventAll = std::map<std::string, std::shared_ptr<Event>>;

}  // namespace termiva

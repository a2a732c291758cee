// Unbounded thread-safe FIFO of received byte chunks; an empty chunk only wakes the reader.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace flashwright::detail {

class ChunkQueue {
public:
    void push(std::string chunk) {
        {
            std::lock_guard lock(m_mutex);
            m_chunks.push_back(std::move(chunk));
        }
        m_ready.notify_one();
    }

    // The oldest chunk, waiting at most `wait_s` seconds for one to arrive.
    std::optional<std::string> pop(double wait_s) {
        std::unique_lock lock(m_mutex);
        auto wait = std::chrono::duration<double>(wait_s > 0 ? wait_s : 0.0);
        if (!m_ready.wait_for(lock, wait, [this] { return !m_chunks.empty(); })) {
            return std::nullopt;
        }
        std::string chunk = std::move(m_chunks.front());
        m_chunks.pop_front();
        return chunk;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::string> m_chunks;
};

}  // namespace flashwright::detail

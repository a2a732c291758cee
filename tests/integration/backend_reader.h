// Reads a backend on a thread of its own so a test can wait for output with a time limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "connect/backend.h"

namespace termiva::testing {

class BackendReader {
public:
    explicit BackendReader(Backend& backend) : m_backend(backend) {
        m_thread = std::thread([this] {
            for (;;) {
                std::string chunk;
                try {
                    chunk = m_backend.recv(4096);
                } catch (const std::exception&) {
                    chunk.clear();  // a failed read ends the stream like an empty one
                }
                std::lock_guard lock(m_lock);
                if (chunk.empty()) {
                    m_ended = true;
                    m_cv.notify_all();
                    return;
                }
                m_text += chunk;
                m_cv.notify_all();
            }
        });
    }
    ~BackendReader() {
        m_backend.close();
        m_thread.join();
    }

    // Waits until everything read so far contains `needle`; true when it does.
    bool wait_for(const std::string& needle,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(m_lock);
        return m_cv.wait_for(lock, timeout, [&] {
            return m_text.find(needle, m_mark) != std::string::npos || m_ended;
        }) && m_text.find(needle, m_mark) != std::string::npos;
    }
    // Waits for the end of the stream.
    bool wait_end(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(m_lock);
        return m_cv.wait_for(lock, timeout, [&] { return m_ended; });
    }
    // Later wait_for calls look only at what arrives after this point.
    void mark() {
        std::lock_guard lock(m_lock);
        m_mark = m_text.size();
    }
    std::string text() {
        std::lock_guard lock(m_lock);
        return m_text;
    }
    std::string since_mark() {
        std::lock_guard lock(m_lock);
        return m_text.substr(m_mark);
    }

private:
    Backend& m_backend;
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::string m_text;
    std::size_t m_mark = 0;
    bool m_ended = false;
};

}  // namespace termiva::testing

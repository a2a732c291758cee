// The threads page calls run on: a bounded pool that grows when every worker is busy (a
// call may wait minutes on a file chooser or the assistant) and shrinks when idle.
// Calls given the same lane run one after another in the order they were submitted
// (keystrokes and size changes of one tab); calls without a lane run side by side.
//
// Owns: its worker threads and the queued calls.
// Called from: the window's main thread and the headless host's reader (submit), shut-down
// (stop).
// Lock: `m_lock`, held only to queue and take calls; calls run without it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace termiva {

class BridgeWorkers {
public:
    static constexpr std::size_t MAX_THREADS = 16;
    static constexpr std::chrono::seconds IDLE_EXIT{20};

    BridgeWorkers() = default;
    ~BridgeWorkers();
    BridgeWorkers(const BridgeWorkers&) = delete;
    BridgeWorkers& operator=(const BridgeWorkers&) = delete;

    // `lane` empty: no ordering. Calls submitted after stop() are dropped.
    void submit(const std::string& lane, std::function<void()> call);
    // Takes no more calls, drops queued ones and waits up to `limit` for running calls.
    // True when every worker has ended.
    bool stop(std::chrono::milliseconds limit);

    std::size_t threads() const;

private:
    struct Lane {
        std::deque<std::function<void()>> calls;
        bool scheduled = false;  // in `m_ready` or running on a worker
    };
    struct Ready {
        std::string lane;            // set: take the lane's next call
        std::function<void()> call;  // otherwise: this call
    };

    void work();
    void start_worker_locked();

    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_ended;
    std::deque<Ready> m_ready;
    std::map<std::string, Lane> m_lanes;
    std::size_t m_threads = 0;
    std::size_t m_idle = 0;
    bool m_stopping = false;
};

}  // namespace termiva

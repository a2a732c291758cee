// The program's own background threads (connects, readers, the prober, the launcher link):
// started detached, counted, and waited for when the program ends, so none outlives the
// state it reads.
//
// Called from: any thread. Lock: `m_lock`, held only inside these methods.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace termiva {

class BackgroundThreads {
public:
    // Runs `body` on a new thread; what it throws is logged, never lost in a terminate.
    void spawn(std::function<void()> body);
    // From now on `stopping()` is true and every `wait_unless_stopped` returns at once.
    void request_stop();
    bool stopping() const { return m_stop.load(); }
    // The flag itself, for loops that take one.
    const std::atomic<bool>& stop_flag() const { return m_stop; }
    // Sleeps `delay` unless a stop comes first; true when it did.
    bool wait_unless_stopped(std::chrono::milliseconds delay);
    // Waits up to `limit` for every thread to end; false when some are still running.
    bool wait_all(std::chrono::milliseconds limit);
    int live() const;

private:
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::atomic<bool> m_stop{false};
    int m_live = 0;
};

}  // namespace termiva

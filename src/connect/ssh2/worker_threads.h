// Threads that serve forwarded connections. They are joined when their connection closes,
// so none outlives the objects it uses.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace termiva::ssh2 {

class WorkerThreads {
public:
    WorkerThreads() = default;
    ~WorkerThreads() { join_all(); }
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Runs `body` on a new thread; false when the group is already closed. A failure
    // inside `body` is written to stderr and ends only that thread.
    bool spawn(std::function<void()> body);
    // Refuses new threads and waits for the running ones.
    void join_all();

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex m_lock;
    std::list<Worker> m_workers;
    bool m_closed = false;
};

}  // namespace termiva::ssh2

// Threads that serve forwarded connections. They are joined when their connection closes,
// so none outlives the objects it uses. At most `limit` run at once: each costs a thread
// and two descriptors, and a peer may open connection after connection; the rest are
// refused, and the first refusal of a run of them is told through `on_full`.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace termiva::ssh2 {

class WorkerThreads {
public:
    static constexpr std::size_t DEFAULT_LIMIT = 256;

    WorkerThreads() = default;
    ~WorkerThreads() { join_all(); }
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Runs `body` on a new thread; false when the group is already closed or at its
    // limit. A failure inside `body` is written to stderr and ends only that thread.
    bool spawn(std::function<void()> body);
    // Whether spawn() would find room now (a refusal is told as in spawn()), so a channel
    // can be refused before it is accepted.
    bool has_room();
    // `on_full` runs on the refusing thread with no lock held.
    void set_limit(std::size_t limit, std::function<void()> on_full);
    // Refuses new threads and waits for the running ones.
    void join_all();

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    // Joins the finished workers (taken out under `m_lock`); true when the rest leave
    // room for one more. Sets `tell` for the first refusal since the last start.
    bool reap_and_check(std::list<Worker>& finished, bool& tell);

    std::mutex m_lock;
    std::list<Worker> m_workers;
    bool m_closed = false;
    std::size_t m_limit = DEFAULT_LIMIT;
    std::function<void()> m_on_full;
    bool m_told = false;  // a refusal was told and nothing started since
};

}  // namespace termiva::ssh2

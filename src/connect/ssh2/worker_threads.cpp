#include "connect/ssh2/worker_threads.h"
#include "platform/log.h"

#include <exception>

namespace termiva::ssh2 {

bool WorkerThreads::reap_and_check(std::list<Worker>& finished, bool& tell) {
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if (it->done->load()) {
            auto next = std::next(it);
            finished.splice(finished.end(), m_workers, it);
            it = next;
        } else {
            ++it;
        }
    }
    if (m_workers.size() < m_limit) return true;
    tell = !m_told && m_on_full;
    m_told = true;
    return false;
}

void WorkerThreads::set_limit(std::size_t limit, std::function<void()> on_full) {
    std::lock_guard lock(m_lock);
    m_limit = limit;
    m_on_full = std::move(on_full);
}

bool WorkerThreads::has_room() {
    std::list<Worker> finished;
    bool tell = false;
    std::function<void()> on_full;
    bool room;
    {
        std::lock_guard lock(m_lock);
        room = !m_closed && reap_and_check(finished, tell);
        if (tell) on_full = m_on_full;
    }
    for (auto& worker : finished)
        worker.thread.join();
    if (on_full) on_full();
    return room;
}

bool WorkerThreads::spawn(std::function<void()> body) {
    std::list<Worker> finished;
    bool tell = false;
    bool started = false;
    std::function<void()> on_full;
    {
        std::lock_guard lock(m_lock);
        if (m_closed) return false;
        if (reap_and_check(finished, tell)) {
            m_told = false;
            started = true;
            auto done = std::make_shared<std::atomic<bool>>(false);
            m_workers.push_back(Worker{std::thread([body = std::move(body), done] {
                                           try {
                                               body();
                                           } catch (const std::exception& e) {
                                               log::warn("ssh",
                                                         std::string("forwarding: ") + e.what());
                                           } catch (...) {
                                               log::warn("ssh", "forwarding: unknown failure");
                                           }
                                           done->store(true);
                                       }),
                                       done});
        } else if (tell) {
            on_full = m_on_full;
        }
    }
    for (auto& worker : finished)
        worker.thread.join();
    if (on_full) on_full();
    return started;
}

void WorkerThreads::join_all() {
    std::list<Worker> running;
    {
        std::lock_guard lock(m_lock);
        m_closed = true;
        running.swap(m_workers);
    }
    for (auto& worker : running) {
        if (worker.thread.joinable() && worker.thread.get_id() != std::this_thread::get_id()) {
            worker.thread.join();
        } else if (worker.thread.joinable()) {
            worker.thread.detach();
        }
    }
}

}  // namespace termiva::ssh2

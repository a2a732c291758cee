#include "connect/ssh2/worker_threads.h"
#include "platform/log.h"

#include <exception>

namespace termiva::ssh2 {

bool WorkerThreads::spawn(std::function<void()> body) {
    std::list<Worker> finished;
    std::lock_guard lock(m_lock);
    if (m_closed) return false;
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if (it->done->load()) {
            auto next = std::next(it);
            finished.splice(finished.end(), m_workers, it);
            it = next;
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    m_workers.push_back(Worker{std::thread([body = std::move(body), done] {
                                   try {
                                       body();
                                   } catch (const std::exception& e) {
                                       log::warn("ssh", std::string("forwarding: ") + e.what());
                                   } catch (...) {
                                       log::warn("ssh", "forwarding: unknown failure");
                                   }
                                   done->store(true);
                               }),
                               done});
    for (auto& worker : finished)
        worker.thread.join();
    return true;
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

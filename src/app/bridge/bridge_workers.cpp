#include "app/bridge/bridge_workers.h"

#include <cstdlib>
#include <system_error>
#include <thread>

#include "platform/log.h"

namespace termiva {

BridgeWorkers::~BridgeWorkers() {
    if (!stop(std::chrono::seconds(30))) {
        // A worker still runs a call that reaches into state about to be freed.
        log::error("bridge", "page calls still running at exit");
        std::_Exit(1);
    }
}

void BridgeWorkers::submit(const std::string& lane, std::function<void()> call) {
    std::lock_guard lock(m_lock);
    if (m_stopping) return;
    if (lane.empty()) {
        m_ready.push_back({{}, std::move(call)});
    } else {
        Lane& l = m_lanes[lane];
        l.calls.push_back(std::move(call));
        if (l.scheduled) return;  // its worker takes this call after the ones before it
        l.scheduled = true;
        m_ready.push_back({lane, {}});
    }
    if (m_idle > 0) {
        m_wake.notify_one();
    } else if (m_threads < MAX_THREADS) {
        start_worker_locked();
    }
    // Otherwise every worker is busy and the pool is full: the call waits its turn.
}

void BridgeWorkers::start_worker_locked() {
    try {
        std::thread([this] { work(); }).detach();
        ++m_threads;
    } catch (const std::system_error& e) {
        // No thread to be had: a running worker takes the call when it is free.
        log::error("bridge", std::string("no worker thread: ") + e.what());
    }
}

void BridgeWorkers::work() {
    std::unique_lock lock(m_lock);
    while (true) {
        if (m_ready.empty()) {
            if (m_stopping) break;
            ++m_idle;
            bool woke =
                m_wake.wait_for(lock, IDLE_EXIT, [&] { return m_stopping || !m_ready.empty(); });
            --m_idle;
            if (!woke) break;  // idle long enough: the pool shrinks
            continue;
        }
        Ready next = std::move(m_ready.front());
        m_ready.pop_front();
        std::function<void()> call = std::move(next.call);
        if (!next.lane.empty()) {
            Lane& l = m_lanes[next.lane];
            call = std::move(l.calls.front());
            l.calls.pop_front();
        }
        lock.unlock();
        try {
            call();
        } catch (const std::exception& e) {
            log::error("bridge", std::string("page call failed: ") + e.what());
        } catch (...) {
            log::error("bridge", "page call failed");
        }
        call = nullptr;  // whatever the call held is let go outside the lock
        lock.lock();
        if (!next.lane.empty()) {
            auto it = m_lanes.find(next.lane);
            if (it != m_lanes.end()) {
                if (it->second.calls.empty() || m_stopping) {
                    m_lanes.erase(it);
                } else {
                    // Behind the calls already waiting: a busy tab cannot starve the others.
                    m_ready.push_back({next.lane, {}});
                }
            }
        }
    }
    --m_threads;
    m_ended.notify_all();
}

bool BridgeWorkers::stop(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_lock);
    m_stopping = true;
    m_ready.clear();
    m_lanes.clear();
    m_wake.notify_all();
    return m_ended.wait_for(lock, limit, [&] { return m_threads == 0; });
}

std::size_t BridgeWorkers::threads() const {
    std::lock_guard lock(m_lock);
    return m_threads;
}

}  // namespace termiva

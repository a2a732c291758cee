// Collects a transfer job's events from its worker thread and lets a test wait, with a
// bound, for the final "done".
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace termiva::testing {

class TransferEventLog {
public:
    void add(const nlohmann::json& ev) {
        {
            std::lock_guard lock(m_mutex);
            m_events.push_back(ev);
        }
        m_changed.notify_all();
    }

    // A callback for the job's `on_event`; the log must outlive the job.
    auto sink() {
        return [this](const nlohmann::json& ev) { add(ev); };
    }

    std::optional<nlohmann::json> wait_done(std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, timeout, [&] { return done_locked().has_value(); });
        return done_locked();
    }

    std::vector<nlohmann::json> events() const {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

    std::vector<nlohmann::json> of_kind(const std::string& kind) const {
        std::vector<nlohmann::json> out;
        for (const auto& ev : events()) {
            if (ev.value("kind", "") == kind) out.push_back(ev);
        }
        return out;
    }

private:
    std::optional<nlohmann::json> done_locked() const {
        for (const auto& ev : m_events) {
            if (ev.value("kind", "") == "done") return ev;
        }
        return std::nullopt;
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<nlohmann::json> m_events;
};

}  // namespace termiva::testing

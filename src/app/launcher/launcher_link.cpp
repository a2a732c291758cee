#include "app/launcher/launcher_link.h"

#include "app/json_values.h"
#include "platform/log.h"

namespace termiva {

LauncherLink::LauncherLink(std::shared_ptr<QueueAll> queue_all_,
                           std::shared_ptr<EventAll> event_all_)
    : queue_all(std::move(queue_all_)), event_all(std::move(event_all_)) {
    if (queue_all) {
        if (auto it = queue_all->find("get_receipt"); it != queue_all->end())
            m_receipts = it->second;
    }
}

bool LauncherLink::apply(const Json& message) {
    if (!message.is_object() || member(message, "type") != "ping_results") return false;
    bool changed = false;
    try {
        for (const auto& r : message.at("results")) {
            std::string sid = text_of(r.at("id"));
            bool online = r.at("online") == true;
            std::lock_guard lock(m_lock);
            // The same answer again (every round repeats it) is no news for the page.
            std::string& status = m_session_status[sid];
            const char* now = online ? "online" : "offline";
            if (status != now) changed = true;
            status = now;
        }
    } catch (const std::exception& e) {
        log::warn("poll_queue", e.what());
    }
    return changed;
}

void LauncherLink::poll(const std::atomic<bool>& stop, const std::function<void()>& changed) {
    if (!m_receipts) return;
    while (!stop) {
        const Json message = m_receipts->take();
        if (apply(message) && changed) changed();
    }
}

std::map<std::string, std::string> LauncherLink::session_status() const {
    std::lock_guard lock(m_lock);
    return m_session_status;
}

void LauncherLink::signal_end() const {
    if (event_all) {
        if (auto it = event_all->find("end"); it != event_all->end() && it->second) {
            it->second->set();
        }
    }
    if (queue_all) {
        for (const char* key : {"end", "get_receipt"}) {
            if (auto it = queue_all->find(key); it != queue_all->end() && it->second) {
                it->second->put(nullptr);
            }
        }
    }
}

}  // namespace termiva

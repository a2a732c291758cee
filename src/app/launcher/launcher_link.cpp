#include "app/launcher/launcher_link.h"

#include <chrono>
#include <thread>

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
    if (!m_receipts) m_receipts = std::make_shared<MessageQueue>();
}

void LauncherLink::poll(const std::atomic<bool>& stop, const std::function<void()>& changed) {
    using namespace std::chrono_literals;
    const std::shared_ptr<MessageQueue>& receipts = m_receipts;
    while (!stop) {
        if (!receipts) {
            std::this_thread::sleep_for(500ms);
            continue;
        }
        bool applied = false;
        try {
            auto message = receipts->get(500ms);
            if (!message || !message->is_object() || member(*message, "type") != "ping_results") {
                continue;
            }
            // Entries are applied one by one: a malformed entry stops the rest of the message.
            for (const auto& r : message->at("results")) {
                std::string sid = text_of(r.at("id"));
                bool online = r.at("online") == true;
                std::lock_guard lock(m_lock);
                // The same answer again (every round repeats it) is no news for the page.
                std::string& status = m_session_status[sid];
                const char* now = online ? "online" : "offline";
                if (status != now) applied = true;
                status = now;
            }
        } catch (const std::exception& e) {
            log::warn("poll_queue", e.what());
            if (applied && changed) changed();
            std::this_thread::sleep_for(1s);
            continue;
        }
        if (applied && changed) changed();
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

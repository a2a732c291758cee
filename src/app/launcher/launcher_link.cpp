#include "app/launcher/launcher_link.h"

#include <chrono>
#include <thread>

#include "app/json_values.h"
#include "platform/log.h"

namespace termiva {

void LauncherLink::poll(const std::atomic<bool>& stop, const std::function<void()>& changed) {
    using namespace std::chrono_literals;
    std::shared_ptr<MessageQueue> receipts;
    if (queue_all) {
        if (auto it = queue_all->find("get_receipt"); it != queue_all->end()) receipts = it->second;
    }
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
                m_session_status[sid] = online ? "online" : "offline";
                applied = true;
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

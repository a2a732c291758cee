// The launcher's reachability results for saved sessions.
#include <chrono>
#include <iostream>
#include <thread>

#include "app/json_values.h"
#include "app/termiva_app.h"

namespace termiva {

void TermivaApp::_poll_queue() {
    using namespace std::chrono_literals;
    while (!_stop) {
        try {
            std::shared_ptr<MessageQueue> receipts;
            if (queue_all) {
                if (auto it = queue_all->find("get_receipt"); it != queue_all->end()) {
                    receipts = it->second;
                }
            }
            if (!receipts) {
                std::this_thread::sleep_for(500ms);
                continue;
            }
            auto message = receipts->get(500ms);
            if (!message || !message->is_object() || member(*message, "type") != "ping_results") {
                continue;
            }
            // Entries are applied one by one: a malformed entry stops the rest of the message.
            for (const auto& r : message->at("results")) {
                std::string sid = text_of(r.at("id"));
                bool online = r.at("online") == true;
                std::lock_guard lock(m_tabs_lock);
                session_status[sid] = online ? "online" : "offline";
            }
        } catch (const std::exception& e) {
            std::cout << "[poll_queue] " << e.what() << std::endl;
            std::this_thread::sleep_for(1s);
        }
    }
}

}  // namespace termiva

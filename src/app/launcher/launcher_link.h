// The launcher link: the channels an enclosing launcher hands the program, and what
// arrives on them (reachability results for the saved sessions).
//
// Owns: `queue_all`, `event_all` and `session_status` (session id -> "online"/"offline").
// Called from: the poll thread (`poll`, only when a launcher gave a receipt queue), the
// reachability prober (`apply`, its own results), bridge workers (status look-ups),
// shut-down.
// Lock: `m_lock` guards `session_status` only; the queues are safe on their own.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "app/launcher/host_channels.h"

namespace termiva {

class LauncherLink {
public:
    LauncherLink(std::shared_ptr<QueueAll> queue_all, std::shared_ptr<EventAll> event_all);

    // Takes the launcher's messages until `stop` is true; calls `changed` when results
    // changed a session's status. Returns at once when the launcher gave no receipt queue.
    // It sleeps until a message comes: `signal_end` puts the end marker that wakes it.
    void poll(const std::atomic<bool>& stop, const std::function<void()>& changed);
    // Applies a "ping_results" message (anything else is ignored); true when a session's
    // status changed. Entries are applied one by one: a malformed entry ends the message.
    bool apply(const nlohmann::json& message);
    std::map<std::string, std::string> session_status() const;
    // Tells the launcher the program ends: its "end" event and queues.
    void signal_end() const;

    const std::shared_ptr<QueueAll> queue_all;
    const std::shared_ptr<EventAll> event_all;

private:
    std::shared_ptr<MessageQueue> m_receipts;
    mutable std::mutex m_lock;
    std::map<std::string, std::string> m_session_status;
};

}  // namespace termiva

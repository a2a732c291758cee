// The launcher link: the channels an enclosing launcher hands the program, and what
// arrives on them (reachability results for the saved sessions).
//
// Owns: `queue_all`, `event_all` and `session_status` (session id -> "online"/"offline"),
// and a receipt queue of its own when the launcher gave none (the program's reachability
// prober posts there, so the dots work without a launcher too).
// Called from: the poll thread (`poll`), bridge workers (status look-ups), shut-down.
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

    // Takes launcher messages until `stop` is true; calls `changed` when results changed
    // a session's status.
    void poll(const std::atomic<bool>& stop, const std::function<void()>& changed);
    std::map<std::string, std::string> session_status() const;
    // Tells the launcher the program ends: its "end" event and queues.
    void signal_end() const;
    // The queue "ping_results" messages arrive on: the launcher's "get_receipt", or ours.
    const std::shared_ptr<MessageQueue>& receipts() const { return m_receipts; }

    const std::shared_ptr<QueueAll> queue_all;
    const std::shared_ptr<EventAll> event_all;

private:
    std::shared_ptr<MessageQueue> m_receipts;
    mutable std::mutex m_lock;
    std::map<std::string, std::string> m_session_status;
};

}  // namespace termiva

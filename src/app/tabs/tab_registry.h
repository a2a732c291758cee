// The tab registry: which tabs are open, in which order, and which is active.
//
// Owns: the tab table (id -> Tab), the opening order and the active tab id.
// Called from: bridge workers (open, close, describe), connect and reader threads (look-ups).
// Lock: `m_lock`, held only inside these methods. It may be held while one Tab's own
// `lock` is taken (registry -> Tab), never the other way round.
//
// A tab added here tells `on_change` of each move of its state (tab.h), which is how the
// page hears that its runtime state changed.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/tabs/tab.h"

namespace termiva {

class TabRegistry {
public:
    explicit TabRegistry(Tab::Listener on_change = {}) : m_on_change(std::move(on_change)) {}

    TabPtr find(const std::string& tab_id) const;
    // Open tabs in opening order.
    std::vector<TabPtr> snapshot() const;
    std::vector<std::string> order() const;
    std::optional<std::string> active() const;

    // The open tab of that session, made active; nothing when the session has none.
    std::optional<std::string> select_session(const nlohmann::json& session_id);
    // Appends a new tab and makes it active.
    void add(const TabPtr& tab);
    // Puts `tab` where `old_id` was and makes it active; false (nothing changed) when
    // `old_id` is not open, as when another call replaced or closed it first.
    bool replace(const std::string& old_id, const TabPtr& tab);
    // Takes the tab out (the last one opened becomes active if it was); null when unknown.
    TabPtr remove(const std::string& tab_id);

private:
    const Tab::Listener m_on_change;
    mutable std::mutex m_lock;
    std::map<std::string, TabPtr> m_tabs;
    std::vector<std::string> m_order;
    std::optional<std::string> m_active;
};

}  // namespace termiva

#include "app/tabs/tab_registry.h"

#include <algorithm>

#include "app/json_values.h"

namespace termiva {

TabPtr TabRegistry::find(const std::string& tab_id) const {
    std::lock_guard lock(m_lock);
    auto it = m_tabs.find(tab_id);
    return it == m_tabs.end() ? nullptr : it->second;
}

std::vector<TabPtr> TabRegistry::snapshot() const {
    std::lock_guard lock(m_lock);
    std::vector<TabPtr> out;
    out.reserve(m_order.size());
    for (const auto& id : m_order) {
        if (auto it = m_tabs.find(id); it != m_tabs.end()) out.push_back(it->second);
    }
    return out;
}

std::vector<std::string> TabRegistry::order() const {
    std::lock_guard lock(m_lock);
    return m_order;
}

std::optional<std::string> TabRegistry::active() const {
    std::lock_guard lock(m_lock);
    return m_active;
}

std::optional<std::string> TabRegistry::select_session(const nlohmann::json& session_id) {
    std::lock_guard lock(m_lock);
    for (const auto& id : m_order) {
        auto it = m_tabs.find(id);
        if (it == m_tabs.end()) continue;
        std::lock_guard tab_lock(it->second->lock);
        if (it->second->session && it->second->session->has_id(session_id)) {
            m_active = id;
            return id;
        }
    }
    return std::nullopt;
}

void TabRegistry::add(const TabPtr& tab) {
    tab->listen(m_on_change);
    std::lock_guard lock(m_lock);
    m_tabs[tab->id] = tab;
    m_order.push_back(tab->id);
    m_active = tab->id;
}

bool TabRegistry::replace(const std::string& old_id, const TabPtr& tab) {
    tab->listen(m_on_change);
    std::lock_guard lock(m_lock);
    auto slot = std::find(m_order.begin(), m_order.end(), old_id);
    if (slot == m_order.end()) return false;
    m_tabs.erase(old_id);
    m_tabs[tab->id] = tab;
    *slot = tab->id;
    m_active = tab->id;
    return true;
}

TabPtr TabRegistry::remove(const std::string& tab_id) {
    std::lock_guard lock(m_lock);
    auto it = m_tabs.find(tab_id);
    if (it == m_tabs.end()) return nullptr;
    TabPtr tab = it->second;
    m_tabs.erase(it);
    std::erase(m_order, tab_id);
    if (m_active == tab_id) {
        m_active = m_order.empty() ? std::nullopt : std::optional(m_order.back());
    }
    return tab;
}

}  // namespace termiva

// The tab table: opening, closing and describing tabs.
#include <functional>
#include <iostream>
#include <random>

#include "app/json_values.h"
#include "app/termiva_app.h"

namespace termiva {

namespace {

// The first 8 hex digits of a random (version 4) UUID.
std::string new_tab_id() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char* hex = "0123456789abcdef";
    std::uint64_t bits = rng();
    std::string id(8, '0');
    for (int i = 0; i < 8; ++i)
        id[i] = hex[(bits >> (i * 4)) & 0xF];
    return id;
}

}  // namespace

std::string tab_caption(const Json& sess) {
    std::string name = text_of(member(sess, "name"));
    if (!name.empty()) return name;
    return text_of(member(sess, "host")) + ":" + text_of(member(sess, "port"));
}

Json TermivaApp::connect_session(const Json& session_id) {
    SessionPtr sess;
    {
        std::lock_guard lock(m_sessions_lock);
        for (const auto& s : sessions) {
            if (member(*s, "id") == session_id) {
                sess = s;
                break;
            }
        }
    }
    if (!sess) return Json{{"tab_id", nullptr}};

    std::string existing;
    {
        std::lock_guard lock(m_tabs_lock);
        for (const auto& id : tab_order) {
            auto it = tabs.find(id);
            if (it == tabs.end()) continue;
            std::lock_guard tab_lock(it->second->lock);
            if (it->second->session && member(*it->second->session, "id") == session_id) {
                existing = id;
                break;
            }
        }
        if (!existing.empty()) active_tab_id = existing;
    }
    if (!existing.empty()) {
        Json state = get_runtime_state();
        state["tab_id"] = existing;
        state["existing"] = true;
        return state;
    }

    auto tab = std::make_shared<Tab>(new_tab_id());
    tab->session = sess;
    tab->display = tab_caption(*sess);
    tab->protocol = text_field(*sess, "protocol", "ssh");
    tab->encoding = to_lower(text_field(*sess, "line_code_page", "utf-8"));
    {
        std::lock_guard lock(m_tabs_lock);
        tabs[tab->id] = tab;
        tab_order.push_back(tab->id);
        active_tab_id = tab->id;
    }
    std::string id = tab->id;
    _spawn([this, id] { _start_ssh(id); });
    Json state = get_runtime_state();
    state["tab_id"] = id;
    return state;
}

Json TermivaApp::close_tab(const std::string& tab_id) {
    _close_tab_internal(tab_id);
    return get_runtime_state();
}

void TermivaApp::release_tab_resources(Tab& tab) {
    std::shared_ptr<Job> job;
    std::vector<std::function<void()>> closers;  // in the fixed release order
    std::optional<std::filesystem::path> keyfile;
    {
        std::lock_guard lock(tab.lock);
        tab.closed = true;
        job = tab._xfer;
        keyfile = tab.tmp_keyfile;
        for (const char* slot : CLOSE_SLOTS) {
            if (std::string_view(slot) == "client") {
                if (auto c = tab.client) closers.emplace_back([c] { c->close(); });
            } else if (std::string_view(slot) == "serial") {
                if (auto s = tab.serial) closers.emplace_back([s] { s->close(); });
            } else if (auto b = *tab.backend_slot(slot)) {
                closers.emplace_back([b] { b->close(); });
            }
        }
        // A backend still connecting is closed too, so it cannot outlive its tab.
        if (auto b = tab.connecting) closers.emplace_back([b] { b->close(); });
    }
    if (job) {
        try {
            job->cancel();
        } catch (const std::exception&) {
        }
    }
    for (auto& close : closers) {
        try {
            close();
        } catch (const std::exception&) {
        }
    }
    if (keyfile) {
        std::error_code ec;
        if (std::filesystem::exists(*keyfile, ec)) std::filesystem::remove(*keyfile, ec);
    }
}

void TermivaApp::_close_tab_internal(const std::string& tab_id) {
    TabPtr tab = find_tab(tab_id);
    if (!tab) return;
    release_tab_resources(*tab);
    std::lock_guard lock(m_tabs_lock);
    tabs.erase(tab_id);
    std::erase(tab_order, tab_id);
    if (active_tab_id == tab_id) {
        active_tab_id = tab_order.empty() ? std::nullopt : std::optional(tab_order.back());
    }
}

Json TermivaApp::_tabs_for_js() {
    Json out = Json::array();
    for (const auto& tab : tabs_snapshot()) {
        std::lock_guard lock(tab->lock);
        out.push_back(Json{{"id", tab->id},
                           {"display", tab->display},
                           {"protocol", tab->protocol},
                           {"alive", tab->alive.load()},
                           {"session_id", tab->session ? member(*tab->session, "id") : Json()}});
    }
    return out;
}

Json TermivaApp::get_runtime_state() {
    Json state;
    state["tabs"] = _tabs_for_js();
    Json status = Json::object();
    {
        std::lock_guard lock(m_tabs_lock);
        state["active_tab"] = active_tab_id ? Json(*active_tab_id) : Json();
        for (const auto& [sid, value] : session_status)
            status[sid] = value;
    }
    // An open serial tab knows better than the launcher whether its port is there.
    for (const auto& tab : tabs_snapshot()) {
        std::lock_guard lock(tab->lock);
        if (tab->protocol != "serial" || !tab->session) continue;
        std::string sid = text_of(member(*tab->session, "id"));
        status[sid] = tab->serial && tab->alive ? "online" : "offline";
    }
    state["session_status"] = status;
    return state;
}

}  // namespace termiva

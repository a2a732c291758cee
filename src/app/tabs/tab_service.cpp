// Opening, closing and describing tabs, and the page's tab operations.
#include <functional>
#include <map>
#include <random>
#include <set>

#include "app/json_values.h"
#include "app/tabs/login_prompt.h"
#include "app/tabs/tab_service.h"
#include "platform/log.h"

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

TabPtr new_session_tab(const SessionPtr& sess) {
    auto tab = std::make_shared<Tab>(new_tab_id());
    tab->session = sess;
    tab->display = tab_caption(*sess);
    tab->protocol = sess->protocol.empty() ? "ssh" : sess->protocol;
    tab->encoding = to_lower(text_or(sess->line_code_page, "utf-8"));
    return tab;
}

using Args = std::vector<nlohmann::json>;

}  // namespace

TabService::TabService(DesktopShell& shell, const SessionStore& store, const LauncherLink& launcher,
                       TabLogs& logs, BackgroundThreads& threads, Links links)
    : m_shell(shell),
      m_store(store),
      m_launcher(launcher),
      m_logs(logs),
      m_threads(threads),
      m_links(std::move(links)),
      m_output([this](const std::string& tab_id, const TerminalOutput::Notice& notice) {
          m_shell.page_call("terminalOutput", {tab_id, notice.text, notice.carried}, true);
      }) {}

void TabService::register_ops(BridgeTable& b) {
    auto state = [this] { return get_runtime_state(); };
    auto constant = [](Json v) { return [v] { return v; }; };

    b.add("connect_session", {{{"session_id"}},
                              constant({{"tab_id", nullptr}}),
                              [this](const Args& a) { return connect_session(a[0]); }});
    b.add("close_tab",
          {{{"tab_id"}}, state, [this](const Args& a) { return close_tab(text_arg(a, 0)); }});
    b.add("reconnect_tab", {{{"tab_id"}}, constant({{"tab_id", nullptr}}), [this](const Args& a) {
                                return reconnect_tab(text_arg(a, 0));
                            }});
    // Keystrokes, size changes and encoding changes of one tab keep the page's order.
    const bool per_tab = true;
    b.add("send_input",
          {{{"tab_id"}, {"data"}},
           constant(false),
           [this](const Args& a) { return Json(send_input(text_arg(a, 0), text_arg(a, 1))); },
           per_tab});
    b.add("resize_pty",
          {{{"tab_id"}, {"rows"}, {"cols"}},
           constant(false),
           [this](const Args& a) { return Json(resize_pty(text_arg(a, 0), a[1], a[2])); },
           per_tab});
    b.add("set_tab_encoding",
          {{{"tab_id"}, {"encoding"}},
           constant(false),
           [this](const Args& a) { return Json(set_tab_encoding(text_arg(a, 0), text_arg(a, 1))); },
           per_tab});
    b.add("get_tab_reading", {{{"tab_id"}}, constant({{"reading", false}}), [this](const Args& a) {
                                  return get_tab_reading(text_arg(a, 0));
                              }});
    b.add("toggle_tab_reading",
          {{{"tab_id"}}, constant({{"reading", false}}), [this](const Args& a) {
               return toggle_tab_reading(text_arg(a, 0));
           }});
    b.add("drain_terminal",
          {{{"tab_id"}, {"carried_seen", nullptr}}, constant(""), [this](const Args& a) {
               return Json(drain_terminal(text_arg(a, 0), a[1]));
           }});
    b.add("get_runtime_state", {{}, state, [this](const Args&) { return get_runtime_state(); }});
}

std::string TabService::translate(std::string_view key, const MessageArgs& values) const {
    const Json lang = m_store.setting("language");
    return termiva::translate(lang.is_string() ? lang.get<std::string>() : std::string("en"), key,
                              values);
}

void TabService::close_all() {
    for (const auto& id : m_tabs.order())
        _close_tab_internal(id);
}

Json TabService::connect_session(const Json& session_id) {
    SessionPtr sess = m_store.find(session_id);
    if (!sess) return Json{{"tab_id", nullptr}};

    if (auto existing = m_tabs.select_session(session_id)) {
        Json state = get_runtime_state();
        state["tab_id"] = *existing;
        state["existing"] = true;
        return state;
    }

    auto tab = new_session_tab(sess);
    open_tab(tab);
    Json state = get_runtime_state();
    state["tab_id"] = tab->id;
    return state;
}

void TabService::open_tab(const TabPtr& tab) {
    m_output.open(tab->id);
    m_tabs.add(tab);
    const std::string id = tab->id;
    spawn([this, id] { m_links.connect(id); });
}

Json TabService::reconnect_tab(const std::string& tab_id) {
    TabPtr old = find_tab(tab_id);
    if (!old || old->alive()) return Json{{"tab_id", nullptr}};
    Json session_id;
    {
        std::lock_guard lock(old->lock);
        if (old->session) session_id = old->session->id_value();
    }
    // The session as saved now: an edit made while the tab was down applies.
    SessionPtr sess = m_store.find(session_id);
    if (!sess) return Json{{"tab_id", nullptr}};
    auto tab = new_session_tab(sess);
    m_output.open(tab->id);
    // Two reconnects of one tab race here: only the one that finds it open goes on.
    if (!m_tabs.replace(tab_id, tab)) {
        m_output.forget(tab->id);
        return Json{{"tab_id", nullptr}};
    }
    release_tab_resources(*old);
    m_logs.stop(tab_id);
    std::string id = tab->id;
    spawn([this, id] { m_links.connect(id); });
    Json state = get_runtime_state();
    state["tab_id"] = id;
    return state;
}

Json TabService::close_tab(const std::string& tab_id) {
    _close_tab_internal(tab_id);
    return get_runtime_state();
}

void TabService::release_tab_resources(Tab& tab) {
    // Closed first: whatever the tab's threads try from now on (store a connection, end,
    // take the job slot) is refused.
    tab.move_to(TabState::closed);
    m_links.released(tab.id);
    m_output.forget(tab.id);
    // A login waiting for an answer gives up, so its connection can close.
    LoginPrompt::detach(tab);
    std::shared_ptr<Backend> backend, connecting;
    std::shared_ptr<SshClient> client;
    std::optional<std::filesystem::path> keyfile;
    {
        std::lock_guard lock(tab.lock);
        keyfile = tab.tmp_keyfile;
        backend = tab.backend;
        client = tab.client;
        // A backend still connecting is closed too, so it cannot outlive its tab.
        connecting = tab.connecting;
    }
    // The shell channel before the connection it belongs to, as the connection expects.
    auto close_quietly = [&](auto& closable, const char* what) {
        if (!closable) return;
        try {
            closable->close();
        } catch (const std::exception& e) {
            log::debug("close_tab", std::string(what) + ": " + e.what());
        }
    };
    close_quietly(backend, "backend");
    close_quietly(client, "connection");
    close_quietly(connecting, "connecting backend");
    if (keyfile) {
        std::error_code ec;
        if (std::filesystem::exists(*keyfile, ec)) std::filesystem::remove(*keyfile, ec);
    }
}

void TabService::_close_tab_internal(const std::string& tab_id) {
    // Out of the registry before it closes, so the state the page asks for when it hears
    // of the close no longer lists it.
    TabPtr tab = m_tabs.remove(tab_id);
    if (!tab) return;
    release_tab_resources(*tab);
    m_logs.stop(tab_id);
}

Json TabService::_tabs_for_js() const {
    Json out = Json::array();
    for (const auto& tab : m_tabs.snapshot()) {
        std::lock_guard lock(tab->lock);
        out.push_back(Json{{"id", tab->id},
                           {"display", tab->display},
                           {"protocol", tab->protocol},
                           {"alive", is_alive(tab->state_held())},
                           {"encoding", tab->encoding},
                           {"session_id", tab->session ? tab->session->id_value() : Json()}});
    }
    return out;
}

std::set<std::string> TabService::sessions_in_tabs() const {
    std::set<std::string> ids;
    for (const auto& tab : m_tabs.snapshot()) {
        std::lock_guard lock(tab->lock);
        if (tab->session && tab->state_held() != TabState::closed) ids.insert(tab->session->id);
    }
    return ids;
}

Json TabService::get_runtime_state() {
    Json state;
    state["tabs"] = _tabs_for_js();
    auto active = m_tabs.active();
    state["active_tab"] = active ? Json(*active) : Json();
    Json status = Json::object();
    for (const auto& [sid, value] : m_launcher.session_status())
        status[sid] = value;
    // A session open in a tab is not probed: the tab knows better whether its peer (or its
    // serial port) is there. One tab of it online makes it online.
    std::map<std::string, bool> from_tabs;
    for (const auto& tab : m_tabs.snapshot()) {
        std::lock_guard lock(tab->lock);
        if (!tab->session) continue;
        const TabState now = tab->state_held();
        bool online;
        if (tab->protocol == "serial") {
            online = tab->backend_kind == "serial" && tab->backend && is_alive(now);
        } else if (now == TabState::connected) {
            online = true;
        } else if (now == TabState::ended || now == TabState::failed) {
            online = false;
        } else {
            continue;  // still connecting: it does not know yet
        }
        from_tabs[tab->session->id] = from_tabs[tab->session->id] || online;
    }
    for (const auto& [sid, online] : from_tabs)
        status[sid] = online ? "online" : "offline";
    state["session_status"] = status;
    return state;
}

}  // namespace termiva

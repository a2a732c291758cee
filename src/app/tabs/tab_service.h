// The open tabs and their terminal data path: the page's tab operations (open, close,
// reconnect, keystrokes, size changes, encoding, reading switch, pulls of output, the
// runtime state), received text into each tab's output buffer, status lines into the
// page, and what the feature services get of the tabs (TabHost).
//
// Owns: the tab registry and the terminal output buffers.
// Called from: bridge workers (the page's operations), connect and reader threads
// (received text, status lines), feature services through TabHost.
// Locks: none of its own; the registry's and each Tab's (tab_registry.h, tab.h), and
// a tab's `received_order` around each received chunk so its text keeps its place.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/background_threads.h"
#include "app/bridge/bridge_table.h"
#include "app/desktop/desktop_shell.h"
#include "app/launcher/launcher_link.h"
#include "app/output/terminal_output.h"
#include "app/store/session_store.h"
#include "app/tablog/tab_logs.h"
#include "app/tabs/tab_host.h"
#include "app/tabs/tab_registry.h"

namespace termiva {

class TabService final : public TabHost {
public:
    using Json = nlohmann::json;

    // What the tabs need of services built after them, wired by the application.
    struct Links {
        // Runs the starter of the tab's session protocol (on the tab's connect thread).
        std::function<void(const std::string& tab_id)> connect;
        // Received bytes through the transfer filter and the tab's decoder: what to show.
        std::function<std::string(const std::string& tab_id, const std::string& bytes)> received;
        // A closing tab's transfer slot is given up.
        std::function<void(const std::string& tab_id)> released;
        // Stores a changed session record and updates the tabs open on it.
        std::function<Json(Json record)> save_session;
    };

    TabService(DesktopShell& shell, const SessionStore& store, const LauncherLink& launcher,
               TabLogs& logs, BackgroundThreads& threads, Links links);

    void register_ops(BridgeTable& table);

    // ---- the page's operations ----
    Json connect_session(const Json& session_id);
    Json close_tab(const std::string& tab_id);
    // An ended tab's session connects again in the tab's place, as a new tab id.
    Json reconnect_tab(const std::string& tab_id);
    bool send_input(const std::string& tab_id, const std::string& data);
    bool resize_pty(const std::string& tab_id, const Json& rows, const Json& cols);
    // `carried_seen`: how many pieces of output the page has received with notices (a
    // count, from a page that takes them); anything else leaves the tab pulled only.
    std::string drain_terminal(const std::string& tab_id, const Json& carried_seen = nullptr);
    Json get_runtime_state();
    bool set_tab_encoding(const std::string& tab_id, const std::string& encoding);
    Json get_tab_reading(const std::string& tab_id);
    Json toggle_tab_reading(const std::string& tab_id);

    // ---- for the application ----
    // Open tabs in opening order.
    std::vector<TabPtr> snapshot() const { return m_tabs.snapshot(); }
    std::vector<std::string> order() const { return m_tabs.order(); }
    // The ids of the sessions open in a tab now (the prober leaves them alone).
    std::set<std::string> sessions_in_tabs() const;
    void close_all();
    TabRegistry& registry() { return m_tabs; }

    // Received text into the tab's output (line ends translated, the log written); dropped
    // while the tab's reading is off.
    void _push_to_term(const std::string& tab_id, const std::string& text);
    // A status line: the page's setTerminalInfo(tab, message, is_error).
    void _push_info(const std::string& tab_id, const std::string& message, bool is_error = false);
    // The page's terminalConnected(tab).
    void _push_connected(const std::string& tab_id);

    // ---- TabHost ----
    TabPtr find_tab(const std::string& tab_id) const override { return m_tabs.find(tab_id); }
    void push_text(const std::string& tab_id, const std::string& text) override {
        _push_to_term(tab_id, text);
    }
    void push_info(const std::string& tab_id, const std::string& message,
                   bool is_error = false) override {
        _push_info(tab_id, message, is_error);
    }
    void push_connected(const std::string& tab_id) override { _push_connected(tab_id); }
    // Tells the page its runtime state changed, so it asks again instead of polling.
    void runtime_changed() override;
    std::string translate(std::string_view key, const MessageArgs& values = {}) const override;
    void spawn(std::function<void()> body) override { m_threads.spawn(std::move(body)); }
    bool stopping() const override { return m_threads.stopping(); }
    bool type_into(const std::string& tab_id, const std::string& data) override {
        return send_input(tab_id, data);
    }
    void open_tab(const TabPtr& tab) override;
    void read_stream(const TabPtr& tab, Backend& backend) override;
    Json save_session(Json record) override { return m_links.save_session(std::move(record)); }

private:
    // Tells the page when a tab's move changed what it shows.
    void tab_moved(const Tab& tab, TabState from, TabState to);
    void _close_tab_internal(const std::string& tab_id);
    // Closes the backend and the job a tab holds (a backend still connecting included).
    void release_tab_resources(Tab& tab);
    Json _tabs_for_js() const;
    std::string _apply_eol_translation(Tab& tab, const std::string& text);

    DesktopShell& m_shell;
    const SessionStore& m_store;
    const LauncherLink& m_launcher;
    TabLogs& m_logs;
    BackgroundThreads& m_threads;
    const Links m_links;
    TabRegistry m_tabs{
        [this](const Tab& tab, TabState from, TabState to) { tab_moved(tab, from, to); }};
    TerminalOutput m_output;
};

}  // namespace termiva

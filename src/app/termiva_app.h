// The application object: the page's bridge. Its state lives in the feature services it
// owns (tab registry, terminal output, session store, transfer coordinator, desktop shell,
// launcher link, bridge workers); its operations keep the product's names and forward to
// them. Leading underscores mark internal operations, which the bridge never exposes.
// docs/architecture.md has the map: threads, locks and their order, how to add a service.
#pragma once

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/assistant/assistant_service.h"
#include "app/bridge/bridge_table.h"
#include "app/bridge/bridge_workers.h"
#include "app/desktop/desktop_shell.h"
#include "app/esp/esp_tools.h"
#include "app/import/putty_import.h"
#include "app/launcher/host_channels.h"
#include "app/launcher/launcher_link.h"
#include "app/messages/messages.h"
#include "app/output/terminal_output.h"
#include "app/reachability/reachability_prober.h"
#include "app/serial/serial_tabs.h"
#ifdef TERMIVA_WITH_SSH2
#include "app/sftp/sftp_service.h"
#endif
#include "app/store/session_store.h"
#include "app/tablog/tab_logs.h"
#include "app/tabs/tab.h"
#include "app/tabs/tab_host.h"
#include "app/tabs/tab_registry.h"
#include "app/transfer/transfer_coordinator.h"
#include "platform/desktop.h"
#include "platform/page_window.h"

namespace termiva {

namespace platform {
class Desktop;
class TrayIcon;
}  // namespace platform

using Json = nlohmann::json;

class TermivaApp : private TabHost {
public:
    // ---- constants ----
    static constexpr std::string_view APP_NAME = "Termiva";
    static const std::vector<std::string> SUPPORTED_LANGS;
    static constexpr std::string_view DEFAULT_LANG = "en";
    static constexpr std::string_view CLAUDE_DEFAULT_MODEL = assistant::CLAUDE_DEFAULT_MODEL;
    static inline const std::vector<assistant::BuiltinModel>& CLAUDE_BUILTIN_MODELS =
        assistant::CLAUDE_BUILTIN_MODELS;
    static const std::vector<std::string> CONN_LEVEL_KEYS;

    // `data_dir` overrides the data directory (tests, the headless host).
    TermivaApp(std::shared_ptr<QueueAll> queue_all = nullptr,
               std::shared_ptr<EventAll> event_all = nullptr,
               std::optional<std::filesystem::path> data_dir = std::nullopt);
    ~TermivaApp();
    TermivaApp(const TermivaApp&) = delete;
    TermivaApp& operator=(const TermivaApp&) = delete;

    const std::filesystem::path APP_DIR;
    const std::filesystem::path SESSIONS_FILE;
    const std::filesystem::path SETTINGS_FILE;
    const std::filesystem::path HOST_KEYS_FILE;

    // ---- the bridge ----
    const BridgeTable& bridge() const { return m_bridge; }
    // The result of a page call, or nothing when the operation is unknown.
    std::optional<Json> call_bridge(const std::string& op, Json args) const {
        return m_bridge.call(op, std::move(args));
    }
    // Runs a page call on a bridge worker and hands its result to `reply` there. Calls
    // that must keep their order within a tab (keystrokes, size changes) do. The arguments
    // are moved along, never copied again (a paste may be megabytes).
    void call_bridge_async(const std::string& op, Json args, platform::BridgeReply reply);

    // ---- tabs and the terminal data path ----
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

    void _poll_queue();

    // ---- sessions and settings ----
    Json get_initial_state();
    Json save_session(Json rec) override;
    Json delete_session(const Json& session_id);

    // ---- messages ----
    std::string _t(std::string_view key, const MessageArgs& values = {}) const;
    Json set_language(const Json& lang);

    // ---- connections ----
    // (path to hand the SSH library, error message): exactly one is set.
    std::pair<std::optional<std::filesystem::path>, std::optional<std::string>> _ensure_openssh_key(
        const std::string& key_path);

    // ---- file transfers in the terminal, ESP boards on serial tabs, serial lines ----
    TransferCoordinator& transfer() { return m_transfer; }
    EspTools& esp() { return m_esp; }
    SerialTabs& serial() { return m_serial; }
    // PuTTY's saved sessions (tests point it at a folder of their own).
    PuttyImport& putty_import() { return m_import; }

    // ---- desktop conveniences ----
    // The clipboard's text, "" when there is none.
    std::string read_clipboard();
    // True when the desktop was asked to open `url` (web and mail addresses only).
    bool open_url(const std::string& url);
    // {"items": [...]}: the notices of the software delivered with the program.
    Json get_third_party_licenses();
    // (package root, PuTTY source folder) the notices are read from.
    std::pair<std::filesystem::path, std::filesystem::path> _license_scan_dirs() const;

    // ---- reachability, tab logs, page settings (reachability/, tablog/, page_settings/) ----
    // The prober; the window program and the host run it on a thread of its own.
    ReachabilityProber& reachability() { return m_prober; }

    // ---- start and stop ----
    std::optional<std::filesystem::path> _find_bundled(const std::string& name,
                                                       bool system_fallback = true) const;
    void _shutdown();
    // Window, tray and title bar (need a desktop from the platform layer).
    void run();
    void set_desktop(std::shared_ptr<platform::Desktop> desktop) {
        m_shell.set_desktop(std::move(desktop));
    }
    // The page's window; the headless host installs one of its own.
    void set_window(std::shared_ptr<platform::PageWindow> window) {
        m_shell.set_window(std::move(window));
    }

    // ---- state for tests and other components ----
    TabPtr find_tab(const std::string& tab_id) const override { return m_tabs.find(tab_id); }
    std::vector<std::string> tab_order_snapshot() const { return m_tabs.order(); }
    // The saved sessions and settings, for reading.
    const SessionStore& store() const { return m_store; }
    bool stopping() const override { return _stop.load(); }
    void set_module_dir_for_tests(std::filesystem::path dir) { m_module_dir = std::move(dir); }
    // Runs `body` on a detached background thread that the destructor waits for.
    void _spawn(std::function<void()> body);
    // What services and starters get of the tabs (tests drive starters through it).
    TabHost& tab_host() { return *this; }

    std::optional<std::filesystem::path> puttygen_exe;

    // ---- the AI assistant (assistant/) ----
    AssistantService& assistant() { return m_assistant; }

private:
    // ---- the application's own operations and steps, reached through the bridge ----
    bool set_tab_encoding(const std::string& tab_id, const std::string& encoding);
    Json get_tab_reading(const std::string& tab_id);
    Json toggle_tab_reading(const std::string& tab_id);
    void _push_to_term(const std::string& tab_id, const std::string& text);
    void _push_info(const std::string& tab_id, const std::string& message, bool is_error = false);
    void _push_connected(const std::string& tab_id);
    // Tells the page its runtime state changed (a tab moved, reachability came in), so it
    // asks again instead of polling.
    void _push_runtime_changed();
    void _close_tab_internal(const std::string& tab_id);
    Json _tabs_for_js();
    std::string _apply_eol_translation(Tab& tab, const std::string& text);
    void _load_sessions();
    // An error text when the file could not be written (the previous one is intact).
    std::optional<std::string> _save_sessions();
    void _load_settings();
    std::optional<std::string> _save_settings();
    void _apply_session_changes_to_open_tabs(const SessionPtr& saved, const Session* replaced);
    // What the page is told when a file could not be saved: {"file", "error"}.
    static Json _save_failure(const std::filesystem::path& file, const std::string& error);
    void _start_raw_impl(const std::string& tab_id, const Session& sess, const TabPtr& tab);
    void _start_ssh1_impl(const std::string& tab_id, const Session& sess, const TabPtr& tab);
    void _start_telnet_impl(const std::string& tab_id, const Session& sess, const TabPtr& tab);
    void _start_telnet_serial_impl(const std::string& tab_id, const Session& sess,
                                   const TabPtr& tab);
    void _start_rlogin_impl(const std::string& tab_id, const Session& sess, const TabPtr& tab);
    void _start_conpty_impl(const std::string& tab_id, const Session& sess, const TabPtr& tab);
    void _start_supdup_impl(const std::string& tab_id, const Session& sess, const TabPtr& tab);
    // Serial tabs (serial/): the starter becomes the tab's reader for the tab's life.
    void _start_serial_impl(const std::string& tab_id, const Session& sess, const TabPtr& tab) {
        m_serial._start_serial_impl(tab_id, sess, tab);
    }
    // SSH-2 (starters/start_ssh.cpp and its neighbours).
    void _start_ssh_impl(const std::string& tab_id, const Session& sess, const TabPtr& tab);
    std::string pick_private_key();
    Json import_list_from_putty();
    Json import_putty_sessions(const Json& putty_records);
    void _import_one(const Json& rec);
    Json _read_putty_registry_sessions();
    // {"logo", "logo_ico"}: the logo files as data addresses, "" for one that is missing.
    Json get_images();
    static std::optional<std::pair<std::string, std::string>> _read_license_file(
        const std::filesystem::path& dirpath);
    bool set_page_visible(bool visible);
    Json tab_log_start(const std::string& tab_id, const std::string& path, bool timestamps);
    bool tab_log_stop(const std::string& tab_id);
    Json tab_log_status(const std::string& tab_id);
    void _tab_log_failed(const std::string& tab_id, const std::filesystem::path& file,
                         const std::string& reason);
    Json get_page_settings();
    Json set_page_settings(const Json& values);
    // The user's "reachability" setting (on unless false) to the prober.
    void apply_reachability_setting();
    // The ids of the sessions open in a tab now.
    std::set<std::string> sessions_in_tabs() const;
    bool _on_window_closing();
    // Closing where no tray could bring the window back: quits, after asking when tabs are
    // open. True lets the close go ahead (the event loop ends, and the program with it).
    bool close_without_tray(platform::Desktop& desktop);
    void _setup_tray();
    void _apply_dark_titlebar();
    // The module directory whose "html", "bin", "格式範本" and "architecture" folders
    // belong to the program (the executable's folder unless a test overrides it).
    std::filesystem::path module_dir() const { return m_module_dir; }
    std::vector<TabPtr> tabs_snapshot() const { return m_tabs.snapshot(); }
    // The desktop shell, for services that call the page or the desktop.
    DesktopShell& shell() { return m_shell; }
    const std::shared_ptr<QueueAll>& queue_all() const { return m_launcher.queue_all; }
    const std::shared_ptr<EventAll>& event_all() const { return m_launcher.event_all; }

    void register_bridge();
    // Each feature file adds its own page operations.
    void register_ssh_bridge();
    void register_desktop_bridge();
    void register_import_bridge();
    void register_page_bridge();
    // Tells the page when a tab's move changed what it shows.
    void tab_moved(const Tab& tab, TabState from, TabState to);
    // Runs the starter of the tab's session protocol (on the tab's connect thread).
    void connect_tab(const std::string& tab_id);
    // Closes the backend and the job a tab holds (a backend still connecting included).
    void release_tab_resources(Tab& tab);

    // What the services that serve tabs get of the application (tabs/tab_host.h).
    void push_text(const std::string& tab_id, const std::string& text) override {
        _push_to_term(tab_id, text);
    }
    void push_info(const std::string& tab_id, const std::string& message, bool is_error) override {
        _push_info(tab_id, message, is_error);
    }
    void push_connected(const std::string& tab_id) override { _push_connected(tab_id); }
    void runtime_changed() override { _push_runtime_changed(); }
    std::string translate(std::string_view key, const MessageArgs& values) const override {
        return _t(key, values);
    }
    void spawn(std::function<void()> body) override { _spawn(std::move(body)); }
    bool type_into(const std::string& tab_id, const std::string& data) override {
        return send_input(tab_id, data);
    }
    void open_tab(const TabPtr& tab) override;
    void read_stream(const TabPtr& tab, Backend& backend) override;

    std::filesystem::path m_module_dir;
    std::atomic<bool> _stop{false};

    // The feature services, in the order they are built (and torn down in reverse).
    DesktopShell m_shell;
    LauncherLink m_launcher;
    SessionStore m_store;
    TabRegistry m_tabs{
        [this](const Tab& tab, TabState from, TabState to) { tab_moved(tab, from, to); }};
    TerminalOutput m_output;
    TransferCoordinator m_transfer{*this, m_shell, m_store, APP_DIR};
    SerialTabs m_serial{*this};
    EspTools m_esp{*this, m_transfer, m_shell, m_store};
    AssistantService m_assistant{*this, m_store, m_tabs, m_module_dir};
    PuttyImport m_import;
#ifdef TERMIVA_WITH_SSH2
    SftpService m_sftp{*this};
#endif
    // A log ended by a failed write says so in its tab, and the page drops its mark.
    TabLogs m_logs{[this](const std::string& tab, const std::filesystem::path& file,
                          const std::string& reason) { _tab_log_failed(tab, file, reason); }};
    ReachabilityProber m_prober{[this] { return m_store.sessions_json(); },
                                [this] { return sessions_in_tabs(); },
                                [this](Json message) {
                                    if (m_launcher.apply(message)) _push_runtime_changed();
                                }};

    BridgeTable m_bridge;

    // Window's thread only: a close asked for while its question is open waits for it; the
    // first hide of a run tells where the window went.
    bool m_asking_to_quit = false;
    bool m_told_where_hidden = false;

    std::mutex m_threads_lock;
    std::condition_variable m_threads_cv;
    int m_live_threads = 0;
    // Told when `_stop` turns true, so a thread that waits for a while can end at once.
    std::condition_variable m_stopped_cv;

    // Last: its workers run page calls into everything above, so it stops first.
    BridgeWorkers m_workers;
};

}  // namespace termiva

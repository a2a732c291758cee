// The application object: start-up, shut-down and the wiring of the feature services it
// owns (tabs and their data path, session store, transfer coordinator, desktop shell,
// launcher link, bridge workers …), each of which registers its own page operations.
// Leading underscores mark internal operations, which the bridge never exposes.
// docs/architecture.md has the map: threads, locks and their order, how to add a service.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/assistant/assistant_service.h"
#include "app/background_threads.h"
#include "app/bridge/bridge_table.h"
#include "app/bridge/bridge_workers.h"
#include "app/desktop/desktop_shell.h"
#include "app/esp/esp_tools.h"
#include "app/import/putty_import.h"
#include "app/launcher/host_channels.h"
#include "app/launcher/launcher_link.h"
#include "app/messages/messages.h"
#include "app/reachability/reachability_prober.h"
#include "app/serial/serial_tabs.h"
#ifdef TERMIVA_WITH_SSH2
#include "app/sftp/sftp_service.h"
#endif
#include "app/store/session_store.h"
#include "app/tablog/tab_logs.h"
#include "app/tabs/tab.h"
#include "app/tabs/tab_service.h"
#include "app/transfer/transfer_coordinator.h"
#include "platform/desktop.h"
#include "platform/page_window.h"

namespace termiva {

namespace platform {
class Desktop;
class TrayIcon;
}  // namespace platform

using Json = nlohmann::json;

class TermivaApp {
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

    // ---- tabs and the terminal data path (what services and starters get of them) ----
    TabService& tabs() { return m_tabs; }

    void _poll_queue();
    // The launcher link's poll thread and, when `reachability` is on, the prober's: the
    // window's `run` and the headless host start them.
    void start_background(bool reachability);

    // ---- sessions and settings ----
    Json get_initial_state();
    Json save_session(Json rec);
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
    // The saved sessions and settings, for reading.
    const SessionStore& store() const { return m_store; }
    void set_module_dir_for_tests(std::filesystem::path dir) { m_module_dir = std::move(dir); }

    std::optional<std::filesystem::path> puttygen_exe;

    // ---- the AI assistant (assistant/) ----
    AssistantService& assistant() { return m_assistant; }

private:
    // ---- the application's own operations and steps, reached through the bridge ----
    // A status line in the tab (starters and the application's own operations).
    void _push_info(const std::string& tab_id, const std::string& message, bool is_error = false) {
        m_tabs._push_info(tab_id, message, is_error);
    }
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
    bool _on_window_closing();
    // Closing where no tray could bring the window back: quits, after asking when tabs are
    // open. True lets the close go ahead (the event loop ends, and the program with it).
    bool close_without_tray(platform::Desktop& desktop);
    void _setup_tray();
    void _apply_dark_titlebar();
    // The module directory whose "html", "bin", "格式範本" and "architecture" folders
    // belong to the program (the executable's folder unless a test overrides it).
    std::filesystem::path module_dir() const { return m_module_dir; }
    // The desktop shell, for services that call the page or the desktop.
    DesktopShell& shell() { return m_shell; }
    const std::shared_ptr<QueueAll>& queue_all() const { return m_launcher.queue_all; }
    const std::shared_ptr<EventAll>& event_all() const { return m_launcher.event_all; }

    void register_bridge();
    // Each feature file of the application's own adds its page operations.
    void register_ssh_bridge();
    void register_desktop_bridge();
    void register_import_bridge();
    void register_page_bridge();
    // Runs the starter of the tab's session protocol (on the tab's connect thread).
    void connect_tab(const std::string& tab_id);

    std::filesystem::path m_module_dir;
    // Declared first, so it outlives every service whose threads it runs.
    BackgroundThreads m_threads;

    // The feature services, in the order they are built (and torn down in reverse).
    DesktopShell m_shell;
    LauncherLink m_launcher;
    SessionStore m_store;
    // A log ended by a failed write says so in its tab, and the page drops its mark.
    TabLogs m_logs{[this](const std::string& tab, const std::filesystem::path& file,
                          const std::string& reason) { _tab_log_failed(tab, file, reason); }};
    TabService m_tabs{
        m_shell,
        m_store,
        m_launcher,
        m_logs,
        m_threads,
        TabService::Links{[this](const std::string& tab_id) { connect_tab(tab_id); },
                          [this](const std::string& tab_id, const std::string& bytes) {
                              return m_transfer.intercept_or_decode(tab_id, bytes);
                          },
                          [this](const std::string& tab_id) { m_transfer.release(tab_id); },
                          [this](Json record) { return save_session(std::move(record)); }}};
    TransferCoordinator m_transfer{m_tabs, m_shell, m_store, APP_DIR};
    SerialTabs m_serial{m_tabs};
    EspTools m_esp{m_tabs, m_transfer, m_shell, m_store};
    AssistantService m_assistant{m_tabs, m_store, m_tabs.registry(), m_module_dir};
    PuttyImport m_import;
#ifdef TERMIVA_WITH_SSH2
    SftpService m_sftp{m_tabs, m_transfer};
#endif
    ReachabilityProber m_prober{[this] { return m_store.sessions_json(); },
                                [this] { return m_tabs.sessions_in_tabs(); },
                                [this](Json message) {
                                    if (m_launcher.apply(message)) m_tabs.runtime_changed();
                                }};

    BridgeTable m_bridge;

    // Window's thread only: a close asked for while its question is open waits for it; the
    // first hide of a run tells where the window went.
    bool m_asking_to_quit = false;
    bool m_told_where_hidden = false;

    // Last: its workers run page calls into everything above, so it stops first.
    BridgeWorkers m_workers;
};

}  // namespace termiva

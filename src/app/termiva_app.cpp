// Construction, start-up lookups, background threads, page calls and shut-down.
#include "app/termiva_app.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "app/json_values.h"
#include "platform/atomic_file.h"
#include "platform/desktop.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/utf8_path.h"

namespace termiva {

namespace fs = std::filesystem;

const std::vector<std::string> TermivaApp::SUPPORTED_LANGS = {"en", "zh-Hant"};

const std::vector<std::string> TermivaApp::CONN_LEVEL_KEYS = {
    "protocol",
    "host",
    "port",
    "username",
    "password",
    "private_key",
    "compression",
    "agent_forwarding",
    "ip_version",
    "ssh_version",
    "ssh_legacy_compat",
    "ssh_kex",
    "ssh_ciphers",
    "ssh_macs",
    "ssh_keys",
    "ssh_bugs",
    "serial_bits",
    "serial_parity",
    "serial_stop",
    "serial_flow",
    "serial_baud",
    "terminal_type",
    "port_forwards",
    "proxy_jump",
};

namespace {

fs::path data_dir_or_default(const std::optional<fs::path>& data_dir) {
    return data_dir ? *data_dir : platform::default_data_dir();
}
}  // namespace

TermivaApp::TermivaApp(std::shared_ptr<QueueAll> queue_all_, std::shared_ptr<EventAll> event_all_,
                       std::optional<fs::path> data_dir)
    : APP_DIR(data_dir_or_default(data_dir)),
      SESSIONS_FILE(APP_DIR / "sessions.json"),
      SETTINGS_FILE(APP_DIR / "settings.json"),
      HOST_KEYS_FILE(APP_DIR / "known_hosts"),
      m_module_dir(platform::module_dir()),
      m_launcher(std::move(queue_all_), std::move(event_all_)),
      m_store(
          SESSIONS_FILE, SETTINGS_FILE,
          Json{{"window_w", 1280}, {"window_h", 720}, {"language", std::string(DEFAULT_LANG)}}) {
    // Passwords live here: the folder is the owner's alone. A failure ends start-up.
    if (platform::make_private_folder(APP_DIR))
        log::warn("store", platform::path_to_utf8(APP_DIR) +
                               " was open to other users; narrowed to owner-only");

    _load_sessions();
    _load_settings();
    {
        const Json lang = m_store.setting("language");
        bool supported =
            lang.is_string() && std::find(SUPPORTED_LANGS.begin(), SUPPORTED_LANGS.end(),
                                          lang.get<std::string>()) != SUPPORTED_LANGS.end();
        if (!supported) m_store.set_setting("language", std::string(DEFAULT_LANG));
    }

    // Diagnostics also go to a file in the data folder when the user asked for them.
    if (m_store.setting("diagnostics_log") == true && !log::set_file(APP_DIR / "termiva.log")) {
        log::warn("log", "cannot open " + platform::path_to_utf8(APP_DIR / "termiva.log"));
    }

    puttygen_exe = _find_bundled("puttygen.exe", true);

    m_assistant.load(APP_DIR);

    register_bridge();
}

TermivaApp::~TermivaApp() {
    _shutdown();
    // Page calls and background threads hold a pointer to this object: wait for them.
    // Every one of them sees the stop within a fraction of a second, and closed backends
    // free blocked reads; a call waiting on a dialog gets the same limit.
    constexpr auto LIMIT = std::chrono::seconds(30);
    if (!m_workers.stop(LIMIT)) {
        log::error("shutdown", "page calls did not end");
        std::_Exit(1);  // never free state that a live call still reads
    }
    if (!m_threads.wait_all(LIMIT)) {
        log::error("shutdown",
                   std::to_string(m_threads.live()) + " background thread(s) did not end");
        std::_Exit(1);  // never free state that a live thread still reads
    }
}

void TermivaApp::call_bridge_async(const std::string& op, Json args, platform::BridgeReply reply) {
    std::string lane;
    if (const BridgeOp* found = m_bridge.find(op);
        found && found->per_tab_order && args.is_array() && !args.empty() && args[0].is_string()) {
        lane = "tab " + args[0].get<std::string>();
    }
    m_workers.submit(lane, [this, op, args = std::move(args), reply = std::move(reply)]() mutable {
        reply(call_bridge(op, std::move(args)));
    });
}

void TermivaApp::_poll_queue() {
    m_launcher.poll(m_threads.stop_flag(), [this] { m_tabs.runtime_changed(); });
}

void TermivaApp::start_background(bool reachability) {
    m_threads.spawn([this] { _poll_queue(); });
    if (reachability) m_threads.spawn([this] { m_prober.run(); });
}

std::optional<fs::path> TermivaApp::_find_bundled(const std::string& name,
                                                  bool system_fallback) const {
    const std::vector<std::string> names = platform::bundled_program_names(name);
    fs::path putty_sources = m_module_dir.parent_path() / platform::path_from_utf8("Putty原始檔案");
    std::vector<fs::path> dirs{m_module_dir / "bin", putty_sources, putty_sources / "windows"};
    for (const auto& dir : dirs) {
        for (const auto& n : names) {
            std::error_code ec;
            fs::path candidate = dir / n;
            if (fs::is_regular_file(candidate, ec)) return fs::absolute(candidate, ec);
        }
    }
    if (!system_fallback) return std::nullopt;
    for (const auto& n : names) {
        if (auto found = platform::find_on_search_path(n)) return found;
    }
    return std::nullopt;
}

void TermivaApp::_shutdown() {
    m_threads.request_stop();
    m_assistant.stop();
    m_prober.stop();
    m_tabs.close_all();
    try {
        m_launcher.signal_end();
    } catch (const std::exception& e) {
        log::warn("shutdown", std::string("launcher not told: ") + e.what());
    }
    m_shell.stop_tray();
}

std::string TermivaApp::_t(std::string_view key, const MessageArgs& values) const {
    return m_tabs.translate(key, values);
}

Json TermivaApp::set_language(const Json& lang_value) {
    std::string lang = lang_value.is_string() ? lang_value.get<std::string>() : "";
    if (std::find(SUPPORTED_LANGS.begin(), SUPPORTED_LANGS.end(), lang) == SUPPORTED_LANGS.end()) {
        lang = std::string(DEFAULT_LANG);
    }
    Json answer{{"ok", true}, {"language", lang}};
    if (m_store.set_setting("language", lang)) {
        if (const auto failure = _save_settings())
            answer["save_error"] = _save_failure(SETTINGS_FILE, *failure);
    }
    return answer;
}

}  // namespace termiva

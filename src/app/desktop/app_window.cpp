// The window, the tray icon and the title bar: the application's side of the desktop.
// Everything toolkit-specific sits behind platform::Desktop.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "app/json_values.h"
#include "app/termiva_app.h"
#include "platform/desktop.h"
#include "platform/log.h"
#include "platform/utf8_path.h"

namespace termiva {

namespace fs = std::filesystem;

namespace {

constexpr int DEFAULT_WINDOW_W = 900;
constexpr int DEFAULT_WINDOW_H = 550;
constexpr int MIN_WINDOW_W = 600;
constexpr int MIN_WINDOW_H = 400;
// Larger than any screen; a settings file saying more is a mistake, not a wish.
constexpr int MAX_WINDOW_SIDE = 16384;
constexpr unsigned TRAY_FALLBACK_RGB = (15u << 16) | (21u << 8) | 33u;
constexpr auto TITLEBAR_DELAY = std::chrono::milliseconds(600);
// How long quitting waits for the page to write a change made just before (a settings
// file written and synced takes milliseconds).
constexpr auto PAGE_SETTLE_LIMIT = std::chrono::seconds(2);

// A window side from the settings: the default only when the key is missing; a value
// that is not a usable number falls back to the default as well.
int window_side(const Json& settings, std::string_view key, int fallback, int minimum) {
    const Json& value = member(settings, key);
    if (value.is_null()) return fallback;
    auto number = to_integer(value);
    if (!number || *number <= 0) return fallback;
    if (*number < minimum) return minimum;
    if (*number > MAX_WINDOW_SIDE) return MAX_WINDOW_SIDE;
    return static_cast<int>(*number);
}

std::string read_page(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read the page " + platform::path_to_utf8(file));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path icon_file(const fs::path& module_dir) {
    return module_dir / platform::path_from_utf8("格式範本") / "logo.ico";
}

std::optional<fs::path> existing_file(const fs::path& file) {
    std::error_code ec;
    if (fs::is_regular_file(file, ec)) return file;
    return std::nullopt;
}

}  // namespace

void TermivaApp::run() {
    std::shared_ptr<platform::Desktop> desktop = m_shell.desktop();
    if (!desktop) throw std::runtime_error("no desktop to show the window on");

    const fs::path icon = icon_file(m_module_dir);
    const Json settings_now = m_store.settings();

    platform::WindowOptions options;
    options.title = std::string(APP_NAME);
    options.html_base = m_module_dir / "html";
    options.html = read_page(options.html_base / "index.html");
    options.width = window_side(settings_now, "window_w", DEFAULT_WINDOW_W, MIN_WINDOW_W);
    options.height = window_side(settings_now, "window_h", DEFAULT_WINDOW_H, MIN_WINDOW_H);
    options.min_width = MIN_WINDOW_W;
    options.min_height = MIN_WINDOW_H;
    options.resizable = true;
    options.background = "#0d0f14";
    options.storage_dir = APP_DIR / "webview2_data";
    fs::create_directories(options.storage_dir);
    options.icon = existing_file(icon);
    options.private_mode = false;

    auto window = desktop->create_window(
        options,
        [this](const std::string& op, const Json& args, platform::BridgeReply reply) {
            call_bridge_async(op, args, std::move(reply));
        },
        [this] { return _on_window_closing(); });
    m_shell.set_window(window);
    desktop->on_second_start([this] {
        m_shell.show_window();
        m_prober.set_visible(true);
    });

    _setup_tray();
    start_background(true);
    m_threads.spawn([this] {
        // Timed on purpose: the title bar can be themed only once the system has shown the
        // window, which tells the program nothing; a shut-down ends the wait at once.
        if (m_threads.wait_unless_stopped(TITLEBAR_DELAY)) return;
        _apply_dark_titlebar();
    });

    desktop->run_event_loop();
    _shutdown();
}

bool TermivaApp::_on_window_closing() {
    std::shared_ptr<platform::Desktop> desktop = m_shell.desktop();
    if (desktop && !desktop->tray_host_present()) {
        const bool quit = close_without_tray(*desktop);
        if (quit) m_shell.settle_page(PAGE_SETTLE_LIMIT);
        return quit;
    }
    m_shell.hide_window();
    m_prober.set_visible(false);  // no one looks at the dots until the window is back
    if (desktop && !m_told_where_hidden) {
        m_told_where_hidden = true;
        desktop->notify(_t("tray.hidden_title"), _t("tray.hidden_body"));
    }
    return false;  // closing only hides: the program lives on in the tray
}

bool TermivaApp::close_without_tray(platform::Desktop& desktop) {
    if (m_asking_to_quit) return false;
    const std::size_t open_tabs = m_tabs.order().size();
    if (open_tabs == 0) return true;
    const std::string question = open_tabs == 1
                                     ? _t("quit.one_tab_open")
                                     : _t("quit.tabs_open", {{"n", std::to_string(open_tabs)}});
    m_asking_to_quit = true;
    bool quit = false;
    try {
        quit = desktop.ask(_t("quit.title"), question, _t("quit.yes"), _t("quit.no"));
    } catch (const std::exception& e) {
        log::error("window", std::string("asking before quitting: ") + e.what());
    }
    m_asking_to_quit = false;
    return quit;
}

void TermivaApp::_apply_dark_titlebar() {
    std::shared_ptr<platform::Desktop> desktop = m_shell.desktop();
    if (!desktop) return;
    try {
        desktop->apply_dark_titlebar(std::string(APP_NAME));
    } catch (const std::exception& e) {
        log::warn("window", std::string("dark title bar: ") + e.what());
    }
}

void TermivaApp::_setup_tray() {
    std::shared_ptr<platform::Desktop> desktop = m_shell.desktop();
    if (!desktop) throw std::runtime_error("no desktop for the tray icon");

    std::vector<platform::TrayItem> items;
    items.push_back({_t("tray.show"),
                     [this] {
                         m_shell.show_window();
                         m_prober.set_visible(true);
                     },
                     true});
    items.push_back({_t("tray.quit"),
                     [this] {
                         m_shell.settle_page(PAGE_SETTLE_LIMIT);
                         m_shell.stop_tray();
                         _shutdown();
                         m_shell.destroy_window();
                         // Background threads still hold this object: leave at once
                         // rather than unwind under them.
                         std::fflush(nullptr);
                         std::_Exit(0);
                     },
                     false});

    auto tray = desktop->create_tray("Termiva", existing_file(icon_file(m_module_dir)),
                                     std::string(APP_NAME), std::move(items), TRAY_FALLBACK_RGB);
    m_shell.set_tray(std::move(tray));
}

}  // namespace termiva

#include "platform/linux/gtk/gtk_desktop.h"

#include <gtk/gtk.h>

#include <stdexcept>
#include <utility>

#include "platform/desktop_opener.h"
#include "platform/linux/gtk/app_instance.h"
#include "platform/linux/gtk/gtk_dialogs.h"
#include "platform/linux/gtk/gtk_page_window.h"
#include "platform/linux/gtk/gtk_tray_icon.h"
#include "platform/linux/gtk/main_thread.h"
#include "platform/linux/gtk/tray_host_watch.h"
#include "platform/log.h"
#include "platform/utf8_path.h"

namespace termiva::platform::gtk {

namespace {

// How long the end of the loop waits for page calls still running on workers.
constexpr std::chrono::seconds CALLS_DRAIN_LIMIT{5};
constexpr std::chrono::seconds CREATE_LIMIT{10};
constexpr std::chrono::milliseconds OPENER_ANSWER_LIMIT{2000};

class GtkDesktop : public Desktop {
public:
    GtkDesktop() {
        if (!gtk_init_check(nullptr, nullptr)) throw NoDisplayError("cannot open a display");
        mark_main_thread();
    }

    ~GtkDesktop() override {
        m_trays.clear();
        m_windows.clear();
    }

    void set_app_identity(const std::string&) override {}  // a Windows shell notion

    InstanceClaim claim_instance(const std::string& app_id) override {
        return m_instance.claim(app_id);
    }

    void on_second_start(std::function<void()> bring_forward) override {
        m_instance.on_activate(std::move(bring_forward));
    }

    bool tray_host_present() override { return m_tray_host.present(); }

    bool ask(const std::string& title, const std::string& question, const std::string& yes,
             const std::string& no) override {
        return gtk::ask(title, question, yes, no);
    }

    void notify(const std::string& title, const std::string& body) override {
        m_instance.notify(title, body);
    }

    std::shared_ptr<PageWindow> create_window(const WindowOptions& options, BridgeHandler bridge,
                                              std::function<bool()> on_closing) override {
        // Copies: a task that outlives a timed-out wait must not see dangling references.
        auto window = call_on_main<std::shared_ptr<GtkPageWindow>>(
            [this, options, bridge = std::move(bridge), on_closing = std::move(on_closing)] {
                auto created = GtkPageWindow::create(
                    options, bridge, on_closing, m_calls, [this] { window_destroyed(); },
                    [this](const std::string& url) { return open_url(url); });
                m_windows.push_back(created);
                return created;
            },
            CREATE_LIMIT);
        if (!window || !*window) throw std::runtime_error("window not created");
        return *window;
    }

    void run_event_loop() override {
        if (!on_main_thread())
            throw std::logic_error("the event loop belongs to the window thread");
        bool any = false;
        for (auto& window : m_windows) {
            window->present_first_time();
            any = any || window->alive();
        }
        if (any) {
            m_loop_running = true;
            gtk_main();
            m_loop_running = false;
        }
        if (!m_calls->wait_idle(CALLS_DRAIN_LIMIT)) {
            termiva::log::warn("window", "page calls still running at the end of the loop");
        }
    }

    void apply_dark_titlebar(const std::string&) override {}  // the window manager decides here

    std::shared_ptr<TrayIcon> create_tray(const std::string& name,
                                          const std::optional<std::filesystem::path>& icon,
                                          const std::string& title, std::vector<TrayItem> items,
                                          unsigned fallback_rgb) override {
        auto tray = call_on_main<std::shared_ptr<GtkTrayIcon>>(
            [this, name, icon, title, items = std::move(items), fallback_rgb]() mutable {
                auto created =
                    GtkTrayIcon::create(name, icon, title, std::move(items), fallback_rgb);
                m_trays.push_back(created);
                return created;
            },
            CREATE_LIMIT);
        if (!tray || !*tray) throw std::runtime_error("tray icon not created");
        return *tray;
    }

    std::optional<std::vector<std::filesystem::path>> pick_files(
        const std::string& title, const std::vector<FileFilter>& filters, bool multiple,
        std::chrono::seconds limit, const std::optional<PickStart>& start) override {
        return gtk::pick_files(title, filters, multiple, limit, start);
    }

    std::optional<std::filesystem::path> pick_folder(
        const std::string& title, std::chrono::seconds limit,
        const std::optional<std::filesystem::path>& initial) override {
        return gtk::pick_folder(title, limit, initial);
    }

    std::optional<std::string> read_clipboard(std::chrono::seconds limit) override {
        return gtk::read_clipboard(limit);
    }

protected:
    bool launch_url(const std::string& url) override {
        // A link clicked in the page arrives on the window's thread, which must not stall
        // on the opener; a page call may wait a moment for its answer.
        return run_desktop_opener(
            url, on_main_thread() ? std::chrono::milliseconds(0) : OPENER_ANSWER_LIMIT);
    }

    bool launch_folder(const std::filesystem::path& folder) override {
        // The opener hands a folder to the file manager as it hands an address to the
        // browser; a full path never reads as one of its options.
        return run_desktop_opener(platform::path_to_utf8(folder), on_main_thread()
                                                                      ? std::chrono::milliseconds(0)
                                                                      : OPENER_ANSWER_LIMIT);
    }

private:
    // Main thread: the loop ends with the last window.
    void window_destroyed() {
        for (const auto& window : m_windows) {
            if (window->alive()) return;
        }
        if (m_loop_running) gtk_main_quit();
    }

    std::shared_ptr<InFlightCalls> m_calls = std::make_shared<InFlightCalls>();
    AppInstance m_instance;
    TrayHostWatch m_tray_host;
    // Main thread only.
    std::vector<std::shared_ptr<GtkPageWindow>> m_windows;
    std::vector<std::shared_ptr<GtkTrayIcon>> m_trays;
    bool m_loop_running = false;
};

}  // namespace

std::shared_ptr<Desktop> make_gtk_desktop() {
    return std::make_shared<GtkDesktop>();
}

}  // namespace termiva::platform::gtk

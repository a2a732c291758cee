// The desktop as the application sees it: a window showing the page, a tray icon,
// native dialogs, the clipboard, the browser, and the Windows-only start-up steps
// (no-ops elsewhere). The Linux implementation lives in platform/linux (GTK).
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/page_window.h"

namespace termiva::platform {

// Whether the desktop may be asked to open `url`: a web address (http, https, with a host)
// or a mail address (mailto). Anything else (files, scripts, custom schemes that start
// local programs, text that is no address) is refused: an address a server prints into a
// terminal must never be able to start a program on this machine.
bool desktop_may_open(std::string_view url);

// Thrown when the desktop cannot reach a display to show windows on: an expected
// condition (a server, an SSH login without X forwarding), not a fault of the program.
class NoDisplayError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where a page call's result goes: the result, or nothing when the operation is unknown.
// Called exactly once, from any thread.
using BridgeReply = std::function<void(std::optional<nlohmann::json> result)>;
// Starts a page call (operation name, positional arguments). Returns at once: the call runs
// elsewhere (it may wait minutes on a dialog) and its result goes to `reply`.
using BridgeHandler =
    std::function<void(const std::string& op, const nlohmann::json& args, BridgeReply reply)>;

struct WindowOptions {
    std::string title;
    std::string html;                 // the page text
    std::filesystem::path html_base;  // folder the page's relative URLs resolve against
    int width = 900;
    int height = 550;
    int min_width = 600;
    int min_height = 400;
    bool resizable = true;
    std::string background = "#0d0f14";
    std::filesystem::path storage_dir;          // persistent browser storage
    std::optional<std::filesystem::path> icon;  // window icon, when the file exists
    bool private_mode = false;
};

class TrayIcon {
public:
    virtual ~TrayIcon() = default;
    virtual void stop() = 0;
};

struct TrayItem {
    std::string text;
    std::function<void()> action;
    bool is_default = false;
};

struct FileFilter {
    std::string name;                   // "Firmware (*.bin)"
    std::vector<std::string> patterns;  // "*.bin"; "*.*" for every file
};

// Where a file chooser opens, and whether it lists hidden files there (a key folder).
struct PickStart {
    std::filesystem::path folder;
    bool show_hidden = false;
};

// The answer to a start asking to be the program's one instance.
struct InstanceClaim {
    enum class Role {
        first,            // this process is the one instance
        already_running,  // another one is; it has been asked to bring its window forward
        unavailable,      // the desktop cannot tell (no session bus): this start runs alone
    };
    Role role = Role::unavailable;
    std::string reason;  // why, when unavailable
};

class Desktop {
public:
    virtual ~Desktop() = default;

    // Process identity, DPI awareness: Windows only.
    virtual void set_app_identity(const std::string& app_user_model_id) = 0;
    // One program per user: the first start to claim `app_id` keeps it while it runs; a
    // later start hands its request to that one and is told to leave. Call once, before
    // create_window. (GApplication's bus name on Linux; a named mutex and a window message
    // on Windows.)
    virtual InstanceClaim claim_instance(const std::string& app_id) = 0;
    // What the first instance does when a later start asks for it: called on the window's
    // thread, from the event loop.
    virtual void on_second_start(std::function<void()> bring_forward) = 0;
    // Whether a tray host (a StatusNotifier watcher) would show the tray icon now; without
    // one, a hidden window could not be brought back. Window's thread.
    virtual bool tray_host_present() = 0;
    // A modal question over the window, answered on the window's thread: true for `yes`.
    virtual bool ask(const std::string& title, const std::string& question, const std::string& yes,
                     const std::string& no) = 0;
    // A passing desktop notification; nothing when the desktop has none.
    virtual void notify(const std::string& title, const std::string& body) = 0;
    // Creates the window (not yet shown until the loop runs). `on_closing` returning
    // false cancels a close request.
    virtual std::shared_ptr<PageWindow> create_window(const WindowOptions& options,
                                                      BridgeHandler bridge,
                                                      std::function<bool()> on_closing) = 0;
    // Runs the event loop on the calling thread until the window system ends it.
    virtual void run_event_loop() = 0;
    // Dark title bar for the window titled `title`: Windows only, failures ignored.
    virtual void apply_dark_titlebar(const std::string& title) = 0;

    // A tray icon; its image is `icon` when that opens, else a plain 64 x 64 square of
    // `fallback_rgb`.
    virtual std::shared_ptr<TrayIcon> create_tray(const std::string& name,
                                                  const std::optional<std::filesystem::path>& icon,
                                                  const std::string& title,
                                                  std::vector<TrayItem> items,
                                                  unsigned fallback_rgb) = 0;

    // Dialogs run on the window's own thread; the caller waits up to `limit`. Nothing
    // when cancelled or timed out (the dialog then closes). A `start` folder that does
    // not exist leaves the choice to the toolkit.
    virtual std::optional<std::vector<std::filesystem::path>> pick_files(
        const std::string& title, const std::vector<FileFilter>& filters, bool multiple,
        std::chrono::seconds limit, const std::optional<PickStart>& start = std::nullopt) = 0;
    // `initial`: the folder the dialog opens in; the toolkit's choice when absent or when
    // it is not an existing folder.
    virtual std::optional<std::filesystem::path> pick_folder(
        const std::string& title, std::chrono::seconds limit,
        const std::optional<std::filesystem::path>& initial = std::nullopt) = 0;
    virtual std::optional<std::string> read_clipboard(std::chrono::seconds limit) = 0;

    // Opens `url` in the desktop's browser or mail program. Every caller comes through
    // here, so nothing desktop_may_open refuses ever reaches the desktop: false then,
    // and false when the desktop could not open it.
    bool open_url(const std::string& url) { return desktop_may_open(url) && launch_url(url); }

    // Shows `folder` in the desktop's file manager: only an existing folder given by its
    // full path (the program's own choice, such as where a receive put its files, never
    // a name from the page); false otherwise or when the desktop could not show it.
    bool open_folder(const std::filesystem::path& folder) {
        std::error_code ec;
        return folder.is_absolute() && std::filesystem::is_directory(folder, ec) &&
               launch_folder(folder);
    }

protected:
    // Hands an address that passed desktop_may_open to the desktop.
    virtual bool launch_url(const std::string& url) = 0;
    // Hands an existing folder to the desktop's file manager.
    virtual bool launch_folder(const std::filesystem::path& folder) = 0;
};

}  // namespace termiva::platform

// The desktop shell: the desktop the program runs on, the window showing the page, the
// tray icon, and the calls the program makes into the page.
//
// Owns: the three platform objects (none in the headless host but the window, which the
// host supplies).
// Called from: the main thread (start-up, window and tray callbacks) and any other thread
// (page calls, dialogs, clipboard).
// Lock: `m_lock` guards the three pointers only; it is released before any of them is
// called, so a platform call that waits for the main thread can never hold it.
#pragma once

#include <chrono>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/desktop.h"
#include "platform/page_window.h"

namespace termiva {

class DesktopShell {
public:
    void set_desktop(std::shared_ptr<platform::Desktop> desktop);
    std::shared_ptr<platform::Desktop> desktop() const;
    void set_window(std::shared_ptr<platform::PageWindow> window);
    std::shared_ptr<platform::PageWindow> window() const;
    void set_tray(std::shared_ptr<platform::TrayIcon> tray);
    std::shared_ptr<platform::TrayIcon> tray() const;

    // Calls `function` in the page with JSON-literal arguments (ASCII only, non-ASCII as
    // \u escapes). `guarded`: only when the page defines the function. Nothing happens
    // without a window; a failing window is logged.
    void page_call(std::string_view function, std::initializer_list<nlohmann::json> args,
                   bool guarded = false) const;

    // Before quitting: the page writes what it still holds (its settings), waited for up
    // to `limit`.
    void settle_page(std::chrono::milliseconds limit) const;

    void show_window() const;
    void hide_window() const;
    void destroy_window() const;
    void stop_tray() const;

private:
    mutable std::mutex m_lock;
    std::shared_ptr<platform::Desktop> m_desktop;
    std::shared_ptr<platform::PageWindow> m_window;
    std::shared_ptr<platform::TrayIcon> m_tray;
};

}  // namespace termiva

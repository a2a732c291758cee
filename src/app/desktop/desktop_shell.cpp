#include "app/desktop/desktop_shell.h"

#include "platform/log.h"

namespace termiva {

void DesktopShell::set_desktop(std::shared_ptr<platform::Desktop> desktop) {
    std::lock_guard lock(m_lock);
    m_desktop = std::move(desktop);
}

std::shared_ptr<platform::Desktop> DesktopShell::desktop() const {
    std::lock_guard lock(m_lock);
    return m_desktop;
}

void DesktopShell::set_window(std::shared_ptr<platform::PageWindow> window) {
    std::lock_guard lock(m_lock);
    m_window = std::move(window);
}

std::shared_ptr<platform::PageWindow> DesktopShell::window() const {
    std::lock_guard lock(m_lock);
    return m_window;
}

void DesktopShell::set_tray(std::shared_ptr<platform::TrayIcon> tray) {
    std::lock_guard lock(m_lock);
    m_tray = std::move(tray);
}

std::shared_ptr<platform::TrayIcon> DesktopShell::tray() const {
    std::lock_guard lock(m_lock);
    return m_tray;
}

void DesktopShell::page_call(std::string_view function, std::initializer_list<nlohmann::json> args,
                             bool guarded) const {
    auto w = window();
    if (!w) return;
    try {
        std::string script;
        if (guarded) {
            script += "if(window.";
            script += function;
            script += ") ";
        }
        script += function;
        script += '(';
        bool first = true;
        for (const auto& arg : args) {
            if (!first) script += ", ";
            first = false;
            script += arg.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
        }
        script += ')';
        w->evaluate_script(script);
    } catch (const std::exception& e) {
        log::warn("page", std::string(function) + ": " + e.what());
    }
}

void DesktopShell::settle_page(std::chrono::milliseconds limit) const {
    if (auto w = window()) {
        try {
            w->call_and_wait("flushPageSettings", limit);
        } catch (const std::exception& e) {
            log::warn("window", std::string("settling the page: ") + e.what());
        }
    }
}

void DesktopShell::show_window() const {
    if (auto w = window()) {
        try {
            w->show();
        } catch (const std::exception& e) {
            log::warn("window", std::string("show: ") + e.what());
        }
    }
}

void DesktopShell::hide_window() const {
    if (auto w = window()) {
        try {
            w->hide();
        } catch (const std::exception& e) {
            log::warn("window", std::string("hide: ") + e.what());
        }
    }
}

void DesktopShell::destroy_window() const {
    if (auto w = window()) {
        try {
            w->destroy();
        } catch (const std::exception& e) {
            log::warn("window", std::string("destroy: ") + e.what());
        }
    }
}

void DesktopShell::stop_tray() const {
    if (auto t = tray()) {
        try {
            t->stop();
        } catch (const std::exception& e) {
            log::warn("tray", std::string("stop: ") + e.what());
        }
    }
}

}  // namespace termiva

// Page operations that lean on the desktop itself rather than on a tab.
#include <chrono>
#include <iostream>

#include "app/termiva_app.h"
#include "platform/desktop.h"

namespace termiva {

namespace {
// The page waits on this call while the user pastes: never longer than this.
constexpr std::chrono::seconds CLIPBOARD_LIMIT{5};
}  // namespace

std::shared_ptr<platform::Desktop> TermivaApp::current_desktop() const {
    std::lock_guard lock(m_window_lock);
    return _desktop;
}

std::string TermivaApp::read_clipboard() {
    auto desktop = current_desktop();
    if (!desktop) return "";
    try {
        return desktop->read_clipboard(CLIPBOARD_LIMIT).value_or("");
    } catch (const std::exception& e) {
        std::cout << "[read_clipboard] " << e.what() << std::endl;
    } catch (...) {
        std::cout << "[read_clipboard] failed" << std::endl;
    }
    return "";
}

void TermivaApp::register_desktop_bridge() {
    m_bridge.add("read_clipboard",
                 {{},
                  [] { return Json(""); },
                  [this](const std::vector<Json>&) { return Json(read_clipboard()); }});
}

}  // namespace termiva

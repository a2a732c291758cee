// Page operations that lean on the desktop itself rather than on a tab.
#include <chrono>

#include "app/termiva_app.h"
#include "platform/desktop.h"
#include "platform/log.h"

namespace termiva {

namespace {
// The page waits on this call while the user pastes: never longer than this.
constexpr std::chrono::seconds CLIPBOARD_LIMIT{5};
}  // namespace

std::string TermivaApp::read_clipboard() {
    auto desktop = m_shell.desktop();
    if (!desktop) return "";
    try {
        return desktop->read_clipboard(CLIPBOARD_LIMIT).value_or("");
    } catch (const std::exception& e) {
        log::warn("read_clipboard", e.what());
    } catch (...) {
        log::warn("read_clipboard", "failed");
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

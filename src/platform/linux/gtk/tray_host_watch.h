// Whether a tray host is on the session bus: panels that show StatusNotifier items (the
// tray icon's kind) own the watcher's name while they run. Plain GNOME and many tiling
// window managers have none, and a window hidden there could never be brought back.
#pragma once

namespace termiva::platform::gtk {

class TrayHostWatch {
public:
    // Starts following the watcher's name on the session bus; with no bus there is no
    // host. Window's thread; the answer follows the bus from the event loop.
    TrayHostWatch();
    ~TrayHostWatch();
    TrayHostWatch(const TrayHostWatch&) = delete;
    TrayHostWatch& operator=(const TrayHostWatch&) = delete;

    // Window's thread.
    bool present() const { return m_present; }

private:
    unsigned m_watch = 0;
    bool m_present = false;
};

}  // namespace termiva::platform::gtk

#include "platform/linux/gtk/tray_host_watch.h"

#include <gio/gio.h>

namespace termiva::platform::gtk {

namespace {

constexpr const char* WATCHER_NAME = "org.kde.StatusNotifierWatcher";

void watcher_appeared(GDBusConnection*, const gchar*, const gchar*, gpointer present) {
    *static_cast<bool*>(present) = true;
}

void watcher_vanished(GDBusConnection*, const gchar*, gpointer present) {
    *static_cast<bool*>(present) = false;
}

}  // namespace

TrayHostWatch::TrayHostWatch() {
    m_watch = g_bus_watch_name(G_BUS_TYPE_SESSION, WATCHER_NAME, G_BUS_NAME_WATCHER_FLAGS_NONE,
                               watcher_appeared, watcher_vanished, &m_present, nullptr);
}

TrayHostWatch::~TrayHostWatch() {
    if (m_watch) g_bus_unwatch_name(m_watch);
}

}  // namespace termiva::platform::gtk

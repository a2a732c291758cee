#include "integration/gui_tray_watcher.h"

#include <gio/gio.h>

#include <chrono>

namespace termiva::testing {

namespace {

constexpr const char* WATCHER_NAME = "org.kde.StatusNotifierWatcher";
constexpr const char* WATCHER_PATH = "/StatusNotifierWatcher";
constexpr guint32 NAME_PRIMARY_OWNER = 1;
constexpr guint32 DO_NOT_QUEUE = 4;

constexpr const char* WATCHER_XML = R"(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  </interface>
</node>)";

std::string take_error(GError* error) {
    std::string text = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    return text;
}

void on_method(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
               GVariant*, GDBusMethodInvocation* invocation, gpointer items) {
    if (g_strcmp0(method, "RegisterStatusNotifierItem") == 0)
        ++*static_cast<std::atomic<int>*>(items);
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* on_property(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                      GError**, gpointer) {
    if (g_strcmp0(name, "IsStatusNotifierHostRegistered") == 0) return g_variant_new_boolean(TRUE);
    if (g_strcmp0(name, "ProtocolVersion") == 0) return g_variant_new_int32(0);
    return g_variant_new_strv(nullptr, 0);
}

}  // namespace

TrayWatcher::TrayWatcher(const std::string& address) {
    m_context = g_main_context_new();
    m_loop = g_main_loop_new(m_context, FALSE);
    std::promise<std::string> started;
    auto result = started.get_future();
    m_thread = std::thread([this, address, started = std::move(started)]() mutable {
        serve(address, std::move(started));
    });
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        m_error = "the watcher did not start";
    } else {
        m_error = result.get();
    }
}

TrayWatcher::~TrayWatcher() {
    // Quit from inside the loop: a quit that came before the loop ran would be forgotten.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        m_loop, nullptr);
    g_source_attach(quit, m_context);
    g_source_unref(quit);
    if (m_thread.joinable()) m_thread.join();
    g_main_loop_unref(m_loop);
    g_main_context_unref(m_context);
}

void TrayWatcher::serve(const std::string& address, std::promise<std::string> started) {
    // Calls to the watcher are answered on this thread, in its own context.
    g_main_context_push_thread_default(m_context);
    GError* error = nullptr;
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    GDBusNodeInfo* node = nullptr;
    guint object = 0;
    std::string failure;
    if (!bus) failure = take_error(error);
    if (failure.empty()) {
        node = g_dbus_node_info_new_for_xml(WATCHER_XML, nullptr);
        static const GDBusInterfaceVTable vtable = {on_method, on_property, nullptr, {}};
        object = g_dbus_connection_register_object(bus, WATCHER_PATH, node->interfaces[0], &vtable,
                                                   &m_items, nullptr, &error);
        if (!object) failure = take_error(error);
    }
    if (failure.empty()) {
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", WATCHER_NAME, DO_NOT_QUEUE), G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, &error);
        guint32 answer = 0;
        if (!reply) {
            failure = take_error(error);
        } else {
            g_variant_get(reply, "(u)", &answer);
            g_variant_unref(reply);
            if (answer != NAME_PRIMARY_OWNER) failure = "the watcher's name is taken";
        }
    }
    started.set_value(failure);
    if (failure.empty()) g_main_loop_run(m_loop);
    if (object) g_dbus_connection_unregister_object(bus, object);
    if (node) g_dbus_node_info_unref(node);
    if (bus) {
        g_dbus_connection_close_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
    }
    g_main_context_pop_thread_default(m_context);
}

}  // namespace termiva::testing

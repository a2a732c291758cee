#include "platform/linux/gtk/app_instance.h"

#include <gio/gio.h>

#include <utility>

#include "platform/log.h"

namespace termiva::platform::gtk {

namespace {

constexpr const char* NOTIFICATION_ID = "window-hidden";

std::string take_message(GError* error) {
    std::string text = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    return text;
}

}  // namespace

AppInstance::~AppInstance() {
    if (m_app) {
        g_signal_handlers_disconnect_by_data(m_app, this);
        g_object_unref(m_app);
    }
}

InstanceClaim AppInstance::claim(const std::string& app_id) {
    if (m_app) return {InstanceClaim::Role::unavailable, "claimed twice"};
    if (!g_application_id_is_valid(app_id.c_str()))
        return {InstanceClaim::Role::unavailable, "not an application id: " + app_id};
    m_app = g_application_new(app_id.c_str(), G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(m_app, "activate", G_CALLBACK(on_activate_signal), this);

    GError* error = nullptr;
    if (!g_application_register(m_app, nullptr, &error)) {
        std::string reason = take_message(error);
        g_signal_handlers_disconnect_by_data(m_app, this);
        g_object_unref(m_app);
        m_app = nullptr;
        return {InstanceClaim::Role::unavailable, reason};
    }
    if (!g_application_get_is_remote(m_app)) {
        m_first = true;
        // Without a session bus GLib registers every start as the first: there is no one
        // to ask, and this start runs alone.
        if (!g_application_get_dbus_connection(m_app))
            return {InstanceClaim::Role::unavailable, "no session bus"};
        return {InstanceClaim::Role::first, {}};
    }
    // The activation is sent without waiting for an answer: flush it onto the bus before
    // this process leaves, or it may leave with the request.
    g_application_activate(m_app);
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus) {
        g_dbus_connection_flush_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
    }
    return {InstanceClaim::Role::already_running, {}};
}

void AppInstance::on_activate(std::function<void()> bring_forward) {
    m_bring_forward = std::move(bring_forward);
}

void AppInstance::notify(const std::string& title, const std::string& body) {
    if (!m_app || !m_first) return;
    GNotification* notification = g_notification_new(title.c_str());
    g_notification_set_body(notification, body.c_str());
    g_application_send_notification(m_app, NOTIFICATION_ID, notification);
    g_object_unref(notification);
}

void AppInstance::on_activate_signal(GApplication*, void* self) {
    auto* instance = static_cast<AppInstance*>(self);
    // A start that came before the window existed needs nothing: the window is about to
    // show for the first time anyway.
    if (!instance->m_bring_forward) return;
    try {
        instance->m_bring_forward();
    } catch (const std::exception& e) {
        termiva::log::error("window", std::string("bringing the window forward: ") + e.what());
    }
}

}  // namespace termiva::platform::gtk

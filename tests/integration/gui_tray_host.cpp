#include "integration/gui_tray_host.h"

#include <thread>

namespace termiva::testing {

namespace {

constexpr int CALL_TIMEOUT_MS = 3000;
constexpr const char* ITEM_INTERFACE = "org.kde.StatusNotifierItem";
constexpr const char* MENU_INTERFACE = "com.canonical.dbusmenu";

std::string take_error(GError* error) {
    std::string text = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    return text;
}

std::optional<TrayMenuEntry> menu_entry(GVariant* item) {
    if (!g_variant_is_of_type(item, G_VARIANT_TYPE("(ia{sv}av)"))) return std::nullopt;
    TrayMenuEntry entry;
    gint32 id = 0;
    g_variant_get_child(item, 0, "i", &id);
    entry.id = id;
    VariantPtr props(g_variant_get_child_value(item, 1));
    const char* label = nullptr;
    if (g_variant_lookup(props.get(), "label", "&s", &label)) entry.label = label;
    gboolean flag = TRUE;
    if (g_variant_lookup(props.get(), "visible", "b", &flag)) entry.visible = flag;
    if (g_variant_lookup(props.get(), "enabled", "b", &flag)) entry.enabled = flag;
    return entry;
}

}  // namespace

TrayHost::TrayHost(const std::string& address) {
    GError* error = nullptr;
    m_bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!m_bus) m_error = take_error(error);
}

TrayHost::~TrayHost() {
    if (m_bus) {
        g_dbus_connection_close_sync(m_bus, nullptr, nullptr);
        g_object_unref(m_bus);
    }
}

VariantPtr TrayHost::call(const std::string& destination, const std::string& path,
                          const std::string& interface, const std::string& method,
                          GVariant* parameters, const char* reply_type) {
    if (!m_bus) {
        if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
        return nullptr;
    }
    GError* error = nullptr;
    VariantPtr reply(g_dbus_connection_call_sync(
        m_bus, destination.c_str(), path.c_str(), interface.c_str(), method.c_str(), parameters,
        reply_type ? G_VARIANT_TYPE(reply_type) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
        CALL_TIMEOUT_MS, nullptr, &error));
    if (!reply) m_error = method + ": " + take_error(error);
    return reply;
}

std::optional<pid_t> TrayHost::find_indicator(const std::string& item_path,
                                              std::chrono::milliseconds limit) {
    const std::string own = m_bus ? g_dbus_connection_get_unique_name(m_bus) : "";
    auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        auto names = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "ListNames", nullptr, "(as)");
        if (!names) return std::nullopt;
        VariantPtr list(g_variant_get_child_value(names.get(), 0));
        for (gsize i = 0; i < g_variant_n_children(list.get()); ++i) {
            const char* name = nullptr;
            g_variant_get_child(list.get(), i, "&s", &name);
            if (name[0] != ':' || own == name) continue;
            // The indicator answers for its item; other clients have no such object.
            auto menu_path = call(name, item_path, "org.freedesktop.DBus.Properties", "Get",
                                  g_variant_new("(ss)", ITEM_INTERFACE, "Menu"), "(v)");
            if (!menu_path) continue;
            VariantPtr boxed(g_variant_get_child_value(menu_path.get(), 0));
            VariantPtr path(g_variant_get_variant(boxed.get()));
            if (!g_variant_is_of_type(path.get(), G_VARIANT_TYPE_OBJECT_PATH)) continue;
            auto pid = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                            "GetConnectionUnixProcessID", g_variant_new("(s)", name), "(u)");
            if (!pid) continue;
            guint32 value = 0;
            g_variant_get(pid.get(), "(u)", &value);
            m_name = name;
            m_item_path = item_path;
            m_menu_path = g_variant_get_string(path.get(), nullptr);
            return static_cast<pid_t>(value);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < deadline);
    m_error = "no client exports " + item_path;
    return std::nullopt;
}

std::optional<std::string> TrayHost::item_property(const std::string& name) {
    auto reply = call(m_name, m_item_path, "org.freedesktop.DBus.Properties", "Get",
                      g_variant_new("(ss)", ITEM_INTERFACE, name.c_str()), "(v)");
    if (!reply) return std::nullopt;
    VariantPtr boxed(g_variant_get_child_value(reply.get(), 0));
    VariantPtr value(g_variant_get_variant(boxed.get()));
    if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING) ||
        g_variant_is_of_type(value.get(), G_VARIANT_TYPE_OBJECT_PATH)) {
        return std::string(g_variant_get_string(value.get(), nullptr));
    }
    gchar* printed = g_variant_print(value.get(), FALSE);
    std::string text = printed;
    g_free(printed);
    return text;
}

std::optional<std::vector<TrayMenuEntry>> TrayHost::menu() {
    // A host asks for the whole tree with every property.
    auto reply =
        call(m_name, m_menu_path, MENU_INTERFACE, "GetLayout",
             g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)), "(u(ia{sv}av))");
    if (!reply) return std::nullopt;
    VariantPtr root(g_variant_get_child_value(reply.get(), 1));
    VariantPtr children(g_variant_get_child_value(root.get(), 2));
    std::vector<TrayMenuEntry> entries;
    for (gsize i = 0; i < g_variant_n_children(children.get()); ++i) {
        VariantPtr boxed(g_variant_get_child_value(children.get(), i));
        VariantPtr item(g_variant_get_variant(boxed.get()));
        if (auto entry = menu_entry(item.get())) entries.push_back(*entry);
    }
    return entries;
}

bool TrayHost::click(int id) {
    if (!call(m_name, m_menu_path, MENU_INTERFACE, "AboutToShow", g_variant_new("(i)", 0), "(b)"))
        return false;
    auto now = static_cast<guint32>(g_get_monotonic_time() / 1000);
    return call(m_name, m_menu_path, MENU_INTERFACE, "Event",
                g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), now),
                "()") != nullptr;
}

bool TrayHost::call_item(const std::string& method, GVariant* parameters) {
    return call(m_name, m_item_path, ITEM_INTERFACE, method, parameters, "()") != nullptr;
}

}  // namespace termiva::testing

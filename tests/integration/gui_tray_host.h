// What a panel hosting tray icons does, over the session bus: find the program's
// indicator, read its menu and click its items.
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace termiva::testing {

struct VariantUnref {
    void operator()(GVariant* v) const { g_variant_unref(v); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

struct TrayMenuEntry {
    int id = 0;
    std::string label;
    bool visible = true;
    bool enabled = true;
};

class TrayHost {
public:
    // Connects to the bus at `address`; error() says why when connected() is false.
    explicit TrayHost(const std::string& address);
    ~TrayHost();
    TrayHost(const TrayHost&) = delete;
    TrayHost& operator=(const TrayHost&) = delete;

    bool connected() const { return m_bus != nullptr; }
    const std::string& error() const { return m_error; }

    // Waits up to `limit` for a bus client that exports the indicator `item_path`;
    // remembers it and returns its process id.
    std::optional<pid_t> find_indicator(const std::string& item_path,
                                        std::chrono::milliseconds limit);
    // A property of the indicator's item (org.kde.StatusNotifierItem), as text.
    std::optional<std::string> item_property(const std::string& name);
    // The top level of the indicator's menu, as the host would show it.
    std::optional<std::vector<TrayMenuEntry>> menu();
    // The host is about to open the menu, then the user clicks entry `id`.
    bool click(int id);
    // Calls `method` of the indicator's item (a click on the icon itself).
    bool call_item(const std::string& method, GVariant* parameters);

private:
    VariantPtr call(const std::string& destination, const std::string& path,
                    const std::string& interface, const std::string& method, GVariant* parameters,
                    const char* reply_type);

    GDBusConnection* m_bus = nullptr;
    std::string m_error;
    std::string m_name;       // the indicator's unique bus name
    std::string m_item_path;  // the indicator's object
    std::string m_menu_path;  // its menu's object
};

}  // namespace termiva::testing

// The tray icon on Linux: an Ayatana AppIndicator with a menu of plain items. The
// default item is also the indicator's secondary activation (middle click).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace termiva::platform::gtk {

class GtkTrayIcon : public TrayIcon {
public:
    // Main thread only.
    static std::shared_ptr<GtkTrayIcon> create(const std::string& name,
                                               const std::optional<std::filesystem::path>& icon,
                                               const std::string& title,
                                               std::vector<TrayItem> items, unsigned fallback_rgb);
    ~GtkTrayIcon() override;
    GtkTrayIcon(const GtkTrayIcon&) = delete;
    GtkTrayIcon& operator=(const GtkTrayIcon&) = delete;

    // Any thread; hides the icon for good.
    void stop() override;
    // Runs the action of item `index` as a click on it would (tests, the default item).
    void activate(std::size_t index);

private:
    struct State;
    GtkTrayIcon();
    std::shared_ptr<State> m_state;
};

}  // namespace termiva::platform::gtk

#include "platform/linux/gtk/gtk_tray_icon.h"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <exception>
#include <system_error>
#include <utility>

#include "platform/linux/gtk/gobject_ref.h"
#include "platform/linux/gtk/main_thread.h"
#include "platform/log.h"

namespace termiva::platform::gtk {

namespace {

constexpr int FALLBACK_SIZE = 64;
constexpr const char* IMAGE_NAME = "termiva-tray";

// The image as a pixbuf: the icon file when it opens, else a plain square.
GObjectRef<GdkPixbuf> tray_image(const std::optional<std::filesystem::path>& icon,
                                 unsigned fallback_rgb) {
    if (icon) {
        GErrorHolder error;
        auto image =
            GObjectRef<GdkPixbuf>::adopt(gdk_pixbuf_new_from_file(icon->c_str(), error.out()));
        if (image) return image;
    }
    auto image = GObjectRef<GdkPixbuf>::adopt(
        gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, FALLBACK_SIZE, FALLBACK_SIZE));
    gdk_pixbuf_fill(image.get(), (static_cast<guint32>(fallback_rgb) << 8) | 0xffu);
    return image;
}

void run_item(TrayItem* item) {
    if (!item->action) return;
    try {
        item->action();
    } catch (const std::exception& e) {
        termiva::log::error("tray", item->text + ": " + e.what());
    } catch (...) {
        termiva::log::error("tray", item->text + " failed");
    }
}

void on_item_activate(GtkMenuItem*, gpointer item) {
    run_item(static_cast<TrayItem*>(item));
}

}  // namespace

// Main-thread objects, kept apart so a stop posted from another thread can outlive the icon.
struct GtkTrayIcon::State {
    std::vector<std::unique_ptr<TrayItem>> items;  // the menu entries' signal data
    GObjectRef<AppIndicator> indicator;
    GObjectRef<GtkWidget> menu;
    std::filesystem::path image_dir;  // the icon image, written where the indicator reads it
};

GtkTrayIcon::GtkTrayIcon() : m_state(std::make_shared<State>()) {}

std::shared_ptr<GtkTrayIcon> GtkTrayIcon::create(const std::string& name,
                                                 const std::optional<std::filesystem::path>& icon,
                                                 const std::string& title,
                                                 std::vector<TrayItem> items,
                                                 unsigned fallback_rgb) {
    std::shared_ptr<GtkTrayIcon> tray(new GtkTrayIcon());
    State& state = *tray->m_state;

    // The indicator takes icons by theme name: save the image in a folder of the user's
    // own. One folder per user, in the runtime folder (the cache folder without one), used
    // again by every start: a folder per start was left behind by every start that did
    // not end through the icon's destructor. Programs running side by side write the same
    // image there.
    state.image_dir = std::filesystem::path(g_get_user_runtime_dir()) / "termiva-tray";
    if (g_mkdir_with_parents(state.image_dir.c_str(), 0700) != 0) {
        throw std::runtime_error("no folder for the tray image: " + state.image_dir.string());
    }
    auto image = tray_image(icon, fallback_rgb);
    std::string image_file = (state.image_dir / (std::string(IMAGE_NAME) + ".png")).string();
    GErrorHolder error;
    if (!gdk_pixbuf_save(image.get(), image_file.c_str(), "png", error.out(), nullptr)) {
        throw std::runtime_error(std::string("tray image not written: ") + error.message());
    }

    // The icon folder goes on the toolkit's icon search path before the indicator sees it.
    // Without a panel to host it, the indicator falls back to a plain status icon and
    // scans that path for its folder; its scan only stops safely when it finds it.
    gtk_icon_theme_append_search_path(gtk_icon_theme_get_default(), state.image_dir.c_str());

    state.indicator = GObjectRef<AppIndicator>::adopt(app_indicator_new_with_path(
        name.c_str(), IMAGE_NAME, APP_INDICATOR_CATEGORY_APPLICATION_STATUS,
        state.image_dir.c_str()));
    if (!state.indicator) throw std::runtime_error("tray icon not created");
    app_indicator_set_title(state.indicator.get(), title.c_str());

    GtkWidget* menu = gtk_menu_new();
    state.menu = GObjectRef<GtkWidget>::adopt(GTK_WIDGET(g_object_ref_sink(menu)));
    for (auto& item : items) {
        auto owned = std::make_unique<TrayItem>(std::move(item));
        GtkWidget* entry = gtk_menu_item_new_with_label(owned->text.c_str());
        g_signal_connect(entry, "activate", G_CALLBACK(on_item_activate), owned.get());
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), entry);
        if (owned->is_default)
            app_indicator_set_secondary_activate_target(state.indicator.get(), entry);
        state.items.push_back(std::move(owned));
    }
    gtk_widget_show_all(menu);
    app_indicator_set_menu(state.indicator.get(), GTK_MENU(menu));
    app_indicator_set_status(state.indicator.get(), APP_INDICATOR_STATUS_ACTIVE);
    return tray;
}

GtkTrayIcon::~GtkTrayIcon() {
    auto state = std::move(m_state);
    if (on_main_thread()) return;  // `state` ends here
    post_to_main([state] {});      // GTK objects are dropped on their own thread
}

void GtkTrayIcon::stop() {
    auto task = [state = m_state] {
        if (state->indicator) {
            app_indicator_set_status(state->indicator.get(), APP_INDICATOR_STATUS_PASSIVE);
        }
    };
    if (on_main_thread()) {
        task();
    } else {
        post_to_main(task);
    }
}

void GtkTrayIcon::activate(std::size_t index) {
    if (index < m_state->items.size()) run_item(m_state->items[index].get());
}

}  // namespace termiva::platform::gtk

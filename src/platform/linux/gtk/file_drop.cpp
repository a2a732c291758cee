#include "platform/linux/gtk/file_drop.h"

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace termiva::platform::gtk {

namespace {

// What the current drag carries. WebKit asks for the drag's data at its first motion over
// the view, before the drop; the paths are kept with the drag they belong to.
struct DropRelay {
    std::function<void(const std::string&)> run_script;
    const GdkDragContext* drag = nullptr;
    std::vector<std::string> paths;
};

void on_data_received(GtkWidget*, GdkDragContext* context, gint, gint, GtkSelectionData* data,
                      guint, guint, gpointer user_data) {
    auto* relay = static_cast<DropRelay*>(user_data);
    relay->drag = context;
    relay->paths.clear();
    gchar** uris = gtk_selection_data_get_uris(data);
    if (!uris) return;
    for (gchar** uri = uris; *uri; ++uri) {
        // Only local files have a path; other URIs (a link dragged from a browser) are not files.
        gchar* path = g_filename_from_uri(*uri, nullptr, nullptr);
        if (!path) continue;
        relay->paths.emplace_back(path);
        g_free(path);
    }
    g_strfreev(uris);
}

gboolean on_drop(GtkWidget*, GdkDragContext* context, gint x, gint y, guint, gpointer user_data) {
    auto* relay = static_cast<DropRelay*>(user_data);
    if (relay->drag == context && !relay->paths.empty()) {
        // File names need not be UTF-8; invalid bytes become U+FFFD rather than breaking
        // the script (such a file then cannot be read back by that name, and says so).
        const nlohmann::json paths(relay->paths);
        relay->run_script("window.termivaFilesDropped && window.termivaFilesDropped(" +
                          paths.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace) +
                          ", " + std::to_string(x) + ", " + std::to_string(y) + ");");
    }
    relay->drag = nullptr;
    relay->paths.clear();
    return FALSE;  // WebKit goes on with the drop: the page's own drop event follows
}

}  // namespace

void relay_file_drops(WebKitWebView* view, std::function<void(const std::string&)> run_script) {
    auto* relay = new DropRelay{std::move(run_script), nullptr, {}};
    g_object_set_data_full(G_OBJECT(view), "termiva-drop-relay", relay,
                           [](gpointer p) { delete static_cast<DropRelay*>(p); });
    // Connected before WebKit's own handlers run (both signals run the class handler last).
    g_signal_connect(view, "drag-data-received", G_CALLBACK(on_data_received), relay);
    g_signal_connect(view, "drag-drop", G_CALLBACK(on_drop), relay);
}

}  // namespace termiva::platform::gtk

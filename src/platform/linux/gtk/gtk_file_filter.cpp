#include "platform/linux/gtk/gtk_file_filter.h"

#include <gtk/gtk.h>

namespace termiva::platform::gtk {

namespace {

bool is_ascii_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

std::string gtk_glob(std::string_view pattern) {
    if (pattern == "*.*") return "*";
    // A pattern with its own bracket expressions is taken as written.
    if (pattern.find('[') != std::string_view::npos) return std::string(pattern);
    std::string glob;
    for (char c : pattern) {
        if (!is_ascii_letter(c)) {
            glob.push_back(c);
            continue;
        }
        const char lower = static_cast<char>(c | 0x20);
        glob += '[';
        glob += lower;
        glob += static_cast<char>(lower & ~0x20);
        glob += ']';
    }
    return glob;
}

GtkFileFilter* make_file_filter(const FileFilter& filter) {
    GtkFileFilter* f = gtk_file_filter_new();
    gtk_file_filter_set_name(f, filter.name.c_str());
    for (const auto& pattern : filter.patterns)
        gtk_file_filter_add_pattern(f, gtk_glob(pattern).c_str());
    return f;
}

}  // namespace termiva::platform::gtk

// File-chooser filters for GTK from the patterns the program's dialogs are given, which
// are written as users know them from Windows ("*.bin", "All Files" as "*.*").
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <string_view>

#include "platform/desktop.h"

namespace termiva::platform::gtk {

// GTK matches a pattern by case, and "*.*" only against names with a dot: extensionless
// files (id_ed25519, firmware) and upper-case ones (APP.BIN) would never be listed. "*.*"
// becomes "*" and every letter matches either case.
std::string gtk_glob(std::string_view pattern);

// A new filter (floating reference, as gtk_file_filter_new gives it).
GtkFileFilter* make_file_filter(const FileFilter& filter);

}  // namespace termiva::platform::gtk

// Files dropped from the desktop onto the page. WebKit gives the page File objects without
// their paths, and the program needs paths (an upload reads the file itself), so the window
// takes them from the drag's URI list and hands them to the page with the drop point:
// `termivaFilesDropped(paths, x, y)`. The page decides where they go (only its file panel
// takes them); a drop it does not take loads nothing, since the view refuses every
// navigation away from the page.
#pragma once

#include <webkit2/webkit2.h>

#include <functional>
#include <string>

namespace termiva::platform::gtk {

// Main thread only. `run_script` evaluates a script in the page; it lives as long as `view`.
void relay_file_drops(WebKitWebView* view, std::function<void(const std::string&)> run_script);

}  // namespace termiva::platform::gtk

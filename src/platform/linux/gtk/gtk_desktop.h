// The GTK desktop: the one place that knows the Linux window toolkit. This header stays
// free of toolkit types so the program's entry can include it.
#pragma once

#include <memory>

#include "platform/desktop.h"

namespace termiva::platform::gtk {

// Initialises GTK on the calling thread, which becomes the window thread. Throws when no
// display can be opened.
std::shared_ptr<Desktop> make_gtk_desktop();

}  // namespace termiva::platform::gtk

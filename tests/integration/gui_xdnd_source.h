// A drag source speaking the XDND protocol on its own X connection, for dropping a list
// of URIs onto a window as a file manager would.
#pragma once

#include <chrono>
#include <string>

#include "integration/gui_x11.h"

namespace termiva::testing {

struct DropOutcome {
    bool entered = false;    // the target answered a position with a status
    bool accepted = false;   // ... and said it would take the drop
    bool requested = false;  // it asked for the dropped data
    bool finished = false;   // it said the drop was over
};

// Drags `uri_list` ("file:///x\r\n") onto `target` (a toplevel on `display`) at the
// middle of its `width` x `height` area, drops it, and serves the data until the target
// finishes or `limit` passed.
DropOutcome drop_uris(const std::string& display, Window target, const std::string& uri_list,
                      std::chrono::milliseconds limit);

}  // namespace termiva::testing

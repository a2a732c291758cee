// Looking at a private X server from a test: windows by title, their state, a close
// request as a window manager would send it, and a bounded wait for a condition.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// gtest first: Xlib's macros (None, Bool, Status) would break its headers.
#include "support/test_support.h"

#include <X11/Xlib.h>

namespace termiva::testing {

struct DisplayCloser {
    void operator()(Display* d) const;
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// Opens `name` for looking around: errors on this connection (a window that vanished
// between two requests) are ignored; other connections keep their handler. Call after
// the toolkit of the same process (if any) has opened its own display.
DisplayPtr open_display(const std::string& name);

// A window titled `title` anywhere below `root`, or 0.
Window find_titled(Display* d, Window root, const std::string& title);
// A window titled `title` that is mapped and visible, or 0.
Window find_viewable(Display* d, const std::string& title);
bool viewable(Display* d, Window w);
// How many windows titled `title` are mapped and visible.
std::size_t count_viewable(Display* d, const std::string& title);
// Whether top-level `upper` is stacked above top-level `lower` (no window manager).
bool stacked_above(Display* d, Window upper, Window lower);
// WM_DELETE_WINDOW, as a window manager sends it when the user closes a window.
void request_close(Display* d, Window w);
// A grid of samples (every third pixel each way) of a visible window; empty if it is not.
std::vector<unsigned long> sample_pixels(Display* d, Window w);
// How many different colours a grid of samples of the window holds.
std::size_t colours_in(Display* d, Window w);
// The share of samples two grids disagree on (1 when they cannot be compared).
double share_differing(const std::vector<unsigned long>& a, const std::vector<unsigned long>& b);

template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return pred();
}

}  // namespace termiva::testing

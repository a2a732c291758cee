#include "integration/gui_x11.h"

#include <mutex>
#include <set>
#include <vector>

#include <X11/Xutil.h>

namespace termiva::testing {

namespace {

std::mutex g_lock;
std::set<Display*> g_lenient;
XErrorHandler g_previous = nullptr;

int on_x_error(Display* d, XErrorEvent* error) {
    XErrorHandler previous = nullptr;
    {
        std::lock_guard lock(g_lock);
        if (g_lenient.count(d)) return 0;
        previous = g_previous;
    }
    return previous ? previous(d, error) : 0;
}

}  // namespace

void DisplayCloser::operator()(Display* d) const {
    {
        std::lock_guard lock(g_lock);
        g_lenient.erase(d);
    }
    XCloseDisplay(d);
}

DisplayPtr open_display(const std::string& name) {
    DisplayPtr d(XOpenDisplay(name.c_str()));
    if (!d) return d;
    std::lock_guard lock(g_lock);
    if (g_lenient.empty()) {
        XErrorHandler previous = XSetErrorHandler(on_x_error);
        if (previous != on_x_error) g_previous = previous;
    }
    g_lenient.insert(d.get());
    return d;
}

namespace {

// Every window titled `title` below `root`, depth first.
void collect_titled(Display* d, Window root, const std::string& title, std::vector<Window>& out) {
    Window root_ret, parent;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(d, root, &root_ret, &parent, &children, &count)) return;
    for (unsigned i = 0; i < count; ++i) {
        char* name = nullptr;
        if (XFetchName(d, children[i], &name) && name) {
            if (title == name) out.push_back(children[i]);
            XFree(name);
        }
        collect_titled(d, children[i], title, out);
    }
    if (children) XFree(children);
}

}  // namespace

Window find_titled(Display* d, Window root, const std::string& title) {
    std::vector<Window> found;
    collect_titled(d, root, title, found);
    return found.empty() ? 0 : found.front();
}

Window find_viewable(Display* d, const std::string& title) {
    std::vector<Window> found;
    collect_titled(d, DefaultRootWindow(d), title, found);
    for (Window w : found) {
        if (viewable(d, w)) return w;
    }
    return 0;
}

std::size_t count_viewable(Display* d, const std::string& title) {
    std::vector<Window> found;
    collect_titled(d, DefaultRootWindow(d), title, found);
    std::size_t count = 0;
    for (Window w : found)
        count += viewable(d, w) ? 1 : 0;
    return count;
}

bool stacked_above(Display* d, Window upper, Window lower) {
    Window root_ret, parent;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(d, DefaultRootWindow(d), &root_ret, &parent, &children, &count)) return false;
    // The root's children come bottom first.
    int upper_at = -1, lower_at = -1;
    for (unsigned i = 0; i < count; ++i) {
        if (children[i] == upper) upper_at = static_cast<int>(i);
        if (children[i] == lower) lower_at = static_cast<int>(i);
    }
    if (children) XFree(children);
    return upper_at >= 0 && lower_at >= 0 && upper_at > lower_at;
}

bool viewable(Display* d, Window w) {
    XWindowAttributes a;
    return XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable;
}

void request_close(Display* d, Window w) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &ev);
    XFlush(d);
}

std::vector<unsigned long> sample_pixels(Display* d, Window w) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable) return {};
    XImage* image = XGetImage(d, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!image) return {};
    std::vector<unsigned long> samples;
    for (int y = 0; y < a.height; y += 3) {
        for (int x = 0; x < a.width; x += 3)
            samples.push_back(XGetPixel(image, x, y));
    }
    XDestroyImage(image);
    return samples;
}

std::size_t colours_in(Display* d, Window w) {
    const auto samples = sample_pixels(d, w);
    return std::set<unsigned long>(samples.begin(), samples.end()).size();
}

double share_differing(const std::vector<unsigned long>& a, const std::vector<unsigned long>& b) {
    if (a.empty() || a.size() != b.size()) return 1.0;
    std::size_t differ = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        differ += a[i] != b[i];
    return static_cast<double>(differ) / static_cast<double>(a.size());
}

}  // namespace termiva::testing

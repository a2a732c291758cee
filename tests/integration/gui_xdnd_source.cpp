#include "integration/gui_xdnd_source.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <thread>

namespace termiva::testing {

namespace {

constexpr long XDND_VERSION = 5;

struct Atoms {
    explicit Atoms(Display* d)
        : aware(XInternAtom(d, "XdndAware", False)),
          enter(XInternAtom(d, "XdndEnter", False)),
          position(XInternAtom(d, "XdndPosition", False)),
          status(XInternAtom(d, "XdndStatus", False)),
          drop(XInternAtom(d, "XdndDrop", False)),
          finished(XInternAtom(d, "XdndFinished", False)),
          leave(XInternAtom(d, "XdndLeave", False)),
          selection(XInternAtom(d, "XdndSelection", False)),
          copy(XInternAtom(d, "XdndActionCopy", False)),
          uri_list(XInternAtom(d, "text/uri-list", False)) {}
    Atom aware, enter, position, status, drop, finished, leave, selection, copy, uri_list;
};

bool has_property(Display* d, Window w, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, property, 0, 1, False, AnyPropertyType, &type, &format, &items,
                           &after, &data) != Success)
        return false;
    if (data) XFree(data);
    return type != None;
}

// The window that takes drops: the toplevel itself or the first aware window below it.
Window aware_window(Display* d, Window w, Atom aware) {
    if (has_property(d, w, aware)) return w;
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(d, w, &root, &parent, &children, &count)) return 0;
    Window found = 0;
    for (unsigned i = 0; i < count && !found; ++i)
        found = aware_window(d, children[i], aware);
    if (children) XFree(children);
    return found;
}

void send_message(Display* d, Window to, Atom type, long l0, long l1, long l2, long l3, long l4) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = to;
    e.xclient.message_type = type;
    e.xclient.format = 32;
    e.xclient.data.l[0] = l0;
    e.xclient.data.l[1] = l1;
    e.xclient.data.l[2] = l2;
    e.xclient.data.l[3] = l3;
    e.xclient.data.l[4] = l4;
    XSendEvent(d, to, False, NoEventMask, &e);
    XFlush(d);
}

}  // namespace

DropOutcome drop_uris(const std::string& display, Window target, const std::string& uri_list,
                      std::chrono::milliseconds limit) {
    DropOutcome out;
    DisplayPtr owned = open_display(display);
    Display* d = owned.get();
    if (!d) return out;
    Atoms atoms(d);
    const Window root = DefaultRootWindow(d);
    const Window source = XCreateSimpleWindow(d, root, 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(d, source, PropertyChangeMask);
    XSetSelectionOwner(d, atoms.selection, source, CurrentTime);
    const Window dest = aware_window(d, target, atoms.aware);
    if (!dest) return out;

    XWindowAttributes attrs{};
    XGetWindowAttributes(d, dest, &attrs);
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(d, dest, root, attrs.width / 2, attrs.height / 2, &x, &y, &child);

    send_message(d, dest, atoms.enter, static_cast<long>(source), XDND_VERSION << 24,
                 static_cast<long>(atoms.uri_list), 0, 0);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto next_position = std::chrono::steady_clock::now();
    bool dropped = false;
    while (std::chrono::steady_clock::now() < deadline && !out.finished) {
        const auto now = std::chrono::steady_clock::now();
        // Positions until the target decides (its answer may take a round trip to the
        // page), then the drop.
        if (!dropped && now >= next_position) {
            if (out.accepted) {
                send_message(d, dest, atoms.drop, static_cast<long>(source), 0, CurrentTime, 0, 0);
                dropped = true;
            } else {
                send_message(d, dest, atoms.position, static_cast<long>(source), 0, (x << 16) | y,
                             CurrentTime, static_cast<long>(atoms.copy));
                next_position = now + std::chrono::milliseconds(100);
            }
        }
        while (XPending(d)) {
            XEvent e;
            XNextEvent(d, &e);
            if (e.type == ClientMessage && e.xclient.message_type == atoms.status) {
                out.entered = true;
                if (e.xclient.data.l[1] & 1) out.accepted = true;
            } else if (e.type == ClientMessage && e.xclient.message_type == atoms.finished) {
                out.finished = true;
            } else if (e.type == SelectionRequest) {
                const XSelectionRequestEvent& r = e.xselectionrequest;
                XEvent reply{};
                reply.xselection.type = SelectionNotify;
                reply.xselection.requestor = r.requestor;
                reply.xselection.selection = r.selection;
                reply.xselection.target = r.target;
                reply.xselection.time = r.time;
                reply.xselection.property = None;
                if (r.target == atoms.uri_list && r.property != None) {
                    XChangeProperty(d, r.requestor, r.property, atoms.uri_list, 8, PropModeReplace,
                                    reinterpret_cast<const unsigned char*>(uri_list.data()),
                                    static_cast<int>(uri_list.size()));
                    reply.xselection.property = r.property;
                    out.requested = true;
                }
                XSendEvent(d, r.requestor, False, NoEventMask, &reply);
                XFlush(d);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!dropped) send_message(d, dest, atoms.leave, static_cast<long>(source), 0, 0, 0, 0);
    XDestroyWindow(d, source);
    XSync(d, False);
    return out;
}

}  // namespace termiva::testing

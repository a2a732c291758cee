#include "integration/gui_clipboard_owner.h"

#include <poll.h>

#include <vector>

#include <X11/Xatom.h>

namespace termiva::testing {

ClipboardOwner::ClipboardOwner(const std::string& display, std::string text, Offer offer)
    : m_display(open_display(display)), m_text(std::move(text)), m_offer(offer) {
    if (!m_display) return;
    Display* d = m_display.get();
    m_window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    XSetSelectionOwner(d, clipboard, m_window, CurrentTime);
    m_owns = XGetSelectionOwner(d, clipboard) == m_window;
    m_thread = std::thread([this] { serve(); });
}

ClipboardOwner::~ClipboardOwner() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_display && m_window) XDestroyWindow(m_display.get(), m_window);
}

void ClipboardOwner::serve() {
    Display* d = m_display.get();
    pollfd p{ConnectionNumber(d), POLLIN, 0};
    while (!m_stop) {
        while (XPending(d)) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type == SelectionRequest) answer(event.xselectionrequest);
        }
        ::poll(&p, 1, 50);
    }
}

void ClipboardOwner::answer(const XSelectionRequestEvent& request) {
    if (m_offer == Offer::silence) return;
    Display* d = m_display.get();
    const Atom targets = XInternAtom(d, "TARGETS", False);
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    const Atom png = XInternAtom(d, "image/png", False);
    // Clients from before ICCCM 2 leave the property out: the target names it then.
    const Atom property = request.property ? request.property : request.target;

    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.display = d;
    reply.xselection.requestor = request.requestor;
    reply.xselection.selection = request.selection;
    reply.xselection.target = request.target;
    reply.xselection.time = request.time;
    reply.xselection.property = 0;  // refused unless filled below

    if (request.target == targets) {
        std::vector<Atom> offered{targets, m_offer == Offer::text ? utf8 : png};
        XChangeProperty(d, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(offered.data()),
                        static_cast<int>(offered.size()));
        reply.xselection.property = property;
    } else if (request.target == utf8 && m_offer == Offer::text) {
        XChangeProperty(d, request.requestor, property, utf8, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(m_text.data()),
                        static_cast<int>(m_text.size()));
        reply.xselection.property = property;
    }
    XSendEvent(d, request.requestor, False, NoEventMask, &reply);
    XFlush(d);
}

}  // namespace termiva::testing

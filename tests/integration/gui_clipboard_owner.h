// Another X client holding the CLIPBOARD selection, answering requests as a text editor
// would, or not at all.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "integration/gui_x11.h"

namespace termiva::testing {

class ClipboardOwner {
public:
    enum class Offer {
        text,     // UTF-8 text
        no_text,  // only a picture type: nothing a text reader can take
        silence,  // takes the selection and never answers
    };

    ClipboardOwner(const std::string& display, std::string text, Offer offer);
    // Ends the client: the selection has no owner afterwards.
    ~ClipboardOwner();
    ClipboardOwner(const ClipboardOwner&) = delete;
    ClipboardOwner& operator=(const ClipboardOwner&) = delete;

    // True once the X server names this client as the selection's owner.
    bool owns() const { return m_owns; }

private:
    void serve();
    void answer(const XSelectionRequestEvent& request);

    DisplayPtr m_display;
    Window m_window = 0;
    std::string m_text;
    Offer m_offer;
    bool m_owns = false;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace termiva::testing

// What a feature service needs of the open tabs and the page, and no more: the services
// that serve tabs (serial lines, ESP boards, transfers, the assistant) hold this instead of
// the whole application, so none of them can reach another service's state by accident.
// The application implements it; tests may implement it with a recorder.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/messages/messages.h"
#include "app/tabs/tab.h"

namespace termiva {

class TabHost {
public:
    // The open tab with this id, or null.
    virtual TabPtr find_tab(const std::string& tab_id) const = 0;
    // Received text, already decoded, into the tab's terminal.
    virtual void push_text(const std::string& tab_id, const std::string& text) = 0;
    // A status line in the tab, outside the terminal's own output.
    virtual void push_info(const std::string& tab_id, const std::string& message,
                           bool is_error = false) = 0;
    virtual void push_connected(const std::string& tab_id) = 0;
    // Something the page shows from the runtime state changed (a tab's own moves tell it
    // themselves: tab.h).
    virtual void runtime_changed() = 0;
    // The catalog's text for `key` in the user's language.
    virtual std::string translate(std::string_view key, const MessageArgs& values = {}) const = 0;
    // Runs `body` on a background thread the application waits for when it ends.
    virtual void spawn(std::function<void()> body) = 0;
    virtual bool stopping() const = 0;
    // Bytes to the tab's connection as if typed.
    virtual bool type_into(const std::string& tab_id, const std::string& data) = 0;
    // Adds a new tab (made active) and connects it on a background thread.
    virtual void open_tab(const TabPtr& tab) = 0;
    // The one reader pipeline every connection's bytes go through (transfer filter,
    // decoder, line ends, log, output): reads `backend` until its stream ends, the tab
    // closes or the application stops.
    virtual void read_stream(const TabPtr& tab, Backend& backend) = 0;
    // Stores a changed session record (the page's save) and updates the tabs open on it.
    virtual nlohmann::json save_session(nlohmann::json record) = 0;

protected:
    ~TabHost() = default;
};

}  // namespace termiva

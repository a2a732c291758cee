// Where a tab's connection is. A tab starts connecting; it ends up closed whatever happens.
//
//   connecting   -> connected | failed | closed
//   connected    -> ended | reconnecting | closed
//   reconnecting -> connected | failed | ended | closed   (tried again in place)
//   failed       -> reconnecting | closed
//   ended        -> closed
//   closed       (nothing follows)
//
// Anything else is refused, so a connection completing after its tab closed, or an end of
// stream seen after a close, changes nothing and tells the page nothing.
#pragma once

#include <string_view>

namespace termiva {

enum class TabState { connecting, connected, reconnecting, ended, failed, closed };

constexpr bool may_become(TabState from, TabState to) {
    using S = TabState;
    switch (from) {
        case S::connecting:
            return to == S::connected || to == S::failed || to == S::closed;
        case S::connected:
            return to == S::ended || to == S::reconnecting || to == S::closed;
        case S::reconnecting:
            return to == S::connected || to == S::failed || to == S::ended || to == S::closed;
        case S::failed:
            return to == S::reconnecting || to == S::closed;
        case S::ended:
            return to == S::closed;
        case S::closed:
            return false;
    }
    return false;
}

// What the page calls `alive`: the connection is there or still being made.
constexpr bool is_alive(TabState state) {
    return state == TabState::connecting || state == TabState::connected;
}

constexpr std::string_view name_of(TabState state) {
    switch (state) {
        case TabState::connecting:
            return "connecting";
        case TabState::connected:
            return "connected";
        case TabState::reconnecting:
            return "reconnecting";
        case TabState::ended:
            return "ended";
        case TabState::failed:
            return "failed";
        case TabState::closed:
            return "closed";
    }
    return "?";
}

}  // namespace termiva

// Work-arounds for SSH-1 servers with known faults. A session names a flag with a mode;
// only flags forced on (mode "on") are applied.
//
// | flag       | server fault                                   | effect when on |
// |------------|------------------------------------------------|----------------------------------|
// | "ignore1"  | chokes on SSH_MSG_IGNORE                       | no ignore messages are sent; the
// | |            |                                                | password is hidden by NUL
// padding| | "plainpw1" | refuses a padded or camouflaged password       | the password goes as
// typed       | | "rsa1"     | chokes on RSA user authentication              | none: only
// passwords are offered |
#pragma once

#include <array>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace termiva::ssh1 {

inline constexpr std::string_view FORCE_ON = "on";
inline constexpr std::array<std::string_view, 3> SSH1_BUGS = {"ignore1", "plainpw1", "rsa1"};

// The flags of `modes` that are SSH-1 flags and forced on.
std::set<std::string> forced_on(const std::map<std::string, std::string>& modes);

// What the flags change in the client.
struct Ssh1Quirks {
    bool no_ignore = false;
    bool plain_password = false;

    static Ssh1Quirks from(const std::set<std::string>& flags);
};

}  // namespace termiva::ssh1

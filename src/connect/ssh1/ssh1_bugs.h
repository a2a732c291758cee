// What the SSH-1 bug-compatibility flags (SSHBugSpec::SSH1_BUGS, connect/ssh_bugs)
// change in our client.
#pragma once

#include <set>
#include <string>

#include "connect/ssh_bugs/ssh_bugs.h"

namespace termiva::ssh1 {

struct Ssh1Quirks {
    bool no_ignore = false;       // "ignore1"
    bool plain_password = false;  // "plainpw1"

    static Ssh1Quirks from(const std::set<std::string>& flags);
};

}  // namespace termiva::ssh1

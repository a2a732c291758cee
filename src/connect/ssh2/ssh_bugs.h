// How the bug-compatibility flags (connect/ssh_bugs) reach a libssh connection.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "connect/ssh2/ssh_prefs.h"
#include "connect/ssh_bugs/ssh_bugs.h"

#include <libssh/libssh.h>

namespace termiva {

namespace ssh2 {

// The preferences narrowed by the flags that act on algorithm choice.
SshPrefs prefs_with_bugs(SshPrefs prefs, const SSHBugSpec& bugs);
// Applies the remaining session options of the flags (before connecting).
void apply_bug_options(ssh_session session, const SSHBugSpec& bugs);

}  // namespace ssh2
}  // namespace termiva

// Algorithm preferences of an SSH-2 connection: ordered name lists per category
// ("kex", "ciphers", "macs", "keys"). A missing category keeps libssh's defaults.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <libssh/libssh.h>

namespace termiva {

using SshPrefs = std::map<std::string, std::vector<std::string>>;

// What old routers, switches and embedded servers still speak, restricted to what this
// libssh supports. Modern algorithms come first, so a device that knows them uses them.
extern const SshPrefs LEGACY_SSH_PREFS;

namespace ssh2 {

// Hands the lists to libssh's algorithm options. Throws BackendError when a category
// names no algorithm this libssh knows.
void apply_prefs(ssh_session session, const SshPrefs& prefs);

// Comma-joined list as libssh's options take it.
std::string join_algorithms(const std::vector<std::string>& names);

}  // namespace ssh2
}  // namespace termiva

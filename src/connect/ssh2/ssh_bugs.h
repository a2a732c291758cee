// Bug-compatibility flags for servers with known faults. A session names flags with a
// mode ("auto", "on", "off"); each flag maps to what libssh can actually change.
//
// | flag         | server fault                                  | effect when "on" |
// |--------------|-----------------------------------------------|----------------------------------------------------|
// | "ignore2"    | chokes on SSH_MSG_IGNORE                      | keep-alives go as
// keepalive@openssh.com requests   | |              | | instead of SSH_MSG_IGNORE | | "rsa_sha2" |
// mishandles rsa-sha2-256/512 signatures        | RSA user keys and host keys use ssh-rsa (SHA-1) |
// | "oldgex2"    | only knows the old group-exchange request     | group-exchange key exchanges are
// not offered       | |              |                                               | (libssh
// cannot send the old request)               | | "rekey2"     | mishandles re-keying | no
// time-based re-key, data limit at its maximum    | |              | | (libssh still re-keys at the
// cipher's safety limit)| | "hmac2", "derivekey2", "rsapad2", "pksessid2", "maxpkt2", "winadj",
// "chanreq",           | | "dropstart"  | faults libssh offers no switch for            | none:
// accepted, and reported once on stderr        |
//
// "auto" means libssh's own behaviour: libssh does not detect faulty server versions, so
// it acts like "off". Unknown names and modes are ignored.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "connect/ssh2/ssh_prefs.h"

#include <libssh/libssh.h>

namespace termiva {

enum class SshBugMode { automatic, on, off };

class SSHBugSpec {
public:
    SSHBugSpec() = default;
    // Flag name -> mode text ("auto", "on", "off"; "true"/"false" read as on/off).
    explicit SSHBugSpec(const std::map<std::string, std::string>& modes);

    SshBugMode mode(const std::string& flag) const;
    bool active(const std::string& flag) const { return mode(flag) == SshBugMode::on; }
    // Flags set "on" that libssh cannot act on.
    std::vector<std::string> without_effect() const;
    bool empty() const { return m_modes.empty(); }

    static bool known_flag(const std::string& flag);

private:
    std::map<std::string, SshBugMode> m_modes;
};

namespace ssh2 {

// The preferences narrowed by the flags that act on algorithm choice.
SshPrefs prefs_with_bugs(SshPrefs prefs, const SSHBugSpec& bugs);
// Applies the remaining session options of the flags (before connecting).
void apply_bug_options(ssh_session session, const SSHBugSpec& bugs);

}  // namespace ssh2
}  // namespace termiva

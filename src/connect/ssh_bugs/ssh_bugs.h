// Bug-compatibility flags for SSH servers with known faults, for both protocols. A
// session names flags with a mode ("auto", "on", "off") in its `ssh_bugs` map.
//
// SSH-2 (applied by the libssh connection; "auto" is libssh's own behaviour, which does
// not detect faulty server versions, so it acts like "off"):
//   "ignore2"   chokes on SSH_MSG_IGNORE: keep-alives go as keepalive@openssh.com
//               requests instead
//   "rsa_sha2"  mishandles rsa-sha2-256/512: RSA user and host keys use ssh-rsa (SHA-1)
//   "oldgex2"   only knows the old group-exchange request: group-exchange key exchanges
//               are not offered (libssh cannot send the old request)
//   "rekey2"    mishandles re-keying: no time-based re-key, data limit at its maximum
//               (libssh still re-keys at the cipher's safety limit)
//   "dropstart" discards what the client sends before the server's greeting: libssh
//               starts only once the server's first bytes have arrived
//   "hmac2", "derivekey2", "rsapad2", "pksessid2", "maxpkt2", "winadj", "chanreq":
//               faults libssh offers no switch for (the session editor does not offer
//               them); a stored "on" is kept and reported once per connection
//
// SSH-1 (our own client; only flags forced on, mode exactly FORCE_ON, apply):
//   "ignore1"   chokes on SSH_MSG_IGNORE: no ignore messages; the password is hidden by
//               NUL padding instead
//   "plainpw1"  refuses a padded or camouflaged password: it goes as typed
//   "rsa1"      chokes on RSA user authentication: nothing to do, only passwords are sent
//
// Unknown names and modes are ignored.
#pragma once

#include <array>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace termiva {

enum class SshBugMode { automatic, on, off };

class SSHBugSpec {
public:
    // The mode text that forces a flag on.
    static constexpr std::string_view FORCE_ON = "on";
    // The SSH-1 flags.
    static constexpr std::array<std::string_view, 3> SSH1_BUGS = {"ignore1", "plainpw1", "rsa1"};

    SSHBugSpec() = default;
    // SSH-2 flag name -> mode text ("auto", "on", "off"; "true"/"false" read as on/off).
    explicit SSHBugSpec(const std::map<std::string, std::string>& modes);

    SshBugMode mode(const std::string& flag) const;
    bool active(const std::string& flag) const { return mode(flag) == SshBugMode::on; }
    // SSH-2 flags set "on" that libssh cannot act on.
    std::vector<std::string> without_effect() const;
    bool empty() const { return m_modes.empty(); }

    static bool known_flag(const std::string& flag);
    // The SSH-1 flags whose mode in `modes` is exactly FORCE_ON.
    static std::set<std::string> ssh1_forced_on(const std::map<std::string, std::string>& modes);

private:
    std::map<std::string, SshBugMode> m_modes;
};

}  // namespace termiva

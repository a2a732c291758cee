#include "connect/ssh2/ssh_bugs.h"

#include "connect/ssh2/ssh_prefs.h"
#include "platform/log.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace termiva {
namespace {

// libssh's own offers, for when a flag has to narrow a category the session left open.
const std::vector<std::string> DEFAULT_KEX = {"curve25519-sha256",
                                              "curve25519-sha256@libssh.org",
                                              "ecdh-sha2-nistp256",
                                              "ecdh-sha2-nistp384",
                                              "ecdh-sha2-nistp521",
                                              "diffie-hellman-group18-sha512",
                                              "diffie-hellman-group16-sha512",
                                              "diffie-hellman-group-exchange-sha256",
                                              "diffie-hellman-group14-sha256"};
const std::vector<std::string> DEFAULT_HOST_KEYS = {"ssh-ed25519",         "ecdsa-sha2-nistp521",
                                                    "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp256",
                                                    "rsa-sha2-512",        "rsa-sha2-256"};

}  // namespace

namespace ssh2 {

SshPrefs prefs_with_bugs(SshPrefs prefs, const SSHBugSpec& bugs) {
    auto drop = [](std::vector<std::string>& names, auto&& unwanted) {
        names.erase(std::remove_if(names.begin(), names.end(), unwanted), names.end());
    };
    if (bugs.active("oldgex2")) {
        auto& kex = prefs["kex"];
        if (kex.empty()) kex = DEFAULT_KEX;
        drop(kex, [](const std::string& name) {
            return name.rfind("diffie-hellman-group-exchange-", 0) == 0;
        });
    }
    if (bugs.active("rsa_sha2")) {
        auto& keys = prefs["keys"];
        if (keys.empty()) keys = DEFAULT_HOST_KEYS;
        drop(keys, [](const std::string& name) { return name.rfind("rsa-sha2-", 0) == 0; });
        if (std::find(keys.begin(), keys.end(), "ssh-rsa") == keys.end()) keys.push_back("ssh-rsa");
    }
    return prefs;
}

void apply_bug_options(ssh_session session, const SSHBugSpec& bugs) {
    if (bugs.active("rsa_sha2")) {
        // An RSA user key then signs the SHA-1 way, the only one such servers verify.
        const std::string types =
            join_algorithms({"ssh-ed25519", "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384",
                             "ecdsa-sha2-nistp521", "ssh-rsa"});
        ssh_options_set(session, SSH_OPTIONS_PUBLICKEY_ACCEPTED_TYPES, types.c_str());
    }
    if (bugs.active("rekey2")) {
        const std::uint32_t no_time_limit = 0;
        const std::uint64_t largest_data_limit = UINT64_MAX;
        ssh_options_set(session, SSH_OPTIONS_REKEY_TIME, &no_time_limit);
        ssh_options_set(session, SSH_OPTIONS_REKEY_DATA, &largest_data_limit);
    }
    for (const auto& flag : bugs.without_effect()) {
        log::warn("ssh", "bug flag " + flag + " has no effect with this SSH library");
    }
}

}  // namespace ssh2
}  // namespace termiva

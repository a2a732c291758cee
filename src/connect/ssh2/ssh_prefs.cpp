#include "connect/ssh2/ssh_prefs.h"

#include "connect/backend.h"

namespace termiva {

const SshPrefs LEGACY_SSH_PREFS = {
    {"kex",
     {"curve25519-sha256", "curve25519-sha256@libssh.org", "ecdh-sha2-nistp256",
      "diffie-hellman-group14-sha256", "diffie-hellman-group-exchange-sha256",
      "diffie-hellman-group14-sha1", "diffie-hellman-group-exchange-sha1",
      "diffie-hellman-group1-sha1"}},
    {"ciphers",
     {"aes128-ctr", "aes192-ctr", "aes256-ctr", "aes128-gcm@openssh.com", "aes256-gcm@openssh.com",
      "chacha20-poly1305@openssh.com", "aes128-cbc", "aes192-cbc", "aes256-cbc", "3des-cbc"}},
    {"macs", {"hmac-sha2-256", "hmac-sha2-512", "hmac-sha1"}},
    {"keys", {"ssh-ed25519", "ecdsa-sha2-nistp256", "rsa-sha2-512", "rsa-sha2-256", "ssh-rsa"}},
};

namespace ssh2 {

std::string join_algorithms(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) {
        if (name.empty()) continue;
        if (!out.empty()) out += ',';
        out += name;
    }
    return out;
}

namespace {

void set_list(ssh_session session, ssh_options_e option, const char* category,
              const std::vector<std::string>& names) {
    const std::string joined = join_algorithms(names);
    if (joined.empty()) return;
    if (ssh_options_set(session, option, joined.c_str()) != SSH_OK) {
        throw BackendError(std::string("no supported ") + category + " algorithm in: " + joined);
    }
}

}  // namespace

void apply_prefs(ssh_session session, const SshPrefs& prefs) {
    for (const auto& [category, names] : prefs) {
        if (category == "kex") {
            set_list(session, SSH_OPTIONS_KEY_EXCHANGE, "key-exchange", names);
        } else if (category == "ciphers") {
            set_list(session, SSH_OPTIONS_CIPHERS_C_S, "cipher", names);
            set_list(session, SSH_OPTIONS_CIPHERS_S_C, "cipher", names);
        } else if (category == "macs") {
            set_list(session, SSH_OPTIONS_HMAC_C_S, "MAC", names);
            set_list(session, SSH_OPTIONS_HMAC_S_C, "MAC", names);
        } else if (category == "keys") {
            set_list(session, SSH_OPTIONS_HOSTKEYS, "host-key", names);
        }
    }
}

}  // namespace ssh2
}  // namespace termiva

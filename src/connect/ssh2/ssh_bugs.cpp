#include "connect/ssh2/ssh_bugs.h"

#include "connect/ssh2/ssh_prefs.h"
#include "platform/log.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <string_view>

namespace termiva {
namespace {

constexpr std::array<std::string_view, 4> ACTED_ON = {"ignore2", "rsa_sha2", "oldgex2", "rekey2"};
constexpr std::array<std::string_view, 8> NO_SWITCH = {
    "hmac2", "derivekey2", "rsapad2", "pksessid2", "maxpkt2", "winadj", "chanreq", "dropstart"};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

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

SSHBugSpec::SSHBugSpec(const std::map<std::string, std::string>& modes) {
    for (const auto& [name, text] : modes) {
        const std::string flag = lower(name);
        if (!known_flag(flag)) continue;
        const std::string mode = lower(text);
        if (mode == "on" || mode == "true" || mode == "1") {
            m_modes[flag] = SshBugMode::on;
        } else if (mode == "off" || mode == "false" || mode == "0") {
            m_modes[flag] = SshBugMode::off;
        } else {
            m_modes[flag] = SshBugMode::automatic;
        }
    }
}

bool SSHBugSpec::known_flag(const std::string& flag) {
    return std::find(ACTED_ON.begin(), ACTED_ON.end(), flag) != ACTED_ON.end() ||
           std::find(NO_SWITCH.begin(), NO_SWITCH.end(), flag) != NO_SWITCH.end();
}

SshBugMode SSHBugSpec::mode(const std::string& flag) const {
    auto it = m_modes.find(flag);
    return it == m_modes.end() ? SshBugMode::automatic : it->second;
}

std::vector<std::string> SSHBugSpec::without_effect() const {
    std::vector<std::string> out;
    for (const auto& [flag, mode] : m_modes) {
        if (mode == SshBugMode::on &&
            std::find(NO_SWITCH.begin(), NO_SWITCH.end(), flag) != NO_SWITCH.end()) {
            out.push_back(flag);
        }
    }
    return out;
}

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

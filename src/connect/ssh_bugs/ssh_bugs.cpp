#include "connect/ssh_bugs/ssh_bugs.h"

#include <algorithm>
#include <cctype>

namespace termiva {
namespace {

constexpr std::array<std::string_view, 5> ACTED_ON = {"ignore2", "rsa_sha2", "oldgex2", "rekey2",
                                                      "dropstart"};
constexpr std::array<std::string_view, 7> NO_SWITCH = {
    "hmac2", "derivekey2", "rsapad2", "pksessid2", "maxpkt2", "winadj", "chanreq"};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

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

std::set<std::string> SSHBugSpec::ssh1_forced_on(const std::map<std::string, std::string>& modes) {
    std::set<std::string> out;
    for (std::string_view name : SSH1_BUGS) {
        auto it = modes.find(std::string(name));
        if (it != modes.end() && it->second == FORCE_ON) out.emplace(name);
    }
    return out;
}

}  // namespace termiva

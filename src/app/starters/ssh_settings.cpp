// Reading the SSH-2 settings of a session.
#include <algorithm>
#include <cctype>

#include "app/json_values.h"
#include "app/starters/ssh_support.h"
#include "app/termiva_app.h"

namespace termiva {

std::optional<int> ssh_port_of(const Session& sess, std::string& error) {
    const NumberField& value = sess.port;
    if (value.blank()) return 22;
    if (!value.integer) {
        error = "invalid port: " + value.text;
        return std::nullopt;
    }
    const long long number = *value.integer;
    if (number == 0) return 22;
    if (number < 0 || number > 65535) {
        error = "port out of range: " + std::to_string(number);
        return std::nullopt;
    }
    return static_cast<int>(number);
}

SshPrefs ssh_prefs_from_json(const Json& prefs) {
    SshPrefs out;
    if (!prefs.is_object()) return out;
    for (const auto& [key, value] : prefs.items()) {
        auto names = name_list(value);
        if (!names.empty()) out[key] = std::move(names);
    }
    return out;
}

Json ssh_prefs_to_json(const SshPrefs& prefs) {
    Json out = Json::object();
    for (const auto& [key, names] : prefs)
        out[key] = names;
    return out;
}

Json ssh_prefs_json(const Session& sess) {
    Json prefs = Json::object();
    if (sess.ssh_legacy_compat.value_or(false)) prefs = ssh_prefs_to_json(LEGACY_SSH_PREFS);
    const std::pair<const std::vector<std::string>*, const char*> categories[] = {
        {&sess.ssh_kex, "kex"},
        {&sess.ssh_ciphers, "ciphers"},
        {&sess.ssh_macs, "macs"},
        {&sess.ssh_keys, "keys"}};
    for (const auto& [names, key] : categories) {
        if (!names->empty()) prefs[key] = *names;
    }
    return prefs;
}

}  // namespace termiva

// Reading the SSH-2 settings of a session.
#include <algorithm>
#include <cctype>

#include "app/json_values.h"
#include "app/starters/ssh_support.h"
#include "app/termiva_app.h"

namespace termiva {
namespace {

// A list given as JSON array, or as one text of comma- or blank-separated names.
std::vector<std::string> name_list(const Json& value) {
    std::vector<std::string> names;
    auto add = [&names](std::string name) {
        if (!name.empty()) names.push_back(std::move(name));
    };
    if (value.is_array()) {
        for (const auto& item : value)
            add(text_of(item));
    } else if (value.is_string()) {
        std::string current;
        for (char c : value.get_ref<const std::string&>()) {
            if (c == ',' || std::isspace(static_cast<unsigned char>(c))) {
                add(std::move(current));
                current.clear();
            } else {
                current += c;
            }
        }
        add(std::move(current));
    }
    return names;
}

}  // namespace

std::optional<int> ssh_port_of(const Json& sess, std::string& error) {
    const Json& value = member(sess, "port");
    if (value.is_null() ||
        (value.is_string() && text_of(value).find_first_not_of(" \t") == std::string::npos)) {
        return 22;
    }
    const auto number = to_integer(value);
    if (!number) {
        error = "invalid port: " + text_of(value);
        return std::nullopt;
    }
    if (*number == 0) return 22;
    if (*number < 0 || *number > 65535) {
        error = "port out of range: " + std::to_string(*number);
        return std::nullopt;
    }
    return static_cast<int>(*number);
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

std::map<std::string, std::string> ssh_bug_modes(const Json& bugs) {
    std::map<std::string, std::string> out;
    if (!bugs.is_object()) return out;
    for (const auto& [flag, mode] : bugs.items()) {
        if (mode.is_string()) {
            out[flag] = mode.get<std::string>();
        } else if (mode.is_boolean()) {
            out[flag] = mode.get<bool>() ? "on" : "off";
        } else if (mode.is_number()) {
            out[flag] = to_integer(mode).value_or(0) != 0 ? "on" : "off";
        }
    }
    return out;
}

Json TermivaApp::_build_ssh_prefs(const Json& sess) {
    Json prefs = Json::object();
    if (bool_field(sess, "ssh_legacy_compat", false)) prefs = ssh_prefs_to_json(LEGACY_SSH_PREFS);
    const std::pair<const char*, const char*> categories[] = {
        {"ssh_kex", "kex"}, {"ssh_ciphers", "ciphers"}, {"ssh_macs", "macs"}, {"ssh_keys", "keys"}};
    for (const auto& [field, key] : categories) {
        const auto names = name_list(member(sess, field));
        if (!names.empty()) prefs[key] = names;
    }
    return prefs;
}

}  // namespace termiva

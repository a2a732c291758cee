#include "app/store/page_record.h"

#include <array>
#include <string_view>

#include "app/json_values.h"

namespace termiva {
namespace {

using Json = nlohmann::json;

constexpr std::array<std::string_view, 22> TEXT_KEYS = {"name",
                                                        "protocol",
                                                        "host",
                                                        "username",
                                                        "password",
                                                        "private_key",
                                                        "line_code_page",
                                                        "terminal_type",
                                                        "term_speed",
                                                        "ssh_version",
                                                        "serial_parity",
                                                        "serial_stop",
                                                        "serial_flow",
                                                        "rlogin_local_user",
                                                        "supdup_charset",
                                                        "supdup_location",
                                                        "conpty_shell",
                                                        "conpty_cwd",
                                                        "conpty_custom_command",
                                                        "esp_interface",
                                                        "esp_chip",
                                                        "proxy_jump"};
constexpr std::array<std::string_view, 4> NUMBER_KEYS = {"port", "serial_baud", "serial_bits",
                                                         "keepalive_sec"};
constexpr std::array<std::string_view, 7> SWITCH_KEYS = {
    "compression", "agent_forwarding", "ssh_legacy_compat", "passive_telnet",
    "rfc_environ", "supdup_more",      "supdup_scroll"};
// Switches only a stored `true` turns on.
constexpr std::array<std::string_view, 2> STRICT_SWITCH_KEYS = {"lfhascr", "crhaslf"};
// Lists of rules or pairs; the algorithm lists may also be one text of names.
constexpr std::array<std::string_view, 2> LIST_KEYS = {"port_forwards", "telnet_env"};
constexpr std::array<std::string_view, 4> NAME_LIST_KEYS = {"ssh_kex", "ssh_ciphers", "ssh_macs",
                                                            "ssh_keys"};

// The first key path (as "a.b") whose text is longer than the limit, or "".
std::string oversized(const Json& value, const std::string& path) {
    if (value.is_string()) {
        return value.get_ref<const std::string&>().size() > MAX_FIELD_BYTES ? path : "";
    }
    if (value.is_object()) {
        for (const auto& [key, item] : value.items()) {
            if (key.size() > MAX_FIELD_BYTES) return path.empty() ? "(a key)" : path;
            std::string found = oversized(item, path.empty() ? key : path + "." + key);
            if (!found.empty()) return found;
        }
    } else if (value.is_array()) {
        for (const auto& item : value) {
            std::string found = oversized(item, path);
            if (!found.empty()) return found;
        }
    }
    return "";
}

void normalise(Json& rec, std::string_view key_view, bool (*fits)(const Json&),
               void (*fix)(Json&) = nullptr) {
    const std::string key(key_view);
    auto found = rec.find(key);
    if (found == rec.end() || found->is_null() || fits(*found)) return;
    if (fix) {
        fix(*found);
        if (fits(*found)) return;
    }
    rec.erase(found);
}

}  // namespace

std::optional<RecordRefusal> normalise_page_record(Json& rec) {
    if (!rec.is_object()) return std::nullopt;
    if (std::string field = oversized(rec, ""); !field.empty()) return RecordRefusal{field};
    // Each value becomes what the program reads it as, so nothing connects differently.
    for (std::string_view key : TEXT_KEYS) {
        normalise(
            rec, key, [](const Json& v) { return v.is_string(); }, [](Json& v) { v = text_of(v); });
    }
    for (std::string_view key : NUMBER_KEYS) {
        normalise(
            rec, key, [](const Json& v) { return v.is_string() || v.is_number_integer(); },
            [](Json& v) {
                if (const auto n = to_integer(v)) {
                    v = *n;
                } else {
                    v = text_of(v);
                }
            });
    }
    for (std::string_view key : SWITCH_KEYS) {
        normalise(
            rec, key, [](const Json& v) { return v.is_boolean(); },
            [](Json& v) { v = !is_false_like(v); });
    }
    for (std::string_view key : STRICT_SWITCH_KEYS) {
        normalise(
            rec, key, [](const Json& v) { return v.is_boolean(); }, [](Json& v) { v = false; });
    }
    // A list of no use to its field is left out, as the page leaves out an empty one.
    for (std::string_view key : LIST_KEYS)
        normalise(rec, key, [](const Json& v) { return v.is_array(); });
    for (std::string_view key : NAME_LIST_KEYS)
        normalise(rec, key, [](const Json& v) { return v.is_array() || v.is_string(); });
    normalise(rec, "ssh_bugs", [](const Json& v) { return v.is_object(); });
    return std::nullopt;
}

}  // namespace termiva

// One saved connection profile, typed. It is parsed once, where the store reads its file
// or the page saves it; connecting, the data path and the services read these fields and
// never the JSON. The object it came from is kept whole and is what the store writes
// back and the page gets, so keys this version does not read (an older or a newer
// version's) are never lost, and a value that does not fit its field is kept as written.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/store/jump_hosts.h"
#include "platform/socket_io.h"

namespace termiva {

// A number field as the page or an older file wrote it (integer or text).
struct NumberField {
    std::string text;                  // its text form; "" when absent or null
    std::optional<long long> integer;  // the integer it holds, if it holds one

    // The value, or `fallback` when absent, empty, 0, not a number or beyond an int.
    int or_default(int fallback) const;
    // Absent, null, or a text of blanks only.
    bool blank() const;
};

// One port forwarding rule: "L" local_port:remote_host:remote_port, "R"
// remote_port:local_host:local_port, "D" [bind_address:]port (a SOCKS server whose
// connections go where each client asks, as seen from the server).
struct ForwardRule {
    enum class Kind { ignored, local, remote, dynamic, invalid };
    Kind kind = Kind::ignored;
    std::string type;         // upper case
    std::string spec;         // white space removed around it
    std::string listen_host;  // "D" only: "" the loopback, "*" every address
    int listen_port = 0;
    std::string dest_host;
    int dest_port = 0;
    std::string error;  // why an "L", "R" or "D" rule cannot be installed
};
ForwardRule parse_forward_rule(const nlohmann::json& rule);

// One SSH bug work-around's mode as stored: a text ("on", "off", "auto") or a boolean or
// number read as "on"/"off". SSH-1 honours only modes written as text.
struct SshBugSetting {
    std::string mode;
    bool written_as_text = false;
};
// A list given as JSON array, or as one text of comma- or blank-separated names.
std::vector<std::string> name_list(const nlohmann::json& value);

// `ssh_bugs` as flag -> mode text; booleans and numbers read as on/off.
std::map<std::string, std::string> ssh_bug_modes(const nlohmann::json& bugs);
// A record's "ip_version": "ipv4" or "ipv6" (any case, blanks around) names one IP version;
// anything else, "auto" included, lets every address of the host be tried.
platform::IpFamily ip_family_member(const nlohmann::json& rec);

struct Session {
    // A record that is not an object keeps its bytes and reads as an empty session.
    explicit Session(nlohmann::json record);

    // The record as stored, unknown keys included: what is written to disk and shown.
    const nlohmann::json stored;

    // Whether `session_id` (a page's or a file's value) names this session.
    bool has_id(const nlohmann::json& session_id) const;
    const nlohmann::json& id_value() const;

    // Text fields: absent or null is nothing; other values in their text form.
    std::string id;
    std::string name;
    std::string protocol = "ssh";  // only an absent or null protocol means SSH
    std::optional<std::string> host;
    std::optional<std::string> username, password, private_key;
    std::optional<std::string> line_code_page;
    std::optional<std::string> terminal_type, term_speed;
    std::optional<std::string> ssh_version;
    std::optional<std::string> serial_parity, serial_stop, serial_flow;
    std::optional<std::string> rlogin_local_user;
    std::optional<std::string> supdup_charset, supdup_location;
    std::optional<std::string> conpty_shell, conpty_cwd, conpty_custom_command;
    std::optional<std::string> esp_interface, esp_chip;
    // `ip_version`: which of the host's addresses a TCP connection may use.
    platform::IpFamily ip_family = platform::IpFamily::any;

    // The TCP port. A local serial line has none: its "port" key holds the line rate.
    NumberField port;
    // The line speed in bits per second: "port" of a local serial session, "serial_baud"
    // of Telnet with remote serial control.
    NumberField line_rate;
    NumberField serial_bits;
    NumberField keepalive_sec;

    // Absent or null is nothing; otherwise whether the value is true-like.
    std::optional<bool> compression, agent_forwarding, ssh_legacy_compat;
    std::optional<bool> passive_telnet, rfc_environ;
    std::optional<bool> supdup_more, supdup_scroll;
    // Implicit CR after LF / LF after CR in received text: only a stored `true` turns them on.
    bool lfhascr = false;
    bool crhaslf = false;
    // A local serial line: what Enter sends ("\r" unless "serial_line_ending" is "lf" or
    // "crlf"), and whether typed text is shown in the terminal as well ("serial_local_echo").
    std::string serial_line_ending = "\r";
    bool serial_local_echo = false;

    std::vector<ForwardRule> port_forwards;
    // `proxy_jump`: the SSH-2 jump hosts, first hop first (an error when unreadable).
    JumpChain proxy_jump;
    // Algorithm preferences, in the user's order (a list, or one text of names).
    std::vector<std::string> ssh_kex, ssh_ciphers, ssh_macs, ssh_keys;
    std::map<std::string, SshBugSetting> ssh_bugs;
    // Telnet's environment: non-empty names in order; a later duplicate wins.
    std::vector<std::pair<std::string, std::string>> telnet_env;
};

using SessionPtr = std::shared_ptr<const Session>;

// A text field with a fallback for absent, null or "".
std::string text_or(const std::optional<std::string>& field, std::string_view fallback);

// A tab's caption: the session's name, else its host and "port" joined by a colon.
std::string tab_caption(const Session& sess);

}  // namespace termiva

#include "app/import/putty_import.h"

#include <array>
#include <cctype>
#include <fstream>
#include <regex>
#include <set>
#include <utility>

#include "app/json_values.h"
#include "text/utf8.h"

namespace termiva {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using platform::PuttyValueKind;

namespace {

// The values an import reads from each PuTTY session, in the order they are read.
constexpr std::array<std::pair<const char*, PuttyValueKind>, 15> PUTTY_VALUES{{
    {"HostName", PuttyValueKind::text},
    {"Protocol", PuttyValueKind::text},
    {"UserName", PuttyValueKind::text},
    {"PublicKeyFile", PuttyValueKind::text},
    {"PortNumber", PuttyValueKind::integer},
    {"Compression", PuttyValueKind::integer},
    {"TerminalType", PuttyValueKind::text},
    {"SerialLine", PuttyValueKind::text},
    {"SerialSpeed", PuttyValueKind::integer},
    {"LFImpliesCR", PuttyValueKind::integer},
    {"CRImpliesLF", PuttyValueKind::integer},
    {"ProxyMethod", PuttyValueKind::integer},
    {"ProxyHost", PuttyValueKind::text},
    {"ProxyPort", PuttyValueKind::integer},
    {"ProxyUsername", PuttyValueKind::text},
}};

// PuTTY's kinds of proxy by their stored number. Only "SSH to proxy and use port
// forwarding" is a jump host; the others have no counterpart here.
constexpr int PROXY_SSH_FORWARDING = 6;
constexpr std::array<const char*, 9> PROXY_KIND_NAMES = {"none",
                                                         "SOCKS 4",
                                                         "SOCKS 5",
                                                         "HTTP",
                                                         "Telnet",
                                                         "local command",
                                                         "SSH port forwarding",
                                                         "SSH command",
                                                         "SSH subsystem"};

const std::set<std::string> KNOWN_PROTOCOLS = {"ssh",           "telnet", "raw",    "serial",
                                               "telnet-serial", "rlogin", "supdup", "conpty"};

constexpr long long DEFAULT_PORT = 22;
// PuTTY's own speed for a serial line that names none.
constexpr long long DEFAULT_SERIAL_SPEED = 9600;
// A version.h is a few hundred bytes; more is read no further.
constexpr std::size_t MAX_VERSION_FILE = 1024 * 1024;

std::string as_utf8(std::string_view bytes) {
    text::Utf8Sanitizer sanitizer;
    std::string out;
    sanitizer.decode(bytes, out);
    sanitizer.finish(out);
    return out;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// PuTTY's flags are numbers; a value that is no number is not "on".
bool non_zero(const Json& value) {
    auto number = to_integer(value);
    return number && *number != 0;
}

// The jump host of an SSH proxy ([user@]host[:port]); "" when there is none.
std::string jump_host_of(const Json& rec) {
    if (to_integer(member(rec, "ProxyMethod")).value_or(0) != PROXY_SSH_FORWARDING) return "";
    std::string host = text_of(member(rec, "ProxyHost"));
    if (host.empty()) return "";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    const std::string user = text_of(member(rec, "ProxyUsername"));
    const long long port = to_integer(member(rec, "ProxyPort")).value_or(DEFAULT_PORT);
    std::string hop = user.empty() ? host : user + "@" + host;
    if (port != DEFAULT_PORT && port > 0 && port <= 65535) hop += ":" + std::to_string(port);
    return hop;
}

// The kind of a proxy the import cannot carry over; "" when there is none to skip.
std::string skipped_proxy_of(const Json& rec) {
    const long long method = to_integer(member(rec, "ProxyMethod")).value_or(0);
    if (method == 0 || !jump_host_of(rec).empty()) return "";
    if (method > 0 && method < static_cast<long long>(PROXY_KIND_NAMES.size()))
        return PROXY_KIND_NAMES[static_cast<std::size_t>(method)];
    return "type " + std::to_string(method);
}

}  // namespace

PuttyImport::PuttyImport() : m_store(platform::default_putty_session_store()) {}

void PuttyImport::set_store(std::shared_ptr<platform::PuttySessionStore> store) {
    std::lock_guard lock(m_lock);
    m_store = std::move(store);
}

std::shared_ptr<platform::PuttySessionStore> PuttyImport::store() const {
    std::lock_guard lock(m_lock);
    return m_store;
}

Json PuttyImport::read_sessions() const {
    Json records = Json::array();
    auto source = store();
    if (!source) return records;
    for (const auto& escaped : source->session_names()) {
        auto session = source->open_session(escaped);
        if (!session) continue;  // as PuTTY's own list does with a session it cannot open
        Json rec = Json::object();
        rec["name"] = unescape_name(escaped);
        for (const auto& [key, kind] : PUTTY_VALUES) {
            auto value = session->value(key, kind);
            if (!value) continue;
            if (const auto* number = std::get_if<long long>(&*value)) {
                rec[key] = *number;
            } else {
                rec[key] = as_utf8(std::get<std::string>(*value));
            }
        }
        // What the import makes of PuTTY's proxy, for the list to show before choosing.
        if (const std::string hop = jump_host_of(rec); !hop.empty()) rec["proxy_jump"] = hop;
        if (const std::string kind = skipped_proxy_of(rec); !kind.empty())
            rec["proxy_skipped"] = kind;
        records.push_back(std::move(rec));
    }
    return records;
}

std::string PuttyImport::unescape_name(std::string_view name) {
    std::string bytes;
    bytes.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size()) {
            const int high = hex_value(name[i + 1]);
            const int low = hex_value(name[i + 2]);
            if (high >= 0 && low >= 0) {
                bytes.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        bytes.push_back(name[i]);
    }
    return as_utf8(bytes);
}

Json PuttyImport::session_from_record(const Json& rec, const std::string& default_name,
                                      std::string id) {
    std::string name = text_of(member(rec, "name"));
    if (name.empty()) name = default_name;

    std::string protocol = to_lower(text_of(member(rec, "Protocol")));
    if (!KNOWN_PROTOCOLS.count(protocol)) protocol = "ssh";  // "" included

    // PuTTY keeps every field of a session, so a serial one usually still holds the host
    // and port of an earlier use; a serial tab reads its device from `host` and its speed
    // from `port`.
    const bool serial = protocol == "serial";
    std::string host = text_of(member(rec, serial ? "SerialLine" : "HostName"));
    if (host.empty()) host = text_of(member(rec, serial ? "HostName" : "SerialLine"));

    const long long fallback = serial ? DEFAULT_SERIAL_SPEED : DEFAULT_PORT;
    const Json& port_value = member(rec, serial ? "SerialSpeed" : "PortNumber");
    long long port = port_value.is_null() ? fallback : to_integer(port_value).value_or(fallback);
    if (serial && port <= 0) port = fallback;

    Json session = Json::object();
    session["id"] = std::move(id);
    session["name"] = std::move(name);
    session["protocol"] = std::move(protocol);
    session["host"] = std::move(host);
    session["port"] = port;
    session["username"] = text_of(member(rec, "UserName"));
    session["password"] = "";
    session["private_key"] = text_of(member(rec, "PublicKeyFile"));
    session["compression"] = non_zero(member(rec, "Compression"));
    session["agent_forwarding"] = false;
    session["ip_version"] = "auto";
    session["port_forwards"] = Json::array();
    // An SSH proxy is a jump host for SSH sessions; for the others it is not carried over.
    if (const std::string hop = jump_host_of(rec); !hop.empty() && session["protocol"] == "ssh")
        session["proxy_jump"] = hop;
    session["line_code_page"] = "utf-8";
    session["terminal_type"] = "xterm-256color";
    session["keepalive_sec"] = 30;
    session["lfhascr"] = non_zero(member(rec, "LFImpliesCR"));
    session["crhaslf"] = non_zero(member(rec, "CRImpliesLF"));
    return session;
}

std::string PuttyImport::read_putty_version(const fs::path& putty_root) {
    const fs::path file = putty_root / "version.h";
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return "";
    std::ifstream in(file, std::ios::binary);
    if (!in) return "";
    std::string bytes(MAX_VERSION_FILE, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    const std::string text = as_utf8(bytes);
    static const std::regex RELEASE(R"(#define\s+RELEASE\s+([\d.]+))");
    std::smatch match;
    if (!std::regex_search(text, match, RELEASE)) return "";
    return match[1].str();
}

}  // namespace termiva

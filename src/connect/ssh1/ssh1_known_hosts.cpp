#include "connect/ssh1/ssh1_known_hosts.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "connect/ssh1/ssh1_wire.h"
#include "platform/atomic_file.h"
#include "platform/utf8_path.h"

namespace termiva::ssh1 {
namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool all_digits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool names_match(const std::string& names, const std::string& label) {
    std::stringstream list(names);
    std::string name;
    while (std::getline(list, name, ',')) {
        if (lower(name) == label) return true;
    }
    return false;
}

std::string without_leading_zeros(const std::string& magnitude) {
    const std::size_t first = magnitude.find_first_not_of('\0');
    return first == std::string::npos ? std::string() : magnitude.substr(first);
}

}  // namespace

std::string fingerprint(const RsaPublicKey& key) {
    const std::string digest = md5(key.n + key.e);
    std::string out = "MD5";
    static const char* hex = "0123456789abcdef";
    for (unsigned char c : digest) {
        out += ':';
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

HostKeyResult check_host_key(const std::filesystem::path& file, const std::string& host, int port,
                             const RsaPublicKey& key) {
    const std::string label = lower(port == 22 ? host : "[" + host + "]:" + std::to_string(port));
    std::ifstream in(file);
    std::string line;
    while (in && std::getline(in, line)) {
        std::istringstream fields(line);
        std::string names, bits, e, n;
        if (!(fields >> names >> bits >> e >> n)) continue;
        // Lines of SSH-2 keys ("name type base64") and comments are not ours.
        if (names.empty() || names[0] == '#' || !all_digits(bits) || !all_digits(e) ||
            !all_digits(n)) {
            continue;
        }
        if (!names_match(names, label)) continue;
        // The file holds numbers: a key sent with leading zero bytes is the same key.
        if (from_decimal(e) == without_leading_zeros(key.e) &&
            from_decimal(n) == without_leading_zeros(key.n)) {
            return HostKeyResult::known;
        }
        throw Ssh1Error("the host key of " + host + ":" + std::to_string(port) +
                        " has changed (the server now offers " + std::to_string(key.bits()) +
                        "-bit RSA key " + fingerprint(key) +
                        "). If the change is expected, remove the host's line from " +
                        platform::path_to_utf8(file));
    }
    std::error_code ignored;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ignored);
    // Complete the last line of a file that lacks its final newline.
    bool needs_newline = false;
    {
        std::ifstream tail(file, std::ios::binary | std::ios::ate);
        if (tail && tail.tellg() > 0) {
            tail.seekg(-1, std::ios::end);
            needs_newline = tail.get() != '\n';
        }
    }
    std::string entry = needs_newline ? "\n" : "";
    entry += label + ' ' + std::to_string(key.bits()) + ' ' + to_decimal(key.e) + ' ' +
             to_decimal(key.n) + '\n';
    try {
        // Owner-only from its first byte, whatever the umask; the file holds every host
        // the user reaches.
        platform::append_to_private_file(file, entry);
    } catch (const platform::WriteError&) {
        return HostKeyResult::not_recorded;  // an unwritable file does not stop us
    }
    return HostKeyResult::recorded;
}

}  // namespace termiva::ssh1

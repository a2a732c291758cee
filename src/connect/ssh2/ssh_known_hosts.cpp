// The host-key check: unknown hosts are accepted, recorded and their key's fingerprint
// shown; a changed key is refused.
#include <filesystem>
#include <string>
#include <system_error>

#include "connect/ssh2/connection_core.h"
#include "platform/atomic_file.h"
#include "platform/utf8_path.h"

namespace termiva::ssh2 {
namespace {

std::string host_label(const SshConnectOptions& options) {
    return options.host + ":" + std::to_string(options.port);
}

// The names ssh-keygen -l and OpenSSH's first-connection question use.
std::string key_type_name(ssh_key key) {
    switch (ssh_key_type(key)) {
        case SSH_KEYTYPE_RSA:
            return "RSA";
        case SSH_KEYTYPE_DSS:
            return "DSA";
        case SSH_KEYTYPE_ED25519:
            return "ED25519";
        case SSH_KEYTYPE_ECDSA_P256:
        case SSH_KEYTYPE_ECDSA_P384:
        case SSH_KEYTYPE_ECDSA_P521:
            return "ECDSA";
        default: {
            const char* name = ssh_key_type_to_char(ssh_key_type(key));
            return name ? name : "unknown";
        }
    }
}

struct ServerKey {
    std::string type;
    std::string fingerprint;  // empty when the server's key could not be read
};

ServerKey server_key(ssh_session session) {
    ssh_key raw = nullptr;
    if (ssh_get_server_publickey(session, &raw) != SSH_OK) return {};
    KeyHandle key(raw);
    unsigned char* raw_hash = nullptr;
    size_t hash_len = 0;
    if (ssh_get_publickey_hash(key.get(), SSH_PUBLICKEY_HASH_SHA256, &raw_hash, &hash_len) !=
        SSH_OK) {
        return {};
    }
    HashHandle hash(raw_hash);
    SshText text(ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash.get(), hash_len));
    if (!text) return {};
    return {key_type_name(key.get()), text.get()};
}

std::string changed_key_message(ssh_session session, const SshConnectOptions& options,
                                const char* what) {
    std::string text = "the host key of " + host_label(options) + " has changed (" + what;
    const std::string fingerprint = server_key(session).fingerprint;
    if (!fingerprint.empty()) text += "; the server now offers " + fingerprint;
    text += "). If the change is expected, remove the host's line from " +
            platform::path_to_utf8(options.known_hosts_file);
    return text;
}

}  // namespace

void verify_host_key(ssh_session session, const SshConnectOptions& options) {
    switch (ssh_session_is_known_server(session)) {
        case SSH_KNOWN_HOSTS_OK:
            return;
        case SSH_KNOWN_HOSTS_CHANGED:
            throw BackendError(
                changed_key_message(session, options, "it differs from the recorded key"));
        case SSH_KNOWN_HOSTS_OTHER:
            // The recorded key is of another type: as good as a changed key, it could be
            // someone in the middle.
            throw BackendError(
                changed_key_message(session, options, "its type differs from the recorded key's"));
        case SSH_KNOWN_HOSTS_UNKNOWN:
        case SSH_KNOWN_HOSTS_NOT_FOUND: {
            std::error_code ignored;
            const auto folder = options.known_hosts_file.parent_path();
            if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
            try {
                // libssh appends to the file it finds, keeping its mode: it must be
                // owner-only before the first line goes in, whatever the umask.
                platform::make_private_file(options.known_hosts_file);
            } catch (const platform::WriteError&) {
                // Then libssh cannot write it either, which does not stop the connection.
            }
            // A file that cannot be written does not stop the connection.
            ssh_session_update_known_hosts(session);
            if (options.new_host_key) {
                const ServerKey key = server_key(session);
                if (!key.fingerprint.empty()) options.new_host_key(key.type, key.fingerprint);
            }
            return;
        }
        case SSH_KNOWN_HOSTS_ERROR:
        default:
            // An unreadable known-hosts file does not stop the connection either.
            return;
    }
}

}  // namespace termiva::ssh2

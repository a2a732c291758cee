// The options a new libssh session gets before it connects.
#include <filesystem>
#include <string>

#include "connect/ssh2/connection_core.h"
#include "platform/utf8_path.h"

namespace termiva::ssh2 {
namespace {

// libssh reads "user@host" in the host option as a user name; a host field must not be
// able to change the account the session logs in with.
void check_host(const std::string& host) {
    if (host.empty()) throw BackendError("no host name given");
    for (char c : host) {
        if (c == '@' || static_cast<unsigned char>(c) <= ' ') {
            throw BackendError("invalid host name: " + host);
        }
    }
}

void set_or_fail(ssh_session session, ssh_options_e option, const void* value, const char* what) {
    if (ssh_options_set(session, option, value) != SSH_OK) {
        throw BackendError(std::string("invalid ") + what + ": " + ssh_get_error(session));
    }
}

}  // namespace

void configure_session(ssh_session session, const SshConnectOptions& options) {
    check_host(options.host);
    if (options.port <= 0 || options.port > 65535) {
        throw BackendError("invalid port " + std::to_string(options.port));
    }
    // The program's own settings are the whole configuration: no ~/.ssh/config.
    const bool process_config = false;
    ssh_options_set(session, SSH_OPTIONS_PROCESS_CONFIG, &process_config);
    const int verbosity = SSH_LOG_NOLOG;
    ssh_options_set(session, SSH_OPTIONS_LOG_VERBOSITY, &verbosity);

    set_or_fail(session, SSH_OPTIONS_HOST, options.host.c_str(), "host");
    const unsigned int port = static_cast<unsigned int>(options.port);
    set_or_fail(session, SSH_OPTIONS_PORT, &port, "port");
    if (options.username && !options.username->empty()) {
        set_or_fail(session, SSH_OPTIONS_USER, options.username->c_str(), "user name");
    }
    const long timeout = static_cast<long>(options.timeout.count());
    ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &timeout);
    // libssh opens it with fopen: on Windows a narrow name in the ANSI code page, which the
    // folder of a user named outside it needs its short form for (made once the folder is).
    std::error_code ignored;
    const auto folder = options.known_hosts_file.parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
    const std::string known_hosts = platform::path_for_narrow_api(options.known_hosts_file);
    if (known_hosts.empty() && !options.known_hosts_file.empty())
        throw BackendError("the known-hosts file " +
                           platform::path_to_utf8(options.known_hosts_file) +
                           " has no name the SSH library can open");
    ssh_options_set(session, SSH_OPTIONS_KNOWNHOSTS, known_hosts.c_str());
    // Only the program's own file counts, never the system-wide one.
    ssh_options_set(session, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, known_hosts.c_str());
    ssh_options_set(session, SSH_OPTIONS_COMPRESSION, options.compress ? "yes" : "no");
    const int nodelay = 1;
    ssh_options_set(session, SSH_OPTIONS_NODELAY, &nodelay);

    apply_prefs(session, prefs_with_bugs(options.prefs, options.bugs));
    apply_bug_options(session, options.bugs);
}

}  // namespace termiva::ssh2

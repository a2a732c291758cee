// The pieces of the SSH-2 starter that are worth testing on their own: reading the
// session's port, preferences, bug flags and forwarding rules, and running the key
// converter with a time limit.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/store/session.h"
#include "connect/ssh2/ssh_prefs.h"

namespace termiva {

class TabHost;
class SshConnection;

// The session's port: 22 when missing, empty or 0; nothing (and `error` set) when the
// value is not a port number.
std::optional<int> ssh_port_of(const Session& sess, std::string& error);

// A preference map as the page stores it, as libssh's options take it.
SshPrefs ssh_prefs_from_json(const nlohmann::json& prefs);
nlohmann::json ssh_prefs_to_json(const SshPrefs& prefs);

// Installs one forwarding rule on the tab's connection; a failure is shown as an
// ordinary status line and the connection set-up goes on.
// The SSH algorithm preferences a session asks for, as the connection options read them.
nlohmann::json ssh_prefs_json(const Session& sess);

void _setup_forward(TabHost& app, SshConnection& transport, const ForwardRule& rule,
                    const std::string& tab_id);

struct ProcessResult {
    int exit_code = -1;
    std::string out;
    std::string err;
};
// Runs argv[0] (a path) without a terminal, capturing both output streams. Throws
// std::runtime_error when it cannot be started or outlives `limit` (it is then killed).
ProcessResult run_with_time_limit(const std::vector<std::string>& argv,
                                  std::chrono::milliseconds limit);

}  // namespace termiva

// The reachability prober: finds out which saved sessions can be reached now and posts
// the answer as a "ping_results" message on the launcher's receipt queue, where the poll
// thread reads it like any launcher's (so the page's dots light with or without one).
//
// Owns: its schedule (visible, a round asked for, enabled), the probe threads of a round
// and the last TCP answer of each SSH server. A probe must never disturb what it watches:
// a serial device server opens (and may reset) its device for each connection, a
// one-client converter would give the probe the user's place. So a network session's
// host is asked with an ICMP echo (platform/icmp_echo.h), never with a connection to its
// port; only where this system forbids ICMP echo is an SSH server's port tried with a TCP
// connect, at most every TCP_INTERVAL, and the other protocols then get no answer at all.
// A session open in a tab is never probed (its dot is the tab's: get_runtime_state). A
// serial session is reachable when its device exists. Local shells are not probed. Off
// (the "reachability" setting): nothing is sent.
// Called from: its own thread (`run`, through TermivaApp::_spawn), bridge workers
// (`request_round` after a save, `set_visible` from the page), shut-down (`stop`).
// Locks: `m_lock`, a leaf, guards the schedule; no probe runs while it is held.
// `m_tcp_lock`, a leaf, guards the SSH answers and is held across one TCP probe.
//
// Rounds: one at start, one right after a session is saved, then every ROUND_INTERVAL
// while the window is visible; none while it is hidden (a round asked for while hidden
// runs when it shows again). At most PARALLEL probes at a time; `stop` wakes every wait,
// including connects in flight.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/icmp_echo.h"

namespace termiva {

class WakeFd;

class ReachabilityProber {
public:
    static constexpr std::chrono::seconds ROUND_INTERVAL{30};
    static constexpr double PROBE_TIMEOUT_S = 1.5;
    static constexpr int PARALLEL = 4;
    static constexpr std::chrono::minutes TCP_INTERVAL{5};

    struct Target {
        std::string id;
        bool device = false;  // serial: the device's existence, not a connection
        std::string host;     // host name, or the serial device
        int port = 0;
        bool ssh = false;  // may be tried with a TCP connect when ICMP is forbidden
        // The addresses the session's tab would use ("ip_version").
        platform::IpFamily family = platform::IpFamily::any;
    };

    // `sessions`: the saved sessions now (a JSON array); `open_in_tabs`: the ids of the
    // sessions open in a tab now; `post`: puts a message on the receipt queue; `interval`:
    // between timed rounds (tests shorten it).
    ReachabilityProber(std::function<nlohmann::json()> sessions,
                       std::function<std::set<std::string>()> open_in_tabs,
                       std::function<void(nlohmann::json)> post,
                       std::chrono::milliseconds interval = ROUND_INTERVAL);
    ~ReachabilityProber();
    ReachabilityProber(const ReachabilityProber&) = delete;
    ReachabilityProber& operator=(const ReachabilityProber&) = delete;

    // The prober's thread body: rounds until `stop`.
    void run();
    void request_round();
    void set_visible(bool visible);
    // Ends `run` within a fraction of a second; connects in flight are cancelled.
    void stop();
    // How a probe asks a host (platform::icmp_echo; a test gives its own). Before `run`.
    using Echo =
        std::function<platform::EchoAnswer(const std::string& host, platform::IpFamily family,
                                           int timeout_ms, const platform::SocketWake& wake)>;
    void use_echo(Echo echo) { m_echo = std::move(echo); }

    // Off: no round is made, nothing is sent (the user's setting, the headless host's
    // option); on again: rounds resume.
    void set_enabled(bool enabled);
    bool enabled() const;

    // What a round probes, from the saved sessions (those without a host, and those in
    // `skipped`, are left out).
    static std::vector<Target> targets_of(const nlohmann::json& sessions,
                                          const std::set<std::string>& skipped = {});
    // One round: every target probed, the "ping_results" message built (targets in order;
    // one that could not be asked has no answer in it).
    nlohmann::json probe_round(const std::vector<Target>& targets);

private:
    struct TcpAnswer {
        std::chrono::steady_clock::time_point at;
        bool online = false;
    };

    std::optional<bool> probe(const Target& target);
    bool tcp_probe(const Target& target);

    std::function<nlohmann::json()> m_sessions;
    std::function<std::set<std::string>()> m_open_in_tabs;
    Echo m_echo = platform::icmp_echo;
    std::function<void(nlohmann::json)> m_post;
    const std::chrono::milliseconds m_interval;
    std::unique_ptr<WakeFd> m_wake;  // signalled by stop(): cancels connects in flight

    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_visible = true;
    bool m_round_asked = true;  // the first round runs at start
    bool m_stopped = false;
    bool m_enabled = true;

    std::mutex m_tcp_lock;                           // a leaf
    std::map<std::string, TcpAnswer> m_tcp_answers;  // by "host:port"
};

}  // namespace termiva

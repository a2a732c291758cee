// The reachability prober: finds out which saved sessions can be reached now and posts
// the answer as a "ping_results" message on the launcher's receipt queue, where the poll
// thread reads it like any launcher's (so the page's dots light with or without one).
//
// Owns: its schedule (visible, a round asked for, enabled) and the probe threads of a
// round. A network session is reachable when a TCP connection to its host and port opens
// within PROBE_TIMEOUT; a serial session when its device exists. Local shells are not
// probed.
// Called from: its own thread (`run`, through TermivaApp::_spawn), bridge workers
// (`request_round` after a save, `set_visible` from the page), shut-down (`stop`).
// Lock: `m_lock`, a leaf, guards the schedule; no probe runs while it is held.
//
// Rounds: one at start, one right after a session is saved, then every ROUND_INTERVAL
// while the window is visible; none while it is hidden (a round asked for while hidden
// runs when it shows again). At most PARALLEL probes at a time; `stop` wakes every wait,
// including connects in flight.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace termiva {

class WakeFd;

class ReachabilityProber {
public:
    static constexpr std::chrono::seconds ROUND_INTERVAL{30};
    static constexpr double PROBE_TIMEOUT_S = 1.5;
    static constexpr int PARALLEL = 4;

    struct Target {
        std::string id;
        bool device = false;  // serial: the device's existence, not a connection
        std::string host;     // host name, or the serial device
        int port = 0;
    };

    // `sessions`: the saved sessions now (a JSON array); `post`: puts a message on the
    // receipt queue; `interval`: between timed rounds (tests shorten it).
    ReachabilityProber(std::function<nlohmann::json()> sessions,
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
    // Off: `run` returns at once and no round is made (the headless host's option).
    void set_enabled(bool enabled);
    bool enabled() const;

    // What a round probes, from the saved sessions (those without a host are left out).
    static std::vector<Target> targets_of(const nlohmann::json& sessions);
    // One round: every target probed, the "ping_results" message built (targets in order).
    nlohmann::json probe_round(const std::vector<Target>& targets);

private:
    bool probe(const Target& target);

    std::function<nlohmann::json()> m_sessions;
    std::function<void(nlohmann::json)> m_post;
    const std::chrono::milliseconds m_interval;
    std::unique_ptr<WakeFd> m_wake;  // signalled by stop(): cancels connects in flight

    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_visible = true;
    bool m_round_asked = true;  // the first round runs at start
    bool m_stopped = false;
    bool m_enabled = true;
};

}  // namespace termiva

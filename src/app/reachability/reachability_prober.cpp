#include "app/reachability/reachability_prober.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "app/json_values.h"
#include "app/store/session.h"
#include "connect/fd_io.h"
#include "platform/log.h"
#include "platform/serial_port.h"
#include "platform/utf8_path.h"

namespace termiva {

namespace {

int default_port(const std::string& protocol) {
    if (protocol == "ssh") return 22;
    if (protocol == "rlogin") return 513;
    if (protocol == "supdup") return 95;
    return 23;  // telnet, telnet-serial, raw
}

bool device_exists(const std::string& device, const std::vector<platform::SerialPortInfo>& ports) {
    std::error_code ec;
    if (std::filesystem::exists(platform::path_from_utf8(device), ec)) return true;
    // A name the system lists without a file behind it (a COM port on Windows).
    return std::any_of(ports.begin(), ports.end(), [&](const platform::SerialPortInfo& p) {
        return p.device == device || (!p.by_id.empty() && p.by_id == device);
    });
}

}  // namespace

ReachabilityProber::ReachabilityProber(std::function<nlohmann::json()> sessions,
                                       std::function<std::set<std::string>()> open_in_tabs,
                                       std::function<void(nlohmann::json)> post,
                                       std::chrono::milliseconds interval)
    : m_sessions(std::move(sessions)),
      m_open_in_tabs(std::move(open_in_tabs)),
      m_post(std::move(post)),
      m_interval(interval),
      m_wake(std::make_unique<WakeFd>()) {}

ReachabilityProber::~ReachabilityProber() = default;

std::vector<ReachabilityProber::Target> ReachabilityProber::targets_of(
    const nlohmann::json& sessions, const std::set<std::string>& skipped) {
    std::vector<Target> out;
    if (!sessions.is_array()) return out;
    for (const auto& sess : sessions) {
        if (!sess.is_object()) continue;
        const std::string id = text_of(member(sess, "id"));
        const std::string protocol = text_field(sess, "protocol", "ssh");
        std::string host = text_of(member(sess, "host"));
        host.erase(0, host.find_first_not_of(" \t"));
        host.erase(host.find_last_not_of(" \t") + 1);
        if (id.empty() || host.empty() || protocol == "conpty" || skipped.count(id)) continue;
        if (protocol == "serial") {
            out.push_back({id, true, host, 0});
            continue;
        }
        int port = int_field(sess, "port", default_port(protocol));
        if (port <= 0 || port > 65535) port = default_port(protocol);
        out.push_back({id, false, host, port, protocol == "ssh", ip_family_member(sess)});
    }
    return out;
}

std::optional<bool> ReachabilityProber::probe(const Target& target) {
    const auto timeout_ms = static_cast<int>(PROBE_TIMEOUT_S * 1000);
    switch (m_echo(target.host, target.family, timeout_ms, *m_wake)) {
        case platform::EchoAnswer::answered:
            return true;
        case platform::EchoAnswer::silent:
            return false;
        case platform::EchoAnswer::unavailable:
            break;
    }
    if (!target.ssh) return std::nullopt;
    return tcp_probe(target);
}

// An SSH server logs every connection that ends before logging in (and guards such as
// fail2ban count them), so its port is tried seldom and the answer kept meanwhile. The
// lock is held across the connect: two sessions on one server make one connection.
bool ReachabilityProber::tcp_probe(const Target& target) {
    const std::string key = target.host + ":" + std::to_string(target.port) + " " +
                            platform::ip_family_name(target.family);
    std::lock_guard lock(m_tcp_lock);
    const auto now = std::chrono::steady_clock::now();
    auto found = m_tcp_answers.find(key);
    if (found != m_tcp_answers.end() && now - found->second.at < TCP_INTERVAL)
        return found->second.online;
    bool online = false;
    try {
        online = tcp_port_open(target.host, target.port, target.family, PROBE_TIMEOUT_S, *m_wake);
    } catch (const std::exception&) {
        return false;  // stopped: the round's answers are dropped anyway
    }
    m_tcp_answers[key] = {now, online};
    return online;
}

nlohmann::json ReachabilityProber::probe_round(const std::vector<Target>& targets) {
    std::vector<std::optional<bool>> online(targets.size());
    std::vector<platform::SerialPortInfo> ports;
    if (std::any_of(targets.begin(), targets.end(), [](const Target& t) { return t.device; })) {
        ports = platform::list_serial_ports();
    }
    std::vector<std::size_t> network;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (targets[i].device) {
            online[i] = device_exists(targets[i].host, ports);
        } else {
            network.push_back(i);
        }
    }
    // A few probers take the network targets one after another.
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t k = next++; k < network.size(); k = next++) {
            if (m_wake->signalled()) return;
            online[network[k]] = probe(targets[network[k]]);
        }
    };
    std::vector<std::thread> threads;
    const std::size_t count = std::min<std::size_t>(PARALLEL, network.size());
    for (std::size_t i = 1; i < count; ++i)
        threads.emplace_back(worker);
    if (count > 0) worker();
    for (auto& t : threads)
        t.join();

    nlohmann::json results = nlohmann::json::array();
    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (online[i]) results.push_back({{"id", targets[i].id}, {"online", *online[i]}});
    }
    return {{"type", "ping_results"}, {"results", std::move(results)}};
}

void ReachabilityProber::run() {
    auto next_round = std::chrono::steady_clock::now();
    for (;;) {
        {
            std::unique_lock lock(m_lock);
            m_cv.wait_until(lock, next_round,
                            [&] { return m_stopped || (m_enabled && m_visible && m_round_asked); });
            if (m_stopped) return;
            // Off, or hidden: no timed rounds; a round asked for waits until both change.
            if (!m_enabled || !m_visible) {
                m_cv.wait(lock, [&] { return m_stopped || (m_enabled && m_visible); });
                if (m_stopped) return;
            }
            m_round_asked = false;
        }
        try {
            const std::set<std::string> skipped =
                m_open_in_tabs ? m_open_in_tabs() : std::set<std::string>{};
            nlohmann::json message = probe_round(targets_of(m_sessions(), skipped));
            if (m_wake->signalled()) return;  // stopped mid-round: the answers are not real
            if (!message["results"].empty()) m_post(std::move(message));
        } catch (const std::exception& e) {
            log::warn("reachability", e.what());
        }
        next_round = std::chrono::steady_clock::now() + m_interval;
    }
}

void ReachabilityProber::request_round() {
    {
        std::lock_guard lock(m_lock);
        m_round_asked = true;
    }
    m_cv.notify_all();
}

void ReachabilityProber::set_visible(bool visible) {
    {
        std::lock_guard lock(m_lock);
        // Shown again after a while: the dots may be stale, so look at once.
        if (visible && !m_visible) m_round_asked = true;
        m_visible = visible;
    }
    m_cv.notify_all();
}

void ReachabilityProber::stop() {
    {
        std::lock_guard lock(m_lock);
        m_stopped = true;
    }
    m_wake->signal();
    m_cv.notify_all();
}

void ReachabilityProber::set_enabled(bool enabled) {
    {
        std::lock_guard lock(m_lock);
        // On again: the dots are stale, look at once.
        if (enabled && !m_enabled) m_round_asked = true;
        m_enabled = enabled;
    }
    m_cv.notify_all();
}

bool ReachabilityProber::enabled() const {
    std::lock_guard lock(m_lock);
    return m_enabled;
}

}  // namespace termiva

// The reachability prober: what it probes, the answers of one round against real
// sockets and files (the ICMP echo given by the test: whether the system allows it is the
// machine's setting; tests/integration/reachability_host_test.cpp uses the real one), and
// its schedule (visible, hidden, asked, off, stopped).
#include "app/reachability/reachability_prober.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A socket listening on a loopback port, closed with the object.
class Listener {
public:
    Listener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_fd, 16);
        socklen_t len = sizeof a;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(m_fd); }
    int port() const { return m_port; }

private:
    int m_fd;
    int m_port;
};

// An ICMP echo as the system would answer it: forbidden, or answered by `up` only.
ReachabilityProber::Echo echo_forbidden() {
    return [](const std::string&, platform::IpFamily, int, const platform::SocketWake&) {
        return platform::EchoAnswer::unavailable;
    };
}
ReachabilityProber::Echo echo_answered_by(std::string up, std::vector<std::string>* asked) {
    return
        [up, asked](const std::string& host, platform::IpFamily, int, const platform::SocketWake&) {
            if (asked) asked->push_back(host);
            return host == up ? platform::EchoAnswer::answered : platform::EchoAnswer::silent;
        };
}

json network_session(const std::string& id, const std::string& protocol, const std::string& host,
                     int port) {
    return {{"id", id}, {"protocol", protocol}, {"host", host}, {"port", port}};
}

TEST(ReachabilityTargets, NetworkSessionsByHostAndPortSerialByDeviceShellsAndOpenOnesNot) {
    json sessions = json::array({
        {{"id", "a"}, {"protocol", "ssh"}, {"host", " example.org "}, {"port", "2222"}},
        {{"id", "b"}, {"host", "h"}},                                           // ssh, port 22
        {{"id", "c"}, {"protocol", "telnet"}, {"host", "h"}, {"port", 0}},      // 23
        {{"id", "d"}, {"protocol", "rlogin"}, {"host", "h"}, {"port", "x"}},    // 513
        {{"id", "e"}, {"protocol", "supdup"}, {"host", "h"}, {"port", 99999}},  // 95
        {{"id", "f"}, {"protocol", "serial"}, {"host", "/dev/ttyUSB0"}, {"port", 115200}},
        {{"id", "g"}, {"protocol", "conpty"}, {"host", "bash"}},
        {{"id", "h"}, {"protocol", "raw"}, {"host", ""}, {"port", 23}},
        {{"id", "i"}, {"protocol", "ssh"}, {"host", "open-in-a-tab"}},
        {{"host", "no-id"}},
        "not a session",
    });
    const auto t = ReachabilityProber::targets_of(sessions, {"i"});
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[0].host, "example.org");
    EXPECT_EQ(t[0].port, 2222);
    EXPECT_EQ(t[1].port, 22);
    EXPECT_EQ(t[2].port, 23);
    EXPECT_EQ(t[3].port, 513);
    EXPECT_EQ(t[4].port, 95);
    EXPECT_TRUE(t[5].device);
    EXPECT_EQ(t[5].host, "/dev/ttyUSB0");
    // Only an SSH server may be asked at its port, and only without ICMP.
    EXPECT_TRUE(t[0].ssh && t[1].ssh);
    EXPECT_FALSE(t[2].ssh || t[3].ssh || t[4].ssh || t[5].ssh);
    EXPECT_TRUE(ReachabilityProber::targets_of(json::object()).empty());
}

TEST(ReachabilityRound, WithoutIcmpOnlySshPortsAreTriedOtherProtocolsGetNoAnswer) {
    std::vector<Listener> up(5);
    const int closed = testing::free_loopback_port();
    testing::TempDir dir;
    std::ofstream(dir.path() / "ttyFAKE") << "";
    json sessions = json::array();
    for (std::size_t i = 0; i < 3; ++i)
        sessions.push_back(
            network_session("up" + std::to_string(i), "ssh", "127.0.0.1", up[i].port()));
    sessions.push_back(network_session("down", "ssh", "127.0.0.1", closed));
    sessions.push_back(network_session("nameless", "ssh", "no-such-host.invalid", 22));
    sessions.push_back(network_session("raw", "raw", "127.0.0.1", up[3].port()));
    sessions.push_back(network_session("rfc2217", "telnet-serial", "127.0.0.1", up[4].port()));
    sessions.push_back(
        {{"id", "dev"}, {"protocol", "serial"}, {"host", (dir.path() / "ttyFAKE").string()}});
    sessions.push_back(
        {{"id", "gone"}, {"protocol", "serial"}, {"host", (dir.path() / "ttyGONE").string()}});

    ReachabilityProber prober([&] { return sessions; }, {}, [](json) {});
    prober.use_echo(echo_forbidden());
    const json message = prober.probe_round(ReachabilityProber::targets_of(sessions));
    EXPECT_EQ(message["type"], "ping_results");
    json expected = json::array();
    for (std::size_t i = 0; i < 3; ++i)
        expected.push_back({{"id", "up" + std::to_string(i)}, {"online", true}});
    expected.push_back({{"id", "down"}, {"online", false}});
    expected.push_back({{"id", "nameless"}, {"online", false}});
    expected.push_back({{"id", "dev"}, {"online", true}});
    expected.push_back({{"id", "gone"}, {"online", false}});
    EXPECT_EQ(message["results"], expected);
}

TEST(ReachabilityRound, AnSshServersPortAnswerIsKeptForFiveMinutes) {
    auto up = std::make_unique<Listener>();
    const json sessions = json::array({network_session("s", "ssh", "127.0.0.1", up->port())});
    ReachabilityProber prober([&] { return sessions; }, {}, [](json) {});
    prober.use_echo(echo_forbidden());
    const auto targets = ReachabilityProber::targets_of(sessions);
    EXPECT_EQ(prober.probe_round(targets)["results"][0]["online"], true);
    up.reset();  // the port closes: a new connect would fail
    EXPECT_EQ(prober.probe_round(targets)["results"][0]["online"], true)
        << "asked again before five minutes passed";
}

TEST(ReachabilityRound, WithIcmpTheHostIsAskedAndNoPortAtAll) {
    std::vector<std::string> asked;
    const json sessions = json::array({network_session("up", "raw", "192.0.2.7", 23),
                                       network_session("down", "ssh", "192.0.2.8", 22)});
    ReachabilityProber prober([&] { return sessions; }, {}, [](json) {});
    prober.use_echo(echo_answered_by("192.0.2.7", &asked));
    const json message = prober.probe_round(ReachabilityProber::targets_of(sessions));
    EXPECT_EQ(message["results"],
              json::array({{{"id", "up"}, {"online", true}}, {{"id", "down"}, {"online", false}}}));
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<std::string>{"192.0.2.7", "192.0.2.8"}));
}

TEST(ReachabilityRound, TheSessionsIpVersionGoesWithItsHost) {
    json v6 = network_session("v6", "telnet", "example.org", 23);
    v6["ip_version"] = " IPv6 ";
    const json sessions = json::array({v6, network_session("auto", "telnet", "example.org", 23)});
    std::vector<platform::IpFamily> asked;
    std::mutex lock;
    ReachabilityProber prober([&] { return sessions; }, {}, [](json) {});
    prober.use_echo(
        [&](const std::string&, platform::IpFamily family, int, const platform::SocketWake&) {
            std::lock_guard l(lock);
            asked.push_back(family);
            return family == platform::IpFamily::ipv6 ? platform::EchoAnswer::silent
                                                      : platform::EchoAnswer::answered;
        });
    EXPECT_EQ(prober.probe_round(ReachabilityProber::targets_of(sessions))["results"],
              json::array({{{"id", "v6"}, {"online", false}}, {{"id", "auto"}, {"online", true}}}));
    EXPECT_EQ(asked.size(), 2u);
}

// Counts what the prober posts; the schedule is driven by a short interval.
struct Recorder {
    std::mutex lock;
    std::vector<json> posted;
    std::size_t count() {
        std::lock_guard l(lock);
        return posted.size();
    }
    std::function<void(json)> sink() {
        return [this](json m) {
            std::lock_guard l(lock);
            posted.push_back(std::move(m));
        };
    }
};

TEST(ReachabilitySchedule, RoundsAtStartOnRequestAndTimedOnlyWhileVisible) {
    json sessions = json::array({network_session("s", "raw", "127.0.0.1", 23)});
    Recorder rec;
    ReachabilityProber prober([&] { return sessions; }, {}, rec.sink(), 100ms);
    prober.use_echo(echo_answered_by("127.0.0.1", nullptr));
    std::thread runner([&] { prober.run(); });
    ASSERT_TRUE(testing::eventually([&] { return rec.count() >= 3; }, 5s)) << "timed rounds";
    EXPECT_EQ(rec.posted[0]["results"][0]["online"], true);

    prober.set_visible(false);
    // A round under way when it was hidden may still post: count from a quiet moment.
    std::this_thread::sleep_for(300ms);
    const std::size_t hidden_at = rec.count();
    prober.request_round();  // asked while hidden: waits for the window
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(rec.count(), hidden_at) << "no rounds while hidden";
    prober.set_visible(true);
    ASSERT_TRUE(testing::eventually([&] { return rec.count() > hidden_at; }, 5s));

    const auto asked = std::chrono::steady_clock::now();
    prober.stop();
    runner.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s) << "stop is prompt";
}

TEST(ReachabilitySchedule, OffMeansNoRoundEvenWhenAskedUntilOnAgain) {
    json sessions = json::array({network_session("s", "raw", "127.0.0.1", 23)});
    std::vector<std::string> asked;
    std::mutex asked_lock;
    Recorder rec;
    ReachabilityProber prober([&] { return sessions; }, {}, rec.sink(), 100ms);
    prober.use_echo(
        [&](const std::string& host, platform::IpFamily, int, const platform::SocketWake&) {
            std::lock_guard l(asked_lock);
            asked.push_back(host);
            return platform::EchoAnswer::answered;
        });
    prober.set_enabled(false);
    std::thread runner([&] { prober.run(); });
    prober.request_round();
    std::this_thread::sleep_for(400ms);
    {
        std::lock_guard l(asked_lock);
        EXPECT_TRUE(asked.empty()) << "a probe while off";
    }
    EXPECT_EQ(rec.count(), 0u);
    prober.set_enabled(true);
    EXPECT_TRUE(testing::eventually([&] { return rec.count() >= 1; }, 5s));
    prober.stop();
    runner.join();
}

TEST(ReachabilitySchedule, StopEndsAWaitAndAConnectInFlightAtOnce) {
    // 10.255.255.1 is not routed here: the connect waits for its time-out unless stopped.
    json sessions = json::array({network_session("slow", "ssh", "10.255.255.1", 9)});
    std::atomic<int> posted{0};
    ReachabilityProber prober([&] { return sessions; }, {}, [&](json) { ++posted; });
    prober.use_echo(echo_forbidden());
    std::thread runner([&] { prober.run(); });
    std::this_thread::sleep_for(200ms);  // inside the round's connect (or its time-out)
    const auto asked = std::chrono::steady_clock::now();
    prober.stop();
    runner.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms);
}

}  // namespace
}  // namespace termiva

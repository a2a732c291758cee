// The reachability prober: what it probes, the answers of one round against real
// sockets and files, and its schedule (visible, hidden, asked, stopped).
#include "app/reachability/reachability_prober.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

TEST(ReachabilityTargets, NetworkSessionsByHostAndPortSerialByDeviceShellsNot) {
    json sessions = json::array({
        {{"id", "a"}, {"protocol", "ssh"}, {"host", " example.org "}, {"port", "2222"}},
        {{"id", "b"}, {"host", "h"}},                                           // ssh, port 22
        {{"id", "c"}, {"protocol", "telnet"}, {"host", "h"}, {"port", 0}},      // 23
        {{"id", "d"}, {"protocol", "rlogin"}, {"host", "h"}, {"port", "x"}},    // 513
        {{"id", "e"}, {"protocol", "supdup"}, {"host", "h"}, {"port", 99999}},  // 95
        {{"id", "f"}, {"protocol", "serial"}, {"host", "/dev/ttyUSB0"}, {"port", 115200}},
        {{"id", "g"}, {"protocol", "conpty"}, {"host", "bash"}},
        {{"id", "h"}, {"protocol", "raw"}, {"host", ""}, {"port", 23}},
        {{"host", "no-id"}},
        "not a session",
    });
    const auto t = ReachabilityProber::targets_of(sessions);
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[0].host, "example.org");
    EXPECT_EQ(t[0].port, 2222);
    EXPECT_EQ(t[1].port, 22);
    EXPECT_EQ(t[2].port, 23);
    EXPECT_EQ(t[3].port, 513);
    EXPECT_EQ(t[4].port, 95);
    EXPECT_TRUE(t[5].device);
    EXPECT_EQ(t[5].host, "/dev/ttyUSB0");
    EXPECT_TRUE(ReachabilityProber::targets_of(json::object()).empty());
}

TEST(ReachabilityRound, ListeningPortsAndExistingDevicesAreOnlineTheRestOffline) {
    std::vector<Listener> up(6);
    const int closed = testing::free_loopback_port();
    testing::TempDir dir;
    std::ofstream(dir.path() / "ttyFAKE") << "";
    json sessions = json::array();
    for (std::size_t i = 0; i < up.size(); ++i) {
        sessions.push_back({{"id", "up" + std::to_string(i)},
                            {"protocol", "raw"},
                            {"host", "127.0.0.1"},
                            {"port", up[i].port()}});
    }
    sessions.push_back(
        {{"id", "down"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", closed}});
    sessions.push_back({{"id", "nameless"}, {"protocol", "raw"}, {"host", "no-such-host.invalid"}});
    sessions.push_back(
        {{"id", "dev"}, {"protocol", "serial"}, {"host", (dir.path() / "ttyFAKE").string()}});
    sessions.push_back(
        {{"id", "gone"}, {"protocol", "serial"}, {"host", (dir.path() / "ttyGONE").string()}});

    ReachabilityProber prober([&] { return sessions; }, [](json) {});
    const json message = prober.probe_round(ReachabilityProber::targets_of(sessions));
    EXPECT_EQ(message["type"], "ping_results");
    json expected = json::array();
    for (std::size_t i = 0; i < up.size(); ++i)
        expected.push_back({{"id", "up" + std::to_string(i)}, {"online", true}});
    expected.push_back({{"id", "down"}, {"online", false}});
    expected.push_back({{"id", "nameless"}, {"online", false}});
    expected.push_back({{"id", "dev"}, {"online", true}});
    expected.push_back({{"id", "gone"}, {"online", false}});
    EXPECT_EQ(message["results"], expected);
}

// Counts what the prober posts; the schedule is driven by a short interval.
struct Recorder {
    std::mutex lock;
    std::vector<json> posted;
    std::size_t count() {
        std::lock_guard l(lock);
        return posted.size();
    }
};

TEST(ReachabilitySchedule, RoundsAtStartOnRequestAndTimedOnlyWhileVisible) {
    Listener up;
    json sessions = json::array(
        {{{"id", "s"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", up.port()}}});
    Recorder rec;
    ReachabilityProber prober([&] { return sessions; },
                              [&](json m) {
                                  std::lock_guard l(rec.lock);
                                  rec.posted.push_back(std::move(m));
                              },
                              100ms);
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

TEST(ReachabilitySchedule, StopEndsAWaitAndAConnectInFlightAtOnce) {
    // 10.255.255.1 is not routed here: the connect waits for its time-out unless stopped.
    json sessions =
        json::array({{{"id", "slow"}, {"protocol", "raw"}, {"host", "10.255.255.1"}, {"port", 9}}});
    std::atomic<int> posted{0};
    ReachabilityProber prober([&] { return sessions; }, [&](json) { ++posted; });
    std::thread runner([&] { prober.run(); });
    std::this_thread::sleep_for(200ms);  // inside the round's connect (or its time-out)
    const auto asked = std::chrono::steady_clock::now();
    prober.stop();
    runner.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms);

    // Disabled: returns at once, never probes.
    ReachabilityProber off([&] { return sessions; }, [&](json) { ++posted; });
    off.set_enabled(false);
    off.run();
    EXPECT_FALSE(off.enabled());
}

}  // namespace
}  // namespace termiva

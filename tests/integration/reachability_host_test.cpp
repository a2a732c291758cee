// Reachability through the real termiva-host with its prober running: a probe never
// connects to a Raw, Telnet or RFC 2217 port (a serial device server would open, and
// perhaps reset, its device for it), tries an SSH port only when ICMP echo is forbidden and
// then seldom, leaves a session open in a tab alone, and sends nothing when turned off.
// Run as root, the ICMP case opens net.ipv4.ping_group_range for its length.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/icmp_echo.h"
#include "support/host_process.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const char* const PING_GROUPS = "/proc/sys/net/ipv4/ping_group_range";

// Accepts and counts every TCP connection to 127.0.0.1:port(), closing each at once.
class CountingListener {
public:
    CountingListener() {
        m_fd = testing::listen_on_loopback(16, m_port);
        m_thread = std::thread([this] {
            while (!m_stop) {
                pollfd p{m_fd, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0) continue;
                const int c = ::accept(m_fd, nullptr, nullptr);
                if (c < 0) continue;
                ++m_count;
                ::close(c);
            }
        });
    }
    ~CountingListener() {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    int port() const { return m_port; }
    int connections() const { return m_count; }

private:
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    std::thread m_thread;
};

std::string read_text(const char* path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

bool write_text(const char* path, const std::string& text) {
    std::ofstream out(path);
    out << text << "\n";
    out.flush();
    return static_cast<bool>(out);
}

// Sets who may send ICMP echo without privileges for the object's life; `ok()` false
// when this process cannot change it. The setting is the machine's: the tests that depend
// on it, run side by side, take turns through a lock file.
class PingGroups {
public:
    explicit PingGroups(const std::string& range)
        : m_lock(::open("/tmp/termiva-ping-group-range.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
        if (m_lock >= 0) ::flock(m_lock, LOCK_EX);
        m_saved = read_text(PING_GROUPS);
        m_ok = !m_saved.empty() && write_text(PING_GROUPS, range);
        m_now = read_text(PING_GROUPS);
    }
    ~PingGroups() {
        if (m_ok) write_text(PING_GROUPS, m_saved);
        if (m_lock >= 0) ::close(m_lock);
    }
    bool ok() const { return m_ok; }
    // The setting in force, as the system prints it ("1\t0": nobody).
    const std::string& now() const { return m_now; }

private:
    int m_lock;
    std::string m_saved;
    std::string m_now;
    bool m_ok = false;
};

class Reachability : public ::testing::Test {
protected:
    // The four kinds of session, each on its own counting port.
    void save_sessions() {
        const std::pair<const char*, CountingListener*> kinds[] = {
            {"raw", &raw}, {"telnet", &telnet}, {"telnet-serial", &rfc2217}, {"ssh", &ssh}};
        json sessions = json::array();
        for (const auto& [protocol, listener] : kinds) {
            sessions.push_back({{"id", std::string("id-") + protocol},
                                {"name", protocol},
                                {"protocol", protocol},
                                {"host", "127.0.0.1"},
                                {"port", listener->port()}});
        }
        std::filesystem::create_directories(dir.path());
        std::ofstream(dir.path() / "sessions.json") << json{{"sessions", sessions}}.dump();
    }

    // Saves a serial session whose device is missing: its dot comes from the next round.
    std::string save_marker(testing::HostProcess& host) {
        const json saved =
            host.call("save_session", json::array({json{{"name", "marker"},
                                                        {"protocol", "serial"},
                                                        {"host", "/dev/termiva-no-such-tty"}}}));
        return saved["id"].get<std::string>();
    }

    json status(testing::HostProcess& host) {
        return host.call("get_runtime_state")["session_status"];
    }

    bool status_is(testing::HostProcess& host, const std::string& id, const std::string& dot) {
        return testing::eventually([&] { return status(host).value(id, "") == dot; }, 15s);
    }

    void expect_no_connection_to_serial_like_ports() {
        EXPECT_EQ(raw.connections(), 0);
        EXPECT_EQ(telnet.connections(), 0);
        EXPECT_EQ(rfc2217.connections(), 0);
    }

    testing::TempDir dir;
    CountingListener raw, telnet, rfc2217, ssh;
};

TEST_F(Reachability, WithoutIcmpOnlyTheSshPortIsTriedAndOnlyOnceInFiveMinutes) {
    PingGroups closed("1 0");
    if (closed.now() != "1\t0") {
        GTEST_SKIP() << "ICMP echo is open here and this process cannot close it";
    }
    save_sessions();
    testing::HostProcess host(dir.path(), true);
    ASSERT_TRUE(status_is(host, "id-ssh", "online")) << status(host).dump();
    EXPECT_EQ(ssh.connections(), 1);
    // A save asks for a round at once: the SSH answer is reused, the rest still untouched.
    ASSERT_TRUE(status_is(host, save_marker(host), "offline"));
    EXPECT_EQ(ssh.connections(), 1);
    const json dots = status(host);
    EXPECT_FALSE(dots.contains("id-raw")) << "no answer is better than a probe: " << dots;
    expect_no_connection_to_serial_like_ports();

    // Turned off in the page's settings: no round at all, not even one asked for.
    const json set = host.call("set_page_settings", json::array({json{{"reachability", false}}}));
    EXPECT_EQ(set["settings"]["reachability"], false) << set.dump();
    EXPECT_EQ(host.quit(), 0);
    expect_no_connection_to_serial_like_ports();
}

TEST_F(Reachability, WithIcmpEveryHostIsPingedAndNoPortIsTouched) {
    PingGroups open("0 2147483647");
    if (!open.ok()) {
        if (::geteuid() == 0 && testing::peers_required()) FAIL() << "cannot open ICMP echo";
        GTEST_SKIP() << "opening ICMP echo needs root";
    }
    save_sessions();
    testing::HostProcess host(dir.path(), true);
    for (const char* id : {"id-raw", "id-telnet", "id-telnet-serial", "id-ssh"})
        EXPECT_TRUE(status_is(host, id, "online")) << id << ": " << status(host).dump();
    EXPECT_EQ(ssh.connections(), 0);
    expect_no_connection_to_serial_like_ports();
    EXPECT_EQ(host.quit(), 0);
}

TEST_F(Reachability, ASessionOpenInATabIsNotProbedItsDotIsTheTabs) {
    PingGroups closed("1 0");
    if (closed.now() != "1\t0") {
        GTEST_SKIP() << "ICMP echo is open here and this process cannot close it";
    }
    std::filesystem::create_directories(dir.path());
    std::ofstream(dir.path() / "settings.json") << json{{"reachability", false}}.dump();
    save_sessions();
    testing::HostProcess host(dir.path(), true);
    // Off from the start: nothing was sent.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(ssh.connections(), 0);
    EXPECT_TRUE(status(host).empty()) << status(host).dump();

    // The raw session in a tab: its dot is the tab's (the peer hangs up at once: ended).
    host.call("connect_session", json::array({"id-raw"}));
    ASSERT_TRUE(status_is(host, "id-raw", "offline")) << status(host).dump();
    EXPECT_EQ(raw.connections(), 1) << "the tab's own connection, nothing more";
    // The SSH session in a tab (it fails: nothing speaks SSH there), then the prober on:
    // it asks about everything else, not about the tabs' sessions.
    host.call("connect_session", json::array({"id-ssh"}));
    ASSERT_TRUE(status_is(host, "id-ssh", "offline")) << status(host).dump();
    EXPECT_EQ(ssh.connections(), 1);
    const json set = host.call("set_page_settings", json::array({json{{"reachability", true}}}));
    EXPECT_EQ(set["settings"]["reachability"], true) << set.dump();
    ASSERT_TRUE(status_is(host, save_marker(host), "offline")) << status(host).dump();
    EXPECT_EQ(ssh.connections(), 1) << "the tab's connection only";
    EXPECT_EQ(raw.connections(), 1);
    EXPECT_EQ(telnet.connections(), 0);
    EXPECT_EQ(rfc2217.connections(), 0);
    EXPECT_EQ(host.quit(), 0);
}

TEST(IcmpEcho, LoopbackAnswersOnBothFamiliesWhenAllowedAndNothingIsSentOtherwise) {
    const platform::SocketWake never;
    {
        PingGroups closed("1 0");
        if (closed.now() == "1\t0") {
            EXPECT_EQ(platform::icmp_echo("127.0.0.1", platform::IpFamily::any, 1000, never),
                      platform::EchoAnswer::unavailable);
            EXPECT_EQ(platform::icmp_echo("::1", platform::IpFamily::any, 1000, never),
                      platform::EchoAnswer::unavailable);
        }
    }
    PingGroups open("0 2147483647");
    if (!open.ok()) GTEST_SKIP() << "opening ICMP echo needs root";
    EXPECT_EQ(platform::icmp_echo("127.0.0.1", platform::IpFamily::any, 2000, never),
              platform::EchoAnswer::answered);
    EXPECT_EQ(platform::icmp_echo("::1", platform::IpFamily::any, 2000, never),
              platform::EchoAnswer::answered);
    // Only the addresses of the session's IP version are asked.
    EXPECT_EQ(platform::icmp_echo("127.0.0.1", platform::IpFamily::ipv6, 500, never),
              platform::EchoAnswer::silent);
    EXPECT_EQ(platform::icmp_echo("::1", platform::IpFamily::ipv4, 500, never),
              platform::EchoAnswer::silent);
    EXPECT_EQ(platform::icmp_echo("::1", platform::IpFamily::ipv6, 2000, never),
              platform::EchoAnswer::answered);
    EXPECT_EQ(platform::icmp_echo("no-such-host.invalid", platform::IpFamily::any, 300, never),
              platform::EchoAnswer::silent);
    // A stop ends the wait at once, whatever would have answered.
    platform::SocketWake stop;
    stop.signal();
    EXPECT_EQ(platform::icmp_echo("127.0.0.1", platform::IpFamily::any, 10000, stop),
              platform::EchoAnswer::silent);
}

}  // namespace
}  // namespace termiva

// Telnet, Telnet with RFC 2217 control and Rlogin tabs through the real termiva-host,
// against telnetd, ser2net and in.rlogind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "fixtures/peer_process.h"
#include "fixtures/rhosts_account.h"
#include "fixtures/ser2net_rig.h"
#include "support/flooding_peer.h"
#include "support/host_process.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

class StreamTab : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::HostProcess host{dir.path()};

    std::string open(const json& session) { return host.open_session(session); }
    bool alive(const std::string& tab) { return host.tab_alive(tab); }
    bool becomes_dead(const std::string& tab) { return host.becomes_dead(tab); }
    std::optional<json> info(const std::string& tab, const std::string& text, bool is_error,
                             std::chrono::milliseconds wait = 10s) {
        return host.wait_for_call(
            [&](const json& c) {
                return c["call"] == "setTerminalInfo" && c["args"][0] == tab &&
                       c["args"][1] == text && c["args"][2] == is_error;
            },
            wait);
    }
    bool connected(const std::string& tab) {
        return host
            .wait_for_call(
                [&](const json& c) {
                    return c["call"] == "terminalConnected" && c["args"][0] == tab;
                },
                10s)
            .has_value();
    }
};

class TelnetTab : public StreamTab {
protected:
    void SetUp() override {
        TERMIVA_REQUIRE_PROGRAM(socat, "socat");
        TERMIVA_REQUIRE_PROGRAM(telnetd, "telnetd");
        port = testing::free_loopback_port();
        peer = std::make_unique<testing::PeerProcess>(
            testing::socat_inetd(socat, port,
                                 telnetd.string() + " -h -E /bin/sh --accept-env=TERMIVA_VAR"),
            dir.path() / "telnetd.log");
        ASSERT_TRUE(peer->wait_port(port)) << peer->log();
    }
    json session(const std::string& name) {
        return {{"name", name}, {"protocol", "telnet"}, {"host", "127.0.0.1"}, {"port", port}};
    }
    int port = 0;
    std::unique_ptr<testing::PeerProcess> peer;
};

TEST_F(TelnetTab, ShellRoundTripTerminalTypeEnvironmentSizeAndEnd) {
    json s = session("telnetd");
    s["terminal_type"] = "vt220";
    s["telnet_env"] = json::array({json{{"key", "TERMIVA_VAR"}, {"value", "first"}}, "not a map",
                                   json{{"value", "no key"}}, json{{"key", ""}, {"value", "x"}},
                                   json{{"key", "TERMIVA_VAR"}, {"value", "from the session"}}});
    std::string tab = open(s);
    EXPECT_TRUE(
        info(tab, "Connecting to 127.0.0.1:" + std::to_string(port) + " (Telnet)...", false));
    ASSERT_TRUE(connected(tab));
    host.call("send_input", {tab, "echo \"[$TERM] [$TERMIVA_VAR]\" ok$((6*7))\r"});
    std::string out = host.drain_until(tab, "ok42", 10s);
    EXPECT_NE(out.find("[vt220] [from the session] ok42"), std::string::npos) << out;

    EXPECT_EQ(host.call("resize_pty", {tab, 31, 97}), true);
    host.call("send_input", {tab, "stty size\r"});
    out = host.drain_until(tab, "31 97", 10s);
    EXPECT_NE(out.find("31 97"), std::string::npos) << out;

    host.call("send_input", {tab, "exit\r"});
    EXPECT_TRUE(info(tab, "─── Connection ended ───", false));
    EXPECT_TRUE(becomes_dead(tab));
    EXPECT_EQ(host.quit(), 0);
}

TEST_F(TelnetTab, ByteFFBothWaysInAnEightBitEncoding) {
    json s = session("latin-1");
    s["line_code_page"] = "latin-1";
    std::string tab = open(s);
    ASSERT_TRUE(connected(tab));
    // 0xFF from the shell is ÿ in Latin-1; typed ÿ reaches the shell as one 0xFF.
    host.call("send_input", {tab, "printf '<\\377>\\n'\r"});
    std::string out = host.drain_until(tab, "<\xC3\xBF>", 10s);
    EXPECT_NE(out.find("<\xC3\xBF>"), std::string::npos) << out;
    host.call("send_input", {tab, "printf '%s' '\xC3\xBF' | od -An -tx1\r"});
    out = host.drain_until(tab, " ff\r\n", 10s);
    EXPECT_NE(out.find(" ff\r\n"), std::string::npos) << out;
    EXPECT_EQ(out.find(" ff ff"), std::string::npos) << out;
}

TEST_F(StreamTab, TelnetToAClosedPortShowsTheFailureLine) {
    int port = testing::free_loopback_port();
    std::string tab = open({{"name", "closed"},
                            {"protocol", "telnet"},
                            {"host", "127.0.0.1"},
                            {"port", std::to_string(port)}});
    EXPECT_TRUE(info(tab, "Connection failed: Connection refused", true));
    EXPECT_TRUE(becomes_dead(tab));
    EXPECT_EQ(host.call("send_input", {tab, "x"}), false);
}

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// A server that reads nothing, while a paste holds the tab's writer, and asks for the
// terminal type again and again. Every answer used to be queued (hundreds of MiB) and the
// paste copied several times on its way; now the answers wait in a bounded queue, past it
// the reader takes no more requests, the paste is moved along rather than copied, and
// closing the tab ends the blocked paste and the reader at once.
TEST_F(StreamTab, ATelnetServerFloodingRequestsWhileReadingNothingKeepsTheHostBounded) {
    if (testing::host_under_wine()) {
        GTEST_SKIP() << "the host's memory is read from /proc, where Wine's launcher stands "
                        "for the Windows host";
    }
    int port = 0;
    const int listener = testing::listen_on_loopback(1, port);
    ASSERT_GE(listener, 0);
    std::shared_ptr<void> listening(nullptr, [listener](void*) { ::close(listener); });
    std::string ask;
    for (int i = 0; i < 10000; ++i)
        ask += "\xff\xfa\x18\x01\xff\xf0";  // SB TERMINAL-TYPE SEND SE
    testing::FloodingPeer server(listener, "\xff\xfd\x18" /* DO TERMINAL-TYPE */, ask,
                                 std::size_t{400} << 20);
    const std::string tab =
        open({{"name", "flood"}, {"protocol", "telnet"}, {"host", "127.0.0.1"}, {"port", port}});
    ASSERT_TRUE(connected(tab));
    const long before = resident_kib(host.pid());
    constexpr std::size_t PASTE = std::size_t{16} << 20;
    // Not answered until the tab closes: the server never takes it.
    host.send_line(
        json{{"id", "paste"}, {"op", "send_input"}, {"args", {tab, std::string(PASTE, 'p')}}}
            .dump());
    long peak = before;
    bool stalled = false;
    for (std::size_t seen = 0, i = 0; !stalled && i < 30; ++i) {
        std::this_thread::sleep_for(500ms);
        peak = std::max(peak, resident_kib(host.pid()));
        stalled = server.sent() > 0 && server.sent() == seen;
        seen = server.sent();
    }
    EXPECT_TRUE(stalled) << server.sent() << " bytes of requests taken in and still reading";
    EXPECT_LT(server.sent(), std::size_t{24} << 20) << "the reader went on taking requests";
    // The paste's text, its encoding and its Telnet form (about 50 MiB alone; under load the
    // allocator's arenas keep more), plus the bounded answers: the answers alone used to add
    // hundreds of MiB.
    EXPECT_LT(peak - before, 128 * 1024) << "resident " << before << " -> " << peak << " KiB";

    const auto closing = std::chrono::steady_clock::now();
    host.call("close_tab", {tab}, 5s);
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 1s);
    EXPECT_EQ(host.call("get_runtime_state")["tabs"].size(), 0u);
    server.stop();
    EXPECT_EQ(host.quit(), 0);
}

// ser2net in front of one end of a socat pty pair.
class TelnetSerialTab : public StreamTab {
protected:
    void SetUp() override {
        TERMIVA_REQUIRE_PROGRAM(socat, "socat");
        TERMIVA_REQUIRE_PROGRAM(ser2net, "ser2net");
        TERMIVA_REQUIRE_PROGRAM(stty_program, "stty");
        rig = std::make_unique<testing::Ser2netRig>(
            testing::Ser2netPrograms{socat, ser2net, stty_program}, dir.path());
        ASSERT_EQ(rig->problem(), "");
        port = rig->port();
        device = rig->device();
    }
    std::string stty() { return rig->stty(); }
    std::string read_device(std::size_t want) { return rig->read_device(want); }
    std::unique_ptr<testing::Ser2netRig> rig;
    int port = 0;
    int device = -1;
};

TEST_F(TelnetSerialTab, SessionSettingsReachThePortAndBytesFlow) {
    std::string tab = open({{"name", "rfc2217"},
                            {"protocol", "telnet-serial"},
                            {"host", "127.0.0.1"},
                            {"port", port},
                            {"serial_baud", "38400"},
                            {"serial_bits", 8},
                            {"serial_parity", "N"},
                            {"serial_stop", 2},
                            {"serial_flow", "X"},
                            {"telnet_env", json::array({json{{"key", "A"}, {"value", "b"}}})}});
    EXPECT_TRUE(info(tab,
                     "Connecting to 127.0.0.1:" + std::to_string(port) +
                         " (Telnet / RFC 2217 @ 38400 bps 8-N-2 flow=X)...",
                     false));
    ASSERT_TRUE(connected(tab));
    // ser2net applies the settings one by one as they arrive: wait for the last of them.
    std::string settings;
    auto all_applied = [&] {
        return settings.find("speed 38400 baud") != std::string::npos &&
               settings.find(" cstopb") != std::string::npos &&
               settings.find(" ixon") != std::string::npos;
    };
    for (auto until = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < until;) {
        settings = stty();
        if (all_applied()) break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(settings.find("speed 38400 baud"), std::string::npos) << settings;
    EXPECT_NE(settings.find(" cstopb"), std::string::npos) << settings;
    EXPECT_NE(settings.find(" ixon"), std::string::npos) << settings;

    host.call("send_input", {tab, "AT\r"});
    EXPECT_EQ(read_device(3), "AT\r");
    std::string reply = "OK from the device\r\n";
    ASSERT_EQ(::write(device, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    std::string out = host.drain_until(tab, "OK from the device", 10s);
    EXPECT_NE(out.find("OK from the device"), std::string::npos) << out;
    for (const auto& line : host.info_lines(tab))
        EXPECT_EQ(line.find("The server set"), std::string::npos) << line;
}

TEST_F(TelnetSerialTab, NonNumericDataBitsFallBackTo8AndAChangedValueIsShown) {
    std::string tab = open({{"name", "odd"},
                            {"protocol", "telnet-serial"},
                            {"host", "127.0.0.1"},
                            {"port", port},
                            {"serial_bits", "eight"},
                            {"serial_flow", "D"}});
    EXPECT_TRUE(info(tab,
                     "Connecting to 127.0.0.1:" + std::to_string(port) +
                         " (Telnet / RFC 2217 @ 9600 bps 8-N-1 flow=D)...",
                     false));
    EXPECT_TRUE(info(tab, "Data bits \"eight\" is not a number; using 8.", false));
    ASSERT_TRUE(connected(tab));
    auto changed = host.wait_for_call(
        [&](const json& c) {
            return c["call"] == "setTerminalInfo" && c["args"][0] == tab &&
                   c["args"][1].get<std::string>().rfind("The server set flow=", 0) == 0;
        },
        10s);
    ASSERT_TRUE(changed);
    EXPECT_NE((*changed)["args"][1].get<std::string>().find("instead of D."), std::string::npos);
    EXPECT_TRUE(alive(tab));
}

// in.rlogind, as root, logging into an account of the test's own through its .rhosts.
class RloginTab : public StreamTab {
protected:
    static constexpr const char* ACCOUNT = testing::RhostsAccount::NAME;

    void SetUp() override {
        TERMIVA_REQUIRE_PROGRAM(socat, "socat");
        TERMIVA_REQUIRE_PROGRAM(rlogind, "in.rlogind");
        if (::geteuid() != 0) GTEST_SKIP() << "in.rlogind runs as root only";
        account = std::make_unique<testing::RhostsAccount>(std::vector<std::string>{"tab-client"});
        ASSERT_TRUE(account->ready());
        port = testing::free_loopback_port();
        peer = std::make_unique<testing::PeerProcess>(
            testing::socat_inetd(socat, port, rlogind.string()), dir.path() / "rlogind.log");
        ASSERT_TRUE(peer->wait_port(port)) << peer->log();
    }
    std::unique_ptr<testing::RhostsAccount> account;
    std::unique_ptr<testing::PeerProcess> peer;
    int port = 0;
};

TEST_F(RloginTab, LocalAccountHandshakeRoundTripAndSize) {
    std::string tab = open({{"name", "rlogin"},
                            {"protocol", "rlogin"},
                            {"host", "127.0.0.1"},
                            {"port", port},
                            {"rlogin_local_user", "tab-client"},
                            {"username", ACCOUNT},
                            {"terminal_type", "vt100"}});
    EXPECT_TRUE(info(tab,
                     "Connecting to 127.0.0.1:" + std::to_string(port) +
                         " (Rlogin, local account=tab-client)...",
                     false));
    ASSERT_TRUE(connected(tab));
    host.call("send_input", {tab, "echo \"$(id -un) $TERM\" ok$((6*7))\r"});
    std::string out = host.drain_until(tab, "ok42", 10s);
    EXPECT_NE(out.find(std::string(ACCOUNT) + " vt100 ok42"), std::string::npos) << out;
    EXPECT_EQ(host.call("resize_pty", {tab, 29, 91}), true);
    host.call("send_input", {tab, "stty size\r"});
    out = host.drain_until(tab, "29 91", 10s);
    EXPECT_NE(out.find("29 91"), std::string::npos) << out;
    host.call("send_input", {tab, "exit\r"});
    EXPECT_TRUE(info(tab, "─── Connection ended ───", false));
}

TEST_F(StreamTab, RloginWithoutAccountsUsesTheSystemsUserName) {
    int port = testing::free_loopback_port();
    const char* user = std::getenv("USERNAME");
    if (!user || !*user) user = std::getenv("USER");
    std::string expected = user && *user ? user : "user";
    // A Windows program under Wine has the USERNAME Wine sets: the account running it.
    if (testing::host_under_wine()) {
        if (const passwd* account = ::getpwuid(::geteuid())) expected = account->pw_name;
    }
    std::string tab =
        open({{"name", "closed"}, {"protocol", "rlogin"}, {"host", "127.0.0.1"}, {"port", port}});
    EXPECT_TRUE(info(tab,
                     "Connecting to 127.0.0.1:" + std::to_string(port) +
                         " (Rlogin, local account=" + expected + ")...",
                     false));
    EXPECT_TRUE(info(tab, "Rlogin connection failed: Connection refused", true));
    EXPECT_TRUE(becomes_dead(tab));
}

}  // namespace
}  // namespace termiva

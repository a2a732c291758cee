// SshConnection against a real OpenSSH server: authentication, known hosts, the shell
// channel, keep-alive, legacy algorithms and port forwarding.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>

#include "connect/ssh2/ssh_bugs.h"
#include "connect/ssh2/ssh_connection.h"
#include "connect/ssh2/ssh_forward.h"
#include "connect/ssh2/ssh_prefs.h"
#include "fixtures/sshd_fixture.h"
#include "integration/ssh_test_helpers.h"
#include "support/env_override.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using testing::SshdFixture;
using namespace std::chrono_literals;

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SshConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        TERMIVA_REQUIRE_PROGRAM(sshd, "sshd");
        TERMIVA_REQUIRE_PROGRAM(keygen, "ssh-keygen");
        m_sshd_path = sshd;
        m_keygen_path = keygen;
        server = std::make_unique<SshdFixture>(sshd, keygen, server_options());
    }

    virtual testing::SshdOptions server_options() { return {}; }

    SshConnectOptions key_login() {
        SshConnectOptions options;
        options.host = "127.0.0.1";
        options.port = server->port();
        options.username = SshdFixture::login_user();
        options.key_file = server->client_key();
        options.look_for_keys = false;
        options.timeout = 10s;
        options.known_hosts_file = home.path() / "known_hosts";
        return options;
    }

    // A connection with a shell on a pseudo-terminal, ready for commands.
    std::shared_ptr<SshChannel> open_shell(SshConnection& connection) {
        auto channel = connection.open_session();
        connection.get_pty(channel, "xterm", 80, 24);
        connection.invoke_shell(channel);
        return channel;
    }

    // Runs a command in the shell and returns what came back up to `marker`.
    std::string run_in_shell(SshChannel& channel, const std::string& command,
                             const std::string& marker) {
        channel.send(command + "\n");
        return testing::read_until(channel, marker);
    }

    testing::TempDir home;
    std::unique_ptr<SshdFixture> server;
    std::filesystem::path m_sshd_path, m_keygen_path;
};

TEST_F(SshConnectionTest, PublicKeyLoginGivesAWorkingShell) {
    SshConnection connection;
    connection.connect(key_login());
    EXPECT_TRUE(connection.is_active());
    auto channel = open_shell(connection);
    // The quotes keep the echoed command line from matching the marker.
    const std::string out = run_in_shell(*channel, "echo round'-'trip-ok", "round-trip-ok");
    EXPECT_NE(out.find("round-trip-ok"), std::string::npos) << out;
}

TEST_F(SshConnectionTest, WindowChangeReachesTheServerPty) {
    SshConnection connection;
    connection.connect(key_login());
    auto channel = open_shell(connection);
    EXPECT_NE(run_in_shell(*channel, "stty size; echo size'-'done", "size-done").find("24 80"),
              std::string::npos);
    channel->resize_pty(132, 50);
    const std::string out = run_in_shell(*channel, "stty size; echo size'-'again", "size-again");
    EXPECT_NE(out.find("50 132"), std::string::npos) << out;
}

TEST_F(SshConnectionTest, PeerExitEndsTheChannel) {
    SshConnection connection;
    connection.connect(key_login());
    auto channel = open_shell(connection);
    channel->send("exit\n");
    testing::read_until(*channel, "never-printed", 10s);
    EXPECT_TRUE(channel->closed());
    EXPECT_EQ(channel->recv(4096), "");
    EXPECT_THROW(channel->send("late\n"), BackendError);
}

TEST_F(SshConnectionTest, CloseFromAnotherThreadEndsABlockedRecv) {
    SshConnection connection;
    connection.connect(key_login());
    auto channel = open_shell(connection);
    testing::read_until(*channel, "#", 2s);  // let the prompt pass
    auto reader = std::async(std::launch::async, [&] {
        std::string all;
        for (;;) {
            const std::string data = channel->recv(4096);
            if (data.empty()) return all;
            all += data;
        }
    });
    std::this_thread::sleep_for(200ms);
    connection.close();
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(channel->closed());
    EXPECT_FALSE(connection.is_active());
}

TEST_F(SshConnectionTest, WrongKeyIsAnAuthenticationFailure) {
    const auto options = key_login();
    // sshd reads authorized_keys afresh for every login: now it knows no key.
    std::ofstream(server->dir() / "authorized_keys", std::ios::trunc).flush();
    SshConnection connection;
    try {
        connection.connect(options);
        FAIL() << "connected with a key that is not authorized";
    } catch (const SshAuthError& e) {
        EXPECT_NE(std::string(e.what()).find("publickey"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(connection.is_active());
}

TEST_F(SshConnectionTest, UnreadableKeyFileIsNamedInTheFailure) {
    auto options = key_login();
    std::ofstream(home.path() / "garbage.pem") << "-----BEGIN NONSENSE-----\nxyz\n";
    options.key_file = home.path() / "garbage.pem";
    SshConnection connection;
    try {
        connection.connect(options);
        FAIL() << "connected without a usable key";
    } catch (const SshAuthError& e) {
        EXPECT_NE(std::string(e.what()).find("garbage.pem"), std::string::npos) << e.what();
    }
}

TEST_F(SshConnectionTest, DefaultKeysInTheUsersSshFolderAreTriedWhenAsked) {
    const auto ssh_dir = home.path() / ".ssh";
    std::filesystem::create_directories(ssh_dir);
    std::filesystem::copy_file(server->client_key(), ssh_dir / "id_ed25519");
    testing::EnvOverride home_env("HOME", home.path().string());
    auto options = key_login();
    options.key_file.reset();
    options.look_for_keys = false;
    SshConnection without;
    EXPECT_THROW(without.connect(options), SshAuthError);
    options.look_for_keys = true;
    SshConnection with;
    EXPECT_NO_THROW(with.connect(options));
}

TEST_F(SshConnectionTest, AgentKeysAreTriedOnlyWhenAllowed) {
    TERMIVA_REQUIRE_PROGRAM(agent, "ssh-agent");
    TERMIVA_REQUIRE_PROGRAM(add, "ssh-add");
    const auto socket = home.path() / "agent.sock";
    FILE* started = ::popen(("'" + agent.string() + "' -a '" + socket.string() + "'").c_str(), "r");
    ASSERT_NE(started, nullptr);
    std::string said;
    char buf[256];
    while (std::fgets(buf, sizeof buf, started))
        said += buf;
    ::pclose(started);
    const auto at = said.find("SSH_AGENT_PID=");
    ASSERT_NE(at, std::string::npos) << said;
    const pid_t agent_pid = std::stoi(said.substr(at + 14));
    struct AgentStop {
        pid_t pid;
        ~AgentStop() { ::kill(pid, SIGTERM); }
    } stop_agent{agent_pid};
    testing::EnvOverride agent_env("SSH_AUTH_SOCK", socket.string());
    ASSERT_EQ(std::system(
                  ("'" + add.string() + "' '" + server->client_key().string() + "' >/dev/null 2>&1")
                      .c_str()),
              0);
    auto options = key_login();
    options.key_file.reset();
    options.allow_agent = false;
    SshConnection without;
    EXPECT_THROW(without.connect(options), SshAuthError);
    options.allow_agent = true;
    SshConnection with;
    EXPECT_NO_THROW(with.connect(options));
}

TEST_F(SshConnectionTest, ClosedPortIsAConnectionFailure) {
    auto options = key_login();
    options.port = testing::free_loopback_port();
    SshConnection connection;
    try {
        connection.connect(options);
        FAIL() << "connected to a closed port";
    } catch (const SshAuthError&) {
        FAIL() << "a closed port is not an authentication failure";
    } catch (const BackendError& e) {
        EXPECT_FALSE(std::string(e.what()).empty());
    }
}

TEST_F(SshConnectionTest, CloseFromAnotherThreadCutsAHangingConnectShort) {
    testing::SilentListener silent;
    auto options = key_login();
    options.port = silent.port();
    SshConnection connection;
    auto attempt = std::async(std::launch::async, [&] { connection.connect(options); });
    EXPECT_EQ(attempt.wait_for(500ms), std::future_status::timeout);  // still waiting
    connection.close();
    ASSERT_EQ(attempt.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(attempt.get(), BackendError);
    EXPECT_FALSE(connection.is_active());
}

TEST_F(SshConnectionTest, HostNameCannotCarryAUserName) {
    auto options = key_login();
    options.host = "nobody@127.0.0.1";
    SshConnection connection;
    EXPECT_THROW(connection.connect(options), BackendError);
}

TEST_F(SshConnectionTest, PasswordLoginAndWrongPassword) {
    const auto password = SshdFixture::password_account();
    if (!password) {
        if (testing::peers_required()) FAIL() << "cannot create the password test account";
        GTEST_SKIP() << "password login needs root to create a test account";
    }
    auto options = key_login();
    options.key_file.reset();
    options.username = SshdFixture::PASSWORD_USER;
    options.password = *password;
    {
        SshConnection connection;
        connection.connect(options);
        auto channel = open_shell(connection);
        EXPECT_NE(run_in_shell(*channel, "echo pass'-'ok", "pass-ok").find("pass-ok"),
                  std::string::npos);
    }
    options.password = "not-the-password";
    SshConnection refused;
    try {
        refused.connect(options);
        FAIL() << "a wrong password was accepted";
    } catch (const SshAuthError& e) {
        EXPECT_NE(std::string(e.what()).find("password"), std::string::npos) << e.what();
    }
}

TEST_F(SshConnectionTest, FirstConnectionRecordsTheHostAndAChangedKeyIsRefused) {
    const auto options = key_login();
    ASSERT_FALSE(std::filesystem::exists(options.known_hosts_file));
    {
        SshConnection connection;
        connection.connect(options);
    }
    const std::string recorded = read_text(options.known_hosts_file);
    EXPECT_NE(recorded.find("[127.0.0.1]:" + std::to_string(server->port())), std::string::npos)
        << recorded;
    EXPECT_NE(recorded.find("ssh-ed25519"), std::string::npos);
    {
        SshConnection again;  // the recorded key matches
        EXPECT_NO_THROW(again.connect(options));
    }
    server->restart_with_new_host_key();
    SshConnection changed;
    try {
        changed.connect(options);
        FAIL() << "a changed host key was accepted";
    } catch (const SshAuthError&) {
        FAIL() << "a changed host key is not an authentication failure";
    } catch (const BackendError& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("host key"), std::string::npos) << text;
        EXPECT_NE(text.find("changed"), std::string::npos) << text;
    }
    EXPECT_EQ(read_text(options.known_hosts_file), recorded);  // nothing was overwritten
}

TEST_F(SshConnectionTest, CorruptKnownHostsFileDoesNotStopTheConnection) {
    const auto options = key_login();
    std::ofstream(options.known_hosts_file) << "garbage line without fields\n\x01\x02\xff\n";
    SshConnection connection;
    EXPECT_NO_THROW(connection.connect(options));
}

TEST_F(SshConnectionTest, CompressedConnectionCarriesData) {
    auto options = key_login();
    options.compress = true;
    SshConnection connection;
    connection.connect(options);
    auto channel = open_shell(connection);
    const std::string out = run_in_shell(
        *channel, "head -c 20000 /dev/zero | tr '\\0' a | wc -c; echo z'-'end", "z-end");
    EXPECT_NE(out.find("20000"), std::string::npos) << out;
}

TEST_F(SshConnectionTest, KeepAliveIsSentAndCanChangeLive) {
    SshConnection connection;
    connection.connect(key_login());
    auto channel = open_shell(connection);
    EXPECT_EQ(connection.keepalives_sent(), 0);
    connection.set_keepalive(1);
    EXPECT_TRUE(testing::eventually([&] { return connection.keepalives_sent() >= 2; }, 15s))
        << connection.keepalives_sent() << " keep-alives sent";
    EXPECT_EQ(connection.keepalive(), 1);
    connection.set_keepalive(0);
    const int after_off = connection.keepalives_sent();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(connection.keepalives_sent(), after_off);
    // The server is still happy with the connection.
    EXPECT_NE(run_in_shell(*channel, "echo alive'-'ok", "alive-ok").find("alive-ok"),
              std::string::npos);
}

TEST_F(SshConnectionTest, GlobalRequestKeepAliveWhenTheServerChokesOnIgnore) {
    SshConnection connection;
    auto options = key_login();
    options.bugs = SSHBugSpec(std::map<std::string, std::string>{{"ignore2", "on"}});
    connection.connect(options);
    auto channel = open_shell(connection);
    connection.set_keepalive(1);
    EXPECT_TRUE(testing::eventually([&] { return connection.keepalives_sent() >= 1; }, 15s));
    EXPECT_NE(run_in_shell(*channel, "echo still'-'here", "still-here").find("still-here"),
              std::string::npos);
}

TEST_F(SshConnectionTest, AServerThatDropsEarlyBytesIsWaitedForOnlyWhenTheSessionSaysSo) {
    auto options = key_login();
    {
        testing::LateGreetingProxy server_late(server->port(), 300ms);
        options.port = server_late.port();
        SshConnection plain;
        EXPECT_THROW(plain.connect(options), BackendError);  // our greeting went nowhere
    }
    testing::LateGreetingProxy server_late(server->port(), 300ms);
    options.port = server_late.port();
    options.bugs = SSHBugSpec(std::map<std::string, std::string>{{"dropstart", "on"}});
    SshConnection waiting;
    waiting.connect(options);
    auto channel = open_shell(waiting);
    EXPECT_NE(run_in_shell(*channel, "echo late'-'greeting", "late-greeting").find("late-greeting"),
              std::string::npos);
}

TEST_F(SshConnectionTest, LocalForwardCarriesAConnectionAndClosesWithTheConnection) {
    testing::EchoServer echo;
    auto connection = std::make_unique<SshConnection>();
    connection->connect(key_login());
    const int local_port = testing::free_loopback_port();
    EXPECT_EQ(_open_local_forward(*connection, local_port, "127.0.0.1", echo.port()), local_port);
    EXPECT_EQ(testing::tcp_round_trip(local_port, "through the tunnel"), "through the tunnel");
    EXPECT_EQ(testing::tcp_round_trip(local_port, "second"), "second");
    EXPECT_EQ(echo.connections(), 2);
    EXPECT_FALSE(testing::port_is_free(local_port));
    connection->close();
    EXPECT_TRUE(testing::port_is_free(local_port));
}

TEST_F(SshConnectionTest, EveryCloserReturnsOnlyOnceTheListenerIsGone) {
    SshConnection connection;
    connection.connect(key_login());
    const int local_port = _open_local_forward(connection, 0, "127.0.0.1", 9);
    auto other = std::async(std::launch::async, [&] { connection.close(); });
    connection.close();
    EXPECT_TRUE(testing::port_is_free(local_port));
    other.get();
    EXPECT_TRUE(testing::port_is_free(local_port));
}

TEST_F(SshConnectionTest, LocalForwardOnABusyPortFails) {
    testing::EchoServer echo;  // holds its own port
    SshConnection connection;
    connection.connect(key_login());
    EXPECT_THROW(_open_local_forward(connection, echo.port(), "127.0.0.1", 9), BackendError);
}

TEST_F(SshConnectionTest, LocalForwardToAnUnreachableDestinationDropsOnlyThatConnection) {
    testing::EchoServer echo;
    SshConnection connection;
    connection.connect(key_login());
    const int dead_port = testing::free_loopback_port();
    const int local_port =
        _open_local_forward(connection, testing::free_loopback_port(), "127.0.0.1", dead_port);
    EXPECT_EQ(testing::tcp_round_trip(local_port, "nobody home", 3s), "");
    const int good_port =
        _open_local_forward(connection, testing::free_loopback_port(), "127.0.0.1", echo.port());
    EXPECT_EQ(testing::tcp_round_trip(good_port, "still works"), "still works");
}

// A peer that opens connection after connection gets a thread and two descriptors for
// each only up to the limit; the rest are closed at once, the tab is told once per run of
// refusals, and room comes back as served connections end.
TEST_F(SshConnectionTest, ForwardedConnectionsBeyondTheLimitAreRefusedAndToldOnce) {
    testing::EchoServer echo;
    SshConnection connection;
    connection.connect(key_login());
    std::atomic<int> told{0};
    connection.limit_forwarded(2, [&] { ++told; });
    const int port = _open_local_forward(connection, 0, "127.0.0.1", echo.port());
    const int first = testing::held_through(port);
    const int second = testing::held_through(port);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_EQ(testing::tcp_round_trip(port, "third", 3s), "");
    EXPECT_EQ(testing::tcp_round_trip(port, "fourth", 3s), "");
    EXPECT_EQ(told.load(), 1);
    ::close(first);
    EXPECT_TRUE(testing::eventually(
        [&] { return testing::tcp_round_trip(port, "room again", 2s) == "room again"; }, 15s));
    ::close(second);
    EXPECT_EQ(echo.connections(), 3);
}

TEST_F(SshConnectionTest, RemoteForwardBringsAConnectionBack) {
    testing::EchoServer echo;
    SshConnection connection;
    connection.connect(key_login());
    const int remote_port = testing::free_loopback_port();
    const int bound = connection.request_port_forward(
        "", remote_port,
        [&connection, &echo](std::shared_ptr<SshChannel> channel, SshAddress, SshAddress) {
            _remote_handler(channel, "127.0.0.1", echo.port(), connection.stopping());
        });
    EXPECT_EQ(bound, remote_port);
    // sshd listens on the server side, which here is this machine.
    EXPECT_EQ(testing::tcp_round_trip(remote_port, "from the server side"), "from the server side");
    EXPECT_EQ(echo.connections(), 1);
}

TEST_F(SshConnectionTest, RemoteForwardToAnUnreachableLocalPortClosesTheChannel) {
    SshConnection connection;
    connection.connect(key_login());
    const int remote_port = testing::free_loopback_port();
    const int dead_port = testing::free_loopback_port();
    connection.request_port_forward(
        "", remote_port,
        [&connection, dead_port](std::shared_ptr<SshChannel> channel, SshAddress, SshAddress) {
            _remote_handler(channel, "127.0.0.1", dead_port, connection.stopping());
        });
    EXPECT_EQ(testing::tcp_round_trip(remote_port, "lost", 3s), "");
    EXPECT_TRUE(connection.is_active());
}

class LegacySshdTest : public SshConnectionTest {
protected:
    testing::SshdOptions server_options() override {
        return {{"Ciphers aes128-cbc", "KexAlgorithms diffie-hellman-group14-sha1"}, 0};
    }
};

TEST_F(LegacySshdTest, ModernDefaultsCannotNegotiate) {
    SshConnection connection;
    try {
        connection.connect(key_login());
        FAIL() << "negotiated with a legacy-only server on default algorithms";
    } catch (const SshAuthError&) {
        FAIL() << "a negotiation failure is not an authentication failure";
    } catch (const BackendError&) {
    }
}

TEST_F(LegacySshdTest, LegacyPreferencesInTheOptionsConnect) {
    SshConnection connection;
    auto options = key_login();
    options.prefs = LEGACY_SSH_PREFS;
    EXPECT_NO_THROW(connection.connect(options));
    auto channel = open_shell(connection);
    EXPECT_NE(run_in_shell(*channel, "echo legacy'-'ok", "legacy-ok").find("legacy-ok"),
              std::string::npos);
}

TEST_F(LegacySshdTest, PreferencesOfOneConnectionDoNotApplyToAnother) {
    auto legacy = key_login();
    legacy.prefs = LEGACY_SSH_PREFS;
    auto other = std::async(std::launch::async, [this] {
        SshConnection connection;
        connection.connect(key_login());
    });
    SshConnection connection;
    EXPECT_NO_THROW(connection.connect(legacy));
    EXPECT_THROW(other.get(), BackendError);
}

TEST_F(LegacySshdTest, ExplicitListsAloneAlsoConnect) {
    SshConnection connection;
    auto options = key_login();
    options.prefs = SshPrefs{{"kex", {"diffie-hellman-group14-sha1"}}, {"ciphers", {"aes128-cbc"}}};
    EXPECT_NO_THROW(connection.connect(options));
}

}  // namespace
}  // namespace termiva

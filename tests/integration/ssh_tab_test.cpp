// SSH-2 tabs end to end: TermivaApp opens sessions against a real sshd, the page's side
// is a window that records every script.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "app/termiva_app.h"
#include "connect/ssh2/ssh_connection.h"
#include "fixtures/sshd_fixture.h"
#include "integration/ssh_test_helpers.h"
#include "support/recording_window.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using testing::SshdFixture;
using namespace std::chrono_literals;

class SshTabTest : public ::testing::Test {
protected:
    void SetUp() override {
        TERMIVA_REQUIRE_PROGRAM(sshd, "sshd");
        TERMIVA_REQUIRE_PROGRAM(keygen, "ssh-keygen");
        // Default keys and the agent of whoever runs the tests must not take part.
        ::setenv("HOME", home.path().c_str(), 1);
        ::unsetenv("SSH_AUTH_SOCK");
        server = std::make_unique<SshdFixture>(sshd, keygen, server_options());
        app = std::make_unique<TermivaApp>(nullptr, nullptr, data.path());
        app->set_window(window);
    }
    void TearDown() override {
        if (app) {
            for (const auto& id : app->tabs().order())
                app->tabs().close_tab(id);
        }
        app.reset();
    }

    virtual testing::SshdOptions server_options() { return {}; }

    json key_session() const {
        return json{{"name", "test"},
                    {"protocol", "ssh"},
                    {"host", "127.0.0.1"},
                    {"port", server->port()},
                    {"username", SshdFixture::login_user()},
                    {"private_key", server->client_key().string()}};
    }

    std::string open(json session) {
        const json saved = app->save_session(std::move(session));
        const json state = app->tabs().connect_session(saved["id"]);
        return state["tab_id"].get<std::string>();
    }

    // The first page script containing every one of `parts`, waiting up to `limit`.
    std::string wait_for_script(const std::vector<std::string>& parts,
                                std::chrono::milliseconds limit = 15s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        do {
            for (const auto& script : window->scripts()) {
                bool all = true;
                for (const auto& part : parts)
                    all = all && script.find(part) != std::string::npos;
                if (all) return script;
            }
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < deadline);
        std::string seen;
        for (const auto& script : window->scripts())
            seen += script + "\n";
        ADD_FAILURE() << "no page script with " << parts.front() << "; scripts were:\n" << seen;
        return {};
    }

    bool has_script(const std::string& part) {
        for (const auto& script : window->scripts()) {
            if (script.find(part) != std::string::npos) return true;
        }
        return false;
    }

    void wait_connected(const std::string& tab) { wait_for_script({"terminalConnected", tab}); }

    std::string drain_until(const std::string& tab, const std::string& needle,
                            std::chrono::milliseconds limit = 10s) {
        std::string seen;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (seen.find(needle) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            seen += app->tabs().drain_terminal(tab);
            std::this_thread::sleep_for(20ms);
        }
        return seen;
    }

    bool alive(const std::string& tab) {
        const json state = app->tabs().get_runtime_state();
        for (const auto& t : state["tabs"]) {
            if (t["id"] == tab) return t["alive"].get<bool>();
        }
        return false;
    }

    testing::TempDir home;
    testing::TempDir data;
    std::shared_ptr<testing::RecordingWindow> window = std::make_shared<testing::RecordingWindow>();
    std::unique_ptr<SshdFixture> server;
    std::unique_ptr<TermivaApp> app;
};

TEST_F(SshTabTest, KeyLoginShellRoundTripResizeAndPeerExit) {
    const std::string tab = open(key_session());
    wait_for_script({"setTerminalInfo", tab,
                     "Connecting to 127.0.0.1:" + std::to_string(server->port()) + "..."});
    wait_connected(tab);
    EXPECT_TRUE(app->tabs().send_input(tab, "echo hel''lo-tab\n"));
    EXPECT_NE(drain_until(tab, "hello-tab").find("hello-tab"), std::string::npos);

    EXPECT_TRUE(app->tabs().resize_pty(tab, 30, 100));
    app->tabs().send_input(tab, "stty size; echo si''ze-done\n");
    EXPECT_NE(drain_until(tab, "size-done").find("30 100"), std::string::npos);

    app->tabs().send_input(tab, "exit\n");
    wait_for_script({"setTerminalInfo", tab, "Connection ended"});
    EXPECT_FALSE(alive(tab));
    EXPECT_EQ(app->tabs().get_runtime_state()["tabs"].size(), 1u);  // the tab stays for reading
}

TEST_F(SshTabTest, FirstConnectionRecordsTheHostAndAChangedHostKeyIsRefused) {
    const std::string first = open(key_session());
    wait_connected(first);
    std::ifstream in(app->HOST_KEYS_FILE);
    std::string recorded((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(recorded.find("[127.0.0.1]:" + std::to_string(server->port())), std::string::npos);
    app->tabs().close_tab(first);

    server->restart_with_new_host_key();
    const std::string second = open(key_session());
    const std::string line = wait_for_script({"setTerminalInfo", second, "Connection failed: "});
    EXPECT_NE(line.find("host key"), std::string::npos) << line;
    EXPECT_NE(line.find("changed"), std::string::npos) << line;
    EXPECT_NE(line.find("true)"), std::string::npos) << "an error line: " << line;
    EXPECT_FALSE(has_script("terminalConnected(\"" + second));
    EXPECT_FALSE(alive(second));
}

TEST_F(SshTabTest, PpkKeyIsConvertedAndTheCopyIsRemovedWhenTheTabCloses) {
    TERMIVA_REQUIRE_PROGRAM(puttygen, "puttygen");
    const auto ppk = home.path() / "client.ppk";
    ASSERT_EQ(std::system(("'" + puttygen.string() + "' '" + server->client_key().string() +
                           "' -O private -o '" + ppk.string() + "' >/dev/null 2>&1")
                              .c_str()),
              0);
    app->puttygen_exe = puttygen;
    json session = key_session();
    session["private_key"] = ppk.string();
    const std::string tab = open(session);
    wait_connected(tab);
    const auto copy = app->tabs().find_tab(tab)->tmp_keyfile;
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(copy->filename().string().rfind("termiva_", 0), 0u);
    struct stat info {};
    ASSERT_EQ(::stat(copy->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    app->tabs().send_input(tab, "echo pp''k-ok\n");
    EXPECT_NE(drain_until(tab, "ppk-ok").find("ppk-ok"), std::string::npos);
    app->tabs().close_tab(tab);
    EXPECT_FALSE(std::filesystem::exists(*copy));
}

TEST_F(SshTabTest, KeyProblemsAreKeyErrorLines) {
    json missing = key_session();
    missing["private_key"] = (home.path() / "absent.pem").string();
    const std::string tab = open(missing);
    wait_for_script({tab, "Key error: Private key file not found", "true)"});
    EXPECT_FALSE(alive(tab));

    TERMIVA_REQUIRE_PROGRAM(puttygen, "puttygen");
    app->puttygen_exe = puttygen;
    const auto broken = home.path() / "broken.PPK";
    std::ofstream(broken) << "PuTTY-User-Key-File-3: nonsense\n";
    json bad = key_session();
    bad["name"] = "broken key";
    bad["private_key"] = broken.string();
    const std::string tab2 = open(bad);
    wait_for_script({tab2, "Key error: puttygen conversion failed: "});
    EXPECT_FALSE(alive(tab2));
}

TEST_F(SshTabTest, PasswordLoginAndWrongPassword) {
    const auto password = SshdFixture::password_account();
    if (!password) {
        if (testing::peers_required()) FAIL() << "cannot create the password test account";
        GTEST_SKIP() << "password login needs root to create a test account";
    }
    json session = key_session();
    session.erase("private_key");
    session["username"] = SshdFixture::PASSWORD_USER;
    session["password"] = *password;
    const std::string tab = open(session);
    wait_connected(tab);
    app->tabs().send_input(tab, "echo pw''-ok\n");
    EXPECT_NE(drain_until(tab, "pw-ok").find("pw-ok"), std::string::npos);

    session["name"] = "wrong password";
    session["password"] = "definitely-wrong";
    session.erase("id");
    const std::string refused = open(session);
    wait_for_script({refused, "Authentication failed: ", "true)"});
    EXPECT_FALSE(alive(refused));
}

TEST_F(SshTabTest, ClosedPortAndNonNumericPortAreConnectionFailures) {
    json closed = key_session();
    closed["port"] = testing::free_loopback_port();
    const std::string tab = open(closed);
    wait_for_script({tab, "Connection failed: ", "true)"});
    EXPECT_FALSE(alive(tab));

    json garbled = key_session();
    garbled["name"] = "garbled port";
    garbled["port"] = "22x";
    const std::string tab2 = open(garbled);
    wait_for_script({tab2, "Connection failed: invalid port: 22x", "true)"});
    EXPECT_FALSE(alive(tab2));
}

TEST_F(SshTabTest, ForwardingRulesCarryConnectionsBothWaysAndAMalformedRuleIsReported) {
    testing::EchoServer echo;
    const int local_port = testing::free_loopback_port();
    const int remote_port = testing::free_loopback_port();
    json session = key_session();
    session["port_forwards"] = json::array(
        {{{"type", "l"},
          {"spec",
           " " + std::to_string(local_port) + ":127.0.0.1:" + std::to_string(echo.port()) + " "}},
         {{"type", "R"},
          {"spec", std::to_string(remote_port) + ":127.0.0.1:" + std::to_string(echo.port())}},
         {{"type", "L"}, {"spec", "80x:db:5432"}},
         {{"type", "L"}, {"spec", "8080:db"}},
         {{"type", "X"}, {"spec", "1080"}}});
    const std::string tab = open(session);
    wait_connected(tab);
    const std::string failure =
        wait_for_script({tab, "Failed to set forwarding rule L80x:db:5432: "});
    EXPECT_NE(failure.find("true)"), std::string::npos) << "an error line: " << failure;
    EXPECT_FALSE(has_script("8080:db\""));

    EXPECT_EQ(testing::tcp_round_trip(local_port, "local rule"), "local rule");
    EXPECT_EQ(testing::tcp_round_trip(remote_port, "remote rule"), "remote rule");
    app->tabs().send_input(tab, "echo sh''ell-too\n");
    EXPECT_NE(drain_until(tab, "shell-too").find("shell-too"), std::string::npos);

    app->tabs().close_tab(tab);
    EXPECT_TRUE(testing::port_is_free(local_port));  // a closed tab holds no port
}

// What curl prints fetching `url` with `options` (its SOCKS proxy), within 10 s.
std::string curl_output(const std::filesystem::path& curl, const std::string& options,
                        const std::string& url) {
    const std::string command =
        "'" + curl.string() + "' -s --max-time 10 " + options + " '" + url + "' 2>&1";
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buf[512];
        while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe))
            out.append(buf, n);
        ::pclose(pipe);
    }
    return out;
}

// curl, as a SOCKS 5 client that leaves the name to the proxy and as a SOCKS 4a one,
// reaches a loopback web server through the tab's dynamic rule and the real sshd; a
// request other than CONNECT gets SOCKS's own refusal; the port is freed with the tab.
TEST_F(SshTabTest, ADynamicRuleCarriesSocksClientsThroughTheServer) {
    TERMIVA_REQUIRE_PROGRAM(curl, "curl");
    testing::HttpReplyServer web("through the tunnel");
    const int socks_port = testing::free_loopback_port();
    json session = key_session();
    session["port_forwards"] =
        json::array({{{"type", "d"}, {"spec", "127.0.0.1:" + std::to_string(socks_port)}},
                     {{"type", "D"}, {"spec", "1080:x"}}});
    const std::string tab = open(session);
    wait_connected(tab);
    wait_for_script({tab, "Failed to set forwarding rule D1080:x: "});

    const std::string url = "http://localhost:" + std::to_string(web.port()) + "/";
    const std::string proxy = "127.0.0.1:" + std::to_string(socks_port);
    EXPECT_EQ(curl_output(curl, "--socks5-hostname " + proxy, url), "through the tunnel");
    EXPECT_EQ(curl_output(curl, "--socks4a " + proxy, url), "through the tunnel");
    EXPECT_EQ(web.answered(), 2);

    // No authentication offered, then UDP ASSOCIATE for 127.0.0.1:53.
    const std::string udp_associate("\x05\x01\x00\x05\x03\x00\x01\x7f\x00\x00\x01\x00\x35", 13);
    const std::string answer = testing::tcp_round_trip(socks_port, udp_associate);
    ASSERT_EQ(answer.size(), 12u) << "method choice and one reply, then closed";
    EXPECT_EQ(answer.substr(0, 4), std::string("\x05\x00\x05\x07", 4)) << "command not supported";

    app->tabs().close_tab(tab);
    EXPECT_TRUE(testing::port_is_free(socks_port));
}

// How many logins the server has accepted so far.
int accepted_logins(const SshdFixture& server) {
    const std::string log = server.log();
    int count = 0;
    for (auto at = log.find("Accepted publickey"); at != std::string::npos;
         at = log.find("Accepted publickey", at + 1))
        ++count;
    return count;
}

// Two jump hosts on the way (the test server reached under two names, then once more as
// the target): three logins, each host key recorded under its own name, and the shell.
TEST_F(SshTabTest, AChainOfTwoJumpHostsReachesTheShell) {
    const std::string port = std::to_string(server->port());
    json session = key_session();
    session["proxy_jump"] =
        SshdFixture::login_user() + "@localhost:" + port + ", 127.0.0.1:" + port;
    const int logins_before = accepted_logins(*server);
    const std::string tab = open(session);
    wait_connected(tab);
    app->tabs().send_input(tab, "echo ju''mped\n");
    EXPECT_NE(drain_until(tab, "jumped").find("jumped"), std::string::npos);
    EXPECT_EQ(accepted_logins(*server) - logins_before, 3);
    std::ifstream in(app->HOST_KEYS_FILE);
    const std::string recorded((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(recorded.find("[localhost]:" + port), std::string::npos);
    EXPECT_NE(recorded.find("[127.0.0.1]:" + port), std::string::npos);
    app->tabs().close_tab(tab);
}

// The middle machine of the chain offers a key other than the one recorded for it: the
// connection stops there with the changed-key wording, before logging in to it.
TEST_F(SshTabTest, AChangedHostKeyAtTheMiddleJumpHostIsRefused) {
    const std::string port = std::to_string(server->port());
    std::ifstream other_key(server->client_key().string() + ".pub");
    const std::string other((std::istreambuf_iterator<char>(other_key)), {});
    std::filesystem::create_directories(app->HOST_KEYS_FILE.parent_path());
    std::ofstream(app->HOST_KEYS_FILE) << "[localhost]:" << port << " " << other;
    json session = key_session();
    session["proxy_jump"] = "127.0.0.1:" + port + ",localhost:" + port;
    const int logins_before = accepted_logins(*server);
    const std::string tab = open(session);
    const std::string line = wait_for_script({"setTerminalInfo", tab, "Connection failed: "});
    EXPECT_NE(line.find("jump host localhost:" + port), std::string::npos) << line;
    EXPECT_NE(line.find("has changed"), std::string::npos) << line;
    EXPECT_FALSE(has_script("terminalConnected(\"" + tab));
    EXPECT_EQ(accepted_logins(*server) - logins_before, 1) << "only the first hop logged in";
}

// A peer that opens forwarded connection after connection costs a thread and two
// descriptors for each only up to the tab's limit: the rest are refused at once, the tab
// says so once, and closing the tab ends every connection that was served.
TEST_F(SshTabTest, ARemoteForwardServesAtMostTheLimitRefusesTheRestAndSaysSoOnce) {
    testing::EchoServer echo;
    const int remote_port = testing::free_loopback_port();
    json session = key_session();
    session["port_forwards"] = json::array(
        {{{"type", "R"},
          {"spec", std::to_string(remote_port) + ":127.0.0.1:" + std::to_string(echo.port())}}});
    const std::string tab = open(session);
    wait_connected(tab);
    const std::size_t limit = ssh2::WorkerThreads::DEFAULT_LIMIT;
    const std::size_t beyond = 20;
    std::vector<int> held;
    for (std::size_t i = 0; i < limit + beyond; ++i) {
        const int fd = testing::held_through(remote_port);
        if (fd >= 0) held.push_back(fd);
    }
    EXPECT_EQ(held.size(), limit);
    const std::string told = "Forwarded connections refused: " + std::to_string(limit);
    wait_for_script({tab, told});
    std::size_t lines = 0;
    for (const auto& script : window->scripts())
        lines += script.find(told) != std::string::npos ? 1 : 0;
    EXPECT_EQ(lines, 1u);

    app->tabs().close_tab(tab);
    std::size_t ended = 0;
    for (const int fd : held) {
        pollfd p{fd, POLLIN, 0};
        char byte = 0;
        if (::poll(&p, 1, 5000) == 1 && ::recv(fd, &byte, 1, 0) <= 0) ++ended;
        ::close(fd);
    }
    EXPECT_EQ(ended, held.size()) << "connections still carried after their tab closed";
}

TEST_F(SshTabTest, KeepAliveIntervalComesFromTheSessionAndChangesLive) {
    json session = key_session();
    const json saved = app->save_session(session);
    const std::string tab = app->tabs().connect_session(saved["id"])["tab_id"];
    wait_connected(tab);
    auto client = std::dynamic_pointer_cast<SshConnection>(app->tabs().find_tab(tab)->client);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->keepalive(), 30);

    json edited = saved["sessions"][0];
    edited["keepalive_sec"] = 1;
    app->save_session(edited);
    EXPECT_EQ(client->keepalive(), 1);
    EXPECT_TRUE(testing::eventually([&] { return client->keepalives_sent() >= 2; }, 15s))
        << client->keepalives_sent() << " keep-alives sent";

    edited["keepalive_sec"] = 0;  // not positive: the running interval stays
    app->save_session(edited);
    EXPECT_EQ(client->keepalive(), 1);
}

TEST_F(SshTabTest, ClosingATabWhileItConnectsEndsTheAttempt) {
    testing::SilentListener silent_listener;
    json session = key_session();
    session["port"] = silent_listener.port();
    const std::string tab = open(session);
    wait_for_script({tab, "Connecting to"});
    std::this_thread::sleep_for(500ms);
    const auto start = std::chrono::steady_clock::now();
    app->tabs().close_tab(tab);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // bounded, not a speed check
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(has_script("Connection failed"));
}

class NoTtySshTabTest : public SshTabTest {
protected:
    testing::SshdOptions server_options() override { return {{"PermitTTY no"}, 0}; }
};

TEST_F(NoTtySshTabTest, ARefusedPseudoTerminalIsAShellFailure) {
    const std::string tab = open(key_session());
    const std::string line = wait_for_script({tab, "Failed to create shell: "});
    EXPECT_NE(line.find("true)"), std::string::npos) << "an error line: " << line;
    EXPECT_FALSE(alive(tab));
    EXPECT_FALSE(has_script("terminalConnected(\"" + tab));
    EXPECT_EQ(app->tabs().find_tab(tab)->client, nullptr);
}

class LegacySshTabTest : public SshTabTest {
protected:
    testing::SshdOptions server_options() override {
        return {{"Ciphers aes128-cbc", "KexAlgorithms diffie-hellman-group14-sha1"}, 0};
    }
};

TEST_F(LegacySshTabTest, ConnectsOnlyWithLegacyAlgorithmsOrExplicitLists) {
    const std::string plain = open(key_session());
    wait_for_script({plain, "Connection failed: "});

    json legacy = key_session();
    legacy["name"] = "legacy";
    legacy["ssh_legacy_compat"] = true;
    const std::string with_legacy = open(legacy);
    wait_connected(with_legacy);
    app->tabs().send_input(with_legacy, "echo le''gacy-ok\n");
    EXPECT_NE(drain_until(with_legacy, "legacy-ok").find("legacy-ok"), std::string::npos);

    json lists = key_session();
    lists["name"] = "lists";
    lists["ssh_kex"] = {"diffie-hellman-group14-sha1"};
    lists["ssh_ciphers"] = {"aes128-cbc"};
    const std::string with_lists = open(lists);
    wait_connected(with_lists);
}

}  // namespace
}  // namespace termiva

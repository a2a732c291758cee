// SSH-1 tabs through the real termiva-host, against the SSH-1 test server.
#include <gtest/gtest.h>

#include "fixtures/ssh1_server/ssh1_fixture.h"
#include "support/host_process.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using testing::Ssh1Fixture;
using testing::Ssh1FixtureOptions;

class Ssh1Tab : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::HostProcess host{dir.path() / "data"};

    json session_for(const Ssh1Fixture& server) {
        return {{"name", "old switch"},
                {"protocol", "ssh"},
                {"ssh_version", 1},
                {"host", "127.0.0.1"},
                {"port", std::to_string(server.port())},
                {"username", server.options().user},
                {"password", server.options().password}};
    }
    std::string open(const json& session) { return host.open_session(session); }
    bool alive(const std::string& tab) { return host.tab_alive(tab); }
    // The next status line of the tab that satisfies `is_error`, or "" on time-out.
    std::string info_line(const std::string& tab, bool is_error, std::chrono::milliseconds wait) {
        auto call = host.wait_for_call(
            [&](const json& c) {
                return c["call"] == "setTerminalInfo" && c["args"][0] == tab &&
                       c["args"][2] == is_error;
            },
            wait);
        return call ? (*call)["args"][1].get<std::string>() : std::string();
    }
    bool connected(const std::string& tab) {
        return host
            .wait_for_call(
                [&](const json& c) {
                    return c["call"] == "terminalConnected" && c["args"][0] == tab;
                },
                15s)
            .has_value();
    }
    bool ended(const std::string& tab) {
        return host
            .wait_for_call(
                [&](const json& c) {
                    return c["call"] == "setTerminalInfo" && c["args"][0] == tab &&
                           c["args"][1] == "─── Connection ended ───";
                },
                10s)
            .has_value();
    }
};

TEST_F(Ssh1Tab, ShellRoundTripWithEitherCipherThenTheShellEnds) {
    for (std::string cipher : {"3des", "blowfish"}) {
        SCOPED_TRACE(cipher);
        Ssh1FixtureOptions fo;
        fo.ciphers = cipher;
        Ssh1Fixture server(dir.path(), dir.path() / "host_key", fo);
        ASSERT_GT(server.port(), 0);
        const std::string tab = open(session_for(server));
        EXPECT_EQ(info_line(tab, false, 5s),
                  "Connecting to 127.0.0.1:" + std::to_string(server.port()) + " (SSH-1)...");
        ASSERT_TRUE(connected(tab)) << host.info_lines(tab).back();
        EXPECT_EQ(server.wait_for_event("cipher", 2s), "cipher " + cipher);
        EXPECT_EQ(server.wait_for_event("pty", 2s), "pty xterm 24 80");
        EXPECT_EQ(host.call("send_input", {tab, "echo tab-$((6*7))\r"}), true);
        EXPECT_NE(host.drain_until(tab, "tab-42", 10s).find("tab-42"), std::string::npos);
        EXPECT_EQ(host.call("send_input", {tab, "exit\r"}), true);
        EXPECT_TRUE(ended(tab));
        EXPECT_FALSE(alive(tab));
        EXPECT_EQ(server.wait_for_event("exit confirmed", 5s), "exit confirmed");
    }
}

TEST_F(Ssh1Tab, ResizeReachesTheShellsTerminal) {
    Ssh1Fixture server(dir.path(), dir.path() / "host_key");
    ASSERT_GT(server.port(), 0);
    const std::string tab = open(session_for(server));
    ASSERT_TRUE(connected(tab));
    EXPECT_EQ(host.call("resize_pty", {tab, 31, 97}), true);
    EXPECT_EQ(server.wait_for_event("window", 5s), "window 31 97");
    host.call("send_input", {tab, "stty size\r"});
    EXPECT_NE(host.drain_until(tab, "31 97", 10s).find("31 97"), std::string::npos);
}

TEST_F(Ssh1Tab, WrongPasswordShowsTheFailureLine) {
    Ssh1Fixture server(dir.path(), dir.path() / "host_key");
    ASSERT_GT(server.port(), 0);
    json session = session_for(server);
    session["password"] = "guess";
    const std::string tab = open(session);
    EXPECT_EQ(info_line(tab, true, 15s),
              "SSH-1 connection failed: access denied (user name or password refused)");
    EXPECT_FALSE(alive(tab));
    EXPECT_EQ(host.call("send_input", {tab, "x"}), false);
}

TEST_F(Ssh1Tab, NoSavedPasswordIsAskedInTheTabAgainWhenRefusedAndNeverShown) {
    Ssh1Fixture server(dir.path(), dir.path() / "host_key");
    ASSERT_GT(server.port(), 0);
    json session = session_for(server);
    session.erase("password");
    const std::string tab = open(session);
    const std::string prompt = server.options().user + "@127.0.0.1's password: ";
    std::string seen = host.drain_until(tab, prompt, 15s);
    ASSERT_NE(seen.find(prompt), std::string::npos) << seen;
    EXPECT_EQ(host.call("send_input", {tab, "guess\r"}), true);
    EXPECT_EQ(server.wait_for_event("auth refused", 5s), "auth refused " + server.options().user);
    const std::string again = host.drain_until(tab, prompt, 15s);
    ASSERT_NE(again.find("Permission denied, please try again.\r\n" + prompt), std::string::npos)
        << again;
    EXPECT_EQ(host.call("send_input", {tab, server.options().password + "\r"}), true);
    ASSERT_TRUE(connected(tab));
    EXPECT_EQ(host.call("send_input", {tab, "echo asked-$((6*7))\r"}), true);
    seen += again + host.drain_until(tab, "asked-42", 10s);
    EXPECT_NE(seen.find("asked-42"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("guess"), std::string::npos);
    EXPECT_EQ(seen.find(server.options().password), std::string::npos);
}

TEST_F(Ssh1Tab, ServerGoneEndsTheTab) {
    Ssh1Fixture server(dir.path(), dir.path() / "host_key");
    ASSERT_GT(server.port(), 0);
    const std::string tab = open(session_for(server));
    ASSERT_TRUE(connected(tab));
    server.kill();
    EXPECT_TRUE(ended(tab));
    EXPECT_FALSE(alive(tab));
}

TEST_F(Ssh1Tab, OnlyBugFlagsForcedOnChangeTheLogin) {
    // "ignore1" forced on: the password is padded instead of hidden among ignore messages.
    for (std::string mode : {"on", "auto", "off", "true"}) {
        SCOPED_TRACE(mode);
        Ssh1Fixture server(dir.path(), dir.path() / "host_key");
        ASSERT_GT(server.port(), 0);
        json session = session_for(server);
        session["ssh_bugs"] = {{"ignore1", mode}};
        const std::string tab = open(session);
        ASSERT_TRUE(connected(tab));
        const std::string seen = server.wait_for_event("password", 5s);
        if (mode == "on") {
            EXPECT_EQ(seen, "password ignores=0 padded=yes");
        } else {
            EXPECT_NE(seen.find("padded=no"), std::string::npos) << seen;
            EXPECT_EQ(seen.find("ignores=0 "), std::string::npos) << seen;
        }
        host.call("close_tab", {tab});
    }
}

TEST_F(Ssh1Tab, AChangedHostKeyIsRefusedWithAClearLine) {
    const int port = testing::free_loopback_port();
    Ssh1FixtureOptions fo;
    fo.port = port;
    {
        Ssh1Fixture first(dir.path(), dir.path() / "key_a", fo);
        const std::string tab = open(session_for(first));
        ASSERT_TRUE(connected(tab));
        host.call("close_tab", {tab});
    }
    Ssh1Fixture impostor(dir.path(), dir.path() / "key_b", fo);
    const std::string tab = open(session_for(impostor));
    const std::string line = info_line(tab, true, 15s);
    EXPECT_EQ(line.rfind("SSH-1 connection failed: the host key of 127.0.0.1:" +
                             std::to_string(port) + " has changed",
                         0),
              0u)
        << line;
    EXPECT_NE(line.find("known_hosts"), std::string::npos) << line;
    EXPECT_EQ(impostor.wait_for_event("password", 300ms), "");
}

}  // namespace
}  // namespace termiva

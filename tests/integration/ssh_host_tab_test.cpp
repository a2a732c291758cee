// SSH-2 tabs through the real termiva-host against a real sshd: the same program the page
// drives, so these also run against the Windows host under Wine. The data folder's name is
// outside every ANSI code page but UTF-8's, where the known-hosts file libssh opens lives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "fixtures/sshd_fixture.h"
#include "integration/ssh_test_helpers.h"
#include "support/host_process.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using testing::SshdFixture;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Before the host starts: default keys and the agent of whoever runs the tests must not
// take part.
struct CleanHome {
    explicit CleanHome(const fs::path& home) {
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("SSH_AUTH_SOCK");
    }
};

class SshHostTab : public ::testing::Test {
protected:
    void SetUp() override {
        TERMIVA_REQUIRE_PROGRAM(sshd, "sshd");
        TERMIVA_REQUIRE_PROGRAM(keygen, "ssh-keygen");
        server = std::make_unique<SshdFixture>(sshd, keygen);
    }

    json key_session() const {
        return {{"name", "sshd"},
                {"protocol", "ssh"},
                {"host", "127.0.0.1"},
                {"port", server->port()},
                {"username", SshdFixture::login_user()},
                {"private_key", testing::host_path(server->client_key())}};
    }
    bool connected(const std::string& tab) {
        return host
            .wait_for_call(
                [&](const json& c) {
                    return testing::HostProcess::is_call(c, "terminalConnected", tab);
                },
                20s)
            .has_value();
    }
    bool info(const std::string& tab, const std::string& text) {
        return host
            .wait_for_call(
                [&](const json& c) {
                    return testing::HostProcess::is_call(c, "setTerminalInfo", tab) &&
                           testing::HostProcess::arg(c, 1).get<std::string>().find(text) !=
                               std::string::npos;
                },
                15s)
            .has_value();
    }

    testing::TempDir home;
    CleanHome clean{home.path()};
    testing::TempDir dir;
    const fs::path data = dir.path() / "資料 \xF0\x9F\x99\x82";
    testing::HostProcess host{data};
    std::unique_ptr<SshdFixture> server;
};

TEST_F(SshHostTab, KeyLoginShellRoundTripRecordsTheHostAndEndsWithTheShell) {
    const std::string tab = host.open_session(key_session());
    ASSERT_TRUE(connected(tab)) << server->log();
    EXPECT_EQ(host.call("send_input", {tab, "echo hel''lo-tab\n"}), true);
    EXPECT_NE(host.drain_until(tab, "hello-tab", 10s).find("hello-tab"), std::string::npos);
    EXPECT_EQ(host.call("resize_pty", {tab, 30, 100}), true);
    host.call("send_input", {tab, "stty size; echo si''ze-done\n"});
    EXPECT_NE(host.drain_until(tab, "size-done", 10s).find("30 100"), std::string::npos);

    std::ifstream in(data / "known_hosts");
    const std::string recorded((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(recorded.find("[127.0.0.1]:" + std::to_string(server->port())), std::string::npos)
        << "known_hosts: " << recorded;

    host.call("send_input", {tab, "exit\n"});
    EXPECT_TRUE(info(tab, "Connection ended"));
    EXPECT_FALSE(host.tab_alive(tab));

    // The recorded key is checked: a server with another key is refused.
    server->restart_with_new_host_key();
    const std::string second = host.open_session(key_session());
    EXPECT_TRUE(info(second, "has changed"));
    EXPECT_FALSE(host.tab_alive(second));
}

TEST_F(SshHostTab, IpVersionChoosesTheAddressesOfAServerListeningOnIpv6Only) {
    TERMIVA_REQUIRE_PROGRAM(sshd, "sshd");
    TERMIVA_REQUIRE_PROGRAM(keygen, "ssh-keygen");
    testing::SshdOptions options;
    options.listen_address = "::1";
    server = std::make_unique<SshdFixture>(sshd, keygen, options);
    json session = key_session();
    session["host"] = "::1";

    session["ip_version"] = "ipv4";
    const std::string v4 = host.open_session(session);
    EXPECT_TRUE(info(v4,
                     "Connection failed: ::1 has no IPv4 address (the session's IP version "
                     "is IPv4)"));
    EXPECT_FALSE(host.tab_alive(v4));

    for (const char* choice : {"ipv6", "auto"}) {
        session["ip_version"] = choice;
        const std::string tab = host.open_session(session);
        ASSERT_TRUE(connected(tab)) << choice << ": " << server->log();
        host.call("send_input", {tab, "echo over''-v6\n"});
        EXPECT_NE(host.drain_until(tab, "over-v6", 10s).find("over-v6"), std::string::npos);
        host.call("close_tab", {tab});
    }
}

TEST_F(SshHostTab, LocalAndRemoteForwardsCarryConnections) {
    testing::EchoServer echo;
    const int local_port = testing::free_loopback_port();
    const int remote_port = testing::free_loopback_port();
    json session = key_session();
    session["port_forwards"] = json::array(
        {{{"type", "L"},
          {"spec", std::to_string(local_port) + ":127.0.0.1:" + std::to_string(echo.port())}},
         {{"type", "R"},
          {"spec", std::to_string(remote_port) + ":127.0.0.1:" + std::to_string(echo.port())}}});
    const std::string tab = host.open_session(session);
    ASSERT_TRUE(connected(tab)) << server->log();
    EXPECT_TRUE(testing::eventually(
        [&] { return testing::tcp_round_trip(local_port, "local rule", 2s) == "local rule"; },
        15s));
    EXPECT_TRUE(testing::eventually(
        [&] { return testing::tcp_round_trip(remote_port, "remote rule", 2s) == "remote rule"; },
        15s));
    host.call("close_tab", {tab});
    EXPECT_TRUE(testing::eventually([&] { return testing::port_is_free(local_port); }, 10s))
        << "a closed tab still holds its forwarded port";
}

// The server's files over SFTP on the tab's own connection: folders and files made,
// listed, renamed and removed, with the refusals a user meets named by their reason.
class SftpHostTab : public SshHostTab {
protected:
    void SetUp() override {
        TERMIVA_REQUIRE_PROGRAM(sshd, "sshd");
        TERMIVA_REQUIRE_PROGRAM(keygen, "ssh-keygen");
        testing::SshdOptions options;
        options.extra_config = {"Subsystem sftp internal-sftp"};
        server = std::make_unique<SshdFixture>(sshd, keygen, options);
    }
    static std::string reason(const json& answer) {
        return answer.value("ok", true) ? "" : answer.value("reason", "?");
    }
    static const json* entry(const json& listing, const std::string& name) {
        for (const auto& e : listing["entries"])
            if (e["name"] == name) return &e;
        return nullptr;
    }
};

TEST_F(SftpHostTab, FoldersAndFilesAreListedMadeRenamedAndRemovedOnTheTabsConnection) {
    const std::string tab = host.open_session(key_session());
    ASSERT_TRUE(connected(tab)) << server->log();
    const json opened = host.call("sftp_open", {tab});
    ASSERT_EQ(opened["ok"], true) << opened.dump();
    EXPECT_FALSE(opened["home"].get<std::string>().empty());

    const fs::path remote = dir.path() / "remote";
    fs::create_directory(remote);
    const std::string folder = (remote / "資料夾 one").string();
    EXPECT_EQ(host.call("sftp_mkdir", {tab, folder})["ok"], true);
    EXPECT_EQ(reason(host.call("sftp_mkdir", {tab, folder})), "exists");
    std::ofstream(remote / "notes.txt") << "twelve bytes";
    fs::create_directory_symlink(remote / "資料夾 one", remote / "shortcut");

    json listing = host.call("sftp_list", {tab, remote.string() + "/./"});
    ASSERT_EQ(listing["ok"], true) << listing.dump();
    EXPECT_EQ(listing["path"], remote.string());
    ASSERT_EQ(listing["entries"].size(), 3u) << listing.dump();
    ASSERT_NE(entry(listing, "資料夾 one"), nullptr) << listing.dump();
    EXPECT_EQ((*entry(listing, "資料夾 one"))["type"], "dir");
    ASSERT_NE(entry(listing, "notes.txt"), nullptr);
    EXPECT_EQ((*entry(listing, "notes.txt"))["type"], "file");
    EXPECT_EQ((*entry(listing, "notes.txt"))["size"], 12);
    ASSERT_NE(entry(listing, "shortcut"), nullptr);
    EXPECT_EQ((*entry(listing, "shortcut"))["type"], "link");

    EXPECT_EQ(host.call("sftp_rename",
                        {tab, (remote / "notes.txt").string(), folder + "/moved.txt"})["ok"],
              true);
    EXPECT_TRUE(fs::exists(remote / "資料夾 one" / "moved.txt"));
    EXPECT_EQ(reason(host.call("sftp_remove", {tab, folder})), "not_empty");
    EXPECT_EQ(host.call("sftp_remove", {tab, folder + "/moved.txt"})["ok"], true);
    EXPECT_EQ(host.call("sftp_remove", {tab, (remote / "shortcut").string()})["ok"], true);
    EXPECT_TRUE(fs::exists(remote / "資料夾 one")) << "removing a link removed its folder";
    EXPECT_EQ(host.call("sftp_remove", {tab, folder})["ok"], true);
    EXPECT_TRUE(fs::is_empty(remote));
    EXPECT_EQ(reason(host.call("sftp_list", {tab, folder})), "no_such_file");

    // The terminal goes on beside the file requests.
    EXPECT_EQ(host.call("send_input", {tab, "echo after''sftp\n"}), true);
    EXPECT_NE(host.drain_until(tab, "aftersftp", 10s).find("aftersftp"), std::string::npos);
}

TEST_F(SshHostTab, AServerWithoutSftpOrATabWithoutSsh2IsRefusedAndTheShellGoesOn) {
    const std::string tab = host.open_session(key_session());
    ASSERT_TRUE(connected(tab)) << server->log();
    const json refused = host.call("sftp_open", {tab});
    EXPECT_EQ(refused["ok"], false);
    EXPECT_EQ(refused["reason"], "no_sftp") << refused.dump();
    EXPECT_NE(refused["error"].get<std::string>().find("SFTP"), std::string::npos);
    EXPECT_EQ(host.call("sftp_list", {"no such tab", "."})["reason"], "no_tab");
    EXPECT_EQ(host.call("send_input", {tab, "echo still''here\n"}), true);
    EXPECT_NE(host.drain_until(tab, "stillhere", 10s).find("stillhere"), std::string::npos);
}

}  // namespace
}  // namespace termiva

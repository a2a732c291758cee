// SSH-2 tabs through the real termiva-host against a real sshd: the same program the page
// drives, so these also run against the Windows host under Wine. The data folder's name is
// outside every ANSI code page but UTF-8's, where the known-hosts file libssh opens lives.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

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
    // The transfer events of the tab seen since the host started.
    std::vector<json> events(const std::string& tab) {
        std::vector<json> out;
        for (const json& c : host.page_calls())
            if (testing::HostProcess::is_call(c, "xferOnEvent", tab))
                out.push_back(testing::HostProcess::arg(c, 1));
        return out;
    }
    // Waits for the job's end: its "done" event, or null.
    json done_after(const std::string& tab, std::size_t seen, std::chrono::seconds limit) {
        json done;
        testing::eventually(
            [&] {
                const std::vector<json> now = events(tab);
                for (std::size_t i = seen; i < now.size(); ++i)
                    if (now[i].value("kind", "") == "done") done = now[i];
                return !done.is_null();
            },
            limit);
        return done;
    }
    static std::string sha256(const fs::path& file) {
        const std::string command = "sha256sum '" + file.string() + "'";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) return "popen failed";
        char digest[65] = {};
        const std::size_t got = std::fread(digest, 1, 64, pipe);
        ::pclose(pipe);
        return std::string(digest, got);
    }
    static void write_random(const fs::path& file, std::size_t size) {
        std::mt19937_64 random(size);
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i + 8 <= size; i += 8) {
            const std::uint64_t v = random();
            std::memcpy(&bytes[i], &v, 8);
        }
        std::ofstream(file, std::ios::binary) << bytes;
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

TEST_F(SftpHostTab, TreesWithNonAsciiNamesAndA50MiBFileCopyBothWaysWhileTheShellAnswers) {
    const std::string tab = host.open_session(key_session());
    ASSERT_TRUE(connected(tab)) << server->log();
    const fs::path remote = dir.path() / "remote";
    const fs::path tree = remote / "樹 tree";
    fs::create_directories(tree / "子 sub");
    std::ofstream(tree / "小.txt") << "small";
    write_random(tree / "子 sub" / "big.bin", 50u << 20);
    fs::create_directory_symlink("/etc", tree / "escape");  // not followed out of the tree
    const fs::path local = dir.path() / "local";
    fs::create_directory(local);

    std::size_t seen = events(tab).size();
    const json started = host.call("sftp_download", {tab, tree.string(), local.string()});
    ASSERT_EQ(started["ok"], true) << started.dump();
    EXPECT_FALSE(started["job"].get<std::string>().empty());
    // The terminal answers while the file is on its way.
    EXPECT_EQ(host.call("send_input", {tab, "echo during''copy\n"}), true);
    EXPECT_NE(host.drain_until(tab, "duringcopy", 20s).find("duringcopy"), std::string::npos);
    json done = done_after(tab, seen, 120s);
    ASSERT_EQ(done.value("ok", false), true) << done.dump();
    EXPECT_EQ(done["files"].size(), 2u) << done.dump();
    const std::string big_sum = sha256(tree / "子 sub" / "big.bin");
    EXPECT_EQ(sha256(local / "樹 tree" / "子 sub" / "big.bin"), big_sum);
    std::ifstream small(local / "樹 tree" / "小.txt");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(small)), {}), "small");
    EXPECT_FALSE(fs::exists(local / "樹 tree" / "escape"));
    bool progress_with_rate = false;
    for (const json& ev : events(tab)) {
        if (ev.value("kind", "") == "progress" && ev.value("rate", 0) > 0 &&
            ev.value("bytes", 0) > 0)
            progress_with_rate = true;
    }
    EXPECT_TRUE(progress_with_rate);

    // Nothing is overwritten: a second copy of the same file takes a numbered name.
    seen = events(tab).size();
    ASSERT_EQ(host.call("sftp_download",
                        {tab, (tree / "小.txt").string(), (local / "樹 tree").string()})["ok"],
              true);
    EXPECT_EQ(done_after(tab, seen, 30s).value("ok", false), true);
    EXPECT_TRUE(fs::exists(local / "樹 tree" / "小 (1).txt"));

    seen = events(tab).size();
    fs::create_directory(remote / "up");
    const json sent = host.call("sftp_upload", {tab, json::array({(local / "樹 tree").string()}),
                                                (remote / "up").string()});
    ASSERT_EQ(sent["ok"], true) << sent.dump();
    done = done_after(tab, seen, 120s);
    ASSERT_EQ(done.value("ok", false), true) << done.dump();
    EXPECT_EQ(sha256(remote / "up" / "樹 tree" / "子 sub" / "big.bin"), big_sum);
    EXPECT_TRUE(fs::exists(remote / "up" / "樹 tree" / "小 (1).txt"));

    // The same folder sent again lands beside the first under a numbered name.
    seen = events(tab).size();
    ASSERT_EQ(host.call("sftp_upload", {tab, json::array({(local / "樹 tree" / "小.txt").string()}),
                                        (remote / "up" / "樹 tree").string()})["ok"],
              true);
    EXPECT_EQ(done_after(tab, seen, 30s).value("ok", false), true);
    EXPECT_TRUE(fs::exists(remote / "up" / "樹 tree" / "小 (2).txt"));
}

TEST_F(SftpHostTab, HostileRemoteNamesStayInsideTheChosenFolder) {
    const std::string tab = host.open_session(key_session());
    ASSERT_TRUE(connected(tab)) << server->log();
    const fs::path remote = dir.path() / "remote";
    const fs::path tree = remote / "tree";
    fs::create_directories(tree / "sub");
    std::ofstream(tree / "..\\..\\evil") << "1";
    std::ofstream(tree /
                  "bell\x07"
                  "and\nnewline")
        << "2";
    std::ofstream(tree / "sub" / "passwd") << "3";
    const fs::path local = dir.path() / "local";
    fs::create_directory(local);
    std::ofstream(local / "passwd") << "mine";

    std::size_t seen = events(tab).size();
    ASSERT_EQ(host.call("sftp_download", {tab, tree.string(), local.string()})["ok"], true);
    json done = done_after(tab, seen, 30s);
    ASSERT_EQ(done.value("ok", false), true) << done.dump();
    // A path through ".." names the file it leads to; the file takes its plain name
    // beside the one already there.
    seen = events(tab).size();
    ASSERT_EQ(host.call("sftp_download", {tab, (tree / ".." / "tree" / "sub" / "passwd").string(),
                                          local.string()})["ok"],
              true);
    done = done_after(tab, seen, 30s);
    ASSERT_EQ(done.value("ok", false), true) << done.dump();

    std::ifstream mine(local / "passwd");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(mine)), {}), "mine");
    EXPECT_TRUE(fs::exists(local / "passwd (1)"));
    std::size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(local)) {
        const std::string name = e.path().filename().string();
        EXPECT_EQ(name.find_first_of("\\\x07\n"), std::string::npos) << name;
        EXPECT_NE(name, "..");
        if (e.is_regular_file()) ++files;
    }
    EXPECT_EQ(files, 5u);
    EXPECT_FALSE(fs::exists(dir.path() / "evil"));
    EXPECT_FALSE(fs::exists(local / "evil"));
}

TEST_F(SftpHostTab, CancelledCopiesLeaveNoPartialFileOnEitherSide) {
    const std::string tab = host.open_session(key_session());
    ASSERT_TRUE(connected(tab)) << server->log();
    const fs::path remote = dir.path() / "remote";
    fs::create_directory(remote);
    // Sparse: large enough to be cancelled mid-file, cheap to make.
    std::ofstream(remote / "huge.bin").close();
    fs::resize_file(remote / "huge.bin", 4ull << 30);
    const fs::path local = dir.path() / "local";
    fs::create_directory(local);

    auto cancel_mid_file = [&](const std::string& op, const json& args) {
        const std::size_t seen = events(tab).size();
        const json started = host.call(op, args);
        ASSERT_EQ(started["ok"], true) << started.dump();
        ASSERT_TRUE(testing::eventually(
            [&] {
                const std::vector<json> now = events(tab);
                for (std::size_t i = seen; i < now.size(); ++i)
                    if (now[i].value("kind", "") == "progress") return true;
                return false;
            },
            30s));
        EXPECT_EQ(host.call("xfer_status", {tab})["protocol"], "sftp");
        EXPECT_EQ(host.call("xfer_cancel", {tab}), true);
        const json done = done_after(tab, seen, 30s);
        EXPECT_EQ(done.value("ok", true), false) << done.dump();
        EXPECT_EQ(done.value("reason_code", ""), "cancelled") << done.dump();
    };
    cancel_mid_file("sftp_download", {tab, (remote / "huge.bin").string(), local.string()});
    EXPECT_TRUE(fs::is_empty(local)) << "a cancelled download left a file";

    fs::rename(remote / "huge.bin", local / "huge.bin");
    cancel_mid_file("sftp_upload",
                    {tab, json::array({(local / "huge.bin").string()}), remote.string()});
    EXPECT_TRUE(testing::eventually([&] { return fs::is_empty(remote); }, 10s))
        << "a cancelled upload left a file";

    EXPECT_EQ(host.call("send_input", {tab, "echo still''answers\n"}), true);
    EXPECT_NE(host.drain_until(tab, "stillanswers", 10s).find("stillanswers"), std::string::npos);
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

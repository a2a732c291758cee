// Local shell tabs through the real termiva-host: a real shell on a real pty.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <regex>
#include <thread>

#include "support/host_process.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

bool process_running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    auto paren = line.rfind(')');
    return paren != std::string::npos && line.size() > paren + 2 && line[paren + 2] != 'Z';
}

class LocalShell : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::HostProcess host{dir.path()};

    std::string open_shell(json extra = json::object()) {
        json session = {{"name", "shell"}, {"protocol", "conpty"}, {"conpty_shell", "sh"}};
        session.update(extra);
        json saved = host.call("save_session", {session});
        std::string tab = host.call("connect_session", {saved["id"]})["tab_id"];
        EXPECT_TRUE(host.wait_for_call(
            [&](const json& c) { return c["call"] == "terminalConnected" && c["args"][0] == tab; },
            5s));
        return tab;
    }
};

TEST_F(LocalShell, EchoesTypedCommandsAndAnnouncesTheShell) {
    std::string tab = open_shell();
    EXPECT_EQ(host.info_lines(tab).front(), "Starting local shell (sh)...");
    ASSERT_EQ(host.call("send_input", {tab, "echo round-$((40+2))\r"}), true);
    EXPECT_NE(host.drain_until(tab, "round-42", 5s).find("round-42"), std::string::npos);
}

TEST_F(LocalShell, ResizeReachesThePseudoTerminal) {
    std::string tab = open_shell();
    EXPECT_EQ(host.call("resize_pty", {tab, 1, 5}), true);  // clamped to 2 x 20
    host.call("send_input", {tab, "stty size\r"});
    EXPECT_NE(host.drain_until(tab, "2 20", 5s).find("2 20"), std::string::npos);
    EXPECT_EQ(host.call("resize_pty", {tab, "37", 101}), true);
    host.call("send_input", {tab, "stty size\r"});
    EXPECT_NE(host.drain_until(tab, "37 101", 5s).find("37 101"), std::string::npos);
}

TEST_F(LocalShell, ClosingTheTabLeavesNoProcessBehind) {
    std::string tab = open_shell();
    // The quotes keep the echoed command line from matching what the shell prints.
    host.call("send_input", {tab, "sleep 4242 & echo pids\"=\"$$:$!:end\r"});
    const std::regex pids("pids=(\\d+):(\\d+):end");
    std::string out;
    std::smatch m;
    for (int i = 0; i < 100 && !std::regex_search(out, m, pids); ++i) {
        out += host.drain_until(tab, "pids=", 1s);
    }
    ASSERT_TRUE(std::regex_search(out, m, pids)) << out;
    pid_t shell = std::stoi(m[1]);
    pid_t job = std::stoi(m[2]);
    ASSERT_TRUE(process_running(shell));
    ASSERT_TRUE(process_running(job));
    json state = host.call("close_tab", {tab});
    EXPECT_TRUE(state["tabs"].empty());
    for (int i = 0; i < 300 && (process_running(shell) || process_running(job)); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(process_running(shell));
    EXPECT_FALSE(process_running(job));
}

TEST_F(LocalShell, TheShellExitingEndsTheTab) {
    std::string tab = open_shell();
    host.call("send_input", {tab, "exit\r"});
    EXPECT_TRUE(host.wait_for_call(
        [&](const json& c) {
            return c["call"] == "setTerminalInfo" && c["args"][0] == tab &&
                   c["args"][1] == "─── Connection ended ───";
        },
        5s));
    EXPECT_EQ(host.call("get_runtime_state")["tabs"][0]["alive"], false);
}

TEST_F(LocalShell, ACustomCommandRunsInTheWorkingFolder) {
    std::filesystem::create_directories(dir.path() / "work");
    std::string tab = open_shell({{"conpty_shell", "custom"},
                                  {"conpty_custom_command", "pwd; echo done-custom; sleep 5"},
                                  {"conpty_cwd", (dir.path() / "work").string()}});
    EXPECT_EQ(host.info_lines(tab).front(),
              "Starting local shell (pwd; echo done-custom; sleep 5)...");
    std::string out = host.drain_until(tab, "done-custom", 5s);
    EXPECT_NE(out.find((dir.path() / "work").string()), std::string::npos) << out;
}

}  // namespace
}  // namespace termiva

// Local shell tabs through the real termiva-host: a real shell on a real pty, or under Wine
// cmd.exe on Wine's pseudo console.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <regex>
#include <thread>
#include <utility>

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

// Whether the "SigIgn:" mask (hexadecimal, as in /proc/<pid>/status) holds SIGPIPE.
bool ignores_sigpipe(const std::string& mask) {
    return (std::stoull(mask, nullptr, 16) >> (SIGPIPE - 1)) & 1u;
}

std::string ignored_signals_of(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigIgn:", 0) == 0) return line.substr(7);
    }
    return "";
}

// The shell is started with STARTF_USESTDHANDLES and no handles, as Windows wants it so that
// the program's standard handles are the pseudo console's and never the host's own pipes.
// Wine gives such a program no standard handles at all: cmd.exe reads nothing, prints
// nothing to the console and ends at once. What runs without typing (a custom command, a
// loop) runs.
constexpr const char* wine_console_io =
    "Wine gives a pseudo console's program started with STARTF_USESTDHANDLES no standard "
    "input or output (cmd.exe reads nothing and ends at once)";

// The file's text, or "" while it does not exist.
std::string text_of(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class LocalShell : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::HostProcess host{dir.path()};
    // The shell the tests type into: sh here, cmd.exe for the Windows host.
    const std::string shell = testing::host_under_wine() ? "cmd" : "sh";

    std::string open_shell(json extra = json::object()) {
        json session = {{"name", "shell"}, {"protocol", "conpty"}, {"conpty_shell", shell}};
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
    EXPECT_EQ(host.info_lines(tab).front(), "Starting local shell (" + shell + ")...");
    if (testing::host_under_wine()) GTEST_SKIP() << wine_console_io;
    ASSERT_EQ(host.call("send_input", {tab, "echo round-$((40+2))\r"}), true);
    EXPECT_NE(host.drain_until(tab, "round-42", 5s).find("round-42"), std::string::npos);
}

// What is typed runs in the shell, whatever becomes of its output (a command that writes a
// file in the working folder is the same in sh and cmd.exe).
TEST_F(LocalShell, TypedCommandsRunInTheWorkingFolder) {
    if (testing::host_under_wine()) GTEST_SKIP() << wine_console_io;
    std::string tab = open_shell({{"conpty_cwd", testing::host_path(dir.path())}});
    ASSERT_EQ(host.call("send_input", {tab, "echo typed-42>typed.txt\r"}), true);
    EXPECT_TRUE(testing::eventually(
        [&] { return text_of(dir.path() / "typed.txt").find("typed-42") != std::string::npos; },
        10s))
        << "typed.txt: \"" << text_of(dir.path() / "typed.txt") << "\"";
    EXPECT_TRUE(host.tab_alive(tab));
}

TEST_F(LocalShell, ResizeReachesThePseudoTerminal) {
    std::string tab = open_shell();
    if (testing::host_under_wine()) {
        // Wine answers ResizePseudoConsole with E_NOTIMPL: the page hears that the size
        // did not change, and the tab goes on.
        EXPECT_EQ(host.call("resize_pty", {tab, 37, 101}), false);
        EXPECT_TRUE(host.tab_alive(tab));
        GTEST_SKIP() << "Wine has no ResizePseudoConsole";
    }
    EXPECT_EQ(host.call("resize_pty", {tab, 1, 5}), true);  // clamped to 2 x 20
    host.call("send_input", {tab, "stty size\r"});
    EXPECT_NE(host.drain_until(tab, "2 20", 5s).find("2 20"), std::string::npos);
    EXPECT_EQ(host.call("resize_pty", {tab, "37", 101}), true);
    host.call("send_input", {tab, "stty size\r"});
    EXPECT_NE(host.drain_until(tab, "37 101", 5s).find("37 101"), std::string::npos);
}

TEST_F(LocalShell, ClosingTheTabLeavesNoProcessBehind) {
    if (testing::host_under_wine())
        GTEST_SKIP() << "process ids from the shell: "
                     << "ClosingTheTabEndsWhatTheShellStarted covers the Windows host";
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

// A write to a peer that has gone is that tab's error, never the end of the program and
// every tab in it, so the program ignores SIGPIPE; the programs it starts get the default
// back, as they expect (`yes | head -1` must end `yes`).
TEST_F(LocalShell, TheProgramIgnoresBrokenPipesAndTheShellsProgramsDoNot) {
    if (testing::host_under_wine()) GTEST_SKIP() << "SIGPIPE is a POSIX signal";
    const std::string host_mask = ignored_signals_of(host.pid());
    ASSERT_FALSE(host_mask.empty());
    EXPECT_TRUE(ignores_sigpipe(host_mask)) << "SigIgn of the host: " << host_mask;

    std::string tab = open_shell();
    host.call("send_input",
              {tab, "awk '/^SigIgn/ { print \"ign=\" $2 \"=end\" }' /proc/self/status\r"});
    const std::regex mask("ign=([0-9a-f]+)=end");
    std::smatch m;
    std::string out;
    for (int i = 0; i < 100 && !std::regex_search(out, m, mask); ++i) {
        out += host.drain_until(tab, "=end", 100ms);
    }
    ASSERT_TRUE(std::regex_search(out, m, mask)) << out;
    EXPECT_FALSE(ignores_sigpipe(m[1])) << "SigIgn of a program in the shell: " << m[1];
}

// A process that forks, moves its child into a process group of its own and exits, every
// few milliseconds, survived the tab's close (a single sweep of the session always
// missed the newest child). After the close its heartbeat file stops growing. The
// process ends itself after 30 s, so a failure here leaves nothing running for long.
TEST_F(LocalShell, AProcessThatKeepsReforkingEndsWithItsTab) {
    if (testing::host_under_wine())
        GTEST_SKIP() << "fork and process groups are POSIX: "
                     << "ClosingTheTabEndsWhatTheShellStarted covers the Windows host";
    const auto beat = dir.path() / "beat";
    std::string tab = open_shell();
    const std::string script =
        "use POSIX; my $end = time + 30; while (time < $end) { exit if fork; setpgid(0, 0); "
        "open(my $f, q{>>}, q{" +
        beat.string() +
        "}); print $f q{x}; close($f); "
        "select(undef, undef, undef, 0.005); }";
    host.call("send_input", {tab, "perl -e '" + script + "' &\r"});
    auto size_of = [&] {
        std::error_code ec;
        const auto n = std::filesystem::file_size(beat, ec);
        return ec ? std::uintmax_t{0} : n;
    };
    ASSERT_TRUE(testing::eventually([&] { return size_of() > 20; }, 10s))
        << "the re-forking process never started: " << host.drain_until(tab, "nothing", 100ms);

    host.call("close_tab", {tab});
    // The sweeps run while the close goes on, slower on a loaded machine: the heartbeat must
    // stop within a few seconds, then stay stopped.
    auto last = size_of();
    const bool stopped = testing::eventually(
        [&] {
            std::this_thread::sleep_for(300ms);
            const auto now = size_of();
            return std::exchange(last, now) == now;
        },
        5s);
    ASSERT_TRUE(stopped) << "the re-forking process outlived its tab";
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(size_of(), last) << "a process of the closed tab is still running";
}

// A program the shell started, writing a heartbeat, ends with the tab: on Windows the tab's
// job object ends the shell and everything in it.
TEST_F(LocalShell, ClosingTheTabEndsWhatTheShellStarted) {
    const auto beat = dir.path() / "beat";
    const std::string loop = testing::host_under_wine()
                                 ? "cmd /d /c for /l %i in (0,0,1) do @echo x>>beat"
                                 : "sh -c 'while :; do echo x >>beat; sleep 0.01; done'";
    std::string tab = open_shell({{"conpty_shell", "custom"},
                                  {"conpty_custom_command", loop},
                                  {"conpty_cwd", testing::host_path(dir.path())}});
    auto size_of = [&] {
        std::error_code ec;
        const auto n = std::filesystem::file_size(beat, ec);
        return ec ? std::uintmax_t{0} : n;
    };
    ASSERT_TRUE(testing::eventually([&] { return size_of() > 20; }, 10s))
        << "the heartbeat never started";
    host.call("close_tab", {tab});
    // A heartbeat written while the close ran may still land; then nothing more.
    std::this_thread::sleep_for(500ms);
    const auto after_close = size_of();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(size_of(), after_close) << "a process of the closed tab is still running";
}

TEST_F(LocalShell, TheShellExitingEndsTheTab) {
    std::string tab;
    if (testing::host_under_wine()) {
        // Nothing typed reaches the shell there (wine_console_io): it exits by itself.
        tab = open_shell({{"conpty_shell", "custom"}, {"conpty_custom_command", "exit 3"}});
    } else {
        tab = open_shell();
        host.call("send_input", {tab, "exit\r"});
    }
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
    if (testing::host_under_wine()) {
        // cmd.exe's "cd" prints the current folder; into a file, since Wine gives the
        // program no console output (wine_console_io). The quoted name reaches cmd.exe as
        // typed or the file gets another name.
        std::string tab = open_shell({{"conpty_shell", "custom"},
                                      {"conpty_custom_command", "cd>\"where it is.txt\""},
                                      {"conpty_cwd", testing::host_path(dir.path() / "work")}});
        EXPECT_EQ(host.info_lines(tab).front(), "Starting local shell (cd>\"where it is.txt\")...");
        const auto where = dir.path() / "work" / "where it is.txt";
        EXPECT_TRUE(testing::eventually(
            [&] {
                return text_of(where).find(testing::host_path(dir.path() / "work")) !=
                       std::string::npos;
            },
            10s))
            << "where.txt: \"" << text_of(where) << "\"";
        return;
    }
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

// Serial tabs through the real termiva-host, with a socat pty pair as the cable: killed
// and restarted to unplug and plug the board back.
#include <asm/termbits.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/host_process.h"
#include "support/socat_link.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using testing::SocatLink;
using testing::TtyEnd;

class SerialTab : public ::testing::Test {
protected:
    void SetUp() override {
        auto found = testing::find_program("socat");
        if (!found) {
            if (testing::peers_required()) FAIL() << "missing socat";
            GTEST_SKIP() << "peer program socat not installed";
        }
        link = std::make_unique<SocatLink>(*found, dir.path() / "ttyBoard", dir.path() / "ttyTest");
        port = std::make_unique<testing::HostSerialPort>(link->a());
        com = port->name();
    }

    std::string open(json session) {
        session["protocol"] = "serial";
        if (!session.contains("name")) session["name"] = "board " + std::to_string(++opened);
        json saved = host.call("save_session", {session});
        return host.call("connect_session", {saved["id"]})["tab_id"].get<std::string>();
    }
    json tab_state(const std::string& tab) {
        json state = host.call("get_runtime_state");
        for (const auto& t : state.value("tabs", json::array())) {
            if (t.value("id", "") != tab) continue;
            const json status = state.value("session_status", json::object());
            return json{{"alive", t.value("alive", json())},
                        {"status", status.value(t.value("session_id", ""), json())}};
        }
        return json();
    }
    std::optional<json> info(const std::string& tab, const std::string& text, bool is_error,
                             std::chrono::milliseconds wait = 5s) {
        return host.wait_for_call(
            [&](const json& c) {
                return testing::HostProcess::is_call(c, "setTerminalInfo", tab) &&
                       testing::HostProcess::arg(c, 1) == text &&
                       testing::HostProcess::arg(c, 2) == is_error;
            },
            wait);
    }
    bool connected(const std::string& tab) {
        return host
            .wait_for_call(
                [&](const json& c) {
                    return testing::HostProcess::is_call(c, "terminalConnected", tab);
                },
                5s)
            .has_value();
    }
    std::string disconnect_line() const {
        return "─── Serial port " + com + " disconnected, waiting to reconnect... ───";
    }
    std::string reconnect_line(int baud) const {
        return "─── Reconnected to " + com + " @ " + std::to_string(baud) + " ───";
    }
    int count_info(const std::string& tab, const std::string& text) {
        int n = 0;
        for (const auto& line : host.info_lines(tab))
            n += line == text;
        return n;
    }

    testing::TempDir dir;
    testing::HostProcess host{dir.path()};
    std::unique_ptr<SocatLink> link;
    std::unique_ptr<testing::HostSerialPort> port;  // the host's name for the tab's end
    std::string com;
    int opened = 0;
};

TEST_F(SerialTab, OpensShowsTheBoardAndCarriesKeystrokes) {
    ASSERT_TRUE(link->start());
    TtyEnd board(link->b());
    const std::string tab = open({{"host", "  " + com + " "}, {"port", "115200"}});
    EXPECT_TRUE(info(tab, "Opening serial port " + com + " @ 115200 bps ...", false));
    ASSERT_TRUE(connected(tab));
    EXPECT_EQ(host.drain_until(tab, "---\r\n", 5s),
              "\r\n--- Connected to " + com + " @ 115200 ---\r\n");
    EXPECT_EQ(tab_state(tab), (json{{"alive", true}, {"status", "online"}}));

    ASSERT_TRUE(board.write_all("rst:0x1 (POWERON)\r\nboot: ok é\r\n"));
    EXPECT_EQ(host.drain_until(tab, "ok é\r\n", 5s), "rst:0x1 (POWERON)\r\nboot: ok é\r\n");
    EXPECT_EQ(host.call("send_input", {tab, "help\r"}), true);
    EXPECT_EQ(board.read_until("\r", 3s), "help\r");

    // Closing the tab frees the port for the next program.
    host.call("close_tab", {tab});
    ASSERT_TRUE(host.wait_for_stderr("reader loop ended", 3s));
    TtyEnd again(link->a());
    EXPECT_TRUE(again.is_open());
}

TEST_F(SerialTab, MissingPortKeepsRetryingUntilTheCableAppears) {
    const std::string tab = open({{"host", com}, {"port", "abc"}});
    EXPECT_TRUE(info(tab, "Opening serial port " + com + " @ 9600 bps ...", false));
    // Each system's own words for a port that is not there.
    const std::string missing =
        testing::host_under_wine() ? "no such port" : "No such file or directory";
    EXPECT_TRUE(
        info(tab, "Failed to open serial port: " + com + ": " + missing + " (will keep retrying)",
             true));
    ASSERT_TRUE(connected(tab));  // usable in the page while it waits
    EXPECT_TRUE(info(tab, disconnect_line(), false));
    EXPECT_EQ(tab_state(tab), (json{{"alive", false}, {"status", "offline"}}));
    EXPECT_TRUE(host.wait_for_stderr("reopen attempt #1 failed", 3s));

    ASSERT_TRUE(link->start());
    TtyEnd board(link->b());
    EXPECT_TRUE(info(tab, reconnect_line(9600), false, 4s));
    EXPECT_EQ(tab_state(tab), (json{{"alive", true}, {"status", "online"}}));
    // A first open that comes late is a reconnection: no connected text in the terminal.
    ASSERT_TRUE(board.write_all("late\r\n"));
    EXPECT_EQ(host.drain_until(tab, "late\r\n", 5s), "late\r\n");
}

TEST_F(SerialTab, UnpluggedAndReplugged) {
    ASSERT_TRUE(link->start());
    const std::string tab = open({{"host", com}, {"port", 921600}});
    ASSERT_TRUE(connected(tab));
    {
        TtyEnd board(link->b());
        host.drain_until(tab, "---\r\n", 5s);
        ASSERT_TRUE(board.write_all("before\r\n"));
        EXPECT_EQ(host.drain_until(tab, "before\r\n", 5s), "before\r\n");
    }
    link->stop();
    // Wine reports the vanished pty as a read error ("Broken pipe", which no COM driver
    // gives), so the tab tries again for its error limit, 0.1 s apart, before it reopens.
    EXPECT_TRUE(info(tab, disconnect_line(), false, testing::host_under_wine() ? 8s : 3s));
    EXPECT_EQ(tab_state(tab)["alive"], false);
    EXPECT_EQ(host.call("send_input", {tab, "lost"}), false);

    const auto plugged = std::chrono::steady_clock::now();
    ASSERT_TRUE(link->start());
    TtyEnd board(link->b());
    ASSERT_TRUE(info(tab, reconnect_line(921600), false, 4s));
    // One attempt every 2 s: back well within one period and a bit.
    EXPECT_LT(std::chrono::steady_clock::now() - plugged, 3500ms);
    ASSERT_TRUE(board.write_all("after\r\n"));
    EXPECT_EQ(host.drain_until(tab, "after\r\n", 5s), "after\r\n");
    EXPECT_EQ(host.call("send_input", {tab, "x"}), true);
    EXPECT_EQ(board.read_some(1, 3s), "x");
    EXPECT_EQ(count_info(tab, disconnect_line()), 1);
    EXPECT_EQ(count_info(tab, reconnect_line(921600)), 1);
}

TEST_F(SerialTab, ClosingTheTabEndsTheWaitAtOnceAndALatePortIsNotKept) {
    const std::string tab = open({{"host", com}});
    ASSERT_TRUE(info(tab, disconnect_line(), false));
    ASSERT_TRUE(host.wait_for_stderr("reopen attempt #1 failed", 3s));
    const auto closed_at = std::chrono::steady_clock::now();
    host.call("close_tab", {tab});
    auto ended = host.wait_for_stderr("reader loop ended", 3s);
    ASSERT_TRUE(ended);
    // Within a wait step of 0.1 s; the bound leaves room for a loaded machine but not for
    // the 2 s retry period.
    EXPECT_LT(ended->at - closed_at, 1s);
    // No attempt after the tab closed: the cable appears and nobody holds the port.
    ASSERT_TRUE(link->start());
    std::this_thread::sleep_for(2500ms);
    for (const auto& l : host.stderr_lines())
        EXPECT_EQ(l.text.find("reopen OK"), std::string::npos) << l.text;
    TtyEnd free_port(link->a());
    EXPECT_TRUE(free_port.is_open());
}

TEST_F(SerialTab, APortChangedWhileTheDeviceWasAwayIsTheOneOpenedAndNamed) {
    ASSERT_TRUE(link->start());
    const std::string tab = open({{"host", com}, {"port", 115200}});
    ASSERT_TRUE(connected(tab));
    host.drain_until(tab, "---\r\n", 5s);
    link->stop();
    ASSERT_TRUE(info(tab, disconnect_line(), false, testing::host_under_wine() ? 8s : 3s));

    // While it is away the user picks the other cable; then the first one comes back too.
    SocatLink other(*testing::find_program("socat"), dir.path() / "ttyOther",
                    dir.path() / "ttyOtherTest");
    ASSERT_TRUE(other.start());
    testing::HostSerialPort other_port(other.a());
    json rec = host.call("get_initial_state").value("sessions", json::array()).at(0);
    rec["host"] = other_port.name();
    rec["port"] = 57600;
    host.call("save_session", {rec});
    ASSERT_TRUE(link->start());

    EXPECT_TRUE(info(tab, "─── Reconnected to " + other_port.name() + " @ 57600 ───", false, 5s));
    TtyEnd board(other.b());
    ASSERT_TRUE(board.write_all("other cable\r\n"));
    EXPECT_EQ(host.drain_until(tab, "cable\r\n", 5s), "other cable\r\n");
    // The first cable is nobody's: another program can open it.
    TtyEnd first(link->a());
    EXPECT_TRUE(first.is_open());
}

TEST_F(SerialTab, SecondTabOnTheSamePortIsToldItIsBusy) {
    if (testing::host_under_wine())
        GTEST_SKIP() << "Wine lets a second program open a COM port that is already open";
    ASSERT_TRUE(link->start());
    const std::string first = open({{"host", com}, {"port", 115200}});
    ASSERT_TRUE(connected(first));
    ASSERT_EQ(tab_state(first)["alive"], true);
    const std::string second = open({{"host", com}, {"port", 115200}});
    EXPECT_TRUE(info(second,
                     "Failed to open serial port: " + com +
                         " is busy (opened by another program) (will keep retrying)",
                     true));
    EXPECT_EQ(tab_state(second)["alive"], false);
    // The first tab is untouched by the refused open.
    TtyEnd board(link->b());
    host.drain_until(first, "---\r\n", 5s);
    ASSERT_TRUE(board.write_all("still mine\r\n"));
    EXPECT_EQ(host.drain_until(first, "mine\r\n", 5s), "still mine\r\n");
    // Once the first tab lets go, the second gets the port on its next attempt.
    host.call("close_tab", {first});
    // The next attempt comes within 2 s; a loaded machine may need a few more.
    EXPECT_TRUE(info(second, reconnect_line(115200), false, 8s));
}

TEST_F(SerialTab, RefusalsAndImpossibleSettingsAreLinesNotCrashes) {
    const std::string blank = open({{"host", "   "}});
    EXPECT_TRUE(info(blank, "Please fill in the COM port (e.g., COM3)", true));
    EXPECT_EQ(tab_state(blank)["alive"], false);

    ASSERT_TRUE(link->start());
    const std::string odd = open({{"host", com}, {"serial_parity", "Q"}});
    EXPECT_TRUE(info(odd,
                     "Failed to open serial port: Parity \"Q\" is not valid for " + com +
                         " (use N, E, O, M or S) (will keep retrying)",
                     true));
    EXPECT_TRUE(info(odd, disconnect_line(), false));
    // Mending the session is picked up by the next attempt.
    // Not every saved session has the field (the blank one above has none).
    json sessions = host.call("get_initial_state").value("sessions", json::array());
    json rec;
    for (const auto& s : sessions)
        if (s.value("serial_parity", "") == "Q") rec = s;
    ASSERT_FALSE(rec.is_null());
    rec["serial_parity"] = "E";
    host.call("save_session", {rec});
    EXPECT_TRUE(info(odd, reconnect_line(9600), false, 4s));
}

TEST_F(SerialTab, SessionSettingsReachTheLine) {
    ASSERT_TRUE(link->start());
    // Opened before the tab holds the port exclusively, to look at it from outside.
    const int probe = ::open(link->a().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    // Wine sets a speed outside the termios list through a custom divisor (TIOCSSERIAL),
    // which a pty does not have: there the speed is one of the list.
    const unsigned speed = testing::host_under_wine() ? 57600 : 74880;
    const std::string tab = open({{"host", com},
                                  {"port", std::to_string(speed)},
                                  {"serial_stop", "2"},
                                  {"serial_flow", "R"}});
    ASSERT_TRUE(connected(tab));
    host.drain_until(tab, "---\r\n", 5s);
    termios2 t{};
    ASSERT_EQ(::ioctl(probe, TCGETS2, &t), 0);
    EXPECT_EQ(t.c_ospeed, speed);
    if (!testing::host_under_wine()) {
        EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    }
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & IXON, 0u);
    ::close(probe);
}

TEST_F(SerialTab, AZmodemSenderOnTheBoardSideIsReceivedIntoTheDownloadFolder) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    // The folder the settings name, made by the receive.
    const std::filesystem::path folder = dir.path() / "received files";
    const json values{{"download_folder", testing::host_path(folder)}};
    host.call("set_page_settings", json::array({values}));
    ASSERT_TRUE(link->start());
    const std::string tab = open({{"host", com}, {"port", 115200}});
    ASSERT_TRUE(connected(tab));
    host.drain_until(tab, "---\r\n", 5s);
    std::mt19937 rng(99);
    std::string content(60000, '\0');
    for (char& c : content)
        c = static_cast<char>(rng());
    std::ofstream(dir.path() / "core.dump", std::ios::binary) << content;

    // sz talks on the far end of the cable, as a board's shell would.
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(link->b().c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || ::chdir(dir.path().c_str()) != 0) ::_exit(126);
        ::dup2(fd, STDIN_FILENO);
        ::dup2(fd, STDOUT_FILENO);
        ::execl(sz.c_str(), sz.c_str(), "core.dump", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(info(tab, "─── ZMODEM detected, auto-receiving ───", false, 10s));
    EXPECT_TRUE(info(tab, "─── File transfer ended ───", false, 30s));
    int status = -1;
    for (int i = 0; i < 100 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(50ms);
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    std::ifstream in(folder / "core.dump", std::ios::binary);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_TRUE(got.str() == content) << "received " << got.str().size() << " bytes";
    // The console carries on in the same tab.
    TtyEnd board(link->b());
    ASSERT_TRUE(board.write_all("$ after\r\n"));
    EXPECT_NE(host.drain_until(tab, "$ after\r\n", 5s).find("$ after\r\n"), std::string::npos);
}

}  // namespace
}  // namespace termiva

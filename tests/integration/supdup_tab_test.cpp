// SUPDUP tabs through the real termiva-host, against the scripted SUPDUP server.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <thread>

#include "fixtures/supdup_server.h"
#include "sixbitline/protocol.h"
#include "support/flooding_peer.h"
#include "support/host_process.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using testing::SupdupServer;
using testing::SupdupStep;
using P = SupdupProtocol;
using namespace std::chrono_literals;

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

class SupdupTab : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::HostProcess host{dir.path()};

    std::string open(int port, json extra = json::object()) {
        json session = {
            {"name", "its"}, {"protocol", "supdup"}, {"host", "127.0.0.1"}, {"port", port}};
        session.update(extra);
        json saved = host.call("save_session", {session});
        return host.call("connect_session", {saved["id"]})["tab_id"].get<std::string>();
    }
};

TEST_F(SupdupTab, ShowsTheTranslatedScreenAndSendsTheLocationOnlyAfterTheFirstByte) {
    const std::string greeting = "MIT AI ITS.1648. TCP SUPDUP\r\n";
    const std::string screen = bytes({P::TDCLR}) + "Hi" + bytes({P::TDMOV, 0, 0, 4, 9}) + "X";
    SupdupServer server(greeting, {SupdupStep::wait_for_release(), SupdupStep::send(screen),
                                   SupdupStep::wait_for_received(1)});
    std::string tab =
        open(server.port(), {{"supdup_charset", "ITS"}, {"supdup_location", "Lab 7"}});
    EXPECT_TRUE(host.wait_for_call(
        [&](const json& c) {
            return c["call"] == "setTerminalInfo" && c["args"][0] == tab &&
                   c["args"][1] == "Connecting to 127.0.0.1:" + std::to_string(server.port()) +
                                       " (SUPDUP, charset=its, more=off, scroll=on)...";
        },
        5s));
    EXPECT_NE(host.drain_until(tab, "SUPDUP\r\n", 5s).find(greeting), std::string::npos);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(server.received(), "") << "location sent before any byte followed the greeting";

    server.release();
    const std::string expected = "\x1b[2J\x1b[HHi\x1b[5;10HX";
    EXPECT_NE(host.drain_until(tab, "X", 5s).find(expected), std::string::npos);
    ASSERT_TRUE(server.wait_for_received(1, 5s));
    EXPECT_GT(server.sent_when_received(0), server.greeting_size());
    EXPECT_NE(server.received().find("Lab 7"), std::string::npos) << server.received();
}

TEST_F(SupdupTab, TypedEscapeBytesArriveDoubledAndTheServerClosingEndsTheTab) {
    SupdupServer server(
        "G", {SupdupStep::send("ready"), SupdupStep::wait_for_release(), SupdupStep::close()});
    std::string tab = open(server.port(), {{"supdup_location", ""}});
    host.drain_until(tab, "ready", 5s);
    std::size_t before = server.received().size();
    EXPECT_EQ(host.call("send_input", {tab, std::string("a\x1c"
                                                        "b")}),
              true);
    ASSERT_TRUE(server.wait_for_received(before + 4, 5s));
    EXPECT_EQ(server.received().substr(server.received().size() - 4),
              "a\x1c\x1c"
              "b");

    server.release();
    EXPECT_TRUE(host.wait_for_call(
        [&](const json& c) {
            return c["call"] == "setTerminalInfo" && c["args"][0] == tab &&
                   c["args"][1] == "─── Connection ended ───";
        },
        5s));
    EXPECT_EQ(host.call("get_runtime_state")["tabs"][0]["alive"], false);
}

TEST_F(SupdupTab, ARefusedConnectionShowsTheSupdupFailureLine) {
    std::string tab = open(testing::free_loopback_port(), {{"supdup_charset", "klingon"}});
    auto line = host.wait_for_call(
        [&](const json& c) {
            return c["call"] == "setTerminalInfo" && c["args"][0] == tab && c["args"][2] == true;
        },
        10s);
    ASSERT_TRUE(line);
    EXPECT_EQ((*line)["args"][1].get<std::string>().rfind("SUPDUP connection failed: ", 0), 0u);
    EXPECT_NE(host.info_lines(tab).front().find("charset=ascii"), std::string::npos);
}

TEST_F(SupdupTab, TheSessionsIpVersionChoosesWhichAddressesAreTried) {
    const std::string greeting = "ITS ready\r\n";
    SupdupServer server(greeting, {SupdupStep::wait_for_received(1)});
    const std::string v6 = open(server.port(), {{"ip_version", "ipv6"}});
    auto line = host.wait_for_call(
        [&](const json& c) {
            return c["call"] == "setTerminalInfo" && c["args"][0] == v6 && c["args"][2] == true;
        },
        10s);
    ASSERT_TRUE(line);
    EXPECT_NE((*line)["args"][1].get<std::string>().find("127.0.0.1 has no IPv6 address"),
              std::string::npos)
        << (*line)["args"][1];

    const std::string v4 = open(server.port(), {{"ip_version", "ipv4"}});
    EXPECT_NE(host.drain_until(v4, "ready", 5s).find(greeting), std::string::npos);
}

// A server that asks for output-reset acknowledgements without end and reads nothing: they
// used to be written by the reader itself, which then blocked on the full socket with the
// write lock held, so output and keystrokes froze. Now the reader queues them and stops
// reading only past the writer's bound; typing is still answered, the host's memory stays
// flat, and closing the tab ends it all at once.
TEST_F(SupdupTab, AServerFloodingOutputResetsWhileReadingNothingFreezesNeitherTypingNorClosing) {
    if (testing::host_under_wine()) {
        GTEST_SKIP() << "the host's memory is read from /proc, where Wine's launcher stands "
                        "for the Windows host";
    }
    int port = 0;
    const int listener = testing::listen_on_loopback(1, port);
    ASSERT_GE(listener, 0);
    std::shared_ptr<void> listening(nullptr, [listener](void*) { ::close(listener); });
    constexpr std::size_t FLOOD = std::size_t{64} << 20;
    testing::FloodingPeer server(listener, "ITS\r\n" + bytes({P::TDNOP}),
                                 std::string(65536, static_cast<char>(P::TDORS)), FLOOD);
    const long before = resident_kib(host.pid());
    const std::string tab = open(port);
    const auto opened = std::chrono::steady_clock::now();
    // Once the flood stalls, the client has stopped taking it in.
    bool stalled = false;
    for (std::size_t seen = 0; !stalled && std::chrono::steady_clock::now() - opened < 15s;) {
        std::this_thread::sleep_for(500ms);
        stalled = server.sent() > 0 && server.sent() == seen;
        seen = server.sent();
    }
    EXPECT_TRUE(stalled) << server.sent() << " bytes taken in and still reading";
    const auto typing = std::chrono::steady_clock::now();
    EXPECT_EQ(host.call("send_input", {tab, "typed while flooded"}, 3s), true);
    EXPECT_LT(std::chrono::steady_clock::now() - typing, 2s);
    EXPECT_LT(server.sent(), std::size_t{24} << 20) << "the reader went on taking requests";
    EXPECT_LT(resident_kib(host.pid()) - before, 48 * 1024) << "the host kept what it owed";

    const auto closing = std::chrono::steady_clock::now();
    host.call("close_tab", {tab}, 5s);
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 1s);
    server.stop();
    EXPECT_EQ(host.quit(), 0);
}

}  // namespace
}  // namespace termiva

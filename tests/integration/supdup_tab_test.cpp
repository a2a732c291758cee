// SUPDUP tabs through the real termiva-host, against the scripted SUPDUP server.
#include <gtest/gtest.h>

#include "fixtures/supdup_server.h"
#include "sixbitline/protocol.h"
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

}  // namespace
}  // namespace termiva

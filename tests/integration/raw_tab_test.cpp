// Raw TCP tabs through the real termiva-host, against a loopback peer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "support/host_process.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A one-connection TCP peer on 127.0.0.1: greets, records what it receives, and closes
// when asked.
class LoopbackPeer {
public:
    explicit LoopbackPeer(std::string greeting) : m_greeting(std::move(greeting)) {
        m_listen = testing::listen_on_loopback(1, m_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~LoopbackPeer() {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }
    int port() const { return m_port; }
    void close_connection() { m_close = true; }
    std::string received() {
        std::lock_guard lock(m_lock);
        return m_received;
    }

private:
    void serve() {
        pollfd p{m_listen, POLLIN, 0};
        while (!m_stop && ::poll(&p, 1, 50) == 0) {
        }
        if (m_stop) return;
        int c = ::accept(m_listen, nullptr, nullptr);
        (void)!::write(c, m_greeting.data(), m_greeting.size());
        char buf[4096];
        while (!m_stop && !m_close) {
            pollfd q{c, POLLIN, 0};
            if (::poll(&q, 1, 20) <= 0) continue;
            ssize_t n = ::read(c, buf, sizeof buf);
            if (n <= 0) break;
            std::lock_guard lock(m_lock);
            m_received.append(buf, static_cast<std::size_t>(n));
        }
        ::close(c);
    }

    std::string m_greeting;
    int m_listen;
    int m_port;
    std::thread m_thread;
    std::atomic<bool> m_stop{false}, m_close{false};
    std::mutex m_lock;
    std::string m_received;
};

class RawTab : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::HostProcess host{dir.path()};

    std::string open(const json& session) { return host.open_session(session); }
    bool alive(const std::string& tab) { return host.tab_alive(tab); }
    bool becomes_dead(const std::string& tab) { return host.becomes_dead(tab); }
    bool has_info(const std::string& tab, const std::string& text, bool is_error) {
        return host
            .wait_for_call(
                [&](const json& c) {
                    return c["call"] == "setTerminalInfo" && c["args"][0] == tab &&
                           c["args"][1] == text && c["args"][2] == is_error;
                },
                5s)
            .has_value();
    }
};

TEST_F(RawTab, ShowsThePeersTextCarriesTypedInputAndEndsWhenThePeerCloses) {
    LoopbackPeer peer("hello\r\nworld");
    std::string tab = open({{"name", "raw"},
                            {"protocol", "raw"},
                            {"host", "127.0.0.1"},
                            {"port", std::to_string(peer.port())}});
    EXPECT_TRUE(has_info(
        tab, "Connecting to 127.0.0.1:" + std::to_string(peer.port()) + " (Raw)...", false));
    auto connected = host.wait_for_call(
        [&](const json& c) { return c["call"] == "terminalConnected" && c["args"][0] == tab; }, 5s);
    ASSERT_TRUE(connected);
    EXPECT_EQ(host.drain_until(tab, "world", 5s), "hello\r\nworld");

    EXPECT_EQ(host.call("send_input", {tab, "typed é\r"}), true);
    for (int i = 0; i < 200 && peer.received().size() < 9; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(peer.received(), "typed \xC3\xA9\r");
    EXPECT_EQ(host.call("resize_pty", {tab, 30, 100}), false);  // raw tabs have no size

    peer.close_connection();
    EXPECT_TRUE(has_info(tab, "─── Connection ended ───", false));
    EXPECT_TRUE(becomes_dead(tab));
    EXPECT_EQ(host.info_lines(tab).size(), 2u) << "the end line is shown once";
    EXPECT_EQ(host.quit(), 0);
}

TEST_F(RawTab, ACodePageThisSystemLacksIsSaidOnceAndTheOutputReadAsUtf8) {
    LoopbackPeer peer("caf\xC3\xA9 ok");
    std::string tab = open({{"name", "cp"},
                            {"protocol", "raw"},
                            {"host", "127.0.0.1"},
                            {"port", std::to_string(peer.port())},
                            {"line_code_page", "no-such-code-page"}});
    EXPECT_TRUE(has_info(tab,
                         "Encoding no-such-code-page is not available on this system; showing "
                         "the output as UTF-8.",
                         false));
    EXPECT_EQ(host.drain_until(tab, "ok", 5s), "caf\xC3\xA9 ok");
    EXPECT_EQ(host.quit(), 0);
}

TEST_F(RawTab, MissingZeroOrNonNumericPortsFallBackTo23) {
    for (json port : {json(), json(0), json(""), json("telnet")}) {
        json session = {{"name", "p" + port.dump()}, {"protocol", "raw"}, {"host", "127.0.0.1"}};
        if (!port.is_null()) session["port"] = port;
        std::string tab = open(session);
        EXPECT_TRUE(host.wait_for_call(
            [&](const json& c) {
                return c["call"] == "setTerminalInfo" && c["args"][0] == tab &&
                       c["args"][1] == "Connecting to 127.0.0.1:23 (Raw)...";
            },
            5s))
            << port.dump();
    }
}

TEST_F(RawTab, AClosedPortGivesAConnectionFailedErrorLine) {
    int port = testing::free_loopback_port();
    std::string tab =
        open({{"name", "closed"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", port}});
    auto line = host.wait_for_call(
        [&](const json& c) {
            return c["call"] == "setTerminalInfo" && c["args"][0] == tab && c["args"][2] == true;
        },
        10s);
    ASSERT_TRUE(line);
    EXPECT_EQ((*line)["args"][1], "Connection failed: Connection refused");
    EXPECT_TRUE(becomes_dead(tab));
    EXPECT_EQ(host.call("send_input", {tab, "x"}), false);
}

TEST_F(RawTab, MalformedLinesAndUnknownOperationsAreAnsweredWithErrors) {
    EXPECT_TRUE(host.request("no_such_operation").contains("error"));
    EXPECT_TRUE(host.request("_shutdown").contains("error"));
    host.send_line("this is not json");
    auto state = host.call("get_runtime_state");  // the host is still there
    EXPECT_TRUE(state["tabs"].empty());
}

// A line nested 100,000 levels deep once ended the host on a full stack (signal 11) when
// its value was copied or printed; it is refused like malformed JSON, before any value
// is built, and the host answers on.
TEST_F(RawTab, ALineNestedFarTooDeepIsRefusedAndTheHostAnswersOn) {
    constexpr int DEPTH = 100000;
    host.send_line(R"({"op":"get_runtime_state","id":7,"args":)" + std::string(DEPTH, '[') +
                   std::string(DEPTH, ']') + "}");
    host.send_line(R"({"op":"save_session","id":8,"args":[{"name":"deep","note":)" +
                   std::string(DEPTH, '{') + std::string(DEPTH, '}') + "}]}");
    auto state = host.call("get_runtime_state");
    EXPECT_TRUE(state["tabs"].empty());
    const json sessions = host.call("get_initial_state")["sessions"];
    ASSERT_TRUE(sessions.is_array()) << sessions.dump();
    for (const auto& s : sessions)
        EXPECT_NE(s.value("name", ""), "deep") << "a refused record was saved";
}

}  // namespace
}  // namespace termiva

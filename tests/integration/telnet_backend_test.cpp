// TelnetBackend against real servers: inetutils telnetd running a shell (inetd-style
// under socat), and ser2net driving one end of a socat pty pair through RFC 2217.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "connect/telnet/telnet_backend.h"
#include "fixtures/peer_process.h"
#include "fixtures/ser2net_rig.h"
#include "integration/backend_reader.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using namespace std::chrono_literals;

class TelnetdBackend : public ::testing::Test {
protected:
    void SetUp() override {
        TERMIVA_REQUIRE_PROGRAM(socat, "socat");
        TERMIVA_REQUIRE_PROGRAM(telnetd, "telnetd");
        port = testing::free_loopback_port();
        // A shell instead of a login; the one variable it lets through besides TERM.
        peer = std::make_unique<testing::PeerProcess>(
            testing::socat_inetd(socat, port,
                                 telnetd.string() + " -h -E /bin/sh --accept-env=TERMIVA_VAR"),
            dir.path() / "telnetd.log");
        ASSERT_TRUE(peer->wait_port(port)) << peer->log();
    }

    TelnetBackend::Options options() {
        TelnetBackend::Options o;
        o.host = "127.0.0.1";
        o.port = port;
        o.timeout = 5;
        return o;
    }

    testing::TempDir dir;
    int port = 0;
    std::unique_ptr<testing::PeerProcess> peer;
};

TEST_F(TelnetdBackend, ShellRoundTripTerminalTypeSizeAndEnvironment) {
    auto o = options();
    o.term_type = "vt220";
    o.environment = {{"TERMIVA_VAR", "from the session"}};
    TelnetBackend b(o);
    b.connect();
    testing::BackendReader reader(b);
    b.send("echo ready$((6*7))\r");
    ASSERT_TRUE(reader.wait_for("ready42")) << reader.text();
    EXPECT_TRUE(b.local_enabled(telnet::OPT_NAWS));
    EXPECT_TRUE(b.remote_enabled(telnet::OPT_ECHO));

    reader.mark();
    b.send("echo \"t=$TERM v=$TERMIVA_VAR\"; stty size\r");
    ASSERT_TRUE(reader.wait_for("24 80")) << reader.since_mark();
    EXPECT_NE(reader.since_mark().find("t=vt220 v=from the session"), std::string::npos)
        << reader.since_mark();

    b.resize(37, 123);
    reader.mark();
    b.send("stty size\r");
    EXPECT_TRUE(reader.wait_for("37 123")) << reader.since_mark();
    // One Enter is one command: the shell prints one prompt per line, not two.
    reader.mark();
    b.send("echo one\r");
    ASSERT_TRUE(reader.wait_for("one\r\n# ")) << reader.since_mark();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(reader.since_mark().find("# #"), std::string::npos) << reader.since_mark();
}

TEST_F(TelnetdBackend, ByteFFTravelsIntactBothWays) {
    TelnetBackend b(options());
    b.connect();
    testing::BackendReader reader(b);
    b.send("stty raw -echo; printf 'a\\377b\\n'; stty sane\r");
    ASSERT_TRUE(
        reader.wait_for("a\xff"
                        "b"))
        << reader.text();
    reader.mark();
    // Typed 0xFF reaches the shell once (the wire carries it doubled).
    b.send("printf '%s' '\xff' | od -An -tx1\r");
    EXPECT_TRUE(reader.wait_for(" ff\r\n")) << reader.since_mark();
    EXPECT_EQ(reader.since_mark().find(" ff ff"), std::string::npos) << reader.since_mark();
}

TEST_F(TelnetdBackend, PeerExitEndsTheStreamAndCloseUnblocksAReader) {
    {
        TelnetBackend b(options());
        b.connect();
        testing::BackendReader reader(b);
        b.send("exit\r");
        EXPECT_TRUE(reader.wait_end(5s));
        EXPECT_TRUE(b.is_closed());
        EXPECT_THROW(b.send("x"), BackendError);
    }
    TelnetBackend idle(options());
    idle.connect();
    std::atomic<bool> returned{false};
    std::thread blocked([&] {
        while (!idle.recv(4096).empty()) {
        }
        returned = true;
    });
    std::this_thread::sleep_for(300ms);
    idle.close();
    for (int i = 0; i < 200 && !returned; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(returned);
    blocked.join();
    idle.close();  // twice is fine
}

TEST(TelnetBackend, AClosedPortFailsWithTheSystemsReason) {
    TelnetBackend::Options o;
    o.host = "127.0.0.1";
    o.port = testing::free_loopback_port();
    TelnetBackend b(o);
    try {
        b.connect();
        FAIL() << "connected to a closed port";
    } catch (const BackendError& e) {
        EXPECT_STREQ(e.what(), "Connection refused");
    }
}

// A server that reads nothing, while a paste blocks our writer, and asks for our terminal
// type again and again: every answer used to be queued, hundreds of MiB of them. Past the
// writer's bound the reader stops reading instead, so the server cannot get rid of more
// than that bound plus what the sockets hold; closing ends both blocked threads.
TEST(TelnetBackend, AServerThatFloodsRequestsWhileReadingNothingIsReadNoFurtherThanTheBound) {
    int port = 0;
    const int listener = testing::listen_on_loopback(1, port);
    ASSERT_GE(listener, 0);
    constexpr std::size_t FLOOD = std::size_t{64} << 20;
    std::atomic<std::size_t> sent{0};
    std::thread server([&] {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return;
        const int c = ::accept(listener, nullptr, nullptr);
        const std::string hello = "\xff\xfd\x18";  // DO TERMINAL-TYPE
        (void)!::send(c, hello.data(), hello.size(), MSG_NOSIGNAL);
        std::string ask;
        for (int i = 0; i < 10000; ++i)
            ask += "\xff\xfa\x18\x01\xff\xf0";  // SB TERMINAL-TYPE SEND SE
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (sent < FLOOD && std::chrono::steady_clock::now() < deadline) {
            pollfd w{c, POLLOUT, 0};
            if (::poll(&w, 1, 50) <= 0) continue;
            const ssize_t n = ::send(c, ask.data(), ask.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += static_cast<std::size_t>(n);
        }
        ::close(c);
    });
    TelnetBackend::Options o;
    o.host = "127.0.0.1";
    o.port = port;
    o.timeout = 5;
    TelnetBackend b(o);
    b.connect();
    std::thread reader([&] {
        while (!b.recv(4096).empty()) {
        }
    });
    std::thread paster([&] {
        try {
            b.send(std::string(16 << 20, 'p'));
        } catch (const BackendError&) {
            // Closed while blocked: what the test does at its end.
        }
    });
    server.join();
    b.close();
    reader.join();
    paster.join();
    ::close(listener);
    EXPECT_LT(sent.load(), std::size_t{24} << 20)
        << "the reader went on taking requests whose answers could not be sent";
}

// ser2net on one end of a pty pair; the test holds the other end as "the device".
class Ser2netBackend : public ::testing::Test {
protected:
    void SetUp() override {
        TERMIVA_REQUIRE_PROGRAM(socat, "socat");
        TERMIVA_REQUIRE_PROGRAM(ser2net, "ser2net");
        TERMIVA_REQUIRE_PROGRAM(stty, "stty");
        rig = std::make_unique<testing::Ser2netRig>(testing::Ser2netPrograms{socat, ser2net, stty},
                                                    dir.path());
        ASSERT_EQ(rig->problem(), "");
        port = rig->port();
        device = rig->device();
    }
    std::string stty() { return rig->stty(); }
    std::string read_device(std::size_t want) { return rig->read_device(want); }

    TelnetBackend::Options options() {
        TelnetBackend::Options o;
        o.host = "127.0.0.1";
        o.port = port;
        o.timeout = 5;
        o.com_port_control = true;
        return o;
    }

    testing::TempDir dir;
    std::unique_ptr<testing::Ser2netRig> rig;
    int port = 0;
    int device = -1;
};

bool has_word(const std::string& text, const std::string& word) {
    std::size_t at = text.find(word);
    while (at != std::string::npos) {
        bool start = at == 0 || text[at - 1] == ' ' || text[at - 1] == '\n';
        bool end = at + word.size() >= text.size() || text[at + word.size()] == ' ' ||
                   text[at + word.size()] == '\n' || text[at + word.size()] == ';';
        if (start && end) return true;
        at = text.find(word, at + 1);
    }
    return false;
}

TEST_F(Ser2netBackend, SessionLineSettingsReachThePortAndBytesFlowBothWays) {
    auto o = options();
    o.com_baud = 57600;
    o.com_bits = 7;
    o.com_parity = "E";
    o.com_stop = "2";
    o.com_flow = "R";
    TelnetBackend b(o);
    std::vector<telnet::Event> events;
    b.set_event_handler([&](const telnet::Event& e) { events.push_back(e); });
    b.connect();
    testing::BackendReader reader(b);
    for (int i = 0; i < 300 && !b.com_settings_answered(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(b.com_settings_answered());
    EXPECT_TRUE(events.empty()) << events.front().setting;
    std::string settings = stty();
    EXPECT_NE(settings.find("speed 57600 baud"), std::string::npos) << settings;
    EXPECT_TRUE(has_word(settings, "cstopb")) << settings;
    EXPECT_TRUE(has_word(settings, "crtscts")) << settings;
    // Data size and parity cannot be read back from a pty (the kernel keeps it at cs8
    // without parity); the server's acknowledgement above covers them.

    std::string to_device = std::string("to the device \xff\r", 16);
    b.send(to_device);
    EXPECT_EQ(read_device(to_device.size()), to_device);
    std::string from_device = "from the device \xff\r\n";
    ASSERT_EQ(::write(device, from_device.data(), from_device.size()),
              static_cast<ssize_t>(from_device.size()));
    EXPECT_TRUE(reader.wait_for(from_device)) << reader.text();
}

TEST_F(Ser2netBackend, SoftwareFlowAndAValueTheServerChangesAreReported) {
    auto o = options();
    o.com_baud = 19200;
    o.com_flow = "D";  // DSR flow control: not something a Linux port offers
    TelnetBackend b(o);
    std::vector<telnet::Event> events;
    std::mutex lock;
    b.set_event_handler([&](const telnet::Event& e) {
        std::lock_guard guard(lock);
        events.push_back(e);
    });
    b.connect();
    testing::BackendReader reader(b);
    for (int i = 0; i < 300 && !b.com_settings_answered(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(b.com_settings_answered());
    std::lock_guard guard(lock);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, telnet::Event::Kind::com_port_changed);
    EXPECT_EQ(events[0].setting, "flow");
    EXPECT_EQ(events[0].requested, "D");
    EXPECT_NE(events[0].actual, "D");
    EXPECT_NE(stty().find("speed 19200 baud"), std::string::npos);
}

}  // namespace
}  // namespace termiva

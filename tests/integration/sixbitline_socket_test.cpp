// The SUPDUP client over real loopback TCP against the scripted SUPDUP server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include "fixtures/supdup_server.h"
#include "integration/sixbitline_socket_support.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using namespace std::chrono_literals;
using testing::bytes;
using testing::loopback;
using testing::recv_at_least;
using testing::recv_within;
using testing::SupdupServer;
using testing::SupdupStep;
using testing::WAIT_LIMIT;
using P = SupdupProtocol;

const std::string ESC = "\x1b";
const std::string LOCATION_REPLY = bytes({0300, 0302}) + "Termiva" + std::string(1, '\0');

TEST(SixbitlineDescriptionOnTheWire, DefaultsSendSixWordsOfSixBytes) {
    SupdupServer server("", {});
    Sixbitline client(loopback(server.port()));
    client.connect();
    ASSERT_TRUE(server.wait_for_description(WAIT_LIMIT));
    EXPECT_EQ(server.description_error(), "");
    const std::string description = server.description();
    ASSERT_EQ(description.size(), 36u);
    EXPECT_EQ(description.substr(0, 6), bytes({077, 077, 073, 0, 0, 0}));
    const auto words = server.description_words();
    EXPECT_EQ(words[0], P::WORDS);
    EXPECT_EQ(words[1], P::TCTYP);
    EXPECT_EQ(words[2], 050523000050u);
    EXPECT_EQ(words[3], 24u);
    EXPECT_EQ(words[4], 79u);
    EXPECT_EQ(words[5], P::TTYROL);
}

TEST(SixbitlineDescriptionOnTheWire, FollowsOptionsAndTheLatestResize) {
    SupdupServer server("", {});
    SixbitlineOptions options = loopback(server.port());
    options.charset = "waits";
    options.more_processing = true;
    options.scrolling = false;
    Sixbitline client(options);
    client.resize(30, 100);
    client.connect();
    ASSERT_TRUE(server.wait_for_description(WAIT_LIMIT));
    EXPECT_EQ(server.description_error(), "");
    const auto words = server.description_words();
    EXPECT_EQ(words[2], 050423000050u | P::TOSAI | P::TOSA1 | P::TOMOR);
    EXPECT_EQ(words[3], 30u);
    EXPECT_EQ(words[4], 99u);
}

TEST(SixbitlineSession, GreetingPassesThroughThenTheScreenIsTranslated) {
    const std::string greeting = "MIT AI ITS.1648. TCP SUPDUP\r\n";
    const std::string screen = bytes({P::TDCLR}) + "Hi" + bytes({P::TDMOV, 0, 0, 4, 9}) + "X" +
                               bytes({P::TDCRL, P::TDEOL});
    SupdupServer server(greeting, {SupdupStep::send(screen)});
    Sixbitline client(loopback(server.port()));
    client.connect();
    const std::string expected =
        greeting + ESC + "[2J" + ESC + "[HHi" + ESC + "[5;10HX\r\n" + ESC + "[K" + ESC + "[K";
    EXPECT_EQ(recv_at_least(client, expected.size()), expected);
    EXPECT_FALSE(client.is_closed());
}

TEST(SixbitlineSession, LocationArrivesOnlyAfterTheFirstByteFollowingTheGreeting) {
    const std::string greeting = "Welcome";
    SupdupServer server(greeting, {SupdupStep::wait_for_release(), SupdupStep::send("A"),
                                   SupdupStep::wait_for_received(LOCATION_REPLY.size())});
    Sixbitline client(loopback(server.port()));
    client.connect();
    EXPECT_EQ(recv_at_least(client, greeting.size()), greeting);
    // The greeting and its TDNOP have been read; a client sending the location too early
    // would have done so by now.
    EXPECT_FALSE(server.wait_for_received(1, 300ms)) << "early bytes: " << server.received();

    auto next = std::async(std::launch::async, [&client] { return recv_within(client); });
    server.release();
    ASSERT_EQ(next.wait_for(WAIT_LIMIT), std::future_status::ready);
    EXPECT_EQ(next.get(), std::optional<std::string>("A"));
    ASSERT_TRUE(server.wait_for_received(LOCATION_REPLY.size(), WAIT_LIMIT));
    EXPECT_EQ(server.received(), LOCATION_REPLY);
    EXPECT_GT(server.sent_when_received(0), server.greeting_size());
    EXPECT_EQ(server.script_error(), "");
}

TEST(SixbitlineSession, OutputResetIsAnsweredBeforeTheLocation) {
    SupdupServer server("", {SupdupStep::send(bytes({P::TDORS}) + "ok")});
    Sixbitline client(loopback(server.port()));
    client.connect();
    EXPECT_EQ(recv_at_least(client, 2), "ok");
    const std::string expected = bytes({034, 020, 0, 0}) + LOCATION_REPLY;
    ASSERT_TRUE(server.wait_for_received(expected.size(), WAIT_LIMIT));
    EXPECT_EQ(server.received(), expected);
}

TEST(SixbitlineSession, ChunkHoldingOnlyTdnopDoesNotEndTheConnection) {
    SupdupServer server("G", {SupdupStep::pause(50ms), SupdupStep::send(bytes({P::TDNOP})),
                              SupdupStep::pause(100ms), SupdupStep::send("Z")});
    Sixbitline client(loopback(server.port()));
    client.connect();
    EXPECT_EQ(recv_within(client), std::optional<std::string>("G"));
    EXPECT_EQ(recv_within(client), std::optional<std::string>("Z"));
    EXPECT_FALSE(client.is_closed());
}

TEST(SixbitlineKeystrokes, EscapeByteIsDoubledAndHighBitsAreDropped) {
    SupdupServer server("", {});
    Sixbitline client(loopback(server.port()));
    client.connect();
    ASSERT_TRUE(server.wait_for_description(WAIT_LIMIT));
    client.send("\x1c");
    client.send("\xe9");
    client.send("");
    client.send(
        "a\x1c"
        "b");
    // 0x9C loses its high bit and becomes the escape byte: it must be doubled as well.
    client.send("\x9c");
    const std::string expected =
        "\x1c\x1c"
        "\x69"
        "a\x1c\x1c"
        "b"
        "\x1c\x1c";
    ASSERT_TRUE(server.wait_for_received(expected.size(), WAIT_LIMIT));
    EXPECT_EQ(server.received(), expected);
}

TEST(SixbitlineKeystrokes, ConcurrentSendersNeverInterleaveTheirWrites) {
    SupdupServer server("", {});
    Sixbitline client(loopback(server.port()));
    client.connect();
    const std::string unit_a = "AAAA\x1c";
    const std::string unit_b = "bbbbbbb";
    constexpr int ROUNDS = 300;
    auto writer = [&client](const std::string& unit) {
        for (int i = 0; i < ROUNDS; ++i) {
            client.send(unit);
        }
    };
    std::thread first(writer, unit_a);
    std::thread second(writer, unit_b);
    first.join();
    second.join();
    const std::string wire_a = "AAAA\x1c\x1c";
    const std::size_t total = ROUNDS * (wire_a.size() + unit_b.size());
    ASSERT_TRUE(server.wait_for_received(total, WAIT_LIMIT));
    const std::string got = server.received();
    std::size_t pos = 0;
    int seen_a = 0;
    int seen_b = 0;
    while (pos < got.size()) {
        if (got.compare(pos, wire_a.size(), wire_a) == 0) {
            pos += wire_a.size();
            ++seen_a;
        } else if (got.compare(pos, unit_b.size(), unit_b) == 0) {
            pos += unit_b.size();
            ++seen_b;
        } else {
            FAIL() << "interleaved bytes at offset " << pos;
        }
    }
    EXPECT_EQ(seen_a, ROUNDS);
    EXPECT_EQ(seen_b, ROUNDS);
}

TEST(SixbitlineEnd, ServerClosingMakesRecvReturnEmpty) {
    SupdupServer server("hello", {SupdupStep::send("bye"), SupdupStep::close()});
    Sixbitline client(loopback(server.port()));
    client.connect();
    EXPECT_EQ(recv_at_least(client, 8), "hellobye");
    EXPECT_EQ(recv_within(client), std::optional<std::string>(""));
    EXPECT_TRUE(client.is_closed());
    EXPECT_EQ(recv_within(client), std::optional<std::string>(""));
    client.send("ignored");
    client.close();
    client.close();
}

TEST(SixbitlineEnd, WritingToAVanishedServerClosesInsteadOfKillingTheProcess) {
    SupdupServer server("", {SupdupStep::abort()});
    Sixbitline client(loopback(server.port()));
    client.connect();
    ASSERT_TRUE(server.wait_for_client_gone(WAIT_LIMIT));
    // The first writes may still be accepted by the local stack; once the peer's reset
    // is back a write fails, which must close the client rather than raise SIGPIPE.
    for (int i = 0; i < 200 && !client.is_closed(); ++i) {
        client.send("keystrokes");
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(client.is_closed());
    EXPECT_EQ(recv_within(client), std::optional<std::string>(""));
}

TEST(SixbitlineEnd, CloseFromAnotherThreadUnblocksAWaitingRecv) {
    auto server = std::make_unique<SupdupServer>("ready", std::vector<SupdupStep>{});
    Sixbitline client(loopback(server->port()));
    client.connect();
    EXPECT_EQ(recv_at_least(client, 5), "ready");
    auto blocked = std::async(std::launch::async, [&client] { return client.recv(4096); });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout) << "recv did not block";
    client.close();
    if (blocked.wait_for(WAIT_LIMIT) != std::future_status::ready) {
        server.reset();  // ends the connection from the far side so the test can finish
        blocked.wait();
        FAIL() << "close() did not wake the blocked recv";
    }
    EXPECT_EQ(blocked.get(), "");
    EXPECT_TRUE(client.is_closed());
    client.close();
    EXPECT_TRUE(server->wait_for_client_gone(WAIT_LIMIT)) << "the socket was not released";
}

TEST(SixbitlineConnectFailure, RefusedPortIsAReadableError) {
    const int port = testing::free_loopback_port();
    Sixbitline client(loopback(port));
    try {
        client.connect();
        FAIL() << "connected to a port nobody listens on";
    } catch (const SixbitlineError& e) {
        EXPECT_STREQ(e.what(), "Connection refused");
    }
    EXPECT_EQ(recv_within(client), std::optional<std::string>(""));
}

// A listener whose accept queue is full: further connection attempts get no answer.
class SilentListener {
public:
    SilentListener() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_listener, 0);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        // The one connection the queue takes, never accepted.
        ::connect(m_filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    ~SilentListener() {
        ::close(m_filler);
        ::close(m_listener);
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int port() const { return m_port; }

private:
    int m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int m_filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int m_port = 0;
};

TEST(SixbitlineConnectFailure, UnansweredConnectGivesUpAfterTheTimeout) {
    SilentListener listener;
    SixbitlineOptions options = loopback(listener.port());
    options.timeout = 0.3;
    Sixbitline client(options);
    try {
        client.connect();
        FAIL() << "connected through a full accept queue";
    } catch (const SixbitlineError& e) {
        EXPECT_STREQ(e.what(), "Connection timed out");
    }
}

TEST(SixbitlineConnectFailure, SecondConnectIsRefused) {
    SupdupServer server("", {});
    Sixbitline client(loopback(server.port()));
    client.connect();
    EXPECT_THROW(client.connect(), SixbitlineError);
    EXPECT_FALSE(client.is_closed());
}

}  // namespace
}  // namespace termiva

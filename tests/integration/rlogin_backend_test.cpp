// RloginBackend against Debian's in.rlogind (inetd-style under socat, as root, with an
// account of the test's own and its .rhosts) and against a scripted server that drives
// the parts rlogind does only when it pleases (refusals, flow-control modes).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "connect/rlogin/rlogin_backend.h"
#include "fixtures/peer_process.h"
#include "fixtures/rhosts_account.h"
#include "integration/backend_reader.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using namespace std::chrono_literals;

constexpr const char* ACCOUNT = testing::RhostsAccount::NAME;
constexpr const char* CLIENT_USER = "termiva-client";

class RlogindBackend : public ::testing::Test {
protected:
    void SetUp() override {
        TERMIVA_REQUIRE_PROGRAM(socat, "socat");
        TERMIVA_REQUIRE_PROGRAM(rlogind, "in.rlogind");
        if (::geteuid() != 0) GTEST_SKIP() << "in.rlogind runs as root only";
        account = std::make_unique<testing::RhostsAccount>(std::vector<std::string>{CLIENT_USER});
        ASSERT_TRUE(account->ready());
        port = testing::free_loopback_port();
        peer = std::make_unique<testing::PeerProcess>(
            testing::socat_inetd(socat, port, rlogind.string()), dir.path() / "rlogind.log");
        ASSERT_TRUE(peer->wait_port(port)) << peer->log();
    }
    RloginBackend::Options options() {
        RloginBackend::Options o;
        o.host = "127.0.0.1";
        o.port = port;
        o.local_username = CLIENT_USER;
        o.remote_username = ACCOUNT;
        o.term_type = "vt100";
        o.timeout = 5;
        return o;
    }

    testing::TempDir dir;
    std::unique_ptr<testing::RhostsAccount> account;
    std::unique_ptr<testing::PeerProcess> peer;
    int port = 0;
};

TEST_F(RlogindBackend, HandshakeShellRoundTripAndWindowSizeOnResize) {
    RloginBackend b(options());
    b.connect();
    EXPECT_TRUE(b.used_reserved_port());
    testing::BackendReader reader(b);
    b.send("echo \"$(id -un) $TERM\" ok$((6*7))\r");
    ASSERT_TRUE(reader.wait_for(std::string(ACCOUNT) + " vt100 ok42")) << reader.text();
    reader.mark();
    b.send("stty size\r");
    ASSERT_TRUE(reader.wait_for("24 80")) << reader.since_mark();
    b.resize(41, 133);
    reader.mark();
    b.send("stty size\r");
    EXPECT_TRUE(reader.wait_for("41 133")) << reader.since_mark();
    b.send("exit\r");
    EXPECT_TRUE(reader.wait_end(5s));
    EXPECT_TRUE(b.is_closed());
}

TEST_F(RlogindBackend, AnAccountThatDoesNotTrustUsIsNotLoggedIn) {
    auto o = options();
    o.local_username = "somebody-else";
    RloginBackend b(o);
    b.connect();  // rlogind accepts the handshake, then asks for a password itself
    testing::BackendReader reader(b);
    EXPECT_TRUE(reader.wait_for("assword")) << reader.text();
}

// One connection, driven step by step by the test.
class ScriptedServer {
public:
    ScriptedServer() {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        ::listen(m_listen, 1);
    }
    ~ScriptedServer() {
        if (m_conn >= 0) ::close(m_conn);
        ::close(m_listen);
    }
    int port() const { return m_port; }
    // Accepts and reads the four handshake fields; returns them joined with '|'.
    std::string accept_handshake() {
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return "no connection";
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        m_conn = ::accept(m_listen, reinterpret_cast<sockaddr*>(&peer), &len);
        m_peer_port = ntohs(peer.sin_port);
        std::string got;
        int nuls = 0;
        while (nuls < 4) {
            std::string c = read(1);
            if (c.empty()) return "short handshake: " + got;
            if (c[0] == '\0') {
                ++nuls;
                if (nuls > 1 && nuls < 4) got += '|';
            } else {
                got += c;
            }
        }
        return got;
    }
    std::string read(std::size_t n) {
        std::string got;
        while (got.size() < n) {
            pollfd p{m_conn, POLLIN, 0};
            if (::poll(&p, 1, 3000) <= 0) break;
            char buf[256];
            ssize_t r = ::recv(m_conn, buf, std::min(sizeof buf, n - got.size()), 0);
            if (r <= 0) break;
            got.append(buf, static_cast<std::size_t>(r));
        }
        return got;
    }
    // Nothing arrives within a short while.
    bool quiet() {
        pollfd p{m_conn, POLLIN, 0};
        return ::poll(&p, 1, 200) == 0;
    }
    void write(const std::string& s) { (void)!::send(m_conn, s.data(), s.size(), MSG_NOSIGNAL); }
    // A send into a client that reads no more gives up after this long instead of blocking.
    void limit_send_wait(int seconds) {
        timeval limit{seconds, 0};
        ::setsockopt(m_conn, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    void control(unsigned char b) { (void)!::send(m_conn, &b, 1, MSG_OOB | MSG_NOSIGNAL); }
    void close() {
        ::close(m_conn);
        m_conn = -1;
    }
    int peer_port() const { return m_peer_port; }

private:
    int m_listen, m_port;
    int m_conn = -1;
    int m_peer_port = 0;
};

RloginBackend::Options scripted_options(int port) {
    RloginBackend::Options o;
    o.host = "127.0.0.1";
    o.port = port;
    o.local_username = "ann";
    o.remote_username = "bob";
    o.term_type = "xterm";
    o.term_speed = "19200,19200";
    o.timeout = 5;
    return o;
}

std::string window(int rows, int cols) {
    std::string m("\xff\xffss", 4);
    for (int v : {rows, cols, 0, 0}) {
        m.push_back(static_cast<char>(v >> 8));
        m.push_back(static_cast<char>(v & 0xff));
    }
    return m;
}

TEST(RloginScriptedServer, WindowRequestsAndFlowControlModes) {
    ScriptedServer server;
    RloginBackend b(scripted_options(server.port()));
    std::thread connecting([&] { b.connect(); });
    EXPECT_EQ(server.accept_handshake(), "ann|bob|xterm/19200");
    server.write(std::string("\0welcome\r\n", 10));
    connecting.join();
    if (::geteuid() == 0) {
        EXPECT_TRUE(b.used_reserved_port());
        EXPECT_GE(server.peer_port(), 512);
        EXPECT_LE(server.peer_port(), 1023);
    }
    testing::BackendReader reader(b);
    EXPECT_TRUE(reader.wait_for("welcome\r\n"));

    b.resize(30, 100);  // not asked for yet: nothing goes out
    EXPECT_TRUE(server.quiet());
    server.control(0x80);
    EXPECT_EQ(server.read(12), window(30, 100));
    b.resize(50, 132);
    EXPECT_EQ(server.read(12), window(50, 132));

    // Cooked mode: ^S and ^Q stop and start our output and stay here.
    server.control(0x20);
    std::this_thread::sleep_for(100ms);
    b.send(
        "a\x13"
        "b");
    EXPECT_EQ(server.read(2), "ab");
    server.write("held back");
    EXPECT_FALSE(reader.wait_for("held back", 300ms));
    b.send("\x11");
    EXPECT_TRUE(reader.wait_for("held back"));
    // Raw mode: they are the remote program's keys.
    server.control(0x10);
    std::this_thread::sleep_for(100ms);
    b.send("\x13\x11");
    EXPECT_EQ(server.read(2), "\x13\x11");
    server.close();
    EXPECT_TRUE(reader.wait_end(5s));
}

TEST(RloginScriptedServer, ARefusalCarriesTheServersReason) {
    ScriptedServer server;
    RloginBackend b(scripted_options(server.port()));
    std::string error;
    std::thread connecting([&] {
        try {
            b.connect();
        } catch (const BackendError& e) {
            error = e.what();
        }
    });
    server.accept_handshake();
    server.write("\x01Permission denied.\r\n");
    connecting.join();
    EXPECT_EQ(error, "Permission denied.");
}

// The refusal byte and then five megabytes without a line end: the reason read is
// bounded (a status line shows 1 KiB of it), and the connect fails as for any refusal.
TEST(RloginScriptedServer, ARefusalWithoutEndIsReadOnlyAsFarAsAStatusLineShows) {
    ScriptedServer server;
    auto backend = std::make_unique<RloginBackend>(scripted_options(server.port()));
    std::string error;
    std::thread connecting([&] {
        try {
            backend->connect();
        } catch (const BackendError& e) {
            error = e.what();
        }
    });
    server.accept_handshake();
    server.limit_send_wait(10);
    // From a thread of its own: the client stops reading once it has enough, so this send
    // ends when the client's socket is gone (a reset) or at the send limit.
    std::thread flood([&] { server.write("\x01" + std::string(5 << 20, 'z')); });
    connecting.join();
    // Only closing the descriptor with data unread resets the connection; a shutdown
    // leaves the sender waiting on a full window.
    backend.reset();
    flood.join();
    EXPECT_GE(error.size(), 1024u);
    EXPECT_LE(error.size(), 8192u);
    EXPECT_EQ(error.find_first_not_of('z'), std::string::npos);
}

TEST(RloginScriptedServer, AServerThatHangsUpDuringTheHandshakeIsAnError) {
    ScriptedServer server;
    RloginBackend b(scripted_options(server.port()));
    std::string error;
    std::thread connecting([&] {
        try {
            b.connect();
        } catch (const BackendError& e) {
            error = e.what();
        }
    });
    server.accept_handshake();
    server.close();
    connecting.join();
    EXPECT_NE(error.find("the server closed the connection"), std::string::npos) << error;
}

TEST(RloginBackend, HandshakeFieldsAndSpeed) {
    auto o = scripted_options(513);
    EXPECT_EQ(RloginBackend::handshake(o), std::string("\0ann\0bob\0xterm/19200\0", 21));
    o.term_speed = "fast";
    EXPECT_EQ(RloginBackend::handshake(o), std::string("\0ann\0bob\0xterm/38400\0", 21));
}

}  // namespace
}  // namespace termiva

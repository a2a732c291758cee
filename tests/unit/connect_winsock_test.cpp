// The TCP backends on Winsock (Windows build, run under Wine) against a loopback peer written
// here on plain Winsock calls, apart from the code under test.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "connect/fd_io.h"
#include "connect/raw_backend.h"
#include "connect/rlogin/rlogin_backend.h"
#include "connect/telnet/telnet_backend.h"

namespace termiva {
namespace {

using namespace std::chrono_literals;

struct Winsock {
    Winsock() {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
};

// A listening socket on 127.0.0.1 at a port Windows chose, serving one client.
class LoopbackPeer {
public:
    LoopbackPeer() {
        m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof addr;
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
            listen(m_listener, 1) != 0)
            throw std::runtime_error("no loopback listener");
        m_port = ntohs(addr.sin_port);
    }
    ~LoopbackPeer() {
        close_client();
        closesocket(m_listener);
    }
    int port() const { return m_port; }

    // Accepts the client, waiting at most five seconds.
    bool accept_client() {
        WSAPOLLFD p{m_listener, POLLRDNORM, 0};
        if (WSAPoll(&p, 1, 5000) != 1) return false;
        m_peer = accept(m_listener, nullptr, nullptr);
        return m_peer != INVALID_SOCKET;
    }
    // Reads until `wanted` has arrived (true) or five seconds pass or the client leaves.
    bool read_until(const std::string& wanted) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (m_got.find(wanted) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            WSAPOLLFD p{m_peer, POLLRDNORM, 0};
            if (WSAPoll(&p, 1, 200) != 1) continue;
            char buf[512];
            const int r = recv(m_peer, buf, sizeof buf, 0);
            if (r <= 0) return false;
            m_got.append(buf, static_cast<std::size_t>(r));
        }
        return true;
    }
    const std::string& received() const { return m_got; }
    void send_bytes(const std::string& s, int flags = 0) {
        ::send(m_peer, s.data(), static_cast<int>(s.size()), flags);
    }
    void close_client() {
        if (m_peer != INVALID_SOCKET) closesocket(m_peer);
        m_peer = INVALID_SOCKET;
    }

private:
    SOCKET m_listener = INVALID_SOCKET;
    SOCKET m_peer = INVALID_SOCKET;
    int m_port = 0;
    std::string m_got;
};

// Whatever the backend delivers until `wanted` is among it, or five seconds pass.
std::string recv_until(Backend& backend, const std::string& wanted) {
    auto reading = std::async(std::launch::async, [&] {
        std::string got;
        while (got.find(wanted) == std::string::npos) {
            std::string chunk = backend.recv(4096);
            if (chunk.empty()) break;
            got += chunk;
        }
        return got;
    });
    if (reading.wait_for(5s) != std::future_status::ready) {
        backend.close();  // frees the reader so the test ends
        ADD_FAILURE() << "nothing more arrived within 5 s";
    }
    return reading.get();
}

class ConnectWinsock : public ::testing::Test {
protected:
    Winsock m_winsock;
    LoopbackPeer m_peer;
};

TEST_F(ConnectWinsock, RawBytesTravelBothWaysUnchanged) {
    RawBackend backend({"127.0.0.1", m_peer.port(), 5});
    backend.connect();
    ASSERT_TRUE(m_peer.accept_client());

    const std::string binary("\x00\xff\r\n\x1b[0m", 8);
    backend.send(binary);
    EXPECT_TRUE(m_peer.read_until(binary));
    m_peer.send_bytes(std::string("back\x00\xfe", 6));
    EXPECT_EQ(recv_until(backend, std::string("back\x00\xfe", 6)), std::string("back\x00\xfe", 6));
}

TEST_F(ConnectWinsock, ACloseFromAnotherThreadEndsABlockedRead) {
    // On Windows shutdown() alone does not free a thread inside recv(); the wake-up must.
    RawBackend backend({"127.0.0.1", m_peer.port(), 5});
    backend.connect();
    ASSERT_TRUE(m_peer.accept_client());
    auto reading = std::async(std::launch::async, [&] { return backend.recv(4096); });
    EXPECT_EQ(reading.wait_for(200ms), std::future_status::timeout) << "recv did not block";
    backend.close();
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reading.get(), "");
    EXPECT_TRUE(backend.is_closed());
    EXPECT_THROW(backend.send("x"), BackendError);
}

TEST_F(ConnectWinsock, ThePeerLeavingEndsTheStream) {
    RawBackend backend({"127.0.0.1", m_peer.port(), 5});
    backend.connect();
    ASSERT_TRUE(m_peer.accept_client());
    m_peer.send_bytes("last words");
    m_peer.close_client();
    EXPECT_EQ(recv_until(backend, "\n"), "last words");
    EXPECT_TRUE(backend.is_closed());
}

TEST_F(ConnectWinsock, ARefusedConnectionSaysSo) {
    // A port that was just free: bound, then closed without listening.
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    closesocket(s);

    RawBackend backend({"127.0.0.1", ntohs(addr.sin_port), 5});
    const auto started = std::chrono::steady_clock::now();
    try {
        backend.connect();
        FAIL() << "connected to a closed port";
    } catch (const BackendError& e) {
        EXPECT_FALSE(std::string(e.what()).empty());
        EXPECT_NE(std::string(e.what()), "timed out");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST_F(ConnectWinsock, ASignalledWakeStaysSignalledAndEndsEveryWait) {
    WakeFd wake;
    EXPECT_FALSE(wake.signalled());
    wake.signal();
    wake.signal();
    EXPECT_TRUE(wake.signalled());
    EXPECT_TRUE(wake.signalled());
    SocketFd fd = tcp_connect("127.0.0.1", m_peer.port(), platform::IpFamily::any, 5, WakeFd{});
    ASSERT_TRUE(m_peer.accept_client());
    EXPECT_EQ(wait_fd(fd, false, wake, 5000), WaitResult::woken);
    EXPECT_EQ(read_some(fd, 100, wake), "");
    platform::close_socket(fd);
}

TEST_F(ConnectWinsock, TelnetAgreesOnTheWindowSizeAndUnescapesData) {
    TelnetBackend::Options options;
    options.host = "127.0.0.1";
    options.port = m_peer.port();
    options.timeout = 5;
    TelnetBackend backend(options);
    backend.connect();
    ASSERT_TRUE(m_peer.accept_client());

    // The engine answers while the tab reads.
    auto reading = std::async(std::launch::async, [&] { return recv_until(backend, "end"); });
    m_peer.send_bytes("\xff\xfd\x1f");  // IAC DO NAWS
    // IAC SB NAWS 0 80 0 24 IAC SE
    EXPECT_TRUE(m_peer.read_until(std::string("\xff\xfa\x1f\x00\x50\x00\x18\xff\xf0", 9)))
        << "no window size among " << m_peer.received().size() << " bytes";
    m_peer.send_bytes("data \xff\xff end");
    EXPECT_EQ(reading.get(), "data \xff end");

    backend.resize(30, 100);
    EXPECT_TRUE(m_peer.read_until(std::string("\xff\xfa\x1f\x00\x64\x00\x1e\xff\xf0", 9)));
    backend.close();
}

TEST_F(ConnectWinsock, RloginAnswersTheUrgentWindowRequest) {
    RloginBackend::Options options;
    options.host = "127.0.0.1";
    options.port = m_peer.port();
    options.local_username = "me";
    options.remote_username = "you";
    options.term_width = 100;
    options.term_height = 40;
    options.timeout = 5;
    RloginBackend backend(options);
    auto connecting = std::async(std::launch::async, [&] { backend.connect(); });
    ASSERT_TRUE(m_peer.accept_client());
    EXPECT_TRUE(m_peer.read_until(std::string("\0me\0you\0xterm/38400\0", 20)));
    m_peer.send_bytes(std::string("\0", 1));
    ASSERT_EQ(connecting.wait_for(5s), std::future_status::ready);
    connecting.get();

    // The server asks for the window size with an urgent 0x80.
    m_peer.send_bytes("\x80", MSG_OOB);
    auto reading = std::async(std::launch::async, [&] { return recv_until(backend, "shell"); });
    EXPECT_TRUE(m_peer.read_until(std::string("\xff\xffss\x00\x28\x00\x64\x00\x00\x00\x00", 12)))
        << "no window report among " << m_peer.received().size() << " bytes";
    m_peer.send_bytes("shell");
    EXPECT_EQ(reading.get(), "shell");
    backend.close();
}

}  // namespace
}  // namespace termiva

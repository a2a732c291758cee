// The SUPDUP client's Winsock connection (Windows build, run under Wine): a loopback peer
// written here on Winsock, since the scripted server of the Linux tests is POSIX.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "sixbitline/sixbitline.h"

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

// A listening socket on 127.0.0.1 at a port Windows chose.
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
        if (m_peer != INVALID_SOCKET) closesocket(m_peer);
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
    // Exactly `n` bytes from the client, or fewer when five seconds pass.
    std::string read_exactly(std::size_t n) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            WSAPOLLFD p{m_peer, POLLRDNORM, 0};
            if (WSAPoll(&p, 1, 200) != 1) continue;
            char buf[256];
            int r = recv(m_peer, buf,
                         static_cast<int>(std::min<std::size_t>(sizeof buf, n - got.size())), 0);
            if (r <= 0) break;
            got.append(buf, static_cast<std::size_t>(r));
        }
        return got;
    }
    void send_text(const std::string& s) { send(m_peer, s.data(), static_cast<int>(s.size()), 0); }

private:
    SOCKET m_listener = INVALID_SOCKET;
    SOCKET m_peer = INVALID_SOCKET;
    int m_port = 0;
};

SixbitlineOptions loopback(int port) {
    SixbitlineOptions options;
    options.host = "127.0.0.1";
    options.port = port;
    options.timeout = 5;
    return options;
}

TEST(SixbitlineWinsock, SendsTheDescriptionAndReadsTheGreeting) {
    Winsock winsock;
    LoopbackPeer peer;
    Sixbitline client(loopback(peer.port()));
    client.connect();
    ASSERT_TRUE(peer.accept_client());
    const std::string description = peer.read_exactly(36);
    ASSERT_EQ(description.size(), 36u);
    EXPECT_EQ(description.substr(0, 6), std::string("\x3f\x3f\x3b\0\0\0", 6));

    peer.send_text("Welcome\x88");  // the greeting ends with %TDNOP
    auto got = std::async(std::launch::async, [&] { return client.recv(); });
    ASSERT_EQ(got.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(got.get(), "Welcome");
    client.close();
}

TEST(SixbitlineWinsock, CloseFromAnotherThreadEndsABlockedRead) {
    Winsock winsock;
    LoopbackPeer peer;
    Sixbitline client(loopback(peer.port()));
    client.connect();
    ASSERT_TRUE(peer.accept_client());
    auto got = std::async(std::launch::async, [&] { return client.recv(); });
    EXPECT_EQ(got.wait_for(300ms), std::future_status::timeout);  // nothing to read yet
    client.close();
    ASSERT_EQ(got.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(got.get(), "");
    EXPECT_TRUE(client.is_closed());
}

TEST(SixbitlineWinsock, ARefusedConnectionIsAnErrorWithTheSystemsWording) {
    Winsock winsock;
    int port = 0;
    {
        LoopbackPeer gone;  // a port that was free a moment ago, closed again
        port = gone.port();
    }
    Sixbitline client(loopback(port));
    try {
        client.connect();
        FAIL() << "connected to a closed port";
    } catch (const SixbitlineError& e) {
        EXPECT_FALSE(std::string(e.what()).empty());
    }
}

}  // namespace
}  // namespace termiva

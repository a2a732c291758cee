// The WinHTTP GET against a one-shot HTTP server on the loopback in this test: the request
// carries the headers, the answer comes back whatever its status, a server that never
// answers costs the time limit and no more, and a body past the limit is refused.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/windows/winhttp_get.h"
#include "unit/windows_test_support.h"

namespace termiva::platform {
namespace {

using namespace std::chrono_literals;
using windows::winhttp_get;

// Accepts one connection, reads the request head, sends `reply` (or nothing when empty,
// holding the connection until `hold` is over).
class OneShotServer {
public:
    OneShotServer(std::string reply, std::chrono::milliseconds hold = 0ms) {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        int len = sizeof addr;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        ::listen(m_listener, 1);
        m_thread = std::thread([this, reply = std::move(reply), hold] {
            SOCKET c = ::accept(m_listener, nullptr, nullptr);
            if (c == INVALID_SOCKET) return;
            DWORD limit = 10000;
            ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                         sizeof limit);
            char buf[4096];
            while (m_request.find("\r\n\r\n") == std::string::npos) {
                const int n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                m_request.append(buf, static_cast<std::size_t>(n));
            }
            if (!reply.empty()) {
                std::size_t sent = 0;
                while (sent < reply.size()) {
                    const int n = ::send(
                        c, reply.data() + sent,
                        static_cast<int>(std::min<std::size_t>(reply.size() - sent, 65536)), 0);
                    if (n <= 0) break;
                    sent += static_cast<std::size_t>(n);
                }
            } else {
                std::this_thread::sleep_for(hold);
            }
            ::shutdown(c, SD_BOTH);
            ::closesocket(c);
        });
    }
    ~OneShotServer() {
        ::closesocket(m_listener);
        m_thread.join();
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    std::string request() {
        m_thread.join();
        m_thread = std::thread([] {});
        return m_request;
    }

private:
    SOCKET m_listener = INVALID_SOCKET;
    unsigned short m_port = 0;
    std::thread m_thread;
    std::string m_request;
};

TEST(WindowsWinHttp, SendsTheHeadersAndReturnsStatusAndBody) {
    OneShotServer server(
        "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nno models");
    const auto answer =
        winhttp_get(server.url("/v1/models?limit=5"),
                    {"Authorization: Bearer sk-test", "anthropic-version: 2023-06-01"}, 10s);
    EXPECT_EQ(answer.status, 404);
    EXPECT_EQ(answer.body, "no models");
    const std::string request = server.request();
    EXPECT_EQ(request.rfind("GET /v1/models?limit=5 HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("Authorization: Bearer sk-test\r\n"), std::string::npos) << request;
    EXPECT_NE(request.find("anthropic-version: 2023-06-01\r\n"), std::string::npos) << request;
}

TEST(WindowsWinHttp, ARedirectIsNotFollowed) {
    OneShotServer server(
        "HTTP/1.1 302 Found\r\nLocation: http://192.0.2.1/steal\r\n"
        "Content-Length: 0\r\nConnection: close\r\n\r\n");
    const auto answer = winhttp_get(server.url("/"), {"Authorization: Bearer sk-test"}, 10s);
    EXPECT_EQ(answer.status, 302);
}

TEST(WindowsWinHttp, ASilentServerCostsTheTimeLimit) {
    if (!test::wine_version().empty())
        GTEST_SKIP() << "Wine's WinHttpReceiveResponse waits for the server whatever "
                        "WinHttpSetTimeouts says";
    OneShotServer server("", 8s);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(winhttp_get(server.url("/"), {}, 1s), std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
}

TEST(WindowsWinHttp, BadAddressesAndHeadersAreRefused) {
    EXPECT_THROW(winhttp_get("ftp://127.0.0.1/x", {}, 2s), std::runtime_error);
    EXPECT_THROW(winhttp_get("not a url", {}, 2s), std::runtime_error);
    EXPECT_THROW(winhttp_get("http://127.0.0.1:1/", {"X: a\r\nInjected: b"}, 2s),
                 std::runtime_error);
}

TEST(WindowsWinHttp, ABodyPastTheLimitIsRefused) {
    const std::size_t size = 9 * 1024 * 1024;
    OneShotServer server("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) +
                         "\r\nConnection: close\r\n\r\n" + std::string(size, 'x'));
    EXPECT_THROW(winhttp_get(server.url("/"), {}, 20s), std::runtime_error);
}

}  // namespace
}  // namespace termiva::platform

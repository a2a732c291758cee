// The SSH-2 connection layer of the Windows build, run under Wine against the real OpenSSH
// server that tests/support/wine_sshd.sh starts on this machine. The TCP peers the forwards
// reach are written here on plain Winsock calls, apart from the code under test.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "connect/ssh2/ssh_connection.h"
#include "connect/ssh2/ssh_forward.h"
#include "integration/ssh_test_helpers.h"
#include "platform/utf8_path.h"
#include "support/test_support.h"

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

// What wine_sshd.sh hands over: "port;user;key" (the key as a Windows path).
struct SshdInfo {
    int port = 0;
    std::string user;
    std::string key;
};

std::optional<SshdInfo> sshd_info() {
    const char* text = std::getenv("TERMIVA_TEST_SSHD");
    if (!text || !*text) return std::nullopt;
    std::stringstream in(text);
    SshdInfo info;
    std::string port;
    if (!std::getline(in, port, ';') || !std::getline(in, info.user, ';') ||
        !std::getline(in, info.key))
        return std::nullopt;
    info.port = std::atoi(port.c_str());
    if (info.port <= 0) return std::nullopt;
    return info;
}

SOCKET loopback_listener(int& port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 8) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        closesocket(s);
        throw std::runtime_error("no loopback listener");
    }
    port = ntohs(addr.sin_port);
    return s;
}

// Echoes every byte back on 127.0.0.1:port() until destroyed.
class WinsockEcho {
public:
    WinsockEcho() : m_listener(loopback_listener(m_port)) {
        m_thread = std::thread([this] { serve(); });
    }
    ~WinsockEcho() {
        m_stop.store(true);
        m_thread.join();
        closesocket(m_listener);
    }
    int port() const { return m_port; }
    int connections() const { return m_connections.load(); }

private:
    void serve() {
        std::vector<SOCKET> clients;
        while (!m_stop.load()) {
            std::vector<WSAPOLLFD> fds{{m_listener, POLLRDNORM, 0}};
            for (SOCKET c : clients)
                fds.push_back({c, POLLRDNORM, 0});
            if (WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), 100) <= 0) continue;
            if (fds[0].revents) {
                const SOCKET c = accept(m_listener, nullptr, nullptr);
                if (c != INVALID_SOCKET) {
                    clients.push_back(c);
                    m_connections.fetch_add(1);
                }
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                char buf[4096];
                const int n = recv(fds[i].fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    closesocket(fds[i].fd);
                    std::erase(clients, fds[i].fd);
                } else {
                    send(fds[i].fd, buf, n, 0);
                }
            }
        }
        for (SOCKET c : clients)
            closesocket(c);
    }

    int m_port = 0;
    SOCKET m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};

// Connects to 127.0.0.1:port, writes `text`, reads until as many bytes came back, the peer
// left, or five seconds passed.
std::string round_trip(int port, const std::string& text) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<u_short>(port));
    std::string got;
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        send(s, text.data(), static_cast<int>(text.size()), 0) == static_cast<int>(text.size())) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (got.size() < text.size() && std::chrono::steady_clock::now() < deadline) {
            WSAPOLLFD p{s, POLLRDNORM, 0};
            if (WSAPoll(&p, 1, 200) != 1) continue;
            char buf[4096];
            const int n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
    }
    closesocket(s);
    return got;
}

int free_port() {
    int port = 0;
    closesocket(loopback_listener(port));
    return port;
}

class SshOnWindows : public ::testing::Test {
protected:
    void SetUp() override {
        auto info = sshd_info();
        if (!info) {
            if (testing::peers_required()) FAIL() << "TERMIVA_TEST_SSHD is not set";
            GTEST_SKIP() << "no OpenSSH server: run under tests/support/wine_sshd.sh";
        }
        m_sshd = *info;
    }

    SshConnectOptions key_login() const {
        SshConnectOptions options;
        options.host = "127.0.0.1";
        options.port = m_sshd.port;
        options.username = m_sshd.user;
        options.key_file = platform::path_from_utf8(m_sshd.key);
        options.look_for_keys = false;
        options.timeout = std::chrono::seconds(20);
        options.known_hosts_file = m_dir.path() / "known_hosts";
        return options;
    }

    Winsock m_winsock;
    SshdInfo m_sshd;
    testing::TempDir m_dir;
};

TEST_F(SshOnWindows, AKeyLoginRunsACommandInAShell) {
    SshConnection connection;
    connection.connect(key_login());
    EXPECT_TRUE(connection.is_active());
    // The host was unknown: its key is recorded for the next connection.
    EXPECT_TRUE(std::filesystem::is_regular_file(m_dir.path() / "known_hosts"));
    auto channel = connection.open_session();
    connection.get_pty(channel, "xterm", 80, 24);
    connection.invoke_shell(channel);
    // The shell works the sum out, so the answer cannot be the echo of what was typed.
    channel->send("echo termiva-$((6*7))\n");
    EXPECT_NE(testing::read_until(*channel, "termiva-42", 15s).find("termiva-42"),
              std::string::npos);
    channel->send("exit\n");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!channel->is_closed() && std::chrono::steady_clock::now() < deadline)
        testing::read_until(*channel, "\x01never", 500ms);
    EXPECT_TRUE(channel->is_closed());
}

TEST_F(SshOnWindows, AKnownHostConnectsAgainAndAMissingKeyIsNamed) {
    {
        SshConnection first;
        first.connect(key_login());
    }
    SshConnection again;
    again.connect(key_login());  // the recorded key matches
    EXPECT_TRUE(again.is_active());

    SshConnectOptions missing = key_login();
    missing.key_file = m_dir.path() / "no such key";
    SshConnection refused;
    try {
        refused.connect(missing);
        ADD_FAILURE() << "connected without a key";
    } catch (const SshAuthError& e) {
        EXPECT_NE(std::string(e.what()).find("could not be read"), std::string::npos) << e.what();
    }
}

TEST_F(SshOnWindows, ClosingTheConnectionEndsABlockedRead) {
    SshConnection connection;
    connection.connect(key_login());
    auto channel = connection.open_session();
    connection.invoke_shell(channel);
    // Whatever the shell prints first is taken; then the reader blocks.
    testing::read_until(*channel, "\x01never", 1s);
    auto reading = std::async(std::launch::async, [&] { return channel->recv(4096); });
    EXPECT_EQ(reading.wait_for(200ms), std::future_status::timeout) << "recv did not block";
    connection.close();
    ASSERT_EQ(reading.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reading.get(), "");
    EXPECT_FALSE(connection.is_active());
}

TEST_F(SshOnWindows, ALocalForwardCarriesBytesBothWays) {
    WinsockEcho echo;
    SshConnection connection;
    connection.connect(key_login());
    const int port = _open_local_forward(connection, 0, "127.0.0.1", echo.port());
    ASSERT_GT(port, 0);
    const std::string text(20000, 'x');
    EXPECT_EQ(round_trip(port, "through the server"), "through the server");
    EXPECT_EQ(round_trip(port, text), text);
    EXPECT_EQ(echo.connections(), 2);
    connection.close();
    // Closing the connection frees the port at once.
    EXPECT_EQ(round_trip(port, "gone"), "");
}

TEST_F(SshOnWindows, ARemoteForwardBringsAConnectionBack) {
    WinsockEcho echo;
    SshConnection connection;
    connection.connect(key_login());
    const int remote_port = free_port();
    const int bound = connection.request_port_forward(
        "127.0.0.1", remote_port,
        [&connection, &echo](std::shared_ptr<SshChannel> channel, SshAddress, SshAddress) {
            _remote_handler(channel, "127.0.0.1", echo.port(), connection.stopping());
        });
    EXPECT_EQ(bound, remote_port);
    // sshd listens on the server side, which is this machine.
    EXPECT_EQ(round_trip(remote_port, "from the server side"), "from the server side");
    EXPECT_EQ(echo.connections(), 1);
}

}  // namespace
}  // namespace termiva

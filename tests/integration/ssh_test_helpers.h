// Helpers for the SSH tests: bounded reads from a channel, loopback echo and HTTP servers.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "connect/ssh2/ssh_channel.h"
#include "platform/socket_io.h"

namespace termiva::testing {

// Reads from `channel` until `needle` was seen, the stream ended, or `limit` passed;
// returns everything read.
inline std::string read_until(SshChannel& channel, const std::string& needle,
                              std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::string seen;
    const platform::SocketWake never;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (seen.find(needle) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        // The channel's "bytes waiting" mark, watched as a socket.
        if (!platform::wait_socket(channel.readable_fd(), platform::SocketWant::read, never,
                                   static_cast<int>(left.count()))
                 .ready)
            break;
        const std::string data = channel.recv(4096);
        if (data.empty()) break;
        seen += data;
    }
    return seen;
}

// Echoes every byte back on 127.0.0.1:port() until destroyed.
class EchoServer {
public:
    EchoServer();
    ~EchoServer();
    int port() const { return m_port; }
    int connections() const { return m_connections.load(); }

private:
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};

// Answers each connection on 127.0.0.1:port(), one at a time, with an HTTP/1.0 response
// carrying `body` once the request's head has come (or 5 s passed), then closes it.
class HttpReplyServer {
public:
    explicit HttpReplyServer(std::string body);
    ~HttpReplyServer();
    int port() const { return m_port; }
    int answered() const { return m_answered.load(); }

private:
    void answer(int client) const;

    const std::string m_body;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_answered{0};
    std::thread m_thread;
};

// Listens on 127.0.0.1:port() and never accepts: the kernel completes the TCP handshake,
// but nothing ever speaks.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

// A server that discards what a client sends before its greeting: on 127.0.0.1:port() it
// accepts one connection, reads and drops everything for `quiet`, and only then connects
// to 127.0.0.1:`target` and carries both ways until either side ends.
class LateGreetingProxy {
public:
    LateGreetingProxy(int target, std::chrono::milliseconds quiet);
    ~LateGreetingProxy();
    int port() const { return m_port; }

private:
    void serve(int target, std::chrono::milliseconds quiet);

    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Connects to 127.0.0.1:port, writes `text`, and reads until as many bytes came back or
// `limit` passed.
std::string tcp_round_trip(int port, const std::string& text,
                           std::chrono::milliseconds limit = std::chrono::seconds(10));
// Connects to 127.0.0.1:port and waits until a first byte comes back, so that whatever
// carries the connection is serving it; the connected socket, held open, or -1 when the
// connection was not carried (closed or silent for 10 s).
int held_through(int port);
// True when 127.0.0.1:port can be bound (nothing listens there).
bool port_is_free(int port);

}  // namespace termiva::testing

// TCP port forwarding over an SSH-2 connection: local listeners whose connections go
// through "direct-tcpip" channels (to a fixed destination, or to the one a SOCKS client
// names), and the serving of connections that arrive through a remote forward.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "connect/ssh2/ssh_connection.h"
#include "connect/ssh2/ssh_sockets.h"

namespace termiva {

namespace ssh2 {

// A local listener. Each accepted connection is handed to `carry` on a worker thread of
// the connection. It stops with its connection (a port held by a closed tab would be a
// leak).
class LocalForward {
public:
    using Carrier = std::function<void(std::shared_ptr<UniqueFd> client)>;

    LocalForward(UniqueFd listener, Carrier carry, SshConnection& transport);
    ~LocalForward();
    LocalForward(const LocalForward&) = delete;
    LocalForward& operator=(const LocalForward&) = delete;

    void start();
    // Stops listening and frees the port. Idempotent.
    void close();
    int port() const { return m_port; }

private:
    void serve();

    SshConnection& m_transport;
    UniqueFd m_listener;
    int m_port;
    Carrier m_carry;
    StopFlag m_stop;
    std::thread m_thread;
};

// Serves one client of a dynamic forward: reads its SOCKS request (it has a bounded time
// to send it), opens a "direct-tcpip" channel to the destination it names and copies both
// ways until either side ends. A request that is not a SOCKS CONNECT is refused with the
// protocol's own answer.
void serve_socks_client(SshConnection& transport, UniqueFd& client);

}  // namespace ssh2

// Creates and starts a local listener on 127.0.0.1 owned by `transport`, whose
// connections are carried to remote_host:remote_port as seen from the server; returns the
// bound port. Throws BackendError.
int _open_local_forward(SshConnection& transport, int local_port, const std::string& remote_host,
                        int remote_port);

// Creates and starts a SOCKS 4/4a/5 listener on bind_address:port ("" the loopback, "*"
// every address) owned by `transport`; returns the bound port. Throws BackendError.
int open_dynamic_forward(SshConnection& transport, const std::string& bind_address, int port);

// Serves one connection that arrived through a remote forward: connects to
// local_host:local_port and copies both ways until either side ends; the channel is
// closed at once when the local destination cannot be reached.
void _remote_handler(const std::shared_ptr<SshChannel>& channel, const std::string& local_host,
                     int local_port, const ssh2::StopFlag& stop);

}  // namespace termiva

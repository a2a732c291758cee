// TCP port forwarding over an SSH-2 connection: local listeners whose connections go
// through "direct-tcpip" channels, and the serving of connections that arrive through a
// remote forward.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "connect/ssh2/ssh_connection.h"
#include "connect/ssh2/ssh_sockets.h"

namespace termiva {

namespace ssh2 {

// A listener on 127.0.0.1:port. Each accepted connection is carried to
// remote_host:remote_port as seen from the server, on a worker thread of the connection.
// It stops with its connection (a port held by a closed tab would be a leak).
class LocalForward {
public:
    // Binds at once; throws BackendError when the port cannot be had.
    LocalForward(SshConnection& transport, int local_port, std::string remote_host,
                 int remote_port);
    ~LocalForward();
    LocalForward(const LocalForward&) = delete;
    LocalForward& operator=(const LocalForward&) = delete;

    void start();
    // Stops listening and frees the port. Idempotent.
    void close();
    int port() const { return m_port; }

private:
    void serve();
    void carry(std::shared_ptr<UniqueFd> client);

    SshConnection& m_transport;
    UniqueFd m_listener;
    int m_port;
    std::string m_remote_host;
    int m_remote_port;
    StopFlag m_stop;
    std::thread m_thread;
};

}  // namespace ssh2

// Creates and starts a local listener owned by `transport`; returns the bound port.
// Throws BackendError.
int _open_local_forward(SshConnection& transport, int local_port, const std::string& remote_host,
                        int remote_port);

// Serves one connection that arrived through a remote forward: connects to
// local_host:local_port and copies both ways until either side ends; the channel is
// closed at once when the local destination cannot be reached.
void _remote_handler(const std::shared_ptr<SshChannel>& channel, const std::string& local_host,
                     int local_port, const ssh2::StopFlag& stop);

}  // namespace termiva

// An SSH-2 connection on libssh. One I/O thread owns the libssh session and every
// channel from the first byte to the last; the other threads reach them through
// SshChannel façades and through requests that the I/O thread carries out.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "connect/backend.h"
#include "connect/login_user.h"
#include "connect/ssh2/sftp_session.h"
#include "connect/ssh2/ssh_bugs.h"
#include "connect/ssh2/ssh_channel.h"
#include "connect/ssh2/ssh_errors.h"
#include "connect/ssh2/ssh_sockets.h"
#include "connect/ssh2/worker_threads.h"

namespace termiva {

struct SshConnectOptions {
    std::string host;
    int port = 22;
    platform::IpFamily ip_family = platform::IpFamily::any;  // which of the host's addresses
    std::optional<std::string> username;  // none: libssh uses the local account name
    std::optional<std::string> password;  // also the passphrase of an encrypted key file
    std::optional<std::filesystem::path> key_file;
    bool allow_agent = false;   // try the SSH agent's keys
    bool look_for_keys = true;  // try the keys in ~/.ssh
    bool compress = false;
    std::chrono::seconds timeout{15};
    std::filesystem::path known_hosts_file;
    SshPrefs prefs;   // algorithm lists; a category left out keeps libssh's defaults
    SSHBugSpec bugs;  // the server's known faults to work around
    // Asked for a password or keyboard-interactive answers when no saved password and no
    // key logged in; none: the login asks nobody. Called on the connection's I/O thread.
    std::shared_ptr<LoginUser> login_user;
    // Told once a host key seen for the first time was accepted and recorded: its type as
    // OpenSSH names it ("ED25519") and its SHA-256 fingerprint ("SHA256:" and base64).
    std::function<void(const std::string& key_type, const std::string& fingerprint)> new_host_key;
    // Jump hosts, in order: the first is reached over TCP, each next one (and at last this
    // connection's host) through a "direct-tcpip" channel of the one before. Each hop is
    // a whole connection of its own options, host-key check included; a hop's own
    // jump_hops are not read.
    std::vector<SshConnectOptions> jump_hops;
};

using SshAddress = std::pair<std::string, int>;
// Serves one connection that arrived through a remote forward: (channel, origin, the
// server's listening address). Runs on a worker thread of its own.
using RemoteForwardHandler =
    std::function<void(std::shared_ptr<SshChannel>, SshAddress origin, SshAddress server)>;

namespace ssh2 {
class ConnectionCore;
class LocalForward;
}  // namespace ssh2

class SshConnection : public SshClient {
public:
    SshConnection();
    ~SshConnection() override;
    SshConnection(const SshConnection&) = delete;
    SshConnection& operator=(const SshConnection&) = delete;

    // Connects (through the jump hosts first, when there are any), checks the host key
    // against the known-hosts file (unknown hosts are recorded, a changed key is refused)
    // and authenticates. The calling thread's algorithm preferences and bug flags apply.
    // Throws SshAuthError when the server (or a jump host, named in the message) refuses
    // every method, BackendError for any other failure.
    void connect(const SshConnectOptions& options);

    // Keep-alive interval of the running connection; 0 or less turns it off.
    void set_keepalive(int seconds) override;
    int keepalive() const;
    // How many keep-alive messages the I/O thread has sent.
    int keepalives_sent() const;

    // A session channel; then a pseudo-terminal and a shell on it.
    std::shared_ptr<SshChannel> open_session();
    void get_pty(const std::shared_ptr<SshChannel>& channel, const std::string& term, int width,
                 int height);
    void invoke_shell(const std::shared_ptr<SshChannel>& channel);

    // A "direct-tcpip" channel to dest as seen from the server. Throws BackendError.
    std::shared_ptr<SshChannel> open_direct_tcpip(const std::string& dest_host, int dest_port,
                                                  const std::string& origin_host, int origin_port);
    // Asks the server to listen on address:port ("" = all its addresses); each connection
    // it accepts goes to `handler`. Returns the port the server bound. Throws BackendError.
    int request_port_forward(const std::string& address, int port, RemoteForwardHandler handler);

    // The server's files over SFTP on a new channel of this connection. Throws SftpError
    // ("no_sftp") when the server offers no SFTP, BackendError when the connection ended.
    std::shared_ptr<SftpSession> open_sftp();

    // One end of a connected socket pair whose other end is carried to host:port as seen
    // from the server, through a "direct-tcpip" channel, until either side ends: what the
    // next connection of a jump chain talks over. Throws BackendError.
    ssh2::UniqueFd tunnel_to(const std::string& host, int port);

    // Keeps a local listener for as long as the connection lives.
    void adopt_local_forward(std::unique_ptr<ssh2::LocalForward> forward);
    // Runs `body` on a forwarding worker thread joined at close(); false when refused.
    bool spawn_worker(std::function<void()> body);
    // Forwarded connections served at once (WorkerThreads::DEFAULT_LIMIT unless set);
    // `on_refused` is told the first refusal of each run of them.
    void limit_forwarded(std::size_t most, std::function<void()> on_refused);

    // Ends the connection, its channels, listeners and forwarding threads. Idempotent.
    void close() override;
    bool is_active() const;
    // Flag the worker threads watch to end their copy loops.
    const ssh2::StopFlag& stopping() const { return m_stopping; }

private:
    std::shared_ptr<ssh2::ConnectionCore> core() const;
    // Connects over `carrier` (a tunnel's end), or over TCP when it holds nothing.
    void connect_over(const SshConnectOptions& options, ssh2::UniqueFd carrier);
    // Connects the jump hosts of `target` one through the other; returns the tunnel from
    // the last of them to the target.
    ssh2::UniqueFd connect_jump_hosts(const SshConnectOptions& target);

    std::mutex m_close_lock;
    mutable std::mutex m_lock;
    std::shared_ptr<ssh2::ConnectionCore> m_core;
    std::thread m_io_thread;
    std::vector<std::unique_ptr<ssh2::LocalForward>> m_local_forwards;
    // The jump hosts this connection runs through, closed after it. Shared: connect() may
    // still be using one while close() runs on another thread.
    std::vector<std::shared_ptr<SshConnection>> m_jump_hosts;
    ssh2::StopFlag m_stopping;
    ssh2::WorkerThreads m_workers;
};

}  // namespace termiva

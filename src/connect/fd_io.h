// Blocking I/O on sockets (and, on Linux, other descriptors) that another thread can
// interrupt: every wait also watches a wake-up, so close() from a bridge thread ends a blocked
// recv(). The system's side is platform/socket_io.h.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "connect/backend.h"
#include "platform/socket_io.h"

namespace termiva {

using platform::NO_SOCKET;
using platform::SocketFd;

// The host's name resolved, but not to an address of the IP version the session asks for
// ("IPv4", "IPv6"): the starter words it in the user's language.
class NoAddressOfFamilyError : public BackendError {
public:
    explicit NoAddressOfFamilyError(const platform::NoAddressOfFamily& e)
        : BackendError(e.what()), host(e.host), family(platform::ip_family_name(e.family)) {}
    const std::string host;
    const std::string family;
};

// Once signalled it stays signalled: every later wait returns at once.
class WakeFd : public platform::SocketWake {
public:
    WakeFd();  // throws BackendError when the system has no descriptor to give
};

enum class WaitResult { ready, woken, timed_out };

// Waits until `fd` is readable (or writable), the wake-up fires, or `timeout_ms` passes
// (-1: no limit).
WaitResult wait_fd(SocketFd fd, bool for_write, const WakeFd& wake, int timeout_ms);

// Opens a TCP connection to host:port within `timeout_s` seconds, trying every address of
// `family`. The socket is non-blocking. Throws NoAddressOfFamilyError when the host has
// addresses of the other IP version only, BackendError with a readable reason otherwise.
SocketFd tcp_connect(const std::string& host, int port, platform::IpFamily family, double timeout_s,
                     const WakeFd& wake);
// The same, calling `prepare(fd, family)` on every socket before it connects (to bind a
// chosen local port, say); an exception from `prepare` ends the attempt.
SocketFd tcp_connect(const std::string& host, int port, platform::IpFamily family, double timeout_s,
                     const WakeFd& wake,
                     const std::function<void(SocketFd fd, int family)>& prepare);

// Whether a TCP connection to host:port opens within `timeout_s` (it is closed at once).
// Throws BackendError only after the wake-up.
bool tcp_port_open(const std::string& host, int port, platform::IpFamily family, double timeout_s,
                   const WakeFd& wake);

// Writes all of `data`; throws BackendError when the peer is gone or the wake-up fired.
void write_all(SocketFd fd, std::string_view data, const WakeFd& wake);

// Reads at most `bufsize` bytes from a non-blocking descriptor, waiting until some
// arrive; "" at end of stream, on error, or after the wake-up.
std::string read_some(SocketFd fd, std::size_t bufsize, const WakeFd& wake);

// Writes to one descriptor from several threads without interleaving. `write` waits its
// turn; `post` (for a reader answering the peer) never waits for another writer, since a
// writer stuck on a full socket may be waiting for that very reader: whatever `post`
// cannot write at once, the thread holding the turn sends before it lets go. What waits
// so is bounded (MAX_QUEUED): a peer that provokes answers while it reads nothing would
// otherwise fill memory with them, so past the bound `post` waits until they are sent or
// the wake-up fires, and the reader calling it stops reading that peer meanwhile.
class SharedWriter {
public:
    static constexpr std::size_t MAX_QUEUED = std::size_t{1} << 20;

    explicit SharedWriter(const WakeFd& wake) : m_wake(wake) {}
    void set_fd(SocketFd fd) { m_fd = fd; }
    // Both throw BackendError when the descriptor is gone or the wake-up fired.
    void write(std::string_view data);
    void post(std::string_view data);

private:
    void flush_queued();  // with m_turn held
    bool queue_empty();

    const WakeFd& m_wake;
    std::atomic<SocketFd> m_fd{NO_SOCKET};
    std::mutex m_turn;
    std::mutex m_queue_lock;
    std::condition_variable m_drained;  // the queue was taken for sending
    std::string m_queue;
};

}  // namespace termiva

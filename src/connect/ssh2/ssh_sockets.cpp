#include "connect/ssh2/ssh_sockets.h"

#include "connect/backend.h"
#include "connect/fd_io.h"
#include "connect/ssh2/ssh_channel.h"

namespace termiva::ssh2 {

void UniqueFd::reset() {
    if (m_fd != platform::NO_SOCKET) platform::close_socket(m_fd);
    m_fd = platform::NO_SOCKET;
}

StopFlag::StopFlag() try : m_wake() {
} catch (const platform::SocketError& e) {
    throw BackendError(e.what());
}

UniqueFd tcp_connect(const std::string& host, int port, platform::IpFamily family, int timeout_ms,
                     const StopFlag& stop) {
    try {
        return UniqueFd(
            platform::connect_tcp(host, port, family, timeout_ms / 1000.0, stop.wake(), {}));
    } catch (const platform::NoAddressOfFamily& e) {
        throw NoAddressOfFamilyError(e);
    } catch (const platform::SocketError& e) {
        if (stop.load()) throw BackendError("connection attempt cancelled");
        throw BackendError(host + ":" + std::to_string(port) + ": " + e.what());
    }
}

void wait_for_greeting(const UniqueFd& socket, int timeout_ms, const StopFlag& stop) {
    const platform::SocketReady seen =
        platform::wait_socket(socket.get(), platform::SocketWant::read, stop.wake(), timeout_ms);
    if (seen.woken) throw BackendError("connection attempt cancelled");
    if (!seen.ready) {
        throw BackendError("the server sent no greeting within " +
                           std::to_string(timeout_ms / 1000) + " s");
    }
}

UniqueFd listen_loopback(int port) {
    try {
        return UniqueFd(platform::listen_loopback(port));
    } catch (const platform::SocketError& e) {
        throw BackendError(e.what());
    }
}

UniqueFd listen_on(const std::string& address, int port) {
    try {
        return UniqueFd(platform::listen_on(address, port));
    } catch (const platform::SocketError& e) {
        throw BackendError(e.what());
    }
}

bool send_all(platform::SocketFd fd, std::string_view data, const StopFlag& stop) {
    std::size_t done = 0;
    while (done < data.size()) {
        const platform::SocketIo io =
            platform::send_some(fd, data.data() + done, data.size() - done);
        if (io.status == platform::SocketIo::done) {
            done += io.bytes;
        } else if (io.status == platform::SocketIo::would_block) {
            if (platform::wait_socket(fd, platform::SocketWant::write, stop.wake(), -1).woken)
                return false;
        } else {
            return false;
        }
    }
    return true;
}

void copy_until_closed(platform::SocketFd sock, SshChannel& channel, const StopFlag& stop) {
    char buf[4096];
    while (!stop.load()) {
        // The channel's "bytes waiting" mark and the stop flag are the wait's wake-ups, so
        // one wait serves both directions and an idle connection sleeps until it ends.
        const platform::SocketReady seen = platform::wait_socket(sock, platform::SocketWant::read,
                                                                 channel.ready(), -1, &stop.wake());
        const bool from_channel = seen.woken && channel.ready().signalled();
        // Stopped, or the wait itself failed.
        if (seen.woken && !from_channel && !seen.ready) return;
        if (seen.ready) {
            const platform::SocketIo io = platform::recv_some(sock, buf, sizeof buf);
            if (io.status == platform::SocketIo::ended || io.status == platform::SocketIo::failed)
                return;
            if (io.status == platform::SocketIo::done) {
                try {
                    channel.send(std::string_view(buf, io.bytes));
                } catch (const BackendError&) {
                    return;
                }
            }
        }
        if (from_channel) {
            const std::string data = channel.recv(sizeof buf);
            if (data.empty()) return;
            if (!send_all(sock, data, stop)) return;
        }
    }
}

}  // namespace termiva::ssh2

#include "connect/fd_io.h"

#include "connect/backend.h"

namespace termiva {

WakeFd::WakeFd() try : platform
    ::SocketWake() {}
catch (const platform::SocketError& e) {
    throw BackendError(e.what());
}

WaitResult wait_fd(SocketFd fd, bool for_write, const WakeFd& wake, int timeout_ms) {
    platform::SocketReady seen = platform::wait_socket(
        fd, for_write ? platform::SocketWant::write : platform::SocketWant::read, wake, timeout_ms);
    if (seen.woken) return WaitResult::woken;
    return seen.ready ? WaitResult::ready : WaitResult::timed_out;
}

SocketFd tcp_connect(const std::string& host, int port, platform::IpFamily family, double timeout_s,
                     const WakeFd& wake) {
    return tcp_connect(host, port, family, timeout_s, wake, {});
}

SocketFd tcp_connect(const std::string& host, int port, platform::IpFamily family, double timeout_s,
                     const WakeFd& wake,
                     const std::function<void(SocketFd fd, int family)>& prepare) {
    try {
        return platform::connect_tcp(host, port, family, timeout_s, wake, prepare);
    } catch (const platform::NoAddressOfFamily& e) {
        throw NoAddressOfFamilyError(e);
    } catch (const platform::SocketError& e) {
        throw BackendError(e.what());
    }
}

bool tcp_port_open(const std::string& host, int port, platform::IpFamily family, double timeout_s,
                   const WakeFd& wake) {
    SocketFd fd = NO_SOCKET;
    try {
        fd = tcp_connect(host, port, family, timeout_s, wake);
    } catch (const BackendError&) {
        if (wake.signalled()) throw;
        return false;  // refused, timed out, unreachable, unknown name: not reachable
    }
    platform::close_socket(fd);
    return true;
}

void write_all(SocketFd fd, std::string_view data, const WakeFd& wake) {
    while (!data.empty()) {
        platform::SocketIo io = platform::send_some(fd, data.data(), data.size());
        switch (io.status) {
            case platform::SocketIo::done:
                data.remove_prefix(io.bytes);
                break;
            case platform::SocketIo::would_block:
                if (wait_fd(fd, true, wake, -1) == WaitResult::woken) throw BackendError("closed");
                break;
            case platform::SocketIo::ended:
            case platform::SocketIo::failed:
                throw BackendError(io.error.empty() ? "connection closed" : io.error);
        }
    }
}

std::string read_some(SocketFd fd, std::size_t bufsize, const WakeFd& wake) {
    std::string buf(bufsize, '\0');
    for (;;) {
        // Sockets are non-blocking: try the read first and wait only when there is nothing
        // yet (one system call per chunk while data streams in).
        platform::SocketIo io = platform::recv_some(fd, buf.data(), bufsize);
        if (io.status == platform::SocketIo::done) {
            buf.resize(io.bytes);
            return buf;
        }
        if (io.status != platform::SocketIo::would_block) return {};  // ended, or an error
        if (wait_fd(fd, false, wake, -1) != WaitResult::ready) return {};
    }
}
void SharedWriter::write(std::string_view data) {
    {
        std::lock_guard turn(m_turn);
        write_all(m_fd, data, m_wake);
        flush_queued();
    }
    // Something posted after our last look, while we still held the turn, goes now.
    if (!queue_empty()) post({});
}

void SharedWriter::post(std::string_view data) {
    if (!data.empty()) {
        std::unique_lock lock(m_queue_lock);
        while (m_queue.size() >= MAX_QUEUED) {
            // The turn may have been let go meanwhile: then this thread sends them itself.
            lock.unlock();
            {
                std::unique_lock turn(m_turn, std::try_to_lock);
                if (turn) flush_queued();
            }
            lock.lock();
            if (m_queue.size() < MAX_QUEUED) break;
            if (m_wake.signalled()) throw BackendError("closed");
            m_drained.wait_for(lock, std::chrono::milliseconds(50));
        }
        m_queue.append(data);
    }
    std::unique_lock turn(m_turn, std::try_to_lock);
    if (turn) flush_queued();
}

void SharedWriter::flush_queued() {
    for (;;) {
        std::string out;
        {
            std::lock_guard lock(m_queue_lock);
            out.swap(m_queue);
        }
        if (out.empty()) return;
        m_drained.notify_all();
        write_all(m_fd, out, m_wake);
    }
}

bool SharedWriter::queue_empty() {
    std::lock_guard lock(m_queue_lock);
    return m_queue.empty();
}

}  // namespace termiva

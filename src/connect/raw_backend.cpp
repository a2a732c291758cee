#include "connect/raw_backend.h"

namespace termiva {

RawBackend::RawBackend(Options options) : m_options(std::move(options)) {}

RawBackend::~RawBackend() {
    SocketFd fd = m_fd.exchange(NO_SOCKET);
    if (fd != NO_SOCKET) platform::close_socket(fd);
}

void RawBackend::connect() {
    if (m_closed) throw BackendError("closed");
    m_fd =
        tcp_connect(m_options.host, m_options.port, m_options.ip_family, m_options.timeout, m_wake);
}

void RawBackend::send(std::string_view data) {
    if (m_closed || m_fd == NO_SOCKET) throw BackendError("not connected");
    write_all(m_fd, data, m_wake);
}

std::string RawBackend::recv(std::size_t bufsize) {
    if (m_closed || m_fd == NO_SOCKET) return {};
    std::string data = read_some(m_fd, bufsize, m_wake);
    if (data.empty()) m_closed = true;
    return data;
}

void RawBackend::close() {
    // The descriptor stays open until destruction so a reader polling it never sees a
    // reused number; shutdown() tells the peer, the wake-up frees the reader.
    m_closed = true;
    m_wake.signal();
    SocketFd fd = m_fd.load();
    if (fd != NO_SOCKET) platform::shutdown_socket(fd);
}

}  // namespace termiva

#include "connect/raw_backend.h"

#include <sys/socket.h>
#include <unistd.h>

namespace termiva {

RawBackend::RawBackend(Options options) : m_options(std::move(options)) {}

RawBackend::~RawBackend() {
    int fd = m_fd.exchange(-1);
    if (fd >= 0) ::close(fd);
}

void RawBackend::connect() {
    if (m_closed) throw BackendError("closed");
    m_fd = tcp_connect(m_options.host, m_options.port, m_options.timeout, m_wake);
}

void RawBackend::send(std::string_view data) {
    if (m_closed || m_fd < 0) throw BackendError("not connected");
    write_all(m_fd, data, m_wake);
}

std::string RawBackend::recv(std::size_t bufsize) {
    if (m_closed || m_fd < 0) return {};
    std::string data = read_some(m_fd, bufsize, m_wake);
    if (data.empty()) m_closed = true;
    return data;
}

void RawBackend::close() {
    // The descriptor stays open until destruction so a reader polling it never sees a
    // reused number; shutdown() tells the peer, the wake-up frees the reader.
    m_closed = true;
    m_wake.signal();
    int fd = m_fd.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

}  // namespace termiva

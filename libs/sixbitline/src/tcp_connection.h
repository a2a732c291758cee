// Owner of one connected TCP socket descriptor; the descriptor is closed with the object.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace termiva {

class TcpConnection {
public:
    // Connects to host:port, giving up after `timeout_seconds`; the socket is blocking
    // afterwards. Throws SixbitlineError with the system's wording of the failure.
    static TcpConnection open(const std::string& host, int port, double timeout_seconds);

    explicit TcpConnection(int fd) noexcept : m_fd(fd) {}
    ~TcpConnection();
    TcpConnection(TcpConnection&& other) noexcept;
    TcpConnection& operator=(TcpConnection&&) = delete;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Writes every byte; 0 on success, else the errno of the failure.
    int write_all(std::string_view data) noexcept;
    // Reads what is there (blocking until something is); bytes read, 0 at end of stream,
    // or -errno.
    ssize_t read_some(char* buffer, std::size_t size) noexcept;
    // Ends both directions; wakes any thread blocked in a read or write on this socket.
    void shutdown_both() noexcept;

private:
    int m_fd;
};

}  // namespace termiva

// Owner of one connected TCP socket; the socket is closed with the object. POSIX sockets in
// tcp_connection.cpp, Winsock in tcp_connection_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sixbitline/sixbitline.h"

namespace termiva {

class TcpConnection {
public:
    // Connects to host:port through its addresses of `family`, giving up after
    // `timeout_seconds`; the socket is blocking afterwards. Throws SixbitlineError with the
    // system's wording of the failure, or saying the host has no address of that family.
    static TcpConnection open(const std::string& host, int port, double timeout_seconds,
                              SixbitlineFamily family);

    static std::string no_address_text(const std::string& host, SixbitlineFamily family) {
        return host + " has no " + (family == SixbitlineFamily::ipv6 ? "IPv6" : "IPv4") +
               " address";
    }

    // A descriptor, or a Winsock SOCKET (which fits); NO_SOCKET for none.
    static constexpr std::intptr_t NO_SOCKET = -1;
    explicit TcpConnection(std::intptr_t socket) noexcept : m_fd(socket) {}
    ~TcpConnection();
    TcpConnection(TcpConnection&& other) noexcept;
    TcpConnection& operator=(TcpConnection&&) = delete;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Writes every byte; 0 on success, else the system's code of the failure (an errno, or
    // a Winsock error on Windows), which error_text words.
    int write_all(std::string_view data) noexcept;
    static std::string error_text(int code);
    // Reads what is there (blocking until something is); bytes read, 0 at end of stream,
    // or -1 on failure.
    std::ptrdiff_t read_some(char* buffer, std::size_t size) noexcept;
    // Ends both directions; wakes any thread blocked in a read or write on this socket.
    void shutdown_both() noexcept;

private:
    std::intptr_t m_fd;
};

}  // namespace termiva

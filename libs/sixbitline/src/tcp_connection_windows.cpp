// Winsock: the same connection as tcp_connection.cpp, for the Windows build of the library.
// winsock2.h must come before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>

#include "sixbitline/sixbitline.h"
#include "tcp_connection.h"

namespace termiva {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int MAX_PORT = 65535;

// The library may be the first user of Winsock in the process; WSAStartup counts its
// callers, so starting it once more is harmless.
void start_winsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

std::string wsa_text(int code) {
    if (code == WSAETIMEDOUT) return "Connection timed out";
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (n > 0 && text) {
        // The library keeps to itself (no src/ helpers): its own small UTF-16 to UTF-8 step.
        int len = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr,
                                      nullptr);
        if (len > 0) {
            out.resize(static_cast<std::size_t>(len));
            WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), len, nullptr,
                                nullptr);
        }
        LocalFree(text);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
        out.pop_back();
    return out.empty() ? "Winsock error " + std::to_string(code) : out;
}

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

AddrInfoList resolve(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) throw SixbitlineError(wsa_text(rc) + " (" + host + ")");
    return AddrInfoList(found);
}

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Connects one candidate address without blocking past the deadline; 0 or a Winsock code.
int connect_before(SOCKET s, const addrinfo& address, Clock::time_point deadline) {
    u_long non_blocking = 1;
    if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) return WSAGetLastError();
    if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return 0;
    const int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK) return err;
    // select, not WSAPoll: WSAPoll on older Windows never reports a refused connect. A
    // failed connect shows in the exception set on Windows.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    const int ms = remaining_ms(deadline);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    const int ready = ::select(0, nullptr, &writable, &failed, &limit);
    if (ready == SOCKET_ERROR) return WSAGetLastError();
    if (ready == 0) return WSAETIMEDOUT;
    int so_error = 0;
    int len = sizeof so_error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0)
        return WSAGetLastError();
    if (so_error == 0 && FD_ISSET(s, &failed)) return WSAECONNREFUSED;
    return so_error;
}

}  // namespace

TcpConnection TcpConnection::open(const std::string& host, int port, double timeout_seconds,
                                  SixbitlineFamily family) {
    if (host.empty()) throw SixbitlineError("No host given");
    if (port < 1 || port > MAX_PORT) {
        throw SixbitlineError("Invalid port number " + std::to_string(port));
    }
    start_winsock();
    const AddrInfoList addresses = resolve(host, port);
    const auto budget =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_seconds));
    const auto deadline = Clock::now() + budget;

    const int wanted = family == SixbitlineFamily::ipv4   ? AF_INET
                       : family == SixbitlineFamily::ipv6 ? AF_INET6
                                                          : AF_UNSPEC;
    bool any_of_family = false;
    int last_error = WSAEHOSTUNREACH;
    for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
        if (wanted != AF_UNSPEC && a->ai_family != wanted) continue;
        any_of_family = true;
        // Not inherited by the programs the application starts.
        const SOCKET s = WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                                    WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (s == INVALID_SOCKET) {
            last_error = WSAGetLastError();
            continue;
        }
        TcpConnection candidate(static_cast<std::intptr_t>(s));
        last_error = connect_before(s, *a, deadline);
        if (last_error != 0) {
            if (last_error == WSAETIMEDOUT) break;
            continue;
        }
        u_long blocking = 0;
        if (ioctlsocket(s, FIONBIO, &blocking) != 0) {
            last_error = WSAGetLastError();
            continue;
        }
        // Keystrokes are tiny and interactive: do not hold them back for coalescing.
        const BOOL on = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        return candidate;
    }
    if (!any_of_family) throw SixbitlineError(no_address_text(host, family));
    throw SixbitlineError(wsa_text(last_error));
}

TcpConnection::TcpConnection(TcpConnection&& other) noexcept : m_fd(other.m_fd) {
    other.m_fd = NO_SOCKET;
}

TcpConnection::~TcpConnection() {
    if (m_fd != NO_SOCKET) ::closesocket(static_cast<SOCKET>(m_fd));
}

std::string TcpConnection::error_text(int code) {
    return wsa_text(code);
}

int TcpConnection::write_all(std::string_view data) noexcept {
    while (!data.empty()) {
        // send takes an int length: a long text goes in pieces.
        const int piece = static_cast<int>(std::min<std::size_t>(data.size(), 1 << 30));
        const int n = ::send(static_cast<SOCKET>(m_fd), data.data(), piece, 0);
        if (n == SOCKET_ERROR) return WSAGetLastError();
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

std::ptrdiff_t TcpConnection::read_some(char* buffer, std::size_t size) noexcept {
    const int want = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
    const int n = ::recv(static_cast<SOCKET>(m_fd), buffer, want, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

void TcpConnection::shutdown_both() noexcept {
    // A later read or write fails at once after the shutdown, but unlike POSIX it does not
    // end a recv already blocked in another thread: that one is cancelled.
    ::shutdown(static_cast<SOCKET>(m_fd), SD_BOTH);
    CancelIoEx(reinterpret_cast<HANDLE>(m_fd), nullptr);
}

}  // namespace termiva
